#include <gtest/gtest.h>

#include <atomic>
#include <stop_token>
#include <thread>

#include "core/common/Cancellation.h"
#include "core/common/Log.h"
#include "core/common/Progress.h"

namespace tolvane {
namespace {

TEST(ProgressTest, UserInfoKeepsTypesApart) {
    Progress progress;
    progress.setUserInfo("stage", std::string("packaging"));
    progress.setUserInfo("count", std::uint64_t{42});
    EXPECT_EQ(progress.userInfoText("stage"), "packaging");
    EXPECT_EQ(progress.userInfoNumber("count"), 42u);
    // A key holding the other kind of value reads as absent, never as a converted value.
    EXPECT_EQ(progress.userInfoNumber("stage"), std::nullopt);
    EXPECT_EQ(progress.userInfoText("count"), std::nullopt);
    progress.setUserInfo("count", std::string("x"));
    EXPECT_EQ(progress.userInfoNumber("count"), std::nullopt);
    progress.removeUserInfo("count");
    EXPECT_FALSE(progress.userInfo("count"));
}

TEST(ProgressTest, FractionIsClampedAndSafeWithoutTotal) {
    Progress progress;
    EXPECT_EQ(progress.fractionCompleted(), 0.0);
    progress.setCompletedUnitCount(5);
    EXPECT_EQ(progress.fractionCompleted(), 0.0);
    progress.setTotalUnitCount(10);
    EXPECT_DOUBLE_EQ(progress.fractionCompleted(), 0.5);
    progress.setCompletedUnitCount(20);
    EXPECT_EQ(progress.fractionCompleted(), 1.0);
    progress.setCompletedUnitCount(-3);
    EXPECT_EQ(progress.fractionCompleted(), 0.0);
}

TEST(ProgressTest, SnapshotsStayConsistentWhileAWorkerWrites) {
    Progress progress;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (std::int64_t i = 1; i <= 20000; ++i) {
            progress.setUserInfo("n", static_cast<std::uint64_t>(i));
            progress.setCompletedUnitCount(i);
        }
        done = true;
    });
    std::uint64_t last = 0;
    while (!done) {
        const Progress::Snapshot snapshot = progress.snapshot();
        const std::uint64_t n = snapshot.number("n").value_or(0);
        EXPECT_GE(n, last);
        last = n;
    }
    worker.join();
    EXPECT_EQ(progress.completedUnitCount(), 20000);
}

TEST(CancellationTest, EitherSourceCancels) {
    Progress progress;
    std::stop_source source;
    EXPECT_FALSE(isCancelled(nullptr, {}));
    EXPECT_FALSE(isCancelled(&progress, source.get_token()));
    EXPECT_NO_THROW(throwIfCancelled(&progress, source.get_token()));

    source.request_stop();
    EXPECT_TRUE(isCancelled(nullptr, source.get_token()));
    EXPECT_THROW(throwIfCancelled(nullptr, source.get_token()), OperationCancelled);

    Progress other;
    other.cancel();
    EXPECT_TRUE(isCancelled(&other, {}));
    EXPECT_TRUE(other.snapshot().cancelled);
    EXPECT_THROW(throwIfCancelled(&other, {}), OperationCancelled);
}

class CapturingSink final : public Log::Sink {
public:
    void write(Log::Category category, std::string_view message) noexcept override {
        lines.emplace_back(std::string(Log::categoryName(category)) + ": " + std::string(message));
    }
    std::vector<std::string> lines;
};

TEST(LogTest, InjectedSinkReceivesLinesAndCanBeRemoved) {
    auto sink = std::make_shared<CapturingSink>();
    auto previous = Log::setSink(sink);
    Log::error(Log::Category::sourceChange, "sourceChanged stage=pack fields=size");
    Log::error(Log::Category::googleAuth, "signIn failed: domain code=-1");
    Log::setSink(previous);
    Log::error(Log::Category::sourceChange, "not captured");
    EXPECT_EQ(sink->lines,
              (std::vector<std::string>{"SourceChange: sourceChanged stage=pack fields=size",
                                        "GoogleAuth: signIn failed: domain code=-1"}));
}

}  // namespace
}  // namespace tolvane
