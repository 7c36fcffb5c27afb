#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/archive/ArchiveSelection.h"
#include "core/archive/ArchiveValues.h"

namespace tolvane {

class Progress;

// The entry points the application calls off its interface thread. They are synchronous, report
// only through the given progress object (which may be absent), and throw ArchivePipelineError
// or std::system_error. Cancelling the progress object or the stop token ends them with
// ArchivePipelineError::cancelled. captureInputSnapshot is declared in ArchiveSelection.h.
namespace ArchivePipeline {

// Packs the sources, in the order given, into one delivery ZIP at archivePath (its folder must
// exist; an existing file of that name is never replaced, the ZIP then takes the first free
// "_2"-style name). Everything is built in a stage beside the destination, read back entry by
// entry, hashed and only then moved into place; the stage is removed on every way out.
//
// selectionSnapshot, when given, is the captured selection of the same sources: the archive must
// hold exactly those entries with exactly their captured content. Without a compression mode the
// destination volume decides. Once the progress stage is "committing" the job can no longer be
// cancelled.
PackReceipt pack(const std::vector<std::string>& sources, const std::string& archivePath,
                 Progress* progress,
                 const std::optional<ArchiveInputSnapshot>& selectionSnapshot = std::nullopt,
                 std::optional<ArchiveCompressionMode> compressionMode = std::nullopt,
                 std::stop_token stop = {});

// The steps a pack takes once its stage exists, in order: the walk of the sources, the check
// against the captured selection (only with a snapshot), the path-mapping manifest, the central
// directory, the read-back, the re-check of the sources, the archive's digest and the commit.
enum class PackStep { walk, selection, manifest, finalize, verification, recheck, hashing, commit };

// Called on the packing thread just before each step. Whatever it throws ends the pack like any
// other failure; a cancellation it requests is seen by the step that follows. Lets tests stop a
// pack at an exact point.
using PackCheckpoint = std::function<void(PackStep)>;

PackReceipt pack(const std::vector<std::string>& sources, const std::string& archivePath,
                 Progress* progress, const std::optional<ArchiveInputSnapshot>& selectionSnapshot,
                 std::optional<ArchiveCompressionMode> compressionMode, std::stop_token stop,
                 const PackCheckpoint& checkpoint);

// Unpacks the delivery ZIP at archivePath into a new folder inside destinationRoot, named after
// the archive (or the first free "_2"-style variant of that name).
UnpackReceipt unpack(const std::string& archivePath, const std::string& destinationRoot,
                     Progress* progress, std::stop_token stop);

}  // namespace ArchivePipeline
}  // namespace tolvane
