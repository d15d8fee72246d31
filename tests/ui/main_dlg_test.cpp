// The main window's start-up and commands, driven through its real widgets.

#include <gtest/gtest.h>

#include <QtGui/QFontInfo>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPushButton>

#include "about_dlg.h"
#include "log_files_dlg.h"
#include "main_window_fixture.h"
#include "settings.h"
#include "url_dlg.h"

namespace halvern::test {
namespace {

using namespace halvern::res;
using ui::CUrlDlg;

void ClickOk(ui::CDialog* dialog) {
  dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
}
void ClickCancel(ui::CDialog* dialog) {
  dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
}
void Type(ui::CDialog* dialog, int id, const QString& text) {
  dialog->Control<QLineEdit>(id)->setText(text);
}

TEST_F(MainWindowTest, StartsWithItsLayoutAndTheStoredEntriesSorted) {
  StoreEntry(u"beta", u"http://example.org/b");
  StoreEntry(u"Alpha", u"http://example.org/a");
  StoreEntry(u"gamma", u"http://example.org/c");
  auto& window = Open();

  EXPECT_EQ(window.windowTitle(), QStringLiteral("Velmora Halvern"));
  EXPECT_EQ(RowTitles(), (std::vector<QString>{QStringLiteral("Alpha"), QStringLiteral("beta"),
                                               QStringLiteral("gamma")}));
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(list()->ItemImage(row), 0);
    EXPECT_EQ(list()->ItemText(row, 1), QString());
  }
  ASSERT_EQ(list()->columnCount(), 2);
  EXPECT_EQ(list()->HeaderText(0), QStringLiteral("Title"));
  EXPECT_EQ(list()->HeaderText(1), QStringLiteral("Status"));
  // At least the widths the list was made with; the Title column more where a
  // title of 24 characters needs it.
  EXPECT_GE(list()->columnWidth(0), 100);
  EXPECT_GE(list()->columnWidth(1), 360);
  EXPECT_TRUE(list()->showGrid());
  EXPECT_EQ(list()->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_TRUE(QFontInfo(window.GetDlgItem(IDC_CHECK_NOW)->font()).bold());
  EXPECT_FALSE(QFontInfo(window.GetDlgItem(IDC_ADD)->font()).bold());

  // One "Menu" holding the command menus.
  QMenuBar* bar = window.findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  ASSERT_EQ(bar->actions().size(), 1);
  EXPECT_EQ(bar->actions()[0]->text(), QStringLiteral("Menu"));
  QStringList entries;
  for (QAction* action : bar->actions()[0]->menu()->actions()) entries << action->text();
  EXPECT_EQ(entries,
            (QStringList{QStringLiteral("URLs"), QStringLiteral("Tools"), QStringLiteral("Help"),
                         QString(), QStringLiteral("Exit Program")}));
  // The first wake-up is booked; nothing is checked at start.
  ASSERT_EQ(timedRun_.bookings.size(), 1u);
  EXPECT_TRUE(timedRun_.bookings[0].has_value());
  EXPECT_EQ(timedRun_.lastProgram, u"HalvernRun.exe");
  EXPECT_EQ(window.monitor().RunningJobCount(), 0);
}

TEST_F(MainWindowTest, AddWalksThroughTheEditorsMessagesThenStoresTheCutTitle) {
  StoreEntry(u"Zulu", u"http://example.org/z");
  auto& window = Open();
  OnNextModal<CUrlDlg>([](CUrlDlg* dlg) {
    ClickOk(dlg);  // nothing typed
    Type(dlg, IDC_URL_TITLE, QStringLiteral("A title that is much too long"));
    Type(dlg, IDC_URL_ADDRESS, QString());
    ClickOk(dlg);
    Type(dlg, IDC_URL_ADDRESS, QStringLiteral("http(s)://"));
    ClickOk(dlg);
    Type(dlg, IDC_URL_ADDRESS, QStringLiteral("https://example.org/status"));
    Type(dlg, IDC_URL_SIZE_LIMIT, QStringLiteral("big"));
    ClickOk(dlg);
    Type(dlg, IDC_URL_SIZE_LIMIT, QStringLiteral("-1"));
    ClickOk(dlg);
  });
  window.SendCommand(IDC_ADD);

  EXPECT_EQ(ShownTexts(),
            (std::vector<QString>{QStringLiteral("The 'Title' cannot be empty."),
                                  QStringLiteral("The 'URL' cannot be empty."),
                                  QStringLiteral("The 'URL' should begin with 'http://' or "
                                                 "'https://'."),
                                  QStringLiteral("Please enter an integer.")}));
  const std::u16string cut = u"A title that is much too";
  ASSERT_EQ(cut.size(), 24u);
  EXPECT_EQ(RowTitles(),
            (std::vector<QString>{QString::fromStdU16String(cut), QStringLiteral("Zulu")}));
  EXPECT_EQ(list()->ItemImage(0), 0);
  EXPECT_EQ(list()->ItemText(0, 1), QString());
  UrlEntry stored;
  ASSERT_TRUE(LoadUrlEntry(temp_.store(), cut, stored));
  EXPECT_EQ(EntryTitle(stored), cut);
  EXPECT_EQ(EntryUrl(stored), u"https://example.org/status");
  EXPECT_EQ(stored.enabled, 1);
  EXPECT_EQ(stored.mode, 0);
  EXPECT_EQ(stored.sizeLimit, 0xFFFFFFFFu);
  EXPECT_EQ(stored.failureCount, 0);
  EXPECT_EQ(stored.lastSuccessTime, 0);
}

TEST_F(MainWindowTest, AddRefusesATitleThatAnotherEntryHas) {
  const UrlEntry home = StoreEntry(u"Home", u"http://example.org/");
  auto& window = Open();
  OnNextModal<CUrlDlg>([](CUrlDlg* dlg) {
    Type(dlg, IDC_URL_TITLE, QStringLiteral("HOME"));  // one stored entry for both spellings
    Type(dlg, IDC_URL_ADDRESS, QStringLiteral("http://other.example/"));
    ClickOk(dlg);
    EXPECT_TRUE(dlg->isVisible());
    ClickCancel(dlg);
  });
  window.SendCommand(IDC_ADD);
  const auto texts = ShownTexts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_TRUE(texts[0].startsWith(QStringLiteral("Another URL already has the title 'HOME'")));
  UrlEntry stored;
  ASSERT_TRUE(LoadUrlEntry(temp_.store(), u"Home", stored));
  EXPECT_EQ(stored.id, home.id);
  EXPECT_EQ(EntryUrl(stored), u"http://example.org/");
  EXPECT_EQ(RowTitles(), (std::vector<QString>{QStringLiteral("Home")}));
}

TEST_F(MainWindowTest, EditWithoutSelectionOrRecordDoesNothing) {
  StoreEntry(u"Home", u"http://example.org/");
  auto& window = Open();
  window.SendCommand(IDC_EDIT);      // no row selected: no editor comes
  window.InsertRow(0, u"Ghost", 0);  // a row with nothing stored under it
  list()->SelectItem(list()->FindItem(QStringLiteral("Ghost")));
  window.SendCommand(IDC_EDIT);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(ShownTexts().empty());
  EXPECT_EQ(RowTitles().size(), 2u);
}

TEST_F(MainWindowTest, EditRenamesKeepsIdAndLastSuccessAndResetsFailures) {
  UrlEntry alpha = StoreEntry(u"Alpha", u"http://example.org/a");
  alpha.lastSuccessTime = 1700000000;
  alpha.failureCount = 2;
  alpha.mode = 1;
  EXPECT_TRUE(SaveUrlEntry(temp_.store(), u"Alpha", alpha));
  StoreEntry(u"Middle", u"http://example.org/m");
  auto& window = Open();
  list()->SetItemText(0, 1, QStringLiteral("Failed. Not Found"));
  list()->SetItemImage(0, 3);
  list()->SelectItem(0);
  OnNextModal<CUrlDlg>([](CUrlDlg* dlg) {
    EXPECT_EQ(dlg->Control<QLineEdit>(IDC_URL_TITLE)->text(), QStringLiteral("Alpha"));
    EXPECT_EQ(dlg->Control<QComboBox>(IDC_URL_MODE)->currentIndex(), 1);
    EXPECT_EQ(dlg->Control<QLineEdit>(IDC_URL_SIZE_LIMIT)->text(), QStringLiteral("-1"));
    Type(dlg, IDC_URL_TITLE, QStringLiteral("Zeta"));
    ClickOk(dlg);
  });
  window.SendCommand(IDC_EDIT);

  EXPECT_FALSE(Stored(u"Alpha"));
  UrlEntry zeta;
  ASSERT_TRUE(LoadUrlEntry(temp_.store(), u"Zeta", zeta));
  EXPECT_EQ(zeta.id, alpha.id);
  EXPECT_EQ(zeta.lastSuccessTime, 1700000000);
  EXPECT_EQ(zeta.failureCount, 0);
  EXPECT_EQ(zeta.mode, 1);
  EXPECT_EQ(EntryTitle(zeta), u"Zeta");
  EXPECT_EQ(RowTitles(), (std::vector<QString>{QStringLiteral("Middle"), QStringLiteral("Zeta")}));
  EXPECT_EQ(list()->ItemImage(1), 0);
  EXPECT_EQ(list()->ItemText(1, 1), QString());
}

TEST_F(MainWindowTest, EditUnchangedRewritesAndACaseOnlyRenameKeepsOneRow) {
  UrlEntry home = StoreEntry(u"Home", u"http://example.org/");
  home.failureCount = 5;
  EXPECT_TRUE(SaveUrlEntry(temp_.store(), u"Home", home));
  auto& window = Open();
  list()->SelectItem(0);
  OnNextModal<CUrlDlg>([](CUrlDlg* dlg) { ClickOk(dlg); });
  window.SendCommand(IDC_EDIT);
  UrlEntry stored;
  ASSERT_TRUE(LoadUrlEntry(temp_.store(), u"Home", stored));
  EXPECT_EQ(stored.failureCount, 0);

  list()->SelectItem(0);
  OnNextModal<CUrlDlg>([](CUrlDlg* dlg) {
    Type(dlg, IDC_URL_TITLE, QStringLiteral("HOME"));
    ClickOk(dlg);
  });
  window.SendCommand(IDC_EDIT);
  EXPECT_TRUE(ShownTexts().empty());
  EXPECT_EQ(RowTitles(), (std::vector<QString>{QStringLiteral("HOME")}));
  ASSERT_TRUE(LoadUrlEntry(temp_.store(), u"HOME", stored));
  EXPECT_EQ(EntryTitle(stored), u"HOME");
  EXPECT_EQ(stored.id, home.id);
}

TEST_F(MainWindowTest, EditRefusesTheTitleOfAnotherEntryAndCancelKeepsBoth) {
  const UrlEntry alpha = StoreEntry(u"Alpha", u"http://example.org/a");
  const UrlEntry beta = StoreEntry(u"Beta", u"http://example.org/b");
  auto& window = Open();
  list()->SelectItem(0);
  OnNextModal<CUrlDlg>([](CUrlDlg* dlg) {
    Type(dlg, IDC_URL_TITLE, QStringLiteral("Beta"));
    ClickOk(dlg);
    EXPECT_TRUE(dlg->isVisible());
    ClickCancel(dlg);
  });
  window.SendCommand(IDC_EDIT);
  EXPECT_EQ(ShownTexts().size(), 1u);
  UrlEntry stored;
  ASSERT_TRUE(LoadUrlEntry(temp_.store(), u"Alpha", stored));
  EXPECT_EQ(stored.id, alpha.id);
  ASSERT_TRUE(LoadUrlEntry(temp_.store(), u"Beta", stored));
  EXPECT_EQ(stored.id, beta.id);
  EXPECT_EQ(EntryUrl(stored), u"http://example.org/b");
  EXPECT_EQ(RowTitles(), (std::vector<QString>{QStringLiteral("Alpha"), QStringLiteral("Beta")}));
}

TEST_F(MainWindowTest, DeleteAsksAndActsOnlyOnOk) {
  StoreEntry(u"Alpha", u"http://example.org/a");
  StoreEntry(u"Beta", u"http://example.org/b");
  auto& window = Open();
  window.SendCommand(IDC_DELETE);  // no selection: no question
  EXPECT_TRUE(ShownTexts().empty());

  list()->SelectItem(1);
  ui::MessageBoxScript::PresetAnswers({IDCANCEL});
  window.Control<QPushButton>(IDC_DELETE)->click();
  const auto asked = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].text, QStringLiteral("Are you sure you want to delete the selected URL?"));
  EXPECT_EQ(asked[0].flags, ui::MB_OKCANCEL | ui::MB_ICONQUESTION);
  EXPECT_TRUE(Stored(u"Beta"));
  EXPECT_EQ(RowTitles().size(), 2u);

  list()->SelectItem(1);
  ui::MessageBoxScript::PresetAnswers({IDOK});
  window.Control<QPushButton>(IDC_DELETE)->click();
  EXPECT_FALSE(Stored(u"Beta"));
  EXPECT_TRUE(Stored(u"Alpha"));
  EXPECT_EQ(RowTitles(), (std::vector<QString>{QStringLiteral("Alpha")}));
}

TEST_F(MainWindowTest, AddSelectsTheNewRowEditTheEditedAndDeleteNone) {
  for (const char16_t* title : {u"Alpha", u"Delta", u"Kilo", u"Zulu"}) {
    StoreEntry(title, u"http://example.org/");
  }
  auto& window = Open();
  const auto selected = [this] {
    const int row = list()->SelectedItem();
    return row < 0 ? QString() : list()->ItemText(row);
  };
  list()->SelectItem(0);
  OnNextModal<CUrlDlg>([](CUrlDlg* dlg) {
    Type(dlg, IDC_URL_TITLE, QStringLiteral("Golf"));
    Type(dlg, IDC_URL_ADDRESS, QStringLiteral("http://example.org/g"));
    ClickOk(dlg);
  });
  window.SendCommand(IDC_ADD);
  EXPECT_EQ(selected(), QStringLiteral("Golf"));

  // The renamed row moves to its sorted place and stays the selected one.
  list()->SelectItem(list()->FindItem(QStringLiteral("Delta")));
  OnNextModal<CUrlDlg>([](CUrlDlg* dlg) {
    Type(dlg, IDC_URL_TITLE, QStringLiteral("Yankee"));
    ClickOk(dlg);
  });
  window.SendCommand(IDC_EDIT);
  EXPECT_EQ(selected(), QStringLiteral("Yankee"));

  // After a delete no row is selected, so a second Del asks nothing and
  // deletes nothing.
  list()->SelectItem(list()->FindItem(QStringLiteral("Golf")));
  window.SendCommand(IDC_DELETE);
  EXPECT_EQ(selected(), QString());
  ShownTexts();
  window.SendCommand(IDC_DELETE);
  EXPECT_TRUE(ShownTexts().empty());
  EXPECT_EQ(RowTitles(), (std::vector<QString>{QStringLiteral("Alpha"), QStringLiteral("Kilo"),
                                               QStringLiteral("Yankee"), QStringLiteral("Zulu")}));
  EXPECT_TRUE(Stored(u"Kilo"));
}

TEST_F(MainWindowTest, ExitAsksAndEndsOnlyOnOk) {
  auto& window = Open();
  int result = -1;
  ui::MessageBoxScript::PresetAnswers({IDCANCEL, IDOK});
  QTimer::singleShot(0, &window, [&] {
    window.SendCommand(ID_EXIT_PROGRAM);  // Cancel: goes on
    EXPECT_TRUE(window.isVisible());
    window.SendCommand(ID_EXIT_PROGRAM);  // OK: the run ends
  });
  result = window.RunMainWindow();
  EXPECT_EQ(result, IDOK);
  const auto asked = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].text, QStringLiteral("Do you really want to close the Velmora Halvern?"));
  EXPECT_EQ(asked[0].flags, ui::MB_OKCANCEL | ui::MB_ICONQUESTION);
}

TEST_F(MainWindowTest, EscapeHidesAndOnlyTheCancelCommandEndsTheRun) {
  auto& window = Open();
  QTimer::singleShot(0, &window, [&] {
    QTest::keyClick(&window, Qt::Key_Escape);  // hides, as the title bar's close button
    EXPECT_TRUE(window.isMinimized() || !window.isVisible());
    EXPECT_NE(window.result(), IDCANCEL);
    // Esc again, on the hidden window, still ends nothing.
    QTest::keyClick(&window, Qt::Key_Escape);
    QTimer::singleShot(0, &window, [&] { window.SendCommand(IDCANCEL); });
  });
  EXPECT_EQ(window.RunMainWindow(), IDCANCEL);
  EXPECT_TRUE(ShownTexts().empty());
  window.Shutdown();
  ASSERT_FALSE(timedRun_.bookings.empty());
  EXPECT_FALSE(timedRun_.bookings.back().has_value());
}

TEST_F(MainWindowTest, CloseButtonHidesAndNotifyIconShowsAgain) {
  auto& window = Open();
  window.close();  // the title bar's close button
  EXPECT_TRUE(window.isMinimized() || !window.isVisible());
  EXPECT_NE(window.result(), IDCANCEL);
  window.host().PostMessage(UM_NOTIFY_ICON, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return window.isVisible() && !window.isMinimized(); }));
}

TEST_F(MainWindowTest, DoubleClickChecksOnlyAnEnabledEntry) {
  StoreEntry(u"Off", u"http://127.0.0.1:1/", /*enabled=*/false);
  StoreEntry(u"On", u"http://127.0.0.1:1/");
  auto& window = Open();
  (void)window;
  list()->SelectItem(0);  // "Off"
  Q_EMIT list()->cellDoubleClicked(0, 0);
  EXPECT_EQ(window_->monitor().RunningJobCount(), 0);
  EXPECT_EQ(list()->ItemText(0, 1), QString());

  list()->SelectItem(1);  // "On": port 1 refuses at once
  Q_EMIT list()->cellDoubleClicked(1, 0);
  EXPECT_EQ(window_->monitor().RunningJobCount(), 1);
  ASSERT_TRUE(WaitFor([&] { return window_->monitor().RunningJobCount() == 0; }));
  EXPECT_EQ(list()->ItemImage(1), 3);
  EXPECT_TRUE(list()->ItemText(1, 1).startsWith(QStringLiteral("Failed")));
  EXPECT_EQ(list()->ItemText(0, 1), QString());
  // A manual check's final failure raises the alert.
  EXPECT_NE(window_->popup().window(), nullptr);
}

TEST_F(MainWindowTest, AboutAndVisitWebSite) {
  auto& window = Open();
  OnNextModal<ui::CAboutDlg>([](ui::CAboutDlg* dlg) {
    EXPECT_EQ(dlg->windowTitle(), QStringLiteral("About Velmora Halvern"));
    ClickOk(dlg);
  });
  window.SendCommand(ID_APP_ABOUT);
  window.SendCommand(ID_VISIT_WEBSITE);
  ASSERT_EQ(openedUrls_.size(), 1u);
  EXPECT_TRUE(openedUrls_[0].startsWith(QStringLiteral("https://")));
}

TEST_F(MainWindowTest, LogFileCommandOpensTheViewerAndStoresRetentionOnOk) {
  auto& window = Open();
  OnNextModal<ui::CLogFilesDlg>([](ui::CLogFilesDlg* dlg) {
    ChooseComboItem(dlg->Control<QComboBox>(IDC_LOG_KEEP), 2);
    ClickOk(dlg);
  });
  window.SendCommand(IDC_LOG_FILE);
  EXPECT_EQ(ReadSetting(temp_.store(), kKeepLogFiles), 2);
}

}  // namespace
}  // namespace halvern::test
