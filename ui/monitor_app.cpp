#include "monitor_app.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QUrl>
#include <QtGui/QDesktopServices>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "clock.h"
#include "curl_internet.h"
#include "desktop_notifier.h"
#include "idle_timer.h"
#include "launcher_socket.h"
#include "led_devices.h"
#include "main_dlg.h"
#include "message_box.h"
#include "network_connection.h"
#include "sound_player.h"
#include "sqlite_store.h"
#include "timed_run_service.h"
#include "url_entry.h"

namespace halvern::ui {
namespace {

std::uint32_t TickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

}  // namespace

int CMonitorApp::Run() {
  SeedEntryIds(TickCount());

  // Messages of the launcher (and of a second Halvern) reach the window once
  // it exists; any that arrive before are dropped.
  CMainDlg* window = nullptr;
  LauncherSocket socket([&window](std::uint32_t message) {
    if (window) window->host().PostMessage(message, 0, 0);
  });
  if (socket.Listen() == LauncherSocket::ListenResult::kOtherInstance) return 0;

  std::string error;
  auto store = SqliteStore::Open(SqliteStore::DefaultPath(), u"Velmora", error);
  if (!store) {
    MessageBox(nullptr,
               QString::fromUtf8(error) +
                   QStringLiteral("\n\nVelmora Halvern cannot start and has not changed the "
                                  "file."),
               MB_OK | MB_ICONSTOP);
    return 1;
  }

  SystemClock clock;
  TimedRunService timedRun(QCoreApplication::applicationDirPath().toStdString());
  NetworkConnectionManager connections;
  QtSoundPlayer sound;
  LinuxLedDevices leds;
  NullIdleTimer idleTimer;
  CurlInternet internet;
  MainServices services{
      *store,      clock,    timedRun,
      connections, sound,    leds,
      idleTimer,   internet, [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); }};
  DBusDesktopNotifier notifier(QDBusConnection::sessionBus());
  services.notifier = &notifier;
  CMainDlg mainDlg(services);
  leds.SetNotificationCallback([&mainDlg](bool on) { mainDlg.SetTrayAlertLook(on); });
  window = &mainDlg;
  mainDlg.RunMainWindow();
  window = nullptr;
  const bool checksLeft = mainDlg.monitor().RunningJobCount() > 0;
  mainDlg.Shutdown();
  leds.SetNotificationCallback({});
  if (checksLeft) {
    // Checks still connecting are not waited for, yet they use the store and
    // the internet layer above when they end. Leave before those are torn down
    // under them; every write that returned is already safe in the store.
    std::fflush(nullptr);
    std::_Exit(0);
  }
  return 0;
}

}  // namespace halvern::ui
