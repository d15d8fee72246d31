#include "check_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "check_history.h"
#include "clock.h"
#include "settings.h"
#include "url_entry.h"

namespace halvern {
namespace {

std::u16string Decimal(std::int64_t value) {
  const std::string s = std::to_string(value);
  return std::u16string(s.begin(), s.end());
}

// Days kept by each retention index; index 0 keeps nothing.
constexpr std::int32_t kKeepDays[] = {0, 1, 2, 3, 5, 7, 10, 15, 30};

// The next suffix to try for each recent second, so a busy second does not
// probe every earlier name again. Writers whose clocks straddle a second
// boundary keep their own hints instead of resetting each other's. Never
// destroyed: a check still writing while the program exits may use it after
// static destructors have run.
std::mutex gSuffixMutex;
std::map<std::int64_t, int>& SuffixNext() {
  static auto* const next = new std::map<std::int64_t, int>;
  return *next;
}

// A suffix above `tried` (the last one this writer found taken).
int NextSuffixHint(std::int64_t second, int tried) {
  std::lock_guard lock(gSuffixMutex);
  std::map<std::int64_t, int>& hints = SuffixNext();
  int& next = hints.try_emplace(second, 1).first->second;
  next = std::max(next, tried + 1);
  const int hint = next++;
  if (hints.size() > 16) {
    auto oldest = hints.begin();
    if (oldest->first == second) ++oldest;
    hints.erase(oldest);
  }
  return hint;
}

}  // namespace

Bytes LogRecordBytes(const LogRecord& record) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&record);
  return Bytes(p, p + sizeof record);
}

LogRecord ReadLogRecordBytes(const Bytes& bytes) {
  LogRecord record;
  std::memset(&record, 0, sizeof record);
  std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof record));
  return record;
}

std::optional<std::u16string> WriteLogRecord(SettingsStore& store, const Clock& clock,
                                             const UrlEntry& entry, bool passed,
                                             std::u16string_view text, const HistoryRow* history) {
  const std::int64_t now = clock.Now();
  if (ReadSetting(store, kKeepLogFiles) == 0) return std::nullopt;

  LogRecord record;
  std::memset(&record, 0, sizeof record);
  record.time = now;
  CopyToField(record.title, std::size(record.title), EntryTitle(entry));
  record.passed = passed ? 1 : 0;
  CopyToField(record.text, kLogTextChars, text);
  const Bytes bytes = LogRecordBytes(record);

  // The plain name first; when another record of this second holds it, a
  // suffixed name. The store tries them in one write, which keeps concurrent
  // writers apart.
  const std::u16string base = Decimal(now);
  int suffix = 0;
  const NameSequence names = [&](int attempt) {
    suffix = attempt == 0 ? 0 : NextSuffixHint(now, suffix);
    return suffix == 0 ? base : base + u"-" + Decimal(suffix);
  };
  HistoryStore* checks = history != nullptr ? store.History() : nullptr;
  auto name = checks != nullptr ? checks->InsertBinaryWithCheck(kLogSection, names, bytes, *history)
                                : store.InsertBinaryUnderFreeName(kLogSection, names, bytes);
  if (!name) {
    std::fprintf(stderr, "Halvern: the settings store refused the check log record of %lld (%s).\n",
                 static_cast<long long>(now), passed ? "passed" : "failed");
  }
  return name;
}

std::int64_t LogNameTime(std::u16string_view name) {
  std::size_t i = 0;
  const bool negative = !name.empty() && name[0] == u'-';
  if (negative) i = 1;
  // Digits beyond the 64-bit range hold the value at the limit, as a reader of
  // decimal numbers does, instead of wrapping into some other time.
  constexpr std::uint64_t kMaxMagnitude = std::uint64_t{1} << 63;  // |INT64_MIN|
  const std::uint64_t limit = negative ? kMaxMagnitude : kMaxMagnitude - 1;
  std::uint64_t value = 0;
  for (; i < name.size() && name[i] >= u'0' && name[i] <= u'9'; ++i) {
    const auto digit = static_cast<std::uint64_t>(name[i] - u'0');
    value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
  }
  if (!negative) return static_cast<std::int64_t>(value);
  return value == kMaxMagnitude ? std::numeric_limits<std::int64_t>::min()
                                : -static_cast<std::int64_t>(value);
}

bool IsLogRecordExpired(std::int32_t keep, std::int64_t recordTime, std::int64_t now) {
  if (keep < 0 || keep >= static_cast<std::int32_t>(std::size(kKeepDays))) return false;
  if (keep == 0) return true;
  // Whole days, truncated toward zero, held to 32 bits, then made positive. A
  // record time near either end of the range is very old, never a few days.
  const std::int64_t days = SaturateToInt32(SaturatingSub(now, recordTime) / 86400);
  return (days < 0 ? -days : days) > kKeepDays[keep];
}

void ExpireLog(SettingsStore& store, const Clock& clock) {
  const std::int64_t now = clock.Now();
  const std::u16string today = FormatLocalTime(now, u"%x");
  if (ReadSetting(store, kRemoveExpairedLogItems) == today) return;
  const std::int32_t keep = ReadSetting(store, kKeepLogFiles);
  // The history of the checks follows the log's retention; a day of rows
  // takes a while to delete, so it goes off the window's thread.
  if (HistoryStore* history = store.History()) {
    history->RunMaintenance(
        [keep, nowMs = clock.NowMs()](HistoryStore& h) { ExpireHistory(h, keep, nowMs); });
  }

  auto cursor = store.OpenSection(kLogSection);
  if (!cursor) return;
  std::vector<std::u16string> doomed;
  for (std::size_t i = 0;; ++i) {
    auto value = cursor->Enumerate(i, false);
    if (!value) break;
    if (IsLogRecordExpired(keep, LogNameTime(value->name), now)) {
      doomed.push_back(std::move(value->name));
    }
  }
  cursor.reset();
  // The day counts as done once its records are gone: after a refused delete
  // (which deletes none) the date stays unwritten and the next run tries
  // again. A date that could not be kept only lets the next run expire once more.
  if (!doomed.empty() && store.DeleteValues(kLogSection, doomed) == 0) return;
  static_cast<void>(WriteSetting(store, kRemoveExpairedLogItems, today));
}

std::u16string FormatLocalTime(std::int64_t time, std::u16string_view pattern) {
  const auto t = static_cast<std::time_t>(time);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return {};
  // The C library converts a few years past the top of int's range, whose
  // calendar year it then shows wrapped to a negative one.
  if (local.tm_year > std::numeric_limits<int>::max() - 1900) return {};
  // Expand the fixed formats ourselves so the text never depends on the locale.
  std::string expanded;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == u'%' && i + 1 < pattern.size() &&
        (pattern[i + 1] == u'X' || pattern[i + 1] == u'x')) {
      expanded += pattern[i + 1] == u'X' ? "%H:%M:%S" : "%m/%d/%y";
      ++i;
    } else if (pattern[i] < 0x80) {
      expanded += static_cast<char>(pattern[i]);
    } else {
      return {};  // the patterns of this program are ASCII
    }
  }
  char buffer[128];
  const std::size_t n = std::strftime(buffer, sizeof buffer, expanded.c_str(), &local);
  if (n == 0) return {};
  return std::u16string(buffer, buffer + n);
}

}  // namespace halvern
