#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "core/common/Cancellation.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/URLSessionDriveHTTPTransport.h"
#include "support/FakeDriveServer.h"
#include "support/ScriptedDriveTransport.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::FakeDriveServer;
using test::LoopbackCertificate;
using Action = FakeDriveServer::Action;
using Fields = std::vector<std::pair<std::string, std::string>>;

// "ok", "cancelled" for OperationCancelled, a TransportError's kind, or a Drive error's case.
std::string outcomeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const OperationCancelled&) {
        return "cancelled";
    } catch (const TransportError& error) {
        // In the order of TransportError::Kind.
        static constexpr const char* kinds[] = {
            "cancelled", "badURL",         "cannotFindHost",         "cannotConnect",
            "timedOut",  "connectionLost", "secureConnectionFailed", "other"};
        return kinds[static_cast<int>(error.kind())];
    } catch (const DriveTransferError& error) {
        return caseName(error);
    }
    return "ok";
}

DriveHTTPRequest get(const std::string& url) {
    DriveHTTPRequest request;
    request.url = url;
    request.setHeader("Authorization", "Bearer secret");
    return request;
}

bool hasProxyEnvironment() {
    for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

URLSessionDriveHTTPTransport::Options trusting(const std::string& pem) {
    URLSessionDriveHTTPTransport::Options options;
    options.trustedCertificatesPEM = pem;
    options.loopbackOnly = true;
    return options;
}

// One TLS connection on 127.0.0.1 answered with raw bytes, for answers an HTTP server library
// will not produce: interim responses, trailers, broken framing, no HTTP at all. Reads the
// request's header block, writes `pieces` with `gap` between them, and closes.
class RawTLSResponder {
public:
    RawTLSResponder(std::vector<std::string> pieces,
                    std::chrono::milliseconds gap = std::chrono::milliseconds(0))
        : pieces_(std::move(pieces)), gap_(gap) {
        std::signal(SIGPIPE, SIG_IGN);
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("raw responder: no listening socket");
        }
        port_ = ntohs(address.sin_port);
        context_ = SSL_CTX_new(TLS_server_method());
        if (context_ == nullptr ||
            SSL_CTX_use_certificate(context_, certificate_.certificate()) != 1 ||
            SSL_CTX_use_PrivateKey(context_, certificate_.key()) != 1) {
            throw std::runtime_error("raw responder: no TLS context");
        }
        thread_ = std::thread([this] { serveOne(); });
    }

    ~RawTLSResponder() {
        finish();
        ::close(listener_);
        SSL_CTX_free(context_);
    }

    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/raw"; }
    const std::string& authorityPEM() const { return certificate_.authorityPEM(); }

    // The request's header block as it arrived; waits for the connection to end.
    std::string request() {
        finish();
        return request_;
    }

private:
    void finish() {
        if (thread_.joinable()) {
            // Wakes an accept() that no client ever answered.
            ::shutdown(listener_, SHUT_RDWR);
            thread_.join();
        }
    }

    void serveOne() {
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            return;
        }
        timeval timeout{10, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        SSL* ssl = SSL_new(context_);
        SSL_set_fd(ssl, connection);
        if (SSL_accept(ssl) == 1) {
            char buffer[4096];
            while (request_.find("\r\n\r\n") == std::string::npos) {
                const int got = SSL_read(ssl, buffer, sizeof buffer);
                if (got <= 0) {
                    break;
                }
                request_.append(buffer, static_cast<std::size_t>(got));
            }
            for (std::size_t i = 0; i < pieces_.size(); ++i) {
                if (i > 0) {
                    std::this_thread::sleep_for(gap_);
                }
                if (!pieces_[i].empty() &&
                    SSL_write(ssl, pieces_[i].data(), static_cast<int>(pieces_[i].size())) <= 0) {
                    break;
                }
            }
            SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        ::close(connection);
    }

    LoopbackCertificate certificate_;
    std::vector<std::string> pieces_;
    std::chrono::milliseconds gap_;
    std::string request_;
    int listener_ = -1;
    int port_ = 0;
    SSL_CTX* context_ = nullptr;
    std::thread thread_;
};

TEST(URLSessionDriveHTTPTransportTest, RequestGoesOutAsSetAndEveryStatusComesBack) {
    struct Case {
        std::string name;
        std::string method;
        std::string body;
        Fields headers;
        DriveHTTPResponse answer;
    };
    const std::string json = R"({"name":"x","parents":["folder-1"]})";
    const std::string chunk = test::randomBytes(1024 * 1024 + 17, 3);
    const std::vector<Case> cases = {
        {"plain GET",
         "GET",
         "",
         {},
         {200, {{"Content-Type", "application/json"}}, R"({"id":"1"})"}},
        {"status query",
         "PUT",
         "",
         {{"Content-Range", "bytes */600000"}, {"Content-Length", "0"}},
         {308, {{"Range", "bytes=0-262143"}}, ""}},
        {"JSON POST refused",
         "POST",
         json,
         {{"Content-Type", "application/json"}, {"X-Upload-Content-Length", "600000"}},
         {404, {{"Content-Type", "application/json"}}, R"({"error":{"code":404}})"}},
        // Above a mebibyte libcurl would otherwise wait for "100 Continue"; the length the
        // caller claims is not the one sent.
        {"large chunk with a wrong length",
         "PUT",
         chunk,
         {{"Content-Type", "application/zip"}, {"Content-Length", "5"}},
         {503, {{"Retry-After", "0.5"}}, "busy"}},
    };

    FakeDriveServer server;
    URLSessionDriveHTTPTransport transport(server.transportOptions());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        server.setInterceptor(
            [&](const FakeDriveServer::ReceivedRequest&) { return Action::answer(c.answer); });
        DriveHTTPRequest request = get(server.origin() + "/drive/v3/files?q=a%20b&pageSize=100");
        request.method = c.method;
        request.body = c.body;
        for (const auto& [name, value] : c.headers) {
            request.setHeader(name, value);
        }

        const DriveHTTPResponse response = transport.send(request, {});

        EXPECT_EQ(response.status, c.answer.status);
        EXPECT_EQ(response.body, c.answer.body);
        for (const auto& [name, value] : c.answer.headers) {
            EXPECT_EQ(response.header(name), value) << name;
        }
        const std::vector<FakeDriveServer::ReceivedRequest> received = server.requests();
        ASSERT_EQ(received.size(), 1u);
        const FakeDriveServer::ReceivedRequest& seen = received[0];
        EXPECT_EQ(seen.method, c.method);
        EXPECT_EQ(seen.target, "/drive/v3/files?q=a%20b&pageSize=100");
        EXPECT_EQ(seen.bodySize, c.body.size());
        EXPECT_EQ(seen.header("Authorization"), "Bearer secret");
        EXPECT_EQ(seen.header("Expect"), std::nullopt);
        EXPECT_EQ(seen.header("Content-Type"), request.header("Content-Type"));
        if (c.method != "GET") {
            EXPECT_EQ(seen.header("Content-Length"), std::to_string(c.body.size()));
        }
        for (const auto& [name, value] : c.headers) {
            if (name != "Content-Length") {
                EXPECT_EQ(seen.header(name), value) << name;
            }
        }
    }
}

TEST(URLSessionDriveHTTPTransportTest, EmptyFieldValueIsSentEmpty) {
    RawTLSResponder responder({"HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n"});
    URLSessionDriveHTTPTransport transport(trusting(responder.authorityPEM()));
    DriveHTTPRequest request = get(responder.url());
    request.setHeader("X-Empty", "");
    EXPECT_EQ(transport.send(request, {}).status, 204);
    EXPECT_NE(responder.request().find("\r\nX-Empty:\r\n"), std::string::npos)
        << responder.request();
}

TEST(URLSessionDriveHTTPTransportTest, RedirectIsAnsweredNotFollowed) {
    FakeDriveServer server;
    FakeDriveServer elsewhere;
    // The transport would reach the redirect's target: it trusts both servers.
    URLSessionDriveHTTPTransport transport(
        trusting(server.authorityPEM() + elsewhere.authorityPEM()));
    const std::string target = elsewhere.origin("localhost") + "/drive/v3/files";
    for (const int status : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(status);
        server.setInterceptor([&](const FakeDriveServer::ReceivedRequest&) {
            return Action::answer({status, {{"Location", target}}, ""});
        });
        for (const std::string method : {"GET", "POST"}) {
            DriveHTTPRequest request = get(server.origin() + "/drive/v3/files");
            request.method = method;
            const DriveHTTPResponse response = transport.send(request, {});
            EXPECT_EQ(response.status, status);
            EXPECT_EQ(response.header("location"), target);
        }
    }
    EXPECT_EQ(server.requests().size(), 10u);
    EXPECT_TRUE(elsewhere.requests().empty());

    // The target was reachable all along.
    EXPECT_EQ(transport.send(get(target), {}).status, 400);  // no "q": the service's refusal
    EXPECT_EQ(elsewhere.requests().size(), 1u);
}

TEST(URLSessionDriveHTTPTransportTest, OnlyTheFinalResponseHeadersAreKept) {
    struct Case {
        std::string name;
        std::vector<std::string> pieces;
        std::string expected;  // outcome
        int status = 0;
        std::map<std::string, std::string> headers;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"interim answer first",
         {"HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
          "HTTP/1.1 308 Resume Incomplete\r\nRange: bytes=0-9\r\nContent-Length: 0\r\n"
          "Connection: close\r\n\r\n"},
         "ok",
         308,
         {{"Range", "bytes=0-9"}, {"Content-Length", "0"}, {"Connection", "close"}},
         ""},
        {"repeated and folded fields",
         {"HTTP/1.1 200 OK\r\nWarning: one\r\nwarning: two\r\nX-Folded: first\r\n  second\r\n"
          "Content-Length: 2\r\nConnection: close\r\n\r\nok"},
         "ok",
         200,
         {{"Warning", "one, two"},
          {"X-Folded", "first second"},
          {"Content-Length", "2"},
          {"Connection", "close"}},
         "ok"},
        {"trailers are not headers",
         {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
          "2\r\nok\r\n0\r\nX-Trailer: late\r\n\r\n"},
         "ok",
         200,
         {{"Transfer-Encoding", "chunked"}, {"Connection", "close"}},
         "ok"},
        {"not HTTP at all", {"SSH-2.0-OpenSSH_9.2\r\n"}, "invalidResponse", 0, {}, ""},
        {"body cut short",
         {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\nok"},
         "connectionLost",
         0,
         {},
         ""},
        {"nothing", {}, "connectionLost", 0, {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawTLSResponder responder(c.pieces);
        URLSessionDriveHTTPTransport transport(trusting(responder.authorityPEM()));
        DriveHTTPResponse response;
        EXPECT_EQ(outcomeOf([&] { response = transport.send(get(responder.url()), {}); }),
                  c.expected);
        if (c.expected == "ok") {
            EXPECT_EQ(response.status, c.status);
            EXPECT_EQ(response.headers, c.headers);
            EXPECT_EQ(response.body, c.body);
        }
    }
}

TEST(URLSessionDriveHTTPTransportTest, ResponseBodyIsBounded) {
    constexpr std::size_t limit = 64 * 1024;
    const std::string atLimit = test::textBytes(limit);
    const std::string beyond = test::textBytes(limit + 1);
    auto chunked = [](const std::string& body) {
        std::string framed = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
        for (std::size_t at = 0; at < body.size(); at += 1000) {
            const std::string part = body.substr(at, 1000);
            char size[16];
            std::snprintf(size, sizeof size, "%zx\r\n", part.size());
            framed += size + part + "\r\n";
        }
        return framed + "0\r\n\r\n";
    };

    FakeDriveServer server;
    URLSessionDriveHTTPTransport::Options options = server.transportOptions();
    options.maxResponseBytes = limit;
    URLSessionDriveHTTPTransport transport(options);
    for (const std::string* body : {&atLimit, &beyond}) {
        server.setInterceptor([&](const FakeDriveServer::ReceivedRequest&) {
            return Action::answer({200, {}, *body});
        });
        EXPECT_EQ(outcomeOf([&] { transport.send(get(server.origin() + "/"), {}); }),
                  body == &atLimit ? "ok" : "other");
    }
    // Without a length up front the limit is found while the body arrives.
    for (const std::string* body : {&atLimit, &beyond}) {
        RawTLSResponder responder({chunked(*body)});
        URLSessionDriveHTTPTransport::Options rawOptions = trusting(responder.authorityPEM());
        rawOptions.maxResponseBytes = limit;
        URLSessionDriveHTTPTransport raw(rawOptions);
        DriveHTTPResponse response;
        EXPECT_EQ(outcomeOf([&] { response = raw.send(get(responder.url()), {}); }),
                  body == &atLimit ? "ok" : "other");
        if (body == &atLimit) {
            EXPECT_EQ(response.body, atLimit);
        }
    }
}

TEST(URLSessionDriveHTTPTransportTest, RequestsThatMustNotLeaveTheProcess) {
    FakeDriveServer server;
    const std::string origin = server.origin();
    struct Case {
        std::string name;
        std::function<void(DriveHTTPRequest&)> change;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"plain http",
         [&](auto& r) { r.url = "http://127.0.0.1:" + std::to_string(server.port()) + "/"; },
         "badURL"},
        {"file", [](auto& r) { r.url = "file:///etc/passwd"; }, "badURL"},
        {"no scheme", [](auto& r) { r.url = "127.0.0.1/drive"; }, "badURL"},
        {"blank in the URL", [&](auto& r) { r.url = origin + "/drive files"; }, "badURL"},
        {"line break in a value",
         [](auto& r) { r.setHeader("Authorization", "Bearer x\r\nX-Injected: 1"); }, "other"},
        {"NUL in a value", [](auto& r) { r.setHeader("X-Test", std::string("a\0b", 3)); }, "other"},
        {"colon in a name", [](auto& r) { r.setHeader("X-Bad: y", "z"); }, "other"},
        {"empty name", [](auto& r) { r.setHeader("", "z"); }, "other"},
        {"blank in the method", [](auto& r) { r.method = "GET /other"; }, "other"},
        {"peer off the loopback interface", [](auto& r) { r.url = "https://192.0.2.1:9/drive"; },
         "cannotConnect"},
    };
    URLSessionDriveHTTPTransport transport(server.transportOptions());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveHTTPRequest request = get(origin + "/drive/v3/files");
        c.change(request);
        EXPECT_EQ(outcomeOf([&] { transport.send(request, {}); }), c.expected);
    }
    EXPECT_TRUE(server.requests().empty());

    // The refusal names its reason, so it cannot be mistaken for an unreachable network.
    try {
        transport.send(get("https://192.0.2.1:9/drive"), {});
        ADD_FAILURE() << "sent to a non-loopback address";
    } catch (const TransportError& error) {
        EXPECT_NE(error.detail().find("not a loopback address"), std::string::npos)
            << error.detail();
    }
}

TEST(URLSessionDriveHTTPTransportTest, OnlyATrustedCertificateIsAccepted) {
    FakeDriveServer server;
    FakeDriveServer other;
    struct Case {
        std::string name;
        std::shared_ptr<URLSessionDriveHTTPTransport> transport;
        std::string expected;
    };
    std::vector<Case> cases = {
        {"this server's authority", server.transport(), "ok"},
        {"another authority", other.transport(), "secureConnectionFailed"},
    };
    // The application's transport follows the environment's proxy settings; through a proxy
    // the answer would be the proxy's.
    if (!hasProxyEnvironment()) {
        cases.push_back({"the system's authorities",
                         std::make_shared<URLSessionDriveHTTPTransport>(),
                         "secureConnectionFailed"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        EXPECT_EQ(outcomeOf([&] { c.transport->send(get(server.origin() + "/"), {}); }),
                  c.expected);
        // A refused peer never sees the request, token included.
        EXPECT_EQ(server.requests().size(), c.expected == "ok" ? 1u : 0u);
    }

    // A private trust store only ever serves loopback servers.
    URLSessionDriveHTTPTransport::Options unpinned = server.transportOptions();
    unpinned.loopbackOnly = false;
    EXPECT_THROW(URLSessionDriveHTTPTransport{unpinned}, std::invalid_argument);
}

TEST(URLSessionDriveHTTPTransportTest, StopEndsAPendingExchangePromptly) {
    FakeDriveServer server;
    URLSessionDriveHTTPTransport transport(server.transportOptions());
    const std::string body = test::textBytes(100'000);
    const std::vector<std::pair<std::string, Action>> cases = {
        {"before any answer", Action::hold()},
        {"in the middle of the body", Action::stallBody({200, {}, body}, 40'000)},
    };
    for (const auto& [name, action] : cases) {
        SCOPED_TRACE(name);
        server.setInterceptor([&](const FakeDriveServer::ReceivedRequest&) { return action; });
        std::stop_source stop;
        std::future<std::string> outcome = std::async(std::launch::async, [&] {
            return outcomeOf([&] { transport.send(get(server.origin() + "/"), stop.get_token()); });
        });
        ASSERT_TRUE(server.waitForHeld(1));
        stop.request_stop();
        // About a second is the aim; the bound only catches an exchange that ignores the stop.
        const std::future_status status = outcome.wait_for(std::chrono::seconds(5));
        server.releaseHeld();
        ASSERT_EQ(status, std::future_status::ready);
        EXPECT_EQ(outcome.get(), "cancelled");
    }

    // A stop requested before the call sends nothing.
    server.clearRequests();
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(outcomeOf([&] { transport.send(get(server.origin() + "/"), stopped.get_token()); }),
              "cancelled");
    EXPECT_TRUE(server.requests().empty());

    // A stalled body that the server gives up on is no response.
    server.setInterceptor([&](const FakeDriveServer::ReceivedRequest&) {
        return Action::stallBody({200, {}, body}, 40'000);
    });
    std::future<std::string> cut = std::async(std::launch::async, [&] {
        return outcomeOf([&] { transport.send(get(server.origin() + "/"), {}); });
    });
    ASSERT_TRUE(server.waitForHeld(1));
    server.releaseHeld();
    EXPECT_EQ(cut.get(), "connectionLost");
}

TEST(URLSessionDriveHTTPTransportTest, TimeoutLimitsIdlenessNotTheWholeExchange) {
    // Bytes keep coming for longer than the timeout: not a time-out. (The first comes with the
    // header: libcurl measures the pace of the body alone, once a second.)
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nConnection: close\r\n\r\n";
    RawTLSResponder trickle({header + "a", "b", "c", "d", "e", "f"},
                            std::chrono::milliseconds(250));
    URLSessionDriveHTTPTransport slow(trusting(trickle.authorityPEM()));
    DriveHTTPRequest request = get(trickle.url());
    request.timeout = std::chrono::seconds(1);
    DriveHTTPResponse response;
    EXPECT_EQ(outcomeOf([&] { response = slow.send(request, {}); }), "ok");
    EXPECT_EQ(response.body, "abcdef");

    // Nothing at all for the length of the timeout: timed out.
    FakeDriveServer server;
    server.setInterceptor([](const FakeDriveServer::ReceivedRequest&) { return Action::hold(); });
    URLSessionDriveHTTPTransport transport(server.transportOptions());
    DriveHTTPRequest stalled = get(server.origin() + "/");
    stalled.timeout = std::chrono::seconds(1);
    EXPECT_EQ(outcomeOf([&] { transport.send(stalled, {}); }), "timedOut");
    server.releaseHeld();
}

TEST(URLSessionDriveHTTPTransportTest, ThreadsSendAtTheSameTime) {
    FakeDriveServer server;
    URLSessionDriveHTTPTransport transport(server.transportOptions());
    std::atomic<int> answered{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 5; ++i) {
                    if (transport.send(get(server.origin() + "/drive/v3/files/none"), {}).status ==
                        404) {
                        ++answered;
                    }
                }
            });
        }
    }
    EXPECT_EQ(answered, 20);
}

}  // namespace
}  // namespace tolvane
