#include "core/common/ByteCount.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace tolvane {
namespace {

TEST(ByteCountTest, FormatsAtUnitAndRoundingBoundaries) {
    const std::pair<std::int64_t, std::string> cases[] = {
        {std::numeric_limits<std::int64_t>::min(), "0바이트"},
        {999, "999바이트"},
        {1000, "1 KB"},
        {1499, "1 KB"},
        {1500, "2 KB"},
        {999'500, "1 MB"},  // 1000 KB is shown in the next unit
        {1'049'999, "1 MB"},
        {1'050'000, "1.1 MB"},
        {999'950'000, "1 GB"},
        {1'005'000'000, "1.01 GB"},
        {4'294'967'295, "4.29 GB"},
        {1'234'567'890'123'456, "1.23 PB"},
        {std::numeric_limits<std::int64_t>::max(), "9.22 EB"}};
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(formatByteCount(bytes), expected) << bytes;
    }
}

}  // namespace
}  // namespace tolvane
