#include "core/archive/ArchivePipeline.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/ZipArchiveReader.h"
#include "core/common/Digest.h"
#include "core/common/Progress.h"
#include "support/Outcome.h"
#include "support/SmallVolume.h"
#include "support/TempDir.h"
#include "support/TestData.h"

// Pack end to end. What the archive holds byte for byte (data, modes, times, attributes) is
// proven by unpacking it (ArchiveUnpackTest) and by other readers (ArchiveInteropTest).
namespace tolvane {
namespace {

using namespace ArchivePipeline;
using test::namesIn;
using test::outcomeOf;
using test::TempDir;
using Names = std::vector<std::string>;

// A folder given with a trailing "/", and two sources whose names a case-insensitive disk would
// merge, so the second is renamed and the archive ends with the manifest that records it.
Names makeSelection(const TempDir& root) {
    test::makeTree(root.path(), {{"src/", ""},
                                 {"src/empty/", ""},
                                 {"src/.DS_Store", "finder"},
                                 {"src/notes.txt", test::textBytes(200'000)},
                                 {"src/photo.JPG", test::randomBytes(70'000, 1)},
                                 {"src/logs.tar.gz", test::randomBytes(5'000, 2)},
                                 {"loose.txt", ""},
                                 {"more/", ""},
                                 {"more/LOOSE.txt", "upper"}});
    return {root.file("src/"), root.file("loose.txt"), root.file("more/LOOSE.txt")};
}

// The steps come in order with the progress stage each is met in; files are stored or deflated
// by extension; an existing archive is never replaced.
TEST(ArchivePackTest, PacksTheSelectionStepByStep) {
    for (const bool withSnapshot : {true, false}) {
        TempDir root, destination, scratch;
        const Names sources = makeSelection(root);
        std::optional<ArchiveInputSnapshot> snapshot;
        if (withSnapshot) {
            snapshot = captureInputSnapshot(sources, scratch.file("selection.jsonl"), nullptr);
        } else {
            test::writeFile(destination.file("out.zip"), "someone else's");
        }
        Progress progress;
        Names steps;
        const PackReceipt receipt =
            pack(sources, destination.file("out.zip"), &progress, snapshot,
                 withSnapshot ? ArchiveCompressionMode::balanced : ArchiveCompressionMode::maximum,
                 {}, [&](PackStep step) {
                     steps.push_back(std::to_string(static_cast<int>(step)) + " " +
                                     *progress.userInfoText(ArchiveProgressInfo::stageKey));
                 });
        const std::string early = withSnapshot ? "packaging" : "scanning";
        Names wanted = {"0 scanning",  "1 packaging", "2 " + early, "3 " + early,
                        "4 verifying", "5 verifying", "6 hashing",  "7 hashing"};
        if (!withSnapshot) {
            wanted.erase(wanted.begin() + 1);
            EXPECT_EQ(test::readFile(destination.file("out.zip")), "someone else's");
        }
        EXPECT_EQ(steps, wanted);
        const std::string name = withSnapshot ? "out.zip" : "out_2.zip";
        EXPECT_EQ(receipt.outputURL, destination.file(name));
        EXPECT_EQ(namesIn(destination.path()).size(), withSnapshot ? 1u : 2u);
        const std::string bytes = test::readFile(receipt.outputURL);
        EXPECT_TRUE(receipt.verified);
        EXPECT_EQ(std::tuple(receipt.fileCount, receipt.totalBytes, receipt.archive.byteCount),
                  std::tuple(5u, 275'005u, static_cast<std::int64_t>(bytes.size())));
        EXPECT_EQ(receipt.archive.sha256, Sha256::hexOf(bytes));
        EXPECT_EQ(progress.userInfoText(ArchiveProgressInfo::stageKey), "complete");
        EXPECT_EQ(progress.userInfoNumber(ArchiveProgressInfo::scannedEntriesKey), 7u);
        EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());

        const ZipArchiveReader reader(receipt.outputURL, [] {});
        Names entries;
        for (std::uint64_t index = 0; index < reader.entryCount(); ++index) {
            const ZipArchiveEntry entry = reader.entry(index);
            entries.push_back(std::regex_replace(entry.path, std::regex("~[0-9a-f]{8}"), "~#") +
                              (entry.method == 0 && !entry.path.ends_with("/") ? " stored" : ""));
        }
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries.back(), reservedMappingName);
        std::sort(entries.begin(), entries.end());
        EXPECT_EQ(entries, (Names{std::string(reservedMappingName), "LOOSE~#.txt", "loose.txt",
                                  "src/", "src/empty/", "src/logs.tar.gz stored", "src/notes.txt",
                                  "src/photo.JPG stored"}));
    }
}

TEST(ArchivePackTest, RefusesADestinationInsideASourceBeforeMakingAStage) {
    const std::vector<std::tuple<Names, std::string, std::string>> cases = {
        {{}, "src/sub", "noInputs: "},
        {{"src"}, "src", "destinationIsInsideSource: "},
        {{"other", "src/"}, "src/sub", "destinationIsInsideSource: "},
        {{"src"}, "link/sub", "destinationIsInsideSource: "},  // reached through a link
        {{"link"}, "src/sub", "destinationIsInsideSource: "},  // the source is a link
        {{"other/../src/."}, "src/sub", "destinationIsInsideSource: "},
        {{"/"}, "src/sub", "destinationIsInsideSource: "},
    };
    for (const auto& [relative, destination, outcome] : cases) {
        TempDir root;
        test::makeTree(root.path(),
                       {{"src/", ""}, {"src/sub/", ""}, {"other/", ""}, {"src/sub/a", "a"}});
        ASSERT_EQ(::symlink("src", root.file("link").c_str()), 0);
        Names sources;
        for (const std::string& source : relative) {
            sources.push_back(source == "/" ? source : root.file(source));
        }
        // Should the refusal ever fail, the pack must still not walk the whole disk.
        EXPECT_EQ(outcomeOf([&] {
                      pack(sources, root.file(destination) + "/out.zip", nullptr, std::nullopt,
                           std::nullopt, {}, [](PackStep) { throw std::logic_error("a stage"); });
                  }),
                  outcome);
        EXPECT_EQ(namesIn(root.file(destination)).size(), 1u);
    }
    TempDir root;
    test::writeFile(root.file("a"), "a");
    const test::SmallVolume volume(root.file("mnt"), "1m", true);
    if (!volume.mounted()) {
        GTEST_SKIP() << "cannot mount a read-only tmpfs here (" << volume.error() << ")";
    }
    EXPECT_EQ(outcomeOf([&] { pack({root.file("a")}, root.file("mnt/out.zip"), nullptr); }),
              "destinationReadOnly: ");
    EXPECT_TRUE(namesIn(volume.path()).empty());
}

// Whatever ends a pack before its commit leaves nothing behind: a cancellation at any step
// (through the progress object or the task, by turns), a change after the capture (the
// comparison with the snapshot sees it) or one while the archive is read back (the final re-check
// of the sources sees it).
TEST(ArchivePackTest, AFailureBeforeTheCommitLeavesNothingBehind) {
    TempDir root, scratch;
    test::makeTree(root.path(), {{"src/", ""}, {"src/a.txt", "aaaa"}, {"src/b.jpg", "bb"}});
    ::chmod(root.file("src/a.txt").c_str(), 0644);
    const ArchiveInputSnapshot snapshot =
        captureInputSnapshot({root.file("src")}, scratch.file("selection.jsonl"), nullptr);
    std::vector<std::pair<PackStep, std::string>> cases;
    for (int step = 0; step <= static_cast<int>(PackStep::commit); ++step) {
        cases.emplace_back(static_cast<PackStep>(step), "cancelled: ");
    }
    cases.emplace_back(PackStep::walk, "sourceChanged: " + root.file("src/a.txt"));
    cases.emplace_back(PackStep::recheck, "sourceChanged: " + root.file("src/a.txt"));
    int run = 0;
    for (const auto& [target, outcome] : cases) {
        SCOPED_TRACE(static_cast<int>(target));
        ::chmod(root.file("src/a.txt").c_str(), 0644);
        TempDir destination;
        Progress progress;
        std::stop_source task;
        const bool throughProgress = ++run % 2 == 0;
        EXPECT_EQ(outcomeOf([&] {
                      pack({root.file("src")}, destination.file("out.zip"), &progress, snapshot,
                           std::nullopt, task.get_token(), [&](PackStep step) {
                               if (step == target && outcome != "cancelled: ") {
                                   ::chmod(root.file("src/a.txt").c_str(), 0600);
                               } else if (step == target) {
                                   throughProgress ? progress.cancel() : (void)task.request_stop();
                               }
                           });
                  }),
                  outcome);
        EXPECT_TRUE(namesIn(destination.path()).empty());
        EXPECT_NE(progress.userInfoText(ArchiveProgressInfo::stageKey), "committing");
        EXPECT_FALSE(progress.userInfo(ArchiveProgressInfo::cleanupWarningKey));
    }
}

}  // namespace
}  // namespace tolvane
