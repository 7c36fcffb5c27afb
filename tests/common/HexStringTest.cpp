#include "core/common/HexString.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

TEST(HexStringTest, EncodesAndRecognisesLowercaseDigests) {
    const std::uint8_t bytes[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(HexString::encode(bytes), "00abff");
    const std::string digest(64, 'f');
    EXPECT_TRUE(HexString::isLowercaseSHA256(digest));
    for (const std::string& bad :
         {"F" + digest.substr(1), digest.substr(1), digest + "0", std::string(63, '0') + "g"}) {
        EXPECT_FALSE(HexString::isLowercaseSHA256(bad)) << bad;
    }
}

}  // namespace
}  // namespace tolvane
