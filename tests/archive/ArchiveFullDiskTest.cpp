#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
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

// Pack and unpack into a small tmpfs: a job that does not fit fails with insufficientSpace and
// leaves the volume as it found it. Only where the volume claims more room than it has can the
// write alone tell, and then it says so in its own words (ENOSPC).
TEST(ArchiveFullDiskTest, JobsThatDoNotFitFailWithoutATrace) {
    enum Job { pack, unpack, unpackTrustingAnOverstatedVolume };
    constexpr std::size_t mebibyte = 1 << 20;
    const std::string full = "insufficientSpace: ";
    // job, volume size, one incompressible file's size, someone else's file leaves 8 KiB free
    const std::vector<std::tuple<Job, const char*, std::size_t, bool, std::string>> cases = {
        {pack, "1m", 300'000, false, full},  // smaller than the working reserve
        {pack, "1m", 1'000, true, full},
        {pack, "20m", 6 * mebibyte, false, full},  // outgrows what the reserve leaves
        {pack, "24m", 300'000, false, "ok"},
        {unpack, "1m", 2 * mebibyte, false, full},
        {unpack, "1m", 1'000, true, full},
        {unpack, "4m", 3 * mebibyte, false, full},  // fits only without the reserve
        {unpackTrustingAnOverstatedVolume, "2m", 3 * mebibyte, false, "errno ENOSPC"},
        {unpack, "8m", 2 * mebibyte, false, "ok"},
    };
    for (const auto& [job, size, payloadBytes, nearlyFull, wanted] : cases) {
        SCOPED_TRACE(testing::Message() << job << " " << size << " " << payloadBytes);
        test::TempDir root;  // outlives the mount on a folder inside it
        const std::string payload = test::randomBytes(payloadBytes, payloadBytes);
        test::writeFile(root.file("payload.bin"), payload);
        const std::string archive = job == pack ? ""
                                                : ArchivePipeline::pack({root.file("payload.bin")},
                                                                        root.file("p.zip"), nullptr)
                                                      .outputURL;
        const test::SmallVolume volume(root.file("volume"), size);
        if (!volume.mounted()) {
            GTEST_SKIP() << "cannot mount a tmpfs here (" << volume.error() << ")";
        }
        if (nearlyFull) {
            test::writeFile(volume.path() + "/other",
                            std::string(volume.availableBytes() - 8192, 'x'));
        }
        const std::vector<std::string> before = test::namesIn(volume.path());
        const std::uint64_t usedBefore = volume.usedBlocks();
        const DestinationPolicyReader overstated = [](const std::string&) {
            return ArchiveDestinationPolicy("tmpfs", std::nullopt, std::uint64_t{1} << 40, false);
        };
        const DestinationPolicyReader policy =
            job == unpack ? [](const std::string& at) { return ArchiveDestinationPolicy::read(at); }
                          : overstated;
        std::string output;
        EXPECT_EQ(test::outcomeOf([&] {
                      output =
                          job == pack
                              ? ArchivePipeline::pack({root.file("payload.bin")},
                                                      volume.path() + "/out.zip", nullptr)
                                    .outputURL
                              : ArchivePipeline::unpack(archive, volume.path(), nullptr, {}, policy)
                                        .outputURL +
                                    "/payload.bin";
                  }),
                  wanted);
        if (wanted == "ok") {
            EXPECT_EQ(test::namesIn(volume.path()).size(), 1u);
            EXPECT_TRUE((job == pack ? test::zipEntries(output)["payload.bin"]
                                     : test::readFile(output)) == payload);
        } else {
            EXPECT_EQ(test::namesIn(volume.path()), before);
            EXPECT_EQ(volume.usedBlocks(), usedBefore);
        }
    }
}

}  // namespace
}  // namespace tolvane
