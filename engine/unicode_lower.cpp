#include "unicode_lower.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace halvern {
namespace {

// Code points first..last, every `step` apart, whose lower case is the code
// point plus `offset`.
struct LowerRun {
  char32_t first;
  char32_t last;
  std::int32_t offset;
  std::uint32_t step;
};

constexpr LowerRun kLowerRuns[] = {
#include "lower_case_table.inc"
};

constexpr char32_t kCapitalIWithDot = 0x0130;
constexpr char16_t kCombiningDotAbove = 0x0307;

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

void AppendCodePoint(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
    return;
  }
  c -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
}

}  // namespace

char32_t LowerCaseOf(char32_t c) {
  if (c < 0x80) return (c >= U'A' && c <= U'Z') ? c + 32 : c;
  // The last run that starts at or before `c`.
  const auto after =
      std::upper_bound(std::begin(kLowerRuns), std::end(kLowerRuns), c,
                       [](char32_t v, const LowerRun& run) { return v < run.first; });
  if (after == std::begin(kLowerRuns)) return c;
  const LowerRun& run = *std::prev(after);
  if (c > run.last || (c - run.first) % run.step != 0) return c;
  return static_cast<char32_t>(static_cast<std::int32_t>(c) + run.offset);
}

std::u16string LowerCaseText(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      c = 0x10000 + ((char32_t{text[i]} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00);
      ++i;
    }
    if (c == kCapitalIWithDot) {
      out.push_back(u'i');
      out.push_back(kCombiningDotAbove);
      continue;
    }
    AppendCodePoint(out, LowerCaseOf(c));
  }
  return out;
}

}  // namespace halvern
