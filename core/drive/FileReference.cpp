#include "core/drive/FileReference.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

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

}  // namespace tolvane
