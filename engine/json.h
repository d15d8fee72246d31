#pragma once
// A small JSON reader and the quoting of the writer, for the program's own
// export files. The reader takes UTF-8 text (RFC 8259) and refuses what a
// hostile file may bring: nesting deeper than 64, a name twice in one object,
// unpaired surrogate escapes, control characters inside strings, anything
// after the value.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvern::json {

struct Member;

struct Value {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  // A number written without fraction or exponent that fits 64 bits is an
  // integer; every number also has its double value.
  bool isInteger = false;
  std::int64_t integer = 0;
  double number = 0;
  std::string text;  // UTF-8
  std::vector<Value> items;
  // In the order written. Member is complete only below: a vector may hold a
  // type that is not complete yet, a pair may not.
  std::vector<Member> members;

  // The member of an object named `name`, or nullptr.
  const Value* Find(std::string_view name) const;
};

struct Member {
  std::string name;
  Value value;
};

struct ParseError {
  std::size_t line = 0;    // 1-based
  std::size_t column = 0;  // 1-based, in bytes
  std::string what;
};

inline constexpr int kMaxDepth = 64;

// The value of the whole text, or nothing with where and why it is malformed.
// `text` must be valid UTF-8 (utf8.h checks it first).
std::optional<Value> Parse(std::string_view text, ParseError& error);

// `utf8` as a JSON string literal with its quotes. Control characters, the
// quote and the backslash are escaped; everything else is written as it is.
std::string Quote(std::string_view utf8);

}  // namespace halvern::json
