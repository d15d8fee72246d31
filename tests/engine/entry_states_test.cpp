// What the program knows of every entry's last outcome: the rows and the tray
// at start-up, from a real store, and the tray's state as outcomes, warnings
// and alerts come and go.

#include "entry_states.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <vector>

#include "check_log.h"
#include "clock.h"
#include "fake_url_list.h"
#include "temp_store.h"
#include "url_entry.h"
#include "url_list.h"

namespace halvern {
namespace {

constexpr std::int64_t kNow = 1196071200;  // 2007-11-26 10:00:00 UTC

class StoredOutcomesTest : public ::testing::Test {
 protected:
  StoredOutcomesTest() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  UrlEntry Store(const std::u16string& title, std::int32_t failures, std::int64_t lastSuccess) {
    UrlEntry e;
    InitUrlEntry(e);
    SetEntryTitle(e, title);
    SetEntryUrl(e, u"http://" + title + u".example/");
    e.failureCount = failures;
    e.lastSuccessTime = lastSuccess;
    EXPECT_TRUE(SaveUrlEntry(t.store(), title, e));
    return e;
  }
  void Log(const std::u16string& title, std::int64_t at, bool passed, const std::u16string& text) {
    UrlEntry e;
    InitUrlEntry(e);
    SetEntryTitle(e, title);
    clock.Set(at);
    ASSERT_TRUE(WriteLogRecord(t.store(), clock, e, passed, text).has_value());
  }

  test::TempStore t;
  ManualClock clock{kNow};
  test::FakeUrlList list;
  EntryStates states;
};

// A restart shows what the store knows: the last failure's text for entries
// that failed, the last success for entries that passed, nothing for entries
// never checked; and the tray counts the failed ones.
TEST_F(StoredOutcomesTest, RowsAndTrayTellEachEntrysLastKnownOutcome) {
  Store(u"Shop", 3, kNow - 86400);
  Store(u"Blog", 1, 0);
  Store(u"News", 0, kNow);
  Store(u"New", 0, 0);
  Log(u"Shop", kNow - 900, false, u"Not Found");
  Log(u"SHOP", kNow - 300, false, u"Cannot connect to the server.");         // the same entry
  Log(u"Shop", kNow - 300, false, u"Verification failed (no magic word).");  // "<time>-1"
  Log(u"Shop", kNow - 60, true, u"OK");  // a pass is no failure record
  Log(u"Shops", kNow, false, u"Not the same entry");
  Log(u"News", kNow - 60, false, u"An old failure of an entry that passed since");
  FillUrlList(t.store(), list);

  const std::vector<std::u16string> failed = ShowStoredOutcomes(t.store(), list, states);
  EXPECT_EQ(failed.size(), 2u);

  struct Expected {
    const char16_t* title;
    const char16_t* status;
    int image;
    EntryCondition condition;
  };
  const Expected expected[] = {
      {u"Shop", u"Failed. Verification failed (no magic word).", kImageFailed,
       EntryCondition::kFailed},
      {u"Blog", u"Failed.", kImageFailed, EntryCondition::kFailed},
      {u"News", u"Lasted checked on 10:00:00 11/26/07", kImagePassed, EntryCondition::kPassed},
      {u"New", u"", kImageIdle, EntryCondition::kNeverChecked},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(std::string(e.title, e.title + std::char_traits<char16_t>::length(e.title)));
    const auto* row = list.Find(e.title);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->status, e.status);
    EXPECT_EQ(row->image, e.image);
    EXPECT_EQ(row->toolTip, u"http://" + std::u16string(e.title) + u".example/");
    EXPECT_EQ(states.Condition(e.title), e.condition);
  }
  EXPECT_EQ(states.FailureReason(u"shop"), u"Verification failed (no magic word).");
  EXPECT_EQ(states.Tray(), (TrayState{TrayLevel::kFailed, false, 2, 0}));
}

TEST_F(StoredOutcomesTest, TheOutageStartsAtTheFirstFailureAfterTheLastSuccess) {
  Log(u"Shop", kNow - 7200, false, u"an earlier outage");
  Log(u"Other", kNow - 3000, false, u"another entry");
  Log(u"Shop", kNow - 2000, false, u"first");
  Log(u"Shop", kNow - 1000, false, u"second");
  Log(u"Shop", kNow + 10, false, u"after the pass");
  EXPECT_EQ(OutageStart(t.store(), u"SHOP", kNow - 3600, kNow), kNow - 2000);
  EXPECT_EQ(OutageStart(t.store(), u"Shop", 0, kNow), kNow - 7200);
  EXPECT_EQ(OutageStart(t.store(), u"Shop", kNow, kNow), std::nullopt);
  EXPECT_EQ(OutageStart(t.store(), u"Nobody", 0, kNow), std::nullopt);
}

// The tray shows the worst state of all entries and blinks while an alert is
// pending; its listener hears of every change and of nothing else.
TEST(EntryStatesTest, TrayShowsTheWorstStateAndBlinksWhileAnAlertIsPending) {
  EntryStates states;
  std::vector<TrayState> heard;
  states.SetListener([&](const TrayState& tray) { heard.push_back(tray); });
  using L = TrayLevel;
  struct Step {
    const char* what;
    std::function<void()> act;
    TrayState expected;
  };
  const Step steps[] = {
      {"a failure", [&] { states.SetFailed(u"Shop", u"Not Found"); }, {L::kFailed, false, 1, 0}},
      {"the alert", [&] { states.SetAlertPending(true); }, {L::kFailed, true, 1, 0}},
      {"a warning", [&] { states.SetWarning(u"Blog", true); }, {L::kFailed, true, 1, 1}},
      {"acknowledged: red stays",
       [&] { states.SetAlertPending(false); },
       {L::kFailed, false, 1, 1}},
      {"same entry, other case",
       [&] { states.SetFailed(u"SHOP", u"x"); },
       {L::kFailed, false, 1, 1}},
      {"it passes", [&] { states.SetPassed(u"shop"); }, {L::kWarning, false, 0, 1}},
      {"failed again", [&] { states.SetFailed(u"Shop", u"x"); }, {L::kFailed, false, 1, 1}},
      {"edited", [&] { states.SetNeverChecked(u"Shop"); }, {L::kWarning, false, 0, 1}},
      {"warned entry fails", [&] { states.SetFailed(u"Blog", u"x"); }, {L::kFailed, false, 1, 1}},
      {"its row goes", [&] { states.Forget(u"Blog"); }, {L::kNormal, false, 0, 0}},
      {"a stranger goes", [&] { states.Forget(u"Nobody"); }, {L::kNormal, false, 0, 0}},
  };
  std::size_t changes = 0;
  TrayState last;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    EXPECT_EQ(states.Tray(), step.expected);
    if (step.expected != last) ++changes;
    last = step.expected;
    EXPECT_EQ(heard.size(), changes);
  }
}

TEST(EntryStatesTest, OutageLengths) {
  const std::pair<std::int64_t, const char16_t*> cases[] = {
      {-5, u"0 s"},
      {0, u"0 s"},
      {59, u"59 s"},
      {60, u"1 min"},
      {3599, u"59 min"},
      {3600, u"1 h"},
      {2 * 3600 + 14 * 60 + 59, u"2 h 14 min"},
      {86399, u"23 h 59 min"},
      {86400, u"1 d"},
      {3 * 86400 + 5 * 3600 + 59 * 60, u"3 d 5 h"},
  };
  for (const auto& [seconds, text] : cases) {
    EXPECT_EQ(FormatOutage(seconds), text) << seconds;
  }
}

}  // namespace
}  // namespace halvern
