#include "core/archive/ArchiveDestinationPolicy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>

#include "core/common/MountTable.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Policy = ArchiveDestinationPolicy;

// Compression needs the 16 MiB reserve on a writable volume; the strong mode is for files capped
// below 4 GiB and sources of 3/4 the free space. Row: type, file limit, label, compress, mode.
TEST(ArchiveDestinationPolicyTest, Decisions) {
    const std::uint64_t cap = 0xFFFFFFFF, max = UINT64_MAX, reserve = 16 << 20;
    const std::tuple<Policy, std::optional<std::uint64_t>, std::string> cases[] = {
        {Policy("VFAT", cap + 1, 5, false), {}, "msdos 4294967295 FAT no max"},
        {Policy("ext4", cap, reserve + 1, false), {}, "ext4 4294967295 외장 장치 yes max"},
        {Policy("ext4", cap + 1, max, true), {}, "ext4 4294967296 외장 장치 no balanced"},
        {Policy("ext4", {}, {}, false), max, "ext4 - 외장 장치 no balanced"},
        {Policy("ext4", {}, 1000, false), 750, "ext4 - 외장 장치 no max"},
        {Policy(fileSystemTypeForMagic(0x4d44), {}, {}, false), {}, "msdos 4294967295 FAT no max"},
    };
    for (const auto& [policy, source, expected] : cases) {
        const auto limit = policy.maximumFileBytes;
        const bool strong = policy.compressionMode(source) == ArchiveCompressionMode::maximum;
        EXPECT_EQ(policy.fileSystem + " " + (limit ? std::to_string(*limit) : "-") + " " +
                      policy.displayName() + (policy.canAttemptCompression() ? " yes" : " no") +
                      (strong ? " max" : " balanced"),
                  expected);
    }
}

// Type from the mount table (unknown without one), a missing mount point from the table alone,
// never the working directory for an empty path. Each row: type, read-only, free space known.
TEST(ArchiveDestinationPolicyTest, ReadsTheVolumeOfAPath) {
    test::TempDir dir;
    const std::string mounts = dir.file("mounts"), none = dir.file("none");
    test::writeFile(mounts,
                    "30 1 8:33 / " + dir.file("usb") + " ro - vfat /dev/sdc1 rw\n31 1 8:34 / " +
                        std::filesystem::current_path().string() + " rw - ext4 /dev/sdd1 rw\n");
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {dir.path(), none, " rw 1"},
        {dir.file("x/../usb/"), mounts, "msdos ro 0"},
        {"", mounts, "errno ENOENT"},
    };
    for (const auto& [path, table, expected] : cases) {
        std::string facts;
        const std::string outcome = test::outcomeOf([&] {
            const Policy policy = Policy::read(path, table);
            facts = policy.fileSystem + (policy.isReadOnly ? " ro " : " rw ") +
                    std::to_string(policy.availableBytes.has_value());
        });
        EXPECT_EQ(outcome == "ok" ? facts : outcome, expected) << path;
    }
}

}  // namespace
}  // namespace tolvane
