#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchiveLimits.h"
#include "core/archive/ArchivePackProgress.h"
#include "core/archive/JSONLines.h"
#include "core/archive/StreamingZIPWriter.h"

namespace tolvane {

class ArchivePathRegistry;
class Progress;

namespace ArchivePipeline {

// A pack's file bytes must stay below this; a capture's below captureByteLimit.
inline constexpr std::uint64_t packByteLimit = std::uint64_t{1} << 62;
inline constexpr std::uint64_t captureByteLimit = std::uint64_t{1} << 63;
// Free bytes the stage's volume must keep while a pack writes into it (1 MiB + 256).
inline constexpr std::uint64_t minimumStageFreeBytes = 1'048'832;
// Bytes gathered before they are reported to the pack progress.
inline constexpr std::uint64_t progressBatchBytes = 1'048'576;
// Bytes read from a source or a list at a time while hashing.
inline constexpr std::size_t hashBlockBytes = 65'536;
// "Tolvane.ScannedEntries" is published at the first entry and at every multiple of this.
inline constexpr std::uint64_t scannedEntriesInterval = 4096;

// One item the walk is about to record: a selected source, or a child met in a folder's listing.
// Capture and pack build their items with the same two functions, so both give every entry the
// same identity and therefore the same archive path.
struct WalkItem {
    // The path the item is reached by: a source's path as the caller gave it (without trailing
    // "/"), or the folder's sourcePath with the child's name appended.
    std::string sourcePath;
    // A source's last component, or the folder's originalPath + "/" + the child's name.
    std::string originalPath;
    // The folder's entryPath; none for a source.
    std::optional<std::string> prefix;
    // The text that keeps renamed and shortened names stable: a source's standardized path, a
    // child's sourcePath.
    std::string identity;
};

WalkItem sourceItem(std::string_view path);
WalkItem childItem(const SourceSnapshotRecord& folder, std::string_view name);

// The record of one item as lstat shows it now, with its archive path taken from the registry.
// A path that is not valid UTF-8 (named by its longest valid parent), an item lstat cannot reach,
// or anything but a regular file or a directory (links, devices, sockets, pipes) is
// unsupportedSourceType. contentSHA256 stays absent.
SourceSnapshotRecord recordItem(const WalkItem& item, ArchivePathRegistry& registry);

// The record's fields from a stat result (the three paths are the caller's).
SourceSnapshotRecord makeSourceRecord(std::string sourcePath, std::string originalPath,
                                      std::string entryPath, const struct stat& status);

// The archive path of the item: the prefix's components followed by the universal name of the
// item's last component. When the registry refuses it, the last component becomes base + "~" +
// the first 8 hex digits of SHA-256(identity) + "." + extension; a renamed path the registry
// refuses as well is duplicatePath carrying it. The path returned is recorded in the registry.
std::string archiveEntryPath(std::string_view itemPath, const std::optional<std::string>& prefix,
                             std::string_view identity, bool isDirectory,
                             ArchivePathRegistry& registry);

// Hands every name in the folder to `body`, in the order the file system lists them, skipping
// ".", ".." and ".DS_Store". The folder is read through one descriptor opened without following
// links and must match the record (change time included) before the first and after the last
// name, else sourceChanged(sourcePath) after a directoryEnumerationStart/End log line. A name
// that is not valid UTF-8 is unsupportedSourceType naming the folder; it is never repaired.
// Open and read failures are std::system_error; whatever `body` throws passes through.
void enumerateDirectoryChildren(const SourceSnapshotRecord& record,
                                const std::function<void(const std::string& name)>& body);

// Publishes "Tolvane.ScannedEntries" at the first entry and every scannedEntriesInterval-th.
void publishScannedEntries(Progress* progress, std::uint64_t entryCount);

// The free-space check of the stage's volume: fewer than minimumStageFreeBytes is
// insufficientSpace. A volume that cannot be asked, or reports more than 64 bits can hold,
// passes. An empty probe means StreamingZIPWriter::volumeFreeBytes.
void checkStageSpace(int stageDirectoryFd, const StreamingZIPWriter::FreeSpaceProbe& probe = {});

// What the walk of one pack counts; all start at 0.
struct PackWalkCounters {
    std::uint64_t entryCount = 0;
    std::uint64_t pathMappingCount = 0;  // entries stored under a path other than originalPath
    std::uint64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t progressBytesPending = 0;  // read but not yet reported to the pack progress
};

// Everything one pack's walk writes to. The lists and the archive belong to the stage.
struct PackWalk {
    ArchivePathRegistry& registry;
    JSONLines::Writer& snapshot;  // "snapshot.jsonl"
    JSONLines::Writer& expected;  // "expected.jsonl"
    StreamingZIPWriter& archive;
    int stageDirectoryFd;  // the volume of the space checks
    Progress* progress;
    ArchivePackProgress& packProgress;
    std::stop_token stop;
    StreamingZIPWriter::FreeSpaceProbe freeSpace;  // empty: the stage volume's free bytes
    PackWalkCounters counters;
};

// Records the item in "snapshot.jsonl", writes it into the archive and its row into
// "expected.jsonl", and does the same for a folder's whole tree, depth first, each folder before
// its children. Every read is fenced by the checks of writeArchiveDirectory/writeArchiveEntry and
// a folder is checked again once its children are done. Pack calls it once per source with
// sourceItem(path), in the caller's order.
void appendSnapshot(const WalkItem& item, PackWalk& walk);

// After the last source: publishes the final entry count and hands the bytes still pending to
// the pack progress.
void finishPackWalk(PackWalk& walk);

}  // namespace ArchivePipeline
}  // namespace tolvane
