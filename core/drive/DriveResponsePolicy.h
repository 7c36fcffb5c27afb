#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/drive/DriveEndpoints.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveTransferError.h"

namespace tolvane {

// How the Drive client reads Drive's answers: error reasons, waits before a retry, the upload
// session's byte ranges and which session URLs may be contacted. Pure functions, no I/O.
namespace DriveResponsePolicy {

// A uniformly random whole number from 0 to `upperBound` inclusive.
using JitterSource = std::function<std::uint64_t(std::uint64_t upperBound)>;

// Draws from the system's random source.
std::uint64_t systemJitter(std::uint64_t upperBound);

// The first text "reason" of body.error.errors[], which must be an object holding an object
// holding an array of objects; any other body gives no reason.
std::optional<std::string> failureReason(const DriveHTTPResponse& response);

// Waits before a request, or an upload chunk, is given up: the fourth failure in a row stands.
inline constexpr int retryLimit = 3;

// Rate limits (429, or 403 with the reason "rateLimitExceeded" or "userRateLimitExceeded") and
// server errors (5xx): answers that may
// well differ if the same request is asked again after a wait.
bool isTransient(const DriveHTTPResponse& response);

// The wait before retry number `attempt` + 1: the server's "Retry-After" seconds when it is a
// finite, non-negative number (capped at 60 s), otherwise 1 s doubled per attempt (at most
// 32 s) plus up to a quarter of that drawn from `jitter`. A negative attempt waits nothing.
std::uint64_t retryNanoseconds(const DriveHTTPResponse& response, int attempt,
                               const JitterSource& jitter);

// The error a final non-success answer stands for.
DriveTransferError classifiedError(const DriveHTTPResponse& response);

// The first byte an upload session does not hold, from its "Range" answer ("bytes=0-N" gives
// N + 1; no range gives 0). Throws DriveTransferError::invalidResponse for a malformed range,
// one that does not start at byte 0, or one that reaches past the last byte, and for a
// negative total.
std::int64_t nextOffset(const std::optional<std::string>& range, std::int64_t totalSize);

// `text` when it is an absolute URL with exactly the upload scheme and host of `endpoints` and
// a path under "/upload/"; otherwise no value. A session URL is contacted with the bearer token,
// so only one that passes here is ever stored or used. Port, query and fragment are not examined.
std::optional<std::string> safeSessionURL(std::string_view text, const DriveEndpoints& endpoints);

// `text` when it is an https URL on the Drive web host of `endpoints` whose path has a segment
// that is exactly `fileID`, as every Drive link to a file has; otherwise no value. The link is
// handed to other people, so it must lead to the file that was checked and shared, not to
// another one. Query and fragment name nothing.
std::optional<std::string> fileWebLink(std::string_view text, std::string_view fileID,
                                       const DriveEndpoints& endpoints);

// An absolute URL's scheme, its host (user information and a port of digits removed) and what
// follows the authority; no value for anything but printable ASCII without blanks or
// backslashes in that form.
struct URLParts {
    std::string_view scheme;
    std::string_view host;
    std::string_view afterAuthority;
};
std::optional<URLParts> splitURL(std::string_view text);

}  // namespace DriveResponsePolicy
}  // namespace tolvane
