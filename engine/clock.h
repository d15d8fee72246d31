#pragma once
// Time source of the engine: seconds (and, where a booking needs them,
// milliseconds) since 1970-01-01 00:00 UTC. Tests pass a manual clock; the
// program passes SystemClock. Also the saturating arithmetic that stored times
// go through: a stored time may hold any 64-bit value, and a difference or a
// sum of two of them must not wrap.

#include <atomic>
#include <cstdint>
#include <limits>

namespace halvern {

// a - b, held at the 64-bit limits instead of wrapping.
constexpr std::int64_t SaturatingSub(std::int64_t a, std::int64_t b) {
  std::int64_t result = 0;
  if (!__builtin_sub_overflow(a, b, &result)) return result;
  return b < 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

// a + b, held at the 64-bit limits instead of wrapping.
constexpr std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t result = 0;
  if (!__builtin_add_overflow(a, b, &result)) return result;
  return b > 0 ? std::numeric_limits<std::int64_t>::max()
               : std::numeric_limits<std::int64_t>::min();
}

// a * b, held at the 64-bit limits instead of wrapping.
constexpr std::int64_t SaturatingMul(std::int64_t a, std::int64_t b) {
  std::int64_t result = 0;
  if (!__builtin_mul_overflow(a, b, &result)) return result;
  return (a < 0) != (b < 0) ? std::numeric_limits<std::int64_t>::min()
                            : std::numeric_limits<std::int64_t>::max();
}

// A 64-bit count held to the 32-bit range, where older code took it as 32 bits
// and a wrapped value would read as a small one.
constexpr std::int32_t SaturateToInt32(std::int64_t value) {
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t Now() const = 0;
  // Milliseconds since 1970, of the same reading as Now() would give.
  virtual std::int64_t NowMs() const { return SaturatingMul(Now(), 1000); }
  // True when this is the system's wall clock (CLOCK_REALTIME), the clock of
  // the window host's wall timers. An instant of any other clock set on them
  // would fire at the wrong time, or at once and over and over.
  virtual bool IsSystemWallClock() const { return false; }
};

class SystemClock final : public Clock {
 public:
  std::int64_t Now() const override;
  std::int64_t NowMs() const override;
  bool IsSystemWallClock() const override { return true; }
};

// A clock that stands still until a test moves it. Safe to read from any
// thread; the milliseconds within the second are set with SetMs.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::int64_t now = 0) : now_(now) {}
  std::int64_t Now() const override { return now_.load(); }
  std::int64_t NowMs() const override {
    return SaturatingAdd(SaturatingMul(now_.load(), 1000), millis_.load());
  }
  // Moves to whole second `now`; the milliseconds stay as they were.
  void Set(std::int64_t now) { now_.store(now); }
  void Advance(std::int64_t seconds) { now_.store(SaturatingAdd(now_.load(), seconds)); }
  // Moves to `ms` milliseconds since 1970.
  void SetMs(std::int64_t ms);
  // Stands in for the system's wall clock, for a window host whose wall
  // timers the test fires by hand.
  void StandInForWallClock() { wallClock_.store(true); }
  bool IsSystemWallClock() const override { return wallClock_.load(); }

 private:
  std::atomic<std::int64_t> now_;
  std::atomic<bool> wallClock_{false};
  std::atomic<std::int32_t> millis_{0};  // 0..999 within the second
};

}  // namespace halvern
