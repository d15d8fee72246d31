#include "wall_clock_timer.h"

#include <errno.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>

#include <algorithm>

namespace halvern {

std::unique_ptr<WallClockTimer> WallClockTimer::Make(std::function<void()> onFire,
                                                     ReadFunction read) {
  const int fd = ::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) return nullptr;
  return std::unique_ptr<WallClockTimer>(
      new WallClockTimer(fd, std::move(onFire), read != nullptr ? read : &::read));
}

WallClockTimer::WallClockTimer(int fd, std::function<void()> onFire, ReadFunction read)
    : fd_(fd),
      onFire_(std::move(onFire)),
      read_(read),
      notifier_(std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read)) {
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                   [this] { OnReadable(); });
}

WallClockTimer::~WallClockTimer() {
  notifier_.reset();  // before its descriptor goes
  ::close(fd_);
}

bool WallClockTimer::Set(std::int64_t epochMs) {
  // An all-zero value would disarm the timer, and a negative one is refused:
  // any instant up to the first nanosecond of 1970 fires at once alike.
  const std::int64_t ms = std::max<std::int64_t>(epochMs, 0);
  itimerspec expiry{};
  expiry.it_value.tv_sec = static_cast<time_t>(ms / 1000);
  expiry.it_value.tv_nsec = ms == 0 ? 1 : static_cast<long>(ms % 1000) * 1000000;
  if (::timerfd_settime(fd_, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &expiry, nullptr) == 0) {
    return true;
  }
  Stop();
  return false;
}

void WallClockTimer::Stop() {
  // Without the flags the timer also leaves the kernel's list of timers
  // cancelled by a clock set: a stopped timer stays silent.
  const itimerspec off{};
  ::timerfd_settime(fd_, 0, &off, nullptr);
}

void WallClockTimer::OnReadable() {
  std::uint64_t expirations = 0;
  const ssize_t n = read_(fd_, &expirations, sizeof expirations);
  if (n == static_cast<ssize_t>(sizeof expirations)) {
    Stop();  // spent; the callback may set it again
  } else if (n >= 0 || errno != ECANCELED) {
    // EAGAIN: set again or stopped after it became readable.
    return;
  }
  // ECANCELED: the wall clock was set. The instant stays armed; the owner
  // decides whether it still holds.
  if (onFire_) onFire_();
}

}  // namespace halvern
