// The main window empty, with the account sheet over it, with ten thousand inputs, and the quit
// alerts.

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QPainter>

#include <string>
#include <vector>

#include "Tolvane/app/TolvaneAppDelegate.h"
#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/screenshots/SceneWindow.h"
#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/GoogleConnectionView.h"
#include "Tolvane/ui/InputListView.h"
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

// Ten thousand photos, documents and folders of a year's work, the list scrolled to its middle:
// it looks like a list of four.
QWidget* tenThousandInputs() {
    auto* job = new DeliveryJobModel(std::make_shared<SceneBackend>(PackEnd::holdAtForty),
                                     QDir::tempPath().toStdString());
    ContentView* view = sceneWindow(job, new GoogleConnectionModel());
    const char* months[] = {"01월", "02월", "03월", "04월", "05월", "06월",
                            "07월", "08월", "09월", "10월", "11월", "12월"};
    std::vector<std::string> inputs;
    for (int i = 0; i < 10'000; ++i) {
        const std::string month = months[(i / 40) % 12];
        const std::string number = std::to_string(1000 + i);
        if (i % 9 == 4) {
            inputs.push_back("/home/minji/프로젝트/2024 " + month + " 현장 기록 " + number + "/");
        } else if (i % 5 == 2) {
            inputs.push_back("/home/minji/문서/" + month + " 회의록/주간 보고서 " + number +
                             ".docx");
        } else {
            inputs.push_back("/home/minji/사진/제주 워크숍 2024/" + month + "/IMG_" + number +
                             ".jpg");
        }
    }
    job->addInputs(inputs);
    view->show();
    const QDeadlineTimer deadline(10000);
    while (job->isBusy() && !deadline.hasExpired()) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    QApplication::processEvents();
    InputRowsView* rows = view->inputList()->rowsView();
    rows->scrollTo(rows->model()->index(5'000, 0), QAbstractItemView::PositionAtCenter);
    return view;
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
    {QStringLiteral("window-ten-thousand-inputs"), [] { return tenThousandInputs(); }},
    {QStringLiteral("quit-alert-running"),
     [] { return TolvaneAppDelegate::makeQuitAlert(QuitAlertText::forWork(true), nullptr); }},
    {QStringLiteral("quit-alert-committing"),
     [] { return TolvaneAppDelegate::makeQuitAlert(QuitAlertText::forWork(false), nullptr); }},
});

}  // namespace
}  // namespace tolvane::screenshots
