#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMetaObject>
#include <QThread>
#include <QUrl>
#include <QWindow>

#include <stdexcept>

#include "GoogleOAuthClient.h"
#include "Tolvane/model/GoogleSignInProvider.h"
#include "core/drive/URLSessionDriveHTTPTransport.h"

namespace tolvane {

namespace {

// Runs `work` on the GUI thread and waits for it; the callers are workers, which may wait on the
// GUI thread (never the other way round).
template <typename Work>
auto onGuiThread(Work work) {
    QCoreApplication* const application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() == application->thread()) {
        return work();
    }
    decltype(work()) result{};
    QMetaObject::invokeMethod(
        application, [&] { result = work(); }, Qt::BlockingQueuedConnection);
    return result;
}

long visibleWindows() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) {
        return 0;
    }
    const QWindowList windows = QGuiApplication::topLevelWindows();
    return std::count_if(windows.begin(), windows.end(),
                         [](const QWindow* window) { return window->isVisible(); });
}

}  // namespace

QVariant GoogleSignInProvider::applicationInfo(const QString& key) {
    const char* value = key == QStringLiteral("GIDClientID")       ? googleOAuthClientID
                        : key == QStringLiteral("GIDClientSecret") ? googleOAuthClientSecret
                                                                   : "";
    return *value == '\0' ? QVariant() : QVariant(QString::fromUtf8(value));
}

GoogleSignInProvider::Hooks GoogleSignInProvider::desktopHooks() {
    Hooks hooks;
    hooks.infoValue = &GoogleSignInProvider::applicationInfo;
    hooks.hasPresentingWindow = [] {
        return onGuiThread([] {
            return (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr &&
                    QGuiApplication::focusWindow() != nullptr) ||
                   visibleWindows() > 0;
        });
    };
    hooks.visibleWindowCount = [] { return onGuiThread(visibleWindows); };
    hooks.openBrowser = [](const std::string& url) {
        const bool opened = onGuiThread([&] {
            return QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url)));
        });
        if (!opened) {
            throw std::runtime_error("no browser took the sign-in page");
        }
    };
    return hooks;
}

std::shared_ptr<GoogleSignIn> GoogleSignInProvider::applicationSignIn() {
    // Made on first use; thread-safe by the rules of function statics.
    static const std::shared_ptr<GoogleSignIn> signIn = [] {
        GoogleSignInConfiguration configuration;
        configuration.clientID =
            applicationInfo(QStringLiteral("GIDClientID")).toString().toStdString();
        configuration.clientSecret =
            applicationInfo(QStringLiteral("GIDClientSecret")).toString().toStdString();
        return std::make_shared<GoogleSignIn>(std::move(configuration),
                                              std::make_shared<SecretServiceSessionStore>(),
                                              std::make_shared<URLSessionDriveHTTPTransport>());
    }();
    return signIn;
}

std::shared_ptr<GoogleSignInProvider> GoogleSignInProvider::forApplication() {
    return std::make_shared<GoogleSignInProvider>(applicationSignIn(), desktopHooks());
}

}  // namespace tolvane
