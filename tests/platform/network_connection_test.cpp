#include "network_connection.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <deque>
#include <optional>
#include <vector>

namespace halvern {
namespace {

using namespace std::chrono_literals;

TEST(DecideConnectionTest, Table) {
  struct Case {
    std::optional<std::uint32_t> state;
    std::uint32_t elapsedMs;
    ConnectionStep expected;
  };
  constexpr std::uint32_t kTimeout = 15000;
  constexpr std::uint32_t kGrace = kNoNetworkGraceMs;
  const std::vector<Case> cases = {
      // No NetworkManager: nothing to wait for.
      {std::nullopt, 0, ConnectionStep::kConnected},
      {std::nullopt, kTimeout + 1, ConnectionStep::kConnected},
      // Connected, at any level, connects.
      {kNmConnectedGlobal, 0, ConnectionStep::kConnected},
      {kNmConnectedSite, 0, ConnectionStep::kConnected},
      {kNmConnectedLocal, 0, ConnectionStep::kConnected},
      {kNmConnectedGlobal, kTimeout, ConnectionStep::kConnected},
      // Coming up: wait until the timeout.
      {kNmConnecting, 0, ConnectionStep::kWait},
      {kNmConnecting, kTimeout - 1, ConnectionStep::kWait},
      {kNmConnecting, kTimeout, ConnectionStep::kFailed},
      {kNmDisconnecting, kGrace + 1, ConnectionStep::kWait},
      {kNmUnknown, kGrace + 1, ConnectionStep::kWait},
      // No network: waited out for the grace period (resume), then a failure.
      {kNmDisconnected, 0, ConnectionStep::kWait},
      {kNmDisconnected, kGrace - 1, ConnectionStep::kWait},
      {kNmDisconnected, kGrace, ConnectionStep::kFailed},
      {kNmAsleep, kGrace - 1, ConnectionStep::kWait},
      {kNmAsleep, kGrace, ConnectionStep::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "state " << (c.state ? int(*c.state) : -1) << " at " << c.elapsedMs << " ms");
    EXPECT_EQ(DecideConnection(c.state, c.elapsedMs, kTimeout), c.expected);
  }
  // A timeout shorter than the grace period ends the wait first.
  EXPECT_EQ(DecideConnection(kNmDisconnected, 100, 100), ConnectionStep::kFailed);
  EXPECT_EQ(DecideConnection(kNmConnectedGlobal, 0, 0), ConnectionStep::kConnected);
  EXPECT_EQ(DecideConnection(kNmConnecting, 0, 0), ConnectionStep::kFailed);
}

// A reader that plays a script of states, repeating the last one.
NetworkConnectionManager::StateReader Script(std::deque<std::optional<std::uint32_t>> states,
                                             int* reads = nullptr) {
  return [states, reads]() mutable {
    if (reads) ++*reads;
    const auto state = states.front();
    if (states.size() > 1) states.pop_front();
    return state;
  };
}

NetworkConnectionManager::Options Fast() { return {.pollMs = 5, .noNetworkGraceMs = 100}; }

TEST(NetworkConnectionManagerTest, WaitsForAConnectionToComeUp) {
  int reads = 0;
  NetworkConnectionManager manager(
      Script({kNmAsleep, kNmDisconnected, kNmConnecting, kNmConnecting, kNmConnectedGlobal},
             &reads),
      Fast());
  auto connection = manager.EstablishConnection(15000);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(reads, 5);
  EXPECT_TRUE(connection->IsConnected());
}

TEST(NetworkConnectionManagerTest, FailsWithoutNetworkAfterTheGracePeriodOnly) {
  NetworkConnectionManager manager(Script({kNmDisconnected}), Fast());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(manager.EstablishConnection(15000), nullptr);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 5s);
}

TEST(NetworkConnectionManagerTest, FailsAtTheTimeoutWhileStillConnecting) {
  NetworkConnectionManager manager(Script({kNmConnecting}), Fast());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(manager.EstablishConnection(200), nullptr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

TEST(NetworkConnectionManagerTest, ReportsADroppedConnection) {
  NetworkConnectionManager manager(Script({kNmConnectedSite, kNmConnectedSite, kNmDisconnected}),
                                   Fast());
  auto connection = manager.EstablishConnection(1000);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(connection->IsConnected());
  EXPECT_FALSE(connection->IsConnected());
}

TEST(NetworkConnectionManagerTest, WithoutNetworkManagerConnectsAtOnce) {
  int argc = 1;
  char name[] = "network_connection_test";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  if (ReadNetworkManagerState().has_value()) {
    GTEST_SKIP() << "NetworkManager runs on this machine";
  }
  NetworkConnectionManager manager;
  const auto start = std::chrono::steady_clock::now();
  auto connection = manager.EstablishConnection(15000);
  ASSERT_NE(connection, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_TRUE(connection->IsConnected());
}

}  // namespace
}  // namespace halvern
