#include "core/archive/AtomicOutputCommitter.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Code = ArchivePipelineError::Code;

std::vector<std::string> entries(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

template <typename F>
std::optional<ArchivePipelineError> pipelineErrorOf(F&& run) {
    try {
        run();
    } catch (const ArchivePipelineError& error) {
        return error;
    }
    return std::nullopt;
}

// A stage folder and a destination folder side by side, both open.
struct Folders {
    test::TempDir dir;
    std::string stage = dir.file("stage");
    std::string destination = dir.file("dest");
    UniqueFd stageFd;
    UniqueFd destinationFd;

    Folders() {
        ::mkdir(stage.c_str(), 0700);
        ::mkdir(destination.c_str(), 0700);
        stageFd = posix::open(stage, O_RDONLY | O_DIRECTORY);
        destinationFd = posix::open(destination, O_RDONLY | O_DIRECTORY);
    }
    std::string requested(const std::string& name) const { return destination + "/" + name; }
};

int renameAnswersEinval(int, const char*, int, const char*, unsigned int) {
    errno = EINVAL;
    return -1;
}
int renameAnswersExdev(int, const char*, int, const char*, unsigned int) {
    errno = EXDEV;
    return -1;
}
int renameAnswersEexist(int, const char*, int, const char*, unsigned int) {
    errno = EEXIST;
    return -1;
}

TEST(AtomicOutputCommitterTest, CandidateNamesInsertTheNumberBeforeTheExtension) {
    struct Case {
        std::string name;
        unsigned attempt;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"report.zip", 1, "report.zip"},
        {"report.zip", 2, "report_2.zip"},
        {"report.zip", 100000, "report_100000.zip"},
        {"Photos", 2, "Photos_2"},
        {"archive.tar.gz", 2, "archive.tar_2.gz"},
        // A leading dot is not an extension, nor is a trailing one.
        {".hidden", 2, ".hidden_2"},
        {".hidden.zip", 3, ".hidden_3.zip"},
        {"notes.", 2, "notes._2"},
        {"사진 모음.zip", 2, "사진 모음_2.zip"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AtomicOutputCommitter::candidateName(c.name, c.attempt), c.expected)
            << c.name << " " << c.attempt;
    }
}

TEST(AtomicOutputCommitterTest, TakenNamesAreSkippedAndNeverReplaced) {
    struct Case {
        std::string requested;
        std::vector<std::string> taken;
        bool directory;
        std::string committed;
    };
    const std::vector<Case> cases = {
        {"report.zip", {}, false, "report.zip"},
        {"report.zip", {"report.zip"}, false, "report_2.zip"},
        {"report.zip", {"report.zip", "report_2.zip"}, false, "report_3.zip"},
        {"Photos", {"Photos"}, true, "Photos_2"},
        // A file in the way of a directory (and the reverse) is just as taken.
        {"Photos", {"Photos"}, false, "Photos_2"},
        {".hidden", {".hidden"}, false, ".hidden_2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        Folders folders;
        for (const std::string& name : c.taken) {
            test::writeFile(folders.requested(name), "keep " + name);
        }
        if (c.directory) {
            ASSERT_EQ(::mkdir((folders.stage + "/item").c_str(), 0700), 0);
            test::writeFile(folders.stage + "/item/inside.txt", "payload");
        } else {
            test::writeFile(folders.stage + "/item", "payload");
        }
        const std::string result =
            AtomicOutputCommitter::move("item", folders.stageFd.get(), folders.destinationFd.get(),
                                        folders.requested(c.requested), folders.destination);
        EXPECT_EQ(result, folders.requested(c.committed));
        EXPECT_EQ(test::readFile(c.directory ? result + "/inside.txt" : result), "payload");
        for (const std::string& name : c.taken) {
            EXPECT_EQ(test::readFile(folders.requested(name)), "keep " + name);
        }
        EXPECT_TRUE(entries(folders.stage).empty());
    }
}

TEST(AtomicOutputCommitterTest, ADirectoryCommittedInsideItsOwnFolderRunsOneSync) {
    Folders folders;
    ASSERT_EQ(::mkdir(folders.requested(".stage.partial").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(folders.requested("Photos").c_str(), 0700), 0);
    std::vector<int> synced;
    const std::string result = AtomicOutputCommitter::move(
        ".stage.partial", folders.destinationFd.get(), folders.destinationFd.get(),
        folders.requested("Photos"), folders.destination + "/", [&](int fd) {
            synced.push_back(fd);
            return 0;
        });
    EXPECT_EQ(result, folders.requested("Photos_2"));
    EXPECT_EQ(synced, std::vector<int>{folders.destinationFd.get()});
    EXPECT_EQ(entries(folders.destination), (std::vector<std::string>{"Photos", "Photos_2"}));
}

TEST(AtomicOutputCommitterTest, BadNamesFailBeforeAnythingMoves) {
    struct Case {
        std::string sourceName;
        std::string requested;  // relative to the destination folder unless absolute
        Code code;
        std::string detail;
    };
    Folders folders;
    test::writeFile(folders.stage + "/item", "payload");
    const std::string other = folders.dir.file("other");
    const std::vector<Case> cases = {
        {"item", ".", Code::finalizationFailed, "invalid output filename"},
        {"item", "..", Code::finalizationFailed, "invalid output filename"},
        {"item", std::string("a\0b", 3), Code::finalizationFailed, "invalid output filename"},
        {"item", other + "/report.zip", Code::destinationChanged, folders.destination},
        {"item", "sub/report.zip", Code::destinationChanged, folders.destination},
        {"", "report.zip", Code::destinationChanged, folders.destination},
        {".", "report.zip", Code::destinationChanged, folders.destination},
        {"..", "report.zip", Code::destinationChanged, folders.destination},
        {"../stage/item", "report.zip", Code::destinationChanged, folders.destination},
        {std::string("item\0x", 6), "report.zip", Code::destinationChanged, folders.destination},
    };
    for (const Case& c : cases) {
        const std::string requested =
            c.requested.starts_with("/") ? c.requested : folders.requested(c.requested);
        const auto error = pipelineErrorOf([&] {
            AtomicOutputCommitter::move(c.sourceName, folders.stageFd.get(),
                                        folders.destinationFd.get(), requested,
                                        folders.destination);
        });
        ASSERT_TRUE(error.has_value()) << c.requested;
        EXPECT_EQ(error->code(), c.code) << c.requested;
        EXPECT_EQ(error->detail(), c.detail) << c.requested;
    }
    EXPECT_EQ(entries(folders.stage), std::vector<std::string>{"item"});
    EXPECT_TRUE(entries(folders.destination).empty());
}

TEST(AtomicOutputCommitterTest, RenameFailuresAndExhaustedNamesAreFinalizationFailures) {
    struct Case {
        AtomicOutputCommitter::RenameCall rename;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {renameAnswersExdev, std::generic_category().message(EXDEV)},
        {renameAnswersEexist, "too many name collisions"},
    };
    for (const Case& c : cases) {
        Folders folders;
        test::writeFile(folders.stage + "/item", "payload");
        const auto error = pipelineErrorOf([&] {
            AtomicOutputCommitter::move("item", folders.stageFd.get(), folders.destinationFd.get(),
                                        folders.requested("report.zip"), folders.destination,
                                        AtomicOutputCommitter::systemDirectorySync, c.rename);
        });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->code(), Code::finalizationFailed);
        EXPECT_EQ(error->detail(), c.detail);
        EXPECT_EQ(entries(folders.stage), std::vector<std::string>{"item"});
    }
}

TEST(AtomicOutputCommitterTest, FailedSyncAfterTheRenameReturnsTheOutputToItsStage) {
    // Either directory's flush failing counts; the first failure names the error.
    for (const bool failDestination : {true, false}) {
        SCOPED_TRACE(failDestination ? "destination" : "stage");
        Folders folders;
        test::writeFile(folders.stage + "/payload.zip", "payload");
        int calls = 0;
        const int failing = failDestination ? folders.destinationFd.get() : folders.stageFd.get();
        const auto error = pipelineErrorOf([&] {
            AtomicOutputCommitter::move(
                "payload.zip", folders.stageFd.get(), folders.destinationFd.get(),
                folders.requested("report.zip"), folders.destination, [&](int fd) {
                    ++calls;
                    errno = fd == failing ? EIO : 0;
                    return fd == failing ? -1 : 0;
                });
        });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->code(), Code::finalizationFailed);
        EXPECT_EQ(error->detail(),
                  "directory metadata could not be synchronized (EIO); output was returned to "
                  "staging");
        EXPECT_EQ(calls, 4);  // both after the move, both again after the move back
        EXPECT_EQ(test::readFile(folders.stage + "/payload.zip"), "payload");
        EXPECT_TRUE(entries(folders.destination).empty());
    }
}

TEST(AtomicOutputCommitterTest, FailedSyncWithNoWayBackSaysWhereTheOutputIs) {
    Folders folders;
    test::writeFile(folders.stage + "/payload.zip", "payload");
    const auto error = pipelineErrorOf([&] {
        AtomicOutputCommitter::move(
            "payload.zip", folders.stageFd.get(), folders.destinationFd.get(),
            folders.requested("report.zip"), folders.destination, [&](int) {
                // Something takes the stage name meanwhile, so the move back must not happen.
                test::writeFile(folders.stage + "/payload.zip", "someone else");
                errno = 0;  // an unknown failure is reported as EIO
                return -1;
            });
    });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code(), Code::finalizationFailed);
    EXPECT_EQ(error->detail(),
              "directory metadata could not be synchronized (EIO); output may "
              "remain at " +
                  folders.requested("report.zip"));
    EXPECT_EQ(test::readFile(folders.requested("report.zip")), "payload");
    EXPECT_EQ(test::readFile(folders.stage + "/payload.zip"), "someone else");
}

TEST(AtomicOutputCommitterTest, FailedSyncLeavesAnEntryThatReplacedTheOutputWhereItIs) {
    Folders folders;
    test::writeFile(folders.stage + "/payload.zip", "payload");
    const auto error = pipelineErrorOf([&] {
        AtomicOutputCommitter::move(
            "payload.zip", folders.stageFd.get(), folders.destinationFd.get(),
            folders.requested("report.zip"), folders.destination, [&](int) {
                // Someone else's file takes the committed name; moving it into the stage would
                // have it deleted with the stage.
                const std::string replacement = folders.destination + "/theirs";
                test::writeFile(replacement, "theirs");
                ::rename(replacement.c_str(), folders.requested("report.zip").c_str());
                errno = EIO;
                return -1;
            });
    });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code(), Code::finalizationFailed);
    EXPECT_EQ(error->detail(),
              "directory metadata could not be synchronized (EIO); output may remain at " +
                  folders.requested("report.zip"));
    EXPECT_EQ(test::readFile(folders.requested("report.zip")), "theirs");
    EXPECT_TRUE(entries(folders.stage).empty());
}

TEST(AtomicOutputCommitterTest, FileSystemsWithoutExclusiveRenameUseTheFallbacks) {
    Folders folders;
    test::writeFile(folders.requested("report.zip"), "existing");
    test::writeFile(folders.stage + "/payload.zip", "payload");
    std::string result = AtomicOutputCommitter::move(
        "payload.zip", folders.stageFd.get(), folders.destinationFd.get(),
        folders.requested("report.zip"), folders.destination,
        AtomicOutputCommitter::systemDirectorySync, renameAnswersEinval);
    EXPECT_EQ(result, folders.requested("report_2.zip"));
    EXPECT_EQ(test::readFile(folders.requested("report.zip")), "existing");
    EXPECT_EQ(test::readFile(result), "payload");
    struct stat st {};
    ASSERT_EQ(::stat(result.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);  // moved, not copied or left linked

    // A directory claims its name with an empty placeholder and is renamed over it; a taken
    // name, even an empty directory somebody made, is skipped, never replaced.
    ASSERT_EQ(::mkdir(folders.requested("Photos").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((folders.stage + "/tree").c_str(), 0700), 0);
    test::writeFile(folders.stage + "/tree/a.txt", "a");
    result = AtomicOutputCommitter::move(
        "tree", folders.stageFd.get(), folders.destinationFd.get(), folders.requested("Photos"),
        folders.destination, AtomicOutputCommitter::systemDirectorySync, renameAnswersEinval);
    EXPECT_EQ(result, folders.requested("Photos_2"));
    EXPECT_EQ(test::readFile(result + "/a.txt"), "a");
    EXPECT_TRUE(entries(folders.requested("Photos")).empty());
    EXPECT_TRUE(entries(folders.stage).empty());

    // The move back after a failed flush takes the same road.
    test::writeFile(folders.stage + "/again.zip", "again");
    const auto error = pipelineErrorOf([&] {
        AtomicOutputCommitter::move(
            "again.zip", folders.stageFd.get(), folders.destinationFd.get(),
            folders.requested("report.zip"), folders.destination,
            [](int) {
                errno = ENOSPC;
                return -1;
            },
            renameAnswersEinval);
    });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->detail(),
              "directory metadata could not be synchronized (ENOSPC); output was returned to "
              "staging");
    EXPECT_EQ(test::readFile(folders.stage + "/again.zip"), "again");
    EXPECT_EQ(entries(folders.destination),
              (std::vector<std::string>{"Photos", "Photos_2", "report.zip", "report_2.zip"}));
}

TEST(AtomicOutputCommitterTest, FallbackReportsAMissingSource) {
    Folders folders;
    EXPECT_EQ(AtomicOutputCommitter::renameNoReplace(folders.stageFd.get(), "missing",
                                                     folders.destinationFd.get(), "x",
                                                     renameAnswersEinval),
              ENOENT);
    EXPECT_TRUE(entries(folders.destination).empty());
}

}  // namespace
}  // namespace tolvane
