#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/drive/DriveTransferError.h"
#include "core/drive/FileReference.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "support/FakeDriveService.h"
#include "support/ScriptedDriveTransport.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::DriveShareBench;
using test::DriveTransportTap;
using Lines = std::vector<std::string>;

constexpr std::int64_t archiveSize = 600'000;

// What a quitting application leaves behind: the exchange ends without an answer.
[[noreturn]] void quit() {
    throw TransportError(TransportError::Kind::cancelled, "application quit");
}

const std::string quitOutcome = test::outcomeOf([] { quit(); });

// The application quits while the chunk with `range` is on its way.
void quitAtChunk(DriveShareBench& bench, std::string range) {
    bench.tap->setHook([range](const DriveHTTPRequest& request, std::stop_token,
                               const DriveTransportTap::Forward& forward) {
        if (request.header("Content-Range") == "bytes " + range + "/600000") {
            quit();
        }
        return forward();
    });
}

// Shares `archive` until the application quits at the second chunk: Drive holds the first.
void interruptedShare(DriveShareBench& bench, const VerifiedArchive& archive, DriveLinkRole role) {
    quitAtChunk(bench, "262144-524287");
    ASSERT_EQ(bench.share(archive, role), quitOutcome);
    bench.tap->setHook({});
    bench.clearLog();
}

const Lines restOfTheUpload = {"status", "chunk 262144-524287", "chunk 524288-599999"};

TEST(GoogleDriveRecoveryTest, InterruptedShareIsListedAndResumedWithItsRole) {
    DriveShareBench bench;
    const VerifiedArchive archive =
        bench.archive("Delivery.zip", test::randomBytes(archiveSize, 1));
    const VerifiedArchive other = bench.archive("Another.zip", test::randomBytes(archiveSize, 2));
    interruptedShare(bench, archive, DriveLinkRole::writer);
    interruptedShare(bench, other, DriveLinkRole::reader);

    EXPECT_EQ(
        bench.client.pendingRecords("subject-1"),
        (std::vector<DriveRecoveryItem>{
            {other.jobID, "Another.zip", archiveSize, "uploading", DriveLinkRole::reader},
            {archive.jobID, "Delivery.zip", archiveSize, "uploading", DriveLinkRole::writer}}));
    EXPECT_TRUE(bench.client.pendingRecords("subject-2").empty());

    // The job goes on with the role it was started with, in the session it had.
    ASSERT_EQ(bench.resume(archive.jobID), "ok");
    EXPECT_EQ(bench.transcript(),
              (Lines{"status", "chunk 262144-524287", "chunk 524288-599999", "metadata",
                     "permissions", "create permission writer", "permissions"}));
    EXPECT_EQ(bench.result->role, DriveLinkRole::writer);
    EXPECT_EQ(bench.drive->sessionsStarted(), 2u);  // one per job
    EXPECT_TRUE(bench.drive->file(bench.result->fileID)->content == test::readFile(archive.url));
    EXPECT_EQ(bench.record(archive.jobID)->phase, "shared");
    EXPECT_FALSE(bench.record(archive.jobID)->bookmark);

    EXPECT_EQ(bench.client.pendingRecords("subject-1"),
              (std::vector<DriveRecoveryItem>{
                  {other.jobID, "Another.zip", archiveSize, "uploading", DriveLinkRole::reader}}));
    EXPECT_EQ(bench.verify(archive.jobID), "ok");
}

TEST(GoogleDriveRecoveryTest, MovedArchiveIsSelectedAgain) {
    struct Case {
        std::string name;
        std::function<std::string(const std::string& path, const test::TempDir& dir)> move;
    };
    const std::vector<Case> cases = {
        {"moved to another folder",
         [](const std::string& path, const test::TempDir& dir) {
             ::mkdir(dir.file("elsewhere").c_str(), 0700);
             const std::string moved = dir.file("elsewhere/Delivery.zip");
             EXPECT_EQ(::rename(path.c_str(), moved.c_str()), 0);
             return moved;
         }},
        {"replaced by a copy of itself",
         [](const std::string& path, const test::TempDir& dir) {
             const std::string copy = dir.file("copy.zip");
             test::writeFile(copy, test::readFile(path));
             EXPECT_EQ(::rename(copy.c_str(), path.c_str()), 0);
             return path;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveShareBench bench;
        const VerifiedArchive archive =
            bench.archive("Delivery.zip", test::randomBytes(archiveSize, 3));
        interruptedShare(bench, archive, DriveLinkRole::reader);
        const std::string selected = c.move(archive.url, bench.dir);
        const std::string before = bench.recordFile(archive.jobID);

        // The reference no longer leads to the file: nothing is read or sent.
        EXPECT_EQ(bench.resume(archive.jobID), "archiveNeedsReselection");
        EXPECT_TRUE(bench.transcript().empty());
        EXPECT_TRUE(bench.reports().empty());
        EXPECT_EQ(bench.recordFile(archive.jobID), before);
        EXPECT_EQ(bench.client.pendingRecords("subject-1").size(), 1u);

        // Selecting some other ZIP is refused once it is hashed, and changes nothing.
        const std::string stranger = bench.dir.file("Stranger.zip");
        test::writeFile(stranger, test::randomBytes(archiveSize, 4));
        EXPECT_EQ(bench.resume(archive.jobID, stranger), "archiveChanged");
        EXPECT_TRUE(bench.transcript().empty());
        EXPECT_EQ(bench.recordFile(archive.jobID), before);

        ASSERT_EQ(bench.resume(archive.jobID, selected), "ok");
        EXPECT_EQ(bench.transcript(),
                  (Lines{"status", "chunk 262144-524287", "chunk 524288-599999", "metadata",
                         "permissions", "create permission reader", "permissions"}));
        EXPECT_EQ(bench.record(archive.jobID)->phase, "shared");
        EXPECT_TRUE(bench.client.pendingRecords("subject-1").empty());
    }
}

// A resume after the file was selected again saves a reference to the new place, so a further
// interruption resumes without asking again.
TEST(GoogleDriveRecoveryTest, SelectedFileIsRememberedForTheNextResume) {
    DriveShareBench bench;
    const VerifiedArchive archive =
        bench.archive("Delivery.zip", test::randomBytes(archiveSize, 5));
    interruptedShare(bench, archive, DriveLinkRole::reader);
    const std::string moved = bench.dir.file("Moved.zip");
    ASSERT_EQ(::rename(archive.url.c_str(), moved.c_str()), 0);

    quitAtChunk(bench, "524288-599999");
    EXPECT_EQ(bench.resume(archive.jobID, moved), quitOutcome);
    const std::optional<std::string> reference = bench.record(archive.jobID)->bookmark;
    ASSERT_TRUE(reference);
    EXPECT_EQ(FileReference::resolve(*reference), moved);
    // The name the recovery list shows stays the one the job started with.
    EXPECT_EQ(bench.record(archive.jobID)->filename, "Delivery.zip");

    bench.tap->setHook({});
    bench.clearLog();
    ASSERT_EQ(bench.resume(archive.jobID), "ok");
    EXPECT_EQ(bench.transcript().front(), "status");
}

TEST(GoogleDriveRecoveryTest, SharedJobResumedAgainIsCheckedAgain) {
    DriveShareBench bench;
    const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(3000, 7));
    ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
    const DriveShareResult shared = *bench.result;
    bench.clearLog();

    // The finished record keeps no reference; the user selects the file.
    EXPECT_EQ(bench.resume(archive.jobID), "archiveNeedsReselection");
    ASSERT_EQ(bench.resume(archive.jobID, archive.url), "ok");
    EXPECT_EQ(bench.result, shared);
    EXPECT_EQ(bench.transcript(), (Lines{"metadata", "permissions", "permissions"}));
    EXPECT_EQ(bench.record(archive.jobID)->phase, "shared");
}

// Records that do not describe a resumable job of this account are refused before anything
// is read or sent.
TEST(GoogleDriveRecoveryTest, RecordsThatCannotBeResumed) {
    struct Case {
        std::string name;
        std::function<void(DriveTransferRecord&)> tamper;
        std::string accountID;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"older schema", [](DriveTransferRecord& r) { r.schemaVersion = 1; }, "subject-1",
         "invalidResponse"},
        {"no account", [](DriveTransferRecord& r) { r.accountSubject.reset(); }, "subject-1",
         "invalidResponse"},
        {"asked by another account", [](DriveTransferRecord&) {}, "subject-2", "invalidResponse"},
        {"no job", [](DriveTransferRecord& r) { r.jobID.reset(); }, "subject-1", "invalidResponse"},
        {"other job", [](DriveTransferRecord& r) { r.jobID = Uuid::random(); }, "subject-1",
         "invalidResponse"},
        {"no size", [](DriveTransferRecord& r) { r.byteCount.reset(); }, "subject-1",
         "invalidResponse"},
        {"no digest", [](DriveTransferRecord& r) { r.sha256.reset(); }, "subject-1",
         "invalidResponse"},
        {"no reference", [](DriveTransferRecord& r) { r.bookmark.reset(); }, "subject-1",
         "archiveNeedsReselection"},
        {"reference that is no reference",
         [](DriveTransferRecord& r) { r.bookmark = std::string("not a reference"); }, "subject-1",
         "archiveNeedsReselection"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveShareBench bench;
        const VerifiedArchive archive =
            bench.archive("Delivery.zip", test::randomBytes(archiveSize, 8));
        interruptedShare(bench, archive, DriveLinkRole::reader);
        DriveTransferRecord record = *bench.record(archive.jobID);
        c.tamper(record);
        bench.journal->save(record);
        const std::string before = bench.recordFile(archive.jobID);

        EXPECT_EQ(bench.resume(archive.jobID, std::nullopt, c.accountID), c.outcome);
        EXPECT_TRUE(bench.transcript().empty());
        EXPECT_TRUE(bench.reports().empty());
        EXPECT_EQ(bench.recordFile(archive.jobID), before);
    }

    DriveShareBench bench;
    EXPECT_EQ(bench.resume(Uuid::random()), "invalidResponse");
    EXPECT_TRUE(bench.client.pendingRecords("subject-1").empty());
}

// The re-check of a stored link reads the journal and Drive and writes nothing.
TEST(GoogleDriveRecoveryTest, VerifiedLinkRechecksWithoutChangingAnything) {
    using Arrange = std::function<void(DriveShareBench&, const VerifiedArchive&)>;
    struct Case {
        std::string name;
        std::string outcome;
        Lines requests;
        Arrange arrange;
    };
    const Lines checked = {"metadata", "permissions"};
    const Lines metadata = {"metadata"};
    const auto tamper = [](std::function<void(DriveTransferRecord&)> change) -> Arrange {
        return [change](DriveShareBench& bench, const VerifiedArchive& archive) {
            DriveTransferRecord record = *bench.record(archive.jobID);
            change(record);
            bench.journal->save(record);
        };
    };
    const auto onDrive =
        [](std::function<void(test::FakeDriveService&, const std::string&)> change) -> Arrange {
        return [change](DriveShareBench& b, const VerifiedArchive&) {
            change(*b.drive, b.result->fileID);
        };
    };
    const std::vector<Case> cases = {
        {"unchanged", "ok", checked, [](DriveShareBench&, const VerifiedArchive&) {}},
        {"file in the trash", "remoteDeleted", metadata,
         onDrive([](auto& drive, const std::string& id) { drive.trash(id); })},
        {"file deleted for good", "remoteDeleted", metadata,
         onDrive([](auto& drive, const std::string& id) { drive.remove(id); })},
        {"link removed", "permissionNotVerified", checked,
         onDrive([](auto& drive, const std::string& id) { drive.removePermissions(id); })},
        {"link made writable", "roleConflict", checked,
         onDrive([](auto& drive, const std::string& id) {
             drive.removePermissions(id);
             drive.addPermission(id, "anyone", "writer");
         })},
        {"only MD5 on Drive, in upper case", "ok", checked,
         onDrive([](auto& drive, const std::string&) {
             drive.setQuirks({.omitSHA256 = true, .upperCaseChecksums = true});
         })},
        {"recorded MD5 differs", "checksumMismatch", metadata,
         [&](DriveShareBench& b, const VerifiedArchive& a) {
             b.drive->setQuirks({.omitSHA256 = true});
             tamper([](DriveTransferRecord& r) { r.md5 = std::string(32, '0'); })(b, a);
         }},
        {"SHA-256 on Drive differs, MD5 right", "checksumMismatch", metadata,
         [](DriveShareBench& b, const VerifiedArchive&) {
             b.tap->setHook([](const DriveHTTPRequest& request, std::stop_token,
                               const DriveTransportTap::Forward& forward) {
                 DriveHTTPResponse answer = forward();
                 if (request.method == "GET" &&
                     !test::urlPath(request.url).ends_with("/permissions")) {
                     nlohmann::json file = nlohmann::json::parse(answer.body);
                     file["sha256Checksum"] = std::string(64, '0');
                     answer.body = file.dump();
                 }
                 return answer;
             });
         }},
        {"recorded size differs", "checksumMismatch", metadata,
         tamper([](DriveTransferRecord& r) { *r.byteCount -= 1; })},
        {"record not finished", "invalidResponse", {}, tamper([](DriveTransferRecord& r) {
             r.phase = "needsPermissionCheck";
         })},
        {"stored link over http", "invalidResponse", {}, tamper([](DriveTransferRecord& r) {
             r.verifiedLink = "http://drive.google.com/file/d/x/view";
         })},
        {"stored link on another host", "invalidResponse", {}, tamper([](DriveTransferRecord& r) {
             r.verifiedLink = "https://example.com/file";
         })},
        {"no recorded MD5", "invalidResponse", {}, tamper([](DriveTransferRecord& r) {
             r.md5.reset();
         })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveShareBench bench;
        const VerifiedArchive archive = bench.archive("Delivery.zip", test::randomBytes(3000, 9));
        ASSERT_EQ(bench.share(archive, DriveLinkRole::reader), "ok");
        const DriveShareResult shared = *bench.result;
        c.arrange(bench, archive);
        const std::string before = bench.recordFile(archive.jobID);
        bench.clearLog();
        bench.result.reset();

        EXPECT_EQ(bench.verify(archive.jobID), c.outcome);
        EXPECT_EQ(bench.transcript(), c.requests);
        EXPECT_EQ(bench.recordFile(archive.jobID), before);
        if (c.outcome == "ok") {
            EXPECT_EQ(bench.result, shared);
        }
    }
}

}  // namespace
}  // namespace tolvane
