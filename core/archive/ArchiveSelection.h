#pragma once

#include <cstdint>
#include <deque>
#include <future>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchiveValues.h"
#include "core/archive/JSONLines.h"

namespace tolvane {

class ArchivePathRegistry;
class Progress;
class ThreadPool;

namespace ArchivePipeline {

struct WalkItem;

// Freezes the selection: walks the sources as pack will (same archive paths), writes one
// SourceSnapshotRecord per entry with the SHA-256 of every file's content into a new file at
// manifestPath (0600, created exclusively), checks every row against the disk once more and
// returns the snapshot that identifies the manifest by device, inode and digest. Publishes only
// "Tolvane.ScannedEntries".
//
// While it runs, a path registry lives at manifestPath + ".registry.sqlite"; it is deleted when
// the capture ends, on every way out. On any failure the manifest is deleted too, so a failed or
// cancelled capture leaves nothing behind. Throws ArchivePipelineError (noInputs,
// finalizationFailed, unsupportedSourceType, duplicatePath, insufficientSpace, tooManyEntries,
// sourceChanged, invalidArchive, cancelled) or std::system_error.
ArchiveInputSnapshot captureInputSnapshot(const std::vector<std::string>& sources,
                                          const std::string& manifestPath, Progress* progress,
                                          std::stop_token stop = {});

// A manifest row waiting for its file's digest, which a hashing thread is computing.
struct PendingSnapshotRow {
    SourceSnapshotRecord record;
    std::future<std::string> contentSHA256;  // none for a folder
};

// What one capture writes to and counts; both counts start at 0.
struct CaptureWalk {
    ArchivePathRegistry& registry;
    JSONLines::Writer& manifest;
    Progress* progress;
    std::stop_token stop;
    std::uint64_t entryCount = 0;
    std::uint64_t totalBytes = 0;
    // When given, files are hashed on these threads while the walk goes on, and rows wait here
    // to be written in walk order.
    ThreadPool* hashers = nullptr;
    std::deque<PendingSnapshotRow> pending = {};
    // Files not yet handed to the hashers: they go a batch at a time.
    std::vector<std::pair<SourceSnapshotRecord, std::promise<std::string>>> batch = {};
};

// Records the item with its content digest in the manifest and, for a folder, its whole tree,
// in the order and under the paths pack's walk gives them; a folder is checked again once its
// children are done. captureInputSnapshot calls it once per source with sourceItem(path), then
// finishSelectionSnapshot.
void appendSelectionSnapshot(const WalkItem& item, CaptureWalk& walk);

// Writes the rows still waiting for their digests, in order; the first failure among them is
// thrown.
void finishSelectionSnapshot(CaptureWalk& walk);

// The SHA-256 of a file's content, read through one descriptor that must match the record
// (change time aside) before and after, with the same change time both times and exactly `size`
// bytes in between; else sourceChanged(sourcePath).
std::string selectionContentHash(const SourceSnapshotRecord& record, const Progress* progress,
                                 std::stop_token stop = {});

// Whether the item is still as captured: it must match by lstat without change time (else
// sourceChanged after a selectionMetadata log line); a file whose change time alone moved is
// accepted only when its content still hashes to contentSHA256.
void verifySelectionSource(const SourceSnapshotRecord& record, const Progress* progress,
                           std::stop_token stop = {});

// verifySelectionSource for every row of a manifest.
void verifySnapshotFile(const std::string& path, const Progress* progress,
                        std::stop_token stop = {});

// Pack's proof that it packed exactly the captured selection. The manifest is opened once, and
// its identity (a regular file of this user with the snapshot's device and inode), its digest and
// its rows are all taken through that one descriptor; a miss is invalidInputSnapshot. Then the
// manifest, the stage's snapshot list and its expected-entries list are read in lock-step: each
// captured row must have the same selection identity as the packed row, the expected row must
// name the packed entry, and a file's packed digest must be its captured content digest. A
// difference is sourceChanged(<captured sourcePath>) after a selectionInventory log line; a
// further row in any list is invalidArchive("unused manifest records"); a row count other than
// the snapshot's is invalidInputSnapshot.
void verifySelectionSnapshot(const ArchiveInputSnapshot& snapshot, JSONLines::Reader stageSnapshot,
                             JSONLines::Reader expected, const Progress* progress,
                             std::stop_token stop = {});
void verifySelectionSnapshot(const ArchiveInputSnapshot& snapshot, const std::string& snapshotPath,
                             const std::string& expectedPath, const Progress* progress,
                             std::stop_token stop = {});

// verifySourceMetadata (change time included) for every row of the stage's snapshot list.
void verifySnapshotIsStillPresent(JSONLines::Reader stageSnapshot, const Progress* progress,
                                  std::stop_token stop = {});
void verifySnapshotIsStillPresent(const std::string& path, const Progress* progress,
                                  std::stop_token stop = {});

// Same paths, type, size, device, inode, permissions and, for a file, modification time. Change
// times and content digests are not compared.
bool sameSelectionIdentity(const SourceSnapshotRecord& captured,
                           const SourceSnapshotRecord& packed);

// What differs, in this order: "pathIdentity", "type", "size", "device", "inode", "mtime" (only
// when `captured` is a file), "permissions"; "packedContentOrPath" alone when none of these does.
std::vector<std::string> selectionDifferenceNames(const SourceSnapshotRecord& captured,
                                                  const SourceSnapshotRecord& packed);

}  // namespace ArchivePipeline
}  // namespace tolvane
