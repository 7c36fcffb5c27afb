#include "core/drive/DriveTransferError.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace tolvane {
namespace {

using Error = DriveTransferError;

TEST(DriveTransferErrorTest, HTTPStatusIsPlainDecimalAndPartOfTheCase) {
    EXPECT_STREQ(Error::http(INT_MIN).what(),
                 "Google Drive 요청이 실패했습니다 (HTTP -2147483648).");
    EXPECT_EQ(Error::http(2147483647).errorDescription(),
              "Google Drive 요청이 실패했습니다 (HTTP 2147483647).");
    EXPECT_EQ(Error::http(500), Error::http(500));
    EXPECT_NE(Error::http(500), Error::http(503));
    // A case without a status carries none, so http(0) must still differ from it.
    EXPECT_NE(Error::http(0), Error::invalidResponse());
    EXPECT_NE(Error::http(429), Error::rateLimited());
    EXPECT_NE(Error::corruptJournal(), Error::invalidResponse());
}

}  // namespace
}  // namespace tolvane
