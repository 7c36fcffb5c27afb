#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvane {

// Header field names compare equal ignoring ASCII case; other bytes must match exactly.
bool headerNamesEqual(std::string_view a, std::string_view b) noexcept;

// One HTTP request of the Drive client.
struct DriveHTTPRequest {
    std::string method = "GET";
    std::string url;
    // Header fields in the order they were first set; at most one field per name (ignoring case).
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // empty: no body
    std::chrono::milliseconds timeout = std::chrono::seconds(60);

    // Sets a field, replacing the value of one already set under the same name in any case.
    void setHeader(std::string name, std::string value);
    std::optional<std::string> header(std::string_view name) const;
};

// The answer to one HTTP exchange, whatever its status.
struct DriveHTTPResponse {
    int status = 0;
    // Names as the server sent them. A transport joins repeated fields into one value.
    std::map<std::string, std::string> headers;
    std::string body;

    // The value of the first field, in the map's order, whose name equals `name` ignoring case.
    std::optional<std::string> header(std::string_view name) const;
};

// The URL-loading failure of a transport: no HTTP response was obtained.
class TransportError : public std::runtime_error {
public:
    enum class Kind {
        cancelled,  // the caller's stop token asked to stop
        badURL,
        cannotFindHost,
        cannotConnect,
        timedOut,
        connectionLost,
        secureConnectionFailed,
        other,
    };

    TransportError(Kind kind, std::string detail);

    Kind kind() const noexcept { return kind_; }
    // English detail for diagnostics, such as the library's own error text.
    const std::string& detail() const noexcept { return detail_; }
    bool isCancelled() const noexcept { return kind_ == Kind::cancelled; }

private:
    Kind kind_;
    std::string detail_;
};

// The one HTTP seam of the Drive client.
//
// send() performs the request once and returns the response for every HTTP status, 4xx and 5xx
// included. It throws TransportError when no HTTP response was obtained,
// DriveTransferError::invalidResponse for an answer that is not HTTP, and, once `stop` is
// requested, ends a pending exchange promptly with OperationCancelled (a TransportError of
// Kind::cancelled means the same; callers treat both as cancellation). It blocks its caller, is
// called from worker threads, and must be safe to call from several threads at once.
class DriveHTTPTransport {
public:
    virtual ~DriveHTTPTransport() = default;
    virtual DriveHTTPResponse send(const DriveHTTPRequest& request, std::stop_token stop) = 0;
};

}  // namespace tolvane
