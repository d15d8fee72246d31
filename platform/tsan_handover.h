#pragma once
// Qt hands posted events between threads under its own futex-based locks,
// which ThreadSanitizer cannot see. These calls tell it that an object handed
// to postEvent on one thread is taken by the receiver on the other, so the
// hand-over is checked like one through a std::mutex. They compile to nothing
// in other builds.

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace halvern {

inline void AnnounceHandOver([[maybe_unused]] const void* object) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(const_cast<void*>(object));
#endif
}

inline void TakeHandOver([[maybe_unused]] const void* object) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(const_cast<void*>(object));
#endif
}

}  // namespace halvern
