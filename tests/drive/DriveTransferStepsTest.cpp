#include "core/drive/DriveTransferSteps.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stop_token>
#include <string>
#include <vector>

#include "core/drive/DriveTransferError.h"
#include "support/DriveClientHarness.h"

namespace tolvane {
namespace {

using test::answer;
using test::DriveClientHarness;
using test::Lines;
using test::outcomeOf;
using Hooks = std::vector<test::FakeDriveService::Hook>;
using QueryItems = std::vector<std::pair<std::string, std::string>>;

constexpr std::uint64_t firstWait = 1'250'000'000;
const std::vector<std::uint64_t> threeWaits = {firstWait, 2 * firstWait, 5'000'000'000};

std::string request(DriveClientHarness& h, const std::string& method = "GET",
                    std::stop_token stop = {}) {
    return outcomeOf([&] {
        h.steps->checked(method, h.steps->apiURL("/drive/v3/files/x"), {}, std::nullopt, {},
                         h.token(), stop);
    });
}

TEST(DriveTransferStepsTest, ChunkSizeIsAPositiveMultipleOf256KiB) {
    constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
        {0, 262144},
        {-1, 262144},
        {std::numeric_limits<std::int64_t>::min(), 262144},
        {262143, 262144},
        {262145, 262144},
        {524288, 524288},
        {largest, 9223372036854513664},
    };
    for (const auto& [requested, expected] : cases) {
        EXPECT_EQ(DriveTransferSteps::roundedChunkSize(requested), expected) << requested;
    }
}

TEST(DriveTransferStepsTest, RenewsTheTokenOnceOn401) {
    struct Case {
        std::string outcome;
        Hooks answers;
        std::size_t waits;
    };
    const std::vector<Case> cases = {
        {"ok", {answer(401), answer(200)}, 0},
        {"reauthRequired", {answer(401), answer(401)}, 0},
        // A 401 on the attempt after a retry wait gets its own renewal.
        {"ok", {answer(503), answer(401), answer(200)}, 1},
        {"reauthRequired", {answer(503), answer(401), answer(401)}, 1},
    };
    for (const Case& c : cases) {
        DriveClientHarness h;
        h.script(c.answers);
        EXPECT_EQ(request(h), c.outcome);
        EXPECT_EQ(h.waits.size(), c.waits);
        const std::vector<DriveHTTPRequest> sent = h.drive->requests();
        ASSERT_EQ(sent.size(), c.answers.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].header("Authorization"), "Bearer token-" + std::to_string(i + 1));
        }
    }
}

TEST(DriveTransferStepsTest, RepeatsOnlyReadsAfterTransientAnswers) {
    const auto limited = answer(test::reasonAnswer(403, "userRateLimitExceeded"));
    struct Case {
        std::string method;
        Hooks answers;
        std::string outcome;
        std::vector<std::uint64_t> waits;
    };
    const std::vector<Case> cases = {
        {"GET", Hooks(4, answer(503)), "http(503)", threeWaits},
        {"GET", {answer(500), limited, answer(200)}, "ok", {firstWait, 2 * firstWait}},
        {"GET", {answer({429, {{"Retry-After", "0.5"}}, {}}), answer(200)}, "ok", {500'000'000}},
        {"GET", {answer(404)}, "http(404)", {}},
        {"POST", {answer(503)}, "http(503)", {}},
        {"POST", {limited}, "rateLimited", {}},
        {"POST", {answer(201)}, "ok", {}},
    };
    for (const Case& c : cases) {
        DriveClientHarness h;
        h.script(c.answers);
        EXPECT_EQ(request(h, c.method), c.outcome) << c.method << " " << c.answers.size();
        EXPECT_EQ(h.waits, c.waits);
        EXPECT_EQ(h.drive->requests().size(), c.answers.size());
    }
}

TEST(DriveTransferStepsTest, FailuresBeforeAnAnswerAreNotRepeated) {
    DriveClientHarness failing;
    failing.script({test::failWith(TransportError::Kind::timedOut)});
    EXPECT_EQ(request(failing), "transport network request timed out: scripted");
    EXPECT_EQ(failing.drive->requests().size(), 1u);

    // A failing token or a stop sends nothing.
    DriveClientHarness signedOut;
    EXPECT_EQ(outcomeOf([&] {
                  signedOut.steps->checked(
                      "GET", "https://www.googleapis.com/", {}, std::nullopt, {},
                      []() -> std::string { throw std::runtime_error("signed out"); }, {});
              }),
              "exception signed out");
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(request(signedOut, "GET", stopped.get_token()), "cancelled");
    EXPECT_TRUE(signedOut.drive->requests().empty());

    // The real wait ends at once when the task is stopped during a minute's Retry-After.
    test::TempDir dir;
    auto drive = std::make_shared<test::FakeDriveService>();
    const DriveTransferSteps steps(drive, std::make_shared<FileDriveTransferJournal>(dir.path()));
    std::stop_source source;
    drive->setHook([&](const DriveHTTPRequest&, const test::FakeDriveService::Serve&) {
        source.request_stop();
        return DriveHTTPResponse{503, {{"Retry-After", "60"}}, {}};
    });
    EXPECT_EQ(outcomeOf([&] {
                  steps.checked(
                      "GET", steps.apiURL("/drive/v3/files"), {}, std::nullopt, {},
                      [] { return std::string("t"); }, source.get_token());
              }),
              "cancelled");
    EXPECT_EQ(drive->requests().size(), 1u);
}

TEST(DriveTransferStepsTest, FormsURLs) {
    DriveClientHarness h;
    EXPECT_EQ(h.steps->apiURL("/drive/v3/files", {{"q", "a = 'b' & c+d/é"}, {"pageSize", "100"}}),
              "https://www.googleapis.com/drive/v3/files"
              "?q=a%20%3D%20%27b%27%20%26%20c%2Bd%2F%C3%A9&pageSize=100");
    EXPECT_EQ(DriveTransferSteps::pathSegment("a-Z_0~"), "a-Z_0~");
    EXPECT_EQ(DriveTransferSteps::pathSegment("../x/y?#"), "%2E%2E%2Fx%2Fy%3F%23");
}

TEST(DriveTransferStepsTest, DatedFolderLevelsAreFoundOrCreated) {
    DriveClientHarness h;
    const std::string month = h.steps->targetFolder(h.token(), {});
    EXPECT_EQ(h.transcript(),
              (Lines{"find folder ZUD ERO", "create folder ZUD ERO", "find folder 2024",
                     "create folder 2024", "find folder 03", "create folder 03"}));
    const DriveHTTPRequest listing = h.drive->requests()[2];
    const std::string top = h.drive->files().front().id;
    EXPECT_EQ(test::urlQuery(listing.url),
              (QueryItems{{"q",
                           "name = '2024' and mimeType = 'application/vnd.google-apps.folder' "
                           "and '" +
                               top + "' in parents and trashed = false"},
                          {"fields", "files(id,name),nextPageToken"},
                          {"pageSize", "100"}}));
    EXPECT_EQ(h.drive->folderPath(month), "ZUD ERO/2024");

    // Again in the same month: every level is found, none created, also after a trashed one.
    h.drive->trash(month);
    h.clearLog();
    const std::string again = h.steps->targetFolder(h.token(), {});
    EXPECT_NE(again, month);
    h.clearLog();
    EXPECT_EQ(h.steps->targetFolder(h.token(), {}), again);
    EXPECT_EQ(h.transcript(), (Lines{"find folder ZUD ERO", "find folder 2024", "find folder 03"}));

    // Quotes and backslashes cannot end the literal early: the name is found again.
    const std::string odd = R"(Kim's \files\)";
    const std::string created = h.steps->ensureFolder(odd, "root", h.token(), {});
    EXPECT_EQ(h.drive->file(created)->name, odd);
    EXPECT_EQ(h.steps->ensureFolder(odd, "root", h.token(), {}), created);
}

TEST(DriveTransferStepsTest, FollowsPageTokensOnlyAcrossEmptyPages) {
    const auto page = [](const std::string& ids, const std::string& token) {
        return answer(200, R"({"files":[)" + ids + "]" +
                               (token.empty() ? "" : R"(,"nextPageToken":")" + token + "\"") + "}");
    };
    struct Case {
        Hooks answers;
        std::string outcome;
        std::string ids;
        std::vector<std::string> tokensSent;
    };
    const std::vector<Case> cases = {
        {{page("", "t1"), page(R"({"id":"a"},{"id":"b"})", "")}, "ok", "ab", {"", "t1"}},
        {{page(R"({"id":"a"})", "t1")}, "ok", "a", {""}},
        {{page("", "")}, "ok", "", {""}},
        {{page("", "t1"), page("", "t2"), page("", "t1")}, "invalidResponse", "", {"", "t1", "t2"}},
        {{page(R"({"id":""})", "")}, "invalidResponse", "", {""}},
        {{answer(200, "<html>")}, "invalidResponse", "", {""}},
    };
    for (const Case& c : cases) {
        DriveClientHarness h;
        h.script(c.answers);
        std::string ids;
        EXPECT_EQ(outcomeOf([&] {
                      for (const DriveFile& file : h.steps->listFiles(
                               "trashed = false", "files(id),nextPageToken", h.token(), {})) {
                          ids += file.id;
                      }
                  }),
                  c.outcome);
        EXPECT_EQ(ids, c.ids);
        std::vector<std::string> tokens;
        for (const DriveHTTPRequest& sent : h.drive->requests()) {
            const QueryItems query = test::urlQuery(sent.url);
            tokens.push_back(query.size() > 3 ? query[3].second : "");
        }
        EXPECT_EQ(tokens, c.tokensSent);
    }
    for (const std::string body : {"{}", R"({"id":""})", R"({"id":7})"}) {
        DriveClientHarness h;
        h.script({page("", ""), answer(200, body)});
        EXPECT_EQ(outcomeOf([&] { h.steps->ensureFolder("03", "root", h.token(), {}); }),
                  "invalidResponse")
            << body;
    }
}

}  // namespace
}  // namespace tolvane
