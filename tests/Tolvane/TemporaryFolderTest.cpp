#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>

#include "Tolvane/model/TemporaryFolder.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane::test {
namespace {

TEST(TemporaryFolder, UsesOnlyAPrivateRealFolderOfThisUser) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"missing", "ok"},
        {"private", "ok"},
        {"open to others", "errno EPERM"},
        {"link to a private folder", "errno ENOTDIR"},
        {"other owner", "errno EPERM"},
    };
    for (const auto& [name, outcome] : rows) {
        TempDir root;
        const std::string folder = TemporaryFolder::applicationFolder(root.path());
        const std::string made = name == "link to a private folder" ? root.file("x") : folder;
        if (name != "missing") {
            ASSERT_EQ(::mkdir(made.c_str(), 0700), 0);
        }
        if (name == "open to others") {
            ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
        } else if (name == "link to a private folder") {
            ASSERT_EQ(::symlink(made.c_str(), folder.c_str()), 0);
        } else if (name == "other owner" &&
                   ::chown(folder.c_str(), unprivilegedId, unprivilegedId) != 0) {
            std::cout << "skipped \"other owner\": giving a folder away needs root\n";
            continue;
        }
        EXPECT_EQ(outcomeOf([&] { TemporaryFolder::ensurePrivateFolder(folder); }), outcome)
            << name;
    }
}

}  // namespace
}  // namespace tolvane::test
