#pragma once

#include <cstdint>
#include <string>

#include "core/common/Uuid.h"

namespace tolvane {

enum class ArchiveCompressionMode { balanced, maximum };

// The type of an entry as stored in a ZIP; only `directory` changes the path rules.
enum class ArchiveEntryType { file, directory, symlink };

// A committed delivery ZIP: written, read back and verified entry by entry, hashed, committed.
struct VerifiedArchive {
    Uuid jobID;
    std::string url;  // path of the committed ZIP
    std::int64_t byteCount = 0;
    std::string sha256;  // lowercase hex

    friend bool operator==(const VerifiedArchive&, const VerifiedArchive&) = default;
};

struct PackReceipt {
    std::string outputURL;
    std::uint64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
    bool verified = false;
    VerifiedArchive archive;
};

struct UnpackReceipt {
    std::string outputURL;  // the committed output folder
    std::uint64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
    bool verified = false;
};

// The frozen selection, checked again by pack.
struct ArchiveInputSnapshot {
    std::string manifestURL;
    std::uint64_t entryCount = 0;
    std::uint64_t totalBytes = 0;
    std::string manifestSHA256;  // lowercase hex of the manifest file
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

}  // namespace tolvane
