#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchiveUnpack.h"
#include "support/Outcome.h"
#include "support/SmallVolume.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using Names = std::vector<std::string>;

// Pack and unpack into a small tmpfs: a job that does not fit fails with insufficientSpace (or,
// where only the write itself can tell, ENOSPC) and leaves the volume as it found it.
TEST(ArchiveFullDiskTest, JobsThatDoNotFitFailWithoutATrace) {
    enum class Job { pack, unpack, unpackTrustingAnOverstatedVolume };
    struct Case {
        Job job;
        const char* volumeSize;
        std::size_t payloadBytes;  // one incompressible file
        bool nearlyFull;           // someone else's file leaves 8 KiB free
        std::string outcome;
    };
    constexpr std::size_t mebibyte = 1 << 20;
    const std::string full = "insufficientSpace: ";
    const std::vector<Case> cases = {
        {Job::pack, "1m", 300'000, false, full},  // smaller than the working reserve
        {Job::pack, "1m", 1'000, true, full},
        {Job::pack, "20m", 6 * mebibyte, false, full},  // outgrows what the reserve leaves
        {Job::pack, "24m", 300'000, false, "ok"},
        {Job::unpack, "1m", 2 * mebibyte, false, full},
        {Job::unpack, "1m", 1'000, true, full},
        {Job::unpack, "4m", 3 * mebibyte, false, full},  // fits only without the reserve
        {Job::unpackTrustingAnOverstatedVolume, "2m", 3 * mebibyte, false, full},
        {Job::unpack, "8m", 2 * mebibyte, false, "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.volumeSize << " " << c.payloadBytes);
        test::TempDir root;  // outlives the mount on a folder inside it
        const std::string payload = test::randomBytes(c.payloadBytes, c.payloadBytes);
        test::writeFile(root.file("payload.bin"), payload);
        const std::string archive =
            c.job == Job::pack
                ? ""
                : pack({root.file("payload.bin")}, root.file("p.zip"), nullptr).outputURL;
        const test::SmallVolume volume(root.file("volume"), c.volumeSize);
        if (!volume.mounted()) {
            GTEST_SKIP() << "cannot mount a tmpfs here (" << volume.error() << ")";
        }
        if (c.nearlyFull) {
            test::writeFile(volume.path() + "/other",
                            std::string(volume.availableBytes() - 8192, 'x'));
        }
        const Names before = test::namesIn(volume.path());
        const std::uint64_t usedBefore = volume.usedBlocks();
        std::string output;
        const std::string outcome = test::outcomeOf([&] {
            if (c.job == Job::pack) {
                output =
                    pack({root.file("payload.bin")}, volume.path() + "/out.zip", nullptr).outputURL;
            } else if (c.job == Job::unpack) {
                output = unpack(archive, volume.path(), nullptr, {}).outputURL + "/payload.bin";
            } else {
                unpack(archive, volume.path(), nullptr, {}, [](const std::string&) {
                    return ArchiveDestinationPolicy("tmpfs", std::nullopt, std::uint64_t{1} << 40,
                                                    false);
                });
            }
        });
        if (c.outcome == "ok") {
            EXPECT_EQ(outcome, "ok");
            EXPECT_EQ(test::namesIn(volume.path()).size(), 1u);
            EXPECT_TRUE((c.job == Job::pack ? test::zipEntries(output)["payload.bin"]
                                            : test::readFile(output)) == payload);
            continue;
        }
        EXPECT_TRUE(outcome == c.outcome || (c.job != Job::pack && outcome == "errno ENOSPC"))
            << outcome;
        EXPECT_EQ(test::namesIn(volume.path()), before);
        EXPECT_EQ(volume.usedBlocks(), usedBefore);
    }
}

}  // namespace
}  // namespace tolvane
