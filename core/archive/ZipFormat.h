#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Record signatures and little-endian field access shared by the ZIP writer, the
// central-directory inspector and the reader.
namespace tolvane::ZipFormat {

inline constexpr std::uint32_t localHeaderSignature = 0x04034b50;
inline constexpr std::uint32_t dataDescriptorSignature = 0x08074b50;
inline constexpr std::uint32_t centralHeaderSignature = 0x02014b50;
inline constexpr std::uint32_t endOfCentralDirectorySignature = 0x06054b50;
inline constexpr std::uint32_t zip64EndOfCentralDirectorySignature = 0x06064b50;
inline constexpr std::uint32_t zip64EndLocatorSignature = 0x07064b50;

inline constexpr std::size_t localHeaderSize = 30;
inline constexpr std::size_t centralHeaderSize = 46;
inline constexpr std::size_t endOfCentralDirectorySize = 22;
inline constexpr std::size_t zip64EndOfCentralDirectorySize = 56;
inline constexpr std::size_t zip64EndLocatorSize = 20;

// Field offsets inside each fixed-size record, so readers never spell raw numbers.
namespace LocalHeader {
inline constexpr std::size_t signature = 0;
inline constexpr std::size_t versionNeeded = 4;
inline constexpr std::size_t flags = 6;
inline constexpr std::size_t method = 8;
inline constexpr std::size_t dosTime = 10;
inline constexpr std::size_t dosDate = 12;
inline constexpr std::size_t crc32 = 14;
inline constexpr std::size_t compressedSize = 18;
inline constexpr std::size_t uncompressedSize = 22;
inline constexpr std::size_t nameLength = 26;
inline constexpr std::size_t extraLength = 28;
}  // namespace LocalHeader

namespace CentralHeader {
inline constexpr std::size_t signature = 0;
inline constexpr std::size_t versionMadeBy = 4;
inline constexpr std::size_t versionNeeded = 6;
inline constexpr std::size_t flags = 8;
inline constexpr std::size_t method = 10;
inline constexpr std::size_t dosTime = 12;
inline constexpr std::size_t dosDate = 14;
inline constexpr std::size_t crc32 = 16;
inline constexpr std::size_t compressedSize = 20;
inline constexpr std::size_t uncompressedSize = 24;
inline constexpr std::size_t nameLength = 28;
inline constexpr std::size_t extraLength = 30;
inline constexpr std::size_t commentLength = 32;
inline constexpr std::size_t diskNumberStart = 34;
inline constexpr std::size_t internalAttributes = 36;
inline constexpr std::size_t externalAttributes = 38;
inline constexpr std::size_t localHeaderOffset = 42;
}  // namespace CentralHeader

namespace EndOfCentralDirectory {
inline constexpr std::size_t signature = 0;
inline constexpr std::size_t diskNumber = 4;
inline constexpr std::size_t directoryDisk = 6;
inline constexpr std::size_t entriesOnDisk = 8;
inline constexpr std::size_t totalEntries = 10;
inline constexpr std::size_t directorySize = 12;
inline constexpr std::size_t directoryOffset = 16;
inline constexpr std::size_t commentLength = 20;
}  // namespace EndOfCentralDirectory

namespace Zip64EndOfCentralDirectory {
inline constexpr std::size_t signature = 0;
// The record's length after this field: the whole record less 12 bytes.
inline constexpr std::size_t remainingSize = 4;
inline constexpr std::size_t versionMadeBy = 12;
inline constexpr std::size_t versionNeeded = 14;
inline constexpr std::size_t diskNumber = 16;
inline constexpr std::size_t directoryDisk = 20;
inline constexpr std::size_t entriesOnDisk = 24;
inline constexpr std::size_t totalEntries = 32;
inline constexpr std::size_t directorySize = 40;
inline constexpr std::size_t directoryOffset = 48;
}  // namespace Zip64EndOfCentralDirectory

namespace Zip64EndLocator {
inline constexpr std::size_t signature = 0;
inline constexpr std::size_t recordDisk = 4;
inline constexpr std::size_t recordOffset = 8;
inline constexpr std::size_t totalDisks = 16;
}  // namespace Zip64EndLocator

// An extra-field block: ID (2) | data size (2) | data. The ZIP64 block's data holds 8-byte
// values, in this order, for exactly those of the uncompressed size, the compressed size and the
// local-header offset whose classic field holds zip64Marker32 (then the disk number, never used
// here: multi-volume archives are refused).
namespace ExtraBlock {
inline constexpr std::size_t id = 0;
inline constexpr std::size_t dataSize = 2;
inline constexpr std::size_t data = 4;
inline constexpr std::size_t headerSize = 4;
}  // namespace ExtraBlock

inline constexpr std::uint16_t zip64ExtraID = 0x0001;
// Info-ZIP's Unicode Path field: version (1) | CRC-32 of the raw name (4) | the name in UTF-8.
inline constexpr std::uint16_t unicodePathExtraID = 0x7075;
inline constexpr std::uint16_t flagDataDescriptor = 0x0008;
inline constexpr std::uint16_t flagUTF8 = 0x0800;
inline constexpr std::uint16_t methodStored = 0;
inline constexpr std::uint16_t methodDeflate = 8;
// The MS-DOS directory attribute in the low byte of a central record's external attributes.
inline constexpr std::uint32_t msdosDirectoryAttribute = 0x10;
inline constexpr std::uint32_t zip64Marker32 = 0xFFFFFFFF;
inline constexpr std::uint16_t zip64Marker16 = 0xFFFF;

// Appends an integer of N bytes, least significant first.
template <std::size_t N, typename T>
inline void putLE(std::string& out, T value) {
    static_assert(N == 2 || N == 4 || N == 8);
    const auto v = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < N; ++i) {
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
}
inline void put16(std::string& out, std::uint16_t v) {
    putLE<2>(out, v);
}
inline void put32(std::string& out, std::uint32_t v) {
    putLE<4>(out, v);
}
inline void put64(std::string& out, std::uint64_t v) {
    putLE<8>(out, v);
}

// Reads an integer of N bytes at p, least significant first. The caller checks the bounds.
template <std::size_t N>
inline std::uint64_t getLE(const unsigned char* p) {
    static_assert(N == 2 || N == 4 || N == 8);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < N; ++i) {
        v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    }
    return v;
}
inline std::uint16_t get16(const unsigned char* p) {
    return static_cast<std::uint16_t>(getLE<2>(p));
}
inline std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(getLE<4>(p));
}
inline std::uint64_t get64(const unsigned char* p) {
    return getLE<8>(p);
}

}  // namespace tolvane::ZipFormat
