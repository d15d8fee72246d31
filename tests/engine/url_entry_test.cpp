#include "url_entry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "fake_url_list.h"
#include "fault_store.h"
#include "temp_store.h"
#include "url_list.h"

namespace halvern {
namespace {

using FakeList = test::FakeUrlList;

template <typename T>
T At(const Bytes& b, std::size_t offset) {
  T value;
  std::memcpy(&value, b.data() + offset, sizeof value);
  return value;
}

TEST(UrlEntryTest, ByteImageHasFieldsAtTheirOffsets) {
  UrlEntry e;
  InitUrlEntry(e);
  e.id = 0x12345678;
  SetEntryTitle(e, u"Title");
  SetEntryUrl(e, u"http://a/");
  e.mode = 1;
  e.sizeLimit = 0xFFFFFFFFu;
  e.lastSuccessTime = 0x0102030405060708LL;
  e.failureCount = 3;
  const Bytes b = EntryBytes(e);
  ASSERT_EQ(b.size(), 2136u);
  EXPECT_EQ(b[0], 0x78);  // little-endian id
  EXPECT_EQ(At<std::int32_t>(b, 4), 1);
  EXPECT_EQ(At<char16_t>(b, 8), u'T');
  EXPECT_EQ(At<char16_t>(b, 8 + 2 * 5), 0);
  EXPECT_EQ(At<char16_t>(b, 58), u'h');
  EXPECT_EQ(At<std::int32_t>(b, 2108), 1);
  EXPECT_EQ(At<std::uint32_t>(b, 2112), 0xFFFFFFFFu);
  EXPECT_EQ(At<std::int64_t>(b, 2120), 0x0102030405060708LL);
  EXPECT_EQ(At<std::int32_t>(b, 2128), 3);
  // Reserved fields and every unit behind the texts stay zero.
  EXPECT_EQ(At<std::uint16_t>(b, 2106), 0);
  EXPECT_EQ(At<std::uint32_t>(b, 2116), 0u);
  EXPECT_EQ(At<std::uint32_t>(b, 2132), 0u);
  EXPECT_TRUE(std::all_of(b.begin() + 58 + 2 * 9, b.begin() + 2106, [](auto x) { return x == 0; }));
}

TEST(UrlEntryTest, IdsKeepBits15And31Clear) {
  SeedEntryIds(12345);
  for (int i = 0; i < 2000; ++i) {
    UrlEntry e;
    InitUrlEntry(e);
    EXPECT_EQ(e.id & 0x80008000u, 0u);
    EXPECT_EQ(e.enabled, 1);
  }
}

TEST(UrlEntryTest, TextsAreCutAndZeroFilled) {
  UrlEntry e;
  InitUrlEntry(e);
  std::memset(e.title, 0xAB, sizeof e.title);  // old bytes must not survive
  SetEntryTitle(e, u"123456789012345678901234567890");
  EXPECT_EQ(EntryTitle(e), u"123456789012345678901234");
  EXPECT_EQ(e.title[24], 0);
  SetEntryTitle(e, u"ab");
  for (std::size_t i = 2; i < kTitleChars; ++i) EXPECT_EQ(e.title[i], 0) << i;
  SetEntryUrl(e, std::u16string(2000, u'x'));
  EXPECT_EQ(EntryUrl(e).size(), 1023u);
}

TEST(UrlEntryTest, StoreLoadDeleteKeepListInStep) {
  test::TempStore t;
  FakeList list;
  UrlEntry e;
  InitUrlEntry(e);
  SetEntryTitle(e, u"A very long title that is cut");
  SetEntryUrl(e, u"https://example.org/");
  const std::u16string title = CutTitle(u"A very long title that is cut");
  ASSERT_TRUE(StoreUrlEntryRow(t.store(), list, title, e, 4095));
  ASSERT_EQ(list.rows.size(), 1u);
  EXPECT_EQ(list.rows[0].text, u"A very long title that i");
  EXPECT_EQ(list.rows[0].image, kImageIdle);

  UrlEntry loaded;
  ASSERT_TRUE(LoadUrlEntry(t.store(), u"a VERY long title that I", loaded));  // names fold case
  EXPECT_EQ(std::memcmp(&loaded, &e, sizeof e), 0);

  EXPECT_TRUE(DeleteUrlEntryRow(t.store(), list, title, 0));
  EXPECT_TRUE(list.rows.empty());
  EXPECT_FALSE(LoadUrlEntry(t.store(), title, loaded));
  EXPECT_EQ(loaded.enabled, 1);  // left freshly initialised
  EXPECT_EQ(EntryTitle(loaded), u"");
}

// The row goes only with its stored entry: a delete the store refuses keeps
// both, while an entry that is gone already (deleted meanwhile) only takes its
// row away.
TEST(UrlEntryTest, DeleteKeepsTheRowWhileTheEntryIsStillStored) {
  test::TempStore t;
  test::FaultStore fault(t.store());
  FakeList list;
  UrlEntry e;
  InitUrlEntry(e);
  SetEntryTitle(e, u"kept");
  ASSERT_TRUE(StoreUrlEntryRow(t.store(), list, u"kept", e, 0));

  fault.FailAllWrites(true);
  EXPECT_FALSE(DeleteUrlEntryRow(fault, list, u"kept", 0));
  ASSERT_EQ(list.rows.size(), 1u);
  UrlEntry loaded;
  EXPECT_TRUE(LoadUrlEntry(t.store(), u"kept", loaded));

  ASSERT_TRUE(t.store().DeleteValue(kUrlsSection, u"kept"));
  EXPECT_TRUE(DeleteUrlEntryRow(fault, list, u"kept", 0));
  EXPECT_TRUE(list.rows.empty());
}

// A stored value far longer than a record (another program's, or damage) is
// never loaded: Load takes it for missing and the walk passes it by.
TEST(UrlEntryTest, AHugeValueIsNeverLoaded) {
  test::TempStore t;
  UrlEntry e;
  InitUrlEntry(e);
  SetEntryTitle(e, u"small");
  ASSERT_TRUE(SaveUrlEntry(t.store(), u"small", e));
  constexpr std::size_t kHuge = 8 << 20;
  ASSERT_TRUE(t.store().WriteSettingBinary(kUrlsSection, u"huge", Bytes(kHuge, 0x41)));

  // SQLite's peak of memory in use from here on: a few connections' caches
  // (about 2 MB), far below the value's size.
  const sqlite3_int64 before = sqlite3_memory_highwater(1);
  UrlEntry loaded;
  EXPECT_FALSE(LoadUrlEntry(t.store(), u"huge", loaded));
  std::vector<std::u16string> walked;
  EXPECT_TRUE(
      WalkUrlEntries(t.store(), [&](const UrlEntry& v) { walked.push_back(EntryTitle(v)); }));
  EXPECT_EQ(walked, std::vector<std::u16string>{u"small"});
  EXPECT_LT(sqlite3_memory_highwater(0) - before, static_cast<sqlite3_int64>(kHuge / 2));
  // The whole value is still there for a reader that asks for it.
  EXPECT_EQ(t.store().ReadSettingBinary(kUrlsSection, u"huge")->size(), kHuge);
}

TEST(UrlEntryTest, FillListsEveryStoredTitle) {
  test::TempStore t;
  for (const char16_t* title : {u"beta", u"alpha", u"gamma"}) {
    UrlEntry e;
    InitUrlEntry(e);
    SetEntryTitle(e, title);
    ASSERT_TRUE(SaveUrlEntry(t.store(), title, e));
  }
  FakeList list;
  FillUrlList(t.store(), list);
  std::vector<std::u16string> texts;
  for (auto& row : list.rows) texts.push_back(row.text);
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::u16string>{u"alpha", u"beta", u"gamma"}));
}

TEST(UrlEntryTest, OddLengthValuesAreReadOverAFreshRecord) {
  test::TempStore t;
  // A full record first, then a short one: the walk must not carry the first
  // record's bytes into the second.
  UrlEntry full;
  InitUrlEntry(full);
  SetEntryTitle(full, u"a-full");
  SetEntryUrl(full, u"http://full.example/");
  full.failureCount = 7;
  full.lastSuccessTime = 99;
  ASSERT_TRUE(SaveUrlEntry(t.store(), u"a-full", full));
  Bytes shortValue(12, 0);
  shortValue[4] = 0;  // enabled = 0
  shortValue[8] = 'S';
  t.store().WriteSettingBinary(kUrlsSection, u"b-short", shortValue);
  Bytes longValue = EntryBytes(full);
  longValue.resize(5000, 0xEE);
  t.store().WriteSettingBinary(kUrlsSection, u"c-long", longValue);

  std::vector<UrlEntry> seen;
  ASSERT_TRUE(WalkUrlEntries(t.store(), [&](const UrlEntry& e) { seen.push_back(e); }));
  ASSERT_EQ(seen.size(), 3u);
  const UrlEntry& s = seen[1];
  EXPECT_EQ(s.enabled, 0);
  EXPECT_EQ(EntryTitle(s), u"S");
  EXPECT_EQ(EntryUrl(s), u"");
  EXPECT_EQ(s.failureCount, 0);
  EXPECT_EQ(s.lastSuccessTime, 0);
  EXPECT_EQ(seen[2].failureCount, 7);  // the long one is cut at the record's end
  EXPECT_EQ(seen[2].reserved3, 0u);    // nothing from behind the record

  UrlEntry loaded;
  ASSERT_TRUE(LoadUrlEntry(t.store(), u"b-short", loaded));
  EXPECT_EQ(EntryUrl(loaded), u"");
  EXPECT_EQ(loaded.failureCount, 0);
}

TEST(UrlEntryTest, SaveIfStillStoredNeverBringsAnEntryBack) {
  test::TempStore t;
  UrlEntry e;
  InitUrlEntry(e);
  SetEntryTitle(e, u"site");
  ASSERT_TRUE(SaveUrlEntry(t.store(), u"site", e));

  UrlEntry checked = e;
  checked.failureCount = 1;
  EXPECT_TRUE(SaveUrlEntryIfStillStored(t.store(), u"site", checked));
  UrlEntry loaded;
  ASSERT_TRUE(LoadUrlEntry(t.store(), u"site", loaded));
  EXPECT_EQ(loaded.failureCount, 1);

  // Replaced by another entry of the same title (a different id): untouched.
  UrlEntry other;
  InitUrlEntry(other);
  other.id = e.id ^ 1;
  SetEntryTitle(other, u"site");
  ASSERT_TRUE(SaveUrlEntry(t.store(), u"site", other));
  checked.failureCount = 2;
  EXPECT_FALSE(SaveUrlEntryIfStillStored(t.store(), u"site", checked));
  ASSERT_TRUE(LoadUrlEntry(t.store(), u"site", loaded));
  EXPECT_EQ(loaded.id, other.id);

  // Deleted meanwhile: stays deleted.
  t.store().DeleteValue(kUrlsSection, u"site");
  EXPECT_FALSE(SaveUrlEntryIfStillStored(t.store(), u"site", checked));
  EXPECT_FALSE(LoadUrlEntry(t.store(), u"site", loaded));
}

TEST(UrlEntryTest, ConcurrentSavesOfManyEntriesAllLand) {
  test::TempStore t;
  constexpr int kThreads = 8, kPerThread = 50;
  std::vector<std::thread> threads;
  for (int n = 0; n < kThreads; ++n) {
    threads.emplace_back([&, n] {
      for (int i = 0; i < kPerThread; ++i) {
        UrlEntry e;
        InitUrlEntry(e);
        const std::string name = "entry-" + std::to_string(n) + "-" + std::to_string(i);
        const std::u16string title(name.begin(), name.end());
        SetEntryTitle(e, title);
        e.failureCount = i;
        EXPECT_TRUE(SaveUrlEntry(t.store(), title, e));
      }
    });
  }
  for (auto& th : threads) th.join();
  int count = 0;
  WalkUrlEntries(t.store(), [&](const UrlEntry&) { ++count; });
  EXPECT_EQ(count, kThreads * kPerThread);
}

}  // namespace
}  // namespace halvern
