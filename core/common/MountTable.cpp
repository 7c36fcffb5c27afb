#include "core/common/MountTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"

namespace tolvane {
namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

template <typename Number>
std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    if (text.empty() || result.ec != std::errc{} || result.ptr != end) {
        return std::nullopt;
    }
    return value;
}

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

// The kernel writes a space, tab, newline or backslash in a field as a backslash and three
// octal digits. A backslash in any other form cannot come from the kernel, so such a field is
// refused rather than guessed at; so is an escaped NUL, which no path can hold.
std::optional<std::string> unescape(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        if (field.size() - i < 4 || !isOctalDigit(field[i + 1]) || !isOctalDigit(field[i + 2]) ||
            !isOctalDigit(field[i + 3])) {
            return std::nullopt;
        }
        const int value =
            (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
        if (value == 0 || value > 0xFF) {
            return std::nullopt;
        }
        out += static_cast<char>(static_cast<unsigned char>(value));
        i += 3;
    }
    return out;
}

// Options are split at their commas before decoding: a comma inside a value is escaped.
std::optional<std::vector<std::string>> parseOptions(std::string_view field) {
    std::vector<std::string> options;
    if (field.empty()) {
        return options;
    }
    for (const std::string_view part : split(field, ',')) {
        auto option = unescape(part);
        if (!option) {
            return std::nullopt;
        }
        options.push_back(std::move(*option));
    }
    return options;
}

bool contains(const std::vector<std::string>& options, std::string_view wanted) {
    for (const std::string& option : options) {
        if (option == wanted) {
            return true;
        }
    }
    return false;
}

std::optional<MountEntry> parseLine(std::string_view line) {
    // id parent major:minor root mount-point options [optional fields...] - type source super
    const std::vector<std::string_view> fields = split(line, ' ');
    constexpr std::size_t fixedBefore = 6;
    constexpr std::size_t fixedAfter = 3;
    if (fields.size() < fixedBefore + 1 + fixedAfter) {
        return std::nullopt;
    }
    std::size_t separator = fixedBefore;
    while (separator < fields.size() && fields[separator] != "-") {
        ++separator;
    }
    if (separator == fields.size() || fields.size() - separator - 1 < fixedAfter) {
        return std::nullopt;
    }

    MountEntry entry;
    const auto mountId = parseNumber<std::uint64_t>(fields[0]);
    const auto parentId = parseNumber<std::uint64_t>(fields[1]);
    const std::size_t colon = fields[2].find(':');
    if (!mountId || !parentId || colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto major = parseNumber<unsigned int>(fields[2].substr(0, colon));
    const auto minor = parseNumber<unsigned int>(fields[2].substr(colon + 1));
    if (!major || !minor) {
        return std::nullopt;
    }
    entry.mountId = *mountId;
    entry.parentId = *parentId;
    entry.major = *major;
    entry.minor = *minor;

    auto root = unescape(fields[3]);
    auto mountPoint = unescape(fields[4]);
    auto mountOptions = parseOptions(fields[5]);
    auto type = unescape(fields[separator + 1]);
    auto source = unescape(fields[separator + 2]);
    auto superOptions = parseOptions(fields[separator + 3]);
    if (!root || !mountPoint || mountPoint->empty() || !mountOptions || !type || type->empty() ||
        !source || !superOptions) {
        return std::nullopt;
    }
    for (std::size_t i = fixedBefore; i < separator; ++i) {
        if (fields[i].empty()) {
            return std::nullopt;
        }
        entry.optionalFields.emplace_back(fields[i]);
    }
    entry.root = std::move(*root);
    entry.mountPoint = std::move(*mountPoint);
    entry.mountOptions = std::move(*mountOptions);
    entry.fileSystemType = std::move(*type);
    entry.source = std::move(*source);
    entry.superOptions = std::move(*superOptions);
    entry.isReadOnly = contains(entry.mountOptions, "ro") || contains(entry.superOptions, "ro");
    return entry;
}

// True when prefix names the directory path or one of its ancestors.
bool isPathPrefix(std::string_view prefix, std::string_view path) {
    if (prefix == "/") {
        return !path.empty() && path.front() == '/';
    }
    if (path.size() < prefix.size() || path.substr(0, prefix.size()) != prefix) {
        return false;
    }
    return path.size() == prefix.size() || path[prefix.size()] == '/';
}

std::string descriptorPath(int fd) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::array<char, 4096> buffer{};
    const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        return {};
    }
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

}  // namespace

namespace MountTable {

std::vector<MountEntry> parse(std::string_view text) {
    std::vector<MountEntry> entries;
    for (const std::string_view line : split(text, '\n')) {
        if (auto entry = parseLine(line)) {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

std::vector<MountEntry> read(const std::string& path) {
    const UniqueFd fd = posix::open(path, O_RDONLY);
    // The kernel reports a size of 0 for this file: read until end of file.
    std::string text;
    std::array<char, 16384> buffer{};
    while (true) {
        const std::size_t count = posix::readSome(fd.get(), buffer.data(), buffer.size());
        if (count == 0) {
            break;
        }
        text.append(buffer.data(), count);
    }
    return parse(text);
}

std::optional<MountEntry> findById(std::span<const MountEntry> entries, std::uint64_t mountId) {
    for (const MountEntry& entry : entries) {
        if (entry.mountId == mountId) {
            return entry;
        }
    }
    return std::nullopt;
}

std::optional<MountEntry> findByDevice(std::span<const MountEntry> entries, unsigned int major,
                                       unsigned int minor, std::string_view pathHint) {
    const MountEntry* best = nullptr;
    const MountEntry* last = nullptr;
    for (const MountEntry& entry : entries) {
        if (entry.major != major || entry.minor != minor) {
            continue;
        }
        last = &entry;
        // ">=": of mounts stacked on one point, the later one is the one in use.
        if (isPathPrefix(entry.mountPoint, pathHint) &&
            (best == nullptr || entry.mountPoint.size() >= best->mountPoint.size())) {
            best = &entry;
        }
    }
    if (best != nullptr) {
        return *best;
    }
    if (last != nullptr) {
        return *last;
    }
    return std::nullopt;
}

std::optional<MountEntry> findByMountPoint(std::span<const MountEntry> entries,
                                           std::string_view mountPoint) {
    const MountEntry* found = nullptr;
    for (const MountEntry& entry : entries) {
        if (entry.mountPoint == mountPoint) {
            found = &entry;
        }
    }
    if (found == nullptr) {
        return std::nullopt;
    }
    return *found;
}

std::optional<MountEntry> findForDescriptor(std::span<const MountEntry> entries, int fd) {
    struct statx info {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &info) == 0 &&
        (info.stx_mask & STATX_MNT_ID) != 0) {
        if (auto entry = findById(entries, info.stx_mnt_id)) {
            return entry;
        }
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        return std::nullopt;
    }
    return findByDevice(entries, ::major(status.st_dev), ::minor(status.st_dev),
                        descriptorPath(fd));
}

}  // namespace MountTable

std::string fileSystemTypeForMagic(std::uint64_t magic) {
    // From <linux/magic.h>; exFAT's is missing from older headers.
    constexpr std::uint64_t msdosMagic = 0x4d44;
    constexpr std::uint64_t exfatMagic = 0x2011BAB0;
    if (magic == msdosMagic) {
        return "vfat";
    }
    if (magic == exfatMagic) {
        return "exfat";
    }
    return {};
}

std::string normalizedFileSystemName(std::string_view type) {
    std::string name(type);
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (name == "vfat" || name == "msdos" || name == "fat") {
        return "msdos";
    }
    if (name == "hfsplus") {
        return "hfs";
    }
    return name;
}

}  // namespace tolvane
