// Tools > "Start at Login" on the real main window: a check item that shows
// whether the autostart entry is there, and removes or writes it.

#include <gtest/gtest.h>

#include <QtGui/QAction>
#include <QtWidgets/QMenu>
#include <QtWidgets/QMenuBar>
#include <fstream>

#include "autostart.h"
#include "clock.h"
#include "curl_internet.h"
#include "fakes.h"
#include "main_dlg.h"
#include "main_window_fixture.h"
#include "settings_store.h"
#include "temp_store.h"
#include "ui_test_util.h"

namespace halvern::test {
namespace {

using namespace halvern::res;

class StartAtLoginTest : public MainWindowTest {
 protected:
  void Open(Autostart* autostart) { MainWindowTest::Open(nullptr, autostart); }

  // The item as the user finds it: Menu > Tools > "Start at Login".
  QAction* Item() {
    for (QAction* top : window_->findChild<QMenuBar*>()->actions()) {
      if (!top->menu()) continue;
      for (QAction* sub : top->menu()->actions()) {
        if (!sub->menu() || sub->text() != QStringLiteral("Tools")) continue;
        for (QAction* item : sub->menu()->actions()) {
          if (item->text() == QStringLiteral("Start at Login")) return item;
        }
      }
    }
    return nullptr;
  }
  QMenu* ToolsMenu() { return qobject_cast<QMenu*>(Item()->parent()); }
  std::int32_t StoredChoice() {
    return temp_.store().ReadSettingInt(kSettingsSection, u"StartAtLogin", -5);
  }

  TempStore temp_;
  std::filesystem::path entry_ = temp_.dir() / "config" / "autostart" / "halvern.desktop";
  Autostart autostart_{temp_.store(), "/opt/halvern/bin/Halvern", entry_};
};

TEST_F(StartAtLoginTest, ItemShowsTheEntryAndTogglesIt) {
  std::string error;
  ASSERT_TRUE(autostart_.ApplyAtStart(error)) << error;
  Open(&autostart_);
  QAction* item = Item();
  ASSERT_NE(item, nullptr);
  EXPECT_TRUE(item->isCheckable());
  EXPECT_TRUE(item->isEnabled());
  EXPECT_TRUE(item->isChecked());

  item->trigger();
  EXPECT_FALSE(std::filesystem::exists(entry_));
  EXPECT_FALSE(item->isChecked());
  EXPECT_EQ(StoredChoice(), 0);

  item->trigger();
  EXPECT_TRUE(std::filesystem::exists(entry_));
  EXPECT_TRUE(item->isChecked());
  EXPECT_EQ(StoredChoice(), 1);
  EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty());
}

TEST_F(StartAtLoginTest, MenuFollowsAnEntryRemovedOutsideTheProgram) {
  std::string error;
  ASSERT_TRUE(autostart_.ApplyAtStart(error)) << error;
  Open(&autostart_);
  std::filesystem::remove(entry_);
  Q_EMIT ToolsMenu()->aboutToShow();
  EXPECT_FALSE(Item()->isChecked());
}

TEST_F(StartAtLoginTest, AnEntryThatCannotBeWrittenIsReported) {
  // A plain file where the autostart folder belongs.
  std::filesystem::create_directories(entry_.parent_path().parent_path());
  std::ofstream(entry_.parent_path()) << "x";
  Open(&autostart_);
  Item()->trigger();
  const auto shown = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].flags & 0xF0, ui::MB_ICONSTOP);
  EXPECT_TRUE(shown[0].text.contains(QString::fromStdString(entry_.parent_path().string())))
      << shown[0].text.toStdString();
  EXPECT_FALSE(Item()->isChecked());
  EXPECT_EQ(StoredChoice(), -5) << "no choice is kept for what was not done";
}

TEST_F(StartAtLoginTest, WithoutAutostartTheItemIsDisabled) {
  Open(nullptr);
  ASSERT_NE(Item(), nullptr);
  EXPECT_FALSE(Item()->isEnabled());
}

}  // namespace
}  // namespace halvern::test
