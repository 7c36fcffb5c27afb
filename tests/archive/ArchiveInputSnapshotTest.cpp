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
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/archive/ArchiveEntryWriter.h"
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
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using Code = ArchivePipelineError::Code;
using test::TempDir;
using test::writeFile;

class CapturingSink final : public Log::Sink {
public:
    void write(Log::Category, std::string_view message) noexcept override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(message);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class LogCapture {
public:
    LogCapture() : sink_(std::make_shared<CapturingSink>()), previous_(Log::setSink(sink_)) {}
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture() { Log::setSink(previous_); }
    std::vector<std::string> lines() const { return sink_->lines(); }

private:
    std::shared_ptr<CapturingSink> sink_;
    std::shared_ptr<Log::Sink> previous_;
};

std::vector<SourceSnapshotRecord> manifestRows(const std::string& path) {
    JSONLines::Reader reader(path);
    std::vector<SourceSnapshotRecord> rows;
    while (auto row = reader.next<SourceSnapshotRecord>()) {
        rows.push_back(std::move(*row));
    }
    return rows;
}

std::optional<ArchivePipelineError> errorOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const ArchivePipelineError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected exception: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "nothing was thrown";
    return std::nullopt;
}

// Names in the folder, sorted.
std::vector<std::string> listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct stat lstatOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

// Sets the modification time back to the recorded one, as a careful rewrite would.
void restoreModificationTime(const std::string& path, const SourceSnapshotRecord& record) {
    const timespec times[2] = {{0, UTIME_OMIT},
                               {record.modifiedSeconds, record.modifiedNanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// The walk pack runs over the same sources: its two lists, then the checks pack runs on them.
class PackSide {
public:
    explicit PackSide(const std::string& root)
        : stage_(root + "/stage"), packProgress_(nullptr, std::nullopt) {
        if (::mkdir(stage_.c_str(), 0700) != 0) {
            throw std::system_error(errno, std::generic_category(), stage_);
        }
        stageFd_ = posix::open(stage_, O_RDONLY | O_DIRECTORY);
        snapshotFd_ = create("snapshot.jsonl");
        expectedFd_ = create("expected.jsonl");
        registry_ = std::make_unique<ArchivePathRegistry>(file("path-registry.sqlite"));
        writer_ = std::make_unique<StreamingZIPWriter>(
            create("payload.zip"), create("central-directory.bin"), file("central-directory.bin"),
            ArchiveCompressionMode::balanced, std::nullopt, std::nullopt);
    }

    PackWalkCounters walk(const std::vector<std::string>& sources) {
        PackWalk walk{*registry_,
                      snapshotFd_.get(),
                      expectedFd_.get(),
                      *writer_,
                      stageFd_.get(),
                      nullptr,
                      packProgress_,
                      {},
                      {},
                      {}};
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
    UniqueFd create(const std::string& name) {
        return posix::open(file(name), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    }

    std::string stage_;
    ArchivePackProgress packProgress_;
    UniqueFd stageFd_;
    UniqueFd snapshotFd_;
    UniqueFd expectedFd_;
    std::unique_ptr<ArchivePathRegistry> registry_;
    std::unique_ptr<StreamingZIPWriter> writer_;
};

// A selection folder with a small tree, and a separate folder for the manifest.
class Selection {
public:
    Selection() {
        mkdir(in(""));
        mkdir(dir_.file("snapshots"));
        mkdir(in("docs"));
        mkdir(in("docs/empty"));
        writeFile(in("docs/a.txt"), "alpha");
        writeFile(in("docs/big.bin"), test::randomBytes(200'000, 7));
        writeFile(in("single.txt"), "single");
        ::chmod(in("single.txt").c_str(), 0644);
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
    static void mkdir(const std::string& path) {
        if (::mkdir(path.c_str(), 0700) != 0) {
            throw std::system_error(errno, std::generic_category(), path);
        }
    }

    TempDir dir_;
};

class ArchiveInputSnapshotTest : public testing::Test, public Selection {};

TEST_F(ArchiveInputSnapshotTest, CaptureRecordsEveryEntryAndIdentifiesTheManifest) {
    Progress progress;
    const ArchiveInputSnapshot snapshot = capture(&progress);

    const std::vector<SourceSnapshotRecord> rows = manifestRows(manifest());
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(snapshot.manifestURL, manifest());
    EXPECT_EQ(snapshot.entryCount, 5u);
    EXPECT_EQ(snapshot.totalBytes, 5u + 200'000u + 6u);
    EXPECT_EQ(snapshot.manifestSHA256, Sha256::hexOf(test::readFile(manifest())));
    const struct stat status = lstatOf(manifest());
    EXPECT_EQ(snapshot.device, static_cast<std::uint64_t>(status.st_dev));
    EXPECT_EQ(snapshot.inode, static_cast<std::uint64_t>(status.st_ino));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    for (const SourceSnapshotRecord& row : rows) {
        SCOPED_TRACE(row.sourcePath);
        if (row.isDirectory) {
            EXPECT_FALSE(row.contentSHA256);
        } else {
            EXPECT_EQ(row.contentSHA256, Sha256::hexOf(test::readFile(row.sourcePath)));
        }
    }
    // Only the entry count is published, and no registry is left beside the manifest.
    EXPECT_EQ(progress.snapshot().number(ArchiveProgressInfo::scannedEntriesKey), 1u);
    EXPECT_FALSE(progress.snapshot().text(ArchiveProgressInfo::stageKey));
    EXPECT_EQ(listing(snapshots()), std::vector<std::string>{"selection.jsonl"});
}

TEST_F(ArchiveInputSnapshotTest, AnEmptyFolderIsOneRowWithoutBytes) {
    const ArchiveInputSnapshot snapshot =
        captureInputSnapshot({in("docs/empty")}, manifest(), nullptr);
    EXPECT_EQ(snapshot.entryCount, 1u);
    EXPECT_EQ(snapshot.totalBytes, 0u);
}

TEST_F(ArchiveInputSnapshotTest, CaptureAndPackGiveACaseClashTheSamePathsAndThePackPasses) {
    writeFile(in("docs/A.txt"), "ALPHA");
    const ArchiveInputSnapshot snapshot = capture();
    PackSide pack(root());
    const PackWalkCounters counters = pack.walk(sources());
    EXPECT_EQ(counters.pathMappingCount, 1u);
    EXPECT_EQ(counters.entryCount, snapshot.entryCount);

    const std::vector<SourceSnapshotRecord> captured = manifestRows(manifest());
    const std::vector<SourceSnapshotRecord> packed = manifestRows(pack.file("snapshot.jsonl"));
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

TEST_F(ArchiveInputSnapshotTest, RewriteWithSameSizeAndRestoredTimeFailsThePack) {
    const ArchiveInputSnapshot snapshot = capture();
    const std::vector<SourceSnapshotRecord> rows = manifestRows(manifest());
    const auto row = std::find_if(rows.begin(), rows.end(),
                                  [&](const auto& r) { return r.sourcePath == in("docs/a.txt"); });
    ASSERT_NE(row, rows.end());
    writeFile(in("docs/a.txt"), "ALPHA");  // same inode, same size
    restoreModificationTime(in("docs/a.txt"), *row);

    PackSide pack(root());
    pack.walk(sources());
    LogCapture log;
    const auto error = errorOf([&] { pack.verify(snapshot); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, ArchivePipelineError::sourceChanged(in("docs/a.txt")));
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{
                  "sourceChanged stage=selectionInventory fields=packedContentOrPath"});
}

TEST_F(ArchiveInputSnapshotTest, SelectionChangedAfterCaptureFailsThePack) {
    struct Case {
        const char* name;
        std::function<void(Selection&)> change;
        std::string logged;  // the start of the log line
    };
    const std::vector<Case> cases = {
        {"file added to a folder", [](Selection& t) { writeFile(t.in("docs/new.txt"), "n"); },
         "sourceChanged stage=selectionInventory fields="},
        {"file removed", [](Selection& t) { ASSERT_EQ(::unlink(t.in("docs/a.txt").c_str()), 0); },
         "sourceChanged stage=selectionInventory fields="},
        {"file replaced by a copy",
         [](Selection& t) {
             writeFile(t.in("copy"), "single");
             ASSERT_EQ(::rename(t.in("copy").c_str(), t.in("single.txt").c_str()), 0);
         },
         "sourceChanged stage=selectionInventory fields=inode"},
        {"permissions changed",
         [](Selection& t) { ASSERT_EQ(::chmod(t.in("single.txt").c_str(), 0600), 0); },
         "sourceChanged stage=selectionInventory fields=permissions"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir scratch;
        Selection t;
        const ArchiveInputSnapshot snapshot = t.capture();
        c.change(t);
        PackSide pack(scratch.path());
        pack.walk(t.sources());
        LogCapture log;
        const auto error = errorOf([&] { pack.verify(snapshot); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), Code::sourceChanged);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind(c.logged, 0), 0u) << log.lines()[0];
    }
}

TEST_F(ArchiveInputSnapshotTest, ManifestThatIsNotTheCapturedOneIsAnInvalidSnapshot) {
    struct Case {
        const char* name;
        std::function<void(const std::string& manifest, ArchiveInputSnapshot& snapshot)> change;
    };
    const std::vector<Case> cases = {
        {"replaced by a copy",
         [](const std::string& m, ArchiveInputSnapshot&) {
             writeFile(m + ".copy", test::readFile(m));
             ASSERT_EQ(::rename((m + ".copy").c_str(), m.c_str()), 0);
         }},
        {"edited in place",
         [](const std::string& m, ArchiveInputSnapshot&) {
             const UniqueFd fd = posix::open(m, O_WRONLY | O_APPEND);
             posix::writeAll(fd.get(), "\n", 1);
         }},
        {"replaced by a link to a copy",
         [](const std::string& m, ArchiveInputSnapshot&) {
             writeFile(m + ".copy", test::readFile(m));
             ASSERT_EQ(::unlink(m.c_str()), 0);
             ASSERT_EQ(::symlink((m + ".copy").c_str(), m.c_str()), 0);
         }},
        {"deleted", [](const std::string& m, ArchiveInputSnapshot&) { ::unlink(m.c_str()); }},
        {"another row count claimed",
         [](const std::string&, ArchiveInputSnapshot& s) { s.entryCount += 1; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Selection t;
        ArchiveInputSnapshot snapshot = t.capture();
        PackSide pack(t.root());
        pack.walk(t.sources());
        c.change(t.manifest(), snapshot);
        const auto error = errorOf([&] { pack.verify(snapshot); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), Code::invalidInputSnapshot);
    }
}

TEST_F(ArchiveInputSnapshotTest, AnExtraExpectedRowIsAnUnusedRecord) {
    const ArchiveInputSnapshot snapshot = capture();
    PackSide pack(root());
    pack.walk(sources());
    JSONLines::append(ExpectedArchiveRecord{"extra", 0, ""}, pack.expectedFd());
    const auto error = errorOf([&] { pack.verify(snapshot); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, ArchivePipelineError::invalidArchive("unused manifest records"));
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

    struct Case {
        const char* name;
        std::optional<std::string> digest;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"same content", Sha256::hexOf("content"), true},
        {"other content", Sha256::hexOf("CONTENT"), false},
        {"no digest", std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SourceSnapshotRecord captured = current;
        captured.changedNanoseconds = (captured.changedNanoseconds + 1) % 1'000'000'000;
        captured.contentSHA256 = c.digest;
        if (c.accepted) {
            EXPECT_NO_THROW(verifySelectionSource(captured, nullptr));
        } else {
            const auto error = errorOf([&] { verifySelectionSource(captured, nullptr); });
            ASSERT_TRUE(error);
            EXPECT_EQ(*error, ArchivePipelineError::sourceChanged(path));
        }
    }

    // Pack's strict check does not forgive it, but the selection comparison ignores it.
    SourceSnapshotRecord moved = current;
    moved.changedSeconds += 1;
    EXPECT_TRUE(sameSelectionIdentity(moved, current));
    EXPECT_EQ(errorOf([&] { verifySourceMetadata(moved); })->code(), Code::sourceChanged);
}

TEST(ArchiveSelectionSourceTest, DifferenceNamesFollowTheFixedOrder) {
    SourceSnapshotRecord file;
    file.sourcePath = "/a/f";
    file.originalPath = "f";
    file.entryPath = "f";
    file.size = 3;
    file.device = 1;
    file.inode = 2;
    file.modifiedSeconds = 10;
    file.permissions = 0644;
    file.contentSHA256 = Sha256::hexOf("abc");

    struct Case {
        const char* name;
        std::function<void(SourceSnapshotRecord&)> change;
        std::vector<std::string> names;
    };
    const std::vector<Case> cases = {
        {"nothing", [](auto&) {}, {"packedContentOrPath"}},
        {"content and change time only",
         [](auto& r) {
             r.contentSHA256 = "x";
             r.changedSeconds = 99;
         },
         {"packedContentOrPath"}},
        {"entry path", [](auto& r) { r.entryPath = "f~1"; }, {"pathIdentity"}},
        {"everything",
         [](auto& r) {
             r.sourcePath = "/b/f";
             r.isDirectory = true;
             r.size = 0;
             r.device = 5;
             r.inode = 6;
             r.modifiedNanoseconds = 1;
             r.permissions = 0700;
         },
         {"pathIdentity", "type", "size", "device", "inode", "mtime", "permissions"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SourceSnapshotRecord packed = file;
        c.change(packed);
        EXPECT_EQ(selectionDifferenceNames(file, packed), c.names);
        EXPECT_EQ(sameSelectionIdentity(file, packed), c.names.front() == "packedContentOrPath");
    }
    // A folder's modification time is not part of its selection identity.
    SourceSnapshotRecord folder = file;
    folder.isDirectory = true;
    folder.size = 0;
    SourceSnapshotRecord touched = folder;
    touched.modifiedSeconds += 5;
    EXPECT_TRUE(sameSelectionIdentity(folder, touched));
}

TEST_F(ArchiveInputSnapshotTest, FailedOrCancelledCaptureLeavesNothingBehind) {
    struct Case {
        const char* name;
        std::function<void(Selection&)> prepare;
        std::function<ArchiveInputSnapshot(Selection&)> run;
        Code code;
    };
    const auto plain = [](Selection& t) { return t.capture(); };
    const std::vector<Case> cases = {
        {"cancelled through the progress object", [](Selection&) {},
         [](Selection& t) {
             Progress progress;
             progress.cancel();
             return t.capture(&progress);
         },
         Code::cancelled},
        {"cancelled through the task", [](Selection&) {},
         [](Selection& t) {
             std::stop_source stop;
             stop.request_stop();
             return captureInputSnapshot(t.sources(), t.manifest(), nullptr, stop.get_token());
         },
         Code::cancelled},
        {"symlink among the sources",
         [](Selection& t) { ASSERT_EQ(::symlink("docs", t.in("link").c_str()), 0); },
         [](Selection& t) {
             return captureInputSnapshot({t.in("single.txt"), t.in("link")}, t.manifest(), nullptr);
         },
         Code::unsupportedSourceType},
        {"symlink inside a selected folder",
         [](Selection& t) { ASSERT_EQ(::symlink("a.txt", t.in("docs/zz-link").c_str()), 0); },
         plain, Code::unsupportedSourceType},
        {"FIFO inside a selected folder",
         [](Selection& t) { ASSERT_EQ(::mkfifo(t.in("docs/pipe").c_str(), 0600), 0); }, plain,
         Code::unsupportedSourceType},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Selection t;
        c.prepare(t);
        const auto error = errorOf([&] { c.run(t); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_TRUE(listing(t.snapshots()).empty());
    }
}

TEST_F(ArchiveInputSnapshotTest, CaptureNeverTakesOverFilesThatAreAlreadyThere) {
    // A manifest path in use is refused and the file is left as it was.
    writeFile(manifest(), "theirs");
    auto error = errorOf([&] { capture(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, ArchivePipelineError::finalizationFailed("could not create input snapshot"));
    EXPECT_EQ(test::readFile(manifest()), "theirs");
    ASSERT_EQ(::unlink(manifest().c_str()), 0);

    // Something in the registry's place is left alone too, and the new manifest goes away.
    writeFile(root() + "/target.sqlite", "not ours");
    ASSERT_EQ(
        ::symlink((root() + "/target.sqlite").c_str(), (manifest() + ".registry.sqlite").c_str()),
        0);
    error = errorOf([&] { capture(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), Code::finalizationFailed);
    EXPECT_EQ(test::readFile(root() + "/target.sqlite"), "not ours");
    EXPECT_EQ(listing(snapshots()), std::vector<std::string>{"selection.jsonl.registry.sqlite"});

    EXPECT_EQ(errorOf([&] { captureInputSnapshot({}, manifest(), nullptr); })->code(),
              Code::noInputs);
}

}  // namespace
}  // namespace tolvane
