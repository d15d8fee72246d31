#pragma once
// The connection manager on NetworkManager (system D-Bus). A connection is
// "established" when NetworkManager reports a connected state; Halvern does
// not bring networks up itself, but it waits for one that is coming back (as
// after a resume from sleep), woken by NetworkManager's and logind's signals.
// Where no system bus or no NetworkManager runs, there is nothing to ask and
// the connection counts as established at once.
// NetworkManager's state speaks only for the links it manages: when it says
// disconnected or unknown while the host has a default route over an
// interface that is up (a link set up by hand, by another network service, a
// container's), that link counts as a connection too.

#include <QDBusConnection>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "connection_manager.h"

class QObject;
class QThread;

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

// How long after a resume a network that is not there yet is waited for:
// NetworkManager passes through asleep and disconnected on its way back.
inline constexpr std::uint32_t kResumeWindowMs = 30000;

// What one look at the network finds.
struct NetworkView {
  // NetworkManager's state; nothing when no NetworkManager answers.
  std::optional<std::uint32_t> state;
  // A working link of the host's own (asked only where NetworkManager may not
  // manage it: disconnected or unknown).
  bool workingLink = false;
  // The machine resumed from sleep within kResumeWindowMs.
  bool resumedLately = false;
};

// The decision for one look. Connected (any level, since a monitored site may
// sit on the local network) or an unmanaged working link connects. A network
// that is plainly absent and not coming (disconnected, no resume lately, no
// working link) fails at once. Everything else (asleep, connecting,
// disconnecting, unknown, disconnected just after a resume) is waited on
// until the timeout.
ConnectionStep DecideConnection(const NetworkView& view, std::uint32_t elapsedMs,
                                std::uint32_t timeoutMs);

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

// What the connection step watches: NetworkManager's state and the machine's
// resumes, with a way to sleep until either changes.
class NetworkEvents {
 public:
  virtual ~NetworkEvents() = default;
  // NetworkManager's state now; nothing when none answers.
  virtual std::optional<std::uint32_t> State() = 0;
  // Whether the machine resumed from sleep within the last `window`.
  virtual bool ResumedWithin(std::chrono::milliseconds window) = 0;
  // A count that grows with every change seen: a state change, a resume.
  virtual std::uint64_t Changes() = 0;
  // Blocks until Changes() differs from `seen` or `timeout` has passed.
  virtual void WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout) = 0;
};

class NetworkConnectionManager final : public ConnectionManager {
 public:
  // Whether the host has a working link of its own (HostHasWorkingLink).
  using LinkProbe = std::function<bool()>;
  // The steady clock the wait is measured on; tests pass one they move.
  using Now = std::function<std::chrono::steady_clock::time_point()>;

  // The real one watches NetworkManager and logind on the system bus.
  NetworkConnectionManager();
  // Tests pass their own events, probe and clock; an empty probe finds no
  // link, an empty clock is the steady clock.
  explicit NetworkConnectionManager(std::shared_ptr<NetworkEvents> events, LinkProbe link = {},
                                    Now now = {});

  // Blocks until DecideConnection settles, looking again whenever the events
  // change.
  std::unique_ptr<Connection> EstablishConnection(std::uint32_t timeoutMs) override;
  std::unique_ptr<Connection> AwaitConnection(std::uint32_t timeoutMs,
                                              const WaitNotice& notice) override;

 private:
  NetworkView Look();

  std::shared_ptr<NetworkEvents> events_;
  LinkProbe link_;
  Now now_;
};

// Reads NetworkManager's State over `bus`; nothing without a bus or without
// NetworkManager on it.
std::optional<std::uint32_t> ReadNetworkManagerState(const QDBusConnection& bus);
std::optional<std::uint32_t> ReadNetworkManagerState();

// NetworkManager and logind on the system bus as NetworkEvents: a thread of
// its own receives NetworkManager's StateChanged and logind's PrepareForSleep
// signals, so that a window thread blocked in WaitForChange is woken by them.
// A resume is logind's PrepareForSleep(false), or NetworkManager leaving
// asleep. Without a bus it sees nothing and State() is nothing.
class NetworkWatch final : public NetworkEvents {
 public:
  explicit NetworkWatch(const QDBusConnection& systemBus);
  ~NetworkWatch() override;
  NetworkWatch(const NetworkWatch&) = delete;
  NetworkWatch& operator=(const NetworkWatch&) = delete;

  std::optional<std::uint32_t> State() override;
  bool ResumedWithin(std::chrono::milliseconds window) override;
  std::uint64_t Changes() override;
  void WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout) override;

 private:
  struct Shared;

  std::shared_ptr<Shared> shared_;
  std::unique_ptr<QThread> thread_;
  QObject* receiver_ = nullptr;  // lives on thread_
};

}  // namespace halvern
