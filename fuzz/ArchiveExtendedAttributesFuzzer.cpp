// Feeds arbitrary bytes, as an entry's whole extra field, to the extended-attribute decoder. A
// decoded field is checked against an independent reading of the block, its byte count, the name
// order the map relies on, and a round trip through the encoder.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/common/Unicode.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolvane;
namespace Attributes = ArchiveExtendedAttributes;

std::uint64_t little(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    }
    return value;
}

// The records of the attribute block of a field the decoder accepted, read without its help.
std::vector<std::pair<std::string_view, std::string_view>> records(std::string_view field) {
    std::vector<std::pair<std::string_view, std::string_view>> found;
    std::size_t offset = 0;
    while (offset < field.size()) {
        FUZZ_REQUIRE(field.size() - offset >= 4);
        const std::uint64_t id = little(field, offset, 2);
        const std::size_t length = little(field, offset + 2, 2);
        FUZZ_REQUIRE(field.size() - offset - 4 >= length);
        const std::string_view data = field.substr(offset + 4, length);
        offset += 4 + length;
        if (id != Attributes::headerID) {
            continue;
        }
        FUZZ_REQUIRE(found.empty() && !data.empty() && data[0] == Attributes::version);
        std::size_t at = 1;
        while (at < data.size()) {
            FUZZ_REQUIRE(data.size() - at >= 6);
            const std::size_t nameLength = little(data, at, 2);
            const std::uint64_t valueLength = little(data, at + 2, 4);
            at += 6;
            FUZZ_REQUIRE(nameLength > 0 && nameLength + valueLength <= data.size() - at);
            found.emplace_back(data.substr(at, nameLength),
                               data.substr(at + nameLength, valueLength));
            at += nameLength + valueLength;
        }
    }
    return found;
}

void checkOrder(const Attributes::Map& map) {
    const Attributes::NameOrder less;
    std::vector<std::string_view> names;
    for (const auto& [name, value] : map) {
        if (names.size() == 24) {
            break;
        }
        names.push_back(name);
    }
    // A comparator that is not a strict weak order lets the map lose or duplicate names.
    for (std::size_t i = 0; i < names.size(); ++i) {
        FUZZ_REQUIRE(!less(names[i], names[i]));
        for (std::size_t j = i + 1; j < names.size(); ++j) {
            FUZZ_REQUIRE(less(names[i], names[j]) && !less(names[j], names[i]));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view field = fuzz::bytesOf(data, size);
    Attributes::Map decoded;
    try {
        decoded = Attributes::decodeField(field);
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(error.code() == ArchivePipelineError::Code::invalidArchive);
        return 0;
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }

    const auto found = records(field);
    FUZZ_REQUIRE(found.size() == decoded.size());
    std::uint64_t bytes = 0;
    for (const auto& [name, value] : found) {
        const auto entry = decoded.find(name);
        FUZZ_REQUIRE(entry != decoded.end() && entry->first == name && entry->second == value);
        FUZZ_REQUIRE(Unicode::isValidUTF8(name) && name.find('\0') == std::string_view::npos);
        bytes += name.size() + value.size();
    }
    std::uint64_t counted = 0;
    try {
        counted = Attributes::metadataByteCount(decoded);
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
    FUZZ_REQUIRE(counted == bytes);
    checkOrder(decoded);

    // Bookkeeping names are decoded but never written; everything else must come back as it was.
    std::optional<std::string> encoded;
    try {
        encoded = Attributes::encodeField(decoded);
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(error.code() == ArchivePipelineError::Code::unsupportedArchiveEntry);
        bool hasBookkeeping = false;
        for (const auto& [name, value] : decoded) {
            hasBookkeeping = hasBookkeeping || Attributes::isBookkeepingName(name);
        }
        FUZZ_REQUIRE(hasBookkeeping);
        return 0;
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
    FUZZ_REQUIRE(encoded.has_value() == !decoded.empty());
    if (encoded) {
        FUZZ_REQUIRE(encoded->size() <= Attributes::maxBlockBytes);
        try {
            FUZZ_REQUIRE(Attributes::decodeField(*encoded) == decoded);
        } catch (const std::exception& error) {
            FUZZ_UNEXPECTED(error);
        }
    }
    return 0;
}
