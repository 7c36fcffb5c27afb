#include "platform/volumes/MountedVolumes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <set>
#include <system_error>
#include <utility>

#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"

namespace tolvane::MountedVolumes {
namespace {

// Types whose source may look like a device but that never stand for a disk the user plugged in.
const std::set<std::string, std::less<>> excludedTypes = {
    // network
    "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "ceph", "9p", "glusterfs", "lustre",
    "sshfs", "davfs", "coda",
    // pseudo and layered
    "proc", "sysfs", "tmpfs", "ramfs", "devtmpfs", "devpts", "overlay", "autofs", "squashfs",
    "cgroup", "cgroup2", "debugfs", "tracefs", "securityfs", "pstore", "bpf", "fusectl", "configfs",
    "hugetlbfs", "mqueue", "binfmt_misc", "efivarfs", "nsfs", "rpc_pipefs"};

std::optional<std::string> realPath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    if (!resolved) {
        return std::nullopt;
    }
    return std::string(resolved.get());
}

std::optional<std::string> readSmallFile(const std::string& path) {
    const posix::OpenResult opened = posix::tryOpenAt(AT_FDCWD, path, O_RDONLY);
    if (!opened.fd) {
        return std::nullopt;
    }
    std::array<char, 64> buffer{};
    const ssize_t length = ::read(opened.fd.get(), buffer.data(), buffer.size());
    if (length < 0) {
        return std::nullopt;
    }
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// The names in a folder; throws std::system_error when it cannot be listed.
std::vector<std::string> namesIn(const std::string& folder) {
    const UniqueFd fd = posix::openAt(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY);
    return posix::listDirectory(fd.get(), folder);
}

// A disk in the device tree (the folder of a disk, a partition or a mapped device) counts as
// external when it, or for a partition its disk, is removable or hangs off a USB or MMC bus, or
// when a mapped device sits on such a disk.
bool isExternalNode(const std::string& node, int depth) {
    std::string disk = node;
    if (::access((node + "/partition").c_str(), F_OK) == 0) {
        disk = PathText::deletingLastComponent(node);
    }
    if (readSmallFile(disk + "/removable").value_or("").starts_with("1")) {
        return true;
    }
    if (disk.find("/usb") != std::string::npos || disk.find("/mmc") != std::string::npos) {
        return true;
    }
    if (depth > 0) {
        return false;
    }
    try {
        for (const std::string& slave : namesIn(disk + "/slaves")) {
            if (auto target = realPath(disk + "/slaves/" + slave);
                target && isExternalNode(*target, depth + 1)) {
                return true;
            }
        }
    } catch (const std::system_error&) {
    }
    return false;
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

}  // namespace

bool isCandidate(const MountEntry& entry) {
    const std::string& type = entry.fileSystemType;
    if (!entry.source.starts_with("/dev/") || excludedTypes.contains(type) ||
        type.starts_with("fuse.")) {
        return false;
    }
    const std::string mountPoint = PathText::standardized(entry.mountPoint);
    return mountPoint.starts_with("/media/") || mountPoint.starts_with("/run/media/");
}

bool isInternalDisk(unsigned int major, unsigned int minor, const std::string& sysBlock) {
    const auto node =
        realPath(sysBlock + "/" + std::to_string(major) + ":" + std::to_string(minor));
    return !node || !isExternalNode(*node, 0);
}

bool isInternalDisk(unsigned int major, unsigned int minor, const std::string& sysBlock,
                    const std::optional<SystemDiskHints>& hints) {
    if (hints) {
        if (const auto hint = hints->find(::makedev(major, minor)); hint != hints->end()) {
            return hint->second;
        }
    }
    return isInternalDisk(major, minor, sysBlock);
}

std::string decodeLinkName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
            isHexDigit(name[i + 2]) && isHexDigit(name[i + 3])) {
            out += static_cast<char>(hexValue(name[i + 2]) * 16 + hexValue(name[i + 3]));
            i += 3;
        } else {
            out += name[i];
        }
    }
    return out;
}

std::map<std::string, std::string> linksByDevice(const std::string& folder) {
    std::map<std::string, std::string> links;
    std::vector<std::string> names;
    try {
        names = namesIn(folder);
    } catch (const std::system_error&) {
        return links;
    }
    for (const std::string& name : names) {
        std::array<char, 4096> target{};
        const std::string link = folder + "/" + name;
        const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            continue;
        }
        std::string device(target.data(), static_cast<std::size_t>(length));
        if (!device.starts_with('/')) {
            device = folder + "/" + device;
        }
        // Two links to one device (a stale one left by a relabel) keep the first name.
        links.emplace(PathText::standardized(device), decodeLinkName(name));
    }
    return links;
}

std::string devicePath(const std::string& source) {
    return realPath(source).value_or(PathText::standardized(source));
}

std::vector<MountedVolume> scan(const VolumeSystemPaths& paths, const SystemDiskHintSource& hints) {
    std::vector<MountEntry> table;
    try {
        table = MountTable::read(paths.mountTable);
    } catch (const std::system_error&) {
        return {};
    }
    std::vector<const MountEntry*> candidates;
    for (std::size_t i = 0; i < table.size(); ++i) {
        // A mount hidden by a later one on the same point is not reachable through its path.
        bool hidden = false;
        for (std::size_t j = i + 1; j < table.size() && !hidden; ++j) {
            hidden = table[j].mountPoint == table[i].mountPoint;
        }
        if (!hidden && isCandidate(table[i])) {
            candidates.push_back(&table[i]);
        }
    }
    if (candidates.empty()) {
        return {};
    }

    const auto uuids = linksByDevice(paths.diskByUUID);
    const auto labels = linksByDevice(paths.diskByLabel);
    const std::optional<SystemDiskHints> systemDisks = hints ? hints() : std::nullopt;
    std::vector<MountedVolume> volumes;
    for (const MountEntry* entry : candidates) {
        const std::string device = devicePath(entry->source);
        // The table's device numbers are anonymous for some file systems (btrfs); the device
        // node's own numbers lead to the disk.
        unsigned int major = entry->major;
        unsigned int minor = entry->minor;
        struct stat status {};
        if (::stat(device.c_str(), &status) == 0 && S_ISBLK(status.st_mode)) {
            major = ::major(status.st_rdev);
            minor = ::minor(status.st_rdev);
        }
        if (isInternalDisk(major, minor, paths.sysBlock, systemDisks)) {
            continue;
        }
        MountedVolume volume;
        volume.mountPoint = PathText::standardized(entry->mountPoint);
        const auto label = labels.find(device);
        volume.name = label != labels.end() && !label->second.empty()
                          ? label->second
                          : PathText::lastComponent(volume.mountPoint);
        if (const auto uuid = uuids.find(device); uuid != uuids.end()) {
            volume.uuid = uuid->second;
        }
        try {
            volume.policy = ArchiveDestinationPolicy::read(volume.mountPoint, paths.mountTable);
        } catch (const std::system_error&) {
        }
        volume.isReadOnly = entry->isReadOnly || (volume.policy && volume.policy->isReadOnly);
        if (struct statvfs info{}; (!volume.policy || !volume.policy->availableBytes) &&
                                   ::statvfs(volume.mountPoint.c_str(), &info) == 0) {
            volume.availableCapacity =
                ArchiveDestinationPolicy::availableBytesFromBlocks(info.f_bavail, info.f_frsize);
        }
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

std::optional<std::string> volumeUUID(const std::string& path, const VolumeSystemPaths& paths) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw posix::errnoError(errno, path);
    }
    const std::vector<MountEntry> table = MountTable::read(paths.mountTable);
    const std::string hint = realPath(path).value_or(path);
    const auto entry =
        MountTable::findByDevice(table, ::major(status.st_dev), ::minor(status.st_dev), hint);
    if (!entry) {
        return std::nullopt;
    }
    const auto uuids = linksByDevice(paths.diskByUUID);
    const auto uuid = uuids.find(devicePath(entry->source));
    if (uuid == uuids.end()) {
        return std::nullopt;
    }
    return uuid->second;
}

}  // namespace tolvane::MountedVolumes
