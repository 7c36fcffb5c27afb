#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTest>

namespace tolvane::test {

// A D-Bus daemon of the test's own, so fake services never meet the desktop's bus. Header-only:
// only the Qt test programs include it.
class PrivateBus {
public:
    PrivateBus() = default;
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    ~PrivateBus() {
        daemon_.kill();
        daemon_.waitForFinished(60000);
    }

    static bool available() {
        return !QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty();
    }

    // Starts the daemon and returns its address; empty when it did not come up.
    QString start() {
        daemon_.start(QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")),
                      {"--session", "--nofork", "--print-address=1"});
        if (!daemon_.waitForStarted(60000) ||
            !QTest::qWaitFor([this] { return daemon_.canReadLine(); }, 60000)) {
            return {};
        }
        return QString::fromUtf8(daemon_.readLine()).trimmed();
    }

private:
    QProcess daemon_;
};

}  // namespace tolvane::test
