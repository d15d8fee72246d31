#pragma once
// A manual-reset event, the process-local stand-in for the named events
// "VelmoraDownloadEvent" and "VelmoraPreventEvent": set stays set until reset.
// Thread-safe.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace halvern {

inline constexpr char16_t kDownloadEventName[] = u"VelmoraDownloadEvent";
inline constexpr char16_t kPreventEventName[] = u"VelmoraPreventEvent";

class ManualResetEvent {
 public:
  explicit ManualResetEvent(std::u16string name = {}) : name_(std::move(name)) {}
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  const std::u16string& name() const { return name_; }

  void Set() {
    {
      std::lock_guard lock(mutex_);
      set_ = true;
    }
    changed_.notify_all();
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
  }
  bool IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
  }
  // Waits until the event is set or `timeout` passes; true when it is set.
  bool Wait(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return set_; });
  }

 private:
  std::u16string name_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace halvern
