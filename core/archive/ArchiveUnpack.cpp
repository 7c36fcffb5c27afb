#include "core/archive/ArchiveUnpack.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchiveLimits.h"
#include "core/archive/ArchivePathPolicy.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveQuarantine.h"
#include "core/archive/ArchiveVerification.h"
#include "core/archive/ExtractionWorkers.h"
#include "core/archive/JSONLines.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/PathMappingValidation.h"
#include "core/archive/SafeExtractTree.h"
#include "core/archive/StagingLease.h"
#include "core/archive/ZipArchiveReader.h"
#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/archive/ZipFormat.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/ScopeExit.h"
#include "core/common/ThreadPool.h"
#include "core/common/Unicode.h"
#include "core/common/UniqueFd.h"

namespace tolvane::ArchivePipeline {
namespace {

namespace Stage = ArchiveProgressInfo::Stage;
using AttributeMap = ArchiveExtendedAttributes::Map;

constexpr std::uint64_t scanPublishInterval = 4096;
constexpr std::uint64_t progressBatchBytes = 1'048'576;
constexpr std::uint64_t maximumUnitCount =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
// Inflated bytes handed to the writing threads and not yet written.
constexpr std::uint64_t pendingBudgetBytes = 32 * 1'048'576;
// Entries handed over and not yet accounted for. Files are created in parallel per folder, so
// the window spans several folders of a thousand files each.
constexpr std::size_t maxPendingEntries = 16384;
// Beyond this many writers the file system's own locks leave nothing to gain.
constexpr std::size_t maxUnpackThreads = 16;

// The threads an unpack writes files on: TOLVANE_UNPACK_THREADS when it holds a positive count,
// else the machine's hardware threads, at most maxUnpackThreads. With one, the job's own thread
// writes every file.
std::size_t unpackThreadCount() {
    return std::min(ThreadPool::threadCount(std::getenv("TOLVANE_UNPACK_THREADS")),
                    maxUnpackThreads);
}

// Free space kept beyond the payload: per-entry file-system overhead, a percent of slack, and a
// fixed working margin.
constexpr std::uint64_t spaceBytesPerEntry = 256;
constexpr std::uint64_t spaceFixedReserve = 1'048'576;
constexpr std::uint64_t spaceEntryLimit = std::uint64_t{1} << 56;

[[noreturn]] void invalid(const std::string& detail) {
    throw ArchivePipelineError::invalidArchive(detail);
}

// A directory whose metadata is applied once the whole tree is written. The restored path lies
// in the job's path arena and the rest is read again from the entry, so a million directories
// cost a few bytes each beyond their names.
struct ExtractedDirectory {
    std::uint64_t index = 0;  // the entry's
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    std::uint32_t depth = 0;
};

std::size_t depthOf(std::string_view path) {
    std::size_t depth = 0;
    bool inComponent = false;
    for (const char c : path) {
        if (c == '/') {
            inComponent = false;
        } else if (!inComponent) {
            inComponent = true;
            ++depth;
        }
    }
    return depth;
}

bool isManifest(const ZipArchiveEntry& entry) {
    return entry.path == reservedMappingName;
}

ArchiveEntryType policyType(ZipArchiveEntry::Type type) {
    switch (type) {
        case ZipArchiveEntry::Type::directory:
            return ArchiveEntryType::directory;
        case ZipArchiveEntry::Type::symbolicLink:
            return ArchiveEntryType::symlink;
        case ZipArchiveEntry::Type::file:
            break;
    }
    return ArchiveEntryType::file;
}

std::string typeText(ZipArchiveEntry::Type type) {
    return type == ZipArchiveEntry::Type::directory ? "directory" : "file";
}

std::optional<std::uint16_t> restoredPermissions(const ZipArchiveEntry& entry) {
    if (!entry.posixPermissions) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*entry.posixPermissions & 0777);
}

std::optional<double> restoredDate(const ZipArchiveEntry& entry) {
    if (!entry.modificationSeconds) {
        return std::nullopt;
    }
    return static_cast<double>(*entry.modificationSeconds);
}

void ensureSpace(std::uint64_t bytes, std::uint64_t entries, const std::string& directory,
                 const DestinationPolicyReader& readPolicy) {
    std::uint64_t required = 0;
    if (entries >= spaceEntryLimit ||
        __builtin_add_overflow(bytes, spaceBytesPerEntry * entries, &required) ||
        __builtin_add_overflow(required, bytes / 100, &required) ||
        __builtin_add_overflow(required, spaceFixedReserve, &required)) {
        throw ArchivePipelineError::insufficientSpace();
    }
    std::optional<std::uint64_t> available;
    try {
        available = readPolicy(directory).availableBytes;
    } catch (...) {
        // A volume that cannot say how much room it has is given the benefit of the doubt; the
        // writes themselves still fail if it runs out.
        return;
    }
    if (available && *available < required) {
        throw ArchivePipelineError::insufficientSpace();
    }
}

// The archived attributes of every entry that has any, within the budget the verification of a
// new archive applies too.
class AttributeTable {
public:
    void add(const ZipCentralEntry& entry) {
        if (kept_.add(entry.index, entry.extraField) &&
            ((entry.flags & ZipFormat::flagUTF8) == 0 || !Unicode::isValidUTF8(entry.name))) {
            invalid("extended attributes require a UTF-8 entry name");
        }
    }

    AttributeMap of(std::uint64_t index) const { return kept_.attributes(index); }

private:
    ArchiveVerification::ExtendedAttributeStore kept_;
};

// The destination root as its own name: lstat and O_NOFOLLOW follow a final link written with a
// trailing "/" or "/.", so those are dropped before the root is judged and used.
std::string destinationFolder(std::string_view root) {
    while (root.size() > 1 && (root.ends_with('/') || root.ends_with("/."))) {
        root.remove_suffix(1);
    }
    std::string folder(root);
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0) {
        const int error = errno;
        if (error != ENOENT && error != ENOTDIR) {
            posix::throwErrno(error, folder);
        }
        throw ArchivePipelineError::destinationUnavailable("folder does not exist: " + folder);
    }
    if (S_ISLNK(status.st_mode)) {
        throw ArchivePipelineError::destinationUnavailable("folder is a symbolic link: " + folder);
    }
    if (!S_ISDIR(status.st_mode)) {
        throw ArchivePipelineError::destinationUnavailable("not a folder: " + folder);
    }
    return folder;
}

struct ArchiveIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
};

// The file the path leads to before reading. libzip and the inspector read it through a
// descriptor of their own, so the path must lead to this same file before and after.
ArchiveIdentity archiveIdentity(const std::string& path) {
    const UniqueFd fd = posix::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    const struct stat status = posix::fstat(fd.get());
    if (!S_ISREG(status.st_mode)) {
        invalid("the chosen ZIP is not a regular file");
    }
    return {status.st_dev, status.st_ino, status.st_size};
}

void requireSameArchive(const std::string& path, const ArchiveIdentity& identity) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || status.st_dev != identity.device ||
        status.st_ino != identity.inode || status.st_size != identity.size) {
        throw ArchivePipelineError::sourceChanged(path);
    }
}

class Unpack {
public:
    Unpack(const std::string& archivePath, const std::string& destinationRoot, Progress* progress,
           std::stop_token stop, const DestinationPolicyReader& readPolicy,
           const UnpackCheckpoint& checkpoint)
        : archivePath_(archivePath),
          givenRoot_(destinationRoot),
          progress_(progress),
          stop_(std::move(stop)),
          readPolicy_(readPolicy),
          checkpoint_(checkpoint) {}

    UnpackReceipt run();

private:
    void checkCancelled() const { checkArchiveCancellation(progress_, stop_); }
    void reach(UnpackStep step) const {
        if (checkpoint_) {
            checkpoint_(step);
        }
    }
    void publishStage(std::string_view stage) const {
        if (progress_ != nullptr) {
            progress_->setUserInfo(ArchiveProgressInfo::stageKey, std::string(stage));
        }
    }
    void publishScanned(std::uint64_t count) const {
        if (progress_ != nullptr) {
            progress_->setUserInfo(ArchiveProgressInfo::scannedEntriesKey, count);
        }
    }
    void reportBytes(std::uint64_t count) {
        if (progress_ == nullptr) {
            return;
        }
        if (__builtin_add_overflow(unreported_, count, &unreported_) ||
            unreported_ > maximumUnitCount) {
            throw ArchivePipelineError::insufficientSpace();
        }
        if (unreported_ >= progressBatchBytes) {
            flushReportedBytes();
        }
    }
    void flushReportedBytes() {
        if (progress_ == nullptr) {
            return;
        }
        completed_ += static_cast<std::int64_t>(unreported_);
        unreported_ = 0;
        progress_->setCompletedUnitCount(completed_);
    }

    void openArchive();
    void preflight(StagingLease& lease, int preflightFd);
    void preflightEntry(const ZipArchiveEntry& entry, std::uint64_t position,
                        ArchivePathRegistry& registry, JSONLines::Writer& preflightRows);
    // An entry written, or handed to a worker, and not yet accounted for.
    struct Extracted {
        std::string restored;
        std::optional<PathMappingRecord> mapping;
        bool isFile = false;
        ExtractionWorkers::Ticket ticket;  // while a worker makes it
        std::uint64_t bytes = 0;           // inflated
        SafeExtractTree::FileHash written;
    };

    void extract(SafeExtractTree& tree, PathMappingCursor* mappings,
                 PathMappingReceiptWriter* receipt);
    void extractEntries(SafeExtractTree& tree, ExtractionWorkers* workers,
                        PathMappingCursor* mappings, std::size_t window,
                        std::deque<Extracted>& pending, const std::function<void()>& settleFront);
    void extractFile(SafeExtractTree& tree, ExtractionWorkers* workers,
                     const ZipArchiveEntry& entry, Extracted& item);
    void settle(ExtractionWorkers* workers, Extracted& item, PathMappingReceiptWriter* receipt);

    const std::string& archivePath_;
    const std::string& givenRoot_;
    std::string destinationRoot_;
    Progress* progress_;
    std::stop_token stop_;
    const DestinationPolicyReader& readPolicy_;
    const UnpackCheckpoint& checkpoint_;

    std::optional<std::string> quarantine_;
    AttributeTable attributes_;
    std::optional<ZipArchiveReader> reader_;
    std::optional<ArchiveDestinationPolicy> destination_;

    // Preflight results.
    std::uint64_t entryCount_ = 0;  // C: every entry, the manifest included
    std::uint64_t payloadCount_ = 0;
    std::uint64_t fileCount_ = 0;
    std::uint64_t payloadBytes_ = 0;
    std::optional<ZipArchiveEntry> manifest_;
    std::uint64_t manifestPosition_ = 0;
    std::vector<ExtractedDirectory> directories_;
    std::string directoryPaths_;

    // Extraction counters.
    std::uint64_t entriesSeen_ = 0;
    std::uint64_t payloadSeen_ = 0;
    std::uint64_t filesWritten_ = 0;
    std::uint64_t bytesWritten_ = 0;
    std::uint64_t unreported_ = 0;
    std::int64_t completed_ = 0;
};

void Unpack::openArchive() {
    const ArchiveIdentity identity = archiveIdentity(archivePath_);
    // The reader's inspection holds every local header to its central record and every entry to
    // bytes of its own.
    reader_.emplace(
        archivePath_, [this] { checkCancelled(); },
        [&](const ZipCentralEntry& entry) { attributes_.add(entry); });
    requireSameArchive(archivePath_, identity);
    entryCount_ = reader_->entryCount();
}

void Unpack::preflightEntry(const ZipArchiveEntry& entry, std::uint64_t position,
                            ArchivePathRegistry& registry, JSONLines::Writer& preflightRows) {
    if (isManifest(entry)) {
        if (manifest_ || entry.type != ZipArchiveEntry::Type::file ||
            entry.uncompressedSize > maxPathMappingManifestBytes) {
            invalid("path mapping manifest is duplicated or invalid");
        }
        manifest_ = entry;
        manifestPosition_ = position;
        return;
    }
    const ArchiveEntryType type = policyType(entry.type);
    const std::string restored = ArchivePathPolicy::compatibleExtractionPath(entry.path, type);
    if (entry.type == ZipArchiveEntry::Type::symbolicLink) {
        throw ArchivePipelineError::unsupportedArchiveEntry(restored);
    }
    if (hasReservedMappingPath(restored)) {
        throw ArchivePipelineError::duplicatePath(std::string(reservedMappingName));
    }
    const bool isDirectory = entry.type == ZipArchiveEntry::Type::directory;
    if (isDirectory && (entry.uncompressedSize != 0 || entry.crc32 != 0)) {
        invalid("directory contains a payload: " + restored);
    }
    if (!registry.canInsert(restored, type)) {
        throw ArchivePipelineError::duplicatePath(restored);
    }
    registry.insert(restored, type);
    if (++payloadCount_ > maxEntryCount) {
        throw ArchivePipelineError::tooManyEntries();
    }
    preflightRows.append(PreflightArchiveRecord{payloadCount_, entry.path, restored,
                                                typeText(entry.type), entry.uncompressedSize});

    if (isDirectory) {
        directories_.push_back({entry.index, directoryPaths_.size(),
                                static_cast<std::uint32_t>(restored.size()),
                                static_cast<std::uint32_t>(depthOf(restored))});
        directoryPaths_ += restored;
        return;
    }
    if (destination_->maximumFileBytes &&
        *destination_->maximumFileBytes < entry.uncompressedSize) {
        throw ArchivePipelineError::destinationFileTooLarge(*destination_->maximumFileBytes);
    }
    if (compressionRatioIsAbnormal(entry.compressedSize, entry.uncompressedSize)) {
        invalid("abnormal compression ratio at " + restored);
    }
    if (__builtin_add_overflow(payloadBytes_, entry.uncompressedSize, &payloadBytes_)) {
        throw ArchivePipelineError::insufficientSpace();
    }
    ++fileCount_;
}

void Unpack::preflight(StagingLease& lease, int preflightFd) {
    std::optional<ArchivePathRegistry> registry;
    registry.emplace(PathText::appending(lease.url(), pathRegistryFileName));

    // Rows are written in batches rather than one write each; the list is read only after the
    // preflight, once they are all flushed.
    JSONLines::Writer preflightRows(preflightFd);
    std::uint64_t iterated = 0;
    for (std::uint64_t index = 0; index < entryCount_; ++index) {
        checkCancelled();
        if (progress_ != nullptr && (index == 0 || (index + 1) % scanPublishInterval == 0)) {
            publishScanned(index + 1);
        }
        // The inspector refuses more entries; the iteration keeps its own guard all the same.
        if (index > maxEntryCount) {
            throw ArchivePipelineError::tooManyEntries();
        }
        preflightEntry(reader_->entry(index), index + 1, *registry, preflightRows);
        iterated = index + 1;
    }

    preflightRows.flush();
    publishScanned(iterated);
    if (iterated != entryCount_) {
        invalid("some central directory entries could not be read");
    }
    if (manifest_ && manifestPosition_ != entryCount_) {
        invalid("path mapping manifest must be the final entry");
    }
    registry->close();
    registry.reset();
    lease.removeFileFromStage(std::string(pathRegistryFileName));
}

void Unpack::extract(SafeExtractTree& tree, PathMappingCursor* mappings,
                     PathMappingReceiptWriter* receipt) {
    // With more than one thread the files are written by workers while this thread inflates;
    // what they wrote is accounted for in archive order, at most a window behind.
    const std::size_t threads = unpackThreadCount();
    std::optional<ExtractionWorkers> workers;
    if (threads > 1) {
        workers.emplace(tree, threads, pendingBudgetBytes, [this] { checkCancelled(); });
    }
    const std::size_t window = workers ? maxPendingEntries : 0;
    std::deque<Extracted> pending;
    const auto settleFront = [&] {
        Extracted item = std::move(pending.front());
        pending.pop_front();
        settle(workers ? &*workers : nullptr, item, receipt);
    };

    try {
        extractEntries(tree, workers ? &*workers : nullptr, mappings, window, pending, settleFront);
    } catch (...) {
        // An entry handed over before the failure may have failed as well: that failure came
        // first, as it would have with the entries written in turn.
        while (!pending.empty()) {
            settleFront();
        }
        throw;
    }
    while (!pending.empty()) {
        settleFront();
    }
}

void Unpack::extractEntries(SafeExtractTree& tree, ExtractionWorkers* workers,
                            PathMappingCursor* mappings, std::size_t window,
                            std::deque<Extracted>& pending,
                            const std::function<void()>& settleFront) {
    for (std::uint64_t index = 0; index < entryCount_; ++index) {
        checkCancelled();
        ++entriesSeen_;
        const ZipArchiveEntry entry = reader_->entry(index);
        if (isManifest(entry)) {
            continue;
        }
        const std::uint64_t ordinal = ++payloadSeen_;
        Extracted item;
        item.restored =
            ArchivePathPolicy::compatibleExtractionPath(entry.path, policyType(entry.type));

        if (mappings != nullptr) {
            item.mapping = mappings->take(ordinal);
            if (item.mapping && (item.mapping->archivePath != entry.path ||
                                 item.mapping->entryType != typeText(entry.type) ||
                                 item.mapping->size != entry.uncompressedSize)) {
                invalid("path mapping no longer matches its entry");
            }
        }

        if (entry.type == ZipArchiveEntry::Type::directory) {
            if (workers) {
                item.ticket = workers->startDirectory(item.restored);
            } else {
                tree.makeDirectory(item.restored);
            }
        } else {
            // The preflight refused links; anything else it let through is written as a file.
            extractFile(tree, workers, entry, item);
        }
        pending.push_back(std::move(item));
        while (pending.size() > window) {
            settleFront();
        }
    }
}

void Unpack::extractFile(SafeExtractTree& tree, ExtractionWorkers* workers,
                         const ZipArchiveEntry& entry, Extracted& item) {
    const auto check = [this] { checkCancelled(); };
    item.isFile = true;
    std::uint32_t crc = 0;
    // What was inflated is judged at once; what was written, when the file is settled.
    const auto requireInflated = [&] {
        if (item.bytes != entry.uncompressedSize) {
            invalid("entry size does not match: " + item.restored);
        }
        if (crc != entry.crc32) {
            invalid("CRC-32 mismatch: " + item.restored);
        }
    };
    const auto inflate = [&](const std::function<void(std::string_view)>& write) {
        crc = reader_->extract(entry.index, check, [&](std::span<const std::uint8_t> block) {
            checkCancelled();
            // Neither the entry nor the job may deliver more than the preflight budgeted: the
            // free-space check was made for exactly that much. Only a damaged entry delivers
            // more than its recorded size.
            std::uint64_t nextEntry = 0;
            std::uint64_t nextJob = 0;
            if (__builtin_add_overflow(item.bytes, block.size(), &nextEntry) ||
                nextEntry > entry.uncompressedSize ||
                __builtin_add_overflow(bytesWritten_, block.size(), &nextJob) ||
                nextJob > payloadBytes_) {
                invalid("entry size does not match: " + item.restored);
            }
            write(std::string_view(reinterpret_cast<const char*>(block.data()), block.size()));
            item.bytes = nextEntry;
            bytesWritten_ = nextJob;
            reportBytes(block.size());
        });
    };

    if (workers != nullptr) {
        item.ticket = workers->start({item.restored, restoredPermissions(entry),
                                      restoredDate(entry), attributes_.of(entry.index)});
        inflate([&](std::string_view chunk) { workers->append(item.ticket, chunk); });
        workers->finish(item.ticket);
        requireInflated();
        return;
    }
    const SafeExtractTree::Producer producer = [&](const SafeExtractTree::ChunkSink& sink) {
        inflate([&](std::string_view chunk) {
            try {
                sink(chunk);
            } catch (const std::system_error& error) {
                // The write itself knows no name; a full volume must still say which file.
                throw std::system_error(error.code(),
                                        "write " + PathText::escapedForMessage(item.restored));
            }
        });
    };
    // The tree reads every file back through its own descriptor and compares it with what it
    // wrote before it applies the archived mode, so the digest returned is of the bytes on disk.
    item.written = tree.writeFile(item.restored, restoredPermissions(entry), restoredDate(entry),
                                  attributes_.of(entry.index), producer, check);
    requireInflated();
}

void Unpack::settle(ExtractionWorkers* workers, Extracted& item,
                    PathMappingReceiptWriter* receipt) {
    if (item.ticket) {
        item.written = workers->wait(item.ticket);
        item.ticket.reset();
    }
    if (item.isFile) {
        if (item.written.byteCount != item.bytes) {
            invalid("entry size does not match: " + item.restored);
        }
        if (item.mapping && item.mapping->sha256 != item.written.sha256) {
            invalid("path mapping content hash does not match: " + item.restored);
        }
        ++filesWritten_;
    }
    if (item.mapping) {
        receipt->append(*item.mapping, item.restored, item.written.byteCount, item.written.sha256);
    }
}

UnpackReceipt Unpack::run() {
    publishStage(Stage::scanning);
    destinationRoot_ = destinationFolder(givenRoot_);
    quarantine_ = ArchiveQuarantine::read(archivePath_);
    openArchive();

    destination_ = readPolicy_(destinationRoot_);
    if (destination_->isReadOnly) {
        throw ArchivePipelineError::destinationReadOnly();
    }
    // The free-space check after the preflight asks for at least the fixed reserve; a volume
    // with less would otherwise fail first, less helpfully, on the stage's own files.
    if (destination_->availableBytes && *destination_->availableBytes < spaceFixedReserve) {
        throw ArchivePipelineError::insufficientSpace();
    }
    const std::string outputName = ArchivePathPolicy::universalName(
        PathText::deletingPathExtension(PathText::lastComponent(archivePath_)),
        PathText::standardized(archivePath_));

    StagingLease lease = makeStage(destinationRoot_, "unpack", progress_);
    // Declared before everything that holds a file in the stage, so those are closed first.
    const ScopeExit removeLease([&lease, this] { lease.remove(progress_); });

    UniqueFd preflightList;
    try {
        preflightList = createUnnamedStageFile(lease, "preflight.jsonl");
    } catch (const std::system_error&) {
        throw ArchivePipelineError::finalizationFailed("could not create preflight manifest");
    }
    preflight(lease, preflightList.get());

    std::uint64_t spaceBytes = 0;
    std::uint64_t spaceEntries = payloadCount_;
    if (__builtin_add_overflow(payloadBytes_, manifest_ ? manifest_->uncompressedSize : 0,
                               &spaceBytes) ||
        (manifest_ && __builtin_add_overflow(spaceEntries, 1, &spaceEntries))) {
        throw ArchivePipelineError::insufficientSpace();
    }
    ensureSpace(spaceBytes, spaceEntries, destinationRoot_, readPolicy_);
    reach(UnpackStep::preflighted);

    std::optional<PathMappingInput> mappingInput;
    if (manifest_) {
        mappingInput =
            extractAndValidatePathMappingManifest(*reader_, *manifest_, preflightList.get(), lease,
                                                  payloadCount_, [this] { checkCancelled(); });
    }
    preflightList.reset();

    if (payloadBytes_ > maximumUnitCount) {
        throw ArchivePipelineError::insufficientSpace();
    }
    if (progress_ != nullptr) {
        progress_->setTotalUnitCount(payloadBytes_ == 0 ? 1
                                                        : static_cast<std::int64_t>(payloadBytes_));
    }

    SafeExtractTree tree(lease.url(), quarantine_, RestoredAttributeWriter(progress_));
    std::optional<PathMappingReceiptWriter> receipt;
    std::optional<PathMappingCursor> mappings;
    if (mappingInput) {
        receipt.emplace(lease, PathText::lastComponent(archivePath_), mappingInput->mappingCount);
        mappings.emplace(mappingInput->file.get());
        const std::optional<PathMappingHeader> header = mappings->readHeader();
        if (!header || header->version != 1) {
            invalid("path mapping manifest version is unsupported");
        }
    }
    publishStage(Stage::extracting);
    if (mappings) {
        mappings->hasPending();  // the first row is read before any entry
    }

    extract(tree, mappings ? &*mappings : nullptr, receipt ? &*receipt : nullptr);

    if (progress_ != nullptr) {
        flushReportedBytes();
    }
    const std::uint64_t receiptRows = receipt ? receipt->rowCount() : 0;
    const std::uint64_t mappingCount = mappingInput ? mappingInput->mappingCount : 0;
    if (entriesSeen_ != entryCount_ || payloadSeen_ != payloadCount_ ||
        filesWritten_ != fileCount_ || bytesWritten_ != payloadBytes_ ||
        receiptRows != mappingCount) {
        invalid("entry set changed while unpacking");
    }
    if (mappings) {
        mappings->requireEnd();
        receipt->finish();
    }
    mappings.reset();
    mappingInput.reset();

    reach(UnpackStep::extracted);
    checkCancelled();
    lease.verifyDestinationParent();
    // Deepest first, so a directory's time is set only after nothing below it changes any more;
    // equal depths in byte order, so the order never depends on the archive's.
    const auto pathOf = [this](const ExtractedDirectory& directory) {
        return std::string_view(directoryPaths_).substr(directory.offset, directory.length);
    };
    std::sort(directories_.begin(), directories_.end(),
              [&](const ExtractedDirectory& a, const ExtractedDirectory& b) {
                  return std::pair(b.depth, pathOf(a)) < std::pair(a.depth, pathOf(b));
              });
    for (const ExtractedDirectory& directory : directories_) {
        checkCancelled();
        const ZipArchiveEntry entry = reader_->entry(directory.index);
        tree.setDirectoryMetadata(pathOf(directory), restoredPermissions(entry),
                                  restoredDate(entry), attributes_.of(directory.index));
    }
    std::vector<ExtractedDirectory>().swap(directories_);
    std::string().swap(directoryPaths_);
    // The tree's single flush of the file system makes every directory durable with the files.
    tree.synchronizeTree({}, [this] { checkCancelled(); });
    checkCancelled();
    if (progress_ != nullptr && payloadBytes_ == 0) {
        progress_->setCompletedUnitCount(1);
    }

    const std::string target = PathText::appending(destinationRoot_, outputName);
    publishStage(Stage::committing);
    reach(UnpackStep::committing);
    checkCancelled();
    const std::string committed = lease.commitDirectory(target);
    publishStage(Stage::complete);
    return UnpackReceipt{committed, fileCount_, payloadBytes_, true};
}

}  // namespace

UnpackReceipt unpack(const std::string& archivePath, const std::string& destinationRoot,
                     Progress* progress, std::stop_token stop,
                     const DestinationPolicyReader& readDestinationPolicy,
                     const UnpackCheckpoint& checkpoint) {
    return Unpack(archivePath, destinationRoot, progress, std::move(stop), readDestinationPolicy,
                  checkpoint)
        .run();
}

UnpackReceipt unpack(const std::string& archivePath, const std::string& destinationRoot,
                     Progress* progress, std::stop_token stop) {
    const DestinationPolicyReader readPolicy = [](const std::string& directory) {
        return ArchiveDestinationPolicy::read(directory);
    };
    return unpack(archivePath, destinationRoot, progress, std::move(stop), readPolicy);
}

}  // namespace tolvane::ArchivePipeline
