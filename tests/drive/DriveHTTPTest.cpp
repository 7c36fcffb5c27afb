#include "core/drive/DriveHTTP.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "core/drive/DriveTransferError.h"

namespace tolvane {
namespace {

TEST(DriveHTTPTest, HeaderNamesIgnoreOnlyASCIICase) {
    DriveHTTPResponse response{308, {{"Range", "bytes=0-9"}, {"\xC3\x84rger", "umlaut"}}, {}};
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"range", "bytes=0-9"},   {"RANGE", "bytes=0-9"},         {"Rang", std::nullopt},
        {"Range ", std::nullopt}, {"\xC3\xA4rger", std::nullopt}, {"\xC3\x84RGER", "umlaut"},
    };
    for (const auto& [name, value] : cases) {
        EXPECT_EQ(response.header(name), value) << name;
    }
    DriveHTTPRequest request;
    request.setHeader("Authorization", "Bearer old");
    request.setHeader("Content-Type", "application/json");
    request.setHeader("authorization", "Bearer new");
    EXPECT_EQ(request.headers,
              (std::vector<std::pair<std::string, std::string>>{
                  {"Authorization", "Bearer new"}, {"Content-Type", "application/json"}}));
}

// A status is written as plain decimal digits and is part of the case, so http(0) is no other.
TEST(DriveHTTPTest, HTTPStatusIsPartOfTheErrorCase) {
    EXPECT_STREQ(DriveTransferError::http(INT_MIN).what(),
                 "Google Drive 요청이 실패했습니다 (HTTP -2147483648).");
    EXPECT_NE(DriveTransferError::http(500), DriveTransferError::http(503));
    EXPECT_NE(DriveTransferError::http(0), DriveTransferError::invalidResponse());
    EXPECT_NE(DriveTransferError::http(429), DriveTransferError::rateLimited());
}

}  // namespace
}  // namespace tolvane
