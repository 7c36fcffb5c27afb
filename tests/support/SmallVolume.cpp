#include "support/SmallVolume.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

namespace tolvane::test {

SmallVolume::SmallVolume(std::string path, const std::string& size, bool readOnly)
    : path_(std::move(path)) {
    if (::mkdir(path_.c_str(), 0755) != 0 && errno != EEXIST) {
        error_ = std::string("mkdir: ") + std::strerror(errno);
        return;
    }
    const std::string options = "size=" + size;
    if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        error_ = std::string("mount: ") + std::strerror(errno);
        return;
    }
    mounted_ = true;
    // Some kernels refuse a read-only mount of a new tmpfs but allow the remount.
    if (readOnly && ::mount(nullptr, path_.c_str(), nullptr,
                            MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) != 0) {
        error_ = std::string("remount: ") + std::strerror(errno);
        ::umount2(path_.c_str(), MNT_DETACH);
        mounted_ = false;
    }
}

SmallVolume::~SmallVolume() {
    if (mounted_) {
        ::umount2(path_.c_str(), MNT_DETACH);
    }
}

std::uint64_t SmallVolume::usedBlocks() const {
    struct statvfs status {};
    EXPECT_EQ(::statvfs(path_.c_str(), &status), 0);
    return status.f_blocks - status.f_bfree;
}

std::uint64_t SmallVolume::availableBytes() const {
    struct statvfs status {};
    EXPECT_EQ(::statvfs(path_.c_str(), &status), 0);
    return static_cast<std::uint64_t>(status.f_bavail) * status.f_frsize;
}

}  // namespace tolvane::test
