#include "network_connection.h"

#include <net/if.h>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QString>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>

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
  NetworkConnection(NetworkConnectionManager::StateReader reader,
                    NetworkConnectionManager::LinkProbe link)
      : reader_(std::move(reader)), link_(std::move(link)) {}
  bool IsConnected() override { return Connected(reader_(), link_); }

 private:
  NetworkConnectionManager::StateReader reader_;
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

ConnectionStep DecideConnection(std::optional<std::uint32_t> state, std::uint32_t elapsedMs,
                                std::uint32_t timeoutMs, std::uint32_t noNetworkGraceMs) {
  if (!state || IsConnectedState(*state)) return ConnectionStep::kConnected;
  if (elapsedMs >= timeoutMs) return ConnectionStep::kFailed;
  const bool noNetwork = *state == kNmAsleep || *state == kNmDisconnected;
  if (noNetwork && elapsedMs >= noNetworkGraceMs) return ConnectionStep::kFailed;
  return ConnectionStep::kWait;
}

std::optional<std::uint32_t> ReadNetworkManagerState() {
  static const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
  QDBusConnection bus = QDBusConnection::systemBus();
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

NetworkConnectionManager::NetworkConnectionManager()
    : NetworkConnectionManager(&ReadNetworkManagerState, Options{}, &HostHasWorkingLink) {}

NetworkConnectionManager::NetworkConnectionManager(StateReader reader, Options options,
                                                   LinkProbe link)
    : reader_(std::move(reader)), options_(options), link_(std::move(link)) {}

std::unique_ptr<Connection> NetworkConnectionManager::EstablishConnection(std::uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (;;) {
    const auto state = reader_();
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const auto elapsedMs = static_cast<std::uint32_t>(
        std::min<std::int64_t>(elapsed.count(), std::numeric_limits<std::uint32_t>::max()));
    if (Connected(state, link_)) return std::make_unique<NetworkConnection>(reader_, link_);
    switch (DecideConnection(state, elapsedMs, timeoutMs, options_.noNetworkGraceMs)) {
      case ConnectionStep::kConnected:
        return std::make_unique<NetworkConnection>(reader_, link_);
      case ConnectionStep::kFailed:
        return nullptr;
      case ConnectionStep::kWait:
        break;
    }
    const std::uint32_t left = timeoutMs - elapsedMs;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(options_.pollMs, left)));
  }
}

}  // namespace halvern
