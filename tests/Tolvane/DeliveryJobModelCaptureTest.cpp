#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ModelTestSupport.h"
#include "core/archive/ArchivePipelineError.h"

namespace tolvane::test {
namespace {

using Kind = DeliveryJobModel::InputMode::Kind;
using Phase = DeliveryJobModel::Phase;

bool exists(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

TEST(DeliveryJobModelInputMode, ClassifiesBySelectionPathsOnly) {
    const QString oneAtATime =
        QStringLiteral("초기 버전은 ZIP 파일을 한 번에 하나씩 풀 수 있습니다.");
    const QString noMixing = QStringLiteral("ZIP과 일반 파일을 한 작업에 섞을 수 없습니다.");
    struct Row {
        std::vector<std::string> inputs;
        Kind kind;
        QString message;
    };
    const std::vector<Row> rows = {
        {{}, Kind::empty, {}},
        {{"/d/a.txt", "/d/folder/"}, Kind::files, {}},
        {{"/d/A.ZIP"}, Kind::singleArchive, {}},
        {{"/d/x.zip/"}, Kind::files, {}},  // a folder named like an archive
        {{"/d/.zip"}, Kind::files, {}},    // a hidden file, no extension
        {{"/d/a.zip", "/d/b.zip"}, Kind::invalid, oneAtATime},
        {{"/d/a.zip", "/d/folder/"}, Kind::invalid, noMixing},
        {{"/d/x.zip/", "/d/a.zip"}, Kind::invalid, noMixing},
    };
    for (const auto& row : rows) {
        const auto mode = DeliveryJobModel::inputModeOf(row.inputs);
        EXPECT_EQ(mode.kind, row.kind) << ::testing::PrintToString(row.inputs);
        EXPECT_EQ(mode.message, row.message) << ::testing::PrintToString(row.inputs);
    }
}

class DeliveryJobModelCapture : public ModelTest {};

TEST_F(DeliveryJobModelCapture, KeepsTheFirstFormOfEachPathAndRefusesChangesWhileBusy) {
    auto capture = select({"/data/dir/", "/data/./dir", "/data/dir//", "/data/file"});
    EXPECT_EQ(model->inputURLs(), (std::vector<std::string>{"/data/dir/", "/data/file"}));
    EXPECT_EQ(capture->sources, model->inputURLs());

    // A capture is running: the selection stays as it is and nothing starts.
    model->addInputs({"/data/other"});
    model->removeInput("/data/file");
    model->clearInputs();
    model->startPacking("/out/a.zip");
    EXPECT_EQ(model->inputURLs().size(), 2u);
    EXPECT_EQ(model->phase(), Phase::idle);

    capture->release();
    ASSERT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
    // Selecting the same items again after a good capture changes nothing.
    model->addInputs({"/data/dir"});
    EXPECT_TRUE(model->inputSnapshot().has_value());
    EXPECT_EQ(backend->waitingCalls(), 0u);

    // Removing an input discards the snapshot and captures the rest; removing the last leaves
    // nothing to capture.
    const std::string manifest = capture->path;
    model->removeInput("/data/dir/");
    EXPECT_FALSE(exists(manifest));
    auto rest = backend->next();
    ASSERT_TRUE(rest);
    rest->release();
    ASSERT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
    model->removeInput("/data/file");
    EXPECT_EQ(model->inputMode().kind, Kind::empty);
    EXPECT_FALSE(model->isCapturingInputSnapshot());
    EXPECT_FALSE(model->inputSnapshot().has_value());
    EXPECT_FALSE(exists(rest->path));
    EXPECT_FALSE(exists(rest->path + ".registry.sqlite-wal"));
}

TEST_F(DeliveryJobModelCapture, SuccessWritesIntoAPrivateFolderAndNewNamesEachTime) {
    auto capture = select({"/data/a"});
    EXPECT_TRUE(model->isBusy());
    EXPECT_TRUE(model->canCancel());
    EXPECT_EQ(capture->path.rfind(snapshotFolder() + "/selection-", 0), 0u) << capture->path;
    struct stat folder {};
    ASSERT_EQ(::lstat(snapshotFolder().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    capture->release();
    ASSERT_TRUE(eventually([&] { return !model->isCapturingInputSnapshot(); }));
    ASSERT_TRUE(model->inputSnapshot().has_value());
    EXPECT_EQ(model->inputSnapshot()->manifestURL, capture->path);
    EXPECT_TRUE(exists(capture->path));
    EXPECT_FALSE(model->canCancel());

    // A new selection discards the old snapshot's files and captures under a new name.
    auto second = select({"/data/b"});
    EXPECT_FALSE(exists(capture->path));
    EXPECT_NE(second->path, capture->path);
}

TEST_F(DeliveryJobModelCapture, FailureShowsTheMessageDeletesTheFilesAndCanBeRefreshed) {
    auto capture = select({"/data/a"});
    capture->release(std::make_exception_ptr(ArchivePipelineError::sourceChanged("a.txt")));
    ASSERT_TRUE(eventually([&] { return !model->isCapturingInputSnapshot(); }));
    ASSERT_TRUE(model->inputSnapshotError().has_value());
    EXPECT_TRUE(
        model->inputSnapshotError()->startsWith(QStringLiteral("처리 중 원본이 바뀌었습니다: ")));
    EXPECT_EQ(model->phase(), Phase::idle);
    EXPECT_FALSE(exists(capture->path));
    EXPECT_FALSE(exists(capture->path + ".registry.sqlite-wal"));
    EXPECT_TRUE(model->canRefreshInputs());

    // Adding the same file again checks it again; so does the refresh.
    model->addInputs({"/data/a"});
    auto again = backend->next();
    ASSERT_TRUE(again);
    EXPECT_FALSE(model->inputSnapshotError().has_value());
    again->release(std::make_exception_ptr(std::system_error(EACCES, std::generic_category())));
    ASSERT_TRUE(eventually([&] { return model->canRefreshInputs(); }));
    EXPECT_EQ(*model->inputSnapshotError(),
              QString::fromStdString(std::generic_category().message(EACCES)));
    model->refreshInputs();
    auto third = backend->next();
    ASSERT_TRUE(third);
    third->release();
    EXPECT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
}

TEST_F(DeliveryJobModelCapture, CancelStopsTheCaptureWithoutAMessage) {
    for (const bool captureFinishesAnyway : {false, true}) {
        auto capture = select({"/data/a"});
        model->cancel();
        EXPECT_TRUE(capture->progress->isCancelled());
        EXPECT_TRUE(capture->stop.stop_requested());
        capture->release(captureFinishesAnyway
                             ? nullptr
                             : std::make_exception_ptr(ArchivePipelineError::cancelled()));
        ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));
        EXPECT_EQ(model->phase(), Phase::cancelled);
        EXPECT_FALSE(model->inputSnapshot().has_value());
        EXPECT_FALSE(model->inputSnapshotError().has_value());
        EXPECT_FALSE(exists(capture->path));
        EXPECT_TRUE(model->canRefreshInputs());
        model->clearInputs();
    }
}

TEST_F(DeliveryJobModelCapture, AnOutdatedCaptureOnlyDeletesItsFiles) {
    auto outdated = select({"/data/a"});
    DeliveryJobModelTestPeer::restartCapture(*model);
    EXPECT_TRUE(outdated->progress->isCancelled());
    auto current = backend->next();
    ASSERT_TRUE(current);

    outdated->release();  // finished before it saw the cancellation
    ASSERT_TRUE(eventually([&] { return !exists(outdated->path); }));
    EXPECT_TRUE(model->isCapturingInputSnapshot());
    EXPECT_EQ(model->phase(), Phase::idle);

    current->release();
    ASSERT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
    EXPECT_EQ(model->inputSnapshot()->manifestURL, current->path);
}

TEST_F(DeliveryJobModelCapture, FilesAreDeletedWhenTheModelIsGone) {
    for (const bool fails : {false, true}) {
        auto capture = select({"/data/a"});
        model.reset();
        capture->release(fails ? std::make_exception_ptr(ArchivePipelineError::noInputs())
                               : nullptr);
        EXPECT_TRUE(eventually([&] { return !exists(capture->path); }));
        EXPECT_FALSE(exists(capture->path + ".registry.sqlite-wal"));
        model = std::make_unique<DeliveryJobModel>(backend, root.path());
    }
}

TEST_F(DeliveryJobModelCapture, AFolderThatIsNotCertainlyOursFailsTheCapture) {
    const std::string application = TemporaryFolder::applicationFolder(root.path());
    ASSERT_EQ(::mkdir(application.c_str(), 0755), 0);
    model->addInputs({"/data/a"});
    ASSERT_TRUE(eventually([&] { return !model->isCapturingInputSnapshot(); }));
    ASSERT_TRUE(model->inputSnapshotError().has_value());
    EXPECT_TRUE(
        model->inputSnapshotError()->contains(QStringLiteral("could not create input snapshot")))
        << model->inputSnapshotError()->toStdString();
    EXPECT_EQ(backend->waitingCalls(), 0u);
    EXPECT_FALSE(exists(application + "/InputSnapshots"));
}

}  // namespace
}  // namespace tolvane::test
