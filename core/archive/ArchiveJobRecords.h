#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/common/StrictJson.h"

namespace tolvane {

// The rows of the lists an archive job keeps on disk. Each record encodes to one line of compact
// JSON whose keys are the field names, in declaration order, and decodes through the strict reader:
// a missing key, a wrong type, or an integer that is fractional, negative where unsigned, or out
// of range throws StrictJson::DecodeError; unknown keys are ignored.
//
// `entryType` stays the text that was stored ("file" or "directory" when written by us). Decoding
// does not judge it, so the code that compares it against what it actually found can report the
// mismatch in its own words.

// One selected item, frozen before packing.
struct SourceSnapshotRecord {
    std::string sourcePath;    // absolute path on disk
    std::string originalPath;  // relative to the selection, as the file system names it
    std::string entryPath;     // path inside the ZIP, without the "/" of a directory
    bool isDirectory = false;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;
    std::uint16_t permissions = 0;
    std::optional<std::string> contentSHA256;  // lowercase hex; the key is left out when absent

    std::string encode() const;
    static SourceSnapshotRecord decode(const StrictJson::ObjectReader& in);
    friend bool operator==(const SourceSnapshotRecord&, const SourceSnapshotRecord&) = default;
};

// One entry the delivery ZIP must hold, in the order it was written.
struct ExpectedArchiveRecord {
    std::string path;  // a directory's path ends in "/"
    std::uint64_t size = 0;
    std::string sha256;

    std::string encode() const;
    static ExpectedArchiveRecord decode(const StrictJson::ObjectReader& in);
    friend bool operator==(const ExpectedArchiveRecord&, const ExpectedArchiveRecord&) = default;
};

// First line of the path-mapping manifest.
struct PathMappingHeader {
    std::int64_t version = 1;
    std::uint64_t sourceEntryCount = 0;
    std::uint64_t mappingCount = 0;

    std::string encode() const;
    static PathMappingHeader decode(const StrictJson::ObjectReader& in);
    friend bool operator==(const PathMappingHeader&, const PathMappingHeader&) = default;
};

// One entry stored under a path other than its path on disk.
struct PathMappingRecord {
    std::uint64_t ordinal = 0;  // 1-based among all entries of the selection
    std::string originalPath;   // no "/" added for a directory
    std::string archivePath;    // ends in "/" for a directory
    std::string entryType;
    std::uint64_t size = 0;
    std::string sha256;

    std::string encode() const;
    static PathMappingRecord decode(const StrictJson::ObjectReader& in);
    friend bool operator==(const PathMappingRecord&, const PathMappingRecord&) = default;
};

// One central-directory entry as unpack's preflight saw it.
struct PreflightArchiveRecord {
    std::uint64_t ordinal = 0;
    std::string archivePath;
    std::string restoredPath;
    std::string entryType;
    std::uint64_t size = 0;

    std::string encode() const;
    static PreflightArchiveRecord decode(const StrictJson::ObjectReader& in);
    friend bool operator==(const PreflightArchiveRecord&, const PreflightArchiveRecord&) = default;
};

// First line of the receipt unpack leaves in the output folder.
struct PathMappingReceiptHeader {
    std::int64_t version = 1;
    std::string archiveName;  // encoded with U+FFFD for each ill-formed sequence
    std::uint64_t mappingCount = 0;
    std::string mappingSource;

    std::string encode() const;
    static PathMappingReceiptHeader decode(const StrictJson::ObjectReader& in);
    friend bool operator==(const PathMappingReceiptHeader&,
                           const PathMappingReceiptHeader&) = default;
};

// One row of that receipt.
struct PathMappingReceiptRecord {
    std::string originalPath;
    std::string archivePath;
    std::string restoredPath;
    std::string entryType;
    std::uint64_t size = 0;
    std::string sha256;

    std::string encode() const;
    static PathMappingReceiptRecord decode(const StrictJson::ObjectReader& in);
    friend bool operator==(const PathMappingReceiptRecord&,
                           const PathMappingReceiptRecord&) = default;
};

}  // namespace tolvane
