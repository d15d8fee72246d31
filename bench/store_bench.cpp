// Settings store benchmark: log record writes from one and eight threads, a walk
// and expiry of a 100,000-record log, a walk of a 1,000-entry URL section.
// Run by hand: store_bench [repeats]. Prints the median of each figure.

#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "check_log.h"
#include "clock.h"
#include "settings.h"
#include "sqlite_store.h"
#include "url_entry.h"

using namespace halvern;
using Seconds = std::chrono::duration<double>;

namespace {

struct Fixture {
  std::filesystem::path dir;
  std::unique_ptr<SqliteStore> store;
  Fixture() {
    std::string pattern = (std::filesystem::temp_directory_path() / "halvern-bench-XXXXXX");
    dir = ::mkdtemp(pattern.data());
    std::string error;
    store = SqliteStore::Open(dir / "registry.sqlite3", u"Velmora", error);
    if (!store) std::fprintf(stderr, "%s\n", error.c_str()), std::exit(1);
  }
  ~Fixture() {
    store.reset();
    std::filesystem::remove_all(dir);
  }
};

template <typename F>
double Time(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

UrlEntry Entry(int i) {
  UrlEntry e;
  InitUrlEntry(e);
  const std::string t = "site " + std::to_string(i);
  SetEntryTitle(e, std::u16string(t.begin(), t.end()));
  SetEntryUrl(e, u"http://127.0.0.1/page");
  return e;
}

// Writes `total` log records from `threads` threads, with a clock that moves one
// second every 1,000 records, so many records share a second.
double WriteLog(SettingsStore& store, int total, int threads) {
  ManualClock clock(1'700'000'000);
  std::atomic<int> next{0};
  return Time([&] {
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&] {
        const UrlEntry e = Entry(t);
        for (int i; (i = next++) < total;) {
          if (i % 1000 == 999) clock.Advance(1);
          if (!WriteLogRecord(store, clock, e, i % 3 != 0, u"OK")) {
            std::fprintf(stderr, "bench: a store write failed\n");
          }
        }
      });
    }
    for (auto& th : pool) th.join();
  });
}

long PeakKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 3;
  constexpr int kRecords = 100'000;
  std::vector<double> one, eight, walk, expire, urlWalk;
  for (int r = 0; r < repeats; ++r) {
    {
      Fixture f;
      one.push_back(WriteLog(*f.store, kRecords, 1));
    }
    Fixture f;
    eight.push_back(WriteLog(*f.store, kRecords, 8));
    walk.push_back(Time([&] {
      auto cursor = f.store->OpenSection(kLogSection);
      std::size_t n = 0;
      while (cursor->Enumerate(n)) ++n;
      if (n < kRecords) std::fprintf(stderr, "walk saw %zu\n", n);
    }));
    // Every record is 30 days older than "now" under "Keep 1 day": all go.
    if (!WriteSetting(*f.store, kKeepLogFiles, 1))
      std::fprintf(stderr, "bench: a store write failed\n");
    ManualClock later(1'700'000'000 + 30 * 86400);
    expire.push_back(Time([&] { ExpireLog(*f.store, later); }));
    auto left = f.store->OpenSection(kLogSection);
    if (left->Enumerate(0)) std::fprintf(stderr, "expiry left records\n");

    for (int i = 0; i < 1000; ++i)
      if (!SaveUrlEntry(*f.store, EntryTitle(Entry(i)), Entry(i)))
        std::fprintf(stderr, "bench: a store write failed\n");
    urlWalk.push_back(Time([&] {
      int n = 0;
      WalkUrlEntries(*f.store, [&](const UrlEntry&) { ++n; });
    }));
  }
  std::printf("log writes, 1 thread:   %8.0f records/s (median of %d)\n", kRecords / Median(one),
              repeats);
  std::printf("log writes, 8 threads:  %8.0f records/s\n", kRecords / Median(eight));
  std::printf("walk of 100,000 values: %8.1f ms\n", Median(walk) * 1000);
  std::printf("expire 100,000 records: %8.1f ms\n", Median(expire) * 1000);
  std::printf("walk of 1,000 entries:  %8.2f ms\n", Median(urlWalk) * 1000);
  std::printf("peak memory:            %8ld KB\n", PeakKb());
}
