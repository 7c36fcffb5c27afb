#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "core/common/HexString.h"
#include "core/common/PathText.h"
#include "core/common/StrictJson.h"
#include "core/common/Unicode.h"
#include "core/common/Uuid.h"
#include "support/Outcome.h"

namespace tolvane {
namespace {

using test::outcomeOf;

TEST(CommonValuesTest, DigestTextAndUuids) {
    // Only lower-case hex of the right length is a manifest's digest.
    const std::string digest(64, 'f');
    EXPECT_TRUE(HexString::isLowercaseSHA256(digest));
    for (const std::string& bad :
         {"F" + digest.substr(1), digest.substr(1), digest.substr(1) + "g"}) {
        EXPECT_FALSE(HexString::isLowercaseSHA256(bad)) << bad;
    }
    // The exact layout only; either case (the journal's test reads lower case).
    const std::string good = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0";
    for (const std::string& bad :
         {good.substr(1), good.substr(0, 35) + "G", "0F1E2D3C0" + good.substr(9)}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
}

// Naming and extensions show through the archive tests' tables; these rules only here.
TEST(CommonValuesTest, PathTextIsLexical) {
    using namespace PathText;
    std::string standard;
    // Only whole ".." components climb, never above the root; names are bytes, not text.
    for (const char* path : {"//", "/a//b/./c/", "/a/b/../../..", "/a/..b/c..", "a/../../b", "a/..",
                             "/\xFF\xFE/x/.."}) {
        standard += standardized(path) + "|";
    }
    EXPECT_EQ(standard, "/|/a/b/c|/|/a/..b/c..|../b|.|/\xFF\xFE|");
    EXPECT_EQ(deletingLastComponent("/a") + "|" + deletingLastComponent("a"), "/|");
    // What could break a line or turn text around is shown as its code point; Korean is not.
    EXPECT_EQ(escapedForMessage("a\tb\xC2\x85\u2028\u061C\u2067\U000E0001\xFF 한글.txt"),
              "a\\u{0009}b\\u{0085}\\u{2028}\\u{061C}\\u{2067}\\u{E0001}\uFFFD 한글.txt");
}

// ICU's own rules show through the path policy's tables; this is what the code does itself.
TEST(UnicodeTest, OwnDecoderAndByteOffsets) {
    std::string valid;
    for (const char* text :
         {"", "\x7F", "\xC2\x80", "\xED\x9F\xBF", "\xEE\x80\x80", "\xF0\x90\x80\x80",
          "\xF4\x8F\xBF\xBF", "\xC0\xAF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80",
          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\x80", "a\xC3", "\xE2\x82z", "\xC3\xA9\xA9"}) {
        valid += std::to_string(Unicode::isValidUTF8(text));
    }
    EXPECT_EQ(valid, "11111110000000000");
    // Each maximal ill-formed subpart becomes one replacement character.
    EXPECT_EQ(Unicode::toUTF32("a\xE0\x80z\xF0\x9F\x98z"), U"a\uFFFD\uFFFDz\uFFFDz");
    EXPECT_EQ(Unicode::fromUTF32(std::u32string{U'a', 0xD800, 0x110000}), "a\uFFFD\uFFFD");
    EXPECT_FALSE(Unicode::containsControlOrFormat("a\x85"));  // a stray byte, not a C1 control
    // Cut points are byte offsets, also past ill-formed bytes; a cluster ending at the limit stays.
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // 18 bytes
    EXPECT_EQ(Unicode::truncateToGraphemes("x\xFF\xC0\xAFq\u0301", 5), "x\xFF\xC0\xAF");
    EXPECT_EQ(Unicode::truncateToGraphemes("a" + family + "b", 19), "a" + family);
}

// The record readers' tables show types, ranges, null and top-level duplicates.
TEST(StrictJsonTest, RefusesWhatCouldBeReadTwoWays) {
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    for (const std::string& text :
         {std::string("{\"o\":{\"k\":1,\"k\":1}}"), "{\"a\":" + deep + "}"}) {
        EXPECT_THROW(StrictJson::parseObject(text), StrictJson::DecodeError) << text;
    }
}

// What every typed read of "a" and "b" gives, or the error that refused the text.
std::string readings(const std::function<StrictJson::ObjectReader()>& parse) {
    std::string out;
    const auto note = [&](const std::function<std::string()>& read) {
        try {
            out += read() + "|";
        } catch (const StrictJson::DecodeError& error) {
            out += std::string(error.what()) + "|";
        }
    };
    note([&] {
        const StrictJson::ObjectReader in = parse();
        for (const char* key : {"a", "b"}) {
            note([&] { return std::to_string(in.has(key)) + in.text(key); });
            note([&] { return std::to_string(in.flag(key)); });
            note([&] { return std::to_string(in.integer<std::uint8_t>(key)); });
            note([&] { return std::to_string(in.integer<std::int64_t>(key)); });
            note([&] { return std::to_string(in.integer<std::uint64_t>(key)); });
            note([&] { return std::to_string(in.number(key)); });
            note([&] { return std::to_string(in.object(key).has("x")); });
        }
        return std::string("read");
    });
    return out;
}

// Rows are read in place unless they need the tree; both ways must accept, refuse and read alike.
TEST(StrictJsonTest, InPlaceReadingAgreesWithTheTree) {
    // clang-format off
    for (const std::string text : {
             "{\"a\":\"x\",\"b\":1}", " {\"a\" : -0 ,\t\"b\":true}\r\n", "{}", "[]", "",
             "{\"a\":18446744073709551615,\"b\":-9223372036854775808}", "{\"a\":255,\"b\":256}",
             "{\"a\":18446744073709551616,\"b\":-9223372036854775809}", "{\"a\":01}",
             "{\"a\":1.0,\"b\":1e2}", "{\"a\":\"\\u00e9\",\"b\":\"\xC3\xA9\"}", "{\"a\":-}",
             "{\"a\":\"x\",\"a\":\"y\"}", "{\"a\":null,\"b\":\"\xFF\"}", "{\"a\":\"\x01\"}",
             "{\"a\":[1],\"b\":{\"x\":false}}", "\xEF\xBB\xBF{\"a\":1}", "{\"a\":1}x",
             "{\"a\":1,}", "{\"a\":tru}", "{\"a\":\"\xED\xA0\x80\"}", "{\"a\":\"\x7F\"}",
             "{\"a\":\"0123456789\\u0041\"}", "{\"b\":\"abcdefghij\x1Fklmnop\"}",
             "{\"b\":\"\x7F\x7F\x7F\x7F\x7F\x7F\x7F\x7F \"}",
             "{\"b\":\"abcdefg\xC3\xA9hijklmn\xFF\"}", "{\"a\":\"abcdefg\xC3\xA9hijk\"}"}) {
        // clang-format on
        std::optional<StrictJson::ParsedObject> parsed;
        StrictJson::Value tree;
        EXPECT_EQ(readings([&] { return parsed.emplace(text).reader(); }), readings([&] {
                      return StrictJson::ObjectReader(tree = StrictJson::parseObject(text));
                  }))
            << text;
    }
    // Written member by member, the bytes and the refusals are the tree's.
    for (const std::string text : {"\"\\/\b\f\n\r\t\x01\x1F\x7F \xC3\xA9 한", "\xFF", "a\xC3"}) {
        const auto written = [&] {
            return StrictJson::ObjectWriter().text("k", text).integer("i", INT64_MIN).finish();
        };
        const auto dumped = [&] { return StrictJson::encode({{"k", text}, {"i", INT64_MIN}}); };
        std::string fromWriter, fromTree;
        EXPECT_EQ(outcomeOf([&] { fromWriter = written(); }),
                  outcomeOf([&] { fromTree = dumped(); }));
        EXPECT_EQ(fromWriter, fromTree);
    }
}

}  // namespace
}  // namespace tolvane
