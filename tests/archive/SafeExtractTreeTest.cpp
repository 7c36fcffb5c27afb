#include "core/archive/SafeExtractTree.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveQuarantine.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using Tree = SafeExtractTree;
using Map = ArchiveExtendedAttributes::Map;
using Code = ArchivePipelineError::Code;

const std::string provenance = "https://example.invalid/delivery.zip";

// "ok", "<case>: <detail>" for an archive error, or the errno's symbolic name.
std::string outcomeOf(const std::function<void()>& action) {
    try {
        action();
        return "ok";
    } catch (const ArchivePipelineError& e) {
        return (e.code() == Code::unsafePath       ? "unsafePath: "
                : e.code() == Code::invalidArchive ? "invalidArchive: "
                : e.code() == Code::cancelled      ? "cancelled: "
                                                   : "archive error: ") +
               e.detail();
    } catch (const std::system_error& e) {
        const char* name = strerrorname_np(e.code().value());
        return name != nullptr ? name : "errno " + std::to_string(e.code().value());
    }
}

Tree::Producer produce(std::vector<std::string> chunks) {
    return [chunks = std::move(chunks)](const Tree::ChunkSink& sink) {
        std::for_each(chunks.begin(), chunks.end(), sink);
    };
}

void writeText(Tree& tree, const std::string& path, const std::string& content) {
    tree.writeFile(path, std::nullopt, std::nullopt, {}, produce({content}));
}

// Every path below root with its content ("/" for a directory, "-> target" for a link), so any
// write outside a tree shows up as a difference.
std::map<std::string, std::string> snapshot(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        entries[fs::relative(entry.path(), root)] =
            entry.is_symlink()     ? "-> " + fs::read_symlink(entry.path()).string()
            : entry.is_directory() ? "/"
                                   : test::readFile(entry.path());
    }
    return entries;
}

std::optional<std::string> provenanceOf(const std::string& path) {
    std::string value(ArchiveQuarantine::maxValueBytes, '\0');
    const ssize_t got =
        ::lgetxattr(path.c_str(), ArchiveQuarantine::attributeName, value.data(), value.size());
    return got < 0 ? std::nullopt : std::optional(value.substr(0, static_cast<std::size_t>(got)));
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

timespec mtimeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mtim;
}

bool keepsUserAttributes(const std::string& directory) {
    const std::string probe = directory + "/.probe";
    test::writeFile(probe, "");
    const bool keeps = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    ::unlink(probe.c_str());
    return keeps;
}

// Runs `body` in a forked child and expects it to exit with 0; `body` returns the exit status.
// The child's limits and identity changes stay in the child.
void expectChildSucceeds(const std::function<int()>& body) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 40;
        try {
            status = body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child failed: %s\n", e.what());
        }
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

class SafeExtractTreeTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(outside_.c_str(), 0755), 0);
        test::writeFile(outside_ + "/victim", "keep me");
    }

    test::TempDir dir_;
    std::string root_ = dir_.file("stage");
    std::string outside_ = dir_.file("outside");
};

TEST_F(SafeExtractTreeTest, ALinkAnywhereOnThePathWritesNothingOutsideTheRoot) {
    struct Case {
        std::string directory;  // made in the stage first, when not empty
        std::string link;       // stage path of the link
        std::string target;
        std::function<void(Tree&)> operation;
        std::set<std::string> outcomes;
    };
    const std::string out = outside_;
    const Map attributes{{"note", "archived"}};
    const std::set<std::string> refused = {"ENOTDIR", "ELOOP"};
    const auto writeABC = [](Tree& t) { writeText(t, "a/b/c.txt", "x"); };
    const std::vector<Case> cases = {
        {"", "a", out, writeABC, refused},                 // first component of a file path
        {"a", "a/b", out, writeABC, refused},              // middle component
        {"", "a", out + "/missing", writeABC, refused},    // dangling middle component
        {"a", "a/b", "../../outside", writeABC, refused},  // relative link climbing out
        {"a",
         "a/c.txt",
         out + "/victim",
         [](Tree& t) { writeText(t, "a/c.txt", "x"); },
         {"EEXIST"}},
        {"", "c.txt", out + "/created", [](Tree& t) { writeText(t, "c.txt", "x"); }, {"EEXIST"}},
        {"", "a", out, [](Tree& t) { t.makeDirectory("a/b/c"); }, refused},
        {"a", "a/b", out, [](Tree& t) { t.makeDirectory("a/b"); }, {"unsafePath: a/b"}},
        {"", "d", out + "/made", [](Tree& t) { t.makeDirectory("d"); }, {"unsafePath: d"}},
        {"", "a", out, [&](Tree& t) { t.setDirectoryMetadata("a", 0777, 1.0e9, attributes); },
         refused},
        {"", "a", out, [&](Tree& t) { t.setDirectoryMetadata("a/b", 0777, 1.0e9, attributes); },
         refused},
        {"", "f", out + "/victim", [](Tree& t) { t.hashFile("f"); }, {"ELOOP"}},
        {"", "a", out, [](Tree& t) { t.hashFile("a/victim"); }, refused},
    };
    const bool canStamp = keepsUserAttributes(out);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link + " -> " + c.target);
        std::filesystem::remove_all(root_);
        ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
        ASSERT_TRUE(c.directory.empty() || ::mkdir((root_ + "/" + c.directory).c_str(), 0700) == 0);
        ASSERT_EQ(::symlink(c.target.c_str(), (root_ + "/" + c.link).c_str()), 0);
        const auto before = snapshot(out);
        const mode_t victimMode = modeOf(out + "/victim");
        Tree tree(root_, provenance);
        const std::string outcome = outcomeOf([&] { c.operation(tree); });
        EXPECT_TRUE(c.outcomes.contains(outcome)) << outcome;
        EXPECT_EQ(snapshot(out), before);
        EXPECT_EQ(modeOf(out), 0755u);
        EXPECT_EQ(modeOf(out + "/victim"), victimMode);
        if (canStamp) {
            EXPECT_EQ(provenanceOf(out), std::nullopt);
            EXPECT_EQ(provenanceOf(out + "/victim"), std::nullopt);
        }
    }
}

TEST_F(SafeExtractTreeTest, RootAndPathsArePolicedBeforeAnythingIsTouched) {
    ASSERT_EQ(::symlink(outside_.c_str(), (root_ + "/linked").c_str()), 0);
    const std::string linked = outcomeOf([&] { Tree tree(root_ + "/linked", std::nullopt); });
    EXPECT_TRUE(linked == "ENOTDIR" || linked == "ELOOP") << linked;
    EXPECT_EQ(outcomeOf([&] { Tree tree(outside_ + "/victim", std::nullopt); }), "ENOTDIR");
    ASSERT_EQ(::unlink((root_ + "/linked").c_str()), 0);

    Tree tree(root_, std::nullopt);
    for (const std::string path : {"../outside/victim", "/etc/passwd", "a/../../x", "", "a/./b"}) {
        EXPECT_TRUE(outcomeOf([&] { writeText(tree, path, "x"); }).starts_with("unsafePath"));
        EXPECT_TRUE(outcomeOf([&] { tree.makeDirectory(path); }).starts_with("unsafePath"));
    }
    EXPECT_TRUE(snapshot(root_).empty());
}

TEST_F(SafeExtractTreeTest, StreamsHashesAndCreatesExclusivelyAndPrivately) {
    Tree tree(root_, std::nullopt);
    const std::string big = test::randomBytes(200'000, 7);
    const Tree::FileHash written =
        tree.writeFile("x/y/big.bin", std::nullopt, std::nullopt, {},
                       produce({big.substr(0, 1), "", big.substr(1, 65536), big.substr(65537)}));
    EXPECT_EQ(written, (Tree::FileHash{big.size(), Sha256::hexOf(big)}));
    EXPECT_EQ(test::readFile(root_ + "/x/y/big.bin"), big);
    EXPECT_EQ(tree.hashFile("x/y/big.bin"), written);
    EXPECT_EQ(modeOf(root_ + "/x"), 0700u);
    EXPECT_EQ(modeOf(root_ + "/x/y"), 0700u);
    EXPECT_EQ(modeOf(root_ + "/x/y/big.bin"), 0600u);
    EXPECT_EQ(tree.writeFile("empty", std::nullopt, std::nullopt, {}, produce({})),
              (Tree::FileHash{0, Sha256::hexOf("")}));

    // Nothing is ever replaced: not the same file written twice, nor a directory in the way.
    EXPECT_EQ(outcomeOf([&] { writeText(tree, "x/y/big.bin", "second"); }), "EEXIST");
    EXPECT_EQ(outcomeOf([&] { writeText(tree, "x/y", "second"); }), "EEXIST");
    EXPECT_EQ(test::readFile(root_ + "/x/y/big.bin"), big);

    // A directory, or a pipe, is no file to hash.
    ASSERT_EQ(::mkfifo((root_ + "/x/pipe").c_str(), 0600), 0);
    EXPECT_EQ(outcomeOf([&] { tree.hashFile("x/y"); }), "unsafePath: x/y");
    EXPECT_EQ(outcomeOf([&] { tree.hashFile("x/pipe"); }), "unsafePath: x/pipe");
}

TEST_F(SafeExtractTreeTest, WrittenDataIsReadBackBeforeTheModeIsApplied) {
    Tree tree(root_, std::nullopt);
    // Something else appends to the file behind the sink's back: the read-back must notice.
    const auto tampering = [&](const Tree::ChunkSink& sink) {
        sink("payload");
        const UniqueFd other = posix::open(root_ + "/f", O_WRONLY | O_APPEND);
        posix::writeAll(other.get(), "!", 1);
    };
    EXPECT_EQ(outcomeOf([&] { tree.writeFile("f", 0644, 2.0e9, {}, tampering); }),
              "invalidArchive: written data did not verify: f");
    EXPECT_EQ(modeOf(root_ + "/f"), 0600u);  // nothing past the failed check was applied

    // A producer's own failure ends the call; the partial file stays for the stage to discard.
    const auto failing = [](const Tree::ChunkSink& sink) {
        sink("part");
        throw std::runtime_error("source broke");
    };
    EXPECT_THROW(tree.writeFile("g", std::nullopt, std::nullopt, {}, failing), std::runtime_error);
    EXPECT_EQ(test::readFile(root_ + "/g"), "part");

    const auto cancel = [] { throw ArchivePipelineError::cancelled(); };
    EXPECT_EQ(outcomeOf([&] { tree.writeFile("h", 0, std::nullopt, {}, produce({"h"}), cancel); }),
              "cancelled: ");
}

TEST_F(SafeExtractTreeTest, SynchronizeFlushesChildrenBeforeParentsAndRootLast) {
    Tree tree(root_, std::nullopt);
    tree.makeDirectory("a/b/c");
    tree.makeDirectory("d");
    writeText(tree, "a/b/f", "f");
    std::vector<std::string> flushed;
    tree.synchronizeTree([&](int fd) {
        const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
        flushed.push_back(std::filesystem::relative(target, root_).string());
        return 0;
    });
    ASSERT_EQ(flushed.size(), 5u);
    EXPECT_EQ(flushed.back(), ".");
    const auto position = [&](const std::string& name) {
        return std::find(flushed.begin(), flushed.end(), name) - flushed.begin();
    };
    EXPECT_LT(position("a/b/c"), position("a/b"));
    EXPECT_LT(position("a/b"), position("a"));
    EXPECT_LT(position("d"), position("."));
}

// Foreign entries are refused by name; a failed flush names the directory it was flushing.
TEST_F(SafeExtractTreeTest, SynchronizeRefusesForeignEntriesAndReportsFailures) {
    const auto failWith = [](int error) {
        return [error](int) { return error; };
    };
    const std::string failed = root_ + "/a: " + std::generic_category().message(EIO);
    const std::vector<std::tuple<std::string, Tree::DirectorySync, std::string>> cases{
        {"link", posix::tryFsyncDirectory, "ln"},
        {"pipe", posix::tryFsyncDirectory, "p"},
        {"", failWith(EIO), failed},
    };
    for (const auto& [plant, sync, expected] : cases) {
        SCOPED_TRACE(expected);
        std::filesystem::remove_all(root_);
        ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
        Tree tree(root_, std::nullopt);
        tree.makeDirectory("a");
        ASSERT_TRUE(plant != "link" || ::symlink("/", (root_ + "/a/ln").c_str()) == 0);
        ASSERT_TRUE(plant != "pipe" || ::mkfifo((root_ + "/a/p").c_str(), 0600) == 0);
        try {
            tree.synchronizeTree(sync);
            ADD_FAILURE() << "nothing thrown";
        } catch (const ArchivePipelineError& e) {
            EXPECT_EQ(e, ArchivePipelineError::unsafePath(expected));
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.what(), expected);
        }
    }
}

// Listing a directory and closing the listing before descending keeps one descriptor per level.
TEST_F(SafeExtractTreeTest, TreesDeeperThanTheOpenFileLimitSynchronize) {
    expectChildSucceeds([&] {
        const struct rlimit limit { 512, 512 };  // room for one descriptor per level, not two
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            return 10;
        }
        std::string path = "d";
        for (int i = 1; i < 300; ++i) {
            path += "/d";
        }
        Tree tree(root_, std::nullopt);
        tree.makeDirectory(path);
        writeText(tree, path + "/f", "x");
        int flushes = 0;
        tree.synchronizeTree([&](int fd) {
            ++flushes;
            return posix::tryFsyncDirectory(fd);
        });
        return flushes == 301 ? 0 : 1;
    });
}

TEST_F(SafeExtractTreeTest, SynchronizeHonoursCancellationBetweenEntries) {
    Tree tree(root_, std::nullopt);
    for (const char* name : {"a", "b", "c"}) {
        writeText(tree, name, name);
    }
    int checks = 0;
    int flushes = 0;
    const auto cancelOnThird = [&] {
        if (++checks == 3) {
            throw ArchivePipelineError::cancelled();
        }
    };
    EXPECT_EQ(
        outcomeOf([&] { tree.synchronizeTree([&](int) { return ++flushes, 0; }, cancelOnThird); }),
        "cancelled: ");
    EXPECT_EQ(flushes, 0);
}

// Set-id and sticky bits are dropped; dates are applied; directory modes come after the flush
// whatever the order they were given in; a read-only mode comes after the attributes it blocks.
TEST_F(SafeExtractTreeTest, ArchivedMetadataIsAppliedLast) {
    Tree tree(root_, std::nullopt);
    tree.writeFile("f", 04755, 1'700'000'000.25, {}, produce({"data"}));
    const bool attributes = keepsUserAttributes(root_);
    if (attributes) {
        tree.writeFile("ro", 0444, std::nullopt, Map{{"k", "v"}}, produce({"r"}));
    }
    for (const char* path : {"a/b/c", "d", "e"}) {
        tree.makeDirectory(path);
    }
    writeText(tree, "a/b/c/f", "f");
    // Parents before children: the least forgiving order for a tree that applied modes at once.
    tree.setDirectoryMetadata("a", 0000, 1'600'000'000.0, {});
    tree.setDirectoryMetadata("a/b", 0311, std::nullopt, {});
    tree.setDirectoryMetadata("a/b/c", 0600, 1'500'000'000.5, {});
    tree.setDirectoryMetadata("d", 04755, std::nullopt, {});
    tree.setDirectoryMetadata("e", std::nullopt, 1'400'000'000.0, {});
    tree.synchronizeTree();

    for (const auto& [path, mode] : std::map<std::string, mode_t>{
             {"f", 0755}, {"a", 0000}, {"a/b", 0311}, {"a/b/c", 0600}, {"d", 0755}, {"e", 0700}}) {
        EXPECT_EQ(modeOf(root_ + "/" + path), mode) << path;
    }
    EXPECT_EQ(mtimeOf(root_ + "/f").tv_sec, 1'700'000'000);
    EXPECT_EQ(mtimeOf(root_ + "/f").tv_nsec, 250'000'000);
    EXPECT_EQ(mtimeOf(root_ + "/a/b/c").tv_nsec, 500'000'000);
    EXPECT_EQ(mtimeOf(root_ + "/a").tv_sec, 1'600'000'000);
    if (attributes) {
        char value[8] = {};
        EXPECT_EQ(::getxattr((root_ + "/ro").c_str(), "user.k", value, sizeof value), 1);
        EXPECT_EQ(modeOf(root_ + "/ro"), 0444u);
    }
    // The tree is finished once synchronized.
    EXPECT_THROW(tree.setDirectoryMetadata("e", 0700, std::nullopt, {}), std::logic_error);
    EXPECT_THROW(writeText(tree, "late", "x"), std::logic_error);
    EXPECT_THROW(tree.synchronizeTree(), std::logic_error);
}

TEST_F(SafeExtractTreeTest, StampsProvenanceOnEverythingItCreatesButNothingElse) {
    if (!keepsUserAttributes(root_)) {
        GTEST_SKIP() << root_ << " keeps no user extended attributes";
    }
    {
        Tree plain(outside_, std::nullopt);  // without provenance nothing is stamped
        plain.makeDirectory("d");
        writeText(plain, "d/f", "x");
        for (const char* path : {"", "/d", "/d/f"}) {
            EXPECT_EQ(provenanceOf(outside_ + path), std::nullopt) << path;
        }
    }
    ASSERT_EQ(::mkdir((root_ + "/existing").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root_ + "/untouched").c_str(), 0700), 0);
    Tree tree(root_, provenance);
    EXPECT_EQ(provenanceOf(root_), provenance);
    tree.makeDirectory("existing");
    tree.makeDirectory("p/q");
    writeText(tree, "n/m/file", "x");
    // An archived copy of the provenance attribute never replaces the archive's own value.
    const Map foreign{{"xdg.origin.url", "https://other.invalid/"}, {"k", "v"}};
    tree.writeFile("own", 0400, std::nullopt, foreign, produce({"o"}));
    tree.makeDirectory("meta");
    tree.setDirectoryMetadata("meta", 0500, std::nullopt, foreign);
    tree.synchronizeTree();
    for (const char* path : {"existing", "p", "p/q", "n", "n/m", "n/m/file", "own", "meta"}) {
        EXPECT_EQ(provenanceOf(root_ + "/" + path), provenance) << path;
    }
    EXPECT_EQ(provenanceOf(root_ + "/untouched"), std::nullopt);
    EXPECT_EQ(modeOf(root_ + "/meta"), 0500u);
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
    tree.writeFile("d/f", 0600, std::nullopt, Map{{"a", "1"}, {"b", "2"}}, produce({"x"}));
    tree.setDirectoryMetadata("d", 0700, std::nullopt, Map{{"c", "3"}});
    tree.synchronizeTree();
    EXPECT_EQ(calls, 1);  // the root's stamp found out; nothing was tried after it
    EXPECT_EQ(test::readFile(root_ + "/d/f"), "x");
}

// Archived modes that shut the owner out (directories 0311, 0600, 0000; files 0000, 0200, 0222)
// must still unpack and verify. Permissions bind only an unprivileged user, so when the test
// runs as root the child drops to nobody inside a folder handed to it.
TEST_F(SafeExtractTreeTest, RestrictiveArchivedModesUnpackForAnUnprivilegedUser) {
    const std::string work = dir_.file("work");
    ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
    expectChildSucceeds([&] {
        if (::geteuid() == 0 &&
            (::chmod(dir_.path().c_str(), 0711) != 0 || ::chown(work.c_str(), 65534, 65534) != 0 ||
             ::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            return 10;
        }
        const std::string stage = work + "/stage";
        if (::mkdir(stage.c_str(), 0700) != 0) {
            return 11;
        }
        Tree tree(stage, keepsUserAttributes(work) ? std::optional(provenance) : std::nullopt);
        // Each name ends in the mode it is archived with.
        const auto modeIn = [](const std::string& path) {
            return static_cast<std::uint16_t>(std::stoul(path.substr(path.size() - 4), nullptr, 8));
        };
        const std::vector<std::string> directories = {"d0000", "d0000/d0311", "d0000/d0311/d0600",
                                                      "d0311", "d0600",       "d0500"};
        for (const std::string& path : directories) {
            tree.makeDirectory(path + "/in");
            writeText(tree, path + "/in/f", "a");
        }
        const std::string content = test::randomBytes(100'000, 3);
        for (const std::string name : {"f0000", "f0200", "f0222"}) {
            if (tree.writeFile(name, modeIn(name), 1'700'000'000.25, Map{{"k", "v"}},
                               produce({content})) !=
                Tree::FileHash{content.size(), Sha256::hexOf(content)}) {
                return 20;
            }
        }
        // The modes bite: this user cannot open such a file by path.
        if (outcomeOf([&] { tree.hashFile("f0000"); }) != "EACCES") {
            return 21;
        }
        // Shallow before deep, as an unsorted caller might.
        for (const std::string& path : directories) {
            tree.setDirectoryMetadata(path, modeIn(path), 1'600'000'000.0, Map{{"k", "v"}});
        }
        tree.synchronizeTree();
        for (const std::string path :
             {"d0000", "d0311", "d0600", "d0500", "f0000", "f0200", "f0222"}) {
            struct stat st {};
            if (::lstat((stage + "/" + path).c_str(), &st) != 0 ||
                (st.st_mode & 07777) != modeIn(path)) {
                return 30;
            }
        }
        return 0;
    });
}

}  // namespace
}  // namespace tolvane
