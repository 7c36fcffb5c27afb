#pragma once

#include <array>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePackProgress.h"
#include "core/archive/ArchiveSourceChange.h"
#include "core/archive/JSONLines.h"
#include "core/archive/StreamingZIPWriter.h"
#include "core/common/UniqueFd.h"

namespace tolvane {

class Progress;

namespace ArchivePipeline {

// Extensions of formats that are already compressed; such files are stored, all others
// deflated. Compared with the lower-cased extension of the file's path.
inline constexpr std::array<std::string_view, 12> storedExtensions = {
    "zip", "jpg", "jpeg", "heic", "png", "gif", "mp4", "mov", "m4v", "gz", "7z", "rar",
};

// Whether the file at `path` is stored rather than deflated. The extension is
// PathText::pathExtension's, the same rule the collision rename uses.
bool isStoredExtension(std::string_view path);

// Opens a source file read-only without following a final link, without becoming its
// controlling terminal, and without blocking: a FIFO put in a file's place must not stall the
// job. The caller clears O_NONBLOCK with clearNonBlocking once fstat showed a regular file.
// Throws std::system_error.
UniqueFd openSourceForReading(const std::string& path);
void clearNonBlocking(int fd);

// Opens a source folder read-only, as a directory, without following a final link. Throws
// std::system_error.
UniqueFd openSourceDirectory(const std::string& path);

// The folder open on `fd` must still be the recorded one (change time included); otherwise the
// difference ("unavailable" when fstat fails) is logged at `stage` and the folder is
// sourceChanged(sourcePath).
void verifyOpenedDirectory(int fd, const SourceSnapshotRecord& record, SourceChangeStage stage);

// Writes the folder's ZIP entry (entryPath + "/", no data) and its row in "expected.jsonl".
// The folder must match its record by path and again through the descriptor its attributes are
// read from, and its attributes must be the same after the entry as before; otherwise
// sourceChanged(sourcePath), logged at the directoryOpen or directoryXattrs stage.
void writeArchiveDirectory(const SourceSnapshotRecord& record, StreamingZIPWriter& archive,
                           JSONLines::Writer& expected, const Progress* progress,
                           std::stop_token stop);

// Writes the file's ZIP entry from one descriptor and its row in "expected.jsonl" (entryPath,
// size, SHA-256 of the bytes written). Fences: the record must match through the descriptor,
// opened without following a link (change time included), and by path again after the data; the
// attributes must be the same after the data as before; exactly `size` bytes must be read.
// Any miss is sourceChanged(sourcePath). Bytes read are added to progressBytesPending and handed
// to the pack progress in batches of progressBatchBytes when a progress object is given.
void writeArchiveEntry(const SourceSnapshotRecord& record, StreamingZIPWriter& archive,
                       JSONLines::Writer& expected, std::uint64_t& progressBytesPending,
                       Progress* progress, ArchivePackProgress& packProgress, std::stop_token stop);

// Appends the path-mapping manifest as the entry ".tolvane-path-mapping.jsonl" (deflated, 0600,
// dated 1 January 1970, no attributes) and its row in "expected.jsonl". A manifest that is not a
// regular file, is larger than maxPathMappingManifestBytes or does not read back at its size is
// invalidInputSnapshot.
void appendPathMappingFile(const std::string& path, StreamingZIPWriter& archive,
                           JSONLines::Writer& expected, const Progress* progress,
                           std::stop_token stop);
void appendPathMappingFile(int manifestFd, StreamingZIPWriter& archive, JSONLines::Writer& expected,
                           const Progress* progress, std::stop_token stop);

// Lowercase hex SHA-256 of a whole regular file, read in hashBlockBytes blocks with a cancel
// check before each. When both a progress object and a pack progress are given, the bytes are
// reported to the pack progress in batches of progressBatchBytes. The path form refuses
// anything but a regular file reached without a link (std::system_error EINVAL/ELOOP); the
// descriptor form reads from offset 0 with pread and leaves the file offset where it was.
std::string sha256File(const std::string& path, const Progress* progress,
                       ArchivePackProgress* packProgress, std::stop_token stop);
std::string sha256File(int fd, const Progress* progress, ArchivePackProgress* packProgress,
                       std::stop_token stop);

}  // namespace ArchivePipeline
}  // namespace tolvane
