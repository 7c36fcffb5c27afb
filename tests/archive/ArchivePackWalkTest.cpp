#include "core/archive/ArchivePackWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "core/archive/ArchiveEntryWriter.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchiveSelection.h"
#include "core/archive/ArchiveSourceChange.h"
#include "core/archive/PathMappingManifest.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "support/Child.h"
#include "support/LogCapture.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

// The walk that pack and the capture share, the capture's checks, the registry and change rules.
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

// A stage wired into one PackWalk as pack wires it. onWrite sees the count of the writer's
// free-space probes (the first write, then every MiB), to change a source mid-entry.
struct PackStage {
    PackStage()
        : writer(create("payload.zip"), create("cd.bin"), file("cd.bin"),
                 ArchiveCompressionMode::balanced, std::nullopt, std::nullopt,
                 [this](int) { return onWrite ? onWrite(++writes) : void(), Free(1ull << 40); }),
          walk(registry, snapshotRows, expectedRows, writer, stageFd.get(), &progress, packProgress,
               std::stop_token(), {}, PackWalkCounters()) {}

    void add(const std::string& source) { appendSnapshot(sourceItem(source), walk); }
    std::string file(const std::string& name) const { return stage.file(name); }
    UniqueFd create(const std::string& name) const {
        return posix::open(file(name), O_RDWR | O_CREAT | O_EXCL, 0600);
    }
    void writeEntry(const SourceSnapshotRecord& record) {
        std::uint64_t pending = 0;
        writeArchiveEntry(record, writer, expectedRows, pending, nullptr, packProgress, {});
    }

    TempDir stage;
    Progress progress;
    ArchivePackProgress packProgress{&progress, std::uint64_t{10}};
    UniqueFd stageFd = posix::open(stage.path(), O_RDONLY | O_DIRECTORY);
    UniqueFd snapshotFd = create("snapshot.jsonl");
    UniqueFd expectedFd = create("expected.jsonl");
    JSONLines::Writer snapshotRows{snapshotFd.get()};
    JSONLines::Writer expectedRows{expectedFd.get()};
    ArchivePathRegistry registry{file("registry.sqlite")};
    int writes = 0;
    std::function<void(int write)> onWrite;
    StreamingZIPWriter writer;
    PackWalk walk;
};

// Links, FIFOs and missing items are refused; a name that is not UTF-8 is named by its folder.
TEST(ArchivePackWalkTest, RefusesLinksSpecialFilesAndTheReservedName) {
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
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"link", "link"},       {"in/", "in/link"},
        {"linked/", "linked"},  {"pipes", "pipes/pipe"},
        {"nothing", "nothing"}, {"bad", "bad"},
        {"bad/\xff", "bad"},    {".Tolvane-Path-Mapping.JSONL", ""},
    };
    for (const auto& [source, refused] : cases) {
        PackStage stage;
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
        PackStage stage;
        test::LogCapture log;
        std::string outcome;
        if (atWrite == 0) {
            const SourceSnapshotRecord record = recordItem(sourceItem(path), stage.registry);
            change(path);
            outcome = outcomeOf([&] { stage.writeEntry(record); });
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

// The walk's own limits, one over each refused: pack's and the capture's entry count, the manifest.
TEST(ArchivePackWalkTest, EntryAndManifestLimits) {
    TempDir dir;
    makeTree(dir.path(), {{"a", "a"}, {"b", "b"}, {"c", "c"}, {"d", "d"}, {"large", ""}});
    ASSERT_EQ(::truncate(dir.file("large").c_str(), maxPathMappingManifestBytes + 1), 0);
    PackStage stage;
    stage.walk.counters.entryCount = maxEntryCount - 1;
    EXPECT_EQ(outcomeOf([&] { stage.add(dir.file("a")); }), "ok");
    EXPECT_EQ(outcomeOf([&] { stage.add(dir.file("b")); }), "tooManyEntries: ");
    CaptureWalk capture{stage.registry, stage.snapshotRows, nullptr, {}, maxEntryCount - 1};
    const auto select = [&](const char* name) {
        appendSelectionSnapshot(sourceItem(dir.file(name)), capture);
    };
    EXPECT_EQ(outcomeOf([&] { select("c"); }), "ok");
    EXPECT_EQ(outcomeOf([&] { select("d"); }), "tooManyEntries: ");
    EXPECT_EQ(outcomeOf([&] {
                  appendPathMappingFile(dir.file("large"), stage.writer, stage.expectedRows,
                                        nullptr, {});
              }),
              "invalidInputSnapshot: ");
}

// A small selection, the manifest in a folder of its own. "box/last/" is the last item, so a row
// added in it, or its removal, changes only the row count.
struct Selection {
    Selection() {
        makeTree(dir.path(), {{"in/", ""},
                              {"out/", ""},
                              {"in/docs/", ""},
                              {"in/box/", ""},
                              {"in/docs/a.txt", "alpha"},
                              {"in/docs/A.txt", "ALPHA"},
                              {"in/docs/big", std::string(200'000, 'b')},
                              {"in/box/last/", ""},
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
    // A copy put in the manifest's place, or the manifest itself reached through a link.
    const auto replaceManifest = [](const Selection& t, bool link) {
        const std::string other = t.manifest + "~";
        link ? (void)::rename(t.manifest.c_str(), other.c_str())
             : writeFile(other, test::readFile(t.manifest));
        link ? (void)::symlink("selection.jsonl~", t.manifest.c_str())
             : (void)::rename(other.c_str(), t.manifest.c_str());
    };
    using Edit = std::function<void(Selection&, ArchiveInputSnapshot&)>;
    const std::vector<std::pair<Edit, std::string>> cases = {
        {[](auto&, auto&) {}, "ok"},
        {[](auto& t, auto&) { writeFile(t.in("box/last/new"), "n"); }, "entryCount"},
        {[](auto& t, auto&) { ::rmdir(t.in("box/last").c_str()); }, "entryCount"},
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
        {[&](auto& t, auto&) { replaceManifest(t, false); }, "invalidInputSnapshot"},
        {[&](auto& t, auto&) { replaceManifest(t, true); }, "invalidInputSnapshot"},
        {[](auto& t, auto&) { writeFile(t.manifest, test::readFile(t.manifest) + "\n"); },
         "invalidInputSnapshot"},
        {[](auto&, auto& s) { s.entryCount += 1; }, "invalidInputSnapshot"},
    };
    for (const auto& [change, wanted] : cases) {
        SCOPED_TRACE(wanted);
        Selection t;
        ArchiveInputSnapshot snapshot = t.capture();
        if (wanted == "ok") {  // a private manifest and no registry left
            EXPECT_EQ(test::namesIn(t.dir.file("out")), Names{"selection.jsonl"});
            EXPECT_EQ(posix::fstat(posix::open(t.manifest, O_RDONLY).get()).st_mode & 0777, 0600u);
            // Hashing the files in turn writes the same manifest as hashing them on threads.
            const std::string inTurn = t.dir.file("out/in-turn.jsonl");
            ::setenv("TOLVANE_PACK_THREADS", "1", 1);
            const ArchiveInputSnapshot again =
                captureInputSnapshot({t.in("docs"), t.in("single"), t.in("box")}, inTurn, nullptr);
            ::unsetenv("TOLVANE_PACK_THREADS");
            EXPECT_EQ(
                std::tuple(again.manifestSHA256, again.entryCount, again.totalBytes),
                std::tuple(snapshot.manifestSHA256, snapshot.entryCount, snapshot.totalBytes));
            ::unlink(inTurn.c_str());
        }
        change(t, snapshot);
        PackStage stage;
        for (const char* source : {"docs", "single", "box"}) {
            stage.add(t.in(source));
        }
        stage.snapshotRows.flush();
        stage.expectedRows.flush();
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

// A file whose change time alone moved (an attribute added, a link made) is still selected if its
// content is what was captured; pack's strict re-check does not forgive it. A FIFO put in a
// file's place fails at once instead of waiting for a writer.
TEST(ArchiveInputSnapshotTest, ASelectedFileIsCheckedByItsContent) {
    TempDir dir;
    makeTree(dir.path(), {{"f", "content"}, {"fifo", ""}});
    ArchivePathRegistry registry(dir.file("r.sqlite"));
    SourceSnapshotRecord file = recordItem(sourceItem(dir.file("f")), registry);
    const SourceSnapshotRecord fifo = recordItem(sourceItem(dir.file("fifo")), registry);
    file.changedNanoseconds = (file.changedNanoseconds + 1) % 1'000'000'000;
    const std::string changed = "sourceChanged: " + file.sourcePath;
    const std::string changedFifo = "sourceChanged: " + fifo.sourcePath;
    for (const auto& [digest, outcome] :
         std::vector<std::pair<std::optional<std::string>, std::string>>{
             {Sha256::hexOf("content"), "ok"},
             {Sha256::hexOf("CONTENT"), changed},
             {{}, changed}}) {
        file.contentSHA256 = digest;
        EXPECT_EQ(outcomeOf([&] { verifySelectionSource(file, nullptr); }), outcome);
    }
    EXPECT_EQ(outcomeOf([&] { verifySourceMetadata(file); }), changed);
    ASSERT_EQ(::unlink(fifo.sourcePath.c_str()), 0);
    ASSERT_EQ(::mkfifo(fifo.sourcePath.c_str(), 0600), 0);
    const auto refused = [&] {  // in a child, so that a wait for a writer cannot hang the test
        return outcomeOf([&] { selectionContentHash(fifo, nullptr); }) == changedFifo;
    };
    EXPECT_EQ(test::runInChild(refused, 20).describe(), "exit 1");
}

// Whatever ends a capture, neither its manifest nor its registry stays; files that were there
// before are never taken over. A selected manifest changes with its own row after it was
// hashed, which only the final re-check of every row can see.
TEST(ArchiveInputSnapshotTest, AFailedCaptureLeavesNothingBehind) {
    enum Row { cancelled, selectsItsManifest, registryTaken, manifestTaken };
    const char* const wanted[] = {
        "cancelled: ", "sourceChanged: ", "finalizationFailed: ", "finalizationFailed: "};
    for (const Row row : {cancelled, selectsItsManifest, registryTaken, manifestTaken}) {
        const Selection t;
        Progress progress;
        row == cancelled ? progress.cancel() : void();
        row == registryTaken ? (void)::symlink("x", (t.manifest + ".registry.sqlite").c_str())
                             : void();
        row == manifestTaken ? writeFile(t.manifest, "theirs") : void();
        const std::string outcome = outcomeOf([&] {
            captureInputSnapshot({row == selectsItsManifest ? t.manifest : t.in("single")},
                                 t.manifest, &progress);
        });
        EXPECT_TRUE(outcome.starts_with(wanted[row])) << outcome;
        EXPECT_EQ(test::namesIn(t.dir.file("out")).size(), row >= registryTaken ? 1u : 0u);
        EXPECT_TRUE(row != manifestTaken || test::readFile(t.manifest) == "theirs");
    }
}

// Each step asks canInsert and records the path when it is accepted, as unpack does, and asks
// tryInsert of a second registry, as pack does:
// "+" accepted, "-" refused; "f" a file, "d" a folder, "l" a link, which follows the file rule.
// A clash renames the item by a tag of its identity; a renamed path that is taken too is refused
// by its name instead of failing on the registry's uniqueness. A failed insert leaves the
// registry usable; closing releases the file; a file already in its place (even our own
// database) is refused.
TEST(ArchivePathRegistryTest, AcceptsOnlyPathsThatCannotCollideAndClosesOnEveryWayOut) {
    const std::vector<Names> sequences = {
        {"+f a/b", "-f A/B/c/d.txt", "-d a/b/", "+f a/c/d.txt"},
        {"+f a/b.txt", "-f a", "+d a/", "-l A"},
        {"+f p/q/r.txt", "-f P/Q", "-f p"},
        {"+d x/", "-d X/", "-f x", "-l X"},
        {"+d a", "+d a/b", "+f A/B/c.txt", "-f a/B"},
        {"+l l", "-f l/x", "-d L/y"},
        {"+f a/b/c", "+f a/b/d", "-f A/B", "-f a/b/C", "+d a/b/e/", "+f a/b/e/f", "-l a/B/e"},
    };
    const auto openFiles = [] { return test::namesIn("/proc/self/fd").size(); };
    const std::size_t before = openFiles();
    TempDir dir;
    for (std::size_t index = 0; index < sequences.size(); ++index) {
        ArchivePathRegistry registry(dir.file(std::to_string(index)));
        ArchivePathRegistry oneStep(dir.file(std::to_string(index) + "-one-step"));
        for (const std::string& step : sequences[index]) {
            const std::string path = step.substr(3);
            const ArchiveEntryType type = step[1] == 'f'   ? ArchiveEntryType::file
                                          : step[1] == 'd' ? ArchiveEntryType::directory
                                                           : ArchiveEntryType::symlink;
            ASSERT_EQ(registry.canInsert(path, type), step[0] == '+') << step;
            ASSERT_EQ(oneStep.tryInsert(path, type), step[0] == '+') << step;
            if (step[0] == '+') {
                registry.insert(path, type);
            }
        }
    }
    constexpr ArchiveEntryType F = ArchiveEntryType::file;
    const std::string path = dir.file("registry.sqlite");
    ArchivePathRegistry registry(path);
    registry.insert("d/a.txt", F);
    const auto add = [&] {
        return archiveEntryPath("/x/A.txt", "d//", "/x/A.txt", false, registry);
    };
    const std::string renamed = add();
    EXPECT_TRUE(std::regex_match(renamed, std::regex("d/A~[0-9a-f]{8}\\.txt"))) << renamed;
    EXPECT_EQ(outcomeOf(add), "duplicatePath: " + renamed);
    EXPECT_EQ(outcomeOf([&] { registry.insert("D/A.TXT", F); }).substr(0, 20),
              "finalizationFailed: ");
    registry.insert("D/", ArchiveEntryType::directory);
    EXPECT_FALSE(registry.canInsert("D/a.TXT", F));  // a statement left on a row
    registry.close();
    EXPECT_EQ(openFiles(), before);
    EXPECT_EQ(outcomeOf([&] { ArchivePathRegistry again(path); }).substr(0, 20),
              "finalizationFailed: ");
}

// The re-check's rules for a file (folders are the walk's rows) and its log line: the stage and
// the field words only; any other text, which could be a path or a name, becomes "unknown". A
// path with a NUL is never cut short to another file's.
TEST(SourceChangeTest, ComparesTheRulesAndLogsOnlyTheirWords) {
    TempDir dir;
    writeFile(dir.file("f"), "hello");
    struct stat status {};
    ASSERT_EQ(::lstat(dir.file("f").c_str(), &status), 0);
    const SourceSnapshotRecord record = makeSourceRecord("/s", "s", "s", status);
    const std::vector<std::pair<std::function<void(struct stat&)>, Names>> cases = {
        {[](auto& s) { s.st_mode |= S_ISUID | S_ISVTX; }, {}},  // only the permission bits count
        {[](auto& s) { s.st_size += 1; }, {"size"}},
        {[](auto& s) { s.st_mtim.tv_nsec ^= 1; }, {"mtime"}},
        {[](auto& s) { s.st_dev += 1, s.st_ino += 1; }, {"device", "inode"}},
    };
    for (const auto& [change, names] : cases) {
        struct stat now = status;
        change(now);
        EXPECT_EQ(metadataDifferenceNames(record, now, true), names);
        EXPECT_EQ(matches(record, now, true), names.empty());
    }
    const SourceSnapshotRecord cut = makeSourceRecord(dir.file("f") + '\0' + "x", "p", "p", status);
    test::LogCapture log;
    EXPECT_EQ(outcomeOf([&] { verifySourceMetadata(cut); }), "sourceChanged: " + cut.sourcePath);
    logSourceChange(SourceChangeStage::selectionInventory, Names{"size", "/home/a/Plans", "inode"});
    logSourceChange(SourceChangeStage::directoryXattrs, "Secret.txt");
    EXPECT_EQ(log.lines(),
              (Names{"sourceChanged stage=archiveMetadata fields=unavailable",
                     "sourceChanged stage=selectionInventory fields=size,unknown,inode",
                     "sourceChanged stage=directoryXattrs fields=unknown"}));
}

}  // namespace
}  // namespace tolvane
