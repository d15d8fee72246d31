#pragma once
// One SQLite connection of the settings store, and how its statements wait for
// another program's lock.

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sqlite_store.h"

namespace halvern {

// How long statements wait for a lock that another program holds; shared by
// every connection of one store and changed while they run.
struct BusyPolicy {
  using Clock = std::chrono::steady_clock;
  // One attempt: a statement that meets a lock gives up with SQLITE_BUSY after this.
  std::atomic<std::chrono::milliseconds::rep> attemptMs{30000};
  // No statement waits past this point (the program is ending).
  std::atomic<Clock::rep> exitDeadline{Clock::time_point::max().time_since_epoch().count()};

  Clock::time_point ExitDeadline() const {
    return Clock::time_point(Clock::duration(exitDeadline.load()));
  }
  bool PastExit() const { return Clock::now() >= ExitDeadline(); }
};

// The connection with the statements every call needs. `generation` names the
// database file it was opened on: a connection of an earlier generation serves
// a file that has since been removed or replaced, and is closed when it is
// handed back.
class SqliteStore::Connection {
 public:
  Connection(sqlite3* db, const BusyPolicy& policy, std::uint64_t generation);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* db() const { return db_; }
  std::uint64_t generation() const { return generation_; }

  // A cached prepared statement, reset and with its bindings cleared.
  sqlite3_stmt* Prepare(const char* sql);
  // Runs a cached statement that returns no rows (BEGIN, COMMIT ...).
  bool Run(const char* sql);
  bool Exec(const char* sql);
  // Whether the last call failed because another program held the database.
  bool Busy() const;
  // The file this connection serves is gone from its path: closing must not
  // checkpoint and remove side files, which by their names may now belong
  // to the database that took its place.
  void Retire();

 private:
  static int OnBusy(void* self, int count);

  sqlite3* db_;
  const BusyPolicy& policy_;
  std::uint64_t generation_;
  BusyPolicy::Clock::time_point waitStart_{};
  std::vector<std::pair<const char*, sqlite3_stmt*>> statements_;
};

// A connection borrowed from the pool, handed back when the lease ends.
class SqliteStore::Lease {
 public:
  Lease(SqliteStore* store, std::unique_ptr<Connection> connection)
      : store_(store), connection_(std::move(connection)) {}
  Lease(Lease&&) = default;
  Lease& operator=(Lease&& other) noexcept {
    if (this != &other) {
      if (connection_) store_->GiveBack(std::move(connection_));
      store_ = other.store_;
      connection_ = std::move(other.connection_);
    }
    return *this;
  }
  ~Lease() {
    if (connection_) store_->GiveBack(std::move(connection_));
  }
  explicit operator bool() const { return connection_ != nullptr; }
  Connection* operator->() const { return connection_.get(); }

 private:
  SqliteStore* store_;
  std::unique_ptr<Connection> connection_;
};

// Statement helpers shared by the store's files.
// Binds text as UTF-16; SQLite keeps its own copy.
void BindText(sqlite3_stmt* stmt, int index, const std::u16string& text);
void BindBytes(sqlite3_stmt* stmt, int index, const Bytes& data);
// At most `maxBytes` of the column's bytes.
Bytes ColumnBytes(sqlite3_stmt* stmt, int column, std::size_t maxBytes = kWholeValue);
std::u16string ColumnText(sqlite3_stmt* stmt, int column);
// Runs a statement that returns no rows; SQLITE_DONE is success.
bool StepDone(sqlite3_stmt* stmt);

// Opens a connection on `file`; `create` allows a missing file to be made.
// Nothing with a message naming the file in `error`.
std::unique_ptr<SqliteStore::Connection> OpenConnection(const std::filesystem::path& file,
                                                        bool create, const BusyPolicy& policy,
                                                        std::uint64_t generation,
                                                        std::string& error);

}  // namespace halvern
