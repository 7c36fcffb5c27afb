#include "support/RawZipBuilder.h"

#include <zlib.h>

#include <utility>

#include "support/TempDir.h"

namespace tolvane::test {

namespace {

// Each value little-endian, in the width of its own type.
template <typename... T>
std::string le(const T&... values) {
    std::string out;
    (ZipFormat::putLE<sizeof(T)>(out, values), ...);
    return out;
}

std::uint16_t lengthOf(const std::optional<std::uint16_t>& forced, const std::string& bytes) {
    return forced.value_or(static_cast<std::uint16_t>(bytes.size()));
}

template <typename T>
T fit(std::uint64_t value, T marker) {
    return value >= marker ? marker : static_cast<T>(value);
}

std::uint64_t localSize(const RawZipEntry& e) {
    return ZipFormat::localHeaderSize + e.local.name.size() + e.local.extra.size() + e.data.size() +
           e.descriptor.size();
}

}  // namespace

std::uint32_t crc32Of(std::string_view bytes) {
    return static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

std::string RawLocalHeader::encode() const {
    return le(signature, versionNeeded, flags, method, time, date, crc32, compressedSize,
              uncompressedSize, lengthOf({}, name), lengthOf({}, extra)) +
           name + extra;
}

std::string RawCentralRecord::encode() const {
    return le(signature, versionMadeBy, versionNeeded, flags, method, time, date, crc32,
              compressedSize, uncompressedSize, lengthOf(nameLength, name),
              lengthOf(extraLength, extra), lengthOf(commentLength, comment), diskNumberStart,
              internalAttributes, externalAttributes, localHeaderOffset) +
           name + extra + comment;
}

std::string RawEndRecord::encode() const {
    return le(signature, diskNumber, centralDirectoryDisk, entriesOnDisk, totalEntries,
              centralDirectorySize, centralDirectoryOffset, lengthOf(commentLength, comment)) +
           comment;
}

std::string RawZip64EndRecord::encode() const {
    return le(signature, sizeOfRest, versionMadeBy, versionNeeded, diskNumber, centralDirectoryDisk,
              entriesOnDisk, totalEntries, centralDirectorySize, centralDirectoryOffset) +
           extensibleData;
}

std::string RawZip64Locator::encode() const {
    return le(signature, endRecordDisk, endRecordOffset, totalDisks);
}

RawZipEntry& RawZipBuilder::addStored(std::string name, std::string data) {
    RawZipEntry e;
    e.local.name = e.central.name = std::move(name);
    e.local.crc32 = e.central.crc32 = crc32Of(data);
    e.local.compressedSize = e.local.uncompressedSize = e.central.compressedSize =
        e.central.uncompressedSize = static_cast<std::uint32_t>(data.size());
    e.data = std::move(data);
    return entries.emplace_back(std::move(e));
}

RawZipEntry& RawZipBuilder::addDirectory(std::string name) {
    RawZipEntry& entry = addStored(std::move(name), {});
    entry.central.externalAttributes = (040755u << 16) | 0x10;  // plus the MS-DOS directory bit
    return entry;
}

RawZipBuilder& RawZipBuilder::useZip64() {
    zip64End.emplace();
    zip64Locator.emplace();
    return *this;
}

std::uint64_t RawZipBuilder::centralDirectoryOffset() const {
    std::uint64_t offset = prefix.size() + beforeCentralDirectory.size();
    for (const RawZipEntry& e : entries) {
        offset += localSize(e);
    }
    return offset;
}

std::uint64_t RawZipBuilder::centralDirectorySize() const {
    std::uint64_t size = 0;
    for (const RawZipEntry& e : entries) {
        size += e.central.encode().size() + e.afterCentralRecord.size();
    }
    return size;
}

std::uint64_t RawZipBuilder::zip64EndOffset() const {
    return centralDirectoryOffset() + centralDirectorySize() + afterCentralDirectory.size();
}

std::uint64_t RawZipBuilder::endRecordOffset() const {
    std::uint64_t offset = zip64EndOffset();
    if (zip64End) {
        offset += zip64End->encode().size() + afterZip64End.size();
    }
    if (zip64Locator) {
        offset += zip64Locator->encode().size() + afterZip64Locator.size();
    }
    return offset;
}

RawZipBuilder& RawZipBuilder::relink() {
    std::uint64_t offset = prefix.size();
    for (RawZipEntry& e : entries) {
        e.central.localHeaderOffset = fit(offset, ZipFormat::zip64Marker32);
        offset += localSize(e);
    }
    const std::uint64_t count = entries.size();
    if (zip64End) {
        zip64End->sizeOfRest = 44 + zip64End->extensibleData.size();
        zip64End->entriesOnDisk = zip64End->totalEntries = count;
        zip64End->centralDirectorySize = centralDirectorySize();
        zip64End->centralDirectoryOffset = centralDirectoryOffset();
        if (zip64Locator) {
            zip64Locator->endRecordOffset = zip64EndOffset();
        }
    }
    end.entriesOnDisk = end.totalEntries =
        zip64End ? ZipFormat::zip64Marker16 : fit(count, ZipFormat::zip64Marker16);
    end.centralDirectorySize =
        zip64End ? ZipFormat::zip64Marker32 : fit(centralDirectorySize(), ZipFormat::zip64Marker32);
    end.centralDirectoryOffset = zip64End ? ZipFormat::zip64Marker32
                                          : fit(centralDirectoryOffset(), ZipFormat::zip64Marker32);
    return *this;
}

std::string RawZipBuilder::bytes() const {
    std::string out = prefix;
    for (const RawZipEntry& e : entries) {
        out += e.local.encode() + e.data + e.descriptor;
    }
    out += beforeCentralDirectory;
    for (const RawZipEntry& e : entries) {
        out += e.central.encode() + e.afterCentralRecord;
    }
    out += afterCentralDirectory;
    if (zip64End) {
        out += zip64End->encode() + afterZip64End;
    }
    if (zip64Locator) {
        out += zip64Locator->encode() + afterZip64Locator;
    }
    return out + end.encode() + trailing;
}

void RawZipBuilder::writeTo(const std::string& path) const {
    writeFile(path, bytes());
}

}  // namespace tolvane::test
