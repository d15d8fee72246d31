// The log viewer: order, images, Refresh, Clear and the retention choice.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QPushButton>

#include "check_history.h"
#include "check_log.h"
#include "clock.h"
#include "fault_store.h"
#include "list_view.h"
#include "log_csv.h"
#include "log_files_dlg.h"
#include "log_rows.h"
#include "settings.h"
#include "temp_store.h"
#include "ui_test_util.h"
#include "url_entry.h"

namespace halvern::test {
namespace {

using namespace halvern::res;
using ui::CLogFilesDlg;

class LogFilesDlgTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetMessageBoxes(); }
  void TearDown() override { ui::MessageBoxScript::Reset(); }

  void Log(std::int64_t time, const std::u16string& title, bool passed,
           const std::u16string& text) {
    LogRecord record{};
    record.time = time;
    CopyToField(record.title, std::size(record.title), title);
    record.passed = passed ? 1 : 0;
    CopyToField(record.text, std::size(record.text), text);
    temp_.store().WriteSettingBinary(kLogSection, std::u16string(u"n") + title,
                                     LogRecordBytes(record));
  }
  std::vector<QString> Column(ui::ListView* list, int column) {
    std::vector<QString> cells;
    for (int row = 0; row < list->ItemCount(); ++row) cells.push_back(list->ItemText(row, column));
    return cells;
  }
  std::unique_ptr<CLogFilesDlg> OpenDialog() {
    auto dlg = std::make_unique<CLogFilesDlg>(temp_.store());
    dlg->Create();
    dlg->show();
    return dlg;
  }

  TempStore temp_;
};

TEST_F(LogFilesDlgTest, ListsNewestFirstWithTickOrCross) {
  const std::int64_t ten = 1786000000;  // some morning in 2026
  Log(ten, u"ten", true, u"Lasted checked on 10");
  Log(ten + 7200, u"twelve", false, u"Failed. Not Found");
  Log(ten + 3600, u"eleven", true, u"Lasted checked on 11");
  // Far apart: a 32-bit difference of these times would put them the wrong way.
  Log(ten - 2147483648LL - 10, u"ancient", true, u"old");
  // A value that is not a record is not listed.
  temp_.store().WriteSettingBinary(kLogSection, u"junk", Bytes(300, 7));
  auto dlg = OpenDialog();
  auto* list = dlg->Control<ui::ListView>(IDC_LOG_LIST);

  EXPECT_EQ(Column(list, 1),
            (std::vector<QString>{QStringLiteral("twelve"), QStringLiteral("eleven"),
                                  QStringLiteral("ten"), QStringLiteral("ancient")}));
  EXPECT_EQ(list->ItemText(0, 2), QStringLiteral("Failed. Not Found"));
  EXPECT_EQ(list->ItemText(0, 0), QString::fromStdU16String(FormatLocalTime(ten + 7200, u"%X %x")));
  EXPECT_EQ(list->ItemImage(0), 1);  // cross
  EXPECT_EQ(list->ItemImage(1), 0);  // tick
  ASSERT_EQ(list->columnCount(), 3);
  EXPECT_EQ(list->HeaderText(0), QStringLiteral("Time"));
  // At least the widths the list was made with; Time and Title more where their
  // texts need it in the desktop's font.
  EXPECT_GE(list->columnWidth(0), 120);
  EXPECT_GE(list->columnWidth(1), 100);
  EXPECT_GE(list->columnWidth(2), 360);

  // Refresh shows what was logged meanwhile.
  Log(ten + 9000, u"later", false, u"Failed.");
  dlg->Control<QPushButton>(IDC_LOG_REFRESH)->click();
  EXPECT_EQ(list->ItemText(0, 1), QStringLiteral("later"));
  EXPECT_EQ(list->ItemCount(), 5);
}

// Records of the same second come in the order the viewer always gave them:
// each appended at row 65535 of the list and the list then sorted stably by
// time, which past 65,535 records is not the store's order.
TEST(LogRows, RecordsOfOneSecondKeepTheListsOrder) {
  for (const int count : {12, 65535 + 40}) {
    SCOPED_TRACE(count);
    std::vector<ui::LogRow> rows;
    ui::ListView placed(LVS_REPORT);
    placed.InsertColumn(0, QStringLiteral("Title"), 100);
    for (int i = 0; i < count; ++i) {
      ui::LogRow row;
      row.title = QString::number(i);
      row.seconds = 1786000000 + (i * 7) % 5;  // five seconds, interleaved
      rows.push_back(row);
      const int at = placed.InsertItem(65535, row.title, 0);
      placed.SetItemData(at, row.seconds);
    }
    placed.SortItemsByData(/*descending=*/true);
    ui::SortNewestFirst(rows);
    ASSERT_EQ(static_cast<int>(rows.size()), placed.ItemCount());
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(rows[static_cast<std::size_t>(i)].title, placed.ItemText(i)) << "row " << i;
    }
  }
}

TEST_F(LogFilesDlgTest, ClearAsksAndDeletesOnlyOnOk) {
  Log(1786000000, u"one", true, u"ok");
  auto dlg = OpenDialog();
  auto* list = dlg->Control<ui::ListView>(IDC_LOG_LIST);
  ui::MessageBoxScript::PresetAnswers({IDCANCEL});
  dlg->Control<QPushButton>(IDC_LOG_CLEAR)->click();
  const auto asked = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].text, QStringLiteral("Are you sure you want to clear the log file?"));
  EXPECT_EQ(asked[0].flags, ui::MB_OKCANCEL | ui::MB_ICONQUESTION);
  EXPECT_EQ(list->ItemCount(), 1);
  EXPECT_TRUE(temp_.store().ReadSettingBinary(kLogSection, u"none").has_value());

  ui::MessageBoxScript::PresetAnswers({IDOK});
  dlg->Control<QPushButton>(IDC_LOG_CLEAR)->click();
  EXPECT_EQ(list->ItemCount(), 0);
  EXPECT_FALSE(temp_.store().ReadSettingBinary(kLogSection, u"none").has_value());
  ui::MessageBoxScript::TakeShown();

  // A clear the store refuses is told and keeps the log.
  Log(1786000000, u"two", true, u"ok");
  FaultStore fault(temp_.store());
  fault.FailAllWrites(true);
  CLogFilesDlg refused(fault);
  refused.Create();
  ui::MessageBoxScript::PresetAnswers({IDOK});
  refused.Control<QPushButton>(IDC_LOG_CLEAR)->click();
  const auto told = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[1].flags, ui::MB_OK | ui::MB_ICONSTOP);
  EXPECT_EQ(refused.Control<ui::ListView>(IDC_LOG_LIST)->ItemCount(), 1);
  EXPECT_TRUE(temp_.store().ReadSettingBinary(kLogSection, u"ntwo").has_value());
  ASSERT_TRUE(temp_.store().DeleteSection(kLogSection));
  refused.Control<QPushButton>(IDC_LOG_CLEAR)->click();  // (answered by the fallback)
  ui::MessageBoxScript::TakeShown();

  // An empty log still asks.
  ui::MessageBoxScript::PresetAnswers({IDOK});
  dlg->Control<QPushButton>(IDC_LOG_CLEAR)->click();
  EXPECT_EQ(ui::MessageBoxScript::TakeShown().size(), 1u);
  EXPECT_EQ(list->ItemCount(), 0);
}

// The history of the checks goes with the log on Clear, and only on OK.
TEST_F(LogFilesDlgTest, ClearRemovesTheHistoryOfTheChecksToo) {
  HistoryStore& history = *temp_.store().History();
  HistoryRow row;
  row.entryId = 5;
  row.timeMs = 1786000000000;
  ASSERT_TRUE(history.AppendCheck(row));
  auto dlg = OpenDialog();
  ui::MessageBoxScript::PresetAnswers({IDCANCEL});
  dlg->Control<QPushButton>(IDC_LOG_CLEAR)->click();
  EXPECT_EQ(history.ReadChecks({5}).size(), 1u);
  ui::MessageBoxScript::PresetAnswers({IDOK});
  dlg->Control<QPushButton>(IDC_LOG_CLEAR)->click();
  EXPECT_TRUE(history.ReadChecks({5}).empty());
  ui::MessageBoxScript::TakeShown();
}

// A record whose text shows less than the check's outcome (cut to 95
// characters, or without the reason after " Code: ") offers the whole text.
TEST_F(LogFilesDlgTest, CutRecordsShowTheirWholeTextAsATooltip) {
  const std::int64_t t = 1786000000;
  UrlEntry entry;
  InitUrlEntry(entry);
  entry.id = 77;
  SetEntryTitle(entry, u"Shop");
  ASSERT_TRUE(SaveUrlEntry(temp_.store(), u"Shop", entry));
  HistoryStore& history = *temp_.store().History();
  const auto add = [&](std::int64_t timeMs, bool passed, const std::u16string& detail) {
    HistoryRow row;
    row.entryId = 77;
    row.title = u"Shop";
    row.timeMs = timeMs;
    row.passed = passed;
    row.detail = detail;
    ASSERT_TRUE(history.AppendCheck(row));
  };
  const std::u16string code =
      u"Failed. Cannot connect to the server. Code: SSL certificate problem: self-signed "
      u"certificate";
  const std::u16string longText(120, u'w');
  add(t * 1000 + 999, false, code);      // the row's time may lie a moment after the record's
  add((t + 60) * 1000, true, longText);  // a pass whose status text was longer than 95
  add((t + 120) * 1000, false, u"Failed. Not Found");  // nothing cut
  Log(t, u"Shop", false, u"Cannot connect to the server.");
  temp_.store().WriteSettingBinary(kLogSection, u"b", [&] {
    LogRecord record{};
    record.time = t + 60;
    CopyToField(record.title, std::size(record.title), u"Shop");
    record.passed = 1;
    CopyToField(record.text, std::size(record.text), longText);
    return LogRecordBytes(record);
  }());
  temp_.store().WriteSettingBinary(kLogSection, u"c", [&] {
    LogRecord record{};
    record.time = t + 120;
    CopyToField(record.title, std::size(record.title), u"Shop");
    CopyToField(record.text, std::size(record.text), u"Not Found");
    return LogRecordBytes(record);
  }());
  auto dlg = OpenDialog();
  auto* list = dlg->Control<ui::ListView>(IDC_LOG_LIST);
  ASSERT_EQ(list->ItemCount(), 3);
  // Newest first: Not Found, the long pass, the TLS failure.
  EXPECT_TRUE(dlg->FullText(0).isEmpty());
  EXPECT_EQ(dlg->FullText(1), QString::fromStdU16String(longText));
  EXPECT_EQ(dlg->FullText(2), QString::fromStdU16String(code));
  EXPECT_TRUE(dlg->FullText(3).isEmpty());
}

TEST_F(LogFilesDlgTest, RetentionIsShownAndWrittenOnlyOnOk) {
  const SystemClock clock;
  struct Case {
    std::optional<std::int32_t> stored;
    int shownIndex;
    std::optional<int> choose;
    bool ok;
    std::int32_t expected;
  };
  const Case cases[] = {
      {std::nullopt, 5, std::nullopt, true, 5},  // missing: "Keep 7 days"
      {9, -1, std::nullopt, true, -1},           // outside the list: no selection, OK stores -1
      {3, 3, 0, true, 0},                        // "Don't keep"
      {3, 3, 8, false, 3},                       // Cancel keeps the setting
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    if (c.stored) {
      EXPECT_TRUE(WriteSetting(temp_.store(), kKeepLogFiles, *c.stored));
    }
    OnNextModal<CLogFilesDlg>([&c](CLogFilesDlg* dlg) {
      auto* keep = dlg->Control<QComboBox>(IDC_LOG_KEEP);
      EXPECT_EQ(keep->count(), 9);
      EXPECT_EQ(keep->itemText(0), QStringLiteral("Don't keep"));
      EXPECT_EQ(keep->itemText(8), QStringLiteral("Keep 30 days"));
      EXPECT_EQ(keep->currentIndex(), c.shownIndex);
      if (c.choose) ChooseComboItem(keep, *c.choose);
      auto* buttons = dlg->findChild<QDialogButtonBox*>();
      buttons->button(c.ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
    ui::OpenLogViewer(nullptr, temp_.store(), clock);
    EXPECT_EQ(ReadSetting(temp_.store(), kKeepLogFiles), c.expected);
  }
}

TEST_F(LogFilesDlgTest, SaveAsWritesTheShownRecordsAsCsv) {
  const std::int64_t ten = 1786000000;
  Log(ten, u"Shop, main", true, u"Lasted checked on 10");
  Log(ten + 60, u"Blog", false, u"Failed. \"Not Found\"");
  // The history keeps the check behind the first record (taken a moment after
  // it), and another check of the same entry that no record shows.
  UrlEntry shop;
  InitUrlEntry(shop);
  shop.id = 5;
  SetEntryTitle(shop, u"Shop, main");
  ASSERT_TRUE(SaveUrlEntry(temp_.store(), u"Shop, main", shop));
  for (const std::int64_t atMs : {ten * 1000 + 400, (ten + 30) * 1000}) {
    HistoryRow row;
    row.entryId = 5;
    row.title = u"Shop, main";
    row.timeMs = atMs;
    row.passed = true;
    row.httpStatus = 200;
    row.totalMs = 1250;
    row.detail = u"Lasted checked on 10 o'clock";
    ASSERT_TRUE(temp_.store().History()->AppendCheck(row));
  }
  auto dlg = OpenDialog();
  // The records shown; one written after the last refresh is not.
  Log(ten + 120, u"later", true, u"not shown yet");
  auto* saveAs = dlg->Control<QPushButton>(IDC_LOG_SAVE_AS);
  ASSERT_NE(saveAs, nullptr);
  EXPECT_EQ(saveAs->text(), QStringLiteral("Save As..."));
  const auto file = temp_.dir() / "log.csv";
  ui::FileDialogScript::PresetAnswers({QString::fromStdString(file.string())});
  saveAs->click();
  ui::FileDialogScript::Reset();
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "\xEF\xBB\xBFTime,Title,Passed,Text,HTTP Status,Total Time (s),Detail\r\n" +
                            FormatIsoLocalTime(ten + 60) +
                            ",Blog,0,\"Failed. \"\"Not Found\"\"\",,,\r\n" +
                            FormatIsoLocalTime(ten) +
                            ",\"Shop, main\",1,Lasted checked on 10,200,1.250,Lasted checked on 10 "
                            "o'clock\r\n");
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A file that cannot be written is reported.
  ui::FileDialogScript::PresetAnswers(
      {QString::fromStdString((temp_.dir() / "none" / "x.csv").string())});
  saveAs->click();
  ui::FileDialogScript::Reset();
  const auto shown = ShownTexts();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_TRUE(shown[0].startsWith(QStringLiteral("Cannot write"))) << shown[0].toStdString();
}

}  // namespace
}  // namespace halvern::test
