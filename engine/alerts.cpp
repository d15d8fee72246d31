#include "alerts.h"

#include "alert_devices.h"
#include "clock.h"
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
constexpr char16_t kBackText[] = u"The check passed again.";

}  // namespace

std::u16string AlertDescription(const std::optional<std::u16string>& text) {
  return text.value_or(kVerificationFailed) + kSeeLogLine;
}

DesktopNotice AlertNotice(const UrlEntry& entry, const std::optional<std::u16string>& text) {
  return {EntryTitle(entry) + kFailedSuffix, EntryUrl(entry) + u'\n' + AlertDescription(text)};
}

DesktopNotice BackNotice(const UrlEntry& entry) {
  return {EntryTitle(entry) + kBackSuffix, EntryUrl(entry) + u'\n' + kBackText};
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

void Alerts::RaiseAlert(const UrlEntry& entry, const std::optional<std::u16string>& text) {
  AcknowledgeAlert();
  const std::int64_t now = s_.clock.Now();
  s_.popup.Show(entry, text, now);
  if (notifier_) notifier_->ShowAlert(AlertNotice(entry, text));
  failedTitles_.insert(FoldTitle(EntryTitle(entry)));
  StartAlert();
  alertTime_ = now;
}

void Alerts::StartAlert() { sequence_.Start(ReadAlertSettings(s_.store)); }

void Alerts::StopAlert(bool includeLed) { sequence_.Stop(includeLed); }

void Alerts::AcknowledgeAlert() {
  StopAlert(true);
  s_.popup.Destroy();
  if (notifier_) notifier_->CloseAlert();
  alertTime_ = 0;
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
  alertTime_ = s_.clock.Now();
}

void Alerts::OnEntryPassed(const UrlEntry& entry) {
  if (failedTitles_.erase(FoldTitle(EntryTitle(entry))) == 0) return;
  if (notifier_) notifier_->ShowInfo(BackNotice(entry));
}

// The alert keeps its LED lit when the duration ends: the popup, AlertTime and
// the repeats stay until the user acknowledges.
bool Alerts::OnTimer(std::uint32_t id) { return sequence_.OnTimer(id); }

}  // namespace halvern
