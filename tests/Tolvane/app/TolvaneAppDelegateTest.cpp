#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <memory>
#include <utility>

#include "Tolvane/FakeJobBackend.h"
#include "Tolvane/app/TolvaneAppDelegate.h"
#include "Tolvane/ui/HeldDriveTransfer.h"
#include "core/archive/ArchiveProgressInfo.h"

namespace tolvane::test {
namespace {

using Reply = TolvaneAppDelegate::TerminateReply;

class QuitProtocolTest : public ModelTest {
protected:
    QuitProtocolTest() {
        delegate.setJobModel(model.get());
        delegate.setGoogleModel(drive.model.get());
    }

    // The next answer of the alert, and what it was asked.
    bool answer = false;
    std::vector<QuitAlertText> asked;
    int terminations = 0;
    HeldDriveTransfer drive{false};     // notices a cancellation only when released
    std::function<void()> whileAsking;  // runs once, while the next alert asks
    TolvaneAppDelegate delegate{{[this](const QuitAlertText& text) {
                                     asked.push_back(text);
                                     if (auto once = std::exchange(whileAsking, {})) {
                                         once();
                                     }
                                     return answer;
                                 },
                                 [this] { ++terminations; }}};
};

TEST_F(QuitProtocolTest, NothingRunningQuitsAtOnceWithoutAsking) {
    EXPECT_EQ(delegate.applicationShouldTerminate(), Reply::terminateNow);
    TolvaneAppDelegate windowless({[](const QuitAlertText&) { return false; }, {}});
    EXPECT_EQ(windowless.applicationShouldTerminate(), Reply::terminateNow);
    delegate.requestQuit();
    EXPECT_EQ(terminations, 1);
    EXPECT_TRUE(asked.empty());
}

TEST_F(QuitProtocolTest, KeepingWorkRefusesAndLeavesTheCaptureRunning) {
    auto capture = select({"/data/a"});
    delegate.requestQuit();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].message, QStringLiteral("작업이 진행 중입니다"));
    EXPECT_EQ(asked[0].informative, QStringLiteral("취소하고 앱을 종료할까요?"));
    EXPECT_EQ(asked[0].confirm, QStringLiteral("취소 후 종료"));
    EXPECT_EQ(asked[0].keepWorking, QStringLiteral("계속 작업"));
    EXPECT_FALSE(capture->stop.stop_requested() || delegate.terminationPending());
    EXPECT_FALSE(model->refusesNewWork());
    capture->release();
    ASSERT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
    EXPECT_EQ(terminations, 0);
}

TEST_F(QuitProtocolTest, ACommittingPackIsAwaitedAndASecondRequestIsRefused) {
    select({"/data/a"})->release();
    ASSERT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
    model->startPacking(root.file("out.zip"));
    auto pack = backend->next();
    pack->progress->setUserInfo(ArchiveProgressInfo::stageKey,
                                std::string(ArchiveProgressInfo::Stage::committing));
    ASSERT_TRUE(eventually([&] { return !model->canCancel(); }));

    answer = true;
    EXPECT_EQ(delegate.applicationShouldTerminate(), Reply::terminateLater);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].message, QStringLiteral("결과를 마무리하고 있습니다"));
    EXPECT_EQ(asked[0].informative,
              QStringLiteral("결과 저장이 시작되었습니다. 작업을 마친 뒤 앱을 종료할까요?"));
    EXPECT_EQ(asked[0].confirm, QStringLiteral("완료 후 종료"));

    QCoreApplication::processEvents();
    EXPECT_EQ(delegate.applicationShouldTerminate(), Reply::terminateCancel);
    EXPECT_EQ(asked.size(), 1u);  // no second alert
    EXPECT_FALSE(pack->stop.stop_requested());
    // An upload started during the wait would be cut off by the exit: it is refused.
    drive.model->shareVerifiedArchive({Uuid::random(), "/archives/b.zip", 1, "cd"},
                                      DriveLinkRole::writer);
    EXPECT_FALSE(drive.model->hasActiveTransfer());
    EXPECT_EQ(terminations, 0);

    pack->release();
    ASSERT_TRUE(eventually([&] { return terminations == 1; }));
    EXPECT_EQ(model->phase(), DeliveryJobModel::Phase::complete);
    EXPECT_FALSE(delegate.terminationPending());
}

TEST_F(QuitProtocolTest, WhileWaitingForTheTransferNoNewWorkStarts) {
    drive.start();
    ASSERT_TRUE(drive.model->hasActiveTransfer());
    answer = true;
    delegate.requestQuit();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].confirm, QStringLiteral("취소 후 종료"));
    QCoreApplication::processEvents();

    // The window stays usable during the wait; what it would start is refused.
    model->addInputs({"/data/new"});
    EXPECT_TRUE(model->inputURLs().empty());
    EXPECT_FALSE(model->isBusy());
    EXPECT_EQ(terminations, 0);

    drive.release();
    ASSERT_TRUE(eventually([&] { return terminations == 1; }));
    EXPECT_FALSE(drive.model->hasActiveTransfer() || model->isBusy());
}

// A termination signal cannot ask anyone: the capture is cancelled and awaited, then the exit.
TEST_F(QuitProtocolTest, TheSystemsRequestCancelsAndWaitsWithoutAsking) {
    auto capture = select({"/data/a"});
    delegate.requestQuitWithoutAsking();
    EXPECT_TRUE(asked.empty());
    ASSERT_TRUE(eventually([&] { return capture->stop.stop_requested(); }));
    EXPECT_EQ(terminations, 0);
    capture->release();
    ASSERT_TRUE(eventually([&] { return terminations == 1; }));
    answer = false;
    delegate.requestQuit();  // the user is asked again after the signal's quit
    EXPECT_EQ(terminations, 2);
}

// A termination signal while the alert asks answers it for the user; a quit request meanwhile is
// refused without a second alert.
TEST_F(QuitProtocolTest, TheSystemsRequestWhileTheAlertAsksConfirmsTheQuit) {
    auto capture = select({"/data/a"});
    answer = false;
    whileAsking = [&] {
        EXPECT_TRUE(delegate.isAsking());
        EXPECT_EQ(delegate.applicationShouldTerminate(), Reply::terminateCancel);
        delegate.requestQuitWithoutAsking();
    };
    EXPECT_EQ(delegate.applicationShouldTerminate(), Reply::terminateLater);
    EXPECT_EQ(asked.size(), 1u);
    ASSERT_TRUE(eventually([&] { return capture->stop.stop_requested(); }));
    capture->release();
    ASSERT_TRUE(eventually([&] { return terminations == 1; }));
}

// The signal's answer goes to the quit alert itself, not to whatever modal window opened over it
// while it asked: that one stays open for its owner.
TEST_F(QuitProtocolTest, TheSystemsRequestAnswersTheAlertUnderAnotherModalWindow) {
    auto capture = select({"/data/a"});
    std::unique_ptr<QDialog> over;
    bool overOpenAfterwards = false;
    TolvaneAppDelegate real{{[&](const QuitAlertText& text) {
                                 QTimer::singleShot(0, [&] {
                                     over = std::make_unique<QDialog>();
                                     over->setWindowModality(Qt::ApplicationModal);
                                     over->show();
                                     real.requestQuitWithoutAsking();
                                     overOpenAfterwards = over->isVisible();
                                     // An alert left open fails the test instead of waiting.
                                     QTimer::singleShot(0, [] {
                                         for (QWidget* window : QApplication::topLevelWidgets()) {
                                             if (auto* box = qobject_cast<QMessageBox*>(window);
                                                 box != nullptr && box->isVisible()) {
                                                 ADD_FAILURE() << "the quit alert is still open";
                                                 box->reject();
                                             }
                                         }
                                     });
                                 });
                                 return TolvaneAppDelegate::runQuitAlert(text);
                             },
                             [this] { ++terminations; }}};
    real.setJobModel(model.get());
    EXPECT_EQ(real.applicationShouldTerminate(), Reply::terminateLater);
    EXPECT_TRUE(overOpenAfterwards);
    over.reset();
    ASSERT_TRUE(eventually([&] { return capture->stop.stop_requested(); }));
    capture->release();
    ASSERT_TRUE(eventually([&] { return terminations == 1; }));
}

}  // namespace
}  // namespace tolvane::test
