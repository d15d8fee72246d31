#include "sqlite_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "sqlite_connection.h"

namespace halvern {
namespace {

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

// The longest value a read with the limit `maxBytes` loads, as SQLite takes it.
sqlite3_int64 LoadLimit(std::size_t maxBytes) {
  if (maxBytes == kWholeValue) return std::numeric_limits<sqlite3_int64>::max();
  return static_cast<sqlite3_int64>(std::max(maxBytes, kLongestRecordValue));
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

namespace {

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS reg_values ("
    " key_fold TEXT NOT NULL, name_fold TEXT NOT NULL, key TEXT NOT NULL,"
    " name TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
    " PRIMARY KEY (key_fold, name_fold)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS reg_keys ("
    " key_fold TEXT PRIMARY KEY NOT NULL, key TEXT NOT NULL) WITHOUT ROWID;"
    // The record of every check (README "Stored data"). The index serves one
    // entry's time range; the partial one finds an entry's last failure.
    "CREATE TABLE IF NOT EXISTS check_history ("
    " entry_id INTEGER NOT NULL, title TEXT NOT NULL, url TEXT NOT NULL,"
    " time_ms INTEGER NOT NULL, kind INTEGER NOT NULL, passed INTEGER NOT NULL,"
    " http_status INTEGER NOT NULL, detail TEXT NOT NULL,"
    " dns_ms REAL, connect_ms REAL, tls_ms REAL, first_byte_ms REAL, total_ms REAL,"
    " bytes INTEGER, cert_not_after INTEGER);"
    "CREATE INDEX IF NOT EXISTS check_history_entry_time ON check_history (entry_id, time_ms);"
    "CREATE INDEX IF NOT EXISTS check_history_failures ON check_history (entry_id, time_ms)"
    " WHERE passed = 0;"
    "CREATE TABLE IF NOT EXISTS daily_summary ("
    " entry_id INTEGER NOT NULL, day TEXT NOT NULL, checks INTEGER NOT NULL,"
    " passed INTEGER NOT NULL, down_ms INTEGER NOT NULL,"
    " total_ms_min REAL, total_ms_sum REAL, total_ms_max REAL,"
    " PRIMARY KEY (entry_id, day)) WITHOUT ROWID;";

constexpr std::chrono::milliseconds kDefaultBusyTimeout{30000};
// Open gives up on another program's lock after this, so that the caller can
// say so and try again instead of freezing.
constexpr std::chrono::milliseconds kOpenBusyTimeout{1000};

using OpenStatus = SqliteStore::OpenStatus;

std::string InUse(const std::filesystem::path& file) {
  return "The settings store " + DescribePath(file) + " is in use by another program.";
}

// Reads the whole database once; any damage shows here before anything writes.
// A lock of another program is no damage: it yields kBusy.
OpenStatus CheckIntegrity(SqliteStore::Connection& c, const std::filesystem::path& file,
                          std::string& error) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(c.db(), "PRAGMA quick_check", -1, &stmt, nullptr);
  std::string result;
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      const auto* text = sqlite3_column_text(stmt, 0);
      result = text ? reinterpret_cast<const char*>(text) : "";
    }
  }
  const std::string message = sqlite3_errmsg(c.db());
  sqlite3_finalize(stmt);
  if (rc == SQLITE_ROW && result == "ok") return OpenStatus::kOpened;
  if ((rc & 0xff) == SQLITE_BUSY) {
    error = InUse(file);
    return OpenStatus::kBusy;
  }
  error = "The settings store " + DescribePath(file) + " is damaged (" +
          (result.empty() ? message : result) +
          "). It was left untouched; move it away to start afresh.";
  return OpenStatus::kUnusable;
}

// Checks the database, then switches it to WAL (which lets readers and one
// writer work side by side), creates the tables and makes sure that it can
// write. Each step either happens
// whole or not at all, and a lock met on the way stops before anything else
// is written.
OpenStatus SetUpDatabase(SqliteStore::Connection& c, const std::filesystem::path& file,
                         std::string& error) {
  const OpenStatus checked = CheckIntegrity(c, file, error);
  if (checked != OpenStatus::kOpened) return checked;
  // Taking the write lock for a moment (and writing nothing) shows a write
  // lock of another program now rather than at the first write, which would
  // wait for it.
  for (const char* sql : {"PRAGMA journal_mode=WAL", kSchema, "BEGIN IMMEDIATE; ROLLBACK"}) {
    if (c.Exec(sql)) continue;
    if (c.Busy()) {
      error = InUse(file);
      return OpenStatus::kBusy;
    }
    error = "Cannot write the settings store " + DescribePath(file) + ": " + sqlite3_errmsg(c.db());
    return OpenStatus::kUnusable;
  }
  return OpenStatus::kOpened;
}

// Everything that makes the file at `file` a usable store: its private folder
// and modes, a sound database, WAL and the schema. Leaves a file that is not a
// database, or that another program holds, as it was (bar its modes).
std::unique_ptr<SqliteStore::Connection> OpenStoreFile(const std::filesystem::path& file,
                                                       const BusyPolicy& policy,
                                                       std::uint64_t generation, std::string& error,
                                                       OpenStatus& status) {
  status = OpenStatus::kUnusable;
  if (file.has_parent_path() && !MakePrivateFolder(file.parent_path(), error)) return nullptr;
  if (!MakePrivateFiles(file, error) || !LooksLikeSqlite(file, error)) return nullptr;
  auto c = OpenConnection(file, /*create=*/true, policy, generation, error);
  if (!c) return nullptr;
  status = SetUpDatabase(*c, file, error);
  if (status != OpenStatus::kOpened) {
    c->Retire();  // closing writes nothing either
    return nullptr;
  }
  // Side files SQLite makes take the database's mode; those left by an earlier
  // run were made private above. They are not opened again here: closing any
  // descriptor of a file lets go of every lock this process holds on it, and a
  // program that then closes the database would take this one for gone and
  // delete the log that this one goes on writing to.
  return c;
}

// The side files of an open database, to tell them from those of a file that
// later takes its place.
std::vector<std::pair<std::string, FileId>> SideFileIds(const std::filesystem::path& file) {
  std::vector<std::pair<std::string, FileId>> ids;
  for (const char* suffix : {"-wal", "-shm"}) {
    const auto side = SideFile(file, suffix);
    if (const auto id = IdOf(side)) ids.emplace_back(side.string(), *id);
  }
  return ids;
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
  OpenStatus status = OpenStatus::kUnusable;
  return Open(file, companyKey, error, status);
}

std::unique_ptr<SqliteStore> SqliteStore::Open(const std::filesystem::path& file,
                                               const std::u16string& companyKey, std::string& error,
                                               OpenStatus& status) {
  error.clear();
  std::unique_ptr<SqliteStore> store(
      new SqliteStore(file, u"software\\" + companyKey + u"\\Velmora Halvern"));
  store->policy_->attemptMs = kOpenBusyTimeout.count();
  auto first = OpenStoreFile(file, *store->policy_, 0, error, status);
  if (!first) return nullptr;
  store->policy_->attemptMs = kDefaultBusyTimeout.count();
  const auto id = IdOf(file);
  if (!id) {
    error = "The settings store " + DescribePath(file) + " vanished while it was opened.";
    status = OpenStatus::kUnusable;
    return nullptr;
  }
  store->device_ = id->device;
  store->inode_ = id->inode;
  store->sideFiles_ = SideFileIds(file);
  store->opened_ = 1;
  store->GiveBack(std::move(first));
  return store;
}

void SqliteStore::BeginExit(std::chrono::milliseconds bound) {
  const auto deadline = BusyPolicy::Clock::now() + bound;
  policy_->exitDeadline = deadline.time_since_epoch().count();
}

void SqliteStore::SetBusyTimeout(std::chrono::milliseconds timeout) {
  policy_->attemptMs = timeout.count();
}

SqliteStore::SqliteStore(std::filesystem::path file, std::u16string appKey)
    : file_(std::move(file)), appKey_(std::move(appKey)), policy_(std::make_unique<BusyPolicy>()) {}

// The connections go before the policy their busy handlers read.
SqliteStore::~SqliteStore() {
  {
    std::lock_guard lock(maintenanceMutex_);
    maintenanceEnds_ = true;
  }
  maintenanceChanged_.notify_all();
  if (maintenanceThread_.joinable()) maintenanceThread_.join();
  writer_.reset();
  pool_.clear();
}

std::u16string SqliteStore::SectionKey(const std::u16string& section) const {
  return appKey_ + u"\\" + section;
}

SqliteStore::FileState SqliteStore::FollowFile() {
  // One stat per call: cheap beside the statement it guards.
  const auto id = IdOf(file_);
  if (id && id->device == device_.load() && id->inode == inode_.load()) return FileState::kCurrent;
  return ReopenFile();
}

SqliteStore::FileState SqliteStore::ReopenFile() {
  std::lock_guard lock(fileMutex_);
  if (const auto id = IdOf(file_); id && id->device == device_ && id->inode == inode_) {
    return FileState::kCurrent;  // another thread followed it meanwhile
  }
  // The old database's log and index would otherwise be taken for those of the
  // file now at the path (SQLite knows them by name only): its log replayed
  // into it, its index shared by two databases. The old connections keep them
  // open until they close.
  for (const auto& [side, id] : sideFiles_) {
    if (IdOf(side) == id) ::unlink(side.c_str());
  }
  sideFiles_.clear();
  const std::uint64_t next = generation_ + 1;
  std::string error;
  OpenStatus status = OpenStatus::kUnusable;
  auto first = OpenStoreFile(file_, *policy_, next, error, status);
  const auto id = IdOf(file_);
  if (!first || !id) return status == OpenStatus::kBusy ? FileState::kBusy : FileState::kUnusable;
  std::vector<std::unique_ptr<Connection>> retired;
  {
    std::lock_guard poolLock(poolMutex_);
    generation_ = next;
    device_ = id->device;
    inode_ = id->inode;
    sideFiles_ = SideFileIds(file_);
    for (auto& c : pool_) retired.push_back(std::move(c));
    pool_.clear();
    opened_ -= static_cast<int>(retired.size()) - 1;
    pool_.push_back(std::move(first));
  }
  poolFree_.notify_all();
  for (auto& c : retired) c->Retire();
  return FileState::kCurrent;
}

SqliteStore::Lease SqliteStore::Borrow() {
  // A file that is not back yet leaves the read with its default.
  if (FollowFile() != FileState::kCurrent) return Lease(this, nullptr);
  std::uint64_t generation = 0;
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
    generation = generation_;
  }
  // Opened on whatever file is at the path now; should that already be a newer
  // one than `generation`, the connection is merely retired when handed back.
  std::string error;
  auto connection = OpenConnection(file_, /*create=*/false, *policy_, generation, error);
  if (!connection) {
    std::lock_guard lock(poolMutex_);
    --opened_;
    poolFree_.notify_one();
  }
  return Lease(this, std::move(connection));
}

void SqliteStore::GiveBack(std::unique_ptr<Connection> connection) {
  {
    std::lock_guard lock(poolMutex_);
    if (connection->generation() == generation_) {
      pool_.push_back(std::move(connection));
    } else {
      --opened_;
    }
  }
  poolFree_.notify_one();
  if (connection) connection->Retire();
}

std::optional<std::pair<ValueType, Bytes>> SqliteStore::ReadValue(const std::u16string& section,
                                                                  const std::u16string& entry,
                                                                  std::size_t maxBytes) {
  // A read that meets another program's lock (only an exclusive one stops
  // readers of a WAL database) waits one busy timeout in the busy handler. If
  // the lock is still there, the read falls back to its caller's default: the
  // last resort, since readers such as the window thread cannot wait for as
  // long as a lock may last, and every reader has a default to go on with.
  auto c = Borrow();
  if (!c) return std::nullopt;
  // SQLite tells a value's length without loading it; data is never NULL, so
  // NULL here is a value too long to load.
  sqlite3_stmt* stmt = c->Prepare(
      "SELECT type, CASE WHEN length(data) <= ?3 THEN data END FROM reg_values"
      " WHERE key_fold = ?1 AND name_fold = ?2");
  if (!stmt) return std::nullopt;
  BindText(stmt, 1, FoldCase(SectionKey(section)));
  BindText(stmt, 2, FoldCase(entry));
  sqlite3_bind_int64(stmt, 3, LoadLimit(maxBytes));
  std::optional<std::pair<ValueType, Bytes>> result;
  if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 1) != SQLITE_NULL) {
    result.emplace(static_cast<ValueType>(sqlite3_column_int(stmt, 0)),
                   ColumnBytes(stmt, 1, maxBytes));
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
  // One byte more than an integer tells a longer value, which reads as missing.
  auto value = ReadValue(section, entry, 5);
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
  auto value = ReadValue(section, entry, kWholeValue);
  if (!value || value->first != ValueType::kString) return defaultValue;
  return BytesString(value->second);
}

bool SqliteStore::WriteSettingString(const std::u16string& section, const std::u16string& entry,
                                     const std::u16string& value) {
  return WriteValue(section, entry, ValueType::kString, StringBytes(value));
}

std::optional<Bytes> SqliteStore::ReadSettingBinary(const std::u16string& section,
                                                    const std::u16string& entry,
                                                    std::size_t maxBytes) {
  auto value = ReadValue(section, entry, maxBytes);
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

bool SqliteStore::InsertUnderFreeName(Connection& c, const std::u16string& section,
                                      const NameSequence& nameFor, const Bytes& data,
                                      std::u16string& name) {
  const std::u16string key = SectionKey(section);
  const std::u16string keyFold = FoldCase(key);
  sqlite3_stmt* stmt = c.Prepare(
      "INSERT INTO reg_values (key_fold, name_fold, key, name, type, data)"
      " VALUES (?1, ?2, ?3, ?4, 3, ?5) ON CONFLICT (key_fold, name_fold) DO NOTHING");
  if (!stmt) return false;
  for (int attempt = 0;; ++attempt) {
    name = nameFor(attempt);
    BindText(stmt, 1, keyFold);
    BindText(stmt, 2, FoldCase(name));
    BindText(stmt, 3, key);
    BindText(stmt, 4, name);
    BindBytes(stmt, 5, data);
    if (!StepDone(stmt)) return false;
    if (sqlite3_changes(c.db()) == 1) return true;
  }
}

std::optional<std::u16string> SqliteStore::InsertBinaryUnderFreeName(const std::u16string& section,
                                                                     const NameSequence& nameFor,
                                                                     const Bytes& data) {
  std::u16string name;
  // All attempts in one write: a busy second's names are tried on the write
  // connection one after the other, without a turn in the queue for each.
  const bool ok =
      RunWrite([&](Connection& c) { return InsertUnderFreeName(c, section, nameFor, data, name); });
  if (!ok) return std::nullopt;
  return name;
}

// A walk over one section on a connection of its own. The statement steps
// through the section's values in name order; while it is open, its read
// transaction gives the walk one consistent snapshot.
class SqliteSectionCursor final : public SectionCursor {
 public:
  SqliteSectionCursor(SqliteStore::Lease lease, sqlite3_stmt* stmt, std::size_t maxData)
      : lease_(std::move(lease)), stmt_(stmt), maxData_(maxData) {}
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
    if (wantData) {
      value.tooLong = sqlite3_column_type(stmt_, 2) == SQLITE_NULL;
      if (!value.tooLong) value.data = ColumnBytes(stmt_, 2, maxData_);
    }
    return value;
  }

 private:
  SqliteStore::Lease lease_;
  sqlite3_stmt* stmt_;
  std::size_t maxData_;
  std::size_t next_ = 0;  // rows stepped so far
  bool done_ = false;
};

std::unique_ptr<SectionCursor> SqliteStore::OpenSection(const std::u16string& section,
                                                        std::size_t maxData) {
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
    // The write may have followed a replaced file; the walk reads that one.
    if (c->generation() != generation_) {
      c = Borrow();
      if (!c) return nullptr;
    }
  }
  // As in ReadValue: NULL is a value too long to load.
  sqlite3_stmt* walk = c->Prepare(
      "SELECT name, type, CASE WHEN length(data) <= ?2 THEN data END FROM reg_values"
      " WHERE key_fold = ?1 ORDER BY name_fold");
  if (!walk) return nullptr;
  BindText(walk, 1, keyFold);
  sqlite3_bind_int64(walk, 2, LoadLimit(maxData));
  return std::make_unique<SqliteSectionCursor>(std::move(c), walk, maxData);
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
