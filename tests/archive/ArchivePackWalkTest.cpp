#include "core/archive/ArchivePackWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "core/archive/ArchiveEntryWriter.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchiveSelection.h"
#include "core/archive/PathMappingManifest.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "support/Child.h"
#include "support/LogCapture.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

// The walk core that pack and the capture of a selection share, and the capture's own checks.
// What the walk writes into the archive is proven end to end by ArchivePackTest.
namespace tolvane {
namespace {

using namespace ArchivePipeline;
using test::makeTree;
using test::outcomeOf;
using test::TempDir;
using test::writeFile;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;
using Change = std::function<void(const std::string& path)>;
using Free = std::optional<std::uint64_t>;

// A pack stage wired into one PackWalk as pack wires it. The writer's free-space probe runs at
// its first write and after every MiB; onWrite sees its count, to change a source mid-entry.
struct PackStage {
    explicit PackStage(const TempDir& dir, StreamingZIPWriter::FreeSpaceProbe walkProbe = {})
        : stage((::mkdir(dir.file("stage").c_str(), 0700), dir.file("stage"))),
          writer(create("payload.zip"), create("cd.bin"), file("cd.bin"),
                 ArchiveCompressionMode::balanced, std::nullopt, std::nullopt,
                 [this](int) { return onWrite ? onWrite(++writes) : void(), Free(1ull << 40); }),
          walk(registry, snapshotFd.get(), expectedFd.get(), writer, stageFd.get(), &progress,
               packProgress, std::stop_token(), std::move(walkProbe), PackWalkCounters()) {}

    void add(const std::string& source) { appendSnapshot(sourceItem(source), walk); }
    std::string file(const std::string& name) const { return stage + "/" + name; }
    UniqueFd create(const std::string& name) const {
        return posix::open(file(name), O_RDWR | O_CREAT | O_EXCL, 0600);
    }

    std::string stage;
    Progress progress;
    ArchivePackProgress packProgress{&progress, std::uint64_t{10}};
    UniqueFd stageFd = posix::open(stage, O_RDONLY | O_DIRECTORY);
    UniqueFd snapshotFd = create("snapshot.jsonl");
    UniqueFd expectedFd = create("expected.jsonl");
    ArchivePathRegistry registry{file("registry.sqlite")};
    int writes = 0;
    std::function<void(int write)> onWrite;
    StreamingZIPWriter writer;
    PackWalk walk;
};

// "#" stands for the first 8 hex digits of SHA-256 of the item. A renamed path that is taken too
// is refused.
TEST(ArchivePackWalkTest, ArchiveEntryPathRenamesOnlyOnAClash) {
    const std::vector<std::tuple<Names, std::string, std::optional<std::string>, std::string>>
        cases = {
            {{}, "/x/notes.txt", "a//b/", "a/b/notes.txt"},
            {{"A.TXT"}, "/x/a.txt", std::nullopt, "a~#.txt"},
            {{"d/Archive.tar.gz"}, "/x/archive.tar.gz", "d", "d/archive.tar~#.gz"},
            {{".profile"}, "/x/.Profile", std::nullopt, ".Profile~#"},
            {{"d/sub/x.txt"}, "/x/SUB", "d", "d/SUB~#"},
            {{"d/a.txt", "d/A~#.txt"}, "/x/A.txt", "d", "duplicatePath: d/A~#.txt"},
        };
    for (const auto& [recorded, item, prefix, wanted] : cases) {
        TempDir dir;
        ArchivePathRegistry registry(dir.file("registry.sqlite"));
        const Sha256::Value digest = Sha256::of(item);
        const auto tagged = [&](const std::string& text) {
            return std::regex_replace(text, std::regex("#"),
                                      HexString::encode(std::span(digest.data(), 4)));
        };
        for (const std::string& path : recorded) {
            registry.insert(tagged(path), ArchiveEntryType::file);
        }
        std::string path;
        const std::string outcome =
            outcomeOf([&] { path = archiveEntryPath(item, prefix, item, false, registry); });
        EXPECT_EQ(outcome == "ok" ? path : outcome, tagged(wanted));
    }
}

// Links, FIFOs and missing items are refused; a name that is not UTF-8 is named by its folder.
TEST(ArchivePackWalkTest, RefusesLinksSpecialFilesAndTheReservedName) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"link", "link"},       {"in/", "in/link"},
        {"linked/", "linked"},  {"pipes", "pipes/pipe"},
        {"nothing", "nothing"}, {"bad", "bad"},
        {"bad/\xff", "bad"},    {".Tolvane-Path-Mapping.JSONL", ""},
    };
    for (const auto& [source, refused] : cases) {
        TempDir dir;
        makeTree(dir.path(), {{"in/", ""},
                              {"bad/", ""},
                              {"bad/\xff", ""},
                              {"pipes/", ""},
                              {".Tolvane-Path-Mapping.JSONL", "{}"}});
        ASSERT_EQ(::symlink("in", dir.file("link").c_str()), 0);
        ASSERT_EQ(::symlink("in", dir.file("linked").c_str()), 0);
        ASSERT_EQ(::symlink("missing", dir.file("in/link").c_str()), 0);
        ASSERT_EQ(::mkfifo(dir.file("pipes/pipe").c_str(), 0600), 0);
        PackStage stage(dir);
        EXPECT_EQ(outcomeOf([&] { stage.add(dir.file(source)); }),
                  refused.empty() ? "duplicatePath: .tolvane-path-mapping.jsonl"
                                  : "unsupportedSourceType: " + dir.file(refused));
    }
}

// One row per fence of the walk: changed between the record and the entry, or in the middle of
// an entry (at the writer's n-th probe). Nothing changed is ever packed as it is now.
TEST(ArchivePackWalkTest, AChangeAtAnyFenceIsSourceChanged) {
    const Change replace = [](const std::string& p) {
        writeFile(p + ".new", "content.");
        ::rename((p + ".new").c_str(), p.c_str());
    };
    const Change tag = [](const std::string& p) { ::setxattr(p.c_str(), "user.n", "1", 1, 0); };
    const Change relink = [](const std::string& p) {
        ::rename(p.c_str(), (p + ".old").c_str());
        ::symlink((p + ".old").c_str(), p.c_str());
    };
    const Change chmod = [](const std::string& p) { ::chmod(p.c_str(), 0750); };
    const std::string metadata = "sourceChanged stage=archiveMetadata fields=";
    const std::vector<std::tuple<const char*, int, Change, std::string>> cases = {
        // source, at which write (0: between the record and the entry), change, the log line
        {"f", 0, replace, metadata + "inode"},
        {"f", 0, relink, ""},
        {"f", 0, [](auto& p) { ::unlink(p.c_str()); }, metadata + "unavailable"},
        {"f", 1, replace, ""},  // the path re-check after the data
        {"f", 1, tag, ""},      // the file's attribute re-read
        {"d", 1, tag, "sourceChanged stage=directoryXattrs"},
        {"d", 1, chmod, "sourceChanged stage=directoryEnumerationStart"},
        {"d", 2, chmod, "sourceChanged stage=directoryEnumerationEnd"},
        {"d", 2, relink, metadata + "inode,type"},  // the folder re-check after its children
    };
    for (const auto& [source, atWrite, change, logged] : cases) {
        SCOPED_TRACE(testing::Message() << source << atWrite << logged);
        TempDir dir;
        makeTree(dir.path(),
                 {{"f", "content."}, {"d/", ""}, {"d/b.jpg", std::string(3 << 20, 'b')}});
        const std::string path = dir.file(source);
        if (::setxattr(path.c_str(), "user.probe", "", 0, 0) != 0) {
            GTEST_SKIP() << "no user extended attributes under " << dir.path();
        }
        PackStage stage(dir);
        test::LogCapture log;
        std::string outcome;
        if (atWrite == 0) {
            const SourceSnapshotRecord record = recordItem(sourceItem(path), stage.registry);
            change(path);
            std::uint64_t pending = 0;
            outcome = outcomeOf([&] {
                writeArchiveEntry(record, stage.writer, stage.expectedFd.get(), pending, nullptr,
                                  stage.packProgress, {});
            });
        } else {
            stage.onWrite = [&](int write) { write == atWrite ? change(path) : void(); };
            outcome = outcomeOf([&] { stage.add(path); });
        }
        EXPECT_EQ(outcome, "sourceChanged: " + path);
        const Names lines = log.lines();
        EXPECT_TRUE(logged.empty() || (lines.size() == 1 && lines[0].starts_with(logged)))
            << (lines.empty() ? "no line" : lines[0]);
    }
}

// A FIFO put in a file's place fails at once instead of waiting for a writer; a file the user may
// not read is a permission error, not a change (as an ordinary user: root reads anything).
TEST(ArchivePackWalkTest, FifoSwapDoesNotBlockAndUnreadableIsNotAChange) {
    TempDir dir;
    makeTree(dir.path(), {{"f", "content"}, {"secret", "content"}});
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    PackStage stage(dir);
    SourceSnapshotRecord fifo = recordItem(sourceItem(dir.file("f")), stage.registry);
    fifo.contentSHA256 = Sha256::hexOf("content");
    const SourceSnapshotRecord secret = recordItem(sourceItem(dir.file("secret")), stage.registry);
    ASSERT_EQ(::chmod(dir.file("secret").c_str(), 0), 0);
    ASSERT_EQ(::unlink(dir.file("f").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("f").c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.file("f").c_str(), 0666), 0);
    std::uint64_t pending = 0;
    const std::string changed = "sourceChanged: " + dir.file("f");
    const std::vector<std::pair<std::string, std::function<void()>>> cases = {
        {changed,
         [&] {
             writeArchiveEntry(fifo, stage.writer, stage.expectedFd.get(), pending, nullptr,
                               stage.packProgress, {});
         }},
        {changed, [&] { selectionContentHash(fifo, nullptr); }},
        {"errno EACCES", [&] { selectionContentHash(secret, nullptr); }},
    };
    for (const auto& [wanted, body] : cases) {
        EXPECT_EQ(test::runInChild(
                      [&] { return test::dropPrivileges() && outcomeOf(body) == wanted; }, 20)
                      .describe(),
                  "exit 1");
    }
}

// The walk's own limits: free space on the stage's volume (a folder as the first entry is
// checked at once), the entry count (one more than the limit is refused), the manifest's size
// (one byte over is refused), cancellation.
TEST(ArchivePackWalkTest, SpaceEntryAndManifestLimitsAndCancellation) {
    const std::vector<std::pair<StreamingZIPWriter::FreeSpaceProbe, std::string>> probes = {
        {[](int) { return Free(1'048'831); }, "insufficientSpace: "},
        {[](int) { return Free(1'048'832); }, "ok"},
        {[](int) { return Free(); }, "ok"},
        {[](int) -> Free { throw posix::errnoError(ENOSYS); }, "ok"},
    };
    for (const auto& [probe, outcome] : probes) {
        TempDir dir;
        makeTree(dir.path(), {{"f/", ""}});
        PackStage stage(dir, probe);
        EXPECT_EQ(outcomeOf([&] { stage.add(dir.file("f")); }), outcome);
    }
    TempDir dir;
    makeTree(dir.path(), {{"a", "a"}, {"b", "b"}, {"large", ""}});
    ASSERT_EQ(::truncate(dir.file("large").c_str(), maxPathMappingManifestBytes + 1), 0);
    PackStage stage(dir);
    stage.walk.counters.entryCount = maxEntryCount - 1;
    EXPECT_EQ(outcomeOf([&] { stage.add(dir.file("a")); }), "ok");
    EXPECT_EQ(outcomeOf([&] { stage.add(dir.file("b")); }), "tooManyEntries: ");
    EXPECT_EQ(outcomeOf([&] {
                  appendPathMappingFile(dir.file("large"), stage.writer, stage.expectedFd.get(),
                                        nullptr, {});
              }),
              "invalidInputSnapshot: ");
    stage.progress.cancel();
    EXPECT_EQ(outcomeOf([&] { stage.add(dir.file("a")); }), "cancelled: ");
}

// A small selection, the manifest in a folder of its own. "box" is the last source, so a row
// added to or removed from it changes only the row count.
struct Selection {
    Selection() {
        makeTree(dir.path(), {{"in/", ""},
                              {"out/", ""},
                              {"in/docs/", ""},
                              {"in/box/", ""},
                              {"in/docs/a.txt", "alpha"},
                              {"in/docs/A.txt", "ALPHA"},
                              {"in/docs/big", std::string(200'000, 'b')},
                              {"in/single", "single"}});
        ::chmod(in("single").c_str(), 0644);
    }
    std::string in(const std::string& relative) const { return dir.file("in/" + relative); }
    ArchiveInputSnapshot capture(Progress* progress = nullptr) const {
        return captureInputSnapshot({in("docs"), in("single"), in("box")}, manifest, progress);
    }
    TempDir dir;
    std::string manifest = dir.file("out/selection.jsonl");
};

// Pack's lock-step comparison with the capture names what differs, with exactly these fields; a
// manifest that is not the one captured is refused as a whole.
TEST(ArchiveInputSnapshotTest, PackComparesItsListsWithTheCapture) {
    const auto copyManifest = [](const Selection& t, bool link) {
        writeFile(t.manifest + ".copy", test::readFile(t.manifest));
        link ? (void)::unlink(t.manifest.c_str()),
            (void)::symlink("selection.jsonl.copy", t.manifest.c_str())
             : (void)::rename((t.manifest + ".copy").c_str(), t.manifest.c_str());
    };
    const std::vector<
        std::pair<std::function<void(Selection&, ArchiveInputSnapshot&)>, std::string>>
        cases = {
            {[](auto&, auto&) {}, "ok"},
            {[](auto& t, auto&) { writeFile(t.in("box/new"), "n"); }, "entryCount"},
            {[](auto& t, auto&) { ::unlink(t.in("box/gone").c_str()); }, "entryCount"},
            {[](auto& t, auto&) {  // same size, time and mode, another file
                 writeFile(t.in("copy"), "single");
                 fs::last_write_time(t.in("copy"), fs::last_write_time(t.in("single")));
                 ::chmod(t.in("copy").c_str(), 0644);
                 ::rename(t.in("copy").c_str(), t.in("single").c_str());
             },
             "inode"},
            {[](auto& t, auto&) { ::chmod(t.in("single").c_str(), 0600); }, "permissions"},
            {[](auto& t, auto&) {  // same size, time set back: only the content tells
                 const fs::file_time_type before = fs::last_write_time(t.in("single"));
                 writeFile(t.in("single"), "SINGLE");
                 fs::last_write_time(t.in("single"), before);
             },
             "packedContentOrPath"},
            {[&](auto& t, auto&) { copyManifest(t, false); }, "invalidInputSnapshot"},
            {[&](auto& t, auto&) { copyManifest(t, true); }, "invalidInputSnapshot"},
            {[](auto& t, auto&) { writeFile(t.manifest, test::readFile(t.manifest) + "\n"); },
             "invalidInputSnapshot"},
            {[](auto&, auto& s) { s.entryCount += 1; }, "invalidInputSnapshot"},
        };
    int counted = 0;
    for (const auto& [change, wanted] : cases) {
        SCOPED_TRACE(wanted);
        Selection t;
        if (wanted == "entryCount" && counted++ == 1) {
            writeFile(t.in("box/gone"), "g");  // the second such row removes it
        }
        ArchiveInputSnapshot snapshot = t.capture();
        if (wanted == "ok") {  // a private manifest and no registry left
            EXPECT_EQ(test::namesIn(t.dir.file("out")), Names{"selection.jsonl"});
            EXPECT_EQ(posix::fstat(posix::open(t.manifest, O_RDONLY).get()).st_mode & 0777, 0600u);
        }
        change(t, snapshot);
        PackStage stage(t.dir);
        for (const char* source : {"docs", "single", "box"}) {
            stage.add(t.in(source));
        }
        test::LogCapture log;
        const std::string outcome = outcomeOf([&] {
            verifySelectionSnapshot(snapshot, stage.file("snapshot.jsonl"),
                                    stage.file("expected.jsonl"), nullptr);
        });
        if (wanted == "ok" || wanted.starts_with("invalid")) {
            EXPECT_EQ(outcome, wanted == "ok" ? "ok" : wanted + ": ");
        } else {
            EXPECT_TRUE(outcome.starts_with("sourceChanged: ")) << outcome;
            EXPECT_EQ(log.lines(),
                      Names{"sourceChanged stage=selectionInventory fields=" + wanted});
        }
    }
}

// A file whose change time alone moved (an attribute added, a link made) is still selected if
// its content is what was captured; pack's strict re-check does not forgive it.
TEST(ArchiveInputSnapshotTest, ChangeTimeAloneIsAcceptedAfterARehash) {
    TempDir dir;
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
    const std::vector<std::pair<std::function<std::string(const Selection&)>, std::string>> cases =
        {
            {[](auto& t) {
                 Progress cancelled;
                 cancelled.cancel();
                 return outcomeOf([&] { t.capture(&cancelled); });
             },
             "cancelled: "},
            // The manifest is selected itself: its own row changes it after it was hashed, which
            // only the final re-check of every row can see.
            {[](auto& t) {
                 return outcomeOf([&] { captureInputSnapshot({t.manifest}, t.manifest, nullptr); });
             },
             "sourceChanged: out/selection.jsonl"},
            {[](auto& t) {
                 ArchivePathRegistry registry(t.dir.file("r.sqlite"));
                 const UniqueFd manifest = posix::open(t.dir.file("m"), O_WRONLY | O_CREAT, 0600);
                 CaptureWalk walk{registry, manifest.get(), nullptr, {}, maxEntryCount - 1};
                 const auto add = [&] {
                     appendSelectionSnapshot(sourceItem(t.in("single")), walk);
                 };
                 const std::string first = outcomeOf(add);
                 return first + ", " + outcomeOf(add);
             },
             "ok, tooManyEntries: "},
            {[](auto& t) {
                 ::symlink("elsewhere", (t.manifest + ".registry.sqlite").c_str());
                 return outcomeOf([&] { t.capture(); });
             },
             "finalizationFailed: could not create the path registry: a file is in its place"},
            {[](auto& t) {
                 writeFile(t.manifest, "theirs");
                 return outcomeOf([&] { t.capture(); }) + " " + test::readFile(t.manifest);
             },
             "finalizationFailed: could not create input snapshot theirs"},
        };
    for (const auto& [run, wanted] : cases) {
        const Selection t;
        std::string outcome = run(t);
        if (const auto at = outcome.find(t.dir.path() + "/"); at != std::string::npos) {
            outcome.erase(at, t.dir.path().size() + 1);
        }
        EXPECT_EQ(outcome, wanted);
        EXPECT_EQ(test::namesIn(t.dir.file("out")).size(), wanted.starts_with("final") ? 1u : 0u);
    }
}

}  // namespace
}  // namespace tolvane
