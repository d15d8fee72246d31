#pragma once
// The connection manager on NetworkManager (system D-Bus). A connection is
// "established" when NetworkManager reports a connected state; Halvern does
// not bring networks up itself. Where no system bus or no NetworkManager runs,
// there is nothing to ask and the connection counts as established at once.
// NetworkManager's state speaks only for the links it manages: when it says
// disconnected or unknown while the host has a default route over an
// interface that is up (a link set up by hand, by another network service, a
// container's), that link counts as a connection too.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

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

// Whether a state, together with what the host's routes say, counts as
// connected: no NetworkManager, any connected state, or a working link beside
// a NetworkManager that reports disconnected or unknown.
bool CountsAsConnected(std::optional<std::uint32_t> state, bool workingLink);
// The states in which NetworkManager may simply not manage the working link.
bool MayMissUnmanagedLink(std::uint32_t state);

// Whether a routing table lists a default route over an interface that
// `isUp` accepts. `ipv4Routes` is the text of /proc/net/route, `ipv6Routes`
// that of /proc/net/ipv6_route; either may be empty.
bool HasDefaultRoute(std::string_view ipv4Routes, std::string_view ipv6Routes,
                     const std::function<bool(std::string_view iface)>& isUp);
// The host's answer: the kernel's routing tables and interface flags.
bool HostHasWorkingLink();

class NetworkConnectionManager final : public ConnectionManager {
 public:
  // Reads the current state; nothing when no NetworkManager answers.
  using StateReader = std::function<std::optional<std::uint32_t>()>;
  // Whether the host has a working link of its own (HostHasWorkingLink).
  using LinkProbe = std::function<bool()>;

  struct Options {
    std::uint32_t pollMs = 250;
    std::uint32_t noNetworkGraceMs = kNoNetworkGraceMs;
  };

  // The real one asks NetworkManager on the system bus.
  NetworkConnectionManager();
  // Tests pass a scripted reader and probe; an empty probe finds no link.
  NetworkConnectionManager(StateReader reader, Options options, LinkProbe link = {});

  // Blocks, polling the state, until DecideConnection settles.
  std::unique_ptr<Connection> EstablishConnection(std::uint32_t timeoutMs) override;

 private:
  StateReader reader_;
  Options options_;
  LinkProbe link_;
};

// Reads NetworkManager's State over the system bus; nothing without a system
// bus or without NetworkManager on it.
std::optional<std::uint32_t> ReadNetworkManagerState();

}  // namespace halvern
