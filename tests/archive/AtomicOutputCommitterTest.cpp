#include "core/archive/AtomicOutputCommitter.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>

#include "core/common/Posix.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

int refusal = 0;  // what the stand-in for renameat2 fails with
int refuse(int, const char*, int, const char*, unsigned int) {
    return errno = refusal, -1;
}

// Taken names are skipped, never replaced, also without the exclusive rename; a failed flush
// hands the item back unless a name was taken meanwhile. Each row: requested, taken names,
// refused rename, failing flush, outcome. Only the item moves, to where it is left.
TEST(AtomicOutputCommitterTest, CommitsUnderTheFirstFreeNameOrNotAtAll) {
    test::TempDir dir;
    const std::string root = dir.file("t"), dest = root + "/dest", failed = "finalizationFailed";
    const std::tuple<std::string, unsigned, int, std::string, std::string> cases[] = {
        {"report.zip", 2, 0, "", "report_3.zip"},
        {"report.zip", 1, EINVAL, "", "report_2.zip"},
        {"Photos", 1, ENOSYS, "", "Photos_2"},
        {"..", 0, 0, "", failed},
        {"report.zip", 0, EEXIST, "", failed},  // too many collisions
        {"report.zip", 0, 0, "dest", failed},
        {"report.zip", 0, 0, "stage/item", failed},
        {"report.zip", 0, 0, "dest/report.zip", failed},
    };
    for (const auto& [requested, taken, refused, failing, expected] : cases) {
        const std::string kind = requested == "Photos" ? "/" : "", item = "stage/item" + kind;
        fs::remove_all(root), fs::create_directories(root + "/stage"), fs::create_directory(dest);
        test::makeTree(root, {{item, "x"}});
        for (unsigned attempt = 1; attempt <= taken; ++attempt) {
            const std::string name = AtomicOutputCommitter::candidateName(requested, attempt);
            test::makeTree(dest, {{name + kind, "keep"}});
        }
        test::Tree after = test::treeOf(root);
        const UniqueFd from = posix::open(root + "/stage", O_RDONLY), to = posix::open(dest, 0);
        const bool meanwhile = failing.find('/') != std::string::npos;
        const auto flush = [&, first = true](int fd) mutable {
            if (std::exchange(first, false) && meanwhile) {
                test::writeFile(root + "/new", "new"),
                    fs::rename(root + "/new", root + "/" + failing);
            }
            const bool fails = meanwhile || fd == to.get();
            return failing.empty() || !fails ? 0 : -1;
        };
        refusal = refused;
        std::string path;
        const std::string outcome = test::outcomeOf([&] {
            path = AtomicOutputCommitter::move("item", from.get(), to.get(), dest + "/" + requested,
                                               dest, flush, refused != 0 ? refuse : nullptr);
        });
        EXPECT_EQ(outcome == "ok" ? path.substr(dest.size() + 1) : outcome.substr(0, 18), expected);
        const std::string at = outcome == "ok" ? expected : meanwhile ? "report.zip" : "";
        if (!at.empty()) {
            after["dest/" + at + kind] = after[item], after.erase(item);
        }
        if (meanwhile) {
            after[failing] = "new";
        }
        EXPECT_EQ(test::treeOf(root), after) << requested;
    }
}

}  // namespace
}  // namespace tolvane
