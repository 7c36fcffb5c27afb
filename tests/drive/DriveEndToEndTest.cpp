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

constexpr std::int64_t size = 4 * DriveClientHarness::chunk + 1000;

// A stop while a chunk waits for its answer ends the share; the journal continues it.
TEST(DriveEndToEndTest, StopDuringAChunkEndsTheTransferAndLeavesTheJobResumable) {
    FakeDriveServer server;
    DriveClientHarness h(server.service, server.transport(), server.endpoints());
    const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(size, 2));
    std::promise<void> arrived;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    server.service->setHook(
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
        return h.share(archive, DriveLinkRole::reader, stop.get_token());
    });
    arrived.get_future().wait();
    stop.request_stop();
    EXPECT_EQ(outcome.get(), "cancelled");
    release.set_value();
    const std::optional<DriveTransferRecord> left = h.record(archive.jobID);
    ASSERT_TRUE(left && left->sessionURL);
    EXPECT_EQ(left->offset, DriveClientHarness::chunk);

    server.service->setHook({});
    h.clearLog();
    ASSERT_EQ(h.resume(archive.jobID), "ok");
    EXPECT_EQ(
        h.sent(),
        "status, chunk 262144-524287, chunk 524288-786431, chunk 786432-1048575, "
        "chunk 1048576-1049575, metadata, permissions, create permission reader, permissions");
    EXPECT_TRUE(h.uploads(archive.jobID).front().content == test::readFile(archive.url));
    EXPECT_TRUE(h.result->link.starts_with("https://drive.google.com/file/d/"));
}

}  // namespace
}  // namespace tolvane
