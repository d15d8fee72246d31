// History benchmark: a store seeded through the program's own store code with
// 100 entries x 30 days of 5-minute checks (864,000 history rows, a log record
// for each, and the daily summaries), then the History window opened
// offscreen over it, the chart redrawn for another address, the daily expiry
// of one day's rows, and the bytes the history takes per check.
//
//   history_bench [entries] [days] [repeats]      seed a temporary store, measure, remove it
//   history_bench --seed <file> [entries] [days]  only seed <file> (to use it in Halvern)
//   history_bench --measure <file> [repeats]      measure over a seeded <file>
//
// Seeding runs 16 writer threads, as finishing checks do, so that the store's
// group commit batches their writes. Open time runs from constructing the
// window to its first shown frame; RSS above idle is VmRSS then, over a process
// with its QApplication, the store open and a plain window shown. Each repeat
// runs in a fresh process. Figures are medians.

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QtWidgets/QApplication>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QTableView>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "check_history.h"
#include "check_log.h"
#include "clock.h"
#include "history_window.h"
#include "proc_stats.h"
#include "settings.h"
#include "sqlite_store.h"
#include "url_entry.h"

using namespace halvern;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kStepMs = 5 * 60 * 1000;
constexpr std::int64_t kDayMs = 24 * 3600 * 1000;

double Mb(long kb) { return static_cast<double>(kb) / 1024.0; }
double Since(Steady::time_point t) {
  return std::chrono::duration<double>(Steady::now() - t).count();
}

std::u16string U16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::unique_ptr<SqliteStore> OpenStore(const fs::path& file) {
  std::string error;
  auto store = SqliteStore::Open(file, u"Velmora", error);
  if (!store) std::fprintf(stderr, "%s\n", error.c_str());
  return store;
}

// A deterministic spread of outcomes: about one check in 200 fails and is
// retried (most pass on the retry), one entry in ten has an outage of an hour
// every few days; response times vary by entry and hour.
struct Sim {
  std::uint32_t seed;
  std::uint32_t Next() {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  }
};

HistoryRow MakeRow(int entry, std::int64_t t, CheckKind kind, bool passed, Sim& sim) {
  HistoryRow row;
  row.entryId = static_cast<std::uint32_t>(1000 + entry);
  char title[32];
  std::snprintf(title, sizeof title, "Site %03d", entry);
  row.title = U16(title);
  char url[64];
  std::snprintf(url, sizeof url, "https://site%03d.example.org/status", entry);
  row.url = U16(url);
  row.timeMs = t;
  row.kind = kind;
  row.passed = passed;
  if (passed) {
    row.httpStatus = 200;
    row.detail = u"OK";
    const double base = 40 + entry % 7 * 30;
    row.dnsMs = 1 + sim.Next() % 3000 / 1000.0;
    row.connectMs = *row.dnsMs + base / 4 + sim.Next() % 2000 / 1000.0;
    row.tlsMs = *row.connectMs + base / 2 + sim.Next() % 5000 / 1000.0;
    row.firstByteMs = *row.tlsMs + base + sim.Next() % 40000 / 1000.0;
    row.totalMs = *row.firstByteMs + 1 + sim.Next() % 3000 / 1000.0;
    row.bytes = 2000 + entry * 37 % 9000;
  } else {
    row.detail = u"Failed. Cannot connect to the server. Code: Couldn't connect to server";
    row.dnsMs = 1.5;
    row.totalMs = 3.2;
  }
  return row;
}

struct Written {
  std::atomic<long> rows{0};
  std::atomic<long> failed{0};
};

// One entry's checks from `startMs` for `days`, each with its log record.
void SeedEntry(SqliteStore& store, int entry, std::int64_t startMs, int days, Written& written) {
  Sim sim{static_cast<std::uint32_t>(entry * 7919 + 17)};
  UrlEntry e;
  InitUrlEntry(e);
  e.id = static_cast<std::uint32_t>(1000 + entry);
  const std::int64_t end = startMs + days * kDayMs;
  ManualClock clock(0);
  const auto write = [&](const HistoryRow& row) {
    SetEntryTitle(e, row.title);
    clock.SetMs(row.timeMs);
    const std::u16string logText =
        row.passed ? row.detail : std::u16string(u"Cannot connect to the server.");
    if (!WriteLogRecord(store, clock, e, row.passed, logText)) ++written.failed;
    if (!store.AppendCheck(row)) ++written.failed;
    ++written.rows;
  };
  const bool outages = entry % 10 == 3;
  for (std::int64_t t = startMs + entry * 1000; t < end; t += kStepMs) {
    const std::int64_t dayIndex = (t - startMs) / kDayMs;
    const std::int64_t minuteOfDay = (t - startMs) % kDayMs / 60000;
    if (outages && dayIndex % 4 == 1 && minuteOfDay >= 600 && minuteOfDay < 660) {
      write(MakeRow(entry, t, CheckKind::Scheduled, false, sim));
      write(MakeRow(entry, t + 5000, CheckKind::Retry, false, sim));
      write(MakeRow(entry, t + 10000, CheckKind::Retry, false, sim));
      continue;
    }
    if (sim.Next() % 200 == 0) {
      write(MakeRow(entry, t, CheckKind::Scheduled, false, sim));
      write(MakeRow(entry, t + 5000, CheckKind::Retry, sim.Next() % 4 != 0, sim));
      continue;
    }
    write(MakeRow(entry, t, CheckKind::Scheduled, true, sim));
  }
}

bool Seed(const fs::path& file, int entries, int days, std::int64_t nowMs) {
  auto store = OpenStore(file);
  if (!store) return false;
  const auto start = Steady::now();
  for (int i = 0; i < entries; ++i) {
    UrlEntry e;
    InitUrlEntry(e);
    e.id = static_cast<std::uint32_t>(1000 + i);
    e.enabled = 1;
    char title[32];
    std::snprintf(title, sizeof title, "Site %03d", i);
    SetEntryTitle(e, U16(title));
    char url[64];
    std::snprintf(url, sizeof url, "https://site%03d.example.org/status", i);
    SetEntryUrl(e, U16(url));
    if (!SaveUrlEntry(*store, U16(title), e)) return false;
  }
  // 30 days kept, so that every seeded row stays.
  if (!WriteSetting(*store, kKeepLogFiles, 8)) return false;
  const std::int64_t startMs = LocalDayStartMs(nowMs - days * kDayMs);
  Written written;
  std::vector<std::thread> threads;
  constexpr int kThreads = 16;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int entry = t; entry < entries; entry += kThreads) {
        SeedEntry(*store, entry, startMs, days, written);
      }
    });
  }
  for (auto& t : threads) t.join();
  // The summaries of every complete day, as the daily expiry writes them.
  const auto summaries =
      SummarizeDays(*store, startMs, LocalDayStartMs(LocalDayStartMs(nowMs) - 1), nowMs);
  if (!store->WriteSummaries(summaries)) return false;
  std::printf("seeded %ld history rows (and as many log records), %zu summaries in %.1f s%s\n",
              written.rows.load(), summaries.size(), Since(start),
              written.failed ? " WITH FAILED WRITES" : "");
  return written.failed == 0;
}

// The bytes of the history table and its indexes, by SQLite's own page count.
struct HistorySize {
  double perCheck = 0;
  long rows = 0;
};
HistorySize HistoryBytes(const fs::path& file) {
  HistorySize b;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return b;
  sqlite3_stmt* stmt = nullptr;
  const char* sql =
      "SELECT (SELECT sum(pgsize) FROM dbstat WHERE name IN ('check_history',"
      " 'check_history_entry_time', 'check_history_failures')),"
      " (SELECT count(*) FROM check_history)";
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    b.rows = static_cast<long>(sqlite3_column_int64(stmt, 1));
    if (b.rows > 0) b.perCheck = sqlite3_column_double(stmt, 0) / double(b.rows);
  } else {
    std::fprintf(stderr, "dbstat: %s\n", sqlite3_errmsg(db));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return b;
}

struct Figures {
  double openS = 0;
  double openCpuS = 0;
  double redrawMs = 0;       // median over address changes, 24 hours
  double redrawMonthMs = 0;  // the same with 30 days shown
  double rssAboveIdleMb = 0;
  double peakAboveIdleMb = 0;
  int rows = 0;
};

double CpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double MedianOf(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Milliseconds for choosing each of `changes` addresses in turn until the
// chart has been painted.
double RedrawMs(ui::HistoryWindow& w, int changes) {
  std::vector<double> times;
  QTableView* table = w.table();
  for (int i = 1; i <= changes; ++i) {
    const auto start = Steady::now();
    table->selectRow(i % table->model()->rowCount());
    w.chart()->repaint();
    w.phases()->repaint();
    times.push_back(Since(start) * 1000);
  }
  return MedianOf(times);
}

Figures MeasureOpen(const fs::path& file) {
  int argc = 1;
  char name[] = "history_bench";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  auto store = OpenStore(file);
  if (!store) std::_Exit(1);
  QWidget idle;
  idle.resize(200, 100);
  idle.show();
  QCoreApplication::processEvents();
  const auto before = bench::SampleProc(::getpid());
  const SystemClock clock;

  const auto start = Steady::now();
  const double cpuStart = CpuSeconds();
  auto* window = new ui::HistoryWindow(*store, *store, clock);
  window->show();
  QCoreApplication::processEvents();
  Figures f;
  f.openS = Since(start);
  f.openCpuS = CpuSeconds() - cpuStart;
  const auto after = bench::SampleProc(::getpid());
  f.rows = window->model()->Rows();
  f.redrawMs = RedrawMs(*window, 20);
  window->period()->setCurrentIndex(2);
  f.redrawMonthMs = RedrawMs(*window, 20);
  const auto end = bench::SampleProc(::getpid());
  if (before && after && end) {
    f.rssAboveIdleMb = Mb(after->rssKb - before->rssKb);
    f.peakAboveIdleMb = Mb(end->peakKb - before->rssKb);
  }
  delete window;
  return f;
}

template <typename T, typename F>
bool InChild(F measure, T& out) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::close(fds[0]);
    const T value = measure();
    const bool ok = ::write(fds[1], &value, sizeof value) == static_cast<ssize_t>(sizeof value);
    std::_Exit(ok ? 0 : 1);
  }
  ::close(fds[1]);
  const bool read = ::read(fds[0], &out, sizeof out) == static_cast<ssize_t>(sizeof out);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The daily expiry one day after the seeded span: "Keep 30 days" then drops
// the oldest day's rows (100 entries x 288 = 28,800) and summarizes the day
// before. On a copy of the store, so that every repeat starts alike.
struct ExpiryFigures {
  double seconds = 0;
  long deleted = 0;
};
ExpiryFigures MeasureExpiry(const fs::path& seeded, std::int64_t nowMs) {
  const fs::path copy = seeded.parent_path() / "expiry.sqlite3";
  fs::remove(copy);
  fs::copy_file(seeded, copy);
  for (const char* side : {"-wal", "-shm"}) {
    if (fs::exists(seeded.string() + side))
      fs::copy_file(seeded.string() + side, copy.string() + side);
  }
  auto store = OpenStore(copy);
  ExpiryFigures f;
  if (!store) return f;
  const HistorySize before = HistoryBytes(copy);
  const auto start = Steady::now();
  ExpireHistory(*store, 8, nowMs + kDayMs);
  f.seconds = Since(start);
  f.deleted = before.rows - HistoryBytes(copy).rows;
  store.reset();
  for (const char* side : {"", "-wal", "-shm"}) fs::remove(copy.string() + side);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const std::int64_t nowMs = SystemClock().NowMs();
  if (argc >= 3 && std::strcmp(argv[1], "--measure") == 0) {
    // An existing store: the window and the expiry only.
    const fs::path file = argv[2];
    for (int r = 0; r < (argc > 3 ? std::max(1, std::atoi(argv[3])) : 3); ++r) {
      Figures f;
      if (!InChild([&] { return MeasureOpen(file); }, f)) return 1;
      std::printf("open %.3f s (CPU %.3f s), redraw %.1f ms (30 days %.1f ms), RSS +%.1f MB\n",
                  f.openS, f.openCpuS, f.redrawMs, f.redrawMonthMs, f.rssAboveIdleMb);
      ExpiryFigures e;
      if (InChild([&] { return MeasureExpiry(file, nowMs); }, e)) {
        std::printf("daily expiry %.3f s, %ld rows removed\n", e.seconds, e.deleted);
      }
    }
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], "--seed") == 0) {
    const int entries = argc > 3 ? std::max(1, std::atoi(argv[3])) : 100;
    const int days = argc > 4 ? std::max(1, std::atoi(argv[4])) : 30;
    return Seed(argv[2], entries, days, nowMs) ? 0 : 1;
  }
  const int entries = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  const int days = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;
  const int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;

  std::string pattern = (fs::temp_directory_path() / "halvern-history-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const fs::path dir = pattern;
  const fs::path file = dir / "registry.sqlite3";
  if (!Seed(file, entries, days, nowMs)) {
    fs::remove_all(dir);
    return 1;
  }
  const HistorySize bytes = HistoryBytes(file);
  std::printf("history: %ld rows, %.1f bytes per check (table and indexes)\n", bytes.rows,
              bytes.perCheck);

  std::vector<double> open, cpu, redraw, redrawMonth, rss, peak, expiry;
  long deleted = 0;
  for (int r = 0; r < repeats; ++r) {
    Figures f;
    if (!InChild([&] { return MeasureOpen(file); }, f)) {
      std::fprintf(stderr, "repeat %d failed\n", r + 1);
      fs::remove_all(dir);
      return 1;
    }
    std::printf(
        "  repeat %d: %d addresses, open %.3f s (CPU %.3f s), redraw %.1f ms (30 days %.1f ms), "
        "RSS +%.1f MB, peak +%.1f MB\n",
        r + 1, f.rows, f.openS, f.openCpuS, f.redrawMs, f.redrawMonthMs, f.rssAboveIdleMb,
        f.peakAboveIdleMb);
    std::fflush(stdout);
    open.push_back(f.openS);
    cpu.push_back(f.openCpuS);
    redraw.push_back(f.redrawMs);
    redrawMonth.push_back(f.redrawMonthMs);
    rss.push_back(f.rssAboveIdleMb);
    peak.push_back(f.peakAboveIdleMb);
    ExpiryFigures e;
    if (InChild([&] { return MeasureExpiry(file, nowMs); }, e)) {
      std::printf("  repeat %d: daily expiry %.3f s, %ld rows removed\n", r + 1, e.seconds,
                  e.deleted);
      expiry.push_back(e.seconds);
      deleted = e.deleted;
    }
  }
  fs::remove_all(dir);
  std::printf(
      "history window over %ld rows (median of %d):\n"
      "  open to first shown frame        %.3f s (CPU %.3f s)\n"
      "  chart redraw, address changed    %.1f ms (30 days shown: %.1f ms)\n"
      "  RSS above idle                   %.1f MB (peak %.1f MB)\n"
      "  daily expiry of one day's rows   %.3f s (%ld rows)\n"
      "  bytes per check                  %.1f\n",
      bytes.rows, repeats, MedianOf(open), MedianOf(cpu), MedianOf(redraw), MedianOf(redrawMonth),
      MedianOf(rss), MedianOf(peak), MedianOf(expiry), deleted, bytes.perCheck);
  return 0;
}
