#include "core/common/Unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

TEST(UnicodeTest, ValidUTF8IsStrictAndDecodingReplacesEachIllFormedSubpart) {
    for (const char* valid : {"", "\x7F", "\xC2\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                              "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(Unicode::isValidUTF8(valid)) << testing::PrintToString(valid);
    }
    for (const char* invalid :
         {"\xC0\xAF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
          "\xF5\x80\x80\x80", "\x80", "a\xC3", "\xE2\x82z", "\xC3\xA9\xA9"}) {
        EXPECT_FALSE(Unicode::isValidUTF8(invalid)) << testing::PrintToString(invalid);
    }
    EXPECT_EQ(Unicode::toUTF32("a\xE0\x80z"), U"a\uFFFD\uFFFDz");  // 80 cannot follow E0
    EXPECT_EQ(Unicode::toUTF32("\xF0\x9F\x98z"), U"\uFFFDz");      // one truncated sequence
    EXPECT_EQ(Unicode::fromUTF32(std::u32string{U'a', 0xD800, 0x110000}), "a\uFFFD\uFFFD");
    const std::string bad = "x\xFF\xC0\xAFq\u0301";
    for (const std::string& out :
         {Unicode::toNFC(bad), Unicode::foldCase(bad), Unicode::toUpper(bad)}) {
        EXPECT_TRUE(Unicode::isValidUTF8(out)) << testing::PrintToString(out);
    }
}

TEST(UnicodeTest, NormalisationCaseAndCategoriesUseNoLocale) {
    EXPECT_EQ(Unicode::toNFC("Cafe\u0301 \u1112\u1161\u11AB"), "Caf\u00E9 \uD55C");
    EXPECT_EQ(Unicode::foldCase("Stra\u00DFe Caf\u00C9 \u212A i\u0131"),
              "strasse caf\u00E9 k i\u0131");
    EXPECT_EQ(Unicode::toUpper("Stra\u00DFe i\u0131"), "STRASSE II");
    for (const char32_t scalar : {0x00, 0x1F, 0x7F, 0x9F, 0xAD, 0x200B, 0x202E, 0xFEFF, 0xE0001}) {
        EXPECT_TRUE(Unicode::isControlOrFormat(scalar)) << static_cast<unsigned>(scalar);
    }
    for (const char32_t scalar : {0x20, 0xA0, 0x2028, 0xFFFD, 0xD800, 0x110000}) {
        EXPECT_FALSE(Unicode::isControlOrFormat(scalar)) << static_cast<unsigned>(scalar);
    }
    EXPECT_TRUE(Unicode::containsControlOrFormat(std::string("a\0b", 3)));
    EXPECT_FALSE(Unicode::containsControlOrFormat("\uD55C\uAE00 name.txt"));
}

TEST(UnicodeTest, TruncationKeepsWholeGraphemeClusters) {
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // 18 bytes
    const std::string flags = "\U0001F1F0\U0001F1F7\U0001F1EF\U0001F1F5";     // two flags
    const std::string mark = "q\u0323\u0301";                                 // 5 bytes
    struct Case {
        std::string text;
        std::size_t maxBytes;
        std::string expected;
    };
    const Case cases[] = {{"abc", 2, "ab"},
                          {mark + mark, 9, mark},
                          {mark + "z", 4, ""},
                          {"a" + family + "b", 18, "a"},
                          {"a" + family, 19, "a" + family},
                          {flags, 15, flags.substr(0, 8)},
                          {"x\r\ny", 2, "x"},
                          {"x\xFF\xC0\xAFq\u0301", 5, "x\xFF\xC0\xAF"}};
    for (const Case& c : cases) {
        EXPECT_EQ(Unicode::truncateToGraphemes(c.text, c.maxBytes), c.expected)
            << testing::PrintToString(c.text) << " max " << c.maxBytes;
    }
}

}  // namespace
}  // namespace tolvane
