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
#include <string_view>
#include <vector>

#include "alert_sequence.h"

namespace halvern {

class Clock;
class DesktopNotifier;
class EntryStates;
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

// A failure the desktop's notification names while the alert is pending.
struct PendingFailure {
  std::u16string title;
  std::u16string url;
  std::u16string reason;  // what failed: the row's text after "Failed. "
};

// The most failures the alert's notification names one by one.
inline constexpr std::size_t kNoticeNamesShown = 5;

// The desktop notification of the pending alert: one failure names its title,
// address and reason; several are counted and named one a line with their
// reasons, the first kNoticeNamesShown of them, then "and N more".
DesktopNotice AlertNotice(const std::vector<PendingFailure>& failures);
// "<title> is back", and "after <how long>" when the outage's length is known.
DesktopNotice BackNotice(const UrlEntry& entry, std::optional<std::int64_t> downSeconds = {});

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
  // Told whether an alert is pending (the tray blinks); none tells nothing.
  // It must outlive the alerts or be taken away first.
  void SetEntryStates(EntryStates* states) { states_ = states; }

  // Ends any earlier alert, shows the popup for `entry` and starts the alert.
  // The desktop's notification names every failure raised since the user
  // last acknowledged, each with its `reason` (empty: `text`, or the standard
  // "Verification failed."), and is updated in place.
  void RaiseAlert(const UrlEntry& entry, const std::optional<std::u16string>& text,
                  std::u16string_view reason = {});
  void StartAlert();
  void StopAlert(bool includeLed);
  // Stops everything, destroys the popup and forgets the pending alert.
  void AcknowledgeAlert();
  // -1 when no repeat is pending, else whole minutes to the next one (0: due).
  int MinutesToNextRepeat() const;
  void RepeatAlertIfDue();
  void SetLed(int device, bool on);
  // A check of `entry` passed: when the entry had raised an alert since it
  // last passed (or had failed when the program started), the desktop is
  // told once that it is back, and for how long it was down: from the first
  // failure logged after `lastSuccessBefore` (the stored last success before
  // this check) to the entry's lastSuccessTime. The failure leaves the
  // pending alert's notification.
  void OnEntryPassed(const UrlEntry& entry, std::int64_t lastSuccessBefore = 0);
  // An entry known to be down without an alert of this run of the program
  // (it had failed when the program started): its pass is told as "back".
  void NoteDown(const std::u16string& title);
  const std::vector<PendingFailure>& PendingFailures() const { return pending_; }

  // Handles IDT_ALERT_DURATION and IDT_VIBRATE_PULSE; false for any other id.
  bool OnTimer(std::uint32_t id);

  // UTC seconds of the last start of the unacknowledged alert; 0 = none.
  std::int64_t AlertTime() const { return alertTime_; }

 private:
  // Stops the alert and forgets it, keeping the failures it names.
  void EndAlert();
  void SetAlertTime(std::int64_t time);

  AlertServices s_;
  AlertSequence sequence_;
  DesktopNotifier* notifier_ = nullptr;
  EntryStates* states_ = nullptr;
  std::int64_t alertTime_ = 0;
  // The failures raised since the user last acknowledged, oldest first.
  std::vector<PendingFailure> pending_;
  // Folded titles of the entries that raised an alert and have not passed
  // since. Kept in memory, as the pending alert is.
  std::set<std::u16string> failedTitles_;
};

}  // namespace halvern
