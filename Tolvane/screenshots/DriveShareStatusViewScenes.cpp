// The Drive panel of a finished job in every state it shows, at the result card's width.

#include <QFile>

#include "Tolvane/screenshots/GoogleSceneModel.h"
#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/DriveShareStatusView.h"
#include "Tolvane/ui/VeskaButton.h"
#include "core/drive/DriveTransferError.h"

namespace tolvane::screenshots {
namespace {

using Step = GoogleSceneModel::Step;
using Kind = GoogleConnectionModel::TransferState::Kind;
using Stage = DriveTransferProgress::Stage;

constexpr int kCardWidth = 560;

struct Panel {
    GoogleSceneModel* scene;
    DriveShareStatusView* view;
    QWidget* frame;
};

// Connects, packs and shares with the given script, and waits for the state.
Panel panel(const Step& step, Kind until, DriveLinkRole role = DriveLinkRole::reader) {
    auto* scene = new GoogleSceneModel;
    scene->share = step;
    scene->connectAccount();
    scene->packArchive();
    auto* view = new DriveShareStatusView(scene->job(), scene->google());
    view->setFixedWidth(kCardWidth);
    auto* frame = onCanvas(view);
    scene->setParent(frame);
    scene->google().shareVerifiedArchive(*scene->job().verifiedArchive(), role);
    GoogleSceneModel::settle([&] { return scene->google().transferState().kind == until; });
    return {scene, view, frame};
}

void press(QWidget& view, const QString& text) {
    for (auto* button : view.findChildren<VeskaButton*>()) {
        if (button->text() == text) {
            button->click();
        }
    }
}

QWidget* uploading(std::optional<DriveTransferProgress> progress) {
    auto shown = panel({progress, {}, true}, Kind::uploading);
    if (progress) {
        GoogleSceneModel::settle(
            [&] { return shown.scene->google().transferProgress() == progress; });
    }
    return shown.frame;
}

// How the link check of a shared panel went, if the scene presses "링크 복사".
enum class Check { none, copied, failed, running };

QWidget* shared(DriveLinkRole role, Check check) {
    auto shown = panel({}, Kind::shared, role);
    if (check == Check::failed) {
        shown.scene->linkFailure = std::make_exception_ptr(DriveTransferError::remoteDeleted());
    }
    if (check == Check::running) {
        shown.scene->holdLinkCheck = true;
        press(*shown.view, QStringLiteral("링크 복사"));
        GoogleSceneModel::settle([] { return true; });
    } else if (check != Check::none) {
        press(*shown.view, QStringLiteral("링크 복사"));
        // The check has ended once the copy button can be pressed again.
        GoogleSceneModel::settle([&] {
            for (auto* button : shown.view->findChildren<VeskaButton*>()) {
                if (button->text() == QStringLiteral("Drive에서 열기")) {
                    return button->isEnabled();
                }
            }
            return true;
        });
    }
    return shown.frame;
}

Scene scene(const char* name, std::function<QWidget*()> build) {
    return {QStringLiteral("drive-panel-") + QLatin1String(name), std::move(build)};
}

const bool registered = registerScenes({
    scene("preparing", [] { return uploading(std::nullopt); }),
    scene("uploading",
          [] {
              return uploading(DriveTransferProgress{Stage::uploading, 50'331'648, 128'450'000});
          }),
    scene("retrying",
          [] {
              return uploading(DriveTransferProgress{Stage::retrying, 50'331'648, 128'450'000});
          }),
    scene("cancelling",
          [] {
              auto shown = panel({std::nullopt, {}, true, true}, Kind::uploading);
              shown.scene->google().cancelTransfer();
              return shown.frame;
          }),
    scene("paused",
          [] {
              auto shown = panel({std::nullopt, {}, true}, Kind::uploading);
              shown.scene->google().cancelTransfer();
              GoogleSceneModel::settle(
                  [&] { return shown.scene->google().transferState().kind == Kind::paused; });
              return shown.frame;
          }),
    scene("paused-file-missing",
          [] {
              auto shown = panel({std::nullopt, {}, true}, Kind::uploading);
              QFile::remove(
                  QFile::decodeName(QByteArray::fromStdString(shown.scene->archivePath())));
              shown.scene->google().cancelTransfer();
              GoogleSceneModel::settle(
                  [&] { return shown.scene->google().transferState().kind == Kind::paused; });
              return shown.frame;
          }),
    scene("failed",
          [] {
              auto shown =
                  panel({std::nullopt,
                         std::make_exception_ptr(DriveTransferError::archiveChanged()), false},
                        Kind::failed);
              for (auto* toggle : shown.view->findChildren<QAbstractButton*>()) {
                  if (toggle->text() == QStringLiteral("오류 상세")) {
                      toggle->setChecked(true);
                  }
              }
              return shown.frame;
          }),
    scene("shared", [] { return shared(DriveLinkRole::reader, Check::none); }),
    scene("checking-link", [] { return shared(DriveLinkRole::reader, Check::running); }),
    scene("copied", [] { return shared(DriveLinkRole::writer, Check::copied); }),
    scene("link-check-failed", [] { return shared(DriveLinkRole::reader, Check::failed); }),
});

}  // namespace
}  // namespace tolvane::screenshots
