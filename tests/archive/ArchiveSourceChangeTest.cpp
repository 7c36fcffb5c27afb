#include "core/archive/ArchiveSourceChange.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/archive/ArchivePackWalk.h"
#include "support/LogCapture.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using Names = std::vector<std::string>;

// A folder's size and change time are never compared; a file's change time only when asked.
TEST(SourceChangeTest, NamesFailingRulesInFixedOrder) {
    constexpr mode_t file = S_IFREG | 0644, folder = S_IFDIR | 0755;
    struct Case {
        mode_t recorded;
        std::function<void(struct stat&)> change;
        Names withoutChangeTime;
    };
    const std::vector<Case> cases = {
        {file, [](auto&) {}, {}},
        {file, [](auto& s) { s.st_ctim.tv_nsec += 1; }, {}},  // "ctime" when asked
        {folder, [](auto& s) { s.st_ctim.tv_sec += 60; }, {}},
        {folder, [](auto& s) { s.st_size = 8192; }, {}},
        {file, [](auto& s) { s.st_size = -1; }, {"size"}},  // must not wrap around
        {file, [](auto& s) { s.st_mtim.tv_nsec -= 1; }, {"mtime"}},
        {file, [](auto& s) { s.st_mode |= S_ISUID | S_ISVTX; }, {}},
        {folder, [](auto& s) { s.st_mode = S_IFREG | 0755; }, {"type"}},
        {file,
         [](auto& s) { s = {}, s.st_mode = S_IFIFO | 0600; },
         {"device", "inode", "type", "size", "mtime", "permissions"}},
    };
    for (const Case& c : cases) {
        struct stat recorded {};
        recorded.st_dev = 2049, recorded.st_ino = 131'072, recorded.st_mode = c.recorded;
        recorded.st_size = S_ISDIR(c.recorded) ? 4096 : 5;
        recorded.st_mtim = {1'700'000'000, 123'456'789};
        recorded.st_ctim = {1'700'000'100, 987'654'321};
        const SourceSnapshotRecord record = makeSourceRecord("/s", "s", "s", recorded);
        struct stat now = recorded;
        c.change(now);
        Names withChangeTime = c.withoutChangeTime;
        if (S_ISREG(c.recorded) && now.st_ctim.tv_nsec != recorded.st_ctim.tv_nsec) {
            withChangeTime.push_back("ctime");
        }
        EXPECT_EQ(metadataDifferenceNames(record, now, false), c.withoutChangeTime);
        EXPECT_EQ(metadataDifferenceNames(record, now, true), withChangeTime);
        EXPECT_EQ(matches(record, now, true), withChangeTime.empty());
    }
}

// The log line names the stage and the field words only; any other text, which could be a path
// or a name, becomes "unknown". A path with a NUL is never cut short to another file's.
TEST(SourceChangeTest, LogsOnlyFieldWords) {
    test::TempDir dir;
    test::writeFile(dir.file("f"), "hello");
    struct stat status {};
    ASSERT_EQ(::lstat(dir.file("f").c_str(), &status), 0);
    const SourceSnapshotRecord record =
        makeSourceRecord(dir.file("f") + '\0' + "x", "p", "p", status);
    test::LogCapture log;
    EXPECT_EQ(test::outcomeOf([&] { verifySourceMetadata(record); }),
              "sourceChanged: " + record.sourcePath);
    logSourceChange(SourceChangeStage::selectionInventory, Names{"size", "/home/a/Plans", "inode"});
    logSourceChange(SourceChangeStage::directoryXattrs, "Secret.txt");
    EXPECT_EQ(log.lines(),
              (Names{"sourceChanged stage=archiveMetadata fields=unavailable",
                     "sourceChanged stage=selectionInventory fields=size,unknown,inode",
                     "sourceChanged stage=directoryXattrs fields=unknown"}));
}

}  // namespace
}  // namespace tolvane
