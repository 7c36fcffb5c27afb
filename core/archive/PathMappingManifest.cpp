#include "core/archive/PathMappingManifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePathPolicy.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/JSONLines.h"
#include "core/common/Posix.h"
#include "core/common/ScopeExit.h"
#include "core/common/Unicode.h"
#include "core/common/UniqueFd.h"

namespace tolvane::ArchivePipeline {
namespace {

constexpr std::size_t maxOriginalPathBytes = 4096;
// A component of this many bytes or more (after composition) is refused.
constexpr std::size_t originalComponentByteLimit = 256;

ArchivePipelineError outOfSync() {
    return ArchivePipelineError::invalidArchive("input mapping entries are out of sync");
}

ArchivePipelineError countDiffers() {
    return ArchivePipelineError::invalidArchive("input mapping entry count differs");
}

ArchivePipelineError reservedNameTaken() {
    return ArchivePipelineError::duplicatePath(std::string(reservedMappingName));
}

std::string archivePathOf(const SourceSnapshotRecord& record) {
    return record.isDirectory ? record.entryPath + "/" : record.entryPath;
}

// The snapshot list and the expected-entries list read in step. Each row of one must describe
// the same entry as the row of the other; the two must end together.
class PairedLists {
public:
    struct Pair {
        SourceSnapshotRecord snapshot;
        ExpectedArchiveRecord expected;
    };

    PairedLists(const std::string& snapshotPath, const std::string& expectedPath)
        : snapshot_(snapshotPath), expected_(expectedPath) {}

    std::optional<Pair> next() {
        std::optional<SourceSnapshotRecord> snapshot = snapshot_.next<SourceSnapshotRecord>();
        std::optional<ExpectedArchiveRecord> expected = expected_.next<ExpectedArchiveRecord>();
        if (!snapshot && !expected) {
            return std::nullopt;
        }
        if (!snapshot || !expected) {
            throw outOfSync();
        }
        if (expected->path != archivePathOf(*snapshot) || expected->size != snapshot->size) {
            throw outOfSync();
        }
        return Pair{std::move(*snapshot), std::move(*expected)};
    }

private:
    JSONLines::Reader snapshot_;
    JSONLines::Reader expected_;
};

// Reads both lists in step, checking for cancellation before each pair and before the end.
void forEachPair(const std::string& snapshotPath, const std::string& expectedPath,
                 const std::function<void()>& checkCancelled,
                 const std::function<void(const PairedLists::Pair&)>& visit) {
    PairedLists lists(snapshotPath, expectedPath);
    for (;;) {
        checkCancelled();
        const std::optional<PairedLists::Pair> pair = lists.next();
        if (!pair) {
            return;
        }
        visit(*pair);
    }
}

ArchivePipelineError tooLarge() {
    return ArchivePipelineError::unsupportedArchiveEntry(
        "path mapping exceeds its supported limit");
}

// Appends rows while keeping the file within its limit. The check comes before each write, so a
// selection whose mapping would be enormous fails at the first row past the limit rather than
// after the whole file was written.
class BoundedRows {
public:
    BoundedRows(int fd, std::uint64_t limit) : fd_(fd), limit_(limit) {}

    template <JSONLines::Record T>
    void append(const T& record) {
        const std::string line = record.encode();
        // written_ never exceeds limit_, so the subtraction cannot wrap.
        if (line.size() >= limit_ - written_) {
            throw tooLarge();
        }
        JSONLines::appendLine(line, fd_);
        written_ += line.size() + 1;
    }

private:
    int fd_;
    std::uint64_t limit_;
    std::uint64_t written_ = 0;
};

}  // namespace

bool hasReservedMappingPath(std::string_view path) {
    static const std::string reservedKey = ArchivePathPolicy::collisionKey(reservedMappingName);
    const std::string key = ArchivePathPolicy::collisionKey(path);
    if (key == reservedKey) {
        return true;
    }
    return key.size() > reservedKey.size() && key.starts_with(reservedKey) &&
           key[reservedKey.size()] == '/';
}

bool validOriginalRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos ||
        path.size() > maxOriginalPathBytes) {
        return false;
    }
    // File names here are bytes; one that is not UTF-8 is refused, never repaired.
    if (!Unicode::isValidUTF8(path)) {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view piece = path.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (piece.empty() || piece == "." || piece == "..") {
            return false;
        }
        // Composition can lengthen a few scripts, so only ASCII may skip it.
        const std::size_t composedBytes =
            Unicode::isASCII(piece) ? piece.size() : Unicode::toNFC(piece).size();
        if (composedBytes >= originalComponentByteLimit) {
            return false;
        }
        if (slash == std::string_view::npos) {
            return true;
        }
        start = slash + 1;
    }
}

std::uint64_t writePathMappingManifest(const std::string& snapshotPath,
                                       const std::string& expectedPath,
                                       const std::string& outputPath,
                                       std::uint64_t sourceEntryCount, const Progress* progress,
                                       std::stop_token stop) {
    return writePathMappingManifest(snapshotPath, expectedPath, outputPath, sourceEntryCount,
                                    [&] { checkArchiveCancellation(progress, stop); });
}

std::uint64_t writePathMappingManifest(const std::string& snapshotPath,
                                       const std::string& expectedPath,
                                       const std::string& outputPath,
                                       std::uint64_t sourceEntryCount,
                                       const std::function<void()>& checkCancelled) {
    return writePathMappingManifestWithLimit(snapshotPath, expectedPath, outputPath,
                                             sourceEntryCount, checkCancelled,
                                             maxPathMappingManifestBytes);
}

std::uint64_t writePathMappingManifestWithLimit(const std::string& snapshotPath,
                                                const std::string& expectedPath,
                                                const std::string& outputPath,
                                                std::uint64_t sourceEntryCount,
                                                const std::function<void()>& checkCancelled,
                                                std::uint64_t maximumBytes) {
    // First pass: count, and refuse the reserved name, before any file exists.
    std::uint64_t entryCount = 0;
    std::uint64_t mappingCount = 0;
    bool claimsReservedName = false;
    forEachPair(snapshotPath, expectedPath, checkCancelled, [&](const PairedLists::Pair& pair) {
        claimsReservedName = claimsReservedName || hasReservedMappingPath(pair.snapshot.entryPath);
        ++entryCount;
        if (pair.snapshot.originalPath != pair.snapshot.entryPath) {
            ++mappingCount;
        }
    });
    if (entryCount != sourceEntryCount) {
        throw countDiffers();
    }
    if (claimsReservedName) {
        throw reservedNameTaken();
    }
    if (mappingCount == 0) {
        return 0;
    }

    UniqueFd file;
    try {
        file = posix::open(outputPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    } catch (const std::system_error&) {
        throw ArchivePipelineError::finalizationFailed("could not create path mapping manifest");
    }
    // Closes and removes a half-written manifest; errors of both are ignored, since the failure
    // that got us here is the one worth reporting.
    ScopeExit cleanup([&] {
        file.reset();
        ::unlink(outputPath.c_str());
    });
    // A file that already existed keeps its mode through O_TRUNC, and umask may have narrowed a
    // new one; either way the manifest ends up exactly 0600.
    if (::fchmod(file.get(), 0600) != 0) {
        throw ArchivePipelineError::finalizationFailed("could not create path mapping manifest");
    }

    BoundedRows rows(file.get(), maximumBytes);
    rows.append(PathMappingHeader{1, sourceEntryCount, mappingCount});

    // Second pass: the rows themselves, numbered among all entries.
    std::uint64_t ordinal = 0;
    std::uint64_t written = 0;
    forEachPair(snapshotPath, expectedPath, checkCancelled, [&](const PairedLists::Pair& pair) {
        ++ordinal;
        const SourceSnapshotRecord& entry = pair.snapshot;
        if (entry.originalPath == entry.entryPath) {
            return;
        }
        if (!validOriginalRelativePath(entry.originalPath)) {
            throw ArchivePipelineError::unsafePath(entry.originalPath);
        }
        if (hasReservedMappingPath(entry.entryPath)) {
            throw reservedNameTaken();
        }
        rows.append(PathMappingRecord{ordinal, entry.originalPath, archivePathOf(entry),
                                      entry.isDirectory ? "directory" : "file", entry.size,
                                      pair.expected.sha256});
        ++written;
    });
    // The header was written from the first pass; lists that changed in between would leave a
    // manifest whose header miscounts its rows.
    if (ordinal != entryCount || written != mappingCount) {
        throw countDiffers();
    }

    posix::fsync(file.get());
    const struct stat status = posix::fstat(file.get());
    posix::close(file);
    // The running count covers only this writer's own rows; the file itself has the last word.
    if (status.st_size < 0 || static_cast<std::uint64_t>(status.st_size) > maximumBytes) {
        throw tooLarge();
    }
    cleanup.dismiss();
    return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace tolvane::ArchivePipeline
