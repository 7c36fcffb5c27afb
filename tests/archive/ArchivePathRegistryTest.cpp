#include "core/archive/ArchivePathRegistry.h"

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveValues.h"
#include "support/ArchiveErrors.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Keys = std::set<std::string>;
constexpr ArchiveEntryType F = ArchiveEntryType::file, D = ArchiveEntryType::directory,
                           L = ArchiveEntryType::symlink;

// How many of this process's descriptors lead to the file.
int descriptorsTo(const std::string& path) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        count += std::filesystem::read_symlink(entry.path(), error).string() == path ? 1 : 0;
    }
    return count;
}

Keys tableKeys(const std::string& path, const std::string& table) {
    sqlite3* database = nullptr;
    sqlite3_stmt* statement = nullptr;
    Keys keys;
    sqlite3_open_v2(path.c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(database, ("SELECT key FROM " + table).c_str(), -1, &statement, nullptr);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        keys.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(database);
    return keys;
}

// Each step asks canInsert and records the path when it is accepted, as pack and unpack do.
// "e" + U+0301 is the decomposed spelling of "é".
TEST(ArchivePathRegistryTest, AcceptsOnlyPathsThatCannotCollide) {
    struct Step {
        std::string path;
        ArchiveEntryType type;
        bool accepted;
    };
    const std::vector<std::vector<Step>> sequences = {
        {{"docs/read.TXT", F, true}, {"Docs/Read.txt", F, false}},
        {{"caf\xC3\xA9.txt", F, true}, {"cafe\xCC\x81.txt", F, false}},
        {{"x/cafe\xCC\x81/in.txt", F, true}, {"X/caf\xC3\xA9", F, false}},
        {{"Straße.txt", F, true}, {"STRASSE.TXT", F, false}},
        {{"a/b", F, true}, {"A/B/c/d.txt", F, false}, {"a/b/", D, false}, {"a/c/d.txt", F, true}},
        {{"a/b.txt", F, true}, {"a", F, false}, {"a/", D, true}, {"A", L, false}},
        {{"p/q/r.txt", F, true}, {"P/Q", F, false}, {"p", F, false}},
        {{"x/", D, true}, {"X/", D, false}, {"x", F, false}, {"X", L, false}},
        {{"x", F, true}, {"x/", D, false}, {"X", D, false}},
        {{"a", D, true}, {"a/b", D, true}, {"A/B/c.txt", F, true}, {"a/B", F, false}},
        {{"l", L, true}, {"l/x", F, false}, {"L/y", D, false}},
    };
    for (const std::vector<Step>& steps : sequences) {
        test::TempDir dir;
        ArchivePathRegistry registry(dir.file("path-registry.sqlite"));
        for (const Step& step : steps) {
            ASSERT_EQ(registry.canInsert(step.path, step.type), step.accepted) << step.path;
            if (step.accepted) {
                registry.insert(step.path, step.type);
            }
        }
    }
}

TEST(ArchivePathRegistryTest, ClosingCommitsAndReleasesOnEveryWayOut) {
    test::TempDir dir;
    const std::string path = dir.file("registry.sqlite");
    ArchivePathRegistry registry(path);
    registry.insert("Docs/Sub/Read.TXT", F);
    // A failed insert (the table's uniqueness) leaves the registry usable.
    EXPECT_THROW(registry.insert("DOCS/sub/read.txt", F), ArchivePipelineError);
    registry.insert("Docs/Sub/", D);
    EXPECT_FALSE(registry.canInsert("DOCS/SUB/READ.txt", F));  // a statement left on a row
    registry.close();
    registry.close();
    EXPECT_EQ(tableKeys(path, "paths"), (Keys{"docs/sub/read.txt", "docs/sub/"}));
    EXPECT_EQ(tableKeys(path, "parents"), (Keys{"docs", "docs/sub"}));
    EXPECT_EQ(descriptorsTo(path), 0);
    EXPECT_EQ(test::errorOf([&] { registry.insert("b", F); })->code(),
              ArchivePipelineError::Code::finalizationFailed);
    // A file already there, even our own database, is refused rather than reused.
    EXPECT_EQ(test::errorOf([&] { ArchivePathRegistry again(path); })->code(),
              ArchivePipelineError::Code::finalizationFailed);
    EXPECT_EQ(descriptorsTo(path), 0);

    // Dropped mid-transaction after a failure: no ROLLBACK (undefined without a journal), yet
    // the connection closes and nothing was committed.
    const std::string dropped = dir.file("dropped.sqlite");
    {
        ArchivePathRegistry open(dropped);
        open.insert("dir/1", F);
        EXPECT_THROW(open.insert("DIR/1", F), ArchivePipelineError);
    }
    EXPECT_EQ(descriptorsTo(dropped), 0);
    EXPECT_TRUE(tableKeys(dropped, "paths").empty());
}

}  // namespace
}  // namespace tolvane
