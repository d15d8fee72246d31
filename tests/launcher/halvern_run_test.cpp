// HalvernRun, the real binary, against the main program's real listener.

#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "env_guard.h"
#include "launcher_socket.h"
#include "qt_loop.h"
#include "temp_store.h"
#include "window_host.h"

extern char** environ;

namespace halvern {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

using test::EnvGuard;
using test::QtApp;
using test::RunFor;
using test::RunUntil;

struct Outcome {
  bool exited = false;
  int exitCode = -1;
  std::chrono::milliseconds took{};
};

// Starts HalvernRun with the test's environment changed by `env` (a value of
// nothing removes the variable) and `args`, and runs the Qt loop until it ends.
Outcome RunLauncher(const std::map<std::string, std::optional<std::string>>& env,
                    std::vector<std::string> args = {}) {
  std::vector<std::string> entries;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (!env.contains(name)) entries.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (value) entries.push_back(name + "=" + *value);
  }
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::string binary = HALVERN_RUN_BINARY;
  std::vector<char*> argv{binary.data()};
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  Outcome outcome;
  const auto start = SteadyClock::now();
  pid_t pid = -1;
  if (::posix_spawn(&pid, binary.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return outcome;
  }
  int status = 0;
  outcome.exited = RunUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
  outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start);
  if (!outcome.exited) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return outcome;
  }
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  return outcome;
}

class HalvernRunTest : public ::testing::Test {
 protected:
  void SetUp() override { QtApp(); }

  std::string RuntimeDir() const { return dir_.path().string(); }
  std::filesystem::path SocketPath() const { return dir_.path() / "Velmora Halvern.sock"; }

  test::TempDir dir_;
  std::vector<std::uint32_t> received_;
};

TEST_F(HalvernRunTest, ExitsZeroAtOnceWhenNoMainProgramListens) {
  // Nothing at the path; then a stale socket file nobody serves.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "no socket" : "stale socket");
    if (round == 1) {
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, SocketPath().c_str(), sizeof addr.sun_path - 1);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
      ::close(fd);
    }
    const Outcome outcome = RunLauncher({{"XDG_RUNTIME_DIR", RuntimeDir()}}, {"--any", "args"});
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_LT(outcome.took, 2s);
  }
  // No runtime folder and no private temporary folder of this user.
  const Outcome outcome =
      RunLauncher({{"XDG_RUNTIME_DIR", std::nullopt}, {"TMPDIR", RuntimeDir() + "/missing"}});
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0);
}

TEST_F(HalvernRunTest, DoesNotWaitForAMainProgramThatDoesNotAccept) {
  // A listener whose queue is full: connecting blocks until the launcher's own
  // time limit ends it.
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, SocketPath().c_str(), sizeof addr.sun_path - 1);
  const int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(server, 0), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fillers.push_back(fd);
  }
  const Outcome outcome = RunLauncher({{"XDG_RUNTIME_DIR", RuntimeDir()}});
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_LT(outcome.took, 3s);
  for (int fd : fillers) ::close(fd);
  ::close(server);
}

TEST_F(HalvernRunTest, DeliversRunCheckUnderTheRuntimeFolderRule) {
  EnvGuard runtime("XDG_RUNTIME_DIR", RuntimeDir().c_str());  // the listener's own rule
  LauncherSocket listener([this](std::uint32_t m) { received_.push_back(m); });
  ASSERT_EQ(listener.path(), SocketPath());
  ASSERT_EQ(listener.Listen(), LauncherSocket::ListenResult::kListening);

  // Started twice in quick succession: two runs are asked for.
  for (int i = 0; i < 2; ++i) {
    const Outcome outcome = RunLauncher({{"XDG_RUNTIME_DIR", RuntimeDir()}});
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
  }
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 2; }));
  EXPECT_EQ(received_, (std::vector<std::uint32_t>{UM_RUN_CHECK, UM_RUN_CHECK}));
}

TEST_F(HalvernRunTest, DeliversRunCheckUnderTheTemporaryFolderRule) {
  const auto expected =
      dir_.path() / ("velmora-halvern-" + std::to_string(::getuid())) / "Velmora Halvern.sock";
  std::optional<LauncherSocket> listener;
  {
    EnvGuard runtime("XDG_RUNTIME_DIR", nullptr);
    EnvGuard tmp("TMPDIR", RuntimeDir().c_str());
    listener.emplace([this](std::uint32_t m) { received_.push_back(m); });
  }
  EXPECT_EQ(listener->path(), expected);
  ASSERT_EQ(listener->Listen(), LauncherSocket::ListenResult::kListening);

  const Outcome outcome =
      RunLauncher({{"XDG_RUNTIME_DIR", std::nullopt}, {"TMPDIR", RuntimeDir()}});
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0);
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));
  EXPECT_EQ(received_.front(), UM_RUN_CHECK);

  // The launcher will not use a temporary folder that others can reach.
  ::chmod(expected.parent_path().c_str(), 0755);
  const Outcome refused =
      RunLauncher({{"XDG_RUNTIME_DIR", std::nullopt}, {"TMPDIR", RuntimeDir()}});
  ASSERT_TRUE(refused.exited);
  EXPECT_EQ(refused.exitCode, 0);
  RunFor(300ms);
  EXPECT_EQ(received_.size(), 1u);
}

}  // namespace
}  // namespace halvern
