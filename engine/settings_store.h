#pragma once
// The settings store: typed values under named sections of the application key.
// The engine reaches the store only through this interface; the SQLite layer in
// platform/ implements it. Every call is synchronous and thread-safe: check workers
// write log records and entries from their own threads.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace halvern {

class HistoryStore;

using Bytes = std::vector<std::uint8_t>;

// Section names under the application key.
inline constexpr char16_t kSettingsSection[] = u"Settings";
inline constexpr char16_t kUrlsSection[] = u"URLs";
inline constexpr char16_t kLogSection[] = u"LogFile";

// Stored value types; the numbers are part of the store's on-disk format.
enum class ValueType : int { kString = 1, kBinary = 3, kInt = 4 };

// A length no value reaches: read values whole.
inline constexpr std::size_t kWholeValue = static_cast<std::size_t>(-1);
// A reader of fixed-size records asks for at most one record: a longer value
// yields the record's length of it, but one longer than this is no record at
// all and is never loaded, so that no stored value, however long, is read
// whole where a record is meant.
inline constexpr std::size_t kLongestRecordValue = 64 * 1024;

// The names to try, by attempt: 0, 1, 2 ...
using NameSequence = std::function<std::u16string(int attempt)>;

struct SectionValue {
  std::u16string name;
  ValueType type = ValueType::kBinary;
  Bytes data;  // the stored bytes, exactly as written
  // Longer than kLongestRecordValue in a walk with a limit: its bytes were not
  // read, and `data` is empty.
  bool tooLong = false;
};

// A section opened for a walk. Enumerate(i) returns values by index 0, 1, 2 ...
// until it returns nothing (no more items). Walking the indexes in order costs
// O(1) per step; the walk sees one consistent snapshot of the section.
class SectionCursor {
 public:
  virtual ~SectionCursor() = default;
  // wantData false leaves SectionValue::data empty (name walks stay cheap).
  [[nodiscard]] virtual std::optional<SectionValue> Enumerate(std::size_t index,
                                                              bool wantData = true) = 0;
};

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;

  [[nodiscard]] virtual std::int32_t ReadSettingInt(const std::u16string& section,
                                                    const std::u16string& entry,
                                                    std::int32_t defaultValue) = 0;
  [[nodiscard]] virtual bool WriteSettingInt(const std::u16string& section,
                                             const std::u16string& entry, std::int32_t value) = 0;
  [[nodiscard]] virtual std::u16string ReadSettingString(const std::u16string& section,
                                                         const std::u16string& entry,
                                                         const std::u16string& defaultValue) = 0;
  [[nodiscard]] virtual bool WriteSettingString(const std::u16string& section,
                                                const std::u16string& entry,
                                                const std::u16string& value) = 0;
  // Missing value: nothing. The bytes of a value of any type otherwise, at most
  // `maxBytes` of them; with a limit, a value longer than kLongestRecordValue
  // is not loaded and yields nothing.
  [[nodiscard]] virtual std::optional<Bytes> ReadSettingBinary(const std::u16string& section,
                                                               const std::u16string& entry,
                                                               std::size_t maxBytes) = 0;
  [[nodiscard]] std::optional<Bytes> ReadSettingBinary(const std::u16string& section,
                                                       const std::u16string& entry) {
    return ReadSettingBinary(section, entry, kWholeValue);
  }
  [[nodiscard]] virtual bool WriteSettingBinary(const std::u16string& section,
                                                const std::u16string& entry, const Bytes& data) = 0;

  // Replaces the binary value `entry` with `data` only when a value of that name
  // exists and its first four bytes equal `id` (little-endian), in one atomic
  // statement. Returns whether it replaced the value.
  [[nodiscard]] virtual bool ReplaceBinaryIfId(const std::u16string& section,
                                               const std::u16string& entry, std::uint32_t id,
                                               const Bytes& data) = 0;

  // Writes the binary value under the first of the names nameFor(0),
  // nameFor(1) ... that no value holds, in one atomic write, and returns that
  // name; nothing when the write fails. nameFor may be called again for the
  // same attempt (a write retried after another program's lock) and must give
  // a name of its own for every attempt.
  [[nodiscard]] virtual std::optional<std::u16string> InsertBinaryUnderFreeName(
      const std::u16string& section, const NameSequence& nameFor, const Bytes& data) = 0;

  // Opens a section for a walk, creating the section when missing. Nothing when
  // the store cannot be read. Each value's data is cut at `maxData` bytes; with
  // a limit, a value longer than kLongestRecordValue is walked with its bytes
  // unread (SectionValue::tooLong).
  [[nodiscard]] virtual std::unique_ptr<SectionCursor> OpenSection(const std::u16string& section,
                                                                   std::size_t maxData) = 0;
  [[nodiscard]] std::unique_ptr<SectionCursor> OpenSection(const std::u16string& section) {
    return OpenSection(section, kWholeValue);
  }
  [[nodiscard]] virtual bool DeleteValue(const std::u16string& section,
                                         const std::u16string& entry) = 0;
  // Deletes the named values in one transaction; returns how many existed.
  [[nodiscard]] virtual std::size_t DeleteValues(const std::u16string& section,
                                                 const std::vector<std::u16string>& entries) = 0;
  // Removes a section with all of its values.
  [[nodiscard]] virtual bool DeleteSection(const std::u16string& section) = 0;

  // The record of every check kept beside the values (check_history.h);
  // nothing for a store that keeps none.
  [[nodiscard]] virtual HistoryStore* History() { return nullptr; }
};

}  // namespace halvern
