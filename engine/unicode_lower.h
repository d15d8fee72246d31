#pragma once
// Unicode lower case of UTF-16 text, the full mapping without regard to
// language (Unicode 14.0): every code point takes its lower case from the
// Unicode data, U+0130 becomes "i" followed by U+0307, surrogate pairs map as
// the code point they encode, and unpaired surrogates stay as they are.

#include <string>
#include <string_view>

namespace halvern {

// The single-code-point lower case of `c`; `c` itself when it has none.
char32_t LowerCaseOf(char32_t c);
std::u16string LowerCaseText(std::u16string_view text);

}  // namespace halvern
