// The check run end to end: a Monitor on the real Qt event loop and window
// host, a real store, real site checks over libcurl against a loopback HTTP
// server, and fakes for the timed run, connection manager and alert devices.

#include "monitor.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "check_history.h"
#include "check_log.h"
#include "clock.h"
#include "curl_internet.h"
#include "event.h"
#include "fakes.h"
#include "fault_store.h"
#include "http_test_server.h"
#include "qt_loop.h"
#include "qt_window_host.h"
#include "recording_host.h"
#include "settings.h"
#include "temp_store.h"
#include "url_entry.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using test::RunFor;
using test::RunUntil;
using SteadyClock = std::chrono::steady_clock;

constexpr std::int64_t kNow = 1196071200;  // 2007-11-26 10:00:00 UTC

// The loopback server. Paths name their behaviour: /ok/... answers 200,
// /missing/... 404, /flaky/... 404 once and then 200, /slow/... streams for a
// long time on its first request and answers 200 afterwards, /gate/... holds
// its answer until the test opens the gate.
class Sites {
 public:
  Sites() {
    auto& http = server_.http();
    http.Get(R"(/ok/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      Hit(req.path);
      res.set_content("hello", "text/plain");
    });
    http.Get(R"(/missing/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      Hit(req.path);
      res.status = 404;
      res.set_content("gone", "text/plain");
    });
    http.Get(R"(/flaky/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      res.status = Hit(req.path) == 1 ? 404 : 200;
      res.set_content("flaky", "text/plain");
    });
    http.Get(R"(/slow/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      if (Hit(req.path) > 1) {
        res.set_content("quick now", "text/plain");
        return;
      }
      res.set_chunked_content_provider("text/plain", [this](std::size_t, httplib::DataSink& sink) {
        const std::string chunk(1024, 'x');
        const auto end = SteadyClock::now() + 30s;
        while (!stop_ && SteadyClock::now() < end) {
          if (!sink.write(chunk.data(), chunk.size())) return false;
          std::this_thread::sleep_for(50ms);
        }
        sink.done();
        return true;
      });
    });
    http.Get(R"(/gate/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      Hit(req.path);
      const auto end = SteadyClock::now() + 30s;
      while (!gateOpen_ && !stop_ && SteadyClock::now() < end) std::this_thread::sleep_for(10ms);
      res.set_content("through", "text/plain");
    });
    server_.Start();
  }
  ~Sites() { stop_ = true; }

  std::u16string Url(const std::string& path) const { return server_.Url16(path); }
  int Hits(const std::string& path) {
    std::lock_guard lock(mutex_);
    return static_cast<int>(hits_[path].size());
  }
  std::vector<SteadyClock::time_point> HitTimes(const std::string& path) {
    std::lock_guard lock(mutex_);
    return hits_[path];
  }
  int TotalHits() {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& [path, times] : hits_) n += static_cast<int>(times.size());
    return n;
  }
  void OpenGate() { gateOpen_ = true; }
  void StopAll() { stop_ = true; }

 private:
  int Hit(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto& times = hits_[path];
    times.push_back(SteadyClock::now());
    return static_cast<int>(times.size());
  }

  std::mutex mutex_;
  std::map<std::string, std::vector<SteadyClock::time_point>> hits_;
  std::atomic<bool> gateOpen_{false};
  std::atomic<bool> stop_{false};
  test::HttpTestServer server_;  // last: stopped before the state it uses goes
};

// The real internet layer, noting the thread of every check that reaches it.
class ThreadRecordingInternet final : public Internet {
 public:
  std::optional<InternetError> AttemptConnect() override {
    std::lock_guard lock(mutex_);
    threads_.push_back(std::this_thread::get_id());
    return real_.AttemptConnect();
  }
  SessionResult OpenSession(ProxyType type, const std::u16string& agent,
                            const std::u16string& proxy) override {
    return real_.OpenSession(type, agent, proxy);
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard lock(mutex_);
    return threads_;
  }

 private:
  CurlInternet real_;
  std::mutex mutex_;
  std::vector<std::thread::id> threads_;
};

struct LogCounts {
  int passed = 0;
  int failed = 0;
  std::vector<std::u16string> texts;
};

class CheckRunTest : public ::testing::Test {
 protected:
  CheckRunTest() {
    test::QtApp();
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    InitCurlGlobal();
  }
  ~CheckRunTest() override {
    sites.OpenGate();
    if (monitor) {
      EXPECT_TRUE(RunUntil([&] { return monitor->RunningJobCount() == 0; }, 60s));
      ShutDown();
    }
    // Checks left to end on their own after a shutdown still write their
    // outcome to the store: it must outlive them. Each holds a share of the
    // internet layer until its job is freed.
    EXPECT_TRUE(RunUntil([&] { return internet.use_count() == 1; }, 60s));
    sites.StopAll();
  }

  // The run's store is `store` when given (a fault-injecting view of t's).
  void Build(std::uint32_t retryDelayMs = 300, SettingsStore* store = nullptr) {
    MonitorOptions options;
    options.retryDelayMs = retryDelayMs;
    options.keepAwakePeriodMs = 50;
    options.workerIdleTime = workerIdleTime;
    options.startThread = [this](std::function<void()> body) -> std::error_code {
      if (failThreads) return std::make_error_code(std::errc::resource_unavailable_try_again);
      ++threadsStarted;
      std::thread(std::move(body)).detach();
      return {};
    };
    options.afterLastCheck = [this] { ++runsEnded; };
    options.walkTurnEntries = walkTurnEntries;
    options.walkTurnTime = walkTurnTime;
    monitor = std::make_unique<Monitor>(
        MonitorServices{test::Borrowed<SettingsStore>(store ? *store : t.store()),
                        test::Borrowed<const Clock>(clock), timers, host.WorkerHandle(), list,
                        timedRun, connections, sound, leds, idleTimer, internet, popup, button},
        options);
    host.SetHandler(monitor.get());
  }
  // The main window's destruction.
  void ShutDown() {
    monitor->Shutdown();
    host.Close();
    monitor.reset();
  }

  UrlEntry Add(const std::u16string& title, const std::string& path, bool enabled = true,
               std::int64_t lastSuccess = 0, std::int32_t failures = 0) {
    UrlEntry e;
    InitUrlEntry(e);
    SetEntryTitle(e, title);
    SetEntryUrl(e, sites.Url(path));
    e.enabled = enabled ? 1 : 0;
    e.lastSuccessTime = lastSuccess;
    e.failureCount = failures;
    EXPECT_TRUE(SaveUrlEntry(t.store(), title, e));
    list.InsertRow(static_cast<int>(list.rows.size()), title, kImageIdle);
    return e;
  }
  UrlEntry Stored(const std::u16string& title) {
    UrlEntry e;
    EXPECT_TRUE(LoadUrlEntry(t.store(), title, e));
    return e;
  }
  LogCounts Log(const std::u16string& title) {
    LogCounts counts;
    auto cursor = t.store().OpenSection(kLogSection);
    for (std::size_t i = 0;; ++i) {
      auto v = cursor->Enumerate(i);
      if (!v) break;
      const LogRecord r = ReadLogRecordBytes(v->data);
      if (FieldText(r.title, 25) != title) continue;
      (r.passed ? counts.passed : counts.failed) += 1;
      counts.texts.push_back(FieldText(r.text, kLogTextChars));
    }
    return counts;
  }
  // The launcher's message, as the timed run delivers it.
  void RunCheck() { host.PostMessage(UM_RUN_CHECK, 0, 0); }
  bool Idle() const { return monitor->RunningJobCount() == 0; }
  // A retry of the entry waits on its timer.
  bool RetryBooked(const std::u16string& title) { return timers.Running(Stored(title).id); }
  // Delivers the launcher's message and runs the loop until that run has
  // booked the next wake-up and every check it started has ended.
  void RunCheckToTheEnd() {
    const std::size_t booked = timedRun.bookings.size();
    RunCheck();
    ASSERT_TRUE(RunUntil([&] { return timedRun.bookings.size() > booked && Idle(); }));
  }
  const test::FakeUrlList::Row& Row(const std::u16string& title) { return *list.Find(title); }

  test::TempStore t;
  ManualClock clock{kNow};
  Sites sites;
  // Shared with the monitor and every job; its use count tells whether a
  // job still lives.
  std::shared_ptr<ThreadRecordingInternet> internet = std::make_shared<ThreadRecordingInternet>();
  QtWindowHost host;
  // The window thread's view of the host: the timers the run has set.
  test::RecordingHost timers{host};
  test::FakeUrlList list;
  test::FakeTimedRun timedRun;
  test::FakeConnectionManager connections;
  test::FakeSoundPlayer sound;
  test::FakeLedDevices leds;
  test::FakeIdleTimer idleTimer;
  test::FakePopup popup;
  test::FakeButton button;
  std::atomic<bool> failThreads{false};  // the system refuses new threads
  std::atomic<int> threadsStarted{0};
  std::chrono::milliseconds workerIdleTime = kWorkerIdleTime;
  std::size_t walkTurnEntries = kWalkTurnEntries;
  std::chrono::milliseconds walkTurnTime = kWalkTurnTime;
  int runsEnded = 0;  // afterLastCheck calls
  std::unique_ptr<Monitor> monitor;
};

TEST_F(CheckRunTest, ScheduledFailureIsRetriedTwiceFiveSecondsApartThenAlerts) {
  Build(kRetryDelayMs);  // the program's own delay
  Add(u"Down", "/missing/down");
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return popup.shown; }, 60s));
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));

  const auto times = sites.HitTimes("/missing/down");
  ASSERT_EQ(times.size(), 3u);
  EXPECT_GE(times[1] - times[0], 4900ms);
  EXPECT_GE(times[2] - times[1], 4900ms);
  const LogCounts log = Log(u"Down");
  EXPECT_EQ(log.failed, 3);
  EXPECT_EQ(log.passed, 0);
  EXPECT_EQ(popup.shows, 1);
  EXPECT_EQ(popup.title, u"Down");
  EXPECT_FALSE(popup.text.has_value());  // the standard "Verification failed."
  EXPECT_EQ(Stored(u"Down").failureCount, 3);
  EXPECT_EQ(Row(u"Down").status, u"Failed. Not Found");
  EXPECT_EQ(Row(u"Down").image, kImageFailed);
  EXPECT_EQ(button.caption, u"Check Now");
  EXPECT_FALSE(monitor->HoldsConnection());

  // The alert ends the retries, and scheduled runs now skip the entry.
  EXPECT_FALSE(RetryBooked(u"Down"));
  clock.Advance(3600);
  RunCheckToTheEnd();
  EXPECT_EQ(sites.Hits("/missing/down"), 3);
}

TEST_F(CheckRunTest, FailureThatPassesOnItsRetryRaisesNoAlert) {
  Build();
  // An entry whose id is also the alert's duration timer: its retry must not
  // be taken for the alert's timer while an alert runs.
  UrlEntry other;
  InitUrlEntry(other);
  SetEntryTitle(other, u"Other");
  monitor->alerts().RaiseAlert(other, std::nullopt);
  UrlEntry flaky = Add(u"Flaky", "/flaky/a");
  flaky.id = IDT_ALERT_DURATION;
  EXPECT_TRUE(SaveUrlEntry(t.store(), u"Flaky", flaky));

  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/flaky/a") == 2 && Idle(); }));
  const UrlEntry stored = Stored(u"Flaky");
  EXPECT_EQ(stored.failureCount, 0);
  EXPECT_EQ(stored.lastSuccessTime, kNow);
  const LogCounts log = Log(u"Flaky");
  EXPECT_EQ(log.failed, 1);
  EXPECT_EQ(log.passed, 1);
  EXPECT_EQ(popup.shows, 1);  // only the alert raised before
  EXPECT_EQ(popup.title, u"Other");
  EXPECT_EQ(Row(u"Flaky").image, kImagePassed);
  EXPECT_EQ(Row(u"Flaky").status, u"Lasted checked on 10:00:00 11/26/07");
}

TEST_F(CheckRunTest, ManualRunChecksEveryEnabledEntryWithoutRetries) {
  Build();
  EXPECT_TRUE(WriteSetting(t.store(), kTimetable, 0));  // a scheduled run would check nothing
  Add(u"A", "/ok/a", true, kNow);                       // and nothing is due by frequency
  Add(u"B", "/ok/b", true, kNow);
  Add(u"C", "/missing/c", true, kNow);
  Add(u"D", "/ok/d", false);

  monitor->CheckNow();
  EXPECT_EQ(monitor->CheckNowTime(), kNow);
  ASSERT_EQ(timedRun.bookings.size(), 1u);
  ASSERT_TRUE(timedRun.bookings[0].when.has_value());
  EXPECT_EQ(timedRun.bookings[0].when->minute, 0);  // booked for the present moment
  EXPECT_EQ(timedRun.bookings[0].when->second, 0);

  clock.Advance(3);  // the launcher's message comes within 5 s
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return sites.TotalHits() == 3 && Idle(); }));
  for (const auto* title : {u"A", u"B", u"C"}) EXPECT_FALSE(RetryBooked(title));  // no retry

  EXPECT_EQ(sites.Hits("/ok/a"), 1);
  EXPECT_EQ(sites.Hits("/ok/b"), 1);
  EXPECT_EQ(sites.Hits("/missing/c"), 1);
  EXPECT_EQ(sites.Hits("/ok/d"), 0);
  EXPECT_TRUE(Row(u"D").history.empty());
  EXPECT_EQ(Row(u"A").image, kImagePassed);
  EXPECT_EQ(Log(u"C").failed, 1);
  EXPECT_EQ(Stored(u"C").failureCount, 1);
  EXPECT_EQ(popup.shows, 1);  // a manual failure alerts at once
  EXPECT_EQ(popup.title, u"C");
  EXPECT_EQ(button.caption, u"Check Now");
  EXPECT_TRUE(button.enabled);
  // The run books the next periodic wake-up again.
  ASSERT_EQ(timedRun.bookings.size(), 2u);
  EXPECT_EQ(timedRun.bookings[1].when->minute, 45);

  // Double tap: a disabled entry does nothing; an enabled one is checked at
  // once, outside the timetable, without retries.
  EXPECT_TRUE(monitor->CheckEntry(u"D"));
  EXPECT_TRUE(monitor->CheckEntry(u"No such entry"));
  EXPECT_EQ(monitor->RunningJobCount(), 0);
  EXPECT_TRUE(monitor->CheckEntry(u"C"));
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/missing/c") == 2 && Idle(); }));
  EXPECT_EQ(Stored(u"C").failureCount, 1);  // the manual copy starts from 0
  EXPECT_EQ(popup.shows, 2);
}

// Each history row says why its check ran; a connection that cannot be had
// leaves a row as it leaves a log record.
TEST_F(CheckRunTest, HistoryRowsCarryTheKindOfTheirCheck) {
  Build();
  Add(u"Flaky", "/flaky/k");
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/flaky/k") == 2 && Idle(); }));
  monitor->CheckNow();
  clock.Advance(3);
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/flaky/k") == 3 && Idle(); }));
  EXPECT_TRUE(monitor->CheckEntry(u"Flaky"));
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/flaky/k") == 4 && Idle(); }));

  // An address that failed, watched while WatchFailedEntries is 1: a
  // scheduled run checks it though it is not due (Flaky, checked a minute
  // ago, is not), then finds no connection for it on the next run.
  Add(u"Down", "/missing/down", true, kNow - 3 * 3600, 2);
  EXPECT_TRUE(WriteSetting(t.store(), kWatchFailedEntries, 1));
  clock.Advance(60);
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/missing/down") == 1 && Idle(); }));
  connections.fail = true;
  clock.Advance(60);
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return Log(u"Down").failed == 2 && Idle(); }));
  EXPECT_EQ(sites.Hits("/flaky/k"), 4);
  const auto watched = t.store().History()->ReadChecks({Stored(u"Down").id});
  ASSERT_EQ(watched.size(), 2u);
  for (const HistoryRow& row : watched) {
    EXPECT_EQ(row.kind, CheckKind::WatchFailed);
    EXPECT_FALSE(row.passed);
  }
  EXPECT_EQ(watched[0].httpStatus, 404u);
  EXPECT_EQ(watched[1].detail, kConnectionFailureText);

  EXPECT_FALSE(monitor->CheckEntry(u"Flaky"));

  const auto rows = t.store().History()->ReadChecks({Stored(u"Flaky").id});
  struct Want {
    CheckKind kind;
    bool passed;
  };
  const Want want[] = {{CheckKind::Scheduled, false},
                       {CheckKind::Retry, true},
                       {CheckKind::ManualRun, true},
                       {CheckKind::SingleCheck, true},
                       {CheckKind::SingleCheck, false}};
  ASSERT_EQ(rows.size(), std::size(want));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].kind, want[i].kind) << i;
    EXPECT_EQ(rows[i].passed, want[i].passed) << i;
    EXPECT_EQ(rows[i].title, u"Flaky") << i;
  }
  EXPECT_EQ(rows.back().detail, kConnectionFailureText);
  EXPECT_FALSE(rows.back().totalMs);
  EXPECT_EQ(rows.back().httpStatus, 0u);
}

TEST_F(CheckRunTest, ARunWithNothingDueStillBooksRepeatsAndExpires) {
  Build();
  Add(u"Fresh", "/ok/fresh", true, kNow - 10 * 60);
  Add(u"Failing", "/ok/failing", true, 0, 2);
  // An old log record that a one-day retention removes.
  EXPECT_TRUE(WriteSetting(t.store(), kKeepLogFiles, 1));
  clock.Set(kNow - 3 * 86400);
  UrlEntry old;
  InitUrlEntry(old);
  SetEntryTitle(old, u"Old");
  ASSERT_TRUE(WriteLogRecord(t.store(), clock, old, true, u"OK"));
  // An alert raised 20 minutes ago, its sound long over: the 15-minute repeat
  // is due.
  clock.Set(kNow - 20 * 60);
  monitor->alerts().RaiseAlert(old, std::nullopt);
  monitor->alerts().StopAlert(false);
  clock.Set(kNow);
  const int plays = sound.plays;

  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return timedRun.bookings.size() == 1; }));
  EXPECT_EQ(sites.TotalHits(), 0);
  EXPECT_EQ(connections.attempts, 0);
  EXPECT_EQ(monitor->RunningJobCount(), 0);
  EXPECT_EQ(button.caption, u"Check Now");
  EXPECT_EQ(monitor->KeepAwakeUsers(), 0);
  EXPECT_GE(idleTimer.resets.load(), 1);
  // The repeat was due: the wake-up comes 1 s ahead, and the alert restarted.
  const auto first = *timedRun.bookings[0].when;
  EXPECT_EQ(std::make_tuple(first.hour, first.minute, first.second), std::make_tuple(10, 0, 1));
  EXPECT_EQ(sound.plays, plays + 1);
  EXPECT_EQ(monitor->AlertTime(), kNow);
  EXPECT_EQ(Log(u"Old").passed, 0);  // expired

  // The run that wake-up starts books min(repeat, Frequency) ahead.
  clock.Advance(1);
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return timedRun.bookings.size() == 2; }));
  const auto second = *timedRun.bookings[1].when;
  EXPECT_EQ(std::make_tuple(second.hour, second.minute, second.second), std::make_tuple(10, 15, 2));
}

TEST_F(CheckRunTest, StopCancelsADownloadAndTheScheduledCheckIsRetried) {
  Build();
  Add(u"Slow", "/slow/s");
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return Row(u"Slow").status.starts_with(u"Downloading:"); }));
  EXPECT_EQ(button.caption, u"Stop");
  const std::size_t bookings = timedRun.bookings.size();

  clock.Advance(30);
  monitor->CheckNow();  // the same button, now Stop
  EXPECT_EQ(monitor->CheckNowTime(), kNow + 30);
  EXPECT_FALSE(button.enabled);
  EXPECT_EQ(timedRun.bookings.size(), bookings);  // no launcher booking

  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/slow/s") == 2 && Idle(); }));
  const auto& history = Row(u"Slow").history;
  EXPECT_NE(std::find(history.begin(), history.end(), u"Canceled"), history.end());
  const LogCounts log = Log(u"Slow");
  EXPECT_EQ(log.failed, 0);  // a cancel records nothing
  EXPECT_EQ(log.passed, 1);  // the retry
  EXPECT_EQ(popup.shows, 0);
  EXPECT_EQ(button.caption, u"Check Now");
  EXPECT_TRUE(button.enabled);
}

// A cancelled check did not find the address down: a manual one raises no
// alert and sends no notification, records nothing and leaves the stored
// count and the tray's state as they were.
TEST_F(CheckRunTest, StopCancelsAManualCheckWithoutAnAlert) {
  Build();
  test::FakeDesktopNotifier notifier;
  monitor->alerts().SetNotifier(&notifier);
  Add(u"Slow", "/slow/m", true, 0, 2);
  monitor->ShowStoredOutcomes();
  ASSERT_EQ(monitor->states().Tray().failed, 1);
  EXPECT_TRUE(monitor->CheckEntry(u"Slow"));
  ASSERT_TRUE(RunUntil([&] { return Row(u"Slow").status.starts_with(u"Downloading:"); }));
  monitor->CheckNow();
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_EQ(Row(u"Slow").status, u"Canceled");
  EXPECT_EQ(Row(u"Slow").image, kImageIdle);
  EXPECT_EQ(popup.shows, 0);
  EXPECT_TRUE(notifier.alerts.empty());
  EXPECT_EQ(monitor->AlertTime(), 0);
  EXPECT_FALSE(sound.playing);
  EXPECT_FALSE(monitor->checkRun().RetryBooked(Stored(u"Slow").id));
  EXPECT_EQ(sites.Hits("/slow/m"), 1);
  EXPECT_EQ(Log(u"Slow").failed, 0);
  EXPECT_EQ(Log(u"Slow").passed, 0);
  EXPECT_EQ(Stored(u"Slow").failureCount, 2);
  EXPECT_EQ(monitor->states().Tray().failed, 1);
  EXPECT_TRUE(button.enabled);
  monitor->alerts().SetNotifier(nullptr);
}

// WatchFailedEntries 0 leaves failed entries to manual checks; 1 makes
// scheduled runs watch them, within the enabled hours, until they are back:
// a failed watch is logged and counted but raises nothing and books no retry;
// a pass clears the count and tells for how long the address was down, from
// the log and the stored entry of a program that has just started.
TEST_F(CheckRunTest, WatchFailedEntriesChecksFailedEntriesUntilTheyAreBack) {
  Build();
  test::FakeDesktopNotifier notifier;
  monitor->alerts().SetNotifier(&notifier);
  const std::int64_t outageStart = kNow - (2 * 3600 + 14 * 60);
  const UrlEntry back = Add(u"Back", "/ok/back", true, outageStart - 3600, 3);
  const UrlEntry still = Add(u"Still", "/missing/still", true, outageStart - 3600, 3);
  // Failures before the last success belong to an earlier outage.
  for (const std::int64_t at : {outageStart - 7200, outageStart, outageStart + 300}) {
    clock.Set(at);
    ASSERT_TRUE(WriteLogRecord(t.store(), clock, back, false, u"Not Found"));
    ASSERT_TRUE(WriteLogRecord(t.store(), clock, still, false, u"Not Found"));
  }
  monitor->ShowStoredOutcomes();  // as the program does when it starts
  EXPECT_EQ(monitor->states().Tray().failed, 2);

  struct Case {
    std::int32_t watch;
    std::int32_t timetable;
    int checks;
  };
  const Case cases[] = {
      {0, -1, 0},         // off: the due test skips every failed entry
      {1, ~(3 << 9), 0},  // on, but 9:00 to 10:59 are not enabled hours
      {1, -1, 2},         // on: both are watched
  };
  std::int64_t at = kNow - 3 * 60;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.watch);
    EXPECT_TRUE(WriteSetting(t.store(), kWatchFailedEntries, c.watch));
    EXPECT_TRUE(WriteSetting(t.store(), kTimetable, c.timetable));
    clock.Set(at += 60);
    const std::size_t bookings = timedRun.bookings.size();
    RunCheck();
    ASSERT_TRUE(RunUntil([&] { return timedRun.bookings.size() == bookings + 1; }));
    ASSERT_TRUE(RunUntil([&] { return sites.TotalHits() == c.checks && Idle(); }));
  }
  EXPECT_EQ(at, kNow);

  const UrlEntry backNow = Stored(u"Back");
  EXPECT_EQ(backNow.failureCount, 0);
  EXPECT_EQ(backNow.lastSuccessTime, kNow);
  ASSERT_EQ(notifier.infos.size(), 1u);
  EXPECT_EQ(notifier.infos[0].summary, u"Back is back after 2 h 14 min");

  EXPECT_EQ(Stored(u"Still").failureCount, 4);
  EXPECT_EQ(Log(u"Still").failed, 4);
  EXPECT_EQ(Row(u"Still").status, u"Failed. Not Found");
  EXPECT_EQ(popup.shows, 0);
  EXPECT_TRUE(notifier.alerts.empty());
  EXPECT_FALSE(monitor->checkRun().RetryBooked(still.id));
  EXPECT_EQ(monitor->states().Tray().failed, 1);
  monitor->alerts().SetNotifier(nullptr);
}

TEST_F(CheckRunTest, NoConnectionLogsAndAlertsEachEntryOnce) {
  Build();
  connections.fail = true;
  Add(u"One", "/ok/one");
  Add(u"Two", "/ok/two");
  Add(u"Three", "/ok/three");
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return timedRun.bookings.size() == 1; }));

  // One failed attempt answers for the rest of the run: the window thread
  // blocks on the manager once, not once per entry.
  EXPECT_EQ(connections.attempts, 1);
  EXPECT_EQ(connections.lastTimeoutMs, 15000u);
  EXPECT_EQ(sites.TotalHits(), 0);
  for (const auto* title : {u"One", u"Two", u"Three"}) {
    const LogCounts log = Log(title);
    EXPECT_EQ(log.failed, 1);
    ASSERT_EQ(log.texts.size(), 1u);
    EXPECT_EQ(log.texts[0], kConnectionFailureText);
    EXPECT_EQ(Stored(title).failureCount, 0);  // not counted as the site's failure
  }
  EXPECT_EQ(popup.shows, 3);  // each replaced the one before
  EXPECT_EQ(popup.destroys, 2);
  EXPECT_EQ(popup.text, std::u16string(kConnectionFailureText));
  EXPECT_EQ(button.caption, u"Check Now");
  EXPECT_EQ(monitor->RunningJobCount(), 0);
  EXPECT_EQ(monitor->KeepAwakeUsers(), 0);
  for (const auto* title : {u"One", u"Two", u"Three"}) EXPECT_FALSE(RetryBooked(title));

  // The next run asks the manager again, and checks once it connects.
  connections.fail = false;
  clock.Advance(3600);
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return sites.TotalHits() == 3 && Idle(); }));
  EXPECT_EQ(connections.attempts, 2);
  EXPECT_EQ(Log(u"Three").passed, 1);
}

// A run, a double-click and a retry while an entry's check still runs start
// no second check of it; the running check's completion alone counts.
TEST_F(CheckRunTest, OneCheckOfAnEntryAtATime) {
  Build();
  Add(u"Held", "/gate/held");
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/gate/held") == 1; }));
  for (int i = 0; i < 3; ++i) {
    clock.Advance(1);
    RunCheck();
    RunFor(100ms);
  }
  EXPECT_TRUE(monitor->CheckEntry(u"Held"));
  monitor->checkRun().RetryEntry(Stored(u"Held").id);
  RunFor(300ms);
  EXPECT_EQ(sites.Hits("/gate/held"), 1);
  EXPECT_EQ(monitor->RunningJobCount(), 1);
  EXPECT_EQ(connections.attempts, 1);

  sites.OpenGate();
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_FALSE(RetryBooked(u"Held"));  // nothing else was booked
  EXPECT_EQ(sites.Hits("/gate/held"), 1);
  EXPECT_EQ(Log(u"Held").passed, 1);
  EXPECT_EQ(Log(u"Held").failed, 0);

  // Once that check has ended, the entry is checked again.
  clock.Advance(3600);
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/gate/held") == 2 && Idle(); }));
  EXPECT_EQ(Log(u"Held").passed, 2);
}

// A stored entry of a mode the program does not know fails like any other
// failure: counted, retried twice, then alerted, and then left alone.
TEST_F(CheckRunTest, AnEntryOfAnUnknownModeFailsRetriesAndAlerts) {
  Build();
  UrlEntry odd = Add(u"Odd", "/ok/odd");
  odd.mode = 7;
  ASSERT_TRUE(SaveUrlEntry(t.store(), u"Odd", odd));
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return popup.shown; }, 10s));
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_FALSE(RetryBooked(u"Odd"));
  EXPECT_EQ(sites.Hits("/ok/odd"), 3);
  const LogCounts log = Log(u"Odd");
  EXPECT_EQ(log.failed, 3);
  ASSERT_FALSE(log.texts.empty());
  EXPECT_EQ(log.texts.back(), u"Unknown check mode.");
  EXPECT_EQ(Stored(u"Odd").failureCount, 3);
  EXPECT_EQ(Row(u"Odd").status, u"Failed. Unknown check mode.");
  EXPECT_EQ(popup.shows, 1);
}

// When the system refuses new threads, nothing ends the program: the run goes
// on without its keep-awake thread, and each check that cannot start is a
// failure that is logged, counted, retried or alerted, and released.
TEST_F(CheckRunTest, ThreadsThatCannotStartAreFailuresNotCrashes) {
  Build();
  Add(u"A", "/ok/a");
  failThreads = true;
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return popup.shown; }, 10s));  // after two retries
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_FALSE(timedRun.bookings.empty());
  EXPECT_EQ(sites.TotalHits(), 0);
  EXPECT_EQ(Log(u"A").failed, 3);
  EXPECT_EQ(Log(u"A").texts.back(), u"Cannot start the check.");
  EXPECT_EQ(Stored(u"A").failureCount, 3);
  EXPECT_TRUE(Row(u"A").status.starts_with(u"Failed. Cannot start the check. Code: "));
  EXPECT_EQ(Row(u"A").image, kImageFailed);
  EXPECT_EQ(connections.Open(), 0);
  EXPECT_EQ(monitor->KeepAwakeUsers(), 0);
  EXPECT_EQ(button.caption, u"Check Now");

  // Threads come back: the same entry is checked as usual.
  failThreads = false;
  EXPECT_TRUE(monitor->CheckEntry(u"A"));
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_EQ(sites.Hits("/ok/a"), 1);
  EXPECT_EQ(Stored(u"A").failureCount, 0);
  EXPECT_EQ(Row(u"A").image, kImagePassed);
}

TEST_F(CheckRunTest, TwoChecksShareOneConnectionReleasedAfterTheSecond) {
  Build();
  Add(u"Held", "/gate/held");
  Add(u"Quick", "/ok/quick");
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return Row(u"Quick").image == kImagePassed; }));
  ASSERT_TRUE(RunUntil([&] { return monitor->RunningJobCount() == 1; }));
  EXPECT_EQ(connections.established, 1);
  EXPECT_EQ(*connections.released, 0);
  EXPECT_TRUE(monitor->HoldsConnection());
  EXPECT_EQ(button.caption, u"Stop");
  EXPECT_EQ(monitor->KeepAwakeUsers(), 1);  // the connection's use

  sites.OpenGate();
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_EQ(connections.established, 1);
  EXPECT_EQ(*connections.released, 1);
  EXPECT_EQ(button.caption, u"Check Now");
  EXPECT_EQ(monitor->KeepAwakeUsers(), 0);
}

// A finished worker thread takes up the next check instead of a new thread
// being made, and idle threads end after their idle time. The keep-awake
// thread runs on the same threads, so a run uses two of them.
TEST_F(CheckRunTest, WorkerThreadsAreReusedAndEndWhenIdle) {
  workerIdleTime = 2s;
  Build();
  Add(u"A", "/ok/a");
  Add(u"B", "/ok/b");
  EXPECT_TRUE(WriteSetting(t.store(), kTimetable, 0));  // the run checks only what the test starts
  EXPECT_TRUE(monitor->CheckEntry(u"A"));
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  const WorkerPool& workers = monitor->checkRun().workers();
  ASSERT_TRUE(RunUntil([&] { return workers.IdleCount() == 2; }));
  EXPECT_EQ(threadsStarted.load(), 2);
  EXPECT_EQ(runsEnded, 1);

  // The second check (another entry) runs on a thread of the first: no
  // thread is made.
  EXPECT_TRUE(monitor->CheckEntry(u"B"));
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_EQ(threadsStarted.load(), 2);
  EXPECT_EQ(runsEnded, 2);
  EXPECT_EQ(Row(u"B").image, kImagePassed);
  const std::vector<std::thread::id> threads = internet->Threads();
  ASSERT_EQ(threads.size(), 2u);
  EXPECT_NE(threads[1], std::this_thread::get_id());
  ASSERT_TRUE(RunUntil([&] { return workers.IdleCount() == 2; }));

  // Left idle, they end; the next check starts a thread again.
  ASSERT_TRUE(RunUntil([&] { return workers.ThreadCount() == 0; }, 30s));
  EXPECT_TRUE(monitor->CheckEntry(u"A"));
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_EQ(threadsStarted.load(), 4);
  EXPECT_EQ(Log(u"A").passed, 2);
}

// A run's walk in turns of two entries over five entries whose answers wait
// for the gate, so that every started check is still running when looked at.
class CheckRunWalkTest : public CheckRunTest {
 protected:
  void SetUp() override {
    walkTurnEntries = 2;
    walkTurnTime = 0ms;
    Build(60000);  // no retry of a cancelled check within a test
    for (int i = 0; i < 5; ++i) {
      const std::string n = std::to_string(i);
      Add(u"Gate " + std::u16string(n.begin(), n.end()), "/gate/" + n);
    }
    bookedBefore = timedRun.bookings.size();
  }
  // Delivers the run's message alone: the walk's first turn.
  void FirstTurn() {
    RunCheck();
    QCoreApplication::sendPostedEvents();
  }
  bool Walking() const { return monitor->checkRun().IsWalking(); }

  std::size_t bookedBefore = 0;
};

TEST_F(CheckRunWalkTest, StartsTheEntriesInTurnsAndBooksTheWakeUpAfterTheLast) {
  FirstTurn();
  EXPECT_TRUE(Walking());
  EXPECT_EQ(monitor->RunningJobCount(), 2);
  EXPECT_EQ(timedRun.bookings.size(), bookedBefore);  // not before the last entry started

  ASSERT_TRUE(RunUntil([&] { return !Walking(); }));
  EXPECT_EQ(monitor->RunningJobCount(), 5);
  EXPECT_EQ(timedRun.bookings.size(), bookedBefore + 1);
  sites.OpenGate();
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  for (const auto& row : list.rows) {
    EXPECT_EQ(Log(row.text).passed, 1) << std::string(row.text.begin(), row.text.end());
  }
}

TEST_F(CheckRunWalkTest, StopDuringTheWalkStartsNoMoreOfItAndStillBooksTheWakeUp) {
  FirstTurn();
  ASSERT_EQ(monitor->RunningJobCount(), 2);
  monitor->CheckNow();  // checks run: this is Stop
  sites.OpenGate();
  ASSERT_TRUE(RunUntil([&] { return Idle() && !Walking(); }));
  RunFor(200ms);
  EXPECT_EQ(sites.TotalHits(), 2);
  EXPECT_EQ(timedRun.bookings.size(), bookedBefore + 1);
  EXPECT_EQ(button.caption, u"Check Now");
  // The two cancelled scheduled checks have their retries booked, each
  // keeping the machine awake until it fires.
  EXPECT_EQ(monitor->KeepAwakeUsers(), 2);
}

TEST_F(CheckRunWalkTest, ARunDuringTheWalkFirstStartsTheRestOfTheEarlierOne) {
  FirstTurn();
  ASSERT_EQ(monitor->RunningJobCount(), 2);
  FirstTurn();  // the second run's message
  EXPECT_EQ(monitor->RunningJobCount(), 5);
  EXPECT_EQ(timedRun.bookings.size(), bookedBefore + 1);  // the first run has ended
  ASSERT_TRUE(RunUntil([&] { return !Walking(); }));
  EXPECT_EQ(timedRun.bookings.size(), bookedBefore + 2);
  sites.OpenGate();
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  // Entries still running when the second run reached them were not checked
  // twice.
  EXPECT_EQ(sites.TotalHits(), 5);
  EXPECT_EQ(monitor->KeepAwakeUsers(), 0);
}

TEST_F(CheckRunTest, ALoneFailureReleasesTheConnectionAndItsRetryConnectsAgain) {
  Build(1500);
  Add(u"Down", "/missing/lone");
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return Log(u"Down").failed == 1 && Idle(); }));
  EXPECT_EQ(*connections.released, 1);
  EXPECT_FALSE(monitor->HoldsConnection());
  EXPECT_EQ(button.caption, u"Check Now");
  EXPECT_EQ(monitor->KeepAwakeUsers(), 1);  // the booked retry's
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/missing/lone") == 2; }));
  EXPECT_EQ(connections.established, 2);
}

TEST_F(CheckRunTest, AConnectionLostUnderRunningChecksKeepsTheCountExact) {
  Build();
  Add(u"Held1", "/gate/1");
  Add(u"Held2", "/gate/2");
  Add(u"Later", "/ok/later");
  EXPECT_TRUE(WriteSetting(t.store(), kTimetable, 0));  // the run checks only what the test starts
  monitor->CheckEntry(u"Held1");
  monitor->CheckEntry(u"Held2");
  ASSERT_TRUE(RunUntil([&] { return sites.Hits("/gate/1") + sites.Hits("/gate/2") == 2; }));
  EXPECT_EQ(monitor->RunningJobCount(), 2);

  connections.DropAll();
  monitor->CheckEntry(u"Later");  // gives the dead connection up, connects anew
  EXPECT_EQ(*connections.released, 1);
  EXPECT_EQ(connections.established, 2);
  EXPECT_EQ(monitor->RunningJobCount(), 3);
  ASSERT_TRUE(RunUntil([&] { return monitor->RunningJobCount() == 2; }));
  EXPECT_EQ(button.caption, u"Stop");
  EXPECT_TRUE(monitor->HoldsConnection());

  sites.OpenGate();
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_EQ(*connections.released, 2);
  EXPECT_FALSE(monitor->HoldsConnection());
  EXPECT_EQ(button.caption, u"Check Now");
  EXPECT_TRUE(button.enabled);
  EXPECT_EQ(monitor->KeepAwakeUsers(), 0);

  // And a later run starts from a clean count.
  monitor->CheckEntry(u"Later");
  EXPECT_EQ(monitor->RunningJobCount(), 1);
  ASSERT_TRUE(RunUntil([&] { return Idle(); }));
  EXPECT_EQ(connections.Open(), 0);
}

TEST_F(CheckRunTest, ShutdownLeavesRunningChecksToEndOnTheirOwn) {
  Build();
  Add(u"Slow", "/slow/shut");
  UrlEntry other;
  InitUrlEntry(other);
  monitor->alerts().RaiseAlert(other, std::nullopt);
  EXPECT_TRUE(leds.state[kLedNotification]);
  monitor->CheckEntry(u"Slow");
  ASSERT_TRUE(RunUntil([&] { return Row(u"Slow").status.starts_with(u"Downloading:"); }));

  ShutDown();
  ASSERT_FALSE(timedRun.bookings.empty());
  EXPECT_FALSE(timedRun.bookings.back().when.has_value());  // booking cancelled
  EXPECT_FALSE(leds.state[kLedNotification]);               // alert acknowledged
  EXPECT_FALSE(sound.playing);
  EXPECT_FALSE(popup.shown);

  // The worker sees the download event, its row update returns at once, and
  // its completion is dropped: the message frees the job, and with it the
  // job's share of the internet layer (the fixture's is the last one).
  const auto end = SteadyClock::now() + 30s;
  while (internet.use_count() > 1 && SteadyClock::now() < end) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(internet.use_count(), 1);
  EXPECT_EQ(Log(u"Slow").failed + Log(u"Slow").passed, 0);
  EXPECT_TRUE(Row(u"Slow").status.starts_with(u"Downloading:"));  // no row update after the end
}

}  // namespace
}  // namespace halvern

namespace halvern {
namespace {

// While another program holds the store, the checks' writes wait rather than
// fail: no completion is reported before its outcome is stored, and once the
// store is free every outcome is logged and every entry saved.
TEST_F(CheckRunTest, ABusyStoreHoldsEachCompletionUntilItsOutcomeIsStored) {
  test::FaultStore busy(t.store());
  Build(300, &busy);
  Add(u"Up", "/ok/up");
  Add(u"Down", "/missing/down");
  // Today's expiry is done, so the run itself writes nothing on this thread.
  ASSERT_TRUE(WriteSetting(t.store(), kRemoveExpairedLogItems, FormatLocalTime(kNow, u"%x")));
  busy.SetBusy(true);
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return busy.Waiting() == 2; }, 30s));
  RunFor(200ms);
  EXPECT_EQ(monitor->RunningJobCount(), 2);
  EXPECT_EQ(Log(u"Up").passed + Log(u"Down").failed, 0);

  busy.SetBusy(false);
  ASSERT_TRUE(RunUntil([&] { return Idle(); }, 30s));
  EXPECT_EQ(Log(u"Up").passed, 1);
  EXPECT_EQ(Log(u"Down").failed, 1);
  EXPECT_EQ(Stored(u"Up").lastSuccessTime, kNow);
  EXPECT_EQ(Stored(u"Down").failureCount, 1);
}

// While the connection step waits for a network that is coming back, the rows
// the run is about to check say so (a disabled entry's row does not); when the
// wait ends they show again what they showed, and the checks or the
// connection failures follow as before. The machine is held awake meanwhile.
class NetworkWaitTest : public CheckRunTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NetworkWaitTest, RowsShowTheWaitAndGetTheirTextsBack) {
  const bool networkComes = GetParam();
  Build();
  Add(u"One", "/ok/one");
  Add(u"Two", "/ok/two");
  Add(u"Off", "/ok/off", false);
  list.SetRowStatusText(list.FindRow(u"Two"), u"Passed earlier");
  list.SetRowStatusText(list.FindRow(u"Off"), u"Left alone");
  connections.fail = !networkComes;
  std::map<std::u16string, std::u16string> during;
  bool heldDuring = false;
  connections.whileWaiting = [&] {
    for (const auto* title : {u"One", u"Two", u"Off"}) during[title] = Row(title).status;
    heldDuring = idleTimer.held;
  };
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return timedRun.bookings.size() == 1 && Idle(); }));

  EXPECT_EQ(connections.waits, 1);  // one wait answers for the run
  EXPECT_EQ(during[u"One"], kWaitingForNetworkText);
  EXPECT_EQ(during[u"Two"], kWaitingForNetworkText);
  EXPECT_EQ(during[u"Off"], u"Left alone");
  EXPECT_EQ(Row(u"Off").history.size(), 1u);
  EXPECT_TRUE(heldDuring);
  EXPECT_FALSE(idleTimer.held);
  EXPECT_EQ(monitor->KeepAwakeUsers(), 0);
  if (networkComes) {
    const std::vector<std::u16string> firstShown(Row(u"One").history.begin(),
                                                 Row(u"One").history.begin() + 3);
    EXPECT_EQ(firstShown,
              (std::vector<std::u16string>{kWaitingForNetworkText, u"", u"Connecting..."}));
    EXPECT_EQ(Log(u"One").passed, 1);
    EXPECT_EQ(Log(u"Two").passed, 1);
    EXPECT_EQ(Log(u"One").failed + Log(u"Two").failed, 0);
    EXPECT_EQ(popup.shows, 0);
  } else {
    EXPECT_EQ(Row(u"One").status, u"");
    EXPECT_EQ(Row(u"Two").status, u"Passed earlier");
    for (const auto* title : {u"One", u"Two"}) {
      const LogCounts log = Log(title);
      EXPECT_EQ(log.failed, 1);
      EXPECT_EQ(log.texts, std::vector<std::u16string>{kConnectionFailureText});
    }
    EXPECT_EQ(popup.shows, 2);
    EXPECT_EQ(sites.TotalHits(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Network, NetworkWaitTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Comes" : "StaysAway"; });

// The keep-awake lock is taken once when the run starts and given back once
// when everything is over: the retries of a failed scheduled check (no check
// runs between a failure and its retry) and the start of the alert after the
// last attempt lie inside it; the alert's sound goes on after it.
TEST_F(CheckRunTest, KeepAwakeLockSpansRetriesAndTheAlertsStart) {
  Build();
  Add(u"Down", "/missing/down");
  int showsAtRelease = -1;
  idleTimer.onChange = [&](bool on) {
    if (!on) showsAtRelease = popup.shows;
  };
  RunCheck();
  ASSERT_TRUE(RunUntil([&] { return popup.shown && Idle() && !idleTimer.held; }, 60s));
  EXPECT_EQ(sites.Hits("/missing/down"), 3);
  EXPECT_EQ(idleTimer.calls, (std::vector<bool>{true, false}));
  EXPECT_EQ(showsAtRelease, 1);
  EXPECT_TRUE(sound.playing);
  EXPECT_EQ(monitor->KeepAwakeUsers(), 0);

  // A double-click whose connection does not come: the wait for it and the
  // alert about it are held awake too.
  idleTimer.calls.clear();
  connections.fail = true;
  bool heldWhileWaiting = false;
  connections.whileWaiting = [&] { heldWhileWaiting = idleTimer.held; };
  EXPECT_FALSE(monitor->CheckEntry(u"Down"));
  EXPECT_TRUE(heldWhileWaiting);
  EXPECT_EQ(idleTimer.calls, (std::vector<bool>{true, false}));
  EXPECT_EQ(showsAtRelease, 2);
  EXPECT_EQ(monitor->KeepAwakeUsers(), 0);
}

// The window's destruction closes the lock while checks and retries are
// still pending.
TEST_F(CheckRunTest, ShutdownClosesTheKeepAwakeLock) {
  Build(60000);  // the retry stays booked
  Add(u"Held", "/gate/held");
  Add(u"Flaky", "/flaky/s");
  RunCheck();
  ASSERT_TRUE(RunUntil([&] {
    return sites.Hits("/flaky/s") == 1 && monitor->RunningJobCount() == 1 &&
           !monitor->checkRun().IsWalking();
  }));
  EXPECT_TRUE(idleTimer.held);
  ShutDown();
  EXPECT_FALSE(idleTimer.held);
  EXPECT_EQ(idleTimer.calls, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace halvern
