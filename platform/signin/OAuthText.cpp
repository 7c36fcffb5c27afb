#include "platform/signin/OAuthText.h"

#include <openssl/rand.h>

#include <stdexcept>

#include "core/common/Base64.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/StrictJson.h"

namespace tolvane::OAuthText {

namespace {

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int high = HexString::digitValue(text[i + 1]);
            const int low = HexString::digitValue(text[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return out;
}

}  // namespace

std::string percentEncoded(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else {
            out += {'%', digits[byte >> 4], digits[byte & 0x0f]};
        }
    }
    return out;
}

std::string formEncoded(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& [name, value] : fields) {
        out += (out.empty() ? "" : "&") + percentEncoded(name) + "=" + percentEncoded(value);
    }
    return out;
}

std::optional<std::map<std::string, std::string>> parseQuery(std::string_view query) {
    std::map<std::string, std::string> items;
    while (!query.empty()) {
        const std::size_t end = query.find('&');
        const std::string_view item = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view{} : query.substr(end + 1);
        if (item.empty()) {
            continue;
        }
        const std::size_t equals = item.find('=');
        const auto name = percentDecoded(item.substr(0, equals));
        const auto value = percentDecoded(
            equals == std::string_view::npos ? std::string_view{} : item.substr(equals + 1));
        if (!name || !value) {
            return std::nullopt;
        }
        items.emplace(*name, *value);
    }
    return items;
}

std::string randomToken(std::size_t bytes) {
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1) {
        throw std::runtime_error("no random bytes for the sign-in");
    }
    return Base64::encodeURL(raw);
}

std::string codeVerifier() {
    return randomToken(32);
}

std::string codeChallenge(std::string_view verifier) {
    const Sha256::Value digest = Sha256::of(verifier);
    return Base64::encodeURL(
        std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::optional<IDTokenClaims> decodeIDToken(std::string_view token) {
    const std::size_t first = token.find('.');
    const std::size_t second = first == std::string_view::npos ? first : token.find('.', first + 1);
    if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    const auto payload = Base64::decodeURL(token.substr(first + 1, second - first - 1));
    if (!payload) {
        return std::nullopt;
    }
    try {
        const StrictJson::Value object = StrictJson::parseObject(*payload);
        const StrictJson::ObjectReader claims(object);
        IDTokenClaims result{claims.text("sub"), claims.optionalText("email"), claims.text("aud")};
        if (result.subject.empty()) {
            return std::nullopt;
        }
        return result;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace tolvane::OAuthText
