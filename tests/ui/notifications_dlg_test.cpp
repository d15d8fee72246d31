// The alert settings dialog on its own: the values shown and handed back, the
// duration's integer rule, the file chooser, and the test alert on the
// dialog's own timers, which any way of closing stops at once.

#include <gtest/gtest.h>

#include <QtGui/QFileSystemModel>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <map>
#include <set>

#include "alerts.h"
#include "fakes.h"
#include "manual_host.h"
#include "notifications_dlg.h"
#include "qt_window_host.h"
#include "recording_host.h"
#include "temp_store.h"
#include "ui_test_util.h"

namespace halvern::test {
namespace {

using namespace halvern::res;
using ui::CNotificationsDlg;
using ui::IDT_TEST_DURATION;
using ui::IDT_TEST_VIBRATE;

const QString kInstalled = QStringLiteral("/opt/halvern/share/halvern/sounds/Halvern.wav");

class NotificationsDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessageBoxes();
    ui::FileDialogScript::Reset();
  }
  void TearDown() override {
    dlg_.reset();
    ui::MessageBoxScript::Reset();
    ui::FileDialogScript::Reset();
  }

  // A dialog with the given values, built and shown; `values` sets them.
  CNotificationsDlg& Open(const std::function<void(CNotificationsDlg&)>& values = {}) {
    dlg_ = std::make_unique<CNotificationsDlg>(sound_, leds_, nullptr, &timers_);
    dlg_->defaultSoundFile = kInstalled;
    dlg_->soundFile = QStringLiteral("/sounds/bell.wav");
    if (values) values(*dlg_);
    dlg_->Create();
    dlg_->show();
    return *dlg_;
  }
  QLineEdit* Edit(int id) { return dlg_->Control<QLineEdit>(id); }
  QCheckBox* Box(int id) { return dlg_->Control<QCheckBox>(id); }
  QComboBox* Repeats() { return dlg_->Control<QComboBox>(IDC_NOTIFY_REPEAT); }
  void Click(int id) { dlg_->Control<QPushButton>(id)->click(); }
  void ClickRow(QDialogButtonBox::StandardButton button) {
    dlg_->findChild<QDialogButtonBox*>()->button(button)->click();
  }
  // Sound, LED and vibrator all off and no timer running.
  void ExpectQuiet() {
    EXPECT_FALSE(sound_.playing);
    EXPECT_FALSE(leds_.state[0]);
    EXPECT_FALSE(leds_.state[1]);
    EXPECT_TRUE(timers_.timers.empty());
  }

  FakeSound sound_;
  FakeLeds leds_;
  ManualHost timers_;
  std::unique_ptr<CNotificationsDlg> dlg_;
};

TEST_F(NotificationsDlgTest, ShowsItsValues) {
  CNotificationsDlg& dlg = Open([](CNotificationsDlg& d) {
    d.duration = 20;
    d.enableVibrate = 0;
    d.repeat = 2;
  });
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Notifications"));
  EXPECT_EQ(Edit(IDC_NOTIFY_DURATION)->text(), QStringLiteral("20"));
  EXPECT_EQ(Edit(IDC_NOTIFY_SOUND_FILE)->text(), QStringLiteral("/sounds/bell.wav"));
  EXPECT_TRUE(Box(IDC_NOTIFY_SOUND_ENABLE)->isChecked());
  EXPECT_FALSE(Box(IDC_NOTIFY_VIBRATE)->isChecked());
  EXPECT_TRUE(Box(IDC_NOTIFY_LED)->isChecked());
  const std::vector<QString> choices = {
      QStringLiteral("Never"),        QStringLiteral("Every 3 min"),
      QStringLiteral("Every 5 min"),  QStringLiteral("Every 10 min"),
      QStringLiteral("Every 15 min"), QStringLiteral("Every 30 min"),
      QStringLiteral("Every 60 min")};
  ASSERT_EQ(Repeats()->count(), 7);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(Repeats()->itemText(i), choices[i]);
  EXPECT_EQ(Repeats()->currentIndex(), 2);
  ExpectQuiet();
}

TEST_F(NotificationsDlgTest, EmptySoundFileShowsTheInstalledSound) {
  CNotificationsDlg& dlg = Open([](CNotificationsDlg& d) { d.soundFile.clear(); });
  EXPECT_EQ(Edit(IDC_NOTIFY_SOUND_FILE)->text(), kInstalled);
  ClickRow(QDialogButtonBox::Ok);
  EXPECT_EQ(dlg.result(), IDOK);
  EXPECT_EQ(dlg.soundFile, kInstalled);
}

TEST_F(NotificationsDlgTest, RepeatOutOfRangeShowsNoSelectionAndGivesMinusOne) {
  for (const std::int32_t repeat : {9, 7, -1}) {
    SCOPED_TRACE(repeat);
    CNotificationsDlg& dlg = Open([repeat](CNotificationsDlg& d) { d.repeat = repeat; });
    EXPECT_EQ(Repeats()->currentIndex(), -1);
    ClickRow(QDialogButtonBox::Ok);
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_EQ(dlg.repeat, -1);
  }
  CNotificationsDlg& dlg = Open([](CNotificationsDlg& d) { d.repeat = 9; });
  ChooseComboItem(Repeats(), 6);
  ClickRow(QDialogButtonBox::Ok);
  EXPECT_EQ(dlg.repeat, 6);
}

TEST_F(NotificationsDlgTest, OkHandsBackWhatIsOnScreen) {
  CNotificationsDlg& dlg = Open();
  Edit(IDC_NOTIFY_DURATION)->setText(QStringLiteral("20sec"));
  Edit(IDC_NOTIFY_SOUND_FILE)->setText(QString());
  Box(IDC_NOTIFY_SOUND_ENABLE)->click();
  Box(IDC_NOTIFY_LED)->click();
  ChooseComboItem(Repeats(), 0);
  ClickRow(QDialogButtonBox::Ok);
  EXPECT_EQ(dlg.result(), IDOK);
  EXPECT_EQ(dlg.duration, 20);
  EXPECT_EQ(dlg.soundFile, QString()) << "an empty name typed at OK is kept";
  EXPECT_EQ(dlg.enableSound, 0);
  EXPECT_EQ(dlg.enableVibrate, 1);
  EXPECT_EQ(dlg.enableLed, 0);
  EXPECT_EQ(dlg.repeat, 0);
}

TEST_F(NotificationsDlgTest, DurationFollowsTheIntegerRule) {
  const std::pair<QString, int> accepted[] = {
      {QStringLiteral("0"), 0},
      {QStringLiteral("-3"), -3},
      {QStringLiteral("20sec"), 20},
      {QStringLiteral("  45"), 45},
      // Only the first 63 characters are read.
      {QString(62, u' ') + QStringLiteral("12"), 1},
  };
  for (const auto& [text, value] : accepted) {
    SCOPED_TRACE(text.toStdString());
    CNotificationsDlg& dlg = Open();
    Edit(IDC_NOTIFY_DURATION)->setText(text);
    ClickRow(QDialogButtonBox::Ok);
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_EQ(dlg.duration, value);
  }
  EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty());
}

TEST_F(NotificationsDlgTest, DurationWithoutANumberKeepsTheDialogOpen) {
  for (const QString& text : {QString(), QStringLiteral("sec"), QString(63, u' ') + u'5'}) {
    SCOPED_TRACE(text.toStdString());
    CNotificationsDlg& dlg = Open([](CNotificationsDlg& d) {
      d.duration = 15;
      d.repeat = 4;
    });
    Edit(IDC_NOTIFY_DURATION)->setText(text);
    Edit(IDC_NOTIFY_SOUND_FILE)->setText(QStringLiteral("/sounds/horn.wav"));
    Box(IDC_NOTIFY_VIBRATE)->click();
    ChooseComboItem(Repeats(), 1);
    ClickRow(QDialogButtonBox::Ok);
    EXPECT_EQ(ShownTexts(), std::vector<QString>{QStringLiteral("Please enter an integer.")});
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_NE(dlg.result(), IDOK);
    EXPECT_EQ(dlg.focusWidget(), Edit(IDC_NOTIFY_DURATION));
    EXPECT_EQ(dlg.duration, 15);
    // Taken before the duration: sound file and boxes; after it: not the repeat.
    EXPECT_EQ(dlg.soundFile, QStringLiteral("/sounds/horn.wav"));
    EXPECT_EQ(dlg.enableVibrate, 0);
    EXPECT_EQ(dlg.repeat, 4);
  }
}

TEST_F(NotificationsDlgTest, TestPlaysWhatIsOnScreen) {
  Open([](CNotificationsDlg& d) { d.duration = 15; });
  Edit(IDC_NOTIFY_DURATION)->setText(QStringLiteral("7"));
  Edit(IDC_NOTIFY_SOUND_FILE)->setText(QStringLiteral("/sounds/horn.wav"));
  Click(IDC_NOTIFY_TEST);
  EXPECT_TRUE(sound_.playing);
  EXPECT_EQ(sound_.lastFile, u"/sounds/horn.wav");
  EXPECT_TRUE(leds_.state[0]);
  EXPECT_FALSE(leds_.state[1]) << "the first pulse switches the vibrator";
  EXPECT_EQ(timers_.timers, (std::map<std::uint32_t, std::uint32_t>{{1001, 7000}, {1002, 500}}));

  // The pulses follow the dialog's own toggle, not the alert's.
  SetVibrationToggle(true);
  const bool before = ui::TestVibrationToggle();
  dlg_->OnTimer(IDT_TEST_VIBRATE);
  EXPECT_EQ(leds_.state[1], !before);
  dlg_->OnTimer(IDT_TEST_VIBRATE);
  EXPECT_EQ(leds_.state[1], before);
  EXPECT_EQ(ui::TestVibrationToggle(), before);
  EXPECT_TRUE(VibrationToggle());

  // The end of the test switches everything off, the LED too.
  if (!leds_.state[1]) dlg_->OnTimer(IDT_TEST_VIBRATE);
  ASSERT_TRUE(leds_.state[1]);
  dlg_->OnTimer(IDT_TEST_DURATION);
  ExpectQuiet();
  EXPECT_TRUE(dlg_->isVisible()) << "the dialog stays open";
}

TEST_F(NotificationsDlgTest, TestWithEverythingOffStillRunsItsEndTimer) {
  Open([](CNotificationsDlg& d) {
    d.duration = 3;
    d.enableSound = 0;
    d.enableVibrate = 0;
    d.enableLed = 0;
  });
  Click(IDC_NOTIFY_TEST);
  EXPECT_FALSE(sound_.playing);
  EXPECT_FALSE(leds_.state[0]);
  EXPECT_EQ(timers_.timers, (std::map<std::uint32_t, std::uint32_t>{{1001, 3000}}));
  dlg_->OnTimer(IDT_TEST_DURATION);
  ExpectQuiet();
}

TEST_F(NotificationsDlgTest, SecondTestRestartsTheDuration) {
  Open([](CNotificationsDlg& d) { d.duration = 10; });
  Click(IDC_NOTIFY_TEST);
  timers_.calls.clear();
  Edit(IDC_NOTIFY_DURATION)->setText(QStringLiteral("4"));
  Click(IDC_NOTIFY_TEST);
  // Everything stops first, then the end timer starts again from zero.
  EXPECT_EQ(timers_.calls,
            (std::vector<std::string>{"kill 1002", "kill 1001", "set 1001 4000", "set 1002 500"}));
  EXPECT_TRUE(sound_.playing);
  EXPECT_TRUE(leds_.state[0]);
}

TEST_F(NotificationsDlgTest, TestWithABadDurationSaysSoAndUsesTheLastOne) {
  CNotificationsDlg& dlg = Open([](CNotificationsDlg& d) { d.duration = 15; });
  Edit(IDC_NOTIFY_DURATION)->setText(QStringLiteral("soon"));
  Click(IDC_NOTIFY_TEST);
  EXPECT_EQ(ShownTexts(), std::vector<QString>{QStringLiteral("Please enter an integer.")});
  EXPECT_EQ(timers_.timers.at(1001), 15000u);
  EXPECT_TRUE(sound_.playing);
  EXPECT_EQ(dlg.duration, 15);
}

TEST_F(NotificationsDlgTest, DurationsBelowOneEndTheTestAtOnce) {
  for (const char* text : {"0", "-3"}) {
    SCOPED_TRACE(text);
    Open();
    Edit(IDC_NOTIFY_DURATION)->setText(QString::fromUtf8(text));
    Click(IDC_NOTIFY_TEST);
    EXPECT_EQ(timers_.timers.at(1001), 0u);
  }
}

TEST_F(NotificationsDlgTest, AnyWayOfClosingStopsTheTest) {
  const std::function<void()> closers[] = {
      [this] { ClickRow(QDialogButtonBox::Cancel); },
      [this] { ClickRow(QDialogButtonBox::Ok); },
      [this] { QTest::keyClick(dlg_.get(), Qt::Key_Escape); },
      [this] { dlg_->close(); },
      [this] { dlg_.reset(); },
  };
  int n = 0;
  for (const auto& close : closers) {
    SCOPED_TRACE(n++);
    Open();
    Click(IDC_NOTIFY_TEST);
    dlg_->OnTimer(IDT_TEST_VIBRATE);
    if (!leds_.state[1]) dlg_->OnTimer(IDT_TEST_VIBRATE);
    ASSERT_TRUE(sound_.playing && leds_.state[0] && leds_.state[1]);
    close();
    ExpectQuiet();
    if (dlg_) {
      EXPECT_FALSE(dlg_->isVisible());
    }
  }
}

TEST_F(NotificationsDlgTest, RealTimersEndTheTestAndCancelStopsOneAtOnce) {
  // Real Qt timers, seen through a host that keeps the table of those running.
  QtWindowHost real;
  RecordingHost timers(real);
  dlg_ = std::make_unique<CNotificationsDlg>(sound_, leds_, nullptr, &timers);
  real.SetHandler(dlg_.get());
  CNotificationsDlg& dlg = *dlg_;
  dlg.defaultSoundFile = kInstalled;
  dlg.duration = 1;
  dlg.Create();
  dlg.show();
  Click(IDC_NOTIFY_TEST);
  EXPECT_TRUE(sound_.playing);
  EXPECT_TRUE(WaitFor([&] { return !sound_.playing; })) << "the end timer fires";
  EXPECT_FALSE(leds_.state[0]);
  EXPECT_FALSE(leds_.state[1]);
  EXPECT_TRUE(timers.running.empty());

  Edit(IDC_NOTIFY_DURATION)->setText(QStringLiteral("600"));
  Click(IDC_NOTIFY_TEST);
  EXPECT_TRUE(WaitFor([&] { return leds_.state[1]; })) << "the vibrator pulses";
  ClickRow(QDialogButtonBox::Cancel);
  EXPECT_EQ(dlg.result(), IDCANCEL);
  EXPECT_FALSE(sound_.playing);
  EXPECT_FALSE(leds_.state[0]);
  EXPECT_FALSE(leds_.state[1]);
  // No pulse comes after the dialog has closed: no timer is left to bring one.
  EXPECT_TRUE(timers.running.empty());
  dlg_.reset();
  real.Close();
}

TEST_F(NotificationsDlgTest, BrowsePutsTheChosenFileIntoItsField) {
  CNotificationsDlg& dlg = Open();
  Edit(IDC_NOTIFY_DURATION)->setText(QStringLiteral("33"));
  ui::FileDialogScript::PresetAnswers({QStringLiteral("/home/user/alarm.mid"), std::nullopt});
  Click(IDC_NOTIFY_BROWSE);
  EXPECT_EQ(Edit(IDC_NOTIFY_SOUND_FILE)->text(), QStringLiteral("/home/user/alarm.mid"));
  EXPECT_EQ(Edit(IDC_NOTIFY_DURATION)->text(), QStringLiteral("33")) << "other edits stay";
  Click(IDC_NOTIFY_BROWSE);  // cancelled: nothing changes
  EXPECT_EQ(Edit(IDC_NOTIFY_SOUND_FILE)->text(), QStringLiteral("/home/user/alarm.mid"));
  ClickRow(QDialogButtonBox::Ok);
  EXPECT_EQ(dlg.soundFile, QStringLiteral("/home/user/alarm.mid"));
  EXPECT_EQ(dlg.duration, 33);
}

// The names of the files the open-file dialog lists in `folder`.
std::set<QString> ListedFiles(QFileDialog& dialog, const QString& folder) {
  auto* model = dialog.findChild<QFileSystemModel*>();
  std::set<QString> names;
  if (model == nullptr) return names;
  const QModelIndex parent = model->index(folder);
  if (!QTest::qWaitFor([&] { return model->rowCount(parent) > 0; }, 10000)) return names;
  QTest::qWait(200);  // the last files of the folder
  for (int row = 0; row < model->rowCount(parent); ++row) {
    const QModelIndex index = model->index(row, 0, parent);
    if (!model->isDir(index)) names.insert(model->fileName(index));
  }
  return names;
}

TEST(SoundFileDialogTest, EachTypeReadsOnceAndMatchesItsFiles) {
  TempDir dir;
  const QString folder = QString::fromStdString(dir.path().string());
  for (const char* name : {"bell.wav", "tune.mid", "voice.wma", "notes.txt", "README"}) {
    QFile file(folder + QLatin1Char('/') + QString::fromUtf8(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  const auto dialog = ui::MakeSoundFileDialog(nullptr);
  dialog->setDirectory(folder);
  auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
  ASSERT_NE(types, nullptr);
  ASSERT_EQ(types->count(), 2);
  EXPECT_EQ(types->itemText(0), QStringLiteral("Sound Files (*.wav;*.wma;*.mid)"));
  EXPECT_EQ(types->itemText(1), QStringLiteral("All Files (*.*)"));
  EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);

  EXPECT_EQ(ListedFiles(*dialog, folder),
            (std::set<QString>{QStringLiteral("bell.wav"), QStringLiteral("tune.mid"),
                               QStringLiteral("voice.wma")}));
  dialog->selectNameFilter(QString::fromUtf8(ui::kSoundFileTypes[1]));
  EXPECT_EQ(ListedFiles(*dialog, folder).size(), 5u) << "a file without a dot is a file too";
}

}  // namespace
}  // namespace halvern::test
