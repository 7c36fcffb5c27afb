#include "core/archive/ArchiveVerification.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePackProgress.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/JSONLines.h"
#include "core/archive/ZipArchiveReader.h"
#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/Progress.h"
#include "core/common/Unicode.h"

namespace tolvane::ArchiveVerification {

namespace {

// Content read back between two reports to the pack progress.
constexpr std::uint64_t progressBatchBytes = 1'048'576;
// The iteration's own guard; the inspector refuses more entries long before.
constexpr std::uint64_t iterationLimit = ArchivePipeline::maxEntryCount + 1;
// Storage for kept attribute blocks is taken in pieces of this size: small enough that the last,
// partly used one costs little, large enough that allocations stay few.
constexpr std::size_t attributeChunkBytes = 1'048'576;
constexpr std::uint64_t maximumUnreportedBytes =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

[[noreturn]] void invalid(const std::string& detail) {
    throw ArchivePipelineError::invalidArchive(detail);
}

// Paths are compared as text: canonically equivalent spellings are the same path.
bool samePath(const std::string& a, const std::string& b) {
    return a == b || Unicode::toNFC(a) == Unicode::toNFC(b);
}

std::string typeOrSizeDiffers(const std::string& path) {
    return "entry type or size differs: " + path;
}

}  // namespace

void ExtendedAttributeBudget::add(const ArchiveExtendedAttributes::Map& attributes) {
    if (attributes.empty()) {
        return;
    }
    if (entries_ >= maximumEntries || attributes.size() > maximumAttributes - attributes_) {
        throw ArchivePipelineError::unsupportedArchiveEntry("too many extended attribute records");
    }
    std::uint64_t total = 0;
    if (__builtin_add_overflow(bytes_, ArchiveExtendedAttributes::metadataByteCount(attributes),
                               &total) ||
        total > maximumBytes) {
        throw ArchivePipelineError::unsupportedArchiveEntry(
            "extended attribute metadata exceeds the supported archive limit");
    }
    bytes_ = total;
    attributes_ += attributes.size();
    ++entries_;
}

bool ExtendedAttributeStore::add(std::uint64_t index, std::string_view extraField) {
    const std::string_view block = ArchiveExtendedAttributes::attributeBlock(extraField);
    const ArchiveExtendedAttributes::Map attributes = ArchiveExtendedAttributes::decodeField(block);
    if (attributes.empty()) {
        return false;
    }
    if (!kept_.empty() && index <= kept_.back().index) {
        throw std::invalid_argument("extended attribute entries out of order");
    }
    budget_.add(attributes);
    // A block is at most 65535 bytes, so a chunk wastes at most that much of its room.
    if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < block.size()) {
        chunks_.emplace_back().reserve(attributeChunkBytes);
    }
    std::string& chunk = chunks_.back();
    kept_.push_back({index, static_cast<std::uint32_t>(chunks_.size() - 1),
                     static_cast<std::uint32_t>(chunk.size())});
    chunk += block;
    return true;
}

ArchiveExtendedAttributes::Map ExtendedAttributeStore::attributes(std::uint64_t index) const {
    const auto found = std::lower_bound(
        kept_.begin(), kept_.end(), index,
        [](const Kept& kept, std::uint64_t wanted) { return kept.index < wanted; });
    if (found == kept_.end() || found->index != index) {
        return {};
    }
    const std::string& chunk = chunks_[found->chunk];
    const std::string_view rest = std::string_view(chunk).substr(found->offset);
    // The block's own header gives its length; what follows belongs to the next entry.
    const std::size_t dataSize =
        ZipFormat::get16(reinterpret_cast<const unsigned char*>(rest.data()) + 2);
    return ArchiveExtendedAttributes::decodeField(
        rest.substr(0, ArchiveExtendedAttributes::blockHeaderBytes + dataSize));
}

std::uint64_t ExtendedAttributeStore::keptBytes() const noexcept {
    std::uint64_t total = kept_.size() * sizeof(Kept);
    for (const std::string& chunk : chunks_) {
        total += chunk.capacity();
    }
    return total;
}

void verifyCreatedArchive(const std::string& archivePath, const std::string& expectedPath,
                          Progress* progress, const std::stop_token& stop,
                          std::uint64_t progressBytes, ArchivePackProgress& packProgress) {
    const auto checkCancelled = [progress, &stop] { checkArchiveCancellation(progress, stop); };

    // Every extended-attribute field must decode and the archive as a whole stay inside the
    // limits unpacking applies, before libzip reads a byte.
    ExtendedAttributeBudget budget;
    ZipArchiveReader reader(archivePath, checkCancelled, [&budget](const ZipCentralEntry& entry) {
        budget.add(ArchiveExtendedAttributes::decodeField(entry.extraField));
    });
    const std::uint64_t inspectedCount = reader.entryCount();

    JSONLines::Reader expected(expectedPath);
    std::uint64_t unreported = 0;
    std::uint64_t checked = 0;

    for (std::uint64_t index = 0; index < reader.entryCount(); ++index) {
        checkCancelled();
        const std::optional<ExpectedArchiveRecord> record = expected.next<ExpectedArchiveRecord>();
        if (!record) {
            invalid("unexpected entry");
        }
        if (checked == iterationLimit) {
            throw ArchivePipelineError::tooManyEntries();
        }
        const ZipArchiveEntry entry = reader.entry(index);
        if (!samePath(entry.path, record->path)) {
            invalid("entry order or path differs: " + entry.path);
        }
        const bool isDirectory = entry.type == ZipArchiveEntry::Type::directory;
        if (entry.type == ZipArchiveEntry::Type::symbolicLink ||
            (isDirectory && !record->sha256.empty()) || (!isDirectory && record->sha256.empty()) ||
            entry.uncompressedSize != record->size) {
            invalid(typeOrSizeDiffers(entry.path));
        }

        if (!isDirectory) {
            Sha256 sha256;
            std::uint64_t seen = 0;
            const std::uint32_t crc =
                reader.extract(index, checkCancelled, [&](std::span<const std::uint8_t> block) {
                    checkCancelled();
                    std::uint64_t total = 0;
                    if (__builtin_add_overflow(seen, block.size(), &total) ||
                        total > record->size) {
                        invalid("entry grew while verifying");
                    }
                    sha256.update(block);
                    seen = total;
                    if (progress != nullptr) {
                        if (__builtin_add_overflow(unreported, block.size(), &unreported) ||
                            unreported > maximumUnreportedBytes) {
                            throw ArchivePipelineError::insufficientSpace();
                        }
                        if (unreported >= progressBatchBytes) {
                            packProgress.advance(unreported);
                            unreported = 0;
                        }
                    }
                });
            if (seen != entry.uncompressedSize ||
                HexString::encode(sha256.finish()) != record->sha256) {
                invalid("content hash mismatch: " + entry.path);
            }
            if (crc != entry.crc32) {
                invalid("CRC-32 mismatch: " + entry.path);
            }
        }
        ++checked;
    }

    if (progress != nullptr) {
        packProgress.advance(unreported);
        if (progress->isCancelled()) {
            throw ArchivePipelineError::cancelled();
        }
    }
    if (stop.stop_requested()) {
        throw ArchivePipelineError::cancelled();
    }
    if (checked != inspectedCount) {
        invalid("central directory count mismatch");
    }
    expected.requireEnd<ExpectedArchiveRecord>();
    if (progressBytes == 0) {
        packProgress.advance(0);
    }
}

}  // namespace tolvane::ArchiveVerification
