#include "network_connection.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <deque>
#include <optional>
#include <string>
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

TEST(NetworkConnectionManagerTest, AnUnmanagedWorkingLinkCountsAsConnected) {
  struct Case {
    std::optional<std::uint32_t> state;
    bool link;
    bool connected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, false, true},
      {kNmConnectedGlobal, false, true},
      {kNmConnectedLocal, false, true},
      // NetworkManager knows of no connection, yet the host has a link.
      {kNmDisconnected, true, true},
      {kNmUnknown, true, true},
      {kNmDisconnected, false, false},
      {kNmUnknown, false, false},
      // States in which NetworkManager is busy with its own links: its word holds.
      {kNmConnecting, true, false},
      {kNmDisconnecting, true, false},
      {kNmAsleep, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "state " << (c.state ? int(*c.state) : -1) << " link " << c.link);
    EXPECT_EQ(CountsAsConnected(c.state, c.link), c.connected);
  }

  // The manager connects at once instead of waiting out the grace period and
  // failing, and the connection holds while the link does.
  bool link = true;
  int probes = 0;
  NetworkConnectionManager manager(Script({kNmDisconnected}),
                                   {.pollMs = 5, .noNetworkGraceMs = 60000}, [&] {
                                     ++probes;
                                     return link;
                                   });
  auto connection = manager.EstablishConnection(200);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(connection->IsConnected());
  link = false;
  EXPECT_FALSE(connection->IsConnected());
  EXPECT_EQ(manager.EstablishConnection(200), nullptr);

  // A connected state needs no look at the routes.
  probes = 0;
  NetworkConnectionManager connected(Script({kNmConnectedGlobal}), Fast(), [&] {
    ++probes;
    return false;
  });
  EXPECT_NE(connected.EstablishConnection(200), nullptr);
  EXPECT_EQ(probes, 0);
}

// Routing tables as the kernel prints them.
TEST(NetworkConnectionManagerTest, DefaultRouteOverAnUpInterface) {
  const std::string v4Heading =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  const std::string v4Default = v4Heading +
                                "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n" +
                                "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
  const std::string v4LocalOnly =
      v4Heading + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
  const std::string v4DefaultNotUp =
      v4Heading + "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n";
  const std::string zeros(32, '0');
  const std::string v6Default = zeros + " 00 " + zeros + " 00 fd000000000000000000000000000001 " +
                                "00000400 00000002 00000000 00000003     wlan0\n";
  // The kernel's own unreachable default on lo, and a link-local route.
  const std::string v6NoDefault = zeros + " 00 " + zeros + " 00 " + zeros +
                                  " ffffffff 00000001 00000000 00200200       lo\n" +
                                  "fe800000000000000000000000000000 40 " + zeros + " 00 " + zeros +
                                  " 00000100 00000002 00000000 00000001     eth0\n";
  struct Case {
    const char* name;
    std::string v4;
    std::string v6;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"IPv4 default", v4Default, v6NoDefault, true},
      {"IPv6 default", v4LocalOnly, v6Default, true},
      {"local routes only", v4LocalOnly, v6NoDefault, false},
      {"default route not up", v4DefaultNotUp, "", false},
      {"nothing readable", "", "", false},
      {"garbage", "x\ny z\n", "short line\n", false},
  };
  const auto up = [](std::string_view iface) { return iface == "eth0" || iface == "wlan0"; };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HasDefaultRoute(c.v4, c.v6, up), c.expected);
  }
  // The same default route over an interface that is down.
  EXPECT_FALSE(HasDefaultRoute(v4Default, v6Default, [](std::string_view) { return false; }));
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
