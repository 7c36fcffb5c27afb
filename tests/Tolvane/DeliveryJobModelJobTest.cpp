#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

#include "ModelTestSupport.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"

namespace tolvane::test {
namespace {

using Phase = DeliveryJobModel::Phase;
namespace Info = ArchiveProgressInfo;

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

TEST(DeliveryJobModelProgress, RunningFractionStaysBelowOne) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, double>> rows = {
        {nan, 0.0}, {-0.5, 0.0}, {0.5, 0.5}, {0.99, 0.99}, {1.0, 0.99}, {infinity, 0.99}};
    for (const auto& [given, shown] : rows) {
        EXPECT_EQ(DeliveryJobModel::runningFraction(given), shown) << given;
    }
}

class DeliveryJobModelJob : public ModelTest {
protected:
    // Starts a pack of a captured selection and returns the held pack call.
    std::shared_ptr<HeldCall> startPack() {
        selectReady({"/data/a", "/data/b/"});
        manifest = model->inputSnapshot()->manifestURL;
        model->startPacking(root.file("out.zip"));
        return backend->next();
    }

    std::string manifest;
};

TEST_F(DeliveryJobModelJob, SuccessShowsTheArchiveAndCompletesTheFraction) {
    auto pack = startPack();
    ASSERT_TRUE(pack);
    EXPECT_EQ(model->phase(), Phase::packing);
    EXPECT_FALSE(model->inputSnapshot().has_value());
    EXPECT_EQ(pack->snapshot->manifestURL, manifest);
    EXPECT_TRUE(exists(manifest));  // the job owns the files until it ends

    pack->progress->setTotalUnitCount(1'000'000);
    pack->progress->setCompletedUnitCount(1'000'000);
    pack->progress->setUserInfo(Info::stageKey, std::string(Info::Stage::hashing));
    ASSERT_TRUE(eventually([&] { return model->progressStage() == QStringLiteral("hashing"); }));
    EXPECT_EQ(model->progressFraction(), 0.99);
    EXPECT_EQ(model->progressTotalUnitCount(), 1'000'000);

    pack->release();
    ASSERT_TRUE(eventually([&] { return model->phase() == Phase::complete; }));
    EXPECT_EQ(model->progressFraction(), 1.0);
    EXPECT_EQ(model->progress()->completedUnitCount(), model->progress()->totalUnitCount());
    ASSERT_TRUE(model->verifiedArchive().has_value());
    EXPECT_EQ(model->verifiedArchive()->url, root.file("out.zip"));
    EXPECT_EQ(model->outputURL(), root.file("out.zip"));
    EXPECT_EQ(model->completedFileCount(), 3u);
    EXPECT_EQ(model->completedBytes(), 300u);
    EXPECT_FALSE(exists(manifest));
    EXPECT_FALSE(exists(manifest + ".registry.sqlite-wal"));
    // Packing again needs a new capture.
    model->startPacking(root.file("again.zip"));
    EXPECT_EQ(model->phase(), Phase::complete);
}

TEST_F(DeliveryJobModelJob, MirrorsIgnoreMistypedValuesAndTheFailureKeepsThem) {
    auto pack = startPack();
    ASSERT_TRUE(pack);
    pack->progress->setUserInfo(Info::stageKey, std::uint64_t{7});
    pack->progress->setUserInfo(Info::stageCompletedBytesKey, std::string("12"));
    pack->progress->setUserInfo(Info::scannedEntriesKey, std::uint64_t{9});
    pack->progress->setUserInfo(Info::stageTotalBytesKey, std::uint64_t{500});
    ASSERT_TRUE(eventually([&] { return model->progressTotalBytes() == 500; }));
    EXPECT_FALSE(model->progressStage().has_value());
    EXPECT_EQ(model->progressCompletedBytes(), 0u);
    EXPECT_EQ(model->scannedEntryCount(), 9u);
    EXPECT_TRUE(model->canCancel());

    pack->progress->setUserInfo(Info::cleanupWarningKey,
                                std::string("작업 폴더를 지우지 못했습니다."));
    pack->release(
        std::make_exception_ptr(std::system_error(ENOSPC, std::generic_category(), "write")));
    ASSERT_TRUE(eventually([&] { return model->phase() == Phase::failed; }));
    EXPECT_EQ(model->errorMessage(),
              QString::fromStdString(std::generic_category().message(ENOSPC)));
    EXPECT_EQ(model->cleanupWarning(), QStringLiteral("작업 폴더를 지우지 못했습니다."));
    EXPECT_EQ(model->progressTotalBytes(), 500u);
    EXPECT_FALSE(model->outputURL().has_value());
    EXPECT_FALSE(exists(manifest));
    EXPECT_TRUE(model->canRefreshInputs());
}

TEST_F(DeliveryJobModelJob, CancelBeforeCommittingEndsCancelledWhateverThePackThrows) {
    auto pack = startPack();
    ASSERT_TRUE(pack);
    pack->progress->setUserInfo(Info::stageKey, std::string(Info::Stage::packaging));
    ASSERT_TRUE(eventually([&] { return model->progressStage().has_value(); }));
    ASSERT_TRUE(model->canCancel());
    model->cancel();
    EXPECT_TRUE(pack->progress->isCancelled());
    EXPECT_TRUE(pack->stop.stop_requested());
    pack->progress->setUserInfo(Info::cleanupWarningKey, std::string("경고"));
    pack->release(std::make_exception_ptr(std::system_error(EIO, std::generic_category())));
    ASSERT_TRUE(eventually([&] { return model->phase() == Phase::cancelled; }));
    EXPECT_FALSE(model->errorMessage().has_value());
    EXPECT_EQ(model->cleanupWarning(), QStringLiteral("경고"));
    EXPECT_FALSE(exists(manifest));
    EXPECT_TRUE(model->canRefreshInputs());
}

TEST_F(DeliveryJobModelJob, ACommittingJobIsNotCancelledButAwaited) {
    auto pack = startPack();
    ASSERT_TRUE(pack);
    int canCancelSignals = 0;
    QObject::connect(model.get(), &DeliveryJobModel::canCancelChanged, [&] { ++canCancelSignals; });
    pack->progress->setUserInfo(Info::stageKey, std::string(Info::Stage::committing));
    ASSERT_TRUE(eventually([&] { return canCancelSignals == 1; }));
    EXPECT_FALSE(model->canCancel());

    model->cancel();
    std::optional<Phase> phaseWhenDone;
    model->cancelAndWaitForActiveJob([&] { phaseWhenDone = model->phase(); });
    EXPECT_FALSE(pack->progress->isCancelled());
    EXPECT_FALSE(pack->stop.stop_requested());
    QCoreApplication::processEvents();
    EXPECT_FALSE(phaseWhenDone.has_value());

    pack->release();
    ASSERT_TRUE(eventually([&] { return phaseWhenDone.has_value(); }));
    EXPECT_EQ(*phaseWhenDone, Phase::complete);

    // With nothing running the wait ends at once.
    bool done = false;
    model->cancelAndWaitForActiveJob([&] { done = true; });
    EXPECT_TRUE(done);
}

TEST_F(DeliveryJobModelJob, AwaitingACaptureCancelsIt) {
    auto capture = select({"/data/a"});
    bool done = false;
    model->cancelAndWaitForActiveJob([&] { done = true; });
    EXPECT_TRUE(capture->progress->isCancelled());
    capture->release(std::make_exception_ptr(ArchivePipelineError::cancelled()));
    ASSERT_TRUE(eventually([&] { return done; }));
    EXPECT_EQ(model->phase(), Phase::cancelled);
}

TEST_F(DeliveryJobModelJob, UnpackRunsOnlyForOneArchiveAndMayRunAgain) {
    model->addInputs({"/data/a.zip"});
    EXPECT_EQ(backend->waitingCalls(), 0u);  // nothing to capture for an archive
    model->startPacking(root.file("out.zip"));
    EXPECT_EQ(model->phase(), Phase::idle);

    for (int round = 0; round < 2; ++round) {
        model->startUnpacking(root.path());
        auto unpack = backend->next();
        ASSERT_TRUE(unpack);
        EXPECT_FALSE(model->outputURL().has_value());
        EXPECT_EQ(unpack->path, "/data/a.zip");
        unpack->release();
        ASSERT_TRUE(eventually([&] { return model->phase() == Phase::complete; }));
        EXPECT_EQ(model->outputURL(), root.path() + "/out");
        EXPECT_FALSE(model->verifiedArchive().has_value());
    }
}

}  // namespace
}  // namespace tolvane::test
