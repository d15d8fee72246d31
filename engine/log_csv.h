#pragma once
// The check log written as CSV for spreadsheets and scripts: one line per
// record with its time as ISO 8601 local time with the UTC offset, title,
// passed (1/0) and text; and, where a record's check left them, its HTTP
// status, total time and detail.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvern {

struct LogCsvRow {
  std::int64_t time = 0;  // seconds since 1970-01-01 UTC
  std::u16string title;
  bool passed = false;
  std::u16string text;
  // What the check's history holds of the outcome; unknown when absent.
  std::optional<std::int32_t> httpStatus;
  std::optional<double> totalSeconds;
  std::optional<std::u16string> detail;
};

// "2026-12-08T14:05:09+01:00" in the local time zone; empty when the time
// cannot be converted.
std::string FormatIsoLocalTime(std::int64_t time);

// The whole file, UTF-8 with a byte order mark (so that spreadsheets read the
// text as UTF-8), a header line, CR LF line ends. The three history columns are
// written when `historyColumns` is true, empty for rows that lack them.
std::string LogCsv(const std::vector<LogCsvRow>& rows, bool historyColumns);

}  // namespace halvern
