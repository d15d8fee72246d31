#include "monitor.h"

#include "clock.h"
#include "scheduler.h"
#include "url_entry.h"

namespace halvern {

Monitor::Monitor(const MonitorServices& services, MonitorOptions options)
    : s_(services),
      watchdog_(s_.timedRun, s_.host, *s_.clock, [this](bool manual) { OnOverdueWakeUp(manual); }),
      alerts_(AlertServices{*s_.store, *s_.clock, s_.host, s_.sound, s_.leds, s_.popup}),
      run_(CheckRunServices{s_.store, s_.clock, s_.host, s_.workerHost, s_.list, watchdog_,
                            s_.connections, s_.idleTimer, s_.internet, s_.button, alerts_},
           options) {
  alerts_.SetEntryStates(&states_);
  run_.SetEntryStates(&states_);
}

Monitor::~Monitor() = default;

void Monitor::OnMessage(std::uint32_t message, std::uintptr_t, std::intptr_t) {
  if (message == UM_RUN_CHECK) {
    watchdog_.Disarm();
    run_.OnRunCheck(checkNowTime_);
  }
}

void Monitor::OnOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                             std::intptr_t lParam) {
  if (message == UM_CHECK_DONE) run_.OnCheckDone(TakeCheckJob(std::move(payload)), lParam);
}

void Monitor::OnTimer(std::uint32_t id) {
  if (watchdog_.OnTimer(id)) return;
  if (run_.OnTimer(id)) return;
  if (alerts_.OnTimer(id)) return;
  if (IsRetryTimer(id)) run_.OnRetryTimer(id);
}

bool Monitor::OnCommand(std::uintptr_t, std::intptr_t lParam) {
  if (lParam != ALERT_CLOSED_LPARAM) return false;
  AcknowledgeAlert();
  return true;
}

void Monitor::CheckNow() {
  checkNowTime_ = s_.clock->Now();
  if (run_.RunningJobCount() == 0) {
    BookWakeUpNow({watchdog_, *s_.store, *s_.clock});
  } else {
    run_.Stop();
  }
}

bool Monitor::CheckEntry(const std::u16string& title) {
  UrlEntry entry;
  if (!LoadUrlEntry(*s_.store, title, entry)) return true;
  return run_.StartEntryCheck(entry, CheckKind::SingleCheck);
}

void Monitor::ScheduleNextWakeUp() {
  BookNextWakeUp({watchdog_, *s_.store, *s_.clock}, alerts_.MinutesToNextRepeat());
}

void Monitor::ShowStoredOutcomes() {
  for (const std::u16string& title : halvern::ShowStoredOutcomes(*s_.store, s_.list, states_)) {
    alerts_.NoteDown(title);
  }
}

void Monitor::OnOverdueWakeUp(bool manual) {
  // A lost Check Now booking still makes the manual run the user asked for: it
  // is handled as if the press had just been made. CheckNowTime itself keeps
  // the press, so a late message does not make a second manual run.
  run_.OnRunCheck(manual ? s_.clock->Now() : checkNowTime_);
}

void Monitor::AcknowledgeAlert() { alerts_.AcknowledgeAlert(); }

void Monitor::Shutdown() {
  run_.Shutdown();
  CancelWakeUp({watchdog_, *s_.store, *s_.clock});
  alerts_.AcknowledgeAlert();
}

}  // namespace halvern
