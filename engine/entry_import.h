#pragma once
// Importing addresses: reading a file the user chose (the program's export,
// a plain list of addresses, or CSV with a URL column), and planning what the
// import does with each address before anything is stored. Nothing here
// writes to the store but TakeImportedSettings.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entry_export.h"
#include "url_entry.h"

namespace halvern {

// Files beyond this are not read.
inline constexpr std::size_t kMaxImportBytes = 16u * 1024 * 1024;

enum class ImportFormat { kExport, kText, kCsv };

// One address as the file gives it.
struct ImportItem {
  std::size_t line = 0;  // where it begins in the file, 1-based
  std::u16string title;  // empty: titled by its host name
  std::u16string url;
  std::int32_t mode = kModeDownload;
  std::uint32_t sizeLimit = 0xFFFFFFFFu;  // what Add proposes (-1)
  std::int32_t enabled = 1;
  std::u16string refusal;  // why the file's item cannot be taken; empty when it can
};

struct ImportSource {
  ImportFormat format = ImportFormat::kText;
  std::vector<ImportItem> items;
  // Only an export carries settings.
  std::optional<ExportedSettings> settings;
};

// Reads a whole file's bytes; `fileName` (its name or path) only helps to
// tell the formats apart. Nothing, and a message for the user in `error`,
// when the file is no import: too large, binary, not UTF-8, malformed JSON,
// another format or a newer version, CSV without a URL column, no addresses.
std::optional<ImportSource> ReadImportFile(std::string_view bytes, std::u16string_view fileName,
                                           std::string& error);

// What the import does with one address.
enum class ImportStatus {
  kAdd,      // stored under `title`
  kExists,   // an entry of that title (or that address) is stored: `choice` decides
  kRefused,  // not stored: `why`
};
enum class ExistsChoice { kSkip, kReplace, kAddAsNew };

struct ImportRow {
  ImportStatus status = ImportStatus::kAdd;
  std::size_t line = 0;
  std::u16string title;     // kAdd: the title to store; kExists: the one replaced
  std::u16string newTitle;  // kExists: the free title of "add under a new title"
  std::u16string url;
  std::int32_t mode = kModeDownload;
  std::uint32_t sizeLimit = 0xFFFFFFFFu;
  std::int32_t enabled = 1;
  std::u16string why;  // kRefused
  ExistsChoice choice = ExistsChoice::kSkip;
};

// A stored entry as the plan needs it.
struct StoredName {
  std::u16string title;
  std::u16string url;
};
std::vector<StoredName> StoredNames(SettingsStore& store);

// Decides each address by the rules of the editor's Add: an address must be
// there, begin with "http://" or "https://" (as written, case counts) and fit
// the 1,023 characters an entry keeps; a title keeps its first 24 characters.
// An address without a title is titled by its host name, made unique among the
// stored titles and those of this import with " (2)", " (3)" ... within 24
// characters. A titled address whose title is stored, or an untitled one whose
// address is stored, is kExists (skipped unless the user chooses otherwise).
// The same untitled address twice in the file is refused the second time.
std::vector<ImportRow> PlanImport(const std::vector<ImportItem>& items,
                                  const std::vector<StoredName>& stored);

// The title a row is stored under with its choice; empty when it stores nothing.
std::u16string TitleToStore(const ImportRow& row);
// A new record (fresh id, counters 0) holding the row's fields under `title`.
UrlEntry EntryForRow(const ImportRow& row, const std::u16string& title);

// The host name of an http(s) address: what lies between "://" (and any
// user:password@) and the port, path, query or fragment.
std::u16string HostOf(std::u16string_view url);

// Writes every setting; the names of those that could not be written.
std::vector<std::u16string> TakeImportedSettings(SettingsStore& store,
                                                 const ExportedSettings& settings);

}  // namespace halvern
