#pragma once
// What /proc tells about another process: CPU time, memory, threads and open
// descriptors; and whether a Unix socket path is listening.

#include <sys/types.h>

#include <optional>
#include <string>

namespace halvern::bench {

struct ProcSample {
  double cpuSeconds = 0;  // user + system of all its threads, living and ended
  long rssKb = 0;         // VmRSS
  long peakKb = 0;        // VmHWM: the highest VmRSS since the program started
  int threads = 0;
  int descriptors = 0;
};

// utime + stime of all its threads, living and ended, in clock ticks; -1 when
// the process is gone.
[[nodiscard]] long long CpuTicks(pid_t pid);

// Nothing when the process is gone.
[[nodiscard]] std::optional<ProcSample> SampleProc(pid_t pid);

// True when a socket bound to `path` is listening (/proc/net/unix), so that a
// connection made now is accepted into its queue.
[[nodiscard]] bool IsListening(const std::string& path);

}  // namespace halvern::bench
