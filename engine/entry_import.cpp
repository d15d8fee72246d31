#include "entry_import.h"

#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "csv.h"
#include "json.h"
#include "utf8.h"

namespace halvern {
namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

std::size_t LineAt(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n'))) {
      ++line;
    }
  }
  return line;
}

bool EndsWithNoCase(std::u16string_view name, std::u16string_view suffix) {
  if (name.size() < suffix.size()) return false;
  name = name.substr(name.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    char16_t c = name[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && LowerAscii(text.substr(0, prefix.size())) == prefix;
}

// The lines of `text` with their numbers; LF, CR LF and CR end a line.
template <typename Visit>
void ForEachLine(std::string_view text, Visit&& visit) {
  std::size_t line = 1;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\n' && text[i] != '\r') continue;
    visit(line++, text.substr(start, i - start));
    if (i < text.size() && text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
}

// The text of a file that may be imported, without its byte order mark.
std::optional<std::string_view> CheckText(std::string_view bytes, std::string& error) {
  if (bytes.size() > kMaxImportBytes) {
    error = "The file is larger than 16 MB, which is more than an import reads.";
    return std::nullopt;
  }
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    error = "The file is UTF-16 text. Save it as UTF-8 and import it again.";
    return std::nullopt;
  }
  if (bytes.starts_with(kBom)) bytes.remove_prefix(3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') {
      error = "The file holds binary data (a control byte on line " +
              std::to_string(LineAt(bytes, i)) + "), not text.";
      return std::nullopt;
    }
  }
  if (std::size_t bad = 0; !IsValidUtf8(bytes, &bad)) {
    error = "The file is not UTF-8 text: line " + std::to_string(LineAt(bytes, bad)) +
            " holds bytes that are not UTF-8. Save it as UTF-8 and import it again.";
    return std::nullopt;
  }
  return bytes;
}

ImportFormat GuessFormat(std::string_view text, std::u16string_view fileName) {
  if (EndsWithNoCase(fileName, u".json")) return ImportFormat::kExport;
  if (EndsWithNoCase(fileName, u".csv")) return ImportFormat::kCsv;
  const std::string_view start = Trim(text);
  if (start.starts_with('{') || start.starts_with('[')) return ImportFormat::kExport;
  if (EndsWithNoCase(fileName, u".txt")) return ImportFormat::kText;
  // The first line that says something: an address, or a header of columns.
  std::optional<ImportFormat> found;
  ForEachLine(text, [&](std::size_t, std::string_view line) {
    if (found) return;
    line = Trim(line);
    if (line.empty() || line.starts_with('#')) return;
    if (StartsWithNoCase(line, "http://") || StartsWithNoCase(line, "https://")) {
      found = ImportFormat::kText;
    } else if (line.find_first_of(",;\t") != std::string_view::npos) {
      found = ImportFormat::kCsv;
    } else {
      found = ImportFormat::kText;
    }
  });
  return found.value_or(ImportFormat::kText);
}

std::u16string U16(std::string_view utf8) { return Utf8ToUtf16(utf8); }

// The item of one entry of an export; a field of the wrong kind refuses it.
ImportItem ExportItem(const json::Value& value, std::size_t number) {
  ImportItem item;
  item.line = number;
  if (value.kind != json::Value::Kind::kObject) {
    item.refusal = u"not an entry";
    return item;
  }
  const json::Value* url = value.Find("url");
  if (url && url->kind == json::Value::Kind::kString) item.url = U16(url->text);
  if (url && url->kind != json::Value::Kind::kString) item.refusal = u"the address is not a text";
  if (const json::Value* title = value.Find("title")) {
    if (title->kind == json::Value::Kind::kString) {
      item.title = U16(title->text);
    } else {
      item.refusal = u"the title is not a text";
    }
  }
  const auto whole = [](const json::Value* v, std::int64_t low, std::int64_t high) {
    return v->kind == json::Value::Kind::kNumber && v->isInteger && v->integer >= low &&
           v->integer <= high;
  };
  if (const json::Value* mode = value.Find("mode")) {
    if (whole(mode, std::numeric_limits<std::int32_t>::min(),
              std::numeric_limits<std::int32_t>::max())) {
      item.mode = static_cast<std::int32_t>(mode->integer);
    } else {
      item.refusal = u"the mode is not a whole number";
    }
  }
  if (const json::Value* limit = value.Find("sizeLimit")) {
    if (whole(limit, std::numeric_limits<std::int32_t>::min(),
              std::numeric_limits<std::uint32_t>::max())) {
      item.sizeLimit = static_cast<std::uint32_t>(limit->integer);
    } else {
      item.refusal = u"the size limit is not a whole number of 32 bits";
    }
  }
  if (const json::Value* enabled = value.Find("enabled")) {
    if (enabled->kind == json::Value::Kind::kBool) {
      item.enabled = enabled->boolean ? 1 : 0;
    } else {
      item.refusal = u"\"enabled\" is neither true nor false";
    }
  }
  return item;
}

std::optional<ImportSource> ReadExport(std::string_view text, std::string& error) {
  json::ParseError parseError;
  const std::optional<json::Value> root = json::Parse(text, parseError);
  if (!root) {
    error = "The file is not valid JSON: " + parseError.what + " (line " +
            std::to_string(parseError.line) + ", column " + std::to_string(parseError.column) +
            ").";
    return std::nullopt;
  }
  const json::Value* format = root->Find("format");
  if (root->kind != json::Value::Kind::kObject || !format ||
      format->kind != json::Value::Kind::kString || format->text != kExportFormatName) {
    error = "The file is JSON, but not an export of Velmora Halvern.";
    return std::nullopt;
  }
  const json::Value* version = root->Find("version");
  if (!version || version->kind != json::Value::Kind::kNumber || !version->isInteger ||
      version->integer < 1) {
    error = "The export has no valid format version.";
    return std::nullopt;
  }
  if (version->integer > kExportVersion) {
    error = "The export was written by a newer Velmora Halvern (format version " +
            std::to_string(version->integer) + "); this one reads version " +
            std::to_string(kExportVersion) + ".";
    return std::nullopt;
  }
  ImportSource source;
  source.format = ImportFormat::kExport;
  if (const json::Value* entries = root->Find("entries")) {
    if (entries->kind != json::Value::Kind::kArray) {
      error = "The export's \"entries\" is not a list.";
      return std::nullopt;
    }
    for (std::size_t i = 0; i < entries->items.size(); ++i) {
      source.items.push_back(ExportItem(entries->items[i], i + 1));
    }
  }
  if (const json::Value* settings = root->Find("settings")) {
    if (settings->kind != json::Value::Kind::kObject) {
      error = "The export's \"settings\" is not a set of named values.";
      return std::nullopt;
    }
    ExportedSettings taken;
    for (const auto& [name, value] : settings->members) {
      const std::string folded = LowerAscii(name);
      for (const IntSetting& setting : kUserIntSettings) {
        if (LowerAscii(Utf16ToUtf8(setting.name)) != folded) continue;
        if (value.kind != json::Value::Kind::kNumber || !value.isInteger ||
            value.integer < std::numeric_limits<std::int32_t>::min() ||
            value.integer > std::numeric_limits<std::int32_t>::max()) {
          error = "The export's setting \"" + name + "\" is not a whole number.";
          return std::nullopt;
        }
        taken.ints.emplace_back(setting, static_cast<std::int32_t>(value.integer));
      }
      for (const StringSetting& setting : kUserStringSettings) {
        if (LowerAscii(Utf16ToUtf8(setting.name)) != folded) continue;
        if (value.kind != json::Value::Kind::kString) {
          error = "The export's setting \"" + name + "\" is not a text.";
          return std::nullopt;
        }
        taken.strings.emplace_back(setting, U16(value.text));
      }
    }
    source.settings = std::move(taken);
  }
  return source;
}

ImportSource ReadText(std::string_view text) {
  ImportSource source;
  source.format = ImportFormat::kText;
  ForEachLine(text, [&](std::size_t number, std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.starts_with('#')) return;
    ImportItem item;
    item.line = number;
    item.url = U16(line);
    source.items.push_back(std::move(item));
  });
  return source;
}

std::optional<std::size_t> FindColumn(const std::vector<std::string>& header,
                                      std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    for (std::size_t i = 0; i < header.size(); ++i) {
      if (LowerAscii(Trim(header[i])) == name) return i;
    }
  }
  return std::nullopt;
}

std::optional<ImportSource> ReadCsv(std::string_view text, std::string& error) {
  csv::Error csvError;
  const auto records = csv::Parse(text, csv::GuessSeparator(text), csvError);
  if (!records) {
    error = "The CSV file is malformed: " + csvError.what + " (line " +
            std::to_string(csvError.line) + ").";
    return std::nullopt;
  }
  const auto noUrlColumn = [&] {
    error =
        "The CSV file has no URL column: its first line should name one (\"URL\" or "
        "\"Address\").";
    return std::nullopt;
  };
  if (records->empty()) return noUrlColumn();
  const std::vector<std::string>& header = records->front().fields;
  const auto urlColumn = FindColumn(header, {"url", "address"});
  if (!urlColumn) return noUrlColumn();
  const auto nameColumn = FindColumn(header, {"friendly name", "name", "title"});
  ImportSource source;
  source.format = ImportFormat::kCsv;
  for (std::size_t r = 1; r < records->size(); ++r) {
    const csv::Record& record = (*records)[r];
    ImportItem item;
    item.line = record.line;
    if (*urlColumn < record.fields.size()) item.url = U16(Trim(record.fields[*urlColumn]));
    if (nameColumn && *nameColumn < record.fields.size()) {
      item.title = U16(Trim(record.fields[*nameColumn]));
    }
    source.items.push_back(std::move(item));
  }
  return source;
}

bool HasControl(std::u16string_view text) {
  for (const char16_t c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

// Line breaks and other control characters of a title become blanks; blanks
// around it go.
std::u16string CleanTitle(std::u16string_view title) {
  std::u16string out(title);
  for (char16_t& c : out) {
    if (c < 0x20 || c == 0x7F) c = u' ';
  }
  while (!out.empty() && out.back() == u' ') out.pop_back();
  std::size_t lead = 0;
  while (lead < out.size() && out[lead] == u' ') ++lead;
  return out.substr(lead);
}

// The first `units` UTF-16 units, one fewer when the last would split a pair.
std::u16string CutWhole(std::u16string_view text, std::size_t units) {
  if (text.size() <= units) return std::u16string(text);
  if (units > 0 && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF) --units;
  return std::u16string(text.substr(0, units));
}

std::u16string NumberText(std::size_t n) {
  const std::string digits = std::to_string(n);
  return std::u16string(digits.begin(), digits.end());
}

// Titles taken by stored entries and by this import, compared as the store
// compares them.
class TitlePool {
 public:
  bool Taken(const std::u16string& title) const { return taken_.count(FoldTitle(title)) != 0; }
  void Take(const std::u16string& title) { taken_.insert(FoldTitle(title)); }
  // `base` cut to 24 characters when free, else with " (2)", " (3)" ... within
  // 24 characters; taken before it is returned.
  std::u16string Unique(const std::u16string& base) {
    std::u16string candidate = CutWhole(base, kMaxTitleLength);
    if (!Taken(candidate)) {
      Take(candidate);
      return candidate;
    }
    // Counting on from where this base stopped keeps many alike titles linear.
    std::size_t& next = next_.try_emplace(FoldTitle(base), 2).first->second;
    for (;; ++next) {
      const std::u16string suffix = u" (" + NumberText(next) + u")";
      candidate = CutWhole(base, kMaxTitleLength - suffix.size()) + suffix;
      if (!Taken(candidate)) {
        ++next;
        Take(candidate);
        return candidate;
      }
    }
  }

 private:
  std::unordered_set<std::u16string> taken_;
  std::unordered_map<std::u16string, std::size_t> next_;
};

std::u16string Refusal(const ImportItem& item) {
  if (!item.refusal.empty()) return item.refusal;
  if (item.url.empty()) return u"no address";
  if (HasControl(item.url)) return u"the address holds a line break or another control character";
  if (!item.url.starts_with(u"http://") && !item.url.starts_with(u"https://")) {
    return u"not an http:// or https:// address";
  }
  if (item.url.size() > kMaxUrlLength) return u"longer than the 1,023 characters an entry keeps";
  if (item.mode != kModeDownload && item.mode != kModeScript) {
    const std::string mode = std::to_string(item.mode);
    return u"unknown check mode " + std::u16string(mode.begin(), mode.end());
  }
  return {};
}

}  // namespace

std::optional<ImportSource> ReadImportFile(std::string_view bytes, std::u16string_view fileName,
                                           std::string& error) {
  error.clear();
  const std::optional<std::string_view> text = CheckText(bytes, error);
  if (!text) return std::nullopt;
  std::optional<ImportSource> source;
  switch (GuessFormat(*text, fileName)) {
    case ImportFormat::kExport:
      source = ReadExport(*text, error);
      break;
    case ImportFormat::kCsv:
      source = ReadCsv(*text, error);
      break;
    case ImportFormat::kText:
      source = ReadText(*text);
      break;
  }
  if (!source) return std::nullopt;
  if (source->items.empty() && !source->settings) {
    error = "The file holds no addresses.";
    return std::nullopt;
  }
  return source;
}

std::u16string HostOf(std::u16string_view url) {
  const std::size_t scheme = url.find(u"://");
  if (scheme == std::u16string_view::npos) return {};
  std::u16string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of(u"/?#"));
  if (const std::size_t at = rest.rfind(u'@'); at != std::u16string_view::npos) {
    rest.remove_prefix(at + 1);
  }
  if (rest.starts_with(u'[')) {
    const std::size_t close = rest.find(u']');
    return std::u16string(close == std::u16string_view::npos ? rest : rest.substr(0, close + 1));
  }
  return std::u16string(rest.substr(0, rest.find(u':')));
}

std::vector<StoredName> StoredNames(SettingsStore& store) {
  std::vector<StoredName> names;
  (void)WalkUrlEntries(store, [&](const UrlEntry& entry) {
    names.push_back({EntryTitle(entry), EntryUrl(entry)});
  });
  return names;
}

std::vector<ImportRow> PlanImport(const std::vector<ImportItem>& items,
                                  const std::vector<StoredName>& stored) {
  TitlePool pool;
  std::unordered_map<std::u16string, std::u16string> storedByFold;
  std::unordered_map<std::u16string, std::u16string> storedByUrl;
  for (const StoredName& name : stored) {
    pool.Take(name.title);
    storedByFold.emplace(FoldTitle(name.title), name.title);
    storedByUrl.emplace(name.url, name.title);
  }
  // Stored titles that a row already replaces or skips: a second row on the
  // same title is added under a title of its own instead.
  std::unordered_set<std::u16string> claimed;
  std::unordered_map<std::u16string, std::size_t> lineOfUrl;

  std::vector<ImportRow> rows;
  rows.reserve(items.size());
  for (const ImportItem& item : items) {
    ImportRow row;
    row.line = item.line;
    row.url = item.url;
    row.mode = item.mode;
    row.sizeLimit = item.sizeLimit;
    row.enabled = item.enabled != 0 ? 1 : 0;
    row.title = CutWhole(CleanTitle(item.title), kMaxTitleLength);
    row.why = Refusal(item);
    const bool untitled = row.title.empty();
    if (row.why.empty() && untitled) {
      if (auto seen = lineOfUrl.find(item.url); seen != lineOfUrl.end()) {
        row.why = u"the same address as line " + NumberText(seen->second);
      } else if (HostOf(item.url).empty()) {
        row.why = u"no host name to title it by";
      }
    }
    if (!row.why.empty()) {
      row.status = ImportStatus::kRefused;
      rows.push_back(std::move(row));
      continue;
    }
    lineOfUrl.emplace(item.url, item.line);
    std::optional<std::u16string> existing;
    if (untitled) {
      if (auto hit = storedByUrl.find(item.url); hit != storedByUrl.end()) existing = hit->second;
    } else if (auto hit = storedByFold.find(FoldTitle(row.title)); hit != storedByFold.end()) {
      existing = hit->second;
    }
    if (existing && claimed.insert(FoldTitle(*existing)).second) {
      row.status = ImportStatus::kExists;
      if (untitled) row.title = *existing;
      row.newTitle = pool.Unique(untitled ? HostOf(item.url) : row.title);
    } else {
      row.status = ImportStatus::kAdd;
      row.title = pool.Unique(untitled ? HostOf(item.url) : row.title);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::u16string TitleToStore(const ImportRow& row) {
  switch (row.status) {
    case ImportStatus::kAdd:
      return row.title;
    case ImportStatus::kRefused:
      return {};
    case ImportStatus::kExists:
      if (row.choice == ExistsChoice::kReplace) return row.title;
      if (row.choice == ExistsChoice::kAddAsNew) return row.newTitle;
      return {};
  }
  return {};
}

UrlEntry EntryForRow(const ImportRow& row, const std::u16string& title) {
  UrlEntry entry;
  InitUrlEntry(entry);
  entry.enabled = row.enabled;
  SetEntryTitle(entry, title);
  SetEntryUrl(entry, row.url);
  entry.mode = row.mode;
  entry.sizeLimit = row.sizeLimit;
  return entry;
}

std::vector<std::u16string> TakeImportedSettings(SettingsStore& store,
                                                 const ExportedSettings& settings) {
  std::vector<std::u16string> failed;
  for (const auto& [setting, value] : settings.ints) {
    if (!WriteSetting(store, setting, value)) failed.emplace_back(setting.name);
  }
  for (const auto& [setting, value] : settings.strings) {
    if (!WriteSetting(store, setting, value)) failed.emplace_back(setting.name);
  }
  return failed;
}

}  // namespace halvern
