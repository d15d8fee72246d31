// The tray icon's menu, look and tooltip, on their own and in the main window.

#include "tray_icon.h"

#include <gtest/gtest.h>

#include <QtTest/QTest>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QSystemTrayIcon>
#include <QtWidgets/QTableView>

#include "check_log.h"
#include "history_window.h"
#include "main_window_fixture.h"
#include "url_list.h"

namespace halvern::test {
namespace {

using Look = ui::TrayIcon::Look;

TEST(TrayIconTest, MenuRunsTheCommands) {
  std::vector<std::string> ran;
  ui::TrayIcon tray(QIcon(),
                    {[&] { ran.push_back("show"); },
                     [&] { ran.push_back("check"); },
                     [&] { ran.push_back("exit"); },
                     {}},
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

// The icon and the tooltip tell the same state: red while an entry failed,
// amber for a certificate warning, blinking while an alert is pending.
TEST(TrayIconTest, LookAndToolTipFollowTheState) {
  ui::TrayIcon tray(QIcon(), {}, nullptr);
  const auto tip = [&] { return tray.icon()->toolTip(); };
  EXPECT_EQ(tip(), QStringLiteral("Velmora Halvern\nNo address failed its last check"));
  EXPECT_EQ(tray.look(), Look::kNormal);

  struct Case {
    TrayState state;
    Look look;
    bool blinking;
    const char* tip;
  };
  const Case cases[] = {
      {{TrayLevel::kFailed, false, 1, 0}, Look::kFailed, false, "1 address failed its last check"},
      {{TrayLevel::kFailed, true, 5, 0},
       Look::kFailed,
       true,
       "5 addresses failed their last check"},
      {{TrayLevel::kWarning, false, 0, 1},
       Look::kWarning,
       false,
       "No address failed its last check\n1 address has a certificate warning"},
      {{TrayLevel::kFailed, false, 2, 3},
       Look::kFailed,
       false,
       "2 addresses failed their last check\n3 addresses have a certificate warning"},
      {{TrayLevel::kNormal, true, 0, 0}, Look::kFailed, true, "No address failed its last check"},
      {{TrayLevel::kNormal, false, 0, 0}, Look::kNormal, false, "No address failed its last check"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tip);
    tray.Render(c.state);
    EXPECT_EQ(tray.look(), c.look);
    EXPECT_EQ(tray.blinking(), c.blinking);
    EXPECT_EQ(tip(), QStringLiteral("Velmora Halvern\n") + QString::fromUtf8(c.tip));
  }

  // Blinking goes between red and the normal icon.
  tray.Render({TrayLevel::kFailed, true, 1, 0});
  ASSERT_TRUE(WaitFor([&] { return tray.look() == Look::kNormal; }, 5000));
  ASSERT_TRUE(WaitFor([&] { return tray.look() == Look::kFailed; }, 5000));
}

// After a restart the tray knows from the store which addresses are down; an
// alert makes it blink, and acknowledging the alert stops the blinking while
// the failed address keeps it red and counted.
TEST_F(MainWindowTest, TrayTellsTheStoredStateAndStaysRedAfterAcknowledge) {
  UrlEntry down = StoreEntry(u"Down", u"http://127.0.0.1:9/");
  down.failureCount = 3;
  ASSERT_TRUE(SaveUrlEntry(temp_.store(), u"Down", down));
  StoreEntry(u"Fine", u"http://127.0.0.1:9/fine");
  ui::CMainDlg& window = Open();
  ASSERT_NE(window.tray(), nullptr);
  const QString oneFailed = QStringLiteral("Velmora Halvern\n1 address failed its last check");
  EXPECT_EQ(window.trayIcon()->toolTip(), oneFailed);
  EXPECT_EQ(window.tray()->look(), Look::kFailed);
  EXPECT_FALSE(window.tray()->blinking());

  window.monitor().alerts().RaiseAlert(down, std::nullopt, u"Not Found");
  EXPECT_TRUE(window.tray()->blinking());
  window.SendCommand(0, ALERT_CLOSED_LPARAM);  // the popup's Close
  EXPECT_FALSE(window.tray()->blinking());
  EXPECT_EQ(window.tray()->look(), Look::kFailed);
  EXPECT_EQ(window.trayIcon()->toolTip(), oneFailed);

  // Deleting the entry takes it out of the count.
  window.DeleteRow(window.FindRow(u"Down"));
  EXPECT_EQ(window.tray()->look(), Look::kNormal);
  EXPECT_EQ(window.tray()->state().failed, 0);
}

TEST_F(MainWindowTest, TrayMenuAsksBeforeExit) {
  ui::CMainDlg& window = Open();
  ui::MessageBoxScript::PresetAnswers({res::IDCANCEL});
  window.tray()->menu()->actions().back()->trigger();  // Exit Program
  const auto shown = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].text, QStringLiteral("Do you really want to close the Velmora Halvern?"));
  EXPECT_TRUE(window.isVisible());
}

}  // namespace
}  // namespace halvern::test
