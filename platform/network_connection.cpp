#include "network_connection.h"

#include <net/if.h>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QString>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>

namespace halvern {
namespace {

// A bus that does not answer must not hold the check run for long.
constexpr int kDbusCallTimeoutMs = 1000;

bool IsConnectedState(std::uint32_t state) { return state >= kNmConnectedLocal; }

// Asks the probe only where its answer matters.
bool Connected(std::optional<std::uint32_t> state,
               const NetworkConnectionManager::LinkProbe& link) {
  const bool askLink = state && MayMissUnmanagedLink(*state) && link;
  return CountsAsConnected(state, askLink && link());
}

class NetworkConnection final : public Connection {
 public:
  NetworkConnection(std::shared_ptr<NetworkEvents> events, NetworkConnectionManager::LinkProbe link)
      : events_(std::move(events)), link_(std::move(link)) {}
  bool IsConnected() override { return Connected(events_->State(), link_); }

 private:
  std::shared_ptr<NetworkEvents> events_;
  NetworkConnectionManager::LinkProbe link_;
};

std::string ReadWholeFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// An interface is up when the administrator raised it (IFF_UP) and the
// kernel does not report its carrier gone ("down"; "unknown" is what many
// virtual links report while they carry traffic).
bool InterfaceIsUp(std::string_view iface) {
  if (iface.empty() || iface.find('/') != std::string_view::npos || iface == "." || iface == "..") {
    return false;
  }
  const std::string base = "/sys/class/net/" + std::string(iface);
  unsigned long flags = 0;
  std::istringstream(ReadWholeFile((base + "/flags").c_str())) >> std::hex >> flags;
  if ((flags & IFF_UP) == 0) return false;
  std::string operstate;
  std::istringstream(ReadWholeFile((base + "/operstate").c_str())) >> operstate;
  return operstate != "down" && operstate != "lowerlayerdown" && operstate != "notpresent";
}

}  // namespace

bool MayMissUnmanagedLink(std::uint32_t state) {
  return state == kNmDisconnected || state == kNmUnknown;
}

bool CountsAsConnected(std::optional<std::uint32_t> state, bool workingLink) {
  if (!state || IsConnectedState(*state)) return true;
  return workingLink && MayMissUnmanagedLink(*state);
}

bool HasDefaultRoute(std::string_view ipv4Routes, std::string_view ipv6Routes,
                     const std::function<bool(std::string_view iface)>& isUp) {
  constexpr unsigned kRouteUp = 0x1;  // RTF_UP
  // /proc/net/route: a heading line, then "Iface Destination Gateway Flags ..."
  // with hexadecimal fields; a default route has destination and mask 0.
  std::istringstream v4{std::string(ipv4Routes)};
  std::string line;
  std::getline(v4, line);
  while (std::getline(v4, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway, mask;
    unsigned flags = 0, refCount = 0, use = 0, metric = 0;
    if (!(fields >> iface >> destination >> gateway >> std::hex >> flags >> std::dec >> refCount >>
          use >> metric >> mask)) {
      continue;
    }
    if (destination == "00000000" && mask == "00000000" && (flags & kRouteUp) != 0 &&
        iface != "lo" && isUp(iface)) {
      return true;
    }
  }
  // /proc/net/ipv6_route: "dest prefixlen src srclen nexthop metric refcnt use
  // flags iface", no heading; a default route has prefix length 0.
  std::istringstream v6{std::string(ipv6Routes)};
  while (std::getline(v6, line)) {
    std::istringstream fields(line);
    std::string destination, prefix, source, sourcePrefix, nextHop, metric, refCount, use, iface;
    unsigned flags = 0;
    if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >>
          refCount >> use >> std::hex >> flags >> iface)) {
      continue;
    }
    constexpr unsigned kRouteReject = 0x0200;  // RTF_REJECT: an unreachable route
    if (destination == std::string(32, '0') && prefix == "00" && (flags & kRouteUp) != 0 &&
        (flags & kRouteReject) == 0 && iface != "lo" && isUp(iface)) {
      return true;
    }
  }
  return false;
}

bool HostHasWorkingLink() {
  return HasDefaultRoute(ReadWholeFile("/proc/net/route"), ReadWholeFile("/proc/net/ipv6_route"),
                         &InterfaceIsUp);
}

ConnectionStep DecideConnection(const NetworkView& view, std::uint32_t elapsedMs,
                                std::uint32_t timeoutMs) {
  if (CountsAsConnected(view.state, view.workingLink)) return ConnectionStep::kConnected;
  if (elapsedMs >= timeoutMs) return ConnectionStep::kFailed;
  if (*view.state == kNmDisconnected && !view.resumedLately) return ConnectionStep::kFailed;
  return ConnectionStep::kWait;
}

std::optional<std::uint32_t> ReadNetworkManagerState(const QDBusConnection& bus) {
  static const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
  if (!bus.isConnected()) return std::nullopt;
  QDBusMessage get = QDBusMessage::createMethodCall(
      kService, QStringLiteral("/org/freedesktop/NetworkManager"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
  get << kService << QStringLiteral("State");
  const QDBusMessage reply = bus.call(get, QDBus::Block, kDbusCallTimeoutMs);
  // No such service (or it does not answer): nothing to wait for.
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
    return std::nullopt;
  }
  const QVariant value = reply.arguments().constFirst().value<QDBusVariant>().variant();
  bool ok = false;
  const uint state = value.toUInt(&ok);
  if (!ok) return std::nullopt;
  return state;
}

std::optional<std::uint32_t> ReadNetworkManagerState() {
  return ReadNetworkManagerState(QDBusConnection::systemBus());
}

NetworkConnectionManager::NetworkConnectionManager()
    : NetworkConnectionManager(std::make_shared<NetworkWatch>(QDBusConnection::systemBus()),
                               &HostHasWorkingLink) {}

NetworkConnectionManager::NetworkConnectionManager(std::shared_ptr<NetworkEvents> events,
                                                   LinkProbe link, Now now)
    : events_(std::move(events)), link_(std::move(link)), now_(std::move(now)) {
  if (!now_) now_ = [] { return std::chrono::steady_clock::now(); };
}

NetworkView NetworkConnectionManager::Look() {
  NetworkView view;
  view.state = events_->State();
  view.workingLink = view.state && MayMissUnmanagedLink(*view.state) && link_ && link_();
  view.resumedLately = events_->ResumedWithin(std::chrono::milliseconds(kResumeWindowMs));
  return view;
}

std::unique_ptr<Connection> NetworkConnectionManager::EstablishConnection(std::uint32_t timeoutMs) {
  return AwaitConnection(timeoutMs, {});
}

std::unique_ptr<Connection> NetworkConnectionManager::AwaitConnection(std::uint32_t timeoutMs,
                                                                      const WaitNotice& notice) {
  const auto start = now_();
  bool waiting = false;
  const auto settle = [&](std::unique_ptr<Connection> connection) {
    if (waiting && notice) notice(false);
    return connection;
  };
  for (;;) {
    // Taken before the look: a change that comes during it ends the wait.
    const std::uint64_t seen = events_->Changes();
    const NetworkView view = Look();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now_() - start);
    const auto elapsedMs = static_cast<std::uint32_t>(
        std::clamp<std::int64_t>(elapsed.count(), 0, std::numeric_limits<std::uint32_t>::max()));
    switch (DecideConnection(view, elapsedMs, timeoutMs)) {
      case ConnectionStep::kConnected:
        return settle(std::make_unique<NetworkConnection>(events_, link_));
      case ConnectionStep::kFailed:
        return settle(nullptr);
      case ConnectionStep::kWait:
        break;
    }
    if (!waiting) {
      waiting = true;
      if (notice) notice(true);
    }
    events_->WaitForChange(seen, std::chrono::milliseconds(timeoutMs - elapsedMs));
  }
}

// What the watch's thread and its callers share.
struct NetworkWatch::Shared {
  explicit Shared(const QDBusConnection& bus) : bus(bus) {}

  // A state as seen now, from a signal or a read. NetworkManager leaving
  // asleep is a resume (it sleeps while the machine does).
  void Observe(std::optional<std::uint32_t> state) {
    std::lock_guard lock(mutex);
    if (state == lastState) return;
    if (lastState == kNmAsleep && state && *state != kNmAsleep) {
      lastResume = std::chrono::steady_clock::now();
    }
    lastState = state;
    ++changes;
    changed.notify_all();
  }
  void Resumed() {
    std::lock_guard lock(mutex);
    lastResume = std::chrono::steady_clock::now();
    ++changes;
    changed.notify_all();
  }

  const QDBusConnection bus;
  std::mutex mutex;
  std::condition_variable changed;
  std::uint64_t changes = 0;
  std::optional<std::uint32_t> lastState;
  std::optional<std::chrono::steady_clock::time_point> lastResume;
};

namespace {

const QString kNmService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kNmPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kLoginService = QStringLiteral("org.freedesktop.login1");
const QString kLoginPath = QStringLiteral("/org/freedesktop/login1");
const QString kLoginManager = QStringLiteral("org.freedesktop.login1.Manager");

}  // namespace

// Receives the signals on the watch's thread.
class NetworkWatchReceiver final : public QObject {
  Q_OBJECT

 public:
  using Observe = std::function<void(std::uint32_t)>;
  using Resumed = std::function<void()>;
  NetworkWatchReceiver(Observe observe, Resumed resumed)
      : observe_(std::move(observe)), resumed_(std::move(resumed)) {}

 public Q_SLOTS:
  void OnStateChanged(uint state) { observe_(state); }
  // True right before the machine sleeps, false once it has resumed.
  void OnPrepareForSleep(bool start) {
    if (!start) resumed_();
  }

 private:
  Observe observe_;
  Resumed resumed_;
};

NetworkWatch::NetworkWatch(const QDBusConnection& systemBus)
    : shared_(std::make_shared<Shared>(systemBus)), thread_(std::make_unique<QThread>()) {
  Shared* shared = shared_.get();
  receiver_ = new NetworkWatchReceiver([shared](std::uint32_t state) { shared->Observe(state); },
                                       [shared] { shared->Resumed(); });
  thread_->setObjectName(QStringLiteral("NetworkWatch"));
  receiver_->moveToThread(thread_.get());
  thread_->start();
  QDBusConnection bus = shared_->bus;
  if (!bus.isConnected()) return;
  bus.connect(kNmService, kNmPath, kNmService, QStringLiteral("StateChanged"), receiver_,
              SLOT(OnStateChanged(uint)));
  bus.connect(kLoginService, kLoginPath, kLoginManager, QStringLiteral("PrepareForSleep"),
              receiver_, SLOT(OnPrepareForSleep(bool)));
}

NetworkWatch::~NetworkWatch() {
  QDBusConnection bus = shared_->bus;
  if (bus.isConnected()) {
    bus.disconnect(kNmService, kNmPath, kNmService, QStringLiteral("StateChanged"), receiver_,
                   SLOT(OnStateChanged(uint)));
    bus.disconnect(kLoginService, kLoginPath, kLoginManager, QStringLiteral("PrepareForSleep"),
                   receiver_, SLOT(OnPrepareForSleep(bool)));
  }
  thread_->quit();
  thread_->wait();
  // Its thread has ended: signals still queued for it go with it.
  delete receiver_;
}

std::optional<std::uint32_t> NetworkWatch::State() {
  const auto state = ReadNetworkManagerState(shared_->bus);
  shared_->Observe(state);
  return state;
}

bool NetworkWatch::ResumedWithin(std::chrono::milliseconds window) {
  std::lock_guard lock(shared_->mutex);
  return shared_->lastResume && std::chrono::steady_clock::now() - *shared_->lastResume <= window;
}

std::uint64_t NetworkWatch::Changes() {
  std::lock_guard lock(shared_->mutex);
  return shared_->changes;
}

void NetworkWatch::WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout) {
  std::unique_lock lock(shared_->mutex);
  shared_->changed.wait_for(lock, timeout, [&] { return shared_->changes != seen; });
}

}  // namespace halvern

#include "network_connection.moc"
