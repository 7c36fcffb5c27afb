#include "support/RawZipBuilder.h"

#include <utility>

#include "support/TempDir.h"

namespace tolvane::test {

using ZipFormat::put16;
using ZipFormat::put32;
using ZipFormat::put64;

namespace {

std::uint16_t lengthOf(const std::optional<std::uint16_t>& override, const std::string& bytes) {
    return override ? *override : static_cast<std::uint16_t>(bytes.size());
}

std::uint32_t fit32(std::uint64_t value) {
    return value >= ZipFormat::zip64Marker32 ? ZipFormat::zip64Marker32
                                             : static_cast<std::uint32_t>(value);
}

std::uint16_t fit16(std::uint64_t value) {
    return value >= ZipFormat::zip64Marker16 ? ZipFormat::zip64Marker16
                                             : static_cast<std::uint16_t>(value);
}

std::uint64_t localSize(const RawZipEntry& entry) {
    return ZipFormat::localHeaderSize + entry.local.name.size() + entry.local.extra.size() +
           entry.data.size() + entry.descriptor.size();
}

std::uint64_t centralSize(const RawZipEntry& entry) {
    return ZipFormat::centralHeaderSize + entry.central.name.size() + entry.central.extra.size() +
           entry.central.comment.size() + entry.afterCentralRecord.size();
}

}  // namespace

std::uint32_t crc32Of(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : bytes) {
        crc ^= static_cast<unsigned char>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

std::string RawLocalHeader::encode() const {
    std::string out;
    put32(out, signature);
    put16(out, versionNeeded);
    put16(out, flags);
    put16(out, method);
    put16(out, time);
    put16(out, date);
    put32(out, crc32);
    put32(out, compressedSize);
    put32(out, uncompressedSize);
    put16(out, static_cast<std::uint16_t>(name.size()));
    put16(out, static_cast<std::uint16_t>(extra.size()));
    out += name;
    out += extra;
    return out;
}

std::string RawCentralRecord::encode() const {
    std::string out;
    put32(out, signature);
    put16(out, versionMadeBy);
    put16(out, versionNeeded);
    put16(out, flags);
    put16(out, method);
    put16(out, time);
    put16(out, date);
    put32(out, crc32);
    put32(out, compressedSize);
    put32(out, uncompressedSize);
    put16(out, lengthOf(nameLength, name));
    put16(out, lengthOf(extraLength, extra));
    put16(out, lengthOf(commentLength, comment));
    put16(out, diskNumberStart);
    put16(out, internalAttributes);
    put32(out, externalAttributes);
    put32(out, localHeaderOffset);
    out += name;
    out += extra;
    out += comment;
    return out;
}

std::string RawEndRecord::encode() const {
    std::string out;
    put32(out, signature);
    put16(out, diskNumber);
    put16(out, centralDirectoryDisk);
    put16(out, entriesOnDisk);
    put16(out, totalEntries);
    put32(out, centralDirectorySize);
    put32(out, centralDirectoryOffset);
    put16(out, lengthOf(commentLength, comment));
    out += comment;
    return out;
}

std::string RawZip64EndRecord::encode() const {
    std::string out;
    put32(out, signature);
    put64(out, sizeOfRest);
    put16(out, versionMadeBy);
    put16(out, versionNeeded);
    put32(out, diskNumber);
    put32(out, centralDirectoryDisk);
    put64(out, entriesOnDisk);
    put64(out, totalEntries);
    put64(out, centralDirectorySize);
    put64(out, centralDirectoryOffset);
    out += extensibleData;
    return out;
}

std::string RawZip64Locator::encode() const {
    std::string out;
    put32(out, signature);
    put32(out, endRecordDisk);
    put64(out, endRecordOffset);
    put32(out, totalDisks);
    return out;
}

RawZipEntry& RawZipBuilder::addStored(std::string name, std::string data) {
    RawZipEntry entry;
    const std::uint32_t crc = crc32Of(data);
    const auto size = static_cast<std::uint32_t>(data.size());
    entry.local.name = name;
    entry.local.crc32 = crc;
    entry.local.compressedSize = size;
    entry.local.uncompressedSize = size;
    entry.central.name = std::move(name);
    entry.central.crc32 = crc;
    entry.central.compressedSize = size;
    entry.central.uncompressedSize = size;
    entry.data = std::move(data);
    return entries.emplace_back(std::move(entry));
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
    std::uint64_t offset = prefix.size();
    for (const RawZipEntry& entry : entries) {
        offset += localSize(entry);
    }
    return offset + beforeCentralDirectory.size();
}

std::uint64_t RawZipBuilder::centralDirectorySize() const {
    std::uint64_t size = 0;
    for (const RawZipEntry& entry : entries) {
        size += centralSize(entry);
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
    for (RawZipEntry& entry : entries) {
        entry.central.localHeaderOffset = fit32(offset);
        offset += localSize(entry);
    }
    const std::uint64_t count = entries.size();
    const std::uint64_t directoryOffset = centralDirectoryOffset();
    const std::uint64_t directorySize = centralDirectorySize();
    if (zip64End) {
        zip64End->sizeOfRest = 44 + zip64End->extensibleData.size();
        zip64End->entriesOnDisk = count;
        zip64End->totalEntries = count;
        zip64End->centralDirectorySize = directorySize;
        zip64End->centralDirectoryOffset = directoryOffset;
        if (zip64Locator) {
            zip64Locator->endRecordOffset = zip64EndOffset();
        }
        end.entriesOnDisk = end.totalEntries = ZipFormat::zip64Marker16;
        end.centralDirectorySize = end.centralDirectoryOffset = ZipFormat::zip64Marker32;
    } else {
        end.entriesOnDisk = end.totalEntries = fit16(count);
        end.centralDirectorySize = fit32(directorySize);
        end.centralDirectoryOffset = fit32(directoryOffset);
    }
    return *this;
}

std::string RawZipBuilder::bytes() const {
    std::string out;
    out.reserve(endRecordOffset() + ZipFormat::endOfCentralDirectorySize + end.comment.size() +
                trailing.size());
    out += prefix;
    for (const RawZipEntry& entry : entries) {
        out += entry.local.encode();
        out += entry.data;
        out += entry.descriptor;
    }
    out += beforeCentralDirectory;
    for (const RawZipEntry& entry : entries) {
        out += entry.central.encode();
        out += entry.afterCentralRecord;
    }
    out += afterCentralDirectory;
    if (zip64End) {
        out += zip64End->encode();
        out += afterZip64End;
    }
    if (zip64Locator) {
        out += zip64Locator->encode();
        out += afterZip64Locator;
    }
    out += end.encode();
    out += trailing;
    return out;
}

void RawZipBuilder::writeTo(const std::string& path) const {
    writeFile(path, bytes());
}

}  // namespace tolvane::test
