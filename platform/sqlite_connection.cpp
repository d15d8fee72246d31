#include "sqlite_connection.h"

#include <algorithm>
#include <thread>

#include "sqlite_store_files.h"

namespace halvern {

SqliteStore::Connection::Connection(sqlite3* db, const BusyPolicy& policy, std::uint64_t generation)
    : db_(db), policy_(policy), generation_(generation) {
  sqlite3_busy_handler(db_, &Connection::OnBusy, this);
}

SqliteStore::Connection::~Connection() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

sqlite3_stmt* SqliteStore::Connection::Prepare(const char* sql) {
  for (auto& [text, stmt] : statements_) {
    if (text == sql) {
      sqlite3_reset(stmt);
      sqlite3_clear_bindings(stmt);
      return stmt;
    }
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    return nullptr;
  }
  statements_.emplace_back(sql, stmt);
  return stmt;
}

bool SqliteStore::Connection::Run(const char* sql) {
  sqlite3_stmt* stmt = Prepare(sql);
  if (!stmt) return false;
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE;
}

bool SqliteStore::Connection::Exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SqliteStore::Connection::Busy() const { return (sqlite3_errcode(db_) & 0xff) == SQLITE_BUSY; }

void SqliteStore::Connection::Retire() {
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

// SQLite's own busy timeout cannot be cut short once it waits; this handler
// also ends the wait when the program begins to exit.
int SqliteStore::Connection::OnBusy(void* self, int count) {
  auto* c = static_cast<Connection*>(self);
  const auto now = BusyPolicy::Clock::now();
  if (count == 0) c->waitStart_ = now;
  const auto attemptEnd = c->waitStart_ + std::chrono::milliseconds(c->policy_.attemptMs.load());
  const auto end = std::min(attemptEnd, c->policy_.ExitDeadline());
  if (now >= end) return 0;
  // Short sleeps first, as SQLite's own handler does, then at most 50 ms.
  static constexpr int kDelaysMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50};
  const int delay = kDelaysMs[std::min<std::size_t>(count, std::size(kDelaysMs) - 1)];
  std::this_thread::sleep_for(
      std::min<BusyPolicy::Clock::duration>(std::chrono::milliseconds(delay), end - now));
  return 1;
}

void BindText(sqlite3_stmt* stmt, int index, const std::u16string& text) {
  sqlite3_bind_text16(stmt, index, text.data(), static_cast<int>(text.size() * 2),
                      SQLITE_TRANSIENT);
}

void BindBytes(sqlite3_stmt* stmt, int index, const Bytes& data) {
  // An empty vector may have no storage, and a null blob would bind SQL NULL.
  if (data.empty()) {
    sqlite3_bind_zeroblob(stmt, index, 0);
    return;
  }
  sqlite3_bind_blob(stmt, index, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
}

Bytes ColumnBytes(sqlite3_stmt* stmt, int column, std::size_t maxBytes) {
  const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, column));
  const auto n = std::min(static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)), maxBytes);
  return p ? Bytes(p, p + n) : Bytes{};
}

std::u16string ColumnText(sqlite3_stmt* stmt, int column) {
  const auto* p = static_cast<const char16_t*>(sqlite3_column_text16(stmt, column));
  const int n = sqlite3_column_bytes16(stmt, column);
  return p ? std::u16string(p, static_cast<std::size_t>(n) / 2) : std::u16string{};
}

bool StepDone(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE;
}

std::unique_ptr<SqliteStore::Connection> OpenConnection(const std::filesystem::path& file,
                                                        bool create, const BusyPolicy& policy,
                                                        std::uint64_t generation,
                                                        std::string& error) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  const int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    error = "Cannot open the settings store " + DescribePath(file) + ": " +
            (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_extended_result_codes(db, 1);
  auto connection = std::make_unique<SqliteStore::Connection>(db, policy, generation);
  // NORMAL syncing keeps every committed write across a crash of the program
  // (not of the machine).
  connection->Exec("PRAGMA synchronous=NORMAL");
  return connection;
}

}  // namespace halvern
