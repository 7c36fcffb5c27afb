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

    std::vector<std::uint64_t> recordedWaits() {
        const std::lock_guard lock(mutex);
        return waits;
    }
};

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
        {300000, 262144},
        {524288, 524288},
        {600000, 524288},
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
        std::vector<DriveHTTPResponse> answers;
        std::string outcome;
        int tokens;
        std::size_t waits;
    };
    const std::vector<Case> cases = {
        {"401 then 200", {{401, {}, {}}, {200, {}, "ok"}}, "ok", 2, 0},
        {"401 twice", {{401, {}, {}}, {401, {}, {}}}, "reauthRequired", 2, 0},
        // A 401 on the attempt after a retry wait gets its own renewal.
        {"503, 401, 200", {{503, {}, {}}, {401, {}, {}}, {200, {}, {}}}, "ok", 3, 1},
        {"503, 401, 401", {{503, {}, {}}, {401, {}, {}}, {401, {}, {}}}, "reauthRequired", 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        for (const DriveHTTPResponse& answer : c.answers) {
            h.transport->respond(answer);
        }
        EXPECT_EQ(outcomeOf([&] {
                      h.client.checked("GET", h.client.apiURL("/drive/v3/files"), {}, std::nullopt,
                                       {}, h.token(), {});
                  }),
                  c.outcome);
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
    const DriveHTTPResponse unavailable{503, {}, {}};
    const auto limited = [](const std::string& reason) {
        return ScriptedDriveTransport::error(403, reason);
    };
    DriveHTTPResponse laterRateLimit{
        403,
        {},
        R"({"error":{"errors":[{"message":"x"},{"reason":7},{"reason":"rateLimitExceeded"}]}})"};
    struct Case {
        std::string name;
        std::string method;
        std::vector<DriveHTTPResponse> answers;
        std::vector<std::uint64_t> waits;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"GET 503 four times",
         "GET",
         {unavailable, unavailable, unavailable, unavailable},
         {1250 * second / 1000, 2500 * second / 1000, 5 * second},
         "http(503)"},
        {"GET 500, 502, 200",
         "GET",
         {{500, {}, {}}, {502, {}, {}}, ok},
         {1250 * second / 1000, 2500 * second / 1000},
         "ok"},
        {"GET 429 four times",
         "GET",
         {{429, {}, {}}, {429, {}, {}}, {429, {}, {}}, {429, {}, {}}},
         {1250 * second / 1000, 2500 * second / 1000, 5 * second},
         "rateLimited"},
        {"POST 503", "POST", {unavailable}, {}, "http(503)"},
        {"POST 429", "POST", {{429, {}, {}}}, {}, "rateLimited"},
        {"POST rate-limited 403", "POST", {limited("rateLimitExceeded")}, {}, "rateLimited"},
        {"Retry-After 120 is capped", "GET", {withRetryAfter(429, "120"), ok}, {60 * second}, "ok"},
        {"Retry-After 0.5", "GET", {withRetryAfter(429, "0.5"), ok}, {second / 2}, "ok"},
        {"Retry-After 0", "GET", {withRetryAfter(503, "0"), ok}, {0}, "ok"},
        {"Retry-After -1", "GET", {withRetryAfter(429, "-1"), ok}, {1250 * second / 1000}, "ok"},
        {"Retry-After date",
         "GET",
         {withRetryAfter(429, "Wed, 21 Oct 2015 07:28:00 GMT"), ok},
         {1250 * second / 1000},
         "ok"},
        {"403 userRateLimitExceeded",
         "GET",
         {limited("userRateLimitExceeded"), ok},
         {1250 * second / 1000},
         "ok"},
        {"403 with a later rate-limit reason",
         "GET",
         {laterRateLimit, ok},
         {1250 * second / 1000},
         "ok"},
        {"403 storageQuotaExceeded", "GET", {limited("storageQuotaExceeded")}, {}, "storageQuota"},
        {"403 quotaExceeded", "GET", {limited("quotaExceeded")}, {}, "storageQuota"},
        {"403 other reason", "GET", {limited("forbidden")}, {}, "sharingRestricted"},
        {"403 empty body", "GET", {{403, {}, {}}}, {}, "sharingRestricted"},
        {"302 is no success",
         "GET",
         {{302, {{"Location", "https://elsewhere/"}}, {}}},
         {},
         "http(302)"},
        {"304 is no success", "GET", {{304, {}, {}}}, {}, "http(304)"},
        {"404", "GET", {{404, {}, {}}}, {}, "http(404)"},
        {"201 is a success", "POST", {{201, {}, {}}}, {}, "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        for (const DriveHTTPResponse& answer : c.answers) {
            h.transport->respond(answer);
        }
        EXPECT_EQ(outcomeOf([&] {
                      h.client.checked(c.method, h.client.apiURL("/drive/v3/files"), {},
                                       std::nullopt, {}, h.token(), {});
                  }),
                  c.outcome);
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

    // A transport failure is not retried; a failing token sends nothing.
    Harness failing;
    failing.transport->failWith(TransportError(TransportError::Kind::timedOut, "slow"));
    const auto get = [](Harness& harness, const GoogleDriveTransferClient::AccessToken& token,
                        std::stop_token stop = {}) {
        return outcomeOf([&] {
            harness.client.checked("GET", harness.client.apiURL("/drive/v3/files"), {},
                                   std::nullopt, {}, token, stop);
        });
    };
    EXPECT_EQ(get(failing, failing.token()), "transport network request timed out: slow");
    EXPECT_EQ(failing.transport->requestCount(), 1u);

    Harness noToken;
    EXPECT_EQ(get(noToken, []() -> std::string { throw std::runtime_error("signed out"); }),
              "exception signed out");
    EXPECT_EQ(noToken.transport->requestCount(), 0u);

    Harness cancelled;
    std::stop_source source;
    source.request_stop();
    EXPECT_EQ(get(cancelled, cancelled.token(), source.get_token()), "cancelled");
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
    h.transport->respond(fileList({}))
        .respond(ScriptedDriveTransport::file("top"))
        .respond(fileList({}))
        .respond(ScriptedDriveTransport::file("year"))
        .respond(fileList({}))
        .respond(ScriptedDriveTransport::file("month", 201));
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
    again.transport->respond(fileList({"top", "other"}))
        .respond(fileList({"year"}))
        .respond(fileList({"month"}));
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
    const auto pageWithToken = [](const std::string& token) {
        return QueryItems{{"q", "x"}, {"fields", "f"}, {"pageSize", "100"}, {"pageToken", token}};
    };
    struct Case {
        std::string name;
        std::vector<DriveHTTPResponse> answers;
        std::string outcome;
        std::vector<std::string> ids;
        std::vector<QueryItems> queries;
    };
    const QueryItems first = {{"q", "x"}, {"fields", "f"}, {"pageSize", "100"}};
    const std::vector<Case> cases = {
        {"empty page, then two files",
         {fileList({}, "t1"), fileList({"a", "b"})},
         "ok",
         {"a", "b"},
         {first, pageWithToken("t1")}},
        {"files and a token: first page only", {fileList({"a"}, "t1")}, "ok", {"a"}, {first}},
        {"no files, no token", {fileList({})}, "ok", {}, {first}},
        {"a token repeated",
         {fileList({}, "t1"), fileList({}, "t2"), fileList({}, "t1")},
         "invalidResponse",
         {},
         {first, pageWithToken("t1"), pageWithToken("t2")}},
        {"undecodable", {{200, {}, "<html>"}}, "invalidResponse", {}, {first}},
        {"size as a number",
         {{200, {}, R"({"files":[{"id":"a","size":5}]})"}},
         "invalidResponse",
         {},
         {first}},
        {"empty identifier",
         {{200, {}, R"({"files":[{"id":""}]})"}},
         "invalidResponse",
         {},
         {first}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        for (const DriveHTTPResponse& answer : c.answers) {
            h.transport->respond(answer);
        }
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

TEST(GoogleDriveFolderLookupTest, RefusesAnUnusableFolderAnswer) {
    for (const std::string& body :
         {std::string("{}"), std::string(R"({"id":""})"), std::string(R"({"id":7})")}) {
        Harness h;
        h.transport->respond(fileList({})).respond(200, body);
        EXPECT_EQ(outcomeOf([&] { h.client.ensureFolder("03", "p", h.token(), {}); }),
                  "invalidResponse")
            << body;
    }
}

}  // namespace
}  // namespace tolvane
