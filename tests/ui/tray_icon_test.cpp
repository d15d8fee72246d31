// The tray icon's menu and tooltip, on their own and in the main window.

#include "tray_icon.h"

#include <gtest/gtest.h>

#include <QtTest/QTest>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QTableView>

#include "history_window.h"
#include "main_window_fixture.h"
#include "url_list.h"

namespace halvern::test {
namespace {

TEST(TrayIconTest, MenuRunsTheCommands) {
  std::vector<std::string> ran;
  ui::TrayIcon tray(QIcon(),
                    {[&] { ran.push_back("show"); }, [&] { ran.push_back("check"); },
                     [&] { ran.push_back("exit"); }},
                    nullptr);
  ASSERT_EQ(tray.icon()->contextMenu(), tray.menu());
  std::vector<QString> texts;
  for (QAction* action : tray.menu()->actions()) {
    if (action->isSeparator()) continue;
    texts.push_back(action->text());
    action->trigger();
  }
  EXPECT_EQ(texts, (std::vector<QString>{QStringLiteral("Show"), QStringLiteral("Check Now"),
                                         QStringLiteral("Exit Program")}));
  EXPECT_EQ(ran, (std::vector<std::string>{"show", "check", "exit"}));
  Q_EMIT tray.icon()->activated(QSystemTrayIcon::Trigger);
  EXPECT_EQ(ran.back(), "show");
}

TEST(TrayIconTest, HistoryIsOfferedWhenTheWindowCanShowIt) {
  std::vector<std::string> ran;
  ui::TrayIcon tray(QIcon(), {{}, {}, {}, [&] { ran.push_back("history"); }}, nullptr);
  std::vector<QString> texts;
  for (QAction* action : tray.menu()->actions()) {
    if (action->isSeparator()) continue;
    texts.push_back(action->text());
    if (action->text() == QStringLiteral("History")) action->trigger();
  }
  EXPECT_EQ(texts,
            (std::vector<QString>{QStringLiteral("Show"), QStringLiteral("Check Now"),
                                  QStringLiteral("History"), QStringLiteral("Exit Program")}));
  EXPECT_EQ(ran, (std::vector<std::string>{"history"}));
}

// URLs > History, its key Ctrl+H and the tray's History open one History
// window, with the selected address chosen.
TEST_F(MainWindowTest, HistoryOpensFromTheMenuItsKeyAndTheTray) {
  StoreEntry(u"Alpha", u"https://alpha.example/");
  StoreEntry(u"Beta", u"https://beta.example/");
  ui::CMainDlg& window = Open();
  QAction* item = nullptr;
  for (QAction* action : window.findChild<QMenuBar*>()->findChildren<QAction*>()) {
    if (action->text() == QStringLiteral("History")) item = action;
  }
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_H));

  list()->SelectItem(list()->FindItem(QStringLiteral("Beta")));
  QApplication::setActiveWindow(&window);
  QTest::keyClick(&window, Qt::Key_H, Qt::ControlModifier);
  auto* history = window.findChild<ui::HistoryWindow*>();
  ASSERT_NE(history, nullptr);
  EXPECT_TRUE(history->isVisible());
  EXPECT_TRUE(history->isWindow());
  const auto chosen = [&] {
    return history->table()->currentIndex().siblingAtColumn(0).data().toString();
  };
  EXPECT_EQ(chosen(), QStringLiteral("Beta"));

  list()->SelectItem(list()->FindItem(QStringLiteral("Alpha")));
  for (QAction* action : window.tray()->menu()->actions()) {
    if (action->text() == QStringLiteral("History")) action->trigger();
  }
  EXPECT_EQ(window.findChildren<ui::HistoryWindow*>().size(), 1);
  EXPECT_EQ(chosen(), QStringLiteral("Alpha"));
  history->close();
}

TEST(TrayIconTest, ToolTipCountsTheAddressesWhoseLastCheckFailed) {
  ui::TrayIcon tray(QIcon(), {}, nullptr);
  const auto tip = [&] { return tray.icon()->toolTip(); };
  EXPECT_EQ(tip(), QStringLiteral("Velmora Halvern\nNo address failed its last check"));
  tray.RowImageChanged(u"Shop", kImageFailed);
  EXPECT_EQ(tip(), QStringLiteral("Velmora Halvern\n1 address failed its last check"));
  tray.RowImageChanged(u"Blog", kImageFailed);
  tray.RowImageChanged(u"SHOP", kImageFailed);  // one entry to the store
  EXPECT_EQ(tip(), QStringLiteral("Velmora Halvern\n2 addresses failed their last check"));
  // A check under way or cancelled is no outcome; a pass or a removal is.
  tray.RowImageChanged(u"Shop", kImageBusy);
  tray.RowImageChanged(u"Blog", kImageIdle);
  EXPECT_EQ(tray.FailedCount(), 2);
  tray.RowImageChanged(u"shop", kImagePassed);
  tray.RowRemoved(u"Blog");
  EXPECT_EQ(tip(), QStringLiteral("Velmora Halvern\nNo address failed its last check"));
}

TEST_F(MainWindowTest, TrayToolTipFollowsTheListAndItsMenuAsksBeforeExit) {
  StoreEntry(u"Down", u"http://127.0.0.1:9/");
  ui::CMainDlg& window = Open();
  ASSERT_NE(window.tray(), nullptr);
  ASSERT_EQ(list()->ItemCount(), 1);
  window.SetRowImage(0, kImageFailed);
  EXPECT_EQ(window.trayIcon()->toolTip(),
            QStringLiteral("Velmora Halvern\n1 address failed its last check"));
  window.DeleteRow(0);
  EXPECT_EQ(window.tray()->FailedCount(), 0);

  ui::MessageBoxScript::PresetAnswers({res::IDCANCEL});
  window.tray()->menu()->actions().back()->trigger();  // Exit Program
  const auto shown = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, QStringLiteral("Do you really want to close the Velmora Halvern?"));
  EXPECT_TRUE(window.isVisible());
}

}  // namespace
}  // namespace halvern::test
