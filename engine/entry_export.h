#pragma once
// The export file: every URL entry's own fields and the settings the user
// chooses, as one JSON document (README "Export file"). Not the log, not the
// window's place, not what the checks keep (id, last success, failures).

#include <cstdint>
#include <string>
#include <vector>

#include "settings.h"

namespace halvern {

class SettingsStore;

inline constexpr char kExportFormatName[] = "velmora-halvern-export";
inline constexpr std::int64_t kExportVersion = 1;

// What an export holds of one entry.
struct ExportedEntry {
  std::u16string title;
  std::u16string url;
  std::int32_t mode = 0;
  std::uint32_t sizeLimit = 0xFFFFFFFFu;  // the editor shows it signed: -1
  bool enabled = true;
  bool operator==(const ExportedEntry&) const = default;
};

struct ExportedSettings {
  std::vector<std::pair<IntSetting, std::int32_t>> ints;
  std::vector<std::pair<StringSetting, std::u16string>> strings;
};

struct ExportDocument {
  std::vector<ExportedEntry> entries;
  ExportedSettings settings;
};

// Every stored entry (sorted by title, case aside) and every user setting as
// the program reads it now (a setting never written gives its default).
ExportDocument CollectExport(SettingsStore& store);

// The document as UTF-8 JSON text, ending in a line break.
std::string ExportJson(const ExportDocument& document);

}  // namespace halvern
