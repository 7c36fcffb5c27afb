#include "core/archive/ArchiveEntryWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchivePackWalk.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveSourceChange.h"
#include "core/archive/JSONLines.h"
#include "core/archive/PathMappingManifest.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"

namespace tolvane::ArchivePipeline {

namespace {

// A pending byte count that reaches this cannot be reported honestly any more.
constexpr std::uint64_t pendingByteLimit = std::uint64_t{1} << 63;

void checkCancelled(const Progress* progress, const std::stop_token& stop) {
    checkArchiveCancellation(progress, stop);
}

// Gathers read bytes and hands them to the pack progress a batch at a time.
void addPendingBytes(std::uint64_t& pending, std::uint64_t length,
                     ArchivePackProgress& packProgress) {
    if (length >= pendingByteLimit - pending) {
        throw ArchivePipelineError::insufficientSpace();
    }
    pending += length;
    if (pending >= progressBatchBytes) {
        packProgress.advance(pending);
        pending = 0;
    }
}

[[noreturn]] void failClosing(UniqueFd& fd, const std::string& sourcePath) {
    posix::close(fd);
    throw ArchivePipelineError::sourceChanged(sourcePath);
}

// The attributes of the open item. A list that moves while it is read names the item rather
// than the attribute reader.
ArchiveExtendedAttributes::Map readAttributes(int fd, const std::string& sourcePath) {
    try {
        return ArchiveExtendedAttributes::read(fd);
    } catch (const ArchivePipelineError& error) {
        if (error.code() == ArchivePipelineError::Code::sourceChanged) {
            throw ArchivePipelineError::sourceChanged(sourcePath);
        }
        throw;
    }
}

std::string fieldOf(const ArchiveExtendedAttributes::Map& attributes) {
    return ArchiveExtendedAttributes::encodeField(attributes).value_or(std::string());
}

// Building the list may fail for want of memory; the job still fails with its own error.
std::vector<std::string> metadataDifferenceNamesOrNone(const SourceSnapshotRecord& record,
                                                       const struct stat& status) noexcept {
    try {
        return metadataDifferenceNames(record, status, true);
    } catch (...) {
        return {};
    }
}

bool lstatMatches(const SourceSnapshotRecord& record) {
    struct stat status {};
    return record.sourcePath.find('\0') == std::string::npos &&
           ::lstat(record.sourcePath.c_str(), &status) == 0 && matches(record, status, true);
}

std::string asciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

}  // namespace

bool isStoredExtension(std::string_view path) {
    // Lower-casing only ASCII is enough: no other character lower-cases to the ASCII letters
    // these extensions are made of.
    const std::string extension = asciiLower(PathText::pathExtension(path));
    return std::find(storedExtensions.begin(), storedExtensions.end(), extension) !=
           storedExtensions.end();
}

UniqueFd openSourceForReading(const std::string& path) {
    return posix::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
}

void clearNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        posix::throwLastError();
    }
}

UniqueFd openSourceDirectory(const std::string& path) {
    return posix::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

void verifyOpenedDirectory(int fd, const SourceSnapshotRecord& record, SourceChangeStage stage) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        logSourceChange(stage, "unavailable");
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
    if (!matches(record, status, true)) {
        std::vector<std::string> names;
        try {
            names = metadataDifferenceNames(record, status, true);
        } catch (...) {
        }
        logSourceChange(stage, names);
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
}

void writeArchiveDirectory(const SourceSnapshotRecord& record, StreamingZIPWriter& archive,
                           JSONLines::Writer& expected, const Progress* progress,
                           std::stop_token stop) {
    checkCancelled(progress, stop);
    verifySourceMetadata(record);
    const UniqueFd fd = openSourceDirectory(record.sourcePath);
    verifyOpenedDirectory(fd.get(), record, SourceChangeStage::directoryOpen);

    const ArchiveExtendedAttributes::Map before = readAttributes(fd.get(), record.sourcePath);
    const std::string path = record.entryPath + "/";
    archive.addDirectory(path, record.modifiedSeconds, record.permissions, fieldOf(before));
    if (readAttributes(fd.get(), record.sourcePath) != before) {
        logSourceChange(SourceChangeStage::directoryXattrs, "xattrs");
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
    expected.append(ExpectedArchiveRecord{path, 0, ""});
}

void writeArchiveEntry(const SourceSnapshotRecord& record, StreamingZIPWriter& archive,
                       JSONLines::Writer& expected, std::uint64_t& progressBytesPending,
                       Progress* progress, ArchivePackProgress& packProgress,
                       std::stop_token stop) {
    checkCancelled(progress, stop);
    // The descriptor, opened without following a link and matched in full, proves what a look at
    // the path first would: the path led to the recorded file. Only a failure asks the path why.
    UniqueFd fd;
    try {
        fd = openSourceForReading(record.sourcePath);
    } catch (const std::system_error&) {
        verifySourceMetadata(record);
        throw;
    }
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0) {
        failClosing(fd, record.sourcePath);
    }
    if (!matches(record, opened, true)) {
        logSourceChange(SourceChangeStage::archiveMetadata,
                        metadataDifferenceNamesOrNone(record, opened));
        failClosing(fd, record.sourcePath);
    }
    if (record.size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        failClosing(fd, record.sourcePath);
    }
    // The descriptor stays non-blocking: it is a regular file, whose reads ignore the flag.

    const auto method = isStoredExtension(record.sourcePath)
                            ? StreamingZIPWriter::CompressionMethod::none
                            : StreamingZIPWriter::CompressionMethod::deflate;
    const ArchiveExtendedAttributes::Map before = readAttributes(fd.get(), record.sourcePath);

    const std::uint64_t size = record.size;
    const auto read = [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
        checkCancelled(progress, stop);
        if (offset > size || size - offset < buffer.size()) {
            throw ArchivePipelineError::sourceChanged(record.sourcePath);
        }
        const std::size_t got =
            posix::preadAll(fd.get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (got != buffer.size()) {
            throw ArchivePipelineError::sourceChanged(record.sourcePath);
        }
        if (progress != nullptr) {
            addPendingBytes(progressBytesPending, got, packProgress);
        }
        return got;
    };
    const StreamingZIPWriter::FileReceipt receipt = archive.addFile(
        record.entryPath, size, record.modifiedSeconds, record.permissions, fieldOf(before), method,
        [&] { checkCancelled(progress, stop); }, read);

    if (readAttributes(fd.get(), record.sourcePath) != before) {
        failClosing(fd, record.sourcePath);
    }
    posix::close(fd);
    // The descriptor proved what was read; the path must still lead to that same file.
    if (!lstatMatches(record) || receipt.bytes != size) {
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
    expected.append(ExpectedArchiveRecord{record.entryPath, size, receipt.sha256});
}

void appendPathMappingFile(const std::string& path, StreamingZIPWriter& archive,
                           JSONLines::Writer& expected, const Progress* progress,
                           std::stop_token stop) {
    const UniqueFd fd = posix::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    appendPathMappingFile(fd.get(), archive, expected, progress, std::move(stop));
}

void appendPathMappingFile(int manifestFd, StreamingZIPWriter& archive, JSONLines::Writer& expected,
                           const Progress* progress, std::stop_token stop) {
    struct stat status {};
    if (::fstat(manifestFd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        static_cast<std::uint64_t>(status.st_size) > maxPathMappingManifestBytes) {
        throw ArchivePipelineError::invalidInputSnapshot();
    }
    clearNonBlocking(manifestFd);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const auto read = [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
        checkCancelled(progress, stop);
        const std::size_t got =
            posix::preadAll(manifestFd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (got != buffer.size()) {
            throw ArchivePipelineError::invalidInputSnapshot();
        }
        return got;
    };
    const StreamingZIPWriter::FileReceipt receipt = archive.addFile(
        std::string(reservedMappingName), size, 0, 0600, {},
        StreamingZIPWriter::CompressionMethod::deflate, [&] { checkCancelled(progress, stop); },
        read);
    expected.append(
        ExpectedArchiveRecord{std::string(reservedMappingName), receipt.bytes, receipt.sha256});
}

std::string sha256File(const std::string& path, const Progress* progress,
                       ArchivePackProgress* packProgress, std::stop_token stop) {
    const UniqueFd fd = posix::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (!S_ISREG(posix::fstat(fd.get()).st_mode)) {
        posix::throwErrno(EINVAL, path);
    }
    clearNonBlocking(fd.get());
    return sha256File(fd.get(), progress, packProgress, std::move(stop));
}

std::string sha256File(int fd, const Progress* progress, ArchivePackProgress* packProgress,
                       std::stop_token stop) {
    const bool reports = progress != nullptr && packProgress != nullptr;
    std::vector<std::uint8_t> block(hashBlockBytes);
    Sha256 digest;
    std::uint64_t offset = 0;
    std::uint64_t pending = 0;
    for (;;) {
        checkCancelled(progress, stop);
        const std::size_t got =
            posix::preadAll(fd, block.data(), block.size(), static_cast<off_t>(offset));
        if (got == 0) {
            break;
        }
        digest.update(std::span<const std::uint8_t>(block.data(), got));
        offset += got;
        if (reports) {
            addPendingBytes(pending, got, *packProgress);
        }
    }
    if (reports && pending > 0) {
        packProgress->advance(pending);
    }
    return HexString::encode(digest.finish());
}

}  // namespace tolvane::ArchivePipeline
