#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Tolvane/model/BackgroundWork.h"
#include "Tolvane/model/JobBackend.h"
#include "core/archive/ArchiveValues.h"
#include "core/common/Progress.h"

namespace tolvane {

// The model behind the main window: the user's selection of files and folders, whether it is to
// be packed, unpacked or refused, the input snapshot that freezes a selection to be packed, and
// the one pack or unpack job with its mirrored progress, outcome and cancellation.
//
// It lives on the GUI thread and is used only there. The snapshot capture and the jobs run on the
// application's worker pool; their outcomes come back to the GUI thread. A running capture or job
// does not keep the model alive: when the model is gone its outcome is dropped, except that the
// files of an unused snapshot are still deleted.
//
// Every property has a change signal, emitted only when the value changed (the selection and
// the snapshot always signal when assigned). The derived values (inputMode, isBusy, canCancel,
// canRefreshInputs) signal when their value moves, checked after every operation, outcome and
// progress poll.
class DeliveryJobModel final : public QObject {
    Q_OBJECT

public:
    enum class Phase { idle, packing, unpacking, complete, failed, cancelled };

    struct InputMode {
        enum class Kind { empty, files, singleArchive, invalid };
        Kind kind = Kind::empty;
        QString message;  // the Korean refusal, for `invalid` only

        friend bool operator==(const InputMode&, const InputMode&) = default;
    };

    // How often a running job's progress is sampled.
    static constexpr int progressPollMilliseconds = 150;

    // The real pipeline and snapshots under the system's temporary directory.
    explicit DeliveryJobModel(QObject* parent = nullptr);
    // temporaryRoot stands for the system's temporary directory (the snapshot folder goes in its
    // per-user application folder).
    DeliveryJobModel(std::shared_ptr<JobBackend> backend, std::string temporaryRoot,
                     QObject* parent = nullptr);
    ~DeliveryJobModel() override;

    // Selection. Paths are byte strings; a folder ends in "/" (see InputURL).
    const std::vector<std::string>& inputURLs() const noexcept { return inputURLs_; }
    void addInputs(const std::vector<std::string>& urls);
    void removeInput(const std::string& url);
    void clearInputs();
    void startNewJob();
    void refreshInputs();

    // Judged once per change of the selection: every view reads it on every change, and judging
    // reads every path.
    const InputMode& inputMode() const noexcept { return inputMode_; }
    // What a selection is for: packing, unpacking one ZIP, or nothing (refused, with the reason).
    // Decided from the paths alone; nothing on disk is read.
    static InputMode inputModeOf(const std::vector<std::string>& urls);
    bool isBusy() const noexcept;
    bool canRefreshInputs() const;
    bool canCancel() const;

    // Jobs. A start that is not allowed now does nothing.
    void startPacking(const std::string& archiveURL,
                      const std::optional<std::string>& destinationAccessURL = std::nullopt);
    void startUnpacking(const std::string& destinationRoot);
    void cancel();
    // Cancels what can still be cancelled (a job that is committing is let finish) and calls
    // `done` on the GUI thread once the capture and the job running at the time of the call have
    // ended and their outcomes are applied; at once when nothing runs.
    void cancelAndWaitForActiveJob(std::function<void()> done);
    // The application is quitting: from now on the selection stays as it is and no capture or
    // job starts, so that the wait for the running work ends with nothing new behind it. Final.
    void refuseNewWork() noexcept { refusesNewWork_ = true; }
    bool refusesNewWork() const noexcept { return refusesNewWork_; }

    Phase phase() const noexcept { return phase_; }
    const std::shared_ptr<Progress>& progress() const noexcept { return progress_; }
    const std::optional<std::string>& outputURL() const noexcept { return outputURL_; }
    const std::optional<VerifiedArchive>& verifiedArchive() const noexcept {
        return verifiedArchive_;
    }
    const std::optional<QString>& errorMessage() const noexcept { return errorMessage_; }
    const std::optional<QString>& cleanupWarning() const noexcept { return cleanupWarning_; }
    // Extended attributes an unpack left out because the destination refused them for their size.
    const std::optional<QString>& droppedAttributesWarning() const noexcept {
        return droppedAttributesWarning_;
    }
    bool isCapturingInputSnapshot() const noexcept { return isCapturingInputSnapshot_; }
    const std::optional<QString>& inputSnapshotError() const noexcept {
        return inputSnapshotError_;
    }
    const std::optional<ArchiveInputSnapshot>& inputSnapshot() const noexcept {
        return inputSnapshot_;
    }
    std::uint64_t completedFileCount() const noexcept { return completedFileCount_; }
    std::uint64_t completedBytes() const noexcept { return completedBytes_; }

    double progressFraction() const noexcept { return progressFraction_; }
    std::int64_t progressTotalUnitCount() const noexcept { return progressTotalUnitCount_; }
    const std::optional<QString>& progressStage() const noexcept { return progressStage_; }
    std::uint64_t progressCompletedBytes() const noexcept { return progressCompletedBytes_; }
    std::uint64_t progressTotalBytes() const noexcept { return progressTotalBytes_; }
    std::uint64_t scannedEntryCount() const noexcept { return scannedEntryCount_; }

    // A running job's fraction as shown: within 0 to 0.99 (only a finished job shows 1), and 0
    // for a value that is not a number.
    static double runningFraction(double fraction) noexcept;
    // Deletes a snapshot manifest and the registry files beside it, ignoring every failure.
    static void removeSnapshotFiles(const std::string& manifestURL) noexcept;

signals:
    void inputURLsChanged();
    void phaseChanged();
    void progressChanged();
    void outputURLChanged();
    void verifiedArchiveChanged();
    void errorMessageChanged();
    void cleanupWarningChanged();
    void droppedAttributesWarningChanged();
    void isCapturingInputSnapshotChanged();
    void inputSnapshotErrorChanged();
    void inputSnapshotChanged();
    void completedFileCountChanged();
    void completedBytesChanged();
    void progressFractionChanged();
    void progressTotalUnitCountChanged();
    void progressStageChanged();
    void progressCompletedBytesChanged();
    void progressTotalBytesChanged();
    void scannedEntryCountChanged();
    void inputModeChanged();
    void isBusyChanged();
    void canCancelChanged();
    void canRefreshInputsChanged();

private:
    // Lets the tests restart a capture while one runs, which no public operation does.
    friend struct DeliveryJobModelTestPeer;

    struct JobResult {
        std::string outputURL;
        std::uint64_t fileCount = 0;
        std::uint64_t totalBytes = 0;
        std::optional<VerifiedArchive> archive;
    };
    using JobOperation = std::function<JobResult(Progress&, std::stop_token)>;

    void resetResult();
    // The mirrors, the output, the error and the warnings of the last job, emptied.
    void clearOutcome();
    void scheduleInputSnapshot();
    void invalidateInputSnapshot();
    std::string makeSnapshotURL() const;
    void applyCapture(std::uint64_t generation, const std::vector<std::string>& sources,
                      const std::shared_ptr<Progress>& captureProgress,
                      WorkOutcome<ArchiveInputSnapshot>& outcome, bool& keepFiles);

    void run(Phase phase, JobOperation operation);
    void finishJob(const std::shared_ptr<Progress>& jobProgress, WorkOutcome<JobResult>& outcome);
    void startPolling(std::shared_ptr<Progress> jobProgress);
    void stopPolling();
    void pollProgress();
    void resetMirrors();

    // Emits the derived values' signals for those that moved since the last call.
    void settle();

    template <typename T>
    void assign(T& member, T value, void (DeliveryJobModel::*changed)()) {
        if (member == value) {
            return;
        }
        member = std::move(value);
        emit(this->*changed)();
    }

    std::shared_ptr<JobBackend> backend_;
    std::string temporaryRoot_;

    std::vector<std::string> inputURLs_;
    InputMode inputMode_;
    Phase phase_ = Phase::idle;
    std::shared_ptr<Progress> progress_;
    std::optional<std::string> outputURL_;
    std::optional<VerifiedArchive> verifiedArchive_;
    std::optional<QString> errorMessage_;
    std::optional<QString> cleanupWarning_;
    std::optional<QString> droppedAttributesWarning_;
    bool isCapturingInputSnapshot_ = false;
    std::optional<QString> inputSnapshotError_;
    std::uint64_t completedFileCount_ = 0;
    std::uint64_t completedBytes_ = 0;
    std::shared_ptr<BackgroundTask> activeTask_;
    std::shared_ptr<BackgroundTask> inputSnapshotTask_;
    std::shared_ptr<Progress> inputSnapshotProgress_;
    std::optional<ArchiveInputSnapshot> inputSnapshot_;
    std::uint64_t inputSnapshotGeneration_ = 0;
    bool refusesNewWork_ = false;

    // The job's progress sampling: the timer and the progress object it reads.
    QTimer progressTimer_;
    std::shared_ptr<Progress> polledProgress_;

    double progressFraction_ = 0.0;
    std::int64_t progressTotalUnitCount_ = 1;
    std::optional<QString> progressStage_;
    std::uint64_t progressCompletedBytes_ = 0;
    std::uint64_t progressTotalBytes_ = 0;
    std::uint64_t scannedEntryCount_ = 0;

    // The derived values as last signalled.
    InputMode lastInputMode_;
    bool lastIsBusy_ = false;
    bool lastCanCancel_ = false;
    bool lastCanRefreshInputs_ = false;
};

// A failure as the user reads it: the Korean message of an archive error, the system's own text
// of an operating-system error.
QString userMessage(const std::exception_ptr& error);

}  // namespace tolvane
