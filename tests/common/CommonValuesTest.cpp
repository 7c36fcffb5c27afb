#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stop_token>

#include "core/common/ByteCount.h"
#include "core/common/Cancellation.h"
#include "core/common/HexString.h"
#include "core/common/PathText.h"
#include "core/common/Progress.h"
#include "core/common/StrictJson.h"
#include "core/common/Unicode.h"
#include "core/common/Uuid.h"

namespace tolvane {
namespace {

TEST(CommonValuesTest, ByteCountsAtUnitAndRoundingBoundaries) {
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    std::string formatted;
    for (const std::int64_t bytes :
         {min, 999L, 1000L, 1499L, 1500L, 999'500L, 1'049'999L, 1'050'000L, 999'950'000L,
          1'005'000'000L, 1'234'567'890'123'456L, max}) {
        formatted += formatByteCount(bytes) + "|";
    }
    // 1000 KB is shown in the next unit.
    EXPECT_EQ(formatted,
              "0바이트|999바이트|1 KB|1 KB|2 KB|1 MB|1 MB|1.1 MB|1 GB|1.01 GB|1.23 PB|9.22 EB|");
}

TEST(CommonValuesTest, HexDigestsAndUuids) {
    const std::uint8_t bytes[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(HexString::encode(bytes), "00abff");
    const std::string digest(64, 'f');
    EXPECT_TRUE(HexString::isLowercaseSHA256(digest));
    for (const std::string& bad :
         {"F" + digest.substr(1), digest.substr(1), digest.substr(1) + "g"}) {
        EXPECT_FALSE(HexString::isLowercaseSHA256(bad)) << bad;
    }
    const Uuid random = Uuid::random();
    const std::string text = random.text();  // version 4
    EXPECT_EQ(text.substr(14, 1) + std::to_string(std::string("89AB").find(text[19]) < 4), "41");
    EXPECT_EQ(Uuid::parse(text), random);
    EXPECT_NE(Uuid::random(), random);
    const std::string good = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0";
    EXPECT_EQ(Uuid::parse("0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f0")->text(), good);
    for (const std::string& bad :
         {good.substr(1), good.substr(0, 35) + "G", "0F1E2D3C0" + good.substr(9)}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
}

TEST(CommonValuesTest, PathTextIsLexical) {
    using namespace PathText;
    std::string standard;
    // Only whole ".." components climb, never above the root; names are bytes, not text.
    for (const char* path : {"//", "/a//b/./c/", "/a/b/../../..", "/a/..b/c..", "a/../../b", "a/..",
                             "/\xFF\xFE/x/.."}) {
        standard += standardized(path) + "|";
    }
    EXPECT_EQ(standard, "/|/a/b/c|/|/a/..b/c..|../b|.|/\xFF\xFE|");
    const std::pair<std::string, std::string> cases[] = {
        {lastComponent("/a//b//") + lastComponent("///"), "b/"},
        {deletingLastComponent("/a") + "|" + deletingLastComponent("a"), "/|"},
        {appending("/a//", "/b") + appending("", "b") + appending("/a", ""), "/a/bb/a"},
        {pathExtension("archive.tar.gz") + pathExtension("/dir.d/file") +
             pathExtension(".profile") + pathExtension("notes."),
         "gz"},
        {deletingPathExtension("..profile") + deletingPathExtension("/\xED\x95\x9C.txt"),
         "./\xED\x95\x9C"}};
    for (const auto& [actual, expected] : cases) {
        EXPECT_EQ(actual, expected);
    }
}

TEST(CommonValuesTest, ProgressAndCancellation) {
    Progress progress;
    progress.setUserInfo("stage", std::string("packaging"));
    progress.setUserInfo("count", std::uint64_t{42});
    // A key holding the other kind of value reads as absent, never as a converted value.
    EXPECT_FALSE(progress.userInfoNumber("stage") || progress.userInfoText("count"));
    std::vector<double> fractions;
    for (const auto& [completed, total] :
         std::vector<std::pair<int, int>>{{5, 0}, {5, 10}, {20, 10}, {-3, 10}}) {
        progress.setCompletedUnitCount(completed);
        progress.setTotalUnitCount(total);
        fractions.push_back(progress.fractionCompleted());
    }
    EXPECT_EQ(fractions, (std::vector<double>{0.0, 0.5, 1.0, 0.0}));
    // Either the progress or the stop token cancels; both may be absent.
    std::stop_source source;
    EXPECT_FALSE(isCancelled(&progress, source.get_token()) || isCancelled(nullptr, {}));
    source.request_stop();
    EXPECT_THROW(throwIfCancelled(nullptr, source.get_token()), OperationCancelled);
    progress.cancel();
    EXPECT_TRUE(progress.snapshot().cancelled);
    EXPECT_THROW(throwIfCancelled(&progress, {}), OperationCancelled);
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

TEST(StrictJsonTest, RefusesWhatCouldBeReadTwoWays) {
    const std::string deep = "{\"a\":" + std::string(100, '[');
    for (const std::string& text :
         {std::string("[]"), std::string("{\"a\":1}{\"b\":2}"), std::string("{\"a\":1,\"a\":2}"),
          std::string("{\"o\":{\"k\":1,\"k\":1}}"), std::string("{\"a\":\"\xff\"}"), deep}) {
        EXPECT_THROW(StrictJson::parseObject(text), StrictJson::DecodeError) << text;
    }
    const auto object = StrictJson::parseObject(
        R"({"u":18446744073709551615,"i":-9223372036854775808,"neg":-1,"f":1.0,"e":1e3,)"
        R"("s":"7","big":18446744073709551616,"small":70000,"null":null})");
    const StrictJson::ObjectReader r(object);
    EXPECT_EQ(r.integer<std::uint64_t>("u"), UINT64_MAX);
    EXPECT_EQ(r.integer<std::int64_t>("i"), INT64_MIN);
    EXPECT_EQ(r.optionalInteger<std::uint64_t>("null"), std::nullopt);  // null is absent
    // Out of range, of another type, a number written as a fraction or with an exponent.
    for (const char* key : {"neg", "f", "s", "big", "null"}) {
        EXPECT_THROW(r.integer<std::uint64_t>(key), StrictJson::DecodeError) << key;
    }
    EXPECT_THROW(r.integer<std::int64_t>("u"), StrictJson::DecodeError);
    EXPECT_THROW(r.integer<std::int64_t>("e"), StrictJson::DecodeError);
    EXPECT_THROW(r.integer<std::uint16_t>("small"), StrictJson::DecodeError);
    EXPECT_THROW(r.optionalText("u"), StrictJson::DecodeError);
    EXPECT_THROW(r.flag("s"), StrictJson::DecodeError);
    // Encoding keeps the fields' order and refuses text that is not UTF-8.
    StrictJson::OrderedValue value;
    value["zeta"] = 1;
    value["alpha"] = "line\nbreak";
    EXPECT_EQ(StrictJson::encode(value), R"({"zeta":1,"alpha":"line\nbreak"})");
    value["name"] = std::string("bad\xc3");
    EXPECT_THROW(StrictJson::encode(value), StrictJson::DecodeError);
}

}  // namespace
}  // namespace tolvane
