#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "core/archive/ArchiveExtendedAttributes.h"

namespace tolvane {

// Writes restored user attributes (and the provenance stamp) for one extraction job, and
// remembers whether the destination keeps them at all. FAT, exFAT and many FUSE and network file
// systems keep no user attributes; such a destination must not fail an otherwise good unpack, so
// the first ENOTSUP turns attribute writing off for the rest of the job. Every other failure
// (ENOSPC, E2BIG, ERANGE, ...) stays the caller's to report.
class RestoredAttributeWriter {
public:
    // The fsetxattr(2) contract: 0, or -1 with errno set. Replaceable so a destination without
    // attributes, or one that runs out of room, can be played.
    using SetCall =
        std::function<int(int fd, const char* name, const void* value, std::size_t size)>;

    RestoredAttributeWriter();
    explicit RestoredAttributeWriter(SetCall set);

    // False once the destination answered that it keeps no user attributes.
    bool enabled() const noexcept { return enabled_; }

    // Sets one attribute under its full name. Returns 0, or the errno of the failure; ENOTSUP
    // (EOPNOTSUPP) also disables the writer. Does nothing and returns ENOTSUP once disabled.
    int set(int fd, const char* fullName, std::string_view value);

private:
    SetCall set_;
    bool enabled_ = true;
};

// Puts what pack recorded about an item back onto the open descriptor of its extracted copy.
namespace ArchiveRestoredMetadata {

// Only these permission bits are restored: set-id and sticky bits from an archive are never
// honoured.
inline constexpr std::uint16_t restoredPermissionBits = 0777;

// Sets the archived attributes in ascending byte order of their names, each under the "user."
// namespace (names travel without it):
// - "com.apple.macl", "com.apple.quarantine" and "xdg.origin.url" are skipped: provenance comes
//   only from the archive file itself, never from a copy inside it;
// - an empty name, one holding NUL, and "com.apple.provenance" throw
//   ArchivePipelineError::invalidArchive("invalid extended attribute name"); attributes set before
//   it stay set;
// - once the writer is disabled nothing more is set, but every name is still checked;
// - any other failure of the call throws std::system_error with its errno.
void applyExtendedAttributes(const ArchiveExtendedAttributes::Map& attributes, int fd,
                             RestoredAttributeWriter& writer);

// fchmod with the low nine bits of the permissions.
void applyPermissions(std::uint16_t permissions, int fd);

// The modification time to set for a date in seconds since 1970: truncated toward zero to whole
// microseconds, written as a valid timespec (a negative fraction borrows from the seconds).
// Throws std::system_error(EINVAL) for a date that is not finite or does not fit in time_t.
timespec modificationTime(double secondsSince1970);

// futimens with modificationTime(date); the access time is left as it is.
void applyModificationDate(double secondsSince1970, int fd);

// Permissions first, then the date; either may be absent.
void applyFilesystemMetadata(std::optional<std::uint16_t> permissions,
                             std::optional<double> modificationDate, int fd);

}  // namespace ArchiveRestoredMetadata
}  // namespace tolvane
