#pragma once
// The scheduler: which hours a scheduled run may check, whether an entry is due,
// whether a run is manual, and the one pending timed run of the launcher.

#include <cstdint>
#include <optional>

#include "timed_run.h"

namespace halvern {

class Clock;
class SettingsStore;
struct UrlEntry;

// The launcher, booked by its bare name; the timed-run service starts the
// program installed beside the main program.
inline constexpr char16_t kLauncherName[] = u"HalvernRun.exe";

// A UM_RUN_CHECK arriving at most this many seconds after a Check Now press
// (or at any time before it) makes a manual run.
inline constexpr std::int64_t kManualRunWindow = 5;

// Whether bit `hour` of the Timetable mask is set; false outside 0..31.
bool IsHourEnabled(std::int32_t mask, int hour);
// Sets or clears bit `hour` (0..31) of the mask; other hours change nothing.
void SetHourEnabled(std::int32_t& mask, int hour, bool enabled);
// The local hour 0..23 of a UTC time; -1 when it has no local time.
int LocalHour(std::int64_t utcSeconds);
// The local calendar time of a UTC time; nothing when it cannot be converted.
std::optional<LocalTime> ToLocalTime(std::int64_t utcSeconds);
// Calendar arithmetic on the wall clock: `seconds` later, as the clock reads,
// without regard to daylight-saving changes in between.
LocalTime AddSeconds(const LocalTime& time, std::int64_t seconds);

// The due test of a scheduled run: no pending failure, the hour of `now`
// enabled in `timetable`, and more than `frequency` whole minutes since the
// last success (by distance, so a last success in the future counts too).
bool IsEntryDue(const UrlEntry& entry, std::int64_t now, std::int32_t frequency,
                std::int32_t timetable);
// The same, reading Timetable from the store as each entry is tested.
bool IsEntryDue(SettingsStore& store, const UrlEntry& entry, std::int64_t now,
                std::int32_t frequency);

// The run kind rule: manual when now - checkNowTime <= 5 s.
bool IsManualRun(std::int64_t now, std::int64_t checkNowTime);

// Minutes to the next wake-up: `frequency`, pulled forward by a pending alert
// repeat (`minutesToRepeat` -1 = none). Never negative: a Frequency below 0
// books the wake-up 1 s ahead like 0 does, not in the past.
std::int64_t WakeUpMinutes(std::int32_t frequency, int minutesToRepeat);
// The local time of the next wake-up: minutes x 60 + 1 s after `localNow`.
LocalTime NextWakeUp(const LocalTime& localNow, std::int32_t frequency, int minutesToRepeat);

// Books or cancels the launcher. enable false: cancel; immediately: book it
// for the present moment; otherwise for the next wake-up, reading Frequency.
struct ScheduleContext {
  TimedRun& timedRun;
  SettingsStore& store;
  const Clock& clock;
};
void ScheduleLauncher(const ScheduleContext& context, int minutesToRepeat, bool enable,
                      bool immediately);

}  // namespace halvern
