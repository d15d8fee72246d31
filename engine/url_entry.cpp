#include "url_entry.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <random>

#include "unicode_lower.h"
#include "url_list.h"

namespace halvern {
namespace {

std::mutex gRandomMutex;
std::minstd_rand gRandom{1};

}  // namespace

void SeedEntryIds(std::uint32_t seed) {
  std::lock_guard lock(gRandomMutex);
  gRandom.seed(seed == 0 ? 1 : seed);
}

int NextRandom() {
  std::lock_guard lock(gRandomMutex);
  return static_cast<int>(gRandom() & 0x7fff);
}

void CopyToField(char16_t* field, std::size_t capacity, std::u16string_view text) {
  const std::size_t n = std::min(text.size(), capacity - 1);
  std::copy_n(text.data(), n, field);
  std::fill(field + n, field + capacity, u'\0');
}

std::u16string FieldText(const char16_t* field, std::size_t capacity) {
  const char16_t* end = std::find(field, field + capacity, u'\0');
  return std::u16string(field, end);
}

std::u16string CutTitle(std::u16string_view title) {
  return std::u16string(title.substr(0, kMaxTitleLength));
}

std::u16string FoldTitle(std::u16string_view title) { return LowerCaseText(title); }

bool SameTitle(std::u16string_view a, std::u16string_view b) {
  return FoldTitle(a) == FoldTitle(b);
}

std::u16string EntryTitle(const UrlEntry& entry) { return FieldText(entry.title, kTitleChars); }
std::u16string EntryUrl(const UrlEntry& entry) { return FieldText(entry.url, kUrlChars); }
void SetEntryTitle(UrlEntry& entry, std::u16string_view title) {
  CopyToField(entry.title, kTitleChars, title);
}
void SetEntryUrl(UrlEntry& entry, std::u16string_view url) {
  CopyToField(entry.url, kUrlChars, url);
}

void InitUrlEntry(UrlEntry& entry) {
  std::memset(&entry, 0, sizeof entry);
  const auto low = static_cast<std::uint32_t>(NextRandom()) & 0xffff;
  const auto high = static_cast<std::uint32_t>(NextRandom());
  entry.id = low | (high << 16);
  entry.enabled = 1;
}

// The record is little-endian on disk and in memory: this program only builds
// for little-endian hosts, so the struct's bytes are the record's bytes.
static_assert(std::endian::native == std::endian::little);

Bytes EntryBytes(const UrlEntry& entry) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&entry);
  return Bytes(p, p + sizeof entry);
}

void ReadEntryBytes(const Bytes& bytes, UrlEntry& entry) {
  InitUrlEntry(entry);
  std::memcpy(&entry, bytes.data(), std::min(bytes.size(), sizeof entry));
}

bool LoadUrlEntry(SettingsStore& store, const std::u16string& title, UrlEntry& entry) {
  InitUrlEntry(entry);
  auto bytes = store.ReadSettingBinary(kUrlsSection, title, sizeof entry);
  if (!bytes) return false;
  ReadEntryBytes(*bytes, entry);
  return true;
}

bool SaveUrlEntry(SettingsStore& store, const std::u16string& title, const UrlEntry& entry) {
  return store.WriteSettingBinary(kUrlsSection, CutTitle(title), EntryBytes(entry));
}

bool SaveUrlEntryIfStillStored(SettingsStore& store, const std::u16string& title,
                               const UrlEntry& entry) {
  return store.ReplaceBinaryIfId(kUrlsSection, CutTitle(title), entry.id, EntryBytes(entry));
}

bool StoreUrlEntryRow(SettingsStore& store, UrlList& list, const std::u16string& title,
                      const UrlEntry& entry, int row) {
  // The list shows what is stored: an entry the store refused gets no row.
  if (!SaveUrlEntry(store, title, entry)) return false;
  list.InsertRow(row, CutTitle(title), kImageIdle);
  return true;
}

bool DeleteUrlEntryRow(SettingsStore& store, UrlList& list, const std::u16string& title, int row) {
  // DeleteValue is false also for a value that was no longer there; only one
  // that is still stored keeps its row.
  if (!store.DeleteValue(kUrlsSection, title) && store.ReadSettingBinary(kUrlsSection, title)) {
    return false;
  }
  list.DeleteRow(row);
  return true;
}

void FillUrlList(SettingsStore& store, UrlList& list) {
  auto cursor = store.OpenSection(kUrlsSection);
  if (!cursor) return;
  for (std::size_t i = 0;; ++i) {
    auto value = cursor->Enumerate(i, false);
    if (!value) break;
    list.InsertRow(65535, value->name, kImageIdle);
  }
}

}  // namespace halvern
