#include "Tolvane/model/ArchiveSaveNamePolicy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/uchar.h>

#include <cerrno>
#include <cstddef>

#include "core/common/Posix.h"
#include "core/common/Unicode.h"

namespace tolvane {

namespace {

constexpr int kCandidateCount = 100000;

bool isWhiteSpace(char32_t scalar) {
    return u_isUWhiteSpace(static_cast<UChar32>(scalar)) != 0;
}

bool endsWithZipInAnyCase(const std::string& text) {
    // No other scalar lower-cases to "z", "i" or "p", so comparing the last four bytes in ASCII
    // case is the same as comparing the lower-cased text.
    static constexpr char kSuffix[] = ".zip";
    if (text.size() < 4) {
        return false;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        char c = text[text.size() - 4 + i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != kSuffix[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string ArchiveSaveNamePolicy::trimmed(const std::string& text) {
    std::u32string scalars = Unicode::toUTF32(text);
    std::size_t begin = 0;
    std::size_t end = scalars.size();
    while (begin < end && isWhiteSpace(scalars[begin])) {
        ++begin;
    }
    while (end > begin && isWhiteSpace(scalars[end - 1])) {
        --end;
    }
    return Unicode::fromUTF32(std::u32string_view(scalars).substr(begin, end - begin));
}

std::string ArchiveSaveNamePolicy::availableName(const std::string& enteredName,
                                                 const std::string& folder) {
    // File names are written as UTF-8; a name that is not would be refused later anyway.
    if (!Unicode::isValidUTF8(enteredName)) {
        return {};
    }
    const std::string name = trimmed(enteredName);
    if (name.empty() || name.find_first_of("/:") != std::string::npos ||
        Unicode::containsControlOrFormat(name)) {
        return {};
    }
    const std::string base = endsWithZipInAnyCase(name) ? name.substr(0, name.size() - 4) : name;
    if (base.empty() || base == "." || base == "..") {
        return {};
    }

    // Probing relative to the opened folder keeps every probe in the same folder, however long
    // its path. A folder that cannot be opened has no name we could vouch for.
    auto opened = posix::tryOpenAt(AT_FDCWD, folder, O_RDONLY | O_DIRECTORY);
    if (!opened.fd) {
        return {};
    }
    for (int n = 0; n < kCandidateCount; ++n) {
        const std::string candidate =
            n == 0 ? base + ".zip" : base + "_" + std::to_string(n + 1) + ".zip";
        struct stat status {};
        // Without following a final link, so that a dangling link counts as taken.
        if (::fstatat(opened.fd.get(), candidate.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
            continue;
        }
        if (errno == ENOENT) {
            return candidate;
        }
        // Only a name the folder reports absent is free. Anything else (a name too long for the
        // file system, a folder we may not search, an I/O error) would make the pack fail at its
        // very end; and a longer, numbered name cannot fare better, so the text is refused.
        return {};
    }
    return {};
}

}  // namespace tolvane
