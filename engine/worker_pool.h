#pragma once
// Threads for the check workers, reused. Every task handed to the pool gets a
// thread of its own at once: an idle worker thread when one waits, otherwise a
// new thread; there is no bound on how many run together. A worker thread
// whose task has ended waits for the next one and ends after `idleTime`
// without work, so a run's threads are gone a few seconds after it.
//
// The pool does not wait for running tasks: destroying it ends the idle
// threads, and a thread still running a task ends when its task has. The
// threads share the pool's state, not the pool object, so they may outlive it.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

namespace halvern {

// Starts `body` on a new thread that runs detached. Returns the system's
// reason when no thread can be made (`body` is then not run). Empty: a
// std::thread with the system's default stack.
using ThreadStarter = std::function<std::error_code(std::function<void()> body)>;

// Starts `body` with `starter`, or with std::thread when it is empty.
[[nodiscard]] std::error_code StartDetachedThread(const ThreadStarter& starter,
                                                  std::function<void()> body);

// One piece of work. The pool thread owns it while it runs and destroys it
// right after, on that thread.
class WorkerTask {
 public:
  virtual ~WorkerTask() = default;
  virtual void Run() = 0;
};

// A task made of a function.
std::unique_ptr<WorkerTask> MakeWorkerTask(std::function<void()> body);

inline constexpr std::chrono::milliseconds kWorkerIdleTime{5000};

class WorkerPool {
 public:
  explicit WorkerPool(ThreadStarter starter = {},
                      std::chrono::milliseconds idleTime = kWorkerIdleTime);
  // Ends the idle threads; running tasks are not waited for.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Hands `task` to an idle worker thread, or to a new one. On success the
  // pool has taken the task (`task` is empty). When no thread is idle and
  // none can be started, `task` stays with the caller, not run, and the
  // system's reason is returned.
  [[nodiscard]] std::error_code Run(std::unique_ptr<WorkerTask>& task);

  // Threads alive (running a task or idle), and of them those idle.
  std::size_t ThreadCount() const;
  std::size_t IdleCount() const;

  class Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace halvern
