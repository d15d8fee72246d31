#include "qt_window_host.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "qt_loop.h"

namespace halvern {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::QtApp;
using test::RunFor;
using test::RunPast;
using test::RunUntil;

struct Recorder final : WindowHandler {
  struct Message {
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    std::thread::id thread;
  };
  std::vector<Message> messages;
  std::vector<std::uint32_t> timers;
  std::function<void(std::uint32_t)> onTimer;

  void OnMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
    messages.push_back({message, wParam, lParam, std::this_thread::get_id()});
  }
  void OnTimer(std::uint32_t id) override {
    timers.push_back(id);
    if (onTimer) onTimer(id);
  }
  int TimerCount(std::uint32_t id) const {
    return static_cast<int>(std::count(timers.begin(), timers.end(), id));
  }
};

class QtWindowHostTest : public ::testing::Test {
 protected:
  void SetUp() override { QtApp(); }
  Recorder handler;
};

TEST_F(QtWindowHostTest, PostedMessagesArriveOnTheWindowThreadInOrder) {
  QtWindowHost host(&handler);
  constexpr int kPerThread = 200;
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) host.PostMessage(0x400 + t, i, -i);
    });
  }
  for (auto& w : workers) w.join();
  host.PostMessage(0x465, 0, 0);  // from the window thread itself: still queued
  EXPECT_TRUE(handler.messages.empty());

  ASSERT_TRUE(RunUntil([&] { return handler.messages.size() == 3 * kPerThread + 1; }));
  std::uintptr_t next[3] = {0, 0, 0};
  for (const auto& m : handler.messages) {
    EXPECT_EQ(m.thread, std::this_thread::get_id());
    if (m.message == 0x465) continue;
    const int t = static_cast<int>(m.message - 0x400);
    EXPECT_EQ(m.wParam, next[t]) << "thread " << t;
    EXPECT_EQ(m.lParam, -static_cast<std::intptr_t>(m.wParam));
    ++next[t];
  }
}

TEST_F(QtWindowHostTest, SendRunsOnTheWindowThreadAndWaitsForTheCall) {
  QtWindowHost host(&handler);
  const auto windowThread = std::this_thread::get_id();

  // From the window thread the call runs at once.
  bool ranHere = false;
  host.Send([&] { ranHere = true; });
  EXPECT_TRUE(ranHere);

  // Many workers at once, as the checks of a run: each Send returns only after
  // its own call ran, whatever the others are waiting for.
  constexpr int kWorkers = 32;
  constexpr int kCallsEach = 50;
  std::atomic<int> calls{0};
  std::atomic<bool> allOnWindowThread{true};
  std::vector<std::future<bool>> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.push_back(std::async(std::launch::async, [&] {
      for (int i = 0; i < kCallsEach; ++i) {
        int seen = -1;
        host.Send([&] {
          if (std::this_thread::get_id() != windowThread) allOnWindowThread = false;
          calls.fetch_add(1);
          seen = i;
        });
        if (seen != i) return false;  // returned before its call ran
      }
      return true;
    }));
  }
  ASSERT_TRUE(RunUntil([&] {
    return std::all_of(workers.begin(), workers.end(),
                       [](auto& w) { return w.wait_for(0s) == std::future_status::ready; });
  }));
  for (auto& w : workers) EXPECT_TRUE(w.get());
  EXPECT_EQ(calls.load(), kWorkers * kCallsEach);
  EXPECT_TRUE(allOnWindowThread.load());
}

TEST_F(QtWindowHostTest, TimersRepeatRestartAndDieOnKill) {
  QtWindowHost host(&handler);
  host.KillTimer(77);  // a missing timer: harmless

  host.SetTimer(7, 30);
  ASSERT_TRUE(RunUntil([&] { return handler.TimerCount(7) >= 3; }));  // repeats
  host.KillTimer(7);
  const int afterKill = handler.TimerCount(7);
  ASSERT_TRUE(RunPast(150ms));
  EXPECT_EQ(handler.TimerCount(7), afterKill);

  // Setting an id again restarts its one timer: re-arming a 300 ms timer every
  // 50 ms keeps it from firing, and there is never a second timer of that id.
  host.SetTimer(8, 300);
  for (int i = 0; i < 10; ++i) {
    RunFor(50ms);
    host.SetTimer(8, 300);
  }
  EXPECT_EQ(handler.TimerCount(8), 0);
  ASSERT_TRUE(RunUntil([&] { return handler.TimerCount(8) == 1; }));
  host.KillTimer(8);

  // A timer killed from its own tick fires once.
  handler.onTimer = [&](std::uint32_t id) {
    if (id == 9) host.KillTimer(9);
  };
  host.SetTimer(9, 10);
  ASSERT_TRUE(RunUntil([&] { return handler.TimerCount(9) == 1; }));
  ASSERT_TRUE(RunPast(100ms));
  EXPECT_EQ(handler.TimerCount(9), 1);
}

// A payload that counts its own destruction, with the thread it happened on.
struct FreeLog {
  std::mutex mutex;
  std::vector<std::pair<int, std::thread::id>> freed;
  std::size_t size() {
    std::lock_guard lock(mutex);
    return freed.size();
  }
};

class NotedPayload final : public MessagePayload {
 public:
  NotedPayload(std::shared_ptr<FreeLog> log, int id) : log_(std::move(log)), id_(id) {}
  ~NotedPayload() override {
    std::lock_guard lock(log_->mutex);
    log_->freed.emplace_back(id_, std::this_thread::get_id());
  }
  int id() const { return id_; }

 private:
  std::shared_ptr<FreeLog> log_;
  int id_;
};

std::unique_ptr<MessagePayload> Noted(const std::shared_ptr<FreeLog>& log, int id) {
  return std::make_unique<NotedPayload>(log, id);
}

// Takes the payloads it is handed and keeps them.
struct Keeper final : WindowHandler {
  void OnMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {}
  void OnOwnedMessage(std::uint32_t message, std::unique_ptr<MessagePayload> payload,
                      std::intptr_t lParam) override {
    messages.push_back(message);
    lParams.push_back(lParam);
    kept.push_back(std::move(payload));
  }
  void OnTimer(std::uint32_t) override {}
  std::vector<std::uint32_t> messages;
  std::vector<std::intptr_t> lParams;
  std::vector<std::unique_ptr<MessagePayload>> kept;
};

TEST_F(QtWindowHostTest, APayloadGoesToTheHandlerWhoOwnsItThen) {
  const auto log = std::make_shared<FreeLog>();
  Keeper keeper;
  QtWindowHost host(&keeper);
  std::thread([&] { host.PostOwnedMessage(0x466, Noted(log, 1), 1); }).join();
  host.PostMessage(0x465, 0, 0);  // a plain message goes to OnMessage, not here
  ASSERT_TRUE(RunUntil([&] { return keeper.kept.size() == 1; }));
  ASSERT_TRUE(RunPast(50ms));
  ASSERT_EQ(keeper.kept.size(), 1u);
  EXPECT_EQ(keeper.messages[0], 0x466u);
  EXPECT_EQ(keeper.lParams[0], 1);
  EXPECT_EQ(static_cast<NotedPayload*>(keeper.kept[0].get())->id(), 1);
  EXPECT_EQ(log->size(), 0u);  // the handler holds it
  keeper.kept.clear();
  EXPECT_EQ(log->size(), 1u);

  // A handler without a use for payloads frees them on the window thread.
  host.SetHandler(&handler);
  host.PostOwnedMessage(0x466, Noted(log, 2), 0);
  ASSERT_TRUE(RunUntil([&] { return log->size() == 2; }));
  EXPECT_EQ(log->freed[1].second, std::this_thread::get_id());
  EXPECT_TRUE(handler.messages.empty());
}

TEST_F(QtWindowHostTest, CloseFreesThePayloadsOfQueuedAndLaterMessages) {
  const auto log = std::make_shared<FreeLog>();
  auto host = std::make_unique<QtWindowHost>(&handler);
  host->SetTimer(5, 10);
  host->PostOwnedMessage(0x466, Noted(log, 1), 0);
  host->PostOwnedMessage(0x466, Noted(log, 2), 0);
  host->PostMessage(0x465, 0, 0);
  EXPECT_EQ(log->size(), 0u);
  host->Close();
  EXPECT_EQ(log->size(), 2u);  // queued when the host closed

  host->PostOwnedMessage(0x466, Noted(log, 3), 0);  // after close: freed at once
  std::thread::id worker;
  std::thread([&] {
    worker = std::this_thread::get_id();
    host->PostOwnedMessage(0x466, Noted(log, 4), 0);
  }).join();
  ASSERT_EQ(log->size(), 4u);
  EXPECT_EQ(log->freed[3].second, worker);  // on the thread that posted it
  ASSERT_TRUE(RunPast(100ms));
  EXPECT_TRUE(handler.messages.empty());
  EXPECT_TRUE(handler.timers.empty());
  host->SetTimer(6, 1);  // no effect any more
  ASSERT_TRUE(RunPast(50ms));
  EXPECT_TRUE(handler.timers.empty());
}

TEST_F(QtWindowHostTest, WorkersOutliveTheHostSafely) {
  const auto log = std::make_shared<FreeLog>();
  auto host = std::make_unique<QtWindowHost>(&handler);
  std::shared_ptr<WindowHost> handle = host->WorkerHandle();

  // A worker blocked in Send while the window closes returns without running
  // its call; so do later Sends.
  std::atomic<bool> ran{false};
  std::promise<void> sending;
  auto worker = std::async(std::launch::async, [&, handle] {
    sending.set_value();
    handle->Send([&] { ran = true; });
    handle->Send([&] { ran = true; });
    handle->PostOwnedMessage(0x466, Noted(log, 9), 0);
  });
  sending.get_future().wait();
  std::this_thread::sleep_for(50ms);  // let the worker block in its Send
  host.reset();                       // closes without running the event loop
  ASSERT_EQ(worker.wait_for(10s), std::future_status::ready);
  worker.get();
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(log->size(), 1u);

  // The handle stays callable after the host is gone.
  handle->PostOwnedMessage(0x466, Noted(log, 10), 0);
  handle->PostMessage(0x465, 0, 0);
  handle->Send([&] { ran = true; });
  EXPECT_FALSE(ran.load());
  EXPECT_EQ(log->size(), 2u);
  ASSERT_TRUE(RunPast(50ms));
  EXPECT_TRUE(handler.messages.empty());
}

TEST_F(QtWindowHostTest, MessagesWithoutAHandlerAreDropped) {
  const auto log = std::make_shared<FreeLog>();
  QtWindowHost host;
  host.PostOwnedMessage(0x466, Noted(log, 1), 0);
  host.PostMessage(0x465, 1, 0);
  ASSERT_TRUE(RunUntil([&] { return log->size() == 1; }));
  host.SetHandler(&handler);
  host.PostMessage(0x465, 2, 0);
  ASSERT_TRUE(RunUntil([&] { return handler.messages.size() == 1; }));
  EXPECT_EQ(handler.messages[0].wParam, 2u);
}

}  // namespace
}  // namespace halvern
