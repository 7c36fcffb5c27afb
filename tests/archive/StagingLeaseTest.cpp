#include "core/archive/StagingLease.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/StrictJson.h"
#include "core/common/UniqueFd.h"
#include "core/common/Uuid.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using Names = std::vector<std::string>;
using Operations = std::vector<std::function<void()>>;

constexpr uid_t nobody = 65534;

Names entries(const std::string& directory) {
    Names names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Every operation fails with exactly the given error.
void expectEachFails(const Operations& operations, const ArchivePipelineError& expected) {
    for (const auto& operation : operations) {
        try {
            operation();
            ADD_FAILURE() << "nothing thrown";
        } catch (const ArchivePipelineError& error) {
            EXPECT_EQ(error, expected);
        }
    }
}

std::optional<std::string> cleanupWarning(const Progress& progress) {
    return progress.userInfoText(ArchiveProgressInfo::cleanupWarningKey);
}

void writeStageFile(const StagingLease& lease, const std::string& name,
                    const std::string& content) {
    UniqueFd fd = lease.createStageFile(name, O_WRONLY);
    posix::writeAll(fd.get(), content.data(), content.size());
}

// Takes the lock through a second open file description: flock conflicts with the lease's own.
UniqueFd lockOf(const std::string& path) {
    UniqueFd fd = posix::open(path, O_RDWR);
    return ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 ? std::move(fd) : UniqueFd();
}

std::string journalText(const std::string& id, const std::string& operation = "unpack",
                        int version = 1, int pid = 4242) {
    return encodeStageJournal({version, id, operation, pid});
}

// Runs `body` in a forked child; returns its exit status, or -1 when it did not exit normally.
int runInChild(const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 102;
        try {
            status = body();
        } catch (...) {
        }
        ::_exit(status);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)
               ? WEXITSTATUS(status)
               : -1;
}

TEST(StagingLeaseTest, JournalEncodesInFieldOrderAndDecodesStrictly) {
    const std::string id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    const std::string text = journalText(id, "pack", 1, 77);
    EXPECT_EQ(text, R"({"version":1,"jobIdentifier":")" + id +
                        R"(","operation":"pack","ownerProcessIdentifier":77})");
    EXPECT_EQ(decodeStageJournal(text), (StageJournal{1, id, "pack", 77}));
    const std::string tail = R"(,"operation":"pack","ownerProcessIdentifier":1})";
    const Names refused = {
        "",
        "[]",
        R"({"version":1.0,"jobIdentifier":"x")" + tail,
        R"({"version":1,"jobIdentifier":"x","operation":"pack","ownerProcessIdentifier":)"
        R"(4294967297})",
        R"({"version":1,"jobIdentifier":"x","operation":"pack"})",
        R"({"version":1,"jobIdentifier":7)" + tail,
        R"({"version":1,"version":1,"jobIdentifier":"x")" + tail};
    for (const std::string& bad : refused) {
        EXPECT_THROW(decodeStageJournal(bad), StrictJson::DecodeError) << bad;
    }
}

TEST(StagingLeaseTest, LifeOfAPackLease) {
    test::TempDir dir;
    const std::string folder = physicalDirectoryURL(dir.path());
    Progress progress;
    StagingLease lease = makeStage(folder + "/", "pack", &progress);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(
        lease.stageName(), match,
        std::regex(R"(\.tolvane-([0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12})\.partial)")))
        << lease.stageName();
    const std::string id = match[1];
    EXPECT_EQ(lease.lockName(), ".tolvane-" + id + ".lock");
    EXPECT_EQ(lease.journalName(), ".tolvane-" + id + ".job.json");
    EXPECT_EQ(entries(folder), (Names{lease.journalName(), lease.lockName(), lease.stageName()}));
    EXPECT_EQ(test::readFile(folder + "/" + lease.journalName()),
              journalText(id, "pack", 1, static_cast<int>(::getpid())));
    for (const auto& [name, mode] : {std::pair{lease.stageName(), 0700},
                                     {lease.lockName(), 0600},
                                     {lease.journalName(), 0600}}) {
        struct stat st {};
        ASSERT_EQ(::lstat((folder + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(mode)) << name;
    }
    EXPECT_FALSE(lockOf(folder + "/" + lease.lockName()).valid());

    writeStageFile(lease, "payload.zip", "zip bytes");
    writeStageFile(lease, "snapshot.jsonl", "rows");
    EXPECT_THROW(lease.createStageFile("payload.zip"), std::system_error);  // exclusive
    // Only the name of the destination counts: the file always lands beside the stage.
    EXPECT_EQ(lease.commitFile("payload.zip", "/somewhere/else/report.zip"),
              folder + "/report.zip");
    EXPECT_EQ(test::readFile(folder + "/report.zip"), "zip bytes");

    lease.remove(&progress);
    EXPECT_EQ(entries(folder), Names{"report.zip"});
    // Removing again touches nothing, even a folder that has changed since.
    test::writeFile(folder + "/" + lease.stageName(), "not ours any more");
    lease.remove(&progress);
    EXPECT_TRUE(exists(folder + "/" + lease.stageName()));
    EXPECT_FALSE(cleanupWarning(progress).has_value());
    ::unlink((folder + "/" + lease.stageName()).c_str());
    // After the lease, every operation refuses.
    expectEachFails(
        {[&] { lease.verifyDestinationParent(); }, [&] { lease.commitFile("x", folder + "/y"); },
         [&] { lease.commitDirectory(folder + "/y"); }, [&] { lease.removeFileFromStage("x"); },
         [&] { lease.createStageFile("x"); }},
        ArchivePipelineError::destinationChanged(folder));

    // A second job takes the next free name.
    StagingLease second = makeStage(folder, "pack");
    writeStageFile(second, "payload.zip", "second");
    EXPECT_EQ(second.commitFile("payload.zip", folder + "/report.zip"), folder + "/report_2.zip");
    second.remove(&progress);
    EXPECT_EQ(entries(folder), (Names{"report.zip", "report_2.zip"}));
    EXPECT_FALSE(cleanupWarning(progress).has_value());
}

TEST(StagingLeaseTest, LifeOfAnUnpackLease) {
    test::TempDir dir;
    const std::string folder = physicalDirectoryURL(dir.path());
    ASSERT_EQ(::mkdir((folder + "/Photos").c_str(), 0700), 0);
    Progress progress;
    StagingLease lease = makeStage(folder, "unpack", &progress);
    EXPECT_EQ(decodeStageJournal(test::readFile(folder + "/" + lease.journalName())).operation,
              "unpack");
    writeStageFile(lease, "preflight.jsonl", "bookkeeping");
    writeStageFile(lease, "keep.txt", "kept");
    ASSERT_EQ(::mkdir((lease.url() + "/album").c_str(), 0700), 0);

    // Cut short at the NUL, the last bad name would delete keep.txt.
    for (const std::string& name :
         Names{"", ".", "..", "album/x", std::string("keep.txt\0x", 10)}) {
        expectEachFails({[&] { lease.removeFileFromStage(name); }},
                        ArchivePipelineError::finalizationFailed("invalid staging filename"));
    }
    expectEachFails(
        {[&] { lease.removeFileFromStage("album"); }},
        ArchivePipelineError::finalizationFailed("staging file changed before cleanup"));
    EXPECT_NO_THROW(lease.removeFileFromStage("missing.jsonl"));
    EXPECT_NO_THROW(lease.removeFileFromStage("preflight.jsonl"));
    EXPECT_EQ(entries(lease.url()), (Names{"album", "keep.txt"}));

    EXPECT_EQ(lease.commitDirectory("/elsewhere/Photos"), folder + "/Photos_2");
    EXPECT_EQ(test::readFile(folder + "/Photos_2/keep.txt"), "kept");
    lease.remove(&progress);
    EXPECT_EQ(entries(folder), (Names{"Photos", "Photos_2"}));
    EXPECT_FALSE(cleanupWarning(progress).has_value());
}

// The destination folder is renamed and something else may take its name, or the link it was
// chosen through is pointed elsewhere.
TEST(StagingLeaseTest, AChangedDestinationCommitsNothing) {
    for (const std::string change :
         {"renamed", "replaced by a folder", "replaced by a link", "chosen link retargeted"}) {
        SCOPED_TRACE(change);
        test::TempDir dir;
        const std::string root = physicalDirectoryURL(dir.path());
        const std::string dest = root + "/dest";
        const bool throughLink = change == "chosen link retargeted";
        ASSERT_EQ(::mkdir(dest.c_str(), 0700), 0);
        ASSERT_EQ(::symlink("dest", (root + "/link").c_str()), 0);
        StagingLease lease = makeStage(root + (throughLink ? "/link" : "/dest"), "pack");
        EXPECT_EQ(lease.parentURL(), dest);
        writeStageFile(lease, "payload.zip", "zip");
        if (throughLink) {
            ASSERT_EQ(::mkdir((root + "/other").c_str(), 0700), 0);
            ASSERT_EQ(::unlink((root + "/link").c_str()), 0);
            ASSERT_EQ(::symlink("other", (root + "/link").c_str()), 0);
        } else {
            ASSERT_EQ(::rename(dest.c_str(), (root + "/moved").c_str()), 0);
            ASSERT_TRUE(change != "replaced by a folder" || ::mkdir(dest.c_str(), 0700) == 0);
            ASSERT_TRUE(change != "replaced by a link" || ::symlink("moved", dest.c_str()) == 0);
        }
        expectEachFails({[&] { lease.verifyDestinationParent(); },
                         [&] { lease.commitFile("payload.zip", dest + "/report.zip"); },
                         [&] { lease.commitDirectory(dest + "/Photos"); }},
                        ArchivePipelineError::destinationChanged(
                            throughLink ? lease.selectedParentURL() : lease.parentURL()));
        const std::string stageFolder = throughLink ? dest : root + "/moved";
        EXPECT_EQ(test::readFile(stageFolder + "/" + lease.stageName() + "/payload.zip"), "zip");
        Progress progress;
        lease.remove(&progress);
        EXPECT_FALSE(cleanupWarning(progress).has_value());
        EXPECT_TRUE(entries(stageFolder).empty());
    }
}

TEST(StagingLeaseTest, AReplacedStageIsNotUsedOrRemoved) {
    test::TempDir dir;
    const std::string folder = physicalDirectoryURL(dir.path());
    StagingLease lease = makeStage(folder, "unpack");
    writeStageFile(lease, "keep.txt", "ours");
    ASSERT_EQ(::rename(lease.url().c_str(), (folder + "/aside").c_str()), 0);
    ASSERT_EQ(::mkdir(lease.url().c_str(), 0700), 0);
    test::writeFile(lease.url() + "/impostor.txt", "theirs");
    expectEachFails(
        {[&] { lease.createStageFile("x"); }, [&] { lease.removeFileFromStage("impostor.txt"); },
         [&] { lease.commitFile("impostor.txt", folder + "/out"); },
         [&] { lease.commitDirectory(folder + "/out"); }},
        ArchivePipelineError::destinationChanged(folder));
    Progress progress;
    lease.remove(&progress);
    EXPECT_EQ(cleanupWarning(progress), "임시 작업 파일이 남아 있습니다: " + lease.url());
    EXPECT_EQ(test::readFile(lease.url() + "/impostor.txt"), "theirs");
    // With the stage name still taken, the markers stay for a later recovery.
    EXPECT_TRUE(exists(folder + "/" + lease.lockName()));
    EXPECT_TRUE(exists(folder + "/" + lease.journalName()));
}

TEST(StagingLeaseTest, BadArgumentsTouchNothing) {
    test::TempDir dir;
    EXPECT_THROW(makeStage(dir.path(), "delete"), std::invalid_argument);
    try {
        makeStage(dir.file("missing"), "pack");
        ADD_FAILURE() << "expected an error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_TRUE(entries(dir.path()).empty());
}

// Creates a file only its owner may read, as the lease creates its markers.
void createPrivate(const std::string& path, const std::string& content) {
    const UniqueFd fd = posix::open(path, O_WRONLY | O_CREAT | O_EXCL, 0600);
    posix::writeAll(fd.get(), content.data(), content.size());
}

// A stale stage as a dead job leaves it: stage with content, lock file, journal.
struct Planted {
    explicit Planted(std::string parent) : folder(std::move(parent)) {}
    std::string folder;
    std::string id = Uuid::random().text();
    UniqueFd held;  // a lock another open file description holds
    std::string stage() const { return folder + "/.tolvane-" + id + ".partial"; }
    std::string lock() const { return folder + "/.tolvane-" + id + ".lock"; }
    std::string journal() const { return folder + "/.tolvane-" + id + ".job.json"; }
    Planted& journalSays(const std::string& text) {
        ::unlink(journal().c_str());
        createPrivate(journal(), text);
        return *this;
    }
    void holdLock() { held = lockOf(lock()); }
    // Moves `path` to `aside` and leaves a link to it in its place.
    void linkAside(const std::string& path, const std::string& aside) const {
        EXPECT_EQ(::rename(path.c_str(), (folder + "/" + aside).c_str()), 0);
        EXPECT_EQ(::symlink(aside.c_str(), path.c_str()), 0);
    }
};

Planted plantStaleStage(const std::string& folder, const std::string& outside) {
    Planted planted{folder};
    EXPECT_EQ(::mkdir(planted.stage().c_str(), 0700), 0);
    EXPECT_EQ(::mkdir((planted.stage() + "/a").c_str(), 0700), 0);
    EXPECT_EQ(::mkdir((planted.stage() + "/a/b").c_str(), 0700), 0);
    test::writeFile(planted.stage() + "/a/b/file.txt", "data");
    test::writeFile(planted.stage() + "/top.txt", "data");
    // A link to a directory outside goes as a link; what it points to stays.
    EXPECT_EQ(::symlink(outside.c_str(), (planted.stage() + "/a/escape").c_str()), 0);
    createPrivate(planted.lock(), "");
    planted.journalSays(journalText(planted.id));
    return planted;
}

TEST(StagingLeaseTest, RecoveryRemovesOnlyProvablyStaleStages) {
    struct Case {
        const char* label;
        std::function<void(Planted&)> alter;
        bool removed;
        bool needsRoot = false;  // changing an owner needs root
    };
    const auto padded = [](std::string text, std::size_t size) {
        return text.append(size - text.size(), ' ');
    };
    const auto giveAway = [](const std::string& path) {
        EXPECT_EQ(::lchown(path.c_str(), nobody, nobody), 0) << path;
    };
    const std::vector<Case> cases = {
        {"dead job", [](auto&) {}, true},
        {"live job", [](auto& p) { p.holdLock(); }, false},
        {"live job, broken journal", [](auto& p) { p.journalSays("garbage").holdLock(); }, false},
        {"other job", [](auto& p) { p.journalSays(journalText(Uuid::random().text())); }, false},
        {"other operation", [](auto& p) { p.journalSays(journalText(p.id, "delete")); }, false},
        {"version 2", [](auto& p) { p.journalSays(journalText(p.id, "pack", 2)); }, false},
        {"no process", [](auto& p) { p.journalSays(journalText(p.id, "pack", 1, 0)); }, false},
        {"1024 bytes", [&](auto& p) { p.journalSays(padded(journalText(p.id), 1024)); }, true},
        {"1025 bytes", [&](auto& p) { p.journalSays(padded(journalText(p.id), 1025)); }, false},
        {"no journal", [](auto& p) { ::unlink(p.journal().c_str()); }, false},
        {"journal link", [](auto& p) { p.linkAside(p.journal(), "good.json"); }, false},
        {"no lock", [](auto& p) { ::unlink(p.lock().c_str()); }, false},
        {"lock link", [](auto& p) { p.linkAside(p.lock(), "real.lock"); }, false},
        {"stage link", [](auto& p) { p.linkAside(p.stage(), "elsewhere"); }, false},
        {"lower-case names",
         [](auto& p) {
             std::string id = p.id;
             std::transform(id.begin(), id.end(), id.begin(),
                            [](char c) { return std::tolower(c); });
             for (const char* suffix : {".partial", ".lock", ".job.json"}) {
                 const std::string prefix = p.folder + "/.tolvane-";
                 ::rename((prefix + p.id + suffix).c_str(), (prefix + id + suffix).c_str());
             }
             p.id = id;
             p.journalSays(journalText(id));
         },
         false},
        {"stage owner", [&](auto& p) { giveAway(p.stage()); }, false, true},
        {"lock owner", [&](auto& p) { giveAway(p.lock()); }, false, true},
        {"journal owner", [&](auto& p) { giveAway(p.journal()); }, false, true},
    };
    for (const Case& c : cases) {
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        SCOPED_TRACE(c.label);
        test::TempDir dir;
        const std::string folder = dir.file("dest");
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        test::writeFile(dir.file("precious.txt"), "precious");
        Planted planted = plantStaleStage(folder, dir.path());
        c.alter(planted);
        const Names before = entries(folder);

        Progress progress;
        StagingLease lease = makeStage(folder, "pack", &progress);
        lease.remove(&progress);
        EXPECT_FALSE(cleanupWarning(progress).has_value());
        EXPECT_EQ(test::readFile(dir.file("precious.txt")), "precious");
        EXPECT_EQ(entries(folder), c.removed ? Names{} : before);
        if (!c.removed) {
            EXPECT_EQ(test::readFile(planted.stage() + "/a/b/file.txt"), "data");
        }
    }
}

// Markers without a stage go only when the journal proves them ours and the lock is free.
TEST(StagingLeaseTest, RecoveryOfOrphanMarkers) {
    for (const auto& [lock, journal] : std::vector<std::pair<std::string, bool>>{
             {"free", true}, {"missing", true}, {"held", true}, {"free", false}}) {
        SCOPED_TRACE(lock + (journal ? " lock with a journal" : " lock alone"));
        test::TempDir dir;
        Planted planted{dir.path()};
        if (lock != "missing") {
            createPrivate(planted.lock(), "");
            planted.held = lock == "held" ? lockOf(planted.lock()) : UniqueFd();
        }
        if (journal) {
            planted.journalSays(journalText(planted.id));
        }
        // Names of no job are never touched.
        test::writeFile(dir.file(".tolvane-notes.job.json"), "{}");
        ASSERT_EQ(::mkdir(dir.file(".tolvane-x.partial").c_str(), 0700), 0);
        Names expected = entries(dir.path());
        if (journal && lock == "free") {
            std::erase(expected, ".tolvane-" + planted.id + ".lock");
            std::erase(expected, ".tolvane-" + planted.id + ".job.json");
        }
        makeStage(dir.path(), "unpack").remove(nullptr);
        EXPECT_EQ(entries(dir.path()), expected);
    }
}

// Nests `depth` directories named "d" below `root`, with a file at the bottom.
void makeDeepTree(std::string path, int depth) {
    for (int i = 0; i < depth; ++i) {
        path += "/d";
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << i;
    }
    test::writeFile(path + "/f", "x");
}

// Listing a directory and closing the listing before descending keeps one descriptor per level.
TEST(StagingLeaseTest, StagesDeeperThanTheOpenFileLimitAreRemoved) {
    test::TempDir dir;
    const std::string folder = physicalDirectoryURL(dir.path());
    EXPECT_EQ(runInChild([&] {
                  const struct rlimit limit { 512, 512 };  // one descriptor per level, not two
                  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                      return 10;
                  }
                  std::string abandoned;
                  {
                      StagingLease dropped = makeStage(folder, "unpack");
                      makeDeepTree(dropped.url(), 300);
                      abandoned = dropped.url();
                  }
                  Progress progress;
                  StagingLease lease = makeStage(folder, "unpack", &progress);
                  makeDeepTree(lease.url(), 300);
                  lease.remove(&progress);
                  return exists(abandoned)                      ? 1
                         : !entries(folder).empty()             ? 2
                         : cleanupWarning(progress).has_value() ? 3
                                                                : 0;
              }),
              0);
}

// Leaves directories inside the stage without the owner permissions an unpack may have
// restored on them: no search, no read, no write, at several depths.
void restrictStage(const std::string& stage) {
    for (const char* path : {"/locked", "/locked/inner", "/readonly", "/unlistable"}) {
        ::mkdir((stage + path).c_str(), 0700);
        test::writeFile(stage + path + "/file", "x");
    }
    ::chmod((stage + "/locked/inner").c_str(), 0);
    ::chmod((stage + "/locked").c_str(), 0);
    ::chmod((stage + "/readonly").c_str(), 0500);
    ::chmod((stage + "/unlistable").c_str(), 0300);
}

// A stage left with restored unreadable folders after a failure or a cancellation must not block
// every later job in the folder. Permissions bind only an unprivileged user, so when the test runs
// as root the child drops to nobody in a folder it owns.
TEST(StagingLeaseTest, RestrictedStagesDoNotBlockLaterJobs) {
    test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    const std::string folder = dir.file("dest");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);

    // As root, also a stale stage this user can never remove: root owns a directory inside it.
    std::string pinned;
    if (::geteuid() == 0) {
        Planted planted = plantStaleStage(folder, "/nonexistent");
        for (const std::string& path :
             {planted.stage(), planted.stage() + "/a", planted.stage() + "/a/b",
              planted.stage() + "/a/b/file.txt", planted.stage() + "/top.txt",
              planted.stage() + "/a/escape", planted.lock(), planted.journal()}) {
            ASSERT_EQ(::lchown(path.c_str(), nobody, nobody), 0) << path;
        }
        ASSERT_EQ(::mkdir((planted.stage() + "/pinned").c_str(), 0755), 0);
        test::writeFile(planted.stage() + "/pinned/file", "root's");
        pinned = planted.stage();
    }
    const std::optional<std::string> pinnedWarning =
        pinned.empty()
            ? std::nullopt
            : std::optional("이전 작업의 임시 작업 폴더를 정리하지 못했습니다: " + pinned + " (" +
                            std::generic_category().message(EACCES) + ")");

    const int status = runInChild([&]() -> int {
        if (::geteuid() == 0 &&
            (::chown(folder.c_str(), nobody, nobody) != 0 || ::setgroups(0, nullptr) != 0 ||
             ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
            return 100;
        }
        // A job that fails after restoring restrictive modes still removes its stage.
        Progress progress;
        StagingLease failed = makeStage(folder, "unpack", &progress);
        restrictStage(failed.url());
        failed.remove(&progress);
        if (exists(failed.url()) || exists(folder + "/" + failed.lockName())) {
            return 1;
        }
        if (cleanupWarning(progress) != pinnedWarning) {
            return 2;
        }
        // A cancelled job that never got to clean up, with even its stage closed off.
        std::string abandoned;
        {
            StagingLease cancelled = makeStage(folder, "unpack");
            restrictStage(cancelled.url());
            abandoned = cancelled.url();
        }
        ::chmod(abandoned.c_str(), 0);
        Progress next;
        StagingLease later = makeStage(folder, "pack", &next);
        if (exists(abandoned)) {
            return 3;
        }
        writeStageFile(later, "payload.zip", "zip");
        if (later.commitFile("payload.zip", folder + "/report.zip") != folder + "/report.zip") {
            return 4;
        }
        later.remove(&next);
        if (cleanupWarning(next) != pinnedWarning) {
            return 5;
        }
        // Only the output and the stage that could not be removed are left.
        Names expected = {"report.zip"};
        if (!pinned.empty()) {
            const std::string id = pinned.substr(pinned.size() - 44, 36);
            expected = {".tolvane-" + id + ".job.json", ".tolvane-" + id + ".lock",
                        ".tolvane-" + id + ".partial", "report.zip"};
        }
        return entries(folder) == expected ? 0 : 6;
    });
    EXPECT_EQ(status, 0);
    if (!pinned.empty()) {
        EXPECT_EQ(test::readFile(pinned + "/pinned/file"), "root's");
    }
}

}  // namespace
}  // namespace tolvane
