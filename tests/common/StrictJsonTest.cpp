#include <gtest/gtest.h>

#include <functional>

#include "core/common/StrictJson.h"

namespace tolvane {
namespace {

using StrictJson::DecodeError;
using StrictJson::ObjectReader;

TEST(StrictJsonTest, ParseRefusesWhatCouldBeReadTwoWays) {
    const char* bad[] = {
        "",
        "[]",
        "42",
        "{\"a\":1",
        "{\"a\":1}{\"b\":2}",
        "{\"a\":1,\"a\":2}",          // duplicate key
        "{\"o\":{\"k\":1,\"k\":1}}",  // duplicate inside a nested object
        "{\"a\":\"\xff\"}",           // invalid UTF-8
        "{\"a\":1} // comment",
    };
    for (const char* text : bad) {
        EXPECT_THROW(StrictJson::parseObject(text), DecodeError) << text;
    }
    std::string deep = "{\"a\":";
    for (int i = 0; i < 100; ++i) {
        deep += "[";
    }
    EXPECT_THROW(StrictJson::parseObject(deep), DecodeError);
    EXPECT_NO_THROW(StrictJson::parseObject("{\"a\":{\"a\":1},\"b\":{\"a\":2}} "));
}

TEST(StrictJsonTest, IntegersAreNeverConverted) {
    const auto object = StrictJson::parseObject(
        R"({"u":18446744073709551615,"i":-9223372036854775808,"neg":-1,"f":1.0,"e":1e3,)"
        R"("s":"7","b":true,"big":18446744073709551616,"small":70000,"null":null})");
    const ObjectReader r(object);
    EXPECT_EQ(r.integer<std::uint64_t>("u"), UINT64_MAX);
    EXPECT_EQ(r.integer<std::int64_t>("i"), INT64_MIN);
    EXPECT_EQ(r.integer<std::int64_t>("neg"), -1);

    struct Refusal {
        const char* key;
        std::function<void()> read;
    };
    const Refusal refusals[] = {
        {"u as signed", [&] { r.integer<std::int64_t>("u"); }},
        {"neg as unsigned", [&] { r.integer<std::uint64_t>("neg"); }},
        {"float", [&] { r.integer<std::uint64_t>("f"); }},
        {"exponent", [&] { r.integer<std::int64_t>("e"); }},
        {"string", [&] { r.integer<std::uint64_t>("s"); }},
        {"bool", [&] { r.integer<std::uint64_t>("b"); }},
        {"beyond 64 bits", [&] { r.integer<std::uint64_t>("big"); }},
        {"beyond 16 bits", [&] { r.integer<std::uint16_t>("small"); }},
        {"missing", [&] { r.integer<std::uint64_t>("absent"); }},
        {"null required", [&] { r.integer<std::uint64_t>("null"); }},
        {"number as text", [&] { r.text("u"); }},
        {"text as flag", [&] { r.flag("s"); }},
    };
    for (const Refusal& refusal : refusals) {
        EXPECT_THROW(refusal.read(), DecodeError) << refusal.key;
    }
    EXPECT_EQ(r.optionalInteger<std::uint64_t>("null"), std::nullopt);
    EXPECT_EQ(r.optionalText("absent"), std::nullopt);
    EXPECT_THROW(r.optionalText("u"), DecodeError);
    EXPECT_DOUBLE_EQ(r.number("f"), 1.0);
}

TEST(StrictJsonTest, EncodeKeepsFieldOrderOnOneLine) {
    StrictJson::OrderedValue value;
    value["zeta"] = 1;
    value["alpha"] = "line\nbreak";
    value["mid"] = true;
    EXPECT_EQ(StrictJson::encode(value), R"({"zeta":1,"alpha":"line\nbreak","mid":true})");

    StrictJson::OrderedValue invalid;
    invalid["name"] = std::string("bad\xc3");
    EXPECT_THROW(StrictJson::encode(invalid), DecodeError);
}

}  // namespace
}  // namespace tolvane
