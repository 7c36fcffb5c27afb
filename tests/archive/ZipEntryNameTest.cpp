#include "core/archive/ZipEntryName.h"

#include <gtest/gtest.h>

#include <string>

#include "core/archive/ArchivePipelineError.h"

namespace tolvane {
namespace {

constexpr std::uint16_t legacy = 0;
constexpr std::uint16_t utf8 = 0x0800;

TEST(ZipEntryNameTest, LegacyNamesDecodeTheWholeHighHalfOfCodePage437) {
    std::string raw;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        raw.push_back(static_cast<char>(byte));
    }
    // The reference is Python's cp437 codec, so a mistyped table entry cannot hide here.
    const std::string expected =
        "ÇüéâäàåçêëèïîìÄÅ"
        "ÉæÆôöòûùÿÖÜ¢£¥₧ƒ"
        "áíóúñÑªº¿⌐¬½¼¡«»"
        "░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
        "└┴┬├─┼╞╟╚╔╩╦╠═╬╧"
        "╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀"
        "αßΓπΣσµτΦΘΩδ∞φε∩"
        "≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";
    EXPECT_EQ(ZipEntryName::decode(raw, legacy), expected);
}

struct NameCase {
    const char* label;
    std::string raw;
    std::uint16_t flags;
    std::string expected;
};

class ZipEntryNameDecodeTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(ZipEntryNameDecodeTest, Decodes) {
    const NameCase& c = GetParam();
    EXPECT_EQ(ZipEntryName::decode(c.raw, c.flags), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ZipEntryNameDecodeTest,
    ::testing::Values(
        NameCase{"AsciiLegacy", "dir/a.txt", legacy, "dir/a.txt"},
        NameCase{"AsciiUtf8", "dir/a.txt", utf8, "dir/a.txt"}, NameCase{"Empty", "", utf8, ""},
        NameCase{"KoreanUtf8", "보고서/요약.txt", utf8, "보고서/요약.txt"},
        // Without the flag, UTF-8 bytes are legacy bytes: "é" (C3 A9) reads as "├⌐".
        NameCase{"Utf8BytesWithoutFlag", "caf\xC3\xA9", legacy, "caf├⌐"},
        // Control bytes and separators keep their ASCII meaning so the path rules still see them.
        NameCase{"LegacyKeepsControlsAndSeparators", std::string("a\x01/\\b\x7F", 7), legacy,
                 std::string("a\x01/\\b\x7F", 7)},
        NameCase{"LegacyMixed", "\x80\x81/x\xFF", legacy, "Çü/x\u00A0"},
        // Other flag bits do not change the encoding.
        NameCase{"OtherFlagsIgnored", "\x8E", 0x0008, "Ä"}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.label; });

struct InvalidCase {
    const char* label;
    std::string raw;
};

class ZipEntryNameInvalidTest : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(ZipEntryNameInvalidTest, FlaggedUtf8MustBeValid) {
    try {
        (void)ZipEntryName::decode(GetParam().raw, utf8 | 0x0008);
        FAIL() << "accepted an ill-formed UTF-8 name";
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(error, ArchivePipelineError::invalidArchive("entry name is not valid UTF-8"));
    }
    // The same bytes are a legal legacy name.
    EXPECT_FALSE(ZipEntryName::decode(GetParam().raw, legacy).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Names, ZipEntryNameInvalidTest,
    ::testing::Values(InvalidCase{"Latin1", "caf\xE9"}, InvalidCase{"Overlong", "\xC0\xAF.txt"},
                      InvalidCase{"Surrogate", "\xED\xA0\x80"},
                      InvalidCase{"AboveUnicode", "\xF4\x90\x80\x80"},
                      InvalidCase{"TruncatedAtEnd", "a\xEB\xB3"},
                      InvalidCase{"LoneContinuation", "\x80"}, InvalidCase{"ByteFF", "\xFF"}),
    [](const ::testing::TestParamInfo<InvalidCase>& info) { return info.param.label; });

}  // namespace
}  // namespace tolvane
