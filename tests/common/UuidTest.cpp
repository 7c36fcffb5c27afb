#include <gtest/gtest.h>

#include <set>

#include "core/common/Uuid.h"

namespace tolvane {
namespace {

TEST(UuidTest, RandomIsVersion4UpperCaseAndRoundTrips) {
    std::set<Uuid> seen;
    for (int i = 0; i < 200; ++i) {
        const Uuid id = Uuid::random();
        const std::string text = id.text();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        for (const char c : text) {
            EXPECT_TRUE(c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << text;
        }
        EXPECT_EQ(Uuid::parse(text), id);
        EXPECT_TRUE(seen.insert(id).second);
    }
}

TEST(UuidTest, ParseIsStrict) {
    const std::string good = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0";
    ASSERT_TRUE(Uuid::parse(good));
    EXPECT_EQ(Uuid::parse("0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f0"), Uuid::parse(good));
    EXPECT_EQ(Uuid::parse(good)->text(), good);

    const char* bad[] = {
        "",
        "0F1E2D3C4B5A49788695A4B3C2D1E0F0",       // no dashes
        "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F",    // short
        "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F00",  // long
        "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0FG",   // not hex
        "{F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0",   // braces
        "0F1E2D3C+4B5A-4978-8695-A4B3C2D1E0F0",   // wrong separator
        "0F1E2D3-C4B5A-4978-8695-A4B3C2D1E0F0",   // dash misplaced
        " 0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F",   // blank
    };
    for (const char* text : bad) {
        EXPECT_FALSE(Uuid::parse(text)) << text;
    }
}

}  // namespace
}  // namespace tolvane
