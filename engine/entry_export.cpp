#include "entry_export.h"

#include <algorithm>

#include "json.h"
#include "url_entry.h"
#include "utf8.h"

namespace halvern {

ExportDocument CollectExport(SettingsStore& store) {
  ExportDocument document;
  (void)WalkUrlEntries(store, [&](const UrlEntry& entry) {
    document.entries.push_back(
        {EntryTitle(entry), EntryUrl(entry), entry.mode, entry.sizeLimit, entry.enabled != 0});
  });
  std::stable_sort(document.entries.begin(), document.entries.end(),
                   [](const ExportedEntry& a, const ExportedEntry& b) {
                     return FoldTitle(a.title) < FoldTitle(b.title);
                   });
  for (const IntSetting& setting : kUserIntSettings) {
    document.settings.ints.emplace_back(setting, ReadSetting(store, setting));
  }
  for (const StringSetting& setting : kUserStringSettings) {
    document.settings.strings.emplace_back(setting, ReadSetting(store, setting));
  }
  return document;
}

std::string ExportJson(const ExportDocument& document) {
  const auto q = [](std::u16string_view text) { return json::Quote(Utf16ToUtf8(text)); };
  std::string out = "{\n";
  out += "  \"format\": " + json::Quote(kExportFormatName) + ",\n";
  out += "  \"version\": " + std::to_string(kExportVersion) + ",\n";
  out += "  \"entries\": [";
  for (std::size_t i = 0; i < document.entries.size(); ++i) {
    const ExportedEntry& e = document.entries[i];
    out += i == 0 ? "\n" : ",\n";
    out += "    {\n";
    out += "      \"title\": " + q(e.title) + ",\n";
    out += "      \"url\": " + q(e.url) + ",\n";
    out += "      \"mode\": " + std::to_string(e.mode) + ",\n";
    out += "      \"sizeLimit\": " + std::to_string(static_cast<std::int32_t>(e.sizeLimit)) + ",\n";
    out += std::string("      \"enabled\": ") + (e.enabled ? "true" : "false") + "\n";
    out += "    }";
  }
  out += document.entries.empty() ? "],\n" : "\n  ],\n";
  out += "  \"settings\": {";
  bool first = true;
  const auto member = [&](std::u16string_view name, const std::string& value) {
    out += first ? "\n" : ",\n";
    first = false;
    out += "    " + q(name) + ": " + value;
  };
  for (const auto& [setting, value] : document.settings.ints) {
    member(setting.name, std::to_string(value));
  }
  for (const auto& [setting, value] : document.settings.strings) member(setting.name, q(value));
  out += first ? "}\n" : "\n  }\n";
  out += "}\n";
  return out;
}

}  // namespace halvern
