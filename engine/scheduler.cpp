#include "scheduler.h"

#include <time.h>

#include <algorithm>
#include <climits>

#include "clock.h"
#include "settings.h"
#include "url_entry.h"
#include "window_host.h"

namespace halvern {
namespace {

// The longest wait of one watchdog tick, where the host has no wall-clock
// timer. Short enough that a wall clock set forward, or a machine that slept,
// is noticed within a minute.
constexpr std::int64_t kWatchdogTickMs = 60000;

std::optional<LocalTime> FromTm(const tm& t, int millisecond) {
  // A year at the top of int's range has no calendar year to show.
  if (t.tm_year > INT_MAX - 1900) return std::nullopt;
  return LocalTime{
      t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,   t.tm_hour,
      t.tm_min,         t.tm_sec,     millisecond, static_cast<std::int32_t>(t.tm_gmtoff)};
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool FieldsInRange(const LocalTime& time) {
  return time.year >= 1970 && time.year <= 9999 && time.month >= 1 && time.month <= 12 &&
         time.day >= 1 && time.day <= DaysInMonth(time.year, time.month) && time.hour >= 0 &&
         time.hour <= 23 && time.minute >= 0 && time.minute <= 59 && time.second >= 0 &&
         time.second <= 59 && time.millisecond >= 0 && time.millisecond <= 999;
}

}  // namespace

bool IsHourEnabled(std::int32_t mask, int hour) {
  if (hour < 0 || hour > 31) return false;
  return (static_cast<std::uint32_t>(mask) >> hour) & 1u;
}

void SetHourEnabled(std::int32_t& mask, int hour, bool enabled) {
  if (hour < 0 || hour > 31) return;
  auto bits = static_cast<std::uint32_t>(mask);
  const std::uint32_t bit = 1u << hour;
  bits = enabled ? (bits | bit) : (bits & ~bit);
  mask = static_cast<std::int32_t>(bits);
}

std::optional<LocalTime> ToLocalTimeMs(std::int64_t utcMs) {
  // Floor division: the instant 1 ms before a second belongs to that second.
  std::int64_t seconds = utcMs / 1000;
  std::int64_t millis = utcMs % 1000;
  if (millis < 0) {
    millis += 1000;
    seconds -= 1;
  }
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return std::nullopt;
  return FromTm(local, static_cast<int>(millis));
}

std::optional<LocalTime> ToLocalTime(std::int64_t utcSeconds) {
  const time_t t = static_cast<time_t>(utcSeconds);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return std::nullopt;
  return FromTm(local, 0);
}

std::optional<std::int64_t> LocalTimeToEpochMs(const LocalTime& time) {
  if (!FieldsInRange(time)) return std::nullopt;
  tm fields = ToTm(time);
  std::int64_t seconds = 0;
  if (time.utcOffset) {
    // A day either way covers every zone there is.
    if (*time.utcOffset < -86400 || *time.utcOffset > 86400) return std::nullopt;
    seconds = static_cast<std::int64_t>(timegm(&fields)) - *time.utcOffset;
  } else {
    fields.tm_isdst = -1;  // let the zone rules decide
    const time_t result = ::mktime(&fields);
    if (result == static_cast<time_t>(-1)) return std::nullopt;
    seconds = static_cast<std::int64_t>(result);
  }
  return seconds * 1000 + time.millisecond;
}

int LocalHour(std::int64_t utcSeconds) {
  const auto local = ToLocalTime(utcSeconds);
  return local ? local->hour : -1;
}

bool IsEntryDue(const UrlEntry& entry, std::int64_t now, std::int32_t frequency,
                std::int32_t timetable) {
  if (entry.failureCount != 0) return false;
  if (!IsHourEnabled(timetable, LocalHour(now))) return false;
  // Whole minutes, held to the 32-bit range the stored times always allowed; a
  // last success near either end of the 64-bit range counts as long ago.
  const std::int64_t minutes = SaturateToInt32(SaturatingSub(now, entry.lastSuccessTime) / 60);
  const std::int64_t distance = minutes < 0 ? -minutes : minutes;
  return distance > std::max<std::int32_t>(frequency, 0);
}

bool IsEntryDue(SettingsStore& store, const UrlEntry& entry, std::int64_t now,
                std::int32_t frequency) {
  if (entry.failureCount != 0) return false;
  return IsEntryDue(entry, now, frequency, ReadSetting(store, kTimetable));
}

bool IsEntryWatchDue(SettingsStore& store, const UrlEntry& entry, std::int64_t now,
                     std::int32_t frequency) {
  if (entry.failureCount <= 0) return false;
  UrlEntry asPassed = entry;
  asPassed.failureCount = 0;
  return IsEntryDue(asPassed, now, frequency, ReadSetting(store, kTimetable));
}

bool IsManualRun(std::int64_t now, std::int64_t checkNowTime) {
  return SaturatingSub(now, checkNowTime) <= kManualRunWindow;
}

std::int64_t WakeUpMinutes(std::int32_t frequency, int minutesToRepeat) {
  std::int64_t minutes = frequency;
  if (minutesToRepeat != -1 && minutesToRepeat < frequency) minutes = minutesToRepeat;
  return minutes < 0 ? 0 : minutes;
}

std::int64_t NextWakeUpMs(std::int64_t nowMs, std::int32_t frequency, int minutesToRepeat) {
  return SaturatingAdd(nowMs, WakeUpMinutes(frequency, minutesToRepeat) * 60000 + 1000);
}

// The program books through WakeUpWatchdog, which makes a refused booking's
// wake-up itself; nothing else could stand in for a refused cancellation. So
// the bookings' results are not looked at here.
namespace {

void BookLauncherAt(const ScheduleContext& context, std::int64_t atMs) {
  const auto when = ToLocalTimeMs(atMs);
  // Without a local time there is nothing to book; the pending booking stays.
  if (!when) return;
  static_cast<void>(context.timedRun.RunAppAtTime(kLauncherName, *when));
}

}  // namespace

void BookNextWakeUp(const ScheduleContext& context, int minutesToRepeat) {
  BookLauncherAt(context, NextWakeUpMs(context.clock.NowMs(),
                                       ReadSetting(context.store, kFrequency), minutesToRepeat));
}

void BookWakeUpNow(const ScheduleContext& context) {
  BookLauncherAt(context, context.clock.NowMs());
}

void CancelWakeUp(const ScheduleContext& context) {
  static_cast<void>(context.timedRun.RunAppAtTime(kLauncherName, std::nullopt));
}

WakeUpWatchdog::WakeUpWatchdog(TimedRun& timedRun, WindowHost& host, const Clock& clock,
                               OverdueHandler onOverdue)
    : timedRun_(timedRun), host_(host), clock_(clock), onOverdue_(std::move(onOverdue)) {}

WakeUpWatchdog::~WakeUpWatchdog() = default;

bool WakeUpWatchdog::RunAppAtTime(const std::u16string& program,
                                  const std::optional<LocalTime>& when) {
  const bool booked = timedRun_.RunAppAtTime(program, when);
  if (program != kLauncherName) return booked;
  if (!when) {
    Disarm();
    return booked;
  }
  // A refused booking is watched as well: the wake-up then comes from here,
  // and the run it makes books again.
  const auto instant = LocalTimeToEpochMs(*when);
  if (!instant) return booked;
  bookedMs_ = *instant;
  manual_ = *instant <= clock_.NowMs();  // only Check Now books the present moment
  Arm();
  return booked;
}

void WakeUpWatchdog::Disarm() {
  bookedMs_.reset();
  manual_ = false;
  host_.KillTimer(IDT_WAKE_UP_WATCHDOG);
}

void WakeUpWatchdog::Arm() {
  const std::int64_t dueMs = SaturatingAdd(*bookedMs_, kWakeUpGraceMs);
  // A wall-clock timer waits for the instant itself, through a sleep and a
  // clock set alike, so nothing ticks in between. It runs on the system's
  // wall clock, so only an instant of that clock is set on it.
  if (clock_.IsSystemWallClock() && host_.SetWallTimer(IDT_WAKE_UP_WATCHDOG, dueMs)) return;
  const std::int64_t remaining = SaturatingSub(dueMs, clock_.NowMs());
  const std::int64_t wait = std::clamp<std::int64_t>(remaining, 1, kWatchdogTickMs);
  host_.SetTimer(IDT_WAKE_UP_WATCHDOG, static_cast<std::uint32_t>(wait));
}

bool WakeUpWatchdog::OnTimer(std::uint32_t id) {
  if (id != IDT_WAKE_UP_WATCHDOG) return false;
  if (!bookedMs_) {
    host_.KillTimer(IDT_WAKE_UP_WATCHDOG);
    return true;
  }
  if (clock_.NowMs() < SaturatingAdd(*bookedMs_, kWakeUpGraceMs)) {
    Arm();  // the wall clock is not there yet
    return true;
  }
  const bool manual = manual_;
  Disarm();
  // The run books the next wake-up, which arms the watchdog again.
  if (onOverdue_) onOverdue_(manual);
  return true;
}

}  // namespace halvern
