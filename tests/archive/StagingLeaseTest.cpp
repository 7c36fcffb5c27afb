#include "core/archive/StagingLease.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/StrictJson.h"
#include "core/common/Uuid.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using Names = std::vector<std::string>;
using Steps = std::vector<std::function<void()>>;
using test::outcomeOf;

std::string warningOf(const Progress& progress) {
    return progress.userInfoText(ArchiveProgressInfo::cleanupWarningKey).value_or("");
}

// A flock through a second open file description, which conflicts with the lease's own.
UniqueFd lockOf(const std::string& path) {
    UniqueFd fd = posix::open(path, O_RDWR);
    return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 ? std::move(fd) : UniqueFd();
}

std::string journalText(const std::string& id, const std::string& operation = "pack",
                        int version = 1, int pid = 4242) {
    return encodeStageJournal({version, id, operation, pid});
}

TEST(StagingLeaseTest, JournalIsCompactAndDecodedStrictly) {
    const std::string id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    const std::string text = R"({"version":1,"jobIdentifier":")" + id +
                             R"(","operation":"pack","ownerProcessIdentifier":77})";
    EXPECT_EQ(journalText(id, "pack", 1, 77), text);
    EXPECT_EQ(decodeStageJournal(text), (StageJournal{1, id, "pack", 77}));
    const std::string job = R"("jobIdentifier":"x","operation":"pack",)";
    for (const std::string& bad :
         Names{"[]", R"({"version":1.0,)" + job + R"("ownerProcessIdentifier":1})",
               R"({"version":1,)" + job + R"("ownerProcessIdentifier":4294967297})",
               R"({"version":1,"jobIdentifier":"x","operation":"pack"})",
               R"({"version":1,"version":1,)" + job + R"("ownerProcessIdentifier":1})"}) {
        EXPECT_THROW(decodeStageJournal(bad), StrictJson::DecodeError) << bad;
    }
}

// One lease from start to end: its markers and lock, what each operation accepts, outputs
// committed beside the stage under free names, and a removal that happens once.
TEST(StagingLeaseTest, LifeOfALease) {
    test::TempDir dir;
    const std::string folder = physicalDirectoryURL(dir.path());
    EXPECT_EQ(outcomeOf([&] { makeStage(folder, "delete"); }),
              "exception stage operation must be \"pack\" or \"unpack\"");
    EXPECT_EQ(outcomeOf([&] { makeStage(folder + "/missing", "pack"); }), "errno ENOENT");
    test::makeTree(folder, {{"Photos/", ""}});
    Progress progress;
    StagingLease lease = makeStage(folder + "/", "unpack", &progress);
    const std::string id = lease.stageName().substr(9, 36);
    EXPECT_EQ(Uuid::parse(id).value_or(Uuid::random()).text(), id);
    const Names markers = {".tolvane-" + id + ".job.json", ".tolvane-" + id + ".lock"};
    EXPECT_EQ(test::namesIn(folder), (Names{markers[0], markers[1], lease.stageName(), "Photos"}));
    EXPECT_EQ(decodeStageJournal(test::readFile(folder + "/" + markers[0])),
              (StageJournal{1, id, "unpack", ::getpid()}));
    EXPECT_FALSE(lockOf(folder + "/" + markers[1]).valid());
    test::makeTree(lease.url(), {{"album/", ""}});

    const std::string invalid = "finalizationFailed: invalid staging filename";
    const std::vector<std::pair<std::function<void()>, std::string>> steps = {
        {[&] { posix::writeAll(lease.createStageFile("a.zip").get(), "zip", 3); }, "ok"},
        {[&] { lease.createStageFile("a.zip"); }, "errno EEXIST"},
        {[&] { lease.createStageFile("album/x"); }, invalid},
        {[&] { lease.removeFileFromStage(".."); }, invalid},
        {[&] { lease.removeFileFromStage(std::string("a.zip\0x", 7)); }, invalid},
        {[&] { lease.removeFileFromStage("album"); },
         "finalizationFailed: staging file changed before cleanup"},
        {[&] { lease.removeFileFromStage("missing"); }, "ok"},
        {[&] { lease.createStageFile("b"), lease.removeFileFromStage("b"); }, "ok"},
        // Only the name of the destination counts.
        {[&] { EXPECT_EQ(lease.commitFile("a.zip", "/x/a.zip"), folder + "/a.zip"); }, "ok"},
        {[&] { EXPECT_EQ(lease.commitDirectory("/x/Photos"), folder + "/Photos_2"); }, "ok"},
    };
    for (const auto& [step, outcome] : steps) {
        EXPECT_EQ(outcomeOf(step), outcome);
    }
    lease.remove(&progress);
    EXPECT_EQ(test::treeOf(folder),
              (test::Tree{
                  {"Photos/", ""}, {"Photos_2/", ""}, {"Photos_2/album/", ""}, {"a.zip", "zip"}}));
    // Removing again touches nothing, not even what took the stage's name since.
    test::writeFile(lease.url(), "theirs");
    lease.remove(&progress);
    EXPECT_EQ(test::readFile(lease.url()), "theirs");
    EXPECT_EQ(warningOf(progress), "");
    for (const auto& step : Steps{
             [&] { lease.verifyDestinationParent(); }, [&] { lease.commitFile("a.zip", "a.zip"); },
             [&] { lease.commitDirectory("Photos"); }, [&] { lease.removeFileFromStage("a.zip"); },
             [&] { lease.createStageFile("c"); }}) {
        EXPECT_EQ(outcomeOf(step), "destinationChanged: " + folder);
    }
}

// The folder renamed (its name then taken by a folder or a link), the link it was chosen
// through pointed elsewhere, or the stage itself replaced: nothing is committed, and only what
// the lease made is removed.
TEST(StagingLeaseTest, NothingIsCommittedIntoAChangedFolderOrStage) {
    for (const std::string change : {"renamed", "folder", "link", "retargeted", "stage"}) {
        test::TempDir dir;
        const std::string root = physicalDirectoryURL(dir.path());
        test::makeTree(root, {{"dest/", ""}, {"other/", ""}});
        ASSERT_EQ(::symlink("dest", (root + "/link").c_str()), 0);
        StagingLease lease = makeStage(root + (change == "retargeted" ? "/link" : "/dest"), "pack");
        posix::writeAll(lease.createStageFile("a.zip").get(), "zip", 3);
        std::string left = root + "/moved";
        if (change == "retargeted") {
            std::filesystem::remove(root + "/link");
            std::filesystem::create_directory_symlink("other", root + "/link");
            left = root + "/dest";
        } else if (change == "stage") {
            std::filesystem::rename(lease.url(), root + "/aside");
            std::filesystem::create_directory(lease.url());
            left = root + "/dest";
        } else {
            std::filesystem::rename(root + "/dest", left);
            if (change == "folder") {
                std::filesystem::create_directory(root + "/dest");
            } else if (change == "link") {
                std::filesystem::create_directory_symlink("moved", root + "/dest");
            }
        }
        for (const auto& step : Steps{[&] { lease.commitFile("a.zip", "a.zip"); },
                                      [&] { lease.commitDirectory("Photos"); }}) {
            EXPECT_EQ(outcomeOf(step),
                      "destinationChanged: " + root + (change == "retargeted" ? "/link" : "/dest"))
                << change;
        }
        Progress progress;
        lease.remove(&progress);
        // A replaced stage keeps its name, and its markers stay for a later recovery.
        const Names kept = {lease.journalName(), lease.lockName(), lease.stageName()};
        EXPECT_EQ(test::namesIn(left), change == "stage" ? kept : Names{}) << change;
        EXPECT_EQ(warningOf(progress),
                  change == "stage" ? "임시 작업 파일이 남아 있습니다: " + lease.url() : "");
    }
}

// A dead job's leftovers: a stage holding a tree and a link out of it, its lock and journal.
struct Planted {
    Planted(const std::string& folder, std::string uuid)
        : id(std::move(uuid)), at(folder + "/.tolvane-" + id) {
        std::filesystem::create_directories(at + ".partial/a/b");
        test::writeFile(at + ".partial/a/b/f", "x");
        test::writeFile(at + ".lock", "");
        std::filesystem::create_directory_symlink(folder, at + ".partial/a/out");
        journal(journalText(id));
    }
    std::string name(const char* suffix) const { return at.substr(at.rfind('/') + 1) + suffix; }
    void journal(const std::string& text) const {
        std::filesystem::remove(at + ".job.json");
        test::writeFile(at + ".job.json", text);
    }
    void linkAside(const char* suffix) const {
        std::filesystem::rename(at + suffix, at + "-aside");
        std::filesystem::create_symlink(name("-aside"), at + suffix);
    }
    std::string id, at;
    UniqueFd held;
};

// Recovery takes away a stage, or orphan markers, only when a free lock and a strictly decoded
// journal of the same job, all this user's regular files and folders, prove them a dead job's;
// names no job of ours would use are never touched.
TEST(StagingLeaseTest, RecoveryTakesOnlyProvablyStaleStages) {
    const auto pad = [](std::string text, std::size_t size) {
        return text.append(size - text.size(), ' ');
    };
    const auto give = [](const std::string& path) {
        EXPECT_EQ(::lchown(path.c_str(), test::unprivilegedId, test::unprivilegedId), 0);
    };
    const std::vector<std::tuple<std::string, std::function<void(Planted&)>, bool>> cases = {
        {"dead job", [](Planted&) {}, true},
        {"orphan markers", [](Planted& p) { std::filesystem::remove_all(p.at + ".partial"); },
         true},
        {"1024-byte journal", [&](Planted& p) { p.journal(pad(journalText(p.id), 1024)); }, true},
        {"1025-byte journal", [&](Planted& p) { p.journal(pad(journalText(p.id), 1025)); }, false},
        {"live job", [](Planted& p) { p.held = lockOf(p.at + ".lock"); }, false},
        {"live job, bad journal",
         [](Planted& p) { p.journal("{}"), p.held = lockOf(p.at + ".lock"); }, false},
        {"live orphan",
         [](Planted& p) {
             std::filesystem::remove_all(p.at + ".partial"), p.held = lockOf(p.at + ".lock");
         },
         false},
        {"other job", [](Planted& p) { p.journal(journalText(Uuid::random().text())); }, false},
        {"other operation", [](Planted& p) { p.journal(journalText(p.id, "delete")); }, false},
        {"version 2", [](Planted& p) { p.journal(journalText(p.id, "pack", 2)); }, false},
        {"no process", [](Planted& p) { p.journal(journalText(p.id, "pack", 1, 0)); }, false},
        {"no journal", [](Planted& p) { std::filesystem::remove(p.at + ".job.json"); }, false},
        {"no lock", [](Planted& p) { std::filesystem::remove(p.at + ".lock"); }, false},
        {"orphan journal",
         [](Planted& p) {
             std::filesystem::remove_all(p.at + ".partial"),
                 std::filesystem::remove(p.at + ".lock");
         },
         false},
        {"stage link", [](Planted& p) { p.linkAside(".partial"); }, false},
        {"lock link", [](Planted& p) { p.linkAside(".lock"); }, false},
        {"journal link", [](Planted& p) { p.linkAside(".job.json"); }, false},
        {"lower-case", [](Planted&) {}, false},
        {"stage owner", [&](Planted& p) { give(p.at + ".partial"); }, false},
        {"lock owner", [&](Planted& p) { give(p.at + ".lock"); }, false},
        {"journal owner", [&](Planted& p) { give(p.at + ".job.json"); }, false},
    };
    for (const auto& [label, alter, removed] : cases) {
        if (label.ends_with("owner") && ::geteuid() != 0) {
            continue;  // changing an owner needs root
        }
        test::TempDir dir;
        const std::string folder = dir.file("dest");
        test::makeTree(dir.path(), {{"dest/", ""},
                                    {"dest/.tolvane-notes.job.json", "{}"},
                                    {"dest/.tolvane-x.partial/", ""}});
        std::string id = Uuid::random().text();
        if (label == "lower-case") {
            std::transform(id.begin(), id.end(), id.begin(),
                           [](char c) { return std::tolower(c); });
        }
        Planted planted(folder, id);
        alter(planted);
        const test::Tree before = test::treeOf(dir.path());
        Progress progress;
        makeStage(folder, "unpack", &progress).remove(&progress);
        EXPECT_EQ(warningOf(progress), "") << label;
        test::Tree after = before;
        std::erase_if(after, [&](const auto& entry) {
            return removed && entry.first.starts_with("dest/.tolvane-" + id);
        });
        EXPECT_EQ(test::treeOf(dir.path()), after) << label;
    }
}

// Makes a stage hard to remove as an unpack may leave it: deeper than the open-file limit
// allows with two descriptors a level, and with restored modes that deny its owner.
void makeHardToRemove(const std::string& stage) {
    std::string deep = stage;
    for (int level = 0; level < 300; ++level) {
        ASSERT_EQ(::mkdir((deep += "/d").c_str(), 0700), 0);
    }
    test::makeTree(stage, {{"locked/", ""},
                           {"locked/inner/", ""},
                           {"locked/inner/f", ""},
                           {"readonly/", ""},
                           {"readonly/f", ""},
                           {"unlistable/", ""},
                           {"unlistable/f", ""}});
    for (const auto& [path, mode] : {std::pair{"/locked/inner", 0},
                                     {"/locked", 0},
                                     {"/readonly", 0500},
                                     {"/unlistable", 0300}}) {
        ASSERT_EQ(::chmod((stage + path).c_str(), mode), 0);
    }
}

// Such a stage goes with its job's clean-up, or with the next job's recovery after a
// cancellation, as an unprivileged user. As root, a stale stage that cannot go (root owns a
// folder inside it) is also planted: it stays with a warning and fails no job.
TEST(StagingLeaseTest, LeftoverStagesDoNotBlockLaterJobs) {
    test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    const std::string folder = dir.file("dest");
    test::makeTree(dir.path(), {{"dest/", ""}});
    std::string warning;
    Names left = {"a.zip"};
    if (::geteuid() == 0) {
        const Planted pinned(folder, Uuid::random().text());
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            ASSERT_EQ(::lchown(entry.path().c_str(), test::unprivilegedId, test::unprivilegedId),
                      0);
        }
        test::makeTree(pinned.at + ".partial", {{"pinned/", ""}, {"pinned/f", ""}});
        warning = "이전 작업의 임시 작업 폴더를 정리하지 못했습니다: " + pinned.at + ".partial (" +
                  std::generic_category().message(EACCES) + ")";
        left = {pinned.name(".job.json"), pinned.name(".lock"), pinned.name(".partial"), "a.zip"};
    }
    const test::ChildExit exit = test::runInChild([&] {
        const struct rlimit limit { 512, 512 };
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 ||
            (::geteuid() == 0 &&
             (::chown(folder.c_str(), test::unprivilegedId, test::unprivilegedId) != 0 ||
              !test::dropPrivileges()))) {
            return 10;
        }
        Progress failed;
        StagingLease lease = makeStage(folder, "unpack", &failed);
        makeHardToRemove(lease.url());
        lease.remove(&failed);
        std::string abandoned;
        {
            StagingLease cancelled = makeStage(folder, "unpack");
            makeHardToRemove(cancelled.url());
            abandoned = cancelled.url();
        }
        ::chmod(abandoned.c_str(), 0);
        Progress next;
        StagingLease later = makeStage(folder, "pack", &next);
        later.createStageFile("a.zip");
        later.commitFile("a.zip", "a.zip");
        later.remove(&next);
        return warningOf(failed) != warning    ? 1
               : warningOf(next) != warning    ? 2
               : test::namesIn(folder) != left ? 3
                                               : 0;
    });
    EXPECT_TRUE(exit.succeeded()) << exit.describe();
}

}  // namespace
}  // namespace tolvane
