#include "check_history.h"

#include <algorithm>
#include <ctime>
#include <map>

#include "clock.h"
#include "history_stats.h"
#include "settings_store.h"
#include "url_entry.h"

namespace halvern {
namespace {

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::optional<std::tm> LocalTm(std::int64_t ms) {
  const auto t = static_cast<std::time_t>(FloorDiv(ms, 1000));
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return std::nullopt;
  return local;
}

// Local midnight of the day `local` names, `dayOffset` days later.
std::int64_t MidnightMs(std::tm local, int dayOffset) {
  local.tm_mday += dayOffset;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  return SaturatingMul(static_cast<std::int64_t>(t), 1000);
}

// Rows of one verdict before a range that the range's first verdict may
// belong to, and rows after it that may still close its last one.
constexpr std::size_t kRowsAround = 8;

}  // namespace

void RecordCheckHistory(SettingsStore& store, bool logged, const HistoryRow& row) {
  if (!logged) return;
  HistoryStore* history = store.History();
  if (history == nullptr) return;
  // A row that cannot be written is lost like a log record that cannot be
  // (the store retries another program's lock for as long as the program runs).
  static_cast<void>(history->AppendCheck(row));
}

std::optional<HistoryKeep> HistoryRetention(std::int32_t keep, std::int64_t now) {
  constexpr std::int32_t kKeepDays[] = {0, 1, 2, 3, 5, 7, 10, 15, 30};
  if (keep < 0 || keep >= static_cast<std::int32_t>(std::size(kKeepDays))) return std::nullopt;
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  if (keep == 0) return HistoryKeep{kMax, kMin};  // an empty range: nothing is kept
  // The log removes a record when |trunc((now - t) / 86400)| > D, that is when
  // t <= now - (D + 1) days or t >= now + (D + 1) days, t in whole seconds.
  const std::int64_t span = (std::int64_t{kKeepDays[keep]} + 1) * 86400;
  const std::int64_t oldest = SaturatingAdd(SaturatingSub(now, span), 1);  // seconds kept
  const std::int64_t beyond = SaturatingAdd(now, span);
  return HistoryKeep{SaturatingMul(oldest, 1000), SaturatingMul(beyond, 1000)};
}

std::vector<DailySummary> SummarizeDays(HistoryStore& history, std::int64_t firstDayStartMs,
                                        std::int64_t lastDayStartMs, std::int64_t nowMs) {
  std::vector<DailySummary> summaries;
  if (lastDayStartMs < firstDayStartMs) return summaries;
  const std::int64_t rangeEnd = NextLocalDayStartMs(lastDayStartMs);
  for (const std::uint32_t id : history.HistoryEntryIds()) {
    HistoryRange before{
        id, std::numeric_limits<std::int64_t>::min(), firstDayStartMs, kRowsAround, true, false};
    HistoryRange within{id, firstDayStartMs, rangeEnd};
    within.wantText = false;
    HistoryRange after{id,          rangeEnd, std::numeric_limits<std::int64_t>::max(),
                       kRowsAround, false,    false};
    std::vector<HistoryRow> rows = history.ReadChecks(before);
    for (const HistoryRange* range : {&within, &after}) {
      std::vector<HistoryRow> more = history.ReadChecks(*range);
      rows.insert(rows.end(), std::make_move_iterator(more.begin()),
                  std::make_move_iterator(more.end()));
    }
    const std::vector<Verdict> verdicts = Verdicts(rows, nowMs);
    for (std::int64_t day = firstDayStartMs; day <= lastDayStartMs;) {
      const std::int64_t next = NextLocalDayStartMs(day);
      DailySummary s = SummarizeDay(id, LocalDay(day), verdicts, day, next, nowMs);
      if ((s.checks > 0 || s.downMs > 0) && !s.day.empty()) summaries.push_back(std::move(s));
      if (next <= day) break;  // a day that cannot be stepped over ends the walk
      day = next;
    }
  }
  return summaries;
}

void ExpireHistory(HistoryStore& history, std::int32_t keep, std::int64_t nowMs) {
  const std::int64_t today = LocalDayStartMs(nowMs);
  const std::int64_t oldestKept =
      LocalDayStartMs(SaturatingSub(today, std::int64_t{kSummaryKeepDays} * 86400 * 1000));
  if (keep != 0) {
    // The complete days that have no summaries yet: from the day after the
    // latest summary (or the day of the oldest row) up to yesterday.
    std::optional<std::int64_t> first;
    if (const auto latest = history.LatestSummaryDay()) {
      if (const auto start = LocalDayStartFromText(*latest)) first = NextLocalDayStartMs(*start);
    }
    if (!first) {
      if (const auto oldest = history.OldestCheckMs()) first = LocalDayStartMs(*oldest);
    }
    const std::int64_t yesterday = LocalDayStartMs(SaturatingSub(today, 1));
    if (first && *first <= yesterday) {
      const auto summaries = SummarizeDays(history, std::max(*first, oldestKept), yesterday, nowMs);
      if (!summaries.empty()) static_cast<void>(history.WriteSummaries(summaries));
    }
  }
  if (const auto kept = HistoryRetention(keep, FloorDiv(nowMs, 1000))) {
    history.DeleteChecksOutside(kept->keepFromMs, kept->keepBeforeMs);
  }
  const std::u16string oldestDay = LocalDay(oldestKept);
  if (!oldestDay.empty()) history.DeleteSummariesBefore(oldestDay);
}

std::optional<std::u16string> FullOutcomeText(SettingsStore& store, const std::u16string& title,
                                              std::int64_t seconds, bool passed,
                                              const std::u16string& logText) {
  HistoryStore* history = store.History();
  UrlEntry entry;
  if (history == nullptr || !LoadUrlEntry(store, title, entry)) return std::nullopt;
  // The record and the row take their times a moment apart: allow a second.
  const HistoryRange range{entry.id, SaturatingMul(SaturatingSub(seconds, 1), 1000),
                           SaturatingMul(SaturatingAdd(seconds, 2), 1000)};
  // A failure's row begins with the "Failed. " that its log text leaves out.
  const std::u16string shown = passed ? logText : u"Failed. " + logText;
  for (const HistoryRow& row : history->ReadChecks(range)) {
    if (row.passed != passed || !SameTitle(row.title, title)) continue;
    if (!row.detail.starts_with(shown)) continue;
    if (row.detail == shown) return std::nullopt;
    return row.detail;
  }
  return std::nullopt;
}

std::vector<std::optional<HistoryRow>> HistoryRowsOfRecords(
    SettingsStore& store, const std::vector<LogRecordKey>& records) {
  std::vector<std::optional<HistoryRow>> found(records.size());
  HistoryStore* history = store.History();
  if (history == nullptr) return found;
  std::map<std::u16string, std::vector<std::size_t>> byTitle;
  for (std::size_t i = 0; i < records.size(); ++i) byTitle[records[i].title].push_back(i);
  for (const auto& [title, indexes] : byTitle) {
    UrlEntry entry;
    if (!LoadUrlEntry(store, title, entry)) continue;
    std::int64_t first = records[indexes.front()].seconds;
    std::int64_t last = first;
    for (const std::size_t i : indexes) {
      first = std::min(first, records[i].seconds);
      last = std::max(last, records[i].seconds);
    }
    // The record and the row take their times a moment apart: allow a second.
    std::vector<HistoryRow> rows =
        history->ReadChecks({entry.id, SaturatingMul(SaturatingSub(first, 1), 1000),
                             SaturatingMul(SaturatingAdd(last, 2), 1000)});
    std::sort(rows.begin(), rows.end(),
              [](const HistoryRow& a, const HistoryRow& b) { return a.timeMs < b.timeMs; });
    std::vector<bool> taken(rows.size(), false);
    for (const std::size_t i : indexes) {
      const LogRecordKey& record = records[i];
      const std::int64_t fromMs = SaturatingMul(SaturatingSub(record.seconds, 1), 1000);
      const std::int64_t toMs = SaturatingMul(SaturatingAdd(record.seconds, 2), 1000);
      // A failure's row begins with the "Failed. " that its log text leaves out.
      const std::u16string shown = record.passed ? record.text : u"Failed. " + record.text;
      auto at =
          std::lower_bound(rows.begin(), rows.end(), fromMs,
                           [](const HistoryRow& r, std::int64_t ms) { return r.timeMs < ms; });
      for (; at != rows.end() && at->timeMs < toMs; ++at) {
        const auto n = static_cast<std::size_t>(at - rows.begin());
        if (taken[n] || at->passed != record.passed || !SameTitle(at->title, title) ||
            !at->detail.starts_with(shown)) {
          continue;
        }
        taken[n] = true;
        found[i] = *at;
        break;
      }
    }
  }
  return found;
}

std::u16string LocalDay(std::int64_t ms) {
  const auto local = LocalTm(ms);
  if (!local) return {};
  char text[32];
  if (std::strftime(text, sizeof text, "%Y-%m-%d", &*local) != 10) return {};
  return std::u16string(text, text + 10);
}

std::int64_t LocalDayStartMs(std::int64_t ms) {
  const auto local = LocalTm(ms);
  if (!local) return ms;
  return MidnightMs(*local, 0);
}

std::int64_t NextLocalDayStartMs(std::int64_t dayStartMs) {
  // Noon of the same day is safe from any change of the clocks at midnight.
  const auto local = LocalTm(SaturatingAdd(dayStartMs, 12 * 3600 * 1000));
  if (!local) return SaturatingAdd(dayStartMs, 86400 * 1000);
  return MidnightMs(*local, 1);
}

std::optional<std::int64_t> LocalDayStartFromText(std::u16string_view day) {
  if (day.size() != 10 || day[4] != u'-' || day[7] != u'-') return std::nullopt;
  int parts[3] = {};
  const std::size_t starts[3] = {0, 5, 8};
  const std::size_t lengths[3] = {4, 2, 2};
  for (int p = 0; p < 3; ++p) {
    for (std::size_t i = 0; i < lengths[p]; ++i) {
      const char16_t c = day[starts[p] + i];
      if (c < u'0' || c > u'9') return std::nullopt;
      parts[p] = parts[p] * 10 + (c - u'0');
    }
  }
  if (parts[1] < 1 || parts[1] > 12 || parts[2] < 1 || parts[2] > 31) return std::nullopt;
  std::tm local{};
  local.tm_year = parts[0] - 1900;
  local.tm_mon = parts[1] - 1;
  local.tm_mday = parts[2];
  return MidnightMs(local, 0);
}

}  // namespace halvern
