#include "core/archive/ArchiveSourceChange.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/common/Log.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using ArchivePipeline::logSourceChange;
using ArchivePipeline::matches;
using ArchivePipeline::metadataDifferenceNames;
using ArchivePipeline::SourceChangeStage;
using ArchivePipeline::verifySourceMetadata;
using Names = std::vector<std::string>;

class CapturingSink final : public Log::Sink {
public:
    void write(Log::Category category, std::string_view message) noexcept override {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::string(Log::categoryName(category)) + ": " + std::string(message));
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Captures every log line for the life of the object.
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

SourceSnapshotRecord recordOf(const std::string& path, const struct stat& status) {
    SourceSnapshotRecord record;
    record.sourcePath = path;
    record.isDirectory = S_ISDIR(status.st_mode);
    record.size = record.isDirectory ? 0 : static_cast<std::uint64_t>(status.st_size);
    record.device = status.st_dev;
    record.inode = status.st_ino;
    record.modifiedSeconds = status.st_mtim.tv_sec;
    record.modifiedNanoseconds = status.st_mtim.tv_nsec;
    record.changedSeconds = status.st_ctim.tv_sec;
    record.changedNanoseconds = status.st_ctim.tv_nsec;
    record.permissions = static_cast<std::uint16_t>(status.st_mode & 0777);
    return record;
}

struct stat lstatOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

struct stat fileStat() {
    struct stat status {};
    status.st_dev = 2049;
    status.st_ino = 131'072;
    status.st_mode = S_IFREG | 0644;
    status.st_size = 5;
    status.st_mtim = {1'700'000'000, 123'456'789};
    status.st_ctim = {1'700'000'100, 987'654'321};
    return status;
}

struct stat directoryStat() {
    struct stat status = fileStat();
    status.st_mode = S_IFDIR | 0755;
    status.st_size = 4096;
    return status;
}

struct Case {
    const char* name;
    bool directory;
    std::function<void(struct stat&)> change;
    Names withoutChangeTime;
    Names withChangeTime;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

class SourceChangeDifferenceTest : public testing::TestWithParam<Case> {};

TEST_P(SourceChangeDifferenceTest, NamesFailingRulesInFixedOrder) {
    const Case& c = GetParam();
    const struct stat recorded = c.directory ? directoryStat() : fileStat();
    const SourceSnapshotRecord record = recordOf("/src/item", recorded);
    struct stat now = recorded;
    c.change(now);

    EXPECT_EQ(metadataDifferenceNames(record, now, false), c.withoutChangeTime);
    EXPECT_EQ(metadataDifferenceNames(record, now, true), c.withChangeTime);
    EXPECT_EQ(matches(record, now, false), c.withoutChangeTime.empty());
    EXPECT_EQ(matches(record, now, true), c.withChangeTime.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SourceChangeDifferenceTest,
    testing::Values(
        Case{"unchangedFile", false, [](struct stat&) {}, {}, {}},
        Case{"fileChangeTimeOnly",
             false,
             [](struct stat& s) { s.st_ctim.tv_nsec += 1; },
             {},
             {"ctime"}},
        Case{"directoryChangeTimeOnly",
             true,
             [](struct stat& s) { s.st_ctim.tv_sec += 60; },
             {},
             {}},
        Case{"fileGrownByOneByte",
             false,
             [](struct stat& s) { s.st_size += 1; },
             {"size"},
             {"size"}},
        Case{"directorySizeIgnored", true, [](struct stat& s) { s.st_size = 8192; }, {}, {}},
        Case{"modificationNanosecondsOnly",
             false,
             [](struct stat& s) { s.st_mtim.tv_nsec -= 1; },
             {"mtime"},
             {"mtime"}},
        Case{"specialBitsIgnored",
             false,
             [](struct stat& s) { s.st_mode |= S_ISUID | S_ISVTX; },
             {},
             {}},
        Case{"fileBecameLink",
             false,
             [](struct stat& s) { s.st_mode = S_IFLNK | 0644; },
             {"type"},
             {"type"}},
        Case{"directoryBecameFile",
             true,
             [](struct stat& s) { s.st_mode = S_IFREG | (s.st_mode & 0777); },
             {"type"},
             {"type"}},
        Case{"fileReplacedByFolder",
             false,
             [](struct stat& s) {
                 s.st_ino += 1;
                 s.st_mode = S_IFDIR | 0755;
                 s.st_size = 4096;
                 s.st_mtim.tv_sec += 1;
                 s.st_ctim.tv_sec += 1;
             },
             {"inode", "type", "size", "mtime", "permissions"},
             {"inode", "type", "size", "mtime", "permissions", "ctime"}},
        // A negative size must not wrap around to the largest recorded one.
        Case{"negativeSize", false, [](struct stat& s) { s.st_size = -1; }, {"size"}, {"size"}},
        Case{"everythingDiffers",
             false,
             [](struct stat& s) {
                 s.st_dev += 1;
                 s.st_ino += 1;
                 s.st_mode = S_IFIFO | 0600;
                 s.st_size = 0;
                 s.st_mtim.tv_sec = 0;
                 s.st_ctim.tv_sec = 0;
             },
             {"device", "inode", "type", "size", "mtime", "permissions"},
             {"device", "inode", "type", "size", "mtime", "permissions", "ctime"}},
        Case{"everythingDiffersOnDirectory",
             true,
             [](struct stat& s) {
                 s.st_dev += 1;
                 s.st_ino += 1;
                 s.st_mode = S_IFREG | 0600;
                 s.st_size = 0;
                 s.st_mtim.tv_sec = 0;
                 s.st_ctim.tv_sec = 0;
             },
             {"device", "inode", "type", "mtime", "permissions"},
             {"device", "inode", "type", "mtime", "permissions"}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(SourceChangeTest, RecordedSizeBeyondSignedRangeNeverMatches) {
    const struct stat status = fileStat();
    SourceSnapshotRecord record = recordOf("/src/item", status);
    record.size = UINT64_MAX;
    EXPECT_EQ(metadataDifferenceNames(record, status, true), Names{"size"});
}

TEST(SourceChangeTest, LogLinesNameStageAndFieldsOnly) {
    LogCapture capture;
    logSourceChange(SourceChangeStage::directoryOpen, Names{"inode", "type"});
    logSourceChange(SourceChangeStage::directoryXattrs, "xattrs");
    logSourceChange(SourceChangeStage::directoryEnumerationStart, Names{"mtime"});
    logSourceChange(SourceChangeStage::directoryEnumerationEnd, Names{"mtime", "permissions"});
    logSourceChange(SourceChangeStage::selectionMetadata, "unavailable");
    logSourceChange(SourceChangeStage::archiveMetadata, Names{"size", "ctime"});
    logSourceChange(SourceChangeStage::selectionInventory, "entryCount");
    // Text that is not one of the field words never reaches the log.
    logSourceChange(SourceChangeStage::selectionInventory,
                    Names{"size", "/home/someone/Secret Plans.txt", "device"});
    logSourceChange(SourceChangeStage::archiveMetadata, "Secret Plans.txt");

    EXPECT_EQ(capture.lines(),
              (Names{
                  "SourceChange: sourceChanged stage=directoryOpen fields=inode,type",
                  "SourceChange: sourceChanged stage=directoryXattrs fields=xattrs",
                  "SourceChange: sourceChanged stage=directoryEnumerationStart fields=mtime",
                  "SourceChange: sourceChanged stage=directoryEnumerationEnd "
                  "fields=mtime,permissions",
                  "SourceChange: sourceChanged stage=selectionMetadata fields=unavailable",
                  "SourceChange: sourceChanged stage=archiveMetadata fields=size,ctime",
                  "SourceChange: sourceChanged stage=selectionInventory fields=entryCount",
                  "SourceChange: sourceChanged stage=selectionInventory "
                  "fields=size,unknown,device",
                  "SourceChange: sourceChanged stage=archiveMetadata fields=unknown",
              }));
}

// Runs verifySourceMetadata and returns the sourceChanged detail it threw, or "" when it passed.
std::string verifyFailure(const SourceSnapshotRecord& record) {
    try {
        verifySourceMetadata(record);
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(error.code(), ArchivePipelineError::Code::sourceChanged);
        return error.detail();
    }
    return {};
}

class VerifySourceMetadataTest : public testing::Test {
protected:
    void SetUp() override {
        // A name no log line may ever contain.
        folder_ = dir_.file("Private Folder 7f3a");
        ASSERT_EQ(::mkdir(folder_.c_str(), 0750), 0);
        file_ = folder_ + "/report.txt";
        test::writeFile(file_, "hello");
        ASSERT_EQ(::chmod(file_.c_str(), 0640), 0);
    }

    void expectNoPathLogged(const std::vector<std::string>& lines) const {
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("Private"), std::string::npos) << line;
            EXPECT_EQ(line.find("report"), std::string::npos) << line;
            EXPECT_EQ(line.find(dir_.path()), std::string::npos) << line;
        }
    }

    test::TempDir dir_;
    std::string folder_;
    std::string file_;
};

TEST_F(VerifySourceMetadataTest, UnchangedItemsPassSilently) {
    LogCapture capture;
    SourceSnapshotRecord folder = recordOf(folder_, lstatOf(folder_));
    EXPECT_EQ(verifyFailure(recordOf(file_, lstatOf(file_))), "");
    EXPECT_EQ(verifyFailure(folder), "");
    // A folder whose only change is its change time (an attribute added to it) is unchanged.
    folder.changedSeconds -= 100;
    EXPECT_EQ(verifyFailure(folder), "");
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(VerifySourceMetadataTest, ChangesFailWithThePathAndLogOnlyFieldNames) {
    const SourceSnapshotRecord original = recordOf(file_, lstatOf(file_));
    struct Change {
        const char* name;
        std::function<void(SourceSnapshotRecord&)> edit;
        const char* line;
    };
    const Change changes[] = {
        {"grown", [](SourceSnapshotRecord& r) { r.size -= 1; }, "fields=size"},
        {"changeTimeOnly", [](SourceSnapshotRecord& r) { r.changedNanoseconds ^= 1; },
         "fields=ctime"},
        {"permissions", [](SourceSnapshotRecord& r) { r.permissions = 0600; },
         "fields=permissions"},
        {"recordedAsFolder", [](SourceSnapshotRecord& r) { r.isDirectory = true; }, "fields=type"},
        {"pathWithNul", [](SourceSnapshotRecord& r) { r.sourcePath += std::string(1, '\0'); },
         "fields=unavailable"},
    };
    for (const Change& change : changes) {
        SCOPED_TRACE(change.name);
        SourceSnapshotRecord record = original;
        change.edit(record);
        LogCapture capture;
        EXPECT_EQ(verifyFailure(record), record.sourcePath);
        EXPECT_EQ(capture.lines(), Names{std::string("SourceChange: sourceChanged "
                                                     "stage=archiveMetadata ") +
                                         change.line});
        expectNoPathLogged(capture.lines());
    }
}

TEST_F(VerifySourceMetadataTest, VanishedOrReplacedItem) {
    const SourceSnapshotRecord record = recordOf(file_, lstatOf(file_));
    // Kept under another name, so the folder that takes its place cannot reuse its inode.
    ASSERT_EQ(::rename(file_.c_str(), (folder_ + "/moved").c_str()), 0);
    {
        LogCapture capture;
        EXPECT_EQ(verifyFailure(record), file_);
        EXPECT_EQ(capture.lines(),
                  Names{"SourceChange: sourceChanged stage=archiveMetadata fields=unavailable"});
    }
    ASSERT_EQ(::mkdir(file_.c_str(), 0700), 0);
    LogCapture capture;
    EXPECT_EQ(verifyFailure(record), file_);
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(
        lines[0].rfind("SourceChange: sourceChanged stage=archiveMetadata fields=inode,type,", 0),
        0u)
        << lines[0];
    expectNoPathLogged(lines);
}

}  // namespace
}  // namespace tolvane
