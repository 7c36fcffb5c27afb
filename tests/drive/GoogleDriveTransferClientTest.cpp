#include "core/drive/GoogleDriveTransferClient.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/common/Cancellation.h"
#include "core/drive/DriveResponsePolicy.h"
#include "core/drive/DriveTransferError.h"
#include "support/ScriptedDriveTransport.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using test::outcomeOf;
using test::ScriptedDriveTransport;
using test::urlPath;
using test::urlQuery;
using QueryItems = std::vector<std::pair<std::string, std::string>>;

constexpr std::uint64_t second = 1'000'000'000;
constexpr std::uint64_t firstWait = 1250 * second / 1000;
constexpr std::uint64_t secondWait = 2 * firstWait;
// 2024-03-15 12:00:00 UTC: the middle of March in every time zone.
constexpr double midMarch2024 = 1'710'504'000.0;

// The largest jitter, so every computed wait is exact.
std::uint64_t maximumJitter(std::uint64_t upperBound) {
    return upperBound;
}

struct Harness {
    test::TempDir dir;
    std::shared_ptr<ScriptedDriveTransport> transport = std::make_shared<ScriptedDriveTransport>();
    std::mutex mutex;
    std::vector<std::uint64_t> waits;
    int tokensIssued = 0;
    GoogleDriveTransferClient client;

    Harness()
        : client(transport, std::make_shared<FileDriveTransferJournal>(dir.file("journal")), 0,
                 [this](std::uint64_t nanoseconds, std::stop_token stop) {
                     const std::lock_guard lock(mutex);
                     waits.push_back(nanoseconds);
                     throwIfCancelled(nullptr, stop);
                 },
                 {DriveEndpoints{}, maximumJitter, [] { return midMarch2024; }}) {}

    GoogleDriveTransferClient::AccessToken token() {
        return [this] {
            const std::lock_guard lock(mutex);
            return "token-" + std::to_string(++tokensIssued);
        };
    }

    Harness& script(const std::vector<DriveHTTPResponse>& answers) {
        for (const DriveHTTPResponse& answer : answers) {
            transport->respond(answer);
        }
        return *this;
    }

    // One checked request; the outcome as outcomeOf gives it.
    std::string get(const std::string& method = "GET",
                    GoogleDriveTransferClient::AccessToken accessToken = {},
                    std::stop_token stop = {}) {
        return outcomeOf([&] {
            client.checked(method, client.apiURL("/drive/v3/files"), {}, std::nullopt, {},
                           accessToken ? accessToken : token(), stop);
        });
    }

    std::vector<std::uint64_t> recordedWaits() {
        const std::lock_guard lock(mutex);
        return waits;
    }
};

DriveHTTPResponse bare(int status) {
    return DriveHTTPResponse{status, {}, {}};
}

DriveHTTPResponse withRetryAfter(int status, std::string value) {
    return DriveHTTPResponse{status, {{"retry-after", std::move(value)}}, {}};
}

DriveHTTPResponse fileList(const std::vector<std::string>& ids,
                           std::optional<std::string> nextPageToken = std::nullopt) {
    nlohmann::json body = {{"files", nlohmann::json::array()}};
    for (const std::string& id : ids) {
        body["files"].push_back({{"id", id}, {"name", "n-" + id}});
    }
    if (nextPageToken) {
        body["nextPageToken"] = *nextPageToken;
    }
    return DriveHTTPResponse{200, {}, body.dump()};
}

// --- construction ----------------------------------------------------------------------------

TEST(GoogleDriveTransferClientTest, ChunkSizeIsAPositiveMultipleOf256KiB) {
    const std::vector<std::pair<std::int64_t, std::int64_t>> cases = {
        {0, 262144},
        {-1, 262144},
        {std::numeric_limits<std::int64_t>::min(), 262144},
        {262143, 262144},
        {262145, 262144},
        {524288, 524288},
        {8388608, 8388608},
        {std::numeric_limits<std::int64_t>::max(), 9223372036854513664},
    };
    for (const auto& [requested, expected] : cases) {
        EXPECT_EQ(GoogleDriveTransferClient::roundedChunkSize(requested), expected) << requested;
    }
}

// --- request execution -----------------------------------------------------------------------

TEST(GoogleDriveTransferClientTest, RenewsTheTokenOnceOn401) {
    struct Case {
        std::string name;
        std::string outcome;
        int tokens;
        std::size_t waits;
        std::vector<DriveHTTPResponse> answers;
    };
    const std::vector<Case> cases = {
        {"401 then 200", "ok", 2, 0, {bare(401), bare(200)}},
        {"401 twice", "reauthRequired", 2, 0, {bare(401), bare(401)}},
        // A 401 on the attempt after a retry wait gets its own renewal.
        {"503, 401, 200", "ok", 3, 1, {bare(503), bare(401), bare(200)}},
        {"503, 401, 401", "reauthRequired", 3, 1, {bare(503), bare(401), bare(401)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        EXPECT_EQ(h.script(c.answers).get(), c.outcome);
        EXPECT_EQ(h.tokensIssued, c.tokens);
        EXPECT_EQ(h.recordedWaits().size(), c.waits);
        const std::vector<DriveHTTPRequest> sent = h.transport->requests();
        ASSERT_EQ(sent.size(), c.answers.size());
        for (std::size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(sent[i].header("Authorization"), "Bearer token-" + std::to_string(i + 1));
        }
    }
}

TEST(GoogleDriveTransferClientTest, RetriesOnlyReadsWithTheComputedWaits) {
    const DriveHTTPResponse ok{200, {}, "{}"};
    const auto limited = [](const std::string& reason) {
        return ScriptedDriveTransport::error(403, reason);
    };
    const DriveHTTPResponse laterRateLimit{
        403,
        {},
        R"({"error":{"errors":[{"message":"x"},{"reason":7},{"reason":"rateLimitExceeded"}]}})"};
    const std::vector<std::uint64_t> threeWaits = {firstWait, secondWait, 5 * second};
    struct Case {
        std::string name;
        std::string method;
        std::string outcome;
        std::vector<std::uint64_t> waits;
        std::vector<DriveHTTPResponse> answers;
    };
    const std::vector<Case> cases = {
        {"GET 503 four times", "GET", "http(503)", threeWaits, std::vector(4, bare(503))},
        {"GET 500, 502, 200", "GET", "ok", {firstWait, secondWait}, {bare(500), bare(502), ok}},
        {"GET 429 four times", "GET", "rateLimited", threeWaits, std::vector(4, bare(429))},
        {"POST 503", "POST", "http(503)", {}, {bare(503)}},
        {"POST 429", "POST", "rateLimited", {}, {bare(429)}},
        {"POST rate-limited 403", "POST", "rateLimited", {}, {limited("rateLimitExceeded")}},
        {"Retry-After 120 is capped", "GET", "ok", {60 * second}, {withRetryAfter(429, "120"), ok}},
        {"Retry-After 0.5", "GET", "ok", {second / 2}, {withRetryAfter(429, "0.5"), ok}},
        {"Retry-After 0", "GET", "ok", {0}, {withRetryAfter(503, "0"), ok}},
        {"Retry-After -1", "GET", "ok", {firstWait}, {withRetryAfter(429, "-1"), ok}},
        {"Retry-After date",
         "GET",
         "ok",
         {firstWait},
         {withRetryAfter(429, "Wed, 21 Oct 2015 07:28:00 GMT"), ok}},
        {"403 userRateLimitExceeded",
         "GET",
         "ok",
         {firstWait},
         {limited("userRateLimitExceeded"), ok}},
        {"403 with a later rate-limit reason", "GET", "ok", {firstWait}, {laterRateLimit, ok}},
        {"403 storageQuotaExceeded", "GET", "storageQuota", {}, {limited("storageQuotaExceeded")}},
        {"403 quotaExceeded", "GET", "storageQuota", {}, {limited("quotaExceeded")}},
        {"403 other reason", "GET", "sharingRestricted", {}, {limited("forbidden")}},
        {"403 empty body", "GET", "sharingRestricted", {}, {bare(403)}},
        {"302 is no success",
         "GET",
         "http(302)",
         {},
         {{302, {{"Location", "https://elsewhere/"}}, {}}}},
        {"304 is no success", "GET", "http(304)", {}, {bare(304)}},
        {"404", "GET", "http(404)", {}, {bare(404)}},
        {"201 is a success", "POST", "ok", {}, {bare(201)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        EXPECT_EQ(h.script(c.answers).get(c.method), c.outcome);
        EXPECT_EQ(h.recordedWaits(), c.waits);
        EXPECT_EQ(h.transport->requestCount(), c.answers.size());
    }
}

TEST(GoogleDriveTransferClientTest, BuildsTheRequestAndPassesFailuresThrough) {
    Harness h;
    h.transport->respond(200, "{}");
    h.client.checked("POST", "https://www.googleapis.com/drive/v3/files", R"({"a":1})",
                     std::string("application/json"), {{"X-One", "1"}, {"X-Two", "2"}}, h.token(),
                     {});
    const DriveHTTPRequest sent = h.transport->request(0);
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.body, R"({"a":1})");
    EXPECT_EQ(sent.timeout, std::chrono::seconds(60));
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"Content-Type", "application/json"},
        {"X-One", "1"},
        {"X-Two", "2"},
        {"Authorization", "Bearer token-1"}};
    EXPECT_EQ(sent.headers, headers);

    // A transport failure is not retried; a failing token or a stop sends nothing.
    Harness failing;
    failing.transport->failWith(TransportError(TransportError::Kind::timedOut, "slow"));
    EXPECT_EQ(failing.get(), "transport network request timed out: slow");
    EXPECT_EQ(failing.transport->requestCount(), 1u);

    Harness noToken;
    EXPECT_EQ(noToken.get("GET", []() -> std::string { throw std::runtime_error("signed out"); }),
              "exception signed out");
    EXPECT_EQ(noToken.transport->requestCount(), 0u);

    Harness cancelled;
    std::stop_source source;
    source.request_stop();
    EXPECT_EQ(cancelled.get("GET", {}, source.get_token()), "cancelled");
    EXPECT_EQ(cancelled.transport->requestCount(), 0u);
}

TEST(GoogleDriveTransferClientTest, TheDefaultWaitEndsWhenTheTaskIsCancelled) {
    // The real sleeping delay: a stop requested while the server asks for a minute ends the
    // call at once instead of sleeping.
    const test::TempDir dir;
    const auto transport = std::make_shared<ScriptedDriveTransport>();
    const GoogleDriveTransferClient client(
        transport, std::make_shared<FileDriveTransferJournal>(dir.file("journal")));
    std::stop_source source;
    transport->handle([&](const DriveHTTPRequest&, std::stop_token) {
        source.request_stop();
        return withRetryAfter(503, "60");
    });
    EXPECT_EQ(outcomeOf([&] {
                  client.checked(
                      "GET", client.apiURL("/drive/v3/files"), {}, std::nullopt, {},
                      [] { return std::string("t"); }, source.get_token());
              }),
              "cancelled");
    EXPECT_EQ(transport->requestCount(), 1u);
}

TEST(GoogleDriveTransferClientTest, FormsURLs) {
    Harness h;
    EXPECT_EQ(h.client.apiURL("/drive/v3/files"), "https://www.googleapis.com/drive/v3/files");
    EXPECT_EQ(h.client.apiURL("/drive/v3/files", {{"q", "a = 'b' & c+d/é"}, {"pageSize", "100"}}),
              "https://www.googleapis.com/drive/v3/files"
              "?q=a%20%3D%20%27b%27%20%26%20c%2Bd%2F%C3%A9&pageSize=100");
    EXPECT_EQ(GoogleDriveTransferClient::pathSegment("a-Z_0~"), "a-Z_0~");
    EXPECT_EQ(GoogleDriveTransferClient::pathSegment("../x/y?#"), "%2E%2E%2Fx%2Fy%3F%23");
}

// --- response policy -------------------------------------------------------------------------

TEST(DriveResponsePolicyTest, FailureReasonReadsOnlyTheErrorShape) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {R"({"error":{"errors":[{"reason":"a"},{"reason":"b"}]}})", "a"},
        {R"({"error":{"errors":[{},{"reason":null},{"reason":"b"}]}})", "b"},
        {R"({"error":{"errors":[]}})", std::nullopt},
        {R"({"error":{"errors":[{"reason":"a"},"text"]}})", std::nullopt},
        {R"({"error":{"errors":{"reason":"a"}}})", std::nullopt},
        {R"({"error":"denied"})", std::nullopt},
        {R"({"errors":[{"reason":"a"}]})", std::nullopt},
        {R"([{"error":{}}])", std::nullopt},
        {"not json", std::nullopt},
        {"", std::nullopt},
        {std::string(100000, '['), std::nullopt},
    };
    for (const auto& [body, reason] : cases) {
        EXPECT_EQ(DriveResponsePolicy::failureReason({403, {}, body}), reason)
            << body.substr(0, 60);
    }
}

TEST(DriveResponsePolicyTest, BackoffStaysWithinItsBounds) {
    using DriveResponsePolicy::retryNanoseconds;
    const DriveHTTPResponse plain{503, {}, {}};
    const auto none = [](std::uint64_t) -> std::uint64_t { return 0; };
    const auto tooMuch = [](std::uint64_t bound) { return bound * 10 + 1; };
    EXPECT_EQ(retryNanoseconds(plain, 0, none), second);
    EXPECT_EQ(retryNanoseconds(plain, 7, none), 32 * second);
    EXPECT_EQ(retryNanoseconds(plain, 7, maximumJitter), 40 * second);
    EXPECT_EQ(retryNanoseconds(plain, 7, tooMuch), 40 * second);
    EXPECT_EQ(retryNanoseconds(plain, -1, maximumJitter), 0u);
    for (int attempt = 0; attempt < 8; ++attempt) {
        const std::uint64_t base = second << std::min(attempt, 5);
        for (int draw = 0; draw < 50; ++draw) {
            const std::uint64_t wait = retryNanoseconds(plain, attempt, {});
            EXPECT_GE(wait, base);
            EXPECT_LE(wait, base + base / 4);
        }
    }
    const std::vector<std::pair<std::string, std::uint64_t>> headers = {
        {"1e1", 10 * second}, {"+2", 2 * second}, {"-0", 0},        {"60.5", 60 * second},
        {" 5", second},       {"5 ", second},     {"inf", second},  {"nan", second},
        {"", second},         {"1e400", second},  {"0x10", second},
    };
    for (const auto& [value, wait] : headers) {
        EXPECT_EQ(retryNanoseconds(withRetryAfter(429, value), 0, none), wait) << value;
    }
}

TEST(DriveResponsePolicyTest, NextOffsetAcceptsOnlyARangeFromByteZero) {
    using DriveResponsePolicy::nextOffset;
    struct Case {
        std::optional<std::string> range;
        std::int64_t total;
        std::optional<std::int64_t> next;  // none: invalidResponse
    };
    const std::vector<Case> cases = {
        {std::nullopt, 0, 0},
        {std::nullopt, 250, 0},
        {std::nullopt, -1, std::nullopt},
        {"bytes=0-0", 1, 1},
        {"bytes=0-99", 250, 100},
        {"bytes=0-+99", 250, 100},
        {"bytes=0-249", 250, 250},
        {"bytes=0-250", 250, std::nullopt},
        {"bytes=0-", 250, std::nullopt},
        {"bytes=1-99", 250, std::nullopt},
        {"bytes 0-99", 250, std::nullopt},
        {"bytes=0-9a", 250, std::nullopt},
        {"bytes=0- 9", 250, std::nullopt},
        {"bytes=0--1", 250, std::nullopt},
        {"bytes=0-99999999999999999999", 250, std::nullopt},
        {"bytes=0-9223372036854775806", std::numeric_limits<std::int64_t>::max(),
         std::numeric_limits<std::int64_t>::max()},
        {"Bytes=0-99", 250, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range.value_or("<none>") + " of " + std::to_string(c.total));
        if (c.next) {
            EXPECT_EQ(nextOffset(c.range, c.total), *c.next);
        } else {
            EXPECT_EQ(outcomeOf([&] { nextOffset(c.range, c.total); }), "invalidResponse");
        }
    }
}

TEST(DriveResponsePolicyTest, SessionURLGateAdmitsOnlyTheUploadHost) {
    const DriveEndpoints endpoints;
    const std::vector<std::pair<std::string, bool>> cases = {
        {"https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable&upload_id=x", true},
        {"https://www.googleapis.com:443/upload/x#frag", true},
        {"https://www.googleapis.com/upload/", true},
        {"http://www.googleapis.com/upload/x", false},
        {"HTTPS://www.googleapis.com/upload/x", false},
        {"https://WWW.googleapis.com/upload/x", false},
        {"https://evil.example/upload/x", false},
        {"https://www.googleapis.com.evil.example/upload/x", false},
        {"https://www.googleapis.com@evil.example/upload/x", false},
        {"https://evilwww.googleapis.com/upload/x", false},
        {"https://www.googleapis.com@evilwww.googleapis.com/upload/x", false},
        {"https://evil.example\\@www.googleapis.com/upload/x", false},
        {"https://evil.example#@www.googleapis.com/upload/x", false},
        {"https://www.googleapis.com:x/upload/x", false},
        {"https://www.googleapis.com/drive/v3/files", false},
        {"https://www.googleapis.com/uploads/x", false},
        {"https://www.googleapis.com?/upload/x", false},
        {"https://www.googleapis.com/upload/x y", false},
        {"https://www.googleapis.com/upload/x\r\nHost: evil", false},
        {"//www.googleapis.com/upload/x", false},
        {"/upload/x", false},
        {"", false},
    };
    for (const auto& [url, safe] : cases) {
        EXPECT_EQ(DriveResponsePolicy::safeSessionURL(url, endpoints).has_value(), safe) << url;
    }
}

// --- folder and file lookup ------------------------------------------------------------------

constexpr const char* folderFields = "files(id,name),nextPageToken";

QueryItems folderListing(const std::string& name, const std::string& parent) {
    return {
        {"q", "name = '" + name + "' and mimeType = 'application/vnd.google-apps.folder' and '" +
                  parent + "' in parents and trashed = false"},
        {"fields", folderFields},
        {"pageSize", "100"}};
}

void expectFolderCreation(const DriveHTTPRequest& request, const std::string& name,
                          const std::string& parent) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.url, "https://www.googleapis.com/drive/v3/files");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(nlohmann::json::parse(request.body),
              (nlohmann::json{{"name", name},
                              {"mimeType", "application/vnd.google-apps.folder"},
                              {"parents", {parent}}}));
}

TEST(GoogleDriveFolderLookupTest, CreatesTheDatedFolderLevelsInOrder) {
    Harness h;
    h.script({fileList({}), ScriptedDriveTransport::file("top"), fileList({}),
              ScriptedDriveTransport::file("year"), fileList({}),
              ScriptedDriveTransport::file("month", 201)});
    EXPECT_EQ(h.client.targetFolder(h.token(), {}), "month");

    const std::vector<DriveHTTPRequest> sent = h.transport->requests();
    ASSERT_EQ(sent.size(), 6u);
    const std::vector<std::pair<std::string, std::string>> levels = {
        {"ZUD ERO", "root"}, {"2024", "top"}, {"03", "year"}};
    for (std::size_t level = 0; level < levels.size(); ++level) {
        const auto& [name, parent] = levels[level];
        const DriveHTTPRequest& listing = sent[2 * level];
        EXPECT_EQ(listing.method, "GET");
        EXPECT_EQ(urlPath(listing.url), "/drive/v3/files");
        EXPECT_EQ(urlQuery(listing.url), folderListing(name, parent));
        EXPECT_TRUE(listing.body.empty());
        EXPECT_FALSE(listing.header("Content-Type"));
        expectFolderCreation(sent[2 * level + 1], name, parent);
    }

    // The same month again finds every level (the first of several matches) and creates none.
    Harness again;
    again.script({fileList({"top", "other"}), fileList({"year"}), fileList({"month"})});
    EXPECT_EQ(again.client.targetFolder(again.token(), {}), "month");
    EXPECT_EQ(again.transport->requestCount(), 3u);
    EXPECT_EQ(urlQuery(again.transport->request(1).url), folderListing("2024", "top"));
}

TEST(GoogleDriveFolderLookupTest, EscapesQuotesAndBackslashesInFolderNames) {
    Harness h;
    h.transport->respond(fileList({})).respond(ScriptedDriveTransport::file("new"));
    EXPECT_EQ(h.client.ensureFolder(R"(Kim's \files\)", "parent-1", h.token(), {}), "new");
    EXPECT_EQ(urlQuery(h.transport->request(0).url),
              folderListing(R"(Kim\'s \\files\\)", "parent-1"));
    expectFolderCreation(h.transport->request(1), R"(Kim's \files\)", "parent-1");
}

TEST(GoogleDriveFolderLookupTest, FindsAnEarlierUploadByItsMarker) {
    const std::string key(64, 'a');
    const QueryItems expected = {
        {"q",
         "appProperties has { key='tolvaneTransfer' and value='" + key + "' } and trashed = false"},
        {"fields", "files(id,size,md5Checksum,sha256Checksum,webViewLink,trashed),nextPageToken"},
        {"pageSize", "100"}};
    Harness h;
    h.transport->respond(fileList({"first", "second"})).respond(fileList({}));
    const std::optional<DriveFile> found = h.client.findUploadedFile(key, h.token(), {});
    ASSERT_TRUE(found);
    EXPECT_EQ(found->id, "first");
    EXPECT_FALSE(h.client.findUploadedFile(key, h.token(), {}));
    EXPECT_EQ(urlQuery(h.transport->request(0).url), expected);
    EXPECT_EQ(urlQuery(h.transport->request(1).url), expected);
}

TEST(GoogleDriveFolderLookupTest, FollowsPageTokensOnlyAcrossEmptyPages) {
    const QueryItems first = {{"q", "x"}, {"fields", "f"}, {"pageSize", "100"}};
    const auto page = [&](const std::string& token) {
        QueryItems query = first;
        query.emplace_back("pageToken", token);
        return query;
    };
    struct Case {
        std::string name;
        std::string outcome;
        std::vector<std::string> ids;
        std::vector<QueryItems> queries;
        std::vector<DriveHTTPResponse> answers;
    };
    const std::vector<Case> cases = {
        {"empty page, then two files",
         "ok",
         {"a", "b"},
         {first, page("t1")},
         {fileList({}, "t1"), fileList({"a", "b"})}},
        {"files and a token: first page only", "ok", {"a"}, {first}, {fileList({"a"}, "t1")}},
        {"no files, no token", "ok", {}, {first}, {fileList({})}},
        {"a token repeated",
         "invalidResponse",
         {},
         {first, page("t1"), page("t2")},
         {fileList({}, "t1"), fileList({}, "t2"), fileList({}, "t1")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.script(c.answers);
        std::vector<std::string> ids;
        EXPECT_EQ(outcomeOf([&] {
                      for (const DriveFile& file : h.client.listFiles("x", "f", h.token(), {})) {
                          ids.push_back(file.id);
                      }
                  }),
                  c.outcome);
        EXPECT_EQ(ids, c.ids);
        std::vector<QueryItems> queries;
        for (const DriveHTTPRequest& request : h.transport->requests()) {
            queries.push_back(urlQuery(request.url));
        }
        EXPECT_EQ(queries, c.queries);
    }
}

TEST(GoogleDriveFolderLookupTest, RefusesUnusableAnswers) {
    for (const std::string body :
         {"<html>", R"({"files":[{"id":"a","size":5}]})", R"({"files":[{"id":""}]})"}) {
        Harness h;
        h.script({{200, {}, body}});
        EXPECT_EQ(outcomeOf([&] { h.client.listFiles("x", "f", h.token(), {}); }),
                  "invalidResponse")
            << body;
    }
    for (const std::string body : {"{}", R"({"id":""})", R"({"id":7})"}) {
        Harness h;
        h.script({fileList({}), {200, {}, body}});
        EXPECT_EQ(outcomeOf([&] { h.client.ensureFolder("03", "p", h.token(), {}); }),
                  "invalidResponse")
            << body;
    }
}

}  // namespace
}  // namespace tolvane
