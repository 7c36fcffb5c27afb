#pragma once

#include <openssl/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/drive/DriveEndpoints.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/URLSessionDriveHTTPTransport.h"
#include "support/FakeDriveService.h"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace tolvane::test {

// A certificate authority made when the test starts and a server certificate it signed for
// 127.0.0.1 and "localhost": EC P-256 keys, valid from an hour ago for a day. Nothing is written
// to disk; a client trusts authorityPEM().
class LoopbackCertificate {
public:
    LoopbackCertificate();
    ~LoopbackCertificate();
    LoopbackCertificate(const LoopbackCertificate&) = delete;
    LoopbackCertificate& operator=(const LoopbackCertificate&) = delete;

    const std::string& authorityPEM() const noexcept { return authorityPEM_; }
    // The server's certificate and key, owned by this object.
    X509* certificate() const noexcept;
    EVP_PKEY* key() const noexcept;

private:
    struct Keys;
    std::unique_ptr<Keys> keys_;
    std::string authorityPEM_;
};

// The FakeDriveService behind a real HTTPS server on 127.0.0.1, for tests that go through the
// real transport. The server listens on an ephemeral port from construction on, answers every
// request on a background thread and closes each connection after its answer.
//
// It can be stopped and started again on the same port while the service keeps its state, as
// Drive does while a client's network is down. An interceptor sees every request before the
// service does and may answer it itself (a redirect, say), drop the connection, or hold the
// request unanswered until the test releases it or the server stops.
class FakeDriveServer {
public:
    using HeaderFields = std::vector<std::pair<std::string, std::string>>;

    // A request as it arrived: method, request target (path and query as sent), header fields.
    struct ReceivedRequest {
        std::string method;
        std::string target;
        HeaderFields headers;
        std::size_t bodySize = 0;

        std::optional<std::string> header(std::string_view name) const;
    };

    // What becomes of one request.
    struct Action {
        enum class Kind {
            serve,      // the service answers it
            answer,     // `response` is sent instead; the service never sees the request
            drop,       // the connection is closed without an answer
            hold,       // no answer until releaseHeld() or stop(); then dropped
            stallBody,  // `response` is begun, but its body stops after `bytesBeforeStall`
                        // bytes until releaseHeld() or stop(); then the connection is dropped
        };

        Kind kind = Kind::serve;
        DriveHTTPResponse response;
        std::size_t bytesBeforeStall = 0;

        static Action serve() { return Action{}; }
        static Action answer(DriveHTTPResponse response) {
            return Action{Kind::answer, std::move(response), 0};
        }
        static Action drop() { return Action{Kind::drop, {}, 0}; }
        static Action hold() { return Action{Kind::hold, {}, 0}; }
        static Action stallBody(DriveHTTPResponse response, std::size_t bytesBeforeStall) {
            return Action{Kind::stallBody, std::move(response), bytesBeforeStall};
        }
    };

    // Called on the server's threads, without any lock of the server held.
    using Interceptor = std::function<Action(const ReceivedRequest&)>;

    FakeDriveServer();
    ~FakeDriveServer();
    FakeDriveServer(const FakeDriveServer&) = delete;
    FakeDriveServer& operator=(const FakeDriveServer&) = delete;

    FakeDriveService& service() noexcept { return *service_; }

    int port() const noexcept { return port_; }
    // "https://<host>:<port>"; the certificate also names "localhost".
    std::string origin(std::string_view host = "127.0.0.1") const;
    // The API origin and upload host of this server; web links stay on Drive's web host.
    DriveEndpoints endpoints() const;
    const std::string& authorityPEM() const noexcept { return certificate_.authorityPEM(); }
    // A transport that trusts this server's authority and nothing else, and that connects to
    // loopback addresses only.
    URLSessionDriveHTTPTransport::Options transportOptions() const;
    std::shared_ptr<URLSessionDriveHTTPTransport> transport() const;

    // Stops accepting connections, drops held requests, and returns once every connection has
    // ended. Does nothing when stopped.
    void stop();
    // Listens again on the same port. Does nothing when running.
    void start();
    bool running() const noexcept { return server_ != nullptr; }

    // An empty interceptor serves every request.
    void setInterceptor(Interceptor interceptor);
    // Waits until at least `count` requests are held (or stalled) at once; false on time-out.
    bool waitForHeld(std::size_t count,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Every request held so far is dropped; returns once they have all let go.
    void releaseHeld();

    // Every request received, in the order their handling began.
    std::vector<ReceivedRequest> requests() const;
    void clearRequests();

private:
    std::unique_ptr<httplib::SSLServer> boundServer();
    void listen(std::unique_ptr<httplib::SSLServer> server);
    void handle(const httplib::Request& request, httplib::Response& response);
    void holdUntilReleased();

    LoopbackCertificate certificate_;
    int port_ = 0;
    std::unique_ptr<FakeDriveService> service_;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread listener_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Interceptor interceptor_;
    std::vector<ReceivedRequest> requests_;
    std::multiset<std::uint64_t> held_;  // the release generation each held request waits in
    std::uint64_t releases_ = 0;
    bool stopping_ = false;
};

}  // namespace tolvane::test
