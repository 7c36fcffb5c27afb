#include "core/archive/ZipEntryName.h"

#include <gtest/gtest.h>

#include "core/archive/ZipFormat.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using ZipEntryName::Encoding;

// The names of one archive, none flagged, as every reader of it reads them.
std::vector<std::string> readArchive(const std::vector<std::string>& raws) {
    ZipEntryName::EncodingChooser chooser;
    for (const std::string& raw : raws) {
        chooser.add(raw, 0, {});
    }
    const Encoding encoding = chooser.chosen();
    std::vector<std::string> names;
    for (const std::string& raw : raws) {
        names.push_back(ZipEntryName::decode(raw, 0, {}, encoding));
    }
    return names;
}

// Code page 437 is the IBM PC character set, checked against glibc's converter (a table written by
// others); with bit 11 the bytes are UTF-8 as they stand or refused, never re-read, whatever the
// archive's other names are read as; a name the archive's encoding cannot read is refused.
TEST(ZipEntryNameTest, CodePage437AndFlaggedNames) {
    for (int byte = 0; byte < 256; ++byte) {
        const std::string in = std::string(1, static_cast<char>(byte)) + "/x";
        EXPECT_EQ(ZipEntryName::decode(in, 0x0008, {}, Encoding::codePage437),
                  test::converted(in, "IBM437", "UTF-8"))
            << byte;
    }
    for (const Encoding legacy : {Encoding::utf8, Encoding::codePage949, Encoding::codePage437}) {
        EXPECT_EQ(ZipEntryName::decode("보고서/요약.txt", 0x0808, {}, legacy), "보고서/요약.txt");
    }
    for (const std::string raw : {"caf\xE9", "\xED\xA0\x80"}) {
        EXPECT_EQ(test::outcomeOf([&] { ZipEntryName::decode(raw, 0x0808, {}, Encoding::utf8); }),
                  "invalidArchive: entry name is not valid UTF-8");
    }
    EXPECT_EQ(test::outcomeOf([] { ZipEntryName::decode("\xBA/x", 0, {}, Encoding::codePage949); }),
              "invalidArchive: entry name is not in the archive's encoding");
}

// One encoding reads all the unflagged names of an archive: the one that reads them whole and
// most plausibly, Korean where the call is close.
TEST(ZipEntryNameTest, ChoosesOneEncodingForAllLegacyNames) {
    const auto in = [](const char* encoding, std::vector<std::string> names) {
        for (std::string& name : names) {
            name = test::converted(name, "UTF-8", encoding);
        }
        return names;
    };
    const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
        // Western names are whole in code page 949's extension rows and in the Chinese and
        // Japanese code pages too, as rare characters inside Latin words
        {in("IBM437", {"Müller.txt"}), {"Müller.txt"}},
        {in("IBM437", {"Größe", "Ärger", "étés"}), {"Größe", "Ärger", "étés"}},
        {in("IBM437", {"Blåbær.jpg", "Fußball/Tor.txt"}), {"Blåbær.jpg", "Fußball/Tor.txt"}},
        {in("CP949", {"보고서.txt", "사진/2024 여름 ①.jpg", "契約書_최종(수정).hwp"}),
         {"보고서.txt", "사진/2024 여름 ①.jpg", "契約書_최종(수정).hwp"}},
        // a rare syllable beside common ones is still Korean
        {in("CP949", {"똠양꿍.txt"}), {"똠양꿍.txt"}},
        {in("CP932", {"ﾃｽﾄ/メモ.txt", "ﾃｽﾄ/"}), {"ﾃｽﾄ/メモ.txt", "ﾃｽﾄ/"}},
        // Korean names with jamo, Greek and Roman numerals, and syllables that are UTF-8 pairs
        // too running into Latin words
        {in("CP949", {"ㄱ/", "ㄱ/가을.mp3", "ㄴ/", "ㄴ/나비.mp3", "ㅋㅋ.txt"}),
         {"ㄱ/", "ㄱ/가을.mp3", "ㄴ/", "ㄴ/나비.mp3", "ㅋㅋ.txt"}},
        {in("CP949", {"α버전/설치파일.exe", "제Ⅱ장.hwp"}), {"α버전/설치파일.exe", "제Ⅱ장.hwp"}},
        {in("CP949", {"표A.xlsx"}), {"표A.xlsx"}},
        {in("CP949", {"체크list.txt"}), {"체크list.txt"}},
        // Japanese words in katakana, some beside Latin ones, whose trail bytes are ASCII letters
        {in("CP932", {"アニメーション.txt", "Webカメラ.txt"}),
         {"アニメーション.txt", "Webカメラ.txt"}},
        // UTF-8 without the flag in the alphabets of Linux users
        {{"שלום.txt", "Łódź.txt", "Հայաստան.txt", "ґанок.txt", "İstanbul.txt"},
         {"שלום.txt", "Łódź.txt", "Հայաստան.txt", "ґанок.txt", "İstanbul.txt"}},
        {in("IBM437", {"délégués.txt", "¡Hola.txt"}), {"délégués.txt", "¡Hola.txt"}},
        // UTF-8 without the flag, although "챕t챕" is whole in code page 949
        {{"\xC3\xA9t\xC3\xA9", "Δ.txt"}, {"été", "Δ.txt"}},
        // a C1 control in code page 949, its user-defined rows and the Chinese ones'
        {{"\x80.txt"}, {"Ç.txt"}},
        {{"\xC9\xA1\xFE\xFE"}, {"╔í■■"}},
        // ASCII names read alike in every candidate and change nothing
        {{"a.txt", "b/"}, {"a.txt", "b/"}},
    };
    for (const auto& [raws, expected] : cases) {
        EXPECT_EQ(readArchive(raws), expected) << expected.front();
    }
}

// The Unicode Path field names an entry without the flag when it is version 1 with the raw name's
// CRC-32 and a non-empty UTF-8 name, wherever it lies among the blocks; the ZIP library substitutes
// it even for a flagged name, which keeps its own name here.
TEST(ZipEntryNameTest, UnicodePathFieldNamesAnUnflaggedEntryWhenItMatches) {
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
        EXPECT_EQ(ZipEntryName::decode(raw, 0, extra, Encoding::codePage437),
                  expected == raw ? "║╕░φ.txt" : expected);
    }
    const std::string flagged = "invoice.txt";
    const std::string other = field(1, flagged, "invoice.txt.sh");
    EXPECT_EQ(ZipEntryName::storedName(flagged, other), "invoice.txt.sh");
    EXPECT_EQ(ZipEntryName::decode(flagged, 0x0800, other, Encoding::utf8), flagged);
    // Readers that go by the raw name must see a folder where this one does.
    for (const auto& [folder, named] : {std::pair("x/", "x"), std::pair("x", "x/")}) {
        EXPECT_EQ(test::outcomeOf([&] {
                      ZipEntryName::decode(folder, 0, field(1, folder, named), Encoding::utf8);
                  }),
                  "invalidArchive: entry name and its Unicode Path field disagree on a folder");
    }
    EXPECT_EQ(ZipEntryName::decode("x/", 0, field(1, "x/", "폴더/"), Encoding::utf8), "폴더/");
}

}  // namespace
}  // namespace tolvane
