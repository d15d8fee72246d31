#pragma once
// Alerts for a check that failed for good: the popup, a looping sound, vibrator
// pulses and the notification LED, stopped after NotifyDuration seconds (the LED
// stays until acknowledged) and repeated every NotifyRepeat interval until the
// user closes the popup; a desktop notification goes with the popup, and
// another one tells when an entry that raised an alert passes again.
// Everything here runs on the main window's thread.

#include <atomic>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "alert_sequence.h"

namespace halvern {

class Clock;
class DesktopNotifier;
class LedDevices;
class SettingsStore;
class SoundPlayer;
class WindowHost;
struct DesktopNotice;
struct UrlEntry;

// The lParam of the command that the popup sends its owner when it is closed.
inline constexpr std::intptr_t ALERT_CLOSED_LPARAM = 14199;

inline constexpr char16_t kVerificationFailed[] = u"Verification failed.";
inline constexpr char16_t kSeeLogLine[] = u"\nSee the log file for more details.";

// The description of a failure as the popup shows it: `text`, or the standard
// "Verification failed." without one, then a line that points to the log.
std::u16string AlertDescription(const std::optional<std::u16string>& text);

// The desktop notifications of an alert and of an entry that is back.
DesktopNotice AlertNotice(const UrlEntry& entry, const std::optional<std::u16string>& text);
DesktopNotice BackNotice(const UrlEntry& entry);

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

// The process-wide vibration toggle of the alert: whether its last pulse
// switched the vibrator on. It outlives every alert, as the vibrator does.
bool VibrationToggle();
void SetVibrationToggle(bool on);

// The sequence's settings as the alert reads them, at every start.
SequenceSettings ReadAlertSettings(SettingsStore& store);

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
  explicit Alerts(const AlertServices& services);
  Alerts(const Alerts&) = delete;
  Alerts& operator=(const Alerts&) = delete;

  // The desktop's notifications; none (the default) sends none. The notifier
  // must outlive the alerts or be taken away first.
  void SetNotifier(DesktopNotifier* notifier) { notifier_ = notifier; }

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
  // A check of `entry` passed: when the entry had raised an alert since it
  // last passed, the desktop is told once that it is back.
  void OnEntryPassed(const UrlEntry& entry);

  // Handles IDT_ALERT_DURATION and IDT_VIBRATE_PULSE; false for any other id.
  bool OnTimer(std::uint32_t id);

  // UTC seconds of the last start of the unacknowledged alert; 0 = none.
  std::int64_t AlertTime() const { return alertTime_; }

 private:
  AlertServices s_;
  AlertSequence sequence_;
  DesktopNotifier* notifier_ = nullptr;
  std::int64_t alertTime_ = 0;
  // Folded titles of the entries that raised an alert and have not passed
  // since. Kept in memory, as the pending alert is.
  std::set<std::u16string> failedTitles_;
};

}  // namespace halvern
