#include "core/drive/DriveResumableUpload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "support/FakeDrive.h"
#include "support/Outcome.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using Progress = DriveTransferProgress;
using Stage = DriveTransferProgress::Stage;

constexpr std::int64_t chunk = test::FakeDrive::chunk;
const std::string session = test::FakeDrive::session;

// One upload of a file of `size` bytes into "folder-1".
struct Upload : test::FakeDrive {
    std::string path = dir.file("Delivery 03.zip");
    std::int64_t size;
    DriveTransferRecord record = DriveTransferRecord::fresh(std::string(64, 'a'), 0);

    explicit Upload(std::int64_t size) : size(size) {
        test::writeFile(path, test::randomBytes(size, 7));
        record.folderID = "folder-1";
    }

    std::string run(const std::string& answers) {
        script(answers);
        return test::outcomeOf([&] {
            steps->upload(path, FileDigest{size, "", ""}, record, token(), progress(),
                          stop.get_token());
        });
    }
    DriveTransferRecord saved() const {
        return journal->load(record.key).value_or(DriveTransferRecord{});
    }
};

// Three failures of one chunk are retried, each followed by a status query; progress renews the
// budget, and a fourth failure in a row ends the upload and leaves the session for a later run.
TEST(DriveResumableUploadTest, ThreeFailuresPerChunkAreRetried) {
    // The failure; the outcome of the fourth; whether it waits and reports "retrying", as HTTP
    // failures do and transport failures do not.
    const std::vector<std::tuple<std::string, std::string, bool>> kinds = {
        {"503", "http(503)", true},
        {"lost", "transport network request connection lost: scripted", false},
    };
    for (const auto& [fail, fourth, waits] : kinds) {
        SCOPED_TRACE(fail);
        const std::string three = fail + " held:0 " + fail + " held:0 " + fail + " held:0 ";
        Upload r(2 * chunk);
        EXPECT_EQ(r.run("new:A " + three + "held:262144 " + fail + " held:262144 " + fail +
                        " held:262144 " + fail + " held:262144 201:{\"id\":\"r\"}"),
                  "ok");
        EXPECT_EQ(r.requests().size(), 15u);
        std::vector<Progress> reports(waits ? 3 : 0, Progress{Stage::retrying, 0, r.size});
        reports.push_back({Stage::uploading, chunk, r.size});
        reports.insert(reports.end(), waits ? 3 : 0, Progress{Stage::retrying, chunk, r.size});
        EXPECT_EQ(r.reports, reports);
        EXPECT_EQ(r.waits.size(), waits ? 6u : 0u);
        EXPECT_EQ(r.saved().phase, "uploaded");

        Upload e(2 * chunk);
        EXPECT_EQ(e.run("new:A " + three + fail), fourth);
        const std::vector<std::uint64_t> policy = {1'250'000'000, 2'500'000'000, 5'000'000'000};
        EXPECT_EQ(e.waits, waits ? policy : std::vector<std::uint64_t>{});
        EXPECT_EQ(e.saved().sessionURL, session + "A");
    }
}

// The answers to chunks and status queries, from a fresh start or from a stored session "A".
TEST(DriveResumableUploadTest, AnswersAreFollowed) {
    // Name, size, answers, outcome, requests.
    using Case = std::tuple<std::string, std::int64_t, std::string, std::string, std::string>;
    const std::vector<Case> cases = {
        {"kept in part: sent again from where the server stopped", 2 * chunk,
         "new:A held:100000 held:362144 file:r", "ok",
         "initiate, chunk 0-262143, chunk 100000-362143, chunk 362144-524287"},
        {"a failed chunk goes on from where the status query says", 2 * chunk,
         "new:A 503 held:100000 held:362144 file:r", "ok",
         "initiate, chunk 0-262143, status, chunk 100000-362143, chunk 362144-524287"},
        {"nothing kept", 2 * chunk, "new:A held:0", "invalidResponse", "initiate, chunk 0-262143"},
        {"final answer lost, status query finds the file", 2 * chunk,
         "new:A held:262144 timeout file:r", "ok",
         "initiate, chunk 0-262143, chunk 262144-524287, status"},
        {"empty file", 0, "new:A file:r", "ok", "initiate, status"},
        {"lost once, done in a new session", 1000, "new:A 404 none new:B file:r", "ok",
         "initiate, chunk 0-999, find marker, initiate, chunk 0-999"},
        {"lost three times", 2 * chunk, "new:A 404 none new:B held:262144 410 none new:C 404",
         "expiredSession",
         "initiate, chunk 0-262143, find marker, initiate, chunk 0-262143, chunk 262144-524287, "
         "find marker, initiate, chunk 0-262143"},
        {"401 twice", 1000, "new:A 401 401", "reauthRequired",
         "initiate, chunk 0-999, chunk 0-999"},
        {"quota", 1000, "new:A 403:storageQuotaExceeded", "storageQuota", "initiate, chunk 0-999"},
        // After a rate-limited 403 only a session answer is expected: 404 is not a restart.
        {"rate-limited 403, then 404", 1000, "new:A 403:rateLimitExceeded 404", "http(404)",
         "initiate, chunk 0-999, status"},
        {"503, then 404 restarts", 1000, R"(new:A 503 404 200:{"files":[{"id":"r"}]})", "ok",
         "initiate, chunk 0-999, status, find marker"},
        // The chunk's retry budget is not renewed by a new session.
        {"two failures, a new session, two failures", 1000,
         "new:A 503 held:0 503 held:0 404 none new:B 503 held:0 503", "http(503)",
         "initiate, chunk 0-999, status, chunk 0-999, status, chunk 0-999, find marker, initiate, "
         "chunk 0-999, status, chunk 0-999"},
        {"a file that shrank is not sent", 2 * chunk, "new:A held:262144", "invalidArchive",
         "initiate, chunk 0-262143"},
        {"stored, finished meanwhile", chunk + 100, "file:r", "ok", "status"},
        {"stored, holds the first chunk", chunk + 100, "held:262144 file:r", "ok",
         "status, chunk 262144-262243"},
        {"stored, gone", chunk + 100, "410 none new:B file:r", "ok",
         "status, find marker, initiate, chunk 0-262143"},
        {"stored, server errors outlast the query's retries", chunk + 100, "500 500 500 500",
         "http(500)", "status, status, status, status"},
    };
    for (const auto& [name, size, answers, outcome, sent] : cases) {
        SCOPED_TRACE(name);
        Upload u(size);
        if (name.ends_with("not sent")) {
            test::writeFile(u.path, std::string(300000, 'x'));
        } else if (name.starts_with("stored")) {
            u.record.sessionURL = session + "A";
        }
        EXPECT_EQ(u.run(answers), outcome);
        EXPECT_EQ(u.sent(), sent);
        if (outcome == "ok") {
            EXPECT_EQ(u.saved().remoteFileID, "r");
            EXPECT_FALSE(u.saved().sessionURL);
        }
    }
    // A stored or received session URL that fails the gate is never contacted nor stored. With
    // no folder there is nothing to upload into; with a remote file, nothing left to do.
    Upload stored(1000), received(1000), noFolder(1000), done(1000);
    stored.record.sessionURL = "https://evil.example/upload/x";
    noFolder.record.folderID.reset();
    done.record.remoteFileID = "r";
    EXPECT_EQ(stored.run(""), "invalidResponse");
    EXPECT_EQ(received.run("new:https://evil.example/upload/x"), "invalidResponse");
    EXPECT_FALSE(received.saved().sessionURL);
    EXPECT_EQ(noFolder.run(""), "invalidResponse");
    EXPECT_EQ(done.run(""), "ok");
    EXPECT_EQ(stored.sent() + received.sent() + noFolder.sent() + done.sent(), "initiate");
}

}  // namespace
}  // namespace tolvane
