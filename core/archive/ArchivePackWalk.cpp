#include "core/archive/ArchivePackWalk.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "core/archive/ArchiveEntryWriter.h"
#include "core/archive/ArchivePathPolicy.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveSourceChange.h"
#include "core/archive/JSONLines.h"
#include "core/archive/PathMappingManifest.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/Unicode.h"
#include "core/common/UniqueFd.h"

namespace tolvane::ArchivePipeline {

namespace {

// Folders whose listing is not packed at any depth.
constexpr std::string_view skippedName = ".DS_Store";
// Free space is probed for every this many entries, and for every file of progressBatchBytes
// or more.
constexpr std::uint64_t spaceCheckInterval = 256;

bool isUsablePath(std::string_view path) noexcept {
    return Unicode::isValidUTF8(path) && path.find('\0') == std::string_view::npos;
}

// The nearest ancestor whose path can be shown and logged; a name that is not UTF-8 is never
// repaired, so the error names the folder it was found in.
std::string longestUsableParent(std::string path) {
    while (!isUsablePath(path)) {
        path = PathText::deletingLastComponent(path);
    }
    return path;
}

// The prefix's non-empty components, each followed by "/", then the name.
std::string pathUnder(const std::optional<std::string>& prefix, std::string_view name) {
    std::string path;
    if (prefix) {
        path.reserve(prefix->size() + 1 + name.size());
        std::size_t start = 0;
        while (start < prefix->size()) {
            std::size_t slash = prefix->find('/', start);
            if (slash == std::string::npos) {
                slash = prefix->size();
            }
            if (slash > start) {
                path.append(*prefix, start, slash - start);
                path.push_back('/');
            }
            start = slash + 1;
        }
    }
    path.append(name);
    return path;
}

// The first 4 bytes of SHA-256(identity), as 8 lowercase hex digits.
std::string identityTag(std::string_view identity) {
    const Sha256::Value digest = Sha256::of(identity);
    return HexString::encode(std::span<const std::uint8_t>(digest.data(), 4));
}

void checkSpace(PackWalk& walk) {
    checkStageSpace(walk.stageDirectoryFd, walk.freeSpace);
}

}  // namespace

WalkItem sourceItem(std::string_view path) {
    // The path as the caller gave it, minus the trailing "/" a folder path may carry, which
    // would make lstat and open follow a final link.
    std::string sourcePath(path);
    while (sourcePath.size() > 1 && sourcePath.back() == '/') {
        sourcePath.pop_back();
    }
    WalkItem item;
    item.originalPath = PathText::lastComponent(path);
    item.identity = PathText::standardized(path);
    item.sourcePath = std::move(sourcePath);
    return item;
}

WalkItem childItem(const SourceSnapshotRecord& folder, std::string_view name) {
    WalkItem item;
    item.sourcePath = PathText::appending(folder.sourcePath, name);
    item.originalPath = folder.originalPath + "/" + std::string(name);
    item.prefix = folder.entryPath;
    item.identity = item.sourcePath;
    return item;
}

SourceSnapshotRecord makeSourceRecord(std::string sourcePath, std::string originalPath,
                                      std::string entryPath, const struct stat& status) {
    SourceSnapshotRecord record;
    record.sourcePath = std::move(sourcePath);
    record.originalPath = std::move(originalPath);
    record.entryPath = std::move(entryPath);
    record.isDirectory = S_ISDIR(status.st_mode);
    record.size = record.isDirectory ? 0 : static_cast<std::uint64_t>(status.st_size);
    record.device = static_cast<std::uint64_t>(status.st_dev);
    record.inode = static_cast<std::uint64_t>(status.st_ino);
    record.modifiedSeconds = status.st_mtim.tv_sec;
    record.modifiedNanoseconds = status.st_mtim.tv_nsec;
    record.changedSeconds = status.st_ctim.tv_sec;
    record.changedNanoseconds = status.st_ctim.tv_nsec;
    record.permissions = static_cast<std::uint16_t>(status.st_mode & 0777);
    return record;
}

SourceSnapshotRecord recordItem(const WalkItem& item, ArchivePathRegistry& registry) {
    if (!isUsablePath(item.sourcePath)) {
        throw ArchivePipelineError::unsupportedSourceType(longestUsableParent(item.sourcePath));
    }
    struct stat status {};
    if (::lstat(item.sourcePath.c_str(), &status) != 0 ||
        !(S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) || status.st_size < 0) {
        throw ArchivePipelineError::unsupportedSourceType(item.sourcePath);
    }
    const bool isDirectory = S_ISDIR(status.st_mode);
    std::string entryPath =
        archiveEntryPath(item.sourcePath, item.prefix, item.identity, isDirectory, registry);
    return makeSourceRecord(item.sourcePath, item.originalPath, std::move(entryPath), status);
}

std::string archiveEntryPath(std::string_view itemPath, const std::optional<std::string>& prefix,
                             std::string_view identity, bool isDirectory,
                             ArchivePathRegistry& registry) {
    const ArchiveEntryType type =
        isDirectory ? ArchiveEntryType::directory : ArchiveEntryType::file;
    const std::string name =
        ArchivePathPolicy::universalName(PathText::lastComponent(itemPath), identity);
    std::string candidate = pathUnder(prefix, name);
    if (registry.tryInsert(candidate, type)) {
        return candidate;
    }

    const std::string extension = PathText::pathExtension(name);
    const std::string base = extension.empty() ? name : PathText::deletingPathExtension(name);
    const std::string renamed =
        pathUnder(prefix, base + "~" + identityTag(identity) +
                              (extension.empty() ? std::string() : "." + extension));
    // The new name may itself be taken (a file really named like it sits in the same folder);
    // refusing here says which name clashed instead of failing on the table's uniqueness.
    if (!registry.tryInsert(renamed, type)) {
        throw ArchivePipelineError::duplicatePath(renamed);
    }
    return renamed;
}

void enumerateDirectoryChildren(const SourceSnapshotRecord& record,
                                const std::function<void(const std::string& name)>& body) {
    const UniqueFd fd = openSourceDirectory(record.sourcePath);
    verifyOpenedDirectory(fd.get(), record, SourceChangeStage::directoryEnumerationStart);

    for (const std::string& name : posix::listDirectory(fd.get(), record.sourcePath)) {
        if (name == skippedName) {
            continue;
        }
        if (!Unicode::isValidUTF8(name)) {
            throw ArchivePipelineError::unsupportedSourceType(record.sourcePath);
        }
        body(name);
    }

    verifyOpenedDirectory(fd.get(), record, SourceChangeStage::directoryEnumerationEnd);
}

void publishScannedEntries(Progress* progress, std::uint64_t entryCount) {
    if (progress != nullptr && (entryCount == 1 || entryCount % scannedEntriesInterval == 0)) {
        progress->setUserInfo(ArchiveProgressInfo::scannedEntriesKey, entryCount);
    }
}

void checkStageSpace(int stageDirectoryFd, const StreamingZIPWriter::FreeSpaceProbe& probe) {
    std::optional<std::uint64_t> available;
    try {
        available =
            probe ? probe(stageDirectoryFd) : StreamingZIPWriter::volumeFreeBytes(stageDirectoryFd);
    } catch (const std::system_error&) {
        // A volume that cannot say how full it is gets the benefit of the doubt; the writer's
        // own budget and the write itself still stop a full disk.
        return;
    }
    if (available && *available < minimumStageFreeBytes) {
        throw ArchivePipelineError::insufficientSpace();
    }
}

void appendSnapshot(const WalkItem& item, PackWalk& walk) {
    checkArchiveCancellation(walk.progress, walk.stop);
    const SourceSnapshotRecord record = recordItem(item, walk.registry);
    if (hasReservedMappingPath(record.entryPath)) {
        throw ArchivePipelineError::duplicatePath(std::string(reservedMappingName));
    }
    PackWalkCounters& counters = walk.counters;
    if (record.originalPath != record.entryPath) {
        ++counters.pathMappingCount;
    }
    walk.snapshot.append(record);
    ++counters.entryCount;
    publishScannedEntries(walk.progress, counters.entryCount);
    if (counters.entryCount > maxEntryCount) {
        throw ArchivePipelineError::tooManyEntries();
    }

    if (record.isDirectory) {
        if (counters.entryCount == 1 || counters.entryCount % spaceCheckInterval == 0) {
            checkSpace(walk);
        }
        writeArchiveDirectory(record, walk.archive, walk.expected, walk.progress, walk.stop);
        enumerateDirectoryChildren(record, [&](const std::string& name) {
            appendSnapshot(childItem(record, name), walk);
        });
        // The folder's own fields must have survived the walk of its children.
        verifySourceMetadata(record);
        return;
    }

    ++counters.fileCount;
    if (counters.fileCount == 1 && walk.progress != nullptr) {
        const std::string_view stage = walk.packProgress.totalBytes()
                                           ? ArchiveProgressInfo::Stage::packaging
                                           : ArchiveProgressInfo::Stage::scanning;
        walk.progress->setUserInfo(ArchiveProgressInfo::stageKey, std::string(stage));
    }
    if (record.size >= packByteLimit - counters.totalBytes) {
        throw ArchivePipelineError::insufficientSpace();
    }
    counters.totalBytes += record.size;
    if (record.size >= progressBatchBytes || counters.entryCount % spaceCheckInterval == 0) {
        checkSpace(walk);
    }
    writeArchiveEntry(record, walk.archive, walk.expected, counters.progressBytesPending,
                      walk.progress, walk.packProgress, walk.stop);
}

void finishPackWalk(PackWalk& walk) {
    if (walk.progress == nullptr) {
        return;
    }
    walk.progress->setUserInfo(ArchiveProgressInfo::scannedEntriesKey, walk.counters.entryCount);
    const std::uint64_t pending = walk.counters.progressBytesPending;
    if (pending >= captureByteLimit) {
        throw ArchivePipelineError::insufficientSpace();
    }
    walk.packProgress.advance(pending);
    walk.counters.progressBytesPending = 0;
}

}  // namespace tolvane::ArchivePipeline
