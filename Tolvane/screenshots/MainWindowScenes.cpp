// The main window empty, with the account sheet over it, and the quit alerts.

#include <QLabel>
#include <QPainter>

#include "Tolvane/app/TolvaneAppDelegate.h"
#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/screenshots/SceneWindow.h"
#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/GoogleConnectionView.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane::screenshots {
namespace {

// A window over models of its own that contact nothing: no volumes, a signed-out account.
ContentView* emptyWindow(GoogleAuthState state = GoogleAuthState::signedOut()) {
    auto* google = new GoogleConnectionModel();
    google->setState(std::move(state));
    return sceneWindow(new DeliveryJobModel(), google);
}

// The window with a sheet centred over it and the window dimmed behind, as the desktop shows a
// window-modal dialog; both drawn into one picture.
QWidget* withSheet(ContentView* view, QWidget* sheet) {
    view->ensurePolished();
    view->adjustSize();
    sheet->ensurePolished();
    sheet->adjustSize();
    QPixmap picture = view->grab();
    const QPixmap front = sheet->grab();
    {
        QPainter painter(&picture);
        QColor shade = VeskaTheme::canvas.in(*view);
        shade.setAlphaF(0.55);
        painter.fillRect(QRect(QPoint(), view->size()), shade);
        const QSize size = sheet->size();
        painter.drawPixmap(
            QPoint((view->width() - size.width()) / 2, (view->height() - size.height()) / 2),
            front);
    }
    auto* label = new QLabel;
    label->setPixmap(picture);
    label->setFixedSize(view->size());
    delete view;
    return label;
}

const bool registered = registerScenes({
    {QStringLiteral("window-empty"), [] { return emptyWindow(); }},
    {QStringLiteral("window-connected"),
     [] {
         return emptyWindow(
             GoogleAuthState::connected({"subject", std::string("minji.kim@example.com")}));
     }},
    {QStringLiteral("window-account-sheet"),
     [] {
         ContentView* view = emptyWindow();
         auto* google = view->findChild<GoogleConnectionModel*>();
         return withSheet(view, new GoogleConnectionView(*google, view));
     }},
    {QStringLiteral("quit-alert-running"),
     [] { return TolvaneAppDelegate::makeQuitAlert(QuitAlertText::forWork(true), nullptr); }},
    {QStringLiteral("quit-alert-committing"),
     [] { return TolvaneAppDelegate::makeQuitAlert(QuitAlertText::forWork(false), nullptr); }},
});

}  // namespace
}  // namespace tolvane::screenshots
