#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMetaObject>
#include <QThread>
#include <QUrl>
#include <QWindow>

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>

#include "GoogleOAuthClient.h"
#include "Tolvane/model/GoogleSignInProvider.h"
#include "core/common/Cancellation.h"
#include "core/drive/URLSessionDriveHTTPTransport.h"

namespace tolvane {

namespace {

// Runs `work` on the GUI thread and waits for its result, but only until `stop` is requested:
// the GUI thread may be the one asking the worker to stop and waiting for it, so a worker never
// waits for the GUI thread unconditionally. A call still queued when the wait ends is skipped.
template <typename Work>
auto onGuiThread(Work work, std::stop_token stop) {
    using Result = decltype(work());
    QCoreApplication* const application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() == application->thread()) {
        if (stop.stop_requested()) {
            throw OperationCancelled();
        }
        return work();
    }
    struct Call {
        std::mutex mutex;
        std::condition_variable_any done;
        std::optional<Result> result;
        std::exception_ptr error;
        bool abandoned = false;
    };
    const auto call = std::make_shared<Call>();
    QMetaObject::invokeMethod(
        application,
        [call, work = std::move(work), stop]() mutable {
            {
                const std::lock_guard lock(call->mutex);
                if (call->abandoned || stop.stop_requested()) {
                    return;
                }
            }
            std::optional<Result> result;
            std::exception_ptr error;
            try {
                result.emplace(work());
            } catch (...) {
                error = std::current_exception();
            }
            const std::lock_guard lock(call->mutex);
            call->result = std::move(result);
            call->error = error;
            call->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(call->mutex);
    if (!call->done.wait(lock, stop, [&] { return call->result || call->error; })) {
        call->abandoned = true;
        throw OperationCancelled();
    }
    if (call->error) {
        std::rethrow_exception(call->error);
    }
    return std::move(*call->result);
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
    hooks.hasPresentingWindow = [](std::stop_token stop) {
        return onGuiThread(
            [] {
                return (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr &&
                        QGuiApplication::focusWindow() != nullptr) ||
                       visibleWindows() > 0;
            },
            std::move(stop));
    };
    hooks.visibleWindowCount = [](std::stop_token stop) {
        return onGuiThread(visibleWindows, std::move(stop));
    };
    hooks.openBrowser = [](const std::string& url, std::stop_token stop) {
        // The page opens only while the flow still wants it: a cancel that overtakes the call
        // on its way to the GUI thread leaves the browser alone.
        const bool opened = onGuiThread(
            [url] {
                return QDesktopServices::openUrl(QUrl::fromEncoded(QByteArray::fromStdString(url)));
            },
            stop);
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
