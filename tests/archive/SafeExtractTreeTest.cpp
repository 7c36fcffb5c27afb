#include "core/archive/SafeExtractTree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveQuarantine.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using Tree = SafeExtractTree;
using Map = ArchiveExtendedAttributes::Map;
using test::outcomeOf;

const std::string provenance = "https://example.invalid/delivery.zip";

Tree::FileHash put(Tree& tree, const std::string& path, std::vector<std::string> chunks,
                   std::optional<std::uint16_t> mode = {}, const Map& attributes = {}) {
    return tree.writeFile(path, mode, std::nullopt, attributes, [&](const Tree::ChunkSink& sink) {
        std::for_each(chunks.begin(), chunks.end(), sink);
    });
}

std::string provenanceOf(const std::string& path) {
    char value[256] = {};
    return ::lgetxattr(path.c_str(), ArchiveQuarantine::attributeName, value, sizeof value) < 0
               ? "none"
               : value;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 077777;
}

bool keepsUserAttributes(const std::string& directory) {
    return ::setxattr(directory.c_str(), "user.probe", "1", 1, 0) == 0;
}

class SafeExtractTreeTest : public testing::Test {
protected:
    void SetUp() override {
        test::makeTree(dir_.path(), {{"stage/", ""}, {"outside/", ""}, {"outside/victim", "keep"}});
    }
    test::TempDir dir_;
    std::string root_ = dir_.file("stage");
    std::string outside_ = dir_.file("outside");
};

// Whatever the operation, a link met on its path leads nowhere outside the root.
TEST_F(SafeExtractTreeTest, ALinkAnywhereOnThePathWritesNothingOutsideTheRoot) {
    struct Case {
        std::string link;  // in the stage, "a/" made first when it starts so
        std::string target;
        std::function<void(Tree&)> operation;
        std::set<std::string> outcomes;
    };
    const std::string out = outside_;
    const std::set<std::string> refused = {"errno ENOTDIR", "errno ELOOP"};
    const auto abc = [](Tree& t) { put(t, "a/b/c.txt", {"x"}); };
    const std::vector<Case> cases = {
        {"a", out, abc, refused},
        {"a/b", out, abc, refused},
        {"a", out + "/missing", abc, refused},
        {"a/b", "../../outside", abc, refused},
        {"a/c.txt", out + "/victim", [](Tree& t) { put(t, "a/c.txt", {"x"}); }, {"errno EEXIST"}},
        {"c.txt", out + "/made", [](Tree& t) { put(t, "c.txt", {"x"}); }, {"errno EEXIST"}},
        {"a", out, [](Tree& t) { t.makeDirectory("a/b/c"); }, refused},
        {"a/b", out, [](Tree& t) { t.makeDirectory("a/b"); }, {"unsafePath: a/b"}},
        {"a", out,
         [](Tree& t) {
             t.setDirectoryMetadata("a", 0777, 1e9, {{"k", "v"}});
         },
         refused},
        {"a", out, [](Tree& t) { t.setDirectoryMetadata("a/b", 0777, 1e9, {}); }, refused},
        {"f", out + "/victim", [](Tree& t) { t.hashFile("f"); }, {"errno ELOOP"}},
        {"a", out, [](Tree& t) { t.hashFile("a/victim"); }, refused},
    };
    const test::Tree before = test::treeOf(out);
    const auto modes = std::pair(modeOf(out), modeOf(out + "/victim"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link + " -> " + c.target);
        std::filesystem::remove_all(root_);
        test::makeTree(dir_.path(), {{"stage/", ""}});
        ASSERT_TRUE(!c.link.starts_with("a/") || ::mkdir((root_ + "/a").c_str(), 0700) == 0);
        ASSERT_EQ(::symlink(c.target.c_str(), (root_ + "/" + c.link).c_str()), 0);
        Tree tree(root_, provenance);
        const std::string outcome = outcomeOf([&] { c.operation(tree); });
        EXPECT_TRUE(c.outcomes.contains(outcome)) << outcome;
        EXPECT_EQ(test::treeOf(out), before);
        EXPECT_EQ(std::pair(modeOf(out), modeOf(out + "/victim")), modes);
        EXPECT_EQ(std::pair(provenanceOf(out), provenanceOf(out + "/victim")),
                  std::pair(std::string("none"), std::string("none")));
    }
    EXPECT_EQ(outcomeOf([&] { Tree tree(outside_ + "/victim", std::nullopt); }), "errno ENOTDIR");
    ASSERT_EQ(::symlink(outside_.c_str(), dir_.file("linked").c_str()), 0);
    EXPECT_TRUE(refused.contains(outcomeOf([&] { Tree tree(dir_.file("linked"), std::nullopt); })));
}

TEST_F(SafeExtractTreeTest, WritesExclusivelyPrivatelyAndVerifiesWhatItWrote) {
    Tree tree(root_, std::nullopt);
    const std::string big = test::randomBytes(200'000, 7);
    const Tree::FileHash written =
        put(tree, "x/y/big.bin", {big.substr(0, 1), "", big.substr(1, 65536), big.substr(65537)});
    EXPECT_EQ(written, (Tree::FileHash{big.size(), Sha256::hexOf(big)}));
    EXPECT_EQ(tree.hashFile("x/y/big.bin"), written);
    EXPECT_EQ(test::readFile(root_ + "/x/y/big.bin"), big);
    EXPECT_EQ(modeOf(root_ + "/x") + modeOf(root_ + "/x/y"), 0700u + 0700u);
    EXPECT_EQ(modeOf(root_ + "/x/y/big.bin"), 0600u);
    EXPECT_EQ(outcomeOf([&] { put(tree, "x/y/big.bin", {"second"}); }), "errno EEXIST");
    EXPECT_EQ(outcomeOf([&] { put(tree, "x/y", {"second"}); }), "errno EEXIST");
    EXPECT_EQ(outcomeOf([&] { put(tree, "a/../../x", {"x"}); }), "unsafePath: a/../../x");
    ASSERT_EQ(::mkfifo((root_ + "/x/pipe").c_str(), 0600), 0);
    EXPECT_EQ(outcomeOf([&] { tree.hashFile("x/pipe"); }), "unsafePath: x/pipe");

    // Something appends behind the sink's back: the read-back notices before the mode applies.
    EXPECT_EQ(outcomeOf([&] {
                  tree.writeFile("f", 0644, 2.0e9, {}, [&](const Tree::ChunkSink& sink) {
                      sink("payload");
                      const UniqueFd other = posix::open(root_ + "/f", O_WRONLY | O_APPEND);
                      posix::writeAll(other.get(), "!", 1);
                  });
              }),
              "invalidArchive: written data did not verify: f");
    EXPECT_EQ(modeOf(root_ + "/f"), 0600u);
    const auto cancel = [] { throw ArchivePipelineError::cancelled(); };
    EXPECT_EQ(outcomeOf([&] {
                  tree.writeFile(
                      "h", 0, std::nullopt, {}, [](auto& sink) { sink("h"); }, cancel);
              }),
              "cancelled: ");
}

TEST_F(SafeExtractTreeTest, SynchronizeFlushesChildrenFirstAndRefusesForeignEntries) {
    Tree tree(root_, std::nullopt);
    tree.makeDirectory("a/b/c");
    tree.makeDirectory("d");
    put(tree, "a/b/f", {"f"});
    std::vector<std::string> flushed;
    tree.synchronizeTree([&](int fd) {
        flushed.push_back(std::filesystem::relative(
            std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd)), root_));
        return 0;
    });
    const auto at = [&](const std::string& name) {
        return std::find(flushed.begin(), flushed.end(), name) - flushed.begin();
    };
    EXPECT_EQ(flushed.size(), 5u);
    EXPECT_TRUE(at("a/b/c") < at("a/b") && at("a/b") < at("a") && at("a") < at(".") &&
                at("d") < at(".") && at(".") == 4);

    // Foreign entries by name; a failed flush names its directory; cancellation between entries.
    const auto failing = [](int) { return EIO; };
    const auto never = [](int) {
        ADD_FAILURE() << "flushed after cancellation";
        return 0;
    };
    const auto cancel = [] { throw ArchivePipelineError::cancelled(); };
    for (const auto& [plant, sync, check, expected] : std::vector<
             std::tuple<std::string, Tree::DirectorySync, Tree::CheckCancelled, std::string>>{
             {"link", posix::tryFsyncDirectory, {}, "unsafePath: ln"},
             {"pipe", posix::tryFsyncDirectory, {}, "unsafePath: p"},
             {"", failing, {}, "errno EIO"},
             {"", never, cancel, "cancelled: "}}) {
        std::filesystem::remove_all(root_);
        test::makeTree(dir_.path(), {{"stage/", ""}, {"stage/a/", ""}});
        ASSERT_TRUE(plant != "link" || ::symlink("/", (root_ + "/a/ln").c_str()) == 0);
        ASSERT_TRUE(plant != "pipe" || ::mkfifo((root_ + "/a/p").c_str(), 0600) == 0);
        Tree again(root_, std::nullopt);
        EXPECT_EQ(outcomeOf([&] { again.synchronizeTree(sync, check); }), expected);
    }
    try {
        Tree last(root_, std::nullopt);
        last.synchronizeTree(failing);
        ADD_FAILURE() << "no failure";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.what(), root_ + "/a: " + std::generic_category().message(EIO));
    }
}

// Listing a directory and closing the listing before descending holds one descriptor per level.
TEST_F(SafeExtractTreeTest, TreesDeeperThanTheOpenFileLimitSynchronize) {
    EXPECT_TRUE(test::runInChild([&] {
                    const struct rlimit limit { 512, 512 };  // one descriptor per level, not two
                    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                        return 10;
                    }
                    std::string path = "d";
                    for (int i = 1; i < 300; ++i) {
                        path += "/d";
                    }
                    Tree tree(root_, std::nullopt);
                    tree.makeDirectory(path);
                    put(tree, path + "/f", {"x"});
                    int flushes = 0;
                    tree.synchronizeTree([&](int fd) {
                        ++flushes;
                        return posix::tryFsyncDirectory(fd);
                    });
                    return flushes == 301 ? 0 : 1;
                }).succeeded());
}

// Modes that shut the owner out (directories 0311, 0600, 0000; files 0000, 0200, 0222) still
// unpack and verify for an unprivileged user, whatever order directories come in; set-id bits
// are dropped; dates and attributes land; the provenance goes on everything created; the tree
// is finished once synchronized.
TEST_F(SafeExtractTreeTest, ArchivedMetadataIsAppliedLastForAnUnprivilegedUser) {
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
    ASSERT_EQ(::mkdir((root_ + "/existing").c_str(), 0700), 0);
    for (const std::string& path : {root_, root_ + "/existing"}) {
        ASSERT_TRUE(::geteuid() != 0 ||
                    ::chown(path.c_str(), test::unprivilegedId, test::unprivilegedId) == 0);
    }
    const bool attributes = keepsUserAttributes(root_);
    EXPECT_TRUE(
        test::runInChild([&] {
            if (!test::dropPrivileges()) {
                return 10;
            }
            Tree tree(root_, attributes ? std::optional(provenance) : std::nullopt);
            const std::string content = test::randomBytes(100'000, 3);
            for (const auto& [name, mode] : std::map<std::string, std::uint16_t>{
                     {"f0000", 0}, {"f0200", 0200}, {"f0222", 0222}, {"f4755", 04755}}) {
                if (put(tree, name, {content}, mode, {{"k", "v"}}).byteCount != content.size()) {
                    return 20;
                }
            }
            if (outcomeOf([&] { tree.hashFile("f0000"); }) != "errno EACCES") {
                return 21;
            }
            tree.makeDirectory("existing");
            for (const auto& [path, mode] :
                 std::vector<std::pair<std::string, std::uint16_t>>{{"d0000", 0},
                                                                    {"d0000/d0311", 0311},
                                                                    {"d0000/d0311/d0600", 0600},
                                                                    {"d0311", 0311},
                                                                    {"d4755", 04755},
                                                                    {"d0500", 0500}}) {
                tree.makeDirectory(path + "/in");
                put(tree, path + "/in/f", {"a"});
                tree.setDirectoryMetadata(path, mode, 1'600'000'000.5, {{"k", "v"}});
            }
            tree.synchronizeTree();
            return outcomeOf([&] { tree.makeDirectory("late"); }).starts_with("exception") ? 0 : 30;
        }).succeeded());
    for (const auto& [path, mode] : std::map<std::string, mode_t>{{"f0000", 0},
                                                                  {"f0200", 0200},
                                                                  {"f4755", 0755},
                                                                  {"d0000", 0},
                                                                  {"d0311", 0311},
                                                                  {"d4755", 0755},
                                                                  {"d0500", 0500},
                                                                  {"existing", 0700}}) {
        EXPECT_EQ(modeOf(root_ + "/" + path), mode) << path;
    }
    ASSERT_EQ(::chmod((root_ + "/d0000").c_str(), 0700), 0);
    struct stat st {};
    ASSERT_EQ(::stat((root_ + "/d0000/d0311/d0600").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec * 1000 + st.st_mtim.tv_nsec / 1'000'000, 1'600'000'000'500);
    if (attributes) {
        char value[4] = {};
        EXPECT_EQ(::getxattr((root_ + "/f0000").c_str(), "user.k", value, sizeof value), 1);
        for (const char* path : {"", "/existing", "/d0500", "/d0500/in", "/d0500/in/f", "/f0222"}) {
            EXPECT_EQ(provenanceOf(root_ + path), provenance) << path;
        }
    }
}

TEST_F(SafeExtractTreeTest, ADestinationWithoutAttributesSkipsThemForTheWholeJob) {
    int calls = 0;
    RestoredAttributeWriter noAttributes([&](int, const char*, const void*, std::size_t) {
        ++calls;
        errno = EOPNOTSUPP;
        return -1;
    });
    Tree tree(root_, provenance, std::move(noAttributes));
    EXPECT_FALSE(tree.restoresAttributes());
    tree.makeDirectory("d");
    put(tree, "d/f", {"x"}, 0600, {{"a", "1"}, {"b", "2"}});
    tree.setDirectoryMetadata("d", 0700, std::nullopt, {{"c", "3"}});
    tree.synchronizeTree();
    EXPECT_EQ(calls, 1);  // the root's stamp found out; nothing was tried after it
    EXPECT_EQ(test::readFile(root_ + "/d/f"), "x");
}

}  // namespace
}  // namespace tolvane
