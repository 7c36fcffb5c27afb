#include "core/archive/ArchivePathRegistry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveValues.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using test::outcomeOf;
constexpr ArchiveEntryType F = ArchiveEntryType::file, D = ArchiveEntryType::directory;

// How many of this process's descriptors lead to the file.
int descriptorsTo(const std::string& path) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        count += std::filesystem::read_symlink(entry.path(), error).string() == path ? 1 : 0;
    }
    return count;
}

// Each step asks canInsert and records the path when it is accepted, as pack and unpack do:
// "+" accepted, "-" refused; "f" a file, "d" a folder, "l" a link, which follows the file rule.
// "e" + U+0301 is the decomposed spelling of "é".
TEST(ArchivePathRegistryTest, AcceptsOnlyPathsThatCannotCollide) {
    const std::vector<std::vector<std::string>> sequences = {
        {"+f docs/read.TXT", "-f Docs/Read.txt"},
        {"+f caf\xC3\xA9.txt", "-f cafe\xCC\x81.txt"},
        {"+f x/cafe\xCC\x81/in.txt", "-f X/caf\xC3\xA9"},
        {"+f Straße.txt", "-f STRASSE.TXT"},
        {"+f a/b", "-f A/B/c/d.txt", "-d a/b/", "+f a/c/d.txt"},
        {"+f a/b.txt", "-f a", "+d a/", "-l A"},
        {"+f p/q/r.txt", "-f P/Q", "-f p"},
        {"+d x/", "-d X/", "-f x", "-l X"},
        {"+f x", "-d x/", "-d X"},
        {"+d a", "+d a/b", "+f A/B/c.txt", "-f a/B"},
        {"+l l", "-f l/x", "-d L/y"},
    };
    for (const std::vector<std::string>& steps : sequences) {
        test::TempDir dir;
        ArchivePathRegistry registry(dir.file("path-registry.sqlite"));
        for (const std::string& step : steps) {
            const std::string path = step.substr(3);
            const ArchiveEntryType type = step[1] == 'f'   ? F
                                          : step[1] == 'd' ? D
                                                           : ArchiveEntryType::symlink;
            ASSERT_EQ(registry.canInsert(path, type), step[0] == '+') << step;
            if (step[0] == '+') {
                registry.insert(path, type);
            }
        }
    }
}

// A failed insert leaves the registry usable; closing twice is fine and releases the file; a
// closed registry and a file already in its place (even our own database) are refused. Dropped
// mid-transaction after a failure, it closes without ROLLBACK, which SQLite forbids here.
TEST(ArchivePathRegistryTest, ClosesOnEveryWayOutAndNeverReusesAFile) {
    test::TempDir dir;
    const std::string path = dir.file("registry.sqlite");
    ArchivePathRegistry registry(path);
    registry.insert("Docs/Sub/Read.TXT", F);
    EXPECT_EQ(outcomeOf([&] { registry.insert("DOCS/sub/read.txt", F); }).substr(0, 20),
              "finalizationFailed: ");
    registry.insert("Docs/Sub/", D);
    EXPECT_FALSE(registry.canInsert("DOCS/SUB/READ.txt", F));  // a statement left on a row
    registry.close();
    registry.close();
    EXPECT_EQ(descriptorsTo(path), 0);
    EXPECT_EQ(outcomeOf([&] { registry.insert("b", F); }).substr(0, 20), "finalizationFailed: ");
    EXPECT_EQ(outcomeOf([&] { ArchivePathRegistry again(path); }).substr(0, 20),
              "finalizationFailed: ");
    EXPECT_EQ(descriptorsTo(path), 0);
    {
        ArchivePathRegistry dropped(dir.file("dropped.sqlite"));
        dropped.insert("dir/1", F);
        EXPECT_THROW(dropped.insert("DIR/1", F), ArchivePipelineError);
    }
    EXPECT_EQ(descriptorsTo(dir.file("dropped.sqlite")), 0);
}

}  // namespace
}  // namespace tolvane
