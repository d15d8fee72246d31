// What the history means: verdicts, uptime, outages, strip cells, response
// buckets and day summaries, each pinned down by tables of rows.

#include "history_stats.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include "check_history.h"

namespace halvern {
namespace {

constexpr std::int64_t kMin = 60 * 1000;
constexpr std::int64_t kHour = 60 * kMin;
constexpr std::int64_t kT0 = 1700000000000;  // a round time to start from

// A row: minutes after kT0, kind, passed, detail.
struct R {
  std::int64_t minute;
  CheckKind kind;
  bool passed;
  const char* detail = "";
  std::optional<double> totalMs = std::nullopt;
};

std::vector<HistoryRow> Rows(const std::vector<R>& rs) {
  std::vector<HistoryRow> rows;
  for (const R& r : rs) {
    HistoryRow row;
    row.timeMs = kT0 + r.minute * kMin;
    row.kind = r.kind;
    row.passed = r.passed;
    row.detail = std::u16string(r.detail, r.detail + std::char_traits<char>::length(r.detail));
    row.totalMs = r.totalMs;
    rows.push_back(row);
  }
  return rows;
}

// A verdict as the tables write it: start and decision in minutes, up,
// after a retry, reason.
struct V {
  std::int64_t start;
  std::int64_t decided;
  bool up;
  bool afterRetry;
  std::string reason;
  bool operator==(const V&) const = default;
};

std::vector<V> Simplify(const std::vector<Verdict>& verdicts) {
  std::vector<V> out;
  for (const Verdict& v : verdicts) {
    out.push_back(V{(v.startMs - kT0) / kMin, (v.decidedMs - kT0) / kMin, v.up, v.afterRetry,
                    std::string(v.reason.begin(), v.reason.end())});
  }
  return out;
}

void PrintTo(const V& v, std::ostream* os) {
  *os << "{" << v.start << ".." << v.decided << (v.up ? " up" : " down")
      << (v.afterRetry ? " retried" : "") << " '" << v.reason << "'}";
}

constexpr auto S = CheckKind::Scheduled;
constexpr auto Re = CheckKind::Retry;
constexpr auto M = CheckKind::ManualRun;
constexpr auto One = CheckKind::SingleCheck;
constexpr auto W = CheckKind::WatchFailed;

TEST(Verdicts, ChecksAndTheirRetriesCountOnce) {
  struct Case {
    const char* name;
    std::vector<R> rows;
    std::int64_t nowMinute;
    std::vector<V> want;
  };
  const std::vector<Case> cases = {
      {"passes at once",
       {{0, S, true}, {5, S, true}},
       10,
       {{0, 0, true, false, ""}, {5, 5, true, false, ""}}},
      {"a pass on the retry is one retried up verdict",
       {{0, S, false, "Failed. A"}, {1, Re, true}},
       10,
       {{0, 1, true, true, ""}}},
      {"three failures in a row make one down verdict with the first reason",
       {{0, S, false, "Failed. A"}, {1, Re, false, "Failed. B"}, {2, Re, false, "Failed. C"}},
       3,
       {{0, 2, false, false, "Failed. A"}}},
      {"a failure still waiting for its retry counts neither way",
       {{0, S, true}, {5, S, false, "Failed. A"}},
       6,
       {{0, 0, true, false, ""}}},
      {"a failure whose retry never came is final after the wait",
       {{5, S, false, "Failed. A"}},
       5 + kRetryWaitMs / kMin,
       {{5, 5, false, false, "Failed. A"}}},
      {"the next scheduled check closes a failure that was not retried (a restart)",
       {{0, S, false, "Failed. A"}, {60, S, true}},
       61,
       {{0, 0, false, false, "Failed. A"}, {60, 60, true, false, ""}}},
      {"manual checks are never retried: their failure is final at once",
       {{0, M, false, "Failed. A"}, {1, One, false, "Failed. B"}},
       1,
       {{0, 0, false, false, "Failed. A"}, {1, 1, false, false, "Failed. B"}}},
      {"a retry after a pass (its failure expired) starts a retried verdict",
       {{0, Re, true}},
       1,
       {{0, 0, true, true, ""}}},
      {"a watched failed entry may be retried like a scheduled one",
       {{0, W, false, "Failed. A"}, {1, Re, true}},
       2,
       {{0, 1, true, true, ""}}},
      {"a retry after the bound is a verdict of its own",
       {{0, S, false, "a"}, {1, Re, false, "b"}, {2, Re, false, "c"}, {3, Re, false, "d"}},
       10,
       {{0, 2, false, false, "a"}, {3, 3, false, false, "d"}}},
  };
  for (const Case& c : cases) {
    const auto rows = Rows(c.rows);
    EXPECT_EQ(Simplify(Verdicts(rows, kT0 + c.nowMinute * kMin)), c.want) << c.name;
  }
}

TEST(Uptime, TwoDecimalsTruncatedAndADashForNone) {
  struct Case {
    std::int64_t up, all;
    std::u16string want;
  };
  const std::vector<Case> cases = {
      {0, 0, u"\u2014"},        {1, 1, u"100.00 %"},         {0, 3, u"0.00 %"},
      {1999, 2000, u"99.95 %"}, {99999, 100000, u"99.99 %"},  // never rounded up to 100
      {2, 3, u"66.66 %"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatUptime({c.up, c.all}), c.want) << c.up << "/" << c.all;
  }
  EXPECT_FALSE(UptimeRatio({0, 0}));
  EXPECT_DOUBLE_EQ(*UptimeRatio({1, 4}), 0.25);
}

TEST(Uptime, CountsVerdictsByTheirFirstCheckInTheWindow) {
  const auto rows = Rows({{0, S, true},
                          {10, S, false, "x"},
                          {11, Re, false},
                          {12, Re, false},
                          {20, S, true},
                          {30, M, false, "y"}});
  const auto verdicts = Verdicts(rows, kT0 + 40 * kMin);
  const UptimeCount all = CountVerdicts(verdicts, kT0, kT0 + 40 * kMin);
  EXPECT_EQ(all.up, 2);
  EXPECT_EQ(all.all, 4);
  // The window starting at minute 11 leaves out the down verdict that began at 10.
  const UptimeCount later = CountVerdicts(verdicts, kT0 + 11 * kMin, kT0 + 40 * kMin);
  EXPECT_EQ(later.up, 1);
  EXPECT_EQ(later.all, 2);
}

TEST(Outages, RunFromTheFirstDownVerdictToTheFirstPassAfterIt) {
  struct O {
    std::int64_t start;
    std::optional<std::int64_t> end;
    std::u16string reason;
  };
  struct Case {
    const char* name;
    std::vector<R> rows;
    std::vector<O> want;
  };
  const std::vector<Case> cases = {
      {"none while every verdict is up", {{0, S, true}, {1, S, true}}, {}},
      {"two down verdicts are one outage, ended by the retried pass",
       {{0, S, true},
        {10, M, false, "first"},
        {20, M, false, "second"},
        {30, S, false, "x"},
        {31, Re, true}},
       {{10, 31, u"first"}}},
      {"an outage still going on has no end",
       {{0, M, false, "down"}, {5, M, false, "still"}},
       {{0, std::nullopt, u"down"}}},
      {"two outages",
       {{0, M, false, "a"}, {1, S, true}, {2, M, false, "b"}, {3, S, true}},
       {{0, 1, u"a"}, {2, 3, u"b"}}},
  };
  for (const Case& c : cases) {
    const auto rows = Rows(c.rows);
    const auto outages = Outages(Verdicts(rows, kT0 + 1000 * kMin));
    ASSERT_EQ(outages.size(), c.want.size()) << c.name;
    for (std::size_t i = 0; i < outages.size(); ++i) {
      EXPECT_EQ(outages[i].startMs, kT0 + c.want[i].start * kMin) << c.name;
      EXPECT_EQ(outages[i].endMs.has_value(), c.want[i].end.has_value()) << c.name;
      if (c.want[i].end) {
        EXPECT_EQ(*outages[i].endMs, kT0 + *c.want[i].end * kMin) << c.name;
      }
      EXPECT_EQ(outages[i].reason, c.want[i].reason) << c.name;
    }
  }
}

TEST(Outages, DownTimeIsClippedToTheWindowAndOngoingOnesLastUntilNow) {
  const std::vector<Outage> outages = {{kT0, kT0 + 10 * kMin, u"a"},
                                       {kT0 + 20 * kMin, std::nullopt, u"b"}};
  struct Case {
    std::int64_t from, to, now;  // minutes
    std::int64_t wantMinutes;
  };
  const std::vector<Case> cases = {
      {-10, 100, 30, 10 + 10},  // the ongoing one until now
      {5, 25, 30, 5 + 5},       // both clipped
      {10, 20, 30, 0},          // between them
      {0, 100, 15, 10},         // the second has not begun at now
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DownMsWithin(outages, kT0 + c.from * kMin, kT0 + c.to * kMin, kT0 + c.now * kMin),
              c.wantMinutes * kMin)
        << c.from << ".." << c.to << " now " << c.now;
  }
}

TEST(Strip, HalfHourCellsOfTheLastDay) {
  // kT0 is 22:13:20 UTC; the last cell is 22:00 to 22:30.
  const std::int64_t now = kT0;
  const std::int64_t lastCell = now - now % kStripCellMs;
  EXPECT_EQ(StripStartMs(now), lastCell - 47 * kStripCellMs);

  std::vector<Verdict> verdicts;
  const auto add = [&](std::int64_t at, bool up, bool retried) {
    Verdict v;
    v.startMs = at;
    v.decidedMs = at;
    v.up = up;
    v.afterRetry = retried;
    verdicts.push_back(v);
  };
  add(lastCell - 48 * kStripCellMs, false, false);  // older than the strip
  add(lastCell - 47 * kStripCellMs, true, false);   // the first cell
  add(lastCell - 47 * kStripCellMs + 1, false, false);
  add(lastCell - 10 * kStripCellMs, true, true);  // amber
  add(lastCell, true, false);
  add(lastCell + 5 * kMin, true, false);
  add(lastCell + kStripCellMs, false, false);  // after now's cell
  const auto cells = StripCells(verdicts, now);
  EXPECT_EQ(cells[0].up, 1);
  EXPECT_EQ(cells[0].down, 1);
  EXPECT_DOUBLE_EQ(cells[0].downShare(), 0.5);
  EXPECT_EQ(cells[37].upAfterRetry, 1);
  EXPECT_EQ(cells[47].up, 2);
  EXPECT_EQ(cells[47].down, 0);
  int checked = 0;
  for (const StripCell& cell : cells) checked += cell.checked() ? 1 : 0;
  EXPECT_EQ(checked, 3);  // every other cell is grey
}

TEST(Median, OddEvenAndEmpty) {
  EXPECT_FALSE(Median({}));
  EXPECT_DOUBLE_EQ(*Median({5}), 5);
  EXPECT_DOUBLE_EQ(*Median({9, 1, 5}), 5);
  EXPECT_DOUBLE_EQ(*Median({4, 1, 3, 2}), 2.5);
}

TEST(ResponseBuckets, MedianAndRangeOfPassingChecksPerBucket) {
  const auto rows = Rows({{0, S, true, "", 100.0},
                          {1, S, true, "", 300.0},
                          {2, S, true, "", 200.0},
                          {3, S, false, "down", 9000.0},  // failures do not count
                          {10, S, true, "", 50.0},
                          {25, S, true}});  // no time: not counted
  const auto buckets = ResponseBuckets(rows, kT0, kT0 + 30 * kMin, 3);
  ASSERT_EQ(buckets.size(), 3u);
  EXPECT_EQ(buckets[0].startMs, kT0);
  EXPECT_DOUBLE_EQ(*buckets[0].median, 200);
  EXPECT_DOUBLE_EQ(*buckets[0].min, 100);
  EXPECT_DOUBLE_EQ(*buckets[0].max, 300);
  EXPECT_DOUBLE_EQ(*buckets[1].median, 50);
  EXPECT_FALSE(buckets[2].median);
}

// Day summaries in a fixed zone, so that local midnight is known.
class SummaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = ::getenv("TZ");
    oldTz_ = tz ? std::optional<std::string>(tz) : std::nullopt;
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
  }
  void TearDown() override {
    if (oldTz_) {
      ::setenv("TZ", oldTz_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  std::optional<std::string> oldTz_;
};

TEST_F(SummaryTest, LocalDaysIncludingAChangeOfTheClocks) {
  const auto start = LocalDayStartFromText(u"2024-03-31");  // 23 hours long in Berlin
  ASSERT_TRUE(start);
  EXPECT_EQ(LocalDay(*start), u"2024-03-31");
  EXPECT_EQ(NextLocalDayStartMs(*start) - *start, 23 * kHour);
  EXPECT_EQ(LocalDayStartMs(*start + 20 * kHour), *start);
  EXPECT_EQ(LocalDay(NextLocalDayStartMs(*start)), u"2024-04-01");
  for (const char16_t* bad : {u"", u"2024-3-31", u"2024-13-01", u"abcd-ef-gh", u"2024-03-31x"}) {
    EXPECT_FALSE(LocalDayStartFromText(bad)) << std::string(bad, bad + 3);
  }
}

TEST_F(SummaryTest, AnOutageAcrossMidnightAndARestartSplitsItsDownTime) {
  const std::int64_t day1 = *LocalDayStartFromText(u"2024-05-10");
  const std::int64_t day2 = NextLocalDayStartMs(day1);
  const std::int64_t day3 = NextLocalDayStartMs(day2);
  std::vector<HistoryRow> rows;
  const auto add = [&](std::int64_t at, CheckKind kind, bool passed, std::optional<double> t) {
    HistoryRow row;
    row.timeMs = at;
    row.kind = kind;
    row.passed = passed;
    row.totalMs = t;
    row.detail = passed ? u"OK" : u"Failed. Cannot connect to the server.";
    rows.push_back(row);
  };
  add(day1 + 20 * kHour, S, true, 100);
  add(day1 + 22 * kHour, S, true, 300);
  // Down from 23:00; the program is restarted with the retry pending, and the
  // next check after the restart fails again.
  add(day1 + 23 * kHour, S, false, std::nullopt);
  add(day2 + 1 * kHour, S, false, std::nullopt);
  add(day2 + 1 * kHour + 5000, Re, false, std::nullopt);
  add(day2 + 1 * kHour + 10000, Re, false, std::nullopt);
  add(day2 + 2 * kHour, M, true, 200);  // up again at 02:00

  const auto verdicts = Verdicts(rows, day3);
  const DailySummary d1 = SummarizeDay(7, u"2024-05-10", verdicts, day1, day2, day3);
  EXPECT_EQ(d1.entryId, 7u);
  EXPECT_EQ(d1.checks, 3);
  EXPECT_EQ(d1.passed, 2);
  EXPECT_EQ(d1.downMs, 1 * kHour);
  EXPECT_DOUBLE_EQ(*d1.totalMsMin, 100);
  EXPECT_DOUBLE_EQ(*d1.totalMsSum, 400);
  EXPECT_DOUBLE_EQ(*d1.totalMsMax, 300);
  const DailySummary d2 = SummarizeDay(7, u"2024-05-11", verdicts, day2, day3, day3);
  EXPECT_EQ(d2.checks, 2);
  EXPECT_EQ(d2.passed, 1);
  EXPECT_EQ(d2.downMs, 2 * kHour);
  EXPECT_DOUBLE_EQ(*d2.totalMsSum, 200);
}

TEST(Durations, ReadableUnits) {
  EXPECT_EQ(FormatDuration(0), u"0 s");
  EXPECT_EQ(FormatDuration(59999), u"59 s");
  EXPECT_EQ(FormatDuration(12 * kMin), u"12 min");
  EXPECT_EQ(FormatDuration(2 * kHour + 5 * kMin), u"2 h 05 min");
  EXPECT_EQ(FormatDuration(50 * kHour), u"2 d 2 h");
  EXPECT_EQ(FormatDuration(-5), u"0 s");
}

}  // namespace
}  // namespace halvern
