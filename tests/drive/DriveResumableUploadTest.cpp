#include "core/drive/DriveResumableUpload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/DriveClientHarness.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::answer;
using test::failWith;
using test::fileAnswer;
using test::Lines;
using Hook = test::FakeDriveService::Hook;
using Hooks = std::vector<Hook>;
using Progress = DriveTransferProgress;
using Stage = DriveTransferProgress::Stage;

constexpr std::int64_t chunk = test::DriveClientHarness::chunk;
const std::string session = "https://www.googleapis.com/upload/drive/v3/files?upload_id=";
const std::vector<std::uint64_t> threeWaits = {1'250'000'000, 2'500'000'000, 5'000'000'000};

Hook initiated(const std::string& id) {
    return answer({200, {{"location", session + id}}, {}});
}
Hook held(std::int64_t bytes) {
    return answer(test::heldAnswer(bytes));
}
Hook file(const std::string& id, int status = 200) {
    return answer(fileAnswer(id, status));
}
const Hook noFiles = answer(200, R"({"files":[]})");
const Hook lost = answer(404);

// One upload of `size` bytes (from a file of `fileBytes` when given) into "folder-1".
struct Upload : test::DriveClientHarness {
    std::string path = dir.file("Delivery 03.zip");
    std::string content;
    std::int64_t size;
    DriveTransferRecord record = DriveTransferRecord::fresh(std::string(64, 'a'), 0);

    explicit Upload(std::int64_t size, std::optional<std::size_t> fileBytes = std::nullopt)
        : content(test::randomBytes(fileBytes.value_or(static_cast<std::size_t>(size)), 7)),
          size(size) {
        test::writeFile(path, content);
        record.folderID = "folder-1";
    }

    std::string run(Hooks answers, std::stop_token stop = {}) {
        script(std::move(answers));
        return test::outcomeOf([&] {
            steps->upload(path, FileDigest{size, "", ""}, record, token(), progress(), stop);
        });
    }

    // What the journal holds now.
    DriveTransferRecord saved() const {
        return journal->load(record.key).value_or(DriveTransferRecord{});
    }
};

TEST(DriveResumableUploadTest, CleanRunSavesEachStepBeforeTheNext) {
    Upload u(2 * chunk + chunk / 2);
    const auto expectSaved = [&](std::int64_t offset, Hook next) -> Hook {
        return
            [&u, offset, next](const DriveHTTPRequest& r, const test::FakeDriveService::Serve& s) {
                EXPECT_EQ(u.saved().sessionURL, session + "A");
                EXPECT_EQ(u.saved().offset, offset);
                EXPECT_EQ(u.saved().phase, "uploading");
                return next(r, s);
            };
    };
    EXPECT_EQ(
        u.run({initiated("A"), expectSaved(0, held(chunk)), expectSaved(chunk, held(2 * chunk)),
               expectSaved(2 * chunk, file("remote-1"))}),
        "ok");
    EXPECT_EQ(u.transcript(),
              (Lines{"initiate", "chunk 0-262143", "chunk 262144-524287", "chunk 524288-655359"}));
    const DriveHTTPRequest init = u.drive->requests()[0];
    EXPECT_EQ(init.url,
              "https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable&"
              "fields=id%2Csize%2Cmd5Checksum%2Csha256Checksum%2CwebViewLink");
    EXPECT_EQ(init.header("Content-Type"), "application/json");
    EXPECT_EQ(init.header("X-Upload-Content-Type"), "application/zip");
    EXPECT_EQ(init.header("X-Upload-Content-Length"), "655360");
    EXPECT_EQ(nlohmann::json::parse(init.body),
              (nlohmann::json{{"name", "Delivery 03.zip"},
                              {"mimeType", "application/zip"},
                              {"parents", {"folder-1"}},
                              {"appProperties", {{"tolvaneTransfer", u.record.key}}}}));
    for (std::size_t i = 1; i <= 3; ++i) {
        const DriveHTTPRequest put = u.drive->requests()[i];
        EXPECT_EQ(put.url, session + "A");
        EXPECT_EQ(put.header("Content-Type"), "application/zip");
        EXPECT_EQ(put.header("Authorization"), "Bearer token-" + std::to_string(i + 1));
        EXPECT_TRUE(put.body == u.content.substr((i - 1) * chunk, chunk)) << "chunk " << i;
    }
    // Drive's confirmation is in the journal (checked above) before anyone hears of it.
    EXPECT_EQ(u.reports, (std::vector<Progress>{{Stage::uploading, chunk, u.size},
                                                {Stage::uploading, 2 * chunk, u.size}}));
    EXPECT_EQ(u.record.remoteFileID, "remote-1");
    EXPECT_FALSE(u.record.sessionURL);
    EXPECT_EQ(u.record.phase, "uploaded");
    EXPECT_EQ(u.record.updatedAt, 1'710'504'000.0);
    EXPECT_EQ(u.saved(), u.record);
}

// Three failures of one chunk are retried, each followed by a status query; progress renews the
// budget, and a fourth failure in a row ends the upload and leaves the session for a later run.
TEST(DriveResumableUploadTest, ThreeFailuresPerChunkAreRetried) {
    struct Kind {
        Hook fail;
        std::string fourthOutcome;
        bool waits;  // HTTP failures wait and report "retrying"; transport failures do neither
    };
    const std::vector<Kind> kinds = {
        {answer(503), "http(503)", true},
        {answer(429), "rateLimited", true},
        {answer(test::reasonAnswer(403, "userRateLimitExceeded")), "rateLimited", true},
        {failWith(TransportError::Kind::connectionLost),
         "transport network request connection lost: scripted", false},
    };
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.fourthOutcome);
        Hooks renewed = {initiated("A")}, ended = {initiated("A")};
        for (int i = 0; i < 3; ++i) {
            renewed.insert(renewed.end(), {kind.fail, held(0)});
            ended.insert(ended.end(), {kind.fail, held(0)});
        }
        renewed.push_back(held(chunk));
        for (int i = 0; i < 3; ++i) {
            renewed.insert(renewed.end(), {kind.fail, held(chunk)});
        }
        renewed.push_back(file("remote-1", 201));
        ended.push_back(kind.fail);

        Upload r(2 * chunk);
        EXPECT_EQ(r.run(renewed), "ok");
        EXPECT_EQ(r.drive->requests().size(), renewed.size());
        std::vector<Progress> reports;
        if (kind.waits) {
            reports.assign(3, Progress{Stage::retrying, 0, r.size});
        }
        reports.push_back({Stage::uploading, chunk, r.size});
        if (kind.waits) {
            reports.insert(reports.end(), 3, Progress{Stage::retrying, chunk, r.size});
        }
        EXPECT_EQ(r.reports, reports);
        EXPECT_EQ(r.waits.size(), kind.waits ? 6u : 0u);

        Upload e(2 * chunk);
        EXPECT_EQ(e.run(ended), kind.fourthOutcome);
        EXPECT_EQ(e.waits, kind.waits ? threeWaits : std::vector<std::uint64_t>{});
        EXPECT_EQ(e.saved().sessionURL, session + "A");
    }
}

TEST(DriveResumableUploadTest, ChunkAnswersAreFollowed) {
    struct Case {
        std::string name;
        std::int64_t size;
        Hooks answers;
        std::string outcome;
        Lines transcript;
    };
    const std::vector<Case> cases = {
        {"kept in part: sent again from where the server stopped",
         2 * chunk,
         {initiated("A"), held(100000), held(100000 + chunk), file("r")},
         "ok",
         {"initiate", "chunk 0-262143", "chunk 100000-362143", "chunk 362144-524287"}},
        {"nothing kept",
         2 * chunk,
         {initiated("A"), held(0)},
         "invalidResponse",
         {"initiate", "chunk 0-262143"}},
        {"a range past the end",
         2 * chunk,
         {initiated("A"), answer({308, {{"Range", "bytes=0-524288"}}, {}})},
         "invalidResponse",
         {"initiate", "chunk 0-262143"}},
        {"final answer lost, status query finds the file",
         2 * chunk,
         {initiated("A"), held(chunk), failWith(TransportError::Kind::timedOut), file("r")},
         "ok",
         {"initiate", "chunk 0-262143", "chunk 262144-524287", "status"}},
        {"every byte held, the file asked for",
         1000,
         {initiated("A"), held(1000), file("r", 201)},
         "ok",
         {"initiate", "chunk 0-999", "status"}},
        {"every byte held, no file",
         1000,
         {initiated("A"), held(1000), answer(200, "{}")},
         "invalidResponse",
         {"initiate", "chunk 0-999", "status"}},
        {"empty file", 0, {initiated("A"), file("r")}, "ok", {"initiate", "status"}},
        {"empty file never finished",
         0,
         {initiated("A"), held(0)},
         "invalidResponse",
         {"initiate", "status"}},
        {"lost once, done in a new session",
         1000,
         {initiated("A"), lost, noFiles, initiated("B"), file("r")},
         "ok",
         {"initiate", "chunk 0-999", "find marker", "initiate", "chunk 0-999"}},
        {"lost, but the earlier session had finished",
         1000,
         {initiated("A"), answer(410), answer(200, R"({"files":[{"id":"r"}]})")},
         "ok",
         {"initiate", "chunk 0-999", "find marker"}},
        {"lost three times",
         2 * chunk,
         {initiated("A"), lost, noFiles, initiated("B"), held(chunk), answer(410), noFiles,
          initiated("C"), lost},
         "expiredSession",
         {"initiate", "chunk 0-262143", "find marker", "initiate", "chunk 0-262143",
          "chunk 262144-524287", "find marker", "initiate", "chunk 0-262143"}},
        {"401 renewed once",
         1000,
         {initiated("A"), answer(401), file("r")},
         "ok",
         {"initiate", "chunk 0-999", "chunk 0-999"}},
        {"401 twice",
         1000,
         {initiated("A"), answer(401), answer(401)},
         "reauthRequired",
         {"initiate", "chunk 0-999", "chunk 0-999"}},
        {"quota",
         1000,
         {initiated("A"), answer(test::reasonAnswer(403, "storageQuotaExceeded"))},
         "storageQuota",
         {"initiate", "chunk 0-999"}},
        {"400", 1000, {initiated("A"), answer(400)}, "http(400)", {"initiate", "chunk 0-999"}},
        {"200 without a file",
         1000,
         {initiated("A"), answer(200, "[]")},
         "invalidResponse",
         {"initiate", "chunk 0-999"}},
        // After a rate-limited 403 only a session answer is expected: 404 is not a restart.
        {"rate-limited 403, then 404",
         1000,
         {initiated("A"), answer(test::reasonAnswer(403, "rateLimitExceeded")), lost},
         "http(404)",
         {"initiate", "chunk 0-999", "status"}},
        {"503, then 404 restarts",
         1000,
         {initiated("A"), answer(503), lost, answer(200, R"({"files":[{"id":"r"}]})")},
         "ok",
         {"initiate", "chunk 0-999", "status", "find marker"}},
        {"503, then 400",
         1000,
         {initiated("A"), answer(503), answer(400)},
         "http(400)",
         {"initiate", "chunk 0-999", "status"}},
        // The chunk's retry budget is not renewed by a new session.
        {"two failures, a new session, two failures",
         1000,
         {initiated("A"), answer(503), held(0), answer(503), held(0), lost, noFiles, initiated("B"),
          answer(503), held(0), answer(503)},
         "http(503)",
         {"initiate", "chunk 0-999", "status", "chunk 0-999", "status", "chunk 0-999",
          "find marker", "initiate", "chunk 0-999", "status", "chunk 0-999"}},
        {"a file that shrank is not sent",
         2 * chunk,
         {initiated("A"), held(chunk)},
         "invalidArchive",
         {"initiate", "chunk 0-262143"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upload u(c.size,
                 c.name.ends_with("not sent") ? std::optional<std::size_t>(300000) : std::nullopt);
        EXPECT_EQ(u.run(c.answers), c.outcome);
        EXPECT_EQ(u.transcript(), c.transcript);
        if (c.outcome == "ok") {
            EXPECT_EQ(u.saved().remoteFileID, "r");
            EXPECT_FALSE(u.saved().sessionURL);
        }
    }
}

TEST(DriveResumableUploadTest, AStoredSessionIsAskedBeforeAnythingIsSent) {
    struct Case {
        std::string name;
        Hooks answers;
        std::string outcome;
        Lines transcript;
    };
    const std::vector<Case> cases = {
        {"finished meanwhile", {file("r")}, "ok", {"status"}},
        {"holds the first chunk",
         {held(chunk), file("r")},
         "ok",
         {"status", "chunk 262144-262243"}},
        {"gone",
         {answer(410), noFiles, initiated("B"), file("r")},
         "ok",
         {"status", "find marker", "initiate", "chunk 0-262143"}},
        {"server errors outlast the query's retries", Hooks(4, answer(500)), "http(500)",
         Lines(4, "status")},
        {"401 twice", {answer(401), answer(401)}, "reauthRequired", {"status", "status"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upload u(chunk + 100);
        u.record.sessionURL = session + "A";
        EXPECT_EQ(u.run(c.answers), c.outcome);
        EXPECT_EQ(u.transcript(), c.transcript);
    }
    // A stored or received session URL that fails the gate is never contacted nor stored.
    for (const std::string url :
         {"http://www.googleapis.com/upload/x", "https://evil.example/upload/x", ""}) {
        Upload stored(1000);
        stored.record.sessionURL = url;
        EXPECT_EQ(stored.run({}), "invalidResponse") << url;
        EXPECT_TRUE(stored.transcript().empty());
        Upload received(1000);
        EXPECT_EQ(received.run({answer({200, {{"Location", url}}, {}})}), "invalidResponse");
        EXPECT_EQ(received.transcript(), Lines{"initiate"});
        EXPECT_FALSE(received.saved().sessionURL);
    }
    // No folder: nothing to upload into. A remote file: nothing left to do.
    Upload noFolder(1000), done(1000);
    noFolder.record.folderID.reset();
    done.record.remoteFileID = "r";
    EXPECT_EQ(noFolder.run({}), "invalidResponse");
    EXPECT_EQ(done.run({}), "ok");
    EXPECT_TRUE(noFolder.transcript().empty() && done.transcript().empty());
}

TEST(DriveResumableUploadTest, CancellationLeavesTheJournalResumable) {
    struct Case {
        std::string name;
        Hook answer;  // to the first chunk, while the stop is requested
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"between chunks", held(chunk), "cancelled"},
        {"during the retry wait", answer(503), "cancelled"},
        {"during the exchange", failWith(TransportError::Kind::cancelled),
         "transport network request cancelled: scripted"},
        // The connection drops as the stop tears it down: a cancellation, not a failure.
        {"a failure racing the stop", failWith(TransportError::Kind::connectionLost), "cancelled"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upload u(2 * chunk + 1000);
        std::stop_source source;
        const Hook first = [&](const DriveHTTPRequest& r, const test::FakeDriveService::Serve& s) {
            source.request_stop();
            return c.answer(r, s);
        };
        EXPECT_EQ(u.run({initiated("A"), first}, source.get_token()), c.outcome);
        EXPECT_EQ(u.transcript(), (Lines{"initiate", "chunk 0-262143"}));
        DriveTransferRecord stored = u.saved();
        EXPECT_EQ(stored.sessionURL, session + "A");
        EXPECT_EQ(stored.offset, c.name == "between chunks" ? chunk : 0);
        EXPECT_EQ(stored.phase, "uploading");

        // A later run continues the same session from the byte the server confirmed.
        u.record = stored;
        u.clearLog();
        EXPECT_EQ(u.run({held(chunk), held(2 * chunk), file("r")}), "ok");
        EXPECT_EQ(u.transcript(), (Lines{"status", "chunk 262144-524287", "chunk 524288-525287"}));
    }
}

}  // namespace
}  // namespace tolvane
