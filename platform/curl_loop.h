#pragma once
// One libcurl multi handle for all transfers of an internet layer, driven by a
// thread of its own through libcurl's socket interface on an epoll set, so that
// a transfer costs its easy handle and its connection and nothing more: no
// multi handle, wake-up pipe, name cache or CA store of its own.
//
// Every libcurl call on a handle that the loop holds is made on the loop's
// thread. Other threads hand transfers over and ask for them to be resumed or
// removed through a queue; the loop wakes for it at once.

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

namespace halvern {

class CurlLoop;

// What the loop drives: an easy handle, configured before it is added, whose
// callbacks point into the object. The loop holds the object while the handle
// is in its multi handle and cleans the handle up when it takes it out.
class CurlLoopTransfer {
 public:
  CurlLoopTransfer(const CurlLoopTransfer&) = delete;
  CurlLoopTransfer& operator=(const CurlLoopTransfer&) = delete;
  virtual ~CurlLoopTransfer();  // cleans up a handle never handed to a loop

 protected:
  CurlLoopTransfer() = default;
  // Takes over `easy`; false when there is none.
  [[nodiscard]] bool Adopt(CURL* easy);
  CURL* easy() const { return easy_; }
  // From a callback on the loop thread: OnWakeOwner follows once the loop has
  // handled all its sockets of this round, so that a worker waiting on the
  // transfer wakes once for all blocks that arrived together.
  void WakeOwnerAfterRound();

 private:
  friend class CurlLoop;
  // On the loop thread, when the transfer has ended: libcurl's result, or
  // nothing when it was removed before its end. The handle is cleaned up
  // right after.
  virtual void OnEnded(std::optional<CURLcode> result) = 0;
  // On the loop thread, right before a paused transfer is resumed.
  virtual void OnResuming() = 0;
  // On the loop thread, after WakeOwnerAfterRound.
  virtual void OnWakeOwner() = 0;

  CURL* easy_ = nullptr;
  CurlLoop* loop_ = nullptr;  // while running on it
  bool wakeQueued_ = false;   // loop thread
};

class CurlLoop {
 public:
  CurlLoop() = default;
  // Ends the thread once it has carried out what was asked before; transfers
  // still running then are removed. Must not run on the loop's thread.
  ~CurlLoop();
  CurlLoop(const CurlLoop&) = delete;
  CurlLoop& operator=(const CurlLoop&) = delete;

  // Makes the multi handle and starts the thread, once; false when either
  // cannot be made (then every later call fails the same way).
  [[nodiscard]] bool Start();

  // Starts `transfer` (Start must have succeeded). Its OnEnded follows on the
  // loop's thread, unless Remove comes first.
  void Add(std::shared_ptr<CurlLoopTransfer> transfer);
  // Resumes a transfer that paused itself from its write callback.
  void Resume(std::shared_ptr<CurlLoopTransfer> transfer);
  // Ends a transfer and closes its connection; nothing when it has ended.
  void Remove(std::shared_ptr<CurlLoopTransfer> transfer);

 private:
  friend class CurlLoopTransfer;  // Defer
  enum class Command { kAdd, kResume, kRemove };
  struct Request {
    Command command;
    std::shared_ptr<CurlLoopTransfer> transfer;
  };

  static int OnSocket(CURL* easy, curl_socket_t socket, int what, void* self, void* socketData);
  static int OnTimer(CURLM* multi, long timeoutMs, void* self);
  void Queue(Command command, std::shared_ptr<CurlLoopTransfer> transfer);
  void Run();
  // Carries out the queued requests; false once the loop is to end.
  bool RunRequests();
  void Act(curl_socket_t socket, int action);
  void CollectEnded();
  void End(CurlLoopTransfer* transfer, std::optional<CURLcode> result);
  void Defer(CurlLoopTransfer* transfer);
  void WakeOwners();
  void Close();

  std::mutex startMutex_;
  bool started_ = false;
  bool usable_ = false;

  // Loop thread only once started.
  CURLM* multi_ = nullptr;
  int epoll_ = -1;
  int wake_ = -1;  // an eventfd in the epoll set
  std::optional<std::chrono::steady_clock::time_point> timerDue_;
  std::unordered_map<CurlLoopTransfer*, std::shared_ptr<CurlLoopTransfer>> running_;
  std::vector<std::shared_ptr<CurlLoopTransfer>> toWake_;

  std::mutex queueMutex_;
  std::vector<Request> queue_;
  bool ending_ = false;

  std::thread thread_;
};

}  // namespace halvern
