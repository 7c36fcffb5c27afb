#include "core/archive/ArchivePipeline.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <regex>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/ZipArchiveReader.h"
#include "core/common/Digest.h"
#include "core/common/Progress.h"
#include "support/Outcome.h"
#include "support/SmallVolume.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using test::namesIn;
using test::outcomeOf;
using test::TempDir;
using Names = std::vector<std::string>;
constexpr PackStep allSteps[] = {PackStep::walk,     PackStep::selection,    PackStep::manifest,
                                 PackStep::finalize, PackStep::verification, PackStep::recheck,
                                 PackStep::hashing,  PackStep::commit};

struct Entry {
    std::string path;
    std::uint16_t method = 0;
    std::string data;
    ArchiveExtendedAttributes::Map attributes;
};

// The archive in directory order, read back through the project's own reader.
std::vector<Entry> readArchive(const std::string& path) {
    std::vector<ArchiveExtendedAttributes::Map> attributes;
    ZipArchiveReader reader(
        path, [] {},
        [&](const ZipCentralEntry& entry) {
            attributes.push_back(ArchiveExtendedAttributes::decodeField(entry.extraField));
        });
    std::vector<Entry> entries;
    for (std::uint64_t index = 0; index < reader.entryCount(); ++index) {
        Entry& out = entries.emplace_back(
            Entry{reader.entry(index).path, reader.entry(index).method, {}, attributes[index]});
        reader.extract(
            index, [] {},
            [&](std::span<const std::uint8_t> block) {
                out.data.append(reinterpret_cast<const char*>(block.data()), block.size());
            });
    }
    return entries;
}

// Every kind of entry pack treats differently; the folder is given with a trailing "/".
std::vector<std::string> makeSelection(const std::string& root) {
    test::makeTree(root,
                   {{"src/", ""},
                    {"src/empty/", ""},
                    {"src/deep/", ""},
                    {"src/deep/data.bin", test::randomBytes(30'000, 3) + test::textBytes(9'000)},
                    {"src/notes.txt", test::textBytes(200'000)},
                    {"src/photo.JPG", test::randomBytes(70'000, 1)},
                    {"src/logs.tar.gz", test::randomBytes(5'000, 2)},
                    {"src/Readme.txt", "first"},
                    {"src/README.txt", "second"},
                    {"src/.DS_Store", "finder"},
                    {"loose.txt", ""}});
    ::setxattr((root + "/src/notes.txt").c_str(), "user.color", "blue", 4, 0);
    return {root + "/src/", root + "/loose.txt"};
}

// The steps come in order with the progress stage each is met in, and the archive reads back as
// the selection: stored or deflated by extension, attributes kept, one of two names a
// case-insensitive disk would merge renamed, the manifest that records it last.
TEST(ArchivePackTest, PacksATreeThatReadsBackAsTheSelection) {
    for (const bool withSnapshot : {true, false}) {
        TempDir root, destination, scratch;
        const std::vector<std::string> sources = makeSelection(root.path());
        std::optional<ArchiveInputSnapshot> snapshot;
        if (withSnapshot) {
            snapshot = captureInputSnapshot(sources, scratch.file("selection.jsonl"), nullptr);
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
        }
        EXPECT_EQ(steps, wanted);
        const std::string bytes = test::readFile(destination.file("out.zip"));
        EXPECT_EQ(namesIn(destination.path()), Names{"out.zip"});
        EXPECT_TRUE(receipt.verified);
        EXPECT_EQ(receipt.outputURL, destination.file("out.zip"));
        EXPECT_EQ(receipt.fileCount, 7u);
        EXPECT_EQ(receipt.totalBytes, 39'000u + 200'000 + 70'000 + 5'000 + 5 + 6);
        EXPECT_EQ(receipt.archive.byteCount, static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(receipt.archive.sha256, Sha256::hexOf(bytes));
        EXPECT_EQ(progress.userInfoText(ArchiveProgressInfo::stageKey), "complete");
        EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());

        const std::vector<Entry> entries = readArchive(destination.file("out.zip"));
        ASSERT_EQ(entries.size(), 11u);
        EXPECT_EQ(entries.back().path, reservedMappingName);
        EXPECT_EQ(entries.back().method, 8);
        for (const Entry& entry : entries) {
            std::smatch renamed;
            const std::string original =
                std::regex_match(entry.path, renamed, std::regex("(src/R.*)~[0-9a-f]{8}(\\.txt)"))
                    ? renamed.str(1) + renamed.str(2)
                    : entry.path;
            if (entry.path.ends_with("/") || entry.path == reservedMappingName) {
                continue;
            }
            EXPECT_EQ(entry.data, test::readFile(root.file(original))) << entry.path;
            const bool stored = entry.path.ends_with(".JPG") || entry.path.ends_with(".gz");
            EXPECT_EQ(entry.method, stored ? 0 : 8) << entry.path;
            EXPECT_EQ(entry.attributes.empty(),
                      entry.path != "src/notes.txt" ||
                          !::getxattr(root.file(original).c_str(), "user.color", nullptr, 0));
            EXPECT_TRUE(original == entry.path ||
                        entries.back().data.find("\"" + original + "\"") != std::string::npos);
        }
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
    if (volume.mounted()) {
        EXPECT_EQ(outcomeOf([&] { pack({root.file("a")}, root.file("mnt/out.zip"), nullptr); }),
                  "destinationReadOnly: ");
    }
}

TEST(ArchivePackTest, NeverReplacesAnExistingArchive) {
    TempDir root, destination;
    test::writeFile(root.file("a.txt"), "payload");
    test::writeFile(destination.file("out.zip"), "someone else's");
    const PackReceipt first = pack({root.file("a.txt")}, destination.file("out.zip"), nullptr);
    const PackReceipt second = pack({root.file("a.txt")}, destination.file("out.zip"), nullptr);
    EXPECT_EQ(first.outputURL, destination.file("out_2.zip"));
    EXPECT_EQ(second.outputURL, destination.file("out_3.zip"));
    EXPECT_NE(first.archive.jobID, second.archive.jobID);
    EXPECT_EQ(first.archive.sha256, second.archive.sha256);
    EXPECT_EQ(test::readFile(destination.file("out.zip")), "someone else's");
}

// A change after the capture fails the comparison with the snapshot; one while the archive is
// read back fails the final re-check of the sources. Either way nothing is delivered.
TEST(ArchivePackTest, RefusesASelectionThatChangedAfterItsCaptureOrDuringThePack) {
    for (const std::optional<PackStep> at :
         {std::optional<PackStep>(), std::optional(PackStep::recheck)}) {
        TempDir root, destination, scratch;
        test::makeTree(root.path(), {{"src/", ""}, {"src/a.txt", "aaaa"}});
        const ArchiveInputSnapshot snapshot =
            captureInputSnapshot({root.file("src")}, scratch.file("selection.jsonl"), nullptr);
        const auto change = [&] { ::chmod(root.file("src/a.txt").c_str(), 0600); };
        if (!at) {
            change();
        }
        EXPECT_EQ(outcomeOf([&] {
                      pack({root.file("src")}, destination.file("out.zip"), nullptr, snapshot,
                           std::nullopt, {},
                           [&](PackStep step) { step == at ? change() : void(); });
                  }),
                  "sourceChanged: " + root.file("src/a.txt"));
        EXPECT_TRUE(namesIn(destination.path()).empty());
    }
}

// Each step is cancelled once through the progress object and once through the task; nothing
// is left behind and the job never reached "committing".
TEST(ArchivePackTest, CancellingBeforeCommittingLeavesNothingBehind) {
    TempDir root, scratch;
    const std::vector<std::string> sources = makeSelection(root.path());
    const ArchiveInputSnapshot snapshot =
        captureInputSnapshot(sources, scratch.file("selection.jsonl"), nullptr);
    for (const PackStep target : allSteps) {
        for (const bool throughProgress : {true, false}) {
            TempDir destination;
            Progress progress;
            std::stop_source task;
            EXPECT_EQ(outcomeOf([&] {
                          pack(sources, destination.file("out.zip"), &progress, snapshot,
                               std::nullopt, task.get_token(), [&](PackStep step) {
                                   if (step == target) {
                                       throughProgress ? progress.cancel()
                                                       : (void)task.request_stop();
                                   }
                               });
                      }),
                      "cancelled: ")
                << static_cast<int>(target);
            EXPECT_TRUE(namesIn(destination.path()).empty());
            EXPECT_NE(progress.userInfoText(ArchiveProgressInfo::stageKey), "committing");
            EXPECT_FALSE(progress.userInfo(ArchiveProgressInfo::cleanupWarningKey));
        }
    }
}

}  // namespace
}  // namespace tolvane
