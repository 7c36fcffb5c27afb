#include "core/archive/ArchivePathRegistry.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveValues.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Code = ArchivePipelineError::Code;
using Keys = std::set<std::string>;
constexpr ArchiveEntryType F = ArchiveEntryType::file, D = ArchiveEntryType::directory,
                           L = ArchiveEntryType::symlink;

// The finalizationFailed detail of what the call throws.
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
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        count += std::filesystem::read_symlink(entry.path(), error).string() == path ? 1 : 0;
    }
    return count;
}

// The rows of one table, read back through a connection of our own.
Keys tableKeys(const std::string& databasePath, const std::string& table) {
    sqlite3* database = nullptr;
    sqlite3_stmt* statement = nullptr;
    Keys keys;
    sqlite3_open_v2(databasePath.c_str(), &database, SQLITE_OPEN_READONLY, nullptr);
    const std::string sql = "SELECT key FROM " + table;
    EXPECT_EQ(sqlite3_prepare_v2(database, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        keys.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(database);
    return keys;
}

// "e" + U+0301 is the decomposed spelling of "é".
const std::string kComposed = "caf\xC3\xA9.txt";
const std::string kDecomposed = "cafe\xCC\x81.txt";

// Each step asks canInsert and records the path when it is accepted, as pack and unpack do.
TEST(ArchivePathRegistryTest, AcceptsOnlyPathsThatCannotCollide) {
    struct Step {
        std::string path;
        ArchiveEntryType type;
        bool accepted;
    };
    const std::vector<std::pair<const char*, std::vector<Step>>> sequences = {
        {"case only", {{"docs/read.TXT", F, true}, {"Docs/Read.txt", F, false}}},
        {"NFC", {{kComposed, F, true}, {kDecomposed, F, false}}},
        {"NFC folder", {{"x/" + kDecomposed + "/in.txt", F, true}, {"X/" + kComposed, F, false}}},
        {"full case folding", {{"Straße.txt", F, true}, {"STRASSE.TXT", F, false}}},
        {"file under file",
         {{"a/b", F, true}, {"A/B/c/d.txt", F, false}, {"a/b/", D, false}, {"a/c/d.txt", F, true}}},
        {"file over parent", {{"a/b.txt", F, true}, {"a", F, false}, {"a/", D, true}}},
        {"file over grandparent", {{"p/q/r.txt", F, true}, {"P/Q", F, false}, {"p", F, false}}},
        {"directory", {{"x/", D, true}, {"X/", D, false}, {"x", F, false}, {"X", L, false}}},
        {"file then directory", {{"x", F, true}, {"x/", D, false}, {"X", D, false}}},
        {"tree as unpack records it",
         {{"a", D, true}, {"a/b", D, true}, {"A/B/c.txt", F, true}, {"a/B", F, false}}},
        // A link is a non-directory: nothing lives below it and it takes no folder's name.
        {"link", {{"l", L, true}, {"l/x", F, false}, {"L/y", D, false}}},
        {"link over parent", {{"a/b.txt", F, true}, {"A", L, false}}},
    };
    for (const auto& [name, steps] : sequences) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        ArchivePathRegistry registry(dir.file("path-registry.sqlite"));
        for (const Step& step : steps) {
            SCOPED_TRACE(step.path);
            ASSERT_EQ(registry.canInsert(step.path, step.type), step.accepted);
            if (step.accepted) {
                registry.insert(step.path, step.type);
            }
        }
        registry.close();
    }
}

TEST(ArchivePathRegistryTest, CloseCommitsKeysAndParentsAfterAFailedInsert) {
    test::TempDir dir;
    const std::string path = dir.file("registry.sqlite");
    ArchivePathRegistry registry(path);
    registry.insert("Docs/Sub/Read.TXT", F);
    registry.insert("Docs/Sub/", D);
    // insert does not repeat canInsert's test; the table's uniqueness still holds, and the
    // registry stays usable after the failure.
    EXPECT_EQ(failureDetail([&] { registry.insert("DOCS/sub/read.txt", F); }),
              "path registry insert path failed: UNIQUE constraint failed: paths.key");
    registry.insert(kDecomposed, F);
    // Leaves the lookup statement positioned on a row when COMMIT runs.
    EXPECT_FALSE(registry.canInsert("DOCS/SUB/READ.txt", F));
    registry.close();
    registry.close();

    EXPECT_EQ(tableKeys(path, "paths"), (Keys{"docs/sub/read.txt", "docs/sub/", kComposed}));
    EXPECT_EQ(tableKeys(path, "parents"), (Keys{"docs", "docs/sub"}));
    EXPECT_EQ(openDescriptorsTo(path), 0);
    EXPECT_EQ(failureDetail([&] { registry.insert("b.txt", F); }), "the path registry is closed");
}

TEST(ArchivePathRegistryTest, OpeningRefusesAnythingButANewDatabase) {
    test::TempDir dir;
    const std::string existing = dir.file("existing.sqlite");
    ArchivePathRegistry(existing).close();
    EXPECT_EQ(failureDetail([&] { ArchivePathRegistry again(existing); }),
              "could not configure the path registry: table paths already exists");
    const std::string garbage = dir.file("garbage.sqlite");
    test::writeFile(garbage, std::string(4096, 'x'));
    EXPECT_EQ(failureDetail([&] { ArchivePathRegistry notADatabase(garbage); }),
              "could not configure the path registry: file is not a database");
    EXPECT_EQ(failureDetail([&] { ArchivePathRegistry missing(dir.file("absent/r.sqlite")); }),
              "could not create the path registry: unable to open database file");
    EXPECT_EQ(failureDetail([&] { ArchivePathRegistry cut(dir.file("r.sqlite") + '\0' + "x"); }),
              "could not create the path registry: could not open database");
    EXPECT_NE(::access(dir.file("r.sqlite").c_str(), F_OK), 0);
    // A failed open leaves no connection behind.
    EXPECT_EQ(openDescriptorsTo(existing), 0);
    EXPECT_EQ(openDescriptorsTo(garbage), 0);
}

// SQLite refuses ROLLBACK with the journal off; a registry dropped mid-transaction after a
// failure must still close its connection.
TEST(ArchivePathRegistryTest, ReleaseAfterFailureMidTransactionClosesConnection) {
    test::TempDir dir;
    const std::string path = dir.file("path-registry.sqlite");
    {
        ArchivePathRegistry registry(path);
        for (int i = 0; i < 100; ++i) {
            registry.insert("dir/" + std::to_string(i), F);
        }
        EXPECT_EQ(openDescriptorsTo(path), 1);
        EXPECT_THROW(registry.insert("DIR/7", F), ArchivePipelineError);
    }
    EXPECT_EQ(openDescriptorsTo(path), 0);
    EXPECT_TRUE(tableKeys(path, "paths").empty());
}

// Lowers the largest file this process may write, so that SQLite's writes fail with EFBIG
// instead of the process being killed.
struct FileSizeLimit {
    sighandler_t handler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes) {
        EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        const rlimit lowered{bytes, saved.rlim_max};
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &lowered), 0);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        ::signal(SIGXFSZ, handler);
    }
};

TEST(ArchivePathRegistryTest, FailedCommitReportsSQLiteAndStillCloses) {
    test::TempDir dir;
    const std::string path = dir.file("path-registry.sqlite");
    ArchivePathRegistry registry(path);
    for (int i = 0; i < 2000; ++i) {
        registry.insert(
            "f" + std::to_string(i % 10) + "/" + std::string(60, 'x') + std::to_string(i), F);
    }
    std::string detail;
    {
        FileSizeLimit limit(16384);  // the tables alone fit; the transaction's pages do not
        detail = failureDetail([&] { registry.close(); });
    }
    const std::string prefix = "could not commit the path registry: ";
    EXPECT_TRUE(detail.starts_with(prefix) && detail.size() > prefix.size()) << detail;
    EXPECT_EQ(openDescriptorsTo(path), 0);
    registry.close();
    EXPECT_EQ(failureDetail([&] { registry.canInsert("a", F); }), "the path registry is closed");
}

}  // namespace
}  // namespace tolvane
