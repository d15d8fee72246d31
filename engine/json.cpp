#include "json.h"

#include <charconv>
#include <unordered_set>

#include "utf8.h"

namespace halvern::json {
namespace {

class Parser {
 public:
  Parser(std::string_view text, ParseError& error) : s_(text), error_(error) {}

  std::optional<Value> Document() {
    Value value;
    SkipBlanks();
    if (!ParseValue(value, 0)) return std::nullopt;
    SkipBlanks();
    if (at_ != s_.size()) return Fail("unexpected text after the end of the data");
    return value;
  }

 private:
  std::nullopt_t Fail(std::string what) {
    if (error_.what.empty()) {
      std::size_t line = 1;
      std::size_t lineStart = 0;
      for (std::size_t i = 0; i < at_ && i < s_.size(); ++i) {
        if (s_[i] == '\n') ++line, lineStart = i + 1;
      }
      error_.line = line;
      error_.column = at_ - lineStart + 1;
      error_.what = std::move(what);
    }
    return std::nullopt;
  }
  bool Failed(std::string what) {
    Fail(std::move(what));
    return false;
  }

  void SkipBlanks() {
    while (at_ < s_.size() &&
           (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) {
      ++at_;
    }
  }

  bool Literal(std::string_view word) {
    if (s_.substr(at_, word.size()) != word) return Failed("unexpected character");
    at_ += word.size();
    return true;
  }

  bool ParseValue(Value& value, int depth) {
    if (at_ >= s_.size()) return Failed("the data ends where a value should be");
    switch (s_[at_]) {
      case '{':
        return ParseObject(value, depth + 1);
      case '[':
        return ParseArray(value, depth + 1);
      case '"':
        value.kind = Value::Kind::kString;
        return ParseString(value.text);
      case 't':
        value.kind = Value::Kind::kBool;
        value.boolean = true;
        return Literal("true");
      case 'f':
        value.kind = Value::Kind::kBool;
        return Literal("false");
      case 'n':
        value.kind = Value::Kind::kNull;
        return Literal("null");
      default:
        return ParseNumber(value);
    }
  }

  bool ParseObject(Value& value, int depth) {
    if (depth > kMaxDepth) return Failed("the data is nested too deeply");
    value.kind = Value::Kind::kObject;
    ++at_;
    SkipBlanks();
    if (at_ < s_.size() && s_[at_] == '}') {
      ++at_;
      return true;
    }
    std::unordered_set<std::string> names;
    for (;;) {
      SkipBlanks();
      if (at_ >= s_.size() || s_[at_] != '"') return Failed("a name in quotes was expected");
      std::string name;
      const std::size_t nameAt = at_;
      if (!ParseString(name)) return false;
      if (!names.insert(name).second) {
        at_ = nameAt;
        return Failed("the name \"" + name + "\" appears twice");
      }
      SkipBlanks();
      if (at_ >= s_.size() || s_[at_] != ':') return Failed("':' was expected");
      ++at_;
      SkipBlanks();
      Value member;
      if (!ParseValue(member, depth)) return false;
      value.members.push_back(Member{std::move(name), std::move(member)});
      SkipBlanks();
      if (at_ < s_.size() && s_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < s_.size() && s_[at_] == '}') {
        ++at_;
        return true;
      }
      return Failed("',' or '}' was expected");
    }
  }

  bool ParseArray(Value& value, int depth) {
    if (depth > kMaxDepth) return Failed("the data is nested too deeply");
    value.kind = Value::Kind::kArray;
    ++at_;
    SkipBlanks();
    if (at_ < s_.size() && s_[at_] == ']') {
      ++at_;
      return true;
    }
    for (;;) {
      SkipBlanks();
      Value item;
      if (!ParseValue(item, depth)) return false;
      value.items.push_back(std::move(item));
      SkipBlanks();
      if (at_ < s_.size() && s_[at_] == ',') {
        ++at_;
        continue;
      }
      if (at_ < s_.size() && s_[at_] == ']') {
        ++at_;
        return true;
      }
      return Failed("',' or ']' was expected");
    }
  }

  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Four hex digits after "\u".
  bool Hex4(char32_t& unit) {
    if (at_ + 4 > s_.size()) return Failed("an escape \\u needs four hex digits");
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = HexValue(s_[at_ + i]);
      if (digit < 0) return Failed("an escape \\u needs four hex digits");
      unit = (unit << 4) | static_cast<char32_t>(digit);
    }
    at_ += 4;
    return true;
  }

  bool ParseString(std::string& out) {
    ++at_;  // the opening quote
    for (;;) {
      if (at_ >= s_.size()) return Failed("a text in quotes is not closed");
      const char c = s_[at_];
      if (c == '"') {
        ++at_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        return Failed("a control character stands inside quotes");
      }
      if (c != '\\') {
        out.push_back(c);
        ++at_;
        continue;
      }
      ++at_;
      if (at_ >= s_.size()) return Failed("a text in quotes is not closed");
      const char escape = s_[at_++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out.push_back(escape);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          char32_t unit = 0;
          if (!Hex4(unit)) return false;
          if (unit >= 0xDC00 && unit <= 0xDFFF) return Failed("an unpaired surrogate escape");
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            char32_t low = 0;
            if (s_.substr(at_, 2) != "\\u") return Failed("an unpaired surrogate escape");
            at_ += 2;
            if (!Hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Failed("an unpaired surrogate escape");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(out, unit);
          break;
        }
        default:
          --at_;
          return Failed("an unknown escape after '\\'");
      }
    }
  }

  bool ParseNumber(Value& value) {
    const std::size_t start = at_;
    const auto digits = [&] {
      const std::size_t from = at_;
      while (at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9') ++at_;
      return at_ - from;
    };
    const auto digitAt = [&] { return at_ < s_.size() && s_[at_] >= '0' && s_[at_] <= '9'; };
    if (!digitAt() && (at_ >= s_.size() || s_[at_] != '-')) return Failed("a value was expected");
    if (s_[at_] == '-') ++at_;
    if (!digitAt()) return Failed("a digit was expected after '-'");
    if (s_[at_] == '0') {
      ++at_;
    } else {
      digits();
    }
    bool integral = true;
    if (at_ < s_.size() && s_[at_] == '.') {
      integral = false;
      ++at_;
      if (digits() == 0) return Failed("a digit was expected after '.'");
    }
    if (at_ < s_.size() && (s_[at_] == 'e' || s_[at_] == 'E')) {
      integral = false;
      ++at_;
      if (at_ < s_.size() && (s_[at_] == '+' || s_[at_] == '-')) ++at_;
      if (digits() == 0) return Failed("a digit was expected in the exponent");
    }
    // from_chars reads the same whatever the process's locale.
    const char* first = s_.data() + start;
    const char* last = s_.data() + at_;
    value.kind = Value::Kind::kNumber;
    std::from_chars(first, last, value.number);
    if (integral) {
      std::int64_t parsed = 0;
      const auto [end, ec] = std::from_chars(first, last, parsed);
      if (ec == std::errc() && end == last) {
        value.isInteger = true;
        value.integer = parsed;
      }
    }
    return true;
  }

  std::string_view s_;
  ParseError& error_;
  std::size_t at_ = 0;
};

}  // namespace

const Value* Value::Find(std::string_view name) const {
  for (const auto& [key, member] : members) {
    if (key == name) return &member;
  }
  return nullptr;
}

std::optional<Value> Parse(std::string_view text, ParseError& error) {
  error = {};
  return Parser(text, error).Document();
}

std::string Quote(std::string_view utf8) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(utf8.size() + 2);
  out.push_back('"');
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out += "\\u00";
          out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace halvern::json
