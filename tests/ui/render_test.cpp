// Renders the main window and every dialog to PNG files in the build tree
// (screenshots/), for a reviewer to look at, and checks that no control spills
// out of its window.

#include <gtest/gtest.h>

#include <QtCore/QDir>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLineEdit>

#include "about_dlg.h"
#include "check_log.h"
#include "log_files_dlg.h"
#include "main_window_fixture.h"
#include "url_dlg.h"
// The settings dialogs.
#include "button_ex.h"
#include "notifications_dlg.h"
#include "proxy_dlg.h"
#include "timetable_dlg.h"

namespace halvern::test {
namespace {

using namespace halvern::res;

void Render(QWidget* window, const char* name) {
  window->show();
  QCoreApplication::processEvents();
  const QString dir = QStringLiteral(HALVERN_SCREENSHOT_DIR);
  QDir().mkpath(dir);
  const QString file = dir + QLatin1Char('/') + QString::fromUtf8(name) + QStringLiteral(".png");
  const QPixmap shot = window->grab();
  EXPECT_FALSE(shot.isNull()) << name;
  EXPECT_TRUE(shot.save(file)) << file.toStdString();
  // Every visible control lies inside its window.
  const QRect bounds(QPoint(0, 0), window->size());
  for (QWidget* child : window->findChildren<QWidget*>()) {
    if (!child->isVisibleTo(window) || child->isWindow()) continue;
    const QRect rect(child->mapTo(window, QPoint(0, 0)), child->size());
    EXPECT_TRUE(bounds.contains(rect))
        << name << ": " << child->objectName().toStdString() << " spills out";
  }
}

TEST_F(MainWindowTest, RendersEveryWindowToPng) {
  StoreEntry(u"Company site", u"https://velmora.example/");
  StoreEntry(u"Shop", u"https://shop.velmora.example/");
  StoreEntry(u"Status script", u"https://velmora.example/check.php");
  StoreEntry(u"Blog", u"http://blog.velmora.example/");
  auto& window = Open();
  window.SetRowStatusText(0, u"Lasted checked on 14:05:09 12/08/26");
  window.SetRowImage(0, 2);
  window.SetRowStatusText(1, u"Downloading...");
  window.SetRowImage(1, 1);
  window.SetRowStatusText(2, u"Failed. Not Found");
  window.SetRowImage(2, 3);
  Render(&window, "main_window");

  ui::CUrlDlg url(&window);
  url.title = QStringLiteral("Status script");
  url.url = QStringLiteral("https://velmora.example/check.php");
  url.mode = 1;
  url.Create();
  Render(&url, "url_editor");

  const std::int64_t now = clock_.Now();
  for (int i = 0; i < 6; ++i) {
    LogRecord record{};
    record.time = now - i * 2700;
    CopyToField(record.title, std::size(record.title), i % 3 ? u"Shop" : u"Blog");
    record.passed = i % 3 ? 1 : 0;
    CopyToField(record.text, std::size(record.text),
                record.passed ? u"Lasted checked on 14:05:09 12/08/26" : u"Failed. Not Found");
    temp_.store().WriteSettingBinary(kLogSection, std::u16string(u"r") + char16_t(u'0' + i),
                                     LogRecordBytes(record));
  }
  ui::CLogFilesDlg log(temp_.store(), &window);
  log.keepIndex = 5;
  log.Create();
  Render(&log, "log_viewer");

  UrlEntry entry;
  ASSERT_TRUE(LoadUrlEntry(temp_.store(), u"Shop", entry));
  window.popup().Show(entry, std::nullopt, now);
  Render(window.popup().window(), "alert_popup");

  ui::CAboutDlg about(&window);
  about.Create();
  Render(&about, "about");
}

// The two windows that grow, at desktop sizes: the main window with rows in
// every state and the log viewer with a screenful of records.
TEST_F(MainWindowTest, RendersTheGrowingWindowsLargeToPng) {
  const char16_t* titles[] = {u"Company site",
                              u"Shop",
                              u"Status script",
                              u"Blog",
                              u"Mail webmail",
                              u"Forum",
                              u"Docs",
                              u"API gateway",
                              u"Velmora shop status page",
                              u"Download mirror",
                              u"Wiki",
                              u"Support desk"};
  for (const char16_t* title : titles) StoreEntry(title, u"https://velmora.example/");
  auto& window = Open();
  const std::pair<int, const char16_t*> states[] = {
      {0, u""},
      {1, u"Downloading..."},
      {2, u"Lasted checked on 14:05:09 12/08/26"},
      {3, u"Failed. Not Found"},
      {3, u"Failed. Could not resolve host name Code: 6"},
      {2, u"Lasted checked on 09:39:01 12/10/26"}};
  for (int row = 0; row < list()->ItemCount(); ++row) {
    const auto& [image, text] = states[static_cast<std::size_t>(row) % std::size(states)];
    window.SetRowImage(row, image);
    window.SetRowStatusText(row, text);
  }
  window.resize(900, 600);
  QCoreApplication::processEvents();
  ASSERT_EQ(window.size(), QSize(900, 600));
  Render(&window, "main_window_900x600");

  const std::int64_t now = clock_.Now();
  for (int i = 0; i < 30; ++i) {
    LogRecord record{};
    record.time = now - i * 1800;
    CopyToField(record.title, std::size(record.title), titles[i % std::size(titles)]);
    record.passed = i % 4 != 1 ? 1 : 0;
    CopyToField(
        record.text, std::size(record.text),
        record.passed ? u"Lasted checked on 14:05:09 12/08/26" : u"Failed. Internal Server Error");
    temp_.store().WriteSettingBinary(kLogSection, std::u16string(u"r") + char16_t(u'A' + i),
                                     LogRecordBytes(record));
  }
  ui::CLogFilesDlg log(temp_.store(), &window);
  log.keepIndex = 5;
  log.Create();
  log.show();
  log.resize(800, 500);
  QCoreApplication::processEvents();
  ASSERT_EQ(log.size(), QSize(800, 500));
  EXPECT_EQ(log.Control<ui::ListView>(IDC_LOG_LIST)->ItemCount(), 30);
  Render(&log, "log_viewer_800x500");
}

// The settings dialogs: timetable, proxy server and alert settings.
TEST_F(MainWindowTest, RendersTheSettingsDialogsToPng) {
  auto& window = Open();

  ui::CTimetableDlg timetable(&window);
  timetable.hourMask = 0x003FFF00;  // 8:00 to 21:59
  timetable.Create();
  Render(&timetable, "timetable");
  ui::CTimetableDlg twentyFour(&window);
  twentyFour.hourMask = 0x003FFF00;
  twentyFour.labelStyle = 1;
  twentyFour.Create();
  twentyFour.Cell(9)->setDown(true);  // held: the pushed frame
  Render(&twentyFour, "timetable_24_hours");

  ui::CProxyDlg proxy(&window);
  proxy.mode = 2;
  proxy.address = QStringLiteral("proxy.velmora.example");
  proxy.port = 3128;
  proxy.Create();
  Render(&proxy, "proxy_server");

  ui::CNotificationsDlg notifications(sound_, leds_, &window);
  notifications.defaultSoundFile = QStringLiteral("/usr/share/halvern/sounds/Halvern.wav");
  notifications.Create();
  Render(&notifications, "notifications");
}

}  // namespace
}  // namespace halvern::test
