#include "core/common/MountTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

// A table like a desktop's: a root file system bind-mounted elsewhere, a FAT stick with a space
// in its label mounted read-only, names with every escaped byte, and propagation tags.
const char* const desktopTable =
    "22 27 0:21 / /proc rw,nosuid,relatime - proc proc rw\n"
    "27 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
    "40 27 8:1 /srv/data /mnt/bind\\040copy rw,relatime shared:1 master:2 - ext4 /dev/sda1 rw\n"
    "41 27 8:17 / /media/user/MY\\040USB ro,nosuid,nodev shared:5 - vfat /dev/sdb1 "
    "rw,fmask=0022,uid=1000\n"
    "42 27 0:50 / /mnt/tab\\011nl\\012back\\134 rw - tmpfs tmpfs rw\n"
    "43 27 7:0 / /snap/core rw - squashfs /dev/loop0 ro\n"
    "44 27 0:51 / /mnt/lower rw - overlay overlay rw,lowerdir=/a\\054b\n";

TEST(MountTableTest, ParsesFieldsAroundTheSeparator) {
    const std::vector<MountEntry> entries = MountTable::parse(desktopTable);
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[2], (MountEntry{40,
                                      27,
                                      8,
                                      1,
                                      "/srv/data",
                                      "/mnt/bind copy",
                                      {"rw", "relatime"},
                                      {"shared:1", "master:2"},
                                      "ext4",
                                      "/dev/sda1",
                                      {"rw"},
                                      false}));
    EXPECT_TRUE(entries[0].optionalFields.empty());
    EXPECT_EQ(entries[3].mountPoint, "/media/user/MY USB");
    EXPECT_EQ(entries[4].mountPoint, "/mnt/tab\tnl\nback\\");
    // A comma inside an option value is escaped, so it does not split the option.
    EXPECT_EQ(entries[6].superOptions, (std::vector<std::string>{"rw", "lowerdir=/a,b"}));

    EXPECT_TRUE(entries[3].isReadOnly);   // "ro" on the mount
    EXPECT_TRUE(entries[5].isReadOnly);   // "ro" on the file system only
    EXPECT_FALSE(entries[1].isReadOnly);  // "errors=remount-ro" is not "ro"
}

TEST(MountTableTest, SkipsMalformedLinesAndKeepsTheRest) {
    const std::string good = "27 1 8:1 / / rw - ext4 /dev/sda1 rw";
    const char* const malformed[] = {
        "",
        "garbage",
        "50 27 0:52 / /x rw shared:1 tmpfs tmpfs rw",  // no separator
        "50 27 0:52 / /x rw - tmpfs tmpfs",            // super options missing
        "50 27 0:52 / /x - tmpfs tmpfs rw",            // too few fields before the separator
        "x 27 0:52 / /x rw - tmpfs tmpfs rw",
        "-1 27 0:52 / /x rw - tmpfs tmpfs rw",
        "50 27 052 / /x rw - tmpfs tmpfs rw",
        "50 27 0:5x / /x rw - tmpfs tmpfs rw",
        "50 27 99999999999:0 / /x rw - tmpfs tmpfs rw",
        "50 27 0:52 / /x\\04 rw - tmpfs tmpfs rw",   // truncated escape
        "50 27 0:52 / /x\\9a1 rw - tmpfs tmpfs rw",  // not octal
        "50 27 0:52 / /x\\400 rw - tmpfs tmpfs rw",  // beyond a byte
        "50 27 0:52 / /x\\000 rw - tmpfs tmpfs rw",  // NUL
        "50 27 0:52 / /x\\ rw - tmpfs tmpfs rw",
        "50 27 0:52 /  rw - tmpfs tmpfs rw",  // empty mount point
        "50 27 0:52 / /x rw -  tmpfs rw",     // empty type
        "50 27 0:52 / /x rw - tmpfs tmpfs r\\w",
    };
    for (const char* line : malformed) {
        EXPECT_TRUE(MountTable::parse(line).empty()) << line;
        const std::vector<MountEntry> mixed = MountTable::parse(good + "\n" + line + "\n" + good);
        EXPECT_EQ(mixed.size(), 2u) << line;
    }
}

TEST(MountTableTest, FindsByIdDeviceAndMountPoint) {
    const std::vector<MountEntry> entries =
        MountTable::parse(std::string(desktopTable) +
                          // Two file systems stacked on one mount point: the later one is visible.
                          "60 27 0:60 / /stack rw - tmpfs first rw\n"
                          "61 60 0:61 / /stack rw - ext4 second rw\n");

    EXPECT_EQ(MountTable::findById(entries, 41)->mountPoint, "/media/user/MY USB");
    EXPECT_FALSE(MountTable::findById(entries, 99).has_value());

    struct DeviceCase {
        unsigned int major;
        unsigned int minor;
        std::string hint;
        std::optional<std::uint64_t> mountId;
    };
    const DeviceCase deviceCases[] = {
        {8, 1, "/mnt/bind copy/file.txt", 40},
        {8, 1, "/mnt/bind copy", 40},
        {8, 1, "/mnt/bind copyX/file.txt", 27},  // a longer name is not inside the mount
        {8, 1, "/home/user", 27},
        {8, 1, "", 40},  // no hint: the last mount of the device
        {8, 17, "/elsewhere", 41},
        {8, 2, "/", std::nullopt},
    };
    for (const DeviceCase& c : deviceCases) {
        const auto found = MountTable::findByDevice(entries, c.major, c.minor, c.hint);
        ASSERT_EQ(found.has_value(), c.mountId.has_value()) << c.hint;
        if (found) {
            EXPECT_EQ(found->mountId, *c.mountId) << c.hint;
        }
    }

    EXPECT_EQ(MountTable::findByMountPoint(entries, "/stack")->source, "second");
    EXPECT_EQ(MountTable::findByMountPoint(entries, "/media/user/MY USB")->mountId, 41u);
    EXPECT_FALSE(MountTable::findByMountPoint(entries, "/media/user/MY USB/").has_value());
    EXPECT_FALSE(MountTable::findByMountPoint(entries, "/media/user").has_value());
}

TEST(MountTableTest, FindsTheMountOfAnOpenDirectory) {
    test::TempDir dir;
    const UniqueFd fd = posix::open(dir.path(), O_RDONLY | O_DIRECTORY);

    const std::vector<MountEntry> real = MountTable::read();
    const auto entry = MountTable::findForDescriptor(real, fd.get());
    ASSERT_TRUE(entry.has_value());
    EXPECT_FALSE(entry->fileSystemType.empty());

    // A table whose mount ids mean nothing here still finds the mount by device.
    const struct stat status = posix::fstat(fd.get());
    const std::string line = "4000000000 1 " + std::to_string(major(status.st_dev)) + ":" +
                             std::to_string(minor(status.st_dev)) + " / / rw - vfat /dev/x rw";
    const std::vector<MountEntry> byDevice = MountTable::parse(line);
    const auto other = MountTable::findForDescriptor(byDevice, fd.get());
    ASSERT_TRUE(other.has_value());
    EXPECT_EQ(other->mountId, 4000000000u);
}

TEST(MountTableTest, ReadsATableFileAndReportsAMissingOne) {
    test::TempDir dir;
    test::writeFile(dir.file("mountinfo"), desktopTable);
    EXPECT_EQ(MountTable::read(dir.file("mountinfo")), MountTable::parse(desktopTable));

    try {
        MountTable::read(dir.file("missing"));
        FAIL() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::error_code(ENOENT, std::generic_category()));
    }
}

TEST(MountTableTest, NormalisesFileSystemNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"vfat", "msdos"},  {"VFAT", "msdos"},
        {"msdos", "msdos"}, {"fat", "msdos"},
        {"hfsplus", "hfs"}, {"HfsPlus", "hfs"},
        {"exfat", "exfat"}, {"Btrfs", "btrfs"},
        {"fatx", "fatx"},   {"fuse.sshfs", "fuse.sshfs"},
        {"", ""},
    };
    for (const auto& [type, expected] : cases) {
        EXPECT_EQ(normalizedFileSystemName(type), expected) << type;
    }
}

}  // namespace
}  // namespace tolvane
