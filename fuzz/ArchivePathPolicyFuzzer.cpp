// Arbitrary stored paths for the path policy; byte 0 picks the entry type, byte 1 splits the rest
// into a path and the identity that tags long names.

#include <algorithm>

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

void check(std::string_view path, ArchiveEntryType type, std::string_view identity) {
    const std::optional<std::string> usable = validated(path, type);
    FUZZ_REQUIRE(!usable || validated(*usable, type) == usable);
    FUZZ_REQUIRE(!usable || type == ArchiveEntryType::directory || *usable == path);
    try {
        const std::string compatible = Policy::compatibleExtractionPath(path, type);
        FUZZ_REQUIRE(usable && Unicode::isValidUTF8(compatible) &&
                     std::count(compatible.begin(), compatible.end(), '/') ==
                         std::count(usable->begin(), usable->end(), '/'));
        for (std::size_t start = 0, slash; start <= compatible.size(); start = slash + 1) {
            slash = std::min(compatible.find('/', start), compatible.size());
            const std::string piece = compatible.substr(start, slash - start);
            FUZZ_REQUIRE(piece.size() <= Policy::maxUniversalNameBytes &&
                         validated(piece, ArchiveEntryType::file) == piece);
        }
    } catch (const ArchivePipelineError& error) {
        FUZZ_REQUIRE(!usable && error == ArchivePipelineError::unsafePath(std::string(path)));
    }
    const std::string name = Policy::universalName(path, identity);
    FUZZ_REQUIRE(name.size() <= Policy::maxUniversalNameBytes && name.find('/') == name.npos);
    FUZZ_REQUIRE(validated(name, ArchiveEntryType::file) == name);
    FUZZ_REQUIRE(Policy::universalName(name, identity) == name);
    const std::string key = Policy::collisionKey(path);
    FUZZ_REQUIRE(Unicode::isValidUTF8(key) && Policy::collisionKey(key) == key);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr ArchiveEntryType types[] = {ArchiveEntryType::file, ArchiveEntryType::directory,
                                          ArchiveEntryType::symlink};
    if (size >= 2) {
        const std::string_view rest = fuzz::bytesOf(data + 2, size - 2);
        const std::size_t cut = data[1] == 0 ? rest.size() : rest.size() * data[1] / 255;
        check(rest.substr(0, cut), types[data[0] % 3], data[1] == 0 ? rest : rest.substr(cut));
    }
    return 0;
}
