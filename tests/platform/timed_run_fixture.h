#pragma once
// Shared by the timed-run tests: wall-clock helpers, a program folder with a
// recording program (and, when asked, the wake-alarm helper in its install
// arrangement), and what /proc says about a process's timers.

#include <sys/stat.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "temp_store.h"
#include "timed_run_service.h"

namespace halvern::test {

using namespace std::chrono_literals;

// Not time(): it reads a coarse clock that may still show the previous second
// when a timer for the next one has fired.
inline std::int64_t WallNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec;
}

inline std::int64_t WallNowMs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

inline LocalTime ToLocal(std::int64_t epoch) {
  const time_t t = static_cast<time_t>(epoch);
  tm local{};
  ::localtime_r(&t, &local);
  return LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour,        local.tm_min,     local.tm_sec};
}

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteProgram(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), 0755);
}

// Whether this process may arm CLOCK_REALTIME_ALARM (root with cap_wake_alarm),
// and so a copy of the helper started by it may too.
inline bool MayUseAlarmClock() {
  const int fd = ::timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// What the service reported, collected from its thread.
struct Fired {
  std::u16string program;
  std::int64_t booked = 0;
  pid_t pid = 0;
  std::int64_t at = 0;    // wall clock when reported
  std::int64_t atMs = 0;  //   the same in milliseconds
};

class FiredLog {
 public:
  TimedRunService::FiredCallback Callback() {
    return [this](const std::u16string& program, std::int64_t booked, pid_t pid) {
      std::lock_guard lock(mutex_);
      const std::int64_t nowMs = WallNowMs();
      fired_.push_back({program, booked, pid, nowMs / 1000, nowMs});
      changed_.notify_all();
    };
  }
  bool WaitFor(std::size_t count, std::chrono::milliseconds limit = 15s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return fired_.size() >= count; });
  }
  std::vector<Fired> Get() {
    std::lock_guard lock(mutex_);
    return fired_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Fired> fired_;
};

// An install arrangement in a temporary folder: <root>/bin holds the small
// program "marker", which records that it ran, its descriptors, capabilities
// and environment, and the same program as "HalvernRun", the one program the
// helper starts; with `withHelper`, <root>/libexec/halvern/HalvernAlarm is a
// copy of the built helper (a copy has no file capability).
class ProgramFolder {
 public:
  explicit ProgramFolder(bool withHelper = false) {
    std::filesystem::create_directories(bin());
    for (const char* name : {"marker", "HalvernRun"}) {
      WriteProgram(bin() / name,
                   "#!/bin/sh\n"
                   "d=\"$(dirname \"$0\")\"\n"
                   "ls -l /proc/$$/fd > \"$d/fds.txt\" 2>&1\n"
                   "grep '^Cap' /proc/$$/status > \"$d/caps.txt\"\n"
                   "env > \"$d/env.txt\"\n"
                   "echo ran >> \"$d/ran.txt\"\n");
    }
    if (withHelper) InstallHelper(HALVERN_ALARM_BINARY);
  }
  const std::filesystem::path& root() const { return dir_.path(); }
  std::filesystem::path bin() const { return dir_.path() / "bin"; }
  std::filesystem::path helper() const { return dir_.path() / "libexec/halvern/HalvernAlarm"; }
  // The folder the service is given.
  std::filesystem::path path() const { return bin(); }

  void InstallHelper(const std::filesystem::path& from) {
    std::filesystem::create_directories(helper().parent_path());
    std::filesystem::copy_file(from, helper(), std::filesystem::copy_options::overwrite_existing);
  }
  int Runs() const {
    const std::string text = ReadFile(bin() / "ran.txt");
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
  bool WaitForRuns(int count, std::chrono::milliseconds limit = 10s) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Runs() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    return Runs() >= count;
  }

 private:
  TempDir dir_;
};

// One timerfd of a process, as /proc/<pid>/fdinfo shows it.
struct TimerInfo {
  int clockId = -1;             // 8: CLOCK_REALTIME_ALARM, 0: CLOCK_REALTIME
  std::int64_t remainingS = 0;  // it_value's seconds: 0 with 0 ns when disarmed
  bool armed = false;
  std::string text;  // the whole fdinfo
};

inline std::vector<TimerInfo> Timers(pid_t pid) {
  std::vector<TimerInfo> timers;
  const std::filesystem::path proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator(proc / "fd", ec)) {
    std::error_code linkEc;
    if (std::filesystem::read_symlink(fd.path(), linkEc).string() != "anon_inode:[timerfd]") {
      continue;
    }
    TimerInfo info;
    info.text = ReadFile(proc / "fdinfo" / fd.path().filename());
    std::istringstream in(info.text);
    for (std::string line; std::getline(in, line);) {
      if (line.starts_with("clockid:")) info.clockId = std::stoi(line.substr(8));
      long long sec = 0, nsec = 0;
      if (std::sscanf(line.c_str(), "it_value: (%lld, %lld)", &sec, &nsec) == 2) {
        info.remainingS = sec;
        info.armed = sec != 0 || nsec != 0;
      }
    }
    timers.push_back(info);
  }
  return timers;
}

// Polls `pid`'s timers until `match` holds for one of them.
template <typename Match>
std::optional<TimerInfo> WaitForTimer(pid_t pid, Match match,
                                      std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  do {
    for (const TimerInfo& t : Timers(pid)) {
      if (match(t)) return t;
    }
    std::this_thread::sleep_for(10ms);
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

// True once `pid` has ended: gone, or a zombie that no one reaps (a container's
// first process may not).
inline bool HasEnded(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const auto paren = stat.rfind(')');
  return stat.empty() || (paren != std::string::npos && stat.size() > paren + 2 &&
                          (stat[paren + 2] == 'Z' || stat[paren + 2] == 'X'));
}

inline bool WaitEnded(pid_t pid, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!HasEnded(pid)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

}  // namespace halvern::test
