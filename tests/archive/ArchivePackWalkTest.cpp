#include "core/archive/ArchivePackWalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/archive/ArchiveEntryWriter.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveSelection.h"
#include "core/archive/PathMappingManifest.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "support/ArchiveErrors.h"
#include "support/Child.h"
#include "support/LogCapture.h"
#include "support/Outcome.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using test::makeTree;
using test::outcomeOf;
using test::readRows;
using test::TempDir;

std::string identityTag(std::string_view identity) {
    const Sha256::Value digest = Sha256::of(identity);
    return HexString::encode(std::span<const std::uint8_t>(digest.data(), 4));
}

// A pack stage wired into one PackWalk as pack wires it. The writer's free-space probe runs at
// its first write and after every MiB; onWrite sees its count, to change a source mid-entry.
struct PackStage {
    explicit PackStage(const TempDir& dir, StreamingZIPWriter::FreeSpaceProbe walkProbe = {})
        : stage((::mkdir(dir.file("stage").c_str(), 0700), dir.file("stage"))),
          walk{registry,
               snapshotFd.get(),
               expectedFd.get(),
               writer,
               stageFd.get(),
               &progress,
               packProgress,
               {},
               std::move(walkProbe),
               {}} {}

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
    ArchivePathRegistry registry{file("path-registry.sqlite")};
    int writes = 0;
    std::function<void(int write)> onWrite;
    StreamingZIPWriter writer{create("payload.zip"),
                              create("central-directory.bin"),
                              file("central-directory.bin"),
                              ArchiveCompressionMode::balanced,
                              std::nullopt,
                              std::nullopt,
                              [this](int) {
                                  if (onWrite) {
                                      onWrite(++writes);
                                  }
                                  return std::optional(std::uint64_t{1} << 40);
                              }};
    PackWalk walk;
};

// Lists, archive and counters tell the same story; ".DS_Store" is never packed, a trailing "/"
// is not part of a path, and of two names a case-insensitive disk would merge the one listed
// second is renamed with its identity tag.
TEST(ArchivePackWalkTest, WritesEveryEntryOnceWithListsMatchingTheArchive) {
    TempDir dir;
    makeTree(dir.path(), {{"docs/", ""},
                          {"docs/empty/", ""},
                          {"docs/.DS_Store", "finder"},
                          {"docs/notes.txt", test::textBytes(200'000)},
                          {"docs/a.txt", "lower"},
                          {"docs/A.txt", "upper"},
                          {"single", "12345"}});
    PackStage stage(dir);
    stage.add(dir.file("docs/"));
    stage.add(dir.file("single"));
    finishPackWalk(stage.walk);
    stage.writer.finalize([] {});

    const auto rows = readRows<SourceSnapshotRecord>(stage.file("snapshot.jsonl"));
    const auto expected = readRows<ExpectedArchiveRecord>(stage.file("expected.jsonl"));
    const std::map<std::string, std::string> zip = test::zipEntries(stage.file("payload.zip"));
    ASSERT_EQ(rows.size(), 6u);
    ASSERT_EQ(expected.size(), 6u);
    EXPECT_EQ(zip.size(), 6u);
    EXPECT_EQ(rows.front().sourcePath, dir.file("docs"));
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SourceSnapshotRecord& row = rows[i];
        const std::string data = row.isDirectory ? "" : test::readFile(row.sourcePath);
        const std::string path = row.entryPath + (row.isDirectory ? "/" : "");
        const std::string renamed =
            "docs/" +
            row.originalPath.substr(std::min<std::size_t>(5, row.originalPath.size()), 1) + "~" +
            identityTag(row.sourcePath) + ".txt";
        EXPECT_TRUE(row.entryPath == row.originalPath || row.entryPath == renamed) << path;
        EXPECT_EQ(expected[i], (ExpectedArchiveRecord{path, data.size(),
                                                      row.isDirectory ? "" : Sha256::hexOf(data)}));
        EXPECT_EQ(zip.count(path) ? zip.at(path) : "missing", data);
        bytes += data.size();
    }
    const PackWalkCounters& counters = stage.walk.counters;
    EXPECT_EQ(std::vector({counters.entryCount, counters.fileCount, counters.pathMappingCount}),
              std::vector<std::uint64_t>({6, 4, 1}));
    EXPECT_EQ(counters.totalBytes, bytes);
    EXPECT_EQ(stage.packProgress.completedBytes(), bytes);
    EXPECT_EQ(stage.progress.snapshot().number(ArchiveProgressInfo::scannedEntriesKey), 6u);
    EXPECT_EQ(stage.progress.snapshot().text(ArchiveProgressInfo::stageKey), "packaging");
}

// "#" stands for the identity tag of the item. A renamed path that is taken too is refused.
TEST(ArchivePackWalkTest, ArchiveEntryPathRenamesOnlyOnAClash) {
    const std::vector<
        std::tuple<std::vector<std::string>, std::string, std::optional<std::string>, std::string>>
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
        const auto tagged = [&](std::string text) {
            const auto at = text.find('#');
            return at == std::string::npos ? text : text.replace(at, 1, identityTag(item));
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
    using Change = std::function<void(const std::string& path)>;
    const Change replace = [](const std::string& p) {
        test::writeFile(p + ".new", "content.");
        ::rename((p + ".new").c_str(), p.c_str());
    };
    const Change tag = [](const std::string& p) { ::setxattr(p.c_str(), "user.n", "1", 1, 0); };
    const Change relink = [](const std::string& p) {
        ::rename(p.c_str(), (p + ".old").c_str());
        ::symlink((p + ".old").c_str(), p.c_str());
    };
    const Change chmod = [](const std::string& p) { ::chmod(p.c_str(), 0750); };
    struct Case {
        const char* name;
        const char* source;
        int atWrite;  // 0: between the record and the entry
        Change change;
        std::string logged;  // the start of the one log line, if one is written
    };
    const std::vector<Case> cases = {
        {"grown", "f", 0, [](auto& p) { test::writeFile(p, "content.!"); }, ""},
        {"shrunk", "f", 0, [](auto& p) { test::writeFile(p, "content"); }, ""},
        {"replaced", "f", 0, replace, "sourceChanged stage=archiveMetadata fields=inode"},
        {"permissions", "f", 0, chmod, "sourceChanged stage=archiveMetadata fields=permissions"},
        {"replaced by a link", "f", 0, relink, ""},
        {"gone", "f", 0, [](auto& p) { ::unlink(p.c_str()); }, ""},
        {"the path re-check after the data", "f", 1, replace, ""},
        {"the file's attribute re-read", "f", 1, tag, ""},
        {"the folder's attribute re-read", "d", 1, tag, "sourceChanged stage=directoryXattrs"},
        {"the listing's start", "d", 1, chmod, "sourceChanged stage=directoryEnumerationStart"},
        {"the listing's end", "d", 2, chmod, "sourceChanged stage=directoryEnumerationEnd"},
        {"the folder re-check after its children", "d", 2, relink,
         "sourceChanged stage=archiveMetadata fields=inode,type"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        makeTree(dir.path(),
                 {{"f", "content."}, {"d/", ""}, {"d/b.jpg", test::textBytes(3 << 20)}});
        const std::string path = dir.file(c.source);
        if (::setxattr(path.c_str(), "user.probe", "", 0, 0) != 0) {
            GTEST_SKIP() << "no user extended attributes under " << dir.path();
        }
        PackStage stage(dir);
        test::LogCapture log;
        std::string outcome;
        if (c.atWrite == 0) {
            const SourceSnapshotRecord record = recordItem(sourceItem(path), stage.registry);
            c.change(path);
            std::uint64_t pending = 0;
            outcome = outcomeOf([&] {
                writeArchiveEntry(record, stage.writer, stage.expectedFd.get(), pending, nullptr,
                                  stage.packProgress, {});
            });
        } else {
            stage.onWrite = [&](int write) { write == c.atWrite ? c.change(path) : void(); };
            outcome = outcomeOf([&] { stage.add(path); });
        }
        EXPECT_EQ(outcome, "sourceChanged: " + path);
        const std::vector<std::string> lines = log.lines();
        EXPECT_TRUE(c.logged.empty() || (lines.size() == 1 && lines[0].starts_with(c.logged)))
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
    ASSERT_EQ(::mkfifo(dir.file("f").c_str(), 0600), 0);
    ASSERT_EQ(::chmod(dir.file("f").c_str(), 0666), 0);
    const auto inChild = [](const std::string& wanted, const std::function<void()>& body) {
        return test::runInChild([&] { return test::dropPrivileges() && outcomeOf(body) == wanted; },
                                20)
            .describe();
    };
    std::uint64_t pending = 0;
    const std::string changed = "sourceChanged: " + dir.file("f");
    EXPECT_EQ(inChild(changed,
                      [&] {
                          writeArchiveEntry(fifo, stage.writer, stage.expectedFd.get(), pending,
                                            nullptr, stage.packProgress, {});
                      }),
              "exit 1");
    EXPECT_EQ(inChild(changed, [&] { selectionContentHash(fifo, nullptr); }), "exit 1");
    EXPECT_EQ(inChild(changed, [&] { verifySelectionSource(fifo, nullptr); }), "exit 1");
    EXPECT_EQ(inChild("errno EACCES", [&] { selectionContentHash(secret, nullptr); }), "exit 1");
}

// The walk's own limits: free space on the stage's volume (a folder as the first entry is
// checked at once), the entry count (one more than the limit is refused), cancellation.
TEST(ArchivePackWalkTest, SpaceEntryLimitAndCancellation) {
    using Free = std::optional<std::uint64_t>;
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
    makeTree(dir.path(), {{"a", "a"}, {"b", "b"}});
    PackStage stage(dir);
    stage.walk.counters.entryCount = maxEntryCount - 1;
    EXPECT_EQ(outcomeOf([&] { stage.add(dir.file("a")); }), "ok");
    EXPECT_EQ(outcomeOf([&] { stage.add(dir.file("b")); }), "tooManyEntries: ");
    stage.progress.cancel();
    EXPECT_EQ(outcomeOf([&] { stage.add(dir.file("a")); }), "cancelled: ");
}

// The manifest goes in under its fixed name; one byte over its size limit is refused.
TEST(ArchivePackWalkTest, AppendsThePathMappingManifest) {
    TempDir dir;
    const std::string content = test::textBytes(100'000);
    makeTree(dir.path(), {{"mapping", content}, {"large", ""}});
    ASSERT_EQ(::truncate(dir.file("large").c_str(), maxPathMappingManifestBytes + 1), 0);
    PackStage stage(dir);
    for (const char* name : {"large", "mapping"}) {
        EXPECT_EQ(outcomeOf([&] {
                      appendPathMappingFile(dir.file(name), stage.writer, stage.expectedFd.get(),
                                            nullptr, {});
                  }),
                  name[0] == 'l' ? "invalidInputSnapshot: " : "ok");
    }
    stage.writer.finalize([] {});
    const std::string name(reservedMappingName);
    EXPECT_EQ(readRows<ExpectedArchiveRecord>(stage.file("expected.jsonl")),
              (std::vector<ExpectedArchiveRecord>{{name, content.size(), Sha256::hexOf(content)}}));
    EXPECT_EQ(test::zipEntries(stage.file("payload.zip")),
              (std::map<std::string, std::string>{{name, content}}));
}

}  // namespace
}  // namespace tolvane
