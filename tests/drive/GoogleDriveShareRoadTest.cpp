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
using Reports = std::vector<DriveTransferProgress>;
using Match = std::function<bool(const DriveHTTPRequest&)>;

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

Match is(std::string method, std::string path) {
    return [=](const DriveHTTPRequest& request) {
        return request.method == method && test::urlPath(request.url).ends_with(path);
    };
}

// The file metadata request of the remote check.
bool isMetadataRequest(const DriveHTTPRequest& request) {
    const std::string path = test::urlPath(request.url);
    return request.method == "GET" && path.starts_with("/drive/v3/files/") &&
           !path.ends_with("/permissions");
}

// What a quitting application leaves behind: the exchange ends without an answer.
[[noreturn]] void quit() {
    throw TransportError(TransportError::Kind::cancelled, "application quit");
}

const std::string quitOutcome = test::outcomeOf([] { quit(); });

// Quits at the first request `at` matches, after it reached Drive when `reached`.
DriveTransportTap::Hook quitAt(Match at, bool reached = false) {
    return [=](const DriveHTTPRequest& request, std::stop_token,
               const DriveTransportTap::Forward& forward) {
        if (at(request)) {
            if (reached) {
                forward();
            }
            quit();
        }
        return forward();
    };
}

// Drive's metadata answer with `field` replaced.
DriveTransportTap::Hook metadataWith(std::string field, std::string value) {
    return [=](const DriveHTTPRequest& request, std::stop_token,
               const DriveTransportTap::Forward& forward) {
        DriveHTTPResponse answer = forward();
        if (isMetadataRequest(request)) {
            nlohmann::json file = nlohmann::json::parse(answer.body);
            file[field] = value;
            answer.body = file.dump();
        }
        return answer;
    };
}

std::vector<FakeDriveService::StoredFile> uploadsOf(const DriveShareBench& bench,
                                                    const VerifiedArchive& archive) {
    return bench.drive->filesWithProperty(
        marker, FileDriveTransferJournal::key(DriveShareBench::account, archive.jobID));
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
    const std::vector<FakeDriveService::StoredFile> uploads = uploadsOf(bench, archive);
    ASSERT_EQ(uploads.size(), 1u);
    const FakeDriveService::StoredFile& remote = uploads.front();
    EXPECT_EQ(remote.name, "Delivery 03.zip");
    EXPECT_TRUE(remote.content == content);
    EXPECT_EQ(bench.drive->folderPath(remote.id), "ZUD ERO/2024/03");
    ASSERT_EQ(remote.permissions.size(), 1u);
    EXPECT_EQ(remote.permissions[0],
              (DrivePermission{remote.permissions[0].id, "anyone", "reader", false}));

    const std::string link = "https://drive.google.com/file/d/" + remote.id + "/view";
    EXPECT_EQ(bench.result,
              (DriveShareResult{remote.id, link, archive.sha256, DriveLinkRole::reader}));
    const std::int64_t n = archiveSize;
    const Reports reports = {{Stage::hashing, 0, 0},        {Stage::uploading, 0, n},
                             {Stage::uploading, 262144, n}, {Stage::uploading, 524288, n},
                             {Stage::uploading, n, n},      {Stage::verifying, n, n},
                             {Stage::publishing, n, n}};
    EXPECT_EQ(bench.reports(), reports);

    const DriveTransferRecord record = *bench.record(archive.jobID);
    EXPECT_EQ(record.phase, "shared");
    Md5 md5;
    md5.update(content);
    EXPECT_EQ(record.md5, HexString::encode(md5.finish()));
    EXPECT_EQ(record.folderID, remote.parents.front());
    EXPECT_EQ(record.remoteFileID, remote.id);
    EXPECT_EQ(record.verifiedLink, link);
    EXPECT_FALSE(record.sessionURL);

    // A later share in the same month finds the three folders and creates none.
    bench.tap->setHook({});
    bench.clearLog();
    const VerifiedArchive second = bench.archive("Second.zip", test::randomBytes(1000, 2));
    ASSERT_EQ(bench.share(second, DriveLinkRole::writer), "ok");
    EXPECT_EQ(bench.transcript(),
              (Lines{"find folder ZUD ERO", "find folder 2024", "find folder 03", "find marker",
                     "initiate", "chunk 0-999", "metadata", "permissions",
                     "create permission writer", "permissions"}));
    EXPECT_EQ(bench.record(second.jobID)->folderID, record.folderID);
}

TEST(GoogleDriveShareRoadTest, EmptyArchiveIsSharedThroughTheCompletionQuery) {
    DriveShareBench bench;
    const VerifiedArchive archive = bench.archive("EMPTY.ZIP", "");  // the extension ignores case
    ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
    EXPECT_EQ(bench.transcript(),
              joined({folderCreation, {"find marker", "initiate", "status"}, newLink}));
    EXPECT_EQ(bench.drive->file(bench.result->fileID)->content, "");
}

TEST(GoogleDriveShareRoadTest, SecondShareFindsTheMarkedUploadInsteadOfUploadingAgain) {
    DriveShareBench bench;
    const VerifiedArchive archive =
        bench.archive("Delivery.zip", test::randomBytes(archiveSize, 3));

    // The last chunk reaches Drive, but its answer never reaches the application.
    bench.tap->setHook(quitAt(
        [](const DriveHTTPRequest& r) {
            return r.method == "PUT" &&
                   r.header("Content-Range").value_or("").ends_with("-599999/600000");
        },
        true));
    EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), quitOutcome);
    EXPECT_EQ(bench.record(archive.jobID)->phase, "uploading");
    EXPECT_TRUE(bench.record(archive.jobID)->sessionURL);
    ASSERT_EQ(uploadsOf(bench, archive).size(), 1u);

    // By the next start Drive has forgotten the finished session; the run that notices it is
    // stopped while it looks for the upload the lost session may have finished.
    bench.drive->loseSessions(1);
    bench.clearLog();
    bench.tap->setHook(quitAt(is("GET", "/drive/v3/files")));
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
    const std::vector<FakeDriveService::StoredFile> uploads = uploadsOf(bench, archive);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(bench.result->fileID, uploads.front().id);
    EXPECT_EQ(bench.record(archive.jobID)->phase, "shared");
}

// Everything that is wrong with the local archive is found before Drive is asked anything.
TEST(GoogleDriveShareRoadTest, LocalArchiveIsCheckedBeforeAnyRequest) {
    const std::vector<std::tuple<std::string, std::string, std::function<void(VerifiedArchive&)>>>
        cases = {
            {"one byte longer than packed", "archiveChanged",
             [](VerifiedArchive& a) { test::writeFile(a.url, test::readFile(a.url) + "x"); }},
            {"same size, other bytes", "archiveChanged",
             [](VerifiedArchive& a) {
                 std::string bytes = test::readFile(a.url);
                 bytes[bytes.size() / 2] ^= 1;
                 test::writeFile(a.url, bytes);
             }},
            {"recorded digest in upper case", "archiveChanged",
             [](VerifiedArchive& a) {
                 std::transform(a.sha256.begin(), a.sha256.end(), a.sha256.begin(), ::toupper);
             }},
            {"file missing", "invalidArchive", [](VerifiedArchive& a) { ::unlink(a.url.c_str()); }},
            {"last extension not zip", "invalidArchive",
             [](VerifiedArchive& a) {
                 ::rename(a.url.c_str(), (a.url + ".part").c_str());
                 a.url += ".part";
             }},
            {"relative path", "invalidArchive", [](VerifiedArchive& a) { a.url = "Delivery.zip"; }},
            {"symbolic link to the archive", "invalidArchive",
             [](VerifiedArchive& a) {
                 ASSERT_EQ(::symlink(a.url.c_str(), (a.url + "-link.zip").c_str()), 0);
                 a.url += "-link.zip";
             }},
            {"directory named like a ZIP", "invalidArchive",
             [](VerifiedArchive& a) {
                 a.url += "-folder.zip";
                 ASSERT_EQ(::mkdir(a.url.c_str(), 0700), 0);
             }},
        };
    for (const auto& [name, outcome, spoil] : cases) {
        SCOPED_TRACE(name);
        DriveShareBench bench;
        VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(5000, 5));
        spoil(archive);
        EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), outcome);
        const Reports hashedOnly = {{Stage::hashing, 0, 0}};
        EXPECT_EQ(bench.reports(), outcome == "archiveChanged" ? hashedOnly : Reports{});
        EXPECT_TRUE(bench.transcript().empty());
        EXPECT_EQ(bench.recordFile(archive.jobID), "");
    }
}

// Nothing is published for a remote copy that is not the archive on disk.
void expectNothingPublished(const DriveShareBench& bench, const VerifiedArchive& archive) {
    const DriveTransferRecord record = *bench.record(archive.jobID);
    EXPECT_EQ(record.phase, "uploaded");
    EXPECT_EQ(bench.transcript().back(), "metadata");
    EXPECT_TRUE(bench.drive->file(*record.remoteFileID)->permissions.empty());
    EXPECT_NE(bench.reports().back().stage, Stage::publishing);
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
    expectNothingPublished(bench, archive);
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
            bench.tap->setHook(metadataWith("sha256Checksum", *c.reportedSHA256));
        }
        const VerifiedArchive archive =
            bench.archive("Delivery.zip", test::randomBytes(archiveSize, 8));
        EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), c.outcome);
        if (c.outcome == "ok") {
            EXPECT_EQ(bench.record(archive.jobID)->phase, "shared");
        } else {
            expectNothingPublished(bench, archive);
        }
    }
}

// A share that is stopped at any point leaves a record from which the next share completes.
TEST(GoogleDriveShareRoadTest, CancelledShareCompletesOnTheNextRun) {
    struct Case {
        std::string name;
        Match at;
        bool forwardFirst;  // the request reached Drive before the stop
        std::string phase;
        Lines rest;
        std::size_t archiveBytes = archiveSize;
    };
    const Match createPermission = is("POST", "/permissions");
    const std::vector<Case> cases = {
        {"while the permission is created",
         createPermission,
         true,
         "needsPermissionCheck",
         {"metadata", "permissions", "permissions"}},
        {"before the permission is created", createPermission, false, "needsPermissionCheck",
         newLink},
        {"before the remote check", isMetadataRequest, false, "uploaded", newLink},
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
            const DriveHTTPResponse answer = c.forwardFirst ? forward() : DriveHTTPResponse{};
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
    const Reports reports = bench.reports();
    EXPECT_NE(std::find(reports.begin(), reports.end(),
                        DriveTransferProgress{Stage::retrying, 262144, archiveSize}),
              reports.end());
}

// The link permission already on the file decides; an existing public link is never changed.
TEST(GoogleDriveShareRoadTest, ExistingPublicLinkDecidesThePermission) {
    struct Case {
        std::string name;
        std::vector<DrivePermission> existing;  // identifiers are given by Drive
        std::string outcome;
        Lines permissionRequests;
        std::size_t pageSize = 100;
    };
    const Lines created = {"permissions", "create permission reader", "permissions"};
    const std::vector<Case> cases = {
        {"no permission", {}, "ok", created},
        {"only a user may write", {{"", "user", "writer", {}}}, "ok", created},
        {"anyone may read already",
         {{"", "anyone", "reader", false}},
         "ok",
         Lines(2, "permissions")},
        {"anyone may read and find it by search",
         {{"", "anyone", "reader", true}},
         "roleConflict",
         Lines(1, "permissions")},
        {"anyone may write",
         {{"", "anyone", "writer", {}}},
         "roleConflict",
         Lines(1, "permissions")},
        {"reader on the first page, writer on the third",
         {{"", "anyone", "reader", {}}, {"", "user", "owner", {}}, {"", "anyone", "writer", {}}},
         "roleConflict",
         Lines(3, "permissions"),
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveShareBench bench;
        const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(4000, 11));
        bench.tap->setHook(quitAt(is("GET", "/permissions")));
        ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), quitOutcome);
        bench.drive->setPermissionPageSize(c.pageSize);
        for (const DrivePermission& p : c.existing) {
            bench.drive->addPermission(*bench.record(archive.jobID)->remoteFileID, p.type, p.role,
                                       p.allowFileDiscovery);
        }

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
        if (is("POST", "/permissions")(request)) {
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
        bench.tap->setHook(metadataWith("webViewLink", link));
        EXPECT_EQ(bench.share(archive, DriveLinkRole::reader), outcome);
        EXPECT_EQ(bench.record(archive.jobID)->phase, outcome == "ok" ? "shared" : "uploaded");
    }
}

TEST(GoogleDriveShareRoadTest, RecordOfAnotherJobOrFileIsNotUsed) {
    const std::vector<std::pair<std::string, std::function<void(DriveTransferRecord&)>>> cases = {
        {"other account", [](DriveTransferRecord& r) { r.accountSubject = "subject-2"; }},
        {"other job", [](DriveTransferRecord& r) { r.jobID = Uuid::random(); }},
        {"other digest", [](DriveTransferRecord& r) { r.sha256 = std::string(64, 'a'); }},
        {"other size", [](DriveTransferRecord& r) { *r.byteCount += 1; }},
    };
    for (const auto& [name, tamper] : cases) {
        SCOPED_TRACE(name);
        DriveShareBench bench;
        const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(3000, 16));
        bench.tap->setHook(quitAt([](const DriveHTTPRequest& r) { return r.method == "PUT"; }));
        ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), quitOutcome);
        DriveTransferRecord record = *bench.record(archive.jobID);
        tamper(record);
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
