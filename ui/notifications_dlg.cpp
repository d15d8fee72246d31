#include "notifications_dlg.h"

#include <QtGui/QHideEvent>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLineEdit>

#include "alert_devices.h"
#include "alerts.h"
#include "message_box.h"
#include "qt_window_host.h"

namespace halvern::ui {
namespace {

// The duration is read from at most the first 63 characters of its field;
// a field that holds no more than that gives the same reading.
constexpr int kDurationChars = 63;

// Atomic for the same reason as the alert's toggle: a test may read it from
// another thread.
std::atomic<bool> testVibrationToggle{false};

}  // namespace

bool TestVibrationToggle() { return testVibrationToggle.load(); }

std::unique_ptr<QFileDialog> MakeSoundFileDialog(QWidget* parent) {
  auto dialog = std::make_unique<QFileDialog>(parent);
  dialog->setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
  dialog->setFileMode(QFileDialog::ExistingFile);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setWindowModality(Qt::WindowModal);  // the alert popup stays usable
  QStringList types;
  for (const char* type : kSoundFileTypes) types << QString::fromUtf8(type);
  dialog->setNameFilters(types);
  return dialog;
}

CNotificationsDlg::CNotificationsDlg(SoundPlayer& sound, LedDevices& leds, QWidget* owner,
                                     WindowHost* timers)
    : CDialog(res::IDD_NOTIFY_SETTINGS, owner), timers_(timers) {
  if (timers_ == nullptr) {
    ownTimers_ = std::make_unique<QtWindowHost>(this);
    timers_ = ownTimers_.get();
  }
  sequence_ = std::make_unique<AlertSequence>(*timers_, sound, leds, testVibrationToggle,
                                              SequenceEnd::kLedOff);
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
  SequenceSettings settings;
  settings.durationSeconds = duration;
  settings.soundFile = soundFile.toStdU16String();
  settings.sound = enableSound != 0;
  settings.vibrate = enableVibrate != 0;
  settings.led = enableLed != 0;
  sequence_->Start(settings);
}

void CNotificationsDlg::StopTest() { sequence_->Stop(true); }

void CNotificationsDlg::OnTimer(std::uint32_t id) { sequence_->OnTimer(id); }

void CNotificationsDlg::OnBrowse() {
  std::optional<QString> file;
  if (auto answer = FileDialogScript::NextAnswer()) {
    file = *answer;
  } else {
    const auto dialog = MakeSoundFileDialog(this);
    if (dialog->exec() == QDialog::Accepted && !dialog->selectedFiles().isEmpty()) {
      file = dialog->selectedFiles().front();
    }
  }
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
