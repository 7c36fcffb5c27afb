#pragma once

#include <cstddef>
#include <stop_token>
#include <string>

#include "core/drive/DriveHTTP.h"

namespace tolvane {

// The Drive transport of the application: HTTPS through libcurl.
//
// Only https URLs are fetched and redirects are never followed, so the bearer token of a request
// goes to the host the request names and nowhere else; a 3xx answer is returned like any other.
// Nothing is added to what the caller sets except what HTTP itself needs (no
// "Expect: 100-continue", no default "Content-Type"); "Content-Length" always describes the body
// actually sent. The request's timeout is an idle time-out, for connecting and for a transfer
// that moves no byte at all, never a limit on the whole exchange, which would end large upload
// chunks on slow links. The headers returned are those of the final response, without interim
// (1xx) answers or trailers.
//
// send() blocks its caller and may be called from any number of threads at once: every thread
// keeps one libcurl handle of its own, which keeps connections open between requests. libcurl
// sends a request again on a new connection when a reused one closed without a byte of answer;
// that is harmless for the idempotent methods (GET, PUT, ...) only, so any other request (a POST)
// goes out on a connection opened for it alone and closed after it, and a lost answer to it is a
// TransportError, never a second request. A requested stop ends a pending exchange within about
// a second with OperationCancelled. Any failure to obtain an HTTP response is a TransportError;
// an answer that is not HTTP is DriveTransferError::invalidResponse.
class URLSessionDriveHTTPTransport final : public DriveHTTPTransport {
public:
    static constexpr std::size_t defaultMaxResponseBytes = 16 * 1024 * 1024;

    struct Options {
        // PEM certificates that replace the system's trusted authorities, for tests against a
        // server on this machine: only allowed together with loopbackOnly. Verification of the
        // peer's certificate and host name stays on either way.
        std::string trustedCertificatesPEM;
        // Never open a connection to an address outside the loopback interface (127.0.0.0/8,
        // ::1), and use no proxy.
        bool loopbackOnly = false;
        // A longer response body ends the exchange with a TransportError. Drive's answers are
        // small JSON documents; nothing the client asks for comes close.
        std::size_t maxResponseBytes = defaultMaxResponseBytes;
    };

    // The application's transport: the system's trusted authorities, any peer, proxies as the
    // environment configures them.
    URLSessionDriveHTTPTransport();
    // Throws std::invalid_argument for trusted certificates without loopbackOnly, or a zero
    // response limit.
    explicit URLSessionDriveHTTPTransport(Options options);

    DriveHTTPResponse send(const DriveHTTPRequest& request, std::stop_token stop) override;

private:
    Options options_;
};

}  // namespace tolvane
