#include "core/archive/ArchivePathPolicy.h"

#include <gtest/gtest.h>

#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "support/Outcome.h"

namespace tolvane {
namespace {

using Type = ArchiveEntryType;
using Policy = std::function<std::string(const std::string&)>;

std::string times(std::string_view piece, std::size_t count) {
    std::string out;
    while (count-- > 0) {
        out += piece;
    }
    return out;
}

// A relative path of exactly `bytes` bytes made of 100-byte components.
std::string pathOf(std::size_t bytes) {
    std::string path = times(times("p", 100) + "/", bytes / 101 + 1).substr(0, bytes);
    return path.back() == '/' ? path.substr(0, bytes - 1) + "p" : path;
}

std::string tagOf(std::string_view identity) {
    const Sha256::Value digest = Sha256::of(identity);
    return "~" + HexString::encode(std::span(digest).first(4));
}

// What each rule makes of each input; a refusal is unsafePath carrying the input as given.
TEST(ArchivePathPolicyTest, Rules) {
    const Policy file = [](auto& p) { return ArchivePathPolicy::validated(p, Type::file); };
    const Policy folder = [](auto& p) { return ArchivePathPolicy::validated(p, Type::directory); };
    const Policy link = [](auto& p) { return ArchivePathPolicy::validated(p, Type::symlink); };
    const Policy name = [](auto& p) { return ArchivePathPolicy::universalName(p, "identity"); };
    const Policy tagged = [](auto& p) { return ArchivePathPolicy::universalName(p, "long"); };
    const Policy extract = [](auto& p) {
        return ArchivePathPolicy::compatibleExtractionPath(
            p, p.ends_with("/") ? Type::directory : Type::file);
    };
    const Policy key = [](auto& p) { return ArchivePathPolicy::collisionKey(p); };
    const std::string q = "q\u0323\u0301";  // one cluster of five bytes, already NFC
    const std::string t = tagOf("long");
    const std::string n255 = times("n", 251) + ".pdf";
    const std::string unsafe = "unsafePath: ";
    // clang-format off
    const std::vector<std::tuple<Policy, std::string, std::string>> cases = {
        {file, "", unsafe}, {file, "\xFF", unsafe + "\xFF"}, {file, "d/\xC0\xAFpw", unsafe + "d/\xC0\xAFpw"},
        {file, "a/\xED\xA0\x80", unsafe + "a/\xED\xA0\x80"}, {folder, "a/b\xE2\x80", unsafe + "a/b\xE2\x80"},
        {file, "a//b", unsafe + "a//b"}, {file, "a/./b", unsafe + "a/./b"}, {file, "a/../b", unsafe + "a/../b"},
        {folder, "..", unsafe + ".."}, {folder, ".", unsafe + "."}, {file, "/a", unsafe + "/a"},
        {folder, "///", unsafe + "///"}, {file, "a\\b", unsafe + "a\\b"}, {file, "C:x/y", unsafe + "C:x/y"},
        {file, "a/", unsafe + "a/"}, {link, "a/", unsafe + "a/"}, {file, std::string("a\0b", 3), unsafe + std::string("a\0b", 3)},
        {file, "a\tb", unsafe + "a\tb"}, {file, "a/\u200Fx", unsafe + "a/\u200Fx"}, {file, "x\u202Et", unsafe + "x\u202Et"},
        {file, "\U0001F468\u200D\U0001F469", unsafe + "\U0001F468\u200D\U0001F469"}, {file, "a/\xC2\x85", unsafe + "a/\xC2\x85"},
        {file, pathOf(4097), unsafe + pathOf(4097)}, {folder, pathOf(4096) + "/", unsafe + pathOf(4096) + "/"},
        {file, "a/" + times("x", 256), unsafe + "a/" + times("x", 256)}, {file, times("é", 128), unsafe + times("é", 128)},
        {file, "a/b:c", "a/b:c"}, {folder, "dir///", "dir"}, {folder, "a/b", "a/b"}, {link, "a/b", "a/b"},
        {file, "...", "..."}, {file, ".h/x..y", ".h/x..y"}, {file, "문서/보고서.pdf", "문서/보고서.pdf"},
        {file, "a/\U0001F1F0\U0001F1F7\U0001F44D\U0001F3FD", "a/\U0001F1F0\U0001F1F7\U0001F44D\U0001F3FD"},
        {file, pathOf(4096), pathOf(4096)}, {folder, pathOf(4095) + "/", pathOf(4095)},
        {file, "a/" + times("x", 255), "a/" + times("x", 255)}, {file, times("é", 127) + "x", times("é", 127) + "x"},
        {name, "a:b?.txt", "a_b_.txt"}, {name, "<>:\"|?*\\/", "_________"}, {name, "a\tb\u200Fc\u202Ed", "a_b_c_d"},
        {name, "\U0001F468\u200D\U0001F469", "\U0001F468_\U0001F469"}, {name, "name. . ..", "name"},
        {name, " lead.txt ", " lead.txt"}, {name, "...", "_"}, {name, "", "_"}, {name, "aux.tar.gz", "_aux.tar.gz"},
        {name, "LPT9", "_LPT9"}, {name, "lpt1.txt", "_lpt1.txt"}, {name, "nul. ", "_nul"}, {name, "..prn", "_..prn"},
        {name, "AUXILIARY", "AUXILIARY"}, {name, "COM10", "COM10"}, {name, "COM0", "COM0"}, {name, "LPT", "LPT"},
        {name, "Cafe\u0301.txt", "Caf\u00E9.txt"}, {name, "\u1112\u1161\u11AB.txt", "\uD55C.txt"}, {name, "x\xFFy", "x\uFFFDy"},
        {name, times("z", 176) + ".pdf", times("z", 176) + ".pdf"},  // exactly at the limit
        {tagged, times("a", 296) + ".pdf", times("a", 167) + t + ".pdf"},
        {tagged, times("b", 200) + "." + times("e", 64), times("b", 106) + t + "." + times("e", 64)},
        {tagged, times("b", 200) + "." + times("e", 65), times("b", 171) + t},
        {tagged, ".dot" + times("d", 200), ".dot" + times("d", 167) + t},
        {tagged, times("한", 100) + ".txt", times("한", 55) + t + ".txt"},  // whole syllables
        {tagged, times(q, 40), times(q, 34) + t},  // marks never cut off their base
        {tagged, times("x", 165) + "\U0001F44D\U0001F3FDyyyyyyyyyy", times("x", 165) + t},
        {tagged, times("e\u0301", 100), times("\u00E9", 85) + t},  // composed first
        {tagged, "a" + times("\u0301", 200) + ".md", t + ".md"},  // never an empty name
        {extract, "a/" + n255, "a/" + times("n", 167) + tagOf("a/" + n255) + ".pdf"},
        {extract, "b/" + n255, "b/" + times("n", 167) + tagOf("b/" + n255) + ".pdf"},
        {extract, times("d", 200) + "/y/", times("d", 171) + tagOf(times("d", 200)) + "/y"},  // what precedes counts
        {extract, "aux/x/a:b?.txt", "_aux/x/a_b_.txt"}, {extract, "dir. ///", "dir"}, {extract, "C:/x", unsafe + "C:/x"},
        {key, "ReadMe.TXT", "readme.txt"}, {key, "Cafe\u0301/Menu", "café/menu"}, {key, "Stra\u00DFe", "strasse"},
        {key, "\u212A", "k"}, {key, "\u1112\u1161\u11AB.TXT", "\uD55C.txt"}, {key, "J\u0323\u030C", "\u01F0\u0323"},
        {key, "\u03A3\u039F\u03A6\u0399\u0391", "\u03C3\u03BF\u03C6\u03B9\u03B1"}, {key, "A\xFFZ", "a\uFFFDz"},
        {key, "café", "café"},  // diacritics are not folded
    };
    // clang-format on
    for (const auto& [policy, input, expected] : cases) {
        std::string result;
        const std::string outcome = test::outcomeOf([&] { result = policy(input); });
        EXPECT_EQ(outcome == "ok" ? result : outcome, expected) << testing::PrintToString(input);
    }
    EXPECT_NE(name(times("z", 177) + ".pdf"), tagged(times("z", 177) + ".pdf"));
}

}  // namespace
}  // namespace tolvane
