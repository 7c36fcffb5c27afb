// The recovery list folded and unfolded, with a row in each transfer state, the shared link, a
// list that could not be read, and the confirmation asked before a resume.

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>

#include "Tolvane/screenshots/GoogleSceneModel.h"
#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/DriveRecoveryView.h"
#include "core/drive/DriveTransferError.h"

namespace tolvane::screenshots {
namespace {

using Step = GoogleSceneModel::Step;
using Kind = GoogleConnectionModel::TransferState::Kind;
using Stage = DriveTransferProgress::Stage;

constexpr int kListWidth = 600;

std::vector<DriveRecoveryItem> samplePending() {
    return {
        {Uuid::random(), "거래처 납품자료.zip", 128'450'000, "uploading", DriveLinkRole::reader},
        {Uuid::random(),
         "2024년 하반기 서울 본사 디자인팀 최종 납품 원본 사진과 편집 파일 모음 - 검수 완료본.zip",
         4'294'967'296, "uploaded", DriveLinkRole::writer},
        {Uuid::random(), "회의록_3분기.zip", 52'000, "prepared", DriveLinkRole::reader},
    };
}

struct List {
    GoogleSceneModel* scene;
    DriveRecoveryView* view;
    QWidget* frame;
};

List list(bool unfold = true) {
    auto* scene = new GoogleSceneModel;
    scene->pending = samplePending();
    auto* view = new DriveRecoveryView(scene->google());
    view->setFixedWidth(kListWidth);
    auto* frame = onCanvas(view);
    scene->setParent(frame);
    scene->connectAccount();
    if (unfold) {
        for (auto* button : view->findChildren<QAbstractButton*>()) {
            if (button->isCheckable()) {
                button->setChecked(true);
            }
        }
    }
    return {scene, view, frame};
}

// Resumes the first pending transfer with the script and waits for the state.
QWidget* resumed(const Step& step, Kind until, bool cancel = false) {
    auto shown = list();
    shown.scene->resume = step;
    auto& google = shown.scene->google();
    google.resume(google.pendingTransfers().front(), std::nullopt);
    GoogleSceneModel::settle([&] {
        return google.transferState().kind == until &&
               (!step.progress || google.transferProgress() == step.progress);
    });
    if (cancel) {
        google.cancelTransfer();
    }
    return shown.frame;
}

// A resumed transfer that ended with its link; the link check fails when asked to.
QWidget* shared(bool failedCheck) {
    auto shown = list(false);
    shown.scene->pending.erase(shown.scene->pending.begin());
    auto& google = shown.scene->google();
    google.resume(google.pendingTransfers().front(), std::nullopt);
    shown.scene->resume = {};
    GoogleSceneModel::settle([&] { return google.transferState().kind == Kind::recoveryShared; });
    if (failedCheck) {
        shown.scene->linkFailure = std::make_exception_ptr(DriveTransferError::remoteDeleted());
        for (auto* button : shown.view->findChildren<QAbstractButton*>()) {
            if (button->text() == QStringLiteral("링크 복사")) {
                button->click();
            }
        }
        GoogleSceneModel::settle([&] {
            for (auto* label : shown.view->findChildren<QLabel*>()) {
                if (label->isVisible() &&
                    label->text().startsWith(QStringLiteral("링크 확인 실패"))) {
                    return true;
                }
            }
            return false;
        });
    }
    return shown.frame;
}

Scene scene(const char* name, std::function<QWidget*()> build) {
    return {QStringLiteral("drive-recovery-") + QLatin1String(name), std::move(build)};
}

const bool registered = registerScenes({
    scene("folded", [] { return list(false).frame; }),
    scene("unfolded", [] { return list().frame; }),
    scene("recovering",
          [] {
              return resumed(
                  {DriveTransferProgress{Stage::uploading, 67'108'864, 128'450'000}, {}, true},
                  Kind::recovering);
          }),
    scene("recovering-hashing",
          [] {
              return resumed({DriveTransferProgress{Stage::hashing, 0, 128'450'000}, {}, true},
                             Kind::recovering);
          }),
    scene("cancelling",
          [] {
              return resumed({std::nullopt, {}, true, true}, Kind::recovering, true);
          }),
    scene("needs-file",
          [] {
              return resumed(
                  {std::nullopt,
                   std::make_exception_ptr(DriveTransferError::archiveNeedsReselection()), false},
                  Kind::recoveryNeedsFile);
          }),
    scene("failed",
          [] {
              return resumed({std::nullopt,
                              std::make_exception_ptr(DriveTransferError::archiveChanged()), false},
                             Kind::recoveryFailed);
          }),
    scene("shared", [] { return shared(false); }),
    scene("link-check-failed", [] { return shared(true); }),
    scene("list-error",
          [] {
              auto* scene = new GoogleSceneModel;
              scene->listFailure = std::make_exception_ptr(DriveTransferError::corruptJournal());
              auto* view = new DriveRecoveryView(scene->google());
              view->setFixedWidth(kListWidth);
              auto* frame = onCanvas(view);
              scene->setParent(frame);
              scene->connectAccount();
              return frame;
          }),
    scene("confirmation",
          [] {
              return static_cast<QWidget*>(
                  DriveRecoveryView::makeConfirmation(samplePending()[1], nullptr));
          }),
});

}  // namespace
}  // namespace tolvane::screenshots
