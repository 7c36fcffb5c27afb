#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePackProgress.h"
#include "core/archive/ArchivePackWalk.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveSelection.h"
#include "core/archive/ArchiveSourceChange.h"
#include "core/archive/ArchiveValues.h"
#include "core/archive/JSONLines.h"
#include "core/archive/StreamingZIPWriter.h"
#include "core/common/Digest.h"
#include "core/common/Log.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/UniqueFd.h"
#include "support/ArchiveErrors.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::errorOf;
using test::namesIn;
using test::readRows;

using namespace ArchivePipeline;
using Code = ArchivePipelineError::Code;
using Names = std::vector<std::string>;
using test::TempDir;
using test::writeFile;

// Captures every log line for the life of the object; logging here is synchronous.
class LogCapture {
public:
    LogCapture() : previous_(Log::setSink(sink_)) {}
    ~LogCapture() { Log::setSink(previous_); }
    const Names& lines() const { return sink_->lines; }

private:
    struct Sink final : Log::Sink {
        void write(Log::Category, std::string_view message) noexcept override {
            lines.emplace_back(message);
        }
        Names lines;
    };
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
    std::shared_ptr<Log::Sink> previous_;
};

// The walk pack runs over the same sources: its two lists, then the checks pack runs on them.
class PackSide {
public:
    explicit PackSide(const std::string& root) : stage_(madeFolder(root + "/stage")) {}

    PackWalkCounters walk(const std::vector<std::string>& sources) {
        PackWalk walk(registry_, snapshotFd_.get(), expectedFd_.get(), writer_, stageFd_.get(),
                      nullptr, packProgress_, {}, {}, {});
        for (const std::string& source : sources) {
            appendSnapshot(sourceItem(source), walk);
        }
        finishPackWalk(walk);
        return walk.counters;
    }
    void verify(const ArchiveInputSnapshot& snapshot) {
        verifySelectionSnapshot(snapshot, file("snapshot.jsonl"), file("expected.jsonl"), nullptr);
    }
    std::string file(const std::string& name) const { return stage_ + "/" + name; }
    int expectedFd() const { return expectedFd_.get(); }

private:
    static std::string madeFolder(const std::string& path) {
        if (::mkdir(path.c_str(), 0700) != 0) {
            throw std::system_error(errno, std::generic_category(), path);
        }
        return path;
    }
    UniqueFd create(const std::string& name) {
        return posix::open(file(name), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    }

    std::string stage_;
    ArchivePackProgress packProgress_{nullptr, std::nullopt};
    UniqueFd stageFd_ = posix::open(stage_, O_RDONLY | O_DIRECTORY);
    UniqueFd snapshotFd_ = create("snapshot.jsonl");
    UniqueFd expectedFd_ = create("expected.jsonl");
    ArchivePathRegistry registry_{file("path-registry.sqlite")};
    StreamingZIPWriter writer_{create("payload.zip"),
                               create("central-directory.bin"),
                               file("central-directory.bin"),
                               ArchiveCompressionMode::balanced,
                               std::nullopt,
                               std::nullopt};
};

// A selection folder with a small tree, and a separate folder for the manifest.
class Selection {
public:
    Selection() {
        for (const char* folder : {"in", "snapshots", "in/docs", "in/docs/empty"}) {
            if (::mkdir(dir_.file(folder).c_str(), 0700) != 0) {
                throw std::system_error(errno, std::generic_category(), folder);
            }
        }
        writeFile(in("docs/a.txt"), "alpha");
        writeFile(in("docs/big.bin"), test::randomBytes(200'000, 7));
        writeFile(in("single.txt"), "single");
    }

    std::string in(const std::string& relative) const { return dir_.file("in/" + relative); }
    std::string manifest() const { return dir_.file("snapshots/selection.jsonl"); }
    std::string snapshots() const { return dir_.file("snapshots"); }
    const std::string& root() const { return dir_.path(); }
    std::vector<std::string> sources() const { return {in("docs"), in("single.txt")}; }
    ArchiveInputSnapshot capture(Progress* progress = nullptr) const {
        return captureInputSnapshot(sources(), manifest(), progress);
    }

private:
    TempDir dir_;
};

class ArchiveInputSnapshotTest : public testing::Test, public Selection {};

TEST_F(ArchiveInputSnapshotTest, CaptureRecordsEveryEntryAndIdentifiesTheManifest) {
    Progress progress;
    const ArchiveInputSnapshot snapshot = capture(&progress);
    const std::vector<SourceSnapshotRecord> rows = readRows<SourceSnapshotRecord>(manifest());
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(snapshot.manifestURL, manifest());
    EXPECT_EQ(snapshot.entryCount, 5u);
    EXPECT_EQ(snapshot.totalBytes, 5u + 200'000u + 6u);
    EXPECT_EQ(snapshot.manifestSHA256, Sha256::hexOf(test::readFile(manifest())));
    struct stat status {};
    ASSERT_EQ(::lstat(manifest().c_str(), &status), 0);
    EXPECT_EQ(snapshot.device, static_cast<std::uint64_t>(status.st_dev));
    EXPECT_EQ(snapshot.inode, static_cast<std::uint64_t>(status.st_ino));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    for (const SourceSnapshotRecord& row : rows) {
        EXPECT_EQ(row.contentSHA256,
                  row.isDirectory ? std::nullopt
                                  : std::optional(Sha256::hexOf(test::readFile(row.sourcePath))))
            << row.sourcePath;
    }
    // Only the entry count is published, and no registry is left beside the manifest.
    EXPECT_EQ(progress.snapshot().number(ArchiveProgressInfo::scannedEntriesKey), 1u);
    EXPECT_FALSE(progress.snapshot().text(ArchiveProgressInfo::stageKey));
    EXPECT_EQ(namesIn(snapshots()), Names{"selection.jsonl"});

    const ArchiveInputSnapshot empty =
        captureInputSnapshot({in("docs/empty")}, snapshots() + "/empty.jsonl", nullptr);
    EXPECT_EQ(empty.entryCount, 1u);
    EXPECT_EQ(empty.totalBytes, 0u);
}

TEST_F(ArchiveInputSnapshotTest, CaptureAndPackGiveACaseClashTheSamePathsAndThePackPasses) {
    writeFile(in("docs/A.txt"), "ALPHA");
    const ArchiveInputSnapshot snapshot = capture();
    PackSide pack(root());
    const PackWalkCounters counters = pack.walk(sources());
    EXPECT_EQ(counters.pathMappingCount, 1u);
    EXPECT_EQ(counters.entryCount, snapshot.entryCount);

    const std::vector<SourceSnapshotRecord> captured = readRows<SourceSnapshotRecord>(manifest());
    const std::vector<SourceSnapshotRecord> packed =
        readRows<SourceSnapshotRecord>(pack.file("snapshot.jsonl"));
    ASSERT_EQ(captured.size(), packed.size());
    std::size_t renamed = 0;
    for (std::size_t i = 0; i < captured.size(); ++i) {
        EXPECT_EQ(captured[i].entryPath, packed[i].entryPath);
        renamed += captured[i].entryPath != captured[i].originalPath ? 1 : 0;
    }
    EXPECT_EQ(renamed, 1u);
    EXPECT_NO_THROW(pack.verify(snapshot));
    EXPECT_NO_THROW(verifySnapshotIsStillPresent(pack.file("snapshot.jsonl"), nullptr));
}

// After the capture, a change of the selection fails the pack as sourceChanged with the fields
// named in the log, and a manifest that is not the one captured fails it as invalidInputSnapshot.
TEST_F(ArchiveInputSnapshotTest, AnythingChangedAfterTheCaptureFailsThePack) {
    struct Case {
        const char* name;
        std::function<void(Selection& t, ArchiveInputSnapshot& snapshot)> change;
        std::optional<std::string> fields;  // none: the manifest is refused
    };
    // Puts a byte-for-byte copy of the manifest in its place, itself or through a link.
    const auto replaceByCopy = [](const std::string& m, bool throughLink) {
        writeFile(m + ".copy", test::readFile(m));
        ASSERT_EQ(throughLink ? ::unlink(m.c_str()) : ::rename((m + ".copy").c_str(), m.c_str()),
                  0);
        ASSERT_TRUE(!throughLink || ::symlink((m + ".copy").c_str(), m.c_str()) == 0);
    };
    const std::vector<Case> cases = {
        {"file added", [](auto& t, auto&) { writeFile(t.in("docs/new.txt"), "n"); }, ""},
        {"file removed", [](auto& t, auto&) { ::unlink(t.in("docs/a.txt").c_str()); }, ""},
        {"file replaced by a copy",
         [](auto& t, auto&) {
             writeFile(t.in("copy"), "single");
             ASSERT_EQ(::rename(t.in("copy").c_str(), t.in("single.txt").c_str()), 0);
         },
         "inode"},
        {"permissions", [](auto& t, auto&) { ::chmod(t.in("single.txt").c_str(), 0600); },
         "permissions"},
        // Rewritten in place with the same size and its modification time set back: only the
        // content tells.
        {"rewritten",
         [](auto& t, auto&) {
             const auto rows = readRows<SourceSnapshotRecord>(t.manifest());
             const auto row = *std::find_if(rows.begin(), rows.end(), [&](const auto& r) {
                 return r.sourcePath == t.in("docs/a.txt");
             });
             writeFile(row.sourcePath, "ALPHA");
             const timespec times[2] = {{0, UTIME_OMIT},
                                        {row.modifiedSeconds, row.modifiedNanoseconds}};
             ASSERT_EQ(::utimensat(AT_FDCWD, row.sourcePath.c_str(), times, 0), 0);
         },
         "packedContentOrPath"},
        {"manifest copy", [&](auto& t, auto&) { replaceByCopy(t.manifest(), false); }, {}},
        {"manifest link to a copy", [&](auto& t, auto&) { replaceByCopy(t.manifest(), true); }, {}},
        {"manifest edited",
         [](auto& t, auto&) { writeFile(t.manifest(), test::readFile(t.manifest()) + "\n"); },
         {}},
        {"manifest deleted", [](auto& t, auto&) { ::unlink(t.manifest().c_str()); }, {}},
        {"another row count", [](auto&, auto& s) { s.entryCount += 1; }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir scratch;
        Selection t;
        ASSERT_EQ(::chmod(t.in("single.txt").c_str(), 0644), 0);
        ArchiveInputSnapshot snapshot = t.capture();
        c.change(t, snapshot);
        PackSide pack(scratch.path());
        pack.walk(t.sources());
        LogCapture log;
        const auto error = errorOf([&] { pack.verify(snapshot); });
        if (!c.fields) {
            EXPECT_EQ(error, ArchivePipelineError::invalidInputSnapshot());
            continue;
        }
        EXPECT_EQ(error->code(), Code::sourceChanged);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_TRUE(log.lines()[0].starts_with("sourceChanged stage=selectionInventory fields=" +
                                               *c.fields))
            << log.lines()[0];
    }
    // The manifest checks out, but the pack's list holds a row more than the archive.
    PackSide pack(root());
    pack.walk(sources());
    JSONLines::append(ExpectedArchiveRecord{"extra", 0, ""}, pack.expectedFd());
    const ArchiveInputSnapshot snapshot = capture();
    EXPECT_EQ(errorOf([&] { pack.verify(snapshot); }),
              ArchivePipelineError::invalidArchive("unused manifest records"));
}

// A change of the change time alone (an attribute added, a hard link made) keeps a file in the
// selection as long as its content is what was captured.
TEST(ArchiveSelectionSourceTest, ChangeTimeAloneIsAcceptedAfterARehash) {
    TempDir dir;
    const std::string path = dir.file("f");
    writeFile(path, "content");
    TempDir registryDir;
    ArchivePathRegistry registry(registryDir.file("r.sqlite"));
    SourceSnapshotRecord current = recordItem(sourceItem(path), registry);
    current.contentSHA256 = Sha256::hexOf("content");
    EXPECT_NO_THROW(verifySelectionSource(current, nullptr));

    for (const auto& [digest, accepted] : std::vector<std::pair<std::optional<std::string>, bool>>{
             {Sha256::hexOf("content"), true}, {Sha256::hexOf("CONTENT"), false}, {{}, false}}) {
        SourceSnapshotRecord captured = current;
        captured.changedNanoseconds = (captured.changedNanoseconds + 1) % 1'000'000'000;
        captured.contentSHA256 = digest;
        if (accepted) {
            EXPECT_NO_THROW(verifySelectionSource(captured, nullptr));
        } else {
            EXPECT_EQ(errorOf([&] { verifySelectionSource(captured, nullptr); }),
                      ArchivePipelineError::sourceChanged(path))
                << digest.value_or("no digest");
        }
    }
    // Pack's strict check does not forgive it, but the selection comparison ignores it.
    SourceSnapshotRecord moved = current;
    moved.changedSeconds += 1;
    EXPECT_TRUE(sameSelectionIdentity(moved, current));
    EXPECT_EQ(errorOf([&] { verifySourceMetadata(moved); })->code(), Code::sourceChanged);
}

TEST(ArchiveSelectionSourceTest, DifferenceNamesFollowTheFixedOrder) {
    const SourceSnapshotRecord file{
        "/a/f", "f", "f", false, 3, 1, 2, 10, 0, 0, 0, 0644, Sha256::hexOf("abc")};
    const std::vector<std::pair<std::function<void(SourceSnapshotRecord&)>, Names>> cases = {
        {[](auto&) {}, {"packedContentOrPath"}},
        {[](auto& r) {
             r.contentSHA256 = "x";
             r.changedSeconds = 99;
         },
         {"packedContentOrPath"}},
        {[](auto& r) { r.entryPath = "f~1"; }, {"pathIdentity"}},
        {[](auto& r) { r = {"/b/f", "f", "f", true, 0, 5, 6, 10, 1, 0, 0, 0700, r.contentSHA256}; },
         {"pathIdentity", "type", "size", "device", "inode", "mtime", "permissions"}},
    };
    for (const auto& [change, names] : cases) {
        SourceSnapshotRecord packed = file;
        change(packed);
        EXPECT_EQ(selectionDifferenceNames(file, packed), names);
        EXPECT_EQ(sameSelectionIdentity(file, packed), names.front() == "packedContentOrPath");
    }
    // A folder's modification time is not part of its selection identity.
    const SourceSnapshotRecord folder{"/a/f", "f", "f", true, 0, 1, 2, 10, 0, 0, 0, 0644, {}};
    SourceSnapshotRecord touched = folder;
    touched.modifiedSeconds += 5;
    EXPECT_TRUE(sameSelectionIdentity(folder, touched));
}

// The manifest is deleted on every failure after its creation, and no registry stays.
TEST_F(ArchiveInputSnapshotTest, FailedOrCancelledCaptureLeavesNothingBehind) {
    for (const bool throughTask : {false, true}) {
        Selection t;
        Progress progress;
        std::stop_source stop;
        if (throughTask) {
            stop.request_stop();
        } else {
            progress.cancel();
        }
        EXPECT_EQ(errorOf([&] {
                      captureInputSnapshot(t.sources(), t.manifest(), &progress, stop.get_token());
                  })->code(),
                  Code::cancelled);
        EXPECT_TRUE(namesIn(t.snapshots()).empty());
    }
    // A link among the sources (after a file) or inside a selected folder, or a FIFO in one.
    for (const std::string planted : {"link", "docs/zz-link", "docs/pipe"}) {
        SCOPED_TRACE(planted);
        Selection t;
        const char* target = planted == "link" ? "docs" : "a.txt";
        ASSERT_EQ(planted == "docs/pipe" ? ::mkfifo(t.in(planted).c_str(), 0600)
                                         : ::symlink(target, t.in(planted).c_str()),
                  0);
        std::vector<std::string> sources = {t.in("single.txt"), t.in("docs")};
        if (planted == "link") {
            sources.push_back(t.in("link"));
        }
        EXPECT_EQ(errorOf([&] { captureInputSnapshot(sources, t.manifest(), nullptr); })->code(),
                  Code::unsupportedSourceType);
        EXPECT_TRUE(namesIn(t.snapshots()).empty());
    }
}

TEST_F(ArchiveInputSnapshotTest, CaptureNeverTakesOverFilesThatAreAlreadyThere) {
    // A manifest path in use is refused and the file is left as it was.
    writeFile(manifest(), "theirs");
    EXPECT_EQ(errorOf([&] { capture(); }),
              ArchivePipelineError::finalizationFailed("could not create input snapshot"));
    EXPECT_EQ(test::readFile(manifest()), "theirs");
    ASSERT_EQ(::unlink(manifest().c_str()), 0);

    // Something in the registry's place is left alone too, and the new manifest goes away.
    writeFile(root() + "/target.sqlite", "not ours");
    ASSERT_EQ(
        ::symlink((root() + "/target.sqlite").c_str(), (manifest() + ".registry.sqlite").c_str()),
        0);
    EXPECT_EQ(errorOf([&] { capture(); })->code(), Code::finalizationFailed);
    EXPECT_EQ(test::readFile(root() + "/target.sqlite"), "not ours");
    EXPECT_EQ(namesIn(snapshots()), Names{"selection.jsonl.registry.sqlite"});
    EXPECT_EQ(errorOf([&] { captureInputSnapshot({}, manifest(), nullptr); })->code(),
              Code::noInputs);
}

}  // namespace
}  // namespace tolvane
