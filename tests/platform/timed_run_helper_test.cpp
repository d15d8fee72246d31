// The timed-run service with the wake-alarm helper: where the bookings are
// held (read from /proc/<pid>/fdinfo of the process holding the timer), what
// happens when the helper dies or declines, and that it ends with Halvern.
// The privilege cases run a stand-in for Halvern (timed_run_probe) as another
// user or with a smaller bounding set; they need root and are skipped without.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "timed_run_fixture.h"

extern char** environ;

namespace halvern {
namespace {

using namespace std::chrono_literals;
using test::FiredLog;
using test::ProgramFolder;
using test::Timers;
using test::ToLocal;
using test::WaitForTimer;
using test::WallNow;

constexpr int kAlarmClock = 8;     // CLOCK_REALTIME_ALARM
constexpr int kRealtimeClock = 0;  // CLOCK_REALTIME
constexpr uid_t kNobody = 65534;

bool Near(const test::TimerInfo& timer, std::int64_t seconds) {
  return timer.armed && timer.remainingS <= seconds && timer.remainingS >= seconds - 10;
}

// A process started by the test, its standard output read line by line.
class Child {
 public:
  explicit Child(std::vector<std::string> args) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) ::close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // The next line of output without its end; empty at end of output or when
  // none came within `limit`.
  std::string ReadLine(std::chrono::milliseconds limit = 15s) {
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
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      char chunk[256];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  // The exit code, or -1 when it did not exit normally.
  int Wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  std::string buffer_;
};

// The helper of a service in this process, once it holds the alarm clock.
pid_t HelperOf(const TimedRunService& service) {
  const pid_t pid = service.HelperPid();
  EXPECT_GT(pid, 0) << "the service did not start its helper";
  return pid;
}

class TimedRunHelperTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!test::MayUseAlarmClock()) {
      GTEST_SKIP() << "the helper cannot hold CLOCK_REALTIME_ALARM here (not root)";
    }
  }
  ProgramFolder folder_{true};
};

TEST_F(TimedRunHelperTest, HoldsBookReplaceAndCancelOnTheAlarmClockOfTheHelper) {
  TimedRunService service(folder_.path());
  const pid_t helper = HelperOf(service);
  ASSERT_GT(helper, 0);
  EXPECT_TRUE(service.CanWakeMachine());
  const std::int64_t now = WallNow();

  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun.exe", ToLocal(now + 3600)));
  auto timer = WaitForTimer(helper, [](const auto& t) { return Near(t, 3600); });
  ASSERT_TRUE(timer) << (Timers(helper).empty() ? "no timer" : Timers(helper)[0].text);
  EXPECT_EQ(timer->clockId, kAlarmClock) << timer->text;

  // Replaced (by another spelling of the name): the later time only.
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun.EXE", ToLocal(now + 7200)));
  EXPECT_TRUE(WaitForTimer(helper, [](const auto& t) { return Near(t, 7200); }));
  // Meanwhile this process armed no timer of its own.
  for (const auto& own : Timers(::getpid())) EXPECT_FALSE(own.armed) << own.text;

  // A sooner booking of another program, which the helper does not start,
  // stays with this process's own timer; the helper's keeps the launcher's.
  ASSERT_TRUE(service.RunAppAtTime(u"other", ToLocal(now + 1800)));
  EXPECT_TRUE(WaitForTimer(::getpid(), [](const auto& t) { return Near(t, 1800); }));
  EXPECT_TRUE(WaitForTimer(helper, [](const auto& t) { return Near(t, 7200); }));
  ASSERT_TRUE(service.RunAppAtTime(u"other", std::nullopt));
  // (A disarmed alarm timer keeps showing its last expiry in fdinfo: that a
  // cancelled booking does not fire is checked by TimedRunServiceTest.)
}

TEST_F(TimedRunHelperTest, ABookingOutlivesTheHelperAndOneThatCameDueMeanwhileFiresAtOnce) {
  FiredLog log;
  TimedRunService service(folder_.path(), log.Callback());
  const pid_t helper = HelperOf(service);
  ASSERT_GT(helper, 0);
  std::filesystem::copy_file(folder_.bin() / "marker", folder_.bin() / "later");
  const std::int64_t now = WallNow();
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun", ToLocal(now + 1)));
  ASSERT_TRUE(service.RunAppAtTime(u"later", ToLocal(now + 4)));  // held here

  // A stopped helper cannot start anything; its booking comes due meanwhile.
  ASSERT_EQ(::kill(helper, SIGSTOP), 0);
  while (WallNow() <= now + 1) std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(log.Get().empty());
  ASSERT_EQ(::kill(helper, SIGKILL), 0);

  // The service takes both over: the due one at once, the other at its time.
  ASSERT_TRUE(log.WaitFor(1, 30s));
  EXPECT_EQ(log.Get()[0].program, u"HalvernRun");
  EXPECT_GT(log.Get()[0].pid, 0);
  EXPECT_EQ(service.HelperPid(), -1);
  EXPECT_TRUE(folder_.WaitForRuns(1));
  ASSERT_TRUE(log.WaitFor(2, 10s));
  EXPECT_EQ(log.Get()[1].program, u"later");
  EXPECT_GT(log.Get()[1].pid, 0);
  EXPECT_GE(log.Get()[1].at, now + 4);
  // The service goes on taking bookings in-process.
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun", ToLocal(WallNow() - 1)));
  ASSERT_TRUE(log.WaitFor(3, 5s));
  EXPECT_TRUE(folder_.WaitForRuns(3));
}

TEST_F(TimedRunHelperTest, TheHelperEndsWithTheService) {
  pid_t helper = -1;
  {
    TimedRunService service(folder_.path());
    helper = HelperOf(service);
    ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun", ToLocal(WallNow() + 3600)));
  }
  ASSERT_GT(helper, 0);
  // Reaped by the service, so it is gone and not a zombie.
  EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(helper)));
  EXPECT_EQ(folder_.Runs(), 0);
}

// Helpers that cannot serve, each met with the service keeping its bookings.
TEST(TimedRunHelperFallbackTest, WorksInProcessWhenTheHelperDoesNotServe) {
  struct Case {
    const char* name;
    const char* script;  // nullptr: the built helper, not executable
  };
  const Case cases[] = {
      {"declines", "#!/bin/sh\necho 'alarm 0 no capability' >&0\nexec cat >/dev/null\n"},
      {"ends without a word", "#!/bin/sh\nexit 0\n"},
      {"answers something else", "#!/bin/sh\necho hello >&0\nexec cat >/dev/null\n"},
      {"is not executable", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramFolder folder;
    std::filesystem::create_directories(folder.helper().parent_path());
    if (c.script) {
      test::WriteProgram(folder.helper(), c.script);
    } else {
      folder.InstallHelper(HALVERN_ALARM_BINARY);
      ::chmod(folder.helper().c_str(), 0644);
    }
    FiredLog log;
    TimedRunService service(folder.path(), log.Callback());
    EXPECT_EQ(service.HelperPid(), -1);
    ASSERT_TRUE(service.RunAppAtTime(u"marker", ToLocal(WallNow() - 1)));
    ASSERT_TRUE(log.WaitFor(1, 5s));
    EXPECT_GT(log.Get()[0].pid, 0);
    EXPECT_TRUE(folder.WaitForRuns(1));
  }
}

// --- The privilege cases: a stand-in for Halvern in a process of its own.

bool CanRunPrivilegeCases(std::string& why) {
  if (::geteuid() != 0)
    why = "needs root";
  else if (!test::MayUseAlarmClock())
    why = "cap_wake_alarm is not available";
  else if (::access("/usr/bin/setpriv", X_OK) != 0)
    why = "setpriv (util-linux) is missing";
  else if (::access("/usr/sbin/setcap", X_OK) != 0)
    why = "setcap (libcap2-bin) is missing";
  return why.empty();
}

// The environment of a stand-in run with `env -i`: the sanitizers' options
// pass, nothing else of this process does.
std::vector<std::string> CleanEnvironment(const std::filesystem::path& tmp,
                                          const std::filesystem::path& home) {
  std::vector<std::string> env = {"env", "-i", "TMPDIR=" + tmp.string(), "HOME=" + home.string(),
                                  "PATH=/usr/bin:/bin"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  return env;
}

// Whether the kernel started `pid` in secure-execution mode (AT_SECURE = 23).
bool RunsSecure(pid_t pid) {
  const std::string auxv = test::ReadFile("/proc/" + std::to_string(pid) + "/auxv");
  for (std::size_t i = 0; i + 2 * sizeof(unsigned long) <= auxv.size();
       i += 2 * sizeof(unsigned long)) {
    unsigned long entry[2];
    std::memcpy(entry, auxv.data() + i, sizeof entry);
    if (entry[0] == 23) return entry[1] != 0;
  }
  return false;
}

class TimedRunPrivilegeTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!CanRunPrivilegeCases(why)) GTEST_SKIP() << why;
    std::filesystem::copy_file(HALVERN_RUN_BINARY, folder_.bin() / "HalvernRun",
                               std::filesystem::copy_options::overwrite_existing);
    // Another user must reach the programs, and own its temporary folder.
    for (const auto& dir : {folder_.root(), folder_.bin(), folder_.helper().parent_path(),
                            folder_.helper().parent_path().parent_path()}) {
      ::chmod(dir.c_str(), 0755);
    }
    std::filesystem::create_directory(tmp());
    ::chmod(tmp().c_str(), 0700);
  }
  std::filesystem::path tmp() const { return folder_.root() / "tmp"; }

  ProgramFolder folder_{true};
};

// Who runs Halvern and what the helper may get, against where the booking is
// held and on which clock. Each run has no XDG_RUNTIME_DIR, so the launcher
// socket lies under TMPDIR: a variable that secure-execution mode removes from
// the helper's own environment, so HalvernRun reaches Halvern only when the
// helper passes on Halvern's environment.
TEST_F(TimedRunPrivilegeTest, TheBookingIsHeldWithTheLeastPrivilegeThatWakesTheMachine) {
  struct Case {
    const char* name;
    bool asUser;          // Halvern runs as an ordinary user (nobody)
    bool dropBounding;    // cap_wake_alarm is not in the bounding set
    bool fileCapability;  // the helper has the file capability cap_wake_alarm+ep
    bool byHelper;        // expected: the helper holds the booking
  };
  const Case cases[] = {
      {"root", false, false, false, true},
      {"root without cap_wake_alarm in its bounding set", false, true, false, false},
      {"user, helper with the file capability", true, false, true, true},
      {"user, helper without it (build tree, plain install)", true, false, false, false},
      // The kernel refuses to execute the helper (EPERM) then.
      {"user, file capability outside the bounding set", true, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::chown(tmp().c_str(), c.asUser ? kNobody : 0, c.asUser ? kNobody : 0);
    // A fresh copy: no file capability from the case before.
    std::filesystem::remove(folder_.helper());
    folder_.InstallHelper(HALVERN_ALARM_BINARY);
    if (c.fileCapability) {
      Child grant({"/usr/sbin/setcap", "cap_wake_alarm+ep", folder_.helper().string()});
      ASSERT_EQ(grant.Wait(), 0) << "setcap failed: no extended attributes here?";
    }
    std::vector<std::string> args = {"/usr/bin/setpriv", "--inh-caps=-all"};
    if (c.asUser) {
      for (const char* a : {"--reuid=65534", "--regid=65534", "--clear-groups"}) args.push_back(a);
    }
    if (c.dropBounding) args.push_back("--bounding-set=-wake_alarm");
    args.push_back("--");
    for (auto& e : CleanEnvironment(tmp(), folder_.root() / "home")) args.push_back(e);
    args.push_back(TIMED_RUN_PROBE_BINARY);
    args.push_back(folder_.path().string());
    args.push_back("2000");

    Child halvern(args);
    ASSERT_GT(halvern.pid(), 0);
    const std::string ready = halvern.ReadLine();
    ASSERT_TRUE(ready.starts_with("ready ")) << "'" << ready << "'";
    const pid_t helper = std::stoi(ready.substr(6));
    EXPECT_EQ(helper > 0, c.byHelper) << ready;
    if (helper > 0) {
      const auto timer = WaitForTimer(helper, [](const auto& t) { return t.armed; });
      ASSERT_TRUE(timer);
      EXPECT_EQ(timer->clockId, kAlarmClock) << timer->text;
      EXPECT_EQ(RunsSecure(helper), c.fileCapability);
      for (const auto& own : Timers(halvern.pid())) EXPECT_FALSE(own.armed) << own.text;
    } else {
      const auto timer = WaitForTimer(halvern.pid(), [](const auto& t) { return t.armed; });
      ASSERT_TRUE(timer);
      EXPECT_EQ(timer->clockId, kRealtimeClock) << timer->text;
    }
    EXPECT_EQ(halvern.ReadLine(), "received");
    EXPECT_EQ(halvern.Wait(), 0);
    if (helper > 0) {
      EXPECT_TRUE(test::WaitEnded(helper));
    }
  }
}

TEST_F(TimedRunPrivilegeTest, TheHelperEndsWhenHalvernIsKilled) {
  std::vector<std::string> args = CleanEnvironment(tmp(), folder_.root() / "home");
  args.push_back(TIMED_RUN_PROBE_BINARY);
  args.push_back(folder_.path().string());
  args.push_back("0");
  args.push_back("hold");
  Child halvern(args);
  const std::string ready = halvern.ReadLine();
  ASSERT_TRUE(ready.starts_with("ready ")) << "'" << ready << "'";
  const pid_t helper = std::stoi(ready.substr(6));
  ASSERT_GT(helper, 0);
  ASSERT_TRUE(WaitForTimer(helper, [](const auto& t) { return t.armed; }));
  ASSERT_EQ(::kill(halvern.pid(), SIGKILL), 0);
  halvern.Wait();
  EXPECT_TRUE(test::WaitEnded(helper));
}

}  // namespace
}  // namespace halvern
