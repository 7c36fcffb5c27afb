#include "Tolvane/app/TolvaneApp.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QLayout>
#include <QMainWindow>
#include <QMenuBar>
#include <QSettings>

#include <functional>
#include <utility>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/model/GoogleSignInProvider.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/VeskaAppearance.h"
#include "platform/signin/GoogleSignIn.h"
#include "platform/volumes/MountWatcher.h"

namespace tolvane {

namespace {

// A main window: closing the last one asks to quit instead of leaving a windowless process.
class VeskaWindow final : public QMainWindow {
public:
    VeskaWindow(std::function<bool()> isLast, std::function<void()> requestQuit)
        : isLast_(std::move(isLast)), requestQuit_(std::move(requestQuit)) {
        setAttribute(Qt::WA_DeleteOnClose);
        setWindowTitle(QStringLiteral("Veska"));
    }

protected:
    void closeEvent(QCloseEvent* event) override {
        if (isLast_()) {
            event->ignore();
            requestQuit_();
            return;
        }
        event->accept();
    }

private:
    std::function<bool()> isLast_;
    std::function<void()> requestQuit_;
};

TolvaneAppDelegate::Hooks quitHooks(TolvaneAppDelegate::Hooks hooks) {
    if (!hooks.confirm) {
        hooks.confirm = &TolvaneAppDelegate::runQuitAlert;
    }
    if (!hooks.terminate) {
        hooks.terminate = [] { QCoreApplication::exit(0); };
    }
    return hooks;
}

}  // namespace

TolvaneApp::TolvaneApp(QApplication& application, Environment environment, QObject* parent)
    : QObject(parent),
      application_(application),
      delegate_(quitHooks(std::move(environment.quit))),
      environment_(std::move(environment)),
      quitFromAnyWindow_([this] { requestQuit(); },
                         [this](const QWidget* window) { return isLastWindow(window); }) {
    // Quitting goes through the quit protocol only; the event loop must not end by itself.
    application_.setQuitOnLastWindowClosed(false);
    application_.installEventFilter(&quitFromAnyWindow_);
    application_.installNativeEventFilter(&quitFromAnyWindow_);
    appearance_ = std::make_unique<VeskaAppearance>(application_);
    appearance_->setSetting(QSettings().value(appearanceKey, QStringLiteral("dark")).toString());
}

TolvaneApp::~TolvaneApp() {
    for (const auto& window : windows_) {
        delete window.data();
    }
    externalVolumes_.reset();
    mountWatcher_.reset();
    googleModel_.reset();
    jobModel_.reset();
}

void TolvaneApp::createModels() {
    if (jobModel_) {
        return;
    }
    jobModel_ = environment_.makeJobModel ? environment_.makeJobModel()
                                          : std::make_unique<DeliveryJobModel>();
    googleModel_ = environment_.makeGoogleModel ? environment_.makeGoogleModel()
                                                : std::make_unique<GoogleConnectionModel>();
    // A volume just attached asks for the user's attention, as a new destination appeared.
    auto onMount = [this] {
        for (const auto& window : windows_) {
            if (window) {
                QApplication::alert(window);
                return;
            }
        }
    };
    if (environment_.makeExternalVolumes) {
        externalVolumes_ = environment_.makeExternalVolumes(std::move(onMount));
        return;
    }
    const VolumeSystemPaths paths;
    mountWatcher_ = std::make_unique<MountWatcher>(paths);
    ExternalVolumeStore::Hooks hooks =
        ExternalVolumeStore::systemHooks(paths, QDBusConnection::systemBus());
    hooks.onMount = std::move(onMount);
    externalVolumes_ = std::make_unique<ExternalVolumeStore>(*mountWatcher_, std::move(hooks));
}

int TolvaneApp::openWindowCount() const {
    return static_cast<int>(windows().size());
}

bool TolvaneApp::isLastWindow(const QWidget* window) const {
    const QList<QMainWindow*> open = windows();
    return open.size() == 1 && open.constFirst() == window;
}

QList<QMainWindow*> TolvaneApp::windows() const {
    QList<QMainWindow*> open;
    for (const auto& window : windows_) {
        if (window && window->isVisible()) {
            open.append(window);
        }
    }
    return open;
}

void TolvaneApp::openWindow() {
    createModels();
    auto* window =
        new VeskaWindow([this] { return openWindowCount() <= 1; }, [this] { requestQuit(); });
    auto* content = new ContentView(*jobModel_, *googleModel_, *externalVolumes_);
    window->setCentralWidget(content);
    // The content has a fixed size; the window follows it and cannot be resized.
    window->layout()->setSizeConstraint(QLayout::SetFixedSize);

    QMenu* file = window->menuBar()->addMenu(QStringLiteral("파일"));
    QAction* newWindow = file->addAction(QStringLiteral("새 창"), this, &TolvaneApp::openWindow);
    newWindow->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    // Closing the last window is a quit request, as with the title bar's button.
    QAction* close = file->addAction(QStringLiteral("창 닫기"), window, &QWidget::close);
    close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("Veska 종료"), this, &TolvaneApp::requestQuit);
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu* look = window->menuBar()->addMenu(QStringLiteral("모양"));
    const std::pair<const char*, QString> choices[] = {
        {"dark", QStringLiteral("다크")},
        {"light", QStringLiteral("라이트")},
        {"system", QStringLiteral("시스템 설정")},
    };
    for (const auto& [value, text] : choices) {
        look->addAction(text, this,
                        [this, value = QString::fromLatin1(value)] { setAppearance(value); });
    }

    QMenu* windowMenu = window->menuBar()->addMenu(QStringLiteral("창"));
    QAction* minimize =
        windowMenu->addAction(QStringLiteral("최소화"), window, &QWidget::showMinimized);
    minimize->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));

    windows_.removeAll(nullptr);
    windows_.append(window);
    window->show();
    window->raise();
    window->activateWindow();
    // The window itself holds the focus at first: activation would otherwise hand it to the
    // first button, which then shows a focus ring nobody asked for.
    content->setFocus(Qt::ActiveWindowFocusReason);
    windowShown();
}

void TolvaneApp::windowShown() {
    delegate_.setJobModel(jobModel_.get());
    delegate_.setGoogleModel(googleModel_.get());
    // Restores the stored Google session once per process; later windows find it done.
    googleModel_->restoreIfNeeded();
}

void TolvaneApp::activate() {
    for (auto it = windows_.crbegin(); it != windows_.crend(); ++it) {
        if (*it && (*it)->isVisible()) {
            (*it)->raise();
            (*it)->activateWindow();
            return;
        }
    }
    openWindow();
}

void TolvaneApp::openURLs(const QStringList& urls) {
    if (urls.isEmpty()) {
        return;
    }
    const auto signIn = GoogleSignInProvider::applicationSignIn();
    for (const QString& url : urls) {
        signIn->handle(url.toStdString());
    }
}

void TolvaneApp::setAppearance(const QString& value) {
    QSettings().setValue(appearanceKey, value);
    appearance_->setSetting(value);
}

void TolvaneApp::requestQuit() {
    // The quit alert itself is modal: a second Ctrl+Q while it asks must not answer it.
    if (delegate_.isAsking()) {
        return;
    }
    delegate_.requestQuit(&QuitFromAnyWindow::closeModalWindows);
}

}  // namespace tolvane
