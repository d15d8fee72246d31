// Wake-up path figures: HalvernRun's own run time and peak memory, the launcher
// latency (HalvernRun started -> the main program's listener has the message),
// and the timed-run service's lateness for bookings 1 s and 60 s ahead.
//
// Usage: launcher_bench [--quick]   (--quick skips the 60 s bookings)
// Run it from the build tree: it starts the HalvernRun beside itself.

#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "launcher_socket.h"
#include "timed_run_service.h"

extern char** environ;

namespace {

using namespace halvern;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

double RealtimeSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

struct Stats {
  double median = 0, p95 = 0, max = 0;
};

Stats Summarize(std::vector<double> values) {
  Stats s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.median = values[values.size() / 2];
  s.p95 = values[std::min(values.size() - 1, values.size() * 95 / 100)];
  s.max = values.back();
  return s;
}

void Print(const char* what, const std::vector<double>& values, const char* unit) {
  const Stats s = Summarize(values);
  std::printf("%-52s n=%-4zu median %8.3f  p95 %8.3f  max %8.3f %s\n", what, values.size(),
              s.median, s.p95, s.max, unit);
}

std::filesystem::path LauncherBinary() {
  return std::filesystem::path(QCoreApplication::applicationDirPath().toStdString()) / "HalvernRun";
}

bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = SteadyClock::now() + limit;
  while (!done()) {
    if (SteadyClock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  return true;
}

// Runs HalvernRun once under run_measure: its wall time from spawn to exit
// (ms) and its own peak RSS (MB).
std::pair<double, double> TimeOneRun() {
  const auto folder = LauncherBinary().parent_path();
  const std::string command =
      "'" + (folder / "run_measure").string() + "' '" + LauncherBinary().string() + "'";
  FILE* out = ::popen(command.c_str(), "r");
  if (out == nullptr) return {-1, -1};
  long us = -1, kb = -1;
  int code = -1;
  if (std::fscanf(out, "%ld %ld %d", &us, &kb, &code) != 3 || code != 0) us = kb = -1;
  ::pclose(out);
  return {us / 1000.0, kb / 1024.0};
}

void BenchLauncherRun(const std::filesystem::path& runtime) {
  constexpr int kRuns = 200;
  std::vector<double> times, memory;
  for (int i = 0; i < kRuns; ++i) {
    const auto [ms, mb] = TimeOneRun();
    times.push_back(ms);
    memory.push_back(mb);
  }
  Print("HalvernRun, nobody listening: spawn to exit", times, "ms");
  Print("HalvernRun, nobody listening: peak RSS", memory, "MB");

  std::atomic<int> received{0};
  LauncherSocket listener([&](std::uint32_t) { ++received; }, runtime / "Velmora Halvern.sock");
  if (listener.Listen() != LauncherSocket::ListenResult::kListening) {
    std::printf("cannot listen\n");
    return;
  }
  times.clear();
  memory.clear();
  for (int i = 0; i < kRuns; ++i) {
    const auto [ms, mb] = TimeOneRun();
    times.push_back(ms);
    memory.push_back(mb);
    // Let the listener take the message, as the main program would.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
  }
  RunUntil([&] { return received == kRuns; }, 10s);
  Print("HalvernRun, delivering: spawn to exit", times, "ms");
  Print("HalvernRun, delivering: peak RSS", memory, "MB");

  // Latency: start of HalvernRun to the listener's callback.
  std::vector<double> latency;
  for (int i = 0; i < kRuns; ++i) {
    const int before = received;
    std::string binary = LauncherBinary().string();
    char* argv[] = {binary.data(), nullptr};
    pid_t pid = -1;
    const double started = RealtimeSeconds();
    ::posix_spawn(&pid, binary.c_str(), nullptr, nullptr, argv, environ);
    RunUntil([&] { return received > before; }, 5s);
    latency.push_back((RealtimeSeconds() - started) * 1000);
    ::waitpid(pid, nullptr, 0);
  }
  Print("launcher latency: spawn to listener callback", latency, "ms");
}

// Books `count` programs, the i-th `ahead + i` seconds after the start of the
// next whole second, and collects how late each one fired.
std::vector<double> BenchLateness(const std::filesystem::path& folder, int count, int ahead) {
  std::mutex mutex;
  std::vector<double> lateness;
  TimedRunService service(folder, [&](const std::u16string&, std::int64_t booked, pid_t) {
    const double late = (RealtimeSeconds() - static_cast<double>(booked)) * 1000;
    std::lock_guard lock(mutex);
    lateness.push_back(late);
  });
  // Book right after a second starts, so "ahead" seconds is what it says.
  const double now = RealtimeSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(std::ceil(now) - now + 0.001));
  const auto base = static_cast<std::int64_t>(RealtimeSeconds());
  for (int i = 0; i < count; ++i) {
    const time_t t = static_cast<time_t>(base + ahead + i);
    tm local{};
    ::localtime_r(&t, &local);
    const LocalTime when{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour,        local.tm_min,     local.tm_sec};
    service.RunAppAtTime(u"run" + std::u16string(1, char16_t(u'a' + i)) + u".exe", when);
  }
  const auto deadline = SteadyClock::now() + std::chrono::seconds(ahead + count + 10);
  for (;;) {
    {
      std::lock_guard lock(mutex);
      if (static_cast<int>(lateness.size()) == count) break;
    }
    if (SteadyClock::now() > deadline) break;
    std::this_thread::sleep_for(20ms);
  }
  std::lock_guard lock(mutex);
  return lateness;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;

  char pattern[] = "/tmp/launcher-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const std::filesystem::path dir = pattern;
  ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);

  BenchLauncherRun(dir);

  // Each booking name starts its own link to HalvernRun.
  const auto programs = dir / "programs";
  std::filesystem::create_directory(programs);
  for (int i = 0; i < 8; ++i) {
    std::filesystem::create_symlink(LauncherBinary(), programs / ("run" + std::string(1, 'a' + i)));
  }
  std::vector<double> oneSecond;
  for (int round = 0; round < 10; ++round) {
    const auto late = BenchLateness(programs, 1, 1);
    oneSecond.insert(oneSecond.end(), late.begin(), late.end());
  }
  Print("timed run, booked 1 s ahead: lateness", oneSecond, "ms");
  if (!quick) {
    Print("timed run, booked 60..67 s ahead: lateness", BenchLateness(programs, 8, 60), "ms");
  }
  std::filesystem::remove_all(dir);
  return 0;
}
