#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/DriveTypes.h"
#include "support/Outcome.h"

namespace tolvane::test {

// A Drive transport that records every request and answers from a script, in order. An entry
// is a fixed answer, an exception to throw, or a handler that computes the answer from the
// request (and may look at the journal, request a stop, or throw). A request beyond the script
// fails the test and throws TransportError. Thread-safe; handlers run without the lock held.
class ScriptedDriveTransport final : public DriveHTTPTransport {
public:
    using Handler = std::function<DriveHTTPResponse(const DriveHTTPRequest&, std::stop_token)>;

    ScriptedDriveTransport& respond(DriveHTTPResponse response);
    ScriptedDriveTransport& respond(int status, std::string body = {},
                                    std::map<std::string, std::string> headers = {});
    // The same answer `count` times.
    ScriptedDriveTransport& respondTimes(std::size_t count, const DriveHTTPResponse& response);
    ScriptedDriveTransport& fail(std::exception_ptr error);
    template <typename E>
    ScriptedDriveTransport& failWith(E error) {
        return fail(std::make_exception_ptr(std::move(error)));
    }
    ScriptedDriveTransport& handle(Handler handler);

    std::vector<DriveHTTPRequest> requests() const;
    DriveHTTPRequest request(std::size_t index) const;
    std::size_t requestCount() const;
    // Script entries not yet used.
    std::size_t unusedAnswers() const;

    DriveHTTPResponse send(const DriveHTTPRequest& request, std::stop_token stop) override;

    // --- Answers of the Drive upload protocol ----------------------------------------------
    // 308 from an upload session holding the first `held` bytes ("Range: bytes=0-<held-1>", no
    // Range at all for 0).
    static DriveHTTPResponse incomplete(std::int64_t held);
    // A JSON body {"id": id} with the given status.
    static DriveHTTPResponse file(const std::string& id, int status = 200);
    // A Drive error body whose errors[0].reason is `reason`.
    static DriveHTTPResponse error(int status, const std::string& reason);

private:
    mutable std::mutex mutex_;
    std::deque<Handler> script_;
    std::vector<DriveHTTPRequest> requests_;
};

// The path of a URL (between the authority and "?"), and its query items percent-decoded, in
// order. Both fail the test on malformed input.
std::string urlPath(const std::string& url);
std::vector<std::pair<std::string, std::string>> urlQuery(const std::string& url);

}  // namespace tolvane::test

namespace tolvane {

// Readable failure messages for GoogleTest.
void PrintTo(const DriveTransferError& error, std::ostream* out);
void PrintTo(const DriveTransferProgress& progress, std::ostream* out);

}  // namespace tolvane
