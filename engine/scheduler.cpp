#include "scheduler.h"

#include <time.h>

#include <cstdlib>

#include "clock.h"
#include "settings.h"
#include "url_entry.h"

namespace halvern {
namespace {

LocalTime FromTm(const tm& t) {
  return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
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

std::optional<LocalTime> ToLocalTime(std::int64_t utcSeconds) {
  const time_t t = static_cast<time_t>(utcSeconds);
  tm local{};
  if (localtime_r(&t, &local) == nullptr) return std::nullopt;
  return FromTm(local);
}

int LocalHour(std::int64_t utcSeconds) {
  const auto local = ToLocalTime(utcSeconds);
  return local ? local->hour : -1;
}

LocalTime AddSeconds(const LocalTime& time, std::int64_t seconds) {
  // The wall-clock fields are counted as if they were UTC, which makes the
  // arithmetic plain calendar arithmetic with no time-zone rule in it.
  tm fields = ToTm(time);
  const time_t later = timegm(&fields) + static_cast<time_t>(seconds);
  tm out{};
  if (gmtime_r(&later, &out) == nullptr) return time;
  return FromTm(out);
}

bool IsEntryDue(const UrlEntry& entry, std::int64_t now, std::int32_t frequency,
                std::int32_t timetable) {
  if (entry.failureCount != 0) return false;
  if (!IsHourEnabled(timetable, LocalHour(now))) return false;
  // Whole minutes, taken as a 32-bit value as the stored times always allowed.
  const auto minutes = static_cast<std::int32_t>((now - entry.lastSuccessTime) / 60);
  const std::int64_t distance = std::llabs(std::int64_t{minutes});
  return distance > frequency;
}

bool IsEntryDue(SettingsStore& store, const UrlEntry& entry, std::int64_t now,
                std::int32_t frequency) {
  if (entry.failureCount != 0) return false;
  return IsEntryDue(entry, now, frequency, ReadSetting(store, kTimetable));
}

bool IsManualRun(std::int64_t now, std::int64_t checkNowTime) {
  return now - checkNowTime <= kManualRunWindow;
}

std::int64_t WakeUpMinutes(std::int32_t frequency, int minutesToRepeat) {
  std::int64_t minutes = frequency;
  if (minutesToRepeat != -1 && minutesToRepeat < frequency) minutes = minutesToRepeat;
  return minutes < 0 ? 0 : minutes;
}

LocalTime NextWakeUp(const LocalTime& localNow, std::int32_t frequency, int minutesToRepeat) {
  return AddSeconds(localNow, WakeUpMinutes(frequency, minutesToRepeat) * 60 + 1);
}

void ScheduleLauncher(const ScheduleContext& context, int minutesToRepeat, bool enable,
                      bool immediately) {
  if (!enable) {
    context.timedRun.RunAppAtTime(kLauncherName, std::nullopt);
    return;
  }
  const auto localNow = ToLocalTime(context.clock.Now());
  // Without a local time there is nothing to book; the pending booking stays.
  if (!localNow) return;
  if (immediately) {
    context.timedRun.RunAppAtTime(kLauncherName, *localNow);
    return;
  }
  const std::int32_t frequency = ReadSetting(context.store, kFrequency);
  context.timedRun.RunAppAtTime(kLauncherName, NextWakeUp(*localNow, frequency, minutesToRepeat));
}

}  // namespace halvern
