#include "core/archive/SafeExtractTree.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <filesystem>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveQuarantine.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Tree = SafeExtractTree;
using test::outcomeOf;
const std::string provenance = "https://example.invalid/delivery.zip";

Tree::FileHash put(Tree& tree, const std::string& path, const std::string& content,
                   std::optional<std::uint16_t> mode = {},
                   const ArchiveExtendedAttributes::Map& a = {}) {
    return tree.writeFile(path, mode, std::nullopt, a, [&](const auto& sink) { sink(content); });
}

std::string stateOf(const std::string& path) {
    struct stat st {};
    char value[256] = {};
    const bool stamped =
        ::lgetxattr(path.c_str(), ArchiveQuarantine::attributeName, value, 255) > 0;
    return ::lstat(path.c_str(), &st) != 0
               ? "missing"
               : std::to_string(st.st_mode & 07777) + (stamped ? " " + std::string(value) : "");
}

class SafeExtractTreeTest : public testing::Test {
protected:
    void SetUp() override {
        test::makeTree(dir_.path(), {{"stage/", ""}, {"out/", ""}, {"out/victim", "keep"}});
    }
    void reset() {
        std::filesystem::remove_all(root_);
        test::makeTree(dir_.path(), {{"stage/", ""}, {"stage/a/", ""}});
    }
    test::TempDir dir_;
    std::string root_ = dir_.file("stage");
    std::string out_ = dir_.file("out");
};

// A link met anywhere on a path leads nowhere outside the root, whatever the operation: nothing
// there is written, chmod-ed or stamped. Nor do the other refusals.
TEST_F(SafeExtractTreeTest, NothingOutsideTheRootIsEverTouched) {
    const std::string refused = "errno ENOTDIR|errno ELOOP";
    const auto cancel = [] { throw ArchivePipelineError::cancelled(); };
    const auto flush = [](Tree::DirectorySync sync, Tree::CheckCancelled check) {
        return [=](Tree& t) { t.synchronizeTree(sync, check); };
    };
    const auto tamper = [&](Tree& t) {
        t.writeFile("f", 0644, 2e9, {},
                    [&](auto& sink) { sink("data"), test::writeFile(root_ + "/f", "!"); });
    };
    const auto never = [](int) { return ADD_FAILURE() << "flushed after cancellation", 0; };
    // The walk climbs back through "..", which must lead to the directory it came from.
    const auto moveAway = [&](int) {
        return ::rename((root_ + "/a").c_str(), dir_.file("moved").c_str()), 0;
    };
    const auto fifo = [&](Tree& t) { ::mkfifo((root_ + "/p").c_str(), 0600), t.hashFile("p"); };
    using Op = std::function<void(Tree&)>;
    // clang-format off
    const auto cut = [&](Tree& t) { t.writeFile("h", 0, {}, {}, [](auto& s) { s("h"); }, cancel); };
    const std::vector<std::tuple<std::string, std::string, Op, std::string>> cases = {
        {"", "", [](Tree& t) { put(t, "x", "1"), put(t, "x", "2"); }, "errno EEXIST"},
        {"", "", [](Tree& t) { put(t, "a/../../x", "x"); }, "unsafePath: a/../../x"},
        {"", "", tamper, "invalidArchive: written data did not verify: f"},
        {"", "", fifo, "unsafePath: p"}, {"", "", flush([](int) { return EIO; }, {}), "errno EIO"},
        {"", "", cut, "cancelled: "}, {"", "", flush(never, cancel), "cancelled: "},
        {"a/ln", "/", flush(posix::tryFsyncDirectory, {}), "unsafePath: ln"},
        {"", "", flush(moveAway, {}), "unsafePath: a"},
        {"b", out_, [](Tree& t) { put(t, "b/c.txt", "x"); }, refused},
        {"a/b", "../../out", [](Tree& t) { put(t, "a/b/c.txt", "x"); }, refused},
        {"c", out_ + "/made", [](Tree& t) { put(t, "c", "x"); }, "errno EEXIST"},
        {"b", out_, [](Tree& t) { t.makeDirectory("b/c/d"); }, refused},
        {"a/b", out_, [](Tree& t) { t.makeDirectory("a/b"); }, "unsafePath: a/b"},
        {"f", out_ + "/victim", [](Tree& t) { t.hashFile("f"); }, "errno ELOOP"},
        {"b", out_, [](Tree& t) { t.setDirectoryMetadata("b", 0, 1e9, {{"k", "v"}}); }, refused}};
    // clang-format on
    const auto before = std::pair(test::treeOf(out_), stateOf(out_) + stateOf(out_ + "/victim"));
    for (const auto& [link, target, operation, outcome] : cases) {
        SCOPED_TRACE(outcome + " " + link);
        reset();
        ASSERT_TRUE(link.empty() || ::symlink(target.c_str(), (root_ + "/" + link).c_str()) == 0);
        Tree tree(root_, provenance);
        const std::string result = outcomeOf([&] { operation(tree); });
        EXPECT_NE(outcome.find(result), std::string::npos) << result;
        EXPECT_EQ(std::pair(test::treeOf(out_), stateOf(out_) + stateOf(out_ + "/victim")), before);
    }
    // A root that is a file, or a link (the last row's), is refused too.
    EXPECT_EQ(outcomeOf([&] { Tree tree(out_ + "/victim", {}); }), "errno ENOTDIR");
    EXPECT_NE(refused.find(outcomeOf([&] { Tree tree(root_ + "/b", {}); })), std::string::npos);
}

// The walk holds one directory open at a time, so a tree deeper than the open-file limit is
// walked whole. Children are flushed before their parent, the root last.
TEST_F(SafeExtractTreeTest, TreesDeeperThanTheOpenFileLimitSynchronizeDeepestFirst) {
    const auto deepTree = [&] {
        const rlimit limit{512, 512};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 10;
        }
        Tree tree(root_, std::nullopt);
        std::string path = "d";
        while (path.size() < 1199) {
            path += "/d";
        }
        put(tree, path + "/f", "x");
        std::vector<std::size_t> lengths;  // of the flushed paths
        tree.synchronizeTree([&](int fd) {
            const auto link = "/proc/self/fd/" + std::to_string(fd);
            lengths.push_back(std::filesystem::read_symlink(link).string().size());
            return posix::tryFsyncDirectory(fd);
        });
        return lengths.size() == 601 && std::ranges::is_sorted(lengths, std::greater()) ? 0 : 1;
    };
    EXPECT_TRUE(test::runInChild(deepTree).succeeded());
}

// Modes that shut the owner out (directories 0311, 0600, 0000; files 0000, 0200) still unpack
// and verify for an unprivileged user, whatever order directories come in; set-id bits are
// dropped; the provenance goes on everything created; no archived mode means 0700 or 0600.
TEST_F(SafeExtractTreeTest, ArchivedMetadataIsAppliedLastForAnUnprivilegedUser) {
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
    ASSERT_TRUE(::geteuid() != 0 ||
                ::chown(root_.c_str(), test::unprivilegedId, test::unprivilegedId) == 0);
    const bool xattrs = ::setxattr(root_.c_str(), "user.probe", "1", 1, 0) == 0;
    const std::map<std::string, std::uint16_t> modes = {
        {"d0000", 0},    {"d0000/d0311", 0311}, {"d0000/d0311/d0600", 0600},
        {"d0311", 0311}, {"f0000", 0},          {"f0200", 0200},
        {"f4755", 04755}};
    EXPECT_TRUE(
        test::runInChild([&] {
            if (!test::dropPrivileges()) {
                return 10;
            }
            Tree tree(root_, xattrs ? std::optional(provenance) : std::nullopt);
            for (const auto& [path, mode] : modes) {  // parents before children
                if (path[0] == 'f' && put(tree, path, "data", mode, {{"k", "v"}}).byteCount != 4) {
                    return 20;
                }
                if (path[0] == 'd') {
                    put(tree, path + "/in/f", "a");
                    tree.setDirectoryMetadata(path, mode, 1'600'000'000.5, {{"k", "v"}});
                }
            }
            tree.synchronizeTree();
            return outcomeOf([&] { tree.makeDirectory("late"); }).starts_with("exception") ? 0 : 40;
        }).succeeded());
    const std::string stamp = xattrs ? " " + provenance : "";
    // clang-format off
    for (const auto& [path, mode] : std::map<std::string, int>{{"", 0755}, {"/f0000", 0},
             {"/f0200", 0200}, {"/f4755", 0755}, {"/d0000", 0}, {"/d0311", 0311},
             {"/d0311/in", 0700}, {"/d0311/in/f", 0600}}) {
        // clang-format on
        EXPECT_EQ(stateOf(root_ + path), std::to_string(mode) + stamp) << path;
    }
}

}  // namespace
}  // namespace tolvane
