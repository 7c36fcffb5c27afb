#include "core/common/StrictJson.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace tolvane {
namespace {

using StrictJson::DecodeError;

TEST(StrictJsonTest, RefusesWhatCouldBeReadTwoWays) {
    const std::string deep = "{\"a\":" + std::string(100, '[');
    for (const std::string& text :
         {std::string("[]"), std::string("{\"a\":1}{\"b\":2}"), std::string("{\"a\":1,\"a\":2}"),
          std::string("{\"o\":{\"k\":1,\"k\":1}}"), std::string("{\"a\":\"\xff\"}"), deep}) {
        EXPECT_THROW(StrictJson::parseObject(text), DecodeError) << text;
    }
    const auto object = StrictJson::parseObject(
        R"({"u":18446744073709551615,"i":-9223372036854775808,"neg":-1,"f":1.0,"e":1e3,)"
        R"("s":"7","big":18446744073709551616,"small":70000,"null":null})");
    const StrictJson::ObjectReader r(object);
    EXPECT_EQ(r.integer<std::uint64_t>("u"), UINT64_MAX);
    EXPECT_EQ(r.integer<std::int64_t>("i"), INT64_MIN);
    EXPECT_EQ(r.optionalInteger<std::uint64_t>("null"), std::nullopt);  // null is absent
    const std::function<void()> refusals[] = {[&] { r.integer<std::int64_t>("u"); },
                                              [&] { r.integer<std::uint64_t>("neg"); },
                                              [&] { r.integer<std::uint64_t>("f"); },
                                              [&] { r.integer<std::int64_t>("e"); },
                                              [&] { r.integer<std::uint64_t>("s"); },
                                              [&] { r.integer<std::uint64_t>("big"); },
                                              [&] { r.integer<std::uint16_t>("small"); },
                                              [&] { r.integer<std::uint64_t>("null"); },
                                              [&] { r.optionalText("u"); },
                                              [&] { r.flag("s"); }};
    for (std::size_t i = 0; i < std::size(refusals); ++i) {
        EXPECT_THROW(refusals[i](), DecodeError) << i;
    }
}

TEST(StrictJsonTest, EncodeKeepsFieldOrderAndRefusesInvalidText) {
    StrictJson::OrderedValue value;
    value["zeta"] = 1;
    value["alpha"] = "line\nbreak";
    EXPECT_EQ(StrictJson::encode(value), R"({"zeta":1,"alpha":"line\nbreak"})");
    value["name"] = std::string("bad\xc3");
    EXPECT_THROW(StrictJson::encode(value), DecodeError);
}

}  // namespace
}  // namespace tolvane
