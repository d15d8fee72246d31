// Start-up: a second Halvern hands over to the first; a damaged store is named
// and left as it was; without a launcher socket the program says why and does
// not run; a session signal during the start-up ends it.

#include <gtest/gtest.h>

#include <QtCore/QTimer>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QMessageBox>
#include <csignal>
#include <fstream>
#include <iterator>

#include "env_guard.h"
#include "main_dlg.h"
#include "settings.h"
#include "settings_store.h"
#include "timetable_dlg.h"

#include "launcher_socket.h"
#include "monitor_app.h"
#include "sqlite_store.h"
#include "temp_store.h"
#include "ui_test_util.h"
#include "window_host.h"

namespace halvern::test {
namespace {

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(MonitorApp, SecondInstanceShowsTheFirstAndEnds) {
  ResetMessageBoxes();
  TempStore temp;  // points XDG_RUNTIME_DIR into a fresh folder
  std::vector<std::uint32_t> received;
  LauncherSocket first([&](std::uint32_t message) { received.push_back(message); });
  ASSERT_EQ(first.Listen(), LauncherSocket::ListenResult::kListening);
  EXPECT_EQ(ui::CMonitorApp().Run(), 0);
  ASSERT_TRUE(WaitFor([&] { return !received.empty(); }));
  EXPECT_EQ(received[0], UM_NOTIFY_ICON);
  EXPECT_TRUE(ui::MessageBoxScript::TakeShown().empty());
}

TEST(MonitorApp, DamagedStoreIsNamedAndLeftUntouched) {
  ResetMessageBoxes();
  TempDir dir;
  ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  const auto file = SqliteStore::DefaultPath();
  std::filesystem::create_directories(file.parent_path());
  const std::string garbage(5000, '\x5a');
  std::ofstream(file, std::ios::binary) << garbage;

  EXPECT_EQ(ui::CMonitorApp().Run(), 1);
  const auto shown = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_TRUE(shown[0].text.contains(QString::fromStdString(file.string())))
      << shown[0].text.toStdString();
  EXPECT_EQ(shown[0].flags & 0xF0, ui::MB_ICONSTOP);
  EXPECT_EQ(ReadAll(file), garbage);
  EXPECT_FALSE(std::filesystem::exists(file.string() + "-wal"));
}

// A start-up that wrongly goes on to the main window is ended after a while, so
// that the test fails instead of hanging.
class MainWindowGuard {
 public:
  MainWindowGuard() {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<ui::CMainDlg*>(widget)) {
          ui::MessageBoxScript::PresetAnswers({res::IDOK});
          window->SendCommand(res::ID_EXIT_PROGRAM);
        }
      }
    });
    timer_.start(10000);
  }

 private:
  QTimer timer_;
};

// No socket can be made: XDG_RUNTIME_DIR and the temporary folder both lie
// under a plain file.
class NoSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetMessageBoxes();
    std::ofstream(dir_.path() / "file") << "x";
    config_.Set((dir_.path() / "config").c_str());
    runtime_.Set((dir_.path() / "file" / "runtime").c_str());
    tmp_.Set((dir_.path() / "file" / "tmp").c_str());
    cache_.Set((dir_.path() / "file" / "cache").c_str());
  }
  TempDir dir_;
  EnvGuard config_{"XDG_CONFIG_HOME"};
  EnvGuard runtime_{"XDG_RUNTIME_DIR"};
  EnvGuard tmp_{"TMPDIR"};
  EnvGuard cache_{"XDG_CACHE_HOME"};
  MainWindowGuard guard_;
};

TEST_F(NoSocketTest, ProgramSaysWhyAndDoesNotRun) {
  EXPECT_EQ(ui::CMonitorApp().Run(), 1);
  const auto shown = ui::MessageBoxScript::TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, QStringLiteral("Velmora Halvern"));
  EXPECT_EQ(shown[0].flags & 0xF0, ui::MB_ICONSTOP);
  EXPECT_TRUE(shown[0].text.contains(QStringLiteral("cannot run without")))
      << shown[0].text.toStdString();
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "config" / "Velmora"))
      << "nothing is opened or written";
}

TEST_F(NoSocketTest, SessionSignalDuringAStartUpBoxEndsTheProgram) {
  ui::MessageBoxScript::SetFallbackAnswer(std::nullopt);  // the box is really shown
  bool raised = false;
  OnNextModal<QMessageBox>([&](QMessageBox*) { raised = ::raise(SIGTERM) == 0; });
  EXPECT_EQ(ui::CMonitorApp().Run(), 0);
  EXPECT_TRUE(raised);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(MonitorApp, SessionSignalCancelsAnOpenDialogAndEndsTheRun) {
  ResetMessageBoxes();
  TempDir dir;
  EnvGuard config("XDG_CONFIG_HOME", (dir.path() / "config").c_str());
  EnvGuard runtime("XDG_RUNTIME_DIR", dir.path().c_str());
  EnvGuard sysfs("HALVERN_SYSFS_ROOT", (dir.path() / "sys").c_str());
  // Once the main window is up, its Timetable command opens the dialog.
  QTimer opener;
  QObject::connect(&opener, &QTimer::timeout, &opener, [&opener] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* window = qobject_cast<ui::CMainDlg*>(widget);
      if (!window || !window->isVisible()) continue;
      opener.stop();
      QTimer::singleShot(0, window, [window] { window->SendCommand(res::IDC_TIMETABLE); });
    }
  });
  opener.start(10);
  bool raised = false;
  OnNextModal<ui::CTimetableDlg>([&](ui::CTimetableDlg* dialog) {
    dialog->Control<QLineEdit>(res::IDC_TIMETABLE_FREQUENCY)->setText(QStringLiteral("7"));
    raised = ::raise(SIGTERM) == 0;
  });
  EXPECT_EQ(ui::CMonitorApp().Run(), 0);
  EXPECT_TRUE(raised);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "Velmora Halvern.sock"));
  std::string error;
  auto store = SqliteStore::Open(SqliteStore::DefaultPath(), u"Velmora", error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->ReadSettingInt(kSettingsSection, kFrequency.name, -1), -1)
      << "the dialog ends as cancelled: nothing is written";
}

}  // namespace
}  // namespace halvern::test
