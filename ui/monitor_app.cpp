#include "monitor_app.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QUrl>
#include <QtGui/QDesktopServices>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "autostart.h"
#include "clock.h"
#include "curl_internet.h"
#include "desktop_notifier.h"
#include "idle_timer.h"
#include "launcher_socket.h"
#include "led_devices.h"
#include "main_dlg.h"
#include "message_box.h"
#include "network_connection.h"
#include "session_signals.h"
#include "sound_player.h"
#include "sqlite_store.h"
#include "store_wait.h"
#include "timed_run_service.h"
#include "url_entry.h"
#include "worker_threads.h"

namespace halvern::ui {
namespace {

// How long writes still queued at exit may wait for another program's lock.
constexpr std::chrono::seconds kExitWriteBound{3};

std::uint32_t TickCount() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// HALVERN_SYSFS_ROOT moves the LED and rumble device search from /sys to a
// folder of the same shape (for tests of the whole program).
LedPaths LedSearchPaths() {
  const char* root = std::getenv("HALVERN_SYSFS_ROOT");
  if (root == nullptr || root[0] != '/') return LedPaths{};
  const std::filesystem::path sysfs(root);
  return LedPaths{sysfs / "class" / "leds", sysfs / "class" / "input", sysfs / "dev" / "input"};
}

QString SocketFailureText(const LauncherSocket& socket) {
  const QString why = socket.ErrorText().empty()
                          ? QStringLiteral("The socket \"%1\" could not be made.")
                                .arg(QString::fromStdString(socket.path().string()))
                          : QString::fromStdString(socket.ErrorText());
  return why + QStringLiteral(
                   "\n\nVelmora Halvern cannot run without its socket: it keeps a "
                   "second Velmora Halvern off the same settings and lets booked "
                   "checks wake it.");
}

StoreOpening OpenDefaultStore() {
  StoreOpening opening;
  opening.store =
      SqliteStore::Open(SqliteStore::DefaultPath(), u"Velmora", opening.error, opening.status);
  return opening;
}

}  // namespace

void CMonitorApp::OnSessionSignal() {
  ending_ = true;
  // Modal windows (message boxes, the store wait, a command's dialog) end as
  // cancelled, so that their nested loops return and nothing is written.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(widget);
    if (dialog && dialog != window_ && dialog->isVisible() && dialog->isModal()) dialog->reject();
  }
  if (window_) window_->EndSession();
}

int CMonitorApp::Run() {
  SeedEntryIds(TickCount());
  // Installed first, so that a session ending during the start-up ends the
  // program instead of killing it.
  SessionSignals signals([this](int) { OnSessionSignal(); });

  // Messages of the launcher (and of a second Halvern) reach the window once
  // it exists; any that arrive before are dropped.
  std::optional<LauncherSocket> socket;
  socket.emplace([this](std::uint32_t message) {
    if (window_) window_->host().PostMessage(message, 0, 0);
  });
  switch (socket->Listen()) {
    case LauncherSocket::ListenResult::kOtherInstance:
      return 0;
    case LauncherSocket::ListenResult::kFailed:
      // Without the socket nothing keeps a second Halvern off the same store
      // and no booked check could wake this one.
      MessageBox(nullptr, SocketFailureText(*socket), MB_OK | MB_ICONSTOP);
      return ending_ ? 0 : 1;
    case LauncherSocket::ListenResult::kListening:
      break;
  }

  StoreOpening opening = OpenStoreWhenFree(
      &OpenDefaultStore, QString::fromStdString(SqliteStore::DefaultPath().string()));
  if (ending_) return 0;
  if (opening.status == SqliteStore::OpenStatus::kBusy) return 0;  // the user gave up
  if (!opening.store) {
    MessageBox(nullptr,
               QString::fromUtf8(opening.error) +
                   QStringLiteral("\n\nVelmora Halvern cannot start and has not changed the "
                                  "file."),
               MB_OK | MB_ICONSTOP);
    return ending_ ? 0 : 1;
  }

  return RunMainWindow(std::shared_ptr<SqliteStore>(std::move(opening.store)));
}

int CMonitorApp::RunMainWindow(const std::shared_ptr<SqliteStore>& store) {
  // Shared with the check workers, which are not waited for at the end: one
  // still running when the program ends holds them, and whichever lets them
  // go last frees them.
  const auto clock = std::make_shared<SystemClock>();
  const auto internet = std::make_shared<CurlInternet>();
  TimedRunService timedRun(QCoreApplication::applicationDirPath().toStdString());
  NetworkConnectionManager connections;
  QtSoundPlayer sound;
  LinuxLedDevices leds(LedSearchPaths());
  // Keeps the machine awake while a run works (a booked check may just have
  // woken it); without logind it holds nothing.
  LogindIdleTimer idleTimer(QDBusConnection::systemBus());
  Autostart autostart(*store, QCoreApplication::applicationFilePath().toStdString());
  if (std::string error; !autostart.ApplyAtStart(error)) {
    std::fprintf(stderr, "Halvern: start at login: %s\n", error.c_str());
  }
  MainServices services{
      *store,      *clock,    timedRun,
      connections, sound,     leds,
      idleTimer,   *internet, [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); }};
  services.sharedStore = store;
  services.sharedClock = clock;
  services.sharedInternet = internet;
  services.storeFile = store->file();
  services.monitorOptions.startThread = SizedStackThreads();
  services.monitorOptions.afterLastCheck = &ReturnFreedHeap;
  DBusDesktopNotifier notifier(QDBusConnection::sessionBus());
  services.notifier = &notifier;
  services.autostart = &autostart;
  CMainDlg mainDlg(services);
  window_ = &mainDlg;
  mainDlg.RunMainWindow();
  window_ = nullptr;
  // Closes the window host: from here on a check still running touches no Qt
  // object (its row updates return at once, its completion is dropped and
  // frees its job), and it is not waited for.
  mainDlg.Shutdown();
  // A write of a running check that meets another program's lock gets a
  // bounded time, so that no check keeps the program's end waiting.
  store->BeginExit(kExitWriteBound);
  return 0;
}

}  // namespace halvern::ui
