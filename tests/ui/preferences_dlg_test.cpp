// Tools > "Preferences": where it sits, what it shows, and that it writes its
// options only on OK.

#include <gtest/gtest.h>

#include <QtCore/QScopeGuard>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <QtWidgets/QPushButton>

#include "fault_store.h"
#include "main_window_fixture.h"
#include "preferences_dlg.h"
#include "settings.h"

namespace halvern::test {
namespace {

using namespace halvern::res;
using ui::CPreferencesDlg;

QCheckBox* WatchBox(CPreferencesDlg* dialog) {
  return dialog->Control<QCheckBox>(IDC_PREF_WATCH_FAILED);
}

TEST_F(MainWindowTest, PreferencesFollowsLogFileInTheToolsMenu) {
  auto& window = Open();
  QMenu* tools = nullptr;
  for (QAction* action : window.findChild<QMenuBar*>()->actions()[0]->menu()->actions()) {
    if (action->text() == QStringLiteral("Tools")) tools = action->menu();
  }
  ASSERT_NE(tools, nullptr);
  QStringList items;
  for (QAction* action : tools->actions()) items << action->text();
  const qsizetype logFile = items.indexOf(QStringLiteral("Log File"));
  ASSERT_GE(logFile, 0);
  ASSERT_LT(logFile + 1, items.size());
  EXPECT_EQ(items[logFile + 1], QStringLiteral("Preferences"));
}

// The check box shows the stored WatchFailedEntries (any value but 0 as
// checked); OK stores 0 or 1, Cancel stores nothing.
TEST_F(MainWindowTest, PreferencesWriteWatchFailedEntriesOnlyOnOk) {
  auto& window = Open();
  SettingsStore& store = temp_.store();
  constexpr std::int32_t kMissing = -12345;
  const auto stored = [&] {
    return store.ReadSettingInt(kSettingsSection, kWatchFailedEntries.name, kMissing);
  };
  EXPECT_EQ(stored(), kMissing);

  struct Case {
    std::optional<std::int32_t> stored;  // nothing: never written
    bool shownChecked;
    bool click;
    int button;  // IDOK or IDCANCEL
    std::optional<std::int32_t> after;
  };
  const Case cases[] = {
      {std::nullopt, false, true, IDCANCEL, std::nullopt},
      {std::nullopt, false, true, IDOK, 1},
      {1, true, false, IDCANCEL, 1},
      {1, true, true, IDOK, 0},
      {7, true, false, IDOK, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after.value_or(-1));
    if (c.stored) {
      ASSERT_TRUE(WriteSetting(store, kWatchFailedEntries, *c.stored));
    }
    bool shownChecked = !c.shownChecked;
    OnNextModal<CPreferencesDlg>([&](CPreferencesDlg* dialog) {
      EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Preferences"));
      EXPECT_EQ(WatchBox(dialog)->text(),
                QStringLiteral("Keep checking failed addresses until they are back"));
      shownChecked = WatchBox(dialog)->isChecked();
      if (c.click) WatchBox(dialog)->click();
      dialog->findChild<QDialogButtonBox*>()
          ->button(c.button == IDOK ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)
          ->click();
    });
    window.SendCommand(ID_PREFERENCES);
    EXPECT_EQ(shownChecked, c.shownChecked);
    EXPECT_EQ(stored(), c.after.value_or(kMissing));
  }
}

// A store that refuses the write is reported by the option's name.
TEST_F(MainWindowTest, PreferencesThatCannotBeSavedAreReported) {
  FaultStore faulty(temp_.store());
  auto& window = Open(&faulty);
  // The window writes its place as it closes: it goes before the store it writes to.
  const auto closeFirst = qScopeGuard([this] { window_.reset(); });
  faulty.FailAllWrites(true);
  OnNextModal<CPreferencesDlg>([](CPreferencesDlg* dialog) {
    WatchBox(dialog)->click();
    dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
  });
  window.SendCommand(ID_PREFERENCES);
  const auto shown = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_TRUE(
      shown[0].text.contains(QStringLiteral("Keep checking failed addresses until they are back")));
}

}  // namespace
}  // namespace halvern::test
