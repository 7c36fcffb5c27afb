#include "core/archive/ZipEntryName.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include "support/Outcome.h"

namespace tolvane {
namespace {

// Without bit 11 every byte is code page 437, checked against glibc's IBM437 converter (a table
// written by others); with it the bytes are UTF-8 as they stand or refused, never re-read.
TEST(ZipEntryNameTest, LegacyNamesAreCodePage437AndFlaggedOnesUtf8) {
    const iconv_t converter = ::iconv_open("UTF-8", "IBM437");
    ASSERT_NE(converter, reinterpret_cast<iconv_t>(-1));
    for (int byte = 0; byte < 256; ++byte) {
        std::string in(1, static_cast<char>(byte)), out(8, '\0');
        char* from = in.data();
        char* to = out.data();
        std::size_t inLeft = 1, outLeft = out.size();
        ASSERT_NE(::iconv(converter, &from, &inLeft, &to, &outLeft), static_cast<std::size_t>(-1));
        out.resize(out.size() - outLeft);
        EXPECT_EQ(ZipEntryName::decode(in + "/x", 0x0008), out + "/x") << byte;
    }
    ::iconv_close(converter);
    EXPECT_EQ(ZipEntryName::decode("보고서/요약.txt", 0x0808), "보고서/요약.txt");
    for (const std::string raw : {"caf\xE9", "\xED\xA0\x80"}) {
        EXPECT_EQ(test::outcomeOf([&] { ZipEntryName::decode(raw, 0x0808); }),
                  "invalidArchive: entry name is not valid UTF-8");
    }
}

}  // namespace
}  // namespace tolvane
