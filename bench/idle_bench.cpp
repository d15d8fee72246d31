// Idle benchmark: how often the real Halvern wakes up while nothing is due.
//
//   idle_bench [--halvern PATH] [--entries 20] [--frequency 15] [--settle 60]
//              [--minutes 10]
//
// A fresh store in a temporary XDG_CONFIG_HOME is seeded with --entries enabled
// entries (addresses on a closed loopback port: none is ever fetched) and the
// setting Frequency; no alert is pending. Halvern starts with a temporary
// XDG_RUNTIME_DIR, on the platform the environment names (QT_QPA_PLATFORM,
// default offscreen; under Xvfb pass QT_QPA_PLATFORM=xcb and DISPLAY). Once its
// socket listens, the benchmark waits --settle seconds (start-up work, worker
// threads ending) and then samples, once a minute for --minutes minutes:
//   - wake-ups: voluntary + nonvoluntary context switches summed over
//     /proc/<pid>/task/*/status (a thread that sleeps in the kernel and is
//     woken up switches once each time), counted per thread between samples;
//   - CPU ticks: utime + stime of /proc/<pid>/stat, in clock ticks.
// It prints each minute, the median and the highest per minute, the ticks over
// the whole span, and which threads woke. The first booked wake-up of the
// program lies --frequency minutes after its start, so --settle + --minutes
// should stay below that for a purely idle span.
// Run it from the build tree: by default it starts the Halvern beside itself.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_store.h"
#include "child_process.h"
#include "proc_stats.h"
#include "settings.h"
#include "sqlite_store.h"

namespace halvern::bench {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Options {
  fs::path halvern;
  int entries = 20;
  int frequency = 15;
  int settleSeconds = 60;
  int minutes = 10;
};

struct ThreadCount {
  std::string name;
  long long switches = 0;
  long long runNs = 0;  // time on a CPU, from schedstat (exact, unlike ticks)
};

// Context switches of every living thread, by thread id.
std::map<long, ThreadCount> SampleThreads(pid_t pid) {
  std::map<long, ThreadCount> out;
  const std::string taskDir = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (fs::directory_iterator it(taskDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::ifstream in(it->path() / "status");
    std::string line;
    ThreadCount t;
    while (std::getline(in, line)) {
      if (line.rfind("Name:", 0) == 0) {
        t.name = line.substr(line.find_first_not_of(" \t", 5));
      } else if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                 line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        t.switches += std::atoll(line.c_str() + line.find(':') + 1);
      }
    }
    std::ifstream(it->path() / "schedstat") >> t.runNs;
    out[std::atol(it->path().filename().c_str())] = t;
  }
  return out;
}

// Switches between two samples: a thread born in between counts whole, one
// that ended in between is lost (none should, while idle). `runNs` gets the
// time on a CPU between them.
long long SwitchesBetween(const std::map<long, ThreadCount>& before,
                          const std::map<long, ThreadCount>& after,
                          std::map<std::string, long long>* byThread, long long* runNs = nullptr) {
  long long total = 0;
  for (const auto& [tid, t] : after) {
    const auto it = before.find(tid);
    const long long d = t.switches - (it == before.end() ? 0 : it->second.switches);
    if (runNs) *runNs += t.runNs - (it == before.end() ? 0 : it->second.runNs);
    total += d;
    if (byThread && d > 0) (*byThread)[t.name + " (" + std::to_string(tid) + ")"] += d;
  }
  return total;
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (arg == "--halvern") {
      o.halvern = value;
    } else if (arg == "--entries") {
      o.entries = std::stoi(value);
    } else if (arg == "--frequency") {
      o.frequency = std::stoi(value);
    } else if (arg == "--settle") {
      o.settleSeconds = std::stoi(value);
    } else if (arg == "--minutes") {
      o.minutes = std::stoi(value);
    } else {
      return false;
    }
  }
  return o.minutes > 0 && o.entries >= 0 && o.settleSeconds >= 0;
}

int Run(const Options& o) {
  std::string pattern = (fs::temp_directory_path() / "halvern-idle-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "idle_bench: mkdtemp failed\n");
    return 1;
  }
  const fs::path root = pattern;
  const fs::path config = root / "config", runtime = root / "run";
  fs::create_directory(config);
  fs::create_directory(runtime);
  fs::permissions(runtime, fs::perms(0700));
  const fs::path store = config / "Velmora" / "registry.sqlite3";
  fs::create_directories(store.parent_path());

  std::string error;
  // Port 9 on loopback: nothing is fetched while idle, and nothing listens there.
  if (!SeedStore(store, o.entries, o.entries, 9, error)) {
    std::fprintf(stderr, "idle_bench: %s\n", error.c_str());
    return 1;
  }
  {
    auto s = SqliteStore::Open(store, u"Velmora", error);
    if (!s || !WriteSetting(*s, kFrequency, o.frequency)) {
      std::fprintf(stderr, "idle_bench: cannot write Frequency: %s\n", error.c_str());
      return 1;
    }
  }

  const char* platform = ::getenv("QT_QPA_PLATFORM");
  std::vector<std::string> env = {
      std::string("QT_QPA_PLATFORM=") + (platform ? platform : "offscreen"),
      "XDG_CONFIG_HOME=" + config.string(), "XDG_RUNTIME_DIR=" + runtime.string()};
  auto halvern =
      ChildProcess::Spawn({{o.halvern.string()}, env, (root / "halvern.log").string()}, error);
  if (!halvern) {
    std::fprintf(stderr, "idle_bench: %s\n", error.c_str());
    return 1;
  }
  const std::string socket = (runtime / "Velmora Halvern.sock").string();
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!IsListening(socket)) {
    std::string how;
    if (halvern->HasEnded(&how) || std::chrono::steady_clock::now() > deadline) {
      std::fprintf(stderr, "idle_bench: Halvern did not listen (%s), see %s\n", how.c_str(),
                   (root / "halvern.log").c_str());
      return 1;
    }
    std::this_thread::sleep_for(50ms);
  }
  std::printf("Halvern %d: %d entries, Frequency %d, platform %s; settling %d s\n", halvern->pid(),
              o.entries, o.frequency, platform ? platform : "offscreen", o.settleSeconds);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(o.settleSeconds));

  const pid_t pid = halvern->pid();
  auto threads = SampleThreads(pid);
  const auto first = threads;
  const long long ticksAtStart = CpuTicks(pid);
  std::vector<long long> perMinute;
  auto next = std::chrono::steady_clock::now();
  for (int minute = 1; minute <= o.minutes; ++minute) {
    next += 60s;
    std::this_thread::sleep_until(next);
    if (halvern->HasEnded()) {
      std::fprintf(stderr, "idle_bench: Halvern ended during the measure\n");
      return 1;
    }
    auto now = SampleThreads(pid);
    perMinute.push_back(SwitchesBetween(threads, now, nullptr));
    threads = std::move(now);
    std::printf("minute %2d: %lld wake-ups, %zu threads\n", minute, perMinute.back(),
                threads.size());
    std::fflush(stdout);
  }
  const long long ticks = CpuTicks(pid) - ticksAtStart;
  std::map<std::string, long long> byThread;
  long long runNs = 0;
  const long long total = SwitchesBetween(first, threads, &byThread, &runNs);

  auto sorted = perMinute;
  std::sort(sorted.begin(), sorted.end());
  std::printf("wake-ups per minute: median %lld, highest %lld; %lld in %d min\n",
              sorted[sorted.size() / 2], sorted.back(), total, o.minutes);
  std::printf("CPU ticks over %d min: %lld (time on a CPU: %.1f ms)\n", o.minutes, ticks,
              static_cast<double>(runNs) / 1e6);
  for (const auto& [name, count] : byThread) {
    std::printf("  %-28s %lld\n", name.c_str(), count);
  }
  std::printf("Halvern: %s\n", halvern->End(SIGTERM, 5s).c_str());
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}

}  // namespace
}  // namespace halvern::bench

int main(int argc, char** argv) {
  halvern::bench::Options o;
  o.halvern = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "Halvern";
  if (!halvern::bench::ParseArgs(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: idle_bench [--halvern PATH] [--entries N] [--frequency MIN] "
                 "[--settle S] [--minutes M]\n");
    return 2;
  }
  return halvern::bench::Run(o);
}
