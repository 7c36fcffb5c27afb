#include "core/archive/ArchivePathPolicy.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/StagingLease.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/PathText.h"
#include "core/common/Unicode.h"

namespace tolvane::ArchivePathPolicy {

namespace {

constexpr std::u32string_view kIllegalWindowsCharacters = U"<>:\"|?*\\/";

// Windows refuses these as a name's first dot-separated piece in any letter case; COM0, LPT0 and
// two-digit numbers are ordinary names there.
constexpr std::array<std::string_view, 22> kReservedDeviceNames = {
    "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7",
    "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9",
};

// Pieces between "/", empty ones kept.
std::vector<std::string_view> splitKeepingEmpty(std::string_view path) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = path.find('/', start);
        if (slash == std::string_view::npos) {
            pieces.push_back(path.substr(start));
            return pieces;
        }
        pieces.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
}

bool isReservedDeviceName(std::string_view name) {
    // Only the first non-empty piece between dots counts: "aux.tar.gz" is as reserved as "AUX".
    const std::size_t start = name.find_first_not_of('.');
    if (start == std::string_view::npos) {
        return false;
    }
    const std::size_t end = name.find('.', start);
    const std::string_view piece = name.substr(start, end - start);
    std::string upper;
    if (Unicode::isASCII(piece)) {
        // Most names are plain ASCII; no reserved name is longer than four letters.
        if (piece.size() > 4) {
            return false;
        }
        for (const char c : piece) {
            upper.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
        }
    } else {
        upper = Unicode::toUpper(piece);
    }
    return std::find(kReservedDeviceNames.begin(), kReservedDeviceNames.end(), upper) !=
           kReservedDeviceNames.end();
}

std::string shortened(const std::string& name, std::string_view stableIdentity) {
    const Sha256::Value digest = Sha256::of(stableIdentity);
    const std::string tag = HexString::encode(std::span(digest).first(4));

    const std::string extension = PathText::pathExtension(name);
    std::string suffix = "~" + tag;
    if (!extension.empty() && extension.size() <= maxKeptExtensionBytes) {
        suffix += "." + extension;
    }
    const std::size_t budget =
        suffix.size() < maxUniversalNameBytes ? maxUniversalNameBytes - suffix.size() : 0;
    const std::string stemSource =
        extension.empty() ? name : name.substr(0, name.size() - extension.size() - 1);
    return Unicode::truncateToGraphemes(stemSource, budget) + suffix;
}

}  // namespace

std::string validated(std::string_view path, ArchiveEntryType type) {
    const auto unsafe = [&] { return ArchivePipelineError::unsafePath(std::string(path)); };

    // Linux names are bytes; a name that is not UTF-8 cannot be checked or shown faithfully.
    if (!Unicode::isValidUTF8(path)) {
        throw unsafe();
    }
    if (path.empty()) {
        throw unsafe();
    }
    if (path.front() == '/' || path.front() == '\\') {
        throw unsafe();
    }
    if (path.find('\\') != std::string_view::npos) {
        throw unsafe();
    }
    if (path.find('\0') != std::string_view::npos) {
        throw unsafe();
    }
    if (path.size() > maxPathBytes) {
        throw unsafe();
    }

    std::string_view usable = path;
    if (type == ArchiveEntryType::directory) {
        while (!usable.empty() && usable.back() == '/') {
            usable.remove_suffix(1);
        }
    }

    const std::vector<std::string_view> pieces = splitKeepingEmpty(usable);
    for (const std::string_view piece : pieces) {
        if (piece.empty() || piece == "." || piece == ".." || piece.size() > maxComponentBytes) {
            throw unsafe();
        }
    }
    // A colon in the first component is a drive letter or a stream name on Windows.
    if (pieces.front().find(':') != std::string_view::npos) {
        throw unsafe();
    }
    if (Unicode::containsControlOrFormat(usable)) {
        throw unsafe();
    }
    return std::string(usable);
}

namespace {

// NFC, with controls, format characters and the characters Windows refuses replaced by "_".
std::string portableText(std::string_view name) {
    std::u32string scalars = Unicode::toUTF32(Unicode::toNFC(name));
    for (char32_t& scalar : scalars) {
        if (Unicode::isControlOrFormat(scalar) ||
            kIllegalWindowsCharacters.find(scalar) != std::u32string_view::npos) {
            scalar = U'_';
        }
    }
    // Windows drops trailing dots and blanks, so two names differing only there would meet.
    while (!scalars.empty() && (scalars.back() == U'.' || scalars.back() == U' ')) {
        scalars.pop_back();
    }
    return scalars.empty() ? std::string("_") : Unicode::fromUTF32(scalars);
}

// Printable ASCII with nothing to replace and no trailing dot or blank: a name portableText
// returns as it is, told without a trip through ICU.
bool isPortableASCII(std::string_view name) noexcept {
    if (name.empty() || name.back() == '.' || name.back() == ' ') {
        return false;
    }
    for (const char c : name) {
        if (c < 0x20 || c > 0x7E ||
            std::string_view("<>:\"|?*\\/").find(c) != std::string_view::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string universalName(std::string_view name, std::string_view stableIdentity) {
    std::string result = isPortableASCII(name) ? std::string(name) : portableText(name);

    // A name a later job's recovery could take for a dead job's stage or marker would put the
    // unpacked data at risk, wherever it lies in the tree.
    if (isReservedDeviceName(result) || ArchivePipeline::isStageMarkerName(result)) {
        result.insert(0, "_");
    }
    if (result.size() <= maxUniversalNameBytes) {
        return result;
    }
    return shortened(result, stableIdentity);
}

std::string compatibleExtractionPath(std::string_view path, ArchiveEntryType type) {
    const std::string usable = validated(path, type);
    std::string result;
    std::size_t start = 0;
    while (start <= usable.size()) {
        std::size_t end = usable.find('/', start);
        if (end == std::string::npos) {
            end = usable.size();
        }
        // The identity covers this component and everything before it, never what follows.
        const std::string_view identity(usable.data(), end);
        if (start > 0) {
            result += '/';
        }
        result += universalName(std::string_view(usable).substr(start, end - start), identity);
        start = end + 1;
    }
    return result;
}

std::string collisionKey(std::string_view path) {
    if (Unicode::isASCII(path)) {
        std::string key(path);
        for (char& c : key) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return key;
    }
    // Folding can leave marks out of canonical order ("ǰ" + dot below folds to j, caron, dot
    // below), so the folded text is composed again to make equivalent spellings meet.
    return Unicode::toNFC(Unicode::foldCase(Unicode::toNFC(path)));
}

}  // namespace tolvane::ArchivePathPolicy
