#pragma once
// The check log: one 256-byte record per outcome in the "LogFile" section,
// named by the decimal digits of its time, and its once-a-day expiry.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "settings_store.h"

namespace halvern {

class Clock;
struct HistoryRow;
struct UrlEntry;

inline constexpr std::size_t kLogTextChars = 96;  // 95 characters + zero

struct LogRecord {
  std::int64_t time;
  char16_t title[25];
  std::uint16_t reserved;
  std::int32_t passed;
  char16_t text[kLogTextChars];
};

static_assert(sizeof(LogRecord) == 256);
static_assert(offsetof(LogRecord, title) == 8);
static_assert(offsetof(LogRecord, passed) == 60);
static_assert(offsetof(LogRecord, text) == 64);

Bytes LogRecordBytes(const LogRecord& record);
// A value of another length is read over a zeroed record and never beyond it.
LogRecord ReadLogRecordBytes(const Bytes& bytes);

// Writes one record for `entry` unless KeepLogFiles is 0, and with it
// `history`'s row where the store keeps a history. The first record of a
// second is named by the plain decimal time; further records of the same second
// get "<time>-1", "<time>-2" ... so that no outcome replaces another. Returns the
// name written, or nothing; a write the store refused is also said on stderr.
[[nodiscard]] std::optional<std::u16string> WriteLogRecord(SettingsStore& store, const Clock& clock,
                                                           const UrlEntry& entry, bool passed,
                                                           std::u16string_view text,
                                                           const HistoryRow* history = nullptr);

// The leading decimal digits of a record name (optional minus sign); 0 when the
// name has none, the 64-bit limit when they go beyond it.
std::int64_t LogNameTime(std::u16string_view name);
// Whether retention index `keep` removes a record `recordTime` at `now`; safe
// for times of any value.
bool IsLogRecordExpired(std::int32_t keep, std::int64_t recordTime, std::int64_t now);
// Removes the records that KeepLogFiles no longer keeps, once per local day;
// the store's history of the checks is expired with them.
void ExpireLog(SettingsStore& store, const Clock& clock);

// Local-time text of `time` with a strftime pattern in which "%X" is HH:mm:ss
// and "%x" is MM/dd/yy. Empty when the time cannot be converted. At most 127
// characters. Empty also for a year past what int holds.
std::u16string FormatLocalTime(std::int64_t time, std::u16string_view pattern);

}  // namespace halvern
