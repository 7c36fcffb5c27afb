#include "core/archive/ArchiveSourceChange.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Log.h"

namespace tolvane::ArchivePipeline {

namespace {

// One bit per rule, in reporting order.
enum Difference : unsigned {
    kDevice = 1u << 0,
    kInode = 1u << 1,
    kType = 1u << 2,
    kSize = 1u << 3,
    kModified = 1u << 4,
    kPermissions = 1u << 5,
    kChanged = 1u << 6,
};

constexpr std::array<std::string_view, 7> kDifferenceNames = {
    "device", "inode", "type", "size", "mtime", "permissions", "ctime",
};

// Every word a log line may carry after "fields=".
constexpr std::array<std::string_view, 12> kLoggableFields = {
    "device", "inode",  "type",        "size",       "mtime",        "permissions",
    "ctime",  "xattrs", "unavailable", "entryCount", "pathIdentity", "packedContentOrPath",
};

unsigned differences(const SourceSnapshotRecord& record, const struct stat& status,
                     bool includeChangeTime) noexcept {
    const bool isFile = !record.isDirectory;
    unsigned found = 0;
    if (static_cast<std::uint64_t>(status.st_dev) != record.device) {
        found |= kDevice;
    }
    if (static_cast<std::uint64_t>(status.st_ino) != record.inode) {
        found |= kInode;
    }
    if (isFile ? !S_ISREG(status.st_mode) : !S_ISDIR(status.st_mode)) {
        found |= kType;
    }
    // A negative size never equals a recorded one, however large that is.
    if (isFile &&
        (status.st_size < 0 || static_cast<std::uint64_t>(status.st_size) != record.size)) {
        found |= kSize;
    }
    if (status.st_mtim.tv_sec != record.modifiedSeconds ||
        status.st_mtim.tv_nsec != record.modifiedNanoseconds) {
        found |= kModified;
    }
    if ((status.st_mode & 0777) != record.permissions) {
        found |= kPermissions;
    }
    if (isFile && includeChangeTime &&
        (status.st_ctim.tv_sec != record.changedSeconds ||
         status.st_ctim.tv_nsec != record.changedNanoseconds)) {
        found |= kChanged;
    }
    return found;
}

std::string_view stageName(SourceChangeStage stage) noexcept {
    switch (stage) {
        case SourceChangeStage::directoryOpen:
            return "directoryOpen";
        case SourceChangeStage::directoryXattrs:
            return "directoryXattrs";
        case SourceChangeStage::directoryEnumerationStart:
            return "directoryEnumerationStart";
        case SourceChangeStage::directoryEnumerationEnd:
            return "directoryEnumerationEnd";
        case SourceChangeStage::selectionMetadata:
            return "selectionMetadata";
        case SourceChangeStage::archiveMetadata:
            return "archiveMetadata";
        case SourceChangeStage::selectionInventory:
            return "selectionInventory";
    }
    return "unknown";
}

std::string_view loggable(std::string_view field) noexcept {
    const bool known =
        std::find(kLoggableFields.begin(), kLoggableFields.end(), field) != kLoggableFields.end();
    return known ? field : std::string_view("unknown");
}

void writeLine(SourceChangeStage stage, const std::string& fields) noexcept {
    try {
        std::string line = "sourceChanged stage=";
        line += stageName(stage);
        line += " fields=";
        line += fields;
        Log::error(Log::Category::sourceChange, line);
    } catch (...) {
        // Out of memory while building the line: the job still fails with its own error.
    }
}

// Building the list may itself fail for want of memory; that must not replace the job's error.
void logDifferences(SourceChangeStage stage, const SourceSnapshotRecord& record,
                    const struct stat& status, bool includeChangeTime) noexcept {
    try {
        logSourceChange(stage, metadataDifferenceNames(record, status, includeChangeTime));
    } catch (...) {
    }
}

}  // namespace

bool matches(const SourceSnapshotRecord& record, const struct stat& status,
             bool includeChangeTime) noexcept {
    return differences(record, status, includeChangeTime) == 0;
}

std::vector<std::string> metadataDifferenceNames(const SourceSnapshotRecord& record,
                                                 const struct stat& status,
                                                 bool includeChangeTime) {
    const unsigned found = differences(record, status, includeChangeTime);
    std::vector<std::string> names;
    for (std::size_t bit = 0; bit < kDifferenceNames.size(); ++bit) {
        if ((found & (1u << bit)) != 0) {
            names.emplace_back(kDifferenceNames[bit]);
        }
    }
    return names;
}

void logSourceChange(SourceChangeStage stage, const std::vector<std::string>& fields) noexcept {
    try {
        std::string joined;
        for (const std::string& field : fields) {
            if (!joined.empty()) {
                joined += ',';
            }
            joined += loggable(field);
        }
        writeLine(stage, joined);
    } catch (...) {
    }
}

void logSourceChange(SourceChangeStage stage, std::string_view field) noexcept {
    try {
        writeLine(stage, std::string(loggable(field)));
    } catch (...) {
    }
}

void verifySourceMetadata(const SourceSnapshotRecord& record) {
    struct stat status {};
    // A path with a NUL would be cut short and stat something else; treat it as gone.
    if (record.sourcePath.find('\0') != std::string::npos ||
        ::lstat(record.sourcePath.c_str(), &status) != 0) {
        logSourceChange(SourceChangeStage::archiveMetadata, "unavailable");
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
    if (!matches(record, status, true)) {
        logDifferences(SourceChangeStage::archiveMetadata, record, status, true);
        throw ArchivePipelineError::sourceChanged(record.sourcePath);
    }
}

}  // namespace tolvane::ArchivePipeline
