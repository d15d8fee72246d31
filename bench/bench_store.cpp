#include "bench_store.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstring>

#include "bench_mix.h"
#include "sqlite_store.h"
#include "url_entry.h"

namespace halvern::bench {
namespace {

// The case-folded section keys of the store's documented table.
constexpr char kUrlsKey[] = "software\\velmora\\velmora halvern\\urls";
constexpr char kLogKey[] = "software\\velmora\\velmora halvern\\logfile";

std::u16string Wide(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

template <typename T>
T LittleEndian(const unsigned char* bytes) {
  std::make_unsigned_t<T> value = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) value = (value << 8) | bytes[i];
  return static_cast<T>(value);
}

// A title field of a log record (UTF-16LE, zero-terminated), as ASCII.
std::string TitleField(const unsigned char* bytes, int size) {
  std::string title;
  for (int i = 0; i + 1 < size; i += 2) {
    const unsigned unit = bytes[i] | (bytes[i + 1] << 8);
    if (unit == 0) break;
    title.push_back(unit < 128 ? static_cast<char>(unit) : '?');
  }
  return title;
}

}  // namespace

std::string SeededTitle(int i) {
  char title[16];
  std::snprintf(title, sizeof title, "Site %05d", i);
  return title;
}

bool SeedStore(const std::filesystem::path& file, int count, int enabled, int port,
               std::string& error) {
  auto store = SqliteStore::Open(file, u"Velmora", error);
  if (!store) return false;
  for (int i = 0; i < count; ++i) {
    UrlEntry e;
    InitUrlEntry(e);
    e.enabled = i < enabled ? 1 : 0;
    SetEntryTitle(e, Wide(SeededTitle(i)));
    SetEntryUrl(e, Wide(MixUrl(port, i)));
    e.mode = MixAt(i).script ? kModeScript : kModeDownload;
    e.sizeLimit = 0xFFFFFFFFu;  // what the editor proposes
    if (!SaveUrlEntry(*store, EntryTitle(e), e)) {
      error = "cannot write entry " + std::to_string(i) + " into " + file.string();
      return false;
    }
  }
  return true;
}

std::unique_ptr<OutcomeProbe> OutcomeProbe::Open(const std::filesystem::path& file,
                                                 std::string& error) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    error = "cannot read " + file.string() + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 2000);
  std::unique_ptr<OutcomeProbe> probe(new OutcomeProbe(db));
  // Only the bytes that tell an outcome: lastSuccessTime and failureCount of
  // an entry; title and passed flag of a log record.
  if (sqlite3_prepare_v2(db,
                         "SELECT name, substr(data, 2121, 12) FROM reg_values WHERE key_fold = ?1",
                         -1, &probe->entries_, nullptr) != SQLITE_OK ||
      sqlite3_prepare_v2(db, "SELECT substr(data, 9, 50) FROM reg_values WHERE key_fold = ?1", -1,
                         &probe->log_, nullptr) != SQLITE_OK) {
    error = "cannot query " + file.string() + ": " + sqlite3_errmsg(db);
    return nullptr;
  }
  sqlite3_bind_text(probe->entries_, 1, kUrlsKey, -1, SQLITE_STATIC);
  sqlite3_bind_text(probe->log_, 1, kLogKey, -1, SQLITE_STATIC);
  return probe;
}

OutcomeProbe::~OutcomeProbe() {
  sqlite3_finalize(entries_);
  sqlite3_finalize(log_);
  sqlite3_close(db_);
}

bool OutcomeProbe::ReadEntries(std::string& error) {
  int passed = 0;
  int rc;
  while ((rc = sqlite3_step(entries_)) == SQLITE_ROW) {
    const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(entries_, 0));
    const auto* tail = static_cast<const unsigned char*>(sqlite3_column_blob(entries_, 1));
    if (name == nullptr || tail == nullptr || sqlite3_column_bytes(entries_, 1) < 12) continue;
    const auto lastSuccess = LittleEndian<std::int64_t>(tail);
    const auto failures = LittleEndian<std::int32_t>(tail + 8);
    if (lastSuccess != 0) ++passed;
    if (lastSuccess != 0 || failures != 0) done_.insert(name);
  }
  sqlite3_reset(entries_);
  if (rc != SQLITE_DONE) {
    error = std::string("reading the entries: ") + sqlite3_errmsg(db_);
    return false;
  }
  passed_ = passed;
  return true;
}

bool OutcomeProbe::ReadLog(std::string& error) {
  int rc;
  while ((rc = sqlite3_step(log_)) == SQLITE_ROW) {
    const auto* title = static_cast<const unsigned char*>(sqlite3_column_blob(log_, 0));
    if (title != nullptr) done_.insert(TitleField(title, sqlite3_column_bytes(log_, 0)));
  }
  sqlite3_reset(log_);
  if (rc != SQLITE_DONE) {
    error = std::string("reading the log: ") + sqlite3_errmsg(db_);
    return false;
  }
  return true;
}

std::optional<OutcomeCount> OutcomeProbe::Poll(bool readEntries, std::string& error) {
  // One read transaction, so that both sections come from the same moment.
  sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
  const bool ok = (!readEntries || ReadEntries(error)) && ReadLog(error);
  sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  if (!ok) return std::nullopt;
  return OutcomeCount{static_cast<int>(done_.size()), passed_};
}

}  // namespace halvern::bench
