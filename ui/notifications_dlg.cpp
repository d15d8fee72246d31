#include "notifications_dlg.h"

#include <QtGui/QHideEvent>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLineEdit>
#include <algorithm>
#include <limits>

#include "alert_devices.h"
#include "alerts.h"
#include "message_box.h"
#include "qt_window_host.h"

namespace halvern::ui {
namespace {

// The duration is read from at most the first 63 characters of its field;
// a field that holds no more than that gives the same reading.
constexpr int kDurationChars = 63;

bool testVibrationToggle = false;

}  // namespace

bool TestVibrationToggle() { return testVibrationToggle; }

CNotificationsDlg::CNotificationsDlg(SoundPlayer& sound, LedDevices& leds, QWidget* owner,
                                     WindowHost* timers)
    : CDialog(res::IDD_NOTIFY_SETTINGS, owner), sound_(sound), leds_(leds), timers_(timers) {
  if (timers_ == nullptr) {
    ownTimers_ = std::make_unique<QtWindowHost>(this);
    timers_ = ownTimers_.get();
  }
  MapCommand(res::IDC_NOTIFY_TEST, [this] { Test(); });
  MapCommand(res::IDC_NOTIFY_BROWSE, [this] { OnBrowse(); });
}

// No sound, vibration or LED of a test outlives the dialog.
CNotificationsDlg::~CNotificationsDlg() { StopTest(); }

bool CNotificationsDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  Control<QLineEdit>(res::IDC_NOTIFY_DURATION)->setMaxLength(kDurationChars);
  auto* repeats = Control<QComboBox>(res::IDC_NOTIFY_REPEAT);
  for (const char* choice : kRepeatChoices) repeats->addItem(QString::fromUtf8(choice));
  if (soundFile.isEmpty()) soundFile = defaultSoundFile;
  UpdateData(false);
  return true;
}

// Reading stops at a duration without a number: the sound file and the boxes
// before it are taken, the repeat index after it is not.
void CNotificationsDlg::DoDataExchange(DataExchange& dx) {
  dx.Text(res::IDC_NOTIFY_SOUND_FILE, soundFile);
  dx.Check(res::IDC_NOTIFY_SOUND_ENABLE, enableSound);
  dx.Check(res::IDC_NOTIFY_VIBRATE, enableVibrate);
  dx.Check(res::IDC_NOTIFY_LED, enableLed);
  dx.Int(res::IDC_NOTIFY_DURATION, duration);
  dx.ComboIndex(res::IDC_NOTIFY_REPEAT, repeat);
}

void CNotificationsDlg::Test() {
  // A duration without a number has said so; the test runs with the last one.
  UpdateData(true);
  StopTest();
  // A duration of 0 or less ends the test at the next turn of the event loop.
  const std::int64_t milliseconds = std::clamp<std::int64_t>(
      std::int64_t{duration} * 1000, 0, std::numeric_limits<std::int32_t>::max());
  timers_->SetTimer(IDT_TEST_DURATION, static_cast<std::uint32_t>(milliseconds));
  if (enableSound != 0) sound_.PlayLooping(soundFile.toStdU16String());
  if (enableVibrate != 0) timers_->SetTimer(IDT_TEST_VIBRATE, kVibratePulseMs);
  if (enableLed != 0) leds_.SetLed(kLedNotification, true);
}

void CNotificationsDlg::StopTest() {
  leds_.SetLed(kLedNotification, false);
  leds_.SetLed(kLedVibrator, false);
  sound_.Stop();
  timers_->KillTimer(IDT_TEST_VIBRATE);
  timers_->KillTimer(IDT_TEST_DURATION);
}

void CNotificationsDlg::OnTimer(std::uint32_t id) {
  if (id == IDT_TEST_VIBRATE) {
    leds_.SetLed(kLedVibrator, !testVibrationToggle);
    testVibrationToggle = !testVibrationToggle;
  } else if (id == IDT_TEST_DURATION) {
    // Unlike a real alert, the end of a test switches the LED off too.
    StopTest();
  }
}

void CNotificationsDlg::OnBrowse() {
  const auto file =
      GetOpenFileName(this, QString(), QString(), QString::fromUtf8(kSoundFileFilter));
  if (!file) return;
  // Only the file field is refreshed: edits made in the other fields since the
  // last Test stay as typed.
  soundFile = *file;
  Control<QLineEdit>(res::IDC_NOTIFY_SOUND_FILE)->setText(soundFile);
}

void CNotificationsDlg::hideEvent(QHideEvent* event) {
  // Closing by OK, Cancel, Esc or the title bar hides the dialog; a window
  // manager's minimising (a spontaneous hide) does not end it.
  if (!event->spontaneous()) StopTest();
  CDialog::hideEvent(event);
}

}  // namespace halvern::ui
