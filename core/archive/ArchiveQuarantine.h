#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchiveRestoredMetadata.h"

namespace tolvane {

// Download provenance carried from a chosen ZIP to everything unpacked from it: the freedesktop
// "user.xdg.origin.url" attribute. It is informational only; nothing on Linux enforces it.
namespace ArchiveQuarantine {

inline constexpr const char* attributeName = "user.xdg.origin.url";
// Larger values are not a download record any tool writes; they mark a damaged or hostile file.
inline constexpr std::size_t maxValueBytes = 4096;

// The provenance value of the file at path, or nothing when it has none (or its file system keeps
// no attributes). The file is opened without following a final symbolic link (ELOOP) and without
// blocking on a pipe. Throws:
// - ArchivePipelineError::invalidArchive("the chosen ZIP is not a regular file");
// - ArchivePipelineError::invalidArchive("ZIP quarantine metadata exceeds the supported limit")
//   for a value above maxValueBytes;
// - ArchivePipelineError::sourceChanged("ZIP quarantine metadata") when the value changes while
//   it is read;
// - std::system_error for any other failure.
std::optional<std::string> read(const std::string& path);
// Only calls.getValue is used.
std::optional<std::string> read(const std::string& path,
                                const ArchiveExtendedAttributes::SystemCalls& calls);

// Whether the open object already carries a readable, non-empty value of at most maxValueBytes.
// Never throws.
bool hasExistingQuarantine(int fd) noexcept;
bool hasExistingQuarantine(int fd, const ArchiveExtendedAttributes::SystemCalls& calls) noexcept;

// Stamps the value on the open object through the job's writer. Nothing happens once the writer
// is disabled (the destination keeps no attributes; the failure that disables it counts as that).
// EPERM is accepted when the object already carries a value of its own; any other failure throws
// std::system_error with its errno.
void stamp(int fd, std::string_view value, RestoredAttributeWriter& writer);

}  // namespace ArchiveQuarantine
}  // namespace tolvane
