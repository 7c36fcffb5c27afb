#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tolvane {

// Lowercase hexadecimal rendering of digests.
namespace HexString {

// Two characters per byte, high nibble first, from "0123456789abcdef"; no separators.
std::string encode(std::span<const std::uint8_t> bytes);

// The value of one hexadecimal digit of either case, or -1 for any other character.
int digitValue(char c) noexcept;

// Exactly 64 characters, each 0-9 or a-f.
bool isLowercaseSHA256(std::string_view text) noexcept;

}  // namespace HexString
}  // namespace tolvane
