#include "core/archive/AtomicOutputCommitter.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "core/common/Posix.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Names = std::vector<std::string>;

int refusal = 0;  // what the stand-in for renameat2 fails with
int refuse(int, const char*, int, const char*, unsigned int) {
    return errno = refusal, -1;
}

// Moves "stage/item" (a folder with a file for "Photos", else a file) into "dest", which holds
// the taken names (one ending in "/" is an empty folder). Taken names are skipped, never
// replaced, also by the fallbacks for file systems that refuse the exclusive rename (EINVAL,
// ENOSYS). A flush after the rename that fails ("dest", "stage", "both") hands the item back to
// its stage, whose clean-up takes it away, unless the stage name or the committed name was
// taken during the first flush; a failure moves nothing else.
TEST(AtomicOutputCommitterTest, CommitsUnderTheFirstFreeNameOrNotAtAll) {
    const std::string invalid = "finalizationFailed: invalid output filename";
    const std::string unsynced =
        "finalizationFailed: directory metadata could not be synchronized (EIO); output ";
    const std::string back = unsynced + "was returned to staging";
    const std::string remain = unsynced + "may remain at DEST/report.zip";
    const std::tuple<std::string, Names, int, std::string, std::string, std::string> cases[] = {
        // requested, taken, refused rename, failing flush, taken meanwhile, outcome
        {"report.zip", {"report.zip", "report_2.zip"}, 0, "", "", "report_3.zip"},
        {"Photos", {"Photos"}, 0, "", "", "Photos_2"},
        {".hidden", {".hidden"}, 0, "", "", ".hidden_2"},
        {"a.tar.gz", {"a.tar.gz"}, 0, "", "", "a.tar_2.gz"},
        {"report.zip", {"report.zip"}, EINVAL, "", "", "report_2.zip"},
        {"Photos", {"Photos/"}, ENOSYS, "", "", "Photos_2"},
        {"..", {}, 0, "", "", invalid},
        {std::string("a\0b", 3), {}, 0, "", "", invalid},
        {"sub/report.zip", {}, 0, "", "", "destinationChanged: DEST"},
        {"report.zip", {}, EXDEV, "", "", "finalizationFailed: Invalid cross-device link"},
        {"report.zip", {}, EEXIST, "", "", "finalizationFailed: too many name collisions"},
        {"report.zip", {}, 0, "dest", "", back},
        {"report.zip", {}, 0, "stage", "", back},
        {"Photos", {}, EINVAL, "both", "", back},
        {"report.zip", {}, 0, "both", "stage/item", remain},
        {"report.zip", {}, 0, "both", "dest/report.zip", remain},
    };
    for (const auto& [requested, taken, refused, failing, meanwhile, expected] : cases) {
        test::TempDir dir;
        std::vector<std::pair<std::string, std::string>> items = {
            {"stage/", ""},
            {"dest/", ""},
            {requested == "Photos" ? "stage/item/" : "stage/item", "x"}};
        for (const std::string& name : taken) {
            items.emplace_back("dest/" + name, "keep");
        }
        test::makeTree(dir.path(), items);
        const test::Tree before = test::treeOf(dir.path());
        const UniqueFd stage = posix::open(dir.file("stage"), O_RDONLY | O_DIRECTORY);
        const UniqueFd dest = posix::open(dir.file("dest"), O_RDONLY | O_DIRECTORY);
        int flushes = 0;
        const auto flush = [&](int fd) {
            if (flushes++ == 0 && !meanwhile.empty()) {
                test::writeFile(dir.file("new"), "new");
                std::rename(dir.file("new").c_str(), dir.file(meanwhile).c_str());
            }
            if (failing.empty()) {
                return AtomicOutputCommitter::systemDirectorySync(fd);
            }
            errno = 0;  // an unknown failure is reported as EIO
            return failing == "both" || fd == (failing == "dest" ? dest : stage).get() ? -1 : 0;
        };
        refusal = refused;
        std::string path;
        const std::string outcome = test::outcomeOf([&] {
            path = AtomicOutputCommitter::move("item", stage.get(), dest.get(),
                                               dir.file("dest/" + requested), dir.file("dest"),
                                               flush, refused != 0 ? refuse : nullptr);
        });
        std::string want = expected;
        if (const auto at = want.find("DEST"); at != std::string::npos) {
            want.replace(at, 4, dir.file("dest"));
        }
        EXPECT_EQ(outcome == "ok" ? path.substr(dir.path().size() + 6) : outcome, want);
        // The tree as it was made, with the item where it was committed and left.
        const std::string committed = outcome == "ok"     ? expected
                                      : meanwhile.empty() ? ""
                                                          : "report.zip";
        test::Tree after;
        for (const auto& [entry, content] : before) {
            const bool moved = !committed.empty() && entry.starts_with("stage/item");
            after[moved ? "dest/" + committed + entry.substr(10) : entry] = content;
        }
        if (!meanwhile.empty()) {
            after[meanwhile] = "new";
        }
        EXPECT_EQ(test::treeOf(dir.path()), after) << requested;
    }
}

}  // namespace
}  // namespace tolvane
