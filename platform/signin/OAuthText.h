#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The text forms of OAuth 2.0 for native applications: form and query encoding, the PKCE pair
// and the claims of an ID token (base64url is core/common's Base64::encodeURL).
namespace tolvane::OAuthText {

// Every byte but the unreserved characters as %XX (upper-case digits).
std::string percentEncoded(std::string_view text);
// "name=value&..." with both sides percent-encoded, in the order given.
std::string formEncoded(const std::vector<std::pair<std::string, std::string>>& fields);
// The items of a query or form body; "+" is a space; a name given twice keeps its first value.
// Nothing when a percent escape is malformed.
std::optional<std::map<std::string, std::string>> parseQuery(std::string_view query);

// Fresh random bytes from the system's generator, base64url-encoded.
std::string randomToken(std::size_t bytes);
// A PKCE code verifier: 32 random bytes, 43 characters.
std::string codeVerifier();
// The S256 challenge of a verifier: base64url(SHA-256(verifier)).
std::string codeChallenge(std::string_view verifier);

// The claims the sign-in needs from an ID token.
struct IDTokenClaims {
    std::string subject;
    std::optional<std::string> email;
    std::string audience;
};
// Reads the payload of a compact JWT. Its signature is not checked: the token comes straight
// from the token endpoint over a verified TLS connection, which is what vouches for it. Nothing
// for a token that is not three parts, whose payload is not a JSON object, or that lacks "sub"
// or "aud".
std::optional<IDTokenClaims> decodeIDToken(std::string_view token);

}  // namespace tolvane::OAuthText
