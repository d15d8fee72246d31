#pragma once
// One request's transfer as both sides see it: the loop thread feeds it from
// libcurl's callbacks (the answer's headers, body blocks into a small buffer,
// the end), the worker thread that opened it waits on it for the headers and
// takes the body out in small reads. All state the two share is behind one
// mutex; the body buffer holds at most kBodyBuffer bytes (or one block), and
// while it is full the transfer stays paused, so memory stays bounded
// whatever the size of the answer.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "curl_loop.h"
#include "internet.h"

namespace halvern {

struct CurlTimeouts {
  std::uint32_t connectMs = 60000;
  std::uint32_t receiveMs = 60000;
  std::uint32_t sendMs = 60000;

  [[nodiscard]] bool Set(InternetOption option, std::uint32_t value);
};

// What a request is opened with.
struct CurlRequestSettings {
  std::string url;  // UTF-8
  ProxyType proxyType = ProxyType::kDirect;
  std::string agent;
  std::string proxy;   // "host:port" for ProxyType::kProxy
  std::string caFile;  // empty: the system's CA store
  std::uint32_t flags = 0;
  std::uint32_t connectTimeoutMs = 60000;
};

InternetError CurlError(int code, const char* detail);

class CurlTransfer final : public CurlLoopTransfer,
                           public std::enable_shared_from_this<CurlTransfer> {
 public:
  // The most a transfer holds of the body that the worker has not read yet,
  // beside what libcurl holds back while it is paused. Every refill of a full
  // buffer costs a wake-up of the loop and of the worker: 32 KB took about
  // 15 % less CPU than 16 KB for 1,000 checks at once, for 0.5 MB more.
  static constexpr std::size_t kBodyBuffer = 32 * 1024;
  // libcurl's receive block, one per handle; a paused transfer holds one back.
  // Small, as the reads are small: with 1,000 transfers at once, 16 KB blocks
  // cost about 6 MB more at the peak than 4 KB ones and saved little CPU.
  static constexpr long kReceiveBlock = 4 * 1024;
  // A worker waiting for body bytes is woken once this much is buffered (or
  // the transfer paused or ended), not for every block: at 4 KB blocks a fast
  // answer would otherwise wake it for every block. It looks by itself
  // kOwnerLookDelay after it began to wait, so a slow trickle still reaches it
  // within that time, and from then on every block wakes it.
  static constexpr std::size_t kOwnerWakeBytes = 16 * 1024;
  static constexpr std::chrono::milliseconds kOwnerLookDelay{20};

  // A handle set up for `settings`, not started yet; nothing, with `error`,
  // when the address is refused or libcurl cannot make a handle.
  [[nodiscard]] static std::shared_ptr<CurlTransfer> Make(const CurlRequestSettings& settings,
                                                          InternetError& error);
  ~CurlTransfer() override;

  // Worker: blocks until the final answer's headers have arrived, the transfer
  // has ended or it went silent for longer than its phase allows (then it is
  // removed from `loop`). An error when it ended without final headers.
  [[nodiscard]] std::optional<InternetError> WaitForHeaders(const CurlTimeouts& timeouts,
                                                            CurlLoop& loop);
  // Worker: whether the loop has taken the transfer out after its end, so
  // that it need not be asked to.
  [[nodiscard]] bool ReleasedByLoop();
  // Worker: the final answer's headers (presets when none came).
  [[nodiscard]] ResponseHeaders Headers();
  // Worker: copies at most `size` buffered body bytes, waiting for some when
  // none are buffered; 0 bytes at the end, with the error if it failed. Asks
  // `loop` to resume the transfer once the buffer has room again.
  [[nodiscard]] ReadResult Read(void* buffer, std::size_t size, const CurlTimeouts& timeouts,
                                CurlLoop& loop);
  // Worker: the phase times so far and the body bytes received; until the
  // transfer has ended its total is the time since it was made.
  [[nodiscard]] TransferTimings Timings();

 private:
  using Clock = std::chrono::steady_clock;

  // Where the transfer stands, for the timeout that applies to it.
  enum class Phase {
    kConnecting,  // until a connection is up: libcurl's connect timeout
    kSending,     // the request goes out: the send timeout since connecting
    kReceiving,   // headers and body: the receive timeout since the last byte
  };

  CurlTransfer() = default;
  [[nodiscard]] bool Configure(const CurlRequestSettings& settings);

  // Loop thread.
  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t OnWrite(char* data, std::size_t size, std::size_t count, void* self);
  static int OnConnected(void* self, char*, char*, int, int);
  static int OnProgress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  void ParseHeaderLine(std::string_view line);
  void OnEnded(std::optional<CURLcode> result) override;
  void OnResuming() override;
  void OnWakeOwner() override { changed_.notify_all(); }
  void SetPhase(Phase phase);  // and notes progress

  // Worker, with mutex_ held. Waits until `ready()`, the end or a stall;
  // false when it did not become ready. `forBody`: a wait for body bytes,
  // which looks for them itself after kOwnerLookDelay.
  template <typename Ready>
  bool WaitLocked(std::unique_lock<std::mutex>& lock, const CurlTimeouts& timeouts, CurlLoop& loop,
                  bool forBody, Ready ready);
  static std::chrono::milliseconds StallLimit(const CurlTimeouts& timeouts, Phase phase);
  std::size_t Unread() const { return body_.size() - readAt_; }
  // Loop thread: takes libcurl's phase times (at the final headers, and with
  // the total at the end), so that the worker never asks the handle itself.
  void CaptureTimings(bool ended);

  char errorBuffer_[CURL_ERROR_SIZE] = {};
  curl_slist* headerList_ = nullptr;

  // Loop thread only.
  ResponseHeaders parsing_;  // the answer whose headers are arriving
  bool sawLocation_ = false;
  Phase loopPhase_ = Phase::kConnecting;
  long requestSizeAtConnect_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Shared, under mutex_.
  ResponseHeaders headers_;  // the final answer's, once headersFinal_
  bool headersFinal_ = false;
  Phase phase_ = Phase::kConnecting;
  Clock::time_point lastProgress_ = Clock::now();
  std::vector<char> body_;  // bytes before readAt_ have been read
  std::size_t readAt_ = 0;
  bool waiting_ = false;            // the worker waits on changed_
  Clock::time_point waitingSince_;  // when the worker's current wait began
  bool paused_ = false;
  bool resumeAsked_ = false;
  bool ended_ = false;
  bool released_ = false;  // the loop has taken it out
  std::optional<InternetError> error_;

  // Timings, under mutex_.
  const Clock::time_point made_ = Clock::now();
  TransferTimings timings_;
  bool timingsFinal_ = false;  // taken at the end, total included
};

}  // namespace halvern
