#include "check_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <thread>
#include <vector>

#include "clock.h"
#include "fault_store.h"
#include "settings.h"
#include "temp_store.h"
#include "url_entry.h"

namespace halvern {
namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kNow = 1196086400;  // 2007-11-26 14:13:20 UTC

class CheckLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  UrlEntry Entry(std::u16string_view title) {
    UrlEntry e;
    InitUrlEntry(e);
    SetEntryTitle(e, title);
    return e;
  }
  std::vector<std::u16string> Names() {
    std::vector<std::u16string> names;
    auto cursor = t.store().OpenSection(kLogSection);
    for (std::size_t i = 0;; ++i) {
      auto v = cursor->Enumerate(i, false);
      if (!v) break;
      names.push_back(v->name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  void Seed(std::int64_t time) {
    const std::string s = std::to_string(time);
    t.store().WriteSettingBinary(kLogSection, std::u16string(s.begin(), s.end()), Bytes(256, 0));
  }

  test::TempStore t;
  ManualClock clock{kNow};
};

TEST_F(CheckLogTest, RecordHasFieldsAtTheirOffsetsAndIsNamedByItsTime) {
  const auto name = WriteLogRecord(t.store(), clock, Entry(u"Example site with a long title"), true,
                                   std::u16string(120, u'x'));
  ASSERT_TRUE(name);
  EXPECT_EQ(*name, u"1196086400");
  const auto bytes = t.store().ReadSettingBinary(kLogSection, *name);
  ASSERT_TRUE(bytes);
  ASSERT_EQ(bytes->size(), 256u);
  const LogRecord r = ReadLogRecordBytes(*bytes);
  EXPECT_EQ(r.time, kNow);
  EXPECT_EQ(FieldText(r.title, 25), u"Example site with a long");
  EXPECT_EQ(r.passed, 1);
  EXPECT_EQ(FieldText(r.text, kLogTextChars).size(), 95u);
  EXPECT_EQ((*bytes)[0], 0x80);  // 1196086400 = 0x474AD480, little-endian
  EXPECT_EQ((*bytes)[60], 1);
  EXPECT_EQ((*bytes)[64], 'x');
  EXPECT_EQ((*bytes)[58], 0);
}

TEST_F(CheckLogTest, OutcomesOfTheSameSecondAllKeepTheirRecord) {
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(WriteLogRecord(t.store(), clock, Entry(u"s"), i % 2, u"OK"));
  }
  const auto names = Names();
  ASSERT_EQ(names.size(), 5u);
  for (const auto& n : names) {
    EXPECT_EQ(n.substr(0, 10), u"1196086400");
    EXPECT_EQ(LogNameTime(n), kNow);
    if (n.size() > 10) {
      EXPECT_FALSE(n[10] >= u'0' && n[10] <= u'9');
    }
  }
  EXPECT_EQ(names[0], u"1196086400");
}

TEST_F(CheckLogTest, AClockSetBackStillFindsFreeNames) {
  // Two records at kNow, then records in twenty later seconds, then the clock
  // goes back to kNow: the writer must find the next free suffix, not loop.
  EXPECT_TRUE(WriteLogRecord(t.store(), clock, Entry(u"s"), true, u"OK"));
  EXPECT_TRUE(WriteLogRecord(t.store(), clock, Entry(u"s"), true, u"OK"));
  for (int i = 0; i < 20; ++i) {
    clock.Advance(1);
    EXPECT_TRUE(WriteLogRecord(t.store(), clock, Entry(u"s"), true, u"OK"));
  }
  clock.Set(kNow);
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(WriteLogRecord(t.store(), clock, Entry(u"s"), true, u"OK"));
  EXPECT_EQ(Names().size(), 25u);
}

TEST_F(CheckLogTest, ConcurrentWritersLoseNoRecord) {
  constexpr int kThreads = 8, kPerThread = 40;
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) {
        EXPECT_TRUE(WriteLogRecord(t.store(), clock, Entry(u"site"), false, u"Not Found"));
        if (i % 10 == 9) clock.Advance(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  const auto names = Names();
  EXPECT_EQ(names.size(), static_cast<std::size_t>(kThreads * kPerThread));
  EXPECT_EQ(std::set<std::u16string>(names.begin(), names.end()).size(), names.size());
}

TEST_F(CheckLogTest, KeepZeroWritesNothing) {
  EXPECT_TRUE(WriteSetting(t.store(), kKeepLogFiles, 0));
  EXPECT_FALSE(WriteLogRecord(t.store(), clock, Entry(u"s"), true, u"OK"));
  EXPECT_TRUE(Names().empty());
}

TEST(RetentionTest, Table) {
  struct Case {
    std::int32_t keep;
    std::int64_t age;  // now - record time, seconds
    bool expired;
  };
  const Case cases[] = {
      {0, 0, true},                  // "Don't keep" removes everything
      {0, -10 * kDay, true},         //   also records from the future
      {1, kDay + 23 * 3600, false},  // 1 day 23 hours stays with "Keep 1 day"
      {1, 2 * kDay, true},           // 2 whole days go
      {1, 2 * kDay - 1, false},      //   one second less stays
      {2, 3 * kDay, true},
      {3, 3 * kDay + 5, false},
      {3, 4 * kDay, true},
      {4, 5 * kDay, false},
      {4, 6 * kDay, true},
      {5, 7 * kDay + 86399, false},
      {5, 8 * kDay, true},
      {6, 11 * kDay, true},
      {7, 15 * kDay, false},
      {7, 16 * kDay, true},
      {8, 30 * kDay, false},
      {8, 31 * kDay, true},
      {5, -8 * kDay, true},      // the future is judged by its distance
      {5, -7 * kDay, false},     //
      {9, 1000 * kDay, false},   // out-of-range indexes keep everything
      {-1, 1000 * kDay, false},  //
      {1, kNow, true},           // a name without digits reads as 1970
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsLogRecordExpired(c.keep, kNow - c.age, kNow), c.expired)
        << "keep " << c.keep << " age " << c.age;
  }
}

TEST(LogNameTimeTest, ReadsLeadingDigits) {
  EXPECT_EQ(LogNameTime(u"1196086400"), 1196086400);
  EXPECT_EQ(LogNameTime(u"1196086400-3"), 1196086400);
  EXPECT_EQ(LogNameTime(u"-5"), -5);
  EXPECT_EQ(LogNameTime(u"abc"), 0);
  EXPECT_EQ(LogNameTime(u""), 0);
}

TEST(LogNameTimeTest, NamesBeyondTheRangeHoldAtItsLimits) {
  struct Case {
    const char16_t* name;
    std::int64_t time;
  } cases[] = {
      {u"9223372036854775807", INT64_MAX},
      {u"9223372036854775808", INT64_MAX},
      {u"99999999999999999999999", INT64_MAX},
      {u"-9223372036854775807", -INT64_MAX},
      {u"-9223372036854775808", INT64_MIN},
      {u"-9223372036854775809", INT64_MIN},
      {u"-99999999999999999999999x", INT64_MIN},
      {u"-", 0},
      {u"--5", 0},
      {u"12x34", 12},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LogNameTime(c.name), c.time) << std::u16string_view(c.name).size();
  }
}

TEST_F(CheckLogTest, ExpiryRemovesByRetentionOncePerDay) {
  Seed(kNow - 1 * kDay);
  Seed(kNow - 9 * kDay);
  t.store().WriteSettingBinary(kLogSection, u"not a number", Bytes(256, 0));
  ExpireLog(t.store(), clock);  // default "Keep 7 days"
  EXPECT_EQ(Names(), (std::vector<std::u16string>{u"1196000000"}));
  EXPECT_EQ(ReadSetting(t.store(), kRemoveExpairedLogItems), u"11/26/07");

  // Same local day: nothing happens, even with a stricter retention.
  EXPECT_TRUE(WriteSetting(t.store(), kKeepLogFiles, 0));
  clock.Advance(3600);
  ExpireLog(t.store(), clock);
  EXPECT_EQ(Names().size(), 1u);

  // Next day: runs again.
  clock.Advance(kDay);
  ExpireLog(t.store(), clock);
  EXPECT_TRUE(Names().empty());
}

// A delete the store refuses leaves the day undone: the next run of the same
// day expires the records after all.
TEST_F(CheckLogTest, ExpiryThatTheStoreRefusedIsTriedAgainTheSameDay) {
  test::FaultStore fault(t.store());
  Seed(kNow - 9 * kDay);
  fault.FailNthWrite(1);  // the delete
  ExpireLog(fault, clock);
  EXPECT_EQ(Names().size(), 1u);
  EXPECT_EQ(ReadSetting(t.store(), kRemoveExpairedLogItems), u"");

  clock.Advance(3600);
  ExpireLog(fault, clock);
  EXPECT_TRUE(Names().empty());
  EXPECT_EQ(ReadSetting(t.store(), kRemoveExpairedLogItems), u"11/26/07");
}

TEST_F(CheckLogTest, ExpiryJudgesNamesAtTheLimitsAsLongAgo) {
  // Names that no writer made but that the section may hold; none of them is a
  // record of the last week.
  const std::u16string ancient[] = {
      u"-9223372036854775807",
      u"-9223372036854775808",
      u"9223372036854775807",
      u"-99999999999999999999",
      u"99999999999999999999",
      u"-",
      u"junk",
      // 2^32 + 3 days old, which as a wrapped 32-bit count would read 3 days.
      u"-371083978547200",
  };
  for (const auto& name : ancient) t.store().WriteSettingBinary(kLogSection, name, Bytes(256, 0));
  const std::u16string recent[] = {u"1196086400junk", u"1196086400-7", u"1195999999"};
  for (const auto& name : recent) t.store().WriteSettingBinary(kLogSection, name, Bytes(256, 0));

  ExpireLog(t.store(), clock);  // default "Keep 7 days"
  std::vector<std::u16string> kept(std::begin(recent), std::end(recent));
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(Names(), kept);
}

TEST_F(CheckLogTest, OutOfRangeRetentionKeepsEverythingWhileStillLogging) {
  EXPECT_TRUE(WriteSetting(t.store(), kKeepLogFiles, 9));
  Seed(kNow - 400 * kDay);
  EXPECT_TRUE(WriteLogRecord(t.store(), clock, Entry(u"s"), true, u"OK"));
  ExpireLog(t.store(), clock);
  EXPECT_EQ(Names().size(), 2u);
}

TEST_F(CheckLogTest, FormatLocalTimeUsesFixedFormats) {
  EXPECT_EQ(FormatLocalTime(kNow, u"%X"), u"14:13:20");
  EXPECT_EQ(FormatLocalTime(kNow, u"%x"), u"11/26/07");
  EXPECT_EQ(FormatLocalTime(kNow, u"Lasted checked on %X %x"),
            u"Lasted checked on 14:13:20 11/26/07");
  EXPECT_EQ(FormatLocalTime(kNow, u"%X, %x"), u"14:13:20, 11/26/07");
  ::setenv("TZ", "CET-1", 1);
  ::tzset();
  EXPECT_EQ(FormatLocalTime(kNow, u"%X"), u"15:13:20");
}

TEST_F(CheckLogTest, FormatLocalTimeAtTheEndsOfTime) {
  struct Case {
    std::int64_t time;
    const char16_t* pattern;
    const char16_t* text;
  } cases[] = {
      {-1, u"%X %x", u"23:59:59 12/31/69"},
      {253402300799, u"%X %x", u"23:59:59 12/31/99"},  // 9999-12-31
      {INT64_MAX, u"%x", u""},
      {INT64_MIN, u"%x", u""},
      // The C library still converts this one but its year does not fit an int.
      {67767976233532800, u"%Y", u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatLocalTime(c.time, c.pattern), c.text) << c.time;
  }
}

}  // namespace
}  // namespace halvern
