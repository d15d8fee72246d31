// Log viewer benchmark: a temporary store seeded through the real SqliteStore
// with 100,000 log records (as the check run writes them), then the viewer
// opened offscreen in a fresh process per repeat, so that each repeat starts
// from the same heap.
//
//   log_viewer_bench [records] [repeats]
//
// Open time runs from constructing the dialog to its first shown frame (rows
// read, texts formatted, the list laid out and painted); the process's CPU
// time over it is given too. Idle is the process
// with its QApplication, the store open and a plain window shown; RSS above
// idle is VmRSS once the viewer is shown, peak above idle is VmHWM then.
// Figures are medians.

#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QtWidgets/QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "check_log.h"
#include "clock.h"
#include "list_view.h"
#include "log_files_dlg.h"
#include "proc_stats.h"
#include "resource_ids.h"
#include "sqlite_store.h"
#include "url_entry.h"

using namespace halvern;
namespace fs = std::filesystem;

namespace {

struct Figures {
  double openS = 0;
  double cpuS = 0;  // the process's CPU time over the open: steadier than wall on a busy machine
  double rssAboveIdleMb = 0;
  double peakAboveIdleMb = 0;
  double idleMb = 0;
  int rows = 0;
};

double Mb(long kb) { return static_cast<double>(kb) / 1024.0; }

double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::unique_ptr<SqliteStore> OpenStore(const fs::path& file) {
  std::string error;
  auto store = SqliteStore::Open(file, u"Velmora", error);
  if (!store) std::fprintf(stderr, "%s\n", error.c_str());
  return store;
}

// One record every 20 seconds up to now, a tenth of them failed, titles from
// a thousand entries; every passed record's text is its own.
bool Seed(const fs::path& file, int records) {
  auto store = OpenStore(file);
  if (!store) return false;
  ManualClock clock(SystemClock().Now() - static_cast<std::int64_t>(records) * 20);
  for (int i = 0; i < records; ++i) {
    UrlEntry entry;
    InitUrlEntry(entry);
    char title[16];
    std::snprintf(title, sizeof title, "Site %05d", i % 1000);
    SetEntryTitle(entry, std::u16string(title, title + std::strlen(title)));
    const bool passed = i % 10 != 3;
    // A passed check's text names its own time, as the check run writes it.
    const std::u16string text = passed
                                    ? u"Lasted checked on " + FormatLocalTime(clock.Now(), u"%X %x")
                                    : std::u16string(u"Failed. Not Found");
    if (!WriteLogRecord(*store, clock, entry, passed, text)) {
      std::fprintf(stderr, "cannot write log record %d\n", i);
      return false;
    }
    clock.Set(clock.Now() + 20);
  }
  return true;
}

// Runs in the child: opens the viewer once and measures it.
Figures MeasureOpen(const fs::path& file) {
  int argc = 1;
  char name[] = "log_viewer_bench";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  auto store = OpenStore(file);
  if (!store) std::_Exit(1);
  QWidget idle;
  idle.resize(200, 100);
  idle.show();
  QCoreApplication::processEvents();
  const auto before = bench::SampleProc(::getpid());

  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = CpuSeconds();
  ui::CLogFilesDlg dialog(*store);
  dialog.Create();
  dialog.show();
  QCoreApplication::processEvents();
  const auto shown = std::chrono::steady_clock::now();
  const double cpu = CpuSeconds() - cpuStart;
  const auto after = bench::SampleProc(::getpid());

  Figures f;
  f.openS = std::chrono::duration<double>(shown - start).count();
  f.cpuS = cpu;
  if (before && after) {
    f.idleMb = Mb(before->rssKb);
    f.rssAboveIdleMb = Mb(after->rssKb - before->rssKb);
    f.peakAboveIdleMb = Mb(after->peakKb - before->rssKb);
  }
  f.rows = dialog.Control<ui::ListView>(res::IDC_LOG_LIST)->ItemCount();
  return f;
}

// Forks a child that measures one open and hands its figures back over a pipe.
bool MeasureInChild(const fs::path& file, Figures& figures) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::close(fds[0]);
    const Figures f = MeasureOpen(file);
    const bool written = ::write(fds[1], &f, sizeof f) == static_cast<ssize_t>(sizeof f);
    std::_Exit(written ? 0 : 1);
  }
  ::close(fds[1]);
  const bool read =
      ::read(fds[0], &figures, sizeof figures) == static_cast<ssize_t>(sizeof figures);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

template <typename F>
double MedianOf(const std::vector<Figures>& runs, F field) {
  std::vector<double> v;
  for (const Figures& f : runs) v.push_back(field(f));
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int records = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100'000;
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

  std::string pattern = (fs::temp_directory_path() / "halvern-logview-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const fs::path dir = pattern;
  const fs::path file = dir / "registry.sqlite3";
  const auto seedStart = std::chrono::steady_clock::now();
  if (!Seed(file, records)) {
    fs::remove_all(dir);
    return 1;
  }
  std::printf("seeded %d log records in %.1f s\n", records,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - seedStart).count());

  std::vector<Figures> runs;
  for (int r = 0; r < repeats; ++r) {
    Figures f;
    if (!MeasureInChild(file, f)) {
      std::fprintf(stderr, "repeat %d failed\n", r + 1);
      fs::remove_all(dir);
      return 1;
    }
    std::printf(
        "  repeat %d: %d rows, open %.3f s (CPU %.3f s), RSS +%.1f MB, peak +%.1f MB (idle %.1f "
        "MB)\n",
        r + 1, f.rows, f.openS, f.cpuS, f.rssAboveIdleMb, f.peakAboveIdleMb, f.idleMb);
    std::fflush(stdout);
    runs.push_back(f);
  }
  fs::remove_all(dir);
  std::printf(
      "log viewer with %d records (median of %d):\n"
      "  open to first shown frame   %.3f s\n"
      "  CPU time of the open        %.3f s\n"
      "  RSS above idle              %.1f MB\n"
      "  peak above idle             %.1f MB\n",
      records, repeats, MedianOf(runs, [](auto& f) { return f.openS; }),
      MedianOf(runs, [](auto& f) { return f.cpuS; }),
      MedianOf(runs, [](auto& f) { return f.rssAboveIdleMb; }),
      MedianOf(runs, [](auto& f) { return f.peakAboveIdleMb; }));
  return 0;
}
