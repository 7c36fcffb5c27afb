#include "core/common/Progress.h"

#include <gtest/gtest.h>

#include <stop_token>

#include "core/common/Cancellation.h"

namespace tolvane {
namespace {

TEST(ProgressTest, UserInfoKeepsTypesApartAndTheFractionStaysInRange) {
    Progress progress;
    progress.setUserInfo("stage", std::string("packaging"));
    progress.setUserInfo("count", std::uint64_t{42});
    EXPECT_EQ(progress.userInfoText("stage"), "packaging");
    EXPECT_EQ(progress.snapshot().number("count"), 42u);
    // A key holding the other kind of value reads as absent, never as a converted value.
    EXPECT_EQ(progress.userInfoNumber("stage"), std::nullopt);
    EXPECT_EQ(progress.userInfoText("count"), std::nullopt);

    const std::pair<std::int64_t, std::int64_t> counts[] = {{5, 0}, {5, 10}, {20, 10}, {-3, 10}};
    std::vector<double> fractions;
    for (const auto& [completed, total] : counts) {
        progress.setCompletedUnitCount(completed);
        progress.setTotalUnitCount(total);
        fractions.push_back(progress.fractionCompleted());
    }
    EXPECT_EQ(fractions, (std::vector<double>{0.0, 0.5, 1.0, 0.0}));
}

TEST(CancellationTest, EitherSourceCancels) {
    Progress progress;
    std::stop_source source;
    EXPECT_NO_THROW(throwIfCancelled(&progress, source.get_token()));
    EXPECT_FALSE(isCancelled(nullptr, {}));
    source.request_stop();
    EXPECT_THROW(throwIfCancelled(nullptr, source.get_token()), OperationCancelled);
    progress.cancel();
    EXPECT_TRUE(progress.snapshot().cancelled);
    EXPECT_THROW(throwIfCancelled(&progress, {}), OperationCancelled);
}

}  // namespace
}  // namespace tolvane
