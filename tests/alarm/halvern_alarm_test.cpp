// HalvernAlarm on its own: started as Halvern starts it, with one end of a
// socket pair as its standard input, and talked to line by line.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "alarm_protocol.h"
#include "temp_store.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool MayUseAlarmClock() {
  const int fd = ::timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::int64_t NowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// True once `pid` has ended: gone, or a zombie no one reaps.
bool WaitEnded(pid_t pid, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    if (stat.empty() || (paren != std::string::npos && stat.size() > paren + 2 &&
                         (stat[paren + 2] == 'Z' || stat[paren + 2] == 'X'))) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

// <root>/bin with the program "HalvernRun", a stand-in that records its name
// and environment, and the
// helper copied to <root>/libexec/halvern/.
class Arrangement {
 public:
  Arrangement() {
    fs::create_directories(bin());
    fs::create_directories(helper().parent_path());
    fs::copy_file(HALVERN_ALARM_BINARY, helper());
    std::ofstream(bin() / "HalvernRun")
        << "#!/bin/sh\nd=\"$(dirname \"$0\")\"\n"
           "echo \"$(basename \"$0\")\" >> \"$d/ran.txt\"\n"
           "env > \"$d/env.tmp\" && mv \"$d/env.tmp\" \"$d/env.txt\"\n";
    ::chmod((bin() / "HalvernRun").c_str(), 0755);
  }
  fs::path root() const { return dir_.path(); }
  fs::path bin() const { return dir_.path() / "bin"; }
  fs::path helper() const { return dir_.path() / "libexec/halvern/HalvernAlarm"; }

 private:
  halvern::test::TempDir dir_;
};

// One running helper and this test's end of its socket.
class Helper {
 public:
  // `via`: a shell command line that starts the helper as "$0" "$1" <parent>;
  // empty to start it directly as this process's child.
  Helper(const fs::path& binary, const std::string& folder, const std::string& via = {}) {
    int pair[2];
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
    std::string path = binary.string();
    std::string folderArg = folder;
    std::string parent = std::to_string(::getpid());
    std::string shell = "/bin/sh", dashC = "-c", command = via;
    char* direct[] = {path.data(), folderArg.data(), parent.data(), nullptr};
    char* viaShell[] = {shell.data(), dashC.data(),     command.data(),
                        path.data(),  folderArg.data(), nullptr};
    if (via.empty()) {
      ::posix_spawn(&pid_, path.c_str(), &actions, nullptr, direct, environ);
    } else {
      int out[2];
      ::pipe2(out, O_CLOEXEC);
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
      ::posix_spawn(&shellPid_, shell.c_str(), &actions, nullptr, viaShell, environ);
      ::close(out[1]);
      fd_ = out[0];
      pid_ = std::stoi(ReadLine());  // the shell says which pid the helper has
      ::close(fd_);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    fd_ = pair[0];
  }
  ~Helper() {
    if (fd_ >= 0) ::close(fd_);
    if (shellPid_ > 0) {
      ::kill(shellPid_, SIGKILL);
      ::waitpid(shellPid_, nullptr, 0);
    }
    if (pid_ > 0 && shellPid_ < 0 && !ended_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  pid_t pid() const { return pid_; }
  pid_t shellPid() const { return shellPid_; }
  void Send(const std::string& text) {
    ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(text.size()));
  }
  // The next line without its end; empty at end of file or after `limit`.
  std::string ReadLine(std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      const auto end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char chunk[512];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  void CloseSocket() {
    ::close(fd_);
    fd_ = -1;
  }
  // The exit code of a direct child, or -1 when it did not end in `limit`.
  int WaitExit(std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(10ms);
    }
    ended_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  pid_t shellPid_ = -1;
  int fd_ = -1;
  bool ended_ = false;
  std::string buffer_;
};

class HalvernAlarmTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!MayUseAlarmClock()) GTEST_SKIP() << "CLOCK_REALTIME_ALARM needs root here";
  }
  Arrangement arrangement_;
};

TEST_F(HalvernAlarmTest, StartsABookedProgramWithExactlyTheEnvironmentItWasSent) {
  Helper helper(arrangement_.helper(), arrangement_.bin().string());
  ASSERT_EQ(helper.ReadLine(), "alarm 1");
  using halvern::alarm::FormatEnv;
  helper.Send(FormatEnv("TMPDIR=/a folder/100%") + FormatEnv("PATH=/usr/bin:/bin") +
              FormatEnv("TMPDIR=/the last one counts"));
  const std::int64_t when = NowMs() + 300;
  helper.Send(halvern::alarm::FormatBook("key 1", when, "HalvernRun"));

  const std::string fired = helper.ReadLine();
  const auto reply = halvern::alarm::ParseReply(fired);
  ASSERT_TRUE(reply) << fired;
  EXPECT_EQ(reply->key, "key 1");
  EXPECT_EQ(reply->ms, when);
  EXPECT_GT(reply->pidOrError, 0);
  EXPECT_GE(NowMs(), when);

  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!fs::exists(arrangement_.bin() / "env.txt") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  // sh adds PWD (and may add OLDPWD, SHLVL); nothing of the helper's own.
  std::string env = ReadFile(arrangement_.bin() / "env.txt");
  EXPECT_NE(env.find("TMPDIR=/the last one counts\n"), std::string::npos) << env;
  EXPECT_EQ(env.find("TMPDIR=/a folder"), std::string::npos) << env;
  EXPECT_NE(env.find("PATH=/usr/bin:/bin\n"), std::string::npos) << env;
  EXPECT_EQ(env.find("HOME="), std::string::npos) << env;
}

TEST_F(HalvernAlarmTest, RefusesMalformedLinesAndServesOn) {
  Helper helper(arrangement_.helper(), arrangement_.bin().string());
  ASSERT_EQ(helper.ReadLine(), "alarm 1");
  const char* const lines[] = {
      "",
      "hello",
      "BOOK k 1 marker",
      "book",
      "book k 1",
      "book k 1 marker extra",
      "book  k 1 marker",
      "book k 1 marker ",
      "book k x marker",
      "book k 1.5 marker",
      "book k 12345678901234567 marker",
      "book k 1 ../marker",
      "book k 1 %2Fbin%2Fsh",
      "book k 1 .",
      "book k 1 ..",
      "book k 1 a%00b",
      "book k 1 a%2",
      "book k 1 a%zz",
      "book \x01\xff 1 marker",
      "cancel",
      "cancel a b",
      "env",
      "env =x",
      "env NOVALUE",
  };
  for (const char* line : lines) {
    SCOPED_TRACE(testing::Message() << "'" << line << "'");
    helper.Send(std::string(line) + "\n");
    EXPECT_TRUE(helper.ReadLine().starts_with("refused ")) << line;
  }
  // A line longer than the protocol allows is refused once, as a whole.
  helper.Send(std::string(halvern::alarm::kMaxLine + 100, 'x') + "\n");
  EXPECT_EQ(helper.ReadLine(), "refused too-long");

  // Still serving: a booking in the past fires at once.
  helper.Send("book k -5 HalvernRun\n");
  const auto reply = halvern::alarm::ParseReply(helper.ReadLine());
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->key, "k");
  EXPECT_GT(reply->pidOrError, 0);
  // A cancelled booking does not fire.
  helper.Send(halvern::alarm::FormatBook("c", NowMs() + 200, "HalvernRun") + "cancel c\n");
  EXPECT_EQ(helper.ReadLine(700ms), "");
}

// Installed, its program folder is /usr/bin: a booking of any program but
// HalvernRun is refused, however well formed, and starts nothing.
TEST_F(HalvernAlarmTest, StartsHalvernRunAndNoOtherProgramOfItsFolder) {
  fs::copy_file(arrangement_.bin() / "HalvernRun", arrangement_.bin() / "other");
  Helper helper(arrangement_.helper(), arrangement_.bin().string());
  ASSERT_EQ(helper.ReadLine(), "alarm 1");
  helper.Send(halvern::alarm::FormatEnv("PATH=/usr/bin:/bin"));
  for (const char* file : {"other", "halvernrun", "HalvernRun.exe", "HalvernRun~", "sh"}) {
    helper.Send(halvern::alarm::FormatBook(file, NowMs() - 5, file));
    EXPECT_EQ(helper.ReadLine(), "refused program") << file;
  }
  helper.Send(halvern::alarm::FormatBook("k", NowMs() - 5, "HalvernRun"));
  const auto reply = halvern::alarm::ParseReply(helper.ReadLine());
  ASSERT_TRUE(reply);
  EXPECT_GT(reply->pidOrError, 0);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!fs::exists(arrangement_.bin() / "env.txt") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(ReadFile(arrangement_.bin() / "ran.txt"), "HalvernRun\n");
}

TEST(HalvernAlarmStartTest, DeclinesAProgramFolderThatIsNotItsOwn) {
  Arrangement arrangement;
  fs::create_directories(arrangement.root() / "tools");
  for (const std::string& folder :
       {std::string("/tmp"), std::string("bin"), arrangement.root().string(),
        (arrangement.root() / "tools").string(), (arrangement.root() / "missing").string(),
        arrangement.helper().parent_path().string() + "/x/../../../tools"}) {
    SCOPED_TRACE(folder);
    Helper helper(arrangement.helper(), folder);
    EXPECT_TRUE(helper.ReadLine().starts_with("alarm 0 "));
    EXPECT_EQ(helper.WaitExit(), 1);
  }
  if (!MayUseAlarmClock()) return;
  // Another spelling of its own bin folder is its own.
  fs::create_directory_symlink(arrangement.bin(), arrangement.root() / "link");
  for (const fs::path& folder : {arrangement.root() / "link", arrangement.root() / "bin/../bin"}) {
    Helper helper(arrangement.helper(), folder.string());
    EXPECT_EQ(helper.ReadLine(), "alarm 1") << folder;
  }
}

TEST(HalvernAlarmStartTest, EndsWithoutServingWhenStartedOtherwiseThanByHalvern) {
  Arrangement arrangement;
  const std::string binary = arrangement.helper().string();
  // Not a socket, missing or wrong arguments: a usage error.
  for (const std::string& command :
       {"\"" + binary + "\" \"" + arrangement.bin().string() + "\" " + std::to_string(::getpid()) +
            " < /dev/null",
        "\"" + binary + "\"", "\"" + binary + "\" x y z", "\"" + binary + "\" /tmp abc"}) {
    SCOPED_TRACE(command);
    const int status = std::system(("exec " + command + " 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  }
  // A parent that is not the one named: it ends at once, silently.
  std::string path = binary, folder = arrangement.bin().string(), parent = "12345678";
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
  char* argv[] = {path.data(), folder.data(), parent.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pair[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  char byte;
  EXPECT_EQ(::read(pair[0], &byte, 1), 0);  // said nothing
  ::close(pair[0]);
}

TEST_F(HalvernAlarmTest, EndsAtEndOfItsSocket) {
  Helper helper(arrangement_.helper(), arrangement_.bin().string());
  ASSERT_EQ(helper.ReadLine(), "alarm 1");
  helper.Send(halvern::alarm::FormatBook("k", NowMs() + 3'600'000, "HalvernRun"));
  helper.CloseSocket();
  EXPECT_EQ(helper.WaitExit(), 0);
}

// Its parent (here a shell standing in for Halvern) is killed while the other
// end of the socket stays open: the parent-death signal alone ends it.
TEST_F(HalvernAlarmTest, EndsWhenItsParentDiesAlthoughItsSocketStaysOpen) {
  Helper helper(arrangement_.helper(), arrangement_.bin().string(),
                "exec 3<&0; \"$0\" \"$1\" $$ <&3 3<&- & echo $!; wait");
  ASSERT_GT(helper.pid(), 0);
  ASSERT_EQ(helper.ReadLine(), "alarm 1");
  helper.Send(halvern::alarm::FormatBook("k", NowMs() + 3'600'000, "HalvernRun"));
  std::this_thread::sleep_for(100ms);
  ASSERT_FALSE(WaitEnded(helper.pid(), 0ms));
  ::kill(helper.shellPid(), SIGKILL);
  EXPECT_TRUE(WaitEnded(helper.pid()));
}

}  // namespace
