#pragma once
// What the history means, written once: verdicts, uptime, outages, the cells of
// the 24-hour strip and the response-time buckets. Pure functions over the rows
// of one entry (oldest first), so that tables of cases can pin them down.
//
//  - A verdict is the final outcome of one check including its retries. A check
//    that is not a retry starts a verdict; each retry that follows a failure of
//    it belongs to the same verdict. It is up when its last check passed (marked
//    `afterRetry` when that was a retry) and down when its last check failed and
//    no retry follows: a later check that is not a retry came, it was a check
//    that is never retried (a manual one), the retry bound was reached, or no
//    retry came within kRetryWaitMs. Until then it counts neither way.
//    Cancelled checks write no row and hours off have no checks, so neither
//    counts.
//  - Uptime over a window: up verdicts / all verdicts whose first check lies in
//    it, "99.95 %", or "—" where there is none.
//  - An outage runs from the first check of a down verdict to the last check of
//    the first up verdict after it; it goes on while none came. Its reason is
//    the detail of the first failed check.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "check_history.h"

namespace halvern {

// How long a failed check waits for its retry's row before it counts as final:
// the retry starts 5 s later and may take up to the timeouts of its phases.
inline constexpr std::int64_t kRetryWaitMs = 5 * 60 * 1000;
// Failures in a row after which a scheduled check is not retried any more.
inline constexpr int kVerdictRetryBound = 3;

struct Verdict {
  std::int64_t startMs = 0;    // the first check
  std::int64_t decidedMs = 0;  // the last check
  bool up = false;
  bool afterRetry = false;        // up on a retry
  std::u16string reason;          // down: the first failed check's detail
  std::optional<double> totalMs;  // up: the passing check's total time
};

// The verdicts of one entry's rows (oldest first) known at `nowMs`.
std::vector<Verdict> Verdicts(std::span<const HistoryRow> rows, std::int64_t nowMs);

struct UptimeCount {
  std::int64_t up = 0;
  std::int64_t all = 0;
};
// Verdicts that start in fromMs <= start < toMs.
UptimeCount CountVerdicts(std::span<const Verdict> verdicts, std::int64_t fromMs,
                          std::int64_t toMs);
// "99.95 %" (two decimals, truncated so that 99.999 % never shows as 100.00 %
// while a verdict was down), "—" for no verdict.
std::u16string FormatUptime(UptimeCount count);
// up / all, or nothing for no verdict (for sorting).
std::optional<double> UptimeRatio(UptimeCount count);

struct Outage {
  std::int64_t startMs = 0;
  std::optional<std::int64_t> endMs;  // none while it goes on
  std::u16string reason;
};
std::vector<Outage> Outages(std::span<const Verdict> verdicts);
// Time inside outages within fromMs..toMs; an outage that goes on lasts until `nowMs`.
std::int64_t DownMsWithin(std::span<const Outage> outages, std::int64_t fromMs, std::int64_t toMs,
                          std::int64_t nowMs);

// The strip: the last 24 hours in half-hour cells, the last cell being the
// half hour (UTC-aligned) that holds `nowMs`.
inline constexpr int kStripCells = 48;
inline constexpr std::int64_t kStripCellMs = 30 * 60 * 1000;
struct StripCell {
  int up = 0;  // passed at once
  int upAfterRetry = 0;
  int down = 0;
  bool checked() const { return up + upAfterRetry + down > 0; }
  // The share of the cell drawn red.
  double downShare() const { return checked() ? double(down) / (up + upAfterRetry + down) : 0; }
};
std::int64_t StripStartMs(std::int64_t nowMs);
std::array<StripCell, kStripCells> StripCells(std::span<const Verdict> verdicts,
                                              std::int64_t nowMs);

// The median of the values (the mean of the middle two for an even count).
std::optional<double> Median(std::vector<double> values);

// Response time per time bucket: the passing checks' total times.
struct ResponseBucket {
  std::int64_t startMs = 0;
  std::int64_t endMs = 0;  // the next bucket's start
  // The middle total time; for a day taken from its summary, which keeps no
  // median, the day's mean.
  std::optional<double> median;
  std::optional<double> min;
  std::optional<double> max;
};
std::vector<ResponseBucket> ResponseBuckets(std::span<const HistoryRow> rows, std::int64_t fromMs,
                                            std::int64_t toMs, int buckets);

// A day's summary of one entry from its verdicts and outages; dayEndMs is the
// next day's start.
DailySummary SummarizeDay(std::uint32_t entryId, const std::u16string& day,
                          std::span<const Verdict> verdicts, std::int64_t dayStartMs,
                          std::int64_t dayEndMs, std::int64_t nowMs);

// "2 h 05 min", "45 s": a duration as the window shows it.
std::u16string FormatDuration(std::int64_t ms);

}  // namespace halvern
