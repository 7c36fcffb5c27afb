#pragma once

#include <cstdint>
#include <stop_token>
#include <string>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchiveLimits.h"

namespace tolvane {

class ArchivePackProgress;
class Progress;

// Read-back of a freshly written delivery ZIP before it may be hashed and committed.
namespace ArchiveVerification {

// The bound on the extended attributes one archive may carry, the one place it is defined and
// applied, for verifying and unpacking alike: at most maximumEntries entries with attributes, at
// most maximumBytes of names and values in all.
class ExtendedAttributeBudget {
public:
    static constexpr std::uint64_t maximumEntries = ArchivePipeline::maxEntryCount;
    static constexpr std::uint64_t maximumBytes = 67'108'864;

    // Counts one entry's attributes; an entry without any costs nothing. Throws
    // ArchivePipelineError::unsupportedArchiveEntry once either bound would be passed.
    void add(const ArchiveExtendedAttributes::Map& attributes);

    std::uint64_t entries() const noexcept { return entries_; }
    std::uint64_t bytes() const noexcept { return bytes_; }

private:
    std::uint64_t entries_ = 0;
    std::uint64_t bytes_ = 0;
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
