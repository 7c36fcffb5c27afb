#include <gtest/gtest.h>

#include "core/archive/ArchivePackProgress.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Progress.h"

namespace tolvane {
namespace {

namespace Info = ArchiveProgressInfo;

struct PackProgressFixture : ::testing::Test {
    Progress progress;

    // What pack does right after creating the weighting.
    ArchivePackProgress start(std::optional<std::uint64_t> total) {
        ArchivePackProgress pack(&progress, total);
        progress.setTotalUnitCount(ArchivePackProgress::totalUnits);
        progress.setCompletedUnitCount(0);
        return pack;
    }
    std::int64_t units() const { return progress.completedUnitCount(); }
    std::optional<std::uint64_t> completedBytes() const {
        return progress.userInfoNumber(Info::stageCompletedBytesKey);
    }
    std::optional<std::uint64_t> totalBytes() const {
        return progress.userInfoNumber(Info::stageTotalBytesKey);
    }
};

TEST_F(PackProgressFixture, WholePackNeverRunsBackwardsAndOnlyFinishReachesFull) {
    ArchivePackProgress pack = start(1000);
    std::int64_t last = 0;
    auto step = [&](std::uint64_t bytes) {
        pack.advance(bytes);
        EXPECT_GE(units(), last);
        last = units();
    };
    for (int i = 0; i < 10; ++i) {
        step(100);
    }
    EXPECT_EQ(units(), 700'000);

    pack.beginVerification(4000);
    EXPECT_EQ(progress.userInfoText(Info::stageKey), "verifying");
    EXPECT_EQ(units(), 700'000);
    EXPECT_EQ(completedBytes(), 0u);
    EXPECT_EQ(totalBytes(), 4000u);
    for (int i = 0; i < 3; ++i) {
        step(1000);
    }
    EXPECT_EQ(units(), 850'000);
    step(1000);
    EXPECT_EQ(units(), 900'000);

    pack.beginHashing(10);
    EXPECT_EQ(progress.userInfoText(Info::stageKey), "hashing");
    step(10);
    EXPECT_EQ(units(), 990'000);
    // More bytes than the phase holds: the count stays at the phase end, the bytes keep growing.
    step(5);
    EXPECT_EQ(units(), 990'000);
    EXPECT_EQ(completedBytes(), 15u);
    EXPECT_EQ(totalBytes(), 10u);

    pack.finish();
    EXPECT_EQ(units(), 1'000'000);
    EXPECT_EQ(progress.totalUnitCount(), 1'000'000);
    EXPECT_EQ(progress.userInfoText(Info::stageKey), "complete");
}

TEST_F(PackProgressFixture, PhaseBoundariesAndEmptyPhases) {
    ArchivePackProgress pack = start(0);
    // A phase of zero bytes is done at once.
    pack.advance(0);
    EXPECT_EQ(units(), 700'000);

    // Hashing starts at its own start even when verification fell short.
    pack.beginVerification(100);
    pack.advance(10);
    EXPECT_EQ(units(), 720'000);
    pack.beginHashing(0);
    EXPECT_EQ(units(), 900'000);
    pack.advance(0);
    EXPECT_EQ(units(), 990'000);
}

TEST_F(PackProgressFixture, UnknownTotalMovesBytesButNotUnits) {
    progress.setUserInfo(Info::stageTotalBytesKey, std::uint64_t{77});
    ArchivePackProgress pack = start(std::nullopt);
    pack.advance(500);
    EXPECT_EQ(units(), 0);
    EXPECT_EQ(completedBytes(), 500u);
    // An absent total leaves the value published earlier in place.
    EXPECT_EQ(totalBytes(), 77u);
}

TEST_F(PackProgressFixture, CountsSaturateInsteadOfWrapping) {
    ArchivePackProgress pack = start(UINT64_MAX);
    pack.advance(UINT64_MAX - 1);
    pack.advance(10);
    EXPECT_EQ(completedBytes(), UINT64_MAX);
    EXPECT_EQ(units(), 700'000);
    pack.advance(1);
    EXPECT_EQ(completedBytes(), UINT64_MAX);
}

TEST_F(PackProgressFixture, NeverLowersACountSetElsewhere) {
    ArchivePackProgress pack = start(1000);
    progress.setCompletedUnitCount(600'000);
    pack.advance(100);
    EXPECT_EQ(units(), 600'000);
}

TEST(PackProgressWithoutObject, OnlyUpdatesItsFields) {
    ArchivePackProgress pack(nullptr, 10);
    pack.advance(4);
    EXPECT_EQ(pack.completedBytes(), 4u);
    pack.beginVerification(8);
    EXPECT_EQ(pack.completedBytes(), 0u);
    EXPECT_EQ(pack.totalBytes(), 8u);
    pack.finish();
}

}  // namespace
}  // namespace tolvane
