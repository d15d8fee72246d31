// The history tables in a real store: what is written and read back, the
// retention that follows the check log's, the daily expiry with its summaries.

#include "check_history.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check_log.h"
#include "clock.h"
#include "history_overview.h"
#include "settings.h"
#include "temp_store.h"
#include "url_entry.h"

namespace halvern {
namespace {

constexpr std::int64_t kMin = 60 * 1000;
constexpr std::int64_t kHour = 60 * kMin;
constexpr std::int64_t kDay = 24 * kHour;

HistoryRow Row(std::uint32_t entry, std::int64_t timeMs, bool passed,
               CheckKind kind = CheckKind::Scheduled) {
  HistoryRow row;
  row.entryId = entry;
  row.title = u"Site " + std::u16string(1, char16_t(u'0' + entry % 10));
  row.url = u"https://example.invalid/";
  row.timeMs = timeMs;
  row.kind = kind;
  row.passed = passed;
  row.httpStatus = passed ? 200 : 0;
  row.detail = passed ? u"OK" : u"Failed. Cannot connect to the server.";
  if (passed) {
    row.dnsMs = 1.25;
    row.connectMs = 2.5;
    row.firstByteMs = 10.0;
    row.totalMs = 12.75;
    row.bytes = 5;
  }
  return row;
}

// Local days in a fixed zone.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    const char* tz = ::getenv("TZ");
    if (tz) old_ = tz;
    had_ = tz != nullptr;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ZoneGuard() {
    if (had_) {
      ::setenv("TZ", old_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::string old_;
  bool had_ = false;
};

TEST(HistoryRetention, KeepsExactlyWhatTheLogKeeps) {
  const std::int64_t now = 1700000000;
  const std::vector<std::int64_t> offsetsMs = {0,
                                               -1,
                                               -999,
                                               -1000,
                                               -1001,
                                               1,
                                               999,
                                               1000,
                                               1 * kDay,
                                               -1 * kDay,
                                               -2 * kDay,
                                               -2 * kDay + 1000,
                                               -2 * kDay + 999,
                                               -2 * kDay - 1,
                                               2 * kDay,
                                               2 * kDay - 1,
                                               -8 * kDay,
                                               -31 * kDay,
                                               -32 * kDay,
                                               31 * kDay,
                                               40 * kDay};
  for (std::int32_t keep = -1; keep <= 9; ++keep) {
    const auto kept = HistoryRetention(keep, now);
    for (const std::int64_t offset : offsetsMs) {
      const std::int64_t timeMs = now * 1000 + offset;
      // The log names its records by whole seconds.
      const std::int64_t seconds = timeMs >= 0 ? timeMs / 1000 : (timeMs - 999) / 1000;
      const bool logKeeps = !IsLogRecordExpired(keep, seconds, now);
      const bool historyKeeps =
          !kept || (timeMs >= kept->keepFromMs && timeMs < kept->keepBeforeMs);
      EXPECT_EQ(historyKeeps, logKeeps) << "keep " << keep << " offset " << offset;
    }
  }
}

TEST(HistoryStore, RowsComeBackWholeByEntryAndRange) {
  test::TempStore temp;
  HistoryStore& history = *temp.store().History();
  const std::uint64_t version = history.HistoryVersion();
  HistoryRow full = Row(7, 1000, true, CheckKind::ManualRun);
  full.tlsMs = 4.0;
  full.detail = std::u16string(300, u'x');  // whole, not cut like a log text
  full.certNotAfter = 1900000000;
  ASSERT_TRUE(history.AppendCheck(full));
  ASSERT_TRUE(history.AppendCheck(Row(7, 3000, false)));
  ASSERT_TRUE(history.AppendCheck(Row(7, 2000, true, CheckKind::Retry)));
  ASSERT_TRUE(history.AppendCheck(Row(3, 5000, false)));
  EXPECT_EQ(history.HistoryVersion(), version + 4);

  EXPECT_EQ(history.HistoryEntryIds(), (std::vector<std::uint32_t>{3, 7}));
  EXPECT_EQ(history.OldestCheckMs(), 1000);

  const auto all = history.ReadChecks({7});
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].timeMs, 1000);  // by time, not by writing
  EXPECT_EQ(all[1].timeMs, 2000);
  EXPECT_EQ(all[2].timeMs, 3000);
  const HistoryRow& r = all[0];
  EXPECT_EQ(r.entryId, 7u);
  EXPECT_EQ(r.title, full.title);
  EXPECT_EQ(r.url, full.url);
  EXPECT_EQ(r.kind, CheckKind::ManualRun);
  EXPECT_TRUE(r.passed);
  EXPECT_EQ(r.httpStatus, 200u);
  EXPECT_EQ(r.detail, full.detail);
  EXPECT_EQ(r.dnsMs, 1.25);
  EXPECT_EQ(r.connectMs, 2.5);
  EXPECT_EQ(r.tlsMs, 4.0);
  EXPECT_EQ(r.firstByteMs, 10.0);
  EXPECT_EQ(r.totalMs, 12.75);
  EXPECT_EQ(r.bytes, 5);
  EXPECT_EQ(r.certNotAfter, 1900000000);
  EXPECT_EQ(all[1].kind, CheckKind::Retry);
  // Phases that did not happen are NULL, as any SQLite client sees them.
  test::OtherProgram sql(temp.file());
  EXPECT_EQ(sql.Rows("SELECT typeof(dns_ms) || typeof(tls_ms) || typeof(bytes) ||"
                     " typeof(cert_not_after) FROM check_history WHERE time_ms = 3000"),
            std::vector<std::string>{"nullnullnullnull"});

  HistoryRange range{7, 1500, 3000};
  auto part = history.ReadChecks(range);
  ASSERT_EQ(part.size(), 1u);
  EXPECT_EQ(part[0].timeMs, 2000);
  range = HistoryRange{7};
  range.limit = 2;
  range.fromEnd = true;
  range.wantText = false;
  part = history.ReadChecks(range);
  ASSERT_EQ(part.size(), 2u);
  EXPECT_EQ(part[0].timeMs, 2000);
  EXPECT_EQ(part[1].timeMs, 3000);
  EXPECT_TRUE(part[1].detail.empty());
  range.fromEnd = false;
  part = history.ReadChecks(range);
  ASSERT_EQ(part.size(), 2u);
  EXPECT_EQ(part[0].timeMs, 1000);

  const auto failed = history.LastFailedCheck(7);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->timeMs, 3000);
  EXPECT_EQ(failed->detail, u"Failed. Cannot connect to the server.");
  EXPECT_FALSE(history.LastFailedCheck(99));
}

TEST(HistoryStore, DeletesOutsideARangeAndClears) {
  test::TempStore temp;
  HistoryStore& history = *temp.store().History();
  for (std::uint32_t entry : {1u, 2u}) {
    for (std::int64_t t : {-5000, 100, 200, 300, 400}) {
      ASSERT_TRUE(history.AppendCheck(Row(entry, t, true)));
    }
  }
  EXPECT_EQ(history.DeleteChecksOutside(100, 400), 4u);
  EXPECT_EQ(history.ReadChecks({1}).size(), 3u);
  EXPECT_EQ(history.ReadChecks({2}).size(), 3u);
  const std::uint64_t version = history.HistoryVersion();
  EXPECT_TRUE(history.ClearChecks());
  EXPECT_GT(history.HistoryVersion(), version);
  EXPECT_TRUE(history.HistoryEntryIds().empty());
  EXPECT_FALSE(history.OldestCheckMs());
}

TEST(HistoryStore, SummariesReplaceTheirDayAndGoByAge) {
  test::TempStore temp;
  HistoryStore& history = *temp.store().History();
  EXPECT_FALSE(history.LatestSummaryDay());
  DailySummary a{1, u"2024-05-01", 10, 9, 5000, 1.0, 90.0, 20.0};
  DailySummary b{1, u"2024-05-02", 5, 5, 0, std::nullopt, std::nullopt, std::nullopt};
  DailySummary c{2, u"2024-05-01", 1, 0, 60000, std::nullopt, std::nullopt, std::nullopt};
  ASSERT_TRUE(history.WriteSummaries({a, b, c}));
  a.checks = 11;
  ASSERT_TRUE(history.WriteSummaries({a}));
  EXPECT_EQ(history.LatestSummaryDay(), u"2024-05-02");
  auto read = history.ReadSummaries(u"2024-05-01", u"2024-05-01");
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].entryId, 1u);
  EXPECT_EQ(read[0].checks, 11);
  EXPECT_EQ(read[0].downMs, 5000);
  EXPECT_EQ(read[0].totalMsSum, 90.0);
  EXPECT_FALSE(read[1].totalMsMin);
  EXPECT_EQ(history.DeleteSummariesBefore(u"2024-05-02"), 2u);
  read = history.ReadSummaries(u"0000-00-00", u"9999-99-99");
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].day, u"2024-05-02");
}

TEST(HistoryRecord, OnlyLoggedOutcomesWriteARow) {
  test::TempStore temp;
  RecordCheckHistory(temp.store(), false, Row(1, 10, true));
  EXPECT_TRUE(temp.store().History()->ReadChecks({1}).empty());
  RecordCheckHistory(temp.store(), true, Row(1, 10, true));
  EXPECT_EQ(temp.store().History()->ReadChecks({1}).size(), 1u);
}

// Three days of checks of two entries, then the expiry on the fourth day.
class HistoryExpiryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    day1_ = *LocalDayStartFromText(u"2024-05-10");
    day2_ = NextLocalDayStartMs(day1_);
    day3_ = NextLocalDayStartMs(day2_);
    day4_ = NextLocalDayStartMs(day3_);
    for (const std::int64_t day : {day1_, day2_, day3_}) {
      for (std::int64_t hour = 0; hour < 24; hour += 6) {
        EXPECT_TRUE(history().AppendCheck(Row(1, day + hour * kHour, true)));
        EXPECT_TRUE(history().AppendCheck(Row(2, day + hour * kHour + kMin, hour != 12)));
      }
    }
    // Entry 2's 12:00 failures are manual runs: each is a final down verdict.
    test::OtherProgram(temp_.file()).Exec("UPDATE check_history SET kind = 2 WHERE passed = 0");
  }
  HistoryStore& history() { return *temp_.store().History(); }

  ZoneGuard zone_{"Europe/Berlin"};
  test::TempStore temp_;
  std::int64_t day1_ = 0, day2_ = 0, day3_ = 0, day4_ = 0;
};

TEST_F(HistoryExpiryTest, SummarizesCompleteDaysThenDropsWhatTheLogDrops) {
  const std::int64_t now = day4_ + 10 * kHour;
  ExpireHistory(history(), 1, now);  // "Keep 1 day"

  const auto summaries = history().ReadSummaries(u"2024-05-10", u"2024-05-12");
  ASSERT_EQ(summaries.size(), 6u);  // two entries, three complete days
  for (const DailySummary& s : summaries) {
    EXPECT_EQ(s.checks, 4) << s.entryId;
    EXPECT_EQ(s.passed, s.entryId == 1 ? 4 : 3) << s.entryId;
    // Entry 2 is down from 12:01 until 18:01 every day.
    EXPECT_EQ(s.downMs, s.entryId == 1 ? 0 : 6 * kHour) << s.entryId;
    EXPECT_EQ(s.totalMsMin, 12.75);
  }
  // "Keep 1 day" keeps rows less than two whole days old.
  const auto kept = HistoryRetention(1, now / 1000);
  for (std::uint32_t entry : {1u, 2u}) {
    for (const HistoryRow& row : history().ReadChecks({entry})) {
      EXPECT_GE(row.timeMs, kept->keepFromMs);
    }
    EXPECT_FALSE(history().ReadChecks({entry}).empty());
  }
  EXPECT_TRUE(history().ReadChecks({1, day1_, day2_}).empty());

  // Nothing is summarized twice, and a summary outlives its rows.
  ExpireHistory(history(), 1, now + kHour);
  EXPECT_EQ(history().ReadSummaries(u"2024-05-10", u"2024-05-12").size(), 6u);
}

TEST_F(HistoryExpiryTest, DontKeepWritesNoSummaryAndDropsEveryRow) {
  ExpireHistory(history(), 0, day4_ + kHour);
  EXPECT_TRUE(history().HistoryEntryIds().empty());
  EXPECT_FALSE(history().LatestSummaryDay());
}

TEST_F(HistoryExpiryTest, SummariesGoAfterFourHundredDays) {
  ASSERT_TRUE(history().WriteSummaries(
      {{1, u"2023-01-01", 1, 1, 0, {}, {}, {}}, {1, u"2023-06-01", 1, 1, 0, {}, {}, {}}}));
  // 2024-05-13 minus 400 days is 2023-04-09.
  ExpireHistory(history(), 9, day4_ + kHour);
  const auto old = history().ReadSummaries(u"2023-01-01", u"2023-12-31");
  ASSERT_EQ(old.size(), 1u);
  EXPECT_EQ(old[0].day, u"2023-06-01");
  // An index outside 0..8 keeps every row, as the log keeps every record.
  EXPECT_EQ(history().ReadChecks({1}).size(), 12u);
}

TEST_F(HistoryExpiryTest, TheLogsDailyExpiryExpiresTheHistoryOnce) {
  ManualClock clock((day4_ + 10 * kHour) / 1000);
  ASSERT_TRUE(WriteSetting(temp_.store(), kKeepLogFiles, 0));
  ExpireLog(temp_.store(), clock);
  history().WaitForMaintenance();
  EXPECT_TRUE(history().HistoryEntryIds().empty());
  // The same day again: nothing runs, new rows stay.
  ASSERT_TRUE(history().AppendCheck(Row(1, day4_ + 11 * kHour, true)));
  ExpireLog(temp_.store(), clock);
  history().WaitForMaintenance();
  EXPECT_EQ(history().ReadChecks({1}).size(), 1u);
}

// The expiry runs on the store's own thread, one task after the other, and
// the store's end still runs what was handed over.
TEST(HistoryMaintenance, RunsOffTheCallersThreadInOrderAndBeforeTheStoreCloses) {
  std::vector<int> order;
  std::mutex mutex;
  std::thread::id ranOn;
  {
    test::TempStore temp;
    HistoryStore& history = *temp.store().History();
    for (int i = 0; i < 3; ++i) {
      history.RunMaintenance([&, i](HistoryStore&) {
        std::lock_guard lock(mutex);
        order.push_back(i);
        ranOn = std::this_thread::get_id();
      });
    }
    history.WaitForMaintenance();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_NE(ranOn, std::this_thread::get_id());
    history.RunMaintenance([&](HistoryStore&) {
      std::lock_guard lock(mutex);
      order.push_back(3);
    });
  }
  EXPECT_EQ(order.size(), 4u);
}

// The window's figures: rows for the last day, summaries for the days before.
TEST(HistoryOverview, OlderDaysComeFromTheirSummaries) {
  ZoneGuard zone("Europe/Berlin");
  test::TempStore temp;
  HistoryStore& history = *temp.store().History();
  const std::int64_t today = *LocalDayStartFromText(u"2024-05-20");
  const std::int64_t now = today + 12 * kHour;
  std::vector<DailySummary> summaries;
  std::int64_t day = today;
  for (int i = 0; i < 10; ++i) {
    day = LocalDayStartMs(day - 1);
    summaries.push_back({4, LocalDay(day), 100, 90, 0, {}, {}, {}});
  }
  ASSERT_TRUE(history.WriteSummaries(summaries));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(history.AppendCheck(Row(4, today + i * kHour, true)));
  // A row of yesterday, summarized already, is not counted twice.
  ASSERT_TRUE(history.AppendCheck(Row(4, today - kHour, false, CheckKind::ManualRun)));

  EXPECT_EQ(RowsTakeOverMs(history, now), today);
  const auto overview = LoadOverview(history, {{4, u"Four", u"http://four/"}}, now);
  ASSERT_EQ(overview.size(), 1u);
  const EntryOverview& o = overview[0];
  EXPECT_EQ(o.day.all, 11);  // the last 24 hours from the rows, yesterday's failure too
  EXPECT_EQ(o.day.up, 10);
  EXPECT_EQ(o.week.all, 7 * 100 + 10);
  EXPECT_EQ(o.week.up, 7 * 90 + 10);
  EXPECT_EQ(o.month.all, 10 * 100 + 10);
  EXPECT_EQ(o.month.up, 10 * 90 + 10);
  EXPECT_EQ(o.lastFailureMs, today - kHour);
  EXPECT_EQ(o.medianDayMs, 12.75);
}

// Thirty days of one entry: the days before today come from their summaries
// (one bucket a day) and only their failures with the check after each are
// read, yet the outages are those that every row gives.
TEST(HistoryOverview, ThirtyDaysTakeOlderDaysFromSummariesAndKeepEveryOutage) {
  ZoneGuard zone("Europe/Berlin");
  const std::int64_t today = *LocalDayStartFromText(u"2024-05-20");
  const std::int64_t now = today + 10 * kHour;
  const std::int64_t from = now - 30 * kDay;

  // A scheduled check every 2 hours from before the period on; each day's
  // passes alternate between two times.
  std::vector<HistoryRow> rows;
  for (std::int64_t t = from - 6 * kHour; t <= now; t += 2 * kHour) {
    HistoryRow row = Row(5, t, true);
    row.totalMs = 10.0 + double((t - from) / kDay % 5) + double((t / (2 * kHour)) % 2) * 2;
    rows.push_back(row);
  }
  const auto fail = [&](std::int64_t t) {
    for (HistoryRow& row : rows) {
      if (row.timeMs == t) row = Row(5, t, false);
    }
  };
  const std::int64_t grid = from - 6 * kHour;  // every row lies 2-hourly from here
  fail(from - 2 * kHour);                      // an outage that began before the period
  fail(from);
  fail(grid + 60 * 2 * kHour);  // passes on its retry: no outage
  rows.push_back(Row(5, grid + 60 * 2 * kHour + 5000, true, CheckKind::Retry));
  fail(grid + 120 * 2 * kHour);  // fails its retries up to the bound
  rows.push_back(Row(5, grid + 120 * 2 * kHour + 5000, false, CheckKind::Retry));
  rows.push_back(Row(5, grid + 120 * 2 * kHour + 10000, false, CheckKind::Retry));
  rows.push_back(Row(5, grid + 180 * 2 * kHour + kHour, false, CheckKind::ManualRun));
  for (std::int64_t t : {today - 4 * kHour, today - 2 * kHour, today, today + 2 * kHour}) {
    fail(t);  // an outage from yesterday into today
  }
  fail(today + 8 * kHour);  // going on: the failure at `now` awaits its retry
  fail(now);
  std::sort(rows.begin(), rows.end(),
            [](const HistoryRow& a, const HistoryRow& b) { return a.timeMs < b.timeMs; });

  // The same rows in two stores; only one has its days summarized.
  test::TempStore summarized, rowsOnly;
  for (test::TempStore* temp : {&summarized, &rowsOnly}) {
    for (const HistoryRow& row : rows) ASSERT_TRUE(temp->store().History()->AppendCheck(row));
  }
  HistoryStore& history = *summarized.store().History();
  ASSERT_TRUE(history.WriteSummaries(SummarizeDays(history, LocalDayStartMs(rows.front().timeMs),
                                                   LocalDayStartMs(today - 1), now)));
  ASSERT_EQ(RowsTakeOverMs(history, now), today);
  ASSERT_EQ(RowsTakeOverMs(*rowsOnly.store().History(), now), from);

  const EntryDetail d = LoadEntryDetail(history, 5, HistoryPeriod::kMonth, now);
  const EntryDetail all =
      LoadEntryDetail(*rowsOnly.store().History(), 5, HistoryPeriod::kMonth, now);
  ASSERT_EQ(d.outages.size(), 5u);
  ASSERT_EQ(d.outages.size(), all.outages.size());
  for (std::size_t i = 0; i < d.outages.size(); ++i) {
    EXPECT_EQ(d.outages[i].startMs, all.outages[i].startMs) << i;
    EXPECT_EQ(d.outages[i].endMs, all.outages[i].endMs) << i;
    EXPECT_EQ(d.outages[i].reason, u"Failed. Cannot connect to the server.") << i;
  }
  EXPECT_EQ(d.outages.front().startMs, from - 2 * kHour);
  EXPECT_EQ(d.outages[3].startMs, today - 4 * kHour);
  EXPECT_EQ(d.outages[3].endMs, today + 4 * kHour);
  EXPECT_FALSE(d.outages.back().endMs);
  ASSERT_TRUE(d.lastCheck);
  EXPECT_EQ(d.lastCheck->timeMs, rows.back().timeMs);

  // A bucket for each of the 30 days before today, then today's 8-hour ones;
  // together they cover the period without a gap.
  ASSERT_EQ(d.buckets.size(), 30u + 2u);
  EXPECT_EQ(d.buckets.front().startMs, from);
  EXPECT_EQ(d.buckets.back().endMs, now);
  for (std::size_t i = 1; i < d.buckets.size(); ++i) {
    EXPECT_EQ(d.buckets[i].startMs, d.buckets[i - 1].endMs) << i;
  }
  EXPECT_EQ(d.buckets[30].startMs, today);
  const std::int64_t fiveDaysAgo = LocalDayStartMs(today - 5 * kDay + kHour);
  const auto day = history.ReadEntrySummaries(5, LocalDay(fiveDaysAgo), LocalDay(fiveDaysAgo));
  ASSERT_EQ(day.size(), 1u);
  const ResponseBucket& b = d.buckets[25];
  EXPECT_EQ(b.startMs, fiveDaysAgo);
  EXPECT_EQ(b.min, day[0].totalMsMin);
  EXPECT_EQ(b.max, day[0].totalMsMax);
  ASSERT_TRUE(b.median);
  EXPECT_DOUBLE_EQ(*b.median, *day[0].totalMsSum / double(day[0].passed));
  EXPECT_LT(*b.min, *b.max);
  // Today's buckets still come from the rows.
  EXPECT_EQ(d.buckets[30].max, all.buckets.back().max);
}

}  // namespace
}  // namespace halvern
