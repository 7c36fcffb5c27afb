#include "core/archive/ZipEntryName.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include "core/archive/ZipFormat.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"

namespace tolvane {
namespace {

// Without bit 11 every byte of a name that is not UTF-8 is code page 437, checked against glibc's
// IBM437 converter (a table written by others); with it the bytes are UTF-8 as they stand or
// refused, never re-read.
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
    for (const std::uint16_t flags : {0x0000, 0x0808}) {
        EXPECT_EQ(ZipEntryName::decode("보고서/요약.txt", flags), "보고서/요약.txt");
    }
    for (const std::string raw : {"caf\xE9", "\xED\xA0\x80"}) {
        EXPECT_EQ(test::outcomeOf([&] { ZipEntryName::decode(raw, 0x0808); }),
                  "invalidArchive: entry name is not valid UTF-8");
    }
}

// Without bit 11 a name that is not UTF-8 but whole in code page 949 is Korean, checked against
// glibc's CP949 converter; UTF-8 stays UTF-8 although it may be whole in code page 949 too; what
// is whole in neither, holds only the code page's private-use or C1 characters, or holds no common
// Korean character (a Western name in its extension rows), stays 437.
TEST(ZipEntryNameTest, KoreanWindowsNamesAreCodePage949) {
    const iconv_t converter = ::iconv_open("CP949", "UTF-8");
    ASSERT_NE(converter, reinterpret_cast<iconv_t>(-1));
    for (std::string name : {"보고서.txt", "사진/2024 여름 ①.jpg", "契約書_최종(수정).hwp"}) {
        std::string out(64, '\0');
        char* from = name.data();
        char* to = out.data();
        std::size_t inLeft = name.size(), outLeft = out.size();
        ASSERT_NE(::iconv(converter, &from, &inLeft, &to, &outLeft), static_cast<std::size_t>(-1));
        out.resize(out.size() - outLeft);
        EXPECT_EQ(ZipEntryName::decode(out, 0), name);
    }
    ::iconv_close(converter);
    const std::pair<std::string, std::string> cases[] = {
        {"\xC3\xA9t\xC3\xA9", "été"},  // UTF-8, and "챕t챕" in code page 949
        {"\xBA/x", "║/x"},             // a lead byte before "/"
        {"\xBA\xB8\xB0", "║╕░"},       // cut off after a lead byte
        {"\x80.txt", "Ç.txt"},         // C1 control in code page 949
        {"\xC9\xA1\xFE\xFE", "╔í■■"},  // user-defined rows
        {"\xBA\xB8\xB0\xED", "보고"},
        // Western names from code page 437 or 850 are whole in code page 949's extension rows
        {"M\x81ller.txt", "Müller.txt"},
        {"Gr\x94\xE1\x65", "Größe"},
        {"\x8Erger", "Ärger"},
        {"\x82t\x82s", "étés"},
        {"Bl\x86\x62\x91r", "Blåbær"},
        // a rare syllable beside common ones is still Korean
        {"\x8C\x63\xBE\xE7\xB2\xE1", "똠양꿍"},
    };
    for (const auto& [raw, expected] : cases) {
        EXPECT_EQ(ZipEntryName::decode(raw, 0), expected) << expected;
    }
}

// The Unicode Path field names the entry only as version 1 with the raw name's CRC-32 and a
// non-empty UTF-8 name, and wherever it lies among the blocks.
TEST(ZipEntryNameTest, UnicodePathFieldNamesTheEntryWhenItMatches) {
    const std::string raw = "\xBA\xB8\xB0\xED.txt";
    const auto field = [&](char version, std::string_view of, std::string name) {
        std::string out;
        ZipFormat::put16(out, ZipFormat::unicodePathExtraID);
        ZipFormat::put16(out, static_cast<std::uint16_t>(5 + name.size()));
        out += version;
        ZipFormat::put32(out, test::crc32Of(of));
        return out + name;
    };
    const std::pair<std::string, std::string> cases[] = {
        {field(1, raw, "보고.txt"), "보고.txt"},
        {std::string("\1\0\0\0", 4) + field(1, raw, "보고.txt"), "보고.txt"},
        {field(1, "other", "보고.txt"), raw},
        {field(2, raw, "보고.txt"), raw},
        {field(1, raw, ""), raw},
        {field(1, raw, "\xBA.txt"), raw},
        {field(1, raw, "보고.txt").substr(0, 12), raw},
    };
    for (const auto& [extra, expected] : cases) {
        EXPECT_EQ(ZipEntryName::storedName(raw, extra), expected);
    }
}

}  // namespace
}  // namespace tolvane
