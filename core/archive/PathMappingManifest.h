#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/common/Progress.h"

namespace tolvane::ArchivePipeline {

// The hidden last entry of a delivery ZIP that lists entries stored under a path other than
// their path on disk. Always at the root of the archive.
inline constexpr std::string_view reservedMappingName = ".tolvane-path-mapping.jsonl";
// The largest manifest file written or accepted.
inline constexpr std::uint64_t maxPathMappingManifestBytes = 536'870'912;

// True when the path is the reserved name or lies below it, compared by collision key, so no
// spelling that a case-insensitive file system would merge can claim it. Only the archive root
// counts.
bool hasReservedMappingPath(std::string_view path);

// Whether a text may stand as an entry's original path: relative, valid UTF-8, no NUL, at most
// 4,096 bytes, no empty, "." or ".." component, and every component below 256 bytes once
// composed (NFC). Backslashes, colons and control characters are allowed: they are names the
// source file system really had.
bool validOriginalRelativePath(std::string_view path);

// Writes the manifest of the entries whose stored path differs from their original path, from
// the stage's snapshot list and expected-entries list (rows in the same entry order), at
// outputPath with permissions 0600. Returns the size of the file written, or 0 without creating
// a file when no stored path differs. Throws ArchivePipelineError (invalidArchive when the lists
// disagree with each other or with sourceEntryCount, duplicatePath when an entry claims the
// reserved name, unsafePath for an unusable original path, finalizationFailed when the file
// cannot be created, unsupportedArchiveEntry when it grows past maxPathMappingManifestBytes,
// cancelled), or passes the reader's and the file system's errors through. After a failure no
// manifest is left at outputPath.
std::uint64_t writePathMappingManifest(const std::string& snapshotPath,
                                       const std::string& expectedPath,
                                       const std::string& outputPath,
                                       std::uint64_t sourceEntryCount, const Progress* progress,
                                       std::stop_token stop);

// The same with the caller's own cancellation check, called before each pair of rows of both
// passes over the lists; whatever it throws ends the write.
std::uint64_t writePathMappingManifest(const std::string& snapshotPath,
                                       const std::string& expectedPath,
                                       const std::string& outputPath,
                                       std::uint64_t sourceEntryCount,
                                       const std::function<void()>& checkCancelled);

// The same with `maximumBytes` in place of maxPathMappingManifestBytes, so the limit can be
// exercised without writing half a gibibyte. No write ever takes the file past the limit.
std::uint64_t writePathMappingManifestWithLimit(const std::string& snapshotPath,
                                                const std::string& expectedPath,
                                                const std::string& outputPath,
                                                std::uint64_t sourceEntryCount,
                                                const std::function<void()>& checkCancelled,
                                                std::uint64_t maximumBytes);

}  // namespace tolvane::ArchivePipeline
