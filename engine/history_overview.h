#pragma once
// What the History window shows, read from the history store: per address the
// strip of the last 24 hours, uptime over 24 hours, 7 and 30 days, the median
// response time over 24 hours and the last failure; for the chosen address the
// response times, outages and the phases of its last check over a period.
//
// Rows are read for the last 24 hours and for the days that have no summary
// yet; older days come from their summaries. So opening the window reads a few
// hundred rows per address whatever the retention.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check_history.h"
#include "history_stats.h"

namespace halvern {

inline constexpr std::int64_t kHourMs = 3600 * 1000;
inline constexpr std::int64_t kDayMs = 24 * kHourMs;

struct OverviewEntry {
  std::uint32_t entryId = 0;
  std::u16string title;
  std::u16string url;
};

struct EntryOverview {
  OverviewEntry entry;
  std::array<StripCell, kStripCells> strip{};
  UptimeCount day;
  UptimeCount week;
  UptimeCount month;
  std::optional<double> medianDayMs;
  std::optional<std::int64_t> lastFailureMs;
  std::u16string lastFailureReason;
};

// Where rows take over from summaries: the day after the latest summary; with
// none, the day of the oldest row, or today (never before 30 days back).
std::int64_t RowsTakeOverMs(HistoryStore& history, std::int64_t nowMs);

EntryOverview LoadEntryOverview(HistoryStore& history, const OverviewEntry& entry,
                                std::int64_t nowMs, std::int64_t rowsFromMs,
                                const std::vector<DailySummary>& summaries);

// The overview of every entry; `summaries` of the last 30 days are read once.
std::vector<EntryOverview> LoadOverview(HistoryStore& history,
                                        const std::vector<OverviewEntry>& entries,
                                        std::int64_t nowMs);

enum class HistoryPeriod { kDay, kWeek, kMonth };
std::int64_t PeriodMs(HistoryPeriod period);
int PeriodBuckets(HistoryPeriod period);  // 30-minute, 2-hour and 8-hour buckets

struct EntryDetail {
  std::int64_t fromMs = 0;
  std::int64_t toMs = 0;
  std::vector<ResponseBucket> buckets;
  std::vector<Outage> outages;  // those that overlap the period, oldest first
  std::optional<HistoryRow> lastCheck;
};

EntryDetail LoadEntryDetail(HistoryStore& history, std::uint32_t entryId, HistoryPeriod period,
                            std::int64_t nowMs);

}  // namespace halvern
