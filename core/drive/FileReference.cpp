#include "core/drive/FileReference.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "core/common/Posix.h"

namespace tolvane {
namespace {

// "TVFR": tells our references apart from bytes any other program may have left in the field.
constexpr std::string_view magic = "TVFR";
// magic, version, device, inode, size, seconds, nanoseconds, path length
constexpr std::size_t fixedLength = 4 + 1 + 8 + 8 + 8 + 8 + 4 + 4;

void appendUnsigned(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
    }
}

std::uint64_t readUnsigned(std::string_view bytes, std::size_t& offset, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[offset + i]))
                 << (8 * i);
    }
    offset += static_cast<std::size_t>(count);
    return value;
}

bool sameIdentity(const FileReference& reference, const struct stat& st) {
    return S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_dev) == reference.device &&
           static_cast<std::uint64_t>(st.st_ino) == reference.inode &&
           static_cast<std::int64_t>(st.st_size) == reference.size &&
           static_cast<std::int64_t>(st.st_mtim.tv_sec) == reference.modificationSeconds &&
           static_cast<std::int64_t>(st.st_mtim.tv_nsec) == reference.modificationNanoseconds;
}

constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) noexcept {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

}  // namespace

FileReference FileReference::make(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                               &std::free);
    if (!resolved) {
        posix::throwLastError(path);
    }
    struct stat st {};
    if (::lstat(resolved.get(), &st) != 0) {
        posix::throwLastError(resolved.get());
    }
    if (S_ISDIR(st.st_mode)) {
        posix::throwErrno(EISDIR, resolved.get());
    }
    if (!S_ISREG(st.st_mode)) {
        posix::throwErrno(EINVAL, std::string(resolved.get()) + ": not a regular file");
    }
    FileReference reference;
    reference.path = resolved.get();
    reference.device = static_cast<std::uint64_t>(st.st_dev);
    reference.inode = static_cast<std::uint64_t>(st.st_ino);
    reference.size = static_cast<std::int64_t>(st.st_size);
    reference.modificationSeconds = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    reference.modificationNanoseconds = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    return reference;
}

std::string FileReference::encode() const {
    std::string out;
    out.reserve(fixedLength + path.size());
    out.append(magic);
    out.push_back(static_cast<char>(currentVersion));
    appendUnsigned(out, device, 8);
    appendUnsigned(out, inode, 8);
    appendUnsigned(out, static_cast<std::uint64_t>(size), 8);
    appendUnsigned(out, static_cast<std::uint64_t>(modificationSeconds), 8);
    appendUnsigned(out, static_cast<std::uint64_t>(modificationNanoseconds), 4);
    appendUnsigned(out, path.size(), 4);
    out.append(path);
    return out;
}

std::optional<FileReference> FileReference::decode(std::string_view bytes) {
    if (bytes.size() < fixedLength || bytes.substr(0, magic.size()) != magic ||
        static_cast<std::uint8_t>(bytes[magic.size()]) != currentVersion) {
        return std::nullopt;
    }
    std::size_t offset = magic.size() + 1;
    FileReference reference;
    reference.device = readUnsigned(bytes, offset, 8);
    reference.inode = readUnsigned(bytes, offset, 8);
    reference.size = static_cast<std::int64_t>(readUnsigned(bytes, offset, 8));
    reference.modificationSeconds = static_cast<std::int64_t>(readUnsigned(bytes, offset, 8));
    const std::uint64_t nanoseconds = readUnsigned(bytes, offset, 4);
    const std::uint64_t pathLength = readUnsigned(bytes, offset, 4);
    if (nanoseconds > 999'999'999 || pathLength == 0 || pathLength > PATH_MAX ||
        bytes.size() - offset != pathLength) {
        return std::nullopt;
    }
    reference.modificationNanoseconds = static_cast<std::int64_t>(nanoseconds);
    reference.path.assign(bytes.substr(offset));
    if (reference.path.front() != '/' || reference.path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return reference;
}

std::optional<std::string> FileReference::resolve() const {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !sameIdentity(*this, st)) {
        return std::nullopt;
    }
    return path;
}

std::optional<std::string> FileReference::resolve(std::string_view bytes) {
    const std::optional<FileReference> reference = decode(bytes);
    if (!reference) {
        return std::nullopt;
    }
    return reference->resolve();
}

std::string encodeBase64(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group =
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
            static_cast<unsigned char>(bytes[i + 2]);
        text.push_back(base64Alphabet[group >> 18 & 0x3f]);
        text.push_back(base64Alphabet[group >> 12 & 0x3f]);
        text.push_back(base64Alphabet[group >> 6 & 0x3f]);
        text.push_back(base64Alphabet[group & 0x3f]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t group = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]))
                              << 16;
        if (rest == 2) {
            group |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        text.push_back(base64Alphabet[group >> 18 & 0x3f]);
        text.push_back(base64Alphabet[group >> 12 & 0x3f]);
        text.push_back(rest == 2 ? base64Alphabet[group >> 6 & 0x3f] : '=');
        text.push_back('=');
    }
    return text;
}

std::optional<std::string> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        std::size_t padding = 0;
        if (last) {
            padding = text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0;
        }
        std::array<int, 4> values{};
        for (std::size_t j = 0; j < 4 - padding; ++j) {
            values[j] = base64Value(text[i + j]);
            if (values[j] < 0) {
                return std::nullopt;
            }
        }
        const std::uint32_t group = static_cast<std::uint32_t>(values[0]) << 18 |
                                    static_cast<std::uint32_t>(values[1]) << 12 |
                                    static_cast<std::uint32_t>(values[2]) << 6 |
                                    static_cast<std::uint32_t>(values[3]);
        // Bits beyond the last whole byte must be zero, so every byte string has one text.
        if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0)) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(group >> 16 & 0xff));
        if (padding < 2) {
            bytes.push_back(static_cast<char>(group >> 8 & 0xff));
        }
        if (padding < 1) {
            bytes.push_back(static_cast<char>(group & 0xff));
        }
    }
    return bytes;
}

}  // namespace tolvane
