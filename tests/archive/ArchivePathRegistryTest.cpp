#include "core/archive/ArchivePathRegistry.h"

#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveValues.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Code = ArchivePipelineError::Code;
using Type = ArchiveEntryType;

constexpr Type kFile = Type::file;
constexpr Type kDirectory = Type::directory;
constexpr Type kLink = Type::symlink;

// The finalizationFailed detail of what the call throws; fails the test when it does not throw
// that.
template <typename Call>
std::string failureDetail(Call&& call) {
    try {
        call();
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(error.code(), Code::finalizationFailed) << error.what();
        return error.detail();
    }
    ADD_FAILURE() << "no ArchivePipelineError thrown";
    return {};
}

// How many of this process's descriptors lead to the given file.
int openDescriptorsTo(const std::string& path) {
    int count = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), ::closedir);
    if (!dir) {
        ADD_FAILURE() << "cannot list /proc/self/fd";
        return -1;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX];
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
        if (length > 0 && std::string(target, static_cast<std::size_t>(length)) == path) {
            ++count;
        }
    }
    return count;
}

// The rows of one table, read back through a connection of our own.
std::set<std::string> tableKeys(const std::string& databasePath, const std::string& table) {
    sqlite3* raw = nullptr;
    std::set<std::string> keys;
    if (sqlite3_open_v2(databasePath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot reopen " << databasePath;
        sqlite3_close(raw);
        return keys;
    }
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> database(raw, sqlite3_close);
    sqlite3_stmt* statement = nullptr;
    const std::string sql = "SELECT key FROM " + table;
    EXPECT_EQ(sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        keys.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    return keys;
}

struct Step {
    std::string path;
    Type type;
    bool accepted;
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const Sequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

class ArchivePathRegistrySequenceTest : public testing::TestWithParam<Sequence> {};

// Each step asks canInsert and records the path when it is accepted, as pack and unpack do.
TEST_P(ArchivePathRegistrySequenceTest, AcceptsOnlyPathsThatCannotCollide) {
    test::TempDir dir;
    ArchivePathRegistry registry(dir.file("path-registry.sqlite"));
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE(step.path);
        ASSERT_EQ(registry.canInsert(step.path, step.type), step.accepted);
        if (step.accepted) {
            registry.insert(step.path, step.type);
        }
    }
    registry.close();
}

// "e" + U+0301 is the decomposed spelling of "é".
const std::string kComposed = "caf\xC3\xA9.txt";
const std::string kDecomposed = "cafe\xCC\x81.txt";

INSTANTIATE_TEST_SUITE_P(
    Collisions, ArchivePathRegistrySequenceTest,
    testing::Values(
        Sequence{"caseOnly", {{"docs/read.TXT", kFile, true}, {"Docs/Read.txt", kFile, false}}},
        Sequence{"composedThenDecomposed", {{kComposed, kFile, true}, {kDecomposed, kFile, false}}},
        Sequence{"decomposedFolderThenComposedFile",
                 {{"x/" + kDecomposed + "/in.txt", kFile, true}, {"X/" + kComposed, kFile, false}}},
        Sequence{"fullCaseFolding", {{"Straße.txt", kFile, true}, {"STRASSE.TXT", kFile, false}}},
        Sequence{"fileUnderFile", {{"a", kFile, true}, {"a/b.txt", kFile, false}}},
        Sequence{"fileUnderFileDeep",
                 {{"a/b", kFile, true},
                  {"A/B/c/d.txt", kFile, false},
                  {"a/b/", kDirectory, false},
                  {"a/c/d.txt", kFile, true}}},
        Sequence{"fileOverParentThenDirectory",
                 {{"a/b.txt", kFile, true}, {"a", kFile, false}, {"a/", kDirectory, true}}},
        Sequence{"fileOverGrandparent",
                 {{"p/q/r.txt", kFile, true}, {"P/Q", kFile, false}, {"p", kFile, false}}},
        Sequence{"directoryTwice", {{"a/", kDirectory, true}, {"a/", kDirectory, false}}},
        Sequence{"directoryThenFile", {{"x/", kDirectory, true}, {"x", kFile, false}}},
        Sequence{"fileThenDirectory", {{"x", kFile, true}, {"x/", kDirectory, false}}},
        Sequence{"fileThenSameNameDirectory", {{"x", kFile, true}, {"X", kDirectory, false}}},
        Sequence{"treeAsUnpackRecordsIt",
                 {{"a", kDirectory, true},
                  {"a/b", kDirectory, true},
                  {"a/b/c.txt", kFile, true},
                  {"a/b/d.txt", kFile, true},
                  {"A/b/C.TXT", kFile, false},
                  {"a/B", kFile, false}}},
        Sequence{"linkBelowFileOrLink",
                 {{"l", kLink, true}, {"l/x", kFile, false}, {"L/y", kDirectory, false}}},
        // A link is recorded as a non-directory, so it may not take a folder's name in either
        // order.
        Sequence{"linkOverParent", {{"a/b.txt", kFile, true}, {"A", kLink, false}}},
        Sequence{"linkOverTrailingSlashDirectory",
                 {{"d/", kDirectory, true}, {"d", kLink, false}}}),
    [](const testing::TestParamInfo<Sequence>& info) { return std::string(info.param.name); });

TEST(ArchivePathRegistryTest, CloseCommitsCollisionKeysAndEveryParent) {
    test::TempDir dir;
    const std::string path = dir.file("registry.sqlite");
    ArchivePathRegistry registry(path);
    registry.insert("Docs/Sub/Read.TXT", kFile);
    registry.insert("Docs/Sub/", kDirectory);
    registry.insert(kDecomposed, kFile);
    registry.close();

    EXPECT_EQ(tableKeys(path, "paths"),
              (std::set<std::string>{"docs/sub/read.txt", "docs/sub/", kComposed}));
    EXPECT_EQ(tableKeys(path, "parents"), (std::set<std::string>{"docs", "docs/sub"}));
    EXPECT_EQ(openDescriptorsTo(path), 0);
}

TEST(ArchivePathRegistryTest, ClosingTwiceIsHarmlessAndLaterUseFails) {
    test::TempDir dir;
    ArchivePathRegistry registry(dir.file("registry.sqlite"));
    // Leaves the lookup statement positioned on a row when COMMIT runs.
    registry.insert("a.txt", kFile);
    EXPECT_FALSE(registry.canInsert("A.TXT", kFile));
    registry.close();
    registry.close();
    EXPECT_EQ(openDescriptorsTo(dir.file("registry.sqlite")), 0);
    EXPECT_EQ(failureDetail([&] { registry.canInsert("b.txt", kFile); }),
              "the path registry is closed");
    EXPECT_EQ(failureDetail([&] { registry.insert("b.txt", kFile); }),
              "the path registry is closed");
}

TEST(ArchivePathRegistryTest, OpeningRefusesAnythingButANewDatabase) {
    test::TempDir dir;
    const std::string existing = dir.file("existing.sqlite");
    {
        ArchivePathRegistry first(existing);
        first.close();
    }
    EXPECT_EQ(failureDetail([&] { ArchivePathRegistry again(existing); }),
              "could not configure the path registry: table paths already exists");

    const std::string garbage = dir.file("garbage.sqlite");
    test::writeFile(garbage, std::string(4096, 'x'));
    EXPECT_EQ(failureDetail([&] { ArchivePathRegistry notADatabase(garbage); }),
              "could not configure the path registry: file is not a database");

    EXPECT_EQ(failureDetail([&] { ArchivePathRegistry missing(dir.file("absent/r.sqlite")); }),
              "could not create the path registry: unable to open database file");
    EXPECT_EQ(failureDetail([&] {
                  ArchivePathRegistry cut(dir.file("r.sqlite") + std::string(1, '\0') + "x");
              }),
              "could not create the path registry: could not open database");
    EXPECT_FALSE(::access(dir.file("r.sqlite").c_str(), F_OK) == 0);

    // A failed open leaves no connection behind.
    EXPECT_EQ(openDescriptorsTo(existing), 0);
    EXPECT_EQ(openDescriptorsTo(garbage), 0);
}

TEST(ArchivePathRegistryTest, FailedInsertLeavesRegistryUsable) {
    test::TempDir dir;
    const std::string path = dir.file("registry.sqlite");
    ArchivePathRegistry registry(path);
    registry.insert("a/b.txt", kFile);
    // insert does not repeat canInsert's test; the table's uniqueness still holds.
    EXPECT_EQ(failureDetail([&] { registry.insert("A/B.TXT", kFile); }),
              "path registry insert path failed: UNIQUE constraint failed: paths.key");
    EXPECT_TRUE(registry.canInsert("a/c.txt", kFile));
    registry.insert("a/c.txt", kFile);
    registry.close();
    EXPECT_EQ(tableKeys(path, "paths"), (std::set<std::string>{"a/b.txt", "a/c.txt"}));
}

TEST(ArchivePathRegistryTest, ReleaseAfterFailureMidTransactionClosesConnection) {
    test::TempDir dir;
    const std::string path = dir.file("path-registry.sqlite");
    {
        ArchivePathRegistry registry(path);
        for (int i = 0; i < 100; ++i) {
            registry.insert("dir/" + std::to_string(i), kFile);
        }
        EXPECT_EQ(openDescriptorsTo(path), 1);
        EXPECT_THROW(registry.insert("DIR/7", kFile), ArchivePipelineError);
        // Released with its transaction still open, as a failing job leaves it.
    }
    EXPECT_EQ(openDescriptorsTo(path), 0);
    // The scratch file is the job's to delete; nothing was committed into it.
    EXPECT_TRUE(tableKeys(path, "paths").empty());
}

// Lowers the largest file this process may write, so that SQLite's writes fail with EFBIG
// instead of the process being killed, and restores both on destruction.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved_), 0);
        previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        ::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit saved_{};
    sighandler_t previousHandler_ = SIG_DFL;
};

TEST(ArchivePathRegistryTest, FailedCommitReportsSQLiteAndStillCloses) {
    test::TempDir dir;
    const std::string path = dir.file("path-registry.sqlite");
    ArchivePathRegistry registry(path);
    for (int i = 0; i < 2000; ++i) {
        registry.insert("folder-" + std::to_string(i % 10) + "/entry-" + std::to_string(i) +
                            std::string(60, 'x'),
                        kFile);
    }
    std::optional<std::string> detail;
    {
        // The tables alone fit; the transaction's pages do not.
        FileSizeLimit limit(16384);
        try {
            registry.close();
        } catch (const ArchivePipelineError& error) {
            detail = error.detail();
        }
    }
    ASSERT_TRUE(detail.has_value()) << "the commit did not fail";
    EXPECT_EQ(detail->rfind("could not commit the path registry: ", 0), 0u) << *detail;
    EXPECT_GT(detail->size(), std::string("could not commit the path registry: ").size());
    EXPECT_EQ(openDescriptorsTo(path), 0);
    registry.close();
    EXPECT_EQ(failureDetail([&] { registry.canInsert("a", kFile); }),
              "the path registry is closed");
}

}  // namespace
}  // namespace tolvane
