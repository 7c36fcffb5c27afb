#pragma once

#include <string_view>

namespace tolvane {

// What the pipeline publishes on the caller's Progress: user-info keys and stage names.
namespace ArchiveProgressInfo {

// Text: one of the stage names below.
inline constexpr std::string_view stageKey = "Tolvane.ProgressStage";
// Unsigned 64-bit: entries seen so far.
inline constexpr std::string_view scannedEntriesKey = "Tolvane.ScannedEntries";
// Text: a Korean warning that a stage directory could not be removed completely.
inline constexpr std::string_view cleanupWarningKey = "Tolvane.CleanupWarning";
// Text: a Korean warning naming extended attributes an unpack left out because the destination
// refused them for their size.
inline constexpr std::string_view droppedAttributesWarningKey = "Tolvane.DroppedAttributesWarning";
// Unsigned 64-bit: bytes done in, and bytes of, the current pack phase.
inline constexpr std::string_view stageCompletedBytesKey = "Tolvane.StageCompletedBytes";
inline constexpr std::string_view stageTotalBytesKey = "Tolvane.StageTotalBytes";

namespace Stage {
inline constexpr std::string_view scanning = "scanning";
inline constexpr std::string_view packaging = "packaging";
inline constexpr std::string_view verifying = "verifying";
inline constexpr std::string_view hashing = "hashing";
inline constexpr std::string_view extracting = "extracting";
inline constexpr std::string_view committing = "committing";
inline constexpr std::string_view complete = "complete";
}  // namespace Stage

}  // namespace ArchiveProgressInfo
}  // namespace tolvane
