#include "core/archive/ArchivePipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchiveEntryWriter.h"
#include "core/archive/ArchiveLimits.h"
#include "core/archive/ArchivePackProgress.h"
#include "core/archive/ArchivePackWalk.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveSelection.h"
#include "core/archive/ArchiveValues.h"
#include "core/archive/ArchiveVerification.h"
#include "core/archive/JSONLines.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/StagingLease.h"
#include "core/archive/StreamingZIPWriter.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/ScopeExit.h"
#include "core/common/UniqueFd.h"
#include "core/common/Uuid.h"

namespace tolvane::ArchivePipeline {

namespace {

constexpr std::string_view snapshotName = "snapshot.jsonl";
constexpr std::string_view expectedName = "expected.jsonl";
constexpr std::string_view payloadName = "payload.zip";
constexpr std::string_view spoolName = "central-directory.bin";
// What open(2) gives a new file before the umask applies.
constexpr mode_t newFileMode = 0666;
constexpr std::string_view mappingName = "path-mapping.jsonl";

// Whether `path` is `folder` itself or lies somewhere below it. Both are absolute and
// standardized, or both relative to the same place. The root holds every absolute path: the
// "folder + /" test alone would look for a "//" prefix that no standardized path has.
bool isSameOrInside(std::string_view path, std::string_view folder) {
    if (path == folder) {
        return true;
    }
    if (folder == "/") {
        return path.starts_with('/');
    }
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

// The folder the archive goes into. A bare file name lies in the working directory.
std::string destinationFolderOf(const std::string& archivePath) {
    const std::string folder = PathText::standardized(PathText::deletingLastComponent(archivePath));
    return folder.empty() ? std::string(".") : folder;
}

// Flushes and closes the descriptor, reporting both failures. After a failed flush the job's
// clean-up still closes it.
void syncAndClose(UniqueFd& fd) {
    posix::fsync(fd.get());
    posix::close(fd, "close");
}

// Creates a stage file through the stage's descriptor, private to the user unless `mode` says
// otherwise; a failure to create it is reported as the job's own finalization failure.
UniqueFd createStageFile(const StagingLease& lease, std::string_view name,
                         const char* failureDetail, mode_t mode = 0600) {
    try {
        return lease.createStageFile(std::string(name), O_WRONLY, mode);
    } catch (const std::system_error&) {
        throw ArchivePipelineError::finalizationFailed(failureDetail);
    }
}

// One pack, as the steps its checkpoints name. Everything the stage holds lives here and is
// released, and the stage removed, on every way out of run(), success included.
class PackJob {
public:
    PackJob(const std::vector<std::string>& sources, const std::string& archivePath,
            Progress* progress, const std::optional<ArchiveInputSnapshot>& selectionSnapshot,
            std::optional<ArchiveCompressionMode> compressionMode, std::stop_token stop,
            const PackCheckpoint& checkpoint)
        : sources_(sources),
          archivePath_(archivePath),
          progress_(progress),
          selectionSnapshot_(selectionSnapshot),
          compressionMode_(compressionMode),
          stop_(std::move(stop)),
          checkpoint_(checkpoint),
          snapshotBytes_(selectionSnapshot ? std::optional(selectionSnapshot->totalBytes)
                                           : std::nullopt),
          packProgress_(progress, snapshotBytes_) {}

    PackReceipt run() {
        refuseBeforeStaging();
        lease_.emplace(makeStage(destinationFolder_, "pack", progress_));
        const ScopeExit removeStage([this] { releaseStage(); });
        createStageFiles();
        try {
            walk();
            checkSelection();
            addManifest();
        } catch (...) {
            writePendingEntries();
            throw;
        }
        finalize();
        verify();
        recheck();
        hash();
        return commit();
    }

private:
    void reach(PackStep step) const {
        if (checkpoint_) {
            checkpoint_(step);
        }
    }
    void checkCancelled() const { checkArchiveCancellation(progress_, stop_); }

    // The writer may still hold entries handed over before a failure of the walk's own; one of
    // them failing to be written came first, and is what the job reports. A cancelled job, or a
    // writer that failed already, has nothing to add.
    void writePendingEntries() {
        if (writer_ && !isCancelled(progress_, stop_)) {
            writer_->writePendingEntries([] {});
        }
    }
    std::string stagePath(std::string_view name) const {
        return PathText::appending(lease_->url(), name);
    }
    void setStage(std::string_view stage) const {
        if (progress_ != nullptr) {
            progress_->setUserInfo(ArchiveProgressInfo::stageKey, std::string(stage));
        }
    }

    // Checks that need nothing on disk come first, so a refusal leaves the folder untouched.
    void refuseBeforeStaging() {
        if (sources_.empty()) {
            throw ArchivePipelineError::noInputs();
        }
        setStage(ArchiveProgressInfo::Stage::scanning);
        if (progress_ != nullptr) {
            progress_->setTotalUnitCount(selectionSnapshot_ ? ArchivePackProgress::totalUnits : 1);
            progress_->setCompletedUnitCount(0);
            progress_->setUserInfo(ArchiveProgressInfo::scannedEntriesKey, std::uint64_t{0});
        }
        destinationFolder_ = destinationFolderOf(archivePath_);
        const std::string physicalDestination = physicalDirectoryURL(destinationFolder_);
        policy_.emplace(ArchiveDestinationPolicy::read(physicalDestination));
        if (policy_->isReadOnly) {
            throw ArchivePipelineError::destinationReadOnly();
        }
        for (const std::string& source : sources_) {
            if (isSameOrInside(physicalDestination, physicalDirectoryURL(source))) {
                throw ArchivePipelineError::destinationIsInsideSource();
            }
        }
        // A volume with no room beyond the reserve leaves the writer no budget for a single
        // byte. Saying so before the stage is made keeps a full disk from failing first, less
        // helpfully, on the stage's own journal or registry.
        if (StreamingZIPWriter::archiveByteBudget(policy_->availableBytes) == std::uint64_t{0}) {
            throw ArchivePipelineError::insufficientSpace();
        }
    }

    void createStageFiles() {
        stageFd_ = lease_->openStageDirectory();
        snapshotFd_ = createStageFile(*lease_, snapshotName, "could not create job manifests");
        expectedFd_ = createStageFile(*lease_, expectedName, "could not create job manifests");
        snapshotRows_.emplace(snapshotFd_.get());
        expectedRows_.emplace(expectedFd_.get());
        const ArchiveCompressionMode mode =
            compressionMode_ ? *compressionMode_ : policy_->compressionMode(snapshotBytes_);
        // The delivered ZIP is a file the user saves: it gets the permissions of any new file
        // (0666 less the umask). Nobody else reaches it before the commit, the stage being 0700.
        UniqueFd payload = createStageFile(*lease_, payloadName,
                                           "could not create ZIP staging files", newFileMode);
        UniqueFd spool = createStageFile(*lease_, spoolName, "could not create ZIP staging files");
        writer_.emplace(std::move(payload), std::move(spool), stagePath(spoolName), mode,
                        policy_->maximumFileBytes,
                        StreamingZIPWriter::archiveByteBudget(policy_->availableBytes),
                        StreamingZIPWriter::FreeSpaceProbe(),
                        StreamingZIPWriter::defaultThreadCount());
        registry_.emplace(stagePath(pathRegistryFileName));
    }

    // Never throws: it runs on the way out of a failure as well.
    void releaseStage() noexcept {
        writer_.reset();
        if (registry_) {
            try {
                registry_->close();
            } catch (...) {
                // The registry lies in the stage, which goes next; nothing else reads it.
            }
            registry_.reset();
        }
        snapshotRows_.reset();
        expectedRows_.reset();
        snapshotFd_.reset();
        expectedFd_.reset();
        stageFd_.reset();
        lease_->remove(progress_);
    }

    void walk() {
        PackWalk walk{*registry_, *snapshotRows_, *expectedRows_, *writer_, stageFd_.get(),
                      progress_,  packProgress_,  stop_,          {},       {}};
        reach(PackStep::walk);
        for (const std::string& source : sources_) {
            checkCancelled();
            // The walk reads the sources by the paths given; those must not lead into the
            // destination either, whatever the physical check found.
            if (isSameOrInside(destinationFolder_, PathText::standardized(source))) {
                throw ArchivePipelineError::destinationIsInsideSource();
            }
            appendSnapshot(sourceItem(source), walk);
        }
        finishPackWalk(walk);
        counters_ = walk.counters;
        // Everything after the walk reads the lists back.
        snapshotRows_->flush();
        expectedRows_->flush();
    }

    void checkSelection() {
        if (selectionSnapshot_) {
            reach(PackStep::selection);
            verifySelectionSnapshot(*selectionSnapshot_, stagePath(snapshotName),
                                    stagePath(expectedName), progress_, stop_);
        }
    }

    void addManifest() {
        reach(PackStep::manifest);
        registry_->close();
        syncAndClose(snapshotFd_);
        lease_->verifyDestinationParent();
        posix::fsync(expectedFd_.get());
        std::uint64_t manifestBytes = 0;
        if (counters_.pathMappingCount > 0) {
            const std::string manifestPath = stagePath(mappingName);
            manifestBytes =
                writePathMappingManifest(stagePath(snapshotName), stagePath(expectedName),
                                         manifestPath, counters_.entryCount, progress_, stop_);
            if (manifestBytes > 0) {
                checkStageSpace(stageFd_.get());
                appendPathMappingFile(manifestPath, *writer_, *expectedRows_, progress_, stop_);
                expectedRows_->flush();
            }
        }
        if (manifestBytes >= packByteLimit - counters_.totalBytes) {
            throw ArchivePipelineError::insufficientSpace();
        }
        verificationBytes_ = counters_.totalBytes + manifestBytes;
    }

    void finalize() {
        reach(PackStep::finalize);
        writer_->finalize([this] { checkCancelled(); });
        syncAndClose(expectedFd_);
    }

    void verify() {
        packProgress_.beginVerification(verificationBytes_);
        reach(PackStep::verification);
        ArchiveVerification::verifyCreatedArchive(stagePath(payloadName), stagePath(expectedName),
                                                  progress_, stop_, verificationBytes_,
                                                  packProgress_);
    }

    void recheck() {
        reach(PackStep::recheck);
        checkCancelled();
        verifySnapshotIsStillPresent(stagePath(snapshotName), progress_, stop_);
        checkCancelled();
        lease_->removeFileFromStage(std::string(snapshotName));
        lease_->removeFileFromStage(std::string(expectedName));
        checkCancelled();
    }

    // Size and digest come from one descriptor, so both describe the same file. Anything but a
    // regular file has no size to report.
    void hash() {
        const UniqueFd archive =
            posix::openAt(stageFd_.get(), std::string(payloadName), O_RDONLY | O_NOFOLLOW);
        const struct stat status = posix::fstat(archive.get());
        if (!S_ISREG(status.st_mode) || status.st_size < 0) {
            throw ArchivePipelineError::insufficientSpace();
        }
        archiveBytes_ = status.st_size;
        packProgress_.beginHashing(static_cast<std::uint64_t>(archiveBytes_));
        reach(PackStep::hashing);
        digest_ = sha256File(archive.get(), progress_, &packProgress_, stop_);
    }

    // Everything that can fail happens before the commit: once the archive is in place the
    // caller must learn of it.
    PackReceipt commit() {
        PackReceipt receipt;
        receipt.fileCount = counters_.fileCount;
        receipt.totalBytes = counters_.totalBytes;
        receipt.archive.jobID = Uuid::random();
        receipt.archive.byteCount = archiveBytes_;
        receipt.archive.sha256 = std::move(digest_);

        reach(PackStep::commit);
        checkCancelled();
        setStage(ArchiveProgressInfo::Stage::committing);
        std::string committed = lease_->commitFile(std::string(payloadName), archivePath_);
        packProgress_.finish();

        receipt.outputURL = committed;
        receipt.archive.url = std::move(committed);
        receipt.verified = true;
        return receipt;
    }

    const std::vector<std::string>& sources_;
    const std::string& archivePath_;
    Progress* progress_;
    const std::optional<ArchiveInputSnapshot>& selectionSnapshot_;
    std::optional<ArchiveCompressionMode> compressionMode_;
    std::stop_token stop_;
    const PackCheckpoint& checkpoint_;
    std::optional<std::uint64_t> snapshotBytes_;
    ArchivePackProgress packProgress_;

    std::string destinationFolder_;
    std::optional<ArchiveDestinationPolicy> policy_;
    std::optional<StagingLease> lease_;
    UniqueFd stageFd_;
    UniqueFd snapshotFd_;
    UniqueFd expectedFd_;
    std::optional<JSONLines::Writer> snapshotRows_;
    std::optional<JSONLines::Writer> expectedRows_;
    std::optional<StreamingZIPWriter> writer_;
    std::optional<ArchivePathRegistry> registry_;
    PackWalkCounters counters_;
    std::uint64_t verificationBytes_ = 0;
    std::int64_t archiveBytes_ = 0;
    std::string digest_;
};

}  // namespace

PackReceipt pack(const std::vector<std::string>& sources, const std::string& archivePath,
                 Progress* progress, const std::optional<ArchiveInputSnapshot>& selectionSnapshot,
                 std::optional<ArchiveCompressionMode> compressionMode, std::stop_token stop) {
    return pack(sources, archivePath, progress, selectionSnapshot, compressionMode, std::move(stop),
                {});
}

PackReceipt pack(const std::vector<std::string>& sources, const std::string& archivePath,
                 Progress* progress, const std::optional<ArchiveInputSnapshot>& selectionSnapshot,
                 std::optional<ArchiveCompressionMode> compressionMode, std::stop_token stop,
                 const PackCheckpoint& checkpoint) {
    return PackJob(sources, archivePath, progress, selectionSnapshot, compressionMode,
                   std::move(stop), checkpoint)
        .run();
}

}  // namespace tolvane::ArchivePipeline
