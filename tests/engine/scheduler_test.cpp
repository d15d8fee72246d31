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
      {"frequency below 0 acts as 0: checked this minute", now - 59, 0, -1, -1, false},
      {"frequency below 0 acts as 0: a minute ago", now - 60, 0, -1, -1, true},
      {"frequency INT32_MIN acts as 0", now, 0, INT32_MIN, -1, false},
      // Stored times at the 64-bit limits are long ago, whichever way.
      {"last success INT64_MIN", INT64_MIN, 0, 45, -1, true},
      {"last success INT64_MIN + 1", INT64_MIN + 1, 0, 45, -1, true},
      {"last success INT64_MAX", INT64_MAX, 0, 45, -1, true},
      {"2^32 + 10 minutes ago does not wrap to 10", now - ((std::int64_t{1} << 32) + 10) * 60, 0,
       45, -1, true},
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
  EXPECT_TRUE(WriteSetting(t.store(), kTimetable, 1 << 9));
  EXPECT_FALSE(IsEntryDue(t.store(), e, kTen, 45));
  EXPECT_TRUE(WriteSetting(t.store(), kTimetable, 1 << 10));
  EXPECT_TRUE(IsEntryDue(t.store(), e, kTen, 45));
}

TEST_F(SchedulerTest, RunKind) {
  EXPECT_FALSE(IsManualRun(kTen, 0));  // before any press: scheduled
  EXPECT_TRUE(IsManualRun(kTen, kTen));
  EXPECT_TRUE(IsManualRun(kTen + 5, kTen));
  EXPECT_FALSE(IsManualRun(kTen + 6, kTen));
  EXPECT_TRUE(IsManualRun(kTen - 100, kTen));  // clock set back: still manual
}

TEST_F(SchedulerTest, NextWakeUpIsAnInstantWithTheMillisecondsOfNow) {
  const std::int64_t tenMs = kTen * 1000;
  struct Case {
    const char* what;
    std::int64_t nowMs;
    std::int32_t frequency;
    int repeat;
    std::int64_t expectedMs;
  } cases[] = {
      {"frequency alone", tenMs + 250, 45, -1, tenMs + 250 + 45 * 60000 + 1000},
      {"repeat in 10 min pulls forward", tenMs, 45, 10, tenMs + 10 * 60000 + 1000},
      {"repeat already due", tenMs + 999, 45, 0, tenMs + 999 + 1000},
      {"repeat later than frequency", tenMs, 45, 60, tenMs + 45 * 60000 + 1000},
      {"frequency 0", tenMs, 0, -1, tenMs + 1000},
      {"frequency below 0 never books the past", tenMs, -30, -1, tenMs + 1000},
      {"the largest frequency", tenMs, INT32_MAX, -1, tenMs + INT32_MAX * 60000LL + 1000},
      {"a clock at the top saturates", INT64_MAX - 10, 45, -1, INT64_MAX},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NextWakeUpMs(c.nowMs, c.frequency, c.repeat), c.expectedMs) << c.what;
  }
}

// The booked instant of the last booking, as the timed-run service reads it.
std::int64_t BookedMs(const test::FakeTimedRun& timedRun) {
  const auto& when = timedRun.bookings.back().when;
  EXPECT_TRUE(when.has_value());
  const auto ms = when ? LocalTimeToEpochMs(*when) : std::nullopt;
  EXPECT_TRUE(ms.has_value());
  return ms.value_or(0);
}

TEST_F(SchedulerTest, BookingsAcrossBothClockChangesFallOnTheirInstant) {
  // Berlin 2024: 02:00 CET -> 03:00 CEST on 31 March (00:59:59 -> 01:00:00 UTC),
  // 03:00 CEST -> 02:00 CET on 27 October (00:59:59 -> 01:00:00 UTC).
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  constexpr std::int64_t kSpring = 1711846800000;  // 2024-03-31 01:00:00 UTC, in ms
  constexpr std::int64_t kAutumn = 1729990800000;  // 2024-10-27 01:00:00 UTC, in ms
  constexpr std::int64_t kMin = 60000;
  struct Case {
    const char* what;
    std::int64_t nowMs;
    std::int32_t frequency;
    bool immediately;
    LocalTime wall;  // what the booking shows on the wall clock
  } cases[] = {
      {"01:30 CET over the gap",
       kSpring - 30 * kMin + 250,
       45,
       false,
       {2024, 3, 31, 3, 15, 1, 250, 7200}},
      {"01:59:59.5 CET into the gap", kSpring - 500, 0, false, {2024, 3, 31, 3, 0, 0, 500, 7200}},
      {"03:00:00.25 CEST after the gap",
       kSpring + 250,
       45,
       false,
       {2024, 3, 31, 3, 45, 1, 250, 7200}},
      {"Check Now at 01:59:59.999 CET", kSpring - 1, 0, true, {2024, 3, 31, 1, 59, 59, 999, 3600}},
      {"02:30 CEST, first pass, stays in it",
       kAutumn - 30 * kMin,
       10,
       false,
       {2024, 10, 27, 2, 40, 1, 0, 7200}},
      {"02:30 CEST, first pass, into the second",
       kAutumn - 30 * kMin + 750,
       45,
       false,
       {2024, 10, 27, 2, 15, 1, 750, 3600}},
      {"02:30 CET, second pass", kAutumn + 30 * kMin, 45, false, {2024, 10, 27, 3, 15, 1, 0, 3600}},
      {"Check Now at 02:30:00.75 CEST",
       kAutumn - 30 * kMin + 750,
       45,
       true,
       {2024, 10, 27, 2, 30, 0, 750, 7200}},
      {"Check Now at 02:30:00.75 CET",
       kAutumn + 30 * kMin + 750,
       45,
       true,
       {2024, 10, 27, 2, 30, 0, 750, 3600}},
  };
  test::TempStore t;
  ManualClock clock;
  test::FakeTimedRun timedRun;
  const ScheduleContext context{timedRun, t.store(), clock};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(WriteSetting(t.store(), kFrequency, c.frequency));
    clock.SetMs(c.nowMs);
    if (c.immediately) {
      BookWakeUpNow(context);
    } else {
      BookNextWakeUp(context, -1);
    }
    const std::int64_t expected = c.immediately ? c.nowMs : c.nowMs + c.frequency * kMin + 1000;
    EXPECT_EQ(BookedMs(timedRun), expected);
    const LocalTime& got = *timedRun.bookings.back().when;
    EXPECT_EQ(
        std::tie(got.year, got.month, got.day, got.hour, got.minute, got.second, got.millisecond),
        std::tie(c.wall.year, c.wall.month, c.wall.day, c.wall.hour, c.wall.minute, c.wall.second,
                 c.wall.millisecond));
    EXPECT_EQ(got.utcOffset, c.wall.utcOffset);
  }
}

TEST_F(SchedulerTest, LauncherBookingsBookCancelAndBookAtOnce) {
  test::TempStore t;
  ManualClock clock(kTen + 17);  // 10:00:17
  test::FakeTimedRun timedRun;
  const ScheduleContext context{timedRun, t.store(), clock};

  BookNextWakeUp(context, -1);
  EXPECT_TRUE(WriteSetting(t.store(), kFrequency, 30));
  BookNextWakeUp(context, -1);
  BookNextWakeUp(context, 3);
  BookWakeUpNow(context);
  CancelWakeUp(context);

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
