#include "core/archive/StagingLease.h"

#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <tuple>

#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Posix.h"
#include "core/common/Uuid.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
namespace fs = std::filesystem;
constexpr unsigned nobody = test::unprivilegedId;

// The jobs of these tests record their stages in a data folder of their own, never the user's.
class PrivateDataFolder : public testing::Environment {
public:
    void SetUp() override {
        folder_.emplace();
        ::setenv("XDG_DATA_HOME", folder_->path().c_str(), 1);
    }
    void TearDown() override { folder_.reset(); }

private:
    std::optional<test::TempDir> folder_;
};
[[maybe_unused]] testing::Environment* const privateDataFolder =
    testing::AddGlobalTestEnvironment(new PrivateDataFolder);

// Bad names and a swapped folder, link or stage commit nothing; a lease removed (twice) while its
// stage is swapped away takes only what it made and keeps the markers for a later recovery.
TEST(StagingLeaseTest, LifeOfALease) {
    test::TempDir dir;
    const std::string root = physicalDirectoryURL(dir.path()), dest = root + "/dest";
    const std::string link = root + "/link", other = root + "/other",
                      changed = "destinationChanged: " + dest;
    test::makeTree(root, {{"dest/", ""}, {"other/", ""}});
    fs::create_directory_symlink("dest", link),
        fs::create_directory_symlink("other", root + "/away");
    fs::create_directory_symlink("alias", root + "/alias");  // leads to "dest" once swapped with it
    StagingLease lease = makeStage(link, "pack");
    const std::string id = lease.stageName().substr(9, 36);
    EXPECT_EQ(test::readFile(dest + "/" + lease.journalName()),
              encodeStageJournal({1, id, "pack", ::getpid()}));
    EXPECT_NE(::flock(posix::open(dest + "/" + lease.lockName(), O_RDWR).get(), LOCK_EX | LOCK_NB),
              0);
    test::makeTree(lease.url(), {{"a.zip", ""}, {"album/", ""}});
    const auto swap = [&](const std::string& a, const std::string& b) {
        return [=] { fs::rename(a, root + "/t"), fs::rename(b, a), fs::rename(root + "/t", b); };
    };
    const std::function<void()> none = [] {}, stage = swap(lease.url(), other);
    const std::string invalid = "finalizationFailed: invalid staging filename";
    const std::tuple<std::function<void()>, std::function<void()>, std::string> steps[] = {
        {none, [&] { lease.createStageFile("album/x"); }, invalid},
        {none, [&] { lease.removeFileFromStage(std::string("a.zip\0x", 7)); }, invalid},
        {none, [&] { lease.commitFile("..", "a"); }, "destinationChanged: " + dest},
        {none, [&] { lease.removeFileFromStage("album"); },
         "finalizationFailed: staging file changed before cleanup"},
        {none, [&] { lease.createStageFile("a.zip"); }, "errno EEXIST"},
        {swap(dest, other), [&] { lease.commitFile("a.zip", "a"); }, changed},
        {swap(dest, root + "/alias"), [&] { lease.commitFile("a.zip", "a"); }, changed},
        {swap(link, root + "/away"), [&] { lease.commitFile("a.zip", "a"); },
         "destinationChanged: " + link},
        {stage, [&] { lease.commitFile("a.zip", "a"); }, changed},
        {stage, [&] { lease.commitDirectory("a"); }, changed},
        {none, [&] { EXPECT_EQ(lease.commitFile("a.zip", "/x/b.zip"), dest + "/b.zip"); }, "ok"},
    };
    for (const auto& [change, step, outcome] : steps) {
        change();
        EXPECT_EQ(test::outcomeOf(step), outcome);
        change();  // back as it was
    }
    Progress progress;
    stage(), lease.remove(&progress), lease.remove(&progress);
    std::string listing;
    for (const auto& entry : test::treeOf(root)) {
        listing += " " + entry.first;
    }
    const std::string marker = " dest/.tolvane-" + id;
    EXPECT_EQ(listing, " alias away dest/" + marker + ".job.json" + marker + ".lock" + marker +
                           ".partial/ dest/b.zip link other/ other/album/");
}

// A dead job's leftovers in `folder`, its record included; link() swaps one for a link to it.
struct Planted {
    explicit Planted(const std::string& folder)
        : id(makeStage(folder, "pack").stageName().substr(9, 36)),  // dropped: the job died
          at(folder + "/.tolvane-" + id),
          record(stageRecordDirectory() + "/" + id + ".json") {
        test::makeTree(at + ".partial", {{"f", ""}});
        fs::create_directory_symlink(folder, at + ".partial/out");
    }
    void journal(std::size_t size = 0, std::string job = {}, int process = ::getpid()) const {
        std::string text = encodeStageJournal({1, job.empty() ? id : job, "pack", process});
        test::writeFile(at + ".job.json", text.append(size - std::min(size, text.size()), ' '));
    }
    void link(const std::string& suffix) const {
        fs::rename(at + suffix, at + "-aside"),
            fs::create_symlink(fs::path(at + "-aside").filename(), at + suffix);
    }
    std::string id, at, record;
    UniqueFd held;
};

// Folders deeper than the open-file limit allows, and modes that deny the owner, the stage's too.
void makeHardToRemove(const std::string& stage) {
    for (std::string deep = stage; deep.size() < stage.size() + 600; deep += "/d") {
        fs::create_directory(deep + "/d");
    }
    for (const auto& [folder, mode] :
         {std::pair{"/x/y", 0}, {"/x", 0}, {"/r", 0500}, {"/w", 0300}, {"", 0}}) {
        fs::create_directories(stage + folder), test::writeFile(stage + folder + "/f", "");
        fs::permissions(stage + folder, fs::perms(mode));
    }
}

// Recovery, run unprivileged, takes a stage or orphan markers only when a free lock and a strict
// journal of the same job, all this user's plain files, prove them dead, and the job's record in
// the user's data folder proves them made here by this program (an unpacked archive can plant the
// rest); a stage that cannot go stays with a warning. Each row: change, what root keeps (as root
// only), whether they go.
TEST(StagingLeaseTest, RecoveryTakesOnlyProvablyStaleStages) {
    const std::tuple<std::string, std::function<void(Planted&)>, std::string, bool> cases[] = {
        {"dead job", [](auto&) {}, "", true},
        {"hard to remove", [](auto& p) { makeHardToRemove(p.at + ".partial"); }, "", true},
        {"orphan markers", [](auto& p) { fs::remove_all(p.at + ".partial"); }, "", true},
        {"1025-byte journal", [](auto& p) { p.journal(1025); }, "", false},
        {"live job",
         [](auto& p) { ::flock((p.held = posix::open(p.at + ".lock", O_RDWR)).get(), LOCK_EX); },
         "", false},
        {"other job", [](auto& p) { p.journal(0, Uuid::random().text()); }, "", false},
        {"look-alike, no record", [](auto& p) { fs::remove(p.record); }, "", false},
        {"orphan look-alike",
         [](auto& p) { fs::remove_all(p.at + ".partial"), fs::remove(p.record); }, "", false},
        {"other process", [](auto& p) { p.journal(0, {}, 1); }, "", false},
        {"orphan journal, lock a link",
         [](auto& p) { fs::remove_all(p.at + ".partial"), p.link(".lock"); }, "", false},
        {"stage link", [](auto& p) { p.link(".partial"); }, "", false},
        {"journal link", [](auto& p) { p.link(".job.json"); }, "", false},
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
    const std::string dataFolder = std::getenv("XDG_DATA_HOME");
    for (const auto& [label, alter, rootKeeps, removed] : cases) {
        if (!rootKeeps.empty() && ::geteuid() != 0) {
            continue;  // giving a file away needs root
        }
        test::TempDir dir, data;
        ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
        test::makeTree(dir.path(),
                       {{".tolvane-notes.job.json", "{}"}, {".tolvane-x.partial/", ""}});
        Planted planted(dir.path());
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
        for (const auto& entry : fs::recursive_directory_iterator(data.path())) {
            ::lchown(entry.path().c_str(), nobody, nobody);
        }
        ::chown(dir.path().c_str(), nobody, nobody), ::chown(data.path().c_str(), nobody, nobody);
        const test::ChildExit exit = test::runInChild([&] {
            const struct rlimit limit { 512, 512 };
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0 || !test::dropPrivileges()) {
                return 10;
            }
            Progress made;
            makeStage(dir.path(), "unpack", &made).remove(nullptr);
            const bool warned = made.userInfo(ArchiveProgressInfo::cleanupWarningKey).has_value();
            return warned == (label == "pinned") ? 0 : 1;
        });
        EXPECT_TRUE(exit.succeeded()) << label << ": " << exit.describe();
        EXPECT_EQ(test::treeOf(dir.path()), left) << label;
        EXPECT_TRUE(!removed || !fs::exists(planted.record)) << label;
        ::setenv("XDG_DATA_HOME", dataFolder.c_str(), 1);
    }
}

}  // namespace
}  // namespace tolvane
