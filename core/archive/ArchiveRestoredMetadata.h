#pragma once

#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"

namespace tolvane {

class Progress;

// Writes restored user attributes (and the provenance stamp) for one extraction job, and
// remembers whether the destination keeps them at all. FAT, exFAT and many FUSE and network file
// systems keep no user attributes; such a destination must not fail an otherwise good unpack, so
// the first ENOTSUP turns attribute writing off for the rest of the job. A destination that keeps
// attributes but refuses one for its size (ext4 holds about 4 KiB per inode, where tmpfs takes
// 64 KiB) must not fail it either: such an attribute is dropped and named in a warning published
// under ArchiveProgressInfo::droppedAttributesWarningKey. Every other failure stays the caller's
// to report. One writer may serve several threads at once.
class RestoredAttributeWriter {
public:
    // The fsetxattr(2) contract: 0, or -1 with errno set. Replaceable so a destination without
    // attributes, or one that runs out of room, can be played.
    using SetCall =
        std::function<int(int fd, const char* name, const void* value, std::size_t size)>;

    // The dropped attributes named in the warning; those beyond are summed up as "and others".
    static constexpr std::size_t maxNamedDrops = 8;
    // Bytes of a name as shown in the warning.
    static constexpr std::size_t maxShownNameBytes = 64;

    RestoredAttributeWriter();
    // progress (may be null) receives the warning about dropped attributes.
    explicit RestoredAttributeWriter(Progress* progress);
    explicit RestoredAttributeWriter(SetCall set, Progress* progress = nullptr);
    // Moves what the other has learned; only a writer no thread is using may be moved.
    RestoredAttributeWriter(RestoredAttributeWriter&& other) noexcept;
    RestoredAttributeWriter& operator=(RestoredAttributeWriter&&) = delete;

    // False once the destination answered that it keeps no user attributes.
    bool enabled() const noexcept { return enabled_.load(std::memory_order_relaxed); }

    // Whether set() failed because the destination keeps no user attributes.
    static bool isUnsupported(int error) noexcept {
        return error == ENOTSUP || error == EOPNOTSUPP;
    }

    // Sets one attribute under its full name. Returns 0, or the errno of the failure; ENOTSUP
    // (EOPNOTSUPP) also disables the writer. Does nothing and returns ENOTSUP once disabled.
    int set(int fd, const char* fullName, std::string_view value);

    // Whether set() failed with `error` because the destination refuses this attribute of `bytes`
    // name and value bytes for its size (ArchiveRestoredMetadata::isRefusedForSize, with the free
    // space of fd's volume). If so the attribute is recorded as dropped and the warning published.
    bool dropIfRefusedForSize(int fd, std::string_view fullName, std::uint64_t bytes, int error);

private:
    SetCall set_;
    Progress* progress_ = nullptr;
    std::atomic<bool> enabled_{true};
    // The first maxNamedDrops distinct names dropped, and whether there were more.
    std::mutex droppedMutex_;
    std::vector<std::string> droppedNames_;
    bool namesOmitted_ = false;
};

// Puts what pack recorded about an item back onto the open descriptor of its extracted copy.
namespace ArchiveRestoredMetadata {

// Whether fsetxattr(2)'s error means that the destination refuses an attribute of `bytes` name
// and value bytes for its size rather than that it is full: E2BIG and ERANGE always do; ENOSPC
// does while the volume still has room for the attribute and a reserve of 1 MiB
// (availableBytes, absent when it cannot be read, which proves no room).
bool isRefusedForSize(int error, std::optional<std::uint64_t> availableBytes,
                      std::uint64_t bytes) noexcept;

// The Korean warning that attributes were not restored, naming them (full names, in the order
// met), with "등" when more were dropped than are named.
std::string droppedAttributesWarning(const std::vector<std::string>& names, bool more);

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
// - an attribute the destination refuses for its size is dropped (see RestoredAttributeWriter);
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
