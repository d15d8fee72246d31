#pragma once
// CNotificationsDlg: the alert settings (template 135): how long sound and
// vibration last, how often an unacknowledged alert repeats, the sound file,
// and whether sound, vibrator and LED are used. Test plays an alert with the
// values on screen: the alert's sequence, on the dialog's own timers (1001
// ends the test, 1002 pulses the vibrator) and its own vibration toggle, and
// its end switches the LED off too; any way of closing the dialog stops a
// running test at once. The Notifications command sets the
// members before the run and stores them after OK.

#include <QtCore/QString>
#include <cstdint>
#include <memory>

#include "alert_sequence.h"
#include "dialog.h"
#include "window_host.h"

class QFileDialog;

namespace halvern {
class LedDevices;
class QtWindowHost;
class SoundPlayer;
}  // namespace halvern

namespace halvern::ui {

// The dialog's timers; the same numbers as the alert's, but on the dialog.
inline constexpr std::uint32_t IDT_TEST_DURATION = IDT_ALERT_DURATION;
inline constexpr std::uint32_t IDT_TEST_VIBRATE = IDT_VIBRATE_PULSE;

// The entries of the repeat list; an entry's position is the stored index.
inline constexpr const char* kRepeatChoices[] = {
    "Never",        "Every 3 min",  "Every 5 min",  "Every 10 min",
    "Every 15 min", "Every 30 min", "Every 60 min",
};

// The open-file dialog's file types. Qt's dialog shows each name without its
// last parenthesised part, and matches the patterns of that part: the user sees
// the names once, and the patterns are the ones that hold on Linux ("*.*"
// would pass over files without a dot).
inline constexpr const char* kSoundFileTypes[] = {
    "Sound Files (*.wav;*.wma;*.mid) (*.wav *.wma *.mid)",
    "All Files (*.*) (*)",
};

// The open-file dialog of "...": Qt's own, so that the file types read as
// above on every desktop; the chosen file must exist.
std::unique_ptr<QFileDialog> MakeSoundFileDialog(QWidget* parent);

// The vibration toggle of the dialog's test: whether its last pulse switched
// the vibrator on. Process-wide and apart from the alert's own toggle.
bool TestVibrationToggle();

class CNotificationsDlg : public CDialog, public WindowHandler {
  Q_OBJECT

 public:
  // `sound` and `leds` drive the test. `timers` runs the dialog's timers and
  // delivers their ticks to OnTimer; nothing = the dialog's own Qt timers. Both
  // must outlive the dialog.
  CNotificationsDlg(SoundPlayer& sound, LedDevices& leds, QWidget* owner = nullptr,
                    WindowHost* timers = nullptr);
  ~CNotificationsDlg() override;

  std::int32_t duration = 15;  // seconds; any integer is accepted
  QString soundFile;           // empty: shown as `defaultSoundFile`
  std::int32_t enableSound = 1;
  std::int32_t enableVibrate = 1;
  std::int32_t enableLed = 1;
  std::int32_t repeat = 4;  // position in the repeat list; -1 = none chosen
  // Shown (and stored at OK) in place of an empty sound file.
  QString defaultSoundFile;

  // Starts a test with the values on screen, ending any test in progress.
  void Test();
  // Ends a running test: LED and vibrator off, sound stopped, timers killed.
  void StopTest();

  // WindowHandler: the ticks of the dialog's timers.
  void OnMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
  void OnTimer(std::uint32_t id) override;

 protected:
  bool OnInitDialog() override;
  void DoDataExchange(DataExchange& dx) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void OnBrowse();

  std::unique_ptr<QtWindowHost> ownTimers_;
  WindowHost* timers_;
  std::unique_ptr<AlertSequence> sequence_;
};

}  // namespace halvern::ui
