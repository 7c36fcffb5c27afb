#include "Tolvane/model/TemporaryFolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "core/common/PathText.h"
#include "core/common/Posix.h"

namespace tolvane::TemporaryFolder {

std::string systemRoot() {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && tmpdir[0] == '/') {
        return tmpdir;
    }
    return "/tmp";
}

std::string applicationFolder(const std::string& root) {
    return PathText::appending(root, "Tolvane-" + std::to_string(::geteuid()));
}

void ensurePrivateFolder(const std::string& path) {
    bool created = false;
    if (::mkdir(path.c_str(), 0700) == 0) {
        created = true;
    } else if (errno != EEXIST) {
        posix::throwLastError("mkdir " + path);
    }
    // The check is made on what we opened, without following a link, so that it cannot be
    // swapped between the test and the use of the descriptor.
    auto opened = posix::tryOpenAt(AT_FDCWD, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!opened.fd) {
        const bool notAFolder = opened.error == ELOOP || opened.error == ENOTDIR;
        posix::throwErrno(notAFolder ? ENOTDIR : opened.error, path + " is not a folder");
    }
    struct stat status = posix::fstat(opened.fd.get());
    if (created && (status.st_mode & 07777) != 0700) {
        // A umask can only take bits away; make the new folder exactly private.
        if (::fchmod(opened.fd.get(), 0700) != 0) {
            posix::throwLastError("chmod " + path);
        }
        status = posix::fstat(opened.fd.get());
    }
    if (status.st_uid != ::geteuid() || (status.st_mode & 07777) != 0700) {
        posix::throwErrno(EPERM, path + " is not a private folder of this user");
    }
}

std::string ensureInputSnapshotFolder(const std::string& root) {
    const std::string application = applicationFolder(root);
    ensurePrivateFolder(application);
    const std::string snapshots = PathText::appending(application, "InputSnapshots");
    ensurePrivateFolder(snapshots);
    return snapshots;
}

}  // namespace tolvane::TemporaryFolder
