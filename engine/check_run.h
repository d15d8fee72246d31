#pragma once
// The check run: UM_RUN_CHECK walks the stored entries and starts one site check
// per entry to check, holding one network connection and keeping the machine
// awake while checks work; UM_CHECK_DONE books a retry of a failed scheduled
// check or hands a final failure to the alerts. Runs on the main window's
// thread, except KeepAwakeThread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "check_kind.h"
#include "site_check.h"
#include "worker_pool.h"

namespace halvern {

class Alerts;
class Clock;
class Connection;
class EntryStates;
class ConnectionManager;
class IdleTimer;
class Internet;
class ManualResetEvent;
class SettingsStore;
class TimedRun;
class UrlList;
class WindowHost;
struct CheckJob;
struct UrlEntry;

inline constexpr std::uint32_t kRetryDelayMs = 5000;
inline constexpr std::int32_t kRetryBound = 3;
inline constexpr std::uint32_t kConnectionTimeoutMs = 15000;
inline constexpr std::uint32_t kKeepAwakePeriodMs = 5000;
inline constexpr char16_t kConnectionFailureText[] =
    u"Failed to establish a connection, please check your Internet connection setings and try "
    u"again.";

// A run's walk starts its checks in turns of the event loop: each turn starts
// at least kWalkTurnEntries entries and goes on until kWalkTurnTime has
// passed, then the walk goes on from timer IDT_RUN_WALK. A run over thousands
// of entries so leaves the window responsive, and the rows of the checks
// started show their progress meanwhile.
inline constexpr std::size_t kWalkTurnEntries = 64;
inline constexpr std::chrono::milliseconds kWalkTurnTime{10};
inline constexpr std::uint32_t IDT_RUN_WALK = 1004;

// What the rows of a run show while it waits for a network that is coming
// back (after a resume, or still connecting).
inline constexpr char16_t kWaitingForNetworkText[] = u"Waiting for the network...";

inline constexpr char16_t kCaptionCheckNow[] = u"Check Now";
inline constexpr char16_t kCaptionStop[] = u"Stop";

// Retry timers carry this bit above the entry's id, so that no entry id (1001
// and 1002 among them) can take the alert's timers.
inline constexpr std::uint32_t kRetryTimerBit = 0x80000000u;
inline constexpr std::uint32_t RetryTimerId(std::uint32_t entryId) {
  return entryId | kRetryTimerBit;
}
inline constexpr bool IsRetryTimer(std::uint32_t timerId) {
  return (timerId & kRetryTimerBit) != 0;
}

// The Check Now button (control 1000) as the check run drives it.
class CheckNowButton {
 public:
  virtual ~CheckNowButton() = default;
  virtual void SetCaption(const std::u16string& caption) = 0;  // "Check Now" or "Stop"
  virtual void SetEnabled(bool enabled) = 0;
};

// Resets the idle timer every `period` until `prevent` is set.
void KeepAwakeThread(IdleTimer& idleTimer, const ManualResetEvent& prevent,
                     std::uint32_t periodMs = kKeepAwakePeriodMs);

// The store, the clock and the internet layer are shared with the check
// workers, which may still run when the program ends; the rest serves the
// window's thread only and lives as long as the window.
struct CheckRunServices {
  std::shared_ptr<SettingsStore> store;
  std::shared_ptr<const Clock> clock;
  WindowHost& host;  // timers and the handler of UM_CHECK_DONE
  // The host as check workers hold it: safe to call after the window is gone
  // (QtWindowHost::WorkerHandle()).
  std::shared_ptr<WindowHost> workerHost;
  UrlList& list;
  TimedRun& timedRun;
  ConnectionManager& connections;
  IdleTimer& idleTimer;
  std::shared_ptr<Internet> internet;
  CheckNowButton& button;
  Alerts& alerts;
};

struct CheckRunOptions {
  std::uint32_t retryDelayMs = kRetryDelayMs;
  std::uint32_t keepAwakePeriodMs = kKeepAwakePeriodMs;
  // Connect, receive and send timeouts of every check.
  std::uint32_t internetTimeoutMs = kInternetTimeoutMs;
  // Starts the threads that run the check workers and the keep-awake thread
  // (detached, reused while work comes); empty: std::thread.
  ThreadStarter startThread = {};
  // How long a finished worker thread waits for the next check before it ends.
  std::chrono::milliseconds workerIdleTime = kWorkerIdleTime;
  // Called once the last running check has been handled and freed; the
  // program gives the freed heap back to the system there.
  std::function<void()> afterLastCheck = {};
  // The turns of a run's walk (see kWalkTurnEntries).
  std::size_t walkTurnEntries = kWalkTurnEntries;
  std::chrono::milliseconds walkTurnTime = kWalkTurnTime;
};

class CheckRun {
 public:
  explicit CheckRun(const CheckRunServices& services, CheckRunOptions options = {});
  // Where the outcomes of checks are noted (the tray's state); none notes
  // nothing. It must outlive the run or be taken away first.
  void SetEntryStates(EntryStates* states) { states_ = states; }
  // Ends the keep-awake thread. Running checks are not waited for.
  ~CheckRun();
  CheckRun(const CheckRun&) = delete;
  CheckRun& operator=(const CheckRun&) = delete;

  // UM_RUN_CHECK. Manual when `checkNowTime` lies at most 5 s back. A
  // scheduled run checks the due entries and, while WatchFailedEntries is on,
  // watches the failed ones that wait for no retry. The entries to check are
  // chosen at once; their checks start in turns (see
  // kWalkTurnEntries), and the next wake-up is booked after the last has
  // started. A run that comes while an earlier one still walks first starts
  // what is left of the earlier one.
  void OnRunCheck(std::int64_t checkNowTime);
  // IDT_RUN_WALK: the walk's next turn. False for any other timer.
  bool OnTimer(std::uint32_t id);
  bool IsWalking() const { return walking_; }
  // Starts the check of one entry unless it is disabled or a check of the
  // entry (the same title) still runs; false only when no connection could be
  // obtained.
  [[nodiscard]] bool StartEntryCheck(const UrlEntry& entry, bool retryAllowed);
  // The same for a check of a given kind: scheduled checks and retries may be
  // retried; a watch of a failed entry keeps its stored count, the manual
  // kinds start from 0.
  [[nodiscard]] bool StartEntryCheck(const UrlEntry& entry, CheckKind kind);
  [[nodiscard]] bool AcquireConnection(const UrlEntry& entry, CheckKind kind);
  // Logs the failure (its history row carrying `kind`) and raises the alert.
  void ReportConnectionFailure(const UrlEntry& entry, CheckKind kind);
  void ReleaseConnection();
  void SetKeepAwake(bool on);
  // UM_CHECK_DONE: books a retry or raises the alert, then frees the job. A
  // cancelled check raises no alert (a scheduled one is still retried), and a
  // watch of a failed entry neither alerts nor retries.
  void OnCheckDone(std::unique_ptr<CheckJob> job, std::intptr_t outcome);
  // A retry timer fired: kills it and checks the entries with that id.
  void OnRetryTimer(std::uint32_t timerId);
  void RetryEntry(std::uint32_t id);
  // Check Now while checks run: disables the button and cancels the checks,
  // the ones a walk has not started yet among them.
  void Stop();
  // Window destruction: running checks stop, the keep-awake thread ends.
  void Shutdown();

  int RunningJobCount() const { return runningJobs_; }
  bool HoldsConnection() const { return connection_ != nullptr; }
  int KeepAwakeUsers() const { return keepAwakeUsers_; }
  bool IsChecking(const std::u16string& title) const { return checking_.contains(title); }
  // Whether a retry of the entry with this id is booked.
  bool RetryBooked(std::uint32_t entryId) const {
    return retryTitles_.contains(entryId & ~kRetryTimerBit);
  }
  ManualResetEvent& DownloadEvent() { return *downloadEvent_; }
  ManualResetEvent& PreventEvent() { return *preventEvent_; }
  const WorkerPool& workers() const { return workers_; }

 private:
  void RestoreButton();
  // Starts the walk's entries until the turn is over (or all of them when
  // `whole`); after the last one, ends the walk.
  void ContinueWalk(bool whole);
  void EndWalk();
  // While the connection step waits for the network, the rows of `entry` and
  // of the walk's entries not started yet show kWaitingForNetworkText; when
  // the wait ends they show again what they showed before.
  void ShowWaitingForNetwork(const UrlEntry& entry, bool waiting);
  // Starts KeepAwakeThread; a thread that cannot be started leaves none.
  void StartKeepAwakeThread();
  // Sets the prevent event and waits until the keep-awake thread has ended.
  void EndKeepAwakeThread();

  CheckRunServices s_;
  CheckRunOptions options_;
  // Shared with the check workers, which may outlive this object at exit.
  std::shared_ptr<ManualResetEvent> downloadEvent_;
  std::shared_ptr<ManualResetEvent> preventEvent_;
  int runningJobs_ = 0;
  // Titles of the entries whose check has started and whose completion has
  // not been handled yet.
  std::set<std::u16string> checking_;
  // Inside the walk of OnRunCheck: set once an attempt to connect has failed,
  // so that the walk's further entries fail without blocking on the manager.
  bool inRunWalk_ = false;
  bool connectionFailedInWalk_ = false;
  // The walk's entries not started yet, each with the kind of its check.
  struct WalkItem {
    std::unique_ptr<UrlEntry> entry;
    CheckKind kind;
  };
  bool walking_ = false;
  std::deque<WalkItem> walkLeft_;
  // Titles of the entries whose retry is booked, by their id: a retry loads
  // its entry by title instead of walking every stored entry.
  std::map<std::uint32_t, std::set<std::u16string>> retryTitles_;
  // Retry timers booked and not yet fired or killed; each is a user of the
  // keep-awake, so the machine does not sleep between a failure and its retry.
  std::set<std::uint32_t> retriesBooked_;
  // Titles of the rows showing kWaitingForNetworkText, with what they showed.
  std::map<std::u16string, std::u16string> waitingRows_;
  std::unique_ptr<Connection> connection_;
  EntryStates* states_ = nullptr;
  int keepAwakeUsers_ = 0;
  // Set by the keep-awake thread as its last act; held by it too.
  std::shared_ptr<ManualResetEvent> keepAwakeEnded_;
  bool keepAwakeRunning_ = false;
  // The check workers' threads: idle ones end with the run, running ones
  // when their check has.
  WorkerPool workers_;
};

}  // namespace halvern
