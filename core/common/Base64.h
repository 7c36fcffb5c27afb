#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvane::Base64 {

// Standard Base64 with padding, the text form of byte fields in stored JSON records. Decoding is
// strict: no whitespace, the length a multiple of four, padding only at the end and unused bits
// zero; anything else gives no value.
std::string encode(std::string_view bytes);
std::optional<std::string> decode(std::string_view text);

// The URL alphabet ("-" and "_") without padding, as OAuth and JSON Web Tokens use it; decoding
// is as strict, and padding or the standard alphabet's "+" and "/" give no value.
std::string encodeURL(std::string_view bytes);
std::optional<std::string> decodeURL(std::string_view text);

}  // namespace tolvane::Base64
