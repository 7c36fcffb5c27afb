#include "core/common/UserFolders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "core/common/PathText.h"
#include "core/common/Posix.h"

namespace tolvane::UserFolders {
namespace {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
        return home;
    }
    std::string buffer(16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return found->pw_dir;
    }
    throw posix::errnoError(ENOENT, "home directory");
}

}  // namespace

std::string applicationData(std::string_view name) {
    std::string base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
        base = data;  // a relative value is invalid and ignored
    } else {
        base = PathText::appending(homeDirectory(), ".local/share");
    }
    return PathText::appending(PathText::appending(base, "Tolvane"), name);
}

void makeDirectories(const std::string& path) {
    // mkdir's mode passes through the umask; every folder created here is set to 0700
    // explicitly, so a strict umask cannot leave an intermediate folder unusable.
    const auto created = [&] {
        if (::chmod(path.c_str(), 0700) != 0) {
            posix::throwLastError(path);
        }
    };
    if (::mkdir(path.c_str(), 0700) == 0) {
        created();
        return;
    }
    if (errno == ENOENT) {
        const std::string parent = PathText::deletingLastComponent(path);
        if (parent.empty() || parent == path) {
            posix::throwErrno(ENOENT, path);
        }
        makeDirectories(parent);
        if (::mkdir(path.c_str(), 0700) == 0) {
            created();
            return;
        }
    }
    if (errno != EEXIST) {
        posix::throwLastError(path);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        posix::throwLastError(path);
    }
    if (!S_ISDIR(st.st_mode)) {
        posix::throwErrno(ENOTDIR, path);
    }
}

}  // namespace tolvane::UserFolders
