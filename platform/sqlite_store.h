#pragma once
// The settings store on SQLite: one database per user with every value in the
// table reg_values (see README "Stored data"). Thread-safe: each read borrows a
// connection of its own from a pool, so readers and walks run side by side;
// writes of this process go through one write connection, committed in groups.
// The database runs in WAL mode, and every value write is atomic and survives a
// crash of the program once it returned.
//
// Another program may hold the database locked. A write that meets the lock
// waits and is retried until it is written, in the order writes were handed
// over, until the program begins to exit (BeginExit). The database file being
// removed or replaced while the store is open is noticed at the next read or
// write, and the store goes on with the file at its path (with its schema).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check_history.h"
#include "settings_store.h"
#include "sqlite_store_files.h"

namespace halvern {

struct BusyPolicy;

// The history of the checks (check_history, daily_summary) lives in the same
// database and is written through the same queue (sqlite_history.cpp).
class SqliteStore final : public SettingsStore, public HistoryStore {
 public:
  // ${XDG_CONFIG_HOME:-$HOME/.config}/Velmora/registry.sqlite3
  static std::filesystem::path DefaultPath();

  // Opens (creating when missing) the store at `file` under the company key.
  // Never writes to a file that is not a sound SQLite database: such a file, a
  // folder that cannot be made, or a database that cannot be opened yields
  // nothing and a message naming the file in `error`.
  static std::unique_ptr<SqliteStore> Open(const std::filesystem::path& file,
                                           const std::u16string& companyKey, std::string& error);

  // Why Open gave nothing. kBusy: another program holds the database locked;
  // nothing was written and opening again later may succeed. Open waits about
  // a second for such a lock before it says so.
  enum class OpenStatus { kOpened, kBusy, kUnusable };
  static std::unique_ptr<SqliteStore> Open(const std::filesystem::path& file,
                                           const std::u16string& companyKey, std::string& error,
                                           OpenStatus& status);

  // The program is ending: writes that meet another program's lock are
  // retried for at most `bound` from now, then fail, so that exit never hangs.
  void BeginExit(std::chrono::milliseconds bound);
  // How long one attempt of a statement waits for another program's lock
  // (30 s unless set). A write is attempted again after it, a read falls back
  // to its default; tests shorten it.
  void SetBusyTimeout(std::chrono::milliseconds timeout);
  ~SqliteStore() override;

  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  const std::filesystem::path& file() const { return file_; }
  // The key path of a section, e.g. software\Velmora\Velmora Halvern\URLs.
  std::u16string SectionKey(const std::u16string& section) const;

  std::int32_t ReadSettingInt(const std::u16string& section, const std::u16string& entry,
                              std::int32_t defaultValue) override;
  bool WriteSettingInt(const std::u16string& section, const std::u16string& entry,
                       std::int32_t value) override;
  std::u16string ReadSettingString(const std::u16string& section, const std::u16string& entry,
                                   const std::u16string& defaultValue) override;
  bool WriteSettingString(const std::u16string& section, const std::u16string& entry,
                          const std::u16string& value) override;
  using SettingsStore::ReadSettingBinary;
  std::optional<Bytes> ReadSettingBinary(const std::u16string& section, const std::u16string& entry,
                                         std::size_t maxBytes) override;
  bool WriteSettingBinary(const std::u16string& section, const std::u16string& entry,
                          const Bytes& data) override;
  bool ReplaceBinaryIfId(const std::u16string& section, const std::u16string& entry,
                         std::uint32_t id, const Bytes& data) override;
  std::optional<std::u16string> InsertBinaryUnderFreeName(const std::u16string& section,
                                                          const NameSequence& nameFor,
                                                          const Bytes& data) override;
  using SettingsStore::OpenSection;
  std::unique_ptr<SectionCursor> OpenSection(const std::u16string& section,
                                             std::size_t maxData) override;
  bool DeleteValue(const std::u16string& section, const std::u16string& entry) override;
  std::size_t DeleteValues(const std::u16string& section,
                           const std::vector<std::u16string>& entries) override;
  bool DeleteSection(const std::u16string& section) override;
  HistoryStore* History() override { return this; }

  // HistoryStore.
  bool AppendCheck(const HistoryRow& row) override;
  std::uint64_t HistoryVersion() const override { return historyVersion_.load(); }
  std::vector<std::uint32_t> HistoryEntryIds() override;
  std::vector<HistoryRow> ReadChecks(const HistoryRange& range) override;
  std::vector<HistoryRow> ReadFailuresAndNext(std::uint32_t entryId, std::int64_t fromMs,
                                              std::int64_t toMs) override;
  std::optional<HistoryRow> LastFailedCheck(std::uint32_t entryId) override;
  std::optional<std::int64_t> OldestCheckMs() override;
  std::size_t DeleteChecksOutside(std::int64_t keepFromMs, std::int64_t keepBeforeMs) override;
  bool ClearChecks() override;
  bool WriteSummaries(const std::vector<DailySummary>& summaries) override;
  std::vector<DailySummary> ReadSummaries(const std::u16string& fromDay,
                                          const std::u16string& toDay) override;
  std::vector<DailySummary> ReadEntrySummaries(std::uint32_t entryId, const std::u16string& fromDay,
                                               const std::u16string& toDay) override;
  std::optional<std::u16string> LatestSummaryDay() override;
  std::size_t DeleteSummariesBefore(const std::u16string& day) override;
  // On a thread of the store's own, started at the first task; the store's
  // destruction runs what is queued first.
  std::optional<std::u16string> InsertBinaryWithCheck(const std::u16string& section,
                                                      const NameSequence& nameFor,
                                                      const Bytes& data,
                                                      const HistoryRow& row) override;
  void RunMaintenance(std::function<void(HistoryStore&)> task) override;
  void WaitForMaintenance() override;

  class Connection;
  // A pooled connection, handed back to the pool when the lease ends.
  class Lease;

 private:
  SqliteStore(std::filesystem::path file, std::u16string appKey);
  // How far following the file at the path got.
  enum class FileState { kCurrent, kBusy, kUnusable };
  // Makes sure the connections serve the database file now at the path: when
  // the file was removed or replaced, opens (or creates) the one there with
  // its schema and retires the connections of the old one.
  [[nodiscard]] FileState FollowFile();
  [[nodiscard]] FileState ReopenFile();
  Lease Borrow();
  void GiveBack(std::unique_ptr<Connection> connection);
  // A write: statements on the write connection, inside a transaction that
  // the caller provides; true when it did what it should.
  using WriteFunction = std::function<bool(Connection&)>;
  struct PendingWrite;
  // Runs `write` in a transaction on the write connection and returns its
  // result once committed (false when the commit failed).
  bool RunWrite(const WriteFunction& write);
  void RunBatch(const std::vector<std::shared_ptr<PendingWrite>>& batch);
  enum class Attempt { kDone, kBusy };
  [[nodiscard]] Attempt TryBatch(const std::vector<std::shared_ptr<PendingWrite>>& batch);
  [[nodiscard]] Attempt TryEach(const std::vector<std::shared_ptr<PendingWrite>>& batch,
                                Connection& c);
  // The write connection on the current file, opened at first use; only the
  // thread committing a batch uses it.
  Connection* Writer();
  // At most `maxBytes` of the value; with a limit, nothing for a value longer
  // than kLongestRecordValue, which is not loaded.
  std::optional<std::pair<ValueType, Bytes>> ReadValue(const std::u16string& section,
                                                       const std::u16string& entry,
                                                       std::size_t maxBytes);
  bool WriteValue(const std::u16string& section, const std::u16string& entry, ValueType type,
                  const Bytes& data);
  // The statements of InsertBinaryUnderFreeName and AppendCheck, inside a write.
  bool InsertUnderFreeName(Connection& c, const std::u16string& section,
                           const NameSequence& nameFor, const Bytes& data, std::u16string& name);
  static bool InsertCheck(Connection& c, const HistoryRow& row);
  // Summaries of fromDay..toDay, of one entry or of all.
  std::vector<DailySummary> SummariesOf(std::optional<std::uint32_t> entryId,
                                        const std::u16string& fromDay, const std::u16string& toDay);

  std::filesystem::path file_;
  std::u16string appKey_;
  const std::unique_ptr<BusyPolicy> policy_;
  // The database file the connections serve, and its side files as they were
  // when it was opened (whose names a replacement must not inherit). The
  // atomics are read without the lock for the check at every call.
  std::mutex fileMutex_;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<dev_t> device_{0};
  std::atomic<ino_t> inode_{0};
  std::vector<std::pair<std::string, FileId>> sideFiles_;  // guarded by fileMutex_
  // A thread that holds a lease never waits for a second one while another
  // thread waits for it, so the bound cannot deadlock: walks run on the main
  // thread, and workers hold one lease at a time for one statement.
  static constexpr int kMaxConnections = 8;
  std::mutex poolMutex_;
  std::condition_variable poolFree_;
  int opened_ = 0;
  // Writers of this process queue here rather than in SQLite's busy handler,
  // whose sleeps (up to 100 ms) would stall every writer under load. The
  // writer that finds nobody committing commits all queued writes in one
  // transaction (group commit); each writer returns once its write is durable.
  std::mutex queueMutex_;
  std::vector<std::shared_ptr<PendingWrite>> queue_;  // guarded by queueMutex_
  bool writing_ = false;                              // guarded by queueMutex_
  std::unique_ptr<Connection> writer_;
  std::vector<std::unique_ptr<Connection>> pool_;
  std::atomic<std::uint64_t> historyVersion_{0};
  // The maintenance thread and its queue.
  std::mutex maintenanceMutex_;
  std::condition_variable maintenanceChanged_;
  std::deque<std::function<void(HistoryStore&)>> maintenance_;  // guarded
  bool maintaining_ = false;                                    // guarded: a task runs
  bool maintenanceEnds_ = false;                                // guarded
  std::thread maintenanceThread_;
};

// Unicode lower case of the whole text: how names and keys are compared.
std::u16string FoldCase(const std::u16string& text);

}  // namespace halvern
