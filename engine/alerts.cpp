#include "alerts.h"

#include "alert_devices.h"
#include "clock.h"
#include "entry_states.h"
#include "settings.h"
#include "url_entry.h"
#include "window_host.h"

namespace halvern {
namespace {

// Repeat index to minutes; index 0 is "Never".
constexpr int kRepeatMinutes[] = {-1, 3, 5, 10, 15, 30, 60};

// Touched on the main window's thread only; atomic so that a test reading it
// from elsewhere never races.
std::atomic<bool> gVibrationToggle{false};

constexpr char16_t kFailedSuffix[] = u" failed";
constexpr char16_t kBackSuffix[] = u" is back";
constexpr char16_t kBackAfter[] = u" after ";
constexpr char16_t kBackText[] = u"The check passed again.";

std::u16string Decimal(std::size_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace

std::u16string AlertDescription(const std::optional<std::u16string>& text) {
  return text.value_or(kVerificationFailed) + kSeeLogLine;
}

DesktopNotice AlertNotice(const std::vector<PendingFailure>& failures) {
  if (failures.empty()) return {};
  if (failures.size() == 1) {
    const PendingFailure& f = failures.front();
    return {f.title + kFailedSuffix, f.url + u'\n' + f.reason + kSeeLogLine};
  }
  DesktopNotice notice{Decimal(failures.size()) + u" addresses failed", {}};
  for (std::size_t i = 0; i < failures.size() && i < kNoticeNamesShown; ++i) {
    if (i > 0) notice.body += u'\n';
    notice.body += failures[i].title + u": " + failures[i].reason;
  }
  if (failures.size() > kNoticeNamesShown) {
    notice.body += u"\nand " + Decimal(failures.size() - kNoticeNamesShown) + u" more";
  }
  return notice;
}

DesktopNotice BackNotice(const UrlEntry& entry, std::optional<std::int64_t> downSeconds) {
  std::u16string summary = EntryTitle(entry) + kBackSuffix;
  if (downSeconds) summary += kBackAfter + FormatOutage(*downSeconds);
  return {summary, EntryUrl(entry) + u'\n' + kBackText};
}

int RepeatIntervalMinutes(std::int32_t index) {
  if (index < 0 || index >= static_cast<std::int32_t>(std::size(kRepeatMinutes))) return -1;
  return kRepeatMinutes[index];
}

bool VibrationToggle() { return gVibrationToggle.load(); }
void SetVibrationToggle(bool on) { gVibrationToggle.store(on); }

SequenceSettings ReadAlertSettings(SettingsStore& store) {
  SequenceSettings settings;
  settings.durationSeconds = ReadSetting(store, kNotifyDuration);
  settings.soundFile = ReadSetting(store, kNotifySoundFile);
  settings.sound = ReadSetting(store, kNotifyEnableSound) != 0;
  settings.vibrate = ReadSetting(store, kNotifyEnableVibrate) != 0;
  settings.led = ReadSetting(store, kNotifyEnableLed) != 0;
  return settings;
}

Alerts::Alerts(const AlertServices& services)
    : s_(services),
      sequence_(s_.host, s_.sound, s_.leds, gVibrationToggle, SequenceEnd::kKeepLed) {}

void Alerts::SetLed(int device, bool on) { s_.leds.SetLed(device, on); }

void Alerts::RaiseAlert(const UrlEntry& entry, const std::optional<std::u16string>& text,
                        std::u16string_view reason) {
  // The popup shows the latest failure only; the notification names all.
  EndAlert();
  const std::int64_t now = s_.clock.Now();
  s_.popup.Show(entry, text, now);
  const std::u16string title = EntryTitle(entry);
  const std::u16string folded = FoldTitle(title);
  std::erase_if(pending_, [&](const PendingFailure& f) { return FoldTitle(f.title) == folded; });
  pending_.push_back(
      {title, EntryUrl(entry),
       reason.empty() ? text.value_or(kVerificationFailed) : std::u16string(reason)});
  if (notifier_) notifier_->ShowAlert(AlertNotice(pending_));
  failedTitles_.insert(folded);
  StartAlert();
  SetAlertTime(now);
}

void Alerts::SetAlertTime(std::int64_t time) {
  alertTime_ = time;
  if (states_) states_->SetAlertPending(alertTime_ != 0);
}

void Alerts::EndAlert() {
  StopAlert(true);
  s_.popup.Destroy();
  SetAlertTime(0);
}

void Alerts::StartAlert() { sequence_.Start(ReadAlertSettings(s_.store)); }

void Alerts::StopAlert(bool includeLed) { sequence_.Stop(includeLed); }

void Alerts::AcknowledgeAlert() {
  EndAlert();
  pending_.clear();
  if (notifier_) notifier_->CloseAlert();
}

int Alerts::MinutesToNextRepeat() const {
  if (alertTime_ == 0) return -1;
  const int interval = RepeatIntervalMinutes(ReadSetting(s_.store, kNotifyRepeat));
  if (interval < 0) return -1;
  // An AlertTime ahead of the clock (the clock was set back) waits its distance
  // and more; the sums saturate so that no value of either wraps.
  const std::int64_t elapsed = SaturatingSub(s_.clock.Now(), alertTime_) / 60;
  if (elapsed >= interval) return 0;
  return SaturateToInt32(SaturatingSub(interval, elapsed));
}

void Alerts::RepeatAlertIfDue() {
  if (MinutesToNextRepeat() != 0) return;
  StartAlert();
  SetAlertTime(s_.clock.Now());
}

void Alerts::NoteDown(const std::u16string& title) { failedTitles_.insert(FoldTitle(title)); }

void Alerts::OnEntryPassed(const UrlEntry& entry, std::int64_t lastSuccessBefore) {
  const std::u16string folded = FoldTitle(EntryTitle(entry));
  if (std::erase_if(pending_,
                    [&](const PendingFailure& f) { return FoldTitle(f.title) == folded; }) != 0 &&
      notifier_) {
    // The alert's notification names the failures still pending, or goes
    // when none is left; the popup keeps what it showed until acknowledged.
    if (pending_.empty()) {
      notifier_->CloseAlert();
    } else {
      notifier_->ShowAlert(AlertNotice(pending_));
    }
  }
  if (failedTitles_.erase(folded) == 0) return;
  if (!notifier_) return;
  std::optional<std::int64_t> down;
  if (const auto start =
          OutageStart(s_.store, EntryTitle(entry), lastSuccessBefore, entry.lastSuccessTime)) {
    down = SaturatingSub(entry.lastSuccessTime, *start);
  }
  notifier_->ShowInfo(BackNotice(entry, down));
}

// The alert keeps its LED lit when the duration ends: the popup, AlertTime and
// the repeats stay until the user acknowledges.
bool Alerts::OnTimer(std::uint32_t id) { return sequence_.OnTimer(id); }

}  // namespace halvern
