// Confirming a settings dialog whose writes fail: the user is told, in a stop
// box, which settings were not saved and why; the writes that did succeed stay,
// and a failed one leaves the previous value.

#include <gtest/gtest.h>

#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <algorithm>
#include <memory>

#include "clock.h"
#include "curl_internet.h"
#include "fakes.h"
#include "fault_store.h"
#include "log_files_dlg.h"
#include "main_dlg.h"
#include "main_window_fixture.h"
#include "settings.h"
#include "settings_store.h"
#include "temp_store.h"
#include "ui_test_util.h"
#include "url_dlg.h"
#include "url_entry.h"

namespace halvern::test {
namespace {

using namespace halvern::res;

class SettingsSaveFailureTest : public MainWindowTest {
 protected:
  void SetUp() override {
    MainWindowTest::SetUp();
    Open(&fault_);
  }

  // Runs command `id` and confirms its dialog with OK.
  void ConfirmCommand(int id) {
    bool confirmed = false;
    OnNextModal<ui::CDialog>([&](ui::CDialog* dialog) {
      confirmed = true;
      dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    window_->SendCommand(id);
    EXPECT_TRUE(confirmed);
  }

  FaultStore fault_{temp_.store()};
};

TEST_F(SettingsSaveFailureTest, EveryDialogNamesTheSettingsThatWereNotSavedAndOnlyThose) {
  const QString timetable[] = {QStringLiteral("Check every (min)"),
                               QStringLiteral("Hour labels (12 hours or 24 hours)"),
                               QStringLiteral("Hours in which checks run")};
  const QString proxy[] = {
      QStringLiteral("Proxy choice (Automatic, Direct or Custom Proxy Server)"),
      QStringLiteral("Proxy server Address"), QStringLiteral("Proxy server Port")};
  const QString alerts[] = {
      QStringLiteral("Duration (sec)"), QStringLiteral("Sound file"),
      QStringLiteral("Sound"),          QStringLiteral("Vibrate"),
      QStringLiteral("Blink LEDs"),     QStringLiteral("Repeat notification")};
  const struct {
    int command;
    std::size_t failingWrite;  // 1 = the dialog's first write
    std::vector<QString> names;
    QString named;
  } cases[] = {
      {IDC_TIMETABLE, 2, {std::begin(timetable), std::end(timetable)}, timetable[1]},
      {IDC_PROXY_SERVER, 3, {std::begin(proxy), std::end(proxy)}, proxy[2]},
      {IDC_NOTIFICATIONS, 6, {std::begin(alerts), std::end(alerts)}, alerts[5]},
      {IDC_NOTIFICATIONS, 1, {std::begin(alerts), std::end(alerts)}, alerts[0]},
      {IDC_LOG_FILE,
       1,
       {QStringLiteral("How long the log is kept")},
       QStringLiteral("How long the log is kept")},
  };
  // Saved, nothing to say.
  for (const int command : {IDC_TIMETABLE, IDC_PROXY_SERVER, IDC_NOTIFICATIONS, IDC_LOG_FILE}) {
    ConfirmCommand(command);
    EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty()) << command;
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ui::MessageBoxScript::TakeShown();
    fault_.FailNthWrite(c.failingWrite);
    ConfirmCommand(c.command);
    const auto shown = ui::MessageBoxScript::TakeShown();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, QStringLiteral("Velmora Halvern"));
    EXPECT_EQ(shown[0].flags & 0xF0, ui::MB_ICONSTOP);
    EXPECT_TRUE(shown[0].text.contains(QStringLiteral("could not be written")))
        << shown[0].text.toStdString();
    for (const QString& name : c.names) {
      const bool listed = shown[0].text.split(u'\n').contains(name);
      EXPECT_EQ(listed, name == c.named) << name.toStdString() << "\n"
                                         << shown[0].text.toStdString();
    }
  }
}

TEST_F(SettingsSaveFailureTest, WritesThatPassStayAndAFailedOneKeepsTheOldValue) {
  EXPECT_TRUE(WriteSetting(temp_.store(), kTimeFormat, 1));
  const std::size_t bookings = timedRun_.bookings.size();
  fault_.FailNthWrite(2);  // TimeFormat
  ConfirmCommand(IDC_TIMETABLE);
  EXPECT_EQ(ui::MessageBoxScript::TakeShown().size(), 1u);
  EXPECT_EQ(temp_.store().ReadSettingInt(kSettingsSection, kFrequency.name, -99), 45);
  EXPECT_EQ(temp_.store().ReadSettingInt(kSettingsSection, kTimetable.name, -99), -1);
  EXPECT_EQ(temp_.store().ReadSettingInt(kSettingsSection, kTimeFormat.name, -99), 1);
  // The schedule follows what was saved.
  EXPECT_EQ(timedRun_.bookings.size(), bookings + 1);
}

// An address that the store refuses is not listed as if it were stored, and
// an edit the store refuses leaves the old entry stored and listed: the user
// is told in both cases.
TEST_F(SettingsSaveFailureTest, AnAddressTheStoreRefusesIsToldAndTheOldEntryStays) {
  const auto runEditor = [&](int command, const QString& title) {
    OnNextModal<ui::CUrlDlg>([&](ui::CUrlDlg* dlg) {
      dlg->Control<QLineEdit>(IDC_URL_TITLE)->setText(title);
      dlg->Control<QLineEdit>(IDC_URL_ADDRESS)->setText(QStringLiteral("http://example.org/"));
      dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    });
    window_->SendCommand(command);
  };
  const auto rows = [&] {
    std::vector<QString> titles;
    for (int row = 0; row < window_->list()->ItemCount(); ++row) {
      titles.push_back(window_->list()->ItemText(row));
    }
    return titles;
  };
  const auto toldOnce = [] {
    const auto shown = ui::MessageBoxScript::TakeShown();
    return shown.size() == 1 && shown[0].text.contains(QStringLiteral("could not be written"));
  };
  runEditor(IDC_ADD, QStringLiteral("Alpha"));
  ASSERT_TRUE(ui::MessageBoxScript::TakeShown().empty());

  fault_.FailNthWrite(1);
  runEditor(IDC_ADD, QStringLiteral("Beta"));
  EXPECT_TRUE(toldOnce());
  ASSERT_EQ(rows(), (std::vector<QString>{QStringLiteral("Alpha")}));

  // A rename and a change of case only, each refused.
  for (const QString& title : {QStringLiteral("Zeta"), QStringLiteral("ALPHA")}) {
    SCOPED_TRACE(title.toStdString());
    window_->list()->SelectItem(0);
    fault_.FailNthWrite(1);
    runEditor(IDC_EDIT, title);
    EXPECT_TRUE(toldOnce());
    ASSERT_EQ(rows(), (std::vector<QString>{QStringLiteral("Alpha")}));
    UrlEntry stored;
    ASSERT_TRUE(LoadUrlEntry(temp_.store(), u"Alpha", stored));
    EXPECT_EQ(EntryTitle(stored), u"Alpha");
    EXPECT_FALSE(temp_.store().ReadSettingBinary(kUrlsSection, u"Zeta"));
  }

  // Saved, the rename replaces the old entry.
  window_->list()->SelectItem(0);
  runEditor(IDC_EDIT, QStringLiteral("Zeta"));
  EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty());
  EXPECT_EQ(rows(), (std::vector<QString>{QStringLiteral("Zeta")}));
  EXPECT_FALSE(temp_.store().ReadSettingBinary(kUrlsSection, u"Alpha"));
}

// Delete, and the old title of a rename, take a row away only with its stored
// entry: a delete the store refuses is told and both stay.
TEST_F(SettingsSaveFailureTest, ADeleteTheStoreRefusesKeepsTheRowAndIsTold) {
  UrlEntry entry;
  InitUrlEntry(entry);
  SetEntryTitle(entry, u"Alpha");
  SetEntryUrl(entry, u"http://example.org/");
  ASSERT_TRUE(StoreUrlEntryRow(temp_.store(), *window_, u"Alpha", entry, 0));
  const auto rows = [&] {
    std::vector<QString> titles;
    for (int row = 0; row < window_->list()->ItemCount(); ++row) {
      titles.push_back(window_->list()->ItemText(row));
    }
    std::sort(titles.begin(), titles.end());
    return titles;
  };

  window_->list()->SelectItem(0);
  fault_.FailAllWrites(true);
  window_->SendCommand(IDC_DELETE);  // the question is answered OK
  auto shown = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_TRUE(shown[1].text.contains(QStringLiteral("The address \"Alpha\"")));
  EXPECT_EQ(shown[1].flags, ui::MB_OK | ui::MB_ICONSTOP);
  EXPECT_EQ(rows(), (std::vector<QString>{QStringLiteral("Alpha")}));
  EXPECT_TRUE(temp_.store().ReadSettingBinary(kUrlsSection, u"Alpha"));

  // A rename whose new entry is saved but whose old one the store keeps: both
  // stay listed, as both stay stored.
  fault_.FailAllWrites(false);
  fault_.FailNthWrite(2);
  window_->list()->SelectItem(0);
  OnNextModal<ui::CUrlDlg>([&](ui::CUrlDlg* dlg) {
    dlg->Control<QLineEdit>(IDC_URL_TITLE)->setText(QStringLiteral("Beta"));
    dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  window_->SendCommand(IDC_EDIT);
  shown = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_TRUE(shown[0].text.contains(QStringLiteral("The address \"Alpha\"")));
  EXPECT_EQ(rows(), (std::vector<QString>{QStringLiteral("Alpha"), QStringLiteral("Beta")}));
  EXPECT_TRUE(temp_.store().ReadSettingBinary(kUrlsSection, u"Alpha"));

  window_->list()->SelectItem(0);
  window_->SendCommand(IDC_DELETE);
  EXPECT_EQ(ui::MessageBoxScript::TakeShown().size(), 1u);  // only the question
  EXPECT_EQ(rows().size(), 1u);
}

}  // namespace
}  // namespace halvern::test
