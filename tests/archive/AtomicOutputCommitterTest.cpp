#include "core/archive/AtomicOutputCommitter.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/common/Posix.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Names = std::vector<std::string>;
namespace Committer = AtomicOutputCommitter;

// What the stand-in for renameat2 answers: every call fails with this errno.
int refusal = 0;
int refuse(int, const char*, int, const char*, unsigned int) {
    errno = refusal;
    return -1;
}

// "stage/item" (a file, or a folder with a file) beside "dest" holding the taken names (a name
// ending in "/" is an empty folder), both open.
struct Folders {
    Folders(bool folderItem, const Names& taken) {
        std::vector<std::pair<std::string, std::string>> items = {{"stage/", ""}, {"dest/", ""}};
        items.emplace_back(folderItem ? "stage/item/" : "stage/item", "");
        items.emplace_back(folderItem ? "stage/item/f" : "stage/item", "payload");
        for (const std::string& name : taken) {
            items.emplace_back("dest/" + name, "keep");
        }
        test::makeTree(dir.path(), items);
        stage = posix::open(dir.file("stage"), O_RDONLY | O_DIRECTORY);
        destination = posix::open(dest, O_RDONLY | O_DIRECTORY);
        made = test::treeOf(dir.path());
    }
    // The outcome of moving `item`, with the committed name in place of "ok".
    std::string move(const std::string& requested, const Committer::DirectorySync& sync,
                     int refused = 0, const std::string& item = "item") {
        refusal = refused;
        std::string path;
        const std::string outcome = test::outcomeOf([&] {
            path = Committer::move(item, stage.get(), destination.get(), dest + "/" + requested,
                                   dest, sync, refused != 0 ? refuse : nullptr);
        });
        return outcome == "ok" ? path.substr(dest.size() + 1) : outcome;
    }
    // The tree as it was made, with "stage/item" moved to "dest/<name>".
    test::Tree movedTo(const std::string& name) const {
        test::Tree tree;
        for (const auto& [path, content] : made) {
            tree[path.starts_with("stage/item") ? "dest/" + name + path.substr(10) : path] =
                content;
        }
        return tree;
    }

    test::TempDir dir;
    std::string dest = dir.file("dest");
    UniqueFd stage, destination;
    test::Tree made;
};

// Taken names are skipped, never replaced, also by the fallbacks for file systems that refuse
// the exclusive rename (EINVAL, ENOSYS); a failure moves nothing. "Photos" is a folder.
TEST(AtomicOutputCommitterTest, CommitsUnderTheFirstFreeName) {
    const std::string invalid = "finalizationFailed: invalid output filename";
    const std::tuple<std::string, Names, int, std::string> cases[] = {
        {"report.zip", {}, 0, "report.zip"},
        {"report.zip", {"report.zip", "report_2.zip"}, 0, "report_3.zip"},
        {"Photos", {"Photos"}, 0, "Photos_2"},
        {".hidden", {".hidden"}, 0, ".hidden_2"},
        {"a.tar.gz", {"a.tar.gz"}, 0, "a.tar_2.gz"},
        {"report.zip", {"report.zip"}, EINVAL, "report_2.zip"},
        {"Photos", {"Photos/"}, ENOSYS, "Photos_2"},
        {"..", {}, 0, invalid},
        {std::string("a\0b", 3), {}, 0, invalid},
        {"sub/report.zip", {}, 0, "destinationChanged: "},
        {"report.zip", {}, EXDEV, "finalizationFailed: Invalid cross-device link"},
        {"report.zip", {}, EEXIST, "finalizationFailed: too many name collisions"},
    };
    for (const auto& [requested, taken, refused, expected] : cases) {
        Folders folders(requested == "Photos", taken);
        const std::string result = folders.move(requested, Committer::systemDirectorySync, refused);
        EXPECT_EQ(result, expected.ends_with(": ") ? expected + folders.dest : expected);
        EXPECT_EQ(test::treeOf(folders.dir.path()),
                  expected.find(": ") == std::string::npos ? folders.movedTo(result) : folders.made)
            << requested;
    }
    Folders folders(false, {});
    for (const std::string& item : Names{"", "..", "../stage/item", std::string("item\0x", 6)}) {
        EXPECT_EQ(folders.move("x", Committer::systemDirectorySync, 0, item),
                  "destinationChanged: " + folders.dest);
    }
}

// A flush after the rename that fails hands the item back to its stage, whose clean-up takes
// it away; when the stage name was taken meanwhile, or the committed name no longer holds the
// item, the error says where the item may be.
TEST(AtomicOutputCommitterTest, AFailedFlushUndoesTheCommit) {
    const std::string back = "EIO); output was returned to staging";
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        // failing flush, refused rename, name taken during the first flush, outcome
        {"dest", 0, "", back},
        {"stage", 0, "", back},
        {"both", EINVAL, "", back},
        {"both", 0, "stage/item", "EIO); output may remain at "},
        {"both", 0, "dest/report.zip", "EIO); output may remain at "},
    };
    for (const auto& [failing, refused, taken, expected] : cases) {
        Folders folders(false, {});
        int calls = 0;
        const auto sync = [&](int fd) {
            if (calls++ == 0 && !taken.empty()) {
                test::writeFile(folders.dir.file("new"), "new");
                ::rename(folders.dir.file("new").c_str(), folders.dir.file(taken).c_str());
            }
            errno = 0;  // an unknown failure is reported as EIO
            return failing == "both" ||
                           fd == (failing == "stage" ? folders.stage : folders.destination).get()
                       ? -1
                       : 0;
        };
        EXPECT_EQ(folders.move("report.zip", sync, refused),
                  "finalizationFailed: directory metadata could not be synchronized (" + expected +
                      (taken.empty() ? "" : folders.dest + "/report.zip"));
        test::Tree tree = taken.empty() ? folders.made : folders.movedTo("report.zip");
        if (!taken.empty()) {
            tree[taken] = "new";
        }
        EXPECT_EQ(test::treeOf(folders.dir.path()), tree) << taken;
        EXPECT_EQ(calls, taken.empty() ? 4 : 2);  // both folders, again after the move back
    }
}

}  // namespace
}  // namespace tolvane
