#pragma once
// One monitored address: a fixed 2136-byte little-endian record stored whole as
// a binary value named by its title in the "URLs" section.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "settings_store.h"

namespace halvern {

inline constexpr std::size_t kTitleChars = 25;  // UTF-16 units, 24 characters + zero
inline constexpr std::size_t kUrlChars = 1024;  // UTF-16 units, 1023 characters + zero
inline constexpr std::size_t kMaxTitleLength = kTitleChars - 1;
inline constexpr std::size_t kMaxUrlLength = kUrlChars - 1;

enum CheckMode : std::int32_t { kModeDownload = 0, kModeScript = 1 };

struct UrlEntry {
  std::uint32_t id;
  std::int32_t enabled;
  char16_t title[kTitleChars];
  char16_t url[kUrlChars];
  std::uint16_t reserved1;
  std::int32_t mode;
  std::uint32_t sizeLimit;  // bytes, compared unsigned; 0 = no limit
  std::uint32_t reserved2;
  std::int64_t lastSuccessTime;
  std::int32_t failureCount;
  std::uint32_t reserved3;
};

static_assert(sizeof(UrlEntry) == 2136);
static_assert(offsetof(UrlEntry, title) == 8);
static_assert(offsetof(UrlEntry, url) == 58);
static_assert(offsetof(UrlEntry, mode) == 2108);
static_assert(offsetof(UrlEntry, sizeLimit) == 2112);
static_assert(offsetof(UrlEntry, lastSuccessTime) == 2120);
static_assert(offsetof(UrlEntry, failureCount) == 2128);

// The program's ids come from one generator yielding 0 to 32767, seeded once at
// start-up, so bits 15 and 31 of every id are 0.
void SeedEntryIds(std::uint32_t seed);
int NextRandom();

// Copies at most capacity - 1 units of `text` and zero-fills the rest.
void CopyToField(char16_t* field, std::size_t capacity, std::u16string_view text);
std::u16string FieldText(const char16_t* field, std::size_t capacity);
// The first 24 characters: the text that names an entry everywhere.
std::u16string CutTitle(std::u16string_view title);
// Titles name entries without regard to case: two titles name one entry when
// their Unicode lower cases (unicode_lower.h) are equal, which is how the store
// compares the names of its values.
std::u16string FoldTitle(std::u16string_view title);
bool SameTitle(std::u16string_view a, std::u16string_view b);

std::u16string EntryTitle(const UrlEntry& entry);
std::u16string EntryUrl(const UrlEntry& entry);
void SetEntryTitle(UrlEntry& entry, std::u16string_view title);
void SetEntryUrl(UrlEntry& entry, std::u16string_view url);

void InitUrlEntry(UrlEntry& entry);
// Byte images. Reading starts from a fresh record: a shorter value leaves the
// fresh record's bytes behind it, a longer one is cut at the record's end.
Bytes EntryBytes(const UrlEntry& entry);
void ReadEntryBytes(const Bytes& bytes, UrlEntry& entry);

class UrlList;

// False, and `entry` left fresh, when no value of that title is stored or it
// is longer than kLongestRecordValue (which is never loaded).
[[nodiscard]] bool LoadUrlEntry(SettingsStore& store, const std::u16string& title, UrlEntry& entry);
[[nodiscard]] bool SaveUrlEntry(SettingsStore& store, const std::u16string& title,
                                const UrlEntry& entry);
// Saves only over a stored value of that title that still holds the entry's id,
// so an entry deleted or renamed meanwhile does not come back.
[[nodiscard]] bool SaveUrlEntryIfStillStored(SettingsStore& store, const std::u16string& title,
                                             const UrlEntry& entry);
// Saves the entry and, once it is saved, gives it a row at `row`; false (and
// no row) when the store refused it.
[[nodiscard]] bool StoreUrlEntryRow(SettingsStore& store, UrlList& list,
                                    const std::u16string& title, const UrlEntry& entry, int row);
// Deletes the stored entry and then its row. False, and the row kept, when
// the store refused to delete a value that is still there; a value that is
// gone already only takes its row away.
[[nodiscard]] bool DeleteUrlEntryRow(SettingsStore& store, UrlList& list,
                                     const std::u16string& title, int row);
void FillUrlList(SettingsStore& store, UrlList& list);

// Walks the "URLs" section, handing every stored entry to `visit` in the
// section's order. Each value is read over a freshly initialised record; one
// longer than kLongestRecordValue is passed by unread, as LoadUrlEntry takes
// it for missing. Returns false when the section cannot be opened.
template <typename Visit>
bool WalkUrlEntries(SettingsStore& store, Visit&& visit) {
  auto cursor = store.OpenSection(kUrlsSection, sizeof(UrlEntry));
  if (!cursor) return false;
  for (std::size_t i = 0;; ++i) {
    auto value = cursor->Enumerate(i);
    if (!value) break;
    if (value->tooLong) continue;
    UrlEntry entry;
    ReadEntryBytes(value->data, entry);
    visit(static_cast<const UrlEntry&>(entry));
  }
  return true;
}

}  // namespace halvern
