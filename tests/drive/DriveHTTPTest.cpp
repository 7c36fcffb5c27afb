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
    const DriveHTTPResponse response{308, {{"Range", "x"}, {"\xC3\x84rger", "umlaut"}}, {}};
    EXPECT_EQ(response.header("RANGE"), "x");
    EXPECT_EQ(response.header("Rang"), std::nullopt);
    EXPECT_EQ(response.header("\xC3\xA4rger"), std::nullopt);
    EXPECT_EQ(response.header("\xC3\x84RGER"), "umlaut");
    DriveHTTPRequest request;
    request.setHeader("Authorization", "Bearer old");
    request.setHeader("authorization", "Bearer new");
    EXPECT_EQ(request.headers, (decltype(request.headers){{"Authorization", "Bearer new"}}));
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
