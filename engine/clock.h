#pragma once
// Time source of the engine: seconds since 1970-01-01 00:00 UTC. Tests pass a
// manual clock; the program passes SystemClock.

#include <atomic>
#include <cstdint>

namespace halvern {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t Now() const = 0;
};

class SystemClock final : public Clock {
 public:
  std::int64_t Now() const override;
};

// A clock that stands still until a test moves it. Safe to read from any thread.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::int64_t now = 0) : now_(now) {}
  std::int64_t Now() const override { return now_.load(); }
  void Set(std::int64_t now) { now_.store(now); }
  void Advance(std::int64_t seconds) { now_.fetch_add(seconds); }

 private:
  std::atomic<std::int64_t> now_;
};

}  // namespace halvern
