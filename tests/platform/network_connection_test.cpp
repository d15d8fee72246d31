#include "network_connection.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qt_loop.h"
#include "system_bus_stand_ins.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;

TEST(DecideConnectionTest, Table) {
  struct Case {
    std::optional<std::uint32_t> state;
    bool link;
    bool resumed;
    std::uint32_t elapsedMs;
    ConnectionStep expected;
  };
  constexpr std::uint32_t kTimeout = 15000;
  const std::vector<Case> cases = {
      // No NetworkManager: nothing to wait for.
      {std::nullopt, false, false, 0, ConnectionStep::kConnected},
      {std::nullopt, false, false, kTimeout + 1, ConnectionStep::kConnected},
      // Connected, at any level, connects.
      {kNmConnectedGlobal, false, false, 0, ConnectionStep::kConnected},
      {kNmConnectedSite, false, false, 0, ConnectionStep::kConnected},
      {kNmConnectedLocal, false, false, 0, ConnectionStep::kConnected},
      {kNmConnectedGlobal, false, false, kTimeout, ConnectionStep::kConnected},
      // Coming back or coming up: waited for until the timeout, with or
      // without a resume.
      {kNmAsleep, false, false, 0, ConnectionStep::kWait},
      {kNmAsleep, false, true, kTimeout - 1, ConnectionStep::kWait},
      {kNmAsleep, false, false, kTimeout, ConnectionStep::kFailed},
      {kNmConnecting, false, false, kTimeout - 1, ConnectionStep::kWait},
      {kNmConnecting, false, true, kTimeout, ConnectionStep::kFailed},
      {kNmDisconnecting, false, false, 5000, ConnectionStep::kWait},
      {kNmUnknown, false, false, 5000, ConnectionStep::kWait},
      // Disconnected just after a resume: the network is on its way.
      {kNmDisconnected, false, true, 0, ConnectionStep::kWait},
      {kNmDisconnected, false, true, kTimeout - 1, ConnectionStep::kWait},
      {kNmDisconnected, false, true, kTimeout, ConnectionStep::kFailed},
      // Disconnected with no resume lately: plainly absent, at once.
      {kNmDisconnected, false, false, 0, ConnectionStep::kFailed},
      // A working link NetworkManager does not manage connects.
      {kNmDisconnected, true, false, 0, ConnectionStep::kConnected},
      {kNmUnknown, true, false, 0, ConnectionStep::kConnected},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "state " << (c.state ? int(*c.state) : -1) << " link " << c.link << " resumed "
                 << c.resumed << " at " << c.elapsedMs << " ms");
    EXPECT_EQ(DecideConnection({c.state, c.link, c.resumed}, c.elapsedMs, kTimeout), c.expected);
  }
  EXPECT_EQ(DecideConnection({kNmConnectedGlobal, false, false}, 0, 0), ConnectionStep::kConnected);
  EXPECT_EQ(DecideConnection({kNmConnecting, false, false}, 0, 0), ConnectionStep::kFailed);
}

// A clock the test moves.
struct FakeSteadyClock {
  std::chrono::steady_clock::time_point now{};
  NetworkConnectionManager::Now Reader() {
    return [this] { return now; };
  }
};

// Events that play a script of states: each wait brings the next state (a
// change, 1 ms later), or, once the script is over, lets the whole timeout
// pass with nothing changing.
class ScriptedEvents final : public NetworkEvents {
 public:
  ScriptedEvents(std::deque<std::optional<std::uint32_t>> states, FakeSteadyClock& clock,
                 bool resumed = false)
      : states_(std::move(states)), clock_(clock), resumed_(resumed) {}

  std::optional<std::uint32_t> State() override { return states_.front(); }
  bool ResumedWithin(std::chrono::milliseconds) override { return resumed_; }
  std::uint64_t Changes() override { return changes_; }
  void WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout) override {
    ++waits;
    if (seen != changes_) return;
    if (states_.size() > 1) {
      states_.pop_front();
      ++changes_;
      clock_.now += 1ms;
      return;
    }
    clock_.now += timeout;
  }

  int waits = 0;

 private:
  std::deque<std::optional<std::uint32_t>> states_;
  FakeSteadyClock& clock_;
  bool resumed_;
  std::uint64_t changes_ = 0;
};

// What a manager's notice heard.
struct NoticeLog {
  std::vector<bool> heard;
  ConnectionManager::WaitNotice Notice() {
    return [this](bool waiting) { heard.push_back(waiting); };
  }
};

TEST(NetworkConnectionManagerTest, WaitsForTheNetworkToComeBackAfterAResume) {
  struct Case {
    const char* name;
    std::deque<std::optional<std::uint32_t>> states;
    bool resumed;
  };
  const std::vector<Case> cases = {
      {"asleep, connecting, connected",
       {kNmAsleep, kNmConnecting, kNmConnecting, kNmConnectedGlobal},
       false},
      {"asleep, disconnected, connecting, connected",
       {kNmAsleep, kNmDisconnected, kNmConnecting, kNmConnectedSite},
       true},
      {"disconnected just after a resume", {kNmDisconnected, kNmConnectedLocal}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSteadyClock clock;
    auto events = std::make_shared<ScriptedEvents>(c.states, clock, c.resumed);
    NetworkConnectionManager manager(events, {}, clock.Reader());
    NoticeLog notice;
    auto connection = manager.AwaitConnection(15000, notice.Notice());
    ASSERT_NE(connection, nullptr);
    EXPECT_TRUE(connection->IsConnected());
    EXPECT_EQ(events->waits, static_cast<int>(c.states.size()) - 1);
    EXPECT_EQ(notice.heard, (std::vector<bool>{true, false}));
  }
}

TEST(NetworkConnectionManagerTest, GivesUpAfterTheTimeoutOrAtOnceWhenNothingIsComing) {
  struct Case {
    const char* name;
    std::optional<std::uint32_t> state;
    bool resumed;
    std::chrono::milliseconds failsAfter;
    std::vector<bool> heard;
  };
  const std::vector<Case> cases = {
      {"asleep for ever", kNmAsleep, false, 15000ms, {true, false}},
      {"connecting for ever", kNmConnecting, true, 15000ms, {true, false}},
      {"disconnected after a resume for ever", kNmDisconnected, true, 15000ms, {true, false}},
      {"disconnected, no resume", kNmDisconnected, false, 0ms, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSteadyClock clock;
    auto events = std::make_shared<ScriptedEvents>(std::deque{c.state}, clock, c.resumed);
    NetworkConnectionManager manager(events, {}, clock.Reader());
    NoticeLog notice;
    EXPECT_EQ(manager.AwaitConnection(15000, notice.Notice()), nullptr);
    EXPECT_EQ(clock.now.time_since_epoch(), c.failsAfter);
    EXPECT_EQ(notice.heard, c.heard);
  }
}

TEST(NetworkConnectionManagerTest, ReportsADroppedConnection) {
  FakeSteadyClock clock;
  std::optional<std::uint32_t> state = kNmConnectedSite;
  class Live final : public NetworkEvents {
   public:
    explicit Live(std::optional<std::uint32_t>& state) : state_(state) {}
    std::optional<std::uint32_t> State() override { return state_; }
    bool ResumedWithin(std::chrono::milliseconds) override { return false; }
    std::uint64_t Changes() override { return 0; }
    void WaitForChange(std::uint64_t, std::chrono::milliseconds) override {}

   private:
    std::optional<std::uint32_t>& state_;
  };
  NetworkConnectionManager manager(std::make_shared<Live>(state), {}, clock.Reader());
  auto connection = manager.EstablishConnection(1000);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(connection->IsConnected());
  state = kNmDisconnected;
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

  // The manager connects at once, and the connection holds while the link
  // does.
  bool link = true;
  int probes = 0;
  FakeSteadyClock clock;
  NetworkConnectionManager manager(
      std::make_shared<ScriptedEvents>(std::deque<std::optional<std::uint32_t>>{kNmDisconnected},
                                       clock),
      [&] {
        ++probes;
        return link;
      },
      clock.Reader());
  auto connection = manager.EstablishConnection(200);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(connection->IsConnected());
  link = false;
  EXPECT_FALSE(connection->IsConnected());
  EXPECT_EQ(manager.EstablishConnection(200), nullptr);

  // A connected state needs no look at the routes.
  probes = 0;
  NetworkConnectionManager connected(
      std::make_shared<ScriptedEvents>(std::deque<std::optional<std::uint32_t>>{kNmConnectedGlobal},
                                       clock),
      [&] {
        ++probes;
        return false;
      },
      clock.Reader());
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

// The watch, running `beforeBlocking` once when a wait is about to block:
// what wakes the wait from there on can only be a signal.
class FirstBlock final : public NetworkEvents {
 public:
  FirstBlock(std::shared_ptr<NetworkWatch> watch, std::function<void()> beforeBlocking)
      : watch_(std::move(watch)), beforeBlocking_(std::move(beforeBlocking)) {}
  std::optional<std::uint32_t> State() override { return watch_->State(); }
  bool ResumedWithin(std::chrono::milliseconds window) override {
    return watch_->ResumedWithin(window);
  }
  std::uint64_t Changes() override { return watch_->Changes(); }
  void WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout) override {
    const bool first = watch_->Changes() == seen && beforeBlocking_;
    if (first) std::exchange(beforeBlocking_, {})();
    watch_->WaitForChange(seen, timeout);
    if (first) wokenByChange = watch_->Changes() != seen;
  }

  // Whether that wait ended because something changed, not at its timeout.
  bool wokenByChange = false;

 private:
  std::shared_ptr<NetworkWatch> watch_;
  std::function<void()> beforeBlocking_;
};

// NetworkManager and logind stand-ins on a private bus, watched as the
// program watches the system bus: the wait is woken by their signals.
TEST(NetworkWatchTest, WaitsThroughAsleepAndConnectingWokenBySignals) {
  test::QtApp();
  test::SystemBusStandIns standIns(kNmAsleep);
  ASSERT_TRUE(standIns.ok());
  auto watch = std::make_shared<NetworkWatch>(standIns.Client(QStringLiteral("watch")));
  auto events = std::make_shared<FirstBlock>(watch, [&] {
    standIns.network().Play({kNmDisconnected, kNmConnecting, kNmConnectedGlobal});
  });
  NetworkConnectionManager manager(events);
  std::vector<bool> heard;
  auto connection = manager.AwaitConnection(15000, [&](bool waiting) { heard.push_back(waiting); });
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(events->wokenByChange);
  EXPECT_EQ(heard, (std::vector<bool>{true, false}));
  EXPECT_TRUE(connection->IsConnected());
  // NetworkManager leaving asleep is a resume.
  EXPECT_TRUE(watch->ResumedWithin(std::chrono::milliseconds(kResumeWindowMs)));

  standIns.network().SetState(kNmDisconnected);
  EXPECT_FALSE(connection->IsConnected());
}

TEST(NetworkWatchTest, AResumeMakesADisconnectedNetworkWorthWaitingFor) {
  test::QtApp();
  test::SystemBusStandIns standIns(kNmDisconnected);
  ASSERT_TRUE(standIns.ok());
  auto watch = std::make_shared<NetworkWatch>(standIns.Client(QStringLiteral("watch")));
  auto events = std::make_shared<FirstBlock>(watch, [&] {
    standIns.network().Play({kNmConnecting, kNmConnectedSite});
  });
  NetworkConnectionManager manager(events);
  const auto window = std::chrono::milliseconds(kResumeWindowMs);

  // No resume: nothing is coming, the step fails without waiting.
  std::vector<bool> heard;
  const auto notice = [&](bool waiting) { heard.push_back(waiting); };
  EXPECT_EQ(manager.AwaitConnection(15000, notice), nullptr);
  EXPECT_TRUE(heard.empty());
  EXPECT_FALSE(watch->ResumedWithin(window));

  // logind says the machine has resumed: the same state is now waited out.
  const std::uint64_t seen = watch->Changes();
  standIns.login().Resume();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!watch->ResumedWithin(window) && std::chrono::steady_clock::now() < deadline) {
    watch->WaitForChange(seen, 1s);
  }
  ASSERT_TRUE(watch->ResumedWithin(window));
  EXPECT_NE(manager.AwaitConnection(15000, notice), nullptr);
  EXPECT_TRUE(events->wokenByChange);
  EXPECT_EQ(heard, (std::vector<bool>{true, false}));
}

TEST(NetworkConnectionManagerTest, WithoutNetworkManagerConnectsAtOnce) {
  test::QtApp();
  if (ReadNetworkManagerState().has_value()) {
    GTEST_SKIP() << "NetworkManager runs on this machine";
  }
  NetworkConnectionManager manager;
  std::vector<bool> heard;
  auto connection = manager.AwaitConnection(15000, [&](bool waiting) { heard.push_back(waiting); });
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(heard.empty());  // no wait at all
  EXPECT_TRUE(connection->IsConnected());
}

}  // namespace
}  // namespace halvern
