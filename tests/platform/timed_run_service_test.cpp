#include "timed_run_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "env_guard.h"
#include "launcher_socket.h"
#include "temp_store.h"
#include "window_host.h"

#include "qt_loop.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

using test::QtApp;
using test::RunUntil;

// Not time(): it reads a coarse clock that may still show the previous second
// when a timer for the next one has fired.
std::int64_t WallNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

std::int64_t WallNowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

LocalTime ToLocal(std::int64_t epoch) {
  const time_t t = static_cast<time_t>(epoch);
  tm local{};
  ::localtime_r(&t, &local);
  return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour,        local.tm_min,     local.tm_sec};
}

// Sets TZ for one test and puts the time zone back after it.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) : guard_(std::make_unique<test::EnvGuard>("TZ", zone)) {
    ::tzset();
  }
  ~ZoneGuard() {
    guard_.reset();
    ::tzset();
  }
  ZoneGuard(const ZoneGuard&) = delete;
  ZoneGuard& operator=(const ZoneGuard&) = delete;

 private:
  std::unique_ptr<test::EnvGuard> guard_;
};

std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// What the service reported, collected from its thread.
struct Fired {
  std::u16string program;
  std::int64_t booked = 0;
  pid_t pid = 0;
  std::int64_t at = 0;    // wall clock when reported
  std::int64_t atMs = 0;  //   the same in milliseconds
};

class FiredLog {
 public:
  TimedRunService::FiredCallback Callback() {
    return [this](const std::u16string& program, std::int64_t booked, pid_t pid) {
      std::lock_guard lock(mutex_);
      const std::int64_t nowMs = WallNowMs();
      fired_.push_back({program, booked, pid, nowMs / 1000, nowMs});
      changed_.notify_all();
    };
  }
  bool WaitFor(std::size_t count, std::chrono::milliseconds limit = 15s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return fired_.size() >= count; });
  }
  std::vector<Fired> Get() {
    std::lock_guard lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Fired> fired_;
};

// A folder with a small program "marker" that records that it ran and which
// descriptors it was given.
class ProgramFolder {
 public:
  ProgramFolder() {
    std::ofstream script(dir_.path() / "marker");
    script << "#!/bin/sh\n"
              "ls -l /proc/$$/fd > \"$(dirname \"$0\")/fds.txt\" 2>&1\n"
              "echo ran >> \"$(dirname \"$0\")/ran.txt\"\n";
    script.close();
    ::chmod((dir_.path() / "marker").c_str(), 0755);
  }
  const std::filesystem::path& path() const { return dir_.path(); }
  int Runs() const {
    const std::string text = ReadFile(dir_.path() / "ran.txt");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

 private:
  test::TempDir dir_;
};

TEST(TimedRunServiceTest, FiresABookingAtItsTimeAndStartsTheProgram) {
  ProgramFolder folder;
  FiredLog log;
  TimedRunService service(folder.path(), log.Callback());
  const std::int64_t when = WallNow() + 2;
  ASSERT_TRUE(service.RunAppAtTime(u"marker", ToLocal(when)));

  ASSERT_TRUE(log.WaitFor(1));
  const Fired fired = log.Get().front();
  EXPECT_EQ(fired.program, u"marker");
  EXPECT_EQ(fired.booked, when);
  EXPECT_GE(fired.at, when);  // never early
  EXPECT_GT(fired.pid, 0);

  // The program ran; it was reaped (no zombie) and got none of the service's
  // descriptors.
  const auto deadline = SteadyClock::now() + 10s;
  while ((folder.Runs() < 1 || std::filesystem::exists("/proc/" + std::to_string(fired.pid))) &&
         SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(folder.Runs(), 1);
  EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(fired.pid)));
  const std::string fds = ReadFile(folder.path() / "fds.txt");
  EXPECT_EQ(fds.find("timerfd"), std::string::npos) << fds;
  EXPECT_EQ(fds.find("eventfd"), std::string::npos) << fds;
  EXPECT_EQ(log.Get().size(), 1u);
}

TEST(TimedRunServiceTest, ANewBookingReplacesThePendingOneAndNoTimeCancels) {
  ProgramFolder folder;
  FiredLog log;
  TimedRunService service(folder.path(), log.Callback());
  const std::int64_t now = WallNow();

  // Replaced: only the later time fires. The name is matched without regard to
  // letter case.
  ASSERT_TRUE(service.RunAppAtTime(u"marker", ToLocal(now + 1)));
  ASSERT_TRUE(service.RunAppAtTime(u"MARKER", ToLocal(now + 3)));
  // Cancelled: nothing fires for "other".
  ASSERT_TRUE(service.RunAppAtTime(u"other", ToLocal(now + 1)));
  ASSERT_TRUE(service.RunAppAtTime(u"other", std::nullopt));

  ASSERT_TRUE(log.WaitFor(1));
  std::this_thread::sleep_for(1500ms);
  const auto fired = log.Get();
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].booked, now + 3);
  EXPECT_GE(fired[0].at, now + 3);
  EXPECT_EQ(fired[0].program, u"MARKER");
}

TEST(TimedRunServiceTest, ATimeInThePastFiresAtOnce) {
  ProgramFolder folder;
  FiredLog log;
  TimedRunService service(folder.path(), log.Callback());
  ASSERT_TRUE(service.RunAppAtTime(u"marker", ToLocal(WallNow() - 30)));
  ASSERT_TRUE(log.WaitFor(1, 5s));
}

TEST(TimedRunServiceTest, AMissingProgramIsReportedAndTheServiceGoesOn) {
  ProgramFolder folder;
  FiredLog log;
  TimedRunService service(folder.path(), log.Callback());
  ASSERT_TRUE(service.RunAppAtTime(u"absent", ToLocal(WallNow() - 1)));
  ASSERT_TRUE(log.WaitFor(1, 5s));
  EXPECT_LT(log.Get()[0].pid, 0);
  ASSERT_TRUE(service.RunAppAtTime(u"marker", ToLocal(WallNow() - 1)));
  ASSERT_TRUE(log.WaitFor(2, 5s));
  EXPECT_GT(log.Get()[1].pid, 0);
}

TEST(TimedRunServiceTest, RefusesNamesWithAFolderAndTimesOutOfRange) {
  test::TempDir dir;
  TimedRunService service(dir.path());
  const LocalTime ok = ToLocal(WallNow() + 3600);
  for (const std::u16string& name :
       {std::u16string(), std::u16string(u"."), std::u16string(u".."), std::u16string(u"../x"),
        std::u16string(u"/bin/sh"), std::u16string(u"a/b"), std::u16string(u"\\Windows\\x.exe"),
        std::u16string(u".exe")}) {
    EXPECT_FALSE(service.RunAppAtTime(name, ok)) << std::string(name.begin(), name.end());
  }
  EXPECT_EQ(service.ProgramPath(u"HalvernRun.exe"), dir.path() / "HalvernRun");
  EXPECT_EQ(service.ProgramPath(u"HalvernRun.EXE"), dir.path() / "HalvernRun");
  EXPECT_EQ(service.ProgramPath(u"tool"), dir.path() / "tool");

  struct Case {
    LocalTime time;
    bool valid;
  };
  const Case cases[] = {
      {{2024, 2, 29, 12, 0, 0}, true},          {{2023, 2, 29, 12, 0, 0}, false},
      {{2024, 13, 1, 0, 0, 0}, false},          {{2024, 0, 1, 0, 0, 0}, false},
      {{2024, 4, 31, 0, 0, 0}, false},          {{2024, 1, 1, 24, 0, 0}, false},
      {{2024, 1, 1, 0, 60, 0}, false},          {{2024, 1, 1, 0, 0, 60}, false},
      {{2024, 12, 31, 23, 59, 59}, true},       {{1969, 12, 31, 23, 59, 59}, false},
      {{2024, 1, 1, 0, 0, 0, 999}, true},       {{2024, 1, 1, 0, 0, 0, 1000}, false},
      {{2024, 1, 1, 0, 0, 0, -1}, false},       {{2024, 1, 1, 0, 0, 0, 0, 50400}, true},
      {{2024, 1, 1, 0, 0, 0, 0, 90000}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.time.year << "-" << c.time.month << "-" << c.time.day << " " << c.time.hour
                 << ":" << c.time.minute << ":" << c.time.second);
    EXPECT_EQ(LocalTimeToEpoch(c.time).has_value(), c.valid);
    EXPECT_EQ(service.RunAppAtTime(u"HalvernRun.exe", c.time), c.valid);
  }
  EXPECT_TRUE(service.RunAppAtTime(u"HalvernRun.exe", std::nullopt));
}

TEST(TimedRunServiceTest, LocalTimeRoundTrips) {
  const std::int64_t now = WallNow();
  for (std::int64_t t : {now, now + 45 * 60 + 1, now + 86400 * 200}) {
    EXPECT_EQ(LocalTimeToEpoch(ToLocal(t)), t);
  }
}

TEST(TimedRunServiceTest, AnOffsetNamesTheInstantInTheRepeatedHour) {
  ZoneGuard zone("Europe/Berlin");
  // 2024-10-27 02:30 happens twice in Berlin: 00:30 UTC in summer time, 01:30
  // UTC in winter time. Across the spring gap an offset still counts.
  struct Case {
    LocalTime time;
    std::int64_t utcMs;
  } cases[] = {
      {{2024, 10, 27, 2, 30, 0, 0, 7200}, 1729989000000},
      {{2024, 10, 27, 2, 30, 0, 0, 3600}, 1729992600000},
      {{2024, 10, 27, 2, 59, 59, 999, 7200}, 1729990799999},
      {{2024, 3, 31, 3, 15, 1, 250, 7200}, 1711847701250},
      {{2024, 3, 31, 1, 59, 59, 500, 3600}, 1711846799500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.time.hour << ":" << c.time.minute << " offset "
                                    << c.time.utcOffset.value_or(-1));
    EXPECT_EQ(LocalTimeToEpochMs(c.time), c.utcMs);
    EXPECT_EQ(LocalTimeToEpoch(c.time), c.utcMs / 1000);
  }
}

TEST(TimedRunServiceTest, FiresAtTheBookedMillisecondAndByTheBookedOffset) {
  // Berlin's rules would read these UTC wall-clock fields an hour or two early.
  ZoneGuard zone("Europe/Berlin");
  ProgramFolder folder;
  FiredLog log;
  TimedRunService service(folder.path(), log.Callback());
  // 700 ms into a second at least a second ahead: an alarm at the whole
  // second would go off early.
  const std::int64_t whenMs = (WallNowMs() / 1000 + 2) * 1000 + 700;
  const time_t whole = static_cast<time_t>(whenMs / 1000);
  tm utc{};
  ::gmtime_r(&whole, &utc);
  const LocalTime when{utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                       utc.tm_min,         utc.tm_sec,     700,         0};
  ASSERT_TRUE(service.RunAppAtTime(u"marker", when));
  ASSERT_TRUE(log.WaitFor(1));
  const Fired fired = log.Get().front();
  EXPECT_EQ(fired.booked, whenMs / 1000);
  EXPECT_GE(fired.atMs, whenMs);  // never early
}

// The whole road: the service starts the real HalvernRun installed beside the
// test, which reaches the listener over the socket.
TEST(TimedRunServiceTest, StartsHalvernRunWhichDeliversRunCheck) {
  QtApp();
  test::TempDir runtime;
  std::vector<std::uint32_t> received;
  LauncherSocket listener([&](std::uint32_t m) { received.push_back(m); },
                          runtime.path() / "Velmora Halvern.sock");
  ASSERT_EQ(listener.Listen(), LauncherSocket::ListenResult::kListening);
  test::EnvGuard runtimeEnv("XDG_RUNTIME_DIR", runtime.path().c_str());  // inherited by the child

  FiredLog log;
  TimedRunService service(std::filesystem::path(HALVERN_RUN_BINARY).parent_path(), log.Callback());
  const std::int64_t when = WallNow() + 2;
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun.exe", ToLocal(when)));
  ASSERT_TRUE(RunUntil([&] { return !received.empty(); }));
  EXPECT_EQ(received, std::vector<std::uint32_t>{UM_RUN_CHECK});
  EXPECT_GE(WallNow(), when);
}

}  // namespace
}  // namespace halvern
