#pragma once
// The scheduler: which hours a scheduled run may check, whether an entry is due,
// whether a run is manual, and the one pending timed run of the launcher, with
// the watchdog that makes sure a booked wake-up is never lost.

#include <cstdint>
#include <functional>
#include <optional>

#include "timed_run.h"

namespace halvern {

class Clock;
class SettingsStore;
class WindowHost;
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
// The local calendar time of a UTC time, with the UTC offset of that moment;
// nothing when it cannot be converted.
std::optional<LocalTime> ToLocalTime(std::int64_t utcSeconds);
// The same for a UTC time in milliseconds since 1970.
std::optional<LocalTime> ToLocalTimeMs(std::int64_t utcMs);

// The due test of a scheduled run: no pending failure, the hour of `now`
// enabled in `timetable`, and more than `frequency` whole minutes since the
// last success (by distance, so a last success in the future counts too). A
// Frequency below 0 counts as 0. Stored times of any value are safe.
bool IsEntryDue(const UrlEntry& entry, std::int64_t now, std::int32_t frequency,
                std::int32_t timetable);
// The same, reading Timetable from the store as each entry is tested.
bool IsEntryDue(SettingsStore& store, const UrlEntry& entry, std::int64_t now,
                std::int32_t frequency);

// While WatchFailedEntries is on, a scheduled run also watches an entry that
// failed (failureCount above 0) until it is back: by every other rule of the
// due test, the hour of `now` and the frequency included.
bool IsEntryWatchDue(SettingsStore& store, const UrlEntry& entry, std::int64_t now,
                     std::int32_t frequency);

// The run kind rule: manual when now - checkNowTime <= 5 s.
bool IsManualRun(std::int64_t now, std::int64_t checkNowTime);

// Minutes to the next wake-up: `frequency`, pulled forward by a pending alert
// repeat (`minutesToRepeat` -1 = none). Never negative: a Frequency below 0
// books the wake-up 1 s ahead like 0 does, not in the past.
std::int64_t WakeUpMinutes(std::int32_t frequency, int minutesToRepeat);
// The instant of the next wake-up, in UTC milliseconds: minutes x 60 s + 1 s
// after `nowMs`, the milliseconds of now carried along. Counted on the UTC time
// line, so a clock change in between neither lengthens nor shortens it.
std::int64_t NextWakeUpMs(std::int64_t nowMs, std::int32_t frequency, int minutesToRepeat);

// Scheduling the launcher: its three bookings.
struct ScheduleContext {
  TimedRun& timedRun;
  SettingsStore& store;
  const Clock& clock;
};
// Books it for the next wake-up: Frequency minutes ahead, or the alert's next
// repeat when that comes first (minutesToRepeat, -1 for none).
void BookNextWakeUp(const ScheduleContext& context, int minutesToRepeat);
// Books it for the present moment (Check Now).
void BookWakeUpNow(const ScheduleContext& context);
// Cancels the pending booking.
void CancelWakeUp(const ScheduleContext& context);

// The window timer of the watchdog below; apart from the alert's 1001 and 1002
// and from the retry timers, which carry bit 31.
inline constexpr std::uint32_t IDT_WAKE_UP_WATCHDOG = 1003;
// How long after its booked instant a wake-up may take to arrive.
inline constexpr std::int64_t kWakeUpGraceMs = 10000;

// Stands between the engine and the timed-run facility and watches the
// launcher's booking. When the UM_RUN_CHECK of a booked wake-up has not arrived
// 10 s after the booked instant (the launcher could not start, its message was
// lost), it calls `onOverdue`, which handles the wake-up as if the message had
// come; `manual` tells that the lost booking was Check Now's (booked for the
// present moment). It sets the host's wall-clock timer for that instant, which
// also fires early when the clock is set; where the host has none (or `clock`
// is not the system's wall clock, whose instants that timer takes), a window
// timer on the monotonic clock ticks at least once a minute. Either way each
// firing asks the clock again and waits on when the wall clock has not got
// there yet. Window thread only.
class WakeUpWatchdog final : public TimedRun {
 public:
  using OverdueHandler = std::function<void(bool manual)>;
  WakeUpWatchdog(TimedRun& timedRun, WindowHost& host, const Clock& clock,
                 OverdueHandler onOverdue);
  ~WakeUpWatchdog() override;
  WakeUpWatchdog(const WakeUpWatchdog&) = delete;
  WakeUpWatchdog& operator=(const WakeUpWatchdog&) = delete;

  // Forwards the booking; one of the launcher arms the watchdog for its
  // instant, a cancellation disarms it.
  bool RunAppAtTime(const std::u16string& program, const std::optional<LocalTime>& when) override;
  // The booked wake-up arrived.
  void Disarm();
  // True when `id` is the watchdog's timer; calls `onOverdue` when it is time.
  bool OnTimer(std::uint32_t id);
  // The booked instant being watched (UTC milliseconds); nothing when disarmed.
  std::optional<std::int64_t> WatchedInstantMs() const { return bookedMs_; }

 private:
  void Arm();

  TimedRun& timedRun_;
  WindowHost& host_;
  const Clock& clock_;
  OverdueHandler onOverdue_;
  std::optional<std::int64_t> bookedMs_;
  bool manual_ = false;
};

}  // namespace halvern
