#include "alerts.h"

#include <algorithm>
#include <atomic>
#include <climits>

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

// NotifyDuration is not bounded by its dialog: a product beyond the timer's
// range would overflow, and a negative one would mean nothing, so it is kept
// between 0 (sound and vibration end at once) and the largest period.
std::uint32_t DurationMs(std::int32_t seconds) {
  const std::int64_t ms = std::int64_t{seconds} * 1000;
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(ms, 0, INT32_MAX));
}

}  // namespace

int RepeatIntervalMinutes(std::int32_t index) {
  if (index < 0 || index >= static_cast<std::int32_t>(std::size(kRepeatMinutes))) return -1;
  return kRepeatMinutes[index];
}

bool VibrationToggle() { return gVibrationToggle.load(); }
void SetVibrationToggle(bool on) { gVibrationToggle.store(on); }

void Alerts::SetLed(int device, bool on) { s_.leds.SetLed(device, on); }

void Alerts::RaiseAlert(const UrlEntry& entry, const std::optional<std::u16string>& text) {
  AcknowledgeAlert();
  const std::int64_t now = s_.clock.Now();
  s_.popup.Show(entry, text, now);
  StartAlert();
  alertTime_ = now;
}

void Alerts::StartAlert() {
  StopAlert(true);
  const std::int32_t duration = ReadSetting(s_.store, kNotifyDuration);
  const std::u16string soundFile = ReadSetting(s_.store, kNotifySoundFile);
  const bool sound = ReadSetting(s_.store, kNotifyEnableSound) != 0;
  const bool vibrate = ReadSetting(s_.store, kNotifyEnableVibrate) != 0;
  const bool led = ReadSetting(s_.store, kNotifyEnableLed) != 0;

  s_.host.SetTimer(IDT_ALERT_DURATION, DurationMs(duration));
  if (sound) s_.sound.PlayLooping(soundFile);
  // The first pulse switches the vibrator on, 500 ms from now.
  if (vibrate) s_.host.SetTimer(IDT_VIBRATE_PULSE, kVibratePulseMs);
  if (led) SetLed(kLedNotification, true);
}

void Alerts::StopAlert(bool includeLed) {
  if (includeLed) SetLed(kLedNotification, false);
  SetLed(kLedVibrator, false);
  s_.sound.Stop();
  s_.host.KillTimer(IDT_VIBRATE_PULSE);
  s_.host.KillTimer(IDT_ALERT_DURATION);
}

void Alerts::AcknowledgeAlert() {
  StopAlert(true);
  s_.popup.Destroy();
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

bool Alerts::OnTimer(std::uint32_t id) {
  if (id == IDT_VIBRATE_PULSE) {
    const bool wasOn = VibrationToggle();
    SetLed(kLedVibrator, !wasOn);
    SetVibrationToggle(!wasOn);
    return true;
  }
  if (id == IDT_ALERT_DURATION) {
    // Fires once: sound and vibration end, the LED, popup and repeats stay.
    StopAlert(false);
    return true;
  }
  return false;
}

}  // namespace halvern
