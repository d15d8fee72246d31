#include "check_run.h"

#include <chrono>
#include <cstring>

#include "alert_devices.h"
#include "alerts.h"
#include "check_history.h"
#include "check_log.h"
#include "clock.h"
#include "connection_manager.h"
#include "event.h"
#include "scheduler.h"
#include "settings.h"
#include "site_check.h"
#include "url_entry.h"
#include "window_host.h"

namespace halvern {
namespace {

CheckKind KindOf(bool retryAllowed, std::optional<CheckKind> kind) {
  if (kind) return *kind;
  return retryAllowed ? CheckKind::Scheduled : CheckKind::SingleCheck;
}

}  // namespace

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
  EndKeepAwakeThread();
}

void CheckRun::OnRunCheck(std::int64_t checkNowTime) {
  if (walking_) ContinueWalk(true);
  SetKeepAwake(true);
  const std::int64_t now = s_.clock->Now();
  const std::int32_t frequency = ReadSetting(*s_.store, kFrequency);
  const bool manual = IsManualRun(now, checkNowTime);
  WalkUrlEntries(*s_.store, [&](const UrlEntry& entry) {
    if (entry.enabled == 0) return;
    if (!manual && !IsEntryDue(*s_.store, entry, now, frequency)) return;
    auto copy = std::make_unique<UrlEntry>();
    std::memcpy(copy.get(), &entry, sizeof(UrlEntry));
    walkLeft_.push_back(std::move(copy));
  });
  walking_ = true;
  walkRetries_ = !manual;
  walkKind_ = manual ? CheckKind::ManualRun : CheckKind::Scheduled;
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
    const std::unique_ptr<UrlEntry> entry = std::move(walkLeft_.front());
    walkLeft_.pop_front();
    StartEntryCheck(*entry, walkRetries_, walkKind_);
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
  ScheduleLauncher({s_.timedRun, *s_.store, *s_.clock}, s_.alerts.MinutesToNextRepeat(), true,
                   false);
  s_.alerts.RepeatAlertIfDue();
  ExpireLog(*s_.store, *s_.clock);
  SetKeepAwake(false);
}

bool CheckRun::StartEntryCheck(const UrlEntry& entry, bool retryAllowed,
                               std::optional<CheckKind> kind) {
  if (entry.enabled == 0) return true;
  // One check of an entry at a time: a run, a retry or a double-click while
  // its check still runs starts nothing and returns true (the connection is
  // not in question). The running check's completion decides about retries
  // and alerts.
  const std::u16string title = EntryTitle(entry);
  if (checking_.contains(title)) return true;
  if (!AcquireConnection(entry, retryAllowed, kind)) return false;

  auto copy = std::make_unique<UrlEntry>();
  InitUrlEntry(*copy);
  std::memcpy(copy.get(), &entry, sizeof(UrlEntry));
  if (!retryAllowed) copy->failureCount = 0;  // a manual check starts afresh

  auto job = std::make_unique<CheckJob>(
      s_.workerHost, &s_.list, downloadEvent_, retryAllowed ? 1 : 0,
      CheckServices{s_.store, s_.clock, s_.internet, options_.internetTimeoutMs});
  job->kind = KindOf(retryAllowed, kind);
  checking_.insert(title);
  // A worker that cannot start records its failure and posts its completion
  // all the same, which releases what was acquired here.
  static_cast<void>(StartCheckJob(std::move(job), std::move(copy), workers_));
  return true;
}

bool CheckRun::AcquireConnection(const UrlEntry& entry, bool retryAllowed,
                                 std::optional<CheckKind> kind) {
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
  // Each attempt may block this thread for up to the connection time-out;
  // within one run's walk one failure answers for the entries after it.
  if (!connectionFailedInWalk_) {
    connection_ = s_.connections.EstablishConnection(kConnectionTimeoutMs);
  }
  if (!connection_) {
    if (inRunWalk_) connectionFailedInWalk_ = true;
    ReportConnectionFailure(entry, retryAllowed, kind);
    return false;
  }
  SetKeepAwake(true);
  ++runningJobs_;
  s_.button.SetCaption(kCaptionStop);
  return true;
}

void CheckRun::ReportConnectionFailure(const UrlEntry& entry, bool retryAllowed,
                                       std::optional<CheckKind> kind) {
  HistoryRow row;
  row.entryId = entry.id;
  row.title = EntryTitle(entry);
  row.url = EntryUrl(entry);
  row.timeMs = s_.clock->NowMs();
  row.kind = KindOf(retryAllowed, kind);
  row.detail = kConnectionFailureText;
  WriteLogRecord(*s_.store, *s_.clock, entry, false, kConnectionFailureText, &row);
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
    if (keepAwakeUsers_ == 0) StartKeepAwakeThread();
    ++keepAwakeUsers_;
    return;
  }
  if (--keepAwakeUsers_ != 0) return;
  EndKeepAwakeThread();
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
  checking_.erase(EntryTitle(copy));
  const std::uint32_t timerId = RetryTimerId(copy.id);
  s_.host.KillTimer(timerId);
  if (outcome == 0) {
    if (job->retryAllowed != 0 && copy.failureCount < kRetryBound) {
      s_.host.SetTimer(timerId, options_.retryDelayMs);
      retryTitles_[copy.id & ~kRetryTimerBit].insert(EntryTitle(copy));
    } else {
      s_.alerts.RaiseAlert(copy, std::nullopt);
    }
  }
  if (outcome == kCheckPassed) s_.alerts.OnEntryPassed(copy);
  job.reset();
  ReleaseConnection();
}

void CheckRun::OnRetryTimer(std::uint32_t timerId) {
  s_.host.KillTimer(timerId);  // a retry timer fires once
  RetryEntry(timerId & ~kRetryTimerBit);
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
    StartEntryCheck(entry, true, CheckKind::Retry);
  }
  if (found) return;
  WalkUrlEntries(*s_.store, [&](const UrlEntry& entry) {
    if ((entry.id & ~kRetryTimerBit) == id) StartEntryCheck(entry, true, CheckKind::Retry);
  });
}

void CheckRun::Stop() {
  s_.button.SetEnabled(false);
  // The walk's next turn finds nothing left and ends the run as usual.
  walkLeft_.clear();
  downloadEvent_->Set();
}

}  // namespace halvern
