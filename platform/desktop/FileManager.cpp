#include "platform/desktop/FileManager.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFile>
#include <QPointer>
#include <QStringList>

#include "core/common/PathText.h"

namespace tolvane {

namespace {

// The freedesktop file-manager interface that Nautilus, Dolphin, Nemo, Thunar and Caja offer.
const QString kService = QStringLiteral("org.freedesktop.FileManager1");
const QString kObject = QStringLiteral("/org/freedesktop/FileManager1");

}  // namespace

QUrl FileManager::fileURL(const std::string& path) {
    return QUrl::fromLocalFile(QFile::decodeName(QByteArray::fromStdString(path)));
}

void FileManager::reveal(const std::string& path, QObject* context) {
    reveal(path, context, QDBusConnection::sessionBus(),
           [](const QUrl& url) { QDesktopServices::openUrl(url); });
}

void FileManager::reveal(const std::string& path, QObject* context, const QDBusConnection& bus,
                         OpenURL openFolder) {
    const QUrl folder = fileURL(PathText::deletingLastComponent(path));
    auto fallBack = [folder, openFolder = std::move(openFolder)] { openFolder(folder); };
    if (!bus.isConnected()) {
        fallBack();
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kObject, kService, QStringLiteral("ShowItems"));
    call << QStringList{QString::fromUtf8(fileURL(path).toEncoded())} << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [fallBack](QDBusPendingCallWatcher* finished) {
                         finished->deleteLater();
                         if (finished->isError()) {
                             fallBack();
                         }
                     });
}

}  // namespace tolvane
