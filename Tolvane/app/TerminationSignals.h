#pragma once

#include <QObject>

class QSocketNotifier;

namespace tolvane {

// SIGTERM, SIGINT and SIGHUP (logout, shutdown, a closed terminal) as a Qt signal on the GUI
// thread, so that the system's request to end goes through the quit protocol instead of cutting
// a job off. One instance per process.
class TerminationSignals final : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void requested();

private:
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace tolvane
