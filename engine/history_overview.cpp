#include "history_overview.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>

#include "clock.h"

namespace halvern {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
// Rows before a range that its first verdict may belong to.
constexpr std::size_t kContextRows = 8;

// The entry's rows from `fromMs` on, with the few before it that open a
// verdict still going at `fromMs`.
std::vector<HistoryRow> RowsFrom(HistoryStore& history, std::uint32_t id, std::int64_t fromMs,
                                 bool wantText) {
  std::vector<HistoryRow> rows =
      history.ReadChecks(HistoryRange{id, kMin, fromMs, kContextRows, true, wantText});
  std::vector<HistoryRow> rest = history.ReadChecks(
      HistoryRange{id, fromMs, kMax, std::numeric_limits<std::size_t>::max(), false, wantText});
  rows.insert(rows.end(), std::make_move_iterator(rest.begin()),
              std::make_move_iterator(rest.end()));
  return rows;
}

void AddSummaries(UptimeCount& count, const std::vector<DailySummary>& summaries,
                  std::int64_t fromDayStartMs, std::int64_t beforeMs) {
  for (const DailySummary& s : summaries) {
    const auto start = LocalDayStartFromText(s.day);
    if (!start || *start < fromDayStartMs || *start >= beforeMs) continue;
    count.all += std::max<std::int64_t>(s.checks, 0);
    count.up += std::clamp<std::int64_t>(s.passed, 0, std::max<std::int64_t>(s.checks, 0));
  }
}

// Verdicts from `fromMs` (never before the rows take over) plus the summaries
// of the days before the rows.
UptimeCount WindowCount(const std::vector<Verdict>& verdicts,
                        const std::vector<DailySummary>& summaries, std::int64_t fromMs,
                        std::int64_t rowsFromMs, std::int64_t nowMs) {
  UptimeCount count =
      CountVerdicts(verdicts, std::max(fromMs, rowsFromMs), SaturatingAdd(nowMs, 1));
  if (fromMs < rowsFromMs) AddSummaries(count, summaries, LocalDayStartMs(fromMs), rowsFromMs);
  return count;
}

// One bucket per local day of fromMs..toMs (clipped to them) from the
// entry's summaries, by day; a day without one is a gap.
std::vector<ResponseBucket> SummaryBuckets(const std::vector<DailySummary>& summaries,
                                           std::int64_t fromMs, std::int64_t toMs) {
  std::vector<ResponseBucket> out;
  std::size_t next = 0;
  for (std::int64_t day = LocalDayStartMs(fromMs); day < toMs;) {
    const std::int64_t end = NextLocalDayStartMs(day);
    ResponseBucket b;
    b.startMs = std::max(day, fromMs);
    b.endMs = std::min(end, toMs);
    const std::u16string name = LocalDay(day);
    while (next < summaries.size() && summaries[next].day < name) ++next;
    if (next < summaries.size() && summaries[next].day == name) {
      const DailySummary& s = summaries[next];
      b.min = s.totalMsMin;
      b.max = s.totalMsMax;
      if (s.totalMsSum && s.passed > 0) {
        const double mean = *s.totalMsSum / static_cast<double>(s.passed);
        if (std::isfinite(mean)) b.median = mean;
      }
    }
    out.push_back(b);
    if (end <= day) break;  // a day that cannot be converted ends the walk
    day = end;
  }
  return out;
}

// The rows that decide the outages from `fromMs` on, where `rows` holds every
// row from `rowsFromMs` on (RowsFrom): the context rows before `fromMs` that
// RowsFrom(fromMs) would read, then up to `rowsFromMs` the failures with the
// row after each, then `rows`. The rows left out are passes that follow a
// pass; Verdicts over these gives the outages it gives over every row.
std::vector<HistoryRow> OutageRows(HistoryStore& history, std::uint32_t id, std::int64_t fromMs,
                                   std::int64_t rowsFromMs, const std::vector<HistoryRow>& rows) {
  std::vector<HistoryRow> out =
      history.ReadChecks(HistoryRange{id, kMin, fromMs, kContextRows, true, false});
  const std::optional<HistoryRow> first =
      out.empty() ? std::nullopt : std::optional<HistoryRow>(out.front());
  // From the first context row on, so that a failure among them brings the
  // row after it too.
  for (HistoryRow& row :
       history.ReadFailuresAndNext(id, first ? first->timeMs : fromMs, rowsFromMs)) {
    out.push_back(std::move(row));
  }
  for (const HistoryRow& row : rows) {
    if (row.timeMs >= rowsFromMs) out.push_back(row);
  }
  const auto earlier = [](const HistoryRow& a, const HistoryRow& b) {
    return std::tie(a.timeMs, a.rowId) < std::tie(b.timeMs, b.rowId);
  };
  std::sort(out.begin(), out.end(), earlier);
  out.erase(
      std::unique(out.begin(), out.end(),
                  [](const HistoryRow& a, const HistoryRow& b) { return a.rowId == b.rowId; }),
      out.end());
  // A failure of the first context row's millisecond but written before it
  // lies before where RowsFrom would begin.
  if (first) {
    out.erase(out.begin(), std::lower_bound(out.begin(), out.end(), *first, earlier));
  }
  return out;
}

}  // namespace

std::int64_t RowsTakeOverMs(HistoryStore& history, std::int64_t nowMs) {
  const std::int64_t today = LocalDayStartMs(nowMs);
  std::int64_t from = today;
  if (const auto latest = history.LatestSummaryDay()) {
    if (const auto start = LocalDayStartFromText(*latest)) from = NextLocalDayStartMs(*start);
  } else if (const auto oldest = history.OldestCheckMs()) {
    // No day summarized yet (the daily expiry has not run since rows came):
    // the rows answer for every day they cover.
    from = LocalDayStartMs(*oldest);
  }
  return std::clamp(from, SaturatingSub(nowMs, 30 * kDayMs), today);
}

EntryOverview LoadEntryOverview(HistoryStore& history, const OverviewEntry& entry,
                                std::int64_t nowMs, std::int64_t rowsFromMs,
                                const std::vector<DailySummary>& summaries) {
  EntryOverview o;
  o.entry = entry;
  const std::int64_t dayAgo = SaturatingSub(nowMs, kDayMs);
  const std::vector<HistoryRow> rows =
      RowsFrom(history, entry.entryId, std::min(rowsFromMs, dayAgo), false);
  const std::vector<Verdict> verdicts = Verdicts(rows, nowMs);
  o.strip = StripCells(verdicts, nowMs);
  o.day = CountVerdicts(verdicts, dayAgo, SaturatingAdd(nowMs, 1));
  o.week = WindowCount(verdicts, summaries, SaturatingSub(nowMs, 7 * kDayMs), rowsFromMs, nowMs);
  o.month = WindowCount(verdicts, summaries, SaturatingSub(nowMs, 30 * kDayMs), rowsFromMs, nowMs);
  std::vector<double> times;
  for (const HistoryRow& row : rows) {
    if (row.passed && row.totalMs && row.timeMs >= dayAgo) times.push_back(*row.totalMs);
  }
  o.medianDayMs = Median(std::move(times));
  if (auto failed = history.LastFailedCheck(entry.entryId)) {
    o.lastFailureMs = failed->timeMs;
    o.lastFailureReason = std::move(failed->detail);
  }
  return o;
}

std::vector<EntryOverview> LoadOverview(HistoryStore& history,
                                        const std::vector<OverviewEntry>& entries,
                                        std::int64_t nowMs) {
  const std::int64_t rowsFrom = RowsTakeOverMs(history, nowMs);
  std::map<std::uint32_t, std::vector<DailySummary>> byEntry;
  for (DailySummary& s :
       history.ReadSummaries(LocalDay(SaturatingSub(nowMs, 31 * kDayMs)), LocalDay(nowMs))) {
    byEntry[s.entryId].push_back(std::move(s));
  }
  static const std::vector<DailySummary> kNone;
  std::vector<EntryOverview> out;
  out.reserve(entries.size());
  for (const OverviewEntry& entry : entries) {
    const auto it = byEntry.find(entry.entryId);
    out.push_back(LoadEntryOverview(history, entry, nowMs, rowsFrom,
                                    it == byEntry.end() ? kNone : it->second));
  }
  return out;
}

std::int64_t PeriodMs(HistoryPeriod period) {
  switch (period) {
    case HistoryPeriod::kDay:
      return kDayMs;
    case HistoryPeriod::kWeek:
      return 7 * kDayMs;
    case HistoryPeriod::kMonth:
      break;
  }
  return 30 * kDayMs;
}

int PeriodBuckets(HistoryPeriod period) {
  switch (period) {
    case HistoryPeriod::kDay:
      return 48;
    case HistoryPeriod::kWeek:
      return 84;
    case HistoryPeriod::kMonth:
      break;
  }
  return 90;
}

EntryDetail LoadEntryDetail(HistoryStore& history, std::uint32_t entryId, HistoryPeriod period,
                            std::int64_t nowMs) {
  EntryDetail d;
  d.toMs = nowMs;
  d.fromMs = SaturatingSub(nowMs, PeriodMs(period));
  // Thirty days are thousands of rows of one entry, each on a page of its
  // own: the days that have their summaries take their buckets from them, and
  // of their rows only the failures with the row after each are read, which
  // is all that the outages need. The rows of the other days are read whole.
  const std::int64_t rowsFrom =
      period == HistoryPeriod::kMonth
          ? std::clamp(RowsTakeOverMs(history, nowMs), d.fromMs, std::max(d.fromMs, nowMs))
          : d.fromMs;
  const std::vector<HistoryRow> rows = RowsFrom(history, entryId, rowsFrom, false);
  if (rowsFrom > d.fromMs) {
    d.buckets = SummaryBuckets(
        history.ReadEntrySummaries(entryId, LocalDay(d.fromMs), LocalDay(rowsFrom - 1)), d.fromMs,
        rowsFrom);
  }
  const std::int64_t bucketMs = PeriodMs(period) / PeriodBuckets(period);
  const std::int64_t rowBuckets = (SaturatingSub(nowMs, rowsFrom) + bucketMs - 1) / bucketMs;
  for (const ResponseBucket& b : ResponseBuckets(
           rows, rowsFrom, nowMs,
           static_cast<int>(std::min<std::int64_t>(rowBuckets, PeriodBuckets(period))))) {
    d.buckets.push_back(b);
  }

  const std::vector<HistoryRow> decisive =
      rowsFrom > d.fromMs ? OutageRows(history, entryId, d.fromMs, rowsFrom, rows) : rows;
  for (Outage& o : Outages(Verdicts(decisive, nowMs))) {
    if (o.endMs && *o.endMs < d.fromMs) continue;
    // Texts are read only for the checks that began an outage.
    for (HistoryRow& first : history.ReadChecks(
             HistoryRange{entryId, o.startMs, SaturatingAdd(o.startMs, 1), kContextRows})) {
      if (first.passed) continue;
      o.reason = std::move(first.detail);
      break;
    }
    d.outages.push_back(std::move(o));
  }
  if (!rows.empty()) d.lastCheck = rows.back();
  return d;
}

}  // namespace halvern
