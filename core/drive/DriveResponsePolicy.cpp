#include "core/drive/DriveResponsePolicy.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <random>
#include <system_error>

#include "core/common/StrictJson.h"

namespace tolvane::DriveResponsePolicy {
namespace {

constexpr std::uint64_t nanosecondsPerSecond = 1'000'000'000;
constexpr double longestServerWaitSeconds = 60.0;
constexpr int longestBackoffShift = 5;

// The server's wait in seconds, when it is given as a number; the date form is not read.
std::optional<double> retryAfterSeconds(const DriveHTTPResponse& response) {
    const std::optional<std::string> header = response.header("Retry-After");
    if (!header) {
        return std::nullopt;
    }
    std::string_view text = *header;
    // from_chars refuses the leading "+" that a general number parse allows.
    if (text.size() > 1 && text.front() == '+' && text[1] != '-' && text[1] != '+') {
        text.remove_prefix(1);
    }
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || !std::isfinite(value) || value < 0) {
        return std::nullopt;
    }
    return value;
}

bool isDecimalDigit(char c) noexcept {
    return c >= '0' && c <= '9';
}

// Decimal digits after an optional "+"; no sign, blank or overflow.
std::optional<std::uint64_t> parseCount(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    std::uint64_t value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || stop != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

bool isSchemeCharacter(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || isDecimalDigit(c) || c == '+' ||
           c == '-' || c == '.';
}

bool isRateLimit(const std::optional<std::string>& reason) noexcept {
    return reason && (*reason == "rateLimitExceeded" || *reason == "userRateLimitExceeded");
}

}  // namespace

std::uint64_t systemJitter(std::uint64_t upperBound) {
    std::random_device device;
    std::uniform_int_distribution<std::uint64_t> distribution(0, upperBound);
    return distribution(device);
}

std::optional<std::string> failureReason(const DriveHTTPResponse& response) {
    StrictJson::Value body;
    try {
        body = StrictJson::parseObject(response.body);
    } catch (const StrictJson::DecodeError&) {
        return std::nullopt;
    }
    const auto error = body.find("error");
    if (error == body.end() || !error->is_object()) {
        return std::nullopt;
    }
    const auto errors = error->find("errors");
    if (errors == error->end() || !errors->is_array()) {
        return std::nullopt;
    }
    for (const StrictJson::Value& entry : *errors) {
        if (!entry.is_object()) {
            return std::nullopt;
        }
    }
    for (const StrictJson::Value& entry : *errors) {
        const auto reason = entry.find("reason");
        if (reason != entry.end() && reason->is_string()) {
            return reason->get<std::string>();
        }
    }
    return std::nullopt;
}

bool isTransient(const DriveHTTPResponse& response) {
    return response.status == 429 || (response.status >= 500 && response.status <= 599) ||
           (response.status == 403 && isRateLimit(failureReason(response)));
}

std::uint64_t retryNanoseconds(const DriveHTTPResponse& response, int attempt,
                               const JitterSource& jitter) {
    if (const std::optional<double> seconds = retryAfterSeconds(response)) {
        return static_cast<std::uint64_t>(std::min(*seconds, longestServerWaitSeconds) *
                                          static_cast<double>(nanosecondsPerSecond));
    }
    if (attempt < 0) {
        return 0;
    }
    const std::uint64_t base = nanosecondsPerSecond << std::min(attempt, longestBackoffShift);
    const std::uint64_t spread = base / 4;
    const std::uint64_t drawn = jitter ? jitter(spread) : systemJitter(spread);
    return base + std::min(drawn, spread);
}

DriveTransferError classifiedError(const DriveHTTPResponse& response) {
    switch (response.status) {
        case 401:
            return DriveTransferError::reauthRequired();
        case 429:
            return DriveTransferError::rateLimited();
        case 403: {
            const std::optional<std::string> reason = failureReason(response);
            if (isRateLimit(reason)) {
                return DriveTransferError::rateLimited();
            }
            if (reason && (*reason == "storageQuotaExceeded" || *reason == "quotaExceeded")) {
                return DriveTransferError::storageQuota();
            }
            return DriveTransferError::sharingRestricted();
        }
        default:
            return DriveTransferError::http(response.status);
    }
}

std::int64_t nextOffset(const std::optional<std::string>& range, std::int64_t totalSize) {
    if (totalSize < 0) {
        throw DriveTransferError::invalidResponse();
    }
    if (!range) {
        return 0;
    }
    constexpr std::string_view prefix = "bytes=0-";
    if (!range->starts_with(prefix)) {
        throw DriveTransferError::invalidResponse();
    }
    const std::optional<std::uint64_t> last =
        parseCount(std::string_view(*range).substr(prefix.size()));
    if (!last || *last >= static_cast<std::uint64_t>(totalSize)) {
        throw DriveTransferError::invalidResponse();
    }
    return static_cast<std::int64_t>(*last) + 1;
}

std::optional<URLParts> splitURL(std::string_view text) {
    // Printable ASCII without blanks only: anything else is not one URL, and a backslash is read
    // as "/" by some URL parsers, which could move the host.
    for (const char c : text) {
        if (c <= 0x20 || c >= 0x7f || c == '\\') {
            return std::nullopt;
        }
    }
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::all_of(text.begin(), text.begin() + colon, isSchemeCharacter)) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(colon + 1);
    if (!rest.starts_with("//")) {
        return std::nullopt;
    }
    rest.remove_prefix(2);
    const std::size_t authorityEnd = rest.find_first_of("/?#");
    // The host follows any user information and precedes an optional port of digits.
    std::string_view host = rest.substr(0, authorityEnd);
    if (const std::size_t at = host.rfind('@'); at != std::string_view::npos) {
        host.remove_prefix(at + 1);
    }
    if (const std::size_t portColon = host.rfind(':');
        portColon != std::string_view::npos && host.find(']') == std::string_view::npos) {
        const std::string_view port = host.substr(portColon + 1);
        if (!std::all_of(port.begin(), port.end(), isDecimalDigit)) {
            return std::nullopt;
        }
        host = host.substr(0, portColon);
    }
    const std::string_view afterAuthority =
        authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    return URLParts{text.substr(0, colon), host, afterAuthority};
}

std::optional<std::string> safeSessionURL(std::string_view text, const DriveEndpoints& endpoints) {
    const std::optional<URLParts> parts = splitURL(text);
    if (!parts || parts->scheme != endpoints.uploadScheme || parts->host != endpoints.uploadHost) {
        return std::nullopt;
    }
    const std::string_view path =
        parts->afterAuthority.substr(0, parts->afterAuthority.find_first_of("?#"));
    if (!path.starts_with("/upload/")) {
        return std::nullopt;
    }
    return std::string(text);
}

std::optional<std::string> fileWebLink(std::string_view text, std::string_view fileID,
                                       const DriveEndpoints& endpoints) {
    const std::optional<URLParts> parts = splitURL(text);
    if (fileID.empty() || !parts || parts->scheme != "https" || parts->host != endpoints.webHost) {
        return std::nullopt;
    }
    std::string_view path =
        parts->afterAuthority.substr(0, parts->afterAuthority.find_first_of("?#"));
    while (!path.empty()) {
        path.remove_prefix(1);  // the "/" before each segment
        const std::string_view segment = path.substr(0, path.find('/'));
        if (segment == fileID) {
            return std::string(text);
        }
        path.remove_prefix(segment.size());
    }
    return std::nullopt;
}

}  // namespace tolvane::DriveResponsePolicy
