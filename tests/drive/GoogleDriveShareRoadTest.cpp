#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "support/FakeDriveService.h"
#include "support/ScriptedDriveTransport.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::DriveShareBench;
using test::DriveTransportTap;
using test::FakeDriveService;
using Stage = DriveTransferProgress::Stage;
using Lines = std::vector<std::string>;

constexpr std::int64_t archiveSize = 600'000;  // two full chunks and a remainder
const std::string marker = "tolvaneTransfer";

const Lines folderCreation = {"find folder ZUD ERO", "create folder ZUD ERO", "find folder 2024",
                              "create folder 2024",  "find folder 03",        "create folder 03"};
const Lines uploadOfThreeChunks = {"find marker", "initiate", "chunk 0-262143",
                                   "chunk 262144-524287", "chunk 524288-599999"};
const Lines newLink = {"metadata", "permissions", "create permission reader", "permissions"};

Lines joined(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

bool isRequest(const DriveHTTPRequest& request, std::string_view method, std::string_view path) {
    return request.method == method && test::urlPath(request.url).ends_with(path);
}

// The file metadata request of the remote check.
bool isMetadataRequest(const DriveHTTPRequest& request) {
    const std::string path = test::urlPath(request.url);
    return request.method == "GET" && path.starts_with("/drive/v3/files/") &&
           !path.ends_with("/permissions");
}

bool isFinalChunk(const DriveHTTPRequest& request) {
    return request.method == "PUT" &&
           request.header("Content-Range").value_or("").ends_with("-599999/600000");
}

// What a quitting application leaves behind: the exchange ends without an answer.
[[noreturn]] void quit() {
    throw TransportError(TransportError::Kind::cancelled, "application quit");
}

// How a share stopped by quit() ends.
const std::string quitOutcome = test::outcomeOf([] { quit(); });

std::string md5Of(const std::string& bytes) {
    Md5 md5;
    md5.update(bytes);
    return HexString::encode(md5.finish());
}

TEST(GoogleDriveShareRoadTest, ShareEndToEndIntoTheMonthFolder) {
    DriveShareBench bench;
    const std::string content = test::randomBytes(archiveSize, 1);
    const VerifiedArchive archive = bench.archive("Delivery 03.zip", content);
    // The journal as each request leaves: every step is saved before the next begins.
    std::vector<std::string> phases;
    bench.tap->setHook(
        [&](const DriveHTTPRequest&, std::stop_token, const DriveTransportTap::Forward& forward) {
            phases.push_back(bench.record(archive.jobID)->phase);
            return forward();
        });

    ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");

    EXPECT_EQ(bench.transcript(), joined({folderCreation, uploadOfThreeChunks, newLink}));
    EXPECT_EQ(phases, joined({Lines(8, "prepared"),
                              Lines(3, "uploading"),
                              {"uploaded"},
                              Lines(3, "needsPermissionCheck")}));
    const std::vector<FakeDriveService::StoredFile> uploads = bench.drive->filesWithProperty(
        marker, FileDriveTransferJournal::key("subject-1", archive.jobID));
    ASSERT_EQ(uploads.size(), 1u);
    const FakeDriveService::StoredFile& remote = uploads.front();
    EXPECT_EQ(remote.name, "Delivery 03.zip");
    EXPECT_TRUE(remote.content == content);
    EXPECT_EQ(bench.drive->folderPath(remote.id), "ZUD ERO/2024/03");
    ASSERT_EQ(remote.permissions.size(), 1u);
    EXPECT_EQ(remote.permissions[0].type, "anyone");
    EXPECT_EQ(remote.permissions[0].role, "reader");
    EXPECT_EQ(remote.permissions[0].allowFileDiscovery, false);

    const std::string link = "https://drive.google.com/file/d/" + remote.id + "/view";
    EXPECT_EQ(bench.result,
              (DriveShareResult{remote.id, link, archive.sha256, DriveLinkRole::reader}));
    const std::int64_t n = archiveSize;
    EXPECT_EQ(bench.reports(), (std::vector<DriveTransferProgress>{{Stage::hashing, 0, 0},
                                                                   {Stage::uploading, 0, n},
                                                                   {Stage::uploading, 262144, n},
                                                                   {Stage::uploading, 524288, n},
                                                                   {Stage::uploading, n, n},
                                                                   {Stage::verifying, n, n},
                                                                   {Stage::publishing, n, n}}));
    EXPECT_TRUE(bench.waits().empty());

    const DriveTransferRecord record = *bench.record(archive.jobID);
    EXPECT_EQ(record.phase, "shared");
    EXPECT_EQ(record.schemaVersion, 2);
    EXPECT_EQ(record.jobID, archive.jobID);
    EXPECT_EQ(record.accountSubject, "subject-1");
    EXPECT_EQ(record.filename, "Delivery 03.zip");
    EXPECT_EQ(record.byteCount, n);
    EXPECT_EQ(record.sha256, archive.sha256);
    EXPECT_EQ(record.md5, md5Of(content));
    EXPECT_EQ(record.folderID, remote.parents.front());
    EXPECT_EQ(record.remoteFileID, remote.id);
    EXPECT_EQ(record.verifiedLink, link);
    EXPECT_FALSE(record.bookmark);
    EXPECT_FALSE(record.sessionURL);
    EXPECT_EQ(record.requestedRole, DriveLinkRole::reader);
    EXPECT_EQ(record.updatedAt, DriveShareBench::midMarch2024);
    EXPECT_TRUE(bench.client.pendingRecords("subject-1").empty());

    // A later share in the same month finds the three folders and creates none.
    bench.tap->setHook({});
    bench.clearLog();
    const VerifiedArchive second = bench.archive("Second.zip", test::randomBytes(1000, 2));
    ASSERT_EQ(bench.share(second, DriveLinkRole::writer), "ok");
    EXPECT_EQ(bench.transcript(),
              (Lines{"find folder ZUD ERO", "find folder 2024", "find folder 03", "find marker",
                     "initiate", "chunk 0-999", "metadata", "permissions",
                     "create permission writer", "permissions"}));
    EXPECT_EQ(bench.drive->folderPath(bench.result->fileID), "ZUD ERO/2024/03");
    EXPECT_EQ(bench.record(second.jobID)->folderID, record.folderID);
}

TEST(GoogleDriveShareRoadTest, EmptyArchiveIsSharedThroughTheCompletionQuery) {
    DriveShareBench bench;
    const VerifiedArchive archive = bench.archive("empty.zip", "");
    ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
    EXPECT_EQ(bench.transcript(),
              joined({folderCreation, {"find marker", "initiate", "status"}, newLink}));
    EXPECT_EQ(bench.drive->file(bench.result->fileID)->content, "");
}

TEST(GoogleDriveShareRoadTest, SecondShareFindsTheMarkedUploadInsteadOfUploadingAgain) {
    DriveShareBench bench;
    const VerifiedArchive archive =
        bench.archive("Delivery.zip", test::randomBytes(archiveSize, 3));
    const std::string key = FileDriveTransferJournal::key("subject-1", archive.jobID);

    // The last chunk reaches Drive, but its answer never reaches the application.
    bench.tap->setHook([](const DriveHTTPRequest& request, std::stop_token,
                          const DriveTransportTap::Forward& forward) {
        if (isFinalChunk(request)) {
            forward();
            quit();
        }
        return forward();
    });
    EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), quitOutcome);
    EXPECT_EQ(bench.record(archive.jobID)->phase, "uploading");
    EXPECT_TRUE(bench.record(archive.jobID)->sessionURL);
    ASSERT_EQ(bench.drive->filesWithProperty(marker, key).size(), 1u);

    // By the next start Drive has forgotten the finished session; the run that notices it is
    // stopped while it looks for the upload the lost session may have finished.
    bench.drive->loseSessions(1);
    bench.clearLog();
    bench.tap->setHook([](const DriveHTTPRequest& request, std::stop_token,
                          const DriveTransportTap::Forward& forward) {
        if (isRequest(request, "GET", "/drive/v3/files")) {
            quit();
        }
        return forward();
    });
    EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), quitOutcome);
    EXPECT_EQ(bench.transcript(), (Lines{"status", "find marker"}));
    const DriveTransferRecord stopped = *bench.record(archive.jobID);
    EXPECT_FALSE(stopped.sessionURL);
    EXPECT_FALSE(stopped.remoteFileID);
    EXPECT_EQ(stopped.offset, 0);

    // The next share looks for the marker before it would upload, and finds the file.
    bench.clearLog();
    bench.tap->setHook({});
    ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
    EXPECT_EQ(bench.transcript(), joined({{"find marker"}, newLink}));
    EXPECT_EQ(bench.drive->sessionsStarted(), 1u);
    const std::vector<FakeDriveService::StoredFile> uploads =
        bench.drive->filesWithProperty(marker, key);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(bench.result->fileID, uploads.front().id);
    EXPECT_EQ(bench.record(archive.jobID)->phase, "shared");
}

TEST(GoogleDriveShareRoadTest, ShareAfterACompletedUploadGoesStraightToTheRemoteCheck) {
    DriveShareBench bench;
    const VerifiedArchive archive =
        bench.archive("Delivery.zip", test::randomBytes(archiveSize, 4));
    bench.tap->setHook([](const DriveHTTPRequest& request, std::stop_token,
                          const DriveTransportTap::Forward& forward) {
        if (isMetadataRequest(request)) {
            quit();
        }
        return forward();
    });
    EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), quitOutcome);
    EXPECT_EQ(bench.record(archive.jobID)->phase, "uploaded");

    bench.clearLog();
    bench.tap->setHook({});
    ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
    EXPECT_EQ(bench.transcript(), newLink);
    EXPECT_EQ(bench.drive->sessionsStarted(), 1u);
}

// Everything that is wrong with the local archive is found before Drive is asked anything.
TEST(GoogleDriveShareRoadTest, LocalArchiveIsCheckedBeforeAnyRequest) {
    struct Case {
        std::string name;
        std::function<void(VerifiedArchive&, const DriveShareBench&)> spoil;
        std::string outcome;
        std::vector<DriveTransferProgress> reports;
    };
    const std::vector<DriveTransferProgress> hashedOnly = {{Stage::hashing, 0, 0}};
    const std::vector<Case> cases = {
        {"one byte longer than packed",
         [](VerifiedArchive& a, const DriveShareBench&) {
             test::writeFile(a.url, test::readFile(a.url) + "x");
         },
         "archiveChanged", hashedOnly},
        {"same size, other bytes",
         [](VerifiedArchive& a, const DriveShareBench&) {
             std::string bytes = test::readFile(a.url);
             bytes[bytes.size() / 2] ^= 1;
             test::writeFile(a.url, bytes);
         },
         "archiveChanged", hashedOnly},
        {"recorded digest in upper case",
         [](VerifiedArchive& a, const DriveShareBench&) {
             for (char& c : a.sha256) {
                 c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
             }
         },
         "archiveChanged", hashedOnly},
        {"file missing",
         [](VerifiedArchive& a, const DriveShareBench&) { ::unlink(a.url.c_str()); },
         "invalidArchive",
         {}},
        {"last extension not zip",
         [](VerifiedArchive& a, const DriveShareBench&) {
             ::rename(a.url.c_str(), (a.url + ".part").c_str());
             a.url += ".part";
         },
         "invalidArchive",
         {}},
        {"relative path",
         [](VerifiedArchive& a, const DriveShareBench&) { a.url = "Delivery.zip"; },
         "invalidArchive",
         {}},
        {"symbolic link to the archive",
         [](VerifiedArchive& a, const DriveShareBench& bench) {
             const std::string link = bench.dir.file("link.zip");
             ASSERT_EQ(::symlink(a.url.c_str(), link.c_str()), 0);
             a.url = link;
         },
         "invalidArchive",
         {}},
        {"directory named like a ZIP",
         [](VerifiedArchive& a, const DriveShareBench& bench) {
             a.url = bench.dir.file("folder.zip");
             ASSERT_EQ(::mkdir(a.url.c_str(), 0700), 0);
         },
         "invalidArchive",
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveShareBench bench;
        VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(5000, 5));
        c.spoil(archive, bench);
        EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), c.outcome);
        EXPECT_EQ(bench.reports(), c.reports);
        EXPECT_TRUE(bench.transcript().empty());
        EXPECT_EQ(bench.recordFile(archive.jobID), "");
    }
}

TEST(GoogleDriveShareRoadTest, UpperCaseExtensionIsAccepted) {
    DriveShareBench bench;
    const VerifiedArchive archive = bench.archive("DELIVERY.ZIP", test::randomBytes(100, 6));
    EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
}

TEST(GoogleDriveShareRoadTest, ArchiveChangedDuringTheUploadIsNotShared) {
    DriveShareBench bench;
    const VerifiedArchive archive =
        bench.archive("Delivery.zip", test::randomBytes(archiveSize, 7));
    // Bytes already sent change: Drive holds the packed archive, the disk no longer does.
    bench.tap->setHook([&](const DriveHTTPRequest& request, std::stop_token,
                           const DriveTransportTap::Forward& forward) {
        DriveHTTPResponse answer = forward();
        if (request.header("Content-Range") == "bytes 0-262143/600000") {
            std::string bytes = test::readFile(archive.url);
            bytes[10] ^= 1;
            test::writeFile(archive.url, bytes);
        }
        return answer;
    });
    EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), "archiveChanged");
    EXPECT_EQ(bench.transcript().back(), "metadata");
    EXPECT_EQ(bench.record(archive.jobID)->phase, "uploaded");
    EXPECT_TRUE(
        bench.drive->file(bench.record(archive.jobID)->remoteFileID.value())->permissions.empty());
}

TEST(GoogleDriveShareRoadTest, RemoteCopyMustMatchTheArchive) {
    struct Case {
        std::string name;
        FakeDriveService::Quirks quirks;
        std::string outcome;
        std::optional<std::string> reportedSHA256 = std::nullopt;  // in place of Drive's own
    };
    const std::vector<Case> cases = {
        {"faithful copy", {}, "ok"},
        {"checksums in upper case", {.upperCaseChecksums = true}, "ok"},
        {"no SHA-256, MD5 decides", {.omitSHA256 = true}, "ok"},
        {"corrupted copy", {.corruptUploads = true}, "checksumMismatch"},
        {"corrupted copy, no SHA-256",
         {.corruptUploads = true, .omitSHA256 = true},
         "checksumMismatch"},
        // The MD5 speaks only when Drive gives no SHA-256.
        {"SHA-256 wrong, MD5 right", {}, "checksumMismatch", std::string(64, '0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveShareBench bench;
        bench.drive->setQuirks(c.quirks);
        if (c.reportedSHA256) {
            bench.tap->setHook([&](const DriveHTTPRequest& request, std::stop_token,
                                   const DriveTransportTap::Forward& forward) {
                DriveHTTPResponse answer = forward();
                if (isMetadataRequest(request)) {
                    nlohmann::json file = nlohmann::json::parse(answer.body);
                    file["sha256Checksum"] = *c.reportedSHA256;
                    answer.body = file.dump();
                }
                return answer;
            });
        }
        const VerifiedArchive archive =
            bench.archive("Delivery.zip", test::randomBytes(archiveSize, 8));
        EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), c.outcome);
        const DriveTransferRecord record = *bench.record(archive.jobID);
        const FakeDriveService::StoredFile remote = *bench.drive->file(*record.remoteFileID);
        if (c.outcome == "ok") {
            EXPECT_EQ(record.phase, "shared");
            continue;
        }
        // Nothing is published for a copy that is not the archive.
        EXPECT_EQ(record.phase, "uploaded");
        EXPECT_EQ(bench.transcript().back(), "metadata");
        EXPECT_TRUE(remote.permissions.empty());
        EXPECT_NE(bench.reports().back().stage, Stage::publishing);
    }
}

// A share that is stopped at any point leaves a record from which the next share completes.
TEST(GoogleDriveShareRoadTest, CancelledShareCompletesOnTheNextRun) {
    struct Case {
        std::string name;
        std::function<bool(const DriveHTTPRequest&)> at;
        bool forwardFirst;  // the request reached Drive before the stop
        std::string phase;
        Lines rest;
        std::size_t archiveBytes = archiveSize;
    };
    const std::vector<Case> cases = {
        {"while the permission is created",
         [](const DriveHTTPRequest& r) { return isRequest(r, "POST", "/permissions"); },
         true,
         "needsPermissionCheck",
         {"metadata", "permissions", "permissions"}},
        {"before the permission is created",
         [](const DriveHTTPRequest& r) { return isRequest(r, "POST", "/permissions"); }, false,
         "needsPermissionCheck", newLink},
        {"after the remote check answered", isMetadataRequest, true, "uploaded", newLink},
        // Nothing to read in the second digest, so only the last check before "verified" can
        // see the stop.
        {"after the remote check of an empty archive answered", isMetadataRequest, true, "uploaded",
         newLink, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveShareBench bench;
        const VerifiedArchive archive =
            bench.archive("Delivery.zip", test::randomBytes(c.archiveBytes, 9));
        std::stop_source stopper;
        bench.tap->setHook([&](const DriveHTTPRequest& request, std::stop_token,
                               const DriveTransportTap::Forward& forward) {
            if (!c.at(request)) {
                return forward();
            }
            DriveHTTPResponse answer;
            if (c.forwardFirst) {
                answer = forward();
            }
            stopper.request_stop();
            if (!c.forwardFirst) {
                quit();
            }
            return answer;
        });
        const std::string outcome =
            bench.share(archive, DriveLinkRole::reader, stopper.get_token());
        EXPECT_TRUE(outcome == "cancelled" || outcome == quitOutcome) << outcome;
        EXPECT_EQ(bench.record(archive.jobID)->phase, c.phase);

        bench.clearLog();
        bench.tap->setHook({});
        ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
        EXPECT_EQ(bench.transcript(), c.rest);
        EXPECT_EQ(bench.drive->file(bench.result->fileID)->permissions.size(), 1u);
    }
}

TEST(GoogleDriveShareRoadTest, RateLimitsAreWaitedOut) {
    DriveShareBench bench;
    const VerifiedArchive archive =
        bench.archive("Delivery.zip", test::randomBytes(archiveSize, 10));
    // Two refusals of the first listing, then one of the second chunk.
    bench.drive->rateLimitNext(2, 403, "0.5");
    bool limited = false;
    bench.tap->setHook([&](const DriveHTTPRequest& request, std::stop_token,
                           const DriveTransportTap::Forward& forward) {
        if (!limited && request.header("Content-Range") == "bytes 262144-524287/600000") {
            limited = true;
            bench.drive->rateLimitNext(1);
        }
        return forward();
    });
    ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
    EXPECT_EQ(bench.waits(), (std::vector<std::uint64_t>{500'000'000, 500'000'000, 1'250'000'000}));
    const Lines transcript = bench.transcript();
    EXPECT_EQ(Lines(transcript.begin(), transcript.begin() + 3), Lines(3, "find folder ZUD ERO"));
    const std::vector<DriveTransferProgress> reports = bench.reports();
    EXPECT_NE(std::find(reports.begin(), reports.end(),
                        DriveTransferProgress{Stage::retrying, 262144, archiveSize}),
              reports.end());
    EXPECT_EQ(
        bench.drive
            ->filesWithProperty(marker, FileDriveTransferJournal::key("subject-1", archive.jobID))
            .front()
            .content,
        test::readFile(archive.url));
}

// The link permission already on the file decides; an existing public link is never changed.
TEST(GoogleDriveShareRoadTest, ExistingPublicLinkDecidesThePermission) {
    struct Case {
        std::string name;
        std::function<void(FakeDriveService&, const std::string& fileID)> arrange;
        std::string outcome;
        Lines permissionRequests;
    };
    const Lines readTwice = {"permissions", "permissions"};
    const Lines created = {"permissions", "create permission reader", "permissions"};
    const std::vector<Case> cases = {
        {"no permission", [](FakeDriveService&, const std::string&) {}, "ok", created},
        {"only a user may write",
         [](FakeDriveService& d, const std::string& id) { d.addPermission(id, "user", "writer"); },
         "ok", created},
        {"anyone may read already",
         [](FakeDriveService& d, const std::string& id) {
             d.addPermission(id, "anyone", "reader", false);
         },
         "ok", readTwice},
        {"anyone may read and find it by search",
         [](FakeDriveService& d, const std::string& id) {
             d.addPermission(id, "anyone", "reader", true);
         },
         "roleConflict",
         {"permissions"}},
        {"anyone may write",
         [](FakeDriveService& d, const std::string& id) {
             d.addPermission(id, "anyone", "writer");
         },
         "roleConflict",
         {"permissions"}},
        {"reader on the first page, writer on the third",
         [](FakeDriveService& d, const std::string& id) {
             d.setPermissionPageSize(1);
             d.addPermission(id, "anyone", "reader");
             d.addPermission(id, "user", "owner");
             d.addPermission(id, "anyone", "writer");
         },
         "roleConflict",
         {"permissions", "permissions", "permissions"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveShareBench bench;
        const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(4000, 11));
        bench.tap->setHook([](const DriveHTTPRequest& request, std::stop_token,
                              const DriveTransportTap::Forward& forward) {
            if (isRequest(request, "GET", "/permissions")) {
                quit();
            }
            return forward();
        });
        ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), quitOutcome);
        const std::string fileID = *bench.record(archive.jobID)->remoteFileID;
        c.arrange(*bench.drive, fileID);

        bench.clearLog();
        bench.tap->setHook({});
        EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), c.outcome);
        EXPECT_EQ(bench.transcript(), joined({{"metadata"}, c.permissionRequests}));
        EXPECT_EQ(bench.record(archive.jobID)->phase,
                  c.outcome == "ok" ? "shared" : "needsPermissionCheck");
    }
}

TEST(GoogleDriveShareRoadTest, PermissionThatDoesNotShowIsNotTrusted) {
    DriveShareBench bench;
    const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(4000, 12));
    // Drive accepts the permission but never shows it.
    bench.tap->setHook([](const DriveHTTPRequest& request, std::stop_token,
                          const DriveTransportTap::Forward& forward) {
        if (isRequest(request, "POST", "/permissions")) {
            return DriveHTTPResponse{200, {}, "{}"};
        }
        return forward();
    });
    EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), "permissionNotVerified");
    EXPECT_EQ(bench.record(archive.jobID)->phase, "needsPermissionCheck");
}

TEST(GoogleDriveShareRoadTest, JobKeepsTheRoleItWasStartedWith) {
    DriveShareBench bench;
    const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(4000, 13));
    ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
    const std::string before = bench.recordFile(archive.jobID);
    bench.clearLog();

    EXPECT_EQ(bench.share(archive, DriveLinkRole::writer), "roleConflict");
    EXPECT_TRUE(bench.transcript().empty());
    EXPECT_EQ(bench.recordFile(archive.jobID), before);

    // The same role again checks the share once more and leaves it shared.
    EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
    EXPECT_EQ(bench.transcript(), (Lines{"metadata", "permissions", "permissions"}));
    EXPECT_EQ(bench.record(archive.jobID)->phase, "shared");
}

// The link is taken only from Drive's own web host over https.
TEST(GoogleDriveShareRoadTest, WebLinkMustBeAnHttpsLinkOnTheDriveHost) {
    const std::vector<std::pair<std::string, std::string>> links = {
        {"https://drive.google.com/file/d/x/view", "ok"},
        {"http://drive.google.com/file/d/x/view", "invalidResponse"},
        {"HTTPS://drive.google.com/file/d/x/view", "invalidResponse"},
        {"https://drive.google.com.evil.example/file/d/x", "invalidResponse"},
        {"https://drive.google.com@evil.example/file/d/x", "invalidResponse"},
        {"https://evildrive.google.com/x", "invalidResponse"},
        {"https://drive.google.com@evildrive.google.com/x", "invalidResponse"},
        {"https://evil.example\\@drive.google.com/", "invalidResponse"},
        {"https://drive.google.com:443/file/d/x/view", "ok"},
        {"https://drive.google.com /file", "invalidResponse"},
        {"drive.google.com/file/d/x", "invalidResponse"},
        {"", "invalidResponse"},
    };
    for (const auto& [link, outcome] : links) {
        SCOPED_TRACE(link);
        DriveShareBench bench;
        const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(3000, 14));
        bench.tap->setHook([link = link](const DriveHTTPRequest& request, std::stop_token,
                                         const DriveTransportTap::Forward& forward) {
            DriveHTTPResponse answer = forward();
            if (isMetadataRequest(request)) {
                nlohmann::json file = nlohmann::json::parse(answer.body);
                file["webViewLink"] = link;
                answer.body = file.dump();
            }
            return answer;
        });
        EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), outcome);
        EXPECT_EQ(bench.record(archive.jobID)->phase, outcome == "ok" ? "shared" : "uploaded");
    }
}

TEST(GoogleDriveShareRoadTest, RemoteFileTrashedOrDeletedBeforeTheCheck) {
    for (const bool deleted : {false, true}) {
        SCOPED_TRACE(deleted ? "deleted" : "trashed");
        DriveShareBench bench;
        const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(3000, 15));
        bench.tap->setHook([&](const DriveHTTPRequest& request, std::stop_token,
                               const DriveTransportTap::Forward& forward) {
            if (isMetadataRequest(request)) {
                const std::string id = *bench.record(archive.jobID)->remoteFileID;
                deleted ? bench.drive->remove(id) : bench.drive->trash(id);
            }
            return forward();
        });
        EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), "remoteDeleted");
        EXPECT_EQ(bench.record(archive.jobID)->phase, "uploaded");
    }
}

TEST(GoogleDriveShareRoadTest, RecordOfAnotherJobOrFileIsNotUsed) {
    struct Case {
        std::string name;
        std::function<void(DriveTransferRecord&)> tamper;
    };
    const std::vector<Case> cases = {
        {"other account", [](DriveTransferRecord& r) { r.accountSubject = "subject-2"; }},
        {"other job", [](DriveTransferRecord& r) { r.jobID = Uuid::random(); }},
        {"other digest", [](DriveTransferRecord& r) { r.sha256 = std::string(64, 'a'); }},
        {"other size", [](DriveTransferRecord& r) { *r.byteCount += 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveShareBench bench;
        const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(3000, 16));
        bench.tap->setHook([](const DriveHTTPRequest& request, std::stop_token,
                              const DriveTransportTap::Forward& forward) {
            if (request.method == "PUT") {
                quit();
            }
            return forward();
        });
        ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), quitOutcome);
        DriveTransferRecord record = *bench.record(archive.jobID);
        c.tamper(record);
        bench.journal->save(record);
        const std::string before = bench.recordFile(archive.jobID);

        bench.clearLog();
        bench.tap->setHook({});
        EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), "invalidResponse");
        EXPECT_TRUE(bench.transcript().empty());
        EXPECT_EQ(bench.recordFile(archive.jobID), before);
    }
}

}  // namespace
}  // namespace tolvane
