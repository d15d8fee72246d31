// Alerts in a desktop session: the popup stays usable while a dialog is
// modal to the main window, and a click on the alert's notification brings
// the main window and the popup back.

#include <gtest/gtest.h>

#include <QtTest/QTest>
#include <QtWidgets/QPushButton>
#include <chrono>

#include "desktop_notifier.h"
#include "main_window_fixture.h"
#include "private_bus.h"
#include "qt_loop.h"
#include "url_dlg.h"

namespace halvern::test {
namespace {

using namespace halvern::res;
using namespace std::chrono_literals;

// An alert that comes while the Add dialog is open can be closed at once: the
// dialog blocks its owner only. The click goes through the window system,
// where modal blocking is applied.
TEST_F(MainWindowTest, ThePopupClosesWhileADialogIsModalToTheMainWindow) {
  const UrlEntry entry = StoreEntry(u"Down", u"http://127.0.0.1:9/");
  ui::CMainDlg& window = Open();
  bool addBlocksItsOwnerOnly = false;
  bool mainBlocked = false;
  bool closed = false;
  OnNextModal<ui::CUrlDlg>([&](ui::CUrlDlg* add) {
    addBlocksItsOwnerOnly = add->windowModality() == Qt::WindowModal;
    window.monitor().alerts().RaiseAlert(entry, std::nullopt, u"Not Found");
    if (ui::CNotificationDlg* popup = window.popup().window()) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(popup));
      auto* close = popup->Control<QPushButton>(IDC_ALERT_CLOSE);
      QTest::mouseClick(popup->windowHandle(), Qt::LeftButton, {},
                        close->mapTo(popup, close->rect().center()));
      closed = window.monitor().AlertTime() == 0 && window.popup().window() == nullptr;
    }
    // The main window itself waits for the dialog.
    const int checks = window.monitor().RunningJobCount();
    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {},
                      window.GetDlgItem(IDC_CHECK_NOW)->mapTo(&window, QPoint(5, 5)));
    mainBlocked = window.monitor().CheckNowTime() == 0 && checks == 0;
    add->SendCommand(IDCANCEL);
  });
  window.SendCommand(IDC_ADD);
  EXPECT_TRUE(addBlocksItsOwnerOnly);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(mainBlocked);
}

// The alert's notification's default action shows the hidden main window and
// brings the popup to the front.
TEST_F(MainWindowTest, TheNotificationsDefaultActionShowsTheWindowAndThePopup) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
  RecordingNotifications service;
  ASSERT_TRUE(service.Register(bus.Connect(QStringLiteral("service"))));
  DBusDesktopNotifier notifier(bus.Connect(QStringLiteral("program")));
  notifier_ = &notifier;
  const UrlEntry entry = StoreEntry(u"Down", u"http://127.0.0.1:9/");
  ui::CMainDlg& window = Open();
  window.monitor().alerts().RaiseAlert(entry, std::nullopt, u"Not Found");
  ASSERT_TRUE(RunUntil([&] { return !service.notices.empty(); }, 10s));
  window.close();  // hides it (minimised where the desktop has no tray)
  window.popup().window()->showMinimized();
  const auto shown = [&] { return window.isVisible() && !window.isMinimized(); };
  ASSERT_TRUE(WaitFor([&] { return !shown(); }));

  // A click counts once the service has told the notification's id.
  ASSERT_TRUE(RunUntil(
      [&] {
        service.Invoke(service.notices.back().id, QStringLiteral("default"));
        return shown();
      },
      10s));
  ASSERT_NE(window.popup().window(), nullptr);
  EXPECT_TRUE(window.popup().window()->isVisible());
  EXPECT_FALSE(window.popup().window()->isMinimized());
  window_.reset();  // before the notifier goes
}

}  // namespace
}  // namespace halvern::test
