#include "core/archive/ArchiveExtendedAttributes.h"

#include <sys/xattr.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Posix.h"
#include "core/common/Unicode.h"

namespace tolvane::ArchiveExtendedAttributes {

namespace {

constexpr std::string_view provenanceName = "com.apple.provenance";

constexpr std::array<std::string_view, 4> bookkeepingNames = {
    "xdg.origin.url",
    provenanceName,
    "com.apple.macl",
    "com.apple.quarantine",
};

[[noreturn]] void throwSourceChanged() {
    throw ArchivePipelineError::sourceChanged("extended attributes");
}

[[noreturn]] void throwUnsupported(const char* detail) {
    throw ArchivePipelineError::unsupportedArchiveEntry(detail);
}

[[noreturn]] void throwInvalid(const char* detail) {
    throw ArchivePipelineError::invalidArchive(detail);
}

// A value that vanished (ENODATA) or outgrew its buffer (ERANGE) changed under us; anything else
// is the file system's own failure.
[[noreturn]] void throwQueryFailure(int error) {
    if (error == ENODATA || error == ERANGE) {
        throwSourceChanged();
    }
    posix::throwErrno(error);
}

// User names stripped of their prefix, validated, bookkeeping left out; sorted and unique.
std::vector<std::string> userNames(std::string_view list) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < list.size()) {
        const std::size_t end = list.find('\0', start);
        if (end == std::string_view::npos) {
            throwUnsupported("unterminated extended attribute name");
        }
        std::string_view name = list.substr(start, end - start);
        start = end + 1;
        if (name.empty()) {
            throwUnsupported("invalid extended attribute name");
        }
        // security., trusted. and system. attributes belong to this host (labels, ACLs,
        // capabilities) and are never packed, so their spelling is none of our business.
        if (!name.starts_with(userNamespacePrefix)) {
            continue;
        }
        name.remove_prefix(userNamespacePrefix.size());
        if (name.empty() || !Unicode::isValidUTF8(name)) {
            throwUnsupported("invalid extended attribute name");
        }
        if (isBookkeepingName(name)) {
            continue;
        }
        names.emplace_back(name);
    }
    std::sort(names.begin(), names.end(), NameOrder{});
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

}  // namespace

bool NameOrder::operator()(std::string_view a, std::string_view b) const {
    if (Unicode::isASCII(a) && Unicode::isASCII(b)) {
        return a < b;
    }
    // UTF-8 byte order (std::string_view compares bytes as unsigned) is scalar order.
    const std::string composedA = Unicode::toNFC(a);
    const std::string composedB = Unicode::toNFC(b);
    if (composedA != composedB) {
        return composedA < composedB;
    }
    return a < b;
}

bool isBookkeepingName(std::string_view name) noexcept {
    return std::find(bookkeepingNames.begin(), bookkeepingNames.end(), name) !=
           bookkeepingNames.end();
}

const SystemCalls& systemCalls() {
    static const SystemCalls calls{
        [](int fd, char* list, std::size_t size) { return ::flistxattr(fd, list, size); },
        [](int fd, const char* name, void* value, std::size_t size) {
            return ::fgetxattr(fd, name, value, size);
        },
    };
    return calls;
}

Map read(int fd) {
    return read(fd, systemCalls());
}

Map read(int fd, const SystemCalls& calls) {
    const ssize_t listSize = calls.listNames(fd, nullptr, 0);
    if (listSize < 0) {
        const int error = errno;
        if (error == ENOTSUP || error == EOPNOTSUPP) {
            // FAT, exFAT and many FUSE and network file systems keep no attributes; such a
            // source simply has none to pack.
            return {};
        }
        posix::throwErrno(error);
    }
    if (static_cast<std::size_t>(listSize) > maxNameListBytes) {
        throwUnsupported("extended attribute names exceed the supported limit");
    }
    if (listSize == 0) {
        return {};
    }

    std::string list(static_cast<std::size_t>(listSize), '\0');
    const ssize_t listed = calls.listNames(fd, list.data(), list.size());
    if (listed < 0) {
        const int error = errno;
        if (error == ERANGE) {
            throwSourceChanged();  // the list grew since its size was asked
        }
        posix::throwErrno(error);
    }
    if (listed > listSize) {
        throwSourceChanged();
    }
    list.resize(static_cast<std::size_t>(listed));

    Map attributes;
    // The version byte; name, value and running sizes stay far below 2^64, so the sums below
    // cannot wrap.
    std::uint64_t dataBytes = 1;
    std::string fullName;
    for (std::string& name : userNames(list)) {
        if (name.size() > maxNameBytes) {
            throwUnsupported("extended attribute name is too long");
        }
        fullName.assign(userNamespacePrefix);
        fullName += name;

        const ssize_t size = calls.getValue(fd, fullName.c_str(), nullptr, 0);
        if (size < 0) {
            throwQueryFailure(errno);
        }
        dataBytes += name.size() + recordHeaderBytes + static_cast<std::uint64_t>(size);
        // Refused before the value is fetched: an oversized value is never held in memory.
        if (dataBytes + blockHeaderBytes > maxBlockBytes) {
            throwUnsupported("extended attributes exceed the ZIP extra-field limit");
        }

        // A zero size asks for the size again, which is just as good a check.
        std::string value(static_cast<std::size_t>(size), '\0');
        const ssize_t got = calls.getValue(fd, fullName.c_str(), value.data(), value.size());
        if (got < 0) {
            throwQueryFailure(errno);
        }
        if (got != size) {
            // A successful call leaves errno as it was, so it says nothing here: the value was
            // rewritten between the two calls.
            throwSourceChanged();
        }
        attributes.emplace_hint(attributes.end(), std::move(name), std::move(value));
    }
    return attributes;
}

std::optional<std::string> encodeField(const Map& attributes) {
    if (attributes.empty()) {
        return std::nullopt;
    }
    std::string data(1, static_cast<char>(version));
    for (const auto& [name, value] : attributes) {
        if (isBookkeepingName(name) || name.empty() || name.find('\0') != std::string::npos ||
            name.size() > maxNameBytes || !Unicode::isValidUTF8(name)) {
            throwUnsupported("invalid extended attribute name");
        }
        if (value.size() > maxValueBytes) {
            throwUnsupported("extended attribute value is too large");
        }
        if (blockHeaderBytes + data.size() + recordHeaderBytes + name.size() + value.size() >
            maxBlockBytes) {
            throwUnsupported("extended attributes exceed the ZIP extra-field limit");
        }
        ZipFormat::put16(data, static_cast<std::uint16_t>(name.size()));
        ZipFormat::put32(data, static_cast<std::uint32_t>(value.size()));
        data += name;
        data += value;
    }
    std::string block;
    block.reserve(blockHeaderBytes + data.size());
    ZipFormat::put16(block, headerID);
    ZipFormat::put16(block, static_cast<std::uint16_t>(data.size()));
    block += data;
    return block;
}

std::string_view attributeBlock(std::string_view extraField) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(extraField.data());
    const std::size_t size = extraField.size();
    std::string_view block;
    std::size_t offset = 0;
    while (offset < size) {
        if (size - offset < blockHeaderBytes) {
            throwInvalid("truncated ZIP extra field");
        }
        const std::uint16_t id = ZipFormat::get16(bytes + offset);
        const std::size_t dataSize = ZipFormat::get16(bytes + offset + 2);
        const std::size_t start = offset + blockHeaderBytes;
        if (dataSize > size - start) {
            throwInvalid("truncated ZIP extra field data");
        }
        const std::size_t begin = offset;
        offset = start + dataSize;
        if (id != headerID) {
            continue;
        }
        // A second block, even an empty one, would leave it open which attributes the entry has;
        // a block over maxBlockBytes is one no writer of this format produces.
        if (!block.empty() || dataSize == 0 || blockHeaderBytes + dataSize > maxBlockBytes ||
            bytes[start] != version) {
            throwInvalid("invalid extended attribute field");
        }
        block = extraField.substr(begin, offset - begin);
    }
    return block;
}

Map decodeField(std::string_view extraField) {
    const std::string_view block = attributeBlock(extraField);
    Map attributes;
    std::size_t at = std::min(block.size(), blockHeaderBytes + 1);
    while (at < block.size()) {
        if (block.size() - at < recordHeaderBytes) {
            throwInvalid("truncated extended attribute record");
        }
        const auto* record = reinterpret_cast<const unsigned char*>(block.data() + at);
        const std::size_t nameLength = ZipFormat::get16(record);
        const std::uint64_t valueLength = ZipFormat::get32(record + 2);
        at += recordHeaderBytes;
        if (nameLength == 0 || nameLength + valueLength > block.size() - at) {
            throwInvalid("invalid extended attribute record length");
        }
        const std::string_view name = block.substr(at, nameLength);
        const std::string_view value = block.substr(at + nameLength, valueLength);
        at += nameLength + valueLength;
        if (!Unicode::isValidUTF8(name) || name.find('\0') != std::string_view::npos ||
            name == provenanceName) {
            throwInvalid("invalid extended attribute name");
        }
        if (!attributes.try_emplace(std::string(name), value).second) {
            throwInvalid("invalid extended attribute name");
        }
    }
    return attributes;
}

std::uint64_t metadataByteCount(const Map& attributes) {
    std::uint64_t total = 0;
    for (const auto& [name, value] : attributes) {
        if (__builtin_add_overflow(total, name.size(), &total) ||
            __builtin_add_overflow(total, value.size(), &total)) {
            throwInvalid("extended attribute metadata size overflow");
        }
    }
    return total;
}

}  // namespace tolvane::ArchiveExtendedAttributes
