#include "Tolvane/app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QLockFile>
#include <QUrl>

#include <memory>
#include <optional>

#include "Tolvane/model/TemporaryFolder.h"

namespace tolvane {

namespace {

const QString socketName = QStringLiteral("veska.socket");
const QString lockName = QStringLiteral("veska.lock");
// Only a guard against a running instance that has hung; a live one answers at once.
constexpr int connectTimeoutMs = 5000;

}  // namespace

SingleInstance::SingleInstance(QString folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

QString SingleInstance::defaultFolder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QDir(runtime).exists()) {
        return runtime;
    }
    const std::string folder = TemporaryFolder::applicationFolder(TemporaryFolder::systemRoot());
    try {
        TemporaryFolder::ensurePrivateFolder(folder);
    } catch (const std::exception&) {
        // claim() then finds no socket to make and the application runs on its own.
    }
    return QFile::decodeName(QByteArray::fromStdString(folder));
}

QStringList SingleInstance::urlArguments(const QStringList& arguments) {
    QStringList urls;
    for (const QString& argument : arguments) {
        const QUrl url(argument, QUrl::StrictMode);
        if (url.isValid() && !url.scheme().isEmpty() && argument.contains(QLatin1String("://"))) {
            urls << argument;
        }
    }
    return urls;
}

bool SingleInstance::claim(const QStringList& urls) {
    const QString path = folder_ + QLatin1Char('/') + socketName;
    QLockFile lock(folder_ + QLatin1Char('/') + lockName);
    if (!lock.tryLock(connectTimeoutMs)) {
        return true;
    }
    QLocalSocket running;
    running.connectToServer(path, QIODevice::WriteOnly);
    if (running.waitForConnected(connectTimeoutMs)) {
        running.write(urls.join(QLatin1Char('\n')).toUtf8());
        running.waitForBytesWritten(connectTimeoutMs);
        running.disconnectFromServer();
        if (running.state() != QLocalSocket::UnconnectedState) {
            running.waitForDisconnected(connectTimeoutMs);
        }
        return false;
    }
    // Nobody answers: what is left is the socket of an instance that has ended.
    QLocalServer::removeServer(path);
    server_.listen(path);
    return true;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        socket->setParent(this);
        // Emptied for good once a sender goes past the limit.
        auto received = std::make_shared<std::optional<QByteArray>>(QByteArray());
        auto read = [socket, received] {
            if (*received) {
                (*received)->append(socket->readAll());
                if ((*received)->size() > maximumMessageBytes) {
                    received->reset();
                    socket->abort();
                }
            }
        };
        connect(socket, &QLocalSocket::readyRead, socket, read);
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, received, read] {
            read();
            socket->deleteLater();
            if (!*received) {
                return;
            }
            const QString text = QString::fromUtf8(**received);
            emit launched(text.split(QLatin1Char('\n'), Qt::SkipEmptyParts));
        });
    }
}

}  // namespace tolvane
