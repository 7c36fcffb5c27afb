#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <system_error>
#include <vector>

#include "core/common/UniqueFd.h"

namespace tolvane::posix {

// The error value of an errno: a known POSIX code keeps its value, 0 or anything unknown
// becomes EIO, so a failure is never reported as "success".
std::system_error errnoError(int error, const std::string& what = {});
[[noreturn]] void throwErrno(int error, const std::string& what = {});
// Throws for the current errno.
[[noreturn]] void throwLastError(const std::string& what = {});

// The outcome of an open that the caller inspects: `fd` is valid, or `error` holds the errno.
struct OpenResult {
    UniqueFd fd;
    int error = 0;
};

// openat(2) with O_CLOEXEC added, retried after EINTR; never throws. For callers that act on
// particular errors (ENOENT, ELOOP, EEXIST) rather than failing on all of them.
OpenResult tryOpenAt(int directoryFd, const std::string& path, int flags, mode_t mode = 0) noexcept;

// open(2)/openat(2) with O_CLOEXEC added; throws on failure.
UniqueFd openAt(int directoryFd, const std::string& path, int flags, mode_t mode = 0);
inline UniqueFd open(const std::string& path, int flags, mode_t mode = 0) {
    return openAt(AT_FDCWD, path, flags, mode);
}

// Closes the descriptor and throws when close(2) reports a failure (a late write-back error
// surfaces here on some file systems). Use it where the data written must be known to be safe.
void close(UniqueFd& fd, const std::string& what = {});

// A close-on-exec duplicate of the descriptor (dup(2) would leak it into a program another
// thread starts). It shares the original's offset and status flags.
UniqueFd duplicate(int fd, const std::string& what = {});

// Every name in the directory but "." and "..", in the order the file system returns them.
// The listing reads through a duplicate that is closed again before returning, so `directoryFd`
// stays usable (its shared offset is rewound first) and a walk that lists, then descends, holds
// one descriptor per level. `what` names the directory in errors.
std::vector<std::string> listDirectory(int directoryFd, const std::string& what = {});

struct stat fstat(int fd);

// Writes every byte, retrying after EINTR and short writes. A write that makes no progress
// fails with EIO rather than spinning.
void writeAll(int fd, const void* data, std::size_t size);
// Reads up to size bytes at offset, retrying after EINTR and short reads; returns fewer bytes
// only at end of file.
std::size_t preadAll(int fd, void* data, std::size_t size, off_t offset);
// One read(2), retried after EINTR; returns 0 at end of file.
std::size_t readSome(int fd, void* data, std::size_t size);
// Fills the buffer from the current offset unless end of file comes first.
std::size_t readFull(int fd, void* data, std::size_t size);

void fsync(int fd);
// Flushes a directory; a file system that cannot sync directories (EINVAL) counts as done.
void fsyncDirectory(int directoryFd);
// The same, returning 0 or the errno instead of throwing.
int tryFsyncDirectory(int directoryFd) noexcept;

// Raises the soft limit of open files to the hard limit, once per process, so walking a deep
// tree through descriptors cannot run out of them at the common soft limit of 1024. A refusal
// leaves the limit as it was.
void raiseOpenFileLimit() noexcept;

}  // namespace tolvane::posix
