#include "Tolvane/app/TolvaneAppDelegate.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <memory>
#include <utility>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"

namespace tolvane {

namespace {

constexpr int alertTextWidth = 400;

// The quit alert runQuitAlert() has open; used on the GUI thread only.
QPointer<QMessageBox> openQuitAlert;

}  // namespace

QuitAlertText QuitAlertText::forWork(bool cancellable) {
    if (cancellable) {
        return {QStringLiteral("작업이 진행 중입니다"), QStringLiteral("취소하고 앱을 종료할까요?"),
                QStringLiteral("취소 후 종료"), QStringLiteral("계속 작업")};
    }
    return {QStringLiteral("결과를 마무리하고 있습니다"),
            QStringLiteral("결과 저장이 시작되었습니다. 작업을 마친 뒤 앱을 종료할까요?"),
            QStringLiteral("완료 후 종료"), QStringLiteral("계속 작업")};
}

TolvaneAppDelegate::TolvaneAppDelegate(Hooks hooks, QObject* parent)
    : QObject(parent), hooks_(std::move(hooks)) {}

TolvaneAppDelegate::TerminateReply TolvaneAppDelegate::applicationShouldTerminate() {
    const QPointer<DeliveryJobModel> job = jobModel_;
    const QPointer<GoogleConnectionModel> google = googleModel_;
    const bool jobBusy = job && job->isBusy();
    const bool transferRunning = google && google->hasActiveTransfer();
    if (!jobBusy && !transferRunning) {
        return TerminateReply::terminateNow;
    }
    if (terminationPending_) {
        return TerminateReply::terminateCancel;
    }
    if (asking_) {
        return TerminateReply::terminateCancel;
    }
    const bool cancellable = transferRunning || (job && job->canCancel());
    asking_ = true;
    confirmedBySystem_ = false;
    const bool answered = hooks_.confirm && hooks_.confirm(QuitAlertText::forWork(cancellable));
    asking_ = false;
    const bool confirmed = answered || std::exchange(confirmedBySystem_, false);
    if (!confirmed) {
        return TerminateReply::terminateCancel;
    }
    terminationPending_ = true;
    // From here on nothing new may start: the window stays usable during the wait, and work
    // started now would be cut off by the exit.
    if (job) {
        job->refuseNewWork();
    }
    if (google) {
        google->refuseNewWork();
    }
    // The wait begins once this request has been answered, as the later reply expects.
    QMetaObject::invokeMethod(
        this,
        [this, job, google] {
            finishWork(job, google, QPointer<TolvaneAppDelegate>(this), hooks_.terminate);
        },
        Qt::QueuedConnection);
    return TerminateReply::terminateLater;
}

void TolvaneAppDelegate::finishWork(QPointer<DeliveryJobModel> job,
                                    QPointer<GoogleConnectionModel> google,
                                    QPointer<TolvaneAppDelegate> delegate,
                                    std::function<void()> terminate) {
    if (job) {
        job->cancel();
    }
    if (google) {
        google->cancelTransfer();
    }
    auto afterTransfer = [job, google, delegate, terminate] {
        // Something may have begun between the two waits (an outcome applied during the first
        // one can start the next step): wait again until nothing runs.
        if ((job && job->isBusy()) || (google && google->hasActiveTransfer())) {
            finishWork(job, google, delegate, terminate);
            return;
        }
        if (delegate) {
            delegate->terminationPending_ = false;
        }
        if (terminate) {
            terminate();
        }
    };
    auto afterJob = [google, afterTransfer = std::move(afterTransfer)] {
        if (google) {
            google->cancelAndWaitForActiveTransfer(afterTransfer);
        } else {
            afterTransfer();
        }
    };
    if (job) {
        job->cancelAndWaitForActiveJob(std::move(afterJob));
    } else {
        afterJob();
    }
}

void TolvaneAppDelegate::requestQuit(const std::function<void()>& goingAhead) {
    const TerminateReply reply = applicationShouldTerminate();
    if (reply == TerminateReply::terminateCancel) {
        return;
    }
    if (goingAhead) {
        goingAhead();
    }
    if (reply == TerminateReply::terminateNow && hooks_.terminate) {
        hooks_.terminate();
    }
}

void TolvaneAppDelegate::requestQuitWithoutAsking() {
    if (asking_) {
        // The alert open now is answered for the user: closing it ends its modal run with the
        // quit confirmed. Another modal window may have opened over it; that one stays.
        confirmedBySystem_ = true;
        if (openQuitAlert) {
            openQuitAlert->close();
        }
        return;
    }
    auto confirm = std::exchange(hooks_.confirm, [](const QuitAlertText&) { return true; });
    requestQuit();
    hooks_.confirm = std::move(confirm);
}

QMessageBox* TolvaneAppDelegate::makeQuitAlert(const QuitAlertText& text, QWidget* parent) {
    auto* alert = new QMessageBox(parent);
    alert->setIcon(QMessageBox::Warning);
    alert->setTextFormat(Qt::PlainText);
    alert->setWindowTitle(QStringLiteral("Veska"));
    alert->setText(text.message);
    alert->setInformativeText(text.informative);
    QPushButton* confirm = alert->addButton(text.confirm, QMessageBox::AcceptRole);
    alert->addButton(text.keepWorking, QMessageBox::RejectRole);
    alert->setDefaultButton(confirm);
    // The question is the headline; the sentence under it reads as one line, not broken after
    // every other word as the narrow default box would.
    if (auto* message = alert->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        QFont headline = message->font();
        headline.setBold(true);
        message->setFont(headline);
    }
    if (auto* grid = qobject_cast<QGridLayout*>(alert->layout())) {
        grid->addItem(new QSpacerItem(alertTextWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    return alert;
}

bool TolvaneAppDelegate::runQuitAlert(const QuitAlertText& text) {
    const std::unique_ptr<QMessageBox> alert(makeQuitAlert(text, QApplication::activeWindow()));
    openQuitAlert = alert.get();
    alert->exec();
    return alert->buttonRole(alert->clickedButton()) == QMessageBox::AcceptRole;
}

}  // namespace tolvane
