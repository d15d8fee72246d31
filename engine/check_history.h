#pragma once
// The record of every check: one row per recorded outcome (check_history) and
// one summary per entry and local day (daily_summary), in the same database as
// the settings store (see README "Stored data"). The rows follow the check
// log's retention; the summaries are kept kSummaryKeepDays.
//
// HistoryStore is the storage; platform/sqlite_store serves it. The functions
// below are what the engine does with it: write a check's row, and the daily
// expiry (summaries of the days that are complete, then the rows that the
// log's retention no longer keeps).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "check_kind.h"
#include "settings_store.h"

namespace halvern {

class SettingsStore;

inline constexpr std::int32_t kSummaryKeepDays = 400;

// One check as stored. Times in milliseconds since 1970 UTC; the phase times
// in milliseconds from the start of the check, none where the phase did not
// happen.
struct HistoryRow {
  std::int64_t rowId = 0;  // the store's own number, ascending as rows are written
  std::uint32_t entryId = 0;
  std::u16string title;
  std::u16string url;
  std::int64_t timeMs = 0;
  CheckKind kind = CheckKind::Scheduled;
  bool passed = false;
  std::uint32_t httpStatus = 0;  // 0 when no answer came
  std::u16string detail;         // the whole outcome text
  std::optional<double> dnsMs;
  std::optional<double> connectMs;
  std::optional<double> tlsMs;
  std::optional<double> firstByteMs;
  std::optional<double> totalMs;
  std::optional<std::int64_t> bytes;  // body bytes received; none when no answer came
  // The earliest expiry among the server's certificates (seconds since 1970).
  std::optional<std::int64_t> certNotAfter;
};

// One entry's day. `checks` and `passed` count verdicts (a check and its
// retries count once); the response times are those of the passing verdicts,
// so total_ms_sum / passed is their mean.
struct DailySummary {
  std::uint32_t entryId = 0;
  std::u16string day;  // local date, "YYYY-MM-DD"
  std::int64_t checks = 0;
  std::int64_t passed = 0;
  std::int64_t downMs = 0;  // time inside outages that day
  std::optional<double> totalMsMin;
  std::optional<double> totalMsSum;
  std::optional<double> totalMsMax;
};

// Which rows a read returns: one entry's, fromMs <= time < toMs, oldest first.
// With a limit, the first `limit` rows of the range, or the last ones when
// `fromEnd` (still oldest first).
struct HistoryRange {
  std::uint32_t entryId = 0;
  std::int64_t fromMs = std::numeric_limits<std::int64_t>::min();
  std::int64_t toMs = std::numeric_limits<std::int64_t>::max();
  std::size_t limit = std::numeric_limits<std::size_t>::max();
  bool fromEnd = false;
  bool wantText = true;  // false leaves title, url and detail empty
};

// Thread-safe: check workers append while the window reads.
class HistoryStore {
 public:
  virtual ~HistoryStore() = default;
  // Writes one row; returns once it is durable (false when it could not be).
  [[nodiscard]] virtual bool AppendCheck(const HistoryRow& row) = 0;
  // Grows with every row this process writes or deletes: a view that saw the
  // same number has nothing new to read.
  [[nodiscard]] virtual std::uint64_t HistoryVersion() const = 0;
  // The entries that have rows, ascending.
  [[nodiscard]] virtual std::vector<std::uint32_t> HistoryEntryIds() = 0;
  [[nodiscard]] virtual std::vector<HistoryRow> ReadChecks(const HistoryRange& range) = 0;
  // The entry's failed rows of fromMs <= time < toMs, each with the row that
  // follows it (which may lie past toMs), oldest first and without texts.
  // What is left out are passes that follow a pass, which decide no outage.
  [[nodiscard]] virtual std::vector<HistoryRow> ReadFailuresAndNext(std::uint32_t entryId,
                                                                    std::int64_t fromMs,
                                                                    std::int64_t toMs) = 0;
  // The entry's latest failed row.
  [[nodiscard]] virtual std::optional<HistoryRow> LastFailedCheck(std::uint32_t entryId) = 0;
  // The time of the oldest row of all.
  [[nodiscard]] virtual std::optional<std::int64_t> OldestCheckMs() = 0;
  // Deletes every row outside keepFromMs <= time < keepBeforeMs; how many.
  virtual std::size_t DeleteChecksOutside(std::int64_t keepFromMs, std::int64_t keepBeforeMs) = 0;
  virtual bool ClearChecks() = 0;

  // Writes each summary over the one of its entry and day.
  [[nodiscard]] virtual bool WriteSummaries(const std::vector<DailySummary>& summaries) = 0;
  // Summaries of the days fromDay..toDay (inclusive, "YYYY-MM-DD"), by entry and day.
  [[nodiscard]] virtual std::vector<DailySummary> ReadSummaries(const std::u16string& fromDay,
                                                                const std::u16string& toDay) = 0;
  // One entry's summaries of the days fromDay..toDay (inclusive), by day.
  [[nodiscard]] virtual std::vector<DailySummary> ReadEntrySummaries(
      std::uint32_t entryId, const std::u16string& fromDay, const std::u16string& toDay) = 0;
  [[nodiscard]] virtual std::optional<std::u16string> LatestSummaryDay() = 0;
  // Deletes the summaries of the days before `day`; how many.
  virtual std::size_t DeleteSummariesBefore(const std::u16string& day) = 0;

  // Writes a binary value as SettingsStore::InsertBinaryUnderFreeName does
  // (a log record) and `row` in the same write, so that a check's outcome
  // takes one turn of the store's queue. A row that cannot be written never
  // fails the value. The name written, or nothing.
  [[nodiscard]] virtual std::optional<std::u16string> InsertBinaryWithCheck(
      const std::u16string& section, const NameSequence& nameFor, const Bytes& data,
      const HistoryRow& row) = 0;

  // Runs `task` off the calling thread where the store can (the daily expiry
  // deletes a day of rows), tasks one at a time in the order handed over;
  // this default runs it at once.
  virtual void RunMaintenance(std::function<void(HistoryStore&)> task) { task(*this); }
  // Returns once every task handed over so far has run.
  virtual void WaitForMaintenance() {}
};

// Writes the row of a recorded outcome, when the store keeps a history and the
// outcome was logged (`logged`: the log kept a record, so KeepLogFiles is not 0).
void RecordCheckHistory(SettingsStore& store, bool logged, const HistoryRow& row);

// The rows the log's retention keeps at `now` (seconds): those with
// keepFromMs <= time < keepBeforeMs, judged by whole seconds as the log judges
// its records. Nothing when it keeps every row (an index outside 0..8).
struct HistoryKeep {
  std::int64_t keepFromMs;
  std::int64_t keepBeforeMs;
};
std::optional<HistoryKeep> HistoryRetention(std::int32_t keep, std::int64_t now);

// The daily expiry of the history, run with the log's (through
// RunMaintenance, off the window's thread): summaries of the complete days not
// yet summarized (unless `keep` is 0), then the rows that retention index
// `keep` removes, then summaries older than kSummaryKeepDays.
void ExpireHistory(HistoryStore& history, std::int32_t keep, std::int64_t nowMs);

// Summaries of the local days [firstDay, lastDay] (day starts in ms) for every
// entry that has rows, built from the stored rows.
std::vector<DailySummary> SummarizeDays(HistoryStore& history, std::int64_t firstDayStartMs,
                                        std::int64_t lastDayStartMs, std::int64_t nowMs);

// The whole outcome text behind a log record whose text shows less of it (cut
// to 95 characters, or without the reason the row showed after " Code: "):
// the history row of the same entry, second and outcome. Nothing when the
// record's text is all there is, or no such row is kept.
std::optional<std::u16string> FullOutcomeText(SettingsStore& store, const std::u16string& title,
                                              std::int64_t seconds, bool passed,
                                              const std::u16string& logText);

// A log record as the log viewer shows it, to find its history row.
struct LogRecordKey {
  std::u16string title;
  std::int64_t seconds = 0;
  bool passed = false;
  std::u16string text;  // the record's text, without the row's "Failed. "
};
// The history row behind each record (same entry, second and outcome, its
// detail beginning with the record's text), or nothing where none is kept.
// One read of the history per title, however many records there are.
std::vector<std::optional<HistoryRow>> HistoryRowsOfRecords(
    SettingsStore& store, const std::vector<LogRecordKey>& records);

// Local calendar days.
std::u16string LocalDay(std::int64_t ms);                   // "YYYY-MM-DD"; empty if unconvertible
std::int64_t LocalDayStartMs(std::int64_t ms);              // local midnight at or before ms
std::int64_t NextLocalDayStartMs(std::int64_t dayStartMs);  // the next local midnight
// The start of a "YYYY-MM-DD" day; nothing for another text.
std::optional<std::int64_t> LocalDayStartFromText(std::u16string_view day);

}  // namespace halvern
