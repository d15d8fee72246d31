#include "check_run.h"

#include <chrono>
#include <cstring>

#include "alert_devices.h"
#include "alerts.h"
#include "check_history.h"
#include "check_log.h"
#include "clock.h"
#include "connection_manager.h"
#include "entry_states.h"
#include "event.h"
#include "scheduler.h"
#include "settings.h"
#include "site_check.h"
#include "url_entry.h"
#include "url_list.h"
#include "window_host.h"

namespace halvern {

void KeepAwakeThread(IdleTimer& idleTimer, const ManualResetEvent& prevent,
                     std::uint32_t periodMs) {
  for (;;) {
    idleTimer.Reset();
    if (prevent.Wait(std::chrono::milliseconds(periodMs))) return;
  }
}

CheckRun::CheckRun(const CheckRunServices& services, CheckRunOptions options)
    : s_(services),
      options_(std::move(options)),
      downloadEvent_(std::make_shared<ManualResetEvent>(kDownloadEventName)),
      preventEvent_(std::make_shared<ManualResetEvent>(kPreventEventName)),
      keepAwakeEnded_(std::make_shared<ManualResetEvent>()),
      workers_(options_.startThread, options_.workerIdleTime) {}

CheckRun::~CheckRun() { Shutdown(); }

void CheckRun::Shutdown() {
  // Entries a walk has not started yet are not started any more.
  walkLeft_.clear();
  walking_ = false;
  inRunWalk_ = false;
  s_.host.KillTimer(IDT_RUN_WALK);
  downloadEvent_->Set();
  retriesBooked_.clear();
  EndKeepAwakeThread();
  s_.idleTimer.KeepAwake(false);
}

void CheckRun::OnRunCheck(std::int64_t checkNowTime) {
  if (walking_) ContinueWalk(true);
  SetKeepAwake(true);
  const std::int64_t now = s_.clock->Now();
  const std::int32_t frequency = ReadSetting(*s_.store, kFrequency);
  const bool manual = IsManualRun(now, checkNowTime);
  const bool watchFailed = !manual && ReadSetting(*s_.store, kWatchFailedEntries) != 0;
  WalkUrlEntries(*s_.store, [&](const UrlEntry& entry) {
    if (entry.enabled == 0) return;
    CheckKind kind = CheckKind::ManualRun;
    if (!manual) {
      if (IsEntryDue(*s_.store, entry, now, frequency)) {
        kind = CheckKind::Scheduled;
      } else if (watchFailed && !retryTitles_.contains(entry.id & ~kRetryTimerBit) &&
                 IsEntryWatchDue(*s_.store, entry, now, frequency)) {
        // A failure that waits for its retry is the retry's to check.
        kind = CheckKind::WatchFailed;
      } else {
        return;
      }
    }
    auto copy = std::make_unique<UrlEntry>();
    std::memcpy(copy.get(), &entry, sizeof(UrlEntry));
    walkLeft_.push_back({std::move(copy), kind});
  });
  walking_ = true;
  inRunWalk_ = true;
  connectionFailedInWalk_ = false;
  ContinueWalk(false);
}

bool CheckRun::OnTimer(std::uint32_t id) {
  if (id != IDT_RUN_WALK) return false;
  ContinueWalk(false);
  return true;
}

void CheckRun::ContinueWalk(bool whole) {
  s_.host.KillTimer(IDT_RUN_WALK);
  if (!walking_) return;
  const auto turnStart = std::chrono::steady_clock::now();
  for (std::size_t started = 0; !walkLeft_.empty(); ++started) {
    if (!whole && started >= options_.walkTurnEntries &&
        std::chrono::steady_clock::now() - turnStart >= options_.walkTurnTime) {
      s_.host.SetTimer(IDT_RUN_WALK, 0);
      return;
    }
    const WalkItem item = std::move(walkLeft_.front());
    walkLeft_.pop_front();
    // A connection that cannot be had was logged and alerted already.
    static_cast<void>(StartEntryCheck(*item.entry, item.kind));
    // The checks started so far show their progress while the walk goes on:
    // a worker waiting for its row is not held up until the last entry, and
    // worker threads that finish are taken up again by later entries.
    s_.host.RunPendingCalls();
  }
  EndWalk();
}

void CheckRun::EndWalk() {
  walking_ = false;
  inRunWalk_ = false;
  connectionFailedInWalk_ = false;
  BookNextWakeUp({s_.timedRun, *s_.store, *s_.clock}, s_.alerts.MinutesToNextRepeat());
  s_.alerts.RepeatAlertIfDue();
  ExpireLog(*s_.store, *s_.clock);
  SetKeepAwake(false);
}

bool CheckRun::StartEntryCheck(const UrlEntry& entry, bool retryAllowed) {
  return StartEntryCheck(entry, retryAllowed ? CheckKind::Scheduled : CheckKind::SingleCheck);
}

bool CheckRun::StartEntryCheck(const UrlEntry& entry, CheckKind kind) {
  const bool retryAllowed = RetriesAllowed(kind);
  if (entry.enabled == 0) return true;
  // One check of an entry at a time: a run, a retry or a double-click while
  // its check still runs starts nothing and returns true (the connection is
  // not in question). The running check's completion decides about retries
  // and alerts.
  const std::u16string title = EntryTitle(entry);
  if (checking_.contains(title)) return true;
  if (!AcquireConnection(entry, kind)) return false;

  auto copy = std::make_unique<UrlEntry>();
  InitUrlEntry(*copy);
  std::memcpy(copy.get(), &entry, sizeof(UrlEntry));
  // A manual check starts afresh; a watch counts on from the stored count.
  if (!retryAllowed && kind != CheckKind::WatchFailed) copy->failureCount = 0;

  auto job = std::make_unique<CheckJob>(
      s_.workerHost, &s_.list, downloadEvent_, retryAllowed ? 1 : 0,
      CheckServices{s_.store, s_.clock, s_.internet, options_.internetTimeoutMs});
  job->kind = kind;
  job->failureCountBefore = entry.failureCount;
  job->lastSuccessBefore = entry.lastSuccessTime;
  checking_.insert(title);
  // A worker that cannot start records its failure and posts its completion
  // all the same, which releases what was acquired here.
  static_cast<void>(StartCheckJob(std::move(job), std::move(copy), workers_));
  return true;
}

bool CheckRun::AcquireConnection(const UrlEntry& entry, CheckKind kind) {
  downloadEvent_->Reset();  // starting a check clears any earlier Stop
  if (connection_) {
    if (connection_->IsConnected()) {
      ++runningJobs_;
      s_.button.SetCaption(kCaptionStop);
      return true;
    }
    // The held connection is gone. It is released once here, with its
    // keep-awake use; the checks still running on it stay counted and each
    // still calls ReleaseConnection, so the count reaches 0 exactly when the
    // last of them, old or new, has been handled.
    connection_.reset();
    SetKeepAwake(false);
  }
  // The wait for a connection keeps the machine awake too; a connection that
  // comes keeps this use until it is released.
  SetKeepAwake(true);
  // Each attempt may block this thread for up to the connection time-out;
  // within one run's walk one failure answers for the entries after it.
  if (!connectionFailedInWalk_) {
    connection_ = s_.connections.AwaitConnection(
        kConnectionTimeoutMs, [&](bool waiting) { ShowWaitingForNetwork(entry, waiting); });
  }
  if (!connection_) {
    if (inRunWalk_) connectionFailedInWalk_ = true;
    ReportConnectionFailure(entry, kind);
    SetKeepAwake(false);
    return false;
  }
  ++runningJobs_;
  s_.button.SetCaption(kCaptionStop);
  return true;
}

void CheckRun::ShowWaitingForNetwork(const UrlEntry& entry, bool waiting) {
  if (!waiting) {
    for (const auto& [title, text] : waitingRows_) {
      const int row = s_.list.FindRow(title);
      if (row >= 0) s_.list.SetRowStatusText(row, text);
    }
    waitingRows_.clear();
    return;
  }
  const auto show = [this](const UrlEntry& waiter) {
    if (waiter.enabled == 0) return;
    std::u16string title = EntryTitle(waiter);
    if (checking_.contains(title) || waitingRows_.contains(title)) return;
    const int row = s_.list.FindRow(title);
    if (row < 0) return;
    waitingRows_.emplace(std::move(title), s_.list.RowStatusText(row));
    s_.list.SetRowStatusText(row, kWaitingForNetworkText);
  };
  show(entry);
  for (const auto& left : walkLeft_) show(*left.entry);
  // The window thread blocks while it waits: the rows are drawn now.
  s_.host.PaintNow();
}

void CheckRun::ReportConnectionFailure(const UrlEntry& entry, CheckKind kind) {
  HistoryRow row;
  row.entryId = entry.id;
  row.title = EntryTitle(entry);
  row.url = EntryUrl(entry);
  row.timeMs = s_.clock->NowMs();
  row.kind = kind;
  row.detail = kConnectionFailureText;
  // WriteLogRecord says so itself when the store refused the record.
  static_cast<void>(
      WriteLogRecord(*s_.store, *s_.clock, entry, false, kConnectionFailureText, &row));
  s_.alerts.RaiseAlert(entry, std::u16string(kConnectionFailureText));
}

void CheckRun::ReleaseConnection() {
  --runningJobs_;
  if (runningJobs_ != 0) return;
  // With no handle held (it was given up while checks still ran on it) there
  // is no connection and no keep-awake use left to give back, but the button
  // is still restored: no check runs any more.
  if (connection_) {
    connection_.reset();
    SetKeepAwake(false);
  }
  RestoreButton();
  if (options_.afterLastCheck) options_.afterLastCheck();
}

void CheckRun::RestoreButton() {
  s_.button.SetCaption(kCaptionCheckNow);
  s_.button.SetEnabled(true);
}

void CheckRun::SetKeepAwake(bool on) {
  if (on) {
    if (keepAwakeUsers_ == 0) {
      s_.idleTimer.KeepAwake(true);
      StartKeepAwakeThread();
    }
    ++keepAwakeUsers_;
    return;
  }
  if (--keepAwakeUsers_ != 0) return;
  EndKeepAwakeThread();
  s_.idleTimer.KeepAwake(false);
}

void CheckRun::StartKeepAwakeThread() {
  preventEvent_->Reset();
  IdleTimer& idleTimer = s_.idleTimer;
  const std::uint32_t periodMs = options_.keepAwakePeriodMs;
  keepAwakeEnded_->Reset();
  // The idle timer outlives the thread: EndKeepAwakeThread waits for it.
  std::unique_ptr<WorkerTask> task =
      MakeWorkerTask([&idleTimer, prevent = preventEvent_, ended = keepAwakeEnded_, periodMs] {
        KeepAwakeThread(idleTimer, *prevent, periodMs);
        ended->Set();
      });
  // Keeping the machine awake is a help, not a condition: without a thread
  // the checks run all the same, and the next first user tries again.
  keepAwakeRunning_ = !workers_.Run(task);
}

void CheckRun::EndKeepAwakeThread() {
  preventEvent_->Set();
  if (!keepAwakeRunning_) return;
  // It ends within one period once the prevent event is set.
  while (!keepAwakeEnded_->Wait(std::chrono::hours(1))) {
  }
  keepAwakeRunning_ = false;
}

void CheckRun::OnCheckDone(std::unique_ptr<CheckJob> job, std::intptr_t outcome) {
  if (job == nullptr) return;
  const UrlEntry& copy = *job->entry;
  const std::u16string title = EntryTitle(copy);
  checking_.erase(title);
  const std::uint32_t timerId = RetryTimerId(copy.id);
  s_.host.KillTimer(timerId);
  retryTitles_.erase(copy.id & ~kRetryTimerBit);  // the retry went with its timer
  const bool wasBooked = retriesBooked_.erase(timerId) != 0;
  bool booked = false;
  if (outcome == kCheckPassed) {
    if (states_) states_->SetPassed(title);
    s_.alerts.OnEntryPassed(copy, job->lastSuccessBefore);
  } else {
    // A cancelled check has no outcome: it changes no state and raises no
    // alert, since the address did not fail. Scheduled checks and retries are
    // still tried again; their stored count is unchanged.
    if (!job->cancelled && states_) states_->SetFailed(title, job->failureText);
    if (job->retryAllowed != 0 && copy.failureCount < kRetryBound) {
      s_.host.SetTimer(timerId, options_.retryDelayMs);
      retryTitles_[copy.id & ~kRetryTimerBit].insert(title);
      retriesBooked_.insert(timerId);
      booked = true;
    } else if (!job->cancelled && job->kind != CheckKind::WatchFailed) {
      s_.alerts.RaiseAlert(copy, std::nullopt, job->failureText);
    }
  }
  // A booked retry keeps the machine awake until it fires; this check's own
  // use goes with the connection below.
  if (booked != wasBooked) SetKeepAwake(booked);
  job.reset();
  ReleaseConnection();
}

void CheckRun::OnRetryTimer(std::uint32_t timerId) {
  s_.host.KillTimer(timerId);  // a retry timer fires once
  const bool booked = retriesBooked_.erase(timerId) != 0;
  RetryEntry(timerId & ~kRetryTimerBit);
  // Given back after the retry has started, which holds the machine awake by
  // its own connection: no gap for the machine to sleep in.
  if (booked) SetKeepAwake(false);
}

void CheckRun::RetryEntry(std::uint32_t id) {
  // The entries booked under this id, loaded by title: one read instead of a
  // walk over every stored entry for each retry. Only when none of them is
  // stored under its title any more (renamed meanwhile) are all entries
  // walked for the id.
  std::set<std::u16string> titles;
  if (auto booked = retryTitles_.find(id); booked != retryTitles_.end()) {
    titles = std::move(booked->second);
    retryTitles_.erase(booked);
  }
  bool found = false;
  for (const std::u16string& title : titles) {
    UrlEntry entry;
    if (!LoadUrlEntry(*s_.store, title, entry) || (entry.id & ~kRetryTimerBit) != id) continue;
    found = true;
    static_cast<void>(StartEntryCheck(entry, CheckKind::Retry));  // a failure is logged and alerted
  }
  if (found) return;
  WalkUrlEntries(*s_.store, [&](const UrlEntry& entry) {
    if ((entry.id & ~kRetryTimerBit) == id) {
      static_cast<void>(StartEntryCheck(entry, CheckKind::Retry));
    }
  });
}

void CheckRun::Stop() {
  s_.button.SetEnabled(false);
  // The walk's next turn finds nothing left and ends the run as usual.
  walkLeft_.clear();
  downloadEvent_->Set();
}

}  // namespace halvern
