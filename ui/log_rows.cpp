#include "log_rows.h"

#include <QtCore/QSet>
#include <algorithm>

#include "check_log.h"
#include "settings_store.h"

namespace halvern::ui {
namespace {

constexpr std::size_t kAppendPosition = 65535;

QString FromField(const char16_t* field, std::size_t capacity) {
  std::size_t n = 0;
  while (n < capacity && field[n] != u'\0') ++n;
  return QString::fromUtf16(field, static_cast<qsizetype>(n));
}

// One shared copy of each text: a log names the same few titles, and often
// the same outcome, over and over.
class TextPool {
 public:
  QString Shared(QString text) {
    const auto it = texts_.constFind(text);
    if (it != texts_.constEnd()) return *it;
    texts_.insert(text);
    return text;
  }

 private:
  QSet<QString> texts_;
};

}  // namespace

std::vector<LogRow> ReadLogRows(SettingsStore& store) {
  std::vector<LogRow> rows;
  TextPool titles;
  // One byte more than a record tells a longer value, which is no record.
  auto cursor = store.OpenSection(kLogSection, sizeof(LogRecord) + 1);
  if (!cursor) return rows;
  for (std::size_t i = 0;; ++i) {
    auto value = cursor->Enumerate(i);
    if (!value) break;
    if (value->data.size() != sizeof(LogRecord)) continue;
    const LogRecord record = ReadLogRecordBytes(value->data);
    rows.push_back(LogRow{QString::fromStdU16String(FormatLocalTime(record.time, u"%X %x")),
                          titles.Shared(FromField(record.title, std::size(record.title))),
                          FromField(record.text, std::size(record.text)), record.time,
                          record.passed != 0});
  }
  return rows;
}

void SortNewestFirst(std::vector<LogRow>& rows) {
  // Appending at a fixed position puts every row after it in front of the
  // ones that went there before: the tail ends up reversed.
  if (rows.size() > kAppendPosition) {
    std::reverse(rows.begin() + static_cast<std::ptrdiff_t>(kAppendPosition), rows.end());
  }
  // The whole 64-bit time orders the rows: a difference of truncated 32-bit
  // times would overflow for records far apart.
  std::stable_sort(rows.begin(), rows.end(),
                   [](const LogRow& a, const LogRow& b) { return a.seconds > b.seconds; });
}

}  // namespace halvern::ui
