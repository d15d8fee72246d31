#include "log_csv.h"

#include <charconv>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string_view>

#include "csv.h"
#include "utf8.h"

namespace halvern {
namespace {

// A spreadsheet takes a cell that begins with = + - or @ (a tab or a carriage
// return before one too) as a formula. Titles come from the user and texts
// from the servers checked (a status text is the server's own words), so such
// a cell is written with a leading apostrophe, which spreadsheets show as text
// and do not run.
std::string TextCell(const std::u16string& text) {
  std::string cell = Utf16ToUtf8(text);
  constexpr std::string_view kFormulaStarts = "=+-@\t\r";
  if (!cell.empty() && kFormulaStarts.find(cell.front()) != std::string_view::npos) {
    cell.insert(0, 1, '\'');
  }
  return cell;
}

}  // namespace

std::string FormatIsoLocalTime(std::int64_t time) {
  if (time < std::numeric_limits<std::time_t>::min() ||
      time > std::numeric_limits<std::time_t>::max()) {
    return {};
  }
  const auto seconds = static_cast<std::time_t>(time);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return {};
  char text[64];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0) return {};
  const long offset = local.tm_gmtoff;
  const long magnitude = offset < 0 ? -offset : offset;
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
                (magnitude % 3600) / 60);
  return std::string(text) + zone;
}

std::string LogCsv(const std::vector<LogCsvRow>& rows, bool historyColumns) {
  std::string out = "\xEF\xBB\xBF";
  std::vector<std::string> header = {"Time", "Title", "Passed", "Text"};
  if (historyColumns) header.insert(header.end(), {"HTTP Status", "Total Time (s)", "Detail"});
  out += csv::Line(header);
  for (const LogCsvRow& row : rows) {
    std::vector<std::string> fields = {FormatIsoLocalTime(row.time), TextCell(row.title),
                                       row.passed ? "1" : "0", TextCell(row.text)};
    if (historyColumns) {
      fields.push_back(row.httpStatus ? std::to_string(*row.httpStatus) : std::string());
      std::string total;
      if (row.totalSeconds) {
        // Independent of the locale's decimal mark, as CSV readers expect.
        char number[64];
        const auto end = std::to_chars(number, number + sizeof number, *row.totalSeconds,
                                       std::chars_format::fixed, 3);
        if (end.ec == std::errc()) total.assign(number, end.ptr);
      }
      fields.push_back(total);
      fields.push_back(row.detail ? TextCell(*row.detail) : std::string());
    }
    out += csv::Line(fields);
  }
  return out;
}

}  // namespace halvern
