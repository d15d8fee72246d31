// The check workers' POSIX threads: the stack they get, and a refusal.

#include "worker_threads.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <memory>

namespace halvern {
namespace {

std::size_t StackOfThisThread() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  std::size_t size = 0;
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  return size;
}

TEST(SizedStackThreads, ThreadsRunDetachedWithTheStackAskedFor) {
  for (const std::size_t asked : {kCheckStackBytes, std::size_t{1} << 20}) {
    auto seen = std::make_shared<std::promise<std::size_t>>();
    auto result = seen->get_future();
    ASSERT_FALSE(SizedStackThreads(asked)([seen] { seen->set_value(StackOfThisThread()); }));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    // The size reported covers the whole mapping, guard page included (and,
    // under ThreadSanitizer, room of its own); far below the 8 MB default.
    const std::size_t size = result.get();
    EXPECT_GE(size, EffectiveStackBytes(asked)) << asked;
    EXPECT_LT(size, EffectiveStackBytes(asked) + 1024 * 1024) << asked;
  }
}

TEST(SizedStackThreads, ARefusedThreadReportsTheReasonAndNeverRuns) {
  // More stack than the address space holds: pthread_create refuses.
  bool ran = false;
  const std::error_code error = SizedStackThreads(std::size_t{1} << 60)([&ran] { ran = true; });
  EXPECT_TRUE(error);
  EXPECT_FALSE(error.message().empty());
  EXPECT_FALSE(ran);
}

// The futex hash is the size asked for once threads run, also when asked
// again while they do (the program asks before its first thread).
TEST(FutexHash, SizedForManyWaitingThreads) {
  if (!SizeFutexHash(kFutexHashSlots)) GTEST_SKIP() << "no private futex hash in this kernel";
  EXPECT_EQ(FutexHashSlots(), kFutexHashSlots);
  std::promise<std::size_t> seen;
  ASSERT_FALSE(SizedStackThreads()([&] { seen.set_value(FutexHashSlots()); }));
  EXPECT_EQ(seen.get_future().get(), kFutexHashSlots);
  ASSERT_TRUE(SizeFutexHash(2 * kFutexHashSlots));
  EXPECT_EQ(FutexHashSlots(), 2 * kFutexHashSlots);
}

}  // namespace
}  // namespace halvern
