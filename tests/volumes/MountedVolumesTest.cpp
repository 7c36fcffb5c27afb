#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "platform/volumes/MountWatcher.h"
#include "platform/volumes/MountedVolumes.h"
#include "support/SmallVolume.h"
#include "support/TempDir.h"

namespace tolvane::test {
namespace {

// Creates files, folders ("name/") and symbolic links ("-> target") with the folders above.
void makeFiles(const std::string& root,
               const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [path, content] : files) {
        const std::filesystem::path full = root + "/" + path;
        std::filesystem::create_directories(path.ends_with('/') ? full : full.parent_path());
        if (content.starts_with("-> ")) {
            std::filesystem::create_symlink(content.substr(3), full);
        } else if (!path.ends_with('/')) {
            writeFile(full, content);
        }
    }
}

TEST(MountedVolumes, ScanNamesVolumesByLabelAndUUIDAndLeavesInternalDisksOut) {
    TempDir dir;
    makeFiles(dir.path(), {{"sys/devices/usb1/1-1/block/sdb/sdb1/partition", "1\n"},
                           {"sys/devices/pci/ata1/block/sda/sda1/partition", "1\n"},
                           {"sys/devices/pci/ata2/block/sdc/removable", "1\n"},
                           {"sys/devices/pci/ata2/block/sdc/sdc1/partition", "1\n"},
                           {"sys/dev/block/8:17", "-> ../../devices/usb1/1-1/block/sdb/sdb1"},
                           {"sys/dev/block/8:1", "-> ../../devices/pci/ata1/block/sda/sda1"},
                           {"sys/dev/block/8:33", "-> ../../devices/pci/ata2/block/sdc/sdc1"},
                           {"by-uuid/1234-ABCD", "-> /dev/sdb1"},
                           {"by-uuid/internal-uuid", "-> /dev/sda1"},
                           {"by-label/My\\x20Stick", "-> /dev/sdb1"}});
    writeFile(dir.file("mountinfo"),
              "30 27 8:1 / /media/u/internal rw - ext4 /dev/sda1 rw\n"
              "31 27 8:17 / /media/u/My\\040Stick rw - vfat /dev/sdb1 rw\n"
              "32 27 8:33 / /run/media/u/CARD ro - exfat /dev/sdc1 ro\n"
              "33 27 0:40 / /media/u/hung rw - nfs4 server:/x rw\n"
              "35 27 0:42 / /media/u/ram rw - tmpfs /dev/shm-like rw\n"
              "36 27 0:43 / /media/u/ssh rw - fuse.sshfs /dev/x rw\n"
              "37 27 8:18 / /boot/efi rw - vfat /dev/sdb2 rw\n"
              "39 27 8:20 / /media/u/hidden rw - vfat /dev/sdb4 rw\n"
              "40 27 0:44 / /media/u/hidden rw - tmpfs tmpfs rw\n");
    VolumeSystemPaths paths{dir.file("mountinfo"), dir.file("by-uuid"), dir.file("by-label"),
                            dir.file("sys/dev/block")};

    const auto volumes = MountedVolumes::scan(paths);
    ASSERT_EQ(volumes.size(), 2u);
    // The mount points do not exist here; the policy is described from the table alone.
    std::vector<std::tuple<std::string, std::string, std::optional<std::string>, bool, std::string>>
        seen;
    for (const MountedVolume& v : volumes) {
        seen.emplace_back(v.mountPoint, v.name, v.uuid, v.isReadOnly,
                          v.policy ? v.policy->fileSystem : "-");
    }
    EXPECT_EQ(seen, (decltype(seen){{"/media/u/My Stick", "My Stick", "1234-ABCD", false, "msdos"},
                                    {"/run/media/u/CARD", "CARD", std::nullopt, true, "exfat"}}));
}

TEST(MountedVolumes, TheDiskManagersWordDecidesForTheDisksItKnowsAndSysfsForTheRest) {
    // nvme0n1 is an NVMe disk in a Thunderbolt enclosure and sda a SATA disk: both look fixed to
    // sysfs. sdb hangs off USB.
    TempDir dir;
    makeFiles(dir.path(),
              {{"sys/devices/pci/tb/nvme/nvme0n1/nvme0n1p1/partition", "1\n"},
               {"sys/devices/pci/ata1/block/sda/sda1/partition", "1\n"},
               {"sys/devices/usb1/1-1/block/sdb/sdb1/partition", "1\n"},
               {"sys/dev/block/259:1", "-> ../../devices/pci/tb/nvme/nvme0n1/nvme0n1p1"},
               {"sys/dev/block/8:1", "-> ../../devices/pci/ata1/block/sda/sda1"},
               {"sys/dev/block/8:17", "-> ../../devices/usb1/1-1/block/sdb/sdb1"}});
    writeFile(dir.file("mountinfo"),
              "30 27 259:1 / /media/u/NVME rw - exfat /dev/nvme0n1p1 rw\n"
              "31 27 8:1 / /media/u/SATA rw - ext4 /dev/sda1 rw\n"
              "32 27 8:17 / /media/u/USB rw - vfat /dev/sdb1 rw\n");
    const VolumeSystemPaths paths{dir.file("mountinfo"), dir.file("by-uuid"), dir.file("by-label"),
                                  dir.file("sys/dev/block")};
    const std::uint64_t nvme = makedev(259, 1), sata = makedev(8, 1), usb = makedev(8, 17);

    using Hints = std::optional<MountedVolumes::SystemDiskHints>;
    const struct {
        const char* name;
        Hints hints;
        std::vector<std::string> listed;
    } cases[] = {
        {"no disk manager", std::nullopt, {"USB"}},
        {"it knows none of them", MountedVolumes::SystemDiskHints{}, {"USB"}},
        {"enclosed disks are not system disks",
         Hints({{nvme, false}, {sata, false}}),
         {"NVME", "SATA", "USB"}},
        {"only what it says about each", Hints({{nvme, false}, {sata, true}}), {"NVME", "USB"}},
        {"a disk it marks as the system's stays out", Hints({{usb, true}}), {}},
        {"a hint for another device changes nothing", Hints({{makedev(8, 2), false}}), {"USB"}},
    };
    for (const auto& c : cases) {
        int asked = 0;
        const auto volumes = MountedVolumes::scan(paths, [&] {
            ++asked;
            return c.hints;
        });
        std::vector<std::string> names;
        for (const MountedVolume& v : volumes) {
            names.push_back(v.name);
        }
        EXPECT_EQ(names, c.listed) << c.name;
        EXPECT_EQ(asked, 1) << c.name;
    }

    // Without a candidate mount the disk manager is not asked at all.
    writeFile(dir.file("mountinfo"), "31 27 8:1 / / rw - ext4 /dev/sda1 rw\n");
    bool asked = false;
    EXPECT_TRUE(MountedVolumes::scan(paths, [&] {
                    asked = true;
                    return Hints();
                }).empty());
    EXPECT_FALSE(asked);
}

TEST(MountedVolumes, LinkFolderMapsDevicesToDecodedNamesAndFoldersToTheirUUID) {
    TempDir dir;
    makeFiles(dir.path(), {{"dev/", ""},
                           {"disk/by-uuid/1234-ABCD", "-> ../../dev/vdz"},
                           {"disk/by-uuid/a\\x2fb\\x5cx\\xZZ", "-> /dev/sdb1"}});
    const auto links = MountedVolumes::linksByDevice(dir.file("disk/by-uuid"));
    EXPECT_EQ(links, (std::map<std::string, std::string>{{dir.file("dev/vdz"), "1234-ABCD"},
                                                         {"/dev/sdb1", "a/b\\x\\xZZ"}}));
    EXPECT_TRUE(MountedVolumes::linksByDevice(dir.file("missing")).empty());

    // Any folder on the file system mounted from that device has its UUID.
    struct stat status {};
    ASSERT_EQ(::stat(dir.path().c_str(), &status), 0);
    const std::string device =
        std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
    writeFile(dir.file("mountinfo"), "1 0 " + device + " / / rw - ext4 " + dir.file("dev/vdz") +
                                         " rw\n9 1 0:99 / /other rw - tmpfs tmpfs rw\n");
    VolumeSystemPaths paths;
    paths.mountTable = dir.file("mountinfo");
    paths.diskByUUID = dir.file("disk/by-uuid");
    EXPECT_EQ(MountedVolumes::volumeUUID(dir.file("dev"), paths), "1234-ABCD");
    EXPECT_THROW(MountedVolumes::volumeUUID(dir.file("missing"), paths), std::system_error);
}

TEST(MountWatcher, ReportsATmpfsMountAndUnmountOnce) {
    TempDir dir;
    const std::string root = dir.path();
    MountWatcher watcher(
        {}, [&root](const MountEntry& entry) { return entry.mountPoint.starts_with(root + "/"); });
    ASSERT_TRUE(watcher.isWatching());
    QSignalSpy mounted(&watcher, &MountWatcher::didMount);
    QSignalSpy unmounted(&watcher, &MountWatcher::didUnmount);
    const QString point = QString::fromStdString(dir.file("stick"));
    {
        SmallVolume volume(dir.file("stick"), "1m");
        if (!volume.mounted()) {
            GTEST_SKIP() << "cannot mount a tmpfs here: " << volume.error();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return mounted.count() > 0; }, 60000));
        EXPECT_EQ(mounted.takeFirst().value(0).toString(), point);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return unmounted.count() > 0; }, 60000));
    EXPECT_EQ(unmounted.takeFirst().value(0).toString(), point);
    EXPECT_EQ(mounted.count(), 0);
}

}  // namespace
}  // namespace tolvane::test
