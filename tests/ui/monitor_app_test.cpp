// Start-up: a second Halvern hands over to the first; a damaged store is named
// and left as it was.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

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

}  // namespace
}  // namespace halvern::test
