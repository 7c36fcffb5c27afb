#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "core/common/UniqueFd.h"

// Helpers shared by the fuzz targets. They use plain system calls rather than the code under
// test, so a fault there cannot hide itself by also breaking the checks.
namespace tolvane::fuzz {

// Ends the run the way libFuzzer records as a crash, saving the input that caused it.
[[noreturn]] inline void fail(const char* file, int line, const std::string& message) {
    std::fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, message.c_str());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_REQUIRE(condition)                                    \
    do {                                                           \
        if (!(condition)) {                                        \
            ::tolvane::fuzz::fail(__FILE__, __LINE__, #condition); \
        }                                                          \
    } while (false)

// For an exception the target's contract does not allow.
[[noreturn]] inline void unexpected(const char* file, int line, const std::exception& error) {
    fail(file, line,
         std::string("unexpected exception ") + typeid(error).name() + ": " + error.what());
}

#define FUZZ_UNEXPECTED(error) ::tolvane::fuzz::unexpected(__FILE__, __LINE__, error)

inline std::string_view bytesOf(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

inline void writeEverything(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            fail(__FILE__, __LINE__, std::string("write: ") + std::strerror(errno));
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

// An anonymous in-memory file holding `bytes`, positioned at its start.
inline UniqueFd memoryFile(std::string_view bytes) {
    UniqueFd fd(::memfd_create("tolvane-fuzz", MFD_CLOEXEC));
    if (!fd) {
        fail(__FILE__, __LINE__, std::string("memfd_create: ") + std::strerror(errno));
    }
    writeEverything(fd.get(), bytes);
    if (::lseek(fd.get(), 0, SEEK_SET) != 0) {
        fail(__FILE__, __LINE__, std::string("lseek: ") + std::strerror(errno));
    }
    return fd;
}

inline void writeFile(const std::string& path, std::string_view bytes) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd) {
        fail(__FILE__, __LINE__, "create " + path + ": " + std::strerror(errno));
    }
    writeEverything(fd.get(), bytes);
}

// What a removed tree held.
struct TreeCensus {
    std::uint64_t directories = 0;
    std::uint64_t regularFiles = 0;
    std::uint64_t regularBytes = 0;
    std::uint64_t symbolicLinks = 0;
    std::uint64_t others = 0;
    std::vector<std::string> rootNames;
};

namespace detail {

// Empties the directory, counting what it held. Directories are made accessible first, so
// whatever permissions an unpack restored cannot keep the tree alive.
inline void emptyDirectory(int directoryFd, TreeCensus& census, bool isRoot) {
    const int listFd = ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0) {
        fail(__FILE__, __LINE__, std::string("open directory: ") + std::strerror(errno));
    }
    DIR* listing = ::fdopendir(listFd);
    if (listing == nullptr) {
        ::close(listFd);
        fail(__FILE__, __LINE__, std::string("fdopendir: ") + std::strerror(errno));
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(listing);

    for (const std::string& name : names) {
        if (isRoot) {
            census.rootNames.push_back(name);
        }
        struct stat status {};
        if (::fstatat(directoryFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            fail(__FILE__, __LINE__, "stat " + name + ": " + std::strerror(errno));
        }
        if (S_ISDIR(status.st_mode)) {
            ++census.directories;
            ::fchmodat(directoryFd, name.c_str(), 0700, 0);
            const UniqueFd child(::openat(directoryFd, name.c_str(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!child) {
                fail(__FILE__, __LINE__, "open " + name + ": " + std::strerror(errno));
            }
            emptyDirectory(child.get(), census, false);
            if (::unlinkat(directoryFd, name.c_str(), AT_REMOVEDIR) != 0) {
                fail(__FILE__, __LINE__, "rmdir " + name + ": " + std::strerror(errno));
            }
            continue;
        }
        if (S_ISREG(status.st_mode)) {
            ++census.regularFiles;
            census.regularBytes += static_cast<std::uint64_t>(status.st_size);
        } else if (S_ISLNK(status.st_mode)) {
            ++census.symbolicLinks;
        } else {
            ++census.others;
        }
        if (::unlinkat(directoryFd, name.c_str(), 0) != 0) {
            fail(__FILE__, __LINE__, "unlink " + name + ": " + std::strerror(errno));
        }
    }
}

}  // namespace detail

// Removes everything inside `directory` (never following a link) and says what was there.
inline TreeCensus emptyDirectory(const std::string& directory) {
    TreeCensus census;
    const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        fail(__FILE__, __LINE__, "open " + directory + ": " + std::strerror(errno));
    }
    detail::emptyDirectory(fd.get(), census, true);
    return census;
}

// The names directly inside `directory`.
inline std::vector<std::string> listNames(const std::string& directory) {
    std::vector<std::string> names;
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) {
        fail(__FILE__, __LINE__, "opendir " + directory + ": " + std::strerror(errno));
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    ::closedir(listing);
    return names;
}

// A directory of this process under $TMPDIR (or /tmp), removed when the process exits
// normally. A crash leaves it for inspection.
inline const std::string& processDirectory() {
    static const std::string path = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base == '/' ? base : "/tmp") + "/tolvane-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail(__FILE__, __LINE__, "mkdtemp " + pattern + ": " + std::strerror(errno));
        }
        return pattern;
    }();
    static const bool registered = [] {
        std::atexit([] {
            emptyDirectory(path);
            ::rmdir(path.c_str());
        });
        return true;
    }();
    (void)registered;
    return path;
}

}  // namespace tolvane::fuzz
