#include "Tolvane/model/InputURL.h"

#include <sys/stat.h>

#include "core/common/PathText.h"

namespace tolvane::InputURL {

std::string fromLocalPath(const std::string& path) {
    struct stat status {};
    if (PathText::isDirectoryURL(path) || ::lstat(path.c_str(), &status) != 0 ||
        !S_ISDIR(status.st_mode)) {
        return path;
    }
    return path + "/";
}

bool isArchive(std::string_view url) {
    if (PathText::isDirectoryURL(url)) {
        return false;
    }
    std::string extension = PathText::pathExtension(url);
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return extension == "zip";
}

}  // namespace tolvane::InputURL
