#pragma once

#include <QObject>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "Tolvane/model/BackgroundWork.h"
#include "core/archive/ArchiveValues.h"
#include "core/common/Uuid.h"
#include "core/drive/DriveTypes.h"
#include "core/drive/GoogleAuth.h"
#include "core/drive/GoogleAuthCoordinator.h"

namespace tolvane {

class GoogleDriveTransferClient;

// The one model through which the application reaches Google: the account connection (sign-in,
// Drive scope, sign-out, consent revocation), the single Drive transfer that may run at a time
// (a share of a fresh archive or the resume of an interrupted one), the list of interrupted
// transfers and the re-check of a shared link.
//
// It lives on the GUI thread and is used only there. Every blocking call (the coordinator, the
// Drive client, the journal) runs on the application's pool for waiting work, and its outcome is
// applied back on the GUI thread. Operations that the callers may need to follow up take a `done`
// callback, run on the GUI thread once the operation's outcome has been applied (at once when
// there is nothing to wait for). Account operations may interleave; the coordinator applies only
// the latest one's result and the model copies its state after each call it waited for, so the
// last completed copy wins.
//
// Every property has a change signal, emitted only when the value changed; hasActiveTransfer
// signals every time it flips, which the window and the quit protocol rely on.
//
// Destroying the model (or shutdown()) asks everything under way to stop (the transfer, the link
// checks, a sign-in, a refresh, a revocation) and then waits a short while for its workers:
// after the stop none of them waits for the GUI thread any more, and one that still has not
// ended then (a keyring waiting for the user) is left behind. Outcomes not yet applied are
// dropped.
class GoogleConnectionModel final : public QObject {
    Q_OBJECT

public:
    using ProgressHandler = std::function<void(const DriveTransferProgress&)>;
    // A fresh token of the account; ends early as cancelled once the call's stop is requested.
    using AccessTokenSource = std::function<std::string(const GoogleIdentity&, std::stop_token)>;

    // The four ways the model reaches Drive. Each blocks its worker thread; the ones that talk to
    // Drive end early with OperationCancelled (or a cancelled TransportError) once `stop` is
    // requested. The identity's subject is the account of the call.
    struct Operations {
        std::function<DriveShareResult(const VerifiedArchive&, DriveLinkRole, const GoogleIdentity&,
                                       const ProgressHandler&, std::stop_token)>
            shareOperation;
        std::function<std::vector<DriveRecoveryItem>(const std::string& accountID)>
            recoveryListOperation;
        std::function<DriveShareResult(const Uuid& jobID, const std::optional<std::string>&,
                                       const GoogleIdentity&, const ProgressHandler&,
                                       std::stop_token)>
            recoveryOperation;
        // Returns only the verified web link.
        std::function<std::string(const Uuid& jobID, const GoogleIdentity&, std::stop_token)>
            linkVerificationOperation;
    };

    // The one Drive transfer as the panels show it. The share kinds (uploading ... failed)
    // concern one archive: its path and its job identifier, because a new archive packed under
    // the path of a deleted one is another archive. The recovery kinds concern the Drive job
    // `jobID`.
    struct TransferState {
        enum class Kind {
            uploading,
            cancelling,
            paused,
            shared,
            failed,
            recovering,
            recoveryCancelling,
            recoveryPaused,
            recoveryNeedsFile,
            recoveryShared,
            recoveryFailed,
            idle,
        };

        Kind kind = Kind::idle;
        std::string archiveURL;  // share kinds only
        Uuid jobID;              // the archive's job (share), the Drive job (recovery)
        std::optional<DriveShareResult> result;  // shared, recoveryShared
        QString message;                         // failed, recoveryFailed

        static TransferState share(Kind kind, const VerifiedArchive& archive,
                                   std::optional<DriveShareResult> result = std::nullopt,
                                   QString message = {});
        static TransferState recovery(Kind kind, const Uuid& jobID,
                                      std::optional<DriveShareResult> result = std::nullopt,
                                      QString message = {});

        bool isShareState() const noexcept { return kind <= Kind::failed; }
        bool isRecoveryState() const noexcept {
            return kind >= Kind::recovering && kind <= Kind::recoveryFailed;
        }
        // Whether this is a share state of exactly that archive (same path and same job).
        bool concerns(const VerifiedArchive& archive) const noexcept {
            return isShareState() && archiveURL == archive.url && jobID == archive.jobID;
        }

        friend bool operator==(const TransferState&, const TransferState&) = default;
    };

    // The application's Google side: the sign-in provider over the keyring and HTTPS, its
    // coordinator, the journal under the user's data folder and the Drive client over HTTPS with
    // 8 MiB chunks and real waits before retries. Nothing is contacted until restoreIfNeeded().
    explicit GoogleConnectionModel(QObject* parent = nullptr);
    GoogleConnectionModel(std::shared_ptr<GoogleAuthCoordinator> coordinator, Operations operations,
                          QObject* parent = nullptr);
    ~GoogleConnectionModel() override;

    // The four operations over one Drive client; the three that reach Drive ask `accessToken`
    // for a fresh token of the call's account whenever the client needs one.
    static Operations driveOperations(std::shared_ptr<const GoogleDriveTransferClient> client,
                                      AccessTokenSource accessToken);

    // Readable so that the account sheet can cancel a sign-in and copy the coordinator's state.
    GoogleAuthCoordinator& coordinator() const noexcept { return *coordinator_; }

    // --- Account -------------------------------------------------------------------------------

    const GoogleAuthState& state() const noexcept { return state_; }
    void setState(GoogleAuthState state);
    // The identity of `connected`; nothing in every other state.
    std::optional<GoogleIdentity> connectedIdentity() const;

    // The silent restore of the stored session, at most once per model.
    void restoreIfNeeded(std::function<void()> done = {});
    void connect(std::function<void()> done = {});
    // Both show their busy state at once, then cancel the running transfer and wait for it to
    // end. While one runs, either is ignored (`done` is called at once).
    void signOut(std::function<void()> done = {});
    void revokeConsent(std::function<void()> done = {});

    // The connected account's interrupted transfers; emptied while no account is connected.
    void refreshPendingTransfers(std::function<void()> done = {});
    const std::vector<DriveRecoveryItem>& pendingTransfers() const noexcept {
        return pendingTransfers_;
    }
    const std::optional<QString>& recoveryListError() const noexcept { return recoveryListError_; }

    // Re-checks the link of a shared job; `done` gets the link or the error unchanged
    // (GoogleAuthFailure reauthenticationRequired at once while no account is connected).
    void verifiedLink(const Uuid& jobID, std::function<void(WorkOutcome<std::string>)> done);

    // --- Transfers -----------------------------------------------------------------------------

    const TransferState& transferState() const noexcept { return transferState_; }
    const std::optional<DriveTransferProgress>& transferProgress() const noexcept {
        return transferProgress_;
    }
    const std::optional<DriveLinkRole>& activeShareRole() const noexcept {
        return activeShareRole_;
    }
    bool hasActiveTransfer() const noexcept { return activeTransfer_ != nullptr; }

    // Starts a share; while no account is connected it reports failed, and while a transfer runs
    // it is ignored.
    void shareVerifiedArchive(const VerifiedArchive& archive, DriveLinkRole role);
    // Continues an interrupted transfer; ignored while not connected or while a transfer runs.
    // `selectedURL` is the ZIP the user picked again, if any.
    void resume(const DriveRecoveryItem& item,
                const std::optional<std::string>& selectedURL = std::nullopt);
    void cancelTransfer();
    // Cancels the transfer running now and calls `done` once it has ended and its outcome is
    // applied; at once when none runs.
    void cancelAndWaitForActiveTransfer(std::function<void()> done);
    // The application is quitting: from now on shares and resumes are ignored, so that the
    // wait for the running transfer ends with nothing new behind it. Final.
    void refuseNewWork() noexcept { refusesNewWork_ = true; }
    bool refusesNewWork() const noexcept { return refusesNewWork_; }

    // Asks what runs to stop and waits for the workers, at most stoppedWorkGrace. Afterwards
    // every operation does nothing (callbacks are not called). Also run by the destructor.
    void shutdown();

signals:
    void stateChanged();
    void transferStateChanged();
    void transferProgressChanged();
    void activeShareRoleChanged();
    void pendingTransfersChanged();
    void recoveryListErrorChanged();
    void hasActiveTransferChanged();

private:
    enum class SignOutKind { signOut, revokeConsent };

    GoogleConnectionModel(std::pair<std::shared_ptr<GoogleAuthCoordinator>, Operations> side,
                          QObject* parent);
    enum class TransferKind { share, recovery };

    // Runs work() on the pool for waiting work and apply(outcome) on the GUI thread, unless the
    // model has been shut down by then.
    template <typename Work, typename Apply>
    void launch(Work work, Apply apply);

    void runAccountOperation(void (GoogleAuthCoordinator::*operation)(),
                             std::function<void()> then);
    void endSession(SignOutKind kind, std::function<void()> done);
    ProgressHandler progressHandler(const Uuid& transferID);
    void startTransfer(const std::shared_ptr<BackgroundTask>& task, const Uuid& transferID);
    void finishShare(const VerifiedArchive& archive, const GoogleIdentity& identity,
                     const Uuid& transferID, const BackgroundTask& task,
                     WorkOutcome<DriveShareResult>& outcome);
    void finishRecovery(const Uuid& jobID, const GoogleIdentity& identity, const Uuid& transferID,
                        const BackgroundTask& task, WorkOutcome<DriveShareResult>& outcome,
                        std::function<void()> cleanUp);
    void cleanUpTransfer(const Uuid& transferID, BackgroundTask& task);
    void setTransferState(TransferState state);
    // Back to idle without progress; the role of the last share stays.
    void clearTransferDisplay();
    // Moves the account to reauthRequired, but only while that account is still the connected
    // one: an answer arriving after a sign-out or a switch of account must not undo it.
    void requireReauthentication(const GoogleIdentity& identity);
    // What a failed transfer shows: the Korean message of a Drive or sign-in error, one fixed
    // text for a failure of the connection and another for anything else.
    static QString safeTransferMessage(const std::exception_ptr& error);
    bool isCurrentTransfer(const Uuid& transferID) const noexcept {
        return activeTransferID_ == transferID;
    }

    template <typename T>
    void assign(T& member, T value, void (GoogleConnectionModel::*changed)()) {
        if (member == value) {
            return;
        }
        member = std::move(value);
        emit(this->*changed)();
    }

    const std::shared_ptr<GoogleAuthCoordinator> coordinator_;
    const Operations operations_;

    std::shared_ptr<BackgroundTask> activeTransfer_;
    std::optional<Uuid> activeTransferID_;
    bool didRestore_ = false;
    // A sign-out or revocation runs, from the press until the coordinator has answered.
    bool endingSession_ = false;
    GoogleAuthState state_ = GoogleAuthState::restoring();
    TransferState transferState_;
    std::optional<DriveTransferProgress> transferProgress_;
    std::optional<DriveLinkRole> activeShareRole_;
    std::vector<DriveRecoveryItem> pendingTransfers_;
    std::optional<QString> recoveryListError_;

    // Each refresh of the pending list takes the next number; only the latest one is applied.
    std::uint64_t refreshGeneration_ = 0;
    // Ends the link checks at shutdown (the transfer has its own task).
    std::stop_source lifetime_;
    bool shutDown_ = false;
    bool refusesNewWork_ = false;
    // The number of this model's workers still running, which shutdown waits for.
    struct Workers;
    std::shared_ptr<Workers> workers_;
};

}  // namespace tolvane
