#include "clock.h"

#include <time.h>

namespace halvern {
namespace {

timespec RealtimeNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

}  // namespace

std::int64_t SystemClock::Now() const { return static_cast<std::int64_t>(RealtimeNow().tv_sec); }

std::int64_t SystemClock::NowMs() const {
  const timespec now = RealtimeNow();
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void ManualClock::SetMs(std::int64_t ms) {
  // Floor division, so that times before 1970 keep a millisecond part in 0..999.
  std::int64_t seconds = ms / 1000;
  std::int64_t millis = ms % 1000;
  if (millis < 0) {
    millis += 1000;
    seconds -= 1;
  }
  now_.store(seconds);
  millis_.store(static_cast<std::int32_t>(millis));
}

}  // namespace halvern
