// The wall-clock timer on a real timerfd and Qt Core's loop, and the window
// host's timers built on it. A clock set cannot be made without privileges:
// a stand-in for read() reports one (ECANCELED) after the real read.

#include "wall_clock_timer.h"

#include <errno.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "qt_loop.h"
#include "qt_window_host.h"

namespace halvern {
namespace {

using test::QtApp;
using test::RunUntil;

std::int64_t RealtimeMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// What the stand-in read reports next, once: 0 passes the real result on.
int g_nextError = 0;
ssize_t ScriptedRead(int fd, void* buffer, size_t size) {
  const ssize_t n = ::read(fd, buffer, size);
  const int error = g_nextError;
  g_nextError = 0;
  if (error == 0) return n;
  errno = error;
  return -1;
}

class WallClockTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QtApp();
    g_nextError = 0;
  }
  // Each firing, with the wall clock read inside the callback.
  std::vector<std::int64_t> firedAtMs;
};

TEST_F(WallClockTimerTest, FiresAtOnceForAPastInstantAndNotBeforeAFutureOne) {
  std::int64_t setFromCallback = 0;  // 0: nothing
  WallClockTimer* self = nullptr;
  auto timer = WallClockTimer::Make([&] {
    firedAtMs.push_back(RealtimeMs());
    if (setFromCallback != 0) {
      EXPECT_TRUE(self->Set(std::exchange(setFromCallback, 0)));
    }
  });
  ASSERT_NE(timer, nullptr);
  self = timer.get();

  // Any past instant, even one the kernel could not take as it stands.
  const std::int64_t past[] = {RealtimeMs() - 60000, 0, -1, INT64_MIN};
  for (const std::int64_t instant : past) {
    SCOPED_TRACE(instant);
    const std::size_t before = firedAtMs.size();
    ASSERT_TRUE(timer->Set(instant));
    ASSERT_TRUE(RunUntil([&] { return firedAtMs.size() == before + 1; }));
  }

  const std::int64_t future = RealtimeMs() + 300;
  ASSERT_TRUE(timer->Set(future));
  ASSERT_TRUE(RunUntil([&] { return firedAtMs.size() == 5; }));
  EXPECT_GE(firedAtMs.back(), future);

  // Set again from its own callback (how an owner waits on), the new instant
  // replaces the spent one; an instant far beyond the kernel's range is taken.
  const std::int64_t next = RealtimeMs() + 200;
  setFromCallback = next;
  ASSERT_TRUE(timer->Set(RealtimeMs() - 1));
  ASSERT_TRUE(RunUntil([&] { return firedAtMs.size() == 7; }));
  EXPECT_GE(firedAtMs.back(), next);
  EXPECT_TRUE(timer->Set(INT64_MAX));
  timer->Stop();
}

TEST_F(WallClockTimerTest, AClockSetIsReportedAndANothingToReadIsNot) {
  int fired = 0;
  std::int64_t next = 0;
  WallClockTimer* self = nullptr;
  auto timer = WallClockTimer::Make(
      [&] {
        ++fired;
        // The owner of a cancelled timer reads the clock and sets it anew.
        if (next != 0) {
          EXPECT_TRUE(self->Set(next));
        }
      },
      &ScriptedRead);
  ASSERT_NE(timer, nullptr);
  self = timer.get();

  // Readable but nothing to read (set again in between): no firing; the next
  // instant fires once.
  g_nextError = EAGAIN;
  ASSERT_TRUE(timer->Set(RealtimeMs() - 1));
  ASSERT_TRUE(RunUntil([&] { return g_nextError == 0; }));
  EXPECT_EQ(fired, 0);
  ASSERT_TRUE(timer->Set(RealtimeMs() - 1));
  ASSERT_TRUE(RunUntil([&] { return fired == 1; }));

  // A clock set is reported as a firing, and the instant set from it holds.
  g_nextError = ECANCELED;
  next = RealtimeMs() + 200;
  ASSERT_TRUE(timer->Set(RealtimeMs() - 1));
  ASSERT_TRUE(RunUntil([&] { return fired == 2; }));
  EXPECT_EQ(g_nextError, 0);
  const std::int64_t armedFor = next;
  next = 0;
  ASSERT_TRUE(RunUntil([&] { return fired == 3; }));
  EXPECT_GE(RealtimeMs(), armedFor);
}

struct Recorder final : WindowHandler {
  void OnMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
  void OnTimer(std::uint32_t id) override { timers.push_back(id); }
  std::vector<std::uint32_t> timers;
};

TEST_F(WallClockTimerTest, TheWindowHostDeliversWallTimersByIdAndKillsThem) {
  Recorder handler;
  QtWindowHost host(&handler);

  // Killed, replaced by a window timer and replaced by a later instant: only
  // the one left standing fires, once.
  ASSERT_TRUE(host.SetWallTimer(1, RealtimeMs() - 1));
  host.KillTimer(1);
  ASSERT_TRUE(host.SetWallTimer(2, RealtimeMs() - 1));
  host.SetTimer(2, INT_MAX);
  ASSERT_TRUE(host.SetWallTimer(3, RealtimeMs() - 1));
  ASSERT_TRUE(host.SetWallTimer(3, RealtimeMs() + 100000000));
  ASSERT_TRUE(host.SetWallTimer(4, RealtimeMs() - 1));
  ASSERT_TRUE(RunUntil([&] { return !handler.timers.empty(); }));
  EXPECT_EQ(handler.timers, std::vector<std::uint32_t>{4});
  host.KillTimer(2);
  host.KillTimer(3);

  // A window timer replaced by a wall timer stops ticking.
  host.SetTimer(5, 1);
  const std::int64_t instant = RealtimeMs() + 200;
  ASSERT_TRUE(host.SetWallTimer(5, instant));
  ASSERT_TRUE(RunUntil([&] { return handler.timers.size() == 2; }));
  EXPECT_EQ(handler.timers.back(), 5u);
  EXPECT_GE(RealtimeMs(), instant);

  // No descriptor left for a timerfd: the caller is told to tick instead.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int lowest = ::dup(0);
  ASSERT_GE(lowest, 0);
  ::close(lowest);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  const bool made = host.SetWallTimer(6, RealtimeMs() - 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_FALSE(made);
  // Once descriptors are there again, it is made.
  ASSERT_TRUE(host.SetWallTimer(6, RealtimeMs() - 1));
  ASSERT_TRUE(RunUntil([&] { return handler.timers.size() == 3; }));
  EXPECT_EQ(handler.timers.back(), 6u);
}

}  // namespace
}  // namespace halvern
