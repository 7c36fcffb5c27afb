#include "core/drive/GoogleDriveTransferClient.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/FileReference.h"
#include "support/DriveClientHarness.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::DriveClientHarness;
using test::Lines;
using Stage = DriveTransferProgress::Stage;
using Reports = std::vector<DriveTransferProgress>;

constexpr std::int64_t size = 600'000;  // two full chunks and a remainder
const std::string quit = "transport network request cancelled: application quit";
const Lines folders = {"find folder ZUD ERO", "create folder ZUD ERO", "find folder 2024",
                       "create folder 2024",  "find folder 03",        "create folder 03"};
const Lines upload = {"find marker", "initiate", "chunk 0-262143", "chunk 262144-524287",
                      "chunk 524288-599999"};
const Lines newLink = {"metadata", "permissions", "create permission reader", "permissions"};
const Lines restOfUpload = {"status", "chunk 262144-524287", "chunk 524288-599999"};

Lines joined(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Drive's metadata answers, changed by `change` before the client's `fields` apply.
void changeMetadata(DriveClientHarness& h, std::function<void(nlohmann::json&)> change) {
    h.drive->setHook(
        [change](const DriveHTTPRequest& request, const test::FakeDriveService::Serve& serve) {
            DriveHTTPResponse answer = serve();
            if (test::describe(request) == "metadata" && answer.status == 200) {
                nlohmann::json file = nlohmann::json::parse(answer.body);
                change(file);
                answer.body = file.dump();
            }
            return answer;
        });
}

// A share stopped while the second chunk is on its way: Drive holds the first.
VerifiedArchive interrupted(DriveClientHarness& h, const std::string& name,
                            DriveLinkRole role = DriveLinkRole::reader) {
    const VerifiedArchive archive = h.archive(name, test::randomBytes(size, name.size()));
    h.quitAt("chunk 262144-524287");
    EXPECT_EQ(h.share(archive, role), quit);
    h.drive->setHook({});
    h.clearLog();
    return archive;
}

TEST(GoogleDriveTransferClientTest, ShareEndToEndIntoTheMonthFolder) {
    DriveClientHarness h;
    const std::string content = test::randomBytes(size, 1);
    const VerifiedArchive archive = h.archive("Delivery 03.zip", content);
    // The journal as each request leaves: every step is saved before the next begins.
    Lines phases;
    h.drive->setHook([&](const DriveHTTPRequest&, const test::FakeDriveService::Serve& serve) {
        phases.push_back(h.record(archive.jobID)->phase);
        return serve();
    });
    ASSERT_EQ(h.share(archive), "ok");

    EXPECT_EQ(h.transcript(), joined({folders, upload, newLink}));
    EXPECT_EQ(phases, joined({Lines(8, "prepared"),
                              Lines(3, "uploading"),
                              {"uploaded"},
                              Lines(3, "needsPermissionCheck")}));
    ASSERT_EQ(h.uploads(archive.jobID).size(), 1u);
    const test::FakeDriveService::StoredFile remote = h.uploads(archive.jobID).front();
    EXPECT_EQ(remote.name, "Delivery 03.zip");
    EXPECT_TRUE(remote.content == content);
    EXPECT_EQ(h.drive->folderPath(remote.id), "ZUD ERO/2024/03");
    EXPECT_EQ(
        remote.permissions,
        (std::vector<DrivePermission>{{remote.permissions.at(0).id, "anyone", "reader", false}}));
    const std::string link = "https://drive.google.com/file/d/" + remote.id + "/view";
    EXPECT_EQ(h.result, (DriveShareResult{remote.id, link, archive.sha256, DriveLinkRole::reader}));
    EXPECT_EQ(h.reports, (Reports{{Stage::hashing, 0, 0},
                                  {Stage::uploading, 0, size},
                                  {Stage::uploading, 262144, size},
                                  {Stage::uploading, 524288, size},
                                  {Stage::uploading, size, size},
                                  {Stage::verifying, size, size},
                                  {Stage::publishing, size, size}}));
    const DriveTransferRecord record = *h.record(archive.jobID);
    Md5 md5;
    md5.update(content);
    EXPECT_EQ(record.md5, HexString::encode(md5.finish()));
    EXPECT_EQ(record.phase, "shared");
    EXPECT_EQ(record.folderID, remote.parents.front());
    EXPECT_EQ(record.remoteFileID, remote.id);
    EXPECT_EQ(record.verifiedLink, link);
    EXPECT_FALSE(record.sessionURL || record.bookmark);

    // The same role again checks the share once more; another role is refused untouched.
    h.clearLog();
    const std::string before = h.recordFile(archive.jobID);
    EXPECT_EQ(h.share(archive, DriveLinkRole::writer), "roleConflict");
    EXPECT_EQ(h.recordFile(archive.jobID), before);
    EXPECT_EQ(h.share(archive), "ok");
    EXPECT_EQ(h.transcript(), (Lines{"metadata", "permissions", "permissions"}));

    // An empty archive in the same month: the folders are found, the session finished by the
    // completion query.
    h.clearLog();
    const VerifiedArchive empty = h.archive("EMPTY.ZIP", "");
    ASSERT_EQ(h.share(empty, DriveLinkRole::writer), "ok");
    EXPECT_EQ(h.transcript(), (Lines{"find folder ZUD ERO", "find folder 2024", "find folder 03",
                                     "find marker", "initiate", "status", "metadata", "permissions",
                                     "create permission writer", "permissions"}));
}

// Everything that is wrong with the local archive is found before Drive is asked anything.
TEST(GoogleDriveTransferClientTest, LocalArchiveIsCheckedBeforeAnyRequest) {
    const std::vector<std::tuple<std::string, std::string, std::function<void(VerifiedArchive&)>>>
        cases = {
            {"one byte longer", "archiveChanged",
             [](auto& a) { test::writeFile(a.url, test::readFile(a.url) + "x"); }},
            {"same size, other bytes", "archiveChanged",
             [](auto& a) { test::writeFile(a.url, test::randomBytes(5000, 6)); }},
            {"digest in upper case", "archiveChanged",
             [](auto& a) {
                 std::transform(a.sha256.begin(), a.sha256.end(), a.sha256.begin(), ::toupper);
             }},
            {"missing", "invalidArchive", [](auto& a) { ::unlink(a.url.c_str()); }},
            {"not .zip", "invalidArchive",
             [](auto& a) {
                 ::rename(a.url.c_str(), (a.url + ".part").c_str());
                 a.url += ".part";
             }},
            {"relative path", "invalidArchive", [](auto& a) { a.url = "Delivery.zip"; }},
            {"link to the archive", "invalidArchive",
             [](auto& a) {
                 ASSERT_EQ(::symlink(a.url.c_str(), (a.url + "-link.zip").c_str()), 0);
                 a.url += "-link.zip";
             }},
            {"folder named .zip", "invalidArchive",
             [](auto& a) { ASSERT_EQ(::mkdir((a.url += "-dir.zip").c_str(), 0700), 0); }},
        };
    for (const auto& [name, outcome, spoil] : cases) {
        SCOPED_TRACE(name);
        DriveClientHarness h;
        VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(5000, 5));
        spoil(archive);
        EXPECT_EQ(h.share(archive), outcome);
        const Reports hashed = {{Stage::hashing, 0, 0}};
        EXPECT_EQ(h.reports, outcome == "archiveChanged" ? hashed : Reports{});
        EXPECT_TRUE(h.transcript().empty());
        EXPECT_EQ(h.recordFile(archive.jobID), "");
    }
}

// Nothing is published for a remote copy that is not the archive on disk.
TEST(GoogleDriveTransferClientTest, RemoteCopyMustMatchTheArchive) {
    const auto set = [](const char* key, std::string value) {
        return [key, value](nlohmann::json& f) {
            if (f.contains(key)) {
                f[key] = value;
            }
        };
    };
    struct Case {
        std::string name;
        std::function<void(nlohmann::json&)> change;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"faithful copy", [](nlohmann::json&) {}, "ok"},
        {"checksums in upper case",
         [](nlohmann::json& f) {
             for (const char* key : {"md5Checksum", "sha256Checksum"}) {
                 std::string value = f.value(key, "");
                 std::transform(value.begin(), value.end(), value.begin(), ::toupper);
                 f[key] = value;
             }
         },
         "ok"},
        {"no SHA-256: MD5 decides", [](nlohmann::json& f) { f.erase("sha256Checksum"); }, "ok"},
        {"no SHA-256, MD5 wrong",
         [&](nlohmann::json& f) {
             f.erase("sha256Checksum");
             set("md5Checksum", std::string(32, '0'))(f);
         },
         "checksumMismatch"},
        // The MD5 speaks only when Drive gives no SHA-256.
        {"SHA-256 right, MD5 wrong", set("md5Checksum", std::string(32, '0')), "ok"},
        {"SHA-256 wrong, MD5 right", set("sha256Checksum", std::string(64, '0')),
         "checksumMismatch"},
        {"size with a leading zero", set("size", "0600000"), "checksumMismatch"},
        {"trashed meanwhile", [](nlohmann::json& f) { f["trashed"] = true; }, "remoteDeleted"},
        {"link over http", set("webViewLink", "http://drive.google.com/file/d/x"),
         "invalidResponse"},
        {"link on another host", set("webViewLink", "https://drive.google.com.evil.example/x"),
         "invalidResponse"},
        {"link with user information", set("webViewLink", "https://drive.google.com@evil.example/"),
         "invalidResponse"},
        {"link on a port", set("webViewLink", "https://drive.google.com:443/file/d/x"), "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveClientHarness h;
        changeMetadata(h, c.change);
        const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(size, 8));
        EXPECT_EQ(h.share(archive), c.outcome);
        EXPECT_EQ(h.record(archive.jobID)->phase, c.outcome == "ok" ? "shared" : "uploaded");
        if (c.outcome != "ok") {
            EXPECT_EQ(h.transcript().back(), "metadata");
            EXPECT_TRUE(h.uploads(archive.jobID).front().permissions.empty());
        }
    }
    // Bytes already sent change on disk: Drive holds the packed archive, the disk does not.
    DriveClientHarness h;
    const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(size, 7));
    h.drive->setHook([&](const DriveHTTPRequest& request, const test::FakeDriveService::Serve& s) {
        if (test::describe(request) == "chunk 262144-524287") {
            std::string bytes = test::readFile(archive.url);
            bytes[10] ^= 1;
            test::writeFile(archive.url, bytes);
        }
        return s();
    });
    EXPECT_EQ(h.share(archive), "archiveChanged");
    EXPECT_EQ(h.record(archive.jobID)->phase, "uploaded");
    // Drive kept other bytes than it was sent.
    DriveClientHarness corrupted;
    const VerifiedArchive other = corrupted.archive("Other.zip", test::randomBytes(size, 9));
    corrupted.drive->setHook(
        [&](const DriveHTTPRequest& r, const test::FakeDriveService::Serve& s) {
            if (test::describe(r) == "metadata") {
                corrupted.drive->corrupt(corrupted.uploads(other.jobID).front().id);
            }
            return s();
        });
    EXPECT_EQ(corrupted.share(other), "checksumMismatch");
}

// The link permission already on the file decides; an existing public link is never changed.
TEST(GoogleDriveTransferClientTest, ExistingPublicLinkDecidesThePermission) {
    struct Case {
        std::string name;
        std::vector<DrivePermission> existing;
        std::string outcome;
        Lines requests;
        std::size_t pageSize = 100;
    };
    const Lines created = {"permissions", "create permission reader", "permissions"};
    const std::vector<Case> cases = {
        {"none", {}, "ok", created},
        {"a user may write", {{"", "user", "writer", {}}}, "ok", created},
        {"anyone may read", {{"", "anyone", "reader", false}}, "ok", Lines(2, "permissions")},
        {"anyone may read and find it",
         {{"", "anyone", "reader", true}},
         "roleConflict",
         Lines(1, "permissions")},
        {"anyone may write",
         {{"", "anyone", "writer", {}}},
         "roleConflict",
         Lines(1, "permissions")},
        {"reader on page one, writer on page three",
         {{"", "anyone", "reader", {}}, {"", "user", "owner", {}}, {"", "anyone", "writer", {}}},
         "roleConflict",
         Lines(3, "permissions"),
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveClientHarness h;
        const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(4000, 11));
        h.quitAt("permissions");
        ASSERT_EQ(h.share(archive), quit);
        h.drive->setPermissionPageSize(c.pageSize);
        for (const DrivePermission& p : c.existing) {
            h.drive->addPermission(*h.record(archive.jobID)->remoteFileID, p);
        }
        h.drive->setHook({});
        h.clearLog();
        EXPECT_EQ(h.share(archive), c.outcome);
        EXPECT_EQ(h.transcript(), joined({{"metadata"}, c.requests}));
        EXPECT_EQ(h.record(archive.jobID)->phase,
                  c.outcome == "ok" ? "shared" : "needsPermissionCheck");
    }
    // Drive accepts the permission but never shows it.
    DriveClientHarness h;
    h.drive->setHook([](const DriveHTTPRequest& r, const test::FakeDriveService::Serve& s) {
        return test::describe(r) == "create permission reader" ? DriveHTTPResponse{200, {}, "{}"}
                                                               : s();
    });
    const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(4000, 12));
    EXPECT_EQ(h.share(archive), "permissionNotVerified");
    EXPECT_EQ(h.record(archive.jobID)->phase, "needsPermissionCheck");
}

// A share stopped at any point leaves a record from which the next share completes.
TEST(GoogleDriveTransferClientTest, InterruptedShareCompletesOnTheNextRun) {
    struct Case {
        std::string at;
        bool reached;  // the request reached Drive before the application quit
        std::string phase;
        Lines rest;
        std::int64_t bytes = size;
    };
    const std::vector<Case> cases = {
        {"chunk 262144-524287", false, "uploading", joined({restOfUpload, newLink})},
        // The last chunk arrived but its answer did not; by the next start Drive has forgotten
        // the finished session, and the marked upload is found instead of sent again.
        {"chunk 524288-599999", true, "uploading", joined({{"status", "find marker"}, newLink})},
        {"metadata", false, "uploaded", newLink},
        {"metadata", true, "uploaded", newLink},
        {"metadata", true, "uploaded", newLink, 0},
        {"create permission reader", false, "needsPermissionCheck", newLink},
        {"create permission reader",
         true,
         "needsPermissionCheck",
         {"metadata", "permissions", "permissions"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at + (c.reached ? " reached" : "") + std::to_string(c.bytes));
        DriveClientHarness h;
        const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(c.bytes, 9));
        h.quitAt(c.at, c.reached);
        EXPECT_EQ(h.share(archive), quit);
        EXPECT_EQ(h.record(archive.jobID)->phase, c.phase);
        if (c.reached && c.at.starts_with("chunk")) {
            h.drive->forgetSessions();
        }
        h.drive->setHook({});
        h.clearLog();
        ASSERT_EQ(h.share(archive), "ok");
        EXPECT_EQ(h.transcript(), c.rest);
        EXPECT_EQ(h.uploads(archive.jobID).size(), 1u);
        EXPECT_EQ(h.drive->file(h.result->fileID)->permissions.size(), 1u);
        EXPECT_EQ(h.drive->sessionsStarted(), 1u);
    }
    // A stop requested by the user after the remote check is not marked verified.
    DriveClientHarness h;
    const VerifiedArchive archive = h.archive("Delivery.zip", "");
    std::stop_source stop;
    h.drive->setHook([&](const DriveHTTPRequest& r, const test::FakeDriveService::Serve& s) {
        if (test::describe(r) == "metadata") {
            stop.request_stop();
        }
        return s();
    });
    EXPECT_EQ(h.share(archive, DriveLinkRole::reader, stop.get_token()), "cancelled");
    EXPECT_EQ(h.record(archive.jobID)->phase, "uploaded");
}

TEST(GoogleDriveTransferClientTest, InterruptedShareIsListedAndResumedWithItsRole) {
    DriveClientHarness h;
    const VerifiedArchive archive = interrupted(h, "Delivery.zip", DriveLinkRole::writer);
    const VerifiedArchive other = interrupted(h, "Another.zip");
    EXPECT_EQ(h.client.pendingRecords(h.account),
              (std::vector<DriveRecoveryItem>{
                  {other.jobID, "Another.zip", size, "uploading", DriveLinkRole::reader},
                  {archive.jobID, "Delivery.zip", size, "uploading", DriveLinkRole::writer}}));
    EXPECT_TRUE(h.client.pendingRecords("subject-2").empty());

    ASSERT_EQ(h.resume(archive.jobID), "ok");
    EXPECT_EQ(h.transcript(),
              joined({restOfUpload,
                      {"metadata", "permissions", "create permission writer", "permissions"}}));
    EXPECT_EQ(h.result->role, DriveLinkRole::writer);
    EXPECT_TRUE(h.uploads(archive.jobID).front().content == test::readFile(archive.url));
    EXPECT_EQ(h.client.pendingRecords(h.account).size(), 1u);
    EXPECT_EQ(h.verify(archive.jobID), "ok");

    // The finished record keeps no reference; the user selects the file, which is checked again.
    EXPECT_EQ(h.resume(archive.jobID), "archiveNeedsReselection");
    h.clearLog();
    ASSERT_EQ(h.resume(archive.jobID, archive.url), "ok");
    EXPECT_EQ(h.transcript(), (Lines{"metadata", "permissions", "permissions"}));

    // The network goes down mid-chunk and stays down: a new client over the same journal, as
    // after a restart of the application, continues the session.
    const VerifiedArchive third = h.archive("Third.zip", test::randomBytes(size, 3));
    h.drive->setHook([](const DriveHTTPRequest& r, const test::FakeDriveService::Serve& s) {
        const std::string line = test::describe(r);
        if (line == "chunk 262144-524287" || line == "status") {
            throw TransportError(line == "status" ? TransportError::Kind::cannotConnect
                                                  : TransportError::Kind::connectionLost,
                                 "down");
        }
        return s();
    });
    EXPECT_EQ(h.share(third), "transport network request cannot connect: down");
    EXPECT_EQ(h.record(third.jobID)->offset, 262144);
    h.drive->setHook({});
    h.clearLog();
    const GoogleDriveTransferClient restarted(
        h.drive, std::make_shared<FileDriveTransferJournal>(h.dir.file("journal")));
    EXPECT_EQ(test::outcomeOf([&] {
                  restarted.resume(third.jobID, h.account, std::nullopt,
                                   [] { return std::string("t"); }, {}, {});
              }),
              "ok");
    EXPECT_EQ(h.transcript(), joined({{"status", "chunk 262144-599999"}, newLink}));
}

TEST(GoogleDriveTransferClientTest, MovedArchiveIsSelectedAgain) {
    const std::vector<std::function<std::string(const std::string&, const test::TempDir&)>> moves =
        {
            [](const std::string& path, const test::TempDir& dir) {
                EXPECT_EQ(::rename(path.c_str(), dir.file("Moved.zip").c_str()), 0);
                return dir.file("Moved.zip");
            },
            // Replaced by a copy of itself: another file, though the same bytes.
            [](const std::string& path, const test::TempDir& dir) {
                test::writeFile(dir.file("copy"), test::readFile(path));
                EXPECT_EQ(::rename(dir.file("copy").c_str(), path.c_str()), 0);
                return path;
            },
        };
    for (const auto& move : moves) {
        DriveClientHarness h;
        const VerifiedArchive archive = interrupted(h, "Delivery.zip");
        const std::string selected = move(archive.url, h.dir);
        const std::string before = h.recordFile(archive.jobID);

        EXPECT_EQ(h.resume(archive.jobID), "archiveNeedsReselection");
        test::writeFile(h.dir.file("Stranger.zip"), test::randomBytes(size, 4));
        EXPECT_EQ(h.resume(archive.jobID, h.dir.file("Stranger.zip")), "archiveChanged");
        EXPECT_TRUE(h.transcript().empty());
        EXPECT_EQ(h.recordFile(archive.jobID), before);

        // The selected file is remembered, so a further interruption resumes without asking.
        h.quitAt("chunk 524288-599999");
        EXPECT_EQ(h.resume(archive.jobID, selected), quit);
        EXPECT_EQ(FileReference::resolve(*h.record(archive.jobID)->bookmark), selected);
        EXPECT_EQ(h.record(archive.jobID)->filename, "Delivery.zip");
        h.drive->setHook({});
        h.clearLog();
        ASSERT_EQ(h.resume(archive.jobID), "ok");
        EXPECT_EQ(h.transcript().front(), "status");
        EXPECT_TRUE(h.client.pendingRecords(h.account).empty());
    }
}

// Records that do not describe this job, or no resumable one, are refused before anything is
// read or sent, and stay as they were.
TEST(GoogleDriveTransferClientTest, RecordsThatDoNotFitAreNotUsed) {
    using Tamper = std::function<void(DriveTransferRecord&)>;
    struct Case {
        std::string name;
        Tamper tamper;
        std::string share;   // outcome of sharing the archive again
        std::string resume;  // outcome of resuming the job
    };
    const std::vector<Case> cases = {
        {"other account", [](auto& r) { r.accountSubject = "subject-2"; }, "invalidResponse",
         "invalidResponse"},
        {"other job", [](auto& r) { r.jobID = Uuid::random(); }, "invalidResponse",
         "invalidResponse"},
        {"other digest", [](auto& r) { r.sha256 = std::string(64, 'a'); }, "invalidResponse",
         "archiveChanged"},
        {"other size", [](auto& r) { *r.byteCount += 1; }, "invalidResponse", "archiveChanged"},
        {"older schema", [](auto& r) { r.schemaVersion = 1; }, "ok", "invalidResponse"},
        {"no job", [](auto& r) { r.jobID.reset(); }, "ok", "invalidResponse"},
        {"no size", [](auto& r) { r.byteCount.reset(); }, "ok", "invalidResponse"},
        {"no digest", [](auto& r) { r.sha256.reset(); }, "ok", "invalidResponse"},
        {"no reference", [](auto& r) { r.bookmark.reset(); }, "ok", "archiveNeedsReselection"},
        {"no reference at all", [](auto& r) { r.bookmark = "not a reference"; }, "ok",
         "archiveNeedsReselection"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveClientHarness h;
        const VerifiedArchive archive = interrupted(h, "Delivery.zip");
        DriveTransferRecord record = *h.record(archive.jobID);
        c.tamper(record);
        h.journal->save(record);
        const std::string before = h.recordFile(archive.jobID);
        EXPECT_EQ(h.resume(archive.jobID), c.resume);
        EXPECT_EQ(h.recordFile(archive.jobID), before);
        if (c.share != "ok") {
            EXPECT_EQ(h.share(archive), c.share);
            EXPECT_EQ(h.recordFile(archive.jobID), before);
        }
        EXPECT_TRUE(h.transcript().empty());
    }
    DriveClientHarness h;
    EXPECT_EQ(h.resume(Uuid::random()), "invalidResponse");
}

// The re-check of a stored link reads the journal and Drive and writes nothing.
TEST(GoogleDriveTransferClientTest, VerifiedLinkRechecksWithoutChangingAnything) {
    using Arrange = std::function<void(DriveClientHarness&, DriveTransferRecord&)>;
    struct Case {
        std::string name;
        std::string outcome;
        Lines requests;
        Arrange arrange;
    };
    const Lines checked = {"metadata", "permissions"};
    const Lines metadata = {"metadata"};
    const std::vector<Case> cases = {
        {"unchanged", "ok", checked, [](auto&, auto&) {}},
        {"file in the trash", "remoteDeleted", metadata,
         [](auto& h, auto& r) { h.drive->trash(*r.remoteFileID); }},
        {"file deleted for good", "remoteDeleted", metadata,
         [](auto& h, auto& r) { h.drive->remove(*r.remoteFileID); }},
        {"link removed", "permissionNotVerified", checked,
         [](auto& h, auto& r) { h.drive->removePermissions(*r.remoteFileID); }},
        {"link made discoverable", "roleConflict", checked,
         [](auto& h, auto& r) {
             h.drive->removePermissions(*r.remoteFileID);
             h.drive->addPermission(*r.remoteFileID, {"", "anyone", "reader", true});
         }},
        {"recorded size differs", "checksumMismatch", metadata,
         [](auto&, auto& r) { *r.byteCount -= 1; }},
        {"recorded MD5 differs, no SHA-256 on Drive", "checksumMismatch", metadata,
         [](auto& h, auto& r) {
             r.md5 = std::string(32, '0');
             changeMetadata(h, [](nlohmann::json& f) { f.erase("sha256Checksum"); });
         }},
        {"not finished", "invalidResponse", {}, [](auto&, auto& r) { r.phase = "verified"; }},
        {"no recorded MD5", "invalidResponse", {}, [](auto&, auto& r) { r.md5.reset(); }},
        {"stored link over http",
         "invalidResponse",
         {},
         [](auto&, auto& r) { r.verifiedLink = "http://drive.google.com/file/d/x/view"; }},
        {"stored link on another host",
         "invalidResponse",
         {},
         [](auto&, auto& r) { r.verifiedLink = "https://evildrive.google.com/x"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DriveClientHarness h;
        const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(3000, 9));
        ASSERT_EQ(h.share(archive), "ok");
        const DriveShareResult shared = *h.result;
        DriveTransferRecord record = *h.record(archive.jobID);
        c.arrange(h, record);
        h.journal->save(record);
        const std::string before = h.recordFile(archive.jobID);
        h.clearLog();
        h.result.reset();
        EXPECT_EQ(h.verify(archive.jobID), c.outcome);
        EXPECT_EQ(h.transcript(), c.requests);
        EXPECT_EQ(h.recordFile(archive.jobID), before);
        EXPECT_EQ(h.result, c.outcome == "ok" ? std::optional(shared) : std::nullopt);
    }
}

}  // namespace
}  // namespace tolvane
