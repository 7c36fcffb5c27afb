#include "core/drive/URLSessionDriveHTTPTransport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/FakeDrive.h"
#include "support/Outcome.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::FakeDrive;
using test::FakeDriveServer;

DriveHTTPRequest request(const std::string& url, std::string method = "GET", std::string body = {},
                         const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    DriveHTTPRequest r{std::move(method), url, {}, std::move(body)};
    r.setHeader("Authorization", "Bearer secret");
    for (const auto& [name, value] : extra) {
        r.setHeader(name, value);
    }
    return r;
}

TEST(URLSessionDriveHTTPTransportTest, RequestGoesOutAsSetAndTheAnswerComesBack) {
    FakeDriveServer server;
    URLSessionDriveHTTPTransport transport(server.transportOptions());
    const std::string target = "/drive/v3/files?q=a%20b&pageSize=100";
    const std::string url = server.origin() + target;
    const std::vector<std::pair<DriveHTTPRequest, DriveHTTPResponse>> cases = {
        {request(url), {200, {{"X-Answer", "1"}}, R"({"id":"1"})"}},
        {request(url, "PUT", "", {{"Content-Range", "bytes */600000"}, {"Content-Length", "0"}}),
         {308, {{"Range", "bytes=0-262143"}}, ""}},
        // Above a mebibyte libcurl would otherwise wait for "100 Continue"; the length the
        // caller claims is not the one sent, and no Content-Type is made up.
        {request(url, "PUT", test::randomBytes(1024 * 1024 + 17, 3), {{"Content-Length", "5"}}),
         {503, {{"Retry-After", "0.5"}}, "busy"}},
        // Not followed, so the token goes nowhere else; the certificate also names "localhost".
        {request(url), {302, {{"Location", server.origin("localhost") + "/elsewhere"}}, ""}},
    };
    for (const auto& [sent, answer] : cases) {
        SCOPED_TRACE(sent.method + " " + std::to_string(sent.body.size()));
        std::vector<DriveHTTPRequest> seen;
        server.drive->setHook([&](const DriveHTTPRequest& r, const auto&) {
            seen.push_back(r);
            return answer;
        });
        const DriveHTTPResponse response = transport.send(sent, {});
        EXPECT_EQ(response.status, answer.status);
        EXPECT_EQ(response.body, answer.body);
        for (const auto& [name, value] : answer.headers) {
            EXPECT_EQ(response.header(name), value) << name;
        }
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].method, sent.method);
        EXPECT_EQ(seen[0].url, target);
        EXPECT_TRUE(seen[0].body == sent.body);
        EXPECT_EQ(seen[0].header("Authorization"), "Bearer secret");
        EXPECT_EQ(seen[0].header("Expect"), std::nullopt);
        EXPECT_EQ(seen[0].header("Content-Type"), std::nullopt);
        const std::string length = std::to_string(sent.body.size());
        EXPECT_EQ(seen[0].header("Content-Length").value_or(length), length);
    }
}

TEST(URLSessionDriveHTTPTransportTest, WhatMustNotBeSentOrReceived) {
    FakeDriveServer server;
    FakeDriveServer other;
    const std::string origin = server.origin();
    URLSessionDriveHTTPTransport::Options limited = server.transportOptions();
    limited.maxResponseBytes = 64 * 1024;
    URLSessionDriveHTTPTransport transport(limited);
    URLSessionDriveHTTPTransport untrusting(other.transportOptions());
    int reached = 0;
    server.drive->setHook([&](const DriveHTTPRequest& r, const auto&) {
        ++reached;
        return DriveHTTPResponse{200, {}, test::textBytes(r.url == "/limit" ? 65536 : 65537)};
    });
    struct Case {
        std::string name;
        std::function<void(DriveHTTPRequest&)> change;
        std::string outcome;
        URLSessionDriveHTTPTransport* transport = nullptr;
    };
    const std::vector<Case> cases = {
        {"a body at the limit", [&](auto& r) { r.url = origin + "/limit"; }, "ok"},
        {"a body beyond it", [](auto&) {}, "failed: response body larger than 65536 bytes"},
        {"plain http", [&](auto& r) { r.url.replace(0, 5, "http"); }, "bad URL"},
        {"blank in the URL", [&](auto& r) { r.url = origin + "/drive files"; }, "bad URL"},
        {"line break in a value",
         [](auto& r) { r.setHeader("Authorization", "Bearer x\r\nX-Injected: 1"); }, "failed"},
        {"NUL in a value", [](auto& r) { r.setHeader("X-Test", std::string("a\0b", 3)); },
         "failed"},
        {"colon in a name", [](auto& r) { r.setHeader("X-Bad: y", "z"); }, "failed"},
        {"blank in the method", [](auto& r) { r.method = "GET /other"; }, "failed"},
        {"peer off the loopback interface", [](auto& r) { r.url = "https://192.0.2.1:9/x"; },
         "cannot connect: refused to connect to 192.0.2.1: not a loopback address"},
        {"a certificate not trusted", [](auto&) {}, "secure connection failed", &untrusting},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reached = 0;
        DriveHTTPRequest sent = request(origin + "/");
        c.change(sent);
        const std::string outcome =
            test::outcomeOf([&] { (c.transport ? c.transport : &transport)->send(sent, {}); });
        EXPECT_TRUE(outcome == c.outcome ||
                    outcome.starts_with("transport network request " + c.outcome))
            << outcome;
        // Nothing refused here reaches the server, the token included.
        EXPECT_EQ(reached, c.name.starts_with("a body") ? 1 : 0);
    }
    // A private trust store only ever serves loopback servers.
    URLSessionDriveHTTPTransport::Options unpinned = server.transportOptions();
    unpinned.loopbackOnly = false;
    EXPECT_THROW(URLSessionDriveHTTPTransport{unpinned}, std::invalid_argument);
}

// A server may carry out a request and close a kept-alive connection before a byte of its answer
// has left. What was sent then must not go out again on its own: a POST creates something each
// time. Requests that may be repeated keep the open connection.
TEST(URLSessionDriveHTTPTransportTest, APostWhoseAnswerIsLostArrivesOnce) {
    FakeDriveServer server(FakeDriveServer::Connections::keptAlive);
    URLSessionDriveHTTPTransport transport(server.transportOptions());
    server.drive->setHook([](const DriveHTTPRequest& r, const auto&) {
        if (r.url == "/lost") {
            throw TransportError(TransportError::Kind::connectionLost, "carried out, unanswered");
        }
        return DriveHTTPResponse{200, {}, "{}"};
    });
    const std::string origin = server.origin();
    const std::vector<std::pair<DriveHTTPRequest, std::string>> exchanges = {
        {request(origin + "/a"), "ok"},
        {request(origin + "/a", "PUT", "chunk"), "ok"},
        {request(origin + "/lost", "POST", R"({"name":"ZUD ERO"})"),
         "transport network request connection lost"},
        {request(origin + "/a"), "ok"},
        {request(origin + "/a", "POST", "{}"), "ok"},
    };
    for (const auto& [sent, outcome] : exchanges) {
        EXPECT_TRUE(test::outcomeOf([&] { transport.send(sent, {}); }).starts_with(outcome))
            << sent.method << " " << sent.url;
    }
    std::vector<std::string> arrived;
    for (const DriveHTTPRequest& r : server.drive->requests()) {
        arrived.push_back(r.method + " " + r.url);
    }
    EXPECT_EQ(arrived,
              (std::vector<std::string>{"GET /a", "PUT /a", "POST /lost", "GET /a", "POST /a"}));
    const std::vector<int> connections = server.connections();
    ASSERT_EQ(connections.size(), 5u);
    EXPECT_EQ(connections[0], connections[1]);
    EXPECT_NE(connections[2], connections[1]);
}

// The client over this transport: a stop while a chunk waits for its answer ends the share at
// once, and the journal continues it.
TEST(DriveEndToEndTest, StopDuringAChunkEndsTheTransferAndLeavesTheJobResumable) {
    FakeDriveServer server;
    FakeDrive& h = *server.drive;
    const VerifiedArchive archive =
        h.archive("Delivery.zip", test::randomBytes(4 * FakeDrive::chunk + 1000, 2));
    std::promise<void> arrived;
    std::promise<void> release;
    std::future<void> released = release.get_future();
    h.setHook([&](const DriveHTTPRequest& request, const FakeDrive::Serve& serve) {
        if (test::describe(request) != "chunk 262144-524287") {
            return serve();
        }
        // The chunk has arrived and its answer never comes: only the stop can end the wait.
        arrived.set_value();
        released.wait_for(std::chrono::seconds(30));
        return DriveHTTPResponse{503, {}, {}};
    });
    std::future<std::string> outcome =
        std::async(std::launch::async, [&] { return h.share(archive); });
    // Bounded, so that a share that fails before the chunk fails the test instead of hanging it.
    ASSERT_EQ(arrived.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << outcome.get();
    h.stop.request_stop();
    EXPECT_EQ(outcome.get(), "cancelled");
    release.set_value();
    EXPECT_EQ(h.record(archive.jobID).value().offset, FakeDrive::chunk);

    h.reset();
    ASSERT_EQ(h.resume(archive.jobID), "ok");
    EXPECT_EQ(
        h.sent(),
        "status, chunk 262144-524287, chunk 524288-786431, chunk 786432-1048575, "
        "chunk 1048576-1049575, metadata, permissions, create permission reader, permissions");
    EXPECT_TRUE(h.upload(archive.jobID).content == test::readFile(archive.url));
}

// Drive carries out a POST of the share and the kept-alive connection closes before its answer:
// the POST reaches Drive once, the share ends with the transport's error, and the next run
// completes without a second folder, session or permission.
TEST(DriveEndToEndTest, APostWhoseAnswerIsLostIsNotSentAgain) {
    const auto count = [](const std::string& requests, const std::string& what) {
        int n = 0;
        for (std::size_t at = requests.find(what); at != std::string::npos;
             at = requests.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    for (const std::string post : {"create folder ZUD ERO", "create folder 2024",
                                   "create folder 03", "initiate", "create permission reader"}) {
        SCOPED_TRACE(post);
        FakeDriveServer server(FakeDriveServer::Connections::keptAlive);
        FakeDrive& h = *server.drive;
        const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(600'000, 4));
        h.at[post] = "quit reached";
        const std::string outcome = h.share(archive);
        EXPECT_TRUE(outcome.starts_with("transport network request connection lost")) << outcome;
        const std::string first = h.sent();
        EXPECT_EQ(count(first, post), 1) << first;

        h.reset();
        ASSERT_EQ(h.share(archive), "ok");
        const std::string both = first + ", " + h.sent();
        for (const std::string created : {"create folder ZUD ERO", "create folder 2024",
                                          "create folder 03", "create permission reader"}) {
            EXPECT_EQ(count(both, created), 1) << both;
        }
        EXPECT_EQ(h.upload(archive.jobID).permissions.size(), 1u);
        EXPECT_TRUE(h.upload(archive.jobID).content == test::readFile(archive.url));
    }
}

}  // namespace
}  // namespace tolvane
