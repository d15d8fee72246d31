#include "csv.h"

namespace halvern::csv {

std::optional<std::vector<Record>> Parse(std::string_view text, char separator, Error& error) {
  std::vector<Record> records;
  std::size_t line = 1;
  std::size_t at = 0;
  const auto lineEndAt = [&](std::size_t i) { return text[i] == '\n' || text[i] == '\r'; };
  // Steps over one line end (CR LF counts as one).
  const auto skipLineEnd = [&] {
    if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ++at;
    ++at;
    ++line;
  };
  while (at < text.size()) {
    Record record;
    record.line = line;
    bool lineDone = false;
    while (!lineDone) {
      std::string field;
      if (at < text.size() && text[at] == '"') {
        const std::size_t openedOn = line;
        ++at;
        for (;;) {
          if (at >= text.size()) {
            error = {openedOn, "a field in quotes is not closed"};
            return std::nullopt;
          }
          if (text[at] == '"') {
            if (at + 1 < text.size() && text[at + 1] == '"') {
              field.push_back('"');
              at += 2;
              continue;
            }
            ++at;
            break;
          }
          if (text[at] == '\n' || (text[at] == '\r')) {
            // A line break inside quotes belongs to the field, as LF.
            if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ++at;
            field.push_back('\n');
            ++at;
            ++line;
            continue;
          }
          field.push_back(text[at++]);
        }
        if (at < text.size() && text[at] != separator && !lineEndAt(at)) {
          error = {line, "a closing quote is followed by other text"};
          return std::nullopt;
        }
      } else {
        while (at < text.size() && text[at] != separator && !lineEndAt(at)) {
          field.push_back(text[at++]);
        }
      }
      record.fields.push_back(std::move(field));
      if (at < text.size() && text[at] == separator) {
        ++at;
        continue;
      }
      lineDone = true;
      if (at < text.size()) skipLineEnd();
    }
    const bool empty = record.fields.size() == 1 && record.fields[0].empty();
    if (!empty) records.push_back(std::move(record));
  }
  return records;
}

char GuessSeparator(std::string_view header) {
  bool quoted = false;
  bool semicolon = false;
  bool tab = false;
  for (const char c : header) {
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    if (c == '\n' || c == '\r') break;
    if (c == ',') return ',';
    if (c == ';') semicolon = true;
    if (c == '\t') tab = true;
  }
  if (semicolon) return ';';
  if (tab) return '\t';
  return ',';
}

std::string Field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string Line(const std::vector<std::string>& fields) {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) out.push_back(',');
    out += Field(fields[i]);
  }
  out += "\r\n";
  return out;
}

}  // namespace halvern::csv
