#include "core/archive/ArchivePipeline.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
#include "core/archive/ArchivePackProgress.h"
#include "core/archive/ArchivePackWalk.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveSelection.h"
#include "core/archive/ArchiveValues.h"
#include "core/archive/ArchiveVerification.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/StagingLease.h"
#include "core/archive/StreamingZIPWriter.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/UniqueFd.h"
#include "core/common/Uuid.h"

namespace tolvane::ArchivePipeline {

namespace {

constexpr std::string_view snapshotName = "snapshot.jsonl";
constexpr std::string_view expectedName = "expected.jsonl";
constexpr std::string_view payloadName = "payload.zip";
constexpr std::string_view spoolName = "central-directory.bin";
constexpr std::string_view registryName = "path-registry.sqlite";
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

// Flushes and closes the descriptor, reporting both failures; a failed flush still closes it.
void syncAndClose(UniqueFd& fd) {
    try {
        posix::fsync(fd.get());
    } catch (...) {
        fd.reset();
        throw;
    }
    // close(2) is not retried: on Linux the descriptor is gone even when it reports EINTR.
    if (::close(fd.release()) != 0 && errno != EINTR) {
        posix::throwLastError("close");
    }
}

// Everything one pack holds while its stage exists. The destructor releases the writer, the
// registry and the descriptors, then removes the stage, on every way out, success included.
class PackJob {
public:
    PackJob(StagingLease lease, Progress* progress)
        : lease_(std::move(lease)), progress_(progress) {}
    PackJob(const PackJob&) = delete;
    PackJob& operator=(const PackJob&) = delete;
    ~PackJob() {
        writer.reset();
        if (registry) {
            try {
                registry->close();
            } catch (...) {
                // The registry lies in the stage, which goes next; nothing else reads it.
            }
            registry.reset();
        }
        snapshotFd.reset();
        expectedFd.reset();
        stageFd.reset();
        lease_.remove(progress_);
    }

    StagingLease& lease() noexcept { return lease_; }
    std::string stagePath(std::string_view name) const {
        return PathText::appending(lease_.url(), name);
    }

    UniqueFd stageFd;
    UniqueFd snapshotFd;
    UniqueFd expectedFd;
    std::optional<StreamingZIPWriter> writer;
    std::optional<ArchivePathRegistry> registry;

private:
    StagingLease lease_;
    Progress* progress_;
};

// Creates a stage file through the stage's descriptor; a failure to create it is reported as the
// job's own finalization failure.
UniqueFd createStageFile(const StagingLease& lease, std::string_view name,
                         const char* failureDetail) {
    try {
        return lease.createStageFile(std::string(name), O_WRONLY);
    } catch (const std::system_error&) {
        throw ArchivePipelineError::finalizationFailed(failureDetail);
    }
}

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
    const auto reach = [&](std::string_view step) {
        if (checkpoint) {
            checkpoint(step);
        }
    };
    const auto checkCancelled = [&] { checkArchiveCancellation(progress, stop); };

    if (sources.empty()) {
        throw ArchivePipelineError::noInputs();
    }
    if (progress != nullptr) {
        progress->setUserInfo(ArchiveProgressInfo::stageKey,
                              std::string(ArchiveProgressInfo::Stage::scanning));
    }
    const std::optional<std::uint64_t> snapshotBytes =
        selectionSnapshot ? std::optional<std::uint64_t>(selectionSnapshot->totalBytes)
                          : std::nullopt;
    ArchivePackProgress packProgress(progress, snapshotBytes);
    if (progress != nullptr) {
        progress->setTotalUnitCount(selectionSnapshot ? ArchivePackProgress::totalUnits : 1);
        progress->setCompletedUnitCount(0);
        progress->setUserInfo(ArchiveProgressInfo::scannedEntriesKey, std::uint64_t{0});
    }

    // Checks that need nothing on disk come first, so a refusal leaves the folder untouched.
    const std::string destinationFolder = destinationFolderOf(archivePath);
    const std::string physicalDestination = physicalDirectoryURL(destinationFolder);
    const ArchiveDestinationPolicy policy = ArchiveDestinationPolicy::read(physicalDestination);
    if (policy.isReadOnly) {
        throw ArchivePipelineError::destinationReadOnly();
    }
    for (const std::string& source : sources) {
        if (isSameOrInside(physicalDestination, physicalDirectoryURL(source))) {
            throw ArchivePipelineError::destinationIsInsideSource();
        }
    }
    // A volume with no room beyond the reserve leaves the writer no budget for a single byte.
    // Saying so before the stage is made keeps a full disk from failing first, less helpfully,
    // on the stage's own journal or registry.
    if (StreamingZIPWriter::archiveByteBudget(policy.availableBytes) == std::uint64_t{0}) {
        throw ArchivePipelineError::insufficientSpace();
    }

    PackJob job(makeStage(destinationFolder, "pack", progress), progress);
    StagingLease& lease = job.lease();
    job.stageFd = lease.openStageDirectory();
    job.snapshotFd = createStageFile(lease, snapshotName, "could not create job manifests");
    job.expectedFd = createStageFile(lease, expectedName, "could not create job manifests");

    const ArchiveCompressionMode mode =
        compressionMode ? *compressionMode : policy.compressionMode(snapshotBytes);
    UniqueFd payload = createStageFile(lease, payloadName, "could not create ZIP staging files");
    UniqueFd spool = createStageFile(lease, spoolName, "could not create ZIP staging files");
    job.writer.emplace(std::move(payload), std::move(spool), job.stagePath(spoolName), mode,
                       policy.maximumFileBytes,
                       StreamingZIPWriter::archiveByteBudget(policy.availableBytes));
    job.registry.emplace(job.stagePath(registryName));

    PackWalk walk{*job.registry,
                  job.snapshotFd.get(),
                  job.expectedFd.get(),
                  *job.writer,
                  job.stageFd.get(),
                  progress,
                  packProgress,
                  stop,
                  {},
                  {}};
    reach("walk");
    for (const std::string& source : sources) {
        checkCancelled();
        // The walk reads the sources by the paths given; those must not lead into the
        // destination either, whatever the physical check above found.
        if (isSameOrInside(destinationFolder, PathText::standardized(source))) {
            throw ArchivePipelineError::destinationIsInsideSource();
        }
        appendSnapshot(sourceItem(source), walk);
    }
    finishPackWalk(walk);
    const PackWalkCounters counters = walk.counters;

    const std::string snapshotPath = job.stagePath(snapshotName);
    const std::string expectedPath = job.stagePath(expectedName);
    if (selectionSnapshot) {
        reach("selection");
        verifySelectionSnapshot(*selectionSnapshot, snapshotPath, expectedPath, progress, stop);
    }

    reach("manifest");
    job.registry->close();
    syncAndClose(job.snapshotFd);
    lease.verifyDestinationParent();
    try {
        posix::fsync(job.expectedFd.get());
    } catch (...) {
        job.expectedFd.reset();
        throw;
    }
    std::uint64_t manifestBytes = 0;
    if (counters.pathMappingCount > 0) {
        const std::string manifestPath = job.stagePath(mappingName);
        manifestBytes = writePathMappingManifest(snapshotPath, expectedPath, manifestPath,
                                                 counters.entryCount, progress, stop);
        if (manifestBytes > 0) {
            checkStageSpace(job.stageFd.get());
            appendPathMappingFile(manifestPath, *job.writer, job.expectedFd.get(), progress, stop);
        }
    }
    if (manifestBytes >= packByteLimit - counters.totalBytes) {
        throw ArchivePipelineError::insufficientSpace();
    }
    const std::uint64_t verificationBytes = counters.totalBytes + manifestBytes;

    reach("finalize");
    job.writer->finalize(checkCancelled);
    syncAndClose(job.expectedFd);

    packProgress.beginVerification(verificationBytes);
    reach("verification");
    ArchiveVerification::verifyCreatedArchive(job.stagePath(payloadName), expectedPath, progress,
                                              stop, verificationBytes, packProgress);

    reach("recheck");
    checkCancelled();
    verifySnapshotIsStillPresent(snapshotPath, progress, stop);
    checkCancelled();
    lease.removeFileFromStage(std::string(snapshotName));
    lease.removeFileFromStage(std::string(expectedName));
    checkCancelled();

    // Size and digest come from one descriptor, so both describe the same file. Anything but a
    // regular file has no size to report.
    const UniqueFd archive =
        posix::openAt(job.stageFd.get(), std::string(payloadName), O_RDONLY | O_NOFOLLOW);
    const struct stat archiveStatus = posix::fstat(archive.get());
    if (!S_ISREG(archiveStatus.st_mode) || archiveStatus.st_size < 0) {
        throw ArchivePipelineError::insufficientSpace();
    }
    const auto archiveBytes = static_cast<std::uint64_t>(archiveStatus.st_size);
    packProgress.beginHashing(archiveBytes);
    reach("hashing");
    std::string digest = sha256File(archive.get(), progress, &packProgress, stop);

    // Everything that can fail happens before the commit: once the archive is in place the
    // caller must learn of it.
    PackReceipt receipt;
    receipt.fileCount = counters.fileCount;
    receipt.totalBytes = counters.totalBytes;
    receipt.archive.jobID = Uuid::random();
    receipt.archive.byteCount = archiveStatus.st_size;
    receipt.archive.sha256 = std::move(digest);

    reach("commit");
    checkCancelled();
    if (progress != nullptr) {
        progress->setUserInfo(ArchiveProgressInfo::stageKey,
                              std::string(ArchiveProgressInfo::Stage::committing));
    }
    std::string committed = lease.commitFile(std::string(payloadName), archivePath);
    packProgress.finish();

    receipt.outputURL = committed;
    receipt.archive.url = std::move(committed);
    receipt.verified = true;
    return receipt;
}

}  // namespace tolvane::ArchivePipeline
