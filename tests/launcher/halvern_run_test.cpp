// HalvernRun, the real binary, against the main program's real listener.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
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

  // `env` with the later places of HalvernRun's chain kept inside the test's
  // folder (unless `env` names them), so that it never reaches a listener of
  // another test through the real temporary or cache folder.
  std::map<std::string, std::optional<std::string>> Isolated(
      std::map<std::string, std::optional<std::string>> env) const {
    env.try_emplace("TMPDIR", RuntimeDir() + "/tmp");
    env.try_emplace("XDG_CACHE_HOME", RuntimeDir() + "/cache");
    return env;
  }

  Outcome Launch(std::map<std::string, std::optional<std::string>> env,
                 std::vector<std::string> args = {}) const {
    return RunLauncher(Isolated(std::move(env)), std::move(args));
  }

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
    const Outcome outcome = Launch({{"XDG_RUNTIME_DIR", RuntimeDir()}}, {"--any", "args"});
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    EXPECT_LT(outcome.took, 2s);
  }
  // No runtime folder and no private temporary folder of this user.
  const Outcome outcome =
      Launch({{"XDG_RUNTIME_DIR", std::nullopt}, {"TMPDIR", RuntimeDir() + "/missing"}});
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
  const Outcome outcome = Launch({{"XDG_RUNTIME_DIR", RuntimeDir()}});
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_LT(outcome.took, 3s);
  for (int fd : fillers) ::close(fd);
  ::close(server);
}

TEST_F(HalvernRunTest, DeliversRunCheckUnderTheRuntimeFolderRule) {
  EnvGuard runtime("XDG_RUNTIME_DIR", RuntimeDir().c_str());  // the listener's own rule
  EnvGuard tmp("TMPDIR", (RuntimeDir() + "/tmp").c_str());
  EnvGuard cache("XDG_CACHE_HOME", (RuntimeDir() + "/cache").c_str());
  LauncherSocket listener([this](std::uint32_t m) { received_.push_back(m); });
  ASSERT_EQ(listener.path(), SocketPath());
  ASSERT_EQ(listener.Listen(), LauncherSocket::ListenResult::kListening);

  // Started twice in quick succession: two runs are asked for.
  for (int i = 0; i < 2; ++i) {
    const Outcome outcome = Launch({{"XDG_RUNTIME_DIR", RuntimeDir()}});
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
    // No later place: the listener stays in the temporary folder even once
    // that is refused below.
    EnvGuard cache("XDG_CACHE_HOME", nullptr);
    EnvGuard home("HOME", nullptr);
    listener.emplace([this](std::uint32_t m) { received_.push_back(m); });
  }
  EXPECT_EQ(listener->path(), expected);
  ASSERT_EQ(listener->Listen(), LauncherSocket::ListenResult::kListening);

  const Outcome outcome = Launch({{"XDG_RUNTIME_DIR", std::nullopt}, {"TMPDIR", RuntimeDir()}});
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0);
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));
  EXPECT_EQ(received_.front(), UM_RUN_CHECK);

  // The launcher will not use a temporary folder that others can reach.
  ::chmod(expected.parent_path().c_str(), 0755);
  const Outcome refused = Launch({{"XDG_RUNTIME_DIR", std::nullopt}, {"TMPDIR", RuntimeDir()}});
  ASSERT_TRUE(refused.exited);
  EXPECT_EQ(refused.exitCode, 0);
  RunFor(300ms);
  EXPECT_EQ(received_.size(), 1u);
}

TEST_F(HalvernRunTest, DeliversRunCheckAfterTheSocketFileWasRemoved) {
  EnvGuard runtime("XDG_RUNTIME_DIR", RuntimeDir().c_str());
  EnvGuard tmp("TMPDIR", (RuntimeDir() + "/tmp").c_str());
  EnvGuard cache("XDG_CACHE_HOME", (RuntimeDir() + "/cache").c_str());
  LauncherSocket listener([this](std::uint32_t m) { received_.push_back(m); });
  ASSERT_EQ(listener.Listen(), LauncherSocket::ListenResult::kListening);

  // A cleaner of runtime or temporary folders removes the file.
  ASSERT_TRUE(std::filesystem::remove(SocketPath()));
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(SocketPath()); }));

  const Outcome outcome = Launch({{"XDG_RUNTIME_DIR", RuntimeDir()}});
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0);
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));
  EXPECT_EQ(received_.front(), UM_RUN_CHECK);
}

TEST_F(HalvernRunTest, DeliversRunCheckWhileManyIdleConnectionsAreHeldOpen) {
  LauncherSocket listener([this](std::uint32_t m) { received_.push_back(m); }, SocketPath());
  ASSERT_EQ(listener.Listen(), LauncherSocket::ListenResult::kListening);

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, SocketPath().c_str(), sizeof addr.sun_path - 1);
  std::vector<int> idle;
  for (int i = 0; i < 200; ++i) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
    // A full queue answers EAGAIN; the listener empties it as the loop runs.
    ASSERT_TRUE(RunUntil([&] {
      return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ||
             errno == EISCONN;
    }));
  }
  const Outcome outcome = Launch({{"XDG_RUNTIME_DIR", RuntimeDir()}});
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_TRUE(RunUntil([&] { return received_.size() == 1; }, 10s));
  EXPECT_EQ(received_, (std::vector<std::uint32_t>{UM_RUN_CHECK}));
  for (int fd : idle) ::close(fd);
}

TEST_F(HalvernRunTest, TakesAQueuedMessageOnceDescriptorsAreFreeAgain) {
  LauncherSocket listener([this](std::uint32_t m) { received_.push_back(m); }, SocketPath());
  ASSERT_EQ(listener.Listen(), LauncherSocket::ListenResult::kListening);

  // Everything of the fixture is reached before the descriptors run out: the
  // undefined-behaviour checker needs one to look at an object.
  const auto env = Isolated({{"XDG_RUNTIME_DIR", RuntimeDir()}});
  const std::vector<std::uint32_t>& received = received_;

  // Use up every descriptor under a lowered limit: the listener cannot accept.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const int base = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(base, 0);
  std::vector<int> fillers{base};
  for (int fd; (fd = ::fcntl(base, F_DUPFD_CLOEXEC, 0)) >= 0;) fillers.push_back(fd);
  EXPECT_EQ(errno, EMFILE);

  const Outcome outcome = RunLauncher(env);
  RunFor(300ms);
  const bool takenWithoutDescriptors = !received.empty();
  for (int fd : fillers) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_FALSE(takenWithoutDescriptors);
  // Accepting resumes by itself; the queued message is not lost.
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));
  EXPECT_EQ(received_.front(), UM_RUN_CHECK);
}

// The places of the chain inside the test's folder: the runtime folder as
// given, the temporary and cache folders under tmp/ and cache/.
class HalvernRunChainTest : public HalvernRunTest {
 protected:
  using Env = std::map<std::string, std::optional<std::string>>;

  std::filesystem::path TempFolder() const {
    return dir_.path() / "tmp" / ("velmora-halvern-" + std::to_string(::getuid()));
  }
  std::filesystem::path CacheFolder() const { return dir_.path() / "cache" / "velmora-halvern"; }

  Env ChainEnv(std::optional<std::string> runtime) const {
    std::filesystem::create_directories(dir_.path() / "tmp");
    return {{"XDG_RUNTIME_DIR", std::move(runtime)},
            {"TMPDIR", RuntimeDir() + "/tmp"},
            {"XDG_CACHE_HOME", RuntimeDir() + "/cache"}};
  }

  // Halvern's listener on the default chain, reading `env` as HalvernRun does.
  std::unique_ptr<LauncherSocket> ChainListener(const Env& env) {
    std::vector<std::unique_ptr<EnvGuard>> guards;
    for (const auto& [name, value] : env) {
      guards.push_back(std::make_unique<EnvGuard>(name.c_str(), value ? value->c_str() : nullptr));
    }
    return std::make_unique<LauncherSocket>([this](std::uint32_t m) { received_.push_back(m); });
  }

  // Makes `folder` as a private folder of another user.
  static void TakeForOtherUser(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0) << "the tests run as root";
  }
};

TEST_F(HalvernRunChainTest, BothProgramsAgreeOnTheFallbackWhenAPlaceCannotBeUsed) {
  const auto runtime = dir_.path() / "runtime";
  const auto name = "Velmora Halvern.sock";
  struct Case {
    const char* what;
    std::function<void()> spoil;
    bool withRuntime;
    std::filesystem::path expected;
  };
  const std::vector<Case> cases = {
      {"temporary folder of another user", [&] { TakeForOtherUser(TempFolder()); }, false,
       CacheFolder() / name},
      {"temporary folder is a link to a private folder",
       [&] {
         std::filesystem::create_directory(dir_.path() / "private");
         ::chmod((dir_.path() / "private").c_str(), 0700);
         std::filesystem::create_directory_symlink(dir_.path() / "private", TempFolder());
       },
       false, CacheFolder() / name},
      {"temporary folder open to others",
       [&] {
         std::filesystem::create_directory(TempFolder());
         ::chmod(TempFolder().c_str(), 0755);
       },
       false, CacheFolder() / name},
      {"temporary folder is a plain file", [&] { std::ofstream(TempFolder()) << "x"; }, false,
       CacheFolder() / name},
      {"runtime folder open to others",
       [&] {
         std::filesystem::create_directory(runtime);
         ::chmod(runtime.c_str(), 0755);
       },
       true, TempFolder() / name},
      {"runtime folder of another user", [&] { TakeForOtherUser(runtime); }, true,
       TempFolder() / name},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const auto& sub : {"tmp", "cache", "runtime", "private"}) {
      std::filesystem::remove_all(dir_.path() / sub);
    }
    received_.clear();
    const Env env = ChainEnv(c.withRuntime ? std::optional(runtime.string()) : std::nullopt);
    c.spoil();

    auto listener = ChainListener(env);
    ASSERT_EQ(listener->Listen(), LauncherSocket::ListenResult::kListening);
    EXPECT_EQ(listener->path(), c.expected);
    const Outcome outcome = Launch(env);
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 0);
    ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));
    EXPECT_EQ(received_.front(), UM_RUN_CHECK);
  }
}

TEST_F(HalvernRunChainTest, NeverSendsToASocketInAFolderOfAnotherUser) {
  const Env env = ChainEnv(std::nullopt);
  TakeForOtherUser(TempFolder());
  // Another user's listener waits where this user's socket would lie first.
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (TempFolder() / "Velmora Halvern.sock").c_str(),
               sizeof addr.sun_path - 1);
  const int planted = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(planted, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(planted, 8), 0);

  auto listener = ChainListener(env);
  ASSERT_EQ(listener->Listen(), LauncherSocket::ListenResult::kListening);
  EXPECT_EQ(listener->path(), CacheFolder() / "Velmora Halvern.sock");
  const Outcome outcome = Launch(env);
  ASSERT_TRUE(outcome.exited);
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));
  EXPECT_LT(::accept(planted, nullptr, nullptr), 0) << "the planted socket was reached";
  ::close(planted);
}

TEST_F(HalvernRunChainTest, MovesOnWhenItsFolderIsRemovedAndTakenByAnotherUser) {
  const Env env = ChainEnv(std::nullopt);
  auto listener = ChainListener(env);
  ASSERT_EQ(listener->Listen(), LauncherSocket::ListenResult::kListening);
  ASSERT_EQ(listener->path(), TempFolder() / "Velmora Halvern.sock");

  std::filesystem::remove_all(TempFolder());
  TakeForOtherUser(TempFolder());
  ASSERT_TRUE(RunUntil([&] { return listener->path() == CacheFolder() / "Velmora Halvern.sock"; }));

  const Outcome outcome = Launch(env);
  ASSERT_TRUE(outcome.exited);
  EXPECT_EQ(outcome.exitCode, 0);
  ASSERT_TRUE(RunUntil([&] { return received_.size() == 1; }));
  EXPECT_EQ(received_.front(), UM_RUN_CHECK);
}

}  // namespace
}  // namespace halvern
