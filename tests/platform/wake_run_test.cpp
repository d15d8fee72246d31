// A run right after the machine woke, against NetworkManager and logind
// stand-ins on a private bus: the run waits for a network that is coming
// back and checks once it is there, gives up after the connection time-out
// (through an injected clock) or at once when no network is coming, and holds
// a logind sleep lock from its start until everything is over.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "../engine/fakes.h"
#include "check_log.h"
#include "check_run.h"
#include "clock.h"
#include "curl_internet.h"
#include "event.h"
#include "http_test_server.h"
#include "idle_timer.h"
#include "monitor.h"
#include "network_connection.h"
#include "qt_loop.h"
#include "qt_window_host.h"
#include "silent_server.h"
#include "system_bus_stand_ins.h"
#include "temp_store.h"
#include "url_entry.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using test::RunUntil;

constexpr std::int64_t kNow = 1196071200;  // 2007-11-26 10:00:00 UTC

// The watch on the stand-ins, except that a wait lets the whole time-out
// pass on the test's clock at once when nothing has changed.
class ImpatientEvents final : public NetworkEvents {
 public:
  ImpatientEvents(std::shared_ptr<NetworkEvents> real, std::chrono::steady_clock::time_point& now)
      : real_(std::move(real)), now_(now) {}
  std::optional<std::uint32_t> State() override { return real_->State(); }
  bool ResumedWithin(std::chrono::milliseconds window) override {
    return real_->ResumedWithin(window);
  }
  std::uint64_t Changes() override { return real_->Changes(); }
  void WaitForChange(std::uint64_t seen, std::chrono::milliseconds timeout) override {
    if (real_->Changes() == seen) now_ += timeout;
  }

 private:
  std::shared_ptr<NetworkEvents> real_;
  std::chrono::steady_clock::time_point& now_;
};

class WakeRunTest : public ::testing::Test {
 protected:
  WakeRunTest() {
    test::QtApp();
    InitCurlGlobal();
    web.http().Get("/ok", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("hello", "text/plain");
    });
    web.Start();
  }
  ~WakeRunTest() override {
    if (monitor) {
      monitor->Shutdown();
      host.Close();
      monitor.reset();
    }
  }

  // The stand-ins start with NetworkManager in `state`; with `impatient` the
  // connection step's waits let their time-out pass at once.
  void Build(std::uint32_t state, bool impatient = false) {
    standIns = std::make_unique<test::SystemBusStandIns>(state);
    ASSERT_TRUE(standIns->ok());
    const QDBusConnection bus = standIns->Client(QStringLiteral("halvern"));
    watch = std::make_shared<NetworkWatch>(bus);
    std::shared_ptr<NetworkEvents> events = watch;
    NetworkConnectionManager::Now now;
    if (impatient) {
      events = std::make_shared<ImpatientEvents>(watch, steadyNow);
      now = [this] { return steadyNow; };
    }
    connections = std::make_unique<NetworkConnectionManager>(events, LinkProbe(), now);
    lock = std::make_unique<LogindIdleTimer>(bus);
    MonitorOptions options;
    options.retryDelayMs = 300;
    options.keepAwakePeriodMs = 50;
    monitor = std::make_unique<Monitor>(
        MonitorServices{test::Borrowed<SettingsStore>(t.store()),
                        test::Borrowed<const Clock>(clock), host, host.WorkerHandle(), list,
                        timedRun, *connections, sound, leds, *lock, internet, popup, button},
        options);
    host.SetHandler(monitor.get());
  }
  static NetworkConnectionManager::LinkProbe LinkProbe() { return {}; }

  void Add(const std::u16string& title, const std::u16string& url) {
    UrlEntry e;
    InitUrlEntry(e);
    SetEntryTitle(e, title);
    SetEntryUrl(e, url);
    e.enabled = 1;
    ASSERT_TRUE(SaveUrlEntry(t.store(), title, e));
    list.InsertRow(static_cast<int>(list.rows.size()), title, kImageIdle);
  }
  // Failed and passed records of `title`, with their texts.
  std::pair<int, std::vector<std::u16string>> Failures(const std::u16string& title) {
    int passed = 0;
    std::vector<std::u16string> failed;
    auto cursor = t.store().OpenSection(kLogSection);
    for (std::size_t i = 0; cursor; ++i) {
      auto v = cursor->Enumerate(i);
      if (!v) break;
      const LogRecord r = ReadLogRecordBytes(v->data);
      if (FieldText(r.title, 25) != title) continue;
      if (r.passed) {
        ++passed;
      } else {
        failed.push_back(FieldText(r.text, kLogTextChars));
      }
    }
    return {passed, failed};
  }
  bool ShowedWaiting(const std::u16string& title) {
    const auto& history = list.Find(title)->history;
    return std::find(history.begin(), history.end(), kWaitingForNetworkText) != history.end();
  }
  void RunCheck() { host.PostMessage(UM_RUN_CHECK, 0, 0); }
  bool RunOver() { return !timedRun.bookings.empty() && monitor->RunningJobCount() == 0; }

  test::TempStore t;
  ManualClock clock{kNow};
  test::HttpTestServer web;
  std::shared_ptr<CurlInternet> internet = std::make_shared<CurlInternet>();
  QtWindowHost host;
  test::FakeUrlList list;
  test::FakeTimedRun timedRun;
  test::FakeSoundPlayer sound;
  test::FakeLedDevices leds;
  test::FakePopup popup;
  test::FakeButton button;
  std::chrono::steady_clock::time_point steadyNow{};
  std::unique_ptr<test::SystemBusStandIns> standIns;
  std::shared_ptr<NetworkWatch> watch;
  std::unique_ptr<NetworkConnectionManager> connections;
  std::unique_ptr<LogindIdleTimer> lock;
  std::unique_ptr<Monitor> monitor;
};

// NetworkManager asleep when the run starts, then connecting, then connected
// a moment later: the run waits for it, woken by its signals, and checks.
TEST_F(WakeRunTest, ARunWaitsForTheNetworkComingBackAndChecks) {
  Build(kNmAsleep);
  Add(u"Site", web.Url16("/ok"));
  // The rows say that the run waits; then the network comes back.
  list.onStatus = [&](const std::u16string& text) {
    if (text == kWaitingForNetworkText) {
      standIns->network().Play({kNmDisconnected, kNmConnecting, kNmConnectedGlobal});
    }
  };
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return RunOver(); }, 60s));
  EXPECT_TRUE(ShowedWaiting(u"Site"));
  const auto [passed, failed] = Failures(u"Site");
  EXPECT_EQ(passed, 1);
  EXPECT_TRUE(failed.empty()) << "a connection failure was recorded";
  EXPECT_EQ(popup.shows, 0);
  // NetworkManager leaving asleep is a resume.
  EXPECT_TRUE(watch->ResumedWithin(std::chrono::milliseconds(kResumeWindowMs)));

  // The sleep lock was held for the run and closed when it ended.
  const auto locks = standIns->login().Locks();
  ASSERT_EQ(locks.size(), 1u);
  EXPECT_EQ(locks[0].what, QStringLiteral("sleep:idle"));
  EXPECT_EQ(locks[0].who, QStringLiteral("Velmora Halvern"));
  EXPECT_EQ(locks[0].why, QStringLiteral("Checking web sites"));
  EXPECT_EQ(locks[0].mode, QStringLiteral("block"));
  EXPECT_TRUE(standIns->login().WaitUntilClosed(0, 30s));
  EXPECT_FALSE(lock->Holds());
}

// Each entry tried gets one record and one alert after the wait; the wait
// ends at the connection time-out (on the test's clock) or, with no network
// coming, at once.
struct FailureCase {
  const char* name;
  std::uint32_t state;
  bool waits;  // the rows show the wait
};

class WakeRunFailureTest : public WakeRunTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(WakeRunFailureTest, ANetworkThatDoesNotComeFailsEachEntryOnce) {
  const FailureCase& c = GetParam();
  Build(c.state, true);
  Add(u"One", web.Url16("/ok"));
  Add(u"Two", web.Url16("/ok"));
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return RunOver(); }, 60s));
  EXPECT_EQ(steadyNow.time_since_epoch(), c.waits ? 15000ms : 0ms);
  for (const auto* title : {u"One", u"Two"}) {
    const auto [passed, failed] = Failures(title);
    EXPECT_EQ(passed, 0);
    EXPECT_EQ(failed, std::vector<std::u16string>{kConnectionFailureText});
    EXPECT_EQ(ShowedWaiting(title), c.waits);
    EXPECT_EQ(list.Find(title)->status, u"");  // shown again as it was
  }
  EXPECT_EQ(popup.shows, 2);
  EXPECT_EQ(popup.text, std::u16string(kConnectionFailureText));
  ASSERT_EQ(standIns->login().Locks().size(), 1u);
  EXPECT_TRUE(standIns->login().WaitUntilClosed(0, 30s));
}

INSTANTIATE_TEST_SUITE_P(Network, WakeRunFailureTest,
                         ::testing::Values(FailureCase{"AsleepForEver", kNmAsleep, true},
                                           FailureCase{"DisconnectedWithoutAResume",
                                                       kNmDisconnected, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The window's destruction closes the lock while a check still waits for its
// server.
TEST_F(WakeRunTest, ShutdownClosesTheLockOfARunningCheck) {
  test::SilentServer silent;
  Build(kNmConnectedGlobal);
  Add(u"Silent", silent.Url16("/"));
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return monitor->RunningJobCount() == 1; }, 30s));
  ASSERT_EQ(standIns->login().Locks().size(), 1u);
  EXPECT_TRUE(standIns->login().IsOpen(0));
  monitor->Shutdown();
  EXPECT_TRUE(standIns->login().WaitUntilClosed(0, 30s));
  host.Close();
  monitor.reset();
}

}  // namespace
}  // namespace halvern
