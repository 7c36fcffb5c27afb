#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

namespace tolvane {

// One running application per user. The first launch listens on a local socket in the user's
// private runtime folder; a later launch hands its URL arguments to it there and ends. A lock
// file around the check-and-listen keeps two launches at the same moment from both listening.
class SingleInstance final : public QObject {
    Q_OBJECT

public:
    // What one connection may send; a user's URLs are far shorter.
    static constexpr qint64 maximumMessageBytes = 64 * 1024;

    // `folder` holds the socket and its lock; it must be private to the user.
    explicit SingleInstance(QString folder, QObject* parent = nullptr);

    // $XDG_RUNTIME_DIR when it is set and absolute, otherwise the application's private folder
    // under the temporary directory (created when missing).
    static QString defaultFolder();
    // The arguments that are URLs (a scheme and "://"), in their order.
    static QStringList urlArguments(const QStringList& arguments);

    // True when this process is now the running instance (also when no socket could be made:
    // the application then simply runs without the hand-off). False when a running instance
    // took `urls`; this process should end.
    bool claim(const QStringList& urls);

signals:
    // A later launch reached this instance, with its URLs (possibly none).
    void launched(const QStringList& urls);

private:
    void accept();

    QString folder_;
    QLocalServer server_;
};

}  // namespace tolvane
