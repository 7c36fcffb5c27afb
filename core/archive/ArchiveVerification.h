#pragma once

#include <cstdint>
#include <deque>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchiveLimits.h"

namespace tolvane {

class ArchivePackProgress;
class Progress;

// Read-back of a freshly written delivery ZIP before it may be hashed and committed.
namespace ArchiveVerification {

// The bound on the extended attributes one archive may carry, the one place it is defined and
// applied, for verifying and unpacking alike: at most maximumEntries entries with attributes,
// maximumAttributes attributes and maximumBytes of names and values in all. The attribute count
// bounds what keeping them costs beyond their bytes: a name of one byte and an empty value
// still take a record.
class ExtendedAttributeBudget {
public:
    static constexpr std::uint64_t maximumEntries = ArchivePipeline::maxEntryCount;
    static constexpr std::uint64_t maximumAttributes = 4'194'304;
    static constexpr std::uint64_t maximumBytes = 67'108'864;

    // Counts one entry's attributes; an entry without any costs nothing. Throws
    // ArchivePipelineError::unsupportedArchiveEntry once any bound would be passed.
    void add(const ArchiveExtendedAttributes::Map& attributes);

    std::uint64_t entries() const noexcept { return entries_; }
    std::uint64_t attributes() const noexcept { return attributes_; }
    std::uint64_t bytes() const noexcept { return bytes_; }

private:
    std::uint64_t entries_ = 0;
    std::uint64_t attributes_ = 0;
    std::uint64_t bytes_ = 0;
};

// The attributes of an archive's entries, from the central-directory pass until each entry is
// restored. Decoded attributes cost many times their archived size, so every entry's block is
// checked and charged to one ExtendedAttributeBudget as it comes and kept as the bytes the
// archive stores; an entry's attributes are decoded again only when it is written. What is kept
// never exceeds the blocks themselves, 16 bytes per entry that has any, and the room at the end
// of each 1 MiB storage chunk that the next block did not fit in (under 64 KiB a chunk).
class ExtendedAttributeStore {
public:
    // Decodes the extra field (decodeField's errors), charges it to the budget and keeps its
    // attribute block; returns whether the entry carries attributes. Indices must ascend.
    bool add(std::uint64_t index, std::string_view extraField);

    // The attributes of the entry at index; none when it carried none.
    ArchiveExtendedAttributes::Map attributes(std::uint64_t index) const;

    // Memory held for the kept blocks and their index, allocated capacity included.
    std::uint64_t keptBytes() const noexcept;

private:
    struct Kept {
        std::uint64_t index = 0;
        std::uint32_t chunk = 0;
        std::uint32_t offset = 0;
    };

    ExtendedAttributeBudget budget_;
    // Deques, so that neither a growing index nor new storage ever copies what is kept.
    std::deque<Kept> kept_;
    std::deque<std::string> chunks_;
};

// Proves that the finalized archive holds exactly the entries listed in `expectedPath` (the
// ExpectedArchiveRecord rows the packer appended, in writing order): the same paths in the same
// order, the same types and sizes, content with the listed SHA-256 and the recorded CRC-32, and
// extended attributes that decode and stay inside ExtendedAttributeBudget. The archive is read
// by the central-directory inspector and by libzip through ZipArchiveReader.
//
// `progress` (may be null) and `stop` cancel the work between entries and in every data block;
// `packProgress`, already in its verifying phase, is advanced in batches of at least 1 MiB of
// content when `progress` is given. `progressBytes` is the total that phase was begun with: when
// it is 0 the phase is closed at the end.
//
// Throws at the first difference: ArchivePipelineError (invalidArchive with the entry's own path
// in the detail, unsupportedArchiveEntry, tooManyEntries, insufficientSpace, cancelled); the
// inspector's, the reader's, the list reader's and the attribute decoder's errors pass through
// unchanged. Nothing is repaired.
void verifyCreatedArchive(const std::string& archivePath, const std::string& expectedPath,
                          Progress* progress, const std::stop_token& stop,
                          std::uint64_t progressBytes, ArchivePackProgress& packProgress);

}  // namespace ArchiveVerification
}  // namespace tolvane
