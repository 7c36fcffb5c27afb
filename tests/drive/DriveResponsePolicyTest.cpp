#include "core/drive/DriveResponsePolicy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/drive/DriveTransferError.h"
#include "support/FakeDrive.h"
#include "support/Outcome.h"

namespace tolvane {
namespace {

using namespace DriveResponsePolicy;
using test::errorAnswer;
constexpr std::uint64_t second = 1'000'000'000;

TEST(DriveResponsePolicyTest, FailureReasonReadsOnlyTheErrorShape) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {R"({"error":{"errors":[{},{"reason":null},{"reason":"b"}]}})", "b"},
        {R"({"error":{"errors":[{"reason":"a"},"text"]}})", std::nullopt},
        {"not json", std::nullopt}};
    for (const auto& [body, reason] : cases) {
        EXPECT_EQ(failureReason({403, {}, body}), reason) << body.substr(0, 60);
    }
}

TEST(DriveResponsePolicyTest, TransientAnswersAndTheErrorsOfFinalOnes) {
    // Status, error reason, transient, the error of a final answer.
    const std::vector<std::tuple<int, std::string, bool, std::string>> cases = {
        {429, "", true, "rateLimited"},
        {500, "", true, "http(500)"},
        {599, "", true, "http(599)"},
        {403, "rateLimitExceeded", true, "rateLimited"},
        {403, "userRateLimitExceeded", true, "rateLimited"},
        {403, "storageQuotaExceeded", false, "storageQuota"},
        {403, "quotaExceeded", false, "storageQuota"},
        {403, "", false, "sharingRestricted"},
        {401, "", false, "reauthRequired"},
        {302, "", false, "http(302)"},
        {600, "", false, "http(600)"}};
    for (const auto& [status, reason, transient, error] : cases) {
        SCOPED_TRACE(std::to_string(status) + " " + reason);
        const DriveHTTPResponse response = errorAnswer(status, reason);
        EXPECT_EQ(isTransient(response), transient);
        EXPECT_EQ(caseName(classifiedError(response)), error);
        // A status is part of its case.
        EXPECT_NE(classifiedError(response), DriveTransferError::http(status + 1));
    }
}

TEST(DriveResponsePolicyTest, WaitsBeforeARetry) {
    const DriveHTTPResponse plain{503, {}, {}};
    const auto none = [](std::uint64_t) -> std::uint64_t { return 0; };
    const auto most = [](std::uint64_t bound) { return bound; };
    EXPECT_EQ(retryNanoseconds(plain, 0, none), second);
    EXPECT_EQ(retryNanoseconds(plain, 2, most), 5 * second);
    EXPECT_EQ(retryNanoseconds(plain, 7, none), 32 * second);
    EXPECT_EQ(retryNanoseconds(plain, 7, [](std::uint64_t bound) { return bound * 9; }),
              40 * second);
    EXPECT_EQ(retryNanoseconds(plain, -1, most), 0u);
    // The server's number of seconds, capped at a minute; anything else falls back to backoff.
    const std::vector<std::pair<std::string, std::uint64_t>> headers = {
        {"120", 60 * second}, {"0.5", second / 2}, {"1e1", 10 * second},
        {"+2", 2 * second},   {"-1", second},      {"inf", second},
        {"", second},         {"1e400", second},   {"Wed, 21 Oct 2015 07:28:00 GMT", second}};
    for (const auto& [value, wait] : headers) {
        EXPECT_EQ(retryNanoseconds({429, {{"retry-after", value}}, {}}, 0, none), wait) << value;
    }
}

TEST(DriveResponsePolicyTest, NextOffsetAcceptsOnlyARangeFromByteZero) {
    constexpr std::int64_t largest = std::numeric_limits<std::int64_t>::max();
    // The Range header, the total, the next offset (-1: invalidResponse).
    const std::vector<std::tuple<std::optional<std::string>, std::int64_t, std::int64_t>> cases = {
        {std::nullopt, 250, 0},
        {std::nullopt, -1, -1},
        {"bytes=0-99", 250, 100},
        {"bytes=0-249", 250, 250},
        {"bytes=0-250", 250, -1},
        {"bytes=1-99", 250, -1},
        {"bytes=0-9a", 250, -1},
        {"bytes=0-99999999999999999999", 250, -1},
        {"bytes=0-9223372036854775806", largest, largest}};
    for (const auto& [range, total, expected] : cases) {
        SCOPED_TRACE(range.value_or("<none>") + " of " + std::to_string(total));
        std::int64_t next = -1;
        const std::string outcome = test::outcomeOf([&] { next = nextOffset(range, total); });
        EXPECT_EQ(outcome, expected < 0 ? "invalidResponse" : "ok");
        EXPECT_EQ(next, expected);
    }
}

TEST(DriveResponsePolicyTest, SessionURLGateAdmitsOnlyTheUploadHost) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"https://www.googleapis.com/upload/drive/v3/files?uploadType=resumable&upload_id=x", true},
        {"https://www.googleapis.com:443/upload/x#frag", true},
        {"http://www.googleapis.com/upload/x", false},
        {"HTTPS://www.googleapis.com/upload/x", false},
        {"https://www.googleapis.com.evil.example/upload/x", false},
        {"https://www.googleapis.com@evil.example/upload/x", false},
        {"https://evilwww.googleapis.com/upload/x", false},
        {"https://evil.example\\@www.googleapis.com/upload/x", false},
        {"https://evil.example#@www.googleapis.com/upload/x", false},
        {"https://www.googleapis.com:x/upload/x", false},
        {"https://www.googleapis.com/uploads/x", false},
        {"https://www.googleapis.com?/upload/x", false},
        {"https://www.googleapis.com/upload/x\r\nHost: evil", false},
        {"", false},
    };
    for (const auto& [url, safe] : cases) {
        EXPECT_EQ(safeSessionURL(url, DriveEndpoints{}).has_value(), safe) << url;
    }
}

// A link is shown to the user and handed to other people: it must be Drive's web link of the file
// that was checked, whose identifier is one whole segment of its path.
TEST(DriveResponsePolicyTest, FileLinkNamesTheFileOnTheDriveWebHost) {
    const std::string id = "1AbC-d_9";
    const std::vector<std::pair<std::string, bool>> cases = {
        {"https://drive.google.com/file/d/1AbC-d_9/view?usp=drivesdk", true},
        {"https://drive.google.com/file/d/1AbC-d_9", true},
        {"https://drive.google.com/file/d/1AbC-d_9/edit#heading", true},
        {"https://drive.google.com/file/d/1AbC-d_90/view", false},
        {"https://drive.google.com/file/d/1AbC-d_/view", false},
        {"https://drive.google.com/file/d/x1AbC-d_9/view", false},
        {"https://drive.google.com/file/d/1abc-d_9/view", false},
        {"https://drive.google.com/file/d/1AbC%2Dd_9/view", false},
        {"https://drive.google.com/open?id=1AbC-d_9", false},
        {"https://drive.google.com/file/d/other/view?id=/1AbC-d_9/", false},
        {"https://drive.google.com/file/d/other/view#/1AbC-d_9/", false},
        {"https://drive.google.com/1AbC-d_9", true},
        {"http://drive.google.com/file/d/1AbC-d_9/view", false},
        {"https://drive.google.com.evil.example/file/d/1AbC-d_9/view", false},
        {"https://evil.example/file/d/1AbC-d_9/view", false},
    };
    for (const auto& [link, accepted] : cases) {
        EXPECT_EQ(fileWebLink(link, id, DriveEndpoints{}),
                  accepted ? std::optional(link) : std::nullopt)
            << link;
    }
    // No identifier is named by every link.
    EXPECT_EQ(fileWebLink("https://drive.google.com//view", "", DriveEndpoints{}), std::nullopt);
}

}  // namespace
}  // namespace tolvane
