#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

#include "FakeJobBackend.h"
#include "Tolvane/model/InputURL.h"
#include "core/archive/ArchiveProgressInfo.h"

namespace tolvane::test {
namespace {

using Kind = DeliveryJobModel::InputMode::Kind;
using Phase = DeliveryJobModel::Phase;
namespace Info = ArchiveProgressInfo;

std::exception_ptr posixError(int error) {
    return std::make_exception_ptr(std::system_error(error, std::generic_category(), "op"));
}
QString posixText(int error) {
    return QString::fromStdString(std::strerror(error));
}

TEST(DeliveryJobModelRules, InputModeAndRunningFraction) {
    const QString one = QStringLiteral("초기 버전은 ZIP 파일을 한 번에 하나씩 풀 수 있습니다.");
    const QString mix = QStringLiteral("ZIP과 일반 파일을 한 작업에 섞을 수 없습니다.");
    const std::vector<std::tuple<std::vector<std::string>, Kind, QString>> modes = {
        {std::vector<std::string>{}, Kind::empty, {}},
        {{"/d/a.txt", "/d/folder/", "/d/.zip"}, Kind::files, {}},
        {{"/d/A.ZIP"}, Kind::singleArchive, {}},
        {{"/d/x.zip/"}, Kind::files, {}},  // a folder named like an archive
        {{"/d/a.zip", "/d/b.zip"}, Kind::invalid, one},
        {{"/d/a.zip", "/d/folder/"}, Kind::invalid, mix},
        {{"/d/x.zip/", "/d/a.zip"}, Kind::invalid, mix},
    };
    for (const auto& [inputs, kind, message] : modes) {
        const auto mode = DeliveryJobModel::inputModeOf(inputs);
        EXPECT_EQ(mode.kind, kind) << ::testing::PrintToString(inputs);
        EXPECT_EQ(mode.message, message) << ::testing::PrintToString(inputs);
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (const auto& [given, shown] : std::vector<std::pair<double, double>>{
             {NAN, 0.0}, {-0.5, 0.0}, {0.5, 0.5}, {1.0, 0.99}, {inf, 0.99}}) {
        EXPECT_EQ(DeliveryJobModel::runningFraction(given), shown) << given;
    }
}

using DeliveryJobModelCapture = ModelTest;

TEST_F(DeliveryJobModelCapture, SelectionKeepsFirstFormsAndIsFrozenWhileBusy) {
    auto capture = select({"/data/dir/", "/data/./dir", "/data/dir//", "/data/file"});
    EXPECT_EQ(model->inputURLs(), (std::vector<std::string>{"/data/dir/", "/data/file"}));
    EXPECT_EQ(capture->sources, model->inputURLs());
    EXPECT_TRUE(capture->path.starts_with(TemporaryFolder::applicationFolder(root.path()) +
                                          "/InputSnapshots/selection-"));
    model->addInputs({"/data/other"});
    model->removeInput("/data/file");
    model->clearInputs();
    model->startPacking(root.file("a.zip"));
    EXPECT_EQ(model->inputURLs().size(), 2u);
    EXPECT_EQ(model->phase(), Phase::idle);

    capture->release();
    ASSERT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
    model->addInputs({"/data/dir"});  // already there, and the capture succeeded: nothing
    EXPECT_FALSE(model->isCapturingInputSnapshot());
    model->clearInputs();
    EXPECT_EQ(model->inputMode().kind, Kind::empty);
    EXPECT_FALSE(exists(capture->path) || exists(capture->path + ".registry.sqlite-wal"));
}

TEST_F(DeliveryJobModelCapture, FailureIsShownFilesGoAndRefreshCapturesAgain) {
    auto capture = select({"/data/a"});
    capture->release(std::make_exception_ptr(ArchivePipelineError::sourceChanged("a.txt")));
    ASSERT_TRUE(eventually([&] { return model->canRefreshInputs(); }));
    EXPECT_TRUE(
        model->inputSnapshotError()->startsWith(QStringLiteral("처리 중 원본이 바뀌었습니다: ")));
    EXPECT_EQ(model->phase(), Phase::idle);
    EXPECT_FALSE(exists(capture->path) || exists(capture->path + ".registry.sqlite-wal"));

    model->refreshInputs();
    auto third = backend->next();
    ASSERT_TRUE(third);
    third->release();
    EXPECT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
}

TEST_F(DeliveryJobModelCapture, CancelEndsCancelledWithoutMessageOrFiles) {
    for (const bool finishesAnyway : {false, true}) {
        auto capture = select({"/data/a"});
        bool awaited = false;
        model->cancelAndWaitForActiveJob([&] { awaited = true; });
        EXPECT_TRUE(capture->progress->isCancelled() && capture->stop.stop_requested());
        capture->release(
            finishesAnyway ? nullptr : std::make_exception_ptr(ArchivePipelineError::cancelled()));
        ASSERT_TRUE(eventually([&] { return awaited; }));
        EXPECT_EQ(model->phase(), Phase::cancelled);
        EXPECT_FALSE(model->inputSnapshot() || model->inputSnapshotError() || model->isBusy());
        EXPECT_FALSE(exists(capture->path));
        EXPECT_TRUE(model->canRefreshInputs());
        model->clearInputs();
    }
}

TEST_F(DeliveryJobModelCapture, AnOutdatedOrOrphanedCaptureOnlyDeletesItsFiles) {
    auto outdated = select({"/data/a"});
    DeliveryJobModelTestPeer::restartCapture(*model);
    auto current = backend->next();
    ASSERT_TRUE(current);
    outdated->release();  // finished before it saw the cancellation
    ASSERT_TRUE(eventually([&] { return !exists(outdated->path); }));
    EXPECT_TRUE(model->isCapturingInputSnapshot());
    EXPECT_EQ(model->phase(), Phase::idle);

    model.reset();
    current->release();
    EXPECT_TRUE(eventually([&] { return !exists(current->path); }));
}

TEST_F(DeliveryJobModelCapture, ASnapshotFolderOpenToOthersFailsTheCapture) {
    const std::string folder = TemporaryFolder::applicationFolder(root.path());
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    model->addInputs({"/data/a"});
    ASSERT_TRUE(eventually([&] { return model->canRefreshInputs(); }));
    EXPECT_TRUE(
        model->inputSnapshotError()->contains(QStringLiteral("could not create input snapshot")));
}

class DeliveryJobModelJob : public ModelTest {
protected:
    std::shared_ptr<HeldCall> startPack() {
        select({"/data/a", "/data/b/"})->release();
        EXPECT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
        manifest = model->inputSnapshot()->manifestURL;
        model->startPacking(root.file("out.zip"));
        auto pack = backend->next();
        EXPECT_TRUE(pack && pack->snapshot && pack->snapshot->manifestURL == manifest);
        EXPECT_FALSE(model->inputSnapshot().has_value());
        EXPECT_TRUE(exists(manifest));  // the job owns it now
        return pack;
    }
    void setStage(HeldCall& call, std::string_view stage) {
        call.progress->setUserInfo(Info::stageKey, std::string(stage));
        ASSERT_TRUE(eventually([&] {
            return model->progressStage() == QString::fromUtf8(stage.data(), stage.size());
        }));
    }
    std::string manifest;
};

TEST_F(DeliveryJobModelJob, MirrorsAreClampedAndSuccessCompletesTheFraction) {
    auto pack = startPack();
    pack->progress->setUserInfo(Info::stageKey, std::uint64_t{7});
    pack->progress->setUserInfo(Info::stageCompletedBytesKey, std::string("12"));
    pack->progress->setUserInfo(Info::stageTotalBytesKey, std::uint64_t{500});
    ASSERT_TRUE(eventually([&] { return model->progressTotalBytes() == 500; }));
    EXPECT_FALSE(model->progressStage().has_value());
    EXPECT_EQ(model->progressCompletedBytes(), 0u);
    EXPECT_TRUE(model->canCancel());
    pack->progress->setTotalUnitCount(1'000'000);
    pack->progress->setCompletedUnitCount(1'000'000);
    setStage(*pack, Info::Stage::hashing);
    EXPECT_EQ(model->progressFraction(), 0.99);

    pack->progress->setUserInfo(Info::droppedAttributesWarningKey, std::string("속성"));
    pack->release();
    ASSERT_TRUE(eventually([&] { return model->phase() == Phase::complete; }));
    EXPECT_EQ(model->droppedAttributesWarning(), QStringLiteral("속성"));
    EXPECT_EQ(model->progressFraction(), 1.0);
    EXPECT_EQ(model->progress()->completedUnitCount(), 1'000'000);
    EXPECT_EQ(model->verifiedArchive()->url, root.file("out.zip"));
    EXPECT_EQ(model->completedBytes(), 300u);
    EXPECT_FALSE(exists(manifest) || exists(manifest + ".registry.sqlite-wal"));
    model->startPacking(root.file("again.zip"));  // needs a new capture
    EXPECT_EQ(model->phase(), Phase::complete);
}

TEST_F(DeliveryJobModelJob, FailureShowsItsMessageAndCancelHidesAnyError) {
    for (const bool cancelFirst : {false, true}) {
        auto pack = startPack();
        setStage(*pack, Info::Stage::packaging);
        if (cancelFirst) {
            model->cancel();
            EXPECT_TRUE(pack->progress->isCancelled() && pack->stop.stop_requested());
        }
        pack->progress->setUserInfo(Info::cleanupWarningKey, std::string("경고"));
        pack->release(posixError(ENOSPC));
        ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));
        EXPECT_EQ(model->phase(), cancelFirst ? Phase::cancelled : Phase::failed);
        EXPECT_EQ(model->errorMessage(),
                  cancelFirst ? std::nullopt : std::optional(posixText(ENOSPC)));
        EXPECT_EQ(model->cleanupWarning(), QStringLiteral("경고"));
        EXPECT_FALSE(model->outputURL().has_value() || exists(manifest));
        EXPECT_TRUE(model->canRefreshInputs());
        model->clearInputs();
    }
}

TEST_F(DeliveryJobModelJob, ACommittingJobIsAwaitedNotCancelled) {
    auto pack = startPack();
    int canCancelChanges = 0;
    QObject::connect(model.get(), &DeliveryJobModel::canCancelChanged, [&] { ++canCancelChanges; });
    setStage(*pack, Info::Stage::committing);
    EXPECT_EQ(canCancelChanges, 1);
    EXPECT_FALSE(model->canCancel());
    std::optional<Phase> phaseWhenDone;
    model->cancel();
    model->cancelAndWaitForActiveJob([&] { phaseWhenDone = model->phase(); });
    EXPECT_FALSE(pack->progress->isCancelled() || pack->stop.stop_requested());
    QCoreApplication::processEvents();
    EXPECT_FALSE(phaseWhenDone.has_value());
    pack->release();
    ASSERT_TRUE(eventually([&] { return phaseWhenDone.has_value(); }));
    EXPECT_EQ(*phaseWhenDone, Phase::complete);
    bool done = false;
    model->cancelAndWaitForActiveJob([&] { done = true; });  // nothing runs: at once
    EXPECT_TRUE(done);
}

// The model over the real pipeline: capture, pack, then unpack what was packed. The folder is
// named like an archive: only its trailing "/" keeps the selection one to pack.
TEST(DeliveryJobModelEndToEnd, PacksAndUnpacksASelection) {
    TempDir root;
    makeTree(root.path(), {{"in/", ""},
                           {"in/photos.zip/", ""},
                           {"in/photos.zip/a.txt", "첫 번째 파일"},
                           {"in/note.md", "# note"},
                           {"out/", ""}});
    DeliveryJobModel model(makeArchivePipelineBackend(), root.path());
    model.addInputs({InputURL::fromLocalPath(root.file("in/photos.zip")), root.file("in/note.md")});
    ASSERT_TRUE(eventually([&] { return !model.isBusy(); }));
    model.startPacking(root.file("out/delivery.zip"));
    ASSERT_TRUE(eventually([&] { return !model.isBusy(); }));
    ASSERT_EQ(model.phase(), Phase::complete) << model.errorMessage().value_or("").toStdString();
    EXPECT_TRUE(
        namesIn(TemporaryFolder::applicationFolder(root.path()) + "/InputSnapshots").empty());

    const std::string archive = *model.outputURL();
    model.clearInputs();
    model.addInputs({archive});
    model.startUnpacking(root.file("out"));
    ASSERT_TRUE(eventually([&] { return !model.isBusy(); }));
    ASSERT_EQ(model.phase(), Phase::complete) << model.errorMessage().value_or("").toStdString();
    EXPECT_EQ(
        treeOf(*model.outputURL()),
        (Tree{{"photos.zip/", ""}, {"photos.zip/a.txt", "첫 번째 파일"}, {"note.md", "# note"}}));
}

}  // namespace
}  // namespace tolvane::test
