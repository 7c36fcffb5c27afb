// The Drive client through the real HTTPS transport against the fake Drive on the loopback
// interface: what only real TLS, libcurl and a socket can show.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stop_token>
#include <string>

#include "support/DriveClientHarness.h"
#include "support/FakeDriveServer.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::DriveClientHarness;
using test::FakeDriveServer;
using test::Lines;

constexpr std::int64_t size = 4 * DriveClientHarness::chunk + 1000;

struct Loopback {
    FakeDriveServer server;
    DriveClientHarness h{server.service, server.transport(), server.endpoints()};
};

TEST(DriveEndToEndTest, MultiChunkArchiveIsSharedOverHTTPS) {
    Loopback l;
    const std::string content = test::randomBytes(size, 1);
    const VerifiedArchive archive = l.h.archive("Delivery 03.zip", content);
    ASSERT_EQ(l.h.share(archive), "ok");
    const Lines transcript = l.h.transcript();
    EXPECT_EQ(Lines(transcript.begin() + 6, transcript.end()),
              (Lines{"find marker", "initiate", "chunk 0-262143", "chunk 262144-524287",
                     "chunk 524288-786431", "chunk 786432-1048575", "chunk 1048576-1049575",
                     "metadata", "permissions", "create permission reader", "permissions"}));
    ASSERT_EQ(l.h.uploads(archive.jobID).size(), 1u);
    EXPECT_TRUE(l.h.uploads(archive.jobID).front().content == content);
    EXPECT_EQ(l.h.record(archive.jobID)->phase, "shared");
    EXPECT_TRUE(l.h.result->link.starts_with("https://drive.google.com/file/d/"));
}

TEST(DriveEndToEndTest, StopDuringAChunkEndsTheTransferAndLeavesTheJobResumable) {
    Loopback l;
    const VerifiedArchive archive = l.h.archive("Delivery.zip", test::randomBytes(size, 2));
    std::promise<void> arrived;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    l.server.service->setHook(
        [&](const DriveHTTPRequest& request, const test::FakeDriveService::Serve& serve) {
            if (test::describe(request) != "chunk 262144-524287") {
                return serve();
            }
            // The chunk has arrived and its answer never comes: only the stop can end the wait.
            arrived.set_value();
            released.wait_for(std::chrono::seconds(30));
            return DriveHTTPResponse{503, {}, {}};
        });
    std::stop_source stop;
    std::future<std::string> outcome = std::async(std::launch::async, [&] {
        return l.h.share(archive, DriveLinkRole::reader, stop.get_token());
    });
    arrived.get_future().wait();
    stop.request_stop();
    EXPECT_EQ(outcome.get(), "cancelled");
    release.set_value();
    const std::optional<DriveTransferRecord> left = l.h.record(archive.jobID);
    ASSERT_TRUE(left && left->sessionURL);
    EXPECT_EQ(left->offset, DriveClientHarness::chunk);

    l.server.service->setHook({});
    l.h.clearLog();
    ASSERT_EQ(l.h.resume(archive.jobID), "ok");
    EXPECT_EQ(l.h.transcript().front(), "status");
    EXPECT_TRUE(l.h.uploads(archive.jobID).front().content == test::readFile(archive.url));
}

TEST(DriveEndToEndTest, RedirectIsNotFollowedAndTheTokenStaysWithDrive) {
    Loopback l;
    // The certificate also names "localhost": following would reach the same server.
    const std::string elsewhere = l.server.origin("localhost") + "/elsewhere";
    l.server.service->setHook(
        [&](const DriveHTTPRequest& request, const test::FakeDriveService::Serve& serve) {
            return request.method == "GET" ? DriveHTTPResponse{302, {{"Location", elsewhere}}, {}}
                                           : serve();
        });
    EXPECT_EQ(l.h.share(l.h.archive("Delivery.zip", "data")), "http(302)");
    EXPECT_EQ(l.h.transcript(), Lines{"find folder ZUD ERO"});
}

}  // namespace
}  // namespace tolvane
