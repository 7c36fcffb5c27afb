#include "core/archive/AtomicOutputCommitter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Names = std::vector<std::string>;
using Error = ArchivePipelineError;
namespace Committer = AtomicOutputCommitter;

Names entries(const std::string& directory) {
    Names names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

template <int error>
int renameFails(int, const char*, int, const char*, unsigned int) {
    errno = error;
    return -1;
}

UniqueFd makeDirectory(const std::string& path) {
    EXPECT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
    return posix::open(path, O_RDONLY | O_DIRECTORY);
}

// A stage folder and a destination folder side by side, both open.
struct Folders {
    test::TempDir dir;
    std::string stage = dir.file("stage");
    std::string destination = dir.file("dest");
    UniqueFd stageFd = makeDirectory(stage);
    UniqueFd destinationFd = makeDirectory(destination);

    std::string requested(const std::string& name) const {
        return name.starts_with("/") ? name : destination + "/" + name;
    }
    std::string move(const std::string& item, const std::string& name,
                     const Committer::DirectorySync& sync = Committer::systemDirectorySync,
                     Committer::RenameCall rename = nullptr) const {
        return Committer::move(item, stageFd.get(), destinationFd.get(), requested(name),
                               destination, sync, rename);
    }
    template <typename... Seams>
    Error failure(const std::string& item, const std::string& name, const Seams&... seams) const {
        try {
            move(item, name, seams...);
        } catch (const Error& error) {
            return error;
        }
        return Error::sourceChanged("nothing thrown");
    }
};

Error unsynced(const std::string& error, const std::string& outcome) {
    return Error::finalizationFailed("directory metadata could not be synchronized (" + error +
                                     "); " + outcome);
}

// A leading dot is not an extension, nor is a trailing one.
TEST(AtomicOutputCommitterTest, CandidateNamesInsertTheNumberBeforeTheExtension) {
    const std::vector<std::pair<std::string, std::string>> names = {
        {"report.zip", "report_2.zip"},         {"Photos", "Photos_2"},
        {"archive.tar.gz", "archive.tar_2.gz"}, {".hidden", ".hidden_2"},
        {".hidden.zip", ".hidden_2.zip"},       {"notes.", "notes._2"}};
    for (const auto& [name, second] : names) {
        EXPECT_EQ(Committer::candidateName(name, 1), name);
        EXPECT_EQ(Committer::candidateName(name, 2), second);
    }
}

TEST(AtomicOutputCommitterTest, TakenNamesAreSkippedAndNeverReplaced) {
    struct Case {
        std::string requested;
        Names taken;
        bool directory;
        std::string committed;
    };
    const std::vector<Case> cases = {
        {"report.zip", {}, false, "report.zip"},
        {"report.zip", {"report.zip", "report_2.zip"}, false, "report_3.zip"},
        {"Photos", {"Photos"}, true, "Photos_2"},  // a file in a directory's way is as taken
        {".hidden", {".hidden"}, false, ".hidden_2"},
    };
    for (const Case& c : cases) {
        Folders folders;
        for (const std::string& name : c.taken) {
            test::writeFile(folders.requested(name), "keep " + name);
        }
        if (c.directory) {
            makeDirectory(folders.stage + "/item");
        }
        test::writeFile(folders.stage + (c.directory ? "/item/inside.txt" : "/item"), "payload");
        const std::string result = folders.move("item", c.requested);
        EXPECT_EQ(result, folders.requested(c.committed));
        EXPECT_EQ(test::readFile(c.directory ? result + "/inside.txt" : result), "payload")
            << result;
        for (const std::string& name : c.taken) {
            EXPECT_EQ(test::readFile(folders.requested(name)), "keep " + name);
        }
        EXPECT_TRUE(entries(folders.stage).empty());
    }
}

TEST(AtomicOutputCommitterTest, ADirectoryCommittedInsideItsOwnFolderRunsOneSync) {
    Folders folders;
    makeDirectory(folders.requested(".stage.partial"));
    makeDirectory(folders.requested("Photos"));
    std::vector<int> synced;
    const std::string result =
        Committer::move(".stage.partial", folders.destinationFd.get(), folders.destinationFd.get(),
                        folders.requested("Photos"), folders.destination + "/", [&](int fd) {
                            synced.push_back(fd);
                            return 0;
                        });
    EXPECT_EQ(result, folders.requested("Photos_2"));
    EXPECT_EQ(synced, std::vector<int>{folders.destinationFd.get()});
    EXPECT_EQ(entries(folders.destination), (Names{"Photos", "Photos_2"}));
}

TEST(AtomicOutputCommitterTest, BadNamesAndFailedRenamesMoveNothing) {
    Folders folders;
    test::writeFile(folders.stage + "/item", "payload");
    const Error badName = Error::finalizationFailed("invalid output filename");
    const Error elsewhere = Error::destinationChanged(folders.destination);
    for (const std::string& name : Names{".", "..", std::string("a\0b", 3)}) {
        EXPECT_EQ(folders.failure("item", name), badName) << name;
    }
    for (const std::string& name : Names{folders.dir.file("other/report.zip"), "sub/report.zip"}) {
        EXPECT_EQ(folders.failure("item", name), elsewhere) << name;
    }
    for (const std::string& item :
         Names{"", ".", "..", "../stage/item", std::string("item\0x", 6)}) {
        EXPECT_EQ(folders.failure(item, "report.zip"), elsewhere) << item;
    }
    const auto sync = Committer::systemDirectorySync;
    EXPECT_EQ(folders.failure("item", "report.zip", sync, renameFails<EXDEV>),
              Error::finalizationFailed(std::generic_category().message(EXDEV)));
    EXPECT_EQ(folders.failure("item", "report.zip", sync, renameFails<EEXIST>),
              Error::finalizationFailed("too many name collisions"));
    EXPECT_EQ(entries(folders.stage), Names{"item"});
    EXPECT_TRUE(entries(folders.destination).empty());
}

TEST(AtomicOutputCommitterTest, FailedSyncAfterTheRenameReturnsTheOutputToItsStage) {
    // Either directory's flush failing counts; the first failure names the error.
    for (const bool failDestination : {true, false}) {
        SCOPED_TRACE(failDestination ? "destination" : "stage");
        Folders folders;
        test::writeFile(folders.stage + "/payload.zip", "payload");
        int calls = 0;
        const int failing = failDestination ? folders.destinationFd.get() : folders.stageFd.get();
        const auto sync = [&](int fd) {
            ++calls;
            errno = fd == failing ? EIO : 0;
            return fd == failing ? -1 : 0;
        };
        EXPECT_EQ(folders.failure("payload.zip", "report.zip", sync),
                  unsynced("EIO", "output was returned to staging"));
        EXPECT_EQ(calls, 4);  // both after the move, both again after the move back
        EXPECT_EQ(test::readFile(folders.stage + "/payload.zip"), "payload");
        EXPECT_TRUE(entries(folders.destination).empty());
    }
}

// When a flush fails and the output cannot go back (the stage name was taken meanwhile) or must
// not (someone else's entry took the committed name, and the stage is deleted later), it stays.
TEST(AtomicOutputCommitterTest, FailedSyncWithNoWayBackSaysWhereTheOutputIs) {
    for (const bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "committed name replaced" : "stage name taken");
        Folders folders;
        test::writeFile(folders.stage + "/payload.zip", "payload");
        const std::string committed = folders.requested("report.zip");
        const auto sync = [&](int) {
            if (replaced) {
                test::writeFile(folders.destination + "/theirs", "theirs");
                ::rename((folders.destination + "/theirs").c_str(), committed.c_str());
            } else {
                test::writeFile(folders.stage + "/payload.zip", "someone else");
            }
            errno = replaced ? EIO : 0;  // an unknown failure is reported as EIO
            return -1;
        };
        EXPECT_EQ(folders.failure("payload.zip", "report.zip", sync),
                  unsynced("EIO", "output may remain at " + committed));
        EXPECT_EQ(test::readFile(committed), replaced ? "theirs" : "payload");
        EXPECT_EQ(entries(folders.stage), replaced ? Names{} : Names{"payload.zip"});
    }
}

TEST(AtomicOutputCommitterTest, FileSystemsWithoutExclusiveRenameUseTheFallbacks) {
    const auto refused = renameFails<EINVAL>;
    const auto sync = Committer::systemDirectorySync;
    Folders folders;
    test::writeFile(folders.requested("report.zip"), "existing");
    test::writeFile(folders.stage + "/payload.zip", "payload");
    std::string result = folders.move("payload.zip", "report.zip", sync, refused);
    EXPECT_EQ(result, folders.requested("report_2.zip"));
    EXPECT_EQ(test::readFile(folders.requested("report.zip")), "existing");
    EXPECT_EQ(test::readFile(result), "payload");
    EXPECT_EQ(std::filesystem::hard_link_count(result), 1u);  // moved, not copied or left linked

    // A directory claims its name with an empty placeholder and is renamed over it; a taken
    // name, even an empty directory somebody made, is skipped, never replaced.
    makeDirectory(folders.requested("Photos"));
    makeDirectory(folders.stage + "/tree");
    test::writeFile(folders.stage + "/tree/a.txt", "a");
    result = folders.move("tree", "Photos", sync, refused);
    EXPECT_EQ(result, folders.requested("Photos_2"));
    EXPECT_EQ(test::readFile(result + "/a.txt"), "a");
    EXPECT_TRUE(entries(folders.requested("Photos")).empty());
    EXPECT_TRUE(entries(folders.stage).empty());

    // The move back after a failed flush takes the same road.
    test::writeFile(folders.stage + "/again.zip", "again");
    const Committer::DirectorySync noSpace = [](int) { return errno = ENOSPC, -1; };
    EXPECT_EQ(folders.failure("again.zip", "report.zip", noSpace, refused),
              unsynced("ENOSPC", "output was returned to staging"));
    EXPECT_EQ(test::readFile(folders.stage + "/again.zip"), "again");
    EXPECT_EQ(entries(folders.destination),
              (Names{"Photos", "Photos_2", "report.zip", "report_2.zip"}));
    // A missing source is reported, not mistaken for a taken name.
    EXPECT_EQ(Committer::renameNoReplace(folders.stageFd.get(), "missing",
                                         folders.destinationFd.get(), "x", refused),
              ENOENT);
}

}  // namespace
}  // namespace tolvane
