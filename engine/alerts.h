#pragma once
// Alerts for a check that failed for good: the popup, a looping sound, vibrator
// pulses and the notification LED, stopped after NotifyDuration seconds (the LED
// stays until acknowledged) and repeated every NotifyRepeat interval until the
// user closes the popup. Everything here runs on the main window's thread.

#include <cstdint>
#include <optional>
#include <string>

namespace halvern {

class Clock;
class LedDevices;
class SettingsStore;
class SoundPlayer;
class WindowHost;
struct UrlEntry;

// Timers of the main window that belong to the alert.
inline constexpr std::uint32_t IDT_ALERT_DURATION = 1001;
inline constexpr std::uint32_t IDT_VIBRATE_PULSE = 1002;
inline constexpr std::uint32_t kVibratePulseMs = 500;

// The lParam of the command that the popup sends its owner when it is closed.
inline constexpr std::intptr_t ALERT_CLOSED_LPARAM = 14199;

// The alert popup as the engine sees it; the main window gives it a window.
class AlertPopup {
 public:
  virtual ~AlertPopup() = default;
  // Creates the window when it does not exist, fills it with the entry's title
  // and address, `time` (UTC seconds, shown as local time) and `text` (nothing:
  // the standard "Verification failed."), and shows it.
  virtual void Show(const UrlEntry& entry, const std::optional<std::u16string>& text,
                    std::int64_t time) = 0;
  // Destroys the window when it exists.
  virtual void Destroy() = 0;
};

// Minutes between repeats for a NotifyRepeat index; -1 for "Never" (0) and for
// every index without an interval.
int RepeatIntervalMinutes(std::int32_t index);

// The process-wide vibration toggle: whether the last pulse switched the
// vibrator on. It outlives every alert, as the vibrator itself does.
bool VibrationToggle();
void SetVibrationToggle(bool on);

struct AlertServices {
  SettingsStore& store;
  const Clock& clock;
  WindowHost& host;
  SoundPlayer& sound;
  LedDevices& leds;
  AlertPopup& popup;
};

class Alerts {
 public:
  explicit Alerts(const AlertServices& services) : s_(services) {}
  Alerts(const Alerts&) = delete;
  Alerts& operator=(const Alerts&) = delete;

  // Ends any earlier alert, shows the popup for `entry` and starts the alert.
  void RaiseAlert(const UrlEntry& entry, const std::optional<std::u16string>& text);
  void StartAlert();
  void StopAlert(bool includeLed);
  // Stops everything, destroys the popup and forgets the pending alert.
  void AcknowledgeAlert();
  // -1 when no repeat is pending, else whole minutes to the next one (0: due).
  int MinutesToNextRepeat() const;
  void RepeatAlertIfDue();
  void SetLed(int device, bool on);

  // Handles IDT_ALERT_DURATION and IDT_VIBRATE_PULSE; false for any other id.
  bool OnTimer(std::uint32_t id);

  // UTC seconds of the last start of the unacknowledged alert; 0 = none.
  std::int64_t AlertTime() const { return alertTime_; }

 private:
  AlertServices s_;
  std::int64_t alertTime_ = 0;
};

}  // namespace halvern
