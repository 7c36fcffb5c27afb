#include "core/archive/ArchiveSelection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/archive/ArchiveEntryWriter.h"
#include "core/archive/ArchivePackWalk.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveSourceChange.h"
#include "core/archive/StreamingZIPWriter.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/Log.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/ScopeExit.h"
#include "core/common/ThreadPool.h"
#include "core/common/UniqueFd.h"

namespace tolvane::ArchivePipeline {

namespace {

// The path registry of a capture lives beside its manifest while the capture runs.
constexpr std::string_view registrySuffix = ".registry.sqlite";
// Rows waiting for their digests; the walk waits for the oldest beyond this many.
constexpr std::size_t maxPendingRows = 1024;
// Files handed to a hashing thread at a time: small files take less to hash than to hand over.
constexpr std::size_t hashBatchFiles = 64;

bool sameIdentity(const struct stat& a, const struct stat& b) noexcept {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes the file at `path` only while it is still the one this capture created, so a failure
// never deletes something another program put there.
void removeIfSame(const std::string& path, const struct stat& created) noexcept {
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        sameIdentity(status, created)) {
        ::unlink(path.c_str());
    }
}

void verifySnapshotRows(JSONLines::Reader& reader, const Progress* progress,
                        const std::stop_token& stop) {
    while (const std::optional<SourceSnapshotRecord> record = reader.next<SourceSnapshotRecord>()) {
        checkArchiveCancellation(progress, stop);
        verifySelectionSource(*record, progress, stop);
    }
}

std::string archivePathOf(const SourceSnapshotRecord& record) {
    return record.isDirectory ? record.entryPath + "/" : record.entryPath;
}

// The manifest of a snapshot, opened once: every later check and read goes through this
// descriptor, so the file that was identified is the file that is read.
UniqueFd openSnapshotManifest(const ArchiveInputSnapshot& snapshot) {
    UniqueFd fd;
    try {
        fd = openSourceForReading(snapshot.manifestURL);
    } catch (const std::system_error&) {
        throw ArchivePipelineError::invalidInputSnapshot();
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid() ||
        static_cast<std::uint64_t>(status.st_dev) != snapshot.device ||
        static_cast<std::uint64_t>(status.st_ino) != snapshot.inode) {
        throw ArchivePipelineError::invalidInputSnapshot();
    }
    clearNonBlocking(fd.get());
    return fd;
}

// Hands the files gathered so far to one hashing thread.
void submitBatch(CaptureWalk& walk) {
    if (walk.batch.empty()) {
        return;
    }
    auto batch = std::make_shared<decltype(walk.batch)>(std::move(walk.batch));
    walk.batch.clear();
    walk.hashers->submit([batch, progress = walk.progress, stop = walk.stop](std::size_t) {
        for (auto& [record, digest] : *batch) {
            try {
                digest.set_value(selectionContentHash(record, progress, stop));
            } catch (...) {
                digest.set_exception(std::current_exception());
            }
        }
    });
}

// Writes the waiting rows whose digests are done, and more, in order, until at most `keep` wait.
void writeReadyRows(CaptureWalk& walk, std::size_t keep) {
    if (walk.pending.size() > keep) {
        submitBatch(walk);  // the rows to wait for must be on their way
    }
    while (!walk.pending.empty()) {
        PendingSnapshotRow& row = walk.pending.front();
        const bool ready =
            !row.contentSHA256.valid() ||
            row.contentSHA256.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        if (!ready && walk.pending.size() <= keep) {
            return;
        }
        if (row.contentSHA256.valid()) {
            try {
                row.record.contentSHA256 = row.contentSHA256.get();
            } catch (...) {
                // The first failure in walk order: nothing after it is written or waited for.
                walk.pending.clear();
                walk.batch.clear();
                throw;
            }
        }
        walk.manifest.append(row.record);
        walk.pending.pop_front();
    }
}

}  // namespace

// Records the item and, for a folder, its tree, in the order and under the paths the pack walk
// gives them.
void appendSelectionSnapshot(const WalkItem& item, CaptureWalk& walk) {
    checkArchiveCancellation(walk.progress, walk.stop);
    SourceSnapshotRecord record = recordItem(item, walk.registry);
    std::future<std::string> digest;
    if (!record.isDirectory) {
        if (record.size >= captureByteLimit - walk.totalBytes) {
            throw ArchivePipelineError::insufficientSpace();
        }
        walk.totalBytes += record.size;
        if (walk.hashers == nullptr) {
            record.contentSHA256 = selectionContentHash(record, walk.progress, walk.stop);
        } else {
            std::promise<std::string> promise;
            digest = promise.get_future();
            walk.batch.emplace_back(record, std::move(promise));
            if (walk.batch.size() == hashBatchFiles) {
                submitBatch(walk);
            }
        }
    }
    if (walk.hashers == nullptr) {
        walk.manifest.append(record);
    } else {
        walk.pending.push_back({record, std::move(digest)});
        writeReadyRows(walk, maxPendingRows);
    }
    ++walk.entryCount;
    publishScannedEntries(walk.progress, walk.entryCount);
    if (walk.entryCount > maxEntryCount) {
        throw ArchivePipelineError::tooManyEntries();
    }
    if (record.isDirectory) {
        enumerateDirectoryChildren(record, [&](const std::string& name) {
            appendSelectionSnapshot(childItem(record, name), walk);
        });
        verifySelectionSource(record, walk.progress, walk.stop);
    }
}

void finishSelectionSnapshot(CaptureWalk& walk) {
    writeReadyRows(walk, 0);
}

ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                          const std::string& manifestPath, Progress* progress,
                                          std::stop_token stop) {
    if (sources.empty()) {
        throw ArchivePipelineError::noInputs();
    }
    UniqueFd writer;
    try {
        // Exclusive: a capture never writes into a file it did not make.
        writer =
            posix::open(manifestPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY, 0600);
    } catch (const std::system_error&) {
        throw ArchivePipelineError::finalizationFailed("could not create input snapshot");
    }
    struct stat created {};
    if (::fstat(writer.get(), &created) != 0) {
        const int error = errno;
        writer.reset();
        ::unlink(manifestPath.c_str());
        posix::throwErrno(error, manifestPath);
    }
    ScopeExit removeManifest([&] {
        writer.reset();
        removeIfSame(manifestPath, created);
    });
    // The umask may have taken bits the owner needs to read the manifest back.
    if (::fchmod(writer.get(), 0600) != 0) {
        posix::throwLastError(manifestPath);
    }

    const std::string registryPath = manifestPath + std::string(registrySuffix);
    struct stat existing {};
    if (::lstat(registryPath.c_str(), &existing) == 0 || errno != ENOENT) {
        // SQLite would follow a link there and add its tables to someone else's database.
        throw ArchivePipelineError::finalizationFailed(
            "could not create the path registry: a file is in its place");
    }
    std::optional<ArchivePathRegistry> registry;
    const ScopeExit removeRegistry([&] {
        if (registry) {
            try {
                registry->close();
            } catch (...) {
                // The file goes next; nothing else reads it.
            }
        }
        registry.reset();
        ::unlink(registryPath.c_str());
    });
    registry.emplace(registryPath);

    JSONLines::Writer manifestRows(writer.get());
    CaptureWalk walk{*registry, manifestRows, progress, stop};
    // Files are read and hashed on the pack's threads while the walk goes on. Declared after
    // everything its tasks read, so they are joined first.
    std::optional<ThreadPool> hashers;
    if (const std::size_t threads = StreamingZIPWriter::defaultThreadCount(); threads > 1) {
        hashers.emplace(threads);
        walk.hashers = &*hashers;
    }
    try {
        for (const std::string& source : sources) {
            appendSelectionSnapshot(sourceItem(source), walk);
        }
    } catch (...) {
        // An item before the failing one may have failed on its hashing thread: that failure
        // came first, as it would have with the hashing done in turn.
        finishSelectionSnapshot(walk);
        throw;
    }
    finishSelectionSnapshot(walk);
    manifestRows.flush();
    posix::fsync(writer.get());
    posix::close(writer, manifestPath);

    UniqueFd reader;
    try {
        reader = openSourceForReading(manifestPath);
    } catch (const std::system_error&) {
        throw ArchivePipelineError::finalizationFailed(
            "input snapshot identity could not be verified");
    }
    struct stat status {};
    if (::fstat(reader.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_uid != ::geteuid() || !sameIdentity(status, created)) {
        throw ArchivePipelineError::finalizationFailed(
            "input snapshot identity could not be verified");
    }
    clearNonBlocking(reader.get());

    // Every row is checked against the disk once more through a second descriptor of the same
    // open file; the digest below reads by offset and does not care where the rows stopped.
    UniqueFd rowsFd(::fcntl(reader.get(), F_DUPFD_CLOEXEC, 0));
    if (!rowsFd) {
        posix::throwLastError(manifestPath);
    }
    JSONLines::Reader rows(std::move(rowsFd));
    verifySnapshotRows(rows, progress, stop);

    ArchiveInputSnapshot snapshot;
    snapshot.manifestURL = manifestPath;
    snapshot.entryCount = walk.entryCount;
    snapshot.totalBytes = walk.totalBytes;
    snapshot.manifestSHA256 = sha256File(reader.get(), progress, nullptr, stop);
    snapshot.device = static_cast<std::uint64_t>(status.st_dev);
    snapshot.inode = static_cast<std::uint64_t>(status.st_ino);
    removeManifest.dismiss();
    return snapshot;
}

std::string selectionContentHash(const SourceSnapshotRecord& record, const Progress* progress,
                                 std::stop_token stop) {
    UniqueFd fd;
    try {
        fd = openSourceForReading(record.sourcePath);
    } catch (const std::system_error& error) {
        // A file the user may not read has not changed; say so instead.
        const int code = error.code().value();
        if (code == EACCES || code == EPERM) {
            throw;
        }
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
    struct stat before {};
    if (::fstat(fd.get(), &before) != 0 || !matches(record, before, false)) {
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
    // A regular file's reads ignore the non-blocking flag. Reading stops at the recorded size:
    // bytes beyond it show in the second fstat as a new size, so no read is spent to find the
    // end. The block is no larger than the file, and never cleared, since reads fill it.
    const auto blockBytes =
        static_cast<std::size_t>(std::min<std::uint64_t>(hashBlockBytes, record.size));
    const auto block = std::make_unique_for_overwrite<std::uint8_t[]>(blockBytes);
    Sha256 digest;
    std::uint64_t total = 0;
    while (total < record.size) {
        checkArchiveCancellation(progress, stop);
        const std::size_t got = posix::readSome(fd.get(), block.get(), blockBytes);
        if (got == 0) {
            break;
        }
        if (got > record.size - total) {
            throw ArchivePipelineError::sourceChanged(record.sourcePath);
        }
        total += got;
        digest.update(std::span<const std::uint8_t>(block.get(), got));
    }
    struct stat after {};
    if (total != record.size || ::fstat(fd.get(), &after) != 0 || !matches(record, after, false) ||
        after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
        after.st_ctim.tv_nsec != before.st_ctim.tv_nsec) {
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
    return HexString::encode(digest.finish());
}

void verifySelectionSource(const SourceSnapshotRecord& record, const Progress* progress,
                           std::stop_token stop) {
    struct stat status {};
    if (record.sourcePath.find('\0') != std::string::npos ||
        ::lstat(record.sourcePath.c_str(), &status) != 0) {
        logSourceChange(SourceChangeStage::selectionMetadata, "unavailable");
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
    if (!matches(record, status, false)) {
        std::vector<std::string> names;
        try {
            names = metadataDifferenceNames(record, status, false);
        } catch (...) {
        }
        logSourceChange(SourceChangeStage::selectionMetadata, names);
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
    if (record.isDirectory || matches(record, status, true)) {
        return;
    }
    // Only the change time moved (an attribute was added, a link made): the same content is
    // still the same selection.
    if (!record.contentSHA256 ||
        selectionContentHash(record, progress, std::move(stop)) != *record.contentSHA256) {
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
}

void verifySnapshotFile(const std::string& path, const Progress* progress, std::stop_token stop) {
    JSONLines::Reader reader(path);
    verifySnapshotRows(reader, progress, stop);
}

void verifySelectionSnapshot(const ArchiveInputSnapshot& snapshot, JSONLines::Reader stageSnapshot,
                             JSONLines::Reader expected, const Progress* progress,
                             std::stop_token stop) {
    checkArchiveCancellation(progress, stop);
    UniqueFd manifest = openSnapshotManifest(snapshot);
    if (sha256File(manifest.get(), progress, nullptr, stop) != snapshot.manifestSHA256) {
        throw ArchivePipelineError::invalidInputSnapshot();
    }
    // The digest was read by offset, so the rows start at the beginning of the same file.
    JSONLines::Reader selection(std::move(manifest));
    checkArchiveCancellation(progress, stop);

    std::uint64_t compared = 0;
    for (;;) {
        checkArchiveCancellation(progress, stop);
        const std::optional<SourceSnapshotRecord> captured = selection.next<SourceSnapshotRecord>();
        const std::optional<SourceSnapshotRecord> packed =
            stageSnapshot.next<SourceSnapshotRecord>();
        if (!captured || !packed) {
            if (captured || packed) {
                logSourceChange(SourceChangeStage::selectionInventory,
                                std::string_view("entryCount"));
                throw ArchivePipelineError::sourceChanged(captured ? captured->sourcePath
                                                                   : packed->sourcePath);
            }
            break;
        }
        const std::optional<ExpectedArchiveRecord> entry = expected.next<ExpectedArchiveRecord>();
        const bool differs =
            !sameSelectionIdentity(*captured, *packed) || !entry ||
            entry->path != archivePathOf(*packed) ||
            (!captured->isDirectory &&
             (!captured->contentSHA256 || *captured->contentSHA256 != entry->sha256));
        if (differs) {
            logSourceChange(SourceChangeStage::selectionInventory,
                            selectionDifferenceNames(*captured, *packed));
            throw ArchivePipelineError::sourceChanged(captured->sourcePath);
        }
        ++compared;
        checkArchiveCancellation(progress, stop);
    }

    selection.requireEnd<SourceSnapshotRecord>();
    stageSnapshot.requireEnd<SourceSnapshotRecord>();
    expected.requireEnd<ExpectedArchiveRecord>();
    if (compared != snapshot.entryCount) {
        throw ArchivePipelineError::invalidInputSnapshot();
    }
}

void verifySelectionSnapshot(const ArchiveInputSnapshot& snapshot, const std::string& snapshotPath,
                             const std::string& expectedPath, const Progress* progress,
                             std::stop_token stop) {
    verifySelectionSnapshot(snapshot, JSONLines::Reader(snapshotPath),
                            JSONLines::Reader(expectedPath), progress, std::move(stop));
}

void verifySnapshotIsStillPresent(JSONLines::Reader stageSnapshot, const Progress* progress,
                                  std::stop_token stop) {
    while (const std::optional<SourceSnapshotRecord> record =
               stageSnapshot.next<SourceSnapshotRecord>()) {
        checkArchiveCancellation(progress, stop);
        verifySourceMetadata(*record);
    }
    checkArchiveCancellation(progress, stop);
}

void verifySnapshotIsStillPresent(const std::string& path, const Progress* progress,
                                  std::stop_token stop) {
    verifySnapshotIsStillPresent(JSONLines::Reader(path), progress, std::move(stop));
}

bool sameSelectionIdentity(const SourceSnapshotRecord& captured,
                           const SourceSnapshotRecord& packed) {
    return captured.sourcePath == packed.sourcePath &&
           captured.originalPath == packed.originalPath && captured.entryPath == packed.entryPath &&
           captured.isDirectory == packed.isDirectory && captured.size == packed.size &&
           captured.device == packed.device && captured.inode == packed.inode &&
           captured.permissions == packed.permissions &&
           (captured.isDirectory || (captured.modifiedSeconds == packed.modifiedSeconds &&
                                     captured.modifiedNanoseconds == packed.modifiedNanoseconds));
}

std::vector<std::string> selectionDifferenceNames(const SourceSnapshotRecord& captured,
                                                  const SourceSnapshotRecord& packed) {
    std::vector<std::string> names;
    if (captured.sourcePath != packed.sourcePath || captured.originalPath != packed.originalPath ||
        captured.entryPath != packed.entryPath) {
        names.emplace_back("pathIdentity");
    }
    if (captured.isDirectory != packed.isDirectory) {
        names.emplace_back("type");
    }
    if (captured.size != packed.size) {
        names.emplace_back("size");
    }
    if (captured.device != packed.device) {
        names.emplace_back("device");
    }
    if (captured.inode != packed.inode) {
        names.emplace_back("inode");
    }
    if (!captured.isDirectory && (captured.modifiedSeconds != packed.modifiedSeconds ||
                                  captured.modifiedNanoseconds != packed.modifiedNanoseconds)) {
        names.emplace_back("mtime");
    }
    if (captured.permissions != packed.permissions) {
        names.emplace_back("permissions");
    }
    if (names.empty()) {
        names.emplace_back("packedContentOrPath");
    }
    return names;
}

}  // namespace tolvane::ArchivePipeline
