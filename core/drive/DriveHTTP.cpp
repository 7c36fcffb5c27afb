#include "core/drive/DriveHTTP.h"

namespace tolvane {
namespace {

constexpr char asciiLower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

std::string_view kindName(TransportError::Kind kind) noexcept {
    using Kind = TransportError::Kind;
    switch (kind) {
        case Kind::cancelled:
            return "cancelled";
        case Kind::badURL:
            return "bad URL";
        case Kind::cannotFindHost:
            return "cannot find host";
        case Kind::cannotConnect:
            return "cannot connect";
        case Kind::timedOut:
            return "timed out";
        case Kind::connectionLost:
            return "connection lost";
        case Kind::secureConnectionFailed:
            return "secure connection failed";
        case Kind::other:
            return "failed";
    }
    return "failed";
}

std::string describe(TransportError::Kind kind, const std::string& detail) {
    std::string text = "network request ";
    text += kindName(kind);
    if (!detail.empty()) {
        text += ": " + detail;
    }
    return text;
}

}  // namespace

bool headerNamesEqual(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

void DriveHTTPRequest::setHeader(std::string name, std::string value) {
    for (auto& field : headers) {
        if (headerNamesEqual(field.first, name)) {
            field.second = std::move(value);
            return;
        }
    }
    headers.emplace_back(std::move(name), std::move(value));
}

template <typename Fields>
std::optional<std::string> fieldValue(const Fields& fields, std::string_view name) {
    for (const auto& [field, value] : fields) {
        if (headerNamesEqual(field, name)) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<std::string> DriveHTTPRequest::header(std::string_view name) const {
    return fieldValue(headers, name);
}

std::optional<std::string> DriveHTTPResponse::header(std::string_view name) const {
    return fieldValue(headers, name);
}

TransportError::TransportError(Kind kind, std::string detail)
    : std::runtime_error(describe(kind, detail)), kind_(kind), detail_(std::move(detail)) {}

}  // namespace tolvane
