#include "Tolvane/model/DeliveryJobModel.h"

#include <unistd.h>

#include <cmath>
#include <set>
#include <system_error>
#include <utility>

#include "Tolvane/model/InputURL.h"
#include "Tolvane/model/SecurityScopedAccessLease.h"
#include "Tolvane/model/TemporaryFolder.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Cancellation.h"
#include "core/common/PathText.h"
#include "core/common/ScopeExit.h"
#include "core/common/Uuid.h"

namespace tolvane {

namespace {

using Leases = std::vector<std::shared_ptr<SecurityScopedAccessLease>>;

Leases openLeases(const std::vector<std::string>& urls) {
    Leases leases;
    leases.reserve(urls.size());
    for (const auto& url : urls) {
        leases.push_back(std::make_shared<SecurityScopedAccessLease>(url));
    }
    return leases;
}

// The files of a capture until the model adopts its snapshot. Whatever else happens to the
// outcome (failure, an outdated or cancelled capture, a model that is gone, an application that
// quits before the outcome is applied), they are deleted when the last owner lets go.
class CapturedFiles {
public:
    explicit CapturedFiles(std::string manifestURL) : manifestURL_(std::move(manifestURL)) {}
    CapturedFiles(const CapturedFiles&) = delete;
    CapturedFiles& operator=(const CapturedFiles&) = delete;
    ~CapturedFiles() { remove(); }

    void remove() noexcept {
        if (owned_) {
            owned_ = false;
            DeliveryJobModel::removeSnapshotFiles(manifestURL_);
        }
    }
    void adopt() noexcept { owned_ = false; }

private:
    std::string manifestURL_;
    bool owned_ = true;
};

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ArchivePipelineError& e) {
        return e.code() == ArchivePipelineError::Code::cancelled;
    } catch (const OperationCancelled&) {
        return true;
    } catch (...) {
        return false;
    }
}

std::optional<QString> optionalText(const std::optional<std::string>& text) {
    if (!text) {
        return std::nullopt;
    }
    return QString::fromStdString(*text);
}

}  // namespace

QString userMessage(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ArchivePipelineError& e) {
        return QString::fromStdString(e.errorDescription());
    } catch (const std::system_error& e) {
        // The system's own sentence for the errno, without the operation and path the core
        // prefixes for its logs.
        return QString::fromStdString(e.code().message());
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

DeliveryJobModel::DeliveryJobModel(QObject* parent)
    : DeliveryJobModel(makeArchivePipelineBackend(), TemporaryFolder::systemRoot(), parent) {}

DeliveryJobModel::DeliveryJobModel(std::shared_ptr<JobBackend> backend, std::string temporaryRoot,
                                   QObject* parent)
    : QObject(parent), backend_(std::move(backend)), temporaryRoot_(std::move(temporaryRoot)) {
    progressTimer_.setInterval(progressPollMilliseconds);
    connect(&progressTimer_, &QTimer::timeout, this, &DeliveryJobModel::pollProgress);
}

// Running work is neither cancelled nor awaited: it ends on its own and finds the model gone.
DeliveryJobModel::~DeliveryJobModel() = default;

// ----- Derived values -----

DeliveryJobModel::InputMode DeliveryJobModel::inputModeOf(const std::vector<std::string>& urls) {
    if (urls.empty()) {
        return {InputMode::Kind::empty, {}};
    }
    std::size_t archives = 0;
    for (const auto& url : urls) {
        if (InputURL::isArchive(url)) {
            ++archives;
        }
    }
    if (archives == 0) {
        return {InputMode::Kind::files, {}};
    }
    if (archives == 1 && urls.size() == 1) {
        return {InputMode::Kind::singleArchive, {}};
    }
    if (archives == urls.size()) {
        return {InputMode::Kind::invalid,
                QStringLiteral("초기 버전은 ZIP 파일을 한 번에 하나씩 풀 수 있습니다.")};
    }
    return {InputMode::Kind::invalid,
            QStringLiteral("ZIP과 일반 파일을 한 작업에 섞을 수 없습니다.")};
}

bool DeliveryJobModel::isBusy() const noexcept {
    return isCapturingInputSnapshot_ || phase_ == Phase::packing || phase_ == Phase::unpacking;
}

bool DeliveryJobModel::canRefreshInputs() const {
    if (isBusy() || isCapturingInputSnapshot_ || inputMode().kind != InputMode::Kind::files) {
        return false;
    }
    return phase_ == Phase::failed || phase_ == Phase::cancelled || inputSnapshotError_.has_value();
}

bool DeliveryJobModel::canCancel() const {
    if (isCapturingInputSnapshot_) {
        return true;
    }
    if (!isBusy()) {
        return false;
    }
    // Once the result is being moved into place, stopping could only leave it half there.
    return !(progress_ && progress_->userInfoText(ArchiveProgressInfo::stageKey) ==
                              ArchiveProgressInfo::Stage::committing);
}

void DeliveryJobModel::settle() {
    assign(lastInputMode_, inputMode(), &DeliveryJobModel::inputModeChanged);
    assign(lastIsBusy_, isBusy(), &DeliveryJobModel::isBusyChanged);
    assign(lastCanCancel_, canCancel(), &DeliveryJobModel::canCancelChanged);
    assign(lastCanRefreshInputs_, canRefreshInputs(), &DeliveryJobModel::canRefreshInputsChanged);
}

// ----- Selection -----

void DeliveryJobModel::addInputs(const std::vector<std::string>& urls) {
    if (isBusy() || refusesNewWork_) {
        return;
    }
    std::set<std::string> selected;
    for (const auto& url : inputURLs_) {
        selected.insert(PathText::standardized(url));
    }
    bool appended = false;
    for (const auto& url : urls) {
        if (selected.insert(PathText::standardized(url)).second) {
            inputURLs_.push_back(url);
            appended = true;
        }
    }
    if (appended) {
        inputMode_ = inputModeOf(inputURLs_);
        emit inputURLsChanged();
        resetResult();
        scheduleInputSnapshot();
    } else if (!urls.empty() && canRefreshInputs()) {
        // Dropping the same files again after a failure or a cancellation checks them again.
        resetResult();
        scheduleInputSnapshot();
    }
    settle();
}

void DeliveryJobModel::removeInput(const std::string& url) {
    if (isBusy() || refusesNewWork_) {
        return;
    }
    const auto count = inputURLs_.size();
    std::erase(inputURLs_, url);
    if (inputURLs_.size() != count) {
        inputMode_ = inputModeOf(inputURLs_);
        emit inputURLsChanged();
        resetResult();
        scheduleInputSnapshot();
    }
    settle();
}

void DeliveryJobModel::clearInputs() {
    if (isBusy() || refusesNewWork_) {
        return;
    }
    inputURLs_.clear();
    inputMode_ = inputModeOf(inputURLs_);
    emit inputURLsChanged();
    resetResult();
    scheduleInputSnapshot();
    settle();
}

void DeliveryJobModel::startNewJob() {
    clearInputs();
}

void DeliveryJobModel::refreshInputs() {
    if (!canRefreshInputs() || refusesNewWork_) {
        return;
    }
    resetResult();
    scheduleInputSnapshot();
    settle();
}

void DeliveryJobModel::resetMirrors() {
    assign(progressFraction_, 0.0, &DeliveryJobModel::progressFractionChanged);
    assign(progressTotalUnitCount_, std::int64_t{1},
           &DeliveryJobModel::progressTotalUnitCountChanged);
    assign(progressStage_, std::optional<QString>{}, &DeliveryJobModel::progressStageChanged);
    assign(progressCompletedBytes_, std::uint64_t{0},
           &DeliveryJobModel::progressCompletedBytesChanged);
    assign(progressTotalBytes_, std::uint64_t{0}, &DeliveryJobModel::progressTotalBytesChanged);
    assign(scannedEntryCount_, std::uint64_t{0}, &DeliveryJobModel::scannedEntryCountChanged);
}

void DeliveryJobModel::clearOutcome() {
    resetMirrors();
    assign(outputURL_, std::optional<std::string>{}, &DeliveryJobModel::outputURLChanged);
    assign(verifiedArchive_, std::optional<VerifiedArchive>{},
           &DeliveryJobModel::verifiedArchiveChanged);
    assign(errorMessage_, std::optional<QString>{}, &DeliveryJobModel::errorMessageChanged);
    assign(cleanupWarning_, std::optional<QString>{}, &DeliveryJobModel::cleanupWarningChanged);
    assign(droppedAttributesWarning_, std::optional<QString>{},
           &DeliveryJobModel::droppedAttributesWarningChanged);
}

void DeliveryJobModel::resetResult() {
    invalidateInputSnapshot();
    stopPolling();
    assign(phase_, Phase::idle, &DeliveryJobModel::phaseChanged);
    assign(progress_, std::shared_ptr<Progress>{}, &DeliveryJobModel::progressChanged);
    clearOutcome();
    assign(completedFileCount_, std::uint64_t{0}, &DeliveryJobModel::completedFileCountChanged);
    assign(completedBytes_, std::uint64_t{0}, &DeliveryJobModel::completedBytesChanged);
}

// ----- Input snapshot -----

void DeliveryJobModel::invalidateInputSnapshot() {
    ++inputSnapshotGeneration_;
    if (inputSnapshotProgress_) {
        inputSnapshotProgress_->cancel();
    }
    if (inputSnapshotTask_) {
        inputSnapshotTask_->cancel();
    }
    inputSnapshotProgress_.reset();
    inputSnapshotTask_.reset();
    assign(isCapturingInputSnapshot_, false, &DeliveryJobModel::isCapturingInputSnapshotChanged);
    if (inputSnapshot_) {
        removeSnapshotFiles(inputSnapshot_->manifestURL);
    }
    inputSnapshot_.reset();
    emit inputSnapshotChanged();
    assign(inputSnapshotError_, std::optional<QString>{},
           &DeliveryJobModel::inputSnapshotErrorChanged);
}

std::string DeliveryJobModel::makeSnapshotURL() const {
    // Only the name is chosen here; the worker creates and checks the folder before the capture,
    // so that no disk access happens on the GUI thread.
    const std::string folder =
        PathText::appending(TemporaryFolder::applicationFolder(temporaryRoot_), "InputSnapshots");
    return PathText::appending(folder, "selection-" + Uuid::random().text() + ".jsonl");
}

void DeliveryJobModel::removeSnapshotFiles(const std::string& manifestURL) noexcept {
    for (const char* suffix :
         {"", ".registry.sqlite", ".registry.sqlite-wal", ".registry.sqlite-shm"}) {
        ::unlink((manifestURL + suffix).c_str());
    }
}

void DeliveryJobModel::scheduleInputSnapshot() {
    invalidateInputSnapshot();
    if (inputMode().kind != InputMode::Kind::files) {
        return;
    }
    const std::uint64_t generation = ++inputSnapshotGeneration_;
    auto sources = inputURLs_;
    auto manifestURL = makeSnapshotURL();
    auto captureProgress = std::make_shared<Progress>(1);
    inputSnapshotProgress_ = captureProgress;
    assign(isCapturingInputSnapshot_, true, &DeliveryJobModel::isCapturingInputSnapshotChanged);
    assign(inputSnapshotError_, std::optional<QString>{},
           &DeliveryJobModel::inputSnapshotErrorChanged);
    auto leases = openLeases(sources);
    auto task = std::make_shared<BackgroundTask>();
    inputSnapshotTask_ = task;
    auto files = std::make_shared<CapturedFiles>(manifestURL);

    runInBackground(
        this,
        [backend = backend_, root = temporaryRoot_, sources, manifestURL, captureProgress,
         stop = task->stopToken()] {
            try {
                TemporaryFolder::ensureInputSnapshotFolder(root);
            } catch (const std::exception& e) {
                // The same failure as a manifest that cannot be created: nothing is written
                // into a folder that is not certainly ours.
                throw ArchivePipelineError::finalizationFailed(
                    std::string("could not create input snapshot: ") + e.what());
            }
            return backend->captureInputSnapshot(sources, manifestURL, *captureProgress, stop);
        },
        [generation, sources, captureProgress, task, files, leases](
            DeliveryJobModel* model, WorkOutcome<ArchiveInputSnapshot> outcome) {
            bool keepFiles = false;
            if (model != nullptr) {
                model->applyCapture(generation, sources, captureProgress, outcome, keepFiles);
            }
            if (keepFiles) {
                files->adopt();
            } else {
                files->remove();
            }
            task->finish();
        });
}

void DeliveryJobModel::applyCapture(std::uint64_t generation,
                                    const std::vector<std::string>& sources,
                                    const std::shared_ptr<Progress>& captureProgress,
                                    WorkOutcome<ArchiveInputSnapshot>& outcome, bool& keepFiles) {
    const bool current = inputSnapshotGeneration_ == generation;
    const bool cancelled = captureProgress->isCancelled();
    if (outcome.value) {
        if (!current || inputURLs_ != sources || cancelled) {
            if (current && inputURLs_ == sources) {
                assign(isCapturingInputSnapshot_, false,
                       &DeliveryJobModel::isCapturingInputSnapshotChanged);
                inputSnapshotProgress_.reset();
                inputSnapshotTask_.reset();
                assign(phase_, Phase::cancelled, &DeliveryJobModel::phaseChanged);
            }
            settle();
            return;
        }
        keepFiles = true;
        inputSnapshot_ = std::move(outcome.value);
        emit inputSnapshotChanged();
        assign(isCapturingInputSnapshot_, false,
               &DeliveryJobModel::isCapturingInputSnapshotChanged);
        assign(inputSnapshotError_, std::optional<QString>{},
               &DeliveryJobModel::inputSnapshotErrorChanged);
        inputSnapshotProgress_.reset();
        inputSnapshotTask_.reset();
        settle();
        return;
    }
    if (!current) {
        return;
    }
    assign(isCapturingInputSnapshot_, false, &DeliveryJobModel::isCapturingInputSnapshotChanged);
    if (cancelled) {
        assign(inputSnapshotError_, std::optional<QString>{},
               &DeliveryJobModel::inputSnapshotErrorChanged);
        assign(phase_, Phase::cancelled, &DeliveryJobModel::phaseChanged);
    } else {
        assign(inputSnapshotError_, std::optional<QString>(userMessage(outcome.error)),
               &DeliveryJobModel::inputSnapshotErrorChanged);
    }
    inputSnapshotProgress_.reset();
    inputSnapshotTask_.reset();
    settle();
}

// ----- Jobs -----

void DeliveryJobModel::startPacking(const std::string& archiveURL,
                                    const std::optional<std::string>& destinationAccessURL) {
    if (isBusy() || refusesNewWork_ || inputMode().kind != InputMode::Kind::files ||
        !inputSnapshot_) {
        return;
    }
    ArchiveInputSnapshot snapshot = *inputSnapshot_;
    auto sources = inputURLs_;
    auto leaseURLs = sources;
    leaseURLs.push_back(archiveURL);
    if (destinationAccessURL) {
        leaseURLs.push_back(*destinationAccessURL);
    }
    run(Phase::packing, [backend = backend_, leases = openLeases(leaseURLs), snapshot, sources,
                         archiveURL](Progress& jobProgress, std::stop_token stop) {
        // The job owns the snapshot from here on, whatever the pack ends with.
        const ScopeExit removeSnapshot([&snapshot] { removeSnapshotFiles(snapshot.manifestURL); });
        PackReceipt receipt = backend->pack(sources, archiveURL, jobProgress, snapshot, stop);
        return JobResult{receipt.outputURL, receipt.fileCount, receipt.totalBytes, receipt.archive};
    });
    inputSnapshot_.reset();
    emit inputSnapshotChanged();
    settle();
}

void DeliveryJobModel::startUnpacking(const std::string& destinationRoot) {
    if (isBusy() || refusesNewWork_ || inputMode().kind != InputMode::Kind::singleArchive) {
        return;
    }
    const std::string archiveURL = inputURLs_.front();
    run(Phase::unpacking,
        [backend = backend_, leases = openLeases({archiveURL, destinationRoot}), archiveURL,
         destinationRoot](Progress& jobProgress, std::stop_token stop) {
            UnpackReceipt receipt = backend->unpack(archiveURL, destinationRoot, jobProgress, stop);
            return JobResult{receipt.outputURL, receipt.fileCount, receipt.totalBytes, {}};
        });
    settle();
}

void DeliveryJobModel::run(Phase phase, JobOperation operation) {
    auto jobProgress = std::make_shared<Progress>(1);
    assign(progress_, jobProgress, &DeliveryJobModel::progressChanged);
    clearOutcome();
    assign(phase_, phase, &DeliveryJobModel::phaseChanged);
    startPolling(jobProgress);

    auto task = std::make_shared<BackgroundTask>();
    activeTask_ = task;
    runInBackground(
        this,
        [operation = std::move(operation), jobProgress, stop = task->stopToken()] {
            return operation(*jobProgress, stop);
        },
        [jobProgress, task](DeliveryJobModel* model, WorkOutcome<JobResult> outcome) {
            if (model != nullptr) {
                model->finishJob(jobProgress, outcome);
            }
            task->finish();
        });
}

void DeliveryJobModel::finishJob(const std::shared_ptr<Progress>& jobProgress,
                                 WorkOutcome<JobResult>& outcome) {
    assign(cleanupWarning_,
           optionalText(jobProgress->userInfoText(ArchiveProgressInfo::cleanupWarningKey)),
           &DeliveryJobModel::cleanupWarningChanged);
    assign(
        droppedAttributesWarning_,
        optionalText(jobProgress->userInfoText(ArchiveProgressInfo::droppedAttributesWarningKey)),
        &DeliveryJobModel::droppedAttributesWarningChanged);
    if (outcome.value) {
        JobResult& result = *outcome.value;
        assign(outputURL_, std::optional<std::string>(result.outputURL),
               &DeliveryJobModel::outputURLChanged);
        assign(verifiedArchive_, result.archive, &DeliveryJobModel::verifiedArchiveChanged);
        assign(completedFileCount_, result.fileCount, &DeliveryJobModel::completedFileCountChanged);
        assign(completedBytes_, result.totalBytes, &DeliveryJobModel::completedBytesChanged);
        if (progress_) {
            progress_->setCompletedUnitCount(progress_->totalUnitCount());
        }
        assign(progressFraction_, 1.0, &DeliveryJobModel::progressFractionChanged);
        assign(progressTotalUnitCount_, progress_ ? progress_->totalUnitCount() : std::int64_t{1},
               &DeliveryJobModel::progressTotalUnitCountChanged);
        assign(phase_, Phase::complete, &DeliveryJobModel::phaseChanged);
    } else if (jobProgress->isCancelled() || isCancellation(outcome.error)) {
        assign(phase_, Phase::cancelled, &DeliveryJobModel::phaseChanged);
    } else {
        assign(errorMessage_, std::optional<QString>(userMessage(outcome.error)),
               &DeliveryJobModel::errorMessageChanged);
        assign(phase_, Phase::failed, &DeliveryJobModel::phaseChanged);
    }
    activeTask_.reset();
    stopPolling();
    settle();
}

void DeliveryJobModel::cancel() {
    if (!canCancel()) {
        return;
    }
    if (isCapturingInputSnapshot_) {
        if (inputSnapshotProgress_) {
            inputSnapshotProgress_->cancel();
        }
        if (inputSnapshotTask_) {
            inputSnapshotTask_->cancel();
        }
    } else {
        if (progress_) {
            progress_->cancel();
        }
        if (activeTask_) {
            activeTask_->cancel();
        }
    }
}

void DeliveryJobModel::cancelAndWaitForActiveJob(std::function<void()> done) {
    auto capture = inputSnapshotTask_;
    auto job = activeTask_;
    if (canCancel()) {
        cancel();
    }
    auto awaitJob = [job, done = std::move(done)] {
        if (job) {
            job->whenFinished(done);
        } else {
            done();
        }
    };
    if (capture) {
        capture->whenFinished(std::move(awaitJob));
    } else {
        awaitJob();
    }
}

// ----- Progress sampling -----

double DeliveryJobModel::runningFraction(double fraction) noexcept {
    if (std::isnan(fraction) || fraction < 0.0) {
        return 0.0;
    }
    return fraction > 0.99 ? 0.99 : fraction;
}

void DeliveryJobModel::startPolling(std::shared_ptr<Progress> jobProgress) {
    stopPolling();
    polledProgress_ = std::move(jobProgress);
    pollProgress();
    progressTimer_.start();
}

void DeliveryJobModel::stopPolling() {
    progressTimer_.stop();
    polledProgress_.reset();
}

void DeliveryJobModel::pollProgress() {
    if (!polledProgress_) {
        return;
    }
    // One consistent reading of everything the worker has published.
    const Progress::Snapshot sample = polledProgress_->snapshot();
    assign(progressFraction_, runningFraction(sample.fractionCompleted()),
           &DeliveryJobModel::progressFractionChanged);
    assign(progressTotalUnitCount_, sample.totalUnitCount,
           &DeliveryJobModel::progressTotalUnitCountChanged);
    assign(progressStage_, optionalText(sample.text(ArchiveProgressInfo::stageKey)),
           &DeliveryJobModel::progressStageChanged);
    assign(progressCompletedBytes_,
           sample.number(ArchiveProgressInfo::stageCompletedBytesKey).value_or(0),
           &DeliveryJobModel::progressCompletedBytesChanged);
    assign(progressTotalBytes_, sample.number(ArchiveProgressInfo::stageTotalBytesKey).value_or(0),
           &DeliveryJobModel::progressTotalBytesChanged);
    assign(scannedEntryCount_, sample.number(ArchiveProgressInfo::scannedEntriesKey).value_or(0),
           &DeliveryJobModel::scannedEntryCountChanged);
    // The stage may have reached "committing", which ends the chance to cancel.
    settle();
}

}  // namespace tolvane
