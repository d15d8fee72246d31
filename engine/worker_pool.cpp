#include "worker_pool.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace halvern {
namespace {

// One worker thread's mailbox: the task handed to it while it waits.
struct Worker {
  std::condition_variable wake;
  std::unique_ptr<WorkerTask> task;  // under the pool's mutex
};

class FunctionTask final : public WorkerTask {
 public:
  explicit FunctionTask(std::function<void()> body) : body_(std::move(body)) {}
  void Run() override { body_(); }

 private:
  std::function<void()> body_;
};

}  // namespace

class WorkerPool::Shared : public std::enable_shared_from_this<WorkerPool::Shared> {
 public:
  Shared(ThreadStarter starter, std::chrono::milliseconds idleTime)
      : starter_(std::move(starter)), idleTime_(idleTime) {}

  std::error_code Run(std::unique_ptr<WorkerTask>& task) {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        // The worker idle for the shortest time: the others can then run out
        // their idle time and end.
        Worker* worker = idle_.back();
        idle_.pop_back();
        worker->task = std::move(task);
        worker->wake.notify_one();
        return {};
      }
      ++threads_;
    }
    auto worker = std::make_shared<Worker>();
    worker->task = std::move(task);
    const std::error_code error = StartDetachedThread(
        starter_, [shared = shared_from_this(), worker] { shared->Loop(*worker); });
    if (!error) return {};
    task = std::move(worker->task);  // never handed over: the caller's again
    std::lock_guard lock(mutex_);
    --threads_;
    return error;
  }

  void Close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (Worker* worker : idle_) worker->wake.notify_one();
    idle_.clear();
  }

  std::size_t ThreadCount() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  std::size_t IdleCount() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
  }

 private:
  // The thread's life: its first task, then each task handed to it while it
  // waits, until it has waited idleTime_ for nothing or the pool is gone.
  void Loop(Worker& self) {
    std::unique_ptr<WorkerTask> task;
    {
      std::lock_guard lock(mutex_);
      task = std::move(self.task);
    }
    for (;;) {
      task->Run();
      task.reset();
      std::unique_lock lock(mutex_);
      if (!closed_) {
        idle_.push_back(&self);
        self.wake.wait_for(lock, idleTime_, [&] { return self.task || closed_; });
      }
      if (self.task) {
        task = std::move(self.task);
        continue;
      }
      // Taken off the idle list under the same lock that hands out tasks, so
      // nothing can be handed to this thread once it has decided to end.
      idle_.erase(std::remove(idle_.begin(), idle_.end(), &self), idle_.end());
      --threads_;
      return;
    }
  }

  const ThreadStarter starter_;
  const std::chrono::milliseconds idleTime_;
  mutable std::mutex mutex_;
  std::vector<Worker*> idle_;  // waiting workers, the most recent last
  std::size_t threads_ = 0;
  bool closed_ = false;
};

std::error_code StartDetachedThread(const ThreadStarter& starter, std::function<void()> body) {
  try {
    if (starter) return starter(std::move(body));
    std::thread(std::move(body)).detach();
    return {};
  } catch (const std::system_error& error) {
    return error.code();
  }
}

std::unique_ptr<WorkerTask> MakeWorkerTask(std::function<void()> body) {
  return std::make_unique<FunctionTask>(std::move(body));
}

WorkerPool::WorkerPool(ThreadStarter starter, std::chrono::milliseconds idleTime)
    : shared_(std::make_shared<Shared>(std::move(starter), idleTime)) {}

WorkerPool::~WorkerPool() { shared_->Close(); }

std::error_code WorkerPool::Run(std::unique_ptr<WorkerTask>& task) { return shared_->Run(task); }

std::size_t WorkerPool::ThreadCount() const { return shared_->ThreadCount(); }

std::size_t WorkerPool::IdleCount() const { return shared_->IdleCount(); }

}  // namespace halvern
