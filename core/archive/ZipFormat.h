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

inline constexpr std::uint16_t zip64ExtraID = 0x0001;
inline constexpr std::uint16_t flagDataDescriptor = 0x0008;
inline constexpr std::uint16_t flagUTF8 = 0x0800;
inline constexpr std::uint16_t methodStored = 0;
inline constexpr std::uint16_t methodDeflate = 8;
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
