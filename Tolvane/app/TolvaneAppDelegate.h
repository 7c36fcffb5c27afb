#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"

class QMessageBox;
class QWidget;

namespace tolvane {

// What the alert says before quitting while work runs. `cancellable` is false only when the one
// thing running is a job that is already committing its result and will be let finish.
struct QuitAlertText {
    QString message;
    QString informative;
    QString confirm;  // the first button: quit once the work has ended
    QString keepWorking;

    static QuitAlertText forWork(bool cancellable);
};

// Guards the end of the application. With nothing running it quits at once; otherwise it asks,
// and after a confirmation it refuses every new job, capture, share and resume, cancels what may
// still be cancelled, waits until the job and the Drive transfer have ended (again and again while
// anything still runs) and only then lets the application end. There is no time-out: a job that
// is committing its result holds the quit until it has finished.
class TolvaneAppDelegate final : public QObject {
    Q_OBJECT

public:
    enum class TerminateReply { terminateNow, terminateCancel, terminateLater };

    struct Hooks {
        // Asks the user, modally; true for the first button.
        std::function<bool(const QuitAlertText&)> confirm;
        // Ends the application. Called by requestQuit() for an immediate quit, and after a
        // confirmed quit once nothing runs any more.
        std::function<void()> terminate;
    };

    explicit TolvaneAppDelegate(Hooks hooks, QObject* parent = nullptr);

    // Set by every window when it is shown. A model that is gone counts as idle.
    void setJobModel(DeliveryJobModel* model) { jobModel_ = model; }
    void setGoogleModel(GoogleConnectionModel* model) { googleModel_ = model; }

    bool terminationPending() const noexcept { return terminationPending_; }
    // The quit alert is open, waiting for the user's answer.
    bool isAsking() const noexcept { return asking_; }

    // Decides a quit request. After terminateLater, `terminate` runs once the work has ended.
    TerminateReply applicationShouldTerminate();
    // A quit request of the user (the quit item, closing the last window): terminates at once
    // when applicationShouldTerminate() says so. `goingAhead` runs when the quit goes ahead (at
    // once, or once the user confirmed), before anything ends; not when it is refused.
    void requestQuit(const std::function<void()>& goingAhead = {});
    // The system asks the program to end (a termination signal at logout or shutdown): nobody
    // can be asked, so it is taken as a confirmed quit, also when the alert is already asking.
    // Running work is cancelled where it may be and awaited, so a committing job still finishes its
    // result before the exit.
    void requestQuitWithoutAsking();

    // The warning alert with the two buttons, the first one the default; plain text.
    static QMessageBox* makeQuitAlert(const QuitAlertText& text, QWidget* parent);
    // Runs that alert modally over the active window.
    static bool runQuitAlert(const QuitAlertText& text);

private:
    static void finishWork(QPointer<DeliveryJobModel> job, QPointer<GoogleConnectionModel> google,
                           QPointer<TolvaneAppDelegate> delegate, std::function<void()> terminate);

    Hooks hooks_;
    QPointer<DeliveryJobModel> jobModel_;
    QPointer<GoogleConnectionModel> googleModel_;
    bool terminationPending_ = false;
    bool asking_ = false;
    // A termination signal arrived while the alert was asking.
    bool confirmedBySystem_ = false;
};

}  // namespace tolvane
