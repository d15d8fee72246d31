// The alert popup: its texts, every way of closing it, and "Log File".

#include <gtest/gtest.h>

#include <QtGui/QFontInfo>
#include <QtTest/QTest>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>

#include "check_log.h"
#include "check_run.h"
#include "clock.h"
#include "log_files_dlg.h"
#include "notification_dlg.h"
#include "temp_store.h"
#include "ui_test_util.h"
#include "url_entry.h"

namespace halvern::test {
namespace {

using namespace halvern::res;

// Stands in for the main window: the close command destroys the popup, as
// AcknowledgeAlert does.
class OwnerDlg : public ui::CDialog {
 public:
  OwnerDlg() : CDialog(IDD_ABOUT) {}
  ui::NotificationPopup* popup = nullptr;
  int closeCommands = 0;

 protected:
  bool OnCommandHook(int id, std::intptr_t lParam) override {
    if (lParam != ALERT_CLOSED_LPARAM) return false;
    EXPECT_EQ(id, 0);
    ++closeCommands;
    popup->Destroy();
    return true;
  }
};

class NotificationDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessageBoxes();
    owner_.popup = &popup_;
    owner_.Create();
  }
  void TearDown() override { ui::MessageBoxScript::Reset(); }

  UrlEntry Entry(const std::u16string& title, const std::u16string& url) {
    UrlEntry entry;
    InitUrlEntry(entry);
    SetEntryTitle(entry, title);
    SetEntryUrl(entry, url);
    return entry;
  }
  QString Text(int id) { return popup_.window()->Control<QLabel>(id)->text(); }
  // The popup is deleted by the event loop once closed.
  bool WaitGone(QPointer<ui::CNotificationDlg> window) {
    return WaitFor([&] {
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
      return window.isNull();
    });
  }

  TempStore temp_;
  SystemClock clock_;
  OwnerDlg owner_;
  ui::NotificationPopup popup_{owner_, temp_.store(), clock_};
};

TEST_F(NotificationDlgTest, ShowsTheFailedEntry) {
  const std::int64_t when = 1796738709;
  popup_.Show(Entry(u"Shop", u"https://shop.example/"), std::nullopt, when);
  ASSERT_NE(popup_.window(), nullptr);
  auto* window = popup_.window();
  EXPECT_TRUE(window->isVisible());
  EXPECT_FALSE(window->isModal());
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Velmora Notifications"));
  EXPECT_EQ(Text(IDC_ALERT_HEADING), QStringLiteral("Velmora Halvern"));
  EXPECT_TRUE(QFontInfo(window->GetDlgItem(IDC_ALERT_HEADING)->font()).bold());
  EXPECT_EQ(Text(IDC_ALERT_TIME), QString::fromStdU16String(FormatLocalTime(when, u"%X, %x")));
  EXPECT_TRUE(Text(IDC_ALERT_TIME).contains(QStringLiteral(", ")));
  EXPECT_EQ(Text(IDC_ALERT_TITLE), QStringLiteral("Shop"));
  EXPECT_EQ(Text(IDC_ALERT_URL), QStringLiteral("https://shop.example/"));
  EXPECT_EQ(Text(IDC_ALERT_DESCRIPTION),
            QStringLiteral("Verification failed.\nSee the log file for more details."));

  popup_.Show(Entry(u"Blog", u"http://blog.example/"), std::u16string(kConnectionFailureText),
              when + 60);
  EXPECT_EQ(popup_.window(), window);  // shown again without a close: same window, new texts
  EXPECT_EQ(Text(IDC_ALERT_TITLE), QStringLiteral("Blog"));
  EXPECT_TRUE(Text(IDC_ALERT_DESCRIPTION)
                  .startsWith(QStringLiteral("Failed to establish a connection, please check your "
                                             "Internet connection setings and try again.")));
  EXPECT_TRUE(
      Text(IDC_ALERT_DESCRIPTION).endsWith(QStringLiteral("\nSee the log file for more details.")));
}

TEST_F(NotificationDlgTest, EveryWayOfClosingAcknowledges) {
  const std::function<void(ui::CNotificationDlg*)> closers[] = {
      [](ui::CNotificationDlg* w) { w->Control<QPushButton>(IDC_ALERT_CLOSE)->click(); },
      [](ui::CNotificationDlg* w) { QTest::keyClick(w, Qt::Key_Escape); },
      [](ui::CNotificationDlg* w) { QTest::keyClick(w, Qt::Key_Return); },
      [](ui::CNotificationDlg* w) { w->close(); },
  };
  int expected = 0;
  for (const auto& close : closers) {
    SCOPED_TRACE(expected);
    popup_.Show(Entry(u"Shop", u"https://shop.example/"), std::nullopt, 1796738709);
    QPointer<ui::CNotificationDlg> window = popup_.window();
    close(window.data());
    EXPECT_EQ(owner_.closeCommands, ++expected);
    EXPECT_EQ(popup_.window(), nullptr);
    EXPECT_FALSE(window && window->isVisible());
    EXPECT_TRUE(WaitGone(window));
  }
}

TEST_F(NotificationDlgTest, LogFileClosesThePopupFirstThenOpensTheViewer) {
  popup_.Show(Entry(u"Shop", u"https://shop.example/"), std::nullopt, 1796738709);
  QPointer<ui::CNotificationDlg> window = popup_.window();
  bool viewerSawPopupGone = false;
  OnNextModal<ui::CLogFilesDlg>([&](ui::CLogFilesDlg* viewer) {
    viewerSawPopupGone =
        owner_.closeCommands == 1 && popup_.window() == nullptr && !(window && window->isVisible());
    viewer->SendCommand(IDCANCEL);
  });
  window->Control<QPushButton>(IDC_ALERT_LOG_FILE)->click();
  EXPECT_TRUE(viewerSawPopupGone);
  EXPECT_TRUE(WaitGone(window));
}

}  // namespace
}  // namespace halvern::test
