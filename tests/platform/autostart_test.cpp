// Start at login: the entry's text, the first start writing it, and the
// user's choice kept in the store so that a start never undoes it.

#include "autostart.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "env_guard.h"
#include "fault_store.h"
#include "settings_store.h"
#include "temp_store.h"

namespace halvern::test {
namespace {

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ExecLine(const std::string& entry) {
  const auto start = entry.find("\nExec=");
  if (start == std::string::npos) return {};
  const auto end = entry.find('\n', start + 1);
  return entry.substr(start + 6, end - start - 6);
}

TEST(AutostartEntry, PathFollowsXdgConfigHome) {
  EnvGuard config("XDG_CONFIG_HOME", "/x/cfg");
  EXPECT_EQ(AutostartEntryPath(), std::filesystem::path("/x/cfg/autostart/halvern.desktop"));
  EnvGuard home("HOME", "/home/u");
  config.Set(nullptr);
  EXPECT_EQ(AutostartEntryPath(),
            std::filesystem::path("/home/u/.config/autostart/halvern.desktop"));
  config.Set("relative/cfg");  // not absolute: ignored, as the base-directory rules say
  EXPECT_EQ(AutostartEntryPath(),
            std::filesystem::path("/home/u/.config/autostart/halvern.desktop"));
}

TEST(AutostartEntry, IsADesktopEntryOfTheProgram) {
  const std::string text = AutostartEntryText("/usr/bin/Halvern");
  EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
  for (const char* line : {"\nType=Application\n", "\nName=Velmora Halvern\n", "\nIcon=halvern\n",
                           "\nX-GNOME-Autostart-enabled=true\n", "\nExec=/usr/bin/Halvern\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

TEST(AutostartEntry, ExecIsQuotedAndEscapedWhereThePathNeedsIt) {
  // What the file holds: the quoting of an argument, then the string escapes
  // of the file format over it (a backslash doubled twice), and %% for %.
  const struct {
    std::string program;
    std::string exec;
  } cases[] = {
      {"/opt/halvern/bin/Halvern", "/opt/halvern/bin/Halvern"},
      {"/home/a b/Halvern", "\"/home/a b/Halvern\""},
      {"/home/x$y/Halvern", "\"/home/x\\\\$y/Halvern\""},
      {"/home/q\"uote/Halvern", "\"/home/q\\\\\"uote/Halvern\""},
      {"/home/back\\slash/Halvern", "\"/home/back\\\\\\\\slash/Halvern\""},
      {"/home/100%/Halvern", "/home/100%%/Halvern"},
      {"/home/tick`s/Halvern", "\"/home/tick\\\\`s/Halvern\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ExecLine(AutostartEntryText(c.program)), c.exec) << c.program;
  }
}

class AutostartTest : public ::testing::Test {
 protected:
  std::filesystem::path Entry() const { return temp_.dir() / "config" / "autostart" / "x.desktop"; }
  TempStore temp_;
};

TEST_F(AutostartTest, FirstStartWritesTheEntryLaterStartsKeepTheUsersChoice) {
  Autostart autostart(temp_.store(), "/opt/h/Halvern", Entry());
  std::string error;
  EXPECT_FALSE(autostart.IsOn());
  ASSERT_TRUE(autostart.ApplyAtStart(error)) << error;
  EXPECT_TRUE(autostart.IsOn());
  EXPECT_EQ(ReadAll(Entry()), AutostartEntryText("/opt/h/Halvern"));

  ASSERT_TRUE(autostart.Set(false, error)) << error;
  EXPECT_FALSE(std::filesystem::exists(Entry()));
  // A new start on the same store (reopened, as the next session would).
  auto reopened = temp_.Reopen();
  Autostart next(*reopened, "/opt/h/Halvern", Entry());
  ASSERT_TRUE(next.ApplyAtStart(error)) << error;
  EXPECT_FALSE(std::filesystem::exists(Entry()));

  ASSERT_TRUE(next.Set(true, error)) << error;
  EXPECT_TRUE(next.IsOn());
  std::filesystem::remove(Entry());  // removed outside the program
  ASSERT_TRUE(next.ApplyAtStart(error)) << error;
  EXPECT_FALSE(next.IsOn()) << "only the first start writes the entry";
}

TEST_F(AutostartTest, TurningOffTwiceIsNoError) {
  Autostart autostart(temp_.store(), "/opt/h/Halvern", Entry());
  std::string error;
  EXPECT_TRUE(autostart.Set(false, error)) << error;
  EXPECT_TRUE(autostart.Set(false, error)) << error;
}

TEST_F(AutostartTest, FailuresSayWhatWentWrong) {
  std::string error;
  // The autostart folder cannot be made: a file stands where it should be.
  const auto blocker = temp_.dir() / "blocked";
  std::ofstream(blocker) << "x";
  Autostart blocked(temp_.store(), "/opt/h/Halvern", blocker / "autostart" / "halvern.desktop");
  EXPECT_FALSE(blocked.ApplyAtStart(error));
  EXPECT_NE(error.find(blocker.string()), std::string::npos) << error;

  // The entry is written but the choice cannot be kept.
  FaultStore failing(temp_.store());
  failing.FailAllWrites(true);
  Autostart unkept(failing, "/opt/h/Halvern", Entry());
  error.clear();
  EXPECT_FALSE(unkept.Set(false, error));
  EXPECT_NE(error.find("settings store"), std::string::npos) << error;
}

}  // namespace
}  // namespace halvern::test
