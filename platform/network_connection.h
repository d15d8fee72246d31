#pragma once
// The connection manager on NetworkManager (system D-Bus). A connection is
// "established" when NetworkManager reports a connected state; Halvern does
// not bring networks up itself. Where no system bus or no NetworkManager runs,
// there is nothing to ask and the connection counts as established at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "connection_manager.h"

namespace halvern {

// org.freedesktop.NetworkManager "State" values (NMState).
enum NmState : std::uint32_t {
  kNmUnknown = 0,
  kNmAsleep = 10,
  kNmDisconnected = 20,
  kNmDisconnecting = 30,
  kNmConnecting = 40,
  kNmConnectedLocal = 50,
  kNmConnectedSite = 60,
  kNmConnectedGlobal = 70,
};

enum class ConnectionStep { kConnected, kFailed, kWait };

// How long a "no network" state (asleep or disconnected) is waited out before
// the attempt fails: right after resume NetworkManager passes through these
// states on its way to a connection.
inline constexpr std::uint32_t kNoNetworkGraceMs = 3000;

// The decision for one look at the state. `state` is nothing when no
// NetworkManager answers. Any connected state (local, site or global: a
// monitored site may sit on the local network) connects; no network fails once
// the grace period has passed; every other state is waited on until the
// timeout.
ConnectionStep DecideConnection(std::optional<std::uint32_t> state, std::uint32_t elapsedMs,
                                std::uint32_t timeoutMs,
                                std::uint32_t noNetworkGraceMs = kNoNetworkGraceMs);

class NetworkConnectionManager final : public ConnectionManager {
 public:
  // Reads the current state; nothing when no NetworkManager answers.
  using StateReader = std::function<std::optional<std::uint32_t>()>;

  struct Options {
    std::uint32_t pollMs = 250;
    std::uint32_t noNetworkGraceMs = kNoNetworkGraceMs;
  };

  // The real one asks NetworkManager on the system bus.
  NetworkConnectionManager();
  // Tests pass a scripted reader.
  NetworkConnectionManager(StateReader reader, Options options);

  // Blocks, polling the state, until DecideConnection settles.
  std::unique_ptr<Connection> EstablishConnection(std::uint32_t timeoutMs) override;

 private:
  StateReader reader_;
  Options options_;
};

// Reads NetworkManager's State over the system bus; nothing without a system
// bus or without NetworkManager on it.
std::optional<std::uint32_t> ReadNetworkManagerState();

}  // namespace halvern
