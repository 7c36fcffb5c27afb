#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <system_error>

#include "Tolvane/model/InputURL.h"
#include "Tolvane/model/TemporaryFolder.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane::test {
namespace {

TEST(TemporaryFolder, UsesOnlyAPrivateRealFolderOfThisUser) {
    struct Row {
        const char* name;
        std::function<void(const std::string& folder, const std::string& root)> prepare;
        std::string outcome;
    };
    const std::vector<Row> rows = {
        {"missing", [](const std::string&, const std::string&) {}, "ok"},
        {"private", [](const std::string& f, const std::string&) { ::mkdir(f.c_str(), 0700); },
         "ok"},
        {"open to others",
         [](const std::string& f, const std::string&) {
             ::mkdir(f.c_str(), 0700);
             ::chmod(f.c_str(), 0755);
         },
         "errno EPERM"},
        {"symbolic link to a private folder",
         [](const std::string& f, const std::string& root) {
             ::mkdir((root + "/elsewhere").c_str(), 0700);
             ASSERT_EQ(::symlink((root + "/elsewhere").c_str(), f.c_str()), 0);
         },
         "errno ENOTDIR"},
        {"file", [](const std::string& f, const std::string&) { writeFile(f, ""); },
         "errno ENOTDIR"},
    };
    const mode_t previousMask = ::umask(077);
    for (const auto& row : rows) {
        TempDir root;
        const std::string folder = TemporaryFolder::applicationFolder(root.path());
        row.prepare(folder, root.path());
        EXPECT_EQ(outcomeOf([&] { TemporaryFolder::ensurePrivateFolder(folder); }), row.outcome)
            << row.name;
        struct stat status {};
        if (row.outcome == "ok" && ::lstat(folder.c_str(), &status) == 0) {
            EXPECT_EQ(status.st_mode & 07777, 0700u) << row.name;
        }
    }
    ::umask(previousMask);
}

TEST(TemporaryFolder, RefusesAFolderOfAnotherOwner) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a folder to another owner needs root";
    }
    TempDir root;
    const std::string folder = TemporaryFolder::applicationFolder(root.path());
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), unprivilegedId, unprivilegedId), 0);
    EXPECT_EQ(outcomeOf([&] { TemporaryFolder::ensurePrivateFolder(folder); }), "errno EPERM");
}

TEST(InputURL, MarksOnlyRealFoldersAsFolders) {
    TempDir root;
    makeTree(root.path(), {{"dir.zip/", ""}, {"file.zip", "x"}});
    ASSERT_EQ(::symlink(root.file("dir.zip").c_str(), root.file("link").c_str()), 0);
    EXPECT_EQ(InputURL::fromLocalPath(root.file("dir.zip")), root.file("dir.zip/"));
    EXPECT_EQ(InputURL::fromLocalPath(root.file("dir.zip/")), root.file("dir.zip/"));
    EXPECT_EQ(InputURL::fromLocalPath(root.file("file.zip")), root.file("file.zip"));
    EXPECT_EQ(InputURL::fromLocalPath(root.file("link")), root.file("link"));
    EXPECT_EQ(InputURL::fromLocalPath(root.file("missing")), root.file("missing"));
    EXPECT_FALSE(InputURL::isArchive(InputURL::fromLocalPath(root.file("dir.zip"))));
}

}  // namespace
}  // namespace tolvane::test
