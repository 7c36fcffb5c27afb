#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

namespace tolvane {

// A mounted external volume the user can pick as a destination.
struct ExternalVolume {
    std::string url;  // the mount point, standardised
    QString name;     // the label, else the mount point's last component
    std::optional<std::string> uuid;
    bool isReadOnly = true;  // also when the system does not say
    std::optional<std::uint64_t> maxSingleFileBytes;
    std::optional<std::uint64_t> availableBytes;
    std::string fileSystem;  // lower-case type name; empty when the volume could not be read

    // The UUID, else the mount point. Cloned disks share a UUID, so two listed volumes may
    // have the same id.
    std::string id() const { return uuid.value_or(url); }

    // Whether the file lies on this volume: the file's volume has this volume's UUID, and the
    // folder holding the file is the mount point or lies below it. Touches no disk.
    bool containsFileURL(const std::string& fileURL,
                         const std::optional<std::string>& fileVolumeUUID) const;

    friend bool operator==(const ExternalVolume&, const ExternalVolume&) = default;
};

// Whether an archive file is present, and the UUID of the volume holding it.
struct ArchiveVolumeState {
    bool exists = false;
    std::optional<std::string> volumeUUID;

    friend bool operator==(const ArchiveVolumeState&, const ArchiveVolumeState&) = default;
};

}  // namespace tolvane
