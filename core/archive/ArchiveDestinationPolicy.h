#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/archive/ArchiveValues.h"

namespace tolvane {

// The facts about the volume that will receive an output, and the rules derived from them.
struct ArchiveDestinationPolicy {
    // Free space that must remain beyond the bytes a job writes.
    static constexpr std::uint64_t workspaceReserve = 16 * 1024 * 1024;
    // The largest file FAT can hold.
    static constexpr std::uint64_t fatMaximumFileBytes = 0xFFFFFFFF;

    std::string fileSystem;  // normalised type name ("msdos", "exfat", "ext4", ...)
    std::optional<std::uint64_t> maximumFileBytes;  // absent: no known limit
    std::optional<std::uint64_t> availableBytes;    // absent: unknown
    bool isReadOnly = false;

    // Normalises the name (see normalizedFileSystemName) and the limit: 0 counts as no limit,
    // and a FAT volume is never allowed more than fatMaximumFileBytes.
    ArchiveDestinationPolicy(std::string fileSystem, std::optional<std::uint64_t> maximumFileBytes,
                             std::optional<std::uint64_t> availableBytes, bool isReadOnly);

    // The facts of the volume holding the directory. Throws std::system_error (generic
    // category) when neither the directory nor a mount point at exactly that path can be read.
    static ArchiveDestinationPolicy read(const std::string& directoryPath);
    // The same with another mount table (tests).
    static ArchiveDestinationPolicy read(const std::string& directoryPath,
                                         const std::string& mountTablePath);

    // blocks × blockSize, or absent when the product does not fit in 64 bits.
    static std::optional<std::uint64_t> availableBytesFromBlocks(std::uint64_t blocks,
                                                                 std::uint64_t blockSize) noexcept;

    // Writable, and the free space is known and larger than the reserve.
    bool canAttemptCompression() const noexcept;
    // Volumes with small files, and volumes whose free space is tight for the source, get the
    // stronger compression.
    ArchiveCompressionMode compressionMode(std::optional<std::uint64_t> sourceBytes) const noexcept;
    // The label shown for the file system; names without their own label are "외장 장치".
    std::string displayName() const;

    friend bool operator==(const ArchiveDestinationPolicy&,
                           const ArchiveDestinationPolicy&) = default;
};

}  // namespace tolvane
