#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveUnpack.h"
#include "core/archive/StagingLease.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/SmallVolume.h"
#include "support/TempDir.h"
#include "support/TestData.h"

// Pack and unpack under faults only a real process and a real volume show: a job killed at any
// point, and a volume too small for it.
namespace tolvane {
namespace {

using namespace ArchivePipeline;
using test::TempDir;
using Names = std::vector<std::string>;
using Job = std::function<void(const TempDir& into, const std::function<void(int step)>& reach)>;

constexpr int trapUnavailable = 77;
const DestinationPolicyReader volumePolicy = [](const std::string& at) {
    return ArchiveDestinationPolicy::read(at);
};

// A job runs in a child that kills itself with SIGKILL, so no destructor and no clean-up runs:
// at a step, when a file it writes reaches a size (RLIMIT_FSIZE), or at the first rename or
// unlink after a step (a seccomp filter, before the kernel performs it).
struct KillPoint {
    int step = -1;           // the PackStep or UnpackStep armed at; -1: at the start
    double fraction = 0;     // of the largest output file, at which writing kills; 1: a byte short
    long syscall = -1;       // the call that kills
    bool committed = false;  // the result was in place when the job died
};

[[noreturn]] void killSelf(int = 0) {
    ::raise(SIGKILL);
    ::_exit(1);  // never reached
}

// Makes the call raise SIGSYS instead of running (the child makes calls of its own ABI only).
// False where no filter can be installed.
bool trap(long number) {
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    ::signal(SIGSYS, killSelf);
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

void arm(const KillPoint& point, std::uint64_t largestFile) {
    if (point.syscall >= 0) {
        trap(point.syscall) ? void() : ::_exit(trapUnavailable);
    } else if (point.fraction == 0) {
        killSelf();
    } else {
        const auto limit = static_cast<rlim_t>(point.fraction >= 1 ? largestFile - 1
                                                                   : largestFile * point.fraction);
        const rlimit fileSize{limit, limit};
        ::signal(SIGXFSZ, killSelf);
        ::setrlimit(RLIMIT_FSIZE, &fileSize);
    }
}

// Kills the job at each point, then at half and a byte short of the largest output file and
// right before the rename or an unlink of its commit step; the destination must then hold nothing
// new or the complete result, and the next job there must succeed and take away whatever the dead
// one left. results: the first and the second job's output names.
void expectConsistentAfterDeath(std::vector<KillPoint> points, int commit,
                                std::uint64_t largestFile, const Names& results, const Job& job,
                                const std::function<void(const std::string&)>& expectComplete) {
    points.insert(
        points.end(),
        {{-1, 0.5}, {-1, 1.0}, {commit, 0, SYS_renameat2}, {commit, 0, SYS_unlinkat, true}});
    for (const KillPoint& point : points) {
        SCOPED_TRACE(testing::Message()
                     << point.step << " " << point.fraction << " " << point.syscall);
        TempDir destination;
        const test::ChildExit exit = test::runInChild([&] {
            point.step < 0 ? arm(point, largestFile) : void();
            job(destination,
                [&](int step) { step == point.step ? arm(point, largestFile) : void(); });
            return 0;
        });
        if (exit.exited && exit.status == trapUnavailable) {
            GTEST_SKIP() << "seccomp filters are unavailable";
        }
        ASSERT_TRUE(exit.killedBy(SIGKILL)) << exit.describe();
        Names outputs = test::namesIn(destination.path());
        const auto isStage = [](const std::string& n) { return n.starts_with(stageNamePrefix); };
        EXPECT_NE(std::erase_if(outputs, isStage), 0u);  // a stage was left
        EXPECT_EQ(outputs, point.committed ? Names{results[0]} : Names{});
        if (point.committed) {
            expectComplete(destination.file(results[0]));
        }
        job(destination, [](int) {});
        expectComplete(destination.file(results[point.committed ? 1 : 0]));
        EXPECT_EQ(test::namesIn(destination.path()).size(), point.committed ? 2u : 1u);
    }
}

// Nested folders, an empty one, files of growing size, and a case clash that gives the archive
// a path-mapping manifest; the largest file is the last entry.
Names makeSources(const TempDir& root) {
    test::makeTree(root.path(), {{"src/", ""},
                                 {"src/docs/", ""},
                                 {"src/empty/", ""},
                                 {"src/Readme.txt", "first"},
                                 {"src/README.txt", "second"},
                                 {"src/a.txt", test::textBytes(3'000)},
                                 {"src/docs/b.bin", test::randomBytes(40'000, 1)},
                                 {"src/docs/c.txt", test::textBytes(150'000)},
                                 {"loose.bin", test::randomBytes(200'000, 3)}});
    return {root.file("src"), root.file("loose.bin")};
}

// A pack killed anywhere leaves nothing or the verified archive, byte for byte; an unpack of that
// archive killed anywhere leaves nothing or the whole folder.
TEST(ArchiveCrashTest, AKilledJobLeavesNothingOrItsWholeResult) {
    TempDir root, scratch, reference;
    const Names sources = makeSources(root);
    const ArchiveInputSnapshot snapshot =
        captureInputSnapshot(sources, scratch.file("selection.jsonl"), nullptr);
    const Job packInto = [&](const TempDir& into, const std::function<void(int)>& reach) {
        pack(sources, into.file("out.zip"), nullptr, snapshot, ArchiveCompressionMode::balanced, {},
             [&](PackStep step) { reach(static_cast<int>(step)); });
    };
    packInto(reference, [](int) {});
    const std::string archive = reference.file("out.zip");
    const std::string expected = test::readFile(archive);
    std::vector<KillPoint> points = {{-1, 0.1}, {-1, 0.95}};
    for (int step = 0; step <= static_cast<int>(PackStep::commit); ++step) {
        points.push_back({step});
    }
    expectConsistentAfterDeath(points, static_cast<int>(PackStep::commit), expected.size(),
                               {"out.zip", "out_2.zip"}, packInto, [&](const std::string& path) {
                                   EXPECT_TRUE(test::readFile(path) == expected) << path;
                               });

    const test::Tree tree = test::treeOf(unpack(archive, reference.path(), nullptr, {}).outputURL);
    // Saved under a legacy code page's name (CP949), it unpacks under that name shown with U+FFFD.
    test::writeFile(scratch.file("\xB0\xA1.zip"), expected);
    EXPECT_EQ(test::outcomeOf([&] {
                  EXPECT_EQ(
                      unpack(scratch.file("\xB0\xA1.zip"), scratch.path(), nullptr, {}).outputURL,
                      scratch.file("\uFFFD\uFFFD"));
              }),
              "ok");
    expectConsistentAfterDeath(
        {{-1, 0.01}, {static_cast<int>(UnpackStep::preflighted)}},
        static_cast<int>(UnpackStep::committing), 200'000, {"out", "out_2"},
        [&](const TempDir& into, const std::function<void(int)>& reach) {
            unpack(archive, into.path(), nullptr, {}, volumePolicy,
                   [&](UnpackStep step) { reach(static_cast<int>(step)); });
        },
        [&](const std::string& path) { EXPECT_EQ(test::treeOf(path), tree); });
}

// A tree deeper than the open-file limit allows: whether or not the unpack can finish, its stage
// goes, or the result says that it could not.
TEST(ArchiveCrashTest, ATreeDeeperThanTheFileLimitLeavesNoSilentStage) {
    TempDir root, destination;
    test::RawZipBuilder zip;
    std::string path;
    for (int level = 0; level < 2047; ++level) {
        path += "d/";
    }
    zip.addStored(path + "f", "deep");
    zip.relink().writeTo(root.file("deep.zip"));
    const test::ChildExit exit = test::runInChild([&] {
        const struct rlimit limit { 1024, 1024 };
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 10;
        }
        Progress progress;
        test::outcomeOf([&] { unpack(root.file("deep.zip"), destination.path(), &progress, {}); });
        const bool warned = progress.userInfo(ArchiveProgressInfo::cleanupWarningKey).has_value();
        Names left = test::namesIn(destination.path());
        std::erase(left, "deep");
        return left.empty() && !warned ? 0 : 1 + (left.empty() ? 0 : 2) + (warned ? 4 : 0);
    });
    EXPECT_TRUE(exit.succeeded()) << exit.describe();
}

// Pack and unpack into a small tmpfs: a job that does not fit fails with insufficientSpace (or,
// on a read-only volume, destinationReadOnly) and leaves the volume as it found it. Only where the
// volume claims more room than it has can the write alone tell, and then it says so in its own
// words (ENOSPC).
TEST(ArchiveFullDiskTest, JobsThatDoNotFitFailWithoutATrace) {
    enum Job { pack, packOntoReadOnly, unpack, unpackTrustingAnOverstatedVolume };
    constexpr std::size_t mebibyte = 1 << 20;
    const std::string full = "insufficientSpace: ";
    // job, volume size, one incompressible file's size
    const std::vector<std::tuple<Job, const char*, std::size_t, std::string>> cases = {
        {pack, "1m", 1'000, full},          // smaller than the working reserve
        {pack, "20m", 6 * mebibyte, full},  // outgrows what the reserve leaves, mid-write
        {pack, "24m", 300'000, "ok"},
        {packOntoReadOnly, "1m", 1'000, "destinationReadOnly: "},
        {unpack, "1m", 1'000, full},
        {unpackTrustingAnOverstatedVolume, "2m", 3 * mebibyte, "errno ENOSPC"},
        {unpack, "8m", 2 * mebibyte, "ok"},
    };
    const DestinationPolicyReader overstated = [](const std::string&) {
        return ArchiveDestinationPolicy("tmpfs", std::nullopt, std::uint64_t{1} << 40, false);
    };
    for (const auto& [job, size, payloadBytes, wanted] : cases) {
        SCOPED_TRACE(testing::Message() << job << " " << size << " " << payloadBytes);
        TempDir root;  // outlives the mount on a folder inside it
        const std::string payload = test::randomBytes(payloadBytes, payloadBytes);
        test::writeFile(root.file("payload.bin"), payload);
        const Names sources = {root.file("payload.bin")};
        const std::string archive =
            job <= packOntoReadOnly
                ? ""
                : ArchivePipeline::pack(sources, root.file("p.zip"), nullptr).outputURL;
        const test::SmallVolume volume(root.file("volume"), size, job == packOntoReadOnly);
        if (!volume.mounted()) {
            GTEST_SKIP() << "cannot mount a tmpfs here (" << volume.error() << ")";
        }
        EXPECT_EQ(
            test::outcomeOf([&] {
                job <= packOntoReadOnly
                    ? (void)ArchivePipeline::pack(sources, volume.path() + "/out.zip", nullptr)
                    : (void)ArchivePipeline::unpack(archive, volume.path(), nullptr, {},
                                                    job == unpack ? volumePolicy : overstated);
            }),
            wanted);
        EXPECT_EQ(test::namesIn(volume.path()).size(), wanted == "ok" ? 1u : 0u);
        EXPECT_TRUE(wanted == "ok" || volume.usedBlocks() == 0) << volume.usedBlocks();
    }
}

}  // namespace
}  // namespace tolvane
