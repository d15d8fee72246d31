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
#include "timed_run_fixture.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

using test::Fired;
using test::FiredLog;
using test::ProgramFolder;
using test::QtApp;
using test::RunUntil;
using test::ToLocal;
using test::WallNow;
using test::WallNowMs;

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

// Each booking test runs twice: with the service holding the timer itself,
// and with the wake-alarm helper in the program folder's install arrangement
// holding it (where this process may use the alarm clock, and so may the
// helper's copy, which has no file capability).
enum class Holder { kService, kHelper };

class TimedRunServiceTest : public testing::TestWithParam<Holder> {
 protected:
  void SetUp() override {
    if (GetParam() == Holder::kHelper && !test::MayUseAlarmClock()) {
      GTEST_SKIP() << "the helper cannot hold CLOCK_REALTIME_ALARM here (not root)";
    }
    folder_ = std::make_unique<ProgramFolder>(GetParam() == Holder::kHelper);
  }
  const ProgramFolder& folder() const { return *folder_; }
  // Checks that the bookings are held where this test's parameter says.
  void ExpectHolder(const TimedRunService& service) const {
    if (GetParam() == Holder::kHelper) {
      EXPECT_GT(service.HelperPid(), 0);
    } else {
      EXPECT_EQ(service.HelperPid(), -1);
    }
  }

 private:
  std::unique_ptr<ProgramFolder> folder_;
};

INSTANTIATE_TEST_SUITE_P(Holders, TimedRunServiceTest,
                         testing::Values(Holder::kService, Holder::kHelper),
                         [](const testing::TestParamInfo<Holder>& info) {
                           return info.param == Holder::kService ? "InProcess" : "ByHelper";
                         });

TEST_P(TimedRunServiceTest, FiresABookingAtItsTimeAndStartsTheProgram) {
  FiredLog log;
  TimedRunService service(folder().path(), log.Callback());
  ExpectHolder(service);
  const std::int64_t when = WallNow() + 2;
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun", ToLocal(when)));

  ASSERT_TRUE(log.WaitFor(1));
  const Fired fired = log.Get().front();
  EXPECT_EQ(fired.program, u"HalvernRun");
  EXPECT_EQ(fired.booked, when);
  EXPECT_GE(fired.at, when);  // never early
  EXPECT_GT(fired.pid, 0);

  // The program ran; it was reaped (no zombie) and got none of the service's
  // or the helper's descriptors.
  const auto deadline = SteadyClock::now() + 10s;
  while ((folder().Runs() < 1 || std::filesystem::exists("/proc/" + std::to_string(fired.pid))) &&
         SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_EQ(folder().Runs(), 1);
  EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(fired.pid)));
  const std::string fds = test::ReadFile(folder().bin() / "fds.txt");
  for (const char* kind : {"timerfd", "eventfd", "signalfd"}) {
    EXPECT_EQ(fds.find(kind), std::string::npos) << fds;
  }
  EXPECT_EQ(log.Get().size(), 1u);
  if (GetParam() == Holder::kHelper) {
    // The helper keeps its capability to itself, also when run by root.
    const std::string caps = test::ReadFile(folder().bin() / "caps.txt");
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
      EXPECT_NE(caps.find(std::string(set) + ":\t0000000000000000"), std::string::npos)
          << set << "\n"
          << caps;
    }
  }
}

TEST_P(TimedRunServiceTest, ANewBookingReplacesThePendingOneAndNoTimeCancels) {
  FiredLog log;
  TimedRunService service(folder().path(), log.Callback());
  ExpectHolder(service);
  const std::int64_t now = WallNow();

  // Replaced: only the later time fires. The name is matched without regard to
  // letter case (the helper starts only "HalvernRun": another spelling takes
  // the booking back from it).
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun", ToLocal(now + 1)));
  ASSERT_TRUE(service.RunAppAtTime(u"HALVERNRUN", ToLocal(now + 3)));
  // Cancelled: nothing fires for "other".
  ASSERT_TRUE(service.RunAppAtTime(u"other", ToLocal(now + 1)));
  ASSERT_TRUE(service.RunAppAtTime(u"other", std::nullopt));

  ASSERT_TRUE(log.WaitFor(1));
  std::this_thread::sleep_for(1500ms);
  const auto fired = log.Get();
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired[0].booked, now + 3);
  EXPECT_GE(fired[0].at, now + 3);
  EXPECT_EQ(fired[0].program, u"HALVERNRUN");
}

TEST_P(TimedRunServiceTest, ATimeInThePastFiresAtOnce) {
  FiredLog log;
  TimedRunService service(folder().path(), log.Callback());
  ExpectHolder(service);
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun", ToLocal(WallNow() - 30)));
  ASSERT_TRUE(log.WaitFor(1, 5s));
}

TEST_P(TimedRunServiceTest, AMissingProgramIsReportedAndTheServiceGoesOn) {
  FiredLog log;
  TimedRunService service(folder().path(), log.Callback());
  ExpectHolder(service);
  ASSERT_TRUE(service.RunAppAtTime(u"absent", ToLocal(WallNow() - 1)));
  ASSERT_TRUE(log.WaitFor(1, 5s));
  EXPECT_LT(log.Get()[0].pid, 0);
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun", ToLocal(WallNow() - 1)));
  ASSERT_TRUE(log.WaitFor(2, 5s));
  EXPECT_GT(log.Get()[1].pid, 0);
  ExpectHolder(service);
}

TEST(TimedRunRulesTest, RefusesNamesWithAFolderAndTimesOutOfRange) {
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

TEST(TimedRunRulesTest, LocalTimeRoundTrips) {
  const std::int64_t now = WallNow();
  for (std::int64_t t : {now, now + 45 * 60 + 1, now + 86400 * 200}) {
    EXPECT_EQ(LocalTimeToEpoch(ToLocal(t)), t);
  }
}

TEST(TimedRunRulesTest, AnOffsetNamesTheInstantInTheRepeatedHour) {
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

TEST_P(TimedRunServiceTest, FiresAtTheBookedMillisecondAndByTheBookedOffset) {
  // Berlin's rules would read these UTC wall-clock fields an hour or two early.
  ZoneGuard zone("Europe/Berlin");
  FiredLog log;
  TimedRunService service(folder().path(), log.Callback());
  // 700 ms into a second at least a second ahead: an alarm at the whole
  // second would go off early.
  const std::int64_t whenMs = (WallNowMs() / 1000 + 2) * 1000 + 700;
  const time_t whole = static_cast<time_t>(whenMs / 1000);
  tm utc{};
  ::gmtime_r(&whole, &utc);
  const LocalTime when{utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                       utc.tm_min,         utc.tm_sec,     700,         0};
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun", when));
  ASSERT_TRUE(log.WaitFor(1));
  const Fired fired = log.Get().front();
  EXPECT_EQ(fired.booked, whenMs / 1000);
  EXPECT_GE(fired.atMs, whenMs);  // never early
}

// The whole road: the service starts the real HalvernRun (a copy in the
// program folder), which reaches the listener over the socket.
TEST_P(TimedRunServiceTest, StartsHalvernRunWhichDeliversRunCheck) {
  QtApp();
  test::TempDir runtime;
  std::vector<std::uint32_t> received;
  LauncherSocket listener([&](std::uint32_t m) { received.push_back(m); },
                          runtime.path() / "Velmora Halvern.sock");
  ASSERT_EQ(listener.Listen(), LauncherSocket::ListenResult::kListening);
  test::EnvGuard runtimeEnv("XDG_RUNTIME_DIR", runtime.path().c_str());  // inherited by the child

  std::filesystem::copy_file(HALVERN_RUN_BINARY, folder().bin() / "HalvernRun",
                             std::filesystem::copy_options::overwrite_existing);
  FiredLog log;
  TimedRunService service(folder().path(), log.Callback());
  ExpectHolder(service);
  const std::int64_t when = WallNow() + 2;
  ASSERT_TRUE(service.RunAppAtTime(u"HalvernRun.exe", ToLocal(when)));
  ASSERT_TRUE(RunUntil([&] { return !received.empty(); }));
  EXPECT_EQ(received, std::vector<std::uint32_t>{UM_RUN_CHECK});
  EXPECT_GE(WallNow(), when);
}

}  // namespace
}  // namespace halvern
