#include "core/archive/ArchivePackProgress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Progress.h"

namespace tolvane {
namespace {

namespace Info = ArchiveProgressInfo;

// Packing weighs 70%, verifying 20%, hashing 9%; only finish() reaches the whole. The count never
// runs backwards, stays at a phase's end when more bytes come than it holds, and an empty phase is
// done at once. Without a total only bytes are counted; huge counts saturate.
TEST(ArchivePackProgressTest, PhasesWeighTheirBytesAndOnlyFinishReachesFull) {
    Progress progress;
    ArchivePackProgress pack(&progress, 1000);
    progress.setTotalUnitCount(ArchivePackProgress::totalUnits);
    const auto units = [&] { return progress.completedUnitCount(); };
    pack.advance(500);
    EXPECT_EQ(units(), 350'000);
    progress.setCompletedUnitCount(500'000);  // set elsewhere: never lowered
    pack.advance(100);
    EXPECT_EQ(units(), 500'000);
    pack.advance(900);
    EXPECT_EQ(units(), 700'000);
    pack.beginVerification(100);
    pack.advance(10);
    EXPECT_EQ(units(), 720'000);
    EXPECT_EQ(progress.userInfoText(Info::stageKey), "verifying");
    EXPECT_EQ(progress.userInfoNumber(Info::stageCompletedBytesKey), 10u);
    EXPECT_EQ(progress.userInfoNumber(Info::stageTotalBytesKey), 100u);
    pack.beginHashing(0);  // starts at its own start though verification fell short
    EXPECT_EQ(units(), 900'000);
    pack.advance(0);
    EXPECT_EQ(units(), 990'000);
    pack.finish();
    EXPECT_EQ(units(), 1'000'000);
    EXPECT_EQ(progress.userInfoText(Info::stageKey), "complete");

    Progress other;
    other.setTotalUnitCount(ArchivePackProgress::totalUnits);
    ArchivePackProgress unknown(&other, std::nullopt);
    unknown.advance(500);
    EXPECT_EQ(other.completedUnitCount(), 0);
    EXPECT_EQ(other.userInfoNumber(Info::stageCompletedBytesKey), 500u);
    ArchivePackProgress huge(&other, UINT64_MAX);
    huge.advance(UINT64_MAX - 1);
    huge.advance(10);
    EXPECT_EQ(other.userInfoNumber(Info::stageCompletedBytesKey), UINT64_MAX);
    EXPECT_EQ(other.completedUnitCount(), 700'000);
}

}  // namespace
}  // namespace tolvane
