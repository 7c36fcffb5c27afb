#include "core/archive/SafeExtractTree.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
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
#include <utility>
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

const std::string provenance = "https://example.invalid/delivery.zip";

// "ok", "<case>: <detail>" for an archive error, or the errno's symbolic name.
std::string outcomeOf(const std::function<void()>& action) {
    try {
        action();
        return "ok";
    } catch (const ArchivePipelineError& e) {
        switch (e.code()) {
            case ArchivePipelineError::Code::unsafePath:
                return "unsafePath: " + e.detail();
            case ArchivePipelineError::Code::invalidArchive:
                return "invalidArchive: " + e.detail();
            case ArchivePipelineError::Code::insufficientSpace:
                return "insufficientSpace";
            case ArchivePipelineError::Code::cancelled:
                return "cancelled";
            default:
                return "archive error: " + e.detail();
        }
    } catch (const std::system_error& e) {
        const char* name = strerrorname_np(e.code().value());
        return name != nullptr ? name : "errno " + std::to_string(e.code().value());
    }
}

Tree::Producer produce(std::vector<std::string> chunks) {
    return [chunks = std::move(chunks)](const Tree::ChunkSink& sink) {
        for (const std::string& chunk : chunks) {
            sink(chunk);
        }
    };
}

void writeText(Tree& tree, const std::string& path, const std::string& content,
               std::optional<std::uint16_t> permissions = std::nullopt) {
    tree.writeFile(path, permissions, std::nullopt, {}, produce({content}));
}

// Every path below root (relative, directories with a trailing "/", links as "name -> target")
// with file contents, so any write outside a tree shows up as a difference.
std::map<std::string, std::string> snapshot(const std::string& root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string relative = fs::relative(it->path(), root).string();
        if (it->is_symlink()) {
            entries[relative] = "-> " + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            entries[relative + "/"] = "";
        } else {
            entries[relative] = test::readFile(it->path().string());
        }
    }
    return entries;
}

std::optional<std::string> provenanceOf(const std::string& path) {
    std::string value(ArchiveQuarantine::maxValueBytes, '\0');
    const ssize_t got =
        ::lgetxattr(path.c_str(), ArchiveQuarantine::attributeName, value.data(), value.size());
    if (got < 0) {
        return std::nullopt;
    }
    value.resize(static_cast<std::size_t>(got));
    return value;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

bool keepsUserAttributes(const std::string& directory) {
    const std::string probe = directory + "/.probe";
    test::writeFile(probe, "");
    const bool keeps = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    ::unlink(probe.c_str());
    return keeps;
}

class SafeExtractTreeTest : public testing::Test {
protected:
    void SetUp() override {
        root_ = dir_.file("stage");
        outside_ = dir_.file("outside");
        ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(outside_.c_str(), 0755), 0);
        test::writeFile(outside_ + "/victim", "keep me");
    }

    void link(const std::string& target, const std::string& inStage) {
        ASSERT_EQ(::symlink(target.c_str(), (root_ + "/" + inStage).c_str()), 0) << inStage;
    }

    test::TempDir dir_;
    std::string root_;
    std::string outside_;
};

TEST_F(SafeExtractTreeTest, ALinkAnywhereOnThePathWritesNothingOutsideTheRoot) {
    struct Case {
        std::string name;
        std::vector<std::string> directories;                    // made in the stage first
        std::vector<std::pair<std::string, std::string>> links;  // stage path -> target
        std::function<void(Tree&)> operation;
        std::set<std::string> outcomes;
    };
    const std::string out = outside_;
    const Map attributes{{"note", "archived"}};
    const std::vector<Case> cases = {
        {"first component of a file path",
         {},
         {{"a", out}},
         [](Tree& t) { writeText(t, "a/b/c.txt", "x"); },
         {"ENOTDIR", "ELOOP"}},
        {"middle component of a file path",
         {"a"},
         {{"a/b", out}},
         [](Tree& t) { writeText(t, "a/b/c.txt", "x"); },
         {"ENOTDIR", "ELOOP"}},
        {"final component to an existing file",
         {"a"},
         {{"a/c.txt", out + "/victim"}},
         [](Tree& t) { writeText(t, "a/c.txt", "x"); },
         {"EEXIST"}},
        {"final component dangling",
         {},
         {{"c.txt", out + "/created"}},
         [](Tree& t) { writeText(t, "c.txt", "x"); },
         {"EEXIST"}},
        {"dangling middle component",
         {},
         {{"a", out + "/missing"}},
         [](Tree& t) { writeText(t, "a/b/c.txt", "x"); },
         {"ENOTDIR", "ELOOP"}},
        {"relative link climbing out",
         {"a"},
         {{"a/up", "../../outside"}},
         [](Tree& t) { writeText(t, "a/up/c.txt", "x"); },
         {"ENOTDIR", "ELOOP"}},
        {"parent of a new directory",
         {},
         {{"a", out}},
         [](Tree& t) { t.makeDirectory("a/b/c"); },
         {"ENOTDIR", "ELOOP"}},
        {"new directory itself",
         {"a"},
         {{"a/b", out}},
         [](Tree& t) { t.makeDirectory("a/b"); },
         {"unsafePath: a/b"}},
        {"new directory dangling",
         {},
         {{"d", out + "/made"}},
         [](Tree& t) { t.makeDirectory("d"); },
         {"unsafePath: d"}},
        {"directory given metadata",
         {},
         {{"a", out}},
         [&](Tree& t) { t.setDirectoryMetadata("a", 0777, 1.0e9, attributes); },
         {"ENOTDIR", "ELOOP"}},
        {"parent of a directory given metadata",
         {},
         {{"a", out}},
         [&](Tree& t) { t.setDirectoryMetadata("a/b", 0777, 1.0e9, attributes); },
         {"ENOTDIR", "ELOOP"}},
        {"file hashed again",
         {},
         {{"f", out + "/victim"}},
         [](Tree& t) { t.hashFile("f"); },
         {"ELOOP"}},
        {"parent of a file hashed again",
         {},
         {{"a", out}},
         [](Tree& t) { t.hashFile("a/victim"); },
         {"ENOTDIR", "ELOOP"}},
    };
    const bool canStamp = keepsUserAttributes(out);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root_);
        ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
        for (const std::string& directory : c.directories) {
            ASSERT_EQ(::mkdir((root_ + "/" + directory).c_str(), 0700), 0);
        }
        for (const auto& [path, target] : c.links) {
            link(target, path);
        }
        const auto before = snapshot(out);
        const mode_t victimMode = modeOf(out + "/victim");
        Tree tree(root_, provenance);
        EXPECT_TRUE(c.outcomes.contains(outcomeOf([&] { c.operation(tree); })))
            << outcomeOf([&] { c.operation(tree); });
        EXPECT_EQ(snapshot(out), before);
        EXPECT_EQ(modeOf(out), 0755u);
        EXPECT_EQ(modeOf(out + "/victim"), victimMode);
        if (canStamp) {
            EXPECT_EQ(provenanceOf(out), std::nullopt);
            EXPECT_EQ(provenanceOf(out + "/victim"), std::nullopt);
        }
    }
}

TEST_F(SafeExtractTreeTest, RootMustBeARealDirectory) {
    link(outside_, "linked");
    const std::string linked = outcomeOf([&] { Tree tree(root_ + "/linked", std::nullopt); });
    EXPECT_TRUE(linked == "ENOTDIR" || linked == "ELOOP") << linked;
    EXPECT_EQ(outcomeOf([&] { Tree tree(outside_ + "/victim", std::nullopt); }), "ENOTDIR");
}

TEST_F(SafeExtractTreeTest, PathsArePolicedBeforeAnythingIsTouched) {
    Tree tree(root_, std::nullopt);
    for (const std::string path : {"../outside/victim", "/etc/passwd", "a/../../x", "", "a/./b"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(outcomeOf([&] { writeText(tree, path, "x"); }).rfind("unsafePath", 0), 0u);
        EXPECT_EQ(outcomeOf([&] { tree.makeDirectory(path); }).rfind("unsafePath", 0), 0u);
    }
    EXPECT_EQ(snapshot(root_), (std::map<std::string, std::string>{}));
}

TEST_F(SafeExtractTreeTest, WritingTheSameFileTwiceFailsWithEEXIST) {
    Tree tree(root_, std::nullopt);
    writeText(tree, "a/b.txt", "first");
    EXPECT_EQ(outcomeOf([&] { writeText(tree, "a/b.txt", "second"); }), "EEXIST");
    // A directory in the way is never replaced either.
    tree.makeDirectory("a/d");
    EXPECT_EQ(outcomeOf([&] { writeText(tree, "a/d", "x"); }), "EEXIST");
    EXPECT_EQ(test::readFile(root_ + "/a/b.txt"), "first");
}

TEST_F(SafeExtractTreeTest, StreamsHashesAndCreatesParentsPrivately) {
    Tree tree(root_, std::nullopt);
    const std::string big = test::randomBytes(200'000, 7);
    const std::vector<std::string> chunks = {big.substr(0, 1), "", big.substr(1, 65536),
                                             big.substr(65537)};
    const Tree::FileHash written =
        tree.writeFile("x/y/big.bin", std::nullopt, std::nullopt, {}, produce(chunks));
    EXPECT_EQ(written, (Tree::FileHash{big.size(), Sha256::hexOf(big)}));
    EXPECT_EQ(test::readFile(root_ + "/x/y/big.bin"), big);
    EXPECT_EQ(tree.hashFile("x/y/big.bin"), written);
    EXPECT_EQ(modeOf(root_ + "/x"), 0700u);
    EXPECT_EQ(modeOf(root_ + "/x/y"), 0700u);
    EXPECT_EQ(modeOf(root_ + "/x/y/big.bin"), 0600u);

    const Tree::FileHash empty =
        tree.writeFile("empty", std::nullopt, std::nullopt, {}, produce({}));
    EXPECT_EQ(empty, (Tree::FileHash{0, Sha256::hexOf("")}));

    // A directory, or a pipe, is no file to hash.
    ASSERT_EQ(::mkfifo((root_ + "/x/pipe").c_str(), 0600), 0);
    EXPECT_EQ(outcomeOf([&] { tree.hashFile("x/y"); }), "unsafePath: x/y");
    EXPECT_EQ(outcomeOf([&] { tree.hashFile("x/pipe"); }), "unsafePath: x/pipe");
}

TEST_F(SafeExtractTreeTest, WrittenDataIsReadBackBeforeTheModeIsApplied) {
    Tree tree(root_, std::nullopt);
    // Something else appends to the file behind the sink's back: the read-back must notice.
    const std::string path = root_ + "/f";
    const auto tampering = [&](const Tree::ChunkSink& sink) {
        sink("payload");
        const UniqueFd other = posix::open(path, O_WRONLY | O_APPEND);
        posix::writeAll(other.get(), "!", 1);
    };
    EXPECT_EQ(outcomeOf([&] { tree.writeFile("f", 0644, 2.0e9, {}, tampering); }),
              "invalidArchive: written data did not verify: f");
    // Nothing past the failed check was applied.
    EXPECT_EQ(modeOf(path), 0600u);

    // A producer's own failure ends the call; the partial file stays for the stage to discard.
    const auto failing = [](const Tree::ChunkSink& sink) {
        sink("part");
        throw std::runtime_error("source broke");
    };
    EXPECT_THROW(tree.writeFile("g", std::nullopt, std::nullopt, {}, failing), std::runtime_error);
    EXPECT_EQ(test::readFile(root_ + "/g"), "part");

    // Cancellation reaches the read-back.
    const auto cancel = [] { throw ArchivePipelineError::cancelled(); };
    EXPECT_EQ(outcomeOf([&] { tree.writeFile("h", 0, std::nullopt, {}, produce({"h"}), cancel); }),
              "cancelled");
}

TEST_F(SafeExtractTreeTest, SynchronizeFlushesChildrenBeforeParentsAndRootLast) {
    Tree tree(root_, std::nullopt);
    tree.makeDirectory("a/b/c");
    tree.makeDirectory("d");
    writeText(tree, "a/b/f", "f");
    writeText(tree, "top", "t");

    std::vector<std::string> flushed;
    const auto record = [&](int fd) {
        const std::string target =
            std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd));
        flushed.push_back(std::filesystem::relative(target, root_).string());
        return 0;
    };
    tree.synchronizeTree(record);
    ASSERT_EQ(flushed.size(), 5u);
    EXPECT_EQ(flushed.back(), ".");
    const auto position = [&](const std::string& name) {
        return std::find(flushed.begin(), flushed.end(), name) - flushed.begin();
    };
    EXPECT_LT(position("a/b/c"), position("a/b"));
    EXPECT_LT(position("a/b"), position("a"));
    EXPECT_LT(position("d"), position("."));
}

TEST_F(SafeExtractTreeTest, SynchronizeRefusesForeignEntriesAndReportsFailures) {
    struct Case {
        std::string name;
        std::function<void(const std::string& root)> plant;
        Tree::DirectorySync sync;
        std::string outcome;
    };
    const auto failWith = [](int error) {
        return [error](int) {
            errno = error;
            return -1;
        };
    };
    const std::vector<Case> cases = {
        {"link", [&](const std::string& r) { ASSERT_EQ(::symlink("/", (r + "/a/ln").c_str()), 0); },
         Tree::fsyncDirectory, "unsafePath: ln"},
        {"pipe", [](const std::string& r) { ASSERT_EQ(::mkfifo((r + "/a/p").c_str(), 0600), 0); },
         Tree::fsyncDirectory, "unsafePath: p"},
        {"flush fails", [](const std::string&) {}, failWith(EIO), "EIO"},
        {"flush fails without a code", [](const std::string&) {}, failWith(0), "EIO"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(root_);
        ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
        Tree tree(root_, std::nullopt);
        tree.makeDirectory("a");
        c.plant(root_);
        EXPECT_EQ(outcomeOf([&] { tree.synchronizeTree(c.sync); }), c.outcome);
    }
}

TEST_F(SafeExtractTreeTest, SynchronizeFailuresNameTheDirectory) {
    Tree tree(root_, std::nullopt);
    tree.makeDirectory("a/b");
    const auto failFirst = [](int) {
        errno = EMFILE;
        return -1;
    };
    try {
        tree.synchronizeTree(failFirst);
        FAIL() << "expected an error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  root_ + "/a/b: " + std::generic_category().message(EMFILE));
    }
}

TEST_F(SafeExtractTreeTest, TreesDeeperThanTheOpenFileLimitSynchronize) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for one descriptor per level, not for two.
        const struct rlimit limit { 512, 512 };
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            ::_exit(10);
        }
        try {
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
                return Tree::fsyncDirectory(fd);
            });
            ::_exit(flushes == 301 ? 0 : 1);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child failed: %s\n", e.what());
            ::_exit(20);
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
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
    const auto count = [&](int) {
        ++flushes;
        return 0;
    };
    EXPECT_THROW(tree.synchronizeTree(count, cancelOnThird), ArchivePipelineError);
    EXPECT_EQ(flushes, 0);
}

TEST_F(SafeExtractTreeTest, DirectoryModesComeAfterTheFlushInAnyOrder) {
    Tree tree(root_, std::nullopt);
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

    EXPECT_EQ(modeOf(root_ + "/a"), 0000u);
    EXPECT_EQ(modeOf(root_ + "/a/b"), 0311u);
    EXPECT_EQ(modeOf(root_ + "/a/b/c"), 0600u);
    EXPECT_EQ(modeOf(root_ + "/d"), 0755u);
    EXPECT_EQ(modeOf(root_ + "/e"), 0700u);
    struct stat st {};
    ASSERT_EQ(::stat((root_ + "/a/b/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1'500'000'000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 500'000'000);
    ASSERT_EQ(::stat((root_ + "/a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1'600'000'000);

    EXPECT_THROW(tree.setDirectoryMetadata("e", 0700, std::nullopt, {}), std::logic_error);
    EXPECT_THROW(writeText(tree, "late", "x"), std::logic_error);
    EXPECT_THROW(tree.synchronizeTree(), std::logic_error);
}

TEST_F(SafeExtractTreeTest, FileMetadataIsAppliedAfterAttributes) {
    Tree tree(root_, std::nullopt);
    tree.writeFile("f", 04755, 1'700'000'000.25, {}, produce({"data"}));
    EXPECT_EQ(modeOf(root_ + "/f"), 0755u);
    struct stat st {};
    ASSERT_EQ(::stat((root_ + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1'700'000'000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 250'000'000);

    if (!keepsUserAttributes(root_)) {
        GTEST_SKIP() << root_ << " keeps no user extended attributes";
    }
    // Attributes need write permission, so a read-only archived mode must come after them.
    tree.writeFile("ro", 0444, std::nullopt, Map{{"k", "v"}}, produce({"r"}));
    char value[8] = {};
    EXPECT_EQ(::getxattr((root_ + "/ro").c_str(), "user.k", value, sizeof value), 1);
    EXPECT_EQ(modeOf(root_ + "/ro"), 0444u);
}

class SafeExtractTreeProvenanceTest : public SafeExtractTreeTest {
protected:
    void SetUp() override {
        SafeExtractTreeTest::SetUp();
        if (!keepsUserAttributes(root_)) {
            GTEST_SKIP() << root_ << " keeps no user extended attributes";
        }
    }
};

TEST_F(SafeExtractTreeProvenanceTest, StampsEverythingItCreatesButNothingElse) {
    ASSERT_EQ(::mkdir((root_ + "/existing").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root_ + "/untouched").c_str(), 0700), 0);
    Tree tree(root_, provenance);
    EXPECT_EQ(provenanceOf(root_), provenance);
    tree.makeDirectory("existing");
    tree.makeDirectory("p/q");
    writeText(tree, "n/m/file", "x");
    // An archived copy of the provenance attribute never replaces the archive's own value.
    tree.writeFile("own", 0400, std::nullopt, Map{{"xdg.origin.url", "https://other.invalid/"}},
                   produce({"o"}));
    tree.makeDirectory("meta");
    tree.setDirectoryMetadata("meta", 0500, std::nullopt,
                              Map{{"xdg.origin.url", "https://other.invalid/"}, {"k", "v"}});
    tree.synchronizeTree();

    for (const char* path : {"existing", "p", "p/q", "n", "n/m", "n/m/file", "own", "meta"}) {
        EXPECT_EQ(provenanceOf(root_ + "/" + path), provenance) << path;
    }
    EXPECT_EQ(provenanceOf(root_ + "/untouched"), std::nullopt);
    EXPECT_EQ(modeOf(root_ + "/meta"), 0500u);
}

TEST_F(SafeExtractTreeProvenanceTest, WithoutProvenanceNothingIsStamped) {
    Tree tree(root_, std::nullopt);
    tree.makeDirectory("d");
    writeText(tree, "d/f", "x");
    for (const char* path : {"", "/d", "/d/f"}) {
        EXPECT_EQ(provenanceOf(root_ + path), std::nullopt) << path;
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
    tree.writeFile("d/f", 0600, std::nullopt, Map{{"a", "1"}, {"b", "2"}}, produce({"x"}));
    tree.setDirectoryMetadata("d", 0700, std::nullopt, Map{{"c", "3"}});
    tree.synchronizeTree();
    EXPECT_EQ(calls, 1);  // the root's stamp found out; nothing was tried after it
    EXPECT_EQ(test::readFile(root_ + "/d/f"), "x");
}

// The faults these guard against only show for a user whom permissions bind; CI runs as root, so
// the child drops to nobody inside a folder handed to it.
TEST_F(SafeExtractTreeTest, RestrictiveArchivedModesUnpackForAnUnprivilegedUser) {
    const std::string work = dir_.file("work");
    ASSERT_EQ(::mkdir(work.c_str(), 0700), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0) {
            if (::chmod(dir_.path().c_str(), 0711) != 0 ||
                ::chown(work.c_str(), 65534, 65534) != 0 || ::setgroups(0, nullptr) != 0 ||
                ::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(10);
            }
        }
        const std::string stage = work + "/stage";
        if (::mkdir(stage.c_str(), 0700) != 0) {
            ::_exit(11);
        }
        try {
            const bool stamps = keepsUserAttributes(work);
            Tree tree(stage, stamps ? std::optional<std::string>(provenance) : std::nullopt);
            for (const char* path : {"d0311/in", "d0600/in", "d0000/in/deeper", "d0500"}) {
                tree.makeDirectory(path);
            }
            writeText(tree, "d0311/in/f", "a");
            writeText(tree, "d0000/in/deeper/f", "b");
            writeText(tree, "d0500/f", "c");
            // Files the owner may not read must still verify.
            const std::string content = test::randomBytes(100'000, 3);
            for (const auto& [name, mode] : {std::pair<const char*, std::uint16_t>{"f0000", 0000},
                                             {"f0200", 0200},
                                             {"f0222", 0222}}) {
                const Tree::FileHash written = tree.writeFile(name, mode, 1'700'000'000.25,
                                                              Map{{"k", "v"}}, produce({content}));
                if (written != Tree::FileHash{content.size(), Sha256::hexOf(content)}) {
                    ::_exit(20);
                }
            }
            // The modes bite: this user cannot open such a file by path.
            if (outcomeOf([&] { tree.hashFile("f0000"); }) != "EACCES") {
                ::_exit(21);
            }
            // Shallow before deep, as an unsorted caller might.
            tree.setDirectoryMetadata("d0000", 0000, 1'600'000'000.0, {});
            tree.setDirectoryMetadata("d0000/in", 0311, std::nullopt, Map{{"k", "v"}});
            tree.setDirectoryMetadata("d0000/in/deeper", 0600, std::nullopt, {});
            tree.setDirectoryMetadata("d0311", 0311, 1'600'000'000.0, Map{{"k", "v"}});
            tree.setDirectoryMetadata("d0600", 0600, std::nullopt, {});
            tree.setDirectoryMetadata("d0500", 0500, std::nullopt, {});
            tree.synchronizeTree();

            const std::map<std::string, mode_t> expected = {
                {"d0000", 0000}, {"d0311", 0311}, {"d0600", 0600}, {"d0500", 0500},
                {"f0000", 0000}, {"f0200", 0200}, {"f0222", 0222},
            };
            for (const auto& [name, mode] : expected) {
                struct stat st {};
                if (::lstat((stage + "/" + name).c_str(), &st) != 0 ||
                    (st.st_mode & 07777) != mode) {
                    ::_exit(30);
                }
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child failed: %s\n", e.what());
            ::_exit(40);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tolvane
