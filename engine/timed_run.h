#pragma once
// The timed-run facility: starts a program at a local calendar time, waking the
// machine where it may. One booking per program name; a new booking replaces the
// pending one.

#include <time.h>

#include <cstdint>
#include <optional>
#include <string>

namespace halvern {

// A local calendar time, as the user's wall clock shows it, to the millisecond.
// In the repeated hour of an autumn clock change the same wall-clock reading
// names two instants; `utcOffset` says which one is meant.
struct LocalTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;  // 0..999
  // Seconds east of UTC that the wall clock showed at this time (local = UTC +
  // offset). Nothing: the present time-zone rules decide, which in a repeated
  // hour is a guess.
  std::optional<std::int32_t> utcOffset = std::nullopt;
};

// The calendar fields of `time` in a tm (tm_isdst left 0, milliseconds and
// offset not carried).
inline tm ToTm(const LocalTime& time) {
  tm fields{};
  fields.tm_year = time.year - 1900;
  fields.tm_mon = time.month - 1;
  fields.tm_mday = time.day;
  fields.tm_hour = time.hour;
  fields.tm_min = time.minute;
  fields.tm_sec = time.second;
  return fields;
}

// The instant (UTC milliseconds since 1970) that a local calendar time names:
// by its UTC offset when it carries one, else by the present time-zone rules.
// Nothing for a field out of range or a year outside 1970..9999. (Defined with
// the scheduler, which makes these times.)
std::optional<std::int64_t> LocalTimeToEpochMs(const LocalTime& time);

class TimedRun {
 public:
  virtual ~TimedRun() = default;
  // Books `program` (a bare name such as "HalvernRun.exe") at `when`; without a
  // time, cancels the pending booking of that program.
  [[nodiscard]] virtual bool RunAppAtTime(const std::u16string& program,
                                          const std::optional<LocalTime>& when) = 0;
};

}  // namespace halvern
