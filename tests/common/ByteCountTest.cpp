#include "core/common/ByteCount.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace tolvane {
namespace {

TEST(ByteCountTest, FormatsAtUnitAndRoundingBoundaries) {
    struct Case {
        std::int64_t bytes;
        std::string expected;
    };
    const Case cases[] = {
        {std::numeric_limits<std::int64_t>::min(), "0바이트"},
        {-1, "0바이트"},
        {0, "0바이트"},
        {1, "1바이트"},
        {999, "999바이트"},
        {1000, "1 KB"},
        {1499, "1 KB"},
        {1500, "2 KB"},
        {999'499, "999 KB"},
        // Rounds to 1000 KB, which is shown as the next unit.
        {999'500, "1 MB"},
        {1'000'000, "1 MB"},
        {1'049'999, "1 MB"},
        {1'050'000, "1.1 MB"},
        {16'749'999, "16.7 MB"},
        {16'750'000, "16.8 MB"},
        {16'777'216, "16.8 MB"},
        {999'949'999, "999.9 MB"},
        {999'950'000, "1 GB"},
        {1'004'999'999, "1 GB"},
        {1'005'000'000, "1.01 GB"},
        {1'050'000'000, "1.05 GB"},
        {1'500'000'000, "1.5 GB"},
        {4'294'967'295, "4.29 GB"},
        {4'295'000'000, "4.3 GB"},
        {1'000'000'000'000, "1 TB"},
        {1'234'567'890'123'456, "1.23 PB"},
        {999'995'000'000'000'000, "1 EB"},
        {std::numeric_limits<std::int64_t>::max(), "9.22 EB"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatByteCount(c.bytes), c.expected) << c.bytes;
    }
}

}  // namespace
}  // namespace tolvane
