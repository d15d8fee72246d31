#include "worker_threads.h"

#include <limits.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/prctl.h>

#include <functional>
#include <memory>
#include <system_error>

namespace halvern {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kSanitizerFactor = 4;  // redzones around every local
#elif defined(__SANITIZE_THREAD__)
constexpr std::size_t kSanitizerFactor = 2;
#else
constexpr std::size_t kSanitizerFactor = 1;
#endif

void* RunBody(void* arg) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  (*body)();
  return nullptr;
}

std::error_code Start(std::size_t stackBytes, std::function<void()> body) {
  pthread_attr_t attr;
  if (const int rc = pthread_attr_init(&attr); rc != 0) return {rc, std::generic_category()};
  int rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (rc == 0) rc = pthread_attr_setstacksize(&attr, stackBytes);
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_t thread;
  if (rc == 0) rc = pthread_create(&thread, &attr, &RunBody, owned.get());
  pthread_attr_destroy(&attr);
  if (rc != 0) return {rc, std::generic_category()};
  static_cast<void>(owned.release());  // the thread's now
  return {};
}

}  // namespace

std::size_t EffectiveStackBytes(std::size_t stackBytes) {
  const std::size_t bytes = stackBytes * kSanitizerFactor;
  const auto least = static_cast<std::size_t>(PTHREAD_STACK_MIN);
  return bytes < least ? least : bytes;
}

ThreadStarter SizedStackThreads(std::size_t stackBytes) {
  const std::size_t bytes = EffectiveStackBytes(stackBytes);
  return [bytes](std::function<void()> body) { return Start(bytes, std::move(body)); };
}

// From Linux 6.17's <linux/prctl.h>, which older headers lack.
#ifndef PR_FUTEX_HASH
#define PR_FUTEX_HASH 78
#define PR_FUTEX_HASH_SET_SLOTS 1
#define PR_FUTEX_HASH_GET_SLOTS 2
#endif

bool SizeFutexHash(std::size_t slots) {
  return ::prctl(PR_FUTEX_HASH, PR_FUTEX_HASH_SET_SLOTS, static_cast<unsigned long>(slots), 0UL) ==
         0;
}

std::size_t FutexHashSlots() {
  const int slots = ::prctl(PR_FUTEX_HASH, PR_FUTEX_HASH_GET_SLOTS, 0UL, 0UL, 0UL);
  return slots > 0 ? static_cast<std::size_t>(slots) : 0;
}

void ReturnFreedHeap() { static_cast<void>(malloc_trim(0)); }

}  // namespace halvern
