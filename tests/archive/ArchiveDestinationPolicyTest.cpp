#include "core/archive/ArchiveDestinationPolicy.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>

#include "support/Outcome.h"
#include "support/SmallVolume.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Policy = ArchiveDestinationPolicy;
namespace fs = std::filesystem;
using Bytes = std::optional<std::uint64_t>;

// FAT is capped whatever it reports; compression needs more than the 16 MiB reserve on a
// writable volume; the strong mode is for files capped below 4 GiB and for sources of at least
// three quarters of the free space. Each row: type, file limit, label, may compress, mode.
TEST(ArchiveDestinationPolicyTest, Decisions) {
    const std::uint64_t cap = 0xFFFFFFFF, max = UINT64_MAX, reserve = 16 << 20;
    const std::tuple<Policy, Bytes, std::string> cases[] = {
        {Policy("VFAT", {}, 5, false), {}, "msdos 4294967295 FAT no 1"},
        {Policy("msdos", 1000, 5, false), {}, "msdos 1000 FAT no 1"},
        {Policy("msdos", cap + 1, 5, false), {}, "msdos 4294967295 FAT no 1"},
        {Policy("ExFAT", 0, reserve, false), {}, "exfat - exFAT no 0"},
        {Policy("ext4", cap, reserve + 1, false), {}, "ext4 4294967295 외장 장치 yes 1"},
        {Policy("ext4", cap + 1, max, true), {}, "ext4 4294967296 외장 장치 no 0"},
        {Policy("ext4", {}, {}, false), max, "ext4 - 외장 장치 no 0"},
        {Policy("ext4", {}, 1000, false), 750, "ext4 - 외장 장치 no 1"},
        {Policy("ext4", {}, 1000, false), 749, "ext4 - 외장 장치 no 0"},
        {Policy("ext4", {}, max, false), max, "ext4 - 외장 장치 yes 1"},
    };
    for (const auto& [policy, source, expected] : cases) {
        const auto text = [](Bytes bytes) { return bytes ? std::to_string(*bytes) : "-"; };
        EXPECT_EQ(
            policy.fileSystem + " " + text(policy.maximumFileBytes) + " " + policy.displayName() +
                (policy.canAttemptCompression() ? " yes " : " no ") +
                std::to_string(policy.compressionMode(source) == ArchiveCompressionMode::maximum),
            expected);
    }
    EXPECT_EQ(Policy::availableBytesFromBlocks(max / 4096 + 1, 4096), std::nullopt);
}

// A directory's type comes from the mount table by device (the mount id matches nothing); a
// mount point that cannot be opened (here: it does not exist) is described from the table
// alone; any other path keeps the open's own error. Each row: type, ro/rw, space known.
TEST(ArchiveDestinationPolicyTest, ReadsTheVolumeOfAPath) {
    test::TempDir dir;
    struct stat st {};
    ASSERT_EQ(::stat(dir.path().c_str(), &st), 0);
    const std::string device =
        std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    test::writeFile(dir.file("fat"), "4000000000 1 " + device + " / / rw - vfat /dev/sdz1 rw\n");
    test::writeFile(dir.file("exfat"),
                    "30 1 8:33 / " + dir.file("usb") + " ro - exfat /dev/sdc1 rw\n");
    test::writeFile(dir.file("cwd"),
                    "31 1 8:34 / " + fs::current_path().string() + " rw - ext4 /dev/sdd1 rw\n");
    const test::SmallVolume readOnly(dir.file("ro"), "1m", true);
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {dir.path(), "fat", "msdos rw 1"},
        {dir.path(), "none", " rw 1"},
        {dir.file("usb"), "exfat", "exfat ro 0"},
        {dir.file("x/../usb/"), "exfat", "exfat ro 0"},
        {dir.file("usb/inner"), "exfat", "errno ENOENT"},
        {dir.file("fat"), "exfat", "errno ENOTDIR"},
        {"", "cwd", "errno ENOENT"},  // never the working directory
        {readOnly.path(), "none", readOnly.mounted() ? " ro 1" : " rw 1"},
    };
    for (const auto& [path, table, expected] : cases) {
        std::string facts;
        const std::string outcome = test::outcomeOf([&] {
            const Policy policy = Policy::read(path, dir.file(table));
            facts = policy.fileSystem + (policy.isReadOnly ? " ro " : " rw ") +
                    std::to_string(policy.availableBytes.has_value());
        });
        EXPECT_EQ(outcome == "ok" ? facts : outcome, expected) << path;
    }
    EXPECT_NE(Policy::read(dir.path()).fileSystem, "");
    if (!readOnly.mounted()) {
        GTEST_SKIP() << "read-only volume: " << readOnly.error();
    }
}

}  // namespace
}  // namespace tolvane
