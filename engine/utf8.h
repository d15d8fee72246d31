#pragma once
// UTF-8 text as files bring it: strict validation and conversion to and from
// the UTF-16 that the store and the records hold.

#include <cstddef>
#include <string>
#include <string_view>

namespace halvern {

// Whether `bytes` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing beyond U+10FFFF, no sequence cut short. On false, `badOffset` (when
// given) is the offset of the first byte that is not part of a sound sequence.
bool IsValidUtf8(std::string_view bytes, std::size_t* badOffset = nullptr);

// Converts well-formed UTF-8; a malformed sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
// An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);
// Appends the UTF-8 form of code point `c` (at most U+10FFFF).
void AppendUtf8(std::string& out, char32_t c);

}  // namespace halvern
