#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchiveJobRecords.h"

namespace tolvane::ArchivePipeline {

// Whether a fresh stat result still describes the recorded item: same device, inode and type
// (regular file or directory), same size for a file, same modification time to the nanosecond,
// same permission bits (mode & 0777), and, for a file and only when includeChangeTime is set,
// the same change time. A directory's change time is never compared: adding an attribute to a
// folder is not a change of the selection.
bool matches(const SourceSnapshotRecord& record, const struct stat& status,
             bool includeChangeTime) noexcept;

// The rules matches() finds broken, in this order and with these words: "device", "inode",
// "type", "size", "mtime", "permissions", "ctime". Empty exactly when matches() is true.
std::vector<std::string> metadataDifferenceNames(const SourceSnapshotRecord& record,
                                                 const struct stat& status, bool includeChangeTime);

// Where in an archive job a change was noticed; each has its own word in the log line.
enum class SourceChangeStage {
    directoryOpen,
    directoryXattrs,
    directoryEnumerationStart,
    directoryEnumerationEnd,
    selectionMetadata,
    archiveMetadata,
    selectionInventory,
};

// Writes "sourceChanged stage=<stage> fields=<fields joined with ','>" at error level under the
// "SourceChange" category. Only the words of metadataDifferenceNames and "xattrs",
// "unavailable" and "entryCount" are written; any other text is written as "unknown", so a
// caller's mistake can never put a path or a name into the log. Never throws.
void logSourceChange(SourceChangeStage stage, const std::vector<std::string>& fields) noexcept;
void logSourceChange(SourceChangeStage stage, std::string_view field) noexcept;

// The strict re-check of one item before and after it is packed: lstat(sourcePath) must succeed
// and match the record, change time included. Otherwise logs the difference ("unavailable" when
// lstat fails) at the archiveMetadata stage and throws ArchivePipelineError::sourceChanged
// carrying the record's sourcePath.
void verifySourceMetadata(const SourceSnapshotRecord& record);

}  // namespace tolvane::ArchivePipeline
