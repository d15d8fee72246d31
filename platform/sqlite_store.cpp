#include "sqlite_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

namespace halvern {
namespace {

constexpr int kBusyTimeoutMs = 30000;
constexpr char kSqliteMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                                   'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};

std::string Describe(const std::filesystem::path& file) { return "\"" + file.string() + "\""; }

Bytes IntBytes(std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

Bytes StringBytes(const std::u16string& text) {
  Bytes bytes;
  bytes.reserve((text.size() + 1) * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

// Text up to the first zero unit (the stored terminator).
std::u16string BytesString(const Bytes& bytes) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto c = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

// Whether an existing, non-empty file starts like a SQLite database. An empty
// file is what SQLite itself makes of a new database and is accepted.
bool LooksLikeSqlite(const std::filesystem::path& file, std::string& error) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return true;
  const auto size = std::filesystem::file_size(file, ec);
  if (ec) {
    error = "Cannot read the settings store " + Describe(file) + ": " + ec.message();
    return false;
  }
  if (size == 0) return true;
  std::ifstream in(file, std::ios::binary);
  char head[16] = {};
  if (!in.read(head, sizeof head) || std::memcmp(head, kSqliteMagic, sizeof head) != 0) {
    error = "The settings store " + Describe(file) +
            " is not a SQLite database. It was left untouched; move it away to start afresh.";
    return false;
  }
  return true;
}

bool MakeFolder(const std::filesystem::path& folder, std::string& error) {
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) return true;
  // Parents get the usual permissions; the store's own folder is private.
  if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    error = "Cannot create the settings folder " + Describe(folder) + ": " + std::strerror(errno);
    return false;
  }
  if (!std::filesystem::is_directory(folder, ec)) {
    error = "The settings folder " + Describe(folder) + " is not a folder.";
    return false;
  }
  return true;
}

}  // namespace

std::u16string FoldCase(const std::u16string& text) {
  // Names and keys are nearly always ASCII, whose Unicode lower case is the
  // plain one; only other text goes through Qt's full case mapping.
  if (std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; })) {
    std::u16string folded = text;
    for (char16_t& c : folded) {
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
    }
    return folded;
  }
  return QString::fromStdU16String(text).toLower().toStdU16String();
}

// One SQLite connection with the statements every call needs.
class SqliteStore::Connection {
 public:
  explicit Connection(sqlite3* db) : db_(db) {}
  ~Connection() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close(db_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* db() const { return db_; }

  // A cached prepared statement, reset and with its bindings cleared.
  sqlite3_stmt* Prepare(const char* sql) {
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

  // Runs a cached statement that returns no rows (BEGIN, COMMIT ...).
  bool Run(const char* sql) {
    sqlite3_stmt* stmt = Prepare(sql);
    if (!stmt) return false;
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    return rc == SQLITE_DONE;
  }

  bool Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  sqlite3* db_;
  std::vector<std::pair<const char*, sqlite3_stmt*>> statements_;
};

class SqliteStore::Lease {
 public:
  Lease(SqliteStore* store, std::unique_ptr<Connection> connection)
      : store_(store), connection_(std::move(connection)) {}
  Lease(Lease&&) = default;
  Lease& operator=(Lease&&) = delete;
  ~Lease() {
    if (connection_) store_->GiveBack(std::move(connection_));
  }
  explicit operator bool() const { return connection_ != nullptr; }
  Connection* operator->() const { return connection_.get(); }

 private:
  SqliteStore* store_;
  std::unique_ptr<Connection> connection_;
};

// A write waiting for the write connection.
struct SqliteStore::PendingWrite {
  explicit PendingWrite(const WriteFunction& w) : write(w) {}
  const WriteFunction& write;
  bool ok = false;
  bool done = false;             // guarded by queueMutex_
  std::condition_variable wake;  // this writer's own wake-up
};

namespace {

// Binds text as UTF-16; SQLite keeps its own copy.
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

Bytes ColumnBytes(sqlite3_stmt* stmt, int column) {
  const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, column));
  const int n = sqlite3_column_bytes(stmt, column);
  return p ? Bytes(p, p + n) : Bytes{};
}

std::u16string ColumnText(sqlite3_stmt* stmt, int column) {
  const auto* p = static_cast<const char16_t*>(sqlite3_column_text16(stmt, column));
  const int n = sqlite3_column_bytes16(stmt, column);
  return p ? std::u16string(p, static_cast<std::size_t>(n) / 2) : std::u16string{};
}

// Runs a statement that returns no rows; SQLITE_DONE is success.
bool StepDone(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  return rc == SQLITE_DONE;
}

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS reg_values ("
    " key_fold TEXT NOT NULL, name_fold TEXT NOT NULL, key TEXT NOT NULL,"
    " name TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " PRIMARY KEY (key_fold, name_fold)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS reg_keys ("
    " key_fold TEXT PRIMARY KEY NOT NULL, key TEXT NOT NULL) WITHOUT ROWID;";

sqlite3* OpenDatabase(const std::filesystem::path& file, std::string& error) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  const int rc = sqlite3_open_v2(file.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    error = "Cannot open the settings store " + Describe(file) + ": " +
            (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db, 1);
  return db;
}

// Reads the whole database once; any damage shows here before anything writes.
bool CheckIntegrity(sqlite3* db, const std::filesystem::path& file, std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &stmt, nullptr);
  std::string result;
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(stmt, 0);
      result = text ? reinterpret_cast<const char*>(text) : "";
    }
  }
  const std::string message = sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  if (rc == SQLITE_ROW && result == "ok") return true;
  error = "The settings store " + Describe(file) + " is damaged (" +
          (result.empty() ? message : result) +
          "). It was left untouched; move it away to start afresh.";
  return false;
}

}  // namespace

std::filesystem::path SqliteStore::DefaultPath() {
  std::filesystem::path base;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
    base = config;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::filesystem::path(home) / ".config";
  } else {
    base = ".config";
  }
  return base / "Velmora" / "registry.sqlite3";
}

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::filesystem::path& file,
                                               const std::u16string& companyKey,
                                               std::string& error) {
  error.clear();
  if (file.has_parent_path() && !MakeFolder(file.parent_path(), error)) return nullptr;
  if (!LooksLikeSqlite(file, error)) return nullptr;
  sqlite3* db = OpenDatabase(file, error);
  if (!db) return nullptr;
  auto first = std::make_unique<Connection>(db);
  if (!CheckIntegrity(db, file, error)) return nullptr;
  // WAL lets readers and one writer work side by side; NORMAL syncing keeps
  // every committed write across a crash of the program (not of the machine).
  if (!first->Exec("PRAGMA journal_mode=WAL") || !first->Exec("PRAGMA synchronous=NORMAL") ||
      !first->Exec(kSchema)) {
    error = "Cannot write the settings store " + Describe(file) + ": " + sqlite3_errmsg(db);
    return nullptr;
  }
  std::unique_ptr<SqliteStore> store(
      new SqliteStore(file, u"software\\" + companyKey + u"\\Velmora Halvern"));
  store->opened_ = 1;
  store->GiveBack(std::move(first));
  return store;
}

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::filesystem::path& file,
                                               const std::u16string& companyKey, std::string& error,
                                               OpenStatus& status) {
  auto store = Open(file, companyKey, error);
  status = store ? OpenStatus::kOpened : OpenStatus::kUnusable;
  return store;
}

void SqliteStore::BeginExit(std::chrono::milliseconds) {}

SqliteStore::SqliteStore(std::filesystem::path file, std::u16string appKey)
    : file_(std::move(file)), appKey_(std::move(appKey)) {}

SqliteStore::~SqliteStore() = default;

std::u16string SqliteStore::SectionKey(const std::u16string& section) const {
  return appKey_ + u"\\" + section;
}

SqliteStore::Lease SqliteStore::Borrow() {
  {
    std::unique_lock lock(poolMutex_);
    // Writes take turns anyway, so a few connections serve any number of
    // threads; the bound keeps a thousand finishing checks from opening a
    // thousand databases (and three times as many descriptors).
    poolFree_.wait(lock, [this] { return !pool_.empty() || opened_ < kMaxConnections; });
    if (!pool_.empty()) {
      auto connection = std::move(pool_.back());
      pool_.pop_back();
      return Lease(this, std::move(connection));
    }
    ++opened_;
  }
  std::string error;
  sqlite3* db = OpenDatabase(file_, error);
  if (!db) {
    std::lock_guard lock(poolMutex_);
    --opened_;
    poolFree_.notify_one();
    return Lease(this, nullptr);
  }
  auto connection = std::make_unique<Connection>(db);
  connection->Exec("PRAGMA synchronous=NORMAL");
  return Lease(this, std::move(connection));
}

SqliteStore::Connection* SqliteStore::Writer() {
  if (!writer_) {
    std::string error;
    sqlite3* db = OpenDatabase(file_, error);
    if (!db) return nullptr;
    writer_ = std::make_unique<Connection>(db);
    writer_->Exec("PRAGMA synchronous=NORMAL");
  }
  return writer_.get();
}

bool SqliteStore::RunWrite(const WriteFunction& write) {
  // Shared with the committing thread, which wakes this writer after letting
  // go of the lock (so the writer need not wait for it again) while its own
  // reference keeps the wake-up alive should this writer have returned.
  const auto me = std::make_shared<PendingWrite>(write);
  std::unique_lock lock(queueMutex_);
  queue_.push_back(me);
  // While nobody commits, every write not yet done is in the queue.
  me->wake.wait(lock, [&] { return me->done || !writing_; });
  if (me->done) return me->ok;

  // Nobody commits: this thread commits everything queued so far, its own
  // write included, then wakes those writers and the next one in line.
  writing_ = true;
  std::vector<std::shared_ptr<PendingWrite>> batch;
  batch.swap(queue_);
  lock.unlock();
  RunBatch(batch);
  lock.lock();
  writing_ = false;
  for (const auto& w : batch) w->done = true;
  const std::shared_ptr<PendingWrite> next = queue_.empty() ? nullptr : queue_.front();
  lock.unlock();
  for (const auto& w : batch) {
    if (w != me) w->wake.notify_one();
  }
  if (next) next->wake.notify_one();
  return me->ok;
}

void SqliteStore::RunBatch(const std::vector<std::shared_ptr<PendingWrite>>& batch) {
  Connection* c = Writer();
  if (c == nullptr) return;
  if (batch.size() > 1) {
    // One transaction for the whole batch: one commit, each page written once.
    bool whole = c->Run("BEGIN IMMEDIATE");
    for (std::size_t i = 0; whole && i < batch.size(); ++i) {
      batch[i]->ok = batch[i]->write(*c);
      // An error that ended the transaction (disk full, I/O) voids it all.
      whole = !sqlite3_get_autocommit(c->db());
    }
    if (whole && c->Run("COMMIT")) return;
    if (!sqlite3_get_autocommit(c->db())) c->Run("ROLLBACK");
  }
  // One write, or a batch that failed as a whole: each write in a transaction
  // of its own, so one write's failure is its own.
  for (const auto& w : batch) {
    w->ok = c->Run("BEGIN IMMEDIATE") && w->write(*c) && c->Run("COMMIT");
    if (!sqlite3_get_autocommit(c->db())) c->Run("ROLLBACK");
  }
}

void SqliteStore::GiveBack(std::unique_ptr<Connection> connection) {
  {
    std::lock_guard lock(poolMutex_);
    pool_.push_back(std::move(connection));
  }
  poolFree_.notify_one();
}

std::optional<std::pair<ValueType, Bytes>> SqliteStore::ReadValue(const std::u16string& section,
                                                                  const std::u16string& entry) {
  auto c = Borrow();
  if (!c) return std::nullopt;
  sqlite3_stmt* stmt =
      c->Prepare("SELECT type, data FROM reg_values WHERE key_fold = ?1 AND name_fold = ?2");
  if (!stmt) return std::nullopt;
  BindText(stmt, 1, FoldCase(SectionKey(section)));
  BindText(stmt, 2, FoldCase(entry));
  std::optional<std::pair<ValueType, Bytes>> result;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    result.emplace(static_cast<ValueType>(sqlite3_column_int(stmt, 0)), ColumnBytes(stmt, 1));
  }
  sqlite3_reset(stmt);
  return result;
}

bool SqliteStore::WriteValue(const std::u16string& section, const std::u16string& entry,
                             ValueType type, const Bytes& data) {
  const std::u16string key = SectionKey(section);
  const std::u16string keyFold = FoldCase(key);
  const std::u16string nameFold = FoldCase(entry);
  // The key keeps the spelling it was first written with; the name takes the
  // spelling of the last write.
  return RunWrite([&](Connection& c) {
    sqlite3_stmt* stmt = c.Prepare(
        "INSERT INTO reg_values (key_fold, name_fold, key, name, type, data)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6)"
        " ON CONFLICT (key_fold, name_fold) DO UPDATE SET"
        " name = excluded.name, type = excluded.type, data = excluded.data");
    if (!stmt) return false;
    BindText(stmt, 1, keyFold);
    BindText(stmt, 2, nameFold);
    BindText(stmt, 3, key);
    BindText(stmt, 4, entry);
    sqlite3_bind_int(stmt, 5, static_cast<int>(type));
    BindBytes(stmt, 6, data);
    return StepDone(stmt);
  });
}

std::int32_t SqliteStore::ReadSettingInt(const std::u16string& section, const std::u16string& entry,
                                         std::int32_t defaultValue) {
  auto value = ReadValue(section, entry);
  if (!value || value->first != ValueType::kInt || value->second.size() != 4) return defaultValue;
  const Bytes& b = value->second;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(b[0]) | (b[1] << 8) | (b[2] << 16) |
                                   (static_cast<std::uint32_t>(b[3]) << 24));
}

bool SqliteStore::WriteSettingInt(const std::u16string& section, const std::u16string& entry,
                                  std::int32_t value) {
  return WriteValue(section, entry, ValueType::kInt, IntBytes(value));
}

std::u16string SqliteStore::ReadSettingString(const std::u16string& section,
                                              const std::u16string& entry,
                                              const std::u16string& defaultValue) {
  auto value = ReadValue(section, entry);
  if (!value || value->first != ValueType::kString) return defaultValue;
  return BytesString(value->second);
}

bool SqliteStore::WriteSettingString(const std::u16string& section, const std::u16string& entry,
                                     const std::u16string& value) {
  return WriteValue(section, entry, ValueType::kString, StringBytes(value));
}

std::optional<Bytes> SqliteStore::ReadSettingBinary(const std::u16string& section,
                                                    const std::u16string& entry) {
  auto value = ReadValue(section, entry);
  if (!value || value->first != ValueType::kBinary) return std::nullopt;
  return std::move(value->second);
}

bool SqliteStore::WriteSettingBinary(const std::u16string& section, const std::u16string& entry,
                                     const Bytes& data) {
  return WriteValue(section, entry, ValueType::kBinary, data);
}

bool SqliteStore::ReplaceBinaryIfId(const std::u16string& section, const std::u16string& entry,
                                    std::uint32_t id, const Bytes& data) {
  const std::u16string keyFold = FoldCase(SectionKey(section));
  const std::u16string nameFold = FoldCase(entry);
  return RunWrite([&](Connection& c) {
    sqlite3_stmt* stmt = c.Prepare(
        "UPDATE reg_values SET name = ?3, data = ?4"
        " WHERE key_fold = ?1 AND name_fold = ?2 AND type = 3 AND substr(data, 1, 4) = ?5");
    if (!stmt) return false;
    BindText(stmt, 1, keyFold);
    BindText(stmt, 2, nameFold);
    BindText(stmt, 3, entry);
    BindBytes(stmt, 4, data);
    BindBytes(stmt, 5, IntBytes(static_cast<std::int32_t>(id)));
    return StepDone(stmt) && sqlite3_changes(c.db()) == 1;
  });
}

InsertResult SqliteStore::InsertBinaryIfAbsent(const std::u16string& section,
                                               const std::u16string& entry, const Bytes& data) {
  const std::u16string key = SectionKey(section);
  const std::u16string keyFold = FoldCase(key);
  const std::u16string nameFold = FoldCase(entry);
  bool inserted = false;
  const bool ok = RunWrite([&](Connection& c) {
    sqlite3_stmt* stmt = c.Prepare(
        "INSERT INTO reg_values (key_fold, name_fold, key, name, type, data)"
        " VALUES (?1, ?2, ?3, ?4, 3, ?5) ON CONFLICT (key_fold, name_fold) DO NOTHING");
    if (!stmt) return false;
    BindText(stmt, 1, keyFold);
    BindText(stmt, 2, nameFold);
    BindText(stmt, 3, key);
    BindText(stmt, 4, entry);
    BindBytes(stmt, 5, data);
    if (!StepDone(stmt)) return false;
    inserted = sqlite3_changes(c.db()) == 1;
    return true;
  });
  if (!ok) return InsertResult::kFailed;
  return inserted ? InsertResult::kInserted : InsertResult::kExists;
}

// A walk over one section on a connection of its own. The statement steps
// through the section's values in name order; while it is open, its read
// transaction gives the walk one consistent snapshot.
class SqliteSectionCursor final : public SectionCursor {
 public:
  SqliteSectionCursor(SqliteStore::Lease lease, sqlite3_stmt* stmt)
      : lease_(std::move(lease)), stmt_(stmt) {}
  ~SqliteSectionCursor() override { sqlite3_reset(stmt_); }

  std::optional<SectionValue> Enumerate(std::size_t index, bool wantData) override {
    if (index < next_) {
      sqlite3_reset(stmt_);
      next_ = 0;
      done_ = false;
    }
    while (!done_ && next_ <= index) {
      if (sqlite3_step(stmt_) != SQLITE_ROW) {
        done_ = true;
        sqlite3_reset(stmt_);  // ends the read transaction
        break;
      }
      ++next_;
    }
    if (done_) return std::nullopt;
    SectionValue value;
    value.name = ColumnText(stmt_, 0);
    value.type = static_cast<ValueType>(sqlite3_column_int(stmt_, 1));
    if (wantData) value.data = ColumnBytes(stmt_, 2);
    return value;
  }

 private:
  SqliteStore::Lease lease_;
  sqlite3_stmt* stmt_;
  std::size_t next_ = 0;  // rows stepped so far
  bool done_ = false;
};

std::unique_ptr<SectionCursor> SqliteStore::OpenSection(const std::u16string& section) {
  auto c = Borrow();
  if (!c) return nullptr;
  const std::u16string key = SectionKey(section);
  const std::u16string keyFold = FoldCase(key);
  // Opening a section creates it when missing; the check keeps a plain walk from
  // taking the write lock.
  sqlite3_stmt* exists = c->Prepare("SELECT 1 FROM reg_keys WHERE key_fold = ?1");
  if (!exists) return nullptr;
  BindText(exists, 1, keyFold);
  const bool known = sqlite3_step(exists) == SQLITE_ROW;
  sqlite3_reset(exists);
  if (!known) {
    const bool created = RunWrite([&](Connection& w) {
      sqlite3_stmt* create =
          w.Prepare("INSERT INTO reg_keys (key_fold, key) VALUES (?1, ?2) ON CONFLICT DO NOTHING");
      if (!create) return false;
      BindText(create, 1, keyFold);
      BindText(create, 2, key);
      return StepDone(create);
    });
    if (!created) return nullptr;
  }
  sqlite3_stmt* walk =
      c->Prepare("SELECT name, type, data FROM reg_values WHERE key_fold = ?1 ORDER BY name_fold");
  if (!walk) return nullptr;
  BindText(walk, 1, keyFold);
  return std::make_unique<SqliteSectionCursor>(std::move(c), walk);
}

bool SqliteStore::DeleteValue(const std::u16string& section, const std::u16string& entry) {
  return DeleteValues(section, {entry}) == 1;
}

std::size_t SqliteStore::DeleteValues(const std::u16string& section,
                                      const std::vector<std::u16string>& entries) {
  const std::u16string keyFold = FoldCase(SectionKey(section));
  std::size_t deleted = 0;
  const bool ok = RunWrite([&](Connection& c) {
    deleted = 0;  // counted afresh should the write run again on its own
    sqlite3_stmt* stmt = c.Prepare("DELETE FROM reg_values WHERE key_fold = ?1 AND name_fold = ?2");
    if (!stmt) return false;
    for (const auto& entry : entries) {
      BindText(stmt, 1, keyFold);
      BindText(stmt, 2, FoldCase(entry));
      if (StepDone(stmt)) deleted += static_cast<std::size_t>(sqlite3_changes(c.db()));
    }
    return true;
  });
  return ok ? deleted : 0;
}

bool SqliteStore::DeleteSection(const std::u16string& section) {
  const std::u16string keyFold = FoldCase(SectionKey(section));
  return RunWrite([&](Connection& c) {
    sqlite3_stmt* values = c.Prepare("DELETE FROM reg_values WHERE key_fold = ?1");
    sqlite3_stmt* keys = c.Prepare("DELETE FROM reg_keys WHERE key_fold = ?1");
    if (!values || !keys) return false;
    BindText(values, 1, keyFold);
    BindText(keys, 1, keyFold);
    // All or nothing, also among the other writes of a batch.
    if (!c.Run("SAVEPOINT section")) return false;
    if (StepDone(values) && StepDone(keys)) return c.Run("RELEASE section");
    c.Run("ROLLBACK TO section");
    c.Run("RELEASE section");
    return false;
  });
}

}  // namespace halvern
