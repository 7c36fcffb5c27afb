#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/common/MountTable.h"

namespace tolvane {

// Where the system publishes what the volume layer reads. Tests point them at fixtures.
struct VolumeSystemPaths {
    std::string mountTable = MountTable::defaultPath;
    std::string diskByUUID = "/dev/disk/by-uuid";
    std::string diskByLabel = "/dev/disk/by-label";
    std::string sysBlock = "/sys/dev/block";  // "<major>:<minor>" links into the device tree
};

// One mounted external volume as the system describes it.
struct MountedVolume {
    std::string mountPoint;
    std::string name;  // the file-system label, else the mount point's last component
    std::optional<std::string> uuid;
    bool isReadOnly = true;
    std::optional<ArchiveDestinationPolicy> policy;  // absent when it could not be read
    // The free space the file system reports, read only when the policy has none to give.
    std::optional<std::uint64_t> availableCapacity;

    friend bool operator==(const MountedVolume&, const MountedVolume&) = default;
};

namespace MountedVolumes {

// Whether the system's disk manager counts each block device it knows as part of the machine,
// by device number (makedev). A device it does not know is judged by sysfs.
using SystemDiskHints = std::map<std::uint64_t, bool>;
// Asked once per scan, only when some mount is a candidate; nothing when the disk manager
// cannot be asked (no UDisks2), which leaves every disk to sysfs.
using SystemDiskHintSource = std::function<std::optional<SystemDiskHints>()>;

// Whether a mount can be a user's external volume, from the table alone: a block device mounted
// where the desktop mounts removable media, by a file system that is neither a network nor a
// pseudo file system. Nothing on disk is touched, so a hung network mount costs nothing here.
bool isCandidate(const MountEntry& entry);

// Whether the disk behind a block device is fixed inside the machine: neither flagged
// removable nor attached through USB or a card reader. Reads only sysfs.
bool isInternalDisk(unsigned int major, unsigned int minor, const std::string& sysBlock);

// udev's link names escape unsafe bytes as "\xHH" (a label "My Disk" becomes "My\x20Disk").
std::string decodeLinkName(std::string_view name);

// The links in a /dev/disk/by-* folder: the device each names (the link target made absolute
// against the folder, standardised) mapped to the decoded link name. A missing folder gives none.
std::map<std::string, std::string> linksByDevice(const std::string& folder);

// The device node a mount's source names, with symbolic links (/dev/mapper/...) resolved.
std::string devicePath(const std::string& source);

// Whether the disk behind a block device is fixed inside the machine. The disk manager's word
// decides for a device it knows: a disk in a USB or Thunderbolt enclosure often looks fixed to
// sysfs. Otherwise sysfs decides (isInternalDisk).
bool isInternalDisk(unsigned int major, unsigned int minor, const std::string& sysBlock,
                    const std::optional<SystemDiskHints>& hints);

// The external volumes mounted now, in table order. The candidates are chosen before any of
// them is touched; then each one's disk, label, UUID and destination policy are read. An
// unreadable mount table gives none.
std::vector<MountedVolume> scan(const VolumeSystemPaths& paths = {},
                                const SystemDiskHintSource& hints = {});

// The UUID of the file system holding a file or folder (symbolic links followed), or nothing
// when that file system has none. Throws std::system_error when the path cannot be examined.
std::optional<std::string> volumeUUID(const std::string& path, const VolumeSystemPaths& paths = {});

}  // namespace MountedVolumes
}  // namespace tolvane
