#include "core/archive/AtomicOutputCommitter.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <system_error>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"

namespace tolvane::AtomicOutputCommitter {
namespace {

constexpr unsigned maximumAttempts = 100'000;

bool sameEntry(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// fstatat without following a link; 0 or the errno.
int statEntry(int directoryFd, const std::string& name, struct stat& st) {
    return ::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

int moveFileByLink(int fromFd, const std::string& from, int toFd, const std::string& to,
                   const struct stat& source) {
    // linkat never replaces: a taken name answers EEXIST.
    if (::linkat(fromFd, from.c_str(), toFd, to.c_str(), 0) != 0) {
        return errno;
    }
    struct stat now {};
    struct stat linked {};
    const bool sourceUnchanged = statEntry(fromFd, from, now) == 0 && sameEntry(now, source);
    int error = 0;
    if (!sourceUnchanged) {
        // The source name was swapped after the link; removing it would delete someone else's
        // entry, so the move is undone instead.
        error = EBUSY;
    } else if (::unlinkat(fromFd, from.c_str(), 0) != 0) {
        error = errno;
    } else {
        return 0;
    }
    if (statEntry(toFd, to, linked) == 0 && sameEntry(linked, source)) {
        ::unlinkat(toFd, to.c_str(), 0);
    }
    return error;
}

int moveDirectoryOverPlaceholder(int fromFd, const std::string& from, int toFd,
                                 const std::string& to) {
    // The exclusive mkdirat claims the name; renameat may then replace only that empty
    // directory, never an entry somebody else made.
    if (::mkdirat(toFd, to.c_str(), 0700) != 0) {
        return errno;
    }
    // The placeholder's identity, taken right before the rename that replaces it and checked
    // again before it is taken away after a failure.
    struct stat placeholder {};
    if (statEntry(toFd, to, placeholder) != 0 || !S_ISDIR(placeholder.st_mode)) {
        return EEXIST;
    }
    if (::renameat(fromFd, from.c_str(), toFd, to.c_str()) == 0) {
        return 0;
    }
    const int error = errno;
    struct stat current {};
    if (statEntry(toFd, to, current) == 0 && S_ISDIR(current.st_mode) &&
        sameEntry(current, placeholder)) {
        ::unlinkat(toFd, to.c_str(), AT_REMOVEDIR);
    }
    // Someone filled the placeholder: the name is taken after all.
    return error == ENOTEMPTY ? EEXIST : error;
}

int systemRenameAt2(int fromFd, const char* from, int toFd, const char* to, unsigned int flags) {
    return ::renameat2(fromFd, from, toFd, to, flags);
}

std::string errorName(int code) {
    const char* name = ::strerrorname_np(code);
    return name != nullptr ? std::string(name) : std::to_string(code);
}

int runSync(const DirectorySync& directorySync, int directoryFd) {
    errno = 0;
    if (directorySync(directoryFd) == 0) {
        return 0;
    }
    return posix::errnoError(errno).code().value();
}

}  // namespace

bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

int systemDirectorySync(int directoryFd) {
    if (const int error = posix::tryFsyncDirectory(directoryFd); error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

int renameNoReplace(int fromDirectoryFd, const std::string& from, int toDirectoryFd,
                    const std::string& to, RenameCall renameCall) {
    const RenameCall call = renameCall != nullptr ? renameCall : systemRenameAt2;
    if (call(fromDirectoryFd, from.c_str(), toDirectoryFd, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    const int error = errno;
    if (error != EINVAL && error != ENOSYS) {
        return error;
    }
    struct stat source {};
    if (const int statError = statEntry(fromDirectoryFd, from, source); statError != 0) {
        return statError;
    }
    if (S_ISDIR(source.st_mode)) {
        return moveDirectoryOverPlaceholder(fromDirectoryFd, from, toDirectoryFd, to);
    }
    return moveFileByLink(fromDirectoryFd, from, toDirectoryFd, to, source);
}

std::string candidateName(const std::string& name, unsigned attempt) {
    if (attempt <= 1) {
        return name;
    }
    const std::string extension = PathText::pathExtension(name);
    const std::string number = "_" + std::to_string(attempt);
    if (extension.empty()) {
        return name + number;
    }
    return PathText::deletingPathExtension(name) + number + "." + extension;
}

std::string move(const std::string& sourceName, int fromDirectoryFd, int toDirectoryFd,
                 const std::string& requestedPath, const std::string& destinationParentPath,
                 const DirectorySync& directorySync, RenameCall renameCall) {
    const std::string folder =
        PathText::standardized(PathText::deletingLastComponent(requestedPath));
    if (folder != PathText::standardized(destinationParentPath) || !isPlainName(sourceName)) {
        throw ArchivePipelineError::destinationChanged(destinationParentPath);
    }
    const std::string name = PathText::lastComponent(requestedPath);
    if (!isPlainName(name)) {
        throw ArchivePipelineError::finalizationFailed("invalid output filename");
    }

    posix::fsyncDirectory(fromDirectoryFd);

    // The item's identity, so that a failed flush moves back only what this call moved. The
    // descriptor keeps the inode in use, so no entry made meanwhile can be given its number.
    const posix::OpenResult pinned =
        posix::tryOpenAt(fromDirectoryFd, sourceName, O_PATH | O_NOFOLLOW);
    if (!pinned.fd) {
        throw ArchivePipelineError::finalizationFailed(
            std::generic_category().message(pinned.error));
    }
    const struct stat item = posix::fstat(pinned.fd.get());

    std::string committedName;
    for (unsigned attempt = 1; attempt <= maximumAttempts; ++attempt) {
        const std::string candidate = candidateName(name, attempt);
        const int error =
            renameNoReplace(fromDirectoryFd, sourceName, toDirectoryFd, candidate, renameCall);
        if (error == 0) {
            committedName = candidate;
            break;
        }
        if (error != EEXIST) {
            throw ArchivePipelineError::finalizationFailed(std::generic_category().message(error));
        }
    }
    if (committedName.empty()) {
        throw ArchivePipelineError::finalizationFailed("too many name collisions");
    }
    const std::string result = PathText::appending(folder, committedName);

    int syncError = runSync(directorySync, toDirectoryFd);
    if (fromDirectoryFd != toDirectoryFd) {
        const int sourceError = runSync(directorySync, fromDirectoryFd);
        if (syncError == 0) {
            syncError = sourceError;
        }
    }
    if (syncError == 0) {
        return result;
    }

    // An entry whose directory record may not be on disk is not a committed result: hand it back
    // to the stage so the job fails cleanly and the stage clean-up takes it away.
    const std::string prefix =
        "directory metadata could not be synchronized (" + errorName(syncError) + "); ";
    // Whatever holds the committed name now goes into the stage, which is then deleted: only
    // the item itself may, never an entry someone put there since.
    struct stat current {};
    if (statEntry(toDirectoryFd, committedName, current) == 0 && sameEntry(current, item) &&
        renameNoReplace(toDirectoryFd, committedName, fromDirectoryFd, sourceName, renameCall) ==
            0) {
        directorySync(toDirectoryFd);
        if (fromDirectoryFd != toDirectoryFd) {
            directorySync(fromDirectoryFd);
        }
        throw ArchivePipelineError::finalizationFailed(prefix + "output was returned to staging");
    }
    throw ArchivePipelineError::finalizationFailed(prefix + "output may remain at " + result);
}

}  // namespace tolvane::AtomicOutputCommitter
