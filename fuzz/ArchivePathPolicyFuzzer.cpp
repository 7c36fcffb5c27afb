// Feeds arbitrary stored paths to the path policy. Input: byte 0 picks the entry type; byte 1
// splits the rest into a path and the stable identity universalName tags long names with.
//
// Checked: validated output passes validated again unchanged; compatibleExtractionPath fails
// exactly when validated does and yields one safe component for each validated one; a universal
// name is non-empty, at most 180 bytes of valid UTF-8, a safe component, and its own universal
// name; collision keys are valid UTF-8 and idempotent.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchivePathPolicy.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveValues.h"
#include "core/common/Unicode.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolvane;
namespace Policy = ArchivePathPolicy;

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t slash = path.find('/'); slash != std::string_view::npos;
         slash = path.find('/', start)) {
        pieces.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    pieces.push_back(path.substr(start));
    return pieces;
}

// Valid, or the unsafePath error carrying the path exactly as given.
std::optional<std::string> validated(std::string_view path, ArchiveEntryType type) {
    try {
        return Policy::validated(path, type);
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(error.code() == ArchivePipelineError::Code::unsafePath);
        FUZZ_REQUIRE(error.detail() == path);
        return std::nullopt;
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
}

void checkUniversalName(std::string_view name, std::string_view identity) {
    std::string universal;
    try {
        universal = Policy::universalName(name, identity);
        FUZZ_REQUIRE(Policy::universalName(name, identity) == universal);
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
    FUZZ_REQUIRE(!universal.empty());
    FUZZ_REQUIRE(universal.size() <= Policy::maxUniversalNameBytes);
    FUZZ_REQUIRE(Unicode::isValidUTF8(universal));
    FUZZ_REQUIRE(universal.find('/') == std::string::npos);
    const std::optional<std::string> safe = validated(universal, ArchiveEntryType::file);
    FUZZ_REQUIRE(safe && *safe == universal);
    try {
        FUZZ_REQUIRE(Policy::universalName(universal, identity) == universal);
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
}

void checkCollisionKey(std::string_view path) {
    try {
        const std::string key = Policy::collisionKey(path);
        FUZZ_REQUIRE(Unicode::isValidUTF8(key));
        FUZZ_REQUIRE(Policy::collisionKey(key) == key);
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
}

void checkPath(std::string_view path, ArchiveEntryType type) {
    const std::optional<std::string> usable = validated(path, type);
    if (usable) {
        FUZZ_REQUIRE(validated(*usable, type) == usable);
        if (type != ArchiveEntryType::directory) {
            FUZZ_REQUIRE(*usable == path);
        }
    }

    std::optional<std::string> compatible;
    try {
        compatible = Policy::compatibleExtractionPath(path, type);
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(!usable);
        FUZZ_REQUIRE(error.code() == ArchivePipelineError::Code::unsafePath &&
                     error.detail() == path);
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
    FUZZ_REQUIRE(compatible.has_value() == usable.has_value());
    if (compatible) {
        FUZZ_REQUIRE(Unicode::isValidUTF8(*compatible));
        const std::vector<std::string_view> pieces = components(*compatible);
        FUZZ_REQUIRE(pieces.size() == components(*usable).size());
        for (const std::string_view piece : pieces) {
            FUZZ_REQUIRE(piece.size() <= Policy::maxUniversalNameBytes);
            FUZZ_REQUIRE(validated(piece, ArchiveEntryType::file) == piece);
        }
        try {
            FUZZ_REQUIRE(Policy::compatibleExtractionPath(path, type) == *compatible);
        } catch (const std::exception& error) {
            FUZZ_UNEXPECTED(error);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    constexpr ArchiveEntryType types[] = {ArchiveEntryType::file, ArchiveEntryType::directory,
                                          ArchiveEntryType::symlink};
    const ArchiveEntryType type = types[data[0] % 3];
    const std::string_view rest = fuzz::bytesOf(data + 2, size - 2);
    const std::size_t cut = rest.size() * data[1] / 255;
    const std::string_view path = data[1] == 0 ? rest : rest.substr(0, cut);
    const std::string_view identity = data[1] == 0 ? rest : rest.substr(cut);

    checkPath(path, type);
    checkUniversalName(path, identity);
    checkCollisionKey(path);
    return 0;
}
