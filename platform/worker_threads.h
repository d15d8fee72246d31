#pragma once
// The check workers' threads on Linux: detached POSIX threads with a stack
// sized for what a check needs instead of the system's default of 8 MB, and
// giving freed heap memory back to the system after a run.

#include <cstddef>

#include "worker_pool.h"

namespace halvern {

// The deepest stack a check was measured to use (libcurl with OpenSSL doing
// HTTPS through a proxy, SQLite writing its log record and entry) is about
// 16 KB, thread descriptor and static TLS included; this leaves a wide margin.
inline constexpr std::size_t kCheckStackBytes = 256 * 1024;

// Starts threads of `stackBytes` stack each (more in sanitizer builds, whose
// instrumented frames are several times larger). Reports pthread_create's
// reason when a thread cannot be made.
ThreadStarter SizedStackThreads(std::size_t stackBytes = kCheckStackBytes);

// The stack size SizedStackThreads(stackBytes) gives its threads.
std::size_t EffectiveStackBytes(std::size_t stackBytes);

// Gives the process a futex hash of `slots` buckets (a power of two) instead
// of the private hash of 16 buckets that Linux 6.17 and later give a process
// on a machine with few processors, whatever its number of threads. Every
// waiting thread sits in one bucket, and waking one walks its whole bucket:
// with a thousand checks waiting that walk was a quarter of the program's
// time. False where the kernel has no private futex hash (before 6.17), which
// is fine: its global hash is used.
[[nodiscard]] bool SizeFutexHash(std::size_t slots);
inline constexpr std::size_t kFutexHashSlots = 8192;  // 64 bytes of kernel memory each
// The slots of the process's private futex hash; 0 when it has none.
std::size_t FutexHashSlots();

// Gives the free memory of every malloc arena back to the system.
void ReturnFreedHeap();

}  // namespace halvern
