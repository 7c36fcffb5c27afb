#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/JSONLines.h"
#include "core/archive/ZipArchiveReader.h"
#include "core/common/UniqueFd.h"

namespace tolvane::ArchivePipeline {

class StagingLease;

// The compression ratio beyond which an entry is taken for a decompression bomb.
inline constexpr std::uint64_t maxCompressionRatio = 10'000;

// Whether an entry expands by more than maxCompressionRatio, or from nothing into something.
bool compressionRatioIsAbnormal(std::uint64_t compressedSize, std::uint64_t uncompressedSize);

// A scratch file of the stage that no archive entry can ever meet: the stage becomes the output
// folder, so every name in it belongs to the payload. It is an unnamed O_TMPFILE file; where the
// stage's file system has none, a file created exclusively under `fallbackName` and unlinked at
// once, before any payload is written. Open read-write; it vanishes with its last descriptor.
// `allowUnnamed` false takes the second way directly, so it can be exercised anywhere. Throws
// ArchivePipelineError (destinationChanged when the stage is gone) or std::system_error.
UniqueFd createUnnamedStageFile(const StagingLease& stage, const std::string& fallbackName,
                                bool allowUnnamed = true);

// Reads the rows of a copied path-mapping manifest in step with a list of payload entries in
// their archive order, one row at a time. Validation and extraction each walk the copy with one
// of these, so both apply the same rule of correspondence: every row belongs to exactly one
// entry, rows come in rising entry order, and none is left at the end. A row that does not decode
// throws invalidArchive("path mapping manifest row is malformed").
class PathMappingCursor {
public:
    // Reads the file from its first byte through a descriptor of its own (the caller keeps fd).
    explicit PathMappingCursor(int fd);

    // The first row; nothing when the file is empty. Called once, before anything else.
    std::optional<PathMappingHeader> readHeader();

    // The row of the payload entry with this 1-based ordinal, consumed; nothing when the next
    // row belongs to a later entry or no row is left. A row for an earlier entry throws
    // invalidArchive("path mapping records are out of order").
    std::optional<PathMappingRecord> take(std::uint64_t ordinal);

    // Whether a row is still waiting for its entry.
    bool hasPending();

    // Throws invalidArchive("unused manifest records") when a row is left.
    void requireEnd();

private:
    void prime();

    JSONLines::Reader reader_;
    std::optional<PathMappingRecord> pending_;
    bool primed_ = false;
};

// The manifest entry copied out of the archive into an unnamed stage file, proven to belong to
// the archive, and the number of entries it maps.
struct PathMappingInput {
    std::uint64_t mappingCount = 0;
    UniqueFd file;
};

// Copies the manifest entry into an unnamed stage file and proves that it describes exactly this
// archive: sizes and CRC-32 of the copy, a header whose counts fit `payloadEntryCount`, and a
// row-by-row correspondence with the preflight list (PreflightArchiveRecord rows, read from the
// start of `preflightFd`) in which every row names its entry's path, type and size, maps it from
// a usable original path other than its own, and carries a well-formed digest. Throws
// invalidArchive with the English detail of the failed check, finalizationFailed("could not
// create mapping input"), cancelled through `checkCancelled`, or passes the reader's and the
// file system's errors through. A failure leaves nothing behind.
PathMappingInput extractAndValidatePathMappingManifest(ZipArchiveReader& archive,
                                                       const ZipArchiveEntry& entry,
                                                       int preflightFd, const StagingLease& stage,
                                                       std::uint64_t payloadEntryCount,
                                                       const std::function<void()>& checkCancelled);

// The receipt an unpack leaves at the root of the output folder when the archive carried the
// manifest: a PathMappingReceiptHeader, then one row per mapped entry in archive order. Rows are
// written straight to the file, never gathered.
class PathMappingReceiptWriter {
public:
    // Creates the receipt (reservedMappingName, 0600) at the stage root and writes its header.
    // Creation failures are finalizationFailed("could not create path mapping receipt").
    PathMappingReceiptWriter(const StagingLease& stage, const std::string& archiveName,
                             std::uint64_t mappingCount);

    // One mapped entry as written: `size` bytes with digest `sha256` (0 and empty for a
    // directory) under `restoredPath`.
    void append(const PathMappingRecord& mapping, const std::string& restoredPath,
                std::uint64_t size, const std::string& sha256);
    std::uint64_t rowCount() const noexcept { return rows_; }

    // Flushes the receipt to stable storage and closes it; errors are thrown.
    void finish();

private:
    UniqueFd file_;
    std::uint64_t rows_ = 0;
};

}  // namespace tolvane::ArchivePipeline
