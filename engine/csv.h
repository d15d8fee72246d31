#pragma once
// Comma-separated values as RFC 4180 writes them: fields in double quotes may
// hold commas, line breaks and doubled quotes; lines end in CR LF, LF or CR.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvern::csv {

struct Record {
  std::vector<std::string> fields;
  std::size_t line = 0;  // 1-based line on which the record begins
};

struct Error {
  std::size_t line = 0;
  std::string what;
};

// Every record of `text` (UTF-8, no byte order mark). `separator` is ',' for
// RFC 4180; files from spreadsheets set to some languages use ';'. A line
// with nothing on it is no record. Nothing, with the line, when a quoted field
// is not closed or a closing quote is followed by something else than a
// separator or a line end.
std::optional<std::vector<Record>> Parse(std::string_view text, char separator, Error& error);

// The separator of a file whose first line is `header`: ',' unless the line
// holds none outside quotes and holds ';' or a tab.
char GuessSeparator(std::string_view header);

// One field, quoted when it holds a separator, a quote or a line break (and
// only then), with its quotes doubled.
std::string Field(std::string_view text);
// A whole line: the fields joined by commas, ended by CR LF.
std::string Line(const std::vector<std::string>& fields);

}  // namespace halvern::csv
