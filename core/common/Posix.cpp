#include "core/common/Posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

namespace tolvane::posix {

namespace {
bool isKnownErrno(int error) {
    // EHWPOISON is the highest errno value Linux defines.
    return error > 0 && error <= EHWPOISON;
}
}  // namespace

std::system_error errnoError(int error, const std::string& what) {
    const int code = isKnownErrno(error) ? error : EIO;
    return std::system_error(code, std::generic_category(), what);
}

void throwErrno(int error, const std::string& what) {
    throw errnoError(error, what);
}

void throwLastError(const std::string& what) {
    throwErrno(errno, what);
}

OpenResult tryOpenAt(int directoryFd, const std::string& path, int flags, mode_t mode) noexcept {
    for (;;) {
        const int fd = ::openat(directoryFd, path.c_str(), flags | O_CLOEXEC, mode);
        if (fd >= 0) {
            return {UniqueFd(fd), 0};
        }
        if (errno != EINTR) {
            return {UniqueFd(), errno};
        }
    }
}

UniqueFd openAt(int directoryFd, const std::string& path, int flags, mode_t mode) {
    OpenResult opened = tryOpenAt(directoryFd, path, flags, mode);
    if (!opened.fd) {
        throwErrno(opened.error, path);
    }
    return std::move(opened.fd);
}

void close(UniqueFd& fd, const std::string& what) {
    if (const int error = fd.closeChecked(); error != 0) {
        throwErrno(error, what);
    }
}

UniqueFd duplicate(int fd, const std::string& what) {
    UniqueFd copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        throwLastError(what);
    }
    return copy;
}

std::vector<std::string> listDirectory(int directoryFd, const std::string& what) {
    UniqueFd listing = duplicate(directoryFd, what);
    struct DirCloser {
        void operator()(DIR* dir) const noexcept { ::closedir(dir); }
    };
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(listing.get()));
    if (!dir) {
        throwLastError(what);
    }
    listing.release();  // the DIR owns it now
    // The duplicate shares its offset with directoryFd, which an earlier listing may have moved.
    ::rewinddir(dir.get());
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                throwLastError(what);
            }
            return names;
        }
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
}

struct stat fstat(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        throwLastError();
    }
    return st;
}

void writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwLastError();
        }
        if (written == 0) {
            throwErrno(EIO);
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

std::size_t preadAll(int fd, void* data, std::size_t size, off_t offset) {
    auto* bytes = static_cast<unsigned char*>(data);
    std::size_t total = 0;
    while (total < size) {
        const ssize_t got =
            ::pread(fd, bytes + total, size - total, offset + static_cast<off_t>(total));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwLastError();
        }
        if (got == 0) {
            break;
        }
        total += static_cast<std::size_t>(got);
    }
    return total;
}

std::size_t readSome(int fd, void* data, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, data, size);
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            throwLastError();
        }
    }
}

std::size_t readFull(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(data);
    std::size_t total = 0;
    while (total < size) {
        const std::size_t got = readSome(fd, bytes + total, size - total);
        if (got == 0) {
            break;
        }
        total += got;
    }
    return total;
}

void fsync(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            throwLastError();
        }
    }
}

int tryFsyncDirectory(int directoryFd) noexcept {
    while (::fsync(directoryFd) != 0) {
        if (errno == EINVAL) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

void fsyncDirectory(int directoryFd) {
    if (const int error = tryFsyncDirectory(directoryFd); error != 0) {
        throwErrno(error);
    }
}

void raiseOpenFileLimit() noexcept {
    static const bool raised = [] {
        struct rlimit limit {};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) {
            return false;
        }
        limit.rlim_cur = limit.rlim_max;
        return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }();
    static_cast<void>(raised);
}

}  // namespace tolvane::posix
