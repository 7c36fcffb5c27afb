// The Drive client through the real HTTPS transport against the fake Drive on the loopback
// interface: what the scripted transports cannot show, connections that break, servers that go
// away, stops that must interrupt a socket.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/common/Cancellation.h"
#include "core/common/Digest.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/FileDriveTransferJournal.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "core/drive/URLSessionDriveHTTPTransport.h"
#include "support/FakeDriveServer.h"
#include "support/ScriptedDriveTransport.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::FakeDriveServer;
using test::FakeDriveService;
using test::TempDir;
using Action = FakeDriveServer::Action;
using Received = FakeDriveServer::ReceivedRequest;
using Lines = std::vector<std::string>;

constexpr std::int64_t chunk = 262'144;
constexpr std::int64_t archiveSize = 4 * chunk + 1000;  // four full chunks and a remainder
const std::string account = "subject-1";
const std::string marker = "tolvaneTransfer";

// One run of the application: its journal object and Drive client over a transport of its own,
// against the server of the test. Retry waits are not slept; the clock stands in mid-March.
class Application {
public:
    Application(const std::string& journalDirectory, const FakeDriveServer& server,
                std::shared_ptr<DriveHTTPTransport> transport)
        : journal(std::make_shared<FileDriveTransferJournal>(journalDirectory)),
          client(std::move(transport), journal, chunk,
                 [](std::uint64_t, std::stop_token stop) { throwIfCancelled(nullptr, stop); },
                 {server.endpoints(), [](std::uint64_t) -> std::uint64_t { return 0; },
                  [] { return 1'710'504'000.0; }}) {}

    std::shared_ptr<FileDriveTransferJournal> journal;
    GoogleDriveTransferClient client;
};

class LoopbackDrive {
public:
    LoopbackDrive() { restartApplication(); }

    // The transport of the next application run; the server's own by default.
    void useTransport(std::shared_ptr<DriveHTTPTransport> transport) {
        transport_ = std::move(transport);
        restartApplication();
    }

    // A new process: nothing survives but the journal on disk.
    void restartApplication() {
        app = std::make_unique<Application>(dir.file("journal"), server,
                                            transport_ ? transport_ : server.transport());
    }

    VerifiedArchive archive(const std::string& content) const {
        const std::string path = dir.file("Delivery 03.zip");
        test::writeFile(path, content);
        return VerifiedArchive{Uuid::random(), path, static_cast<std::int64_t>(content.size()),
                               Sha256::hexOf(content)};
    }

    std::string share(const VerifiedArchive& archive, std::stop_token stop = {}) {
        return test::outcomeOf([&] {
            result = app->client.shareArchive(archive, account, DriveLinkRole::reader, token(),
                                              progress(), stop);
        });
    }

    std::string resume(const Uuid& jobID) {
        return test::outcomeOf([&] {
            result = app->client.resume(jobID, account, std::nullopt, token(), progress(), {});
        });
    }

    std::string verify(const Uuid& jobID) {
        return test::outcomeOf(
            [&] { result = app->client.verifiedLink(jobID, account, token(), {}); });
    }

    std::optional<DriveTransferRecord> record(const Uuid& jobID) const {
        return app->journal->load(FileDriveTransferJournal::key(account, jobID));
    }

    std::vector<FakeDriveService::StoredFile> uploads(const Uuid& jobID) {
        return server.service().filesWithProperty(marker,
                                                  FileDriveTransferJournal::key(account, jobID));
    }

    // Drive holds exactly one upload of the job, and it is `content`.
    void expectUploadedOnce(const Uuid& jobID, const std::string& content) {
        const std::vector<FakeDriveService::StoredFile> files = uploads(jobID);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_TRUE(files[0].content == content);
    }

    // The upload requests the server received, in short form: "find marker", "initiate",
    // "status", "chunk <first>-<last>".
    Lines uploadTranscript() const {
        Lines lines;
        for (const Received& request : server.requests()) {
            const std::string range = request.header("Content-Range").value_or("");
            if (request.method == "POST" && request.target.starts_with("/upload/")) {
                lines.push_back("initiate");
            } else if (request.method == "PUT") {
                lines.push_back(range.starts_with("bytes */")
                                    ? "status"
                                    : "chunk " + range.substr(6, range.find('/') - 6));
            } else if (request.method == "GET" &&
                       request.target.find("appProperties") != std::string::npos) {
                lines.push_back("find marker");
            }
        }
        return lines;
    }

    TempDir dir;
    FakeDriveServer server;
    std::unique_ptr<Application> app;
    std::optional<DriveShareResult> result;

private:
    GoogleDriveTransferClient::AccessToken token() {
        return [this] { return "token-" + std::to_string(++tokensIssued_); };
    }

    static GoogleDriveTransferClient::ProgressHandler progress() {
        return [](const DriveTransferProgress&) {};
    }

    std::shared_ptr<DriveHTTPTransport> transport_;
    std::atomic<int> tokensIssued_{0};
};

// True for the chunk request that carries the bytes from `first` on.
std::function<bool(const Received&)> chunkFrom(std::int64_t first) {
    return [first](const Received& request) {
        return request.method == "PUT" && request.header("Content-Range")
                                              .value_or("")
                                              .starts_with("bytes " + std::to_string(first) + "-");
    };
}

// Holds the first request that `matches`; every other request is served.
FakeDriveServer::Interceptor holdFirst(std::function<bool(const Received&)> matches) {
    auto held = std::make_shared<std::atomic<bool>>(false);
    return [matches = std::move(matches), held](const Received& request) {
        if (matches(request) && !held->exchange(true)) {
            return Action::hold();
        }
        return Action::serve();
    };
}

Lines chunksFrom(std::int64_t first) {
    Lines lines;
    for (std::int64_t at = first; at < archiveSize; at += chunk) {
        lines.push_back("chunk " + std::to_string(at) + "-" +
                        std::to_string(std::min(at + chunk, archiveSize) - 1));
    }
    return lines;
}

Lines joined(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

TEST(DriveEndToEndTest, MultiChunkArchiveIsSharedOverHTTPS) {
    LoopbackDrive drive;
    const std::string content = test::randomBytes(archiveSize, 1);
    const VerifiedArchive archive = drive.archive(content);

    ASSERT_EQ(drive.share(archive), "ok");

    EXPECT_EQ(drive.uploadTranscript(), joined({{"find marker", "initiate"}, chunksFrom(0)}));
    drive.expectUploadedOnce(archive.jobID, content);
    const std::string id = drive.uploads(archive.jobID).front().id;
    EXPECT_EQ(drive.server.service().folderPath(id), "ZUD ERO/2024/03");
    EXPECT_EQ(drive.server.service().file(id)->permissions.size(), 1u);
    EXPECT_EQ(drive.result, (DriveShareResult{id, "https://drive.google.com/file/d/" + id + "/view",
                                              archive.sha256, DriveLinkRole::reader}));
    EXPECT_EQ(drive.record(archive.jobID)->phase, "shared");
}

TEST(DriveEndToEndTest, UploadCutOffByTheServerGoingDownIsResumedByTheNextRun) {
    LoopbackDrive drive;
    const std::string content = test::randomBytes(archiveSize, 2);
    const VerifiedArchive archive = drive.archive(content);
    drive.server.setInterceptor(holdFirst(chunkFrom(2 * chunk)));

    std::future<std::string> outcome =
        std::async(std::launch::async, [&] { return drive.share(archive); });
    ASSERT_TRUE(drive.server.waitForHeld(1));
    // The third chunk is in flight when Drive disappears; asking the session where it stands
    // then finds nobody to ask.
    drive.server.stop();
    EXPECT_TRUE(outcome.get().starts_with("transport network request cannot connect"));
    const std::optional<DriveTransferRecord> left = drive.record(archive.jobID);
    ASSERT_TRUE(left && left->sessionURL);
    EXPECT_EQ(left->phase, "uploading");
    EXPECT_EQ(left->offset, 2 * chunk);

    drive.server.setInterceptor({});
    drive.server.start();
    drive.server.clearRequests();
    drive.restartApplication();
    const std::vector<DriveRecoveryItem> pending = drive.app->client.pendingRecords(account);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].jobID, archive.jobID);

    ASSERT_EQ(drive.resume(archive.jobID), "ok");
    EXPECT_EQ(drive.uploadTranscript(), joined({{"status"}, chunksFrom(2 * chunk)}));
    EXPECT_EQ(drive.server.service().sessionsStarted(), 1u);
    drive.expectUploadedOnce(archive.jobID, content);
    EXPECT_EQ(drive.record(archive.jobID)->phase, "shared");
}

TEST(DriveEndToEndTest, SessionExpiringMidUploadIsStartedAgain) {
    LoopbackDrive drive;
    const std::string content = test::randomBytes(archiveSize, 3);
    const VerifiedArchive archive = drive.archive(content);
    auto expired = std::make_shared<std::atomic<bool>>(false);
    drive.server.setInterceptor([&drive, expired](const Received& request) {
        if (chunkFrom(chunk)(request) && !expired->exchange(true)) {
            drive.server.service().loseSessions(1);
        }
        return Action::serve();
    });

    ASSERT_EQ(drive.share(archive), "ok");

    EXPECT_EQ(drive.uploadTranscript(), joined({{"find marker", "initiate", "chunk 0-262143",
                                                 "chunk 262144-524287", "find marker", "initiate"},
                                                chunksFrom(0)}));
    EXPECT_EQ(drive.server.service().sessionsStarted(), 2u);
    drive.expectUploadedOnce(archive.jobID, content);
}

TEST(DriveEndToEndTest, VerifiedLinkOfATrashedFileReportsItDeleted) {
    LoopbackDrive drive;
    const VerifiedArchive archive = drive.archive(test::randomBytes(archiveSize, 4));
    ASSERT_EQ(drive.share(archive), "ok");
    const DriveShareResult shared = *drive.result;
    const std::optional<DriveTransferRecord> before = drive.record(archive.jobID);

    drive.result.reset();
    ASSERT_EQ(drive.verify(archive.jobID), "ok");
    EXPECT_EQ(drive.result, shared);

    drive.server.service().trash(shared.fileID);
    EXPECT_EQ(drive.verify(archive.jobID), "remoteDeleted");
    EXPECT_EQ(drive.record(archive.jobID), before);
}

TEST(DriveEndToEndTest, StopDuringAChunkEndsPromptlyAndLeavesTheJobResumable) {
    LoopbackDrive drive;
    const std::string content = test::randomBytes(archiveSize, 5);
    const VerifiedArchive archive = drive.archive(content);
    drive.server.setInterceptor(holdFirst(chunkFrom(chunk)));

    std::stop_source stop;
    std::future<std::string> outcome =
        std::async(std::launch::async, [&] { return drive.share(archive, stop.get_token()); });
    ASSERT_TRUE(drive.server.waitForHeld(1));
    stop.request_stop();
    // About a second is the aim; the bound only catches a stop that waits for the server.
    const std::future_status status = outcome.wait_for(std::chrono::seconds(5));
    drive.server.releaseHeld();
    ASSERT_EQ(status, std::future_status::ready);
    EXPECT_EQ(outcome.get(), "cancelled");

    const std::optional<DriveTransferRecord> left = drive.record(archive.jobID);
    ASSERT_TRUE(left && left->sessionURL);
    EXPECT_EQ(left->phase, "uploading");
    EXPECT_EQ(left->offset, chunk);

    drive.server.setInterceptor({});
    drive.server.clearRequests();
    ASSERT_EQ(drive.resume(archive.jobID), "ok");
    EXPECT_EQ(drive.uploadTranscript(), joined({{"status"}, chunksFrom(chunk)}));
    EXPECT_EQ(drive.server.service().sessionsStarted(), 1u);
    drive.expectUploadedOnce(archive.jobID, content);
}

TEST(DriveEndToEndTest, RedirectsAreNotFollowedAndTheTokenStaysWithDrive) {
    struct Case {
        std::string name;
        std::function<bool(const Received&)> at;
        // The answer, given the origin of another server that would accept the request.
        std::function<DriveHTTPResponse(const std::string& elsewhere, const Received&)> answer;
        std::string outcome;
    };
    const auto redirect = [](int status) {
        return [status](const std::string& elsewhere, const Received& request) {
            return DriveHTTPResponse{status, {{"Location", elsewhere + request.target}}, ""};
        };
    };
    const std::vector<Case> cases = {
        {"folder lookup", [](const Received& r) { return r.method == "GET"; }, redirect(302),
         "http(302)"},
        {"upload session on another host",
         [](const Received& r) { return r.method == "POST" && r.target.starts_with("/upload/"); },
         [](const std::string& elsewhere, const Received&) {
             return DriveHTTPResponse{
                 200,
                 {{"Location",
                   elsewhere + "/upload/drive/v3/files?uploadType=resumable&upload_id=1"}},
                 ""};
         },
         "invalidResponse"},
        {"chunk", chunkFrom(chunk), redirect(302), "http(302)"},
        {"permission creation",
         [](const Received& r) {
             return r.method == "POST" && r.target.find("/permissions") != std::string::npos;
         },
         redirect(307), "http(307)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackDrive drive;
        FakeDriveServer elsewhere;
        // The transport trusts the other server too: only the transport's refusal to follow
        // keeps the request, and the bearer token in it, from going there.
        URLSessionDriveHTTPTransport::Options options = drive.server.transportOptions();
        options.trustedCertificatesPEM += elsewhere.authorityPEM();
        drive.useTransport(std::make_shared<URLSessionDriveHTTPTransport>(options));
        const std::string elsewhereOrigin = elsewhere.origin("localhost");
        auto answered = std::make_shared<std::atomic<bool>>(false);
        drive.server.setInterceptor([&c, elsewhereOrigin, answered](const Received& request) {
            if (c.at(request) && !answered->exchange(true)) {
                return Action::answer(c.answer(elsewhereOrigin, request));
            }
            return Action::serve();
        });

        EXPECT_EQ(drive.share(drive.archive(test::randomBytes(archiveSize, 6))), c.outcome);
        EXPECT_TRUE(answered->load());
        EXPECT_TRUE(elsewhere.requests().empty());
    }
}

}  // namespace
}  // namespace tolvane
