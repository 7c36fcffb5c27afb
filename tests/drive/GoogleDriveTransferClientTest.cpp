#include "core/drive/GoogleDriveTransferClient.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/drive/FileReference.h"
#include "support/FakeDrive.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::FakeDrive;
using Stage = DriveTransferProgress::Stage;
using Tamper = std::function<void(DriveTransferRecord&)>;

constexpr std::int64_t size = 600'000;  // two full chunks and a remainder
const std::string quit = "transport network request cancelled: application quit";
const std::string newLink = "metadata, permissions, create permission reader, permissions";
const std::string recheck = "metadata, permissions, permissions";
const std::string upload = "chunk 0-262143, chunk 262144-524287, chunk 524288-599999, " + newLink;

// A share that quit while the second chunk was on its way: Drive holds the first.
VerifiedArchive interrupted(FakeDrive& h, const std::string& name,
                            DriveLinkRole role = DriveLinkRole::reader) {
    const VerifiedArchive archive = h.archive(name, test::randomBytes(size, name.size()));
    h.at["chunk 262144-524287"] = "quit";
    EXPECT_EQ(h.share(archive, role), quit);
    h.reset();
    return archive;
}

TEST(GoogleDriveTransferClientTest, ShareEndToEndIntoTheMonthFolder) {
    FakeDrive h;
    const std::string content = test::randomBytes(size, 1);
    const VerifiedArchive archive = h.archive("Delivery 03.zip", content);
    ASSERT_EQ(h.share(archive), "ok");
    EXPECT_EQ(h.sent(),
              "find folder ZUD ERO, create folder ZUD ERO, find folder 2024, create folder 2024, "
              "find folder 03, create folder 03, find marker, initiate, " +
                  upload);
    const FakeDrive::StoredFile remote = h.upload(archive.jobID);
    EXPECT_EQ(remote.name, "Delivery 03.zip");
    EXPECT_TRUE(remote.content == content);
    EXPECT_EQ(h.file(remote.parents.at(0))->name, "03");
    EXPECT_EQ(remote.permissions, nlohmann::json::parse(R"([{"type":"anyone","role":"reader",)"
                                                        R"("allowFileDiscovery":false}])"));
    const std::string link = "https://drive.google.com/file/d/" + remote.id + "/view";
    EXPECT_EQ(h.result, (DriveShareResult{remote.id, link, archive.sha256, DriveLinkRole::reader}));
    const std::vector<DriveTransferProgress> progress = {
        {Stage::hashing, 0, 0},           {Stage::uploading, 0, size},
        {Stage::uploading, 262144, size}, {Stage::uploading, 524288, size},
        {Stage::uploading, size, size},   {Stage::verifying, size, size},
        {Stage::publishing, size, size}};
    EXPECT_EQ(h.reports, progress);
    const DriveTransferRecord record = *h.record(archive.jobID);
    EXPECT_EQ(record.md5, FileDigest::compute(archive.url, std::stop_token{}).md5);
    EXPECT_EQ(record.phase, "shared");
    EXPECT_EQ(record.verifiedLink, link);
    EXPECT_FALSE(record.sessionURL || record.bookmark);

    // The same role again checks the share once more; another role is refused untouched.
    h.reset();
    EXPECT_EQ(h.share(archive, DriveLinkRole::writer), "roleConflict");
    EXPECT_EQ(h.record(archive.jobID), record);
    EXPECT_EQ(h.share(archive), "ok");
    EXPECT_EQ(h.sent(), recheck);
}

// A path that is not an absolute one to a regular ".zip" file is refused before the archive is
// read or Drive is asked anything.
TEST(GoogleDriveTransferClientTest, ArchivePathIsCheckedBeforeAnything) {
    const auto renamed = [](const std::string& suffix, bool link) {
        return [=](VerifiedArchive& a) {
            ASSERT_EQ((link ? ::symlink : ::rename)(a.url.c_str(), (a.url + suffix).c_str()), 0);
            a.url += suffix;
        };
    };
    const std::vector<std::function<void(VerifiedArchive&)>> spoilers = {
        [](auto& a) { a.url = "Delivery.zip"; }, renamed(".part", false),
        renamed("-link.zip", true)};
    for (const auto& spoil : spoilers) {
        FakeDrive h;
        VerifiedArchive archive = h.archive("Delivery.zip", "abc");
        spoil(archive);
        EXPECT_EQ(h.share(archive), "invalidArchive") << archive.url;
        EXPECT_EQ(h.reports.size() + h.requests().size(), 0u);
        EXPECT_FALSE(h.record(archive.jobID));
    }
}

// Nothing is published for a remote copy that is not the archive on disk.
TEST(GoogleDriveTransferClientTest, RemoteCopyMustMatchTheArchive) {
    const std::string zeros = std::string(32, '0');
    // Drive's metadata as a merge patch, and the outcome of sharing "abc".
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{}", "ok"},
        {R"({"sha256Checksum":"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"})",
         "ok"},                                // checksums compare ignoring case
        {R"({"sha256Checksum":null})", "ok"},  // the MD5 decides
        {R"({"sha256Checksum":null,"md5Checksum":")" + zeros + "\"}", "checksumMismatch"},
        {R"({"md5Checksum":")" + zeros + "\"}", "ok"},  // the MD5 speaks only without SHA-256
        {R"({"sha256Checksum":")" + zeros + zeros + "\"}", "checksumMismatch"},
        {R"({"size":"03"})", "checksumMismatch"},
        {R"({"trashed":true})", "remoteDeleted"},
        {R"({"webViewLink":"http://drive.google.com/file/d/x"})", "invalidResponse"},
        {R"({"webViewLink":"https://drive.google.com.evil.example/x"})", "invalidResponse"},
        // The archive on disk changes as Drive is asked: Drive holds what was packed.
        {"changed", "archiveChanged"},
    };
    for (const auto& [patch, outcome] : cases) {
        SCOPED_TRACE(patch);
        FakeDrive h;
        const VerifiedArchive archive = h.archive("Delivery.zip", "abc");
        h.at["metadata"] = patch;
        if (patch == "changed") {
            h.setHook([&](const DriveHTTPRequest& request, const FakeDrive::Serve& serve) {
                test::writeFile(archive.url, test::describe(request) == "metadata" ? "abd" : "abc");
                return serve();
            });
        }
        EXPECT_EQ(h.share(archive), outcome);
        EXPECT_EQ(h.record(archive.jobID)->phase, outcome == "ok" ? "shared" : "uploaded");
        EXPECT_EQ(h.upload(archive.jobID).permissions.size(), outcome == "ok" ? 1u : 0u);
    }
}

// The link handed out and stored is the one of the file that was checked and given its
// permission: an answer about another file, or a link to one, gives no link at all, then or on
// a later run.
TEST(GoogleDriveTransferClientTest, OnlyALinkToTheUploadedFileIsAccepted) {
    using Json = nlohmann::json;
    const auto linkTo = [](const std::string& id) {
        return "https://drive.google.com/file/d/" + id + "/view?usp=drivesdk";
    };
    // Drive's metadata as a merge patch, from the file's identifier and another upload's
    // answer; whether the link is taken.
    using Patch = std::function<Json(const std::string& id, const Json& other)>;
    const std::vector<std::pair<Patch, bool>> cases = {
        {[&](auto& id, auto&) {
             return Json{{"webViewLink", linkTo(id)}};
         },
         true},
        {[](auto&, auto& other) { return other; }, false},
        {[](auto&, auto& other) {
             return Json{{"id", other["id"]}};
         },
         false},
        {[](auto&, auto& other) {
             return Json{{"webViewLink", other["webViewLink"]}};
         },
         false},
        {[&](auto& id, auto&) {
             return Json{{"webViewLink", linkTo(id + "0")}};
         },
         false},
    };
    for (const auto& [patch, accepted] : cases) {
        FakeDrive h;
        const std::string content = test::randomBytes(3000, 5);
        // Another upload of the same bytes: size and checksums match either file.
        ASSERT_EQ(h.share(h.archive("Earlier.zip", content)), "ok");
        const Json other = {{"id", h.result->fileID}, {"webViewLink", h.result->link}};
        const VerifiedArchive archive = h.archive("Delivery.zip", content);
        h.at["metadata"] = "quit";
        ASSERT_EQ(h.share(archive), quit);
        const std::string id = *h.record(archive.jobID)->remoteFileID;
        h.reset();
        h.at["metadata"] = patch(id, other).dump();
        SCOPED_TRACE(h.at["metadata"]);

        if (accepted) {
            ASSERT_EQ(h.share(archive), "ok");
            EXPECT_EQ(h.result->link, linkTo(id));
            EXPECT_EQ(h.record(archive.jobID)->verifiedLink, linkTo(id));
            // The re-check does not take Drive's word about another file either.
            h.reset();
            h.at["metadata"] = Json{{"id", other["id"]}}.dump();
            EXPECT_EQ(h.verify(archive.jobID), "invalidResponse");
            EXPECT_EQ(h.sent(), "metadata");
            continue;
        }
        EXPECT_EQ(h.share(archive), "invalidResponse");
        EXPECT_EQ(h.sent(), "metadata");
        // Drive keeps answering so: a resume reads it again and gets no further, and the
        // re-check has no link to offer.
        EXPECT_EQ(h.resume(archive.jobID), "invalidResponse");
        EXPECT_EQ(h.verify(archive.jobID), "invalidResponse");
        EXPECT_FALSE(h.result);
        EXPECT_EQ(h.record(archive.jobID)->phase, "uploaded");
        EXPECT_FALSE(h.record(archive.jobID)->verifiedLink);
        EXPECT_TRUE(h.upload(archive.jobID).permissions.empty());
        EXPECT_EQ(h.file(other["id"].get<std::string>())->permissions.size(), 1u);
    }
}

// A share ended at any point leaves a record from which the next share completes.
TEST(GoogleDriveTransferClientTest, InterruptedShareCompletesOnTheNextRun) {
    // Where and how the share ended (as FakeDrive::at), the archive's size, the phase left, the
    // next share's requests.
    using Case = std::tuple<std::string, std::string, std::int64_t, std::string, std::string>;
    const std::vector<Case> cases = {
        {"find marker", "quit", size, "prepared", "find marker, initiate, " + upload},
        {"chunk 0-262143", "quit", size, "uploading", "status, " + upload},
        // The last chunk arrived but its answer did not; by the next start Drive has forgotten
        // the finished session, and the marked upload is found instead of sent again.
        {"chunk 524288-599999", "quit reached", size, "uploading",
         "status, find marker, " + newLink},
        {"metadata", "stop", 0, "uploaded", newLink},  // a stop after the check is not "verified"
        {"create permission reader", "quit reached", size, "needsPermissionCheck", recheck},
    };
    for (const auto& [at, how, bytes, phase, rest] : cases) {
        SCOPED_TRACE(at + " " + how);
        FakeDrive h;
        const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(bytes, 9));
        h.at[at] = how;
        EXPECT_EQ(h.share(archive), how == "stop" ? "cancelled" : quit);
        EXPECT_EQ(h.record(archive.jobID)->phase, phase);
        h.reset();
        h.script(at.starts_with("chunk 524288") ? "404" : "");  // the session is gone
        ASSERT_EQ(h.share(archive), "ok");
        EXPECT_EQ(h.sent(), rest);
        EXPECT_EQ(h.file(h.result->fileID)->permissions.size(), 1u);
    }
}

// Listed, moved and selected again, then resumed with its role by a new client over the same
// journal, as after a restart.
TEST(GoogleDriveTransferClientTest, InterruptedShareIsListedAndResumedWithItsRole) {
    FakeDrive h;
    const VerifiedArchive archive = interrupted(h, "Delivery.zip", DriveLinkRole::writer);
    const VerifiedArchive other = interrupted(h, "Another.zip");
    EXPECT_EQ(h.client.pendingRecords(h.account),
              (std::vector<DriveRecoveryItem>{
                  {other.jobID, "Another.zip", size, "uploading", DriveLinkRole::reader},
                  {archive.jobID, "Delivery.zip", size, "uploading", DriveLinkRole::writer}}));

    const std::string moved = h.dir.file("Moved.zip");
    ASSERT_EQ(::rename(archive.url.c_str(), moved.c_str()), 0);
    const std::optional<DriveTransferRecord> before = h.record(archive.jobID);
    EXPECT_EQ(h.resume(archive.jobID), "archiveNeedsReselection");
    EXPECT_EQ(h.resume(archive.jobID, other.url), "archiveChanged");
    EXPECT_EQ(h.sent(), "");
    EXPECT_EQ(h.record(archive.jobID), before);
    // The selected file is remembered, so a further interruption resumes without asking.
    h.at["metadata"] = "quit";
    EXPECT_EQ(h.resume(archive.jobID, moved), quit);
    EXPECT_EQ(FileReference::resolve(*h.record(archive.jobID)->bookmark), moved);
    EXPECT_EQ(h.record(archive.jobID)->filename, "Delivery.zip");
    h.reset();
    const GoogleDriveTransferClient restarted(
        h.transport, std::make_shared<FileDriveTransferJournal>(h.dir.file("journal")));
    const DriveShareResult result = restarted.resume(archive.jobID, h.account, std::nullopt,
                                                     [] { return std::string("t"); }, {}, {});
    EXPECT_EQ(h.sent(), "metadata, permissions, create permission writer, permissions");
    EXPECT_EQ(result.role, DriveLinkRole::writer);
    EXPECT_TRUE(h.upload(archive.jobID).content == test::readFile(moved));
}

// Records that do not describe this job, or no resumable one, are refused before anything is
// read or sent, and stay as they were.
TEST(GoogleDriveTransferClientTest, RecordsThatDoNotFitAreNotUsed) {
    // What is changed; the outcomes of sharing the archive again and of resuming the job.
    const std::vector<std::tuple<Tamper, std::string, std::string>> cases = {
        {[](auto& r) { r.accountSubject = "subject-2"; }, "invalidResponse", "invalidResponse"},
        {[](auto& r) { r.jobID = Uuid::random(); }, "invalidResponse", "invalidResponse"},
        {[](auto& r) { r.sha256 = std::string(64, 'a'); }, "invalidResponse", "archiveChanged"},
        {[](auto& r) { *r.byteCount += 1; }, "invalidResponse", "archiveChanged"},
        {[](auto& r) { r.schemaVersion = 1; }, "ok", "invalidResponse"},
        {[](auto& r) { r.jobID.reset(); }, "ok", "invalidResponse"},
        {[](auto& r) { r.byteCount.reset(); }, "ok", "invalidResponse"},
        {[](auto& r) { r.sha256.reset(); }, "ok", "invalidResponse"},
        {[](auto& r) { r.bookmark.reset(); }, "ok", "archiveNeedsReselection"},
    };
    for (const auto& [tamper, share, resume] : cases) {
        SCOPED_TRACE(share + " " + resume);
        FakeDrive h;
        const VerifiedArchive archive = interrupted(h, "Delivery.zip");
        DriveTransferRecord record = *h.record(archive.jobID);
        tamper(record);
        h.journal->save(record);
        EXPECT_EQ(h.resume(archive.jobID), resume);
        if (share != "ok") {
            EXPECT_EQ(h.share(archive), share);
        }
        EXPECT_EQ(h.record(archive.jobID), record);
        EXPECT_EQ(h.sent(), "");
    }
    FakeDrive h;
    EXPECT_EQ(h.resume(Uuid::random()), "invalidResponse");
}

// The re-check of a stored link reads the journal and Drive and writes nothing.
TEST(GoogleDriveTransferClientTest, VerifiedLinkRechecksWithoutChangingAnything) {
    const Tamper none = [](auto&) {};
    const std::string found = R"(drive 200:{"permissions":[{"id":"1","type":"anyone",)"
                              R"("role":"reader","allowFileDiscovery":true}]})";
    // Drive's answers, what is changed in the record, the outcome, the requests.
    const std::vector<std::tuple<std::string, Tamper, std::string, std::string>> cases = {
        {"", none, "ok", "metadata, permissions"},
        {"404", none, "remoteDeleted", "metadata"},
        {R"(drive 200:{"permissions":[]})", none, "permissionNotVerified", "metadata, permissions"},
        {found, none, "roleConflict", "metadata, permissions"},
        {"", [](auto& r) { r.phase = "verified"; }, "invalidResponse", ""},
        {"", [](auto& r) { r.md5.reset(); }, "invalidResponse", ""},
        {"", [](auto& r) { r.verifiedLink = "https://evildrive.google.com/x"; }, "invalidResponse",
         ""},
        // A stored link must name the recorded file.
        {"", [](auto& r) { *r.remoteFileID += "0"; }, "invalidResponse", ""},
    };
    for (const auto& [answers, tamper, outcome, requests] : cases) {
        SCOPED_TRACE(answers + " " + outcome);
        FakeDrive h;
        const VerifiedArchive archive = h.archive("Delivery.zip", test::randomBytes(3000, 9));
        ASSERT_EQ(h.share(archive), "ok");
        const DriveShareResult shared = *h.result;
        DriveTransferRecord record = *h.record(archive.jobID);
        tamper(record);
        h.journal->save(record);
        h.reset();
        h.script(answers);
        EXPECT_EQ(h.verify(archive.jobID), outcome);
        EXPECT_EQ(h.sent(), requests);
        EXPECT_EQ(h.record(archive.jobID), record);
        EXPECT_EQ(h.result, outcome == "ok" ? std::optional(shared) : std::nullopt);
    }
}

}  // namespace
}  // namespace tolvane
