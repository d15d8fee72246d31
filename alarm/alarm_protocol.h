#pragma once
// The line protocol between Halvern's timed-run service and HalvernAlarm, the
// helper that holds the wake-up alarm. Shared by both programs as this one
// header: plain C++, no Qt, no project library, so the helper stays small.
//
// Halvern starts the helper as `HalvernAlarm <program folder> <Halvern's pid>`
// with one end of a Unix stream socket as its standard input; everything else
// travels over that socket as lines ending in '\n'.
//
//   helper -> Halvern, once, first:
//     alarm 1              it holds a CLOCK_REALTIME_ALARM timer and serves
//     alarm 0 <why>        it cannot; it ends, and Halvern keeps its bookings
//   Halvern -> helper:
//     env <NAME=VALUE>     one variable of the environment the started
//                          programs get (the helper's own is cut down by the
//                          kernel's secure-execution mode)
//     book <key> <ms> <file>
//                          start <program folder>/<file> at <ms> (UTC
//                          milliseconds since 1970); replaces the pending
//                          booking of <key>. <file> is kLauncherFile: the
//                          helper starts no other program
//     cancel <key>         drops the pending booking of <key>, if any
//   helper -> Halvern:
//     fired <key> <ms> <pid>
//                          booking <key> at <ms> came due and was started:
//                          the child's pid, or -errno when it could not be
//     refused <why>        a line was malformed, or booked another program,
//                          and had no effect
//
// Every field is percent-encoded: each byte outside '!'..'~', and '%' itself,
// is written as %XX (two upper-case hex digits), so a field never holds a
// space, a line end or a NUL. A line is at most kMaxLine bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvern::alarm {

// The one program the helper starts, from its program folder.
inline constexpr char kLauncherFile[] = "HalvernRun";

inline constexpr std::size_t kMaxLine = 16384;
inline constexpr std::size_t kMaxKey = 4096;
inline constexpr std::size_t kMaxFile = 255;
inline constexpr std::size_t kMaxBookings = 256;
inline constexpr std::size_t kMaxEnv = 1024;
// Far beyond the year 9999 even with a UTC offset, far inside time_t.
inline constexpr std::int64_t kMaxMs = 1'000'000'000'000'000;

inline std::string Encode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b > ' ' && b <= '~' && b != '%') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  return out;
}

namespace detail {
inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace detail

// Nothing for a byte that should have been encoded, a broken escape or a NUL.
inline std::optional<std::string> Decode(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto b = static_cast<unsigned char>(field[i]);
    if (b <= ' ' || b > '~') return std::nullopt;
    if (b != '%') {
      out.push_back(field[i]);
      continue;
    }
    if (i + 2 >= field.size()) return std::nullopt;
    const int hi = detail::HexValue(field[i + 1]);
    const int lo = detail::HexValue(field[i + 2]);
    if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

// A bare file name: no folder part, not "." or "..".
inline bool IsBareFile(std::string_view file) {
  return !file.empty() && file.size() <= kMaxFile && file != "." && file != ".." &&
         file.find('/') == std::string_view::npos;
}

// A decimal count of milliseconds, optionally negative, within +-kMaxMs.
inline std::optional<std::int64_t> ParseMs(std::string_view text) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 16) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > kMaxMs) return std::nullopt;
  return negative ? -value : value;
}

// The space-separated words of a line; nothing when two spaces meet or the
// line starts or ends with one.
inline std::optional<std::vector<std::string_view>> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = line.find(' ', start);
    const std::string_view word = line.substr(start, space - start);
    if (word.empty()) return std::nullopt;
    words.push_back(word);
    if (space == std::string_view::npos) return words;
    start = space + 1;
  }
}

struct Command {
  enum class Kind { kEnv, kBook, kCancel };
  Kind kind = Kind::kCancel;
  std::string key;      // book, cancel
  std::int64_t ms = 0;  // book
  std::string file;     // book
  std::string env;      // env: NAME=VALUE
};

// One line from Halvern without its '\n'; nothing when it is malformed.
inline std::optional<Command> ParseCommand(std::string_view line) {
  if (line.size() > kMaxLine) return std::nullopt;
  const auto words = Words(line);
  if (!words) return std::nullopt;
  const auto& w = *words;
  Command command;
  if (w[0] == "env" && w.size() == 2) {
    auto env = Decode(w[1]);
    if (!env || env->find('=') == std::string::npos || env->front() == '=') return std::nullopt;
    command.kind = Command::Kind::kEnv;
    command.env = std::move(*env);
    return command;
  }
  if ((w[0] != "book" || w.size() != 4) && (w[0] != "cancel" || w.size() != 2)) {
    return std::nullopt;
  }
  auto key = Decode(w[1]);
  if (!key || key->empty() || key->size() > kMaxKey) return std::nullopt;
  command.key = std::move(*key);
  if (w[0] == "cancel") return command;
  const auto ms = ParseMs(w[2]);
  auto file = Decode(w[3]);
  if (!ms || !file || !IsBareFile(*file)) return std::nullopt;
  command.kind = Command::Kind::kBook;
  command.ms = *ms;
  command.file = std::move(*file);
  return command;
}

inline std::string FormatEnv(std::string_view entry) { return "env " + Encode(entry) + "\n"; }

inline std::string FormatBook(std::string_view key, std::int64_t ms, std::string_view file) {
  return "book " + Encode(key) + " " + std::to_string(ms) + " " + Encode(file) + "\n";
}

inline std::string FormatCancel(std::string_view key) { return "cancel " + Encode(key) + "\n"; }

inline std::string FormatFired(std::string_view key, std::int64_t ms, long pidOrError) {
  return "fired " + Encode(key) + " " + std::to_string(ms) + " " + std::to_string(pidOrError) +
         "\n";
}

// The helper's first line: whether it holds the alarm clock. Nothing for
// anything but a greeting.
inline std::optional<bool> ParseGreeting(std::string_view line) {
  if (line == "alarm 1") return true;
  if (line == "alarm 0" || line.substr(0, 8) == "alarm 0 ") return false;
  return std::nullopt;
}

struct Reply {
  enum class Kind { kFired, kRefused };
  Kind kind = Kind::kRefused;
  std::string key;
  std::int64_t ms = 0;
  long pidOrError = 0;
};

// One line from the helper after its greeting; nothing when it is malformed.
inline std::optional<Reply> ParseReply(std::string_view line) {
  const auto words = Words(line);
  if (!words) return std::nullopt;
  const auto& w = *words;
  Reply reply;
  if (w[0] == "refused") return reply;
  if (w[0] != "fired" || w.size() != 4) return std::nullopt;
  auto key = Decode(w[1]);
  const auto ms = ParseMs(w[2]);
  const auto pid = ParseMs(w[3]);
  if (!key || key->empty() || !ms || !pid || *pid > 0x7fffffff || *pid < -4096) {
    return std::nullopt;
  }
  reply.kind = Reply::Kind::kFired;
  reply.key = std::move(*key);
  reply.ms = *ms;
  reply.pidOrError = static_cast<long>(*pid);
  return reply;
}

}  // namespace halvern::alarm
