#pragma once
// The program benchmark's view of the settings store: seeding it with URL
// entries through the program's own store layer, and reading back, over a
// read-only connection of its own, which entries have their first outcome.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

struct sqlite3;
struct sqlite3_stmt;

namespace halvern::bench {

// The title of the i-th seeded entry.
std::string SeededTitle(int i);

// Writes `count` entries against the mix of bench_mix.h on 127.0.0.1:`port`
// into the store file; only the first `enabled` of them are enabled. Counters
// start at 0, so any change of them is an outcome.
[[nodiscard]] bool SeedStore(const std::filesystem::path& file, int count, int enabled, int port,
                             std::string& error);

struct OutcomeCount {
  int done = 0;    // entries with a first outcome
  int passed = 0;  // entries whose last success time is set
};

class OutcomeProbe {
 public:
  // Nothing, and `error` set, when the file cannot be opened for reading.
  [[nodiscard]] static std::unique_ptr<OutcomeProbe> Open(const std::filesystem::path& file,
                                                          std::string& error);
  ~OutcomeProbe();
  OutcomeProbe(const OutcomeProbe&) = delete;
  OutcomeProbe& operator=(const OutcomeProbe&) = delete;

  // An entry has its first outcome once a log record names it or its stored
  // failure count or last success time has changed. The log records are small
  // and read at every call; the entries (2 KB each, so the read is costly)
  // only with `readEntries`, which also updates the count passed. Nothing when
  // the store could not be read this time (a later call may succeed).
  [[nodiscard]] std::optional<OutcomeCount> Poll(bool readEntries, std::string& error);

 private:
  explicit OutcomeProbe(sqlite3* db) : db_(db) {}
  bool ReadEntries(std::string& error);
  bool ReadLog(std::string& error);

  sqlite3* db_;
  sqlite3_stmt* entries_ = nullptr;
  sqlite3_stmt* log_ = nullptr;
  std::unordered_set<std::string> done_;
  int passed_ = 0;
};

}  // namespace halvern::bench
