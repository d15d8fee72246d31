// The worker pool: every task gets a thread at once, finished threads take up
// the next task, idle ones end, and a thread that cannot start leaves the task
// with the caller.

#include "worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "event.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Counts the threads it starts and can be told to refuse.
struct CountingStarter {
  std::atomic<int> started{0};
  std::atomic<bool> refuse{false};
  ThreadStarter Starter() {
    return [this](std::function<void()> body) -> std::error_code {
      if (refuse) return std::make_error_code(std::errc::resource_unavailable_try_again);
      ++started;
      std::thread(std::move(body)).detach();
      return {};
    };
  }
};

// Notes the thread it ran on, then waits for `release` when given one.
class NotingTask final : public WorkerTask {
 public:
  NotingTask(std::mutex& mutex, std::vector<std::thread::id>& ran,
             std::shared_ptr<ManualResetEvent> release = nullptr)
      : mutex_(mutex), ran_(ran), release_(std::move(release)) {}
  void Run() override {
    {
      std::lock_guard lock(mutex_);
      ran_.push_back(std::this_thread::get_id());
    }
    if (release_) {
      while (!release_->Wait(1h)) {
      }
    }
  }

 private:
  std::mutex& mutex_;
  std::vector<std::thread::id>& ran_;
  std::shared_ptr<ManualResetEvent> release_;
};

class WorkerPoolTest : public ::testing::Test {
 protected:
  std::unique_ptr<WorkerTask> Task(std::shared_ptr<ManualResetEvent> release = nullptr) {
    return std::make_unique<NotingTask>(mutex, ran, std::move(release));
  }
  std::size_t RanCount() {
    std::lock_guard lock(mutex);
    return ran.size();
  }
  std::vector<std::thread::id> Ran() {
    std::lock_guard lock(mutex);
    return ran;
  }

  CountingStarter starter;
  std::mutex mutex;
  std::vector<std::thread::id> ran;
};

TEST_F(WorkerPoolTest, AFinishedThreadTakesUpTheNextTaskAndEndsWhenIdle) {
  WorkerPool pool(starter.Starter(), 2s);
  for (int i = 0; i < 3; ++i) {
    auto task = Task();
    ASSERT_FALSE(pool.Run(task));
    EXPECT_EQ(task, nullptr);  // the pool has it
    ASSERT_TRUE(WaitFor([&] { return pool.IdleCount() == 1; }));
  }
  const auto threads = Ran();
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads[1], threads[0]);
  EXPECT_EQ(threads[2], threads[0]);
  EXPECT_EQ(starter.started.load(), 1);

  ASSERT_TRUE(WaitFor([&] { return pool.ThreadCount() == 0; }));
  auto task = Task();
  ASSERT_FALSE(pool.Run(task));
  ASSERT_TRUE(WaitFor([&] { return RanCount() == 4; }));
  EXPECT_EQ(starter.started.load(), 2);  // the idle one had ended
}

// No bound: tasks that all wait run together, each on its own thread.
TEST_F(WorkerPoolTest, EveryTaskRunsAtOnceOnAThreadOfItsOwn) {
  constexpr std::size_t kTasks = 50;
  WorkerPool pool(starter.Starter(), 5s);
  auto release = std::make_shared<ManualResetEvent>();
  for (std::size_t i = 0; i < kTasks; ++i) {
    auto task = Task(release);
    ASSERT_FALSE(pool.Run(task));
  }
  ASSERT_TRUE(WaitFor([&] { return RanCount() == kTasks; }));
  const auto threads = Ran();
  EXPECT_EQ(std::set<std::thread::id>(threads.begin(), threads.end()).size(), kTasks);
  EXPECT_EQ(pool.ThreadCount(), kTasks);
  EXPECT_EQ(pool.IdleCount(), 0u);

  release->Set();
  ASSERT_TRUE(WaitFor([&] { return pool.IdleCount() == kTasks; }));
  // A second wave reuses them all.
  auto again = std::make_shared<ManualResetEvent>();
  for (std::size_t i = 0; i < kTasks; ++i) {
    auto task = Task(again);
    ASSERT_FALSE(pool.Run(task));
  }
  ASSERT_TRUE(WaitFor([&] { return RanCount() == 2 * kTasks; }));
  EXPECT_EQ(starter.started.load(), static_cast<int>(kTasks));
  again->Set();
}

TEST_F(WorkerPoolTest, AThreadThatCannotStartLeavesTheTaskWithTheCaller) {
  WorkerPool pool(starter.Starter(), 5s);
  starter.refuse = true;
  auto task = Task();
  const std::error_code error = pool.Run(task);
  EXPECT_EQ(error, std::make_error_code(std::errc::resource_unavailable_try_again));
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(pool.ThreadCount(), 0u);

  // An idle thread needs no start: it takes the task even now.
  starter.refuse = false;
  ASSERT_FALSE(pool.Run(task));
  ASSERT_TRUE(WaitFor([&] { return pool.IdleCount() == 1; }));
  starter.refuse = true;
  auto next = Task();
  EXPECT_FALSE(pool.Run(next));
  ASSERT_TRUE(WaitFor([&] { return RanCount() == 2; }));
}

// The pool's end does not wait for a running task, which finishes on its own
// and ends its thread; idle threads end at once.
TEST_F(WorkerPoolTest, DestroyingThePoolLeavesRunningTasksToFinish) {
  auto release = std::make_shared<ManualResetEvent>();
  auto finished = std::make_shared<ManualResetEvent>();
  auto pool = std::make_unique<WorkerPool>(starter.Starter(), 1h);
  auto idle = Task();
  ASSERT_FALSE(pool->Run(idle));
  ASSERT_TRUE(WaitFor([&] { return pool->IdleCount() == 1; }));
  auto running = MakeWorkerTask([release, finished] {
    while (!release->Wait(1h)) {
    }
    finished->Set();
  });
  ASSERT_FALSE(pool->Run(running));
  auto second = Task();  // no idle thread left: a new one
  ASSERT_FALSE(pool->Run(second));
  ASSERT_TRUE(WaitFor([&] { return pool->IdleCount() == 1; }));
  pool.reset();
  EXPECT_FALSE(finished->IsSet());
  release->Set();
  EXPECT_TRUE(finished->Wait(30s));
}

TEST(StartDetachedThread, ReportsWhatTheStarterReportsAndTurnsThrowsIntoCodes) {
  const auto code = std::make_error_code(std::errc::resource_unavailable_try_again);
  EXPECT_EQ(StartDetachedThread([&](std::function<void()>) { return code; }, [] {}), code);
  EXPECT_EQ(
      StartDetachedThread(
          [&](std::function<void()>) -> std::error_code { throw std::system_error(code); }, [] {}),
      code);
  auto ran = std::make_shared<ManualResetEvent>();
  EXPECT_FALSE(StartDetachedThread({}, [ran] { ran->Set(); }));
  EXPECT_TRUE(ran->Wait(30s));
}

}  // namespace
}  // namespace halvern
