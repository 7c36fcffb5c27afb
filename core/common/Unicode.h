#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tolvane {

// The few Unicode operations the core needs, over ICU. Text is UTF-8 in std::string.
//
// Functions other than isValidUTF8 expect valid UTF-8. They never crash on anything else: an
// ill-formed sequence is read as U+FFFD (one per maximal ill-formed subpart), so converted text is
// always valid UTF-8; truncateToGraphemes alone returns a prefix of its input as it is. Callers
// that must refuse such names check isValidUTF8 first.
namespace Unicode {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated sequence.
bool isValidUTF8(std::string_view text) noexcept;

// True when every byte is below 0x80.
bool isASCII(std::string_view text) noexcept;

// Canonical composition (NFC).
std::string toNFC(std::string_view text);

// Full default case folding (ß → ss), locale-neutral; diacritics are kept.
std::string foldCase(std::string_view text);

// Full upper-case mapping in the root locale (no Turkic or other language rules).
std::string toUpper(std::string_view text);

// General categories Cc and Cf; false for anything that is not a Unicode scalar value.
bool isControlOrFormat(char32_t scalar) noexcept;
bool containsControlOrFormat(std::string_view text) noexcept;

// The longest prefix made of whole extended grapheme clusters that fits in maxBytes bytes; empty
// when even the first cluster does not fit.
std::string truncateToGraphemes(std::string_view text, std::size_t maxBytes);

// The text with U+FFFD in place of each ill-formed sequence, as toUTF32 reads it: how a name
// that is only bytes (an archive saved under a legacy code page) is shown and recorded. Valid
// text comes back unchanged.
std::string replacingIllFormed(std::string_view text);

// Scalar values of the text, and back. fromUTF32 writes U+FFFD for a surrogate or a value above
// U+10FFFF.
std::u32string toUTF32(std::string_view text);
std::string fromUTF32(std::u32string_view scalars);

}  // namespace Unicode
}  // namespace tolvane
