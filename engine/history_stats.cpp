#include "history_stats.h"

#include <algorithm>
#include <cstdio>

#include "clock.h"

namespace halvern {
namespace {

std::u16string Ascii(const char* text) {
  std::u16string out;
  for (; *text != '\0'; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

// Division rounding toward minus infinity, for times before 1970 too.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// A check that is never retried: its failure is final at once.
bool NeverRetried(CheckKind kind) {
  return kind == CheckKind::ManualRun || kind == CheckKind::SingleCheck;
}

// A verdict whose checks have begun and whose end is not known yet.
struct OpenVerdict {
  std::int64_t startMs = 0;
  std::int64_t lastMs = 0;
  int failures = 0;
  std::u16string reason;
};

Verdict Down(const OpenVerdict& open) {
  Verdict v;
  v.startMs = open.startMs;
  v.decidedMs = open.lastMs;
  v.up = false;
  v.reason = open.reason;
  return v;
}

Verdict Up(std::int64_t startMs, const HistoryRow& row, bool afterRetry) {
  Verdict v;
  v.startMs = startMs;
  v.decidedMs = row.timeMs;
  v.up = true;
  v.afterRetry = afterRetry;
  v.totalMs = row.totalMs;
  return v;
}

}  // namespace

std::vector<Verdict> Verdicts(std::span<const HistoryRow> rows, std::int64_t nowMs) {
  std::vector<Verdict> verdicts;
  std::optional<OpenVerdict> open;
  for (const HistoryRow& row : rows) {
    const bool retry = row.kind == CheckKind::Retry;
    if (open && retry) {
      if (row.passed) {
        verdicts.push_back(Up(open->startMs, row, true));
        open.reset();
        continue;
      }
      open->lastMs = row.timeMs;
      if (++open->failures >= kVerdictRetryBound) {
        verdicts.push_back(Down(*open));
        open.reset();
      }
      continue;
    }
    // A check that is not a retry: the failure before it stands.
    if (open) {
      verdicts.push_back(Down(*open));
      open.reset();
    }
    if (row.passed) {
      // A retry without a failure before it (that row expired) counts as retried.
      verdicts.push_back(Up(row.timeMs, row, retry));
      continue;
    }
    OpenVerdict started{row.timeMs, row.timeMs, 1, row.detail};
    if (NeverRetried(row.kind)) {
      verdicts.push_back(Down(started));
    } else {
      open = std::move(started);
    }
  }
  if (open && SaturatingSub(nowMs, open->lastMs) >= kRetryWaitMs) verdicts.push_back(Down(*open));
  return verdicts;
}

UptimeCount CountVerdicts(std::span<const Verdict> verdicts, std::int64_t fromMs,
                          std::int64_t toMs) {
  UptimeCount count;
  for (const Verdict& v : verdicts) {
    if (v.startMs < fromMs || v.startMs >= toMs) continue;
    ++count.all;
    if (v.up) ++count.up;
  }
  return count;
}

std::u16string FormatUptime(UptimeCount count) {
  if (count.all <= 0) return u"\u2014";
  const std::int64_t up = std::clamp<std::int64_t>(count.up, 0, count.all);
  // Hundredths of a percent, truncated; counts stay far below where this overflows.
  const std::int64_t hundredths = up * 10000 / count.all;
  char text[32];
  std::snprintf(text, sizeof text, "%lld.%02lld %%", static_cast<long long>(hundredths / 100),
                static_cast<long long>(hundredths % 100));
  return Ascii(text);
}

std::optional<double> UptimeRatio(UptimeCount count) {
  if (count.all <= 0) return std::nullopt;
  return static_cast<double>(count.up) / static_cast<double>(count.all);
}

std::vector<Outage> Outages(std::span<const Verdict> verdicts) {
  std::vector<Outage> outages;
  for (const Verdict& v : verdicts) {
    const bool ongoing = !outages.empty() && !outages.back().endMs;
    if (!v.up && !ongoing) outages.push_back(Outage{v.startMs, std::nullopt, v.reason});
    if (v.up && ongoing) outages.back().endMs = v.decidedMs;
  }
  return outages;
}

std::int64_t DownMsWithin(std::span<const Outage> outages, std::int64_t fromMs, std::int64_t toMs,
                          std::int64_t nowMs) {
  std::int64_t down = 0;
  for (const Outage& o : outages) {
    const std::int64_t start = std::max(o.startMs, fromMs);
    const std::int64_t end = std::min(o.endMs.value_or(std::max(nowMs, o.startMs)), toMs);
    if (end > start) down = SaturatingAdd(down, SaturatingSub(end, start));
  }
  return down;
}

std::int64_t StripStartMs(std::int64_t nowMs) {
  return (FloorDiv(nowMs, kStripCellMs) - (kStripCells - 1)) * kStripCellMs;
}

std::array<StripCell, kStripCells> StripCells(std::span<const Verdict> verdicts,
                                              std::int64_t nowMs) {
  std::array<StripCell, kStripCells> cells{};
  const std::int64_t start = StripStartMs(nowMs);
  for (const Verdict& v : verdicts) {
    if (v.startMs < start) continue;
    const std::int64_t index = (v.startMs - start) / kStripCellMs;
    if (index >= kStripCells) continue;
    StripCell& cell = cells[static_cast<std::size_t>(index)];
    if (!v.up) {
      ++cell.down;
    } else if (v.afterRetry) {
      ++cell.upAfterRetry;
    } else {
      ++cell.up;
    }
  }
  return cells;
}

std::optional<double> Median(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1) return upper;
  const double lower =
      *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) / 2;
}

std::vector<ResponseBucket> ResponseBuckets(std::span<const HistoryRow> rows, std::int64_t fromMs,
                                            std::int64_t toMs, int buckets) {
  std::vector<ResponseBucket> out;
  if (buckets <= 0 || toMs <= fromMs) return out;
  const std::int64_t span = toMs - fromMs;
  std::vector<std::vector<double>> values(static_cast<std::size_t>(buckets));
  for (const HistoryRow& row : rows) {
    if (!row.passed || !row.totalMs || row.timeMs < fromMs || row.timeMs >= toMs) continue;
    // In floating point, so that offset * buckets cannot overflow.
    const auto index = static_cast<std::size_t>(static_cast<double>(row.timeMs - fromMs) /
                                                static_cast<double>(span) * buckets);
    values[std::min<std::size_t>(index, values.size() - 1)].push_back(*row.totalMs);
  }
  out.reserve(values.size());
  for (int i = 0; i < buckets; ++i) {
    ResponseBucket bucket;
    bucket.startMs = fromMs + static_cast<std::int64_t>(static_cast<double>(span) * i / buckets);
    bucket.endMs =
        i + 1 == buckets
            ? toMs
            : fromMs + static_cast<std::int64_t>(static_cast<double>(span) * (i + 1) / buckets);
    auto& v = values[static_cast<std::size_t>(i)];
    if (!v.empty()) {
      const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
      bucket.min = *lo;
      bucket.max = *hi;
      bucket.median = Median(std::move(v));
    }
    out.push_back(bucket);
  }
  return out;
}

DailySummary SummarizeDay(std::uint32_t entryId, const std::u16string& day,
                          std::span<const Verdict> verdicts, std::int64_t dayStartMs,
                          std::int64_t dayEndMs, std::int64_t nowMs) {
  DailySummary s;
  s.entryId = entryId;
  s.day = day;
  for (const Verdict& v : verdicts) {
    if (v.startMs < dayStartMs || v.startMs >= dayEndMs) continue;
    ++s.checks;
    if (!v.up) continue;
    ++s.passed;
    if (!v.totalMs) continue;
    const double t = *v.totalMs;
    s.totalMsMin = s.totalMsMin ? std::min(*s.totalMsMin, t) : t;
    s.totalMsMax = s.totalMsMax ? std::max(*s.totalMsMax, t) : t;
    s.totalMsSum = s.totalMsSum.value_or(0) + t;
  }
  const std::vector<Outage> outages = Outages(verdicts);
  s.downMs = DownMsWithin(outages, dayStartMs, dayEndMs, nowMs);
  return s;
}

std::u16string FormatDuration(std::int64_t ms) {
  const std::int64_t seconds = std::max<std::int64_t>(ms, 0) / 1000;
  char text[64];
  const auto ll = [](std::int64_t v) { return static_cast<long long>(v); };
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%lld s", ll(seconds));
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%lld min", ll(seconds / 60));
  } else if (seconds < 86400) {
    std::snprintf(text, sizeof text, "%lld h %02lld min", ll(seconds / 3600),
                  ll(seconds % 3600 / 60));
  } else {
    std::snprintf(text, sizeof text, "%lld d %lld h", ll(seconds / 86400),
                  ll(seconds % 86400 / 3600));
  }
  return Ascii(text);
}

}  // namespace halvern
