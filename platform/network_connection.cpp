#include "network_connection.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QString>
#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

namespace halvern {
namespace {

// A bus that does not answer must not hold the check run for long.
constexpr int kDbusCallTimeoutMs = 1000;

bool IsConnectedState(std::uint32_t state) { return state >= kNmConnectedLocal; }

class NetworkConnection final : public Connection {
 public:
  explicit NetworkConnection(NetworkConnectionManager::StateReader reader)
      : reader_(std::move(reader)) {}
  bool IsConnected() override {
    const auto state = reader_();
    return !state || IsConnectedState(*state);
  }

 private:
  NetworkConnectionManager::StateReader reader_;
};

}  // namespace

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
    : NetworkConnectionManager(&ReadNetworkManagerState, Options{}) {}

NetworkConnectionManager::NetworkConnectionManager(StateReader reader, Options options)
    : reader_(std::move(reader)), options_(options) {}

std::unique_ptr<Connection> NetworkConnectionManager::EstablishConnection(std::uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  for (;;) {
    const auto state = reader_();
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const auto elapsedMs = static_cast<std::uint32_t>(
        std::min<std::int64_t>(elapsed.count(), std::numeric_limits<std::uint32_t>::max()));
    switch (DecideConnection(state, elapsedMs, timeoutMs, options_.noNetworkGraceMs)) {
      case ConnectionStep::kConnected:
        return std::make_unique<NetworkConnection>(reader_);
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
