#include "scheduler.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <climits>

#include "clock.h"
#include "fakes.h"
#include "settings.h"
#include "temp_store.h"
#include "url_entry.h"

namespace halvern {
namespace {

// 2007-11-26 10:00:00 UTC, a Monday.
constexpr std::int64_t kTen = 1196071200;

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
};

TEST_F(SchedulerTest, HourTest) {
  struct Case {
    std::int32_t mask;
    int hour;
    bool enabled;
  } cases[] = {
      {-1, 0, true},          {-1, 23, true},         {-1, 31, true},
      {-1, -1, false},        {-1, 32, false},        {0, 10, false},
      {1 << 10, 10, true},    {1 << 10, 9, false},    {1 << 10, 11, false},
      {INT32_MIN, 31, true},  {INT32_MIN, 30, false}, {0x00FFFFFF, 24, false},
      {0x00FFFFFF, 23, true}, {0, -1, false},         {INT32_MAX, 32, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsHourEnabled(c.mask, c.hour), c.enabled) << c.mask << " hour " << c.hour;
  }
}

TEST_F(SchedulerTest, SetHourKeepsTheOtherBits) {
  std::int32_t mask = -1;
  SetHourEnabled(mask, 3, false);
  EXPECT_EQ(mask, ~(1 << 3));
  SetHourEnabled(mask, 3, true);
  EXPECT_EQ(mask, -1);
  mask = 0;
  SetHourEnabled(mask, 31, true);
  EXPECT_EQ(mask, INT32_MIN);
  SetHourEnabled(mask, 40, true);  // no such bit
  SetHourEnabled(mask, -1, true);
  EXPECT_EQ(mask, INT32_MIN);
}

TEST_F(SchedulerTest, LocalHourFollowsTheTimeZone) {
  EXPECT_EQ(LocalHour(kTen), 10);
  EXPECT_EQ(LocalHour(kTen + 3599), 10);
  EXPECT_EQ(LocalHour(kTen + 3600), 11);
  ::setenv("TZ", "Europe/Berlin", 1);  // UTC+1 in November
  ::tzset();
  EXPECT_EQ(LocalHour(kTen), 11);
  EXPECT_EQ(LocalHour(kTen + 13 * 3600), 0);
  // A time far beyond the calendar has no local hour.
  EXPECT_EQ(LocalHour(INT64_MAX), -1);
}

UrlEntry Entry(std::int64_t lastSuccess, std::int32_t failures = 0) {
  UrlEntry e;
  InitUrlEntry(e);
  e.lastSuccessTime = lastSuccess;
  e.failureCount = failures;
  return e;
}

TEST_F(SchedulerTest, DueTest) {
  const std::int64_t now = kTen + 15 * 60;  // 10:15:00
  struct Case {
    const char* what;
    std::int64_t lastSuccess;
    std::int32_t failures;
    std::int32_t frequency;
    std::int32_t timetable;
    bool due;
  } cases[] = {
      {"never checked", 0, 0, 45, -1, true},
      {"pending failure", 0, 1, 45, -1, false},
      {"alerted", 0, 3, 45, -1, false},
      {"45 min 59 s ago is 45 whole minutes", now - 45 * 60 - 59, 0, 45, -1, false},
      {"46 whole minutes", now - 46 * 60, 0, 45, -1, true},
      {"hour 10 only", 0, 0, 45, 1 << 10, true},
      {"hour 11 only", 0, 0, 45, 1 << 11, false},
      {"no hour", 0, 0, 45, 0, false},
      {"future success by 46 min", now + 46 * 60, 0, 45, -1, true},
      {"future success by 10 min", now + 10 * 60, 0, 45, -1, false},
      {"frequency 0, 59 s ago", now - 59, 0, 0, -1, false},
      {"frequency 0, 60 s ago", now - 60, 0, 0, -1, true},
      {"frequency below 0", now, 0, -1, -1, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsEntryDue(Entry(c.lastSuccess, c.failures), now, c.frequency, c.timetable), c.due)
        << c.what;
  }
}

TEST_F(SchedulerTest, DueTestReadsTheTimetableFromTheStore) {
  test::TempStore t;
  const UrlEntry e = Entry(0);
  EXPECT_TRUE(IsEntryDue(t.store(), e, kTen, 45));
  WriteSetting(t.store(), kTimetable, 1 << 9);
  EXPECT_FALSE(IsEntryDue(t.store(), e, kTen, 45));
  WriteSetting(t.store(), kTimetable, 1 << 10);
  EXPECT_TRUE(IsEntryDue(t.store(), e, kTen, 45));
}

TEST_F(SchedulerTest, RunKind) {
  EXPECT_FALSE(IsManualRun(kTen, 0));  // before any press: scheduled
  EXPECT_TRUE(IsManualRun(kTen, kTen));
  EXPECT_TRUE(IsManualRun(kTen + 5, kTen));
  EXPECT_FALSE(IsManualRun(kTen + 6, kTen));
  EXPECT_TRUE(IsManualRun(kTen - 100, kTen));  // clock set back: still manual
}

TEST_F(SchedulerTest, NextWakeUp) {
  const LocalTime ten{2007, 11, 26, 10, 0, 0};
  struct Case {
    const char* what;
    LocalTime from;
    std::int32_t frequency;
    int repeat;
    LocalTime expected;
  } cases[] = {
      {"frequency alone", ten, 45, -1, {2007, 11, 26, 10, 45, 1}},
      {"repeat in 10 min pulls forward", ten, 45, 10, {2007, 11, 26, 10, 10, 1}},
      {"repeat already due", ten, 45, 0, {2007, 11, 26, 10, 0, 1}},
      {"repeat later than frequency", ten, 45, 60, {2007, 11, 26, 10, 45, 1}},
      {"frequency 0", ten, 0, -1, {2007, 11, 26, 10, 0, 1}},
      {"frequency below 0 never books the past", ten, -30, -1, {2007, 11, 26, 10, 0, 1}},
      {"seconds carried", {2007, 11, 26, 10, 0, 37}, 45, -1, {2007, 11, 26, 10, 45, 38}},
      {"over midnight and year", {2007, 12, 31, 23, 30, 0}, 45, -1, {2008, 1, 1, 0, 15, 1}},
      {"leap day", {2008, 2, 28, 23, 59, 59}, 1, -1, {2008, 2, 29, 0, 1, 0}},
      {"a long frequency", ten, 7 * 24 * 60, -1, {2007, 12, 3, 10, 0, 1}},
  };
  for (const auto& c : cases) {
    const LocalTime got = NextWakeUp(c.from, c.frequency, c.repeat);
    EXPECT_EQ(std::tie(got.year, got.month, got.day, got.hour, got.minute, got.second),
              std::tie(c.expected.year, c.expected.month, c.expected.day, c.expected.hour,
                       c.expected.minute, c.expected.second))
        << c.what;
  }
}

TEST_F(SchedulerTest, WakeUpIsCountedOnTheWallClockAcrossDaylightSaving) {
  // 2024-03-31 01:30 in Berlin; the clock jumps 02:00 -> 03:00. The wake-up is
  // 45 min + 1 s later as the wall clock counts.
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  const std::int64_t utc = 1711845000;  // 2024-03-31 00:30:00 UTC = 01:30 CET
  const auto local = ToLocalTime(utc);
  ASSERT_TRUE(local);
  EXPECT_EQ(local->hour, 1);
  const LocalTime next = NextWakeUp(*local, 45, -1);
  EXPECT_EQ(next.hour, 2);
  EXPECT_EQ(next.minute, 15);
  EXPECT_EQ(next.second, 1);
}

TEST_F(SchedulerTest, ScheduleLauncherBooksCancelsAndBooksAtOnce) {
  test::TempStore t;
  ManualClock clock(kTen + 17);  // 10:00:17
  test::FakeTimedRun timedRun;
  const ScheduleContext context{timedRun, t.store(), clock};

  ScheduleLauncher(context, -1, true, false);
  WriteSetting(t.store(), kFrequency, 30);
  ScheduleLauncher(context, -1, true, false);
  ScheduleLauncher(context, 3, true, false);
  ScheduleLauncher(context, 3, true, true);
  ScheduleLauncher(context, -1, false, false);

  ASSERT_EQ(timedRun.bookings.size(), 5u);
  for (const auto& b : timedRun.bookings) EXPECT_EQ(b.program, u"HalvernRun.exe");
  auto minuteSecond = [&](int i) {
    return std::make_pair(timedRun.bookings[i].when->minute, timedRun.bookings[i].when->second);
  };
  EXPECT_EQ(minuteSecond(0), std::make_pair(45, 18));   // default Frequency 45
  EXPECT_EQ(minuteSecond(1), std::make_pair(30, 18));   // read afresh
  EXPECT_EQ(minuteSecond(2), std::make_pair(3, 18));    // a repeat in 3 minutes
  EXPECT_EQ(minuteSecond(3), std::make_pair(0, 17));    // at once: the present moment
  EXPECT_FALSE(timedRun.bookings[4].when.has_value());  // cancelled
}

}  // namespace
}  // namespace halvern
