#include "core/archive/ArchiveDestinationPolicy.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/archive/ArchiveValues.h"
#include "core/common/MountTable.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"

namespace tolvane {
namespace {

std::optional<std::uint64_t> limitFor(const std::string& fileSystem,
                                      std::optional<std::uint64_t> limit) {
    if (limit == 0) {
        limit.reset();
    }
    if (fileSystem == "msdos") {
        const std::uint64_t cap = ArchiveDestinationPolicy::fatMaximumFileBytes;
        return limit ? std::min(*limit, cap) : cap;
    }
    return limit;
}

// The path the mount table would show: absolute (against the working directory) and
// standardised lexically.
std::string standardizedPath(const std::string& path) {
    if (!path.empty() && path.front() == '/') {
        return PathText::standardized(path);
    }
    std::vector<char> buffer(4096);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return PathText::standardized(path);
        }
        buffer.resize(buffer.size() * 2);
    }
    return PathText::standardized(std::string(buffer.data()) + "/" + path);
}

struct SpaceFacts {
    std::optional<std::uint64_t> availableBytes;
    bool isReadOnly = false;
};

SpaceFacts spaceFacts(const struct statvfs& info) {
    return {ArchiveDestinationPolicy::availableBytesFromBlocks(info.f_bavail, info.f_frsize),
            (info.f_flag & ST_RDONLY) != 0};
}

}  // namespace

ArchiveDestinationPolicy::ArchiveDestinationPolicy(std::string fileSystem,
                                                   std::optional<std::uint64_t> maximumFileBytes,
                                                   std::optional<std::uint64_t> availableBytes,
                                                   bool isReadOnly)
    : fileSystem(normalizedFileSystemName(fileSystem)),
      maximumFileBytes(limitFor(this->fileSystem, maximumFileBytes)),
      availableBytes(availableBytes),
      isReadOnly(isReadOnly) {}

ArchiveDestinationPolicy ArchiveDestinationPolicy::read(const std::string& directoryPath) {
    return read(directoryPath, MountTable::defaultPath);
}

ArchiveDestinationPolicy ArchiveDestinationPolicy::read(const std::string& directoryPath,
                                                        const std::string& mountTablePath) {
    const posix::OpenResult opened =
        posix::tryOpenAt(AT_FDCWD, directoryPath, O_RDONLY | O_DIRECTORY);
    if (const UniqueFd& fd = opened.fd) {
        struct statvfs info {};
        if (::fstatvfs(fd.get(), &info) != 0) {
            throw posix::errnoError(errno, "fstatvfs");
        }
        const SpaceFacts facts = spaceFacts(info);
        // The type name only labels the volume and caps FAT files; an unreadable table leaves
        // it unknown rather than failing a volume whose space and writability are known.
        std::string type;
        try {
            const std::vector<MountEntry> table = MountTable::read(mountTablePath);
            if (auto entry = MountTable::findForDescriptor(table, fd.get())) {
                type = std::move(entry->fileSystemType);
            }
        } catch (const std::system_error&) {
        }
        // Without the table FAT would lose its file-size cap and fail only at the 4 GiB mark.
        if (struct statfs kind{}; type.empty() && ::fstatfs(fd.get(), &kind) == 0) {
            type = fileSystemTypeForMagic(static_cast<std::uint64_t>(kind.f_type));
        }
        // Linux has no per-volume maximum file size to ask for; only FAT's own cap applies.
        return ArchiveDestinationPolicy(std::move(type), std::nullopt, facts.availableBytes,
                                        facts.isReadOnly);
    }

    // A mount point the process may not open (or list) can still be described from the table.
    const int openError = opened.error;
    if (directoryPath.empty()) {
        // Never a stand-in for the working directory.
        throw posix::errnoError(openError, directoryPath);
    }
    std::vector<MountEntry> table;
    try {
        table = MountTable::read(mountTablePath);
    } catch (const std::system_error&) {
        throw posix::errnoError(openError, directoryPath);
    }
    const std::string path = standardizedPath(directoryPath);
    auto entry = MountTable::findByMountPoint(table, path);
    if (!entry) {
        throw posix::errnoError(openError, directoryPath);
    }
    SpaceFacts facts{std::nullopt, entry->isReadOnly};
    struct statvfs info {};
    if (::statvfs(entry->mountPoint.c_str(), &info) == 0) {
        facts = spaceFacts(info);
        facts.isReadOnly = facts.isReadOnly || entry->isReadOnly;
    }
    return ArchiveDestinationPolicy(std::move(entry->fileSystemType), std::nullopt,
                                    facts.availableBytes, facts.isReadOnly);
}

std::optional<std::uint64_t> ArchiveDestinationPolicy::availableBytesFromBlocks(
    std::uint64_t blocks, std::uint64_t blockSize) noexcept {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(blocks, blockSize, &product)) {
        return std::nullopt;
    }
    return product;
}

bool ArchiveDestinationPolicy::canAttemptCompression() const noexcept {
    return !isReadOnly && availableBytes.has_value() && *availableBytes > workspaceReserve;
}

ArchiveCompressionMode ArchiveDestinationPolicy::compressionMode(
    std::optional<std::uint64_t> sourceBytes) const noexcept {
    if (maximumFileBytes && (*maximumFileBytes >> 32) == 0) {
        return ArchiveCompressionMode::maximum;
    }
    if (availableBytes && sourceBytes &&
        static_cast<double>(*availableBytes) * 0.75 <= static_cast<double>(*sourceBytes)) {
        return ArchiveCompressionMode::maximum;
    }
    return ArchiveCompressionMode::balanced;
}

std::string ArchiveDestinationPolicy::displayName() const {
    if (fileSystem == "msdos") {
        return "FAT";
    }
    if (fileSystem == "exfat") {
        return "exFAT";
    }
    if (fileSystem == "apfs") {
        return "APFS";
    }
    if (fileSystem == "hfs") {
        return "HFS+";
    }
    return "외장 장치";
}

}  // namespace tolvane
