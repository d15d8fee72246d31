// The main window's settings commands end to end: Timetable (1006), Proxy
// Server (1002) and Notifications (1004) read the store into their dialogs and
// write every value back only after OK; the timetable then books the next
// wake-up.

#include <gtest/gtest.h>

#include <QtCore/QPointer>
#include <QtTest/QTest>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>

#include "button_ex.h"
#include "main_window_fixture.h"
#include "notifications_dlg.h"
#include "proxy_dlg.h"
#include "settings.h"
#include "settings_store.h"
#include "sound_player.h"
#include "timed_run_service.h"
#include "timetable_dlg.h"

namespace halvern::test {
namespace {

using namespace halvern::res;
using ui::CNotificationsDlg;
using ui::CProxyDlg;
using ui::CTimetableDlg;

void ClickOk(ui::CDialog* dialog) {
  dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
}
void ClickCancel(ui::CDialog* dialog) {
  dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
}
QString Text(ui::CDialog* dialog, int id) { return dialog->Control<QLineEdit>(id)->text(); }

constexpr std::int32_t kMissing = 0x5EEDF00D;  // no setting holds it

class SettingsCommandsTest : public MainWindowTest {
 protected:
  // The stored integer, or kMissing.
  std::int32_t StoredInt(const IntSetting& setting) {
    return temp_.store().ReadSettingInt(kSettingsSection, setting.name, kMissing);
  }
  std::optional<std::u16string> StoredString(const StringSetting& setting) {
    const std::u16string missing = u"<missing>";
    std::u16string value =
        temp_.store().ReadSettingString(kSettingsSection, setting.name, missing.c_str());
    if (value == missing) return std::nullopt;
    return value;
  }
  void WriteInt(const IntSetting& setting, std::int32_t value) {
    EXPECT_TRUE(WriteSetting(temp_.store(), setting, value));
  }
  // Runs command `id` on the main window; `act` drives its dialog, which must
  // be closed by it.
  template <typename T>
  void Run(int id, std::function<void(T*)> act) {
    bool acted = false;
    OnNextModal<T>([&](T* dlg) {
      acted = true;
      act(dlg);
    });
    window_->SendCommand(id);
    EXPECT_TRUE(acted);
  }
};

// --- Timetable (1006) ---

TEST_F(SettingsCommandsTest, TimetableOnAFreshStoreWritesTheDefaultsAndBooksAWakeUp) {
  Open();
  const std::size_t bookings = timedRun_.bookings.size();
  const std::int64_t before = clock_.Now();
  Run<CTimetableDlg>(IDC_TIMETABLE, [](CTimetableDlg* dlg) {
    EXPECT_EQ(Text(dlg, IDC_TIMETABLE_FREQUENCY), QStringLiteral("45"));
    EXPECT_EQ(dlg->Control<QComboBox>(IDC_TIMETABLE_LABELS)->currentText(),
              QStringLiteral("12 hours"));
    for (int hour = 0; hour < ui::kHourCount; ++hour) EXPECT_EQ(dlg->Cell(hour)->GetOn(), 1);
    EXPECT_EQ(dlg->Cell(0)->text(), QStringLiteral("12am"));
    EXPECT_EQ(dlg->Cell(12)->text(), QStringLiteral("12pm"));
    ClickOk(dlg);
  });
  const std::int64_t after = clock_.Now();
  EXPECT_EQ(StoredInt(kFrequency), 45);
  EXPECT_EQ(StoredInt(kTimeFormat), 0);
  EXPECT_EQ(StoredInt(kTimetable), -1);
  // The next wake-up is booked anew: Frequency minutes and 1 second from now.
  ASSERT_EQ(timedRun_.bookings.size(), bookings + 1);
  ASSERT_TRUE(timedRun_.bookings.back().has_value());
  const auto at = LocalTimeToEpoch(*timedRun_.bookings.back());
  ASSERT_TRUE(at.has_value());
  EXPECT_GE(*at, before + 45 * 60 + 1 - 1);
  EXPECT_LE(*at, after + 45 * 60 + 1);
}

TEST_F(SettingsCommandsTest, TimetableStoresTheNewValuesAndBooksFromTheNewFrequency) {
  WriteInt(kTimetable, 0);
  WriteInt(kTimeFormat, 1);
  Open();
  const std::int64_t before = clock_.Now();
  Run<CTimetableDlg>(IDC_TIMETABLE, [](CTimetableDlg* dlg) {
    for (int hour = 0; hour < ui::kHourCount; ++hour) EXPECT_EQ(dlg->Cell(hour)->GetOn(), 0);
    ASSERT_EQ(dlg->Cell(10)->text(), QStringLiteral("10"));
    QTest::mouseClick(dlg->Cell(10), Qt::LeftButton);
    dlg->Control<QLineEdit>(IDC_TIMETABLE_FREQUENCY)->setText(QStringLiteral("15min"));
    ClickOk(dlg);
  });
  EXPECT_EQ(StoredInt(kTimetable), 1024);
  EXPECT_EQ(StoredInt(kFrequency), 15);
  EXPECT_EQ(StoredInt(kTimeFormat), 1);
  const auto at = LocalTimeToEpoch(timedRun_.bookings.back().value());
  ASSERT_TRUE(at.has_value());
  EXPECT_GE(*at, before + 15 * 60);
  EXPECT_LE(*at, clock_.Now() + 15 * 60 + 1);
}

TEST_F(SettingsCommandsTest, TimetableKeepsBitsAboveTheHoursAcrossOks) {
  const auto stored = static_cast<std::int32_t>(0xC3FFFFFF);
  WriteInt(kTimetable, stored);
  Open();
  for (int round = 0; round < 3; ++round) {
    Run<CTimetableDlg>(IDC_TIMETABLE, [round](CTimetableDlg* dlg) {
      if (round == 1) QTest::mouseClick(dlg->Cell(23), Qt::LeftButton);
      ClickOk(dlg);
    });
  }
  EXPECT_EQ(StoredInt(kTimetable), static_cast<std::int32_t>(0xC37FFFFF));
}

TEST_F(SettingsCommandsTest, TimetableCancelChangesNothing) {
  WriteInt(kTimetable, 0x00FF00FF);
  Open();
  const std::size_t bookings = timedRun_.bookings.size();
  Run<CTimetableDlg>(IDC_TIMETABLE, [](CTimetableDlg* dlg) {
    QTest::mouseClick(dlg->Cell(1), Qt::LeftButton);
    dlg->Control<QLineEdit>(IDC_TIMETABLE_FREQUENCY)->setText(QStringLiteral("5"));
    ChooseComboItem(dlg->Control<QComboBox>(IDC_TIMETABLE_LABELS), 1);
    ClickCancel(dlg);
  });
  EXPECT_EQ(StoredInt(kTimetable), 0x00FF00FF);
  EXPECT_EQ(StoredInt(kFrequency), kMissing);
  EXPECT_EQ(StoredInt(kTimeFormat), kMissing);
  EXPECT_EQ(timedRun_.bookings.size(), bookings) << "the booked wake-up stays";
}

TEST_F(SettingsCommandsTest, TimetableWithAnUnknownStyleStoresMinusOne) {
  WriteInt(kTimeFormat, 4);
  Open();
  Run<CTimetableDlg>(IDC_TIMETABLE, [](CTimetableDlg* dlg) {
    EXPECT_EQ(dlg->Control<QComboBox>(IDC_TIMETABLE_LABELS)->currentIndex(), -1);
    EXPECT_EQ(dlg->Cell(3)->text(), QString());
    ClickOk(dlg);
  });
  EXPECT_EQ(StoredInt(kTimeFormat), -1);
}

// --- Proxy Server (1002) ---

TEST_F(SettingsCommandsTest, ProxyOnAFreshStoreWritesTheDefaults) {
  Open();
  Run<CProxyDlg>(IDC_PROXY_SERVER, [](CProxyDlg* dlg) {
    EXPECT_TRUE(dlg->Control<QCheckBox>(IDC_PROXY_DIRECT)->isChecked());
    EXPECT_FALSE(dlg->Control<QCheckBox>(IDC_PROXY_AUTOMATIC)->isChecked());
    EXPECT_FALSE(dlg->Control<QCheckBox>(IDC_PROXY_CUSTOM)->isChecked());
    EXPECT_EQ(Text(dlg, IDC_PROXY_ADDRESS), QString());
    EXPECT_EQ(Text(dlg, IDC_PROXY_PORT), QStringLiteral("8080"));
    EXPECT_FALSE(dlg->GetDlgItem(IDC_PROXY_ADDRESS)->isEnabled());
    EXPECT_FALSE(dlg->GetDlgItem(IDC_PROXY_PORT)->isEnabled());
    ClickOk(dlg);
  });
  EXPECT_EQ(StoredInt(kProxyMode), 1);
  EXPECT_EQ(StoredString(kProxyAddress), u"");
  EXPECT_EQ(StoredInt(kProxyPort), 8080);
}

TEST_F(SettingsCommandsTest, ProxyStoresTheChoiceWithWhateverTheFieldsHold) {
  WriteInt(kProxyMode, 2);
  EXPECT_TRUE(WriteSetting(temp_.store(), kProxyAddress, u"proxy.lan"));
  WriteInt(kProxyPort, 3128);
  Open();
  Run<CProxyDlg>(IDC_PROXY_SERVER, [](CProxyDlg* dlg) {
    EXPECT_TRUE(dlg->Control<QCheckBox>(IDC_PROXY_CUSTOM)->isChecked());
    EXPECT_TRUE(dlg->GetDlgItem(IDC_PROXY_PORT)->isEnabled());
    EXPECT_EQ(Text(dlg, IDC_PROXY_ADDRESS), QStringLiteral("proxy.lan"));
    dlg->Control<QLineEdit>(IDC_PROXY_ADDRESS)->setText(QStringLiteral("10.1.1.1"));
    dlg->Control<QLineEdit>(IDC_PROXY_PORT)->setText(QStringLiteral("8888"));
    QTest::mouseClick(dlg->Control<QCheckBox>(IDC_PROXY_DIRECT), Qt::LeftButton);
    ClickOk(dlg);
  });
  EXPECT_EQ(StoredInt(kProxyMode), 1);
  EXPECT_EQ(StoredString(kProxyAddress), u"10.1.1.1");
  EXPECT_EQ(StoredInt(kProxyPort), 8888);
}

TEST_F(SettingsCommandsTest, ProxyModeOutOfRangeIsStoredBackUnchanged) {
  WriteInt(kProxyMode, 5);
  Open();
  Run<CProxyDlg>(IDC_PROXY_SERVER, [](CProxyDlg* dlg) {
    for (int box : {IDC_PROXY_AUTOMATIC, IDC_PROXY_DIRECT, IDC_PROXY_CUSTOM}) {
      EXPECT_FALSE(dlg->Control<QCheckBox>(box)->isChecked()) << box;
    }
    ClickOk(dlg);
  });
  EXPECT_EQ(StoredInt(kProxyMode), 5);
}

TEST_F(SettingsCommandsTest, ProxyEmptyPortStoresNothingUntilCancelled) {
  Open();
  Run<CProxyDlg>(IDC_PROXY_SERVER, [](CProxyDlg* dlg) {
    QTest::mouseClick(dlg->Control<QCheckBox>(IDC_PROXY_CUSTOM), Qt::LeftButton);
    dlg->Control<QLineEdit>(IDC_PROXY_PORT)->clear();
    ClickOk(dlg);
    EXPECT_TRUE(dlg->isVisible());
    ClickCancel(dlg);
  });
  EXPECT_EQ(ShownTexts(), std::vector<QString>{QStringLiteral("Please enter an integer.")});
  EXPECT_EQ(StoredInt(kProxyMode), kMissing);
  EXPECT_EQ(StoredString(kProxyAddress), std::nullopt);
  EXPECT_EQ(StoredInt(kProxyPort), kMissing);
}

// --- Notifications (1004) ---

QString InstalledSound() { return QString::fromStdString(InstalledSoundPath().string()); }

TEST_F(SettingsCommandsTest, NotificationsOnAFreshStoreWriteTheDefaultsWithTheFullSoundPath) {
  Open();
  Run<CNotificationsDlg>(IDC_NOTIFICATIONS, [](CNotificationsDlg* dlg) {
    EXPECT_EQ(Text(dlg, IDC_NOTIFY_DURATION), QStringLiteral("15"));
    EXPECT_EQ(Text(dlg, IDC_NOTIFY_SOUND_FILE), InstalledSound());
    EXPECT_EQ(dlg->Control<QComboBox>(IDC_NOTIFY_REPEAT)->currentText(),
              QStringLiteral("Every 15 min"));
    for (int box : {IDC_NOTIFY_SOUND_ENABLE, IDC_NOTIFY_VIBRATE, IDC_NOTIFY_LED}) {
      EXPECT_TRUE(dlg->Control<QCheckBox>(box)->isChecked()) << box;
    }
    ClickOk(dlg);
  });
  EXPECT_TRUE(InstalledSound().endsWith(QStringLiteral("/Halvern.wav")));
  EXPECT_EQ(StoredInt(kNotifyDuration), 15);
  EXPECT_EQ(StoredString(kNotifySoundFile), InstalledSound().toStdU16String());
  EXPECT_EQ(StoredInt(kNotifyEnableSound), 1);
  EXPECT_EQ(StoredInt(kNotifyEnableVibrate), 1);
  EXPECT_EQ(StoredInt(kNotifyEnableLed), 1);
  EXPECT_EQ(StoredInt(kNotifyRepeat), 4);
}

TEST_F(SettingsCommandsTest, NotificationsEmptySoundFileAndRepeatNine) {
  EXPECT_TRUE(WriteSetting(temp_.store(), kNotifySoundFile, u""));
  WriteInt(kNotifyRepeat, 9);
  WriteInt(kNotifyEnableVibrate, 0);
  Open();
  Run<CNotificationsDlg>(IDC_NOTIFICATIONS, [](CNotificationsDlg* dlg) {
    EXPECT_EQ(Text(dlg, IDC_NOTIFY_SOUND_FILE), InstalledSound());
    EXPECT_EQ(dlg->Control<QComboBox>(IDC_NOTIFY_REPEAT)->currentIndex(), -1);
    EXPECT_FALSE(dlg->Control<QCheckBox>(IDC_NOTIFY_VIBRATE)->isChecked());
    ClickOk(dlg);
  });
  EXPECT_EQ(StoredString(kNotifySoundFile), InstalledSound().toStdU16String());
  EXPECT_EQ(StoredInt(kNotifyRepeat), -1);
  EXPECT_EQ(StoredInt(kNotifyEnableVibrate), 0);
}

TEST_F(SettingsCommandsTest, NotificationsTestThenCancelStopsEverythingAndStoresNothing) {
  WriteInt(kNotifyDuration, 600);
  Open();
  const std::size_t bookings = timedRun_.bookings.size();
  QPointer<CNotificationsDlg> shown;
  Run<CNotificationsDlg>(IDC_NOTIFICATIONS, [this, &shown](CNotificationsDlg* dlg) {
    shown = dlg;
    dlg->Control<QLineEdit>(IDC_NOTIFY_DURATION)->setText(QStringLiteral("30"));
    dlg->Control<QPushButton>(IDC_NOTIFY_TEST)->click();
    EXPECT_TRUE(sound_.playing);
    EXPECT_EQ(QString::fromStdU16String(sound_.lastFile), InstalledSound());
    EXPECT_TRUE(leds_.state[0]);
    EXPECT_TRUE(WaitFor([this] { return leds_.state[1]; })) << "the vibrator pulses";
    ClickCancel(dlg);
    EXPECT_FALSE(sound_.playing);
    EXPECT_FALSE(leds_.state[0]);
    EXPECT_FALSE(leds_.state[1]);
  });
  EXPECT_EQ(StoredInt(kNotifyDuration), 600);
  EXPECT_EQ(StoredString(kNotifySoundFile), std::nullopt);
  EXPECT_EQ(StoredInt(kNotifyRepeat), kMissing);
  EXPECT_EQ(timedRun_.bookings.size(), bookings);
  // No pulse of the ended test comes later: the dialog is gone, and the timers
  // it ran on went with it.
  EXPECT_TRUE(shown.isNull());
  QCoreApplication::processEvents();
  EXPECT_FALSE(leds_.state[1]);
}

}  // namespace
}  // namespace halvern::test
