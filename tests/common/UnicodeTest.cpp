#include "core/common/Unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

std::string repeated(std::string_view piece, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

TEST(UnicodeTest, ValidUTF8IsStrict) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"\x7F", true},
        {"\xC2\x80", true},                              // U+0080, smallest two-byte form
        {"\xDF\xBF", true},                              // U+07FF
        {"\xE0\xA0\x80", true},                          // U+0800
        {"\xED\x9F\xBF", true},                          // U+D7FF, just below the surrogates
        {"\xEE\x80\x80", true},                          // U+E000, just above them
        {"\xEF\xBF\xBF", true},                          // U+FFFF
        {"\xF0\x90\x80\x80", true},                      // U+10000
        {"\xF4\x8F\xBF\xBF", true},                      // U+10FFFF
        {"\xEB\xB3\xB4\xEA\xB3\xA0\xEC\x84\x9C", true},  // Korean
        {"\xC0\x80", false},                             // overlong NUL
        {"\xC0\xAF", false},                             // overlong "/"
        {"\xE0\x9F\xBF", false},                         // overlong U+07FF
        {"\xF0\x8F\xBF\xBF", false},                     // overlong U+FFFF
        {"\xED\xA0\x80", false},                         // U+D800
        {"\xED\xBF\xBF", false},                         // U+DFFF
        {"\xF4\x90\x80\x80", false},                     // U+110000
        {"\xF5\x80\x80\x80", false},                     // lead byte beyond the range
        {"\x80", false},                                 // lone continuation byte
        {"a\xC3", false},                                // truncated at the end
        {"\xE2\x82z", false},                            // truncated before another character
        {"\xF0\x9F\x98", false},                         // three bytes of a four-byte emoji
        {"\xC3\xA9\xA9", false},  // stray continuation after a good character
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(Unicode::isValidUTF8(c.text), c.valid);
    }
}

TEST(UnicodeTest, DecodingReplacesEachMaximalIllFormedSubpart) {
    // E0 80: the 80 cannot follow E0, so E0 alone is one bad subpart and 80 another.
    EXPECT_EQ(Unicode::toUTF32("a\xE0\x80z"), U"a\uFFFD\uFFFDz");
    // A truncated sequence is one bad subpart however many bytes it has.
    EXPECT_EQ(Unicode::toUTF32("\xF0\x9F\x98z"), U"\uFFFDz");
    EXPECT_EQ(Unicode::toUTF32("\xED\xA0\x80"), U"\uFFFD\uFFFD\uFFFD");

    const std::u32string scalars = U"a\u00E9\uD55C\U0001F600";
    EXPECT_EQ(Unicode::toUTF32(Unicode::fromUTF32(scalars)), scalars);
    EXPECT_EQ(Unicode::fromUTF32(std::u32string{U'a', 0xD800, 0x110000}), "a\uFFFD\uFFFD");
}

TEST(UnicodeTest, NormalizationAndCaseMapping) {
    struct Case {
        std::string input;
        std::string nfc;
        std::string folded;
        std::string upper;
    };
    const Case cases[] = {
        {"Plain.TXT", "Plain.TXT", "plain.txt", "PLAIN.TXT"},
        {"Cafe\u0301", "Caf\u00E9", "cafe\u0301", "CAFE\u0301"},
        {"Caf\u00C9", "Caf\u00C9", "caf\u00E9", "CAF\u00C9"},  // no diacritic folding
        {"\u1112\u1161\u11AB", "\uD55C", "\u1112\u1161\u11AB", "\u1112\u1161\u11AB"},  // jamo
        {"Stra\u00DFe", "Stra\u00DFe", "strasse", "STRASSE"},  // full mappings
        {"\u212A", "K", "k", "\u212A"},                        // Kelvin sign
        {"i\u0131", "i\u0131", "i\u0131", "II"},               // no Turkic rules
        {"\u0130", "\u0130", "i\u0307", "\u0130"},
        {"\u03A3\u0391\u03A3", "\u03A3\u0391\u03A3", "\u03C3\u03B1\u03C3", "\u03A3\u0391\u03A3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(Unicode::toNFC(c.input), c.nfc);
        EXPECT_EQ(Unicode::foldCase(c.input), c.folded);
        EXPECT_EQ(Unicode::toUpper(c.input), c.upper);
    }
}

TEST(UnicodeTest, IllFormedInputGivesWellFormedOutput) {
    const std::string bad = "x\xFF\xC0\xAFq\u0301";
    for (const std::string& out :
         {Unicode::toNFC(bad), Unicode::foldCase(bad), Unicode::toUpper(bad),
          Unicode::fromUTF32(Unicode::toUTF32(bad))}) {
        EXPECT_TRUE(Unicode::isValidUTF8(out)) << testing::PrintToString(out);
    }
    // Truncation returns a prefix of what it was given and still keeps the mark with its base.
    EXPECT_EQ(Unicode::truncateToGraphemes(bad, 5), "x\xFF\xC0\xAF");
    EXPECT_EQ(Unicode::truncateToGraphemes(bad, 7), bad);
}

TEST(UnicodeTest, ControlAndFormatCategories) {
    struct Case {
        char32_t scalar;
        bool expected;
    };
    const Case cases[] = {
        {0x0000, true},  {0x0009, true},    {0x000A, true},      {0x001F, true},
        {0x007F, true},  {0x0085, true},    {0x009F, true},      {0x00AD, true},  // soft hyphen
        {0x200B, true},  {0x200E, true},    {0x200F, true},      {0x202E, true},  // RLO
        {0x2066, true},  {0xFEFF, true},    {0xE0001, true},     {'a', false},
        {' ', false},    {0x00A0, false},   {0x2028, false},     {0xFFFD, false},
        {0xD800, false}, {0x110000, false}, {0xFFFFFFFF, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<unsigned>(c.scalar));
        EXPECT_EQ(Unicode::isControlOrFormat(c.scalar), c.expected);
    }
    EXPECT_FALSE(Unicode::containsControlOrFormat("\uD55C\uAE00 name.txt"));
    EXPECT_TRUE(Unicode::containsControlOrFormat("name\u200F.txt"));
    EXPECT_TRUE(Unicode::containsControlOrFormat(std::string("a\0b", 3)));
    EXPECT_TRUE(Unicode::containsControlOrFormat("\xFF\t"));
}

TEST(UnicodeTest, TruncationKeepsWholeGraphemeClusters) {
    const std::string family =
        "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";  // 25 bytes
    const std::string korea = "\U0001F1F0\U0001F1F7";                  // 8 bytes
    const std::string japan = "\U0001F1EF\U0001F1F5";
    const std::string qAcuteDot = "q\u0323\u0301";  // 5 bytes
    struct Case {
        std::string text;
        std::size_t maxBytes;
        std::string expected;
    };
    const Case cases[] = {
        {"abc", 3, "abc"},
        {"abc", 2, "ab"},
        {"abc", 0, ""},
        {"", 0, ""},
        {repeated("\uD55C", 3), 8, repeated("\uD55C", 2)},
        {repeated(qAcuteDot, 3), 14, repeated(qAcuteDot, 2)},
        {repeated(qAcuteDot, 3), 15, repeated(qAcuteDot, 3)},
        {qAcuteDot + "z", 4, ""},
        {"a" + family + "b", 25, "a"},
        {"a" + family + "b", 26, "a" + family},
        {korea + japan, 15, korea},
        {korea + japan, 4, ""},
        {"x\r\ny", 2, "x"},                   // CR LF is one cluster
        {"\u1112\u1161\u11AB\u1100", 8, ""},  // conjoining jamo form one syllable cluster
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text) + " max " + std::to_string(c.maxBytes));
        EXPECT_EQ(Unicode::truncateToGraphemes(c.text, c.maxBytes), c.expected);
    }
}

}  // namespace
}  // namespace tolvane
