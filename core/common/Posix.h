#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <system_error>

#include "core/common/UniqueFd.h"

namespace tolvane::posix {

// The error value of an errno: a known POSIX code keeps its value, 0 or anything unknown
// becomes EIO, so a failure is never reported as "success".
std::system_error errnoError(int error, const std::string& what = {});
[[noreturn]] void throwErrno(int error, const std::string& what = {});
// Throws for the current errno.
[[noreturn]] void throwLastError(const std::string& what = {});

// open(2)/openat(2) with O_CLOEXEC added; throws on failure.
UniqueFd openAt(int directoryFd, const std::string& path, int flags, mode_t mode = 0);
inline UniqueFd open(const std::string& path, int flags, mode_t mode = 0) {
    return openAt(AT_FDCWD, path, flags, mode);
}

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

// Raises the soft limit of open files to the hard limit, once per process, so walking a deep
// tree through descriptors cannot run out of them at the common soft limit of 1024. A refusal
// leaves the limit as it was.
void raiseOpenFileLimit() noexcept;

}  // namespace tolvane::posix
