// Feeds arbitrary stored paths to the path policy. Input: byte 0 picks the entry type; byte 1
// splits the rest into a path and the identity universalName tags long names with.
//
// Checked: validated output is valid and unchanged by validating again; a failure is unsafePath
// with the path as given; compatibleExtractionPath fails exactly when validated does and yields
// one universal name per component; a universal name is non-empty, at most 180 bytes, one safe
// component and its own universal name; collision keys are valid UTF-8 and idempotent.

#include <optional>
#include <string>
#include <string_view>

#include "core/archive/ArchivePathPolicy.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/common/Unicode.h"
#include "fuzz/FuzzSupport.h"

namespace {

using namespace tolvane;
namespace Policy = ArchivePathPolicy;

std::optional<std::string> validated(std::string_view path, ArchiveEntryType type) {
    try {
        return Policy::validated(path, type);
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(error == ArchivePipelineError::unsafePath(std::string(path)));
        return std::nullopt;
    }
}

void checkUniversalName(std::string_view name, std::string_view identity) {
    const std::string universal = Policy::universalName(name, identity);
    FUZZ_REQUIRE(universal.size() <= Policy::maxUniversalNameBytes);
    FUZZ_REQUIRE(validated(universal, ArchiveEntryType::file) == universal);
    FUZZ_REQUIRE(universal.find('/') == std::string::npos);
    FUZZ_REQUIRE(Policy::universalName(universal, identity) == universal);
}

void checkPath(std::string_view path, ArchiveEntryType type) {
    const std::optional<std::string> usable = validated(path, type);
    FUZZ_REQUIRE(!usable || validated(*usable, type) == usable);
    FUZZ_REQUIRE(!usable || type == ArchiveEntryType::directory || *usable == path);
    std::optional<std::string> compatible;
    try {
        compatible = Policy::compatibleExtractionPath(path, type);
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(!usable && error == ArchivePipelineError::unsafePath(std::string(path)));
        return;
    }
    FUZZ_REQUIRE(usable && Unicode::isValidUTF8(*compatible));
    std::string_view rest = *compatible;
    std::string_view original = *usable;
    for (bool last = false; !last;) {
        last = rest.find('/') == std::string_view::npos;
        FUZZ_REQUIRE(last == (original.find('/') == std::string_view::npos));
        const std::string_view piece = rest.substr(0, rest.find('/'));
        FUZZ_REQUIRE(piece.size() <= Policy::maxUniversalNameBytes);
        FUZZ_REQUIRE(validated(piece, ArchiveEntryType::file) == piece);
        rest.remove_prefix(last ? rest.size() : piece.size() + 1);
        original.remove_prefix(last ? original.size() : original.find('/') + 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    constexpr ArchiveEntryType types[] = {ArchiveEntryType::file, ArchiveEntryType::directory,
                                          ArchiveEntryType::symlink};
    const std::string_view rest = fuzz::bytesOf(data + 2, size - 2);
    const std::size_t cut = data[1] == 0 ? rest.size() : rest.size() * data[1] / 255;
    try {
        checkPath(rest.substr(0, cut), types[data[0] % 3]);
        checkUniversalName(rest.substr(0, cut), data[1] == 0 ? rest : rest.substr(cut));
        const std::string key = Policy::collisionKey(rest.substr(0, cut));
        FUZZ_REQUIRE(Unicode::isValidUTF8(key) && Policy::collisionKey(key) == key);
    } catch (const std::exception& error) {
        FUZZ_UNEXPECTED(error);
    }
    return 0;
}
