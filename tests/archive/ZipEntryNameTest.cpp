#include "core/archive/ZipEntryName.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "support/Outcome.h"

namespace tolvane {
namespace {

// Every byte of a legacy name against glibc's IBM437 converter, a table written by others.
TEST(ZipEntryNameTest, LegacyNamesAreCodePage437) {
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
}

// With bit 11 the bytes are UTF-8 as they stand, or refused; never repaired or re-read as legacy.
TEST(ZipEntryNameTest, FlaggedNamesMustBeUtf8) {
    const std::string refused = "invalidArchive: entry name is not valid UTF-8";
    const std::pair<std::string, std::string> cases[] = {
        {"보고서/요약.txt", "ok 보고서/요약.txt"},
        {"caf\xE9", refused},
        {"\xED\xA0\x80", refused},
    };
    for (const auto& [raw, expected] : cases) {
        std::string got;
        const std::string outcome =
            test::outcomeOf([&] { got = ZipEntryName::decode(raw, 0x0808); });
        EXPECT_EQ(outcome == "ok" ? "ok " + got : outcome, expected);
    }
}

}  // namespace
}  // namespace tolvane
