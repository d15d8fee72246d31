#include "store_backup.h"

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "private_file.h"

namespace halvern {
namespace {

struct CloseDb {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

Db Open(const std::filesystem::path& file, int flags) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  Db owned(db);
  if (db) sqlite3_busy_timeout(db, 10000);
  return owned;
}

std::string Message(sqlite3* db) { return db ? sqlite3_errmsg(db) : "out of memory"; }

// Copies every page of `source` into `target` in one step (one read
// transaction of the source). Another program's lock on the source is waited
// for a while.
bool Copy(sqlite3* source, sqlite3* target, std::string& why) {
  sqlite3_backup* backup = sqlite3_backup_init(target, "main", source, "main");
  if (!backup) {
    why = Message(target);
    return false;
  }
  int rc = SQLITE_OK;
  for (int attempt = 0; attempt < 300; ++attempt) {
    rc = sqlite3_backup_step(backup, -1);
    if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  sqlite3_backup_finish(backup);
  if (rc == SQLITE_DONE) return true;
  why = rc == SQLITE_BUSY || rc == SQLITE_LOCKED ? "the store stayed locked by another program"
                                                 : sqlite3_errstr(rc);
  return false;
}

bool Run(sqlite3* db, const char* sql, std::string& why, const char* expected = nullptr) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    why = Message(db);
    return false;
  }
  bool ok = true;
  int rc = sqlite3_step(statement);
  if (expected) {
    const auto* text =
        rc == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)) : "";
    ok = text && std::string(text) == expected;
    if (!ok) why = "the copy does not read back as a sound database";
  }
  while (rc == SQLITE_ROW) rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) {
    ok = false;
    why = Message(db);
  }
  sqlite3_finalize(statement);
  return ok;
}

}  // namespace

bool BackUpStore(const std::filesystem::path& store, const std::filesystem::path& target,
                 std::string& error) {
  const std::filesystem::path temp = MakePrivateTempFile(target, error);
  if (temp.empty()) return false;
  std::string why;
  bool copied = false;
  {
    Db source = Open(store, SQLITE_OPEN_READONLY);
    Db copy = Open(temp, SQLITE_OPEN_READWRITE);
    if (!source || sqlite3_errcode(source.get()) != SQLITE_OK) {
      why = "cannot open the store: " + Message(source.get());
    } else if (!copy || sqlite3_errcode(copy.get()) != SQLITE_OK) {
      why = Message(copy.get());
    } else {
      // No journal beside the copy while it is written: a failed copy is
      // thrown away whole.
      copied =
          Run(copy.get(), "PRAGMA journal_mode=OFF", why) && Copy(source.get(), copy.get(), why);
    }
  }
  if (copied) {
    // The copy is one file that any SQLite client reads as it is: its pages
    // say WAL as the store's do until it is switched back to a rollback
    // journal. Then it is read through once.
    Db copy = Open(temp, SQLITE_OPEN_READWRITE);
    copied = copy && Run(copy.get(), "PRAGMA journal_mode=DELETE", why, "delete") &&
             Run(copy.get(), "PRAGMA quick_check", why, "ok");
  }
  if (!copied) {
    ::unlink(temp.c_str());
    error = "Cannot back up the store to \"" + target.string() + "\": " + why + ".";
    return false;
  }
  return CommitPrivateFile(temp, target, error);
}

}  // namespace halvern
