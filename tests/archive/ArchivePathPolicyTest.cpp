#include "core/archive/ArchivePathPolicy.h"

#include <gtest/gtest.h>

#include <span>
#include <string>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/Unicode.h"

namespace tolvane {
namespace {

using Type = ArchiveEntryType;

std::string repeated(std::string_view piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

// A relative path of exactly `bytes` bytes made of 100-byte components.
std::string pathOfLength(std::size_t bytes) {
    std::string path;
    while (path.size() < bytes) {
        path += (path.size() % 101 == 100) ? '/' : 'p';
    }
    if (path.back() == '/') {
        path.back() = 'p';
    }
    return path;
}

std::string tagOf(std::string_view identity) {
    const Sha256::Value digest = Sha256::of(identity);
    return HexString::encode(std::span(digest).first(4));
}

TEST(ArchivePathPolicyTest, ValidatedRefusesUnsafePaths) {
    struct Case {
        std::string path;
        Type type;
    };
    const Case cases[] = {
        {"", Type::file},
        {"\xFF", Type::file},
        {"dir/\xC0\xAFpasswd", Type::file},  // overlong "/"
        {"a/\xED\xA0\x80", Type::file},      // surrogate
        {"a/b\xE2\x80", Type::directory},    // truncated sequence
        {"a//b", Type::file},
        {"a/./b", Type::file},
        {"a/../b", Type::file},
        {"..", Type::directory},
        {".", Type::directory},
        {"/a", Type::file},
        {"/", Type::directory},
        {"///", Type::directory},
        {"a\\b", Type::file},
        {"C:x/y", Type::file},
        {"a/", Type::file},
        {"a/", Type::symlink},
        {std::string("a\0b", 3), Type::file},
        {"a\tb", Type::file},
        {"a/\u200Fname", Type::file},                // right-to-left mark
        {"a/name\u202Etxt.exe", Type::file},         // right-to-left override
        {"\U0001F468\u200D\U0001F469", Type::file},  // so is the zero-width joiner
        {"a/\xC2\x85", Type::file},                  // NEL, a C1 control
        {pathOfLength(4097), Type::file},
        {pathOfLength(4096) + "/", Type::directory},  // the limit counts trailing slashes
        {"a/" + repeated("x", 256), Type::file},
        {repeated("\xC3\xA9", 128), Type::file},  // 128 characters, 256 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.path));
        try {
            const std::string result = ArchivePathPolicy::validated(c.path, c.type);
            ADD_FAILURE() << "accepted as " << testing::PrintToString(result);
        } catch (const ArchivePipelineError& error) {
            EXPECT_EQ(error.code(), ArchivePipelineError::Code::unsafePath);
            EXPECT_EQ(error.detail(), c.path);  // exactly as given, trailing slashes and all
        }
    }
}

TEST(ArchivePathPolicyTest, ValidatedAcceptsUsablePaths) {
    struct Case {
        std::string path;
        Type type;
        std::string expected;
    };
    const std::string longest = pathOfLength(4096);
    const Case cases[] = {
        {"a", Type::file, "a"},
        {"a/b:c", Type::file, "a/b:c"},  // only the first component may not hold ":"
        {"dir///", Type::directory, "dir"},
        {"a/b/", Type::directory, "a/b"},
        {"a/b", Type::directory, "a/b"},
        {"a/b", Type::symlink, "a/b"},
        {"...", Type::file, "..."},
        {".hidden/x..y", Type::file, ".hidden/x..y"},
        {"\uBB38\uC11C/\uBCF4\uACE0\uC11C.pdf", Type::file, "\uBB38\uC11C/\uBCF4\uACE0\uC11C.pdf"},
        {"a/\U0001F1F0\U0001F1F7\U0001F44D\U0001F3FD", Type::file,
         "a/\U0001F1F0\U0001F1F7\U0001F44D\U0001F3FD"},  // flag, skin tone
        {longest, Type::file, longest},
        {pathOfLength(4095) + "/", Type::directory, pathOfLength(4095)},
        {"a/" + repeated("x", 255), Type::file, "a/" + repeated("x", 255)},
        {repeated("\xC3\xA9", 127) + "x", Type::file, repeated("\xC3\xA9", 127) + "x"},
    };
    ASSERT_EQ(longest.size(), 4096u);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.path));
        EXPECT_EQ(ArchivePathPolicy::validated(c.path, c.type), c.expected);
    }
}

TEST(ArchivePathPolicyTest, UniversalNameMakesPortableNames) {
    struct Case {
        std::string name;
        std::string expected;
    };
    const Case cases[] = {
        {"report.pdf", "report.pdf"},
        {"a:b?.txt", "a_b_.txt"},
        {"<>:\"|?*\\/", "_________"},
        {"a\tb\u200Fc\u202Ed", "a_b_c_d"},
        {"\U0001F468\u200D\U0001F469", "\U0001F468_\U0001F469"},  // ZWJ is a format character
        {"name. . ..", "name"},
        {" lead.txt ", " lead.txt"},
        {"...", "_"},
        {"", "_"},
        {"aux.tar.gz", "_aux.tar.gz"},
        {"LPT9", "_LPT9"},
        {"lpt1.txt", "_lpt1.txt"},
        {"nul. ", "_nul"},    // reserved once the trailing dot is gone
        {"..prn", "_..prn"},  // the first non-empty piece counts
        {"AUXILIARY", "AUXILIARY"},
        {"COM10", "COM10"},
        {"COM0", "COM0"},
        {"LPT", "LPT"},
        {"Cafe\u0301.txt", "Caf\u00E9.txt"},
        {"\u1112\u1161\u11AB.txt", "\uD55C.txt"},
        {"x\xFFy", "x\uFFFDy"},  // ill-formed bytes never leak into a name
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name));
        EXPECT_EQ(ArchivePathPolicy::universalName(c.name, "identity"), c.expected);
    }
}

TEST(ArchivePathPolicyTest, UniversalNameShortensLongNames) {
    const std::string identity = "folder/long name";
    const std::string tag = tagOf(identity);
    ASSERT_EQ(tag.size(), 8u);
    const std::string qAcuteDot = "q\u0323\u0301";      // one cluster, five bytes, already NFC
    const std::string thumbs = "\U0001F44D\U0001F3FD";  // one cluster, eight bytes
    struct Case {
        std::string name;
        std::string expected;
    };
    const Case cases[] = {
        // 296 + ".pdf" = 300 bytes: budget 180 - 13 = 167.
        {repeated("a", 296) + ".pdf", repeated("a", 167) + "~" + tag + ".pdf"},
        // A 64-byte extension is kept, a 65-byte one is dropped along with its dot.
        {repeated("b", 200) + "." + repeated("e", 64),
         repeated("b", 106) + "~" + tag + "." + repeated("e", 64)},
        {repeated("b", 200) + "." + repeated("e", 65), repeated("b", 171) + "~" + tag},
        // Without an extension the whole name is the stem.
        {repeated("c", 181), repeated("c", 171) + "~" + tag},
        {".dotfile" + repeated("d", 200), (".dotfile" + repeated("d", 163)) + "~" + tag},
        // 167 bytes of budget hold 55 three-byte syllables, not 55 and two thirds.
        {repeated("\uD55C", 100) + ".txt", repeated("\uD55C", 55) + "~" + tag + ".txt"},
        // 171 bytes of budget hold 34 five-byte clusters; marks are never cut off their base.
        {repeated(qAcuteDot, 40), repeated(qAcuteDot, 34) + "~" + tag},
        {repeated("x", 165) + thumbs + "yyyyyyyyyy", repeated("x", 165) + "~" + tag},
        // NFC first: the decomposed form would need 300 bytes but composes to 200.
        {repeated("e\u0301", 100), repeated("\u00E9", 85) + "~" + tag},
        // A single cluster bigger than the budget leaves only the suffix, never an empty name.
        {"a" + repeated("\u0301", 200) + ".md", "~" + tag + ".md"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name));
        const std::string result = ArchivePathPolicy::universalName(c.name, identity);
        EXPECT_EQ(result, c.expected);
        EXPECT_LE(result.size(), ArchivePathPolicy::maxUniversalNameBytes);
        EXPECT_TRUE(Unicode::isValidUTF8(result));
    }

    // Exactly at the limit nothing is shortened; the identity then plays no part.
    const std::string atLimit = repeated("z", 176) + ".pdf";
    EXPECT_EQ(ArchivePathPolicy::universalName(atLimit, "one"), atLimit);
    EXPECT_EQ(ArchivePathPolicy::universalName(atLimit, "two"), atLimit);
    EXPECT_NE(ArchivePathPolicy::universalName(atLimit + "x", "one"),
              ArchivePathPolicy::universalName(atLimit + "x", "two"));
}

TEST(ArchivePathPolicyTest, CompatibleExtractionPath) {
    const std::string longName = repeated("n", 251) + ".pdf";  // short enough to be valid
    const std::string inA =
        ArchivePathPolicy::compatibleExtractionPath("a/" + longName, Type::file);
    const std::string inB =
        ArchivePathPolicy::compatibleExtractionPath("b/" + longName, Type::file);
    EXPECT_EQ(inA, "a/" + repeated("n", 167) + "~" + tagOf("a/" + longName) + ".pdf");
    EXPECT_EQ(inB, "b/" + repeated("n", 167) + "~" + tagOf("b/" + longName) + ".pdf");
    EXPECT_NE(inA.substr(2), inB.substr(2));

    // A component's tag depends on what precedes it, never on what follows.
    const std::string longDir = repeated("d", 200);
    const std::string expectedDir = repeated("d", 171) + "~" + tagOf(longDir);
    EXPECT_EQ(ArchivePathPolicy::compatibleExtractionPath(longDir + "/x", Type::file),
              expectedDir + "/x");
    EXPECT_EQ(ArchivePathPolicy::compatibleExtractionPath(longDir + "/y/", Type::directory),
              expectedDir + "/y");

    EXPECT_EQ(ArchivePathPolicy::compatibleExtractionPath("aux/x/a:b?.txt", Type::file),
              "_aux/x/a_b_.txt");
    EXPECT_EQ(ArchivePathPolicy::compatibleExtractionPath("dir. ///", Type::directory), "dir");

    for (const std::string bad : {"a/../b", "C:/x", "a\\b", "/etc/passwd"}) {
        SCOPED_TRACE(bad);
        try {
            ArchivePathPolicy::compatibleExtractionPath(bad, Type::file);
            ADD_FAILURE() << "accepted";
        } catch (const ArchivePipelineError& error) {
            EXPECT_EQ(error, ArchivePipelineError::unsafePath(bad));
        }
    }
}

TEST(ArchivePathPolicyTest, CollisionKeys) {
    struct Case {
        std::string a;
        std::string b;
        bool collide;
    };
    const Case cases[] = {
        {"ReadMe.TXT", "readme.txt", true},
        {"dir/file", "dir/file2", false},
        {"Cafe\u0301/Menu.txt", "caf\u00E9/menu.txt", true},
        {"caf\u00E9", "cafe", false},                    // diacritics are not folded
        {"Stra\u00DFe.txt", "STRASSE.TXT", true},        // full case folding
        {"\u212A.txt", "k.txt", true},                   // Kelvin sign
        {"\u1112\u1161\u11AB.TXT", "\uD55C.txt", true},  // jamo against the syllable
        {"\u01F0\u0323", "J\u0323\u030C", true},         // fold then reorder marks
        {"\u03A3\u039F\u03A6\u0399\u0391", "\u03C3\u03BF\u03C6\u03B9\u03B1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.a) + " vs " + testing::PrintToString(c.b));
        EXPECT_EQ(ArchivePathPolicy::collisionKey(c.a) == ArchivePathPolicy::collisionKey(c.b),
                  c.collide);
    }
    EXPECT_EQ(ArchivePathPolicy::collisionKey("ReadMe.TXT"), "readme.txt");

    // Callers validate first; an ill-formed name still gets a well-formed key.
    const std::string key = ArchivePathPolicy::collisionKey("A\xFFZ");
    EXPECT_TRUE(Unicode::isValidUTF8(key));
    EXPECT_EQ(key, "a\uFFFDz");
}

}  // namespace
}  // namespace tolvane
