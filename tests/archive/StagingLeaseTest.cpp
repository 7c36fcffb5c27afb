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
constexpr unsigned nobody = test::unprivilegedId;

std::string warningOf(const Progress& progress) {
    return progress.userInfoText(ArchiveProgressInfo::cleanupWarningKey).value_or("");
}

// A flock through a second open file description, which conflicts with the lease's own.
UniqueFd lockOf(const std::string& path) {
    UniqueFd fd = posix::open(path, O_RDWR);
    return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 ? std::move(fd) : UniqueFd();
}

// The journal a lease writes is compact JSON with its keys in field order; a process
// identifier beyond 32 bits is not one.
TEST(StagingLeaseTest, JournalIsCompactAndDecodedStrictly) {
    test::TempDir dir;
    const StagingLease lease = makeStage(dir.path(), "unpack");
    const std::string id = lease.stageName().substr(9, 36), pid = std::to_string(::getpid());
    const std::string text = R"({"version":1,"jobIdentifier":")" + id +
                             R"(","operation":"unpack","ownerProcessIdentifier":)";
    EXPECT_EQ(test::readFile(dir.file(lease.journalName())), text + pid + "}");
    EXPECT_THROW(decodeStageJournal(text + "4294967297}"), StrictJson::DecodeError);
}

// Each row makes a lease through a link to "dest", with "a.zip" and "album/" in its stage, takes
// one step and removes the lease. Outputs go beside the stage under free names; bad names, a
// folder that changed (moved, replaced by a link, the link pointing elsewhere) and a replaced
// stage commit nothing; the removal takes only what the lease made, and a stage that is not its
// own keeps the markers for a later recovery. Each row: the step, its outcome, and what the
// tree gained (+) and lost (-) in the end, the job's identifier shown as "*".
TEST(StagingLeaseTest, LifeOfALease) {
    test::TempDir dir;
    const std::string root = physicalDirectoryURL(dir.path()), dest = root + "/dest";
    const std::string link = root + "/link", changed = "destinationChanged: " + dest;
    const std::string invalid = "finalizationFailed: invalid staging filename";
    const std::string moved = " moved/", kept =
                                             " dest/.tolvane-*.job.json dest/.tolvane-*.lock "
                                             "dest/.tolvane-*.partial/ x/ x/a.zip x/album/";
    const auto move = [&](bool toLink) {
        fs::rename(dest, root + "/moved");
        toLink ? fs::create_directory_symlink("moved", dest) : (void)fs::create_directory(dest);
    };
    const auto replace = [&](const StagingLease& l) {
        fs::rename(l.url(), root + "/x"), fs::create_directory(l.url());
    };
    const std::tuple<std::function<void(StagingLease&)>, std::string, std::string> cases[] = {
        {[&](auto& l) { EXPECT_EQ(l.commitFile("a.zip", "/x/b.zip"), dest + "/b.zip"); }, "ok",
         " dest/b.zip"},
        {[&](auto& l) { EXPECT_EQ(l.commitDirectory("/x/out"), dest + "/out"); }, "ok",
         " dest/out/ dest/out/a.zip dest/out/album/"},
        {[](auto& l) { l.createStageFile("a.zip"); }, "errno EEXIST", ""},
        {[](auto& l) { l.createStageFile("album/x"); }, invalid, ""},
        {[](auto& l) { l.removeFileFromStage(std::string("a.zip\0x", 7)); }, invalid, ""},
        {[](auto& l) { l.removeFileFromStage("album"); },
         "finalizationFailed: staging file changed before cleanup", ""},
        {[](auto& l) {
             l.removeFileFromStage("a.zip"), l.removeFileFromStage("a.zip"),
                 l.createStageFile("a.zip");
         },
         "ok", ""},
        {[](auto& l) { l.commitFile("..", "a"); }, changed, ""},
        {[](auto& l) { l.remove(nullptr), l.remove(nullptr), l.commitFile("a.zip", "a"); }, changed,
         ""},
        {[&](auto& l) { move(false), l.commitFile("a.zip", "a"); }, changed, moved},
        {[&](auto& l) { move(false), l.commitDirectory("a"); }, changed, moved},
        {[&](auto& l) { move(true), l.commitFile("a.zip", "a"); }, changed, " dest moved/"},
        {[&](auto& l) {
             fs::remove(link), fs::create_directory_symlink(".", link), l.commitFile("a.zip", "a");
         },
         "destinationChanged: " + link, ""},
        {[&](auto& l) { replace(l), l.commitFile("a.zip", "a"); }, changed, kept},
        {[&](auto& l) { replace(l), l.commitDirectory("a"); }, changed, kept},
    };
    for (const auto& [step, outcome, changes] : cases) {
        fs::remove_all(root), fs::create_directory(root);
        test::makeTree(root, {{"dest/", ""}});
        fs::create_directory_symlink("dest", link);
        StagingLease lease = makeStage(link, "pack");
        test::makeTree(lease.url(), {{"a.zip", ""}, {"album/", ""}});
        EXPECT_FALSE(lockOf(dest + "/" + lease.lockName()).valid());
        EXPECT_EQ(test::outcomeOf([&] { step(lease); }), outcome);
        Progress progress;
        lease.remove(&progress);
        std::string listing;
        for (const auto& entry : test::treeOf(root)) {
            std::string path = entry.first;
            if (const auto at = path.find(lease.stageName().substr(9, 36)); at != path.npos) {
                path.replace(at, 36, "*");
            }
            listing += path == "dest/" || path == "link" ? "" : " " + path;
        }
        EXPECT_EQ(listing, changes);
        EXPECT_EQ(warningOf(progress),
                  changes == kept ? "임시 작업 파일이 남아 있습니다: " + lease.url() : "");
    }
}

// A dead job's leftovers in `folder`: a stage holding a file and a link out of it, a free lock
// and a journal (rewritten by journal()), any of which link() replaces by a link to it.
struct Planted {
    Planted(const std::string& folder, std::string job)
        : id(std::move(job)), at(folder + "/.tolvane-" + id) {
        const std::string name = ".tolvane-" + id;
        test::makeTree(folder,
                       {{name + ".partial/", ""}, {name + ".partial/f", ""}, {name + ".lock", ""}});
        fs::create_directory_symlink(folder, at + ".partial/out");
        journal();
    }
    void journal(std::int64_t version = 1, std::size_t size = 0, std::string job = {}) const {
        std::string text = encodeStageJournal({version, job.empty() ? id : job, "pack", 1});
        test::writeFile(at + ".job.json", text.append(size - std::min(size, text.size()), ' '));
    }
    void link(const std::string& suffix) const {
        fs::rename(at + suffix, at + "-aside"),
            fs::create_symlink(fs::path(at + "-aside").filename(), at + suffix);
    }
    std::string id, at;
    UniqueFd held;
};

// What an unpack may leave in its stage: folders deeper than the open-file limit allows with two
// descriptors a level, and restored modes that deny the owner, the stage's own included.
void makeHardToRemove(const std::string& stage) {
    std::string deep = stage;
    for (int level = 0; level < 300; ++level) {
        deep += "/d";
    }
    fs::create_directories(deep);
    for (const std::string folder : {"r", "w", "x", "x/y"}) {
        test::makeTree(stage, {{folder + "/", ""}, {folder + "/f", ""}});
    }
    for (const auto& [folder, mode] :
         {std::pair{"/x/y", 0}, {"/x", 0}, {"/r", 0500}, {"/w", 0300}, {"", 0}}) {
        fs::permissions(stage + folder, fs::perms(mode));
    }
}

// The next job's recovery, run by an unprivileged user, takes away a stage, or orphan markers,
// only when a free lock and a strictly decoded journal of the same job, all regular files and
// folders of this user, prove them a dead job's, however hard the stage is to remove; names no
// job of ours would use are never touched. A stale stage that still cannot go (root owns a
// folder in it) stays with a warning and fails no job. Each row: the change to the dead job's
// leftovers, what root keeps (only when run as root), whether the leftovers go.
TEST(StagingLeaseTest, RecoveryTakesOnlyProvablyStaleStages) {
    const std::tuple<std::string, std::function<void(Planted&)>, std::string, bool> cases[] = {
        {"dead job", [](auto&) {}, "", true},
        {"hard to remove", [](auto& p) { makeHardToRemove(p.at + ".partial"); }, "", true},
        {"orphan markers", [](auto& p) { fs::remove_all(p.at + ".partial"); }, "", true},
        {"1024-byte journal", [](auto& p) { p.journal(1, 1024); }, "", true},
        {"1025-byte journal", [](auto& p) { p.journal(1, 1025); }, "", false},
        {"live job", [](auto& p) { p.held = lockOf(p.at + ".lock"); }, "", false},
        {"other job", [](auto& p) { p.journal(1, 0, Uuid::random().text()); }, "", false},
        {"version 2", [](auto& p) { p.journal(2); }, "", false},
        {"orphan journal, lock a link",
         [](auto& p) { fs::remove_all(p.at + ".partial"), p.link(".lock"); }, "", false},
        {"stage link", [](auto& p) { p.link(".partial"); }, "", false},
        {"journal link", [](auto& p) { p.link(".job.json"); }, "", false},
        {"lower-case", [](auto&) {}, "", false},
        {"stage owner", [](auto&) {}, ".partial", false},
        {"lock owner", [](auto&) {}, ".lock", false},
        {"journal owner", [](auto&) {}, ".job.json", false},
        {"pinned",
         [](auto& p) {
             fs::remove(p.at + ".partial/f"), fs::remove(p.at + ".partial/out");
             test::makeTree(p.at + ".partial", {{"pinned/", ""}, {"pinned/f", ""}});
         },
         ".partial/pinned", false},
    };
    for (const auto& [label, alter, rootKeeps, removed] : cases) {
        if (!rootKeeps.empty() && ::geteuid() != 0) {
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
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            const std::string path = entry.path();
            if (rootKeeps.empty() || !path.starts_with(planted.at + rootKeeps)) {
                ::lchown(path.c_str(), nobody, nobody);
            }
        }
        ::chown(dir.path().c_str(), nobody, nobody);
        const std::string warning =
            label != "pinned" ? ""
                              : "이전 작업의 임시 작업 폴더를 정리하지 못했습니다: " + planted.at +
                                    ".partial (Permission denied)";
        const test::ChildExit exit = test::runInChild([&] {
            const struct rlimit limit { 512, 512 };
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || !test::dropPrivileges()) {
                return 10;
            }
            Progress made, removedBy;
            makeStage(dir.path(), "unpack", &made).remove(&removedBy);
            return warningOf(made) == warning && warningOf(removedBy) == warning ? 0 : 1;
        });
        EXPECT_TRUE(exit.succeeded()) << label << ": " << exit.describe();
        EXPECT_EQ(test::treeOf(dir.path()), left) << label;
    }
}

}  // namespace
}  // namespace tolvane
