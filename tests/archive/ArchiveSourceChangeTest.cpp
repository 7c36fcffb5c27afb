#include "core/archive/ArchiveSourceChange.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/common/Log.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using Names = std::vector<std::string>;

// Captures every log line, as "<category>: <message>", for the life of the object. Logging
// here is synchronous, on the test's own thread.
class LogCapture {
public:
    LogCapture() : previous_(Log::setSink(sink_)) {}
    ~LogCapture() { Log::setSink(previous_); }
    Names lines() const { return sink_->lines; }

private:
    struct Sink final : Log::Sink {
        void write(Log::Category category, std::string_view message) noexcept override {
            lines.push_back(std::string(Log::categoryName(category)) + ": " + std::string(message));
        }
        Names lines;
    };
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
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

// Zero everywhere but the mode.
struct stat bare(mode_t mode) {
    struct stat status {};
    status.st_mode = mode;
    return status;
}

struct stat statOf(mode_t mode) {
    struct stat status {};
    status.st_dev = 2049;
    status.st_ino = 131'072;
    status.st_mode = mode;
    status.st_size = S_ISDIR(mode) ? 4096 : 5;
    status.st_mtim = {1'700'000'000, 123'456'789};
    status.st_ctim = {1'700'000'100, 987'654'321};
    return status;
}

TEST(SourceChangeTest, NamesFailingRulesInFixedOrder) {
    struct Case {
        const char* name;
        mode_t recorded;
        std::function<void(struct stat&)> change;
        Names withoutChangeTime;
        Names withChangeTime;
    };
    constexpr mode_t file = S_IFREG | 0644, folder = S_IFDIR | 0755;
    const Names all = {"device", "inode", "type", "size", "mtime", "permissions"};
    const Names allAndCtime = {"device", "inode", "type", "size", "mtime", "permissions", "ctime"};
    // A folder's size and change time are never compared.
    const Names allOfFolder = {"device", "inode", "type", "mtime", "permissions"};
    const std::vector<Case> cases = {
        {"unchanged file", file, [](auto&) {}, {}, {}},
        {"file change time", file, [](auto& s) { s.st_ctim.tv_nsec += 1; }, {}, {"ctime"}},
        {"folder change time", folder, [](auto& s) { s.st_ctim.tv_sec += 60; }, {}, {}},
        {"grown by a byte", file, [](auto& s) { s.st_size += 1; }, {"size"}, {"size"}},
        // A negative size must not wrap around to the largest recorded one.
        {"negative size", file, [](auto& s) { s.st_size = -1; }, {"size"}, {"size"}},
        {"folder size", folder, [](auto& s) { s.st_size = 8192; }, {}, {}},
        {"mtime nanoseconds", file, [](auto& s) { s.st_mtim.tv_nsec -= 1; }, {"mtime"}, {"mtime"}},
        {"special bits", file, [](auto& s) { s.st_mode |= S_ISUID | S_ISVTX; }, {}, {}},
        {"file to link", file, [](auto& s) { s.st_mode = S_IFLNK | 0644; }, {"type"}, {"type"}},
        {"folder to file", folder, [](auto& s) { s.st_mode = S_IFREG | 0755; }, {"type"}, {"type"}},
        {"everything on a file", file, [](auto& s) { s = bare(S_IFIFO | 0600); }, all, allAndCtime},
        {"everything on a folder", folder, [](auto& s) { s = bare(S_IFREG | 0600); }, allOfFolder,
         allOfFolder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const SourceSnapshotRecord record = recordOf("/src/item", statOf(c.recorded));
        struct stat now = statOf(c.recorded);
        c.change(now);
        EXPECT_EQ(metadataDifferenceNames(record, now, false), c.withoutChangeTime);
        EXPECT_EQ(metadataDifferenceNames(record, now, true), c.withChangeTime);
        EXPECT_EQ(matches(record, now, false), c.withoutChangeTime.empty());
        EXPECT_EQ(matches(record, now, true), c.withChangeTime.empty());
    }
    SourceSnapshotRecord huge = recordOf("/src/item", statOf(file));
    huge.size = UINT64_MAX;  // beyond the signed range of st_size
    EXPECT_EQ(metadataDifferenceNames(huge, statOf(file), true), Names{"size"});
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

    Names expected = {
        "directoryOpen fields=inode,type",
        "directoryXattrs fields=xattrs",
        "directoryEnumerationStart fields=mtime",
        "directoryEnumerationEnd fields=mtime,permissions",
        "selectionMetadata fields=unavailable",
        "archiveMetadata fields=size,ctime",
        "selectionInventory fields=entryCount",
        "selectionInventory fields=size,unknown,device",
        "archiveMetadata fields=unknown",
    };
    for (std::string& line : expected) {
        line.insert(0, "SourceChange: sourceChanged stage=");
    }
    EXPECT_EQ(capture.lines(), expected);
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
        ASSERT_EQ(::mkdir(folder_.c_str(), 0750), 0);
        test::writeFile(file_, "hello");
    }

    // The fields of the one line logged, which never names the item or its folder.
    static std::string fieldsLogged(const LogCapture& capture) {
        const Names lines = capture.lines();
        const std::string prefix = "SourceChange: sourceChanged stage=archiveMetadata ";
        EXPECT_EQ(lines.size(), 1u);
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("Private"), std::string::npos) << line;
            EXPECT_EQ(line.find("report"), std::string::npos) << line;
        }
        return lines.size() == 1 && lines[0].starts_with(prefix) ? lines[0].substr(prefix.size())
                                                                 : "";
    }

    test::TempDir dir_;
    std::string folder_ = dir_.file("Private Folder 7f3a");
    std::string file_ = folder_ + "/report.txt";
};

TEST_F(VerifySourceMetadataTest, ChangesFailWithThePathAndLogOnlyFieldNames) {
    const SourceSnapshotRecord original = recordOf(file_, lstatOf(file_));
    {
        LogCapture capture;
        SourceSnapshotRecord folder = recordOf(folder_, lstatOf(folder_));
        // A folder whose only change is its change time (an attribute added to it) is unchanged.
        folder.changedSeconds -= 100;
        EXPECT_EQ(verifyFailure(original), "");
        EXPECT_EQ(verifyFailure(folder), "");
        EXPECT_TRUE(capture.lines().empty());
    }
    using Edit = std::function<void(SourceSnapshotRecord&)>;
    const std::vector<std::pair<Edit, std::string>> changes = {
        {[](auto& r) { r.size -= 1; }, "fields=size"},
        {[](auto& r) { r.changedNanoseconds ^= 1; }, "fields=ctime"},
        {[](auto& r) { r.permissions ^= 0400; }, "fields=permissions"},
        {[](auto& r) { r.isDirectory = true; }, "fields=type"},
        {[](auto& r) { r.sourcePath += '\0'; }, "fields=unavailable"},
    };
    for (const auto& [edit, fields] : changes) {
        SCOPED_TRACE(fields);
        SourceSnapshotRecord record = original;
        edit(record);
        LogCapture capture;
        EXPECT_EQ(verifyFailure(record), record.sourcePath);
        EXPECT_EQ(fieldsLogged(capture), fields);
    }
}

TEST_F(VerifySourceMetadataTest, VanishedOrReplacedItem) {
    const SourceSnapshotRecord record = recordOf(file_, lstatOf(file_));
    // Kept under another name, so the folder that takes its place cannot reuse its inode.
    ASSERT_EQ(::rename(file_.c_str(), (folder_ + "/moved").c_str()), 0);
    {
        LogCapture capture;
        EXPECT_EQ(verifyFailure(record), file_);
        EXPECT_EQ(fieldsLogged(capture), "fields=unavailable");
    }
    ASSERT_EQ(::mkdir(file_.c_str(), 0700), 0);
    LogCapture capture;
    EXPECT_EQ(verifyFailure(record), file_);
    EXPECT_TRUE(fieldsLogged(capture).starts_with("fields=inode,type,"));
}

}  // namespace
}  // namespace tolvane
