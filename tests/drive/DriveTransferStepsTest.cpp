#include "core/drive/DriveTransferSteps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "support/Child.h"
#include "support/FakeDrive.h"
#include "support/Outcome.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::FakeDrive;
using test::outcomeOf;
using Progress = DriveTransferProgress;
using Stage = DriveTransferProgress::Stage;

constexpr std::int64_t chunk = FakeDrive::chunk;
const std::string session = FakeDrive::session;

std::string request(FakeDrive& h, const DriveTransferSteps& steps,
                    const std::string& method = "GET") {
    return outcomeOf([&] {
        steps.checked(method, steps.apiURL("/drive/v3/files/x"), {}, std::nullopt, {}, h.token(),
                      h.stop.get_token());
    });
}

// The chunk size is a positive multiple of 256 KiB; an identifier is one path segment.
TEST(DriveTransferStepsTest, ChunkSizesAndPathSegments) {
    constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    for (const auto& [requested, rounded] : std::vector<std::pair<std::int64_t, std::int64_t>>{
             {0, 262144}, {-1, 262144}, {262143, 262144}, {262145, 262144}, {524288, 524288}}) {
        EXPECT_EQ(DriveTransferSteps::roundedChunkSize(requested), rounded) << requested;
    }
    EXPECT_EQ(DriveTransferSteps::roundedChunkSize(largest), largest - 262143);
    EXPECT_EQ(DriveTransferSteps::pathSegment("a-Z_0~"), "a-Z_0~");
    EXPECT_EQ(DriveTransferSteps::pathSegment("../x/y?#"), "%2E%2E%2Fx%2Fy%3F%23");
}

// One token renewal per attempt; only a read is repeated after a transient answer, with the
// policy's waits (in milliseconds here), and a failure before any answer is not repeated at all.
TEST(DriveTransferStepsTest, RequestsAreRenewedAndRepeatedOnlyWhereSafe) {
    // Method, answers, outcome, waits.
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> cases = {
        {"GET", "401 200", "ok", ""},
        {"GET", "401 401", "reauthRequired", ""},
        {"GET", "503 401 200", "ok", "1250 "},
        {"GET", "503 503 503 503", "http(503)", "1250 2500 5000 "},
        {"GET", "403:userRateLimitExceeded retry:0.5 200", "ok", "1250 500 "},
        {"GET", "timeout", "transport network request timed out: scripted", ""},
        {"POST", "503", "http(503)", ""},
        {"POST", "403:rateLimitExceeded", "rateLimited", ""},
    };
    for (const auto& [method, answers, outcome, waits] : cases) {
        SCOPED_TRACE(method + " " + answers);
        FakeDrive h;
        h.script(answers);
        EXPECT_EQ(request(h, *h.steps, method), outcome);
        std::string waited;
        for (const std::uint64_t wait : h.waits) {
            waited += std::to_string(wait / 1'000'000) + " ";
        }
        EXPECT_EQ(waited, waits);
        const std::vector<DriveHTTPRequest> sent = h.requests();
        ASSERT_EQ(std::ssize(sent), std::ranges::count(answers, ' ') + 1);
        for (std::size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].header("Authorization"), "Bearer token-" + std::to_string(i + 1));
        }
    }
}

// Nothing is sent after a stop. A connection lost as the user stops is the stop's doing, and
// the real wait before a retry ends when the stop comes during a minute's Retry-After (in a
// child that is killed long before the minute is over).
TEST(DriveTransferStepsTest, AStopEndsTheRequest) {
    FakeDrive h;
    h.stop.request_stop();
    EXPECT_EQ(request(h, *h.steps), "cancelled");
    EXPECT_TRUE(h.requests().empty());
    const DriveTransferSteps sleeping(h.transport, h.journal);
    for (const std::string answer : {"lost", "retry:60"}) {
        h.reset();
        h.at["metadata"] = "stop";
        h.script(answer);
        const auto body = [&] { return request(h, sleeping) == "cancelled" ? 0 : 1; };
        EXPECT_TRUE(test::runInChild(body, 30).succeeded()) << answer;
    }
}

// Each level is looked up under the one above and made only when missing (the share shows them
// made); quotes and backslashes cannot end the name's literal early, as the fake Drive answers
// only the query forms Drive documents, untrashed files only.
TEST(DriveTransferStepsTest, DatedFolderLevelsAreFoundOrCreated) {
    FakeDrive h;
    const std::string month = h.steps->targetFolder(h.token(), {});
    h.reset();
    EXPECT_EQ(h.steps->targetFolder(h.token(), {}), month);
    EXPECT_EQ(h.sent(), "find folder ZUD ERO, find folder 2024, find folder 03");
    const std::string odd = R"(Kim's \files\)";
    const std::string created = h.steps->ensureFolder(odd, "root", h.token(), {});
    EXPECT_EQ(h.steps->ensureFolder(odd, "root", h.token(), {}), created);
}

// A list with `items` under `name` and an optional page token, as a scripted answer.
std::string page(const std::string& name, const std::string& items, const std::string& token = "") {
    return "200:{\"" + name + "\":[" + items + "]" +
           (token.empty() ? "" : ",\"nextPageToken\":\"" + token + "\"") + "}";
}

// A folder lookup follows page tokens only across empty pages and makes the folder when there
// is none; the permissions are read page by page. Only an "anyone" reader that cannot be found
// by search is the link, another public link is never changed, and a created link counts once
// Drive shows it. A token seen twice is refused.
TEST(DriveTransferStepsTest, PagesListingsAndPermissions) {
    const std::string reader = R"({"id":"1","type":"anyone","role":"reader"})";
    const std::string hidden =
        R"({"id":"2","type":"anyone","role":"reader","allowFileDiscovery":false})";
    const std::string found =
        R"({"id":"3","type":"anyone","role":"reader","allowFileDiscovery":true})";
    const std::string writer = R"({"id":"4","type":"anyone","role":"writer"})";
    const std::string user = R"({"id":"5","type":"user","role":"writer"})";
    const auto files = [](const auto&... list) { return page("files", list...) + " "; };
    const auto perms = [](const auto&... list) { return page("permissions", list...) + " "; };
    const std::string create = "200:{} ";
    // Answers, outcome (with the folder found or made), the page tokens sent ("-" for none).
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {files("", "1") + files(R"({"id":"a"},{"id":"b"})"), "ok a", "-1"},
        {files(R"({"id":"a"})", "1"), "ok a", "-"},
        {files(""), "ok folder-1", "--"},
        {files("", "1") + files("", "2") + files("", "1"), "invalidResponse", "-12"},
        {files(R"({"id":""})"), "invalidResponse", "-"},
        {files("") + R"(200:{"id":""})", "invalidResponse", "--"},
        {"200:<html>", "invalidResponse", "-"},
        {perms("") + create + perms(reader), "ok", "---"},
        {perms(user) + create + perms(hidden + "," + user), "ok", "---"},
        {perms(hidden) + perms(reader), "ok", "--"},
        {perms(found), "roleConflict", "-"},
        {perms(writer), "roleConflict", "-"},
        {perms(reader, "1") + perms(user, "2") + perms(writer), "roleConflict", "-12"},
        {perms("", "1") + perms("", "1"), "invalidResponse", "-1"},
        {perms("") + create + perms(""), "permissionNotVerified", "---"},
        {perms("") + create + perms(reader + "," + writer), "roleConflict", "---"},
    };
    for (const auto& [answers, outcome, tokens] : cases) {
        SCOPED_TRACE(answers);
        FakeDrive h;
        h.script(answers);
        std::string folder;
        EXPECT_EQ(outcomeOf([&] {
                      if (answers.starts_with(R"(200:{"permissions")")) {
                          h.steps->ensurePermission("f", DriveLinkRole::reader, h.token(), {});
                      } else {
                          folder = " " + h.steps->ensureFolder("03", "root", h.token(), {});
                      }
                  }) + folder,
                  outcome);
        std::string sent;  // also shows where a permission was created
        for (const DriveHTTPRequest& request : h.requests()) {
            sent += test::urlQuery(request.url).emplace("pageToken", "-").first->second;
        }
        EXPECT_EQ(sent, tokens);
    }
}

// One upload of a file of `size` bytes into "folder-1".
struct Upload : FakeDrive {
    std::string path = dir.file("Delivery 03.zip");
    std::int64_t size;
    DriveTransferRecord record = DriveTransferRecord::fresh(std::string(64, 'a'), 0);

    explicit Upload(std::int64_t size) : size(size) {
        test::writeFile(path, test::randomBytes(size, 7));
        record.folderID = "folder-1";
    }

    std::string run(const std::string& answers) {
        script(answers);
        return outcomeOf([&] {
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
        {"lost", "transport network request connection lost: scripted", false}};
    for (const auto& [fail, fourth, waits] : kinds) {
        SCOPED_TRACE(fail);
        const std::string three = fail + " 308 " + fail + " 308 " + fail + " 308 ";
        const std::string again = fail + " held:262144 ";
        Upload r(2 * chunk);
        EXPECT_EQ(r.run("new:A " + three + "held:262144 " + again + again + again + "file:r"),
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

// The answers to chunks and status queries, from a fresh start or, where the first request is a
// status query, from a stored session "A".
TEST(DriveResumableUploadTest, AnswersAreFollowed) {
    // Size, answers, outcome, requests.
    using Case = std::tuple<std::int64_t, std::string, std::string, std::string>;
    const std::vector<Case> cases = {
        // Kept in part: sent again from where the server stopped, also after a failure.
        {2 * chunk, "new:A held:100000 held:362144 file:r", "ok",
         "initiate, chunk 0-262143, chunk 100000-362143, chunk 362144-524287"},
        {2 * chunk, "new:A 503 held:100000 held:362144 file:r", "ok",
         "initiate, chunk 0-262143, status, chunk 100000-362143, chunk 362144-524287"},
        {2 * chunk, "new:A held:0", "invalidResponse", "initiate, chunk 0-262143"},  // none kept
        // The final answer is lost; the status query finds the file.
        {2 * chunk, "new:A held:262144 timeout file:r", "ok",
         "initiate, chunk 0-262143, chunk 262144-524287, status"},
        {0, "new:A file:r", "ok", "initiate, status"},
        // A lost session is started again after a look for the marked file, twice at most.
        {1000, "new:A 404 none new:B file:r", "ok",
         "initiate, chunk 0-999, find marker, initiate, chunk 0-999"},
        {2 * chunk, "new:A 404 none new:B held:262144 410 none new:C 404", "expiredSession",
         "initiate, chunk 0-262143, find marker, initiate, chunk 0-262143, chunk 262144-524287, "
         "find marker, initiate, chunk 0-262143"},
        {1000, "new:A 401 401", "reauthRequired", "initiate, chunk 0-999, chunk 0-999"},
        {1000, "new:A 403:storageQuotaExceeded", "storageQuota", "initiate, chunk 0-999"},
        // After a rate-limited 403 only a session answer is expected: 404 is not a restart.
        {1000, "new:A 403:rateLimitExceeded 404", "http(404)", "initiate, chunk 0-999, status"},
        {1000, R"(new:A 503 404 200:{"files":[{"id":"r"}]})", "ok",
         "initiate, chunk 0-999, status, find marker"},
        // The chunk's retry budget is not renewed by a new session.
        {1000, "new:A 503 held:0 503 held:0 404 none new:B 503 held:0 503", "http(503)",
         "initiate, chunk 0-999, status, chunk 0-999, status, chunk 0-999, find marker, initiate, "
         "chunk 0-999, status, chunk 0-999"},
        {chunk + 100, "file:r", "ok", "status"},
        {chunk + 100, "held:262144 file:r", "ok", "status, chunk 262144-262243"},
        {chunk + 100, "410 none new:B file:r", "ok",
         "status, find marker, initiate, chunk 0-262143"},
        // The status query's own retries run out.
        {chunk + 100, "500 500 500 500", "http(500)", "status, status, status, status"},
    };
    for (const auto& [size, answers, outcome, sent] : cases) {
        SCOPED_TRACE(answers);
        Upload u(size);
        u.record.sessionURL =
            sent.starts_with("status") ? std::optional(session + "A") : std::nullopt;
        EXPECT_EQ(u.run(answers), outcome);
        EXPECT_EQ(u.sent(), sent);
        // A finished upload is recorded by its file alone.
        EXPECT_EQ(u.saved().remoteFileID,
                  outcome == "ok" ? std::optional<std::string>("r") : std::nullopt);
        EXPECT_TRUE(outcome != "ok" || !u.saved().sessionURL);
    }
    // A stored or received session URL that fails the gate is never contacted nor stored. With
    // no folder there is nothing to upload into; with a remote file, nothing left to do. A file
    // that shrank is not sent.
    Upload stored(1000), received(1000), noFolder(1000), done(1000), shrunk(2 * chunk);
    stored.record.sessionURL = "https://evil.example/upload/x";
    noFolder.record.folderID.reset();
    done.record.remoteFileID = "r";
    test::writeFile(shrunk.path, std::string(300000, 'x'));
    EXPECT_EQ(stored.run(""), "invalidResponse");
    EXPECT_EQ(received.run("new:https://evil.example/upload/x"), "invalidResponse");
    EXPECT_FALSE(received.saved().sessionURL);
    EXPECT_EQ(noFolder.run(""), "invalidResponse");
    EXPECT_EQ(done.run(""), "ok");
    EXPECT_EQ(shrunk.run("new:A held:262144"), "invalidArchive");
    EXPECT_EQ(stored.sent() + noFolder.sent() + done.sent() + received.sent(), "initiate");
    EXPECT_EQ(shrunk.sent(), "initiate, chunk 0-262143");
}

}  // namespace
}  // namespace tolvane
