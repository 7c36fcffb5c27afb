#include "Tolvane/model/GoogleConnectionModel.h"

#include <QMetaObject>
#include <QPointer>

#include <condition_variable>
#include <mutex>
#include <type_traits>

#include "Tolvane/model/GoogleSignInProvider.h"
#include "Tolvane/model/SecurityScopedAccessLease.h"
#include "core/common/Cancellation.h"
#include "core/common/ScopeExit.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/DriveTransferSteps.h"
#include "core/drive/FileDriveTransferJournal.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "core/drive/URLSessionDriveHTTPTransport.h"

namespace tolvane {

namespace {

using Kind = GoogleConnectionModel::TransferState::Kind;

constexpr std::int64_t driveChunkSize = 8 * 1024 * 1024;

const QString notConnectedMessage = QStringLiteral("Google Drive 계정을 먼저 연결해 주세요.");
const QString networkMessage = QStringLiteral("네트워크 연결을 확인하고 다시 시도해 주세요.");
const QString genericDriveMessage =
    QStringLiteral("Drive 작업을 마치지 못했습니다. 잠시 뒤 다시 시도해 주세요.");

// A copy of the error when it is of that type.
template <typename Error>
std::optional<Error> errorAs(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        return e;
    } catch (...) {
        return std::nullopt;
    }
}

bool requiresReauthentication(const std::exception_ptr& error) {
    if (const auto drive = errorAs<DriveTransferError>(error)) {
        return drive->code() == DriveTransferError::Code::reauthRequired;
    }
    if (const auto auth = errorAs<GoogleAuthFailure>(error)) {
        return auth->code() == GoogleAuthFailure::Code::reauthenticationRequired;
    }
    return false;
}

// The transport's own cancellation: the exchange was stopped while in flight.
bool isTransportCancellation(const std::exception_ptr& error) {
    const auto transport = errorAs<TransportError>(error);
    return transport && transport->isCancelled();
}

// What the recovery list shows when the journal cannot be listed.
QString listingMessage(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return genericDriveMessage;
    }
}

// A transfer that completed after the user pressed stop is not shown as done: the user asked for
// it not to be, and its journal record stays for a later resume to finish.
std::exception_ptr endingError(bool cancelled, const WorkOutcome<DriveShareResult>& outcome) {
    if (!outcome.error && cancelled) {
        return std::make_exception_ptr(OperationCancelled());
    }
    return outcome.error;
}

void call(const std::function<void()>& done) {
    if (done) {
        done();
    }
}

// Token requests end with the Drive call they serve.
DriveTransferSteps::AccessToken tokenFor(const GoogleConnectionModel::AccessTokenSource& source,
                                         const GoogleIdentity& identity, std::stop_token stop) {
    return [source, identity, stop] { return source(identity, stop); };
}

}  // namespace

GoogleConnectionModel::TransferState GoogleConnectionModel::TransferState::share(
    Kind kind, const VerifiedArchive& archive, std::optional<DriveShareResult> result,
    QString message) {
    return TransferState{kind, archive.url, archive.jobID, std::move(result), std::move(message)};
}

GoogleConnectionModel::TransferState GoogleConnectionModel::TransferState::recovery(
    Kind kind, const Uuid& jobID, std::optional<DriveShareResult> result, QString message) {
    return TransferState{kind, {}, jobID, std::move(result), std::move(message)};
}

GoogleConnectionModel::Operations GoogleConnectionModel::driveOperations(
    std::shared_ptr<const GoogleDriveTransferClient> client, AccessTokenSource accessToken) {
    Operations operations;
    operations.shareOperation = [client, accessToken](
                                    const VerifiedArchive& archive, DriveLinkRole role,
                                    const GoogleIdentity& identity, const ProgressHandler& progress,
                                    std::stop_token stop) {
        return client->shareArchive(archive, identity.subject, role,
                                    tokenFor(accessToken, identity, stop), progress, stop);
    };
    // Listing reads only the local journal: no token.
    operations.recoveryListOperation = [client](const std::string& accountID) {
        return client->pendingRecords(accountID);
    };
    operations.recoveryOperation =
        [client, accessToken](const Uuid& jobID, const std::optional<std::string>& selectedURL,
                              const GoogleIdentity& identity, const ProgressHandler& progress,
                              std::stop_token stop) {
            return client->resume(jobID, identity.subject, selectedURL,
                                  tokenFor(accessToken, identity, stop), progress, stop);
        };
    operations.linkVerificationOperation = [client, accessToken](const Uuid& jobID,
                                                                 const GoogleIdentity& identity,
                                                                 std::stop_token stop) {
        return client
            ->verifiedLink(jobID, identity.subject, tokenFor(accessToken, identity, stop), stop)
            .link;
    };
    return operations;
}

namespace {

std::pair<std::shared_ptr<GoogleAuthCoordinator>, GoogleConnectionModel::Operations>
applicationSide() {
    std::shared_ptr<GoogleSignInProvider> provider = GoogleSignInProvider::forApplication();
    auto coordinator = std::make_shared<GoogleAuthCoordinator>(provider);
    // The journal creates its folder when it first saves a record.
    auto journal =
        std::make_shared<FileDriveTransferJournal>(FileDriveTransferJournal::defaultDirectory());
    auto steps = std::make_shared<const DriveTransferSteps>(
        std::make_shared<URLSessionDriveHTTPTransport>(), std::move(journal), driveChunkSize);
    auto client = std::make_shared<const GoogleDriveTransferClient>(std::move(steps));
    // The library refreshes the token when it has expired.
    auto operations = GoogleConnectionModel::driveOperations(
        std::move(client), [provider](const GoogleIdentity& identity, std::stop_token stop) {
            return provider->accessToken(identity, std::move(stop));
        });
    return {std::move(coordinator), std::move(operations)};
}

}  // namespace

GoogleConnectionModel::GoogleConnectionModel(QObject* parent)
    : GoogleConnectionModel(applicationSide(), parent) {}

GoogleConnectionModel::GoogleConnectionModel(
    std::pair<std::shared_ptr<GoogleAuthCoordinator>, Operations> side, QObject* parent)
    : GoogleConnectionModel(std::move(side.first), std::move(side.second), parent) {}

struct GoogleConnectionModel::Workers {
    std::mutex mutex;
    std::condition_variable ended;
    int running = 0;
};

GoogleConnectionModel::GoogleConnectionModel(std::shared_ptr<GoogleAuthCoordinator> coordinator,
                                             Operations operations, QObject* parent)
    : QObject(parent),
      coordinator_(std::move(coordinator)),
      operations_(std::move(operations)),
      workers_(std::make_shared<Workers>()) {}

GoogleConnectionModel::~GoogleConnectionModel() {
    shutdown();
}

void GoogleConnectionModel::shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    if (activeTransfer_) {
        activeTransfer_->cancel();
    }
    lifetime_.request_stop();
    // Also stops a sign-in that begins after this: none of them waits for the GUI thread from
    // now on, which is what makes the wait below safe.
    coordinator_->shutdown();
    std::unique_lock lock(workers_->mutex);
    workers_->ended.wait_for(lock, stoppedWorkGrace, [&] { return workers_->running == 0; });
}

template <typename Work, typename Apply>
void GoogleConnectionModel::launch(Work work, Apply apply) {
    {
        const std::lock_guard lock(workers_->mutex);
        ++workers_->running;
    }
    runInBackground(
        WorkerPool::waiting(), this,
        [workers = workers_, work = std::move(work)]() mutable {
            const ScopeExit ended([&] {
                const std::lock_guard lock(workers->mutex);
                --workers->running;
                workers->ended.notify_all();
            });
            return work();
        },
        // What the closures own is released on the GUI thread, also when the model is gone.
        [apply = std::move(apply)](GoogleConnectionModel* model, auto outcome) mutable {
            if (model != nullptr && !model->shutDown_) {
                apply(outcome);
            }
        });
}

// --- Account -------------------------------------------------------------------------------------

void GoogleConnectionModel::setTransferState(TransferState state) {
    assign(transferState_, std::move(state), &GoogleConnectionModel::transferStateChanged);
}

void GoogleConnectionModel::clearTransferDisplay() {
    setTransferState(TransferState{});
    assign(transferProgress_, std::optional<DriveTransferProgress>(),
           &GoogleConnectionModel::transferProgressChanged);
}

void GoogleConnectionModel::setState(GoogleAuthState state) {
    assign(state_, std::move(state), &GoogleConnectionModel::stateChanged);
}

std::optional<GoogleIdentity> GoogleConnectionModel::connectedIdentity() const {
    if (state_.kind() != GoogleAuthState::Kind::connected) {
        return std::nullopt;
    }
    return state_.identity();
}

void GoogleConnectionModel::runAccountOperation(void (GoogleAuthCoordinator::*operation)(),
                                                std::function<void()> then) {
    launch(
        [coordinator = coordinator_, operation] {
            ((*coordinator).*operation)();
            return true;
        },
        [this, then = std::move(then)](WorkOutcome<bool>&) {
            // Copied only now, so that the last operation to complete decides what is shown.
            setState(coordinator_->currentState());
            then();
        });
}

void GoogleConnectionModel::restoreIfNeeded(std::function<void()> done) {
    if (shutDown_) {
        return;
    }
    if (didRestore_) {
        call(done);
        return;
    }
    didRestore_ = true;
    runAccountOperation(&GoogleAuthCoordinator::restore,
                        [this, done = std::move(done)] { refreshPendingTransfers(done); });
}

void GoogleConnectionModel::connect(std::function<void()> done) {
    if (shutDown_) {
        return;
    }
    std::optional<std::string> previousSubject;
    if (const auto identity = connectedIdentity()) {
        previousSubject = identity->subject;
    }
    setState(GoogleAuthState::authorizing());
    runAccountOperation(&GoogleAuthCoordinator::connect,
                        [this, previousSubject, done = std::move(done)] {
                            refreshPendingTransfers([this, previousSubject, done] {
                                // The same account again keeps what the panel shows; another
                                // account must not see the previous account's transfer.
                                const auto identity = connectedIdentity();
                                if (identity && previousSubject != identity->subject) {
                                    clearTransferDisplay();
                                }
                                call(done);
                            });
                        });
}

void GoogleConnectionModel::signOut(std::function<void()> done) {
    endSession(SignOutKind::signOut, std::move(done));
}

void GoogleConnectionModel::revokeConsent(std::function<void()> done) {
    endSession(SignOutKind::revokeConsent, std::move(done));
}

void GoogleConnectionModel::endSession(SignOutKind kind, std::function<void()> done) {
    if (shutDown_) {
        return;
    }
    // One end of the session at a time. A second one would find the session gone: a revocation
    // would then reach nothing at Google, and the keyring would be asked from two threads.
    if (endingSession_) {
        call(done);
        return;
    }
    endingSession_ = true;
    const bool revoking = kind == SignOutKind::revokeConsent;
    // Busy from the press on, also while the transfer stops: nothing is offered meanwhile.
    setState(revoking ? GoogleAuthState::revokingConsent() : GoogleAuthState::signingOut());
    cancelAndWaitForActiveTransfer([this, revoking, done = std::move(done)] {
        runAccountOperation(
            revoking ? &GoogleAuthCoordinator::revokeConsent : &GoogleAuthCoordinator::signOut,
            [this, done] {
                endingSession_ = false;
                refreshPendingTransfers([this, done] {
                    clearTransferDisplay();
                    call(done);
                });
            });
    });
}

void GoogleConnectionModel::refreshPendingTransfers(std::function<void()> done) {
    if (shutDown_) {
        return;
    }
    // A listing still under way is outdated by this one.
    const std::uint64_t generation = ++refreshGeneration_;
    const auto identity = connectedIdentity();
    if (!identity) {
        assign(pendingTransfers_, {}, &GoogleConnectionModel::pendingTransfersChanged);
        assign(recoveryListError_, {}, &GoogleConnectionModel::recoveryListErrorChanged);
        call(done);
        return;
    }
    launch([list = operations_.recoveryListOperation,
            subject = identity->subject] { return list(subject); },
           [this, generation, subject = identity->subject,
            done = std::move(done)](WorkOutcome<std::vector<DriveRecoveryItem>>& outcome) {
               // A listing that ends after a sign-out, a switch of account or a newer listing
               // would show transfers that are not (or no longer) this account's.
               const auto now = connectedIdentity();
               if (generation == refreshGeneration_ && now && now->subject == subject) {
                   if (outcome.value) {
                       assign(pendingTransfers_, std::move(*outcome.value),
                              &GoogleConnectionModel::pendingTransfersChanged);
                       assign(recoveryListError_, {},
                              &GoogleConnectionModel::recoveryListErrorChanged);
                   } else {
                       assign(pendingTransfers_, {},
                              &GoogleConnectionModel::pendingTransfersChanged);
                       assign(recoveryListError_,
                              std::optional<QString>(listingMessage(outcome.error)),
                              &GoogleConnectionModel::recoveryListErrorChanged);
                   }
               }
               call(done);
           });
}

void GoogleConnectionModel::verifiedLink(const Uuid& jobID,
                                         std::function<void(WorkOutcome<std::string>)> done) {
    if (shutDown_) {
        return;
    }
    const auto identity = connectedIdentity();
    if (!identity) {
        done(
            {std::nullopt, std::make_exception_ptr(GoogleAuthFailure::reauthenticationRequired())});
        return;
    }
    launch([verify = operations_.linkVerificationOperation, jobID, identity = *identity,
            stop = lifetime_.get_token()] { return verify(jobID, identity, stop); },
           [this, identity = *identity, done = std::move(done)](WorkOutcome<std::string>& outcome) {
               if (outcome.error && requiresReauthentication(outcome.error)) {
                   requireReauthentication(identity);
               }
               done(std::move(outcome));
           });
}

void GoogleConnectionModel::requireReauthentication(const GoogleIdentity& identity) {
    const auto now = connectedIdentity();
    if (now && now->subject == identity.subject) {
        setState(GoogleAuthState::reauthRequired(identity));
    }
}

// --- Transfers -----------------------------------------------------------------------------------

GoogleConnectionModel::ProgressHandler GoogleConnectionModel::progressHandler(
    const Uuid& transferID) {
    // Called on a worker; the value is applied on the GUI thread, only while the model exists
    // and its transfer is still the current one.
    WorkerPool* const pool = &WorkerPool::waiting();
    return [pool, model = QPointer<GoogleConnectionModel>(this),
            transferID](const DriveTransferProgress& progress) {
        detail::postToGuiThread(*pool, [model, transferID, progress] {
            if (model && !model->shutDown_ && model->isCurrentTransfer(transferID)) {
                model->assign(model->transferProgress_,
                              std::optional<DriveTransferProgress>(progress),
                              &GoogleConnectionModel::transferProgressChanged);
            }
        });
    };
}

void GoogleConnectionModel::startTransfer(const std::shared_ptr<BackgroundTask>& task,
                                          const Uuid& transferID) {
    activeTransferID_ = transferID;
    activeTransfer_ = task;
    emit hasActiveTransferChanged();
}

void GoogleConnectionModel::cleanUpTransfer(const Uuid& transferID, BackgroundTask& task) {
    if (isCurrentTransfer(transferID)) {
        activeTransfer_.reset();
        activeTransferID_.reset();
        emit hasActiveTransferChanged();
    }
    task.finish();
}

void GoogleConnectionModel::shareVerifiedArchive(const VerifiedArchive& archive,
                                                 DriveLinkRole role) {
    if (shutDown_ || refusesNewWork_) {
        return;
    }
    const auto identity = connectedIdentity();
    if (!identity) {
        setTransferState(
            TransferState::share(Kind::failed, archive, std::nullopt, notConnectedMessage));
        return;
    }
    if (activeTransfer_) {
        return;
    }
    const Uuid transferID = Uuid::random();
    auto task = std::make_shared<BackgroundTask>();
    activeTransferID_ = transferID;
    assign(activeShareRole_, std::optional<DriveLinkRole>(role),
           &GoogleConnectionModel::activeShareRoleChanged);
    assign(transferProgress_, std::optional<DriveTransferProgress>(),
           &GoogleConnectionModel::transferProgressChanged);
    setTransferState(TransferState::share(Kind::uploading, archive));
    startTransfer(task, transferID);
    // Held until the outcome has been applied.
    auto lease = std::make_shared<SecurityScopedAccessLease>(archive.url);
    launch([share = operations_.shareOperation, archive, role, identity = *identity,
            progress = progressHandler(transferID),
            stop = task->stopToken()] { return share(archive, role, identity, progress, stop); },
           [this, archive, identity = *identity, transferID, task,
            lease](WorkOutcome<DriveShareResult>& outcome) {
               finishShare(archive, identity, transferID, *task, outcome);
               cleanUpTransfer(transferID, *task);
           });
}

void GoogleConnectionModel::finishShare(const VerifiedArchive& archive,
                                        const GoogleIdentity& identity, const Uuid& transferID,
                                        const BackgroundTask& task,
                                        WorkOutcome<DriveShareResult>& outcome) {
    const bool cancelled = task.stopToken().stop_requested();
    const std::exception_ptr error = endingError(cancelled, outcome);
    const bool current = isCurrentTransfer(transferID);
    const auto show = [&](Kind kind, std::optional<DriveShareResult> result = std::nullopt,
                          QString message = {}) {
        setTransferState(TransferState::share(kind, archive, std::move(result), message));
    };
    if (!error) {
        if (current) {
            show(Kind::shared, std::move(outcome.value));
        }
        return;
    }
    // The order of these tests decides what an error counts as.
    if (errorAs<OperationCancelled>(error)) {
        if (current) {
            show(Kind::paused);
        }
        return;
    }
    if (!current) {
        return;
    }
    if (cancelled || isTransportCancellation(error)) {
        show(Kind::paused);
        return;
    }
    if (requiresReauthentication(error)) {
        requireReauthentication(identity);
    }
    show(Kind::failed, std::nullopt, safeTransferMessage(error));
}

void GoogleConnectionModel::resume(const DriveRecoveryItem& item,
                                   const std::optional<std::string>& selectedURL) {
    if (shutDown_ || refusesNewWork_) {
        return;
    }
    const auto identity = connectedIdentity();
    if (!identity || activeTransfer_) {
        return;
    }
    const Uuid transferID = Uuid::random();
    auto task = std::make_shared<BackgroundTask>();
    activeTransferID_ = transferID;
    assign(transferProgress_, std::optional<DriveTransferProgress>(),
           &GoogleConnectionModel::transferProgressChanged);
    setTransferState(TransferState::recovery(Kind::recovering, item.jobID));
    startTransfer(task, transferID);
    // No lease: the Drive client opens the journal's file reference or the selected file itself.
    launch(
        [recover = operations_.recoveryOperation, jobID = item.jobID, selectedURL,
         identity = *identity, progress = progressHandler(transferID), stop = task->stopToken()] {
            return recover(jobID, selectedURL, identity, progress, stop);
        },
        [this, jobID = item.jobID, identity = *identity, transferID,
         task](WorkOutcome<DriveShareResult>& outcome) {
            finishRecovery(jobID, identity, transferID, *task, outcome,
                           [this, transferID, task] { cleanUpTransfer(transferID, *task); });
        });
}

void GoogleConnectionModel::finishRecovery(const Uuid& jobID, const GoogleIdentity& identity,
                                           const Uuid& transferID, const BackgroundTask& task,
                                           WorkOutcome<DriveShareResult>& outcome,
                                           std::function<void()> cleanUp) {
    const bool cancelled = task.stopToken().stop_requested();
    const std::exception_ptr error = endingError(cancelled, outcome);
    const bool current = isCurrentTransfer(transferID);
    const auto show = [&](Kind kind, std::optional<DriveShareResult> result = std::nullopt,
                          QString message = {}) {
        setTransferState(TransferState::recovery(kind, jobID, std::move(result), message));
    };
    if (!error) {
        if (current) {
            show(Kind::recoveryShared, std::move(outcome.value));
            // The finished job leaves the list while the transfer still counts as running.
            refreshPendingTransfers(std::move(cleanUp));
            return;
        }
        cleanUp();
        return;
    }
    // Unlike a share, a cancellation error is not singled out: it counts as a pause only
    // because the task was cancelled.
    if (!current) {
        // Nothing to show.
    } else if (cancelled || isTransportCancellation(error)) {
        show(Kind::recoveryPaused);
    } else if (const auto drive = errorAs<DriveTransferError>(error);
               drive && drive->code() == DriveTransferError::Code::archiveNeedsReselection) {
        show(Kind::recoveryNeedsFile);
    } else {
        if (requiresReauthentication(error)) {
            requireReauthentication(identity);
        }
        show(Kind::recoveryFailed, std::nullopt, safeTransferMessage(error));
    }
    cleanUp();
}

void GoogleConnectionModel::cancelTransfer() {
    if (!activeTransfer_) {
        return;
    }
    TransferState state = transferState_;
    if (state.kind == Kind::uploading) {
        state.kind = Kind::cancelling;
    } else if (state.kind == Kind::recovering) {
        state.kind = Kind::recoveryCancelling;
    }
    setTransferState(std::move(state));
    activeTransfer_->cancel();
}

void GoogleConnectionModel::cancelAndWaitForActiveTransfer(std::function<void()> done) {
    // The handle taken now: a transfer started later is not waited for.
    const std::shared_ptr<BackgroundTask> task = activeTransfer_;
    if (!task) {
        call(done);
        return;
    }
    cancelTransfer();
    task->whenFinished([done = std::move(done)] { call(done); });
}

QString GoogleConnectionModel::safeTransferMessage(const std::exception_ptr& error) {
    if (const auto drive = errorAs<DriveTransferError>(error)) {
        return QString::fromUtf8(drive->what());
    }
    if (const auto auth = errorAs<GoogleAuthFailure>(error)) {
        return QString::fromUtf8(auth->what());
    }
    if (errorAs<TransportError>(error)) {
        return networkMessage;
    }
    return genericDriveMessage;
}

}  // namespace tolvane
