// Program benchmark: the real Halvern at scale, through its public surface only
// (the store file, the HalvernRun launcher, the process's /proc entries).
//
//   program_bench [--counts 200,1000,5000] [--repeats 3] [--startup 10000]
//                 [--settle 5] [--timeout 300] [--server nginx|own]
//                 [--stall-repeats 3]
//
// For each count N and repeat: a fresh store in a temporary XDG_CONFIG_HOME is
// seeded with N entries of the mix in bench_mix.h (script addresses as script
// checks); Halvern starts with QT_QPA_PLATFORM=offscreen and a temporary
// XDG_RUNTIME_DIR; once its socket listens and it has gone idle, one HalvernRun
// is sent, and the store is read until every entry has its first outcome.
// Wall time runs from the start of HalvernRun to the read that saw the last
// outcome (reads every 20 ms); CPU is Halvern's user + system time over that
// span; peak is its VmHWM; threads and descriptors are the highest sampled.
// Beside each repeat the libcurl multi reference fetches the same addresses.
// Then the start-up measure: a store of --startup entries of which one is
// enabled; start to socket listening, and to that entry's outcome after one
// HalvernRun sent as soon as the socket listens (--startup 0 skips it).
// Then, for each count, --stall-repeats further runs of HalvernProbe (the same
// program with a probe timer on its window's thread, see stall_probe.cpp) give
// the longest stall of the window's thread between HalvernRun and the last
// outcome; they are kept apart so that the probe costs nothing above.
// The server is a private nginx when nginx is installed (--server own takes the
// check benchmark's own server instead), else that server.
// Run it from the build tree: it starts the programs beside itself.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_store.h"
#include "child_process.h"
#include "local_server.h"
#include "proc_stats.h"

namespace halvern::bench {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

double Seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }
double Mb(long kb) { return static_cast<double>(kb) / 1024.0; }

struct Options {
  std::vector<int> counts = {200, 1000, 5000};
  int repeats = 3;
  int startupEntries = 10000;
  int settleSeconds = 5;
  int timeoutSeconds = 300;
  bool nginx = true;
  int stallRepeats = 3;
};

// A temporary folder with the program's config and runtime folders; removed at
// the end unless kept for a look after a failed run.
class Workspace {
 public:
  Workspace() {
    std::string pattern = (fs::temp_directory_path() / "halvern-program-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    fs::create_directory(config());
    fs::create_directory(runtime());
    fs::permissions(runtime(), fs::perms(0700));
  }
  ~Workspace() {
    std::error_code ec;
    if (!keep_) fs::remove_all(root_, ec);
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  fs::path config() const { return root_ / "config"; }
  fs::path runtime() const { return root_ / "run"; }
  fs::path store() const { return config() / "Velmora" / "registry.sqlite3"; }
  std::string socket() const { return (runtime() / "Velmora Halvern.sock").string(); }
  std::string log() const { return (root_ / "halvern.log").string(); }
  std::string probeFile() const { return (root_ / "stalls.txt").string(); }
  std::vector<std::string> Environment() const {
    return {"QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config().string(),
            "XDG_RUNTIME_DIR=" + runtime().string(), "HALVERN_PROBE_FILE=" + probeFile()};
  }
  // Keeps the folder and says where it is.
  std::string Keep() {
    keep_ = true;
    return " (kept: " + root_.string() + ")";
  }

 private:
  fs::path root_;
  bool keep_ = false;
};

struct Programs {
  fs::path halvern, launcher, reference, runMeasure, probe;
};

std::unique_ptr<ChildProcess> StartHalvern(const fs::path& binary, const Workspace& ws,
                                           std::string& error) {
  return ChildProcess::Spawn({{binary.string()}, ws.Environment(), ws.log()}, error);
}

double SteadyMs(SteadyClock::time_point t) {
  return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

// The longest stall the probe recorded that overlaps [from, to].
double LongestStallMs(const Workspace& ws, SteadyClock::time_point from,
                      SteadyClock::time_point to) {
  std::ifstream in(ws.probeFile());
  double longest = 0, end = 0, gap = 0;
  while (in >> end >> gap) {
    if (end >= SteadyMs(from) && end - gap <= SteadyMs(to)) longest = std::max(longest, gap);
  }
  return longest;
}

// Waits until Halvern's socket listens; false, with `error`, when it ends or
// the limit passes first.
bool WaitListening(ChildProcess& halvern, const Workspace& ws, std::chrono::milliseconds poll,
                   std::chrono::seconds limit, std::string& error) {
  const auto deadline = SteadyClock::now() + limit;
  while (!IsListening(ws.socket())) {
    std::string how;
    if (halvern.HasEnded(&how)) {
      error = "Halvern ended before its socket listened (" + how + "), see " + ws.log();
      return false;
    }
    if (SteadyClock::now() > deadline) {
      error = "Halvern's socket did not listen within " + std::to_string(limit.count()) + " s";
      return false;
    }
    std::this_thread::sleep_for(poll);
  }
  return true;
}

// Waits until Halvern uses no CPU for 300 ms: its window is up and its list
// filled. Gives up after `limit` (a program that never idles runs anyway).
void WaitQuiet(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = SteadyClock::now() + limit;
  double last = -1;
  int quiet = 0;
  while (quiet < 3 && SteadyClock::now() < deadline) {
    const auto s = SampleProc(pid);
    if (!s) return;
    quiet = s->cpuSeconds == last ? quiet + 1 : 0;
    last = s->cpuSeconds;
    std::this_thread::sleep_for(100ms);
  }
}

bool SendRun(const Programs& programs, const Workspace& ws, std::string& error) {
  auto run = ChildProcess::Spawn({{programs.launcher.string()}, ws.Environment(), {}}, error);
  if (!run) return false;
  const std::string how = run->Wait();
  if (how != "exit 0") error = "HalvernRun: " + how;
  return how == "exit 0";
}

// ---- One run of N checks.

struct RunFigures {
  bool complete = false;
  int done = 0, passed = 0;
  double wallS = 0, cpuS = 0, peakMb = 0, idleMb = 0, afterMb = 0, stallMs = 0;
  int threads = 0, descriptors = 0;
  std::string ended, error;
};

// Reads the store and /proc every 20 ms until every entry has an outcome.
void Follow(pid_t pid, OutcomeProbe& probe, int count, double cpuAtStart,
            SteadyClock::time_point start, std::chrono::seconds limit, RunFigures& f) {
  for (int round = 0;; ++round) {
    std::string error;
    // The entries are costly to read: once a second, and whenever the log
    // alone does not yet show every outcome at the end.
    const auto outcome = probe.Poll(round % 50 == 49, error);
    const auto now = SteadyClock::now();
    const auto sample = SampleProc(pid);
    if (!sample) {
      f.error = "Halvern ended during the run";
      return;
    }
    f.threads = std::max(f.threads, sample->threads);
    f.descriptors = std::max(f.descriptors, sample->descriptors);
    f.peakMb = Mb(sample->peakKb);
    if (outcome) f.done = outcome->done;
    if (f.done >= count) {
      f.complete = true;
      f.wallS = Seconds(now - start);
      f.cpuS = sample->cpuSeconds - cpuAtStart;
      return;
    }
    if (now - start > limit) {
      f.wallS = Seconds(now - start);
      f.cpuS = sample->cpuSeconds - cpuAtStart;
      f.error = "only " + std::to_string(f.done) + " of " + std::to_string(count) +
                " outcomes recorded within " + std::to_string(limit.count()) + " s" +
                (error.empty() ? "" : " (" + error + ")");
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
}

RunFigures MeasureRun(const Programs& programs, int port, int count, const Options& options,
                      bool withProbe = false) {
  RunFigures f;
  Workspace ws;
  if (!SeedStore(ws.store(), count, count, port, f.error)) return f;
  auto halvern = StartHalvern(withProbe ? programs.probe : programs.halvern, ws, f.error);
  if (!halvern || !WaitListening(*halvern, ws, 10ms, 60s, f.error)) {
    f.error += ws.Keep();
    return f;
  }
  WaitQuiet(halvern->pid(), 30s);
  const auto idle = SampleProc(halvern->pid());
  auto probe = OutcomeProbe::Open(ws.store(), f.error);
  if (!idle || !probe) {
    f.error = (idle ? f.error : "Halvern ended while starting") + ws.Keep();
    return f;
  }
  f.idleMb = Mb(idle->rssKb);
  const auto start = SteadyClock::now();
  if (!SendRun(programs, ws, f.error)) return f;
  Follow(halvern->pid(), *probe, count, idle->cpuSeconds, start,
         std::chrono::seconds(options.timeoutSeconds), f);
  if (withProbe) f.stallMs = LongestStallMs(ws, start, SteadyClock::now());
  std::string error;
  if (const auto last = probe->Poll(true, error)) {
    f.passed = last->passed;
    f.done = std::max(f.done, last->done);
  }
  std::this_thread::sleep_for(std::chrono::seconds(options.settleSeconds));
  if (const auto after = SampleProc(halvern->pid())) f.afterMb = Mb(after->rssKb);
  f.ended = halvern->End(SIGTERM, 5s);
  if (!f.complete) f.error += ws.Keep();
  return f;
}

// ---- The reference.

struct ReferenceFigures {
  bool ok = false;
  double wallS = 0, cpuS = 0, peakMb = 0;
  int passed = 0;
  std::string error;
};

// The reference is started through run_measure: a process's peak memory
// counts what its parent had mapped before the exec, and run_measure is tiny
// where this program has seeded stores.
ReferenceFigures MeasureReference(const Programs& programs, int port, int count) {
  ReferenceFigures r;
  auto child = ChildProcess::Spawn({{programs.runMeasure.string(), programs.reference.string(),
                                     std::to_string(port), std::to_string(count)},
                                    {},
                                    {},
                                    true},
                                   r.error);
  if (!child) return r;
  // The reference's own line, then run_measure's "<us> <kb> <exit code>".
  std::istringstream line(child->ReadLine());
  std::istringstream measured(child->ReadLine());
  child->Wait();
  double wallMs = 0, cpuMs = 0;
  long rssKb = 0, us = 0, kb = 0;
  int code = -1;
  r.ok = static_cast<bool>(line >> wallMs >> cpuMs >> rssKb >> r.passed) &&
         static_cast<bool>(measured >> us >> kb >> code) && code == 0;
  if (!r.ok) r.error = "multi_reference did not finish (exit code " + std::to_string(code) + ")";
  r.wallS = wallMs / 1e3;
  r.cpuS = cpuMs / 1e3;
  r.peakMb = Mb(rssKb);
  return r;
}

// ---- The start-up measure.

struct StartupFigures {
  bool ok = false;
  double socketS = 0, outcomeS = 0, handledS = 0, peakMb = 0;
  std::string ended, error;
};

StartupFigures MeasureStartup(const Programs& programs, int port, int entries) {
  StartupFigures s;
  Workspace ws;
  if (!SeedStore(ws.store(), entries, 1, port, s.error)) return s;
  const auto start = SteadyClock::now();
  auto halvern = StartHalvern(programs.halvern, ws, s.error);
  if (!halvern || !WaitListening(*halvern, ws, 2ms, 60s, s.error)) {
    s.error += ws.Keep();
    return s;
  }
  const auto listening = SteadyClock::now();
  s.socketS = Seconds(listening - start);
  auto probe = OutcomeProbe::Open(ws.store(), s.error);
  if (!probe || !SendRun(programs, ws, s.error)) return s;
  for (;;) {
    std::string error;
    const auto outcome = probe->Poll(false, error);
    const auto now = SteadyClock::now();
    if (outcome && outcome->done >= 1) {
      s.ok = true;
      s.outcomeS = Seconds(now - start);
      s.handledS = Seconds(now - listening);
      break;
    }
    if (halvern->HasEnded() || now - listening > 60s) {
      s.error = "no outcome within 60 s of HalvernRun" + ws.Keep();
      break;
    }
    std::this_thread::sleep_for(5ms);
  }
  if (const auto sample = SampleProc(halvern->pid())) s.peakMb = Mb(sample->peakKb);
  s.ended = halvern->End(SIGTERM, 5s);
  return s;
}

// ---- The report.

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

template <typename T, typename F>
double MedianOf(const std::vector<T>& runs, F field) {
  std::vector<double> v;
  for (const T& r : runs) v.push_back(field(r));
  return Median(v);
}

void PrintHeader() {
  std::printf("%6s %-10s %8s %8s %9s %8s %7s %8s %8s %8s %8s  %s\n", "N", "program", "wall s",
              "CPU s", "ms/check", "peak MB", "passed", "threads", "fds", "idle MB", "after MB",
              "ratio to reference (wall, CPU, peak)");
}

void BenchStalls(const Programs& programs, int port, int count, const Options& options) {
  if (options.stallRepeats <= 0) return;
  std::vector<double> stalls;
  for (int r = 0; r < options.stallRepeats; ++r) {
    const RunFigures run = MeasureRun(programs, port, count, options, true);
    if (!run.complete) std::printf("  HalvernProbe, repeat %d: %s\n", r + 1, run.error.c_str());
    stalls.push_back(run.stallMs);
  }
  std::sort(stalls.begin(), stalls.end());
  std::printf(
      "%6d window thread: longest stall %.0f ms (median of %d runs of HalvernProbe; "
      "each run:",
      count, Median(stalls), options.stallRepeats);
  for (double s : stalls) std::printf(" %.0f", s);
  std::printf(")\n");
}

void BenchCount(const Programs& programs, int port, int count, const Options& options) {
  std::vector<ReferenceFigures> refs;
  std::vector<RunFigures> runs;
  for (int r = 0; r < options.repeats; ++r) {
    ReferenceFigures ref = MeasureReference(programs, port, count);
    if (!ref.ok) std::printf("  reference, repeat %d: %s\n", r + 1, ref.error.c_str());
    refs.push_back(ref);
    RunFigures run = MeasureRun(programs, port, count, options);
    std::printf(
        "  Halvern, N=%d repeat %d: %d of %d outcomes, wall %.2f s, CPU %.2f s, ended: %s%s%s\n",
        count, r + 1, run.done, count, run.wallS, run.cpuS,
        run.ended.empty() ? "-" : run.ended.c_str(), run.error.empty() ? "" : "; ",
        run.error.c_str());
    std::fflush(stdout);
    runs.push_back(run);
  }
  const double rw = MedianOf(refs, [](auto& r) { return r.wallS; });
  const double rc = MedianOf(refs, [](auto& r) { return r.cpuS; });
  const double rp = MedianOf(refs, [](auto& r) { return r.peakMb; });
  const double hw = MedianOf(runs, [](auto& r) { return r.wallS; });
  const double hc = MedianOf(runs, [](auto& r) { return r.cpuS; });
  const double hp = MedianOf(runs, [](auto& r) { return r.peakMb; });
  PrintHeader();
  std::printf("%6d %-10s %8.2f %8.2f %9.3f %8.1f %7.0f %8s %8s %8s %8s\n", count, "reference", rw,
              rc, rc * 1e3 / count, rp, MedianOf(refs, [](auto& r) { return r.passed; }), "1", "-",
              "-", "-");
  const bool complete = std::all_of(runs.begin(), runs.end(), [](auto& r) { return r.complete; });
  std::printf(
      "%6d %-10s %8.2f %8.2f %9.3f %8.1f %7.0f %8.0f %8.0f %8.1f %8.1f  %.2f, %.2f, %.2f%s\n",
      count, "Halvern", hw, hc, hc * 1e3 / count, hp,
      MedianOf(runs, [](auto& r) { return r.passed; }),
      MedianOf(runs, [](auto& r) { return r.threads; }),
      MedianOf(runs, [](auto& r) { return r.descriptors; }),
      MedianOf(runs, [](auto& r) { return r.idleMb; }),
      MedianOf(runs, [](auto& r) { return r.afterMb; }), rw > 0 ? hw / rw : 0, rc > 0 ? hc / rc : 0,
      rp > 0 ? hp / rp : 0, complete ? "" : "  (NOT every outcome recorded in every repeat)");
  BenchStalls(programs, port, count, options);
  std::printf("\n");
  std::fflush(stdout);
}

void BenchStartup(const Programs& programs, int port, const Options& options) {
  std::vector<StartupFigures> runs;
  for (int r = 0; r < options.repeats; ++r) {
    StartupFigures s = MeasureStartup(programs, port, options.startupEntries);
    std::printf("  start-up, repeat %d: socket %.3f s, outcome %.3f s, ended: %s%s%s\n", r + 1,
                s.socketS, s.outcomeS, s.ended.empty() ? "-" : s.ended.c_str(),
                s.error.empty() ? "" : "; ", s.error.c_str());
    runs.push_back(s);
  }
  std::printf(
      "start-up with %d stored entries, one enabled (median of %d):\n"
      "  start to socket listening             %.3f s\n"
      "  socket listening to first outcome     %.3f s  (HalvernRun sent at once)\n"
      "  start to first outcome                %.3f s\n"
      "  peak (VmHWM) by then                  %.1f MB\n",
      options.startupEntries, options.repeats, MedianOf(runs, [](auto& s) { return s.socketS; }),
      MedianOf(runs, [](auto& s) { return s.handledS; }),
      MedianOf(runs, [](auto& s) { return s.outcomeS; }),
      MedianOf(runs, [](auto& s) { return s.peakMb; }));
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    if (i + 1 >= args.size()) return std::nullopt;
    const std::string& value = args[i + 1];
    if (args[i] == "--counts") {
      o.counts.clear();
      std::istringstream in(value);
      for (std::string c; std::getline(in, c, ',');) o.counts.push_back(std::atoi(c.c_str()));
    } else if (args[i] == "--repeats") {
      o.repeats = std::max(1, std::atoi(value.c_str()));
    } else if (args[i] == "--startup") {
      o.startupEntries = std::atoi(value.c_str());
    } else if (args[i] == "--settle") {
      o.settleSeconds = std::atoi(value.c_str());
    } else if (args[i] == "--timeout") {
      o.timeoutSeconds = std::atoi(value.c_str());
    } else if (args[i] == "--stall-repeats") {
      o.stallRepeats = std::max(0, std::atoi(value.c_str()));
    } else if (args[i] == "--server" && (value == "nginx" || value == "own")) {
      o.nginx = value == "nginx";
    } else {
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace
}  // namespace halvern::bench

int main(int argc, char** argv) {
  using namespace halvern::bench;
  const auto options = ParseOptions({argv + 1, argv + argc});
  if (!options) {
    std::fprintf(stderr,
                 "usage: program_bench [--counts 200,1000,5000] [--repeats 3] [--startup 10000]\n"
                 "                     [--settle 5] [--timeout 300] [--server nginx|own]\n"
                 "                     [--stall-repeats 3]\n");
    return 2;
  }
  const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
  const Programs programs{bin / "Halvern", bin / "HalvernRun", bin / "multi_reference",
                          bin / "run_measure", bin / "HalvernProbe"};
  for (const fs::path& p : {programs.halvern, programs.launcher, programs.reference,
                            programs.runMeasure, programs.probe}) {
    if (!fs::exists(p)) {
      std::fprintf(stderr, "%s is missing: build it first\n", p.c_str());
      return 1;
    }
  }
  std::string error;
  const auto server = LocalServer::Start(bin, options->nginx, error);
  if (!server) {
    std::fprintf(stderr, "no local server: %s\n", error.c_str());
    return 1;
  }
  std::printf("server: %s on 127.0.0.1:%d; %d repeat(s), figures are medians\n",
              server->description().c_str(), server->port(), options->repeats);
  std::fflush(stdout);
  for (int count : options->counts) BenchCount(programs, server->port(), count, *options);
  if (options->startupEntries > 0) BenchStartup(programs, server->port(), *options);
  return 0;
}
