#include "core/common/Uuid.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

TEST(UuidTest, RandomIsVersion4InUpperCase) {
    const Uuid a = Uuid::random();
    const std::string text = a.text();
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << text;
    EXPECT_EQ(text.substr(14, 1), "4");
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
    EXPECT_EQ(Uuid::parse(text), a);
    EXPECT_NE(Uuid::random(), a);
}

TEST(UuidTest, ParseTakesEitherCaseInTheExactLayoutOnly) {
    const std::string good = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0";
    EXPECT_EQ(Uuid::parse("0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f0")->text(), good);
    for (const char* bad :
         {"", "0F1E2D3C4B5A49788695A4B3C2D1E0F0", "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F",
          "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F00", "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0FG",
          "{F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0", "0F1E2D3-C4B5A-4978-8695-A4B3C2D1E0F0"}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
}

}  // namespace
}  // namespace tolvane
