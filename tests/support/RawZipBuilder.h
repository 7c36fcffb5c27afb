#pragma once

#include <optional>
#include <vector>

#include "core/archive/ZipFormat.h"

namespace tolvane::test {

// CRC-32 by zlib, so fixtures do not depend on the code under test.
std::uint32_t crc32Of(std::string_view bytes);

// Records written field by field as their members say, nothing checked or corrected; a set
// length is written instead of the real one.
struct RawLocalHeader {
    std::uint32_t signature = ZipFormat::localHeaderSignature;
    std::uint16_t versionNeeded = 20, flags = ZipFormat::flagUTF8, method = 0, time = 0;
    std::uint16_t date = 0x0021;  // 1 January 1980
    std::uint32_t crc32 = 0, compressedSize = 0, uncompressedSize = 0;
    std::string name, extra;
    std::string encode() const;
};
struct RawCentralRecord {
    std::uint32_t signature = ZipFormat::centralHeaderSignature;
    std::uint16_t versionMadeBy = 0x0314, versionNeeded = 20, flags = ZipFormat::flagUTF8;
    std::uint16_t method = 0, time = 0, date = 0x0021;
    std::uint32_t crc32 = 0, compressedSize = 0, uncompressedSize = 0;
    std::optional<std::uint16_t> nameLength, extraLength, commentLength;
    std::uint16_t diskNumberStart = 0, internalAttributes = 0;
    std::uint32_t externalAttributes = 0100644u << 16, localHeaderOffset = 0;
    std::string name, extra, comment;
    std::string encode() const;
};
struct RawEndRecord {
    std::uint32_t signature = ZipFormat::endOfCentralDirectorySignature;
    std::uint16_t diskNumber = 0, centralDirectoryDisk = 0, entriesOnDisk = 0, totalEntries = 0;
    std::uint32_t centralDirectorySize = 0, centralDirectoryOffset = 0;
    std::string comment;
    std::string encode() const;
};
struct RawZip64EndRecord {
    std::uint32_t signature = ZipFormat::zip64EndOfCentralDirectorySignature;
    std::uint64_t sizeOfRest = 44;
    std::uint16_t versionMadeBy = 45, versionNeeded = 45;
    std::uint32_t diskNumber = 0, centralDirectoryDisk = 0;
    std::uint64_t entriesOnDisk = 0, totalEntries = 0, centralDirectorySize = 0;
    std::uint64_t centralDirectoryOffset = 0;
    std::string extensibleData;  // after the fixed 56 bytes
    std::string encode() const;
};
struct RawZip64Locator {
    std::uint32_t signature = ZipFormat::zip64EndLocatorSignature, endRecordDisk = 0;
    std::uint64_t endRecordOffset = 0;
    std::uint32_t totalDisks = 1;
    std::string encode() const;
};

// One entry: its local header, its data and its central record, followed by bytes counted in
// the central directory's size.
struct RawZipEntry {
    RawLocalHeader local;
    std::string data;
    RawCentralRecord central;
    std::string afterCentralRecord;

    // Replaces the data, stored, with the CRC-32 and sizes both headers give.
    RawZipEntry& store(std::string bytes);
    // Where the data begins once relinked.
    std::uint64_t dataOffset() const;
};

// A ZIP archive piece by piece in file order. Build an honest one with the add functions and
// relink(), then break what the test needs and take bytes().
struct RawZipBuilder {
    // `prefix` comes before the first local header, like a self-extractor stub; the other
    // strings lie between the records they name, `trailing` after the end record's comment.
    std::string prefix, beforeCentralDirectory, afterCentralDirectory, afterZip64End,
        afterZip64Locator, trailing;
    std::vector<RawZipEntry> entries;
    std::optional<RawZip64EndRecord> zip64End;
    std::optional<RawZip64Locator> zip64Locator;
    RawEndRecord end;

    RawZipEntry& addStored(std::string name, std::string data);
    RawZipEntry& addDirectory(std::string name);  // "name/" as given
    // Adds a ZIP64 end record and locator; relink() then puts the classic fields at markers.
    RawZipBuilder& useZip64();
    // Recomputes offsets, counts and sizes of every record; what does not fit gets a marker.
    RawZipBuilder& relink();
    std::string bytes() const;
    void writeTo(const std::string& path) const;
};

}  // namespace tolvane::test
