#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// One line of /proc/self/mountinfo. Text fields are decoded: the kernel's octal escapes
// (\040 space, \011 tab, \012 newline, \134 backslash, ...) are turned back into their bytes.
struct MountEntry {
    std::uint64_t mountId = 0;
    std::uint64_t parentId = 0;
    unsigned int major = 0;
    unsigned int minor = 0;
    std::string root;                       // the directory of the file system that is mounted here
    std::string mountPoint;                 // where it is mounted, relative to this process's root
    std::vector<std::string> mountOptions;  // per-mount options ("rw", "nosuid", ...)
    std::vector<std::string> optionalFields;  // propagation tags ("shared:1", "master:2", ...)
    std::string fileSystemType;               // as the kernel names it ("ext4", "vfat", ...)
    std::string source;
    std::vector<std::string> superOptions;  // options of the file system itself
    // "ro" among the mount's options or among the file system's: either makes writes fail.
    bool isReadOnly = false;

    friend bool operator==(const MountEntry&, const MountEntry&) = default;
};

namespace MountTable {

inline constexpr const char* defaultPath = "/proc/self/mountinfo";

// Every well-formed line of a mountinfo text, in table order (a later entry on the same mount
// point is mounted over the earlier one). Malformed lines are skipped.
std::vector<MountEntry> parse(std::string_view text);

// Reads and parses the table; throws std::system_error (generic category) when it cannot be read.
std::vector<MountEntry> read(const std::string& path = defaultPath);

std::optional<MountEntry> findById(std::span<const MountEntry> entries, std::uint64_t mountId);

// Among the mounts of a device, the one whose mount point is the longest path prefix of
// pathHint (bind mounts of one device differ only there); without such a prefix, the last
// mount of the device.
std::optional<MountEntry> findByDevice(std::span<const MountEntry> entries, unsigned int major,
                                       unsigned int minor, std::string_view pathHint = {});

// The visible mount whose mount point is exactly the given path (the last one when several
// are stacked on it).
std::optional<MountEntry> findByMountPoint(std::span<const MountEntry> entries,
                                           std::string_view mountPoint);

// The mount holding an open descriptor: by the mount id statx(2) reports, else by device.
std::optional<MountEntry> findForDescriptor(std::span<const MountEntry> entries, int fd);

}  // namespace MountTable

// The kernel's type name for a file system whose fstatfs(2) magic number has rules of its own
// ("vfat", "exfat"), for when the mount table has no answer; empty for every other number.
std::string fileSystemTypeForMagic(std::uint64_t magic);

// A file-system type name as the archive rules expect it: lower-cased, with the FAT family
// ("vfat", "msdos", "fat") as "msdos" and "hfsplus" as "hfs"; every other name unchanged.
std::string normalizedFileSystemName(std::string_view type);

}  // namespace tolvane
