#include "core/archive/PathMappingValidation.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <span>
#include <system_error>
#include <utility>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/StagingLease.h"
#include "core/common/HexString.h"
#include "core/common/Posix.h"
#include "core/common/StrictJson.h"

namespace tolvane::ArchivePipeline {
namespace {

[[noreturn]] void invalid(const std::string& detail) {
    throw ArchivePipelineError::invalidArchive(detail);
}

// A second descriptor of the same open file, positioned at its start. The two share one file
// offset, which is harmless: a scratch file is either written or read, never both at once.
UniqueFd rewoundDuplicate(int fd) {
    UniqueFd duplicate(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!duplicate) {
        posix::throwLastError();
    }
    if (::lseek(duplicate.get(), 0, SEEK_SET) != 0) {
        posix::throwLastError();
    }
    return duplicate;
}

// The manifest comes out of the archive, so a row that does not decode is the archive's fault
// and is reported as one, like every other way a manifest can be wrong.
template <class T>
std::optional<T> nextManifestRow(JSONLines::Reader& reader) {
    try {
        return reader.next<T>();
    } catch (const StrictJson::DecodeError&) {
        invalid("path mapping manifest row is malformed");
    }
}

void copyManifest(ZipArchiveReader& archive, const ZipArchiveEntry& entry, int output,
                  const std::function<void()>& checkCancelled) {
    std::uint64_t total = 0;
    const std::uint32_t crc =
        archive.extract(entry.index, checkCancelled, [&](std::span<const std::uint8_t> block) {
            checkCancelled();
            std::uint64_t next = 0;
            if (__builtin_add_overflow(total, block.size(), &next) ||
                next > maxPathMappingManifestBytes || next > entry.uncompressedSize) {
                invalid("path mapping manifest is oversized");
            }
            posix::writeAll(output, block.data(), block.size());
            total = next;
        });
    // The copy is unnamed and dies with the job, so it is not flushed: nothing would ever read
    // it after a crash. Write errors were thrown above.
    if (total != entry.uncompressedSize || crc != entry.crc32) {
        invalid("path mapping manifest failed integrity checks");
    }
}

// The rules a manifest row must meet to describe the preflight row of its entry.
bool describes(const PathMappingRecord& mapping, const PreflightArchiveRecord& entry) {
    if (mapping.archivePath != entry.archivePath || mapping.entryType != entry.entryType ||
        mapping.size != entry.size) {
        return false;
    }
    const bool isDirectory = entry.entryType == "directory";
    std::string_view ownPath = entry.archivePath;
    if (isDirectory && !ownPath.empty()) {
        ownPath.remove_suffix(1);
    }
    // A row mapping a path to itself is never written: it would claim a rename that did not
    // happen.
    if (mapping.originalPath == ownPath || !validOriginalRelativePath(mapping.originalPath)) {
        return false;
    }
    if (isDirectory) {
        return mapping.size == 0 && mapping.sha256.empty();
    }
    return HexString::isLowercaseSHA256(mapping.sha256);
}

std::uint64_t validateAgainstPreflight(int manifestFd, int preflightFd,
                                       std::uint64_t payloadEntryCount,
                                       const std::function<void()>& checkCancelled) {
    PathMappingCursor cursor(manifestFd);
    const std::optional<PathMappingHeader> header = cursor.readHeader();
    if (!header || header->version != 1 || header->sourceEntryCount != payloadEntryCount ||
        header->mappingCount < 1 || header->mappingCount > payloadEntryCount) {
        invalid("path mapping manifest header is invalid");
    }

    JSONLines::Reader preflight(rewoundDuplicate(preflightFd));
    std::uint64_t rowsSeen = 0;
    std::uint64_t mappingsSeen = 0;
    for (;;) {
        checkCancelled();
        const std::optional<PreflightArchiveRecord> row = preflight.next<PreflightArchiveRecord>();
        if (!row) {
            break;
        }
        if (row->ordinal != rowsSeen + 1) {
            invalid("preflight entries are out of order");
        }
        rowsSeen = row->ordinal;
        const std::optional<PathMappingRecord> mapping = cursor.take(row->ordinal);
        if (!mapping) {
            continue;
        }
        if (!describes(*mapping, *row)) {
            invalid("path mapping record is invalid at entry " + std::to_string(row->ordinal));
        }
        ++mappingsSeen;
    }
    if (rowsSeen != payloadEntryCount || cursor.hasPending() ||
        mappingsSeen != header->mappingCount) {
        invalid("path mapping manifest count is invalid");
    }
    cursor.requireEnd();
    return header->mappingCount;
}

}  // namespace

bool compressionRatioIsAbnormal(std::uint64_t compressedSize, std::uint64_t uncompressedSize) {
    std::uint64_t bound = 0;
    return (compressedSize == 0 && uncompressedSize != 0) ||
           (!__builtin_mul_overflow(compressedSize, maxCompressionRatio, &bound) &&
            bound < uncompressedSize);
}

UniqueFd createUnnamedStageFile(const StagingLease& stage, const std::string& fallbackName,
                                bool allowUnnamed) {
    const UniqueFd directory = stage.openStageDirectory();
    if (allowUnnamed) {
        posix::OpenResult unnamed =
            posix::tryOpenAt(directory.get(), ".", O_TMPFILE | O_RDWR, 0600);
        if (unnamed.fd) {
            return std::move(unnamed.fd);
        }
        // Older kernels answer EISDIR, file systems without support EOPNOTSUPP.
        if (unnamed.error != EOPNOTSUPP && unnamed.error != EISDIR && unnamed.error != EINVAL) {
            posix::throwErrno(unnamed.error, fallbackName);
        }
    }
    UniqueFd file = stage.createStageFile(fallbackName, O_RDWR, 0600);
    if (::unlinkat(directory.get(), fallbackName.c_str(), 0) != 0) {
        posix::throwLastError(fallbackName);
    }
    return file;
}

PathMappingCursor::PathMappingCursor(int fd) : reader_(rewoundDuplicate(fd)) {}

std::optional<PathMappingHeader> PathMappingCursor::readHeader() {
    return nextManifestRow<PathMappingHeader>(reader_);
}

void PathMappingCursor::prime() {
    if (!primed_) {
        pending_ = nextManifestRow<PathMappingRecord>(reader_);
        primed_ = true;
    }
}

std::optional<PathMappingRecord> PathMappingCursor::take(std::uint64_t ordinal) {
    prime();
    if (!pending_ || pending_->ordinal > ordinal) {
        return std::nullopt;
    }
    if (pending_->ordinal < ordinal) {
        invalid("path mapping records are out of order");
    }
    std::optional<PathMappingRecord> taken = std::move(pending_);
    pending_ = nextManifestRow<PathMappingRecord>(reader_);
    return taken;
}

bool PathMappingCursor::hasPending() {
    prime();
    return pending_.has_value();
}

void PathMappingCursor::requireEnd() {
    if (hasPending()) {
        invalid("unused manifest records");
    }
}

PathMappingInput extractAndValidatePathMappingManifest(
    ZipArchiveReader& archive, const ZipArchiveEntry& entry, int preflightFd,
    const StagingLease& stage, std::uint64_t payloadEntryCount,
    const std::function<void()>& checkCancelled) {
    if (entry.uncompressedSize == 0 || entry.uncompressedSize > maxPathMappingManifestBytes ||
        compressionRatioIsAbnormal(entry.compressedSize, entry.uncompressedSize)) {
        invalid("path mapping manifest size is invalid");
    }
    PathMappingInput input;
    try {
        input.file = createUnnamedStageFile(stage, "path-mapping-input.jsonl");
    } catch (const std::system_error&) {
        throw ArchivePipelineError::finalizationFailed("could not create mapping input");
    }
    copyManifest(archive, entry, input.file.get(), checkCancelled);
    input.mappingCount =
        validateAgainstPreflight(input.file.get(), preflightFd, payloadEntryCount, checkCancelled);
    return input;
}

PathMappingReceiptWriter::PathMappingReceiptWriter(const StagingLease& stage,
                                                   const std::string& archiveName,
                                                   std::uint64_t mappingCount) {
    try {
        file_ = stage.createStageFile(std::string(reservedMappingName), O_WRONLY, 0600);
    } catch (const std::system_error&) {
        throw ArchivePipelineError::finalizationFailed("could not create path mapping receipt");
    }
    JSONLines::append(
        PathMappingReceiptHeader{1, archiveName, mappingCount, "verified-archive-manifest"},
        file_.get());
}

void PathMappingReceiptWriter::append(const PathMappingRecord& mapping,
                                      const std::string& restoredPath, std::uint64_t size,
                                      const std::string& sha256) {
    JSONLines::append(PathMappingReceiptRecord{mapping.originalPath, mapping.archivePath,
                                               restoredPath, mapping.entryType, size, sha256},
                      file_.get());
    ++rows_;
}

void PathMappingReceiptWriter::finish() {
    posix::fsync(file_.get());
    posix::close(file_);
}

}  // namespace tolvane::ArchivePipeline
