#include "core/drive/DriveResumableUpload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/common/Cancellation.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "support/ScriptedDriveTransport.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::outcomeOf;
using test::ScriptedDriveTransport;
using Progress = DriveTransferProgress;
using Stage = DriveTransferProgress::Stage;
using Lines = std::vector<std::string>;

constexpr std::int64_t chunk = 262144;
constexpr double stampedAt = 1'700'000'000.0;
constexpr std::uint64_t second = 1'000'000'000;
const std::vector<std::uint64_t> threeWaits = {1250 * second / 1000, 2500 * second / 1000,
                                               5 * second};

const std::string session = "https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable";
const std::string sessionA = session + "&upload_id=A";
const std::string sessionB = session + "&upload_id=B";
const std::string sessionC = session + "&upload_id=C";

DriveHTTPResponse initiated(const std::string& session) {
    return DriveHTTPResponse{200, {{"location", session}}, {}};
}

DriveHTTPResponse bare(int status) {
    return DriveHTTPResponse{status, {}, {}};
}

DriveHTTPResponse held(std::int64_t bytes) {
    return ScriptedDriveTransport::incomplete(bytes);
}

DriveHTTPResponse fileAnswer(const std::string& id, int status = 200) {
    return ScriptedDriveTransport::file(id, status);
}

DriveHTTPResponse noFiles() {
    return DriveHTTPResponse{200, {}, R"({"files":[]})"};
}

// One upload of `size` bytes (or a file of `fileBytes` when it differs) over a scripted
// transport, with waits, tokens and progress recorded.
struct Upload {
    test::TempDir dir;
    std::shared_ptr<ScriptedDriveTransport> transport = std::make_shared<ScriptedDriveTransport>();
    std::shared_ptr<FileDriveTransferJournal> journal =
        std::make_shared<FileDriveTransferJournal>(dir.file("journal"));
    std::mutex mutex;
    std::vector<std::uint64_t> waits;
    std::vector<Progress> reports;
    int tokensIssued = 0;
    GoogleDriveTransferClient client{
        transport,
        journal,
        chunk,
        [this](std::uint64_t nanoseconds, std::stop_token stop) {
            const std::lock_guard lock(mutex);
            waits.push_back(nanoseconds);
            throwIfCancelled(nullptr, stop);
        },
        {DriveEndpoints{}, [](std::uint64_t bound) { return bound; }, [] { return stampedAt; }}};
    std::string path = dir.file("Delivery 03.zip");
    std::string content;
    std::int64_t size;
    DriveTransferRecord record;
    // Runs inside every progress report.
    std::function<void(const Progress&)> onReport;

    explicit Upload(std::int64_t size, std::optional<std::size_t> fileBytes = std::nullopt)
        : content(test::randomBytes(fileBytes.value_or(static_cast<std::size_t>(size)), 7)),
          size(size),
          record(DriveTransferRecord::fresh(
              FileDriveTransferJournal::key("subject-1",
                                            *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F")),
              0)) {
        test::writeFile(path, content);
        record.folderID = "folder-1";
    }

    // Adds the answers to the script, in order.
    Upload& script(std::initializer_list<DriveHTTPResponse> answers) {
        for (const DriveHTTPResponse& answer : answers) {
            transport->respond(answer);
        }
        return *this;
    }

    std::string run(std::stop_token stop = {}) {
        const GoogleDriveTransferClient::AccessToken token = [this] {
            const std::lock_guard lock(mutex);
            return "token-" + std::to_string(++tokensIssued);
        };
        const GoogleDriveTransferClient::ProgressHandler progress = [this](const Progress& report) {
            if (onReport) {
                onReport(report);
            }
            const std::lock_guard lock(mutex);
            reports.push_back(report);
        };
        return outcomeOf([&] {
            client.upload(path, FileDigest{size, "", ""}, record, token, progress, stop);
        });
    }

    // What the journal holds now; a record that was never saved reads as the bare key.
    DriveTransferRecord saved() const {
        if (std::optional<DriveTransferRecord> loaded = journal->load(record.key)) {
            return *loaded;
        }
        DriveTransferRecord bare;
        bare.key = record.key;
        return bare;
    }

    // The requests in short form: "initiate", "list", "status", "chunk <first>-<last>".
    Lines transcript() const {
        std::vector<std::string> lines;
        for (const DriveHTTPRequest& request : transport->requests()) {
            const std::string range = request.header("Content-Range").value_or("");
            if (request.method == "POST") {
                lines.push_back("initiate");
            } else if (request.method == "GET") {
                lines.push_back("list");
            } else if (range.starts_with("bytes */")) {
                lines.push_back("status");
            } else {
                lines.push_back("chunk " + range.substr(6, range.find('/') - 6));
            }
        }
        return lines;
    }
};

TEST(DriveResumableUploadTest, CleanRunSavesEachStepBeforeTheNext) {
    Upload u(2 * chunk + chunk / 2);
    u.transport->respond(initiated(sessionA))
        .handle([&](const DriveHTTPRequest&, std::stop_token) {
            const DriveTransferRecord now = u.saved();
            EXPECT_EQ(now.sessionURL, sessionA);
            EXPECT_EQ(now.offset, 0);
            EXPECT_EQ(now.phase, "uploading");
            EXPECT_EQ(now.updatedAt, stampedAt);
            return held(chunk);
        })
        .handle([&](const DriveHTTPRequest&, std::stop_token) {
            EXPECT_EQ(u.saved().offset, chunk);
            return held(2 * chunk);
        })
        .respond(fileAnswer("remote-1"));
    // Drive's confirmation is in the journal before anyone hears of it.
    u.onReport = [&](const Progress& report) {
        EXPECT_EQ(u.saved().offset, report.acknowledgedBytes);
    };

    EXPECT_EQ(u.run(), "ok");
    EXPECT_EQ(u.transcript(),
              (Lines{"initiate", "chunk 0-262143", "chunk 262144-524287", "chunk 524288-655359"}));
    const DriveHTTPRequest init = u.transport->request(0);
    EXPECT_EQ(test::urlPath(init.url), "/upload/drive/v3/files");
    EXPECT_EQ(test::urlQuery(init.url),
              (std::vector<std::pair<std::string, std::string>>{
                  {"uploadType", "resumable"},
                  {"fields", "id,size,md5Checksum,sha256Checksum,webViewLink"}}));
    EXPECT_EQ(init.header("Content-Type"), "application/json");
    EXPECT_EQ(init.header("X-Upload-Content-Type"), "application/zip");
    EXPECT_EQ(init.header("X-Upload-Content-Length"), "655360");
    EXPECT_EQ(nlohmann::json::parse(init.body),
              (nlohmann::json{{"name", "Delivery 03.zip"},
                              {"mimeType", "application/zip"},
                              {"parents", {"folder-1"}},
                              {"appProperties", {{"tolvaneTransfer", u.record.key}}}}));
    for (std::size_t i = 1; i <= 3; ++i) {
        const DriveHTTPRequest put = u.transport->request(i);
        EXPECT_EQ(put.url, sessionA);
        EXPECT_EQ(put.header("Content-Type"), "application/zip");
        EXPECT_EQ(put.header("Authorization"), "Bearer token-" + std::to_string(i + 1));
        EXPECT_TRUE(put.body == u.content.substr((i - 1) * chunk, chunk)) << "chunk " << i;
    }
    EXPECT_EQ(u.reports, (std::vector<Progress>{{Stage::uploading, chunk, u.size},
                                                {Stage::uploading, 2 * chunk, u.size}}));
    EXPECT_EQ(u.record.remoteFileID, "remote-1");
    EXPECT_FALSE(u.record.sessionURL);
    EXPECT_EQ(u.record.phase, "uploaded");
    EXPECT_EQ(u.saved(), u.record);
}

// Three failures of one chunk are retried; progress renews the budget, a fourth failure ends
// the upload and leaves the session for a later run.
TEST(DriveResumableUploadTest, ThreeFailuresPerChunkAreRetried) {
    struct FailureKind {
        std::string name;
        std::function<void(ScriptedDriveTransport&)> fail;
        std::string fourthOutcome;
        bool waits;  // HTTP failures wait and report "retrying"; transport failures do neither
    };
    const std::vector<FailureKind> kinds = {
        {"503", [](ScriptedDriveTransport& t) { t.respond(503); }, "http(503)", true},
        {"429", [](ScriptedDriveTransport& t) { t.respond(429); }, "rateLimited", true},
        {"rate-limited 403",
         [](ScriptedDriveTransport& t) {
             t.respond(ScriptedDriveTransport::error(403, "userRateLimitExceeded"));
         },
         "rateLimited", true},
        {"connection lost",
         [](ScriptedDriveTransport& t) {
             t.failWith(TransportError(TransportError::Kind::connectionLost, "reset"));
         },
         "transport network request connection lost: reset", false},
    };
    for (const FailureKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        Upload renewed(2 * chunk), ended(2 * chunk);
        for (Upload* u : {&renewed, &ended}) {
            u->script({initiated(sessionA)});
            for (int i = 0; i < 3; ++i) {
                kind.fail(*u->transport);
                u->script({held(0)});
            }
        }
        renewed.script({held(chunk)});
        for (int i = 0; i < 3; ++i) {
            kind.fail(*renewed.transport);
            renewed.script({held(chunk)});
        }
        renewed.script({fileAnswer("remote-1", 201)});
        kind.fail(*ended.transport);

        EXPECT_EQ(renewed.run(), "ok");
        EXPECT_EQ(renewed.transport->requestCount(), 15u);
        std::vector<std::uint64_t> waits;
        std::vector<Progress> reports;
        if (kind.waits) {
            waits = threeWaits;
            waits.insert(waits.end(), threeWaits.begin(), threeWaits.end());
            reports.assign(3, Progress{Stage::retrying, 0, renewed.size});
        }
        reports.push_back({Stage::uploading, chunk, renewed.size});
        if (kind.waits) {
            reports.insert(reports.end(), 3, Progress{Stage::retrying, chunk, renewed.size});
        }
        EXPECT_EQ(renewed.waits, waits);
        EXPECT_EQ(renewed.reports, reports);

        EXPECT_EQ(ended.run(), kind.fourthOutcome);
        EXPECT_EQ(ended.transport->requestCount(), 8u);
        EXPECT_EQ(ended.waits, kind.waits ? threeWaits : std::vector<std::uint64_t>{});
        EXPECT_EQ(ended.saved().sessionURL, sessionA);
    }
}

TEST(DriveResumableUploadTest, AChunkAnswerMustMoveForward) {
    // No Range at all after the first chunk: the server holds nothing of it.
    EXPECT_EQ(Upload(2 * chunk).script({initiated(sessionA), held(0)}).run(), "invalidResponse");
    // A malformed Range.
    EXPECT_EQ(Upload(2 * chunk)
                  .script({initiated(sessionA),
                           {308, {{"Range", "bytes=0-" + std::to_string(2 * chunk)}}, {}}})
                  .run(),
              "invalidResponse");

    // Backwards: the server's value is kept in memory but never saved.
    Upload back(3 * chunk);
    back.script({initiated(sessionA), held(chunk), held(100000)});
    EXPECT_EQ(back.run(), "invalidResponse");
    EXPECT_EQ(back.record.offset, 100000);
    EXPECT_EQ(back.saved().offset, chunk);
    EXPECT_EQ(back.reports, (std::vector<Progress>{{Stage::uploading, chunk, back.size}}));
}

TEST(DriveResumableUploadTest, AChunkKeptOnlyInPartIsSentAgainFromWhereTheServerStopped) {
    Upload u(2 * chunk);
    u.script({initiated(sessionA), held(100000), held(100000 + chunk), fileAnswer("remote-1")});
    EXPECT_EQ(u.run(), "ok");
    EXPECT_EQ(u.transcript(),
              (Lines{"initiate", "chunk 0-262143", "chunk 100000-362143", "chunk 362144-524287"}));
    EXPECT_TRUE(u.transport->request(2).body == u.content.substr(100000, chunk));
    EXPECT_TRUE(u.transport->request(3).body == u.content.substr(100000 + chunk));
    EXPECT_EQ(u.reports, (std::vector<Progress>{{Stage::uploading, 100000, u.size},
                                                {Stage::uploading, 100000 + chunk, u.size}}));
}

TEST(DriveResumableUploadTest, ALostSessionIsRestartedTwiceAtMost) {
    // Lost once, then done in a new session; the marker lookup comes first.
    Upload once(1000);
    once.script({initiated(sessionA), bare(404)})
        .transport->handle([&](const DriveHTTPRequest&, std::stop_token) {
            EXPECT_FALSE(once.saved().sessionURL);
            EXPECT_EQ(once.saved().offset, 0);
            return noFiles();
        });
    once.script({initiated(sessionB), fileAnswer("remote-1")});
    EXPECT_EQ(once.run(), "ok");
    EXPECT_EQ(once.transcript(),
              (Lines{"initiate", "chunk 0-999", "list", "initiate", "chunk 0-999"}));
    EXPECT_EQ(once.transport->request(4).url, sessionB);

    // The earlier session had finished after all: the marked file is taken, nothing re-sent.
    Upload found(1000);
    found.script({initiated(sessionA), bare(410), {200, {}, R"({"files":[{"id":"earlier"}]})"}});
    EXPECT_EQ(found.run(), "ok");
    EXPECT_EQ(found.record.remoteFileID, "earlier");
    EXPECT_EQ(found.saved().phase, "uploaded");
    EXPECT_EQ(found.transport->requestCount(), 3u);

    // The third loss in one run ends it.
    Upload thrice(2 * chunk);
    thrice.script({initiated(sessionA), bare(404), noFiles(), initiated(sessionB), held(chunk),
                   bare(410), noFiles(), initiated(sessionC), bare(404)});
    EXPECT_EQ(thrice.run(), "expiredSession");
    EXPECT_EQ(thrice.transcript(),
              (Lines{"initiate", "chunk 0-262143", "list", "initiate", "chunk 0-262143",
                     "chunk 262144-524287", "list", "initiate", "chunk 0-262143"}));
    EXPECT_EQ(thrice.saved().sessionURL, sessionC);
}

TEST(DriveResumableUploadTest, ALostFinalAnswerIsRecoveredByAStatusQuery) {
    Upload u(2 * chunk);
    u.script({initiated(sessionA), held(chunk)})
        .transport->failWith(TransportError(TransportError::Kind::timedOut, "no answer"))
        .respond(fileAnswer("remote-1"));
    EXPECT_EQ(u.run(), "ok");
    EXPECT_EQ(u.transcript(),
              (Lines{"initiate", "chunk 0-262143", "chunk 262144-524287", "status"}));
    const DriveHTTPRequest status = u.transport->request(3);
    EXPECT_EQ(status.url, sessionA);
    EXPECT_TRUE(status.body.empty());
    EXPECT_EQ(status.header("Content-Range"), "bytes */524288");
    EXPECT_EQ(status.header("Content-Length"), "0");
    EXPECT_EQ(u.record.remoteFileID, "remote-1");
    EXPECT_FALSE(u.record.sessionURL);
    EXPECT_EQ(u.saved(), u.record);
}

TEST(DriveResumableUploadTest, EveryByteAcknowledgedAsksForTheFile) {
    struct Case {
        std::int64_t size;
        std::string outcome;
        std::vector<DriveHTTPResponse> answers;  // after the initiation
    };
    const std::vector<Case> cases = {
        {0, "ok", {fileAnswer("empty")}},
        {0, "invalidResponse", {held(0)}},
        {1000, "ok", {held(1000), fileAnswer("remote-1", 201)}},
        {1000, "invalidResponse", {held(1000), {200, {}, "{}"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes, " + c.outcome);
        Upload u(c.size);
        u.script({initiated(sessionA)});
        for (const DriveHTTPResponse& answer : c.answers) {
            u.transport->respond(answer);
        }
        EXPECT_EQ(u.run(), c.outcome);
        EXPECT_EQ(u.transcript(), (c.size == 0 ? Lines{"initiate", "status"}
                                               : Lines{"initiate", "chunk 0-999", "status"}));
        EXPECT_EQ(u.transport->request(0).header("X-Upload-Content-Length"),
                  std::to_string(c.size));
        EXPECT_EQ(u.transport->requests().back().header("Content-Range"),
                  "bytes */" + std::to_string(c.size));
    }
}

TEST(DriveResumableUploadTest, CancellationBetweenChunksLeavesTheJournalResumable) {
    Upload u(2 * chunk + 1000);
    std::stop_source source;
    u.transport->respond(initiated(sessionA)).handle([&](const DriveHTTPRequest&, std::stop_token) {
        source.request_stop();
        return held(chunk);
    });
    EXPECT_EQ(u.run(source.get_token()), "cancelled");
    EXPECT_EQ(u.transport->requestCount(), 2u);

    DriveTransferRecord stored = u.saved();
    EXPECT_EQ(stored.sessionURL, sessionA);
    EXPECT_EQ(stored.offset, chunk);
    EXPECT_EQ(stored.phase, "uploading");
    EXPECT_FALSE(stored.remoteFileID);

    // A later run continues the same session from the byte the server confirmed.
    u.record = stored;
    u.script({held(chunk), held(2 * chunk), fileAnswer("remote-1")});
    EXPECT_EQ(u.run(), "ok");
    EXPECT_EQ(u.transcript(), (Lines{"initiate", "chunk 0-262143", "status", "chunk 262144-524287",
                                     "chunk 524288-525287"}));
    EXPECT_EQ(u.saved().remoteFileID, "remote-1");
}

TEST(DriveResumableUploadTest, CancellationDuringAWaitOrAnExchangeSendsNothingMore) {
    const TransportError cancelled(TransportError::Kind::cancelled, "");
    const std::vector<std::tuple<std::string, std::function<DriveHTTPResponse()>, std::string>>
        cases = {
            {"during the retry wait", [] { return bare(503); }, "cancelled"},
            {"during the exchange", [&]() -> DriveHTTPResponse { throw cancelled; },
             outcomeOf([&] { throw cancelled; })},
            // The connection drops as the stop tears it down: still a cancellation, not a failure.
            {"a failure racing the stop",
             []() -> DriveHTTPResponse {
                 throw TransportError(TransportError::Kind::connectionLost, "reset");
             },
             "cancelled"},
        };
    for (const auto& [name, answer, outcome] : cases) {
        SCOPED_TRACE(name);
        Upload u(2 * chunk);
        std::stop_source source;
        u.script({initiated(sessionA)}).transport->handle([&](const DriveHTTPRequest&, auto) {
            source.request_stop();
            return answer();
        });
        EXPECT_EQ(u.run(source.get_token()), outcome);
        EXPECT_EQ(u.transport->requestCount(), 2u);
        EXPECT_EQ(u.saved().sessionURL, sessionA);
    }
}

TEST(DriveResumableUploadTest, A401IsRenewedOncePerRequest) {
    Upload renewed(1000);
    renewed.script({initiated(sessionA), bare(401), fileAnswer("remote-1")});
    EXPECT_EQ(renewed.run(), "ok");
    EXPECT_EQ(renewed.transport->request(1).header("Authorization"), "Bearer token-2");
    EXPECT_EQ(renewed.transport->request(2).header("Authorization"), "Bearer token-3");
    EXPECT_TRUE(renewed.transport->request(2).body == renewed.content);

    Upload refused(1000);
    refused.script({initiated(sessionA), bare(401), bare(401)});
    EXPECT_EQ(refused.run(), "reauthRequired");
    EXPECT_EQ(refused.transport->requestCount(), 3u);

    Upload refusedStatus(1000);
    refusedStatus.record.sessionURL = sessionA;
    EXPECT_EQ(refusedStatus.script({bare(401), bare(401)}).run(), "reauthRequired");
}

TEST(DriveResumableUploadTest, OtherAnswersEndTheUploadAsClassified) {
    const DriveHTTPResponse rateLimited = ScriptedDriveTransport::error(403, "rateLimitExceeded");
    struct Case {
        std::string name;
        std::string outcome;
        std::size_t waits;
        std::vector<DriveHTTPResponse> answers;  // after the initiation
    };
    const std::vector<Case> cases = {
        {"quota 403",
         "storageQuota",
         0,
         {ScriptedDriveTransport::error(403, "storageQuotaExceeded")}},
        {"403 without reason", "sharingRestricted", 0, {bare(403)}},
        {"400", "http(400)", 0, {bare(400)}},
        {"200 without a file", "invalidResponse", 0, {{200, {}, "[]"}}},
        // After a rate-limited 403 only a session answer is expected: 404 is not a restart.
        {"rate-limited 403, status 404", "http(404)", 1, {rateLimited, bare(404)}},
        {"rate-limited 403, status 403", "sharingRestricted", 1, {rateLimited, bare(403)}},
        {"503, status 400", "http(400)", 1, {bare(503), bare(400)}},
        {"503, status 404 restarts",
         "ok",
         1,
         {bare(503), bare(404), {200, {}, R"({"files":[{"id":"earlier"}]})"}}},
        // The chunk's retry budget is not renewed by a new session.
        {"503 twice, session lost, 503 twice",
         "http(503)",
         3,
         {bare(503), held(0), bare(503), held(0), bare(404), noFiles(), initiated(sessionB),
          bare(503), held(0), bare(503)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upload u(1000);
        u.script({initiated(sessionA)});
        for (const DriveHTTPResponse& answer : c.answers) {
            u.transport->respond(answer);
        }
        EXPECT_EQ(u.run(), c.outcome);
        EXPECT_EQ(u.transport->unusedAnswers(), 0u);
        EXPECT_EQ(u.waits.size(), c.waits);
    }
}

TEST(DriveResumableUploadTest, AContinuedSessionAsksBeforeSending) {
    struct Case {
        std::string name;
        std::string outcome;
        std::vector<DriveHTTPResponse> answers;
        Lines transcript;
    };
    const std::vector<Case> cases = {
        {"finished meanwhile", "ok", {fileAnswer("remote-1")}, {"status"}},
        {"holds the first chunk",
         "ok",
         {held(chunk), fileAnswer("remote-1")},
         {"status", "chunk 262144-262243"}},
        {"gone",
         "ok",
         {bare(410), noFiles(), initiated(sessionB), fileAnswer("r")},
         {"status", "list", "initiate", "chunk 0-262143"}},
        {"server errors outlast the query's own retries", "http(500)",
         std::vector<DriveHTTPResponse>(4, bare(500)), Lines(4, "status")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upload u(chunk + 100);
        u.record.sessionURL = sessionA;
        u.record.phase = "uploading";
        for (const DriveHTTPResponse& answer : c.answers) {
            u.transport->respond(answer);
        }
        EXPECT_EQ(u.run(), c.outcome);
        EXPECT_EQ(u.transcript(), c.transcript);
    }
}

TEST(DriveResumableUploadTest, RefusesWhatItCannotUseBeforeContactingIt) {
    // A stored session URL that fails the gate is never contacted.
    for (const std::string url :
         {"http://www.googleapis.com/upload/x", "https://evil.example/upload/x",
          "https://www.googleapis.com/drive/v3/files", ""}) {
        Upload u(1000);
        u.record.sessionURL = url;
        EXPECT_EQ(u.run(), "invalidResponse") << url;
        EXPECT_EQ(u.transport->requestCount(), 0u) << url;
    }
    // Nor is a received one stored.
    for (const DriveHTTPResponse& answer :
         {bare(200), initiated("https://evil.example/upload/x")}) {
        Upload u(1000);
        EXPECT_EQ(u.script({answer}).run(), "invalidResponse");
        EXPECT_EQ(u.transport->requestCount(), 1u);
        EXPECT_FALSE(u.saved().sessionURL);
    }
    // No folder: nothing to upload into. A remote file: nothing left to do.
    Upload noFolder(1000);
    noFolder.record.folderID.reset();
    EXPECT_EQ(noFolder.run(), "invalidResponse");
    Upload done(1000);
    done.record.remoteFileID = "remote-1";
    EXPECT_EQ(done.run(), "ok");
    EXPECT_EQ(noFolder.transport->requestCount() + done.transport->requestCount(), 0u);
}

TEST(DriveResumableUploadTest, AFileThatShrankIsNotUploaded) {
    Upload u(2 * chunk, 300000);
    EXPECT_EQ(u.script({initiated(sessionA), held(chunk)}).run(), "invalidArchive");
    EXPECT_EQ(u.transcript(), (Lines{"initiate", "chunk 0-262143"}));
}

}  // namespace
}  // namespace tolvane
