#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// Extended attributes of an archived file or directory, and the private ZIP extra-field block
// (header ID 0xF17D) that carries them:
//
//   block:  ID (2) | data size (2) | version 1 (1) | records...
//   record: name length (2) | value length (4) | name (UTF-8, no NUL) | value (raw bytes)
//
// all integers little-endian, one record per attribute in name order. Only the "user." namespace
// travels; names are stored without that prefix. No state.
namespace ArchiveExtendedAttributes {

inline constexpr std::uint16_t headerID = 0xF17D;
inline constexpr std::uint8_t version = 1;
// The whole block, header included; its data size is therefore at most 65531.
inline constexpr std::size_t maxBlockBytes = 65535;
inline constexpr std::size_t blockHeaderBytes = 4;
inline constexpr std::size_t recordHeaderBytes = 6;
inline constexpr std::size_t maxNameBytes = 65535;
inline constexpr std::uint64_t maxValueBytes = 4294967295;
// Largest name list read() accepts from the file system.
inline constexpr std::size_t maxNameListBytes = 1048576;

// The namespace read() takes attributes from and restoring puts them back into.
inline constexpr std::string_view userNamespacePrefix = "user.";

// Orders names as the block lists them: by the Unicode scalar values of their canonical composed
// (NFC) form, which is plain byte order for ASCII names. Names are compared as bytes for identity,
// so two canonically equivalent spellings stay two attributes (the file system keeps them apart
// too); they are ordered by their raw bytes.
struct NameOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// Name (without "user.") to raw value, in block order.
using Map = std::map<std::string, std::string, NameOrder>;

// Host bookkeeping that never travels in an archive: the download-provenance URL unpacking stamps
// itself ("xdg.origin.url") and the provenance, access-control and quarantine names another
// desktop system attaches ("com.apple.provenance", "com.apple.macl", "com.apple.quarantine").
// read() leaves them out and encodeField() refuses them.
bool isBookkeepingName(std::string_view name) noexcept;

// The attribute calls read() makes, with the flistxattr(2)/fgetxattr(2) contract (a negative
// result with errno set on failure). Replaceable so a file that changes while it is read can be
// played back.
struct SystemCalls {
    std::function<ssize_t(int fd, char* list, std::size_t size)> listNames;
    std::function<ssize_t(int fd, const char* name, void* value, std::size_t size)> getValue;
};
const SystemCalls& systemCalls();

// The user attributes of the open file or directory, read through the descriptor only.
// - A file system that keeps no attributes (ENOTSUP) yields none.
// - A name list above maxNameListBytes, an empty or non-UTF-8 user name, a list not ending in
//   NUL, a name above maxNameBytes or attributes that would not fit in one block throw
//   ArchivePipelineError::unsupportedArchiveEntry.
// - A list or value that changes while it is read (grows, vanishes, or comes back with another
//   length than its size query gave) throws ArchivePipelineError::sourceChanged("extended
//   attributes").
// - Other failures throw std::system_error with the errno of the call.
Map read(int fd);
Map read(int fd, const SystemCalls& calls);

// The block for the attributes, or nothing when there are none. Throws
// ArchivePipelineError::unsupportedArchiveEntry for a bookkeeping, empty, NUL-holding, non-UTF-8
// or over-long name, a value above maxValueBytes, or a block above maxBlockBytes.
std::optional<std::string> encodeField(const Map& attributes);

// The entry's 0xF17D block, header included, or an empty view when its extra field has none.
// Throws as decodeField does for the framing of the field and of the block; the records inside
// are left to decodeField, which reads the block as a whole extra field of its own.
std::string_view attributeBlock(std::string_view extraField);

// The attributes of an entry's whole extra field (other blocks are skipped; none when there is no
// 0xF17D block). Throws ArchivePipelineError::invalidArchive for a truncated field or record, a
// second, empty-data, over-long (above maxBlockBytes) or other-version 0xF17D block, a record whose
// lengths run past its block, or a name that is not UTF-8, holds NUL, is "com.apple.provenance", or
// repeats an earlier one (byte for byte). The other bookkeeping names are decoded; restoring leaves
// them out.
Map decodeField(std::string_view extraField);

// Sum of name and value bytes over all attributes; throws
// ArchivePipelineError::invalidArchive("extended attribute metadata size overflow") when it does
// not fit in 64 bits.
std::uint64_t metadataByteCount(const Map& attributes);

}  // namespace ArchiveExtendedAttributes
}  // namespace tolvane
