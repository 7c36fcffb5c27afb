#include "core/archive/ArchiveDestinationPolicy.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>

#include "core/archive/ArchiveValues.h"
#include "support/Outcome.h"
#include "support/SmallVolume.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Policy = ArchiveDestinationPolicy;
using Mode = ArchiveCompressionMode;
using Bytes = std::optional<std::uint64_t>;

constexpr std::uint64_t fatCap = 4'294'967'295;
constexpr std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t reserve = 16u << 20;

// What a policy derives, in one line: type, file limit, label, whether compression may be
// attempted, and the mode for a source of the given size.
std::string decisions(const Policy& policy, Bytes source) {
    const auto text = [](Bytes bytes) { return bytes ? std::to_string(*bytes) : "-"; };
    return policy.fileSystem + " " + text(policy.maximumFileBytes) + " " + policy.displayName() +
           (policy.canAttemptCompression() ? " yes " : " no ") +
           (policy.compressionMode(source) == Mode::maximum ? "maximum" : "balanced");
}

// FAT is capped whatever it reports; compression needs more than the reserve on a writable
// volume; the strong mode is for files capped below 4 GiB and for sources of at least three
// quarters of the free space.
TEST(ArchiveDestinationPolicyTest, Decisions) {
    const std::tuple<Policy, Bytes, std::string> cases[] = {
        {Policy("VFAT", {}, 5, false), {}, "msdos 4294967295 FAT no maximum"},
        {Policy("msdos", 0, 5, false), {}, "msdos 4294967295 FAT no maximum"},
        {Policy("msdos", 1000, 5, false), {}, "msdos 1000 FAT no maximum"},
        {Policy("msdos", fatCap + 1, 5, false), {}, "msdos 4294967295 FAT no maximum"},
        {Policy("ExFAT", 0, reserve, false), {}, "exfat - exFAT no balanced"},
        {Policy("ext4", fatCap, reserve + 1, false), {}, "ext4 4294967295 외장 장치 yes maximum"},
        {Policy("ext4", fatCap + 1, max64, true), {}, "ext4 4294967296 외장 장치 no balanced"},
        {Policy("ext4", {}, {}, false), max64, "ext4 - 외장 장치 no balanced"},
        {Policy("ext4", {}, 1000, false), 750, "ext4 - 외장 장치 no maximum"},
        {Policy("ext4", {}, 1000, false), 749, "ext4 - 외장 장치 no balanced"},
        {Policy("ext4", max64, max64, false), max64,
         "ext4 18446744073709551615 외장 장치 yes maximum"},
    };
    for (const auto& [policy, source, expected] : cases) {
        EXPECT_EQ(decisions(policy, source), expected);
    }
    EXPECT_EQ(Policy::availableBytesFromBlocks(max64 / 4096, 4096), Bytes{max64 / 4096 * 4096});
    EXPECT_EQ(Policy::availableBytesFromBlocks(max64 / 4096 + 1, 4096), std::nullopt);
}

// The facts read for a path, in one line: type, "ro"/"rw", whether the free space is known.
std::string readFacts(const std::string& path, const std::string& table) {
    std::string facts;
    const std::string outcome = test::outcomeOf([&] {
        const Policy policy = Policy::read(path, table);
        facts = policy.fileSystem + (policy.isReadOnly ? " ro" : " rw") +
                (policy.availableBytes ? " space" : " -");
    });
    return outcome == "ok" ? facts : outcome;
}

// An open directory's type comes from the table by device (the mount id matches nothing); a
// mount point that cannot be opened (here: it does not exist) is described from the table
// alone; any other path keeps the open's own error.
TEST(ArchiveDestinationPolicyTest, ReadsTheVolumeOfAPath) {
    test::TempDir dir;
    EXPECT_NE(Policy::read(dir.path()).fileSystem, "");
    struct stat st {};
    ASSERT_EQ(::stat(dir.path().c_str(), &st), 0);
    const std::string device =
        std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    test::writeFile(dir.file("fat"), "4000000000 1 " + device + " / / rw - vfat /dev/sdz1 rw\n");
    const std::string mountPoint = dir.file("gone/USB STICK");
    test::writeFile(dir.file("exfat"), "30 1 8:33 / " + dir.file("gone/USB\\040STICK") +
                                           " ro,nosuid - exfat /dev/sdc1 rw\n");
    test::writeFile(dir.file("plain"), "x");
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {dir.path(), "fat", "msdos rw space"},
        {dir.path(), "none", " rw space"},
        {mountPoint, "exfat", "exfat ro -"},
        {dir.file("gone/x/../USB STICK//"), "exfat", "exfat ro -"},
        {mountPoint + "/inner", "exfat", "errno ENOENT"},
        {dir.file("gone"), "exfat", "errno ENOENT"},
        {mountPoint, "none", "errno ENOENT"},
        {dir.file("plain"), "exfat", "errno ENOTDIR"},
        {"", "exfat", "errno ENOENT"},
    };
    for (const auto& [path, table, expected] : cases) {
        EXPECT_EQ(readFacts(path, dir.file(table)), expected) << path << " " << table;
    }
    const test::SmallVolume readOnly(dir.file("ro"), "1m", true);
    if (!readOnly.mounted()) {
        GTEST_SKIP() << "read-only volume: " << readOnly.error();
    }
    EXPECT_EQ(readFacts(readOnly.path(), dir.file("none")), " ro space");
}

}  // namespace
}  // namespace tolvane
