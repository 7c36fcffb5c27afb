#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Tolvane/model/ArchiveSaveNamePolicy.h"
#include "support/Child.h"
#include "support/TempDir.h"

namespace tolvane::test {
namespace {

TEST(ArchiveSaveNamePolicy, NamingTable) {
    const std::string longBase(251, 'a');  // 255 bytes with ".zip": the longest name Linux takes
    const struct {
        const char* label;
        std::string typed;
        std::vector<std::string> present;  // files already in the folder
        std::string expected;
    } rows[] = {
        {"trimmed, extension added", " \t보고서 \n", {}, "보고서.zip"},
        {"capital extension", "Photos.ZIP", {}, "Photos.zip"},
        {"only one suffix dropped", "a.zip.zip", {}, "a.zip.zip"},
        {"space before the suffix stays", "a .zip", {}, "a .zip"},
        {"empty", "   ", {}, ""},
        {"slash", "a/b", {}, ""},
        {"colon", "a:b", {}, ""},
        {"tab inside", "a\tb", {}, ""},
        {"zero-width joiner", "a\u200Db", {}, ""},
        {"format character outside the BMP", "a\U000E0001b", {}, ""},
        {"control character NUL", std::string("a\0b", 3), {}, ""},
        {"not UTF-8", "a\xff", {}, ""},
        {"only the extension", ".zip", {}, ""},
        {"dot base", "..zip", {}, ""},
        {"dot-dot base", "...ZIP", {}, ""},
        {"numbered to 3", "납품", {"납품.zip", "납품_2.zip"}, "납품_3.zip"},
        {"a gap is reused", "x", {"x.zip", "x_3.zip"}, "x_2.zip"},
        {"other case is another name", "x", {"X.zip"}, "x.zip"},
        {"longest name fits", longBase, {}, longBase + ".zip"},
        {"too long for the file system", longBase + "b", {}, ""},
        {"numbering would make it too long", longBase, {longBase + ".zip"}, ""},
    };
    for (const auto& row : rows) {
        TempDir folder;
        for (const auto& name : row.present) {
            writeFile(folder.file(name), "");
        }
        EXPECT_EQ(ArchiveSaveNamePolicy::availableName(row.typed, folder.path()), row.expected)
            << row.label;
    }
}

TEST(ArchiveSaveNamePolicy, AnythingAtThePathIsTaken) {
    TempDir folder;
    ASSERT_EQ(::symlink("missing-target", folder.file("a.zip").c_str()), 0);
    ASSERT_EQ(::mkdir(folder.file("a_2.zip").c_str(), 0755), 0);
    ASSERT_EQ(::symlink(folder.file("a_2.zip").c_str(), folder.file("a_3.zip").c_str()), 0);
    EXPECT_EQ(ArchiveSaveNamePolicy::availableName("a", folder.path()), "a_4.zip");
    EXPECT_EQ(ArchiveSaveNamePolicy::availableName("a", folder.file("missing")), "");
}

TEST(ArchiveSaveNamePolicy, AFolderThatCannotBeSearchedOffersNoName) {
    TempDir root;
    const std::string folder = root.file("locked");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0600), 0);  // listable by its owner, not searchable
    ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);
    if (::geteuid() == 0) {
        // Root searches anything; the probe runs as the folder's unprivileged owner instead.
        ASSERT_EQ(::chown(folder.c_str(), unprivilegedId, unprivilegedId), 0);
    }
    const ChildExit child = runInChild([&] {
        if (!dropPrivileges()) {
            return 3;
        }
        return ArchiveSaveNamePolicy::availableName("a", folder).empty() ? 0 : 1;
    });
    EXPECT_TRUE(child.succeeded()) << child.describe();
}

}  // namespace
}  // namespace tolvane::test
