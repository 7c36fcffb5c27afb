#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/ArchivePackWalk.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveSelection.h"
#include "core/archive/ArchiveSourceChange.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "support/ArchiveErrors.h"
#include "support/LogCapture.h"
#include "support/Outcome.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using test::namesIn;
using test::outcomeOf;
using test::readRows;
using test::writeFile;
using Names = std::vector<std::string>;

// A small selection, with the manifest in a folder of its own. "box" is the last source, so a
// row added to or removed from it changes only the row count.
struct Selection {
    Selection() {
        test::makeTree(dir.path(), {{"in/", ""},
                                    {"out/", ""},
                                    {"in/docs/", ""},
                                    {"in/box/", ""},
                                    {"in/docs/a.txt", "alpha"},
                                    {"in/docs/A.txt", "ALPHA"},
                                    {"in/docs/big", test::randomBytes(200'000, 7)},
                                    {"in/single", "single"}});
        ::chmod(in("single").c_str(), 0644);
    }
    std::string in(const std::string& relative) const { return dir.file("in/" + relative); }
    Names sources() const { return {in("docs"), in("single"), in("box")}; }
    ArchiveInputSnapshot capture(Progress* progress = nullptr) const {
        return captureInputSnapshot(sources(), manifest, progress);
    }
    test::TempDir dir;
    std::string manifest = dir.file("out/selection.jsonl");
};

TEST(ArchiveInputSnapshotTest, CaptureRecordsEveryEntryAndIdentifiesTheManifest) {
    Selection t;
    Progress progress;
    const ArchiveInputSnapshot snapshot = t.capture(&progress);
    const auto rows = readRows<SourceSnapshotRecord>(t.manifest);
    EXPECT_EQ(rows.size(), 6u);
    EXPECT_EQ(snapshot.entryCount, 6u);
    EXPECT_EQ(snapshot.totalBytes, 5u + 5 + 200'000 + 6);
    EXPECT_EQ(snapshot.manifestSHA256, Sha256::hexOf(test::readFile(t.manifest)));
    const struct stat status = posix::fstat(posix::open(t.manifest, O_RDONLY).get());
    EXPECT_EQ(std::vector({snapshot.device, snapshot.inode, std::uint64_t{status.st_mode & 0777}}),
              std::vector<std::uint64_t>({status.st_dev, status.st_ino, 0600}));
    for (const SourceSnapshotRecord& row : rows) {
        EXPECT_EQ(row.contentSHA256,
                  row.isDirectory ? std::nullopt
                                  : std::optional(Sha256::hexOf(test::readFile(row.sourcePath))));
    }
    EXPECT_EQ(progress.snapshot().number(ArchiveProgressInfo::scannedEntriesKey), 1u);
    EXPECT_EQ(namesIn(t.dir.file("out")), Names{"selection.jsonl"});  // no registry left
}

// After the capture, pack's lock-step comparison names what differs; a manifest that is not the
// one captured is refused as a whole. With nothing changed, capture and pack agree on every path.
TEST(ArchiveInputSnapshotTest, PackComparesItsListsWithTheCapture) {
    using Change = std::function<void(Selection&, ArchiveInputSnapshot&)>;
    const auto copyManifest = [](Selection& t, bool link) {
        writeFile(t.manifest + ".copy", test::readFile(t.manifest));
        link ? (void)::unlink(t.manifest.c_str()),
            (void)::symlink("selection.jsonl.copy", t.manifest.c_str())
             : (void)::rename((t.manifest + ".copy").c_str(), t.manifest.c_str());
    };
    const std::vector<std::pair<Change, std::string>> cases = {
        {[](auto&, auto&) {}, "ok"},
        {[](auto& t, auto&) { writeFile(t.in("box/new"), "n"); }, "entryCount"},
        {[](auto& t, auto&) { ::unlink(t.in("box/gone").c_str()); }, "entryCount"},
        {[](auto& t, auto&) {
             writeFile(t.in("copy"), "single");  // same time and mode as well
             const struct stat before = posix::fstat(posix::open(t.in("single"), O_RDONLY).get());
             const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
             ::utimensat(AT_FDCWD, t.in("copy").c_str(), times, 0);
             ::chmod(t.in("copy").c_str(), 0644);
             ::rename(t.in("copy").c_str(), t.in("single").c_str());
         },
         "inode"},
        {[](auto& t, auto&) { ::chmod(t.in("single").c_str(), 0600); }, "permissions"},
        // Same size, modification time set back: only the content tells.
        {[](auto& t, auto&) {
             const struct stat before = posix::fstat(posix::open(t.in("single"), O_RDONLY).get());
             writeFile(t.in("single"), "SINGLE");
             const timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
             ::utimensat(AT_FDCWD, t.in("single").c_str(), times, 0);
         },
         "packedContentOrPath"},
        {[&](auto& t, auto&) { copyManifest(t, false); }, "invalidInputSnapshot"},
        {[&](auto& t, auto&) { copyManifest(t, true); }, "invalidInputSnapshot"},
        {[](auto& t, auto&) { writeFile(t.manifest, test::readFile(t.manifest) + "\n"); },
         "invalidInputSnapshot"},
        {[](auto&, auto& s) { s.entryCount += 1; }, "invalidInputSnapshot"},
    };
    int added = 0;
    for (const auto& [change, wanted] : cases) {
        SCOPED_TRACE(wanted);
        Selection t;
        if (wanted == "entryCount" && added++ == 1) {
            writeFile(t.in("box/gone"), "g");  // the second such row removes it
        }
        ArchiveInputSnapshot snapshot = t.capture();
        change(t, snapshot);
        test::TempDir stage;
        const std::string snapshotList = stage.file("snapshot.jsonl");
        const std::string expectedList = stage.file("expected.jsonl");
        {
            ArchivePathRegistry registry(stage.file("registry.sqlite"));
            StreamingZIPWriter writer(posix::open(stage.file("zip"), O_RDWR | O_CREAT, 0600),
                                      posix::open(stage.file("cd"), O_RDWR | O_CREAT, 0600),
                                      stage.file("cd"), ArchiveCompressionMode::balanced, {}, {});
            const UniqueFd snapshotFd = posix::open(snapshotList, O_WRONLY | O_CREAT, 0600);
            const UniqueFd expectedFd = posix::open(expectedList, O_WRONLY | O_CREAT, 0600);
            ArchivePackProgress packProgress(nullptr, std::nullopt);
            PackWalk walk{registry,
                          snapshotFd.get(),
                          expectedFd.get(),
                          writer,
                          -1,
                          nullptr,
                          packProgress,
                          {},
                          [](int) { return std::optional<std::uint64_t>(); },
                          {}};
            for (const std::string& source : t.sources()) {
                appendSnapshot(sourceItem(source), walk);
            }
        }
        test::LogCapture log;
        const std::string outcome = outcomeOf(
            [&] { verifySelectionSnapshot(snapshot, snapshotList, expectedList, nullptr); });
        if (wanted == "ok" || wanted.starts_with("invalid")) {
            EXPECT_EQ(outcome, wanted == "ok" ? "ok" : wanted + ": ");
            continue;
        }
        EXPECT_TRUE(outcome.starts_with("sourceChanged: ")) << outcome;
        EXPECT_EQ(log.lines(), Names{"sourceChanged stage=selectionInventory fields=" + wanted});
    }
}

// A file whose change time alone moved (an attribute added, a link made) is still selected if
// its content is what was captured; pack's strict re-check does not forgive it.
TEST(ArchiveInputSnapshotTest, ChangeTimeAloneIsAcceptedAfterARehash) {
    test::TempDir dir;
    writeFile(dir.file("f"), "content");
    ArchivePathRegistry registry(dir.file("r.sqlite"));
    SourceSnapshotRecord record = recordItem(sourceItem(dir.file("f")), registry);
    record.changedNanoseconds = (record.changedNanoseconds + 1) % 1'000'000'000;
    const std::string changed = "sourceChanged: " + dir.file("f");
    for (const auto& [digest, outcome] :
         std::vector<std::pair<std::optional<std::string>, std::string>>{
             {Sha256::hexOf("content"), "ok"},
             {Sha256::hexOf("CONTENT"), changed},
             {{}, changed}}) {
        record.contentSHA256 = digest;
        EXPECT_EQ(outcomeOf([&] { verifySelectionSource(record, nullptr); }), outcome);
    }
    EXPECT_EQ(outcomeOf([&] { verifySourceMetadata(record); }), changed);
}

// Whatever ends a capture, neither its manifest nor its registry stays; files that were there
// before are never taken over.
TEST(ArchiveInputSnapshotTest, AFailedCaptureLeavesNothingBehind) {
    const std::vector<std::pair<std::function<std::string(Selection&)>, std::string>> cases = {
        {[](Selection& t) {
             Progress cancelled;
             cancelled.cancel();
             return outcomeOf([&] { t.capture(&cancelled); });
         },
         "cancelled: "},
        {[](Selection& t) {
             ::symlink("a.txt", t.in("docs/link").c_str());
             return outcomeOf([&] { t.capture(); });
         },
         "unsupportedSourceType: docs/link"},
        {[](Selection& t) {
             ::mkfifo(t.in("box/pipe").c_str(), 0600);
             return outcomeOf([&] { t.capture(); });
         },
         "unsupportedSourceType: box/pipe"},
        // The manifest is selected itself: its own row changes it after it was hashed, which only
        // the final re-check of every row can see.
        {[](Selection& t) {
             return outcomeOf([&] { captureInputSnapshot({t.manifest}, t.manifest, nullptr); });
         },
         "sourceChanged: selection.jsonl"},
        {[](Selection& t) {
             ArchivePathRegistry registry(t.dir.file("r.sqlite"));
             CaptureWalk walk{registry,
                              posix::open(t.dir.file("m"), O_WRONLY | O_CREAT, 0600).release(),
                              nullptr,
                              {},
                              maxEntryCount - 1};
             const std::string last =
                 outcomeOf([&] { appendSelectionSnapshot(sourceItem(t.in("single")), walk); });
             return last + ", " +
                    outcomeOf([&] { appendSelectionSnapshot(sourceItem(t.in("single")), walk); });
         },
         "ok, tooManyEntries: "},
        {[](Selection& t) {
             ::symlink("elsewhere", (t.manifest + ".registry.sqlite").c_str());
             return outcomeOf([&] { t.capture(); });
         },
         "finalizationFailed: could not create the path registry: a file is in its place"},
        {[](Selection& t) {
             writeFile(t.manifest, "theirs");
             return outcomeOf([&] { t.capture(); }) + " " + test::readFile(t.manifest);
         },
         "finalizationFailed: could not create input snapshot theirs"},
    };
    for (const auto& [run, wanted] : cases) {
        Selection t;
        const Names before = namesIn(t.dir.file("out"));
        std::string outcome = run(t);
        for (const std::string& folder : Names{t.in(""), t.dir.file("out/")}) {
            if (const auto at = outcome.find(folder); at != std::string::npos) {
                outcome.erase(at, folder.size());
            }
        }
        EXPECT_EQ(outcome, wanted);
        EXPECT_EQ(namesIn(t.dir.file("out")).size(),
                  wanted.ends_with("theirs") || wanted.starts_with("final") ? 1u : 0u);
    }
}

}  // namespace
}  // namespace tolvane
