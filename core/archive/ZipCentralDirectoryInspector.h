#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/archive/ZipEntryName.h"

namespace tolvane {

// One central-directory record as the inspector hands it to its caller, decoded: the sizes and
// the offset already carry the ZIP64 block's values where the classic fields defer to it, so no
// caller parses ZIP64 blocks or reads raw offsets. The views point into the inspector's buffers
// and stay valid only during the callback.
struct ZipCentralEntry {
    // The raw name bytes.
    std::string_view name;
    // The name as text, read by the archive's one rule (ZipEntryName::decode with the directory's
    // nameEncoding): the only name any reader of the entry goes by.
    std::string path;
    // General-purpose flags.
    std::uint16_t flags = 0;
    // The whole central extra field.
    std::string_view extraField;
    // The fixed 46-byte part of the record as stored (field offsets in ZipFormat::CentralHeader).
    std::string_view centralRecord;
    // Position in the central directory, 0-based.
    std::uint64_t index = 0;
    // Where the record begins in the file.
    std::uint64_t recordOffset = 0;
    // Stored (0) or deflate (8): the inspector refuses every other method.
    std::uint16_t method = 0;
    // The MS-DOS time and date as stored.
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::uint32_t crc32 = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    // Where the entry's local header begins; the walk checks it after the callback.
    std::uint64_t localHeaderOffset = 0;
    // The high 16 bits carry a Unix mode when the writer recorded one.
    std::uint32_t externalAttributes = 0;
};

// Where an archive's central directory lies and how many records it holds, as the inspector
// read them from the end records.
struct ZipCentralDirectory {
    std::uint64_t entryCount = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    // What the names without the UTF-8 flag or a matching Unicode Path field are read as, chosen
    // from all of them before any name is handed over.
    ZipEntryName::Encoding nameEncoding = ZipEntryName::Encoding::utf8;

    friend bool operator==(const ZipCentralDirectory&, const ZipCentralDirectory&) = default;
};

// A strict reader of a ZIP archive's end records, central directory and local headers,
// independent of the library that later extracts the entries. It gates every archive that is read
// back or unpacked, so that every reader finds the same entries in it. The end record is the last
// one whose comment reaches the end of the file; the directory ends exactly where the ZIP64 end
// record (or, without one, the end record) begins. Each entry occupies its local header, data and
// data descriptor; these never overlap and lie before the directory, and the local header and
// descriptor state what the central record does (a Unicode Path field in the local header, which
// some readers name the entry by, names it as the record does). A signature inside any of these
// structures is part of it, so a ZIP stored in an entry keeps its own end record. Refused: another
// end record in the end record's comment, a ZIP64 end record the locator's fixed place would find
// besides the real one, and, in the bytes no structure accounts for (a self-extractor's stub, an
// APK's signing block), a local header at offset 0 that no record names, a local header that parses
// between entries and an end record any of whose central records leads to an entry. Refused too:
// multi-volume archives, inconsistent ZIP64 layouts, encrypted and split entries, methods other
// than stored and deflate, more than ArchivePipeline::maxEntryCount entries (or central records
// walked outside the directory), central directories that do not fill their declared bounds
// exactly, records whose ZIP64 block lacks a value a classic field defers to, and names flagged as
// UTF-8 that are not. Failures are ArchivePipelineError (invalidArchive, unsupportedArchiveEntry,
// tooManyEntries) or the file system's own std::system_error. Memory stays bounded whatever the
// archive holds: about 16 bytes per entry and buffers of fixed size; unaccounted bytes are read in
// blocks.
namespace ZipCentralDirectoryInspector {

// Called before every central-directory record of each of the two passes (the names' encoding is
// weighed over the whole directory first) and every block of bytes no record accounts for; throws
// the caller's cancellation error.
using CheckCancelled = std::function<void()>;
// Called once per record in directory order. Whatever it throws ends the walk unchanged.
using OnEntry = std::function<void(const ZipCentralEntry&)>;

// Validates the archive open for reading at fd, which must be a regular file (EISDIR for a
// directory, EINVAL for anything else, as std::system_error), and returns where its directory
// lies. Only positioned reads are used: the descriptor's file offset is neither used nor changed,
// so the caller may share it.
ZipCentralDirectory inspect(int fd, const CheckCancelled& checkCancelled,
                            const OnEntry& onEntry = {});

// Validates the archive at path and returns its number of entries. A symbolic link in the final
// component fails with ELOOP, a directory with EISDIR and any other file that is not regular
// (FIFO, device, socket) with EINVAL, all as std::system_error; none of them blocks.
std::uint64_t entryCount(const std::string& path, const CheckCancelled& checkCancelled,
                         const OnEntry& onEntry = {});

// inspect()'s entry count.
std::uint64_t entryCount(int fd, const CheckCancelled& checkCancelled, const OnEntry& onEntry = {});

}  // namespace ZipCentralDirectoryInspector
}  // namespace tolvane
