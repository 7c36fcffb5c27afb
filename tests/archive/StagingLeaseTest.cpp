#include "core/archive/StagingLease.h"

#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Posix.h"
#include "core/common/StrictJson.h"
#include "core/common/Uuid.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using test::outcomeOf;

std::string warningOf(const Progress& progress) {
    return progress.userInfoText(ArchiveProgressInfo::cleanupWarningKey).value_or("");
}

// A flock through a second open file description, which conflicts with the lease's own.
UniqueFd lockOf(const std::string& path) {
    UniqueFd fd = posix::open(path, O_RDWR);
    return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 ? std::move(fd) : UniqueFd();
}

TEST(StagingLeaseTest, JournalIsCompactAndDecodedStrictly) {
    const std::string text = R"({"version":1,"jobIdentifier":"x","operation":"pack",)";
    EXPECT_EQ(encodeStageJournal({1, "x", "pack", 7}), text + R"("ownerProcessIdentifier":7})");
    EXPECT_EQ(decodeStageJournal(text + R"("ownerProcessIdentifier":7})"),
              (StageJournal{1, "x", "pack", 7}));
    for (const std::string& bad : {text + R"("ownerProcessIdentifier":4294967297})",
                                   text + R"("ownerProcessIdentifier":"7"})", text + "}",
                                   text + R"("ownerProcessIdentifier":7,"version":1})"}) {
        EXPECT_THROW(decodeStageJournal(bad), StrictJson::DecodeError) << bad;
    }
}

// One lease from start to end: its markers and lock, what each operation accepts, outputs
// committed beside the stage under free names, and a removal that happens once.
TEST(StagingLeaseTest, LifeOfALease) {
    test::TempDir dir;
    const std::string folder = physicalDirectoryURL(dir.path());
    EXPECT_EQ(outcomeOf([&] { makeStage(folder + "/none", "pack"); }), "errno ENOENT");
    test::makeTree(folder, {{"Photos/", ""}});
    Progress progress;
    StagingLease lease = makeStage(folder + "/", "unpack", &progress);
    const std::string id = lease.stageName().substr(9, 36);
    const Names made = {".tolvane-" + id + ".job.json", ".tolvane-" + id + ".lock",
                        ".tolvane-" + id + ".partial", "Photos"};
    EXPECT_EQ(test::namesIn(folder), made);
    EXPECT_EQ(decodeStageJournal(test::readFile(folder + "/" + made[0])),
              (StageJournal{1, id, "unpack", ::getpid()}));
    EXPECT_FALSE(lockOf(folder + "/" + made[1]).valid());
    test::makeTree(lease.url(), {{"album/", ""}});
    const std::string invalid = "finalizationFailed: invalid staging filename";
    const std::pair<std::function<void()>, std::string> steps[] = {
        {[&] { posix::writeAll(lease.createStageFile("a.zip").get(), "zip", 3); }, "ok"},
        {[&] { lease.createStageFile("a.zip"); }, "errno EEXIST"},
        {[&] { lease.createStageFile("album/x"); }, invalid},
        {[&] { lease.removeFileFromStage(".."); }, invalid},
        {[&] { lease.removeFileFromStage(std::string("a.zip\0x", 7)); }, invalid},
        {[&] { lease.removeFileFromStage("album"); },
         "finalizationFailed: staging file changed before cleanup"},
        {[&] { lease.createStageFile("b"), lease.removeFileFromStage("b"); }, "ok"},
        {[&] { lease.commitFile("..", "a"); }, "destinationChanged: " + folder},
        {[&] { EXPECT_EQ(lease.commitFile("a.zip", "/x/a.zip"), folder + "/a.zip"); }, "ok"},
        {[&] { EXPECT_EQ(lease.commitDirectory("/x/Photos"), folder + "/Photos_2"); }, "ok"},
        {[&] { lease.remove(&progress), lease.remove(&progress), lease.commitFile("b", "b"); },
         "destinationChanged: " + folder},
    };
    for (const auto& [step, outcome] : steps) {
        EXPECT_EQ(outcomeOf(step), outcome);
    }
    EXPECT_EQ(test::namesIn(folder), (Names{"Photos", "Photos_2", "a.zip"}));
    EXPECT_EQ(test::namesIn(folder + "/Photos_2"), Names{"album"});
    EXPECT_EQ(warningOf(progress), "");
}

// The folder's path now leads to another folder (or through a link), the link it was chosen
// through points elsewhere, or the stage was replaced: nothing is committed, and only what the
// lease made is removed; a stage name taken by another keeps its markers for a later recovery.
TEST(StagingLeaseTest, NothingIsCommittedIntoAChangedFolderOrStage) {
    test::TempDir dir;
    const std::string root = physicalDirectoryURL(dir.path()), dest = root + "/dest";
    const std::string moved = root + "/moved", link = root + "/link";
    using Change = std::function<void(const StagingLease&)>;
    const std::tuple<std::string, Change, std::string> cases[] = {
        {dest, [&](auto&) { fs::rename(dest, moved), fs::create_directory(dest); }, moved},
        {dest, [&](auto&) { fs::rename(dest, moved), fs::create_directory_symlink("moved", dest); },
         moved},
        {link, [&](auto&) { fs::remove(link), fs::create_directory_symlink("other", link); }, dest},
        {dest, [&](auto& l) { fs::rename(l.url(), root + "/x"), fs::create_directory(l.url()); },
         dest},
    };
    for (const auto& [chosen, change, left] : cases) {
        fs::remove_all(root), fs::create_directory(root);
        test::makeTree(root, {{"dest/", ""}, {"other/", ""}});
        fs::create_directory_symlink("dest", link);
        StagingLease lease = makeStage(chosen, "pack");
        posix::writeAll(lease.createStageFile("a.zip").get(), "zip", 3);
        change(lease);
        EXPECT_EQ(outcomeOf([&] { lease.commitFile("a.zip", "a.zip"); }),
                  "destinationChanged: " + chosen);
        EXPECT_EQ(outcomeOf([&] { lease.commitDirectory("a"); }), "destinationChanged: " + chosen);
        Progress progress;
        lease.remove(&progress);
        const bool stage = fs::exists(root + "/x");
        const Names kept = {lease.journalName(), lease.lockName(), lease.stageName()};
        EXPECT_EQ(test::namesIn(left), stage ? kept : Names{}) << left;
        EXPECT_EQ(warningOf(progress),
                  stage ? "임시 작업 파일이 남아 있습니다: " + lease.url() : "");
    }
}

// A dead job's leftovers in `folder`: a stage holding a tree and a link out of it, a lock file
// and a journal (rewritten by journal()), any of which link() replaces by a link to it.
struct Planted {
    Planted(const std::string& folder, std::string job)
        : id(std::move(job)), at(folder + "/.tolvane-" + id) {
        fs::create_directories(at + ".partial/a/b");
        fs::create_directory_symlink(folder, at + ".partial/a/out");
        test::makeTree(
            folder, {{".tolvane-" + id + ".partial/a/b/f", "x"}, {".tolvane-" + id + ".lock", ""}});
        journal();
    }
    void journal(std::int64_t version = 1, std::string op = "pack", int pid = 1,
                 std::size_t size = 0, std::string job = {}) const {
        std::string text = encodeStageJournal({version, job.empty() ? id : job, op, pid});
        test::writeFile(at + ".job.json", text.append(size - std::min(size, text.size()), ' '));
    }
    void link(const std::string& suffix) const {
        fs::rename(at + suffix, at + "-aside"),
            fs::create_symlink(fs::path(at + "-aside").filename(), at + suffix);
    }
    std::string id, at;
    UniqueFd held;
};
using P = Planted;
constexpr unsigned nobody = test::unprivilegedId;

// Recovery takes away a stage, or orphan markers, only when a free lock and a strictly decoded
// journal of the same job, all regular files and folders of this user, prove them a dead job's;
// names no job of ours would use are never touched.
TEST(StagingLeaseTest, RecoveryTakesOnlyProvablyStaleStages) {
    const std::tuple<std::string, std::function<void(P&)>, bool> cases[] = {
        {"dead job", [](P&) {}, true},
        {"orphan markers", [](P& p) { fs::remove_all(p.at + ".partial"); }, true},
        {"1024-byte journal", [](P& p) { p.journal(1, "pack", 1, 1024); }, true},
        {"1025-byte journal", [](P& p) { p.journal(1, "pack", 1, 1025); }, false},
        {"live job", [](P& p) { p.held = lockOf(p.at + ".lock"); }, false},
        {"other job", [](P& p) { p.journal(1, "pack", 1, 0, Uuid::random().text()); }, false},
        {"other operation", [](P& p) { p.journal(1, "delete"); }, false},
        {"version 2", [](P& p) { p.journal(2); }, false},
        {"no process", [](P& p) { p.journal(1, "pack", 0); }, false},
        {"orphan journal",
         [](P& p) { fs::remove_all(p.at + ".partial"), fs::remove(p.at + ".lock"); }, false},
        {"stage link", [](P& p) { p.link(".partial"); }, false},
        {"lock link", [](P& p) { p.link(".lock"); }, false},
        {"journal link", [](P& p) { p.link(".job.json"); }, false},
        {"lower-case", [](P&) {}, false},
        {"stage owner", [](P& p) { ::lchown((p.at + ".partial").c_str(), nobody, nobody); }, false},
        {"lock owner", [](P& p) { ::lchown((p.at + ".lock").c_str(), nobody, nobody); }, false},
        {"journal owner", [](P& p) { ::lchown((p.at + ".job.json").c_str(), nobody, nobody); },
         false},
    };
    for (const auto& [label, alter, removed] : cases) {
        if (label.ends_with("owner") && ::geteuid() != 0) {
            continue;  // giving a file away needs root
        }
        test::TempDir dir;
        test::makeTree(dir.path(),
                       {{".tolvane-notes.job.json", "{}"}, {".tolvane-x.partial/", ""}});
        const std::string lower = "0f8fad5b-d9cb-469f-a165-70867728950e";
        Planted planted(dir.path(), label == "lower-case" ? lower : Uuid::random().text());
        alter(planted);
        test::Tree left = test::treeOf(dir.path());
        std::erase_if(left, [&](const auto& entry) {
            return removed && entry.first.find(planted.id) != std::string::npos;
        });
        Progress progress;
        makeStage(dir.path(), "unpack", &progress).remove(&progress);
        EXPECT_EQ(test::treeOf(dir.path()), left) << label;
        EXPECT_EQ(warningOf(progress), "") << label;
    }
}

// What an unpack may leave in its stage: folders deeper than the open-file limit allows with two
// descriptors a level, and restored modes that deny the owner.
void makeHardToRemove(const std::string& stage) {
    std::string deep = stage;
    for (int level = 0; level < 300; ++level) {
        deep += "/d";
    }
    fs::create_directories(deep);
    test::makeTree(stage, {{"x/", ""},
                           {"x/y/", ""},
                           {"x/y/f", ""},
                           {"r/", ""},
                           {"r/f", ""},
                           {"w/", ""},
                           {"w/f", ""}});
    for (const auto& [path, mode] : {std::pair{"/x/y", 0}, {"/x", 0}, {"/r", 0500}, {"/w", 0300}}) {
        fs::permissions(stage + path, fs::perms(mode));
    }
}

// Such a stage goes with its job's clean-up, or with the next job's recovery after a
// cancellation, as an unprivileged user. As root a stale stage that cannot go (root owns a
// folder in it) is planted too: it stays, with a warning, and fails no job.
TEST(StagingLeaseTest, LeftoverStagesDoNotBlockLaterJobs) {
    test::TempDir dir;
    const std::string folder = dir.file("dest");
    test::makeTree(dir.path(), {{"dest/", ""}});
    fs::permissions(dir.path(), fs::perms(0711));
    std::string warning;
    Names left;
    if (::geteuid() == 0) {
        const Planted pinned(folder, Uuid::random().text());
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            ASSERT_EQ(::lchown(entry.path().c_str(), nobody, nobody), 0);
        }
        test::makeTree(pinned.at + ".partial", {{"pinned/", ""}, {"pinned/f", ""}});
        warning = "이전 작업의 임시 작업 폴더를 정리하지 못했습니다: " + pinned.at +
                  ".partial (Permission denied)";
        left = test::namesIn(folder);
    }
    left.push_back("a.zip");
    const test::ChildExit exit = test::runInChild([&] {
        const struct rlimit limit { 512, 512 };
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 ||
            (::geteuid() == 0 &&
             (::chown(folder.c_str(), nobody, nobody) != 0 || !test::dropPrivileges()))) {
            return 10;
        }
        Progress failed, next;
        StagingLease lease = makeStage(folder, "unpack", &failed);
        makeHardToRemove(lease.url());
        lease.remove(&failed);
        const std::string abandoned = makeStage(folder, "unpack").url();  // dropped: cancelled
        makeHardToRemove(abandoned);
        fs::permissions(abandoned, fs::perms::none);
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
