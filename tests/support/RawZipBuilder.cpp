#include "support/RawZipBuilder.h"

#include <zlib.h>

#include "support/TempDir.h"

namespace tolvane::test {
namespace {

template <typename... T>
std::string le(const T&... values) {  // each in the width of its own type
    std::string out;
    (ZipFormat::putLE<sizeof(T)>(out, values), ...);
    return out;
}
std::uint16_t lengthOf(const std::optional<std::uint16_t>& forced, const std::string& bytes) {
    return forced.value_or(static_cast<std::uint16_t>(bytes.size()));
}

template <typename T>
T fit(std::uint64_t value, T marker, bool zip64 = false) {
    return zip64 || value >= marker ? marker : static_cast<T>(value);
}

}  // namespace

std::uint32_t crc32Of(std::string_view bytes) {
    return crc32_z(0, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
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
              centralDirectorySize, centralDirectoryOffset, lengthOf({}, comment)) +
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

RawZipEntry& RawZipEntry::store(std::string bytes) {
    local.crc32 = central.crc32 = crc32Of(bytes);
    local.compressedSize = local.uncompressedSize = central.compressedSize =
        central.uncompressedSize = static_cast<std::uint32_t>(bytes.size());
    data = std::move(bytes);
    return *this;
}
std::uint64_t RawZipEntry::dataOffset() const {
    return central.localHeaderOffset + local.encode().size();
}

RawZipEntry& RawZipBuilder::addStored(std::string name, std::string data) {
    RawZipEntry& e = entries.emplace_back();
    e.local.name = e.central.name = std::move(name);
    return e.store(std::move(data));
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

RawZipBuilder& RawZipBuilder::relink() {
    std::uint64_t start = prefix.size(), size = 0;
    for (RawZipEntry& e : entries) {
        e.central.localHeaderOffset = fit(start, ZipFormat::zip64Marker32);
        start += e.local.encode().size() + e.data.size();
        size += e.central.encode().size() + e.afterCentralRecord.size();
    }
    start += beforeCentralDirectory.size();
    const std::uint64_t count = entries.size();
    const bool z = zip64End.has_value();
    if (z) {
        zip64End->sizeOfRest = 44 + zip64End->extensibleData.size();
        zip64End->entriesOnDisk = zip64End->totalEntries = count;
        zip64End->centralDirectorySize = size;
        zip64End->centralDirectoryOffset = start;
        if (zip64Locator) {
            zip64Locator->endRecordOffset = start + size + afterCentralDirectory.size();
        }
    }
    end.entriesOnDisk = end.totalEntries = fit(count, ZipFormat::zip64Marker16, z);
    end.centralDirectorySize = fit(size, ZipFormat::zip64Marker32, z);
    end.centralDirectoryOffset = fit(start, ZipFormat::zip64Marker32, z);
    return *this;
}

std::string RawZipBuilder::bytes() const {
    std::string out = prefix;
    for (const RawZipEntry& e : entries) {
        out += e.local.encode() + e.data;
    }
    out += beforeCentralDirectory;
    for (const RawZipEntry& e : entries) {
        out += e.central.encode() + e.afterCentralRecord;
    }
    out += afterCentralDirectory + (zip64End ? zip64End->encode() + afterZip64End : "") +
           (zip64Locator ? zip64Locator->encode() + afterZip64Locator : "");
    return out + end.encode() + trailing;
}
void RawZipBuilder::writeTo(const std::string& path) const {
    writeFile(path, bytes());
}

}  // namespace tolvane::test
