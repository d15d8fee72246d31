#pragma once
// The check log as the log viewer lists it: one row per whole record, with
// its texts formatted, newest first.

#include <QtCore/QString>
#include <cstdint>
#include <vector>

namespace halvern {
class SettingsStore;
}

namespace halvern::ui {

struct LogRow {
  QString time;  // local time, "%X %x"; empty when it cannot be converted
  QString title;
  QString text;
  std::int64_t seconds = 0;  // the record's whole 64-bit time
  bool passed = false;
};

// The rows of the "LogFile" section in the store's order. Only values of a
// record's exact size are records; anything else in the section is skipped.
// No rows when the section cannot be opened.
std::vector<LogRow> ReadLogRows(SettingsStore& store);

// Newest first. Rows of the same second stay in the order the viewer has
// always given them: each row appended at row 65535 and the list then sorted
// stably. Past 65,535 rows that position lies inside the list, so the rows
// beyond it come in reversed.
void SortNewestFirst(std::vector<LogRow>& rows);

}  // namespace halvern::ui
