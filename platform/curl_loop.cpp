#include "curl_loop.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <system_error>

namespace halvern {
namespace {

using SteadyClock = std::chrono::steady_clock;

// When libcurl wants no timer the loop sleeps until a socket or its queue
// wakes it.
constexpr int kIdleWaitMs = -1;
constexpr int kEventsPerWait = 64;
constexpr std::uint64_t kWakeTag = 0;  // epoll data of the eventfd; sockets are tagged fd + 1

}  // namespace

CurlLoopTransfer::~CurlLoopTransfer() {
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
}

bool CurlLoopTransfer::Adopt(CURL* easy) {
  easy_ = easy;
  return easy_ != nullptr;
}

void CurlLoopTransfer::WakeOwnerAfterRound() {
  if (loop_ == nullptr) {
    OnWakeOwner();
  } else if (!wakeQueued_) {
    wakeQueued_ = true;
    loop_->Defer(this);
  }
}

CurlLoop::~CurlLoop() {
  if (!thread_.joinable()) {
    Close();
    return;
  }
  {
    std::lock_guard lock(queueMutex_);
    ending_ = true;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  thread_.join();
  Close();
}

void CurlLoop::Close() {
  // The thread has ended (or never ran): what is left is ended here.
  while (!running_.empty()) End(running_.begin()->first, std::nullopt);
  toWake_.clear();
  queue_.clear();
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
  if (epoll_ >= 0) ::close(epoll_);
  if (wake_ >= 0) ::close(wake_);
  multi_ = nullptr;
  epoll_ = wake_ = -1;
}

bool CurlLoop::Start() {
  std::lock_guard lock(startMutex_);
  if (started_) return usable_;
  started_ = true;
  multi_ = curl_multi_init();
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (multi_ == nullptr || epoll_ < 0 || wake_ < 0) return false;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeTag;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) return false;
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlLoop::OnSocket);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlLoop::OnTimer);
  curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  ::pthread_setname_np(thread_.native_handle(), "halvern-curl");
  usable_ = true;
  return true;
}

void CurlLoop::Add(std::shared_ptr<CurlLoopTransfer> transfer) {
  Queue(Command::kAdd, std::move(transfer));
}

void CurlLoop::Resume(std::shared_ptr<CurlLoopTransfer> transfer) {
  Queue(Command::kResume, std::move(transfer));
}

void CurlLoop::Remove(std::shared_ptr<CurlLoopTransfer> transfer) {
  Queue(Command::kRemove, std::move(transfer));
}

void CurlLoop::Queue(Command command, std::shared_ptr<CurlLoopTransfer> transfer) {
  bool wake = false;
  {
    std::lock_guard lock(queueMutex_);
    wake = queue_.empty();
    queue_.push_back({command, std::move(transfer)});
  }
  // One wake-up per batch: the loop takes the whole queue when it wakes.
  if (wake) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }
}

int CurlLoop::OnSocket(CURL*, curl_socket_t socket, int what, void* self, void* socketData) {
  auto* loop = static_cast<CurlLoop*>(self);
  if (what == CURL_POLL_REMOVE) {
    // libcurl says so before it closes the socket.
    ::epoll_ctl(loop->epoll_, EPOLL_CTL_DEL, socket, nullptr);
    return 0;
  }
  epoll_event event{};
  event.events = ((what & CURL_POLL_IN) ? EPOLLIN : 0u) | ((what & CURL_POLL_OUT) ? EPOLLOUT : 0u);
  event.data.u64 = static_cast<std::uint64_t>(socket) + 1;
  const bool known = socketData != nullptr;
  if (::epoll_ctl(loop->epoll_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket, &event) != 0) {
    ::epoll_ctl(loop->epoll_, known ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, socket, &event);
  }
  if (!known) curl_multi_assign(loop->multi_, socket, loop);  // marks the socket as registered
  return 0;
}

int CurlLoop::OnTimer(CURLM*, long timeoutMs, void* self) {
  auto* loop = static_cast<CurlLoop*>(self);
  if (timeoutMs < 0) {
    loop->timerDue_.reset();
  } else {
    loop->timerDue_ = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  }
  return 0;
}

void CurlLoop::Run() {
  std::array<epoll_event, kEventsPerWait> events;
  for (;;) {
    int waitMs = kIdleWaitMs;
    if (timerDue_) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(*timerDue_ - SteadyClock::now());
      waitMs = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60000));
    }
    const int count = ::epoll_wait(epoll_, events.data(), kEventsPerWait, waitMs);
    bool requests = false;
    for (int i = 0; i < count; ++i) {
      const epoll_event& e = events[static_cast<std::size_t>(i)];
      if (e.data.u64 == kWakeTag) {
        requests = true;
        continue;
      }
      // A hang-up or an error is for libcurl to find out by reading or
      // writing: it then reports it as the transfer's result.
      int action = 0;
      if (e.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) action |= CURL_CSELECT_IN;
      if (e.events & (EPOLLOUT | EPOLLHUP | EPOLLERR)) action |= CURL_CSELECT_OUT;
      Act(static_cast<curl_socket_t>(e.data.u64 - 1), action);
    }
    if (timerDue_ && SteadyClock::now() >= *timerDue_) {
      timerDue_.reset();
      Act(CURL_SOCKET_TIMEOUT, 0);
    }
    if (requests && !RunRequests()) return;
    CollectEnded();
    WakeOwners();
  }
}

void CurlLoop::Defer(CurlLoopTransfer* transfer) {
  auto it = running_.find(transfer);
  if (it == running_.end()) {
    transfer->wakeQueued_ = false;
    transfer->OnWakeOwner();
    return;
  }
  toWake_.push_back(it->second);
}

void CurlLoop::WakeOwners() {
  for (const auto& transfer : toWake_) {
    transfer->wakeQueued_ = false;
    transfer->OnWakeOwner();
  }
  toWake_.clear();
}

bool CurlLoop::RunRequests() {
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(wake_, &value, sizeof value);
  std::vector<Request> requests;
  bool ending = false;
  {
    std::lock_guard lock(queueMutex_);
    requests.swap(queue_);
    ending = ending_;
  }
  for (Request& r : requests) {
    CurlLoopTransfer* transfer = r.transfer.get();
    const bool running = running_.contains(transfer);
    switch (r.command) {
      case Command::kAdd:
        if (running || transfer->easy_ == nullptr) break;
        curl_easy_setopt(transfer->easy_, CURLOPT_PRIVATE, transfer);
        if (curl_multi_add_handle(multi_, transfer->easy_) != CURLM_OK) {
          transfer->OnEnded(CURLE_FAILED_INIT);
          break;
        }
        transfer->loop_ = this;
        running_.emplace(transfer, std::move(r.transfer));
        break;
      case Command::kResume:
        if (!running) break;
        transfer->OnResuming();
        // May hand over the data held back at once, through the callbacks.
        curl_easy_pause(transfer->easy_, CURLPAUSE_CONT);
        break;
      case Command::kRemove:
        if (running) End(transfer, std::nullopt);
        break;
    }
  }
  // The transfers' owners may drop them now; a dropped last reference ends
  // here, on this thread, after its handle is gone.
  requests.clear();
  return !ending;
}

void CurlLoop::Act(curl_socket_t socket, int action) {
  int running = 0;
  curl_multi_socket_action(multi_, socket, action, &running);
}

void CurlLoop::CollectEnded() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CurlLoopTransfer* transfer = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
    // The message lives in the multi handle until the handle is removed.
    const CURLcode result = message->data.result;
    if (transfer != nullptr) End(transfer, result);
  }
}

void CurlLoop::End(CurlLoopTransfer* transfer, std::optional<CURLcode> result) {
  auto it = running_.find(transfer);
  if (it == running_.end()) return;
  std::shared_ptr<CurlLoopTransfer> held = std::move(it->second);
  running_.erase(it);
  curl_multi_remove_handle(multi_, transfer->easy_);
  transfer->loop_ = nullptr;
  transfer->OnEnded(result);
  curl_easy_cleanup(transfer->easy_);
  transfer->easy_ = nullptr;
}

}  // namespace halvern
