#pragma once
// The engine that lives on the main window: the check run, the scheduler's
// hooks and the alerts, with the state the main window keeps for them (running
// job count, connection, keep-awake thread, CheckNowTime, AlertTime, the
// download and prevent events).
//
// How the main window wires it:
//  - Build the services below and construct one Monitor, on the window's
//    thread, after the window host and before the first booking.
//  - Window host: forward every posted message except UM_NOTIFY_ICON to
//    OnMessage (it handles UM_RUN_CHECK and ignores the rest), every message
//    with a payload to OnOwnedMessage (UM_CHECK_DONE with its CheckJob), and
//    every timer to OnTimer (1001/1002 go to the alert, 1003 to the wake-up
//    watchdog, 1004 and retry timers to the check run).
//  - Commands: pass every command to OnCommand before normal routing; it
//    returns true for the popup's ALERT_CLOSED_LPARAM (the alert is then
//    acknowledged) and false for everything else.
//  - Check Now button and menu item (1000): CheckNow(). Double tap on a row:
//    CheckEntry(title of the row).
//  - Initialisation: once the list is filled, ShowStoredOutcomes() (rows and
//    tray tell each entry's last known outcome); as its last step, and the
//    timetable dialog after OK: ScheduleNextWakeUp().
//  - The tray draws states().Tray() and listens for its changes; a row that
//    goes away is forgotten there, an edited entry starts as never checked.
//  - Window destruction: Shutdown(), then close the window host (so no message
//    or timer reaches the Monitor any more and workers' row updates return at
//    once), then destroy the Monitor. Running checks are not waited for.
//  - The popup implements AlertPopup; when it closes it sends the owner the
//    command with lParam ALERT_CLOSED_LPARAM. The Check Now button implements
//    CheckNowButton.
// Everything here runs on the window's thread.

#include <cstdint>
#include <memory>
#include <string>

#include "alerts.h"
#include "check_run.h"
#include "entry_states.h"
#include "scheduler.h"
#include "window_host.h"

namespace halvern {

class SoundPlayer;
class LedDevices;

// The store, clock, internet layer and worker host are shared with the check
// workers (see CheckRunServices); the rest lives as long as the window.
struct MonitorServices {
  std::shared_ptr<SettingsStore> store;
  std::shared_ptr<const Clock> clock;
  WindowHost& host;
  // The host as check workers hold it: safe to call after the window is gone
  // (QtWindowHost::WorkerHandle()).
  std::shared_ptr<WindowHost> workerHost;
  UrlList& list;
  TimedRun& timedRun;
  ConnectionManager& connections;
  SoundPlayer& sound;
  LedDevices& leds;
  IdleTimer& idleTimer;
  std::shared_ptr<Internet> internet;
  AlertPopup& popup;
  CheckNowButton& button;
};

// Tests shorten the delays; the program keeps the defaults.
using MonitorOptions = CheckRunOptions;

class Monitor final : public WindowHandler {
 public:
  explicit Monitor(const MonitorServices& services, MonitorOptions options = {});
  ~Monitor() override;
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  // WindowHandler: UM_RUN_CHECK, UM_CHECK_DONE with its job; timers 1001 to
  // 1004 and retries. A booked wake-up whose UM_RUN_CHECK has not come
  // 10 s after its time is handled as if it had come (a lost Check Now booking
  // as a manual run), so the next wake-up is always booked.
  void OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
  void OnOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                      std::intptr_t lParam) override;
  void OnTimer(std::uint32_t id) override;
  // The command hook: true (handled) for lParam ALERT_CLOSED_LPARAM.
  bool OnCommand(std::uintptr_t wParam, std::intptr_t lParam);

  // Check Now: notes the press; books the launcher at once when no check
  // runs, else stops the running checks.
  void CheckNow();
  // Double tap: a manual check of the entry stored under `title`; nothing when
  // none is stored or it is disabled. False only when no connection came.
  bool CheckEntry(const std::u16string& title);
  // Books the launcher for the next wake-up.
  void ScheduleNextWakeUp();
  // Start-up: every listed row shows its entry's last known outcome, the
  // tray's state knows it, and entries that failed count as down.
  void ShowStoredOutcomes();
  void AcknowledgeAlert();
  // Window destruction: download and prevent events set, booking cancelled,
  // alert acknowledged.
  void Shutdown();

  std::int64_t CheckNowTime() const { return checkNowTime_; }
  std::int64_t AlertTime() const { return alerts_.AlertTime(); }
  int RunningJobCount() const { return run_.RunningJobCount(); }
  bool HoldsConnection() const { return run_.HoldsConnection(); }
  int KeepAwakeUsers() const { return run_.KeepAwakeUsers(); }
  Alerts& alerts() { return alerts_; }
  EntryStates& states() { return states_; }
  const WakeUpWatchdog& watchdog() const { return watchdog_; }
  CheckRun& checkRun() { return run_; }

 private:
  void OnOverdueWakeUp(bool manual);

  MonitorServices s_;
  EntryStates states_;
  WakeUpWatchdog watchdog_;  // every booking of the launcher goes through it
  Alerts alerts_;
  CheckRun run_;
  std::int64_t checkNowTime_ = 0;
};

}  // namespace halvern
