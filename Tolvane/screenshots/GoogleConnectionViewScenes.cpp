// The account sheet in every account state, with a long e-mail and with none, and the connected
// account's menu open.

#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QToolButton>

#include <algorithm>
#include <memory>

#include "Tolvane/screenshots/GoogleSceneModel.h"
#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/GoogleConnectionView.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane::screenshots {
namespace {

const GoogleIdentity sample{"sample", "jiwoo.kim@example.com"};

QWidget* sheet(GoogleAuthState state, std::optional<std::string> email = sample.email) {
    auto* scene = new GoogleSceneModel(std::move(email));
    // The restore runs first, so that showing the sheet does not replace the state shown.
    scene->connectAccount();
    scene->google().setState(std::move(state));
    auto* view = new GoogleConnectionView(scene->google(), nullptr);
    scene->setParent(view);
    return view;
}

// The connected sheet with its account menu open under the ellipsis. The menu is a window of its
// own, so it is drawn onto the picture of the sheet where it opens.
QWidget* accountMenuOpen() {
    std::unique_ptr<QWidget> shown(sheet(GoogleAuthState::connected(sample)));
    shown->show();
    settleLayout(*shown);
    auto* button = shown->findChild<QToolButton*>();
    QMenu* menu = button->menu();
    // Where the button opens it: under its right edge, reaching leftwards.
    const QPoint below(button->width() - menu->sizeHint().width(), button->height());
    menu->popup(button->mapToGlobal(below));
    settleLayout(*menu);
    const QPixmap sheetPicture = shown->grab();
    const QPixmap menuPicture = menu->grab();
    menu->hide();

    const QPoint at = button->mapTo(shown.get(), below);
    const QSize size(std::max(shown->width(), at.x() + menu->width()),
                     std::max(shown->height(), at.y() + menu->height()) + 16);
    const qreal ratio = sheetPicture.devicePixelRatio();
    QPixmap picture(size * ratio);
    picture.setDevicePixelRatio(ratio);
    picture.fill(VeskaTheme::canvas.in(*shown));
    QPainter painter(&picture);
    painter.drawPixmap(0, 0, sheetPicture);
    painter.drawPixmap(at, menuPicture);
    painter.end();

    auto* label = new QLabel;
    label->setPixmap(picture);
    label->setFixedSize(size);
    return label;
}

Scene scene(const char* name, std::function<QWidget*()> build) {
    return {QStringLiteral("google-sheet-") + QLatin1String(name), std::move(build)};
}

const bool registered = registerScenes({
    scene("restoring", [] { return sheet(GoogleAuthState::restoring()); }),
    scene("signed-out", [] { return sheet(GoogleAuthState::signedOut()); }),
    scene("authorizing", [] { return sheet(GoogleAuthState::authorizing()); }),
    scene("requesting-scope", [] { return sheet(GoogleAuthState::requestingScope(sample)); }),
    scene("connected", [] { return sheet(GoogleAuthState::connected(sample)); }),
    scene("connected-long-email",
          [] {
              return sheet(GoogleAuthState::connected(
                  {"sample", "seoul.headquarters.design.team.deliveries@example-company.co.kr"}));
          }),
    scene("connected-no-email",
          [] {
              return sheet(GoogleAuthState::connected({"sample", std::nullopt}));
          }),
    scene("account-menu", accountMenuOpen),
    scene("refreshing", [] { return sheet(GoogleAuthState::refreshing(sample)); }),
    scene("reauth-required", [] { return sheet(GoogleAuthState::reauthRequired(sample)); }),
    scene("signing-out", [] { return sheet(GoogleAuthState::signingOut()); }),
    scene("revoking-consent", [] { return sheet(GoogleAuthState::revokingConsent()); }),
    scene("cancelled", [] { return sheet(GoogleAuthState::cancelled()); }),
    scene("denied", [] { return sheet(GoogleAuthState::denied()); }),
    scene("failed-keyring",
          [] { return sheet(GoogleAuthState::failed(GoogleAuthFailure::keychainUnavailable())); }),
    scene("failed-configuration",
          [] { return sheet(GoogleAuthState::failed(GoogleAuthFailure::configurationMissing())); }),
    scene("failed-network",
          [] { return sheet(GoogleAuthState::failed(GoogleAuthFailure::unavailable())); }),
});

}  // namespace
}  // namespace tolvane::screenshots
