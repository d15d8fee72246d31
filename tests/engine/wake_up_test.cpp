// Wake-ups through the Monitor: the watchdog that handles a booked wake-up
// whose message never came, and the alert repeat that pulls wake-ups forward,
// with a window host whose timers the test fires and a manual clock.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <map>
#include <memory>

#include "clock.h"
#include "curl_internet.h"
#include "fakes.h"
#include "manual_host.h"
#include "monitor.h"
#include "scheduler.h"
#include "temp_store.h"
#include "url_entry.h"

namespace halvern {
namespace {

constexpr std::int64_t kNowMs = 1196071200250;  // 2007-11-26 10:00:00.250 UTC
constexpr std::int64_t kPeriodMs = 45 * 60000 + 1000;
// The wake-up after a run that raised an alert: its repeat comes sooner.
constexpr std::int64_t kRepeatMs = 15 * 60000 + 1000;

class WakeUpTest : public ::testing::Test {
 protected:
  WakeUpTest() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    clock.SetMs(kNowMs);
    // Connections fail, so a check that starts shows up as an attempt and an
    // alert without a worker thread.
    connections.fail = true;
    MonitorOptions options;
    options.keepAwakePeriodMs = 50;
    monitor = std::make_unique<Monitor>(
        MonitorServices{test::Borrowed<SettingsStore>(t.store()),
                        test::Borrowed<const Clock>(clock), host, test::Borrowed<WindowHost>(host),
                        list, timedRun, connections, sound, leds, idleTimer,
                        test::Borrowed<Internet>(internet), popup, button},
        options);
    host.handler = monitor.get();
  }
  ~WakeUpTest() override {
    monitor->Shutdown();
    host.handler = nullptr;
  }

  void Add(const std::u16string& title, std::int32_t failures) {
    UrlEntry e;
    InitUrlEntry(e);
    SetEntryTitle(e, title);
    SetEntryUrl(e, u"http://127.0.0.1:9/");
    e.failureCount = failures;
    ASSERT_TRUE(SaveUrlEntry(t.store(), title, e));
  }
  std::int64_t LastBookingMs() {
    const auto& when = timedRun.bookings.back().when;
    EXPECT_TRUE(when.has_value());
    return when ? LocalTimeToEpochMs(*when).value_or(0) : 0;
  }
  void FireWatchdog() { host.Fire(IDT_WAKE_UP_WATCHDOG); }

  test::TempStore t;
  ManualClock clock;
  test::ManualHost host;
  test::FakeUrlList list;
  test::FakeTimedRun timedRun;
  test::FakeConnectionManager connections;
  test::FakeSoundPlayer sound;
  test::FakeLedDevices leds;
  test::FakeIdleTimer idleTimer;
  CurlInternet internet;
  test::FakePopup popup;
  test::FakeButton button;
  std::unique_ptr<Monitor> monitor;
};

TEST_F(WakeUpTest, ALostWakeUpIsHandledTenSecondsAfterItsTime) {
  Add(u"Due", 0);
  monitor->ScheduleNextWakeUp();
  ASSERT_EQ(timedRun.bookings.size(), 1u);
  const std::int64_t booked = LastBookingMs();
  EXPECT_EQ(booked, kNowMs + kPeriodMs);
  ASSERT_TRUE(host.Running(IDT_WAKE_UP_WATCHDOG));

  // The window timer may tick before the wall clock gets there (it runs on
  // another clock): nothing happens yet.
  FireWatchdog();
  clock.SetMs(booked + 9999);
  FireWatchdog();
  EXPECT_EQ(timedRun.bookings.size(), 1u);
  EXPECT_EQ(connections.attempts, 0);
  ASSERT_TRUE(host.Running(IDT_WAKE_UP_WATCHDOG));

  // No UM_RUN_CHECK came: the wake-up is handled as a scheduled run, which
  // checks the due entry (no connection: an alert) and books the next wake-up.
  clock.SetMs(booked + 10000);
  FireWatchdog();
  EXPECT_EQ(connections.attempts, 1);
  ASSERT_EQ(timedRun.bookings.size(), 2u);
  EXPECT_EQ(LastBookingMs(), booked + 10000 + kRepeatMs);
  EXPECT_TRUE(host.Running(IDT_WAKE_UP_WATCHDOG));

  // That one is watched too.
  clock.SetMs(booked + 10000 + kRepeatMs + 10000);
  FireWatchdog();
  EXPECT_EQ(timedRun.bookings.size(), 3u);
}

TEST_F(WakeUpTest, WithAWallClockTimerTheWatchdogSetsOneForTheInstantAndNoTick) {
  host.wallClock = true;
  Add(u"Due", 0);
  // The host's wall timers take instants of the system's clock only: for a
  // clock of its own the watchdog ticks (a past instant would fire at once,
  // over and over).
  monitor->ScheduleNextWakeUp();
  EXPECT_EQ(host.timers.count(IDT_WAKE_UP_WATCHDOG), 1u);
  EXPECT_TRUE(host.wallTimers.empty());

  clock.StandInForWallClock();
  monitor->ScheduleNextWakeUp();
  const std::int64_t booked = LastBookingMs();
  EXPECT_EQ(host.timers.count(IDT_WAKE_UP_WATCHDOG), 0u);
  EXPECT_EQ(
      host.wallTimers,
      (std::map<std::uint32_t, std::int64_t>{{IDT_WAKE_UP_WATCHDOG, booked + kWakeUpGraceMs}}));

  // Fired early (the wall clock was set back, or forward but not far enough):
  // the same instant is set again.
  for (const std::int64_t now : {kNowMs - 3600000, booked + kWakeUpGraceMs - 1}) {
    clock.SetMs(now);
    FireWatchdog();
    EXPECT_EQ(connections.attempts, 0);
    EXPECT_EQ(host.timers.count(IDT_WAKE_UP_WATCHDOG), 0u);
    EXPECT_EQ(host.wallTimers[IDT_WAKE_UP_WATCHDOG], booked + kWakeUpGraceMs);
  }

  // At the instant (or a clock set past it) the lost wake-up is handled, and
  // the next booking gets its own instant.
  clock.SetMs(booked + kWakeUpGraceMs + 5000);
  FireWatchdog();
  EXPECT_EQ(connections.attempts, 1);
  ASSERT_EQ(timedRun.bookings.size(), 3u);
  const std::int64_t next = LastBookingMs();
  EXPECT_EQ(next, booked + kWakeUpGraceMs + 5000 + kRepeatMs);
  EXPECT_EQ(host.timers.count(IDT_WAKE_UP_WATCHDOG), 0u);
  EXPECT_EQ(host.wallTimers[IDT_WAKE_UP_WATCHDOG], next + kWakeUpGraceMs);

  // A wake-up that arrives rebooks and moves the instant; shutdown kills it.
  clock.SetMs(next + 20);
  host.PostMessage(UM_RUN_CHECK, 0, 0);
  EXPECT_EQ(host.wallTimers[IDT_WAKE_UP_WATCHDOG], LastBookingMs() + kWakeUpGraceMs);
  monitor->Shutdown();
  EXPECT_FALSE(host.Running(IDT_WAKE_UP_WATCHDOG));
}

TEST_F(WakeUpTest, AWakeUpThatArrivesMakesNoSecondRunAndShutdownDisarms) {
  monitor->ScheduleNextWakeUp();
  const std::int64_t first = LastBookingMs();
  clock.SetMs(first + 40);
  host.PostMessage(UM_RUN_CHECK, 0, 0);
  ASSERT_EQ(timedRun.bookings.size(), 2u);
  const std::int64_t second = LastBookingMs();
  EXPECT_EQ(second, first + 40 + kPeriodMs);

  // Past the first booking's grace the watchdog waits for the second one.
  clock.SetMs(first + 60000);
  FireWatchdog();
  EXPECT_EQ(timedRun.bookings.size(), 2u);
  EXPECT_EQ(monitor->watchdog().WatchedInstantMs(), second);

  monitor->Shutdown();
  EXPECT_FALSE(timedRun.bookings.back().when.has_value());
  EXPECT_FALSE(host.Running(IDT_WAKE_UP_WATCHDOG));
  clock.SetMs(second + 60000);
  FireWatchdog();
  EXPECT_EQ(timedRun.bookings.size(), 3u);  // only the cancellation
}

TEST_F(WakeUpTest, ALostCheckNowMessageStillMakesAManualRun) {
  // An entry a scheduled run skips (it failed last time); a manual run checks it.
  Add(u"Failed", 1);
  monitor->CheckNow();
  ASSERT_EQ(timedRun.bookings.size(), 1u);
  EXPECT_EQ(LastBookingMs(), kNowMs);  // the present moment, milliseconds and all

  clock.SetMs(kNowMs + 10000);
  FireWatchdog();
  EXPECT_EQ(connections.attempts, 1);
  EXPECT_TRUE(popup.shown);
  ASSERT_EQ(timedRun.bookings.size(), 2u);
  EXPECT_EQ(LastBookingMs(), kNowMs + 10000 + kRepeatMs);
  EXPECT_EQ(monitor->CheckNowTime(), kNowMs / 1000);

  // Its late message makes a scheduled run, which skips the entry again.
  host.PostMessage(UM_RUN_CHECK, 0, 0);
  EXPECT_EQ(connections.attempts, 1);
}

TEST_F(WakeUpTest, AnAlertTimeAtAnyDistanceGivesASaneRepeat) {
  UrlEntry entry;
  InitUrlEntry(entry);
  SetEntryTitle(entry, u"Down");
  struct Case {
    std::int64_t raisedAt;
    std::int64_t now;
    int minutes;  // MinutesToNextRepeat with the default 15-minute interval
  } cases[] = {
      {kNowMs / 1000, kNowMs / 1000 + 60, 14},
      {INT64_MIN, INT64_MAX, 0},          // as long ago as can be
      {INT64_MIN + 1, kNowMs / 1000, 0},  //
      {-1, INT64_MAX, 0},
      {INT64_MAX, INT64_MIN, INT_MAX},  // as far ahead as can be
      {INT64_MAX, kNowMs / 1000, INT_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.raisedAt << " -> " << c.now);
    clock.Set(c.raisedAt);
    monitor->alerts().RaiseAlert(entry, std::nullopt);
    clock.Set(c.now);
    EXPECT_EQ(monitor->alerts().MinutesToNextRepeat(), c.minutes);
  }
  // A repeat that far ahead leaves the wake-ups to Frequency.
  clock.SetMs(kNowMs);
  monitor->ScheduleNextWakeUp();
  EXPECT_EQ(LastBookingMs(), kNowMs + kPeriodMs);
}

}  // namespace
}  // namespace halvern
