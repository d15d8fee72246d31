#pragma once
// CMainDlg: the main window (template 102). It lists the stored URL entries
// with the outcome of their last check, runs every command of the program, and
// hosts the engine's Monitor (check run, scheduler hooks, alerts) on its own
// window host. Closing it with the title bar hides it; the tray icon, or a
// UM_NOTIFY_ICON from a second Halvern, shows it again; Esc hides it too. The
// program ends with Exit Program (answered OK) or the cancel command (IDCANCEL).
// The window can be made larger (the list takes the room) and keeps its size
// and place between runs.

#include <QtCore/QPointer>
#include <QtWidgets/QSystemTrayIcon>
#include <filesystem>
#include <functional>
#include <memory>

#include "check_run.h"
#include "dialog.h"
#include "history_window.h"
#include "monitor.h"
#include "notification_dlg.h"
#include "qt_window_host.h"
#include "tray_icon.h"
#include "url_list.h"
#include "window_placement.h"

class QPushButton;

namespace halvern {
class DBusDesktopNotifier;
class Autostart;
}  // namespace halvern

namespace halvern::ui {

class ListView;

struct MainServices {
  SettingsStore& store;
  const Clock& clock;
  TimedRun& timedRun;
  ConnectionManager& connections;
  SoundPlayer& sound;
  LedDevices& leds;
  IdleTimer& idleTimer;
  Internet& internet;
  // Opens a web address in the desktop's browser; tests put their own here.
  std::function<void(const QString& url)> openUrl;
  MonitorOptions monitorOptions = {};
  // The desktop's notifications of alerts; none sends none.
  DBusDesktopNotifier* notifier = nullptr;
  // Tools > "Start at Login"; without one the item is disabled.
  Autostart* autostart = nullptr;
  // The store, clock and internet layer above as the check workers hold them:
  // shared, so that a check still running when the program ends uses live
  // objects. Empty: the references above, which must then outlive every check.
  std::shared_ptr<SettingsStore> sharedStore = {};
  std::shared_ptr<const Clock> sharedClock = {};
  std::shared_ptr<Internet> sharedInternet = {};
  // The store's database file, which Tools > "Back Up Store..." copies; empty:
  // the item is disabled.
  std::filesystem::path storeFile = {};
};

class CMainDlg final : public CDialog, public UrlList, public CheckNowButton, public WindowHandler {
  Q_OBJECT

 public:
  explicit CMainDlg(const MainServices& services);
  ~CMainDlg() override;

  // Shows the window and runs until it ends; IDOK (Exit Program) or IDCANCEL.
  int RunMainWindow();
  // The message target of the launcher socket and the check workers.
  QtWindowHost& host() { return host_; }
  Monitor& monitor() { return *monitor_; }
  NotificationPopup& popup() { return popup_; }
  ListView* list();
  // Lists entries just stored under these titles (an import), one row each.
  void ListStoredTitles(const std::vector<std::u16string>& titles);
  // Shows the window again (tray icon, UM_NOTIFY_ICON).
  void ShowWindow();
  QSystemTrayIcon* trayIcon() const { return tray_; }
  TrayIcon* tray() const { return trayMenu_; }
  // Ends the run as Exit Program does once its question is answered OK (the
  // session is ending).
  void EndSession();
  // Window destruction: stops checks and alerts, cancels the booking, removes
  // the tray icon, then closes the host. Runs once; the destructor calls it too.
  void Shutdown();

  // UrlList
  int InsertRow(int position, const std::u16string& text, int image) override;
  void DeleteRow(int row) override;
  int FindRow(const std::u16string& text) const override;
  void SetRowStatusText(int row, const std::u16string& text) override;
  std::u16string RowStatusText(int row) const override;
  void SetRowImage(int row, int image) override;
  void SetRowToolTip(int row, const std::u16string& text) override;
  // CheckNowButton
  void SetCaption(const std::u16string& caption) override;
  void SetEnabled(bool enabled) override;
  // WindowHandler
  void OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void OnOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                      std::intptr_t lParam) override;
  void OnTimer(std::uint32_t id) override;

 protected:
  bool OnInitDialog() override;
  void OnOK() override;  // Hide
  bool OnCommandHook(int id, std::intptr_t lParam) override;
  void closeEvent(QCloseEvent* event) override;
  // Esc: hides like the title bar's close button.
  void reject() override;

 private:
  void OnAdd();
  void OnEdit();
  void OnDelete();
  void OnCheckOne();
  // URLs > "History" and the tray's "History": the History window, with the
  // selected address chosen.
  void OnHistory();
  void OnExitProgram();
  // Ends the modal runs of dialogs still open (as cancelled), so that the
  // main window's own run can end.
  void CloseOpenDialogs();
  void OnStartAtLogin();
  void UpdateStartAtLoginItem();
  void Hide();
  void CreateTrayIcon();
  // True when an entry other than `editedTitle` is stored under `title`.
  bool TitleTaken(const QString& title, const std::u16string& editedTitle);
  // Removes rows that name the same stored entry as `title` (titles that differ
  // only in case name one entry), so that the list shows one row per entry.
  void RemoveRowsOf(const std::u16string& title);
  // Saves the dialog's entry and gives it a row at `row`; false, and the user
  // told, when the store refused it.
  bool StoreFromDialog(UrlEntry& entry, const class CUrlDlg& dialog, int row);
  // Tells the user when the store refused to delete the entry `title` (its
  // row then stays); returns `deleted`.
  bool ReportRefusedDelete(bool deleted, const std::u16string& title);

  MainServices s_;
  QtWindowHost host_;
  NotificationPopup popup_;
  std::unique_ptr<Monitor> monitor_;
  QPointer<QSystemTrayIcon> tray_;
  QPointer<TrayIcon> trayMenu_;
  QIcon appIcon_;
  WindowPlacementKeeper* placement_ = nullptr;  // owned by the window (QObject child)
  bool shutDown_ = false;
  QPointer<HistoryWindow> history_;
};

}  // namespace halvern::ui
