#pragma once
// A one-shot timer for an instant of the wall clock (CLOCK_REALTIME, UTC
// milliseconds) on the Qt event loop of the thread that makes it: a timerfd
// armed with TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, watched by a
// QSocketNotifier. It fires at the instant; at once for an instant already
// past; right after a resume for one the machine slept through; and early when
// the wall clock is set (the read fails with ECANCELED), so that its owner
// reads the clock again and sets it anew. Having fired it is spent until set
// again. One thread only: the one that made it.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace halvern {

class WallClockTimer {
 public:
  // How the expirations are read from the timerfd: ::read, or a stand-in of a
  // test that reports a clock set.
  using ReadFunction = ssize_t (*)(int fd, void* buffer, size_t size);

  // Nothing when no timerfd can be made (out of descriptors, no kernel
  // support): the caller keeps to timers of its own.
  static std::unique_ptr<WallClockTimer> Make(std::function<void()> onFire,
                                              ReadFunction read = nullptr);
  ~WallClockTimer();
  WallClockTimer(const WallClockTimer&) = delete;
  WallClockTimer& operator=(const WallClockTimer&) = delete;

  // Replaces any instant set before. False when the kernel refused it; the
  // timer is stopped then.
  bool Set(std::int64_t epochMs);
  // Nothing fires until the next Set. Callable from the fire callback.
  void Stop();

 private:
  WallClockTimer(int fd, std::function<void()> onFire, ReadFunction read);
  void OnReadable();

  int fd_;
  std::function<void()> onFire_;
  ReadFunction read_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace halvern
