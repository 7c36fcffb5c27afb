#include "core/archive/ArchiveDestinationPolicy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchiveValues.h"
#include "core/common/MountTable.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Policy = ArchiveDestinationPolicy;
using Mode = ArchiveCompressionMode;
using Bytes = std::optional<std::uint64_t>;

constexpr std::uint64_t mib16 = 16u * 1024 * 1024;
constexpr std::uint64_t gib4 = std::uint64_t{1} << 32;
constexpr std::uint64_t fatCap = 4'294'967'295;
constexpr std::uint64_t u64max = std::numeric_limits<std::uint64_t>::max();

TEST(ArchiveDestinationPolicyTest, ConstructorNormalisesNameAndLimit) {
    struct Case {
        std::string fileSystem;
        Bytes limit;
        std::string expectedFileSystem;
        Bytes expectedLimit;
    };
    const Case cases[] = {
        {"MSDOS", std::nullopt, "msdos", fatCap},
        {"msdos", 0, "msdos", fatCap},
        {"msdos", 1000, "msdos", 1000},
        {"msdos", fatCap, "msdos", fatCap},
        {"msdos", gib4, "msdos", fatCap},
        {"vfat", std::nullopt, "msdos", fatCap},
        {"ExFAT", 0, "exfat", std::nullopt},
        {"ext4", u64max, "ext4", u64max},
        {"APFS", std::nullopt, "apfs", std::nullopt},
    };
    for (const Case& c : cases) {
        const Policy policy(c.fileSystem, c.limit, 5, false);
        EXPECT_EQ(policy.fileSystem, c.expectedFileSystem) << c.fileSystem;
        EXPECT_EQ(policy.maximumFileBytes, c.expectedLimit) << c.fileSystem;
    }
    EXPECT_EQ(Policy("VFAT", 0, 5, false), Policy("msdos", std::nullopt, 5, false));
    EXPECT_NE(Policy("ext4", std::nullopt, 5, false), Policy("ext4", std::nullopt, 5, true));
    EXPECT_NE(Policy("ext4", std::nullopt, 5, false), Policy("ext4", std::nullopt, 6, false));
}

TEST(ArchiveDestinationPolicyTest, CompressionNeedsMoreThanTheReserveOnAWritableVolume) {
    struct Case {
        Bytes available;
        bool readOnly;
        bool expected;
    };
    const Case cases[] = {
        {std::nullopt, false, false}, {0, false, false},     {mib16, false, false},
        {mib16 + 1, false, true},     {u64max, false, true}, {u64max, true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Policy("ext4", std::nullopt, c.available, c.readOnly).canAttemptCompression(),
                  c.expected)
            << c.available.value_or(0) << " read-only " << c.readOnly;
    }
}

TEST(ArchiveDestinationPolicyTest, CompressionModeRules) {
    struct Case {
        std::string fileSystem;
        Bytes limit;
        Bytes available;
        Bytes source;
        Mode expected;
    };
    const Case cases[] = {
        {"ext4", fatCap, std::nullopt, std::nullopt, Mode::maximum},
        {"ext4", gib4, std::nullopt, std::nullopt, Mode::balanced},
        // FAT without a reported limit still gets the cap, whatever the source.
        {"msdos", std::nullopt, u64max, 1, Mode::maximum},
        {"ext4", 0, u64max, std::nullopt, Mode::balanced},
        {"ext4", std::nullopt, 1000, std::nullopt, Mode::balanced},
        {"ext4", std::nullopt, 1000, 750, Mode::maximum},
        {"ext4", std::nullopt, 1000, 749, Mode::balanced},
        {"ext4", gib4, 1000, 750, Mode::maximum},
        {"ext4", std::nullopt, std::nullopt, u64max, Mode::balanced},
        {"ext4", std::nullopt, 0, 0, Mode::maximum},
        {"ext4", std::nullopt, u64max, u64max, Mode::maximum},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Policy(c.fileSystem, c.limit, c.available, false).compressionMode(c.source),
                  c.expected)
            << c.fileSystem << " limit " << c.limit.value_or(0) << " available "
            << c.available.value_or(0) << " source " << c.source.value_or(0);
    }
}

TEST(ArchiveDestinationPolicyTest, DisplayNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"msdos", "FAT"},      {"vfat", "FAT"},       {"exfat", "exFAT"},
        {"APFS", "APFS"},      {"hfs", "HFS+"},       {"hfsplus", "HFS+"},
        {"ntfs", "외장 장치"}, {"ext4", "외장 장치"}, {"", "외장 장치"},
    };
    for (const auto& [fileSystem, expected] : cases) {
        EXPECT_EQ(Policy(fileSystem, std::nullopt, std::nullopt, false).displayName(), expected)
            << fileSystem;
    }
}

TEST(ArchiveDestinationPolicyTest, AvailableBytesAbsentOnOverflow) {
    EXPECT_EQ(Policy::availableBytesFromBlocks(0, 4096), Bytes{0});
    EXPECT_EQ(Policy::availableBytesFromBlocks(u64max, 1), Bytes{u64max});
    EXPECT_EQ(Policy::availableBytesFromBlocks(u64max / 4096, 4096), Bytes{u64max / 4096 * 4096});
    EXPECT_EQ(Policy::availableBytesFromBlocks(u64max / 4096 + 1, 4096), std::nullopt);
}

void expectErrno(const std::string& path, const std::string& table, int expected) {
    try {
        Policy::read(path, table);
        ADD_FAILURE() << "no error for " << path;
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::error_code(expected, std::generic_category())) << path;
    }
}

TEST(ArchiveDestinationPolicyTest, ReadsARealDirectory) {
    test::TempDir dir;
    const Policy policy = Policy::read(dir.path());
    EXPECT_FALSE(policy.fileSystem.empty());
    EXPECT_TRUE(policy.availableBytes.has_value());
    EXPECT_FALSE(policy.isReadOnly);

    expectErrno(dir.file("missing"), MountTable::defaultPath, ENOENT);
    test::writeFile(dir.file("plain"), "x");
    expectErrno(dir.file("plain"), MountTable::defaultPath, ENOTDIR);
    expectErrno("", MountTable::defaultPath, ENOENT);
}

TEST(ArchiveDestinationPolicyTest, ReadTakesTheTypeFromTheMountTable) {
    test::TempDir dir;
    const UniqueFd fd = posix::open(dir.path(), O_RDONLY | O_DIRECTORY);
    const struct stat status = posix::fstat(fd.get());
    // A mount id no real mount has, so the entry is found by the device.
    test::writeFile(dir.file("mountinfo"), "4000000000 1 " + std::to_string(major(status.st_dev)) +
                                               ":" + std::to_string(minor(status.st_dev)) +
                                               " / / rw - vfat /dev/sdz1 rw\n");
    const Policy fat = Policy::read(dir.path(), dir.file("mountinfo"));
    EXPECT_EQ(fat.fileSystem, "msdos");
    EXPECT_EQ(fat.maximumFileBytes, Bytes{fatCap});
    EXPECT_TRUE(fat.availableBytes.has_value());

    // Without a usable table the volume is still described, its type unknown.
    const Policy unknown = Policy::read(dir.path(), dir.file("no-table"));
    EXPECT_EQ(unknown.fileSystem, "");
    EXPECT_EQ(unknown.maximumFileBytes, std::nullopt);
    EXPECT_TRUE(unknown.availableBytes.has_value());
}

TEST(ArchiveDestinationPolicyTest, UnopenableMountPointIsDescribedFromTheTable) {
    test::TempDir dir;
    // A mount point that cannot be opened (here: it does not exist in this namespace).
    const std::string mountPoint = dir.file("gone/USB STICK");
    std::string escaped;
    for (const char c : mountPoint) {
        escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
    }
    test::writeFile(dir.file("mountinfo"),
                    "30 1 8:33 / " + escaped + " ro,nosuid - exfat /dev/sdc1 rw\n");

    const Policy expected("exfat", std::nullopt, std::nullopt, true);
    for (const std::string& path : {mountPoint, mountPoint + "/", dir.file("gone/./USB STICK"),
                                    dir.file("gone/x/../USB STICK//")}) {
        EXPECT_EQ(Policy::read(path, dir.file("mountinfo")), expected) << path;
    }

    // Only the mount point itself is described; the open's own error is kept otherwise.
    expectErrno(mountPoint + "/inner", dir.file("mountinfo"), ENOENT);
    expectErrno(dir.file("gone"), dir.file("mountinfo"), ENOENT);
    expectErrno(mountPoint, dir.file("no-table"), ENOENT);
}

}  // namespace
}  // namespace tolvane
