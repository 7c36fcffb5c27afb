#include <gtest/gtest.h>

#include <string>

#include "core/common/Digest.h"
#include "core/common/HexString.h"

namespace tolvane {
namespace {

TEST(DigestTest, KnownVectorsInOneAndManyUpdates) {
    struct Case {
        std::string input;
        std::string sha256;
        std::string md5;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
         "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
         "900150983cd24fb0d6963f7d28e17f72"},
        {std::string(1'000'000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
         "7707d6ae4e027c70eea2a935c2296f21"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sha256::hexOf(c.input), c.sha256);
        // Feeding the same bytes in uneven pieces must not change the digest.
        Sha256 sha;
        Md5 md5;
        for (std::size_t offset = 0; offset < c.input.size();) {
            const std::size_t piece =
                std::min<std::size_t>(c.input.size() - offset, 1 + offset % 7919);
            sha.update(std::string_view(c.input).substr(offset, piece));
            md5.update(std::string_view(c.input).substr(offset, piece));
            offset += piece;
        }
        EXPECT_EQ(HexString::encode(sha.finish()), c.sha256);
        EXPECT_EQ(HexString::encode(md5.finish()), c.md5);
    }
}

TEST(HexStringTest, EncodesHighNibbleFirstAndRecognisesDigests) {
    const std::uint8_t bytes[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(HexString::encode(bytes), "00abff");
    EXPECT_EQ(HexString::encode({}), "");

    const std::string digest = Sha256::hexOf("x");
    EXPECT_TRUE(HexString::isLowercaseSHA256(digest));
    std::string upper = digest;
    upper[0] = 'A';
    upper[1] = 'F';
    EXPECT_FALSE(HexString::isLowercaseSHA256(upper));
    EXPECT_FALSE(HexString::isLowercaseSHA256(digest.substr(1)));
    EXPECT_FALSE(HexString::isLowercaseSHA256(digest + "0"));
    EXPECT_FALSE(HexString::isLowercaseSHA256(std::string(63, '0') + "g"));
}

}  // namespace
}  // namespace tolvane
