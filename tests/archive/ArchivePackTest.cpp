#include "core/archive/ArchivePipeline.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "core/archive/ZipArchiveReader.h"
#include "core/common/Digest.h"
#include "core/common/Progress.h"
#include "support/Outcome.h"
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

// Files are stored or deflated by extension; a folder given with a trailing "/" is packed as
// itself. Renamed entries are proven by unpacking, an archive never replaced by the crash test.
TEST(ArchivePackTest, PacksTheSelection) {
    TempDir root, destination, scratch;
    test::makeTree(root.path(), {{"src/", ""},
                                 {"src/empty/", ""},
                                 {"src/.DS_Store", "finder"},
                                 {"src/notes.txt", test::textBytes(200'000)},
                                 {"src/photo.JPG", test::randomBytes(70'000, 1)},
                                 {"src/logs.tar.gz", test::randomBytes(5'000, 2)},
                                 {"loose.txt", ""}});
    const Names sources = {root.file("src/"), root.file("loose.txt")};
    const ArchiveInputSnapshot snapshot =
        captureInputSnapshot(sources, scratch.file("selection.jsonl"), nullptr);
    const PackReceipt receipt = pack(sources, destination.file("out.zip"), nullptr, snapshot,
                                     ArchiveCompressionMode::balanced, {});
    EXPECT_EQ(namesIn(destination.path()), Names{"out.zip"});
    const std::string bytes = test::readFile(receipt.outputURL);
    EXPECT_TRUE(receipt.verified);
    EXPECT_EQ(std::tuple(receipt.fileCount, receipt.totalBytes, receipt.archive.byteCount),
              std::tuple(4u, 275'000u, static_cast<std::int64_t>(bytes.size())));
    EXPECT_EQ(receipt.archive.sha256, Sha256::hexOf(bytes));

    const ZipArchiveReader reader(receipt.outputURL, [] {});
    Names entries;
    for (std::uint64_t index = 0; index < reader.entryCount(); ++index) {
        const ZipArchiveEntry entry = reader.entry(index);
        entries.push_back(entry.path +
                          (entry.method == 0 && !entry.path.ends_with("/") ? " stored" : ""));
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (Names{"loose.txt", "src/", "src/empty/", "src/logs.tar.gz stored",
                              "src/notes.txt", "src/photo.JPG stored"}));
}

// The delivered ZIP opens for others as any file the user saves does: 0666 less the umask. Until
// the commit it stays in the stage, which only the user can enter whatever the umask.
TEST(ArchivePackTest, TheDeliveredZIPHasTheModeOfANewFile) {
    TempDir root;
    test::makeTree(root.path(), {{"a.txt", "aaaa"}});
    for (const mode_t mask : {mode_t{022}, mode_t{002}, mode_t{027}, mode_t{077}, mode_t{0}}) {
        SCOPED_TRACE(mask);
        TempDir destination;
        const mode_t previous = ::umask(mask);
        std::vector<mode_t> stages;
        const PackReceipt receipt =
            pack({root.file("a.txt")}, destination.file("out.zip"), nullptr, std::nullopt,
                 std::nullopt, {}, [&](PackStep step) {
                     if (step != PackStep::commit) {
                         return;
                     }
                     for (const std::string& name : namesIn(destination.path())) {
                         struct stat st {};
                         ASSERT_EQ(::lstat(destination.file(name).c_str(), &st), 0);
                         if (S_ISDIR(st.st_mode)) {
                             stages.push_back(st.st_mode & 07777);
                         }
                     }
                 });
        ::umask(previous);
        EXPECT_EQ(stages, std::vector<mode_t>{0700});
        struct stat st {};
        ASSERT_EQ(::stat(receipt.outputURL.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0666 & ~mask);
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
}

// Whatever ends a pack before its commit leaves nothing behind: a cancellation at any step
// (through the progress object or the task, by turns), a change after the capture (the
// comparison with the snapshot sees it) or one while the archive is read back (the final re-check
// of the sources sees it).
TEST(ArchivePackTest, AFailureBeforeTheCommitLeavesNothingBehind) {
    TempDir root, scratch;
    test::makeTree(root.path(), {{"src/", ""}, {"src/a.txt", "aaaa"}, {"src/b.jpg", "bb"}});
    const std::string changed = root.file("src/a.txt");
    ::chmod(changed.c_str(), 0644);
    const ArchiveInputSnapshot snapshot =
        captureInputSnapshot({root.file("src")}, scratch.file("selection.jsonl"), nullptr);
    std::vector<std::pair<PackStep, std::string>> cases = {
        {PackStep::walk, "sourceChanged: " + changed},
        {PackStep::recheck, "sourceChanged: " + changed}};
    for (int step = 0; step <= static_cast<int>(PackStep::commit); ++step) {
        cases.emplace_back(static_cast<PackStep>(step), "cancelled: ");
    }
    for (std::size_t run = 0; run < cases.size(); ++run) {
        const auto& [target, outcome] = cases[run];
        SCOPED_TRACE(run);
        ::chmod(changed.c_str(), 0644);
        TempDir destination;
        Progress progress;
        std::stop_source task;
        EXPECT_EQ(outcomeOf([&] {
                      pack({root.file("src")}, destination.file("out.zip"), &progress, snapshot,
                           std::nullopt, task.get_token(), [&](PackStep step) {
                               if (step == target && outcome != "cancelled: ") {
                                   ::chmod(changed.c_str(), 0600);
                               } else if (step == target) {
                                   run % 2 ? progress.cancel() : (void)task.request_stop();
                               }
                           });
                  }),
                  outcome);
        EXPECT_TRUE(namesIn(destination.path()).empty());
    }
}

}  // namespace
}  // namespace tolvane
