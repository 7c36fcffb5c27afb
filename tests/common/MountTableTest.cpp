#include "core/common/MountTable.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

// A bind mount, a read-only FAT stick with a spaced label, every escape, tags, a stacked mount.
const std::string desktopTable =
    "27 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw,errors=remount-ro\n"
    "40 27 8:1 /srv/data /mnt/bind\\040copy rw shared:1 master:2 - ext4 /dev/sda1 rw\n"
    "41 27 8:17 / /media/user/MY\\040USB ro,nosuid - vfat /dev/sdb1 rw,fmask=0022\n"
    "42 27 0:50 / /mnt/tab\\011nl\\012back\\134 rw - tmpfs tmpfs rw\n"
    "43 27 7:0 / /snap/core rw - squashfs /dev/loop0 ro\n"
    "44 27 0:51 / /stack rw - overlay first rw,lowerdir=/a\\054b\n"
    "45 44 0:52 / /stack rw - ext4 second rw\n";

TEST(MountTableTest, ParsesAndFinds) {
    const std::vector<MountEntry> entries = MountTable::parse(desktopTable);
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(entries[1].root + "|" + entries[1].mountPoint, "/srv/data|/mnt/bind copy");
    EXPECT_EQ(entries[1].optionalFields, (std::vector<std::string>{"shared:1", "master:2"}));
    EXPECT_EQ(entries[2].major * 100 + entries[2].minor, 817u);
    EXPECT_EQ(entries[3].mountPoint, "/mnt/tab\tnl\nback\\");
    EXPECT_EQ(entries[5].superOptions, (std::vector<std::string>{"rw", "lowerdir=/a,b"}));
    // "ro" on the mount or on the file system; "errors=remount-ro" is not "ro".
    EXPECT_EQ(
        std::vector<bool>({entries[0].isReadOnly, entries[2].isReadOnly, entries[4].isReadOnly}),
        std::vector<bool>({false, true, true}));
    const std::string good = "27 1 8:1 / / rw - ext4 /dev/sda1 rw";
    for (const char* line :
         {"garbage", "50 27 0:52 / /x rw shared:1 tmpfs tmpfs rw",
          "50 27 0:52 / /x rw - tmpfs tmpfs", "-1 27 0:52 / /x rw - tmpfs tmpfs rw",
          "50 27 052 / /x rw - tmpfs tmpfs rw", "50 27 99999999999:0 / /x rw - tmpfs tmpfs rw",
          "50 27 0:52 / /x\\04 rw - tmpfs tmpfs rw", "50 27 0:52 / /x\\400 rw - t t rw",
          "50 27 0:52 / /x\\000 rw - tmpfs tmpfs rw", "50 27 0:52 /  rw - tmpfs t rw"}) {
        EXPECT_EQ(MountTable::parse(good + "\n" + line + "\n" + good).size(), 2u) << line;
    }
    using namespace MountTable;
    // Without a path hint the device's last mount; of a stack, the one on top.
    std::string found;
    for (const std::optional<MountEntry>& entry :
         {findByDevice(entries, 8, 1, "/mnt/bind copy/file.txt"),
          findByDevice(entries, 8, 1, "/mnt/bind copyX/file.txt"), findByDevice(entries, 8, 1, ""),
          findByDevice(entries, 8, 2, "/"), findById(entries, 41),
          findByMountPoint(entries, "/stack"), findByMountPoint(entries, "/media/user/MY USB/")}) {
        found += entry ? std::to_string(entry->mountId) + " " : "- ";
    }
    EXPECT_EQ(found, "40 27 40 - 41 45 - ");
}

}  // namespace
}  // namespace tolvane
