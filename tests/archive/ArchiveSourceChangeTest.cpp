#include "core/archive/ArchiveSourceChange.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePackWalk.h"
#include "core/archive/ArchivePipelineError.h"
#include "support/ArchiveErrors.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using Names = std::vector<std::string>;

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

// A folder's size and change time are never compared; a file's change time only when asked.
TEST(SourceChangeTest, NamesFailingRulesInFixedOrder) {
    constexpr mode_t file = S_IFREG | 0644, folder = S_IFDIR | 0755;
    struct Case {
        mode_t recorded;
        std::function<void(struct stat&)> change;
        Names withoutChangeTime;
        Names withChangeTime;
    };
    const std::vector<Case> cases = {
        {file, [](auto&) {}, {}, {}},
        {file, [](auto& s) { s.st_ctim.tv_nsec += 1; }, {}, {"ctime"}},
        {folder, [](auto& s) { s.st_ctim.tv_sec += 60; }, {}, {}},
        {folder, [](auto& s) { s.st_size = 8192; }, {}, {}},
        {file, [](auto& s) { s.st_size = -1; }, {"size"}, {"size"}},  // must not wrap around
        {file, [](auto& s) { s.st_mtim.tv_nsec -= 1; }, {"mtime"}, {"mtime"}},
        {file, [](auto& s) { s.st_mode |= S_ISUID | S_ISVTX; }, {}, {}},
        {folder, [](auto& s) { s.st_mode = S_IFREG | 0755; }, {"type"}, {"type"}},
        {file,
         [](auto& s) { s = {}, s.st_mode = S_IFIFO | 0600; },
         {"device", "inode", "type", "size", "mtime", "permissions"},
         {"device", "inode", "type", "size", "mtime", "permissions", "ctime"}},
    };
    for (const Case& c : cases) {
        const SourceSnapshotRecord record = makeSourceRecord("/s", "s", "s", statOf(c.recorded));
        struct stat now = statOf(c.recorded);
        c.change(now);
        EXPECT_EQ(metadataDifferenceNames(record, now, false), c.withoutChangeTime);
        EXPECT_EQ(metadataDifferenceNames(record, now, true), c.withChangeTime);
        EXPECT_EQ(matches(record, now, true), c.withChangeTime.empty());
    }
}

// The log line names the stage and the field words only; any other text, which could be a
// path or a name, becomes "unknown".
TEST(SourceChangeTest, StrictRecheckFailsWithThePathAndLogsOnlyFieldWords) {
    test::TempDir dir;
    const std::string path = dir.file("Private report.txt");
    test::writeFile(path, "hello");
    struct stat status {};
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    const SourceSnapshotRecord original = makeSourceRecord(path, "p", "p", status);
    EXPECT_NO_THROW(verifySourceMetadata(original));
    const std::vector<std::pair<std::function<void(SourceSnapshotRecord&)>, std::string>> edits = {
        {[](auto& r) { r.changedNanoseconds ^= 1; }, "ctime"},
        {[](auto& r) { r.isDirectory = true; }, "type"},
        {[](auto& r) { r.sourcePath += '\0'; }, "unavailable"},
        {[](auto& r) { r.sourcePath += ".gone"; }, "unavailable"}};
    for (const auto& [edit, fields] : edits) {
        SourceSnapshotRecord record = original;
        edit(record);
        test::LogCapture log;
        EXPECT_EQ(test::errorOf([&] { verifySourceMetadata(record); }),
                  ArchivePipelineError::sourceChanged(record.sourcePath));
        EXPECT_EQ(log.lines(), Names{"sourceChanged stage=archiveMetadata fields=" + fields});
    }
    test::LogCapture log;
    logSourceChange(SourceChangeStage::selectionInventory, Names{"size", "/home/a/Plans", "inode"});
    logSourceChange(SourceChangeStage::directoryXattrs, "Secret.txt");
    EXPECT_EQ(log.lines(),
              (Names{"sourceChanged stage=selectionInventory fields=size,unknown,inode",
                     "sourceChanged stage=directoryXattrs fields=unknown"}));
}

}  // namespace
}  // namespace tolvane
