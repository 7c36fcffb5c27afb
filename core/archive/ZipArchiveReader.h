#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/common/UniqueFd.h"

namespace tolvane {

// One entry of an archive opened by ZipArchiveReader.
struct ZipArchiveEntry {
    enum class Type { file, directory, symbolicLink };

    // Position in the central directory, 0-based.
    std::uint64_t index = 0;
    // The name as UTF-8 text, as the inspector read it by the archive's one rule; a directory's
    // keeps its "/".
    std::string path;
    // A symbolic link when the external attributes carry S_IFLNK; a directory when they carry
    // S_IFDIR or the name ends in "/"; a file otherwise. A name that looks like a directory never
    // hides a link.
    Type type = Type::file;
    std::uint16_t method = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    // As the central directory records it.
    std::uint32_t crc32 = 0;
    // The permission bits (07777) of the Unix mode in the external attributes; absent when the
    // archive's writer recorded no mode.
    std::optional<std::uint16_t> posixPermissions;
    // The central record's MS-DOS time and date read as UTC, in seconds since 1970; absent when
    // they do not name a real moment (zero, month 13, 31 February, ...).
    std::optional<std::int64_t> modificationSeconds;

    friend bool operator==(const ZipArchiveEntry&, const ZipArchiveEntry&) = default;
};

// Reads a ZIP archive through libzip, but only after the central-directory inspector has passed
// it, and only while both readers agree on what the archive holds.
//
// The archive is opened once (never through a final symbolic link, and only when it is a regular
// file); the inspector walks it through that descriptor and libzip reads the same descriptor, so
// both see the same file. Entry names are the inspector's, read by the archive's one rule; libzip's
// raw names must be what that library makes of the same records (ZipEntryName::storedName); types,
// permissions and times come from the central record, never from libzip's local-time reading of
// the DOS fields.
// libzip reads the directory the inspector read: while it opens the archive it sees nothing before
// that directory, so the only other end records it could take are those the inspector refuses.
// The entry count and, entry by entry, the name, method, sizes, CRC-32, external attributes and
// the absence of encryption libzip reports must equal the inspector's, the directory's place and
// records must be byte-identical in the inspector's two walks, and libzip must read each entry's
// data from the local header the inspector named. Entry data is streamed in blocks of at most 64
// KiB with libzip's own CRC check on, and the reader computes its own CRC-32 of exactly the bytes
// it delivered. An entry with a data descriptor ends, for a reader that streams the archive, where
// its data says: a deflated one's stream must end exactly with its compressed data (the reader
// inflates such entries itself, with the same CRC check), and a stored one's data must not hold a
// descriptor signature followed by a compressed size equal to its own offset in the data.
//
// Failures: the inspector's ArchivePipelineError and std::system_error pass through unchanged;
// libzip's own errors become ArchivePipelineError::invalidArchive with a detail starting
// "zip library: "; any disagreement between the two readers is invalidArchive too. Memory beyond
// libzip's central directory is two 64 KiB buffers and, per entry, its name and 24 bytes.
//
// One reader per thread; entries may be read in any order and more than once.
class ZipArchiveReader {
public:
    static constexpr std::size_t bufferSize = 65536;

    // Throws the caller's cancellation error.
    using CheckCancelled = std::function<void()>;
    // Receives one block of an entry's uncompressed data; whatever it throws ends the read.
    using Consumer = std::function<void(std::span<const std::uint8_t> block)>;

    // Opens and inspects the archive at path. checkCancelled runs before every central record of
    // each walk; onEntry, when given, sees every record of the inspector's pass in directory
    // order, before libzip has read anything, and whatever it throws ends the open unchanged.
    // Every entry name must decode (ZipEntryName::decode's error otherwise).
    ZipArchiveReader(const std::string& path, const CheckCancelled& checkCancelled,
                     const ZipCentralDirectoryInspector::OnEntry& onEntry = {});
    ZipArchiveReader(ZipArchiveReader&&) noexcept;
    ZipArchiveReader& operator=(ZipArchiveReader&&) noexcept;
    ~ZipArchiveReader();

    std::uint64_t entryCount() const noexcept { return facts_.size(); }

    // The entry at index (below entryCount(); std::out_of_range otherwise).
    ZipArchiveEntry entry(std::uint64_t index) const;

    // Streams the entry's uncompressed bytes to consume in blocks of at most bufferSize bytes,
    // calling checkCancelled before every block is read, and returns the CRC-32 of the bytes
    // delivered. libzip fails at the end of an entry whose data do not match the recorded CRC-32,
    // but it does not hold the data to the recorded length: the caller counts what it accepts and
    // stops an entry that delivers more, or fewer, bytes than its uncompressedSize. libzip reading
    // the entry from another local header than the inspector's, and data with a descriptor that
    // ends elsewhere for a streaming reader (see above), are invalidArchive.
    std::uint32_t extract(std::uint64_t index, const CheckCancelled& checkCancelled,
                          const Consumer& consume);

private:
    // What the inspector's walk read from each central record and libzip does not offer, or
    // offers only in local time.
    struct CentralFacts {
        std::string path;
        std::uint16_t dosTime = 0;
        std::uint16_t dosDate = 0;
        std::uint64_t localHeaderOffset = 0;
        std::uint32_t crc32 = 0;
        std::uint16_t flags = 0;
        std::uint16_t method = 0;
    };
    struct Library;

    UniqueFd fd_;
    std::unique_ptr<Library> library_;
    std::vector<CentralFacts> facts_;
    std::vector<std::uint8_t> buffer_;
    // Compressed bytes of an entry the reader inflates itself.
    std::vector<std::uint8_t> input_;
};

}  // namespace tolvane
