#pragma once

#include <functional>
#include <stop_token>
#include <string>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchiveValues.h"
#include "core/common/Progress.h"

namespace tolvane::ArchivePipeline {

// The facts of the volume holding a directory. Throws when they cannot be read.
using DestinationPolicyReader = std::function<ArchiveDestinationPolicy(const std::string&)>;

// The points an unpack passes once its stage exists, in order: every entry preflighted and the
// free space checked; every entry extracted; the tree flushed, just before the commit.
enum class UnpackStep { preflighted, extracted, committing };

// Called on the unpacking thread at each step. Whatever it throws ends the unpack like any other
// failure; a cancellation it requests is seen by the step that follows. Lets tests stop an
// unpack at an exact point.
using UnpackCheckpoint = std::function<void(UnpackStep)>;

// Unpacks one ZIP into a new folder inside `destinationRoot`, named after the archive (with a
// "_2"-style suffix when that name is taken), exactly as ArchivePipeline::unpack does, but with
// the destination's facts taken from `readDestinationPolicy`: once for its size limit and
// read-only flag before the stage is made, once more for the free-space check after the
// preflight. A failure of that second read lets the check pass.
//
// Nothing is written outside the stage until the final exclusive rename, and a failure removes
// the stage. The entries are preflighted as a whole first (paths, duplicates by collision key,
// types, sizes, compression ratio, attributes, overlapping data, free space); a path-mapping
// manifest as the last entry is validated against them and answered with a receipt at the
// output root; every file is written exclusively, counted, CRC-checked and re-read before
// anything is committed.
//
// Progress: stage "scanning", then "extracting" with the unit counts in bytes, then
// "committing" (from which on cancellation no longer stops the job) and "complete".
// Throws ArchivePipelineError (cancelled when `progress` or `stop` asks), std::system_error, or
// the errors of the archive reader, the path registry and the list reader unchanged.
UnpackReceipt unpack(const std::string& archivePath, const std::string& destinationRoot,
                     Progress* progress, std::stop_token stop,
                     const DestinationPolicyReader& readDestinationPolicy,
                     const UnpackCheckpoint& checkpoint = {});

}  // namespace tolvane::ArchivePipeline
