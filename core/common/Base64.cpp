#include "core/common/Base64.h"

#include <array>
#include <cstdint>

namespace tolvane::Base64 {

namespace {

constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) noexcept {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

}  // namespace

std::string encode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group =
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
            static_cast<unsigned char>(bytes[i + 2]);
        text.push_back(base64Alphabet[group >> 18 & 0x3f]);
        text.push_back(base64Alphabet[group >> 12 & 0x3f]);
        text.push_back(base64Alphabet[group >> 6 & 0x3f]);
        text.push_back(base64Alphabet[group & 0x3f]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]))
                              << 16;
        if (rest == 2) {
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        text.push_back(base64Alphabet[group >> 18 & 0x3f]);
        text.push_back(base64Alphabet[group >> 12 & 0x3f]);
        text.push_back(rest == 2 ? base64Alphabet[group >> 6 & 0x3f] : '=');
        text.push_back('=');
    }
    return text;
}

std::optional<std::string> decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::size_t padding = 0;
        if (last) {
            padding = text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0;
        }
        std::array<int, 4> values{};
        for (std::size_t j = 0; j < 4 - padding; ++j) {
            values[j] = base64Value(text[i + j]);
            if (values[j] < 0) {
                return std::nullopt;
            }
        }
        const std::uint32_t group = static_cast<std::uint32_t>(values[0]) << 18 |
                                    static_cast<std::uint32_t>(values[1]) << 12 |
                                    static_cast<std::uint32_t>(values[2]) << 6 |
                                    static_cast<std::uint32_t>(values[3]);
        // Bits beyond the last whole byte must be zero, so every byte string has one text.
        if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0)) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(group >> 16 & 0xff));
        if (padding < 2) {
            bytes.push_back(static_cast<char>(group >> 8 & 0xff));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<char>(group & 0xff));
        }
    }
    return bytes;
}

std::string encodeURL(std::string_view bytes) {
    std::string text = encode(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return text;
}

std::optional<std::string> decodeURL(std::string_view text) {
    if (text.size() % 4 == 1 || text.find_first_of("+/=") != std::string_view::npos) {
        return std::nullopt;
    }
    std::string standard(text);
    for (char& c : standard) {
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    standard.append((4 - standard.size() % 4) % 4, '=');
    return decode(standard);
}

}  // namespace tolvane::Base64
