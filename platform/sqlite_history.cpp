// The history of the checks in the store's database: check_history and
// daily_summary. Rows are written through the store's write queue, so the rows
// of checks that finish together are committed together, in one transaction
// with the log records and entries written meanwhile.

#include <limits>

#include "sqlite_connection.h"
#include "sqlite_store.h"

namespace halvern {
namespace {

constexpr char kHistoryColumns[] =
    "rowid, entry_id, title, url, time_ms, kind, passed, http_status, detail,"
    " dns_ms, connect_ms, tls_ms, first_byte_ms, total_ms, bytes, cert_not_after";

void BindOptional(sqlite3_stmt* stmt, int index, const std::optional<double>& value) {
  if (value) {
    sqlite3_bind_double(stmt, index, *value);
  } else {
    sqlite3_bind_null(stmt, index);
  }
}

void BindOptional(sqlite3_stmt* stmt, int index, const std::optional<std::int64_t>& value) {
  if (value) {
    sqlite3_bind_int64(stmt, index, *value);
  } else {
    sqlite3_bind_null(stmt, index);
  }
}

std::optional<double> ColumnDouble(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(stmt, column);
}

std::optional<std::int64_t> ColumnInt64(sqlite3_stmt* stmt, int column) {
  if (sqlite3_column_type(stmt, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(stmt, column);
}

// A row as selected with kHistoryColumns. Values of another type (a row that
// another program wrote) are read as SQLite converts them.
HistoryRow ColumnRow(sqlite3_stmt* stmt, bool wantText) {
  HistoryRow row;
  row.rowId = sqlite3_column_int64(stmt, 0);
  row.entryId = static_cast<std::uint32_t>(sqlite3_column_int64(stmt, 1));
  if (wantText) {
    row.title = ColumnText(stmt, 2);
    row.url = ColumnText(stmt, 3);
    row.detail = ColumnText(stmt, 8);
  }
  row.timeMs = sqlite3_column_int64(stmt, 4);
  row.kind = static_cast<CheckKind>(sqlite3_column_int(stmt, 5));
  row.passed = sqlite3_column_int(stmt, 6) != 0;
  row.httpStatus = static_cast<std::uint32_t>(sqlite3_column_int64(stmt, 7));
  row.dnsMs = ColumnDouble(stmt, 9);
  row.connectMs = ColumnDouble(stmt, 10);
  row.tlsMs = ColumnDouble(stmt, 11);
  row.firstByteMs = ColumnDouble(stmt, 12);
  row.totalMs = ColumnDouble(stmt, 13);
  row.bytes = ColumnInt64(stmt, 14);
  row.certNotAfter = ColumnInt64(stmt, 15);
  return row;
}

DailySummary ColumnSummary(sqlite3_stmt* stmt) {
  DailySummary s;
  s.entryId = static_cast<std::uint32_t>(sqlite3_column_int64(stmt, 0));
  s.day = ColumnText(stmt, 1);
  s.checks = sqlite3_column_int64(stmt, 2);
  s.passed = sqlite3_column_int64(stmt, 3);
  s.downMs = sqlite3_column_int64(stmt, 4);
  s.totalMsMin = ColumnDouble(stmt, 5);
  s.totalMsSum = ColumnDouble(stmt, 6);
  s.totalMsMax = ColumnDouble(stmt, 7);
  return s;
}

std::int64_t LimitOf(std::size_t limit) {
  if (limit > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max())) return -1;
  return static_cast<std::int64_t>(limit);
}

// The entries that have rows, found by one index seek each.
std::vector<std::uint32_t> EntryIds(SqliteStore::Connection& c) {
  std::vector<std::uint32_t> ids;
  sqlite3_stmt* next =
      c.Prepare("SELECT entry_id FROM check_history WHERE entry_id > ?1 ORDER BY entry_id LIMIT 1");
  if (!next) return ids;
  std::int64_t after = std::numeric_limits<std::int64_t>::min();
  for (;;) {
    sqlite3_bind_int64(next, 1, after);
    if (sqlite3_step(next) != SQLITE_ROW) break;
    after = sqlite3_column_int64(next, 0);
    ids.push_back(static_cast<std::uint32_t>(after));
    sqlite3_reset(next);
  }
  sqlite3_reset(next);
  return ids;
}

}  // namespace

bool SqliteStore::InsertCheck(Connection& c, const HistoryRow& row) {
  sqlite3_stmt* stmt = c.Prepare(
      "INSERT INTO check_history (entry_id, title, url, time_ms, kind, passed, http_status,"
      " detail, dns_ms, connect_ms, tls_ms, first_byte_ms, total_ms, bytes, cert_not_after)"
      " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)");
  if (!stmt) return false;
  sqlite3_bind_int64(stmt, 1, row.entryId);
  BindText(stmt, 2, row.title);
  BindText(stmt, 3, row.url);
  sqlite3_bind_int64(stmt, 4, row.timeMs);
  sqlite3_bind_int(stmt, 5, static_cast<int>(row.kind));
  sqlite3_bind_int(stmt, 6, row.passed ? 1 : 0);
  sqlite3_bind_int64(stmt, 7, row.httpStatus);
  BindText(stmt, 8, row.detail);
  BindOptional(stmt, 9, row.dnsMs);
  BindOptional(stmt, 10, row.connectMs);
  BindOptional(stmt, 11, row.tlsMs);
  BindOptional(stmt, 12, row.firstByteMs);
  BindOptional(stmt, 13, row.totalMs);
  BindOptional(stmt, 14, row.bytes);
  BindOptional(stmt, 15, row.certNotAfter);
  return StepDone(stmt);
}

bool SqliteStore::AppendCheck(const HistoryRow& row) {
  const bool ok = RunWrite([&](Connection& c) { return InsertCheck(c, row); });
  if (ok) ++historyVersion_;
  return ok;
}

std::optional<std::u16string> SqliteStore::InsertBinaryWithCheck(const std::u16string& section,
                                                                 const NameSequence& nameFor,
                                                                 const Bytes& data,
                                                                 const HistoryRow& row) {
  std::u16string name;
  bool rowWritten = false;
  const bool ok = RunWrite([&](Connection& c) {
    if (!InsertUnderFreeName(c, section, nameFor, data, name)) return false;
    // The record stands whatever becomes of the row.
    rowWritten = InsertCheck(c, row);
    return true;
  });
  if (!ok) return std::nullopt;
  if (rowWritten) ++historyVersion_;
  return name;
}

std::vector<std::uint32_t> SqliteStore::HistoryEntryIds() {
  auto c = Borrow();
  if (!c) return {};
  return EntryIds(*c.operator->());
}

std::vector<HistoryRow> SqliteStore::ReadChecks(const HistoryRange& range) {
  std::vector<HistoryRow> rows;
  auto c = Borrow();
  if (!c) return rows;
  // Four fixed statements, so that each stays prepared on its connection.
  static const std::string kForward = std::string("SELECT ") + kHistoryColumns +
                                      " FROM check_history WHERE entry_id = ?1 AND time_ms >= ?2"
                                      " AND time_ms < ?3 ORDER BY time_ms, rowid LIMIT ?4";
  static const std::string kBackward =
      std::string("SELECT ") + kHistoryColumns +
      " FROM check_history WHERE entry_id = ?1 AND time_ms >= ?2"
      " AND time_ms < ?3 ORDER BY time_ms DESC, rowid DESC LIMIT ?4";
  sqlite3_stmt* stmt = c->Prepare(range.fromEnd ? kBackward.c_str() : kForward.c_str());
  if (!stmt) return rows;
  sqlite3_bind_int64(stmt, 1, range.entryId);
  sqlite3_bind_int64(stmt, 2, range.fromMs);
  sqlite3_bind_int64(stmt, 3, range.toMs);
  sqlite3_bind_int64(stmt, 4, LimitOf(range.limit));
  while (sqlite3_step(stmt) == SQLITE_ROW) rows.push_back(ColumnRow(stmt, range.wantText));
  sqlite3_reset(stmt);
  if (range.fromEnd) std::reverse(rows.begin(), rows.end());
  return rows;
}

std::vector<HistoryRow> SqliteStore::ReadFailuresAndNext(std::uint32_t entryId, std::int64_t fromMs,
                                                         std::int64_t toMs) {
  std::vector<HistoryRow> rows;
  auto c = Borrow();
  if (!c) return rows;
  // The failures come from the partial index of failed rows and the row after
  // each from one seek in the entry's index; only those rows are loaded.
  static const std::string kSql =
      std::string("SELECT ") + kHistoryColumns +
      " FROM check_history WHERE rowid IN ("
      "SELECT rowid FROM check_history WHERE entry_id = ?1 AND passed = 0"
      " AND time_ms >= ?2 AND time_ms < ?3"
      " UNION SELECT (SELECT n.rowid FROM check_history AS n WHERE n.entry_id = ?1"
      " AND n.time_ms >= f.time_ms AND (n.time_ms > f.time_ms OR n.rowid > f.rowid)"
      " ORDER BY n.time_ms, n.rowid LIMIT 1)"
      " FROM check_history AS f WHERE f.entry_id = ?1 AND f.passed = 0"
      " AND f.time_ms >= ?2 AND f.time_ms < ?3)"
      " ORDER BY time_ms, rowid";
  sqlite3_stmt* stmt = c->Prepare(kSql.c_str());
  if (!stmt) return rows;
  sqlite3_bind_int64(stmt, 1, entryId);
  sqlite3_bind_int64(stmt, 2, fromMs);
  sqlite3_bind_int64(stmt, 3, toMs);
  while (sqlite3_step(stmt) == SQLITE_ROW) rows.push_back(ColumnRow(stmt, false));
  sqlite3_reset(stmt);
  return rows;
}

std::optional<HistoryRow> SqliteStore::LastFailedCheck(std::uint32_t entryId) {
  auto c = Borrow();
  if (!c) return std::nullopt;
  static const std::string kSql = std::string("SELECT ") + kHistoryColumns +
                                  " FROM check_history WHERE entry_id = ?1 AND passed = 0"
                                  " ORDER BY time_ms DESC, rowid DESC LIMIT 1";
  sqlite3_stmt* stmt = c->Prepare(kSql.c_str());
  if (!stmt) return std::nullopt;
  sqlite3_bind_int64(stmt, 1, entryId);
  std::optional<HistoryRow> row;
  if (sqlite3_step(stmt) == SQLITE_ROW) row = ColumnRow(stmt, true);
  sqlite3_reset(stmt);
  return row;
}

std::optional<std::int64_t> SqliteStore::OldestCheckMs() {
  auto c = Borrow();
  if (!c) return std::nullopt;
  // The oldest of each entry's oldest, one index seek each.
  sqlite3_stmt* stmt = c->Prepare("SELECT min(time_ms) FROM check_history WHERE entry_id = ?1");
  if (!stmt) return std::nullopt;
  std::optional<std::int64_t> oldest;
  for (const std::uint32_t id : EntryIds(*c.operator->())) {
    sqlite3_bind_int64(stmt, 1, id);
    if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 0) != SQLITE_NULL) {
      const std::int64_t t = sqlite3_column_int64(stmt, 0);
      oldest = oldest ? std::min(*oldest, t) : t;
    }
    sqlite3_reset(stmt);
  }
  return oldest;
}

std::size_t SqliteStore::DeleteChecksOutside(std::int64_t keepFromMs, std::int64_t keepBeforeMs) {
  std::size_t deleted = 0;
  const bool ok = RunWrite([&](Connection& c) {
    deleted = 0;
    // Entry by entry, so that each delete walks the index over its range only.
    sqlite3_stmt* older =
        c.Prepare("DELETE FROM check_history WHERE entry_id = ?1 AND time_ms < ?2");
    sqlite3_stmt* newer =
        c.Prepare("DELETE FROM check_history WHERE entry_id = ?1 AND time_ms >= ?2");
    if (!older || !newer) return false;
    for (const std::uint32_t id : EntryIds(c)) {
      sqlite3_bind_int64(older, 1, id);
      sqlite3_bind_int64(older, 2, keepFromMs);
      if (!StepDone(older)) return false;
      deleted += static_cast<std::size_t>(sqlite3_changes(c.db()));
      sqlite3_bind_int64(newer, 1, id);
      sqlite3_bind_int64(newer, 2, keepBeforeMs);
      if (!StepDone(newer)) return false;
      deleted += static_cast<std::size_t>(sqlite3_changes(c.db()));
    }
    return true;
  });
  if (!ok) return 0;
  if (deleted > 0) ++historyVersion_;
  return deleted;
}

bool SqliteStore::ClearChecks() {
  const bool ok = RunWrite([](Connection& c) {
    sqlite3_stmt* stmt = c.Prepare("DELETE FROM check_history");
    return stmt && StepDone(stmt);
  });
  if (ok) ++historyVersion_;
  return ok;
}

bool SqliteStore::WriteSummaries(const std::vector<DailySummary>& summaries) {
  return RunWrite([&](Connection& c) {
    sqlite3_stmt* stmt = c.Prepare(
        "INSERT OR REPLACE INTO daily_summary (entry_id, day, checks, passed, down_ms,"
        " total_ms_min, total_ms_sum, total_ms_max) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    if (!stmt) return false;
    for (const DailySummary& s : summaries) {
      sqlite3_bind_int64(stmt, 1, s.entryId);
      BindText(stmt, 2, s.day);
      sqlite3_bind_int64(stmt, 3, s.checks);
      sqlite3_bind_int64(stmt, 4, s.passed);
      sqlite3_bind_int64(stmt, 5, s.downMs);
      BindOptional(stmt, 6, s.totalMsMin);
      BindOptional(stmt, 7, s.totalMsSum);
      BindOptional(stmt, 8, s.totalMsMax);
      if (!StepDone(stmt)) return false;
    }
    return true;
  });
}

std::vector<DailySummary> SqliteStore::ReadSummaries(const std::u16string& fromDay,
                                                     const std::u16string& toDay) {
  return SummariesOf(std::nullopt, fromDay, toDay);
}

std::vector<DailySummary> SqliteStore::ReadEntrySummaries(std::uint32_t entryId,
                                                          const std::u16string& fromDay,
                                                          const std::u16string& toDay) {
  return SummariesOf(entryId, fromDay, toDay);
}

std::vector<DailySummary> SqliteStore::SummariesOf(std::optional<std::uint32_t> entryId,
                                                   const std::u16string& fromDay,
                                                   const std::u16string& toDay) {
  std::vector<DailySummary> summaries;
  auto c = Borrow();
  if (!c) return summaries;
  // One entry's days are one seek in the primary key (entry_id, day).
  sqlite3_stmt* stmt = c->Prepare(
      entryId ? "SELECT entry_id, day, checks, passed, down_ms, total_ms_min, total_ms_sum,"
                " total_ms_max FROM daily_summary WHERE day >= ?1 AND day <= ?2"
                " AND entry_id = ?3 ORDER BY day"
              : "SELECT entry_id, day, checks, passed, down_ms, total_ms_min, total_ms_sum,"
                " total_ms_max FROM daily_summary WHERE day >= ?1 AND day <= ?2"
                " ORDER BY entry_id, day");
  if (!stmt) return summaries;
  BindText(stmt, 1, fromDay);
  BindText(stmt, 2, toDay);
  if (entryId) sqlite3_bind_int64(stmt, 3, *entryId);
  while (sqlite3_step(stmt) == SQLITE_ROW) summaries.push_back(ColumnSummary(stmt));
  sqlite3_reset(stmt);
  return summaries;
}

std::optional<std::u16string> SqliteStore::LatestSummaryDay() {
  auto c = Borrow();
  if (!c) return std::nullopt;
  sqlite3_stmt* stmt = c->Prepare("SELECT max(day) FROM daily_summary");
  if (!stmt) return std::nullopt;
  std::optional<std::u16string> day;
  if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 0) != SQLITE_NULL) {
    day = ColumnText(stmt, 0);
  }
  sqlite3_reset(stmt);
  return day;
}

void SqliteStore::RunMaintenance(std::function<void(HistoryStore&)> task) {
  std::lock_guard lock(maintenanceMutex_);
  maintenance_.push_back(std::move(task));
  if (!maintenanceThread_.joinable()) {
    // Ends once told to and the queue is empty: nothing handed over is dropped.
    maintenanceThread_ = std::thread([this] {
      std::unique_lock lock(maintenanceMutex_);
      for (;;) {
        maintenanceChanged_.wait(lock,
                                 [this] { return maintenanceEnds_ || !maintenance_.empty(); });
        if (maintenance_.empty()) return;
        auto next = std::move(maintenance_.front());
        maintenance_.pop_front();
        maintaining_ = true;
        lock.unlock();
        next(*this);
        lock.lock();
        maintaining_ = false;
        maintenanceChanged_.notify_all();
      }
    });
  }
  maintenanceChanged_.notify_all();
}

void SqliteStore::WaitForMaintenance() {
  std::unique_lock lock(maintenanceMutex_);
  maintenanceChanged_.wait(lock, [this] { return maintenance_.empty() && !maintaining_; });
}

std::size_t SqliteStore::DeleteSummariesBefore(const std::u16string& day) {
  std::size_t deleted = 0;
  const bool ok = RunWrite([&](Connection& c) {
    sqlite3_stmt* stmt = c.Prepare("DELETE FROM daily_summary WHERE day < ?1");
    if (!stmt) return false;
    BindText(stmt, 1, day);
    if (!StepDone(stmt)) return false;
    deleted = static_cast<std::size_t>(sqlite3_changes(c.db()));
    return true;
  });
  return ok ? deleted : 0;
}

}  // namespace halvern
