#include "core/archive/StagingLease.h"

#include <gtest/gtest.h>

#include <dirent.h>
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

using ArchivePipeline::makeStage;
using ArchivePipeline::StageJournal;
using ArchivePipeline::StagingLease;
using Code = ArchivePipelineError::Code;

constexpr uid_t nobody = 65534;

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

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
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

std::optional<std::string> cleanupWarning(const Progress& progress) {
    return progress.userInfoText(ArchiveProgressInfo::cleanupWarningKey);
}

void writeStageFile(const StagingLease& lease, const std::string& name,
                    const std::string& content) {
    UniqueFd fd = lease.createStageFile(name, O_WRONLY);
    posix::writeAll(fd.get(), content.data(), content.size());
}

// A second open file description of the lock file: flock conflicts with the lease's own.
bool lockIsFree(const std::string& path) {
    UniqueFd fd = posix::open(path, O_RDWR);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    ::flock(fd.get(), LOCK_UN);
    return true;
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string journalText(const std::string& id, const std::string& operation = "unpack",
                        int version = 1, int pid = 4242) {
    return ArchivePipeline::encodeStageJournal({version, id, operation, pid});
}

TEST(StagingLeaseTest, JournalEncodesInFieldOrderAndDecodesStrictly) {
    const std::string id = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    EXPECT_EQ(journalText(id, "pack", 1, 77),
              "{\"version\":1,\"jobIdentifier\":\"" + id +
                  "\",\"operation\":\"pack\",\"ownerProcessIdentifier\":77}");
    EXPECT_EQ(ArchivePipeline::decodeStageJournal(journalText(id, "pack", 1, 77)),
              (StageJournal{1, id, "pack", 77}));
    const std::vector<std::string> refused = {
        "",
        "[]",
        "{\"version\":1.0,\"jobIdentifier\":\"x\",\"operation\":\"pack\","
        "\"ownerProcessIdentifier\":1}",
        "{\"version\":1,\"jobIdentifier\":\"x\",\"operation\":\"pack\","
        "\"ownerProcessIdentifier\":4294967297}",
        "{\"version\":1,\"jobIdentifier\":\"x\",\"operation\":\"pack\"}",
        "{\"version\":1,\"jobIdentifier\":7,\"operation\":\"pack\",\"ownerProcessIdentifier\":1}",
        "{\"version\":1,\"version\":1,\"jobIdentifier\":\"x\",\"operation\":\"pack\","
        "\"ownerProcessIdentifier\":1}",
    };
    for (const std::string& text : refused) {
        EXPECT_THROW(ArchivePipeline::decodeStageJournal(text), StrictJson::DecodeError) << text;
    }
}

TEST(StagingLeaseTest, LifeOfAPackLease) {
    test::TempDir dir;
    const std::string folder = ArchivePipeline::physicalDirectoryURL(dir.path());
    Progress progress;

    StagingLease lease = makeStage(folder + "/", "pack", &progress);
    const std::regex stagePattern(
        R"(\.tolvane-([0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12})\.partial)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lease.stageName(), match, stagePattern)) << lease.stageName();
    const std::string id = match[1];
    EXPECT_EQ(lease.lockName(), ".tolvane-" + id + ".lock");
    EXPECT_EQ(lease.journalName(), ".tolvane-" + id + ".job.json");
    EXPECT_EQ(lease.url(), folder + "/" + lease.stageName());
    EXPECT_EQ(lease.parentURL(), folder);
    EXPECT_EQ(lease.selectedParentURL(), folder + "/");
    EXPECT_EQ(entries(folder),
              (std::vector<std::string>{lease.journalName(), lease.lockName(), lease.stageName()}));
    EXPECT_EQ(test::readFile(folder + "/" + lease.journalName()),
              journalText(id, "pack", 1, static_cast<int>(::getpid())));
    for (const auto& [name, mode] :
         {std::pair{lease.stageName(), 0700}, std::pair{lease.lockName(), 0600},
          std::pair{lease.journalName(), 0600}}) {
        struct stat st {};
        ASSERT_EQ(::lstat((folder + "/" + name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, static_cast<mode_t>(mode)) << name;
    }
    EXPECT_FALSE(lockIsFree(folder + "/" + lease.lockName()));

    writeStageFile(lease, "payload.zip", "zip bytes");
    writeStageFile(lease, "snapshot.jsonl", "rows");
    // Stage files are created exclusively.
    EXPECT_THROW(lease.createStageFile("payload.zip"), std::system_error);

    // Only the name of the destination counts: the file always lands beside the stage.
    EXPECT_EQ(lease.commitFile("payload.zip", "/somewhere/else/report.zip"),
              folder + "/report.zip");
    EXPECT_EQ(test::readFile(folder + "/report.zip"), "zip bytes");

    lease.remove(&progress);
    EXPECT_TRUE(lease.isRemoved());
    EXPECT_EQ(entries(folder), std::vector<std::string>{"report.zip"});
    EXPECT_FALSE(cleanupWarning(progress).has_value());

    // Removing again touches nothing, even a folder that has changed since.
    test::writeFile(folder + "/" + lease.stageName(), "not ours any more");
    lease.remove(&progress);
    EXPECT_TRUE(exists(folder + "/" + lease.stageName()));
    EXPECT_FALSE(cleanupWarning(progress).has_value());
    ::unlink((folder + "/" + lease.stageName()).c_str());

    // After the lease, every operation refuses.
    for (const auto& operation : std::vector<std::function<void()>>{
             [&] { lease.verifyDestinationParent(); },
             [&] { lease.commitFile("x", folder + "/y"); },
             [&] { lease.commitDirectory(folder + "/y"); },
             [&] { lease.removeFileFromStage("x"); },
             [&] { lease.createStageFile("x"); },
         }) {
        const auto error = pipelineErrorOf(operation);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, ArchivePipelineError::destinationChanged(folder));
    }

    // A second job takes the next free name.
    StagingLease second = makeStage(folder, "pack");
    writeStageFile(second, "payload.zip", "second");
    EXPECT_EQ(second.commitFile("payload.zip", folder + "/report.zip"), folder + "/report_2.zip");
    second.remove(&progress);
    EXPECT_EQ(entries(folder), (std::vector<std::string>{"report.zip", "report_2.zip"}));
    EXPECT_FALSE(cleanupWarning(progress).has_value());
}

TEST(StagingLeaseTest, LifeOfAnUnpackLease) {
    test::TempDir dir;
    const std::string folder = ArchivePipeline::physicalDirectoryURL(dir.path());
    ASSERT_EQ(::mkdir((folder + "/Photos").c_str(), 0700), 0);
    Progress progress;
    StagingLease lease = makeStage(folder, "unpack", &progress);
    EXPECT_EQ(ArchivePipeline::readJournal(UniqueFd(posix::open(folder, O_RDONLY)).get(),
                                           lease.stageName().substr(9, 36))
                  ->operation,
              "unpack");

    writeStageFile(lease, "preflight.jsonl", "bookkeeping");
    writeStageFile(lease, "keep.txt", "kept");
    ASSERT_EQ(::mkdir((lease.url() + "/album").c_str(), 0700), 0);

    struct Case {
        std::string name;
        std::optional<std::string> failure;
    };
    const std::vector<Case> cases = {
        {"", "invalid staging filename"},
        {".", "invalid staging filename"},
        {"..", "invalid staging filename"},
        {"album/x", "invalid staging filename"},
        // Cut short at the NUL, this would delete keep.txt.
        {std::string("keep.txt\0x", 10), "invalid staging filename"},
        {"album", "staging file changed before cleanup"},
        {"missing.jsonl", std::nullopt},
        {"preflight.jsonl", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto error = pipelineErrorOf([&] { lease.removeFileFromStage(c.name); });
        if (c.failure) {
            ASSERT_TRUE(error.has_value()) << c.name;
            EXPECT_EQ(*error, ArchivePipelineError::finalizationFailed(*c.failure)) << c.name;
        } else {
            EXPECT_FALSE(error.has_value()) << c.name;
        }
    }
    EXPECT_EQ(entries(lease.url()), (std::vector<std::string>{"album", "keep.txt"}));

    EXPECT_EQ(lease.commitDirectory("/elsewhere/Photos"), folder + "/Photos_2");
    EXPECT_EQ(test::readFile(folder + "/Photos_2/keep.txt"), "kept");
    lease.remove(&progress);
    EXPECT_EQ(entries(folder), (std::vector<std::string>{"Photos", "Photos_2"}));
    EXPECT_FALSE(cleanupWarning(progress).has_value());
}

TEST(StagingLeaseTest, AChangedDestinationCommitsNothing) {
    struct Case {
        const char* label;
        // Changes the folder layout during the job; returns the path the error must name.
        std::function<std::string(const std::string& root, const StagingLease&)> change;
        // Where the stage is afterwards.
        std::string stageFolder;
        bool selectThroughLink;
    };
    const std::vector<Case> cases = {
        {"folder renamed",
         [](const std::string& root, const StagingLease& lease) {
             EXPECT_EQ(::rename((root + "/dest").c_str(), (root + "/moved").c_str()), 0);
             return lease.parentURL();
         },
         "moved", false},
        {"folder replaced by a new one",
         [](const std::string& root, const StagingLease& lease) {
             EXPECT_EQ(::rename((root + "/dest").c_str(), (root + "/moved").c_str()), 0);
             EXPECT_EQ(::mkdir((root + "/dest").c_str(), 0700), 0);
             return lease.parentURL();
         },
         "moved", false},
        {"folder replaced by a link to itself",
         [](const std::string& root, const StagingLease& lease) {
             EXPECT_EQ(::rename((root + "/dest").c_str(), (root + "/moved").c_str()), 0);
             EXPECT_EQ(::symlink("moved", (root + "/dest").c_str()), 0);
             return lease.parentURL();
         },
         "moved", false},
        {"chosen link retargeted",
         [](const std::string& root, const StagingLease& lease) {
             EXPECT_EQ(::mkdir((root + "/other").c_str(), 0700), 0);
             EXPECT_EQ(::unlink((root + "/link").c_str()), 0);
             EXPECT_EQ(::symlink("other", (root + "/link").c_str()), 0);
             return lease.selectedParentURL();
         },
         "dest", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::TempDir dir;
        const std::string root = ArchivePipeline::physicalDirectoryURL(dir.path());
        ASSERT_EQ(::mkdir((root + "/dest").c_str(), 0700), 0);
        ASSERT_EQ(::symlink("dest", (root + "/link").c_str()), 0);
        StagingLease lease = makeStage(root + (c.selectThroughLink ? "/link" : "/dest"), "pack");
        EXPECT_EQ(lease.parentURL(), root + "/dest");
        writeStageFile(lease, "payload.zip", "zip");
        const std::string failingPath = c.change(root, lease);

        for (const auto& operation : std::vector<std::function<void()>>{
                 [&] { lease.verifyDestinationParent(); },
                 [&] { lease.commitFile("payload.zip", root + "/dest/report.zip"); },
                 [&] { lease.commitDirectory(root + "/dest/Photos"); },
             }) {
            const auto error = pipelineErrorOf(operation);
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(*error, ArchivePipelineError::destinationChanged(failingPath));
        }
        const std::string stage = root + "/" + c.stageFolder + "/" + lease.stageName();
        EXPECT_EQ(test::readFile(stage + "/payload.zip"), "zip");

        Progress progress;
        lease.remove(&progress);
        EXPECT_FALSE(cleanupWarning(progress).has_value());
        EXPECT_TRUE(entries(root + "/" + c.stageFolder).empty());
    }
}

TEST(StagingLeaseTest, AReplacedStageIsNotUsedOrRemoved) {
    test::TempDir dir;
    const std::string folder = ArchivePipeline::physicalDirectoryURL(dir.path());
    StagingLease lease = makeStage(folder, "unpack");
    writeStageFile(lease, "keep.txt", "ours");
    ASSERT_EQ(::rename(lease.url().c_str(), (folder + "/aside").c_str()), 0);
    ASSERT_EQ(::mkdir(lease.url().c_str(), 0700), 0);
    test::writeFile(lease.url() + "/impostor.txt", "theirs");

    for (const auto& operation : std::vector<std::function<void()>>{
             [&] { lease.createStageFile("x"); },
             [&] { lease.removeFileFromStage("impostor.txt"); },
             [&] { lease.commitFile("impostor.txt", folder + "/out"); },
             [&] { lease.commitDirectory(folder + "/out"); },
         }) {
        const auto error = pipelineErrorOf(operation);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, ArchivePipelineError::destinationChanged(folder));
    }
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
        FAIL() << "expected an error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::error_code(ENOENT, std::generic_category()));
    }
    EXPECT_TRUE(entries(dir.path()).empty());
}

// A stale stage as a dead job leaves it: stage with content, lock file, journal.
struct Planted {
    std::string folder;
    std::string id;
    std::string stage() const { return folder + "/.tolvane-" + id + ".partial"; }
    std::string lock() const { return folder + "/.tolvane-" + id + ".lock"; }
    std::string journal() const { return folder + "/.tolvane-" + id + ".job.json"; }
};

Planted plantStaleStage(const std::string& folder, const std::string& outside) {
    Planted planted{folder, Uuid::random().text()};
    EXPECT_EQ(::mkdir(planted.stage().c_str(), 0700), 0);
    EXPECT_EQ(::mkdir((planted.stage() + "/a").c_str(), 0700), 0);
    EXPECT_EQ(::mkdir((planted.stage() + "/a/b").c_str(), 0700), 0);
    test::writeFile(planted.stage() + "/a/b/file.txt", "data");
    test::writeFile(planted.stage() + "/top.txt", "data");
    // A link to a directory outside goes as a link; what it points to stays.
    EXPECT_EQ(::symlink(outside.c_str(), (planted.stage() + "/a/escape").c_str()), 0);
    UniqueFd lock = posix::open(planted.lock(), O_RDWR | O_CREAT | O_EXCL, 0600);
    UniqueFd journal = posix::open(planted.journal(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    const std::string text = journalText(planted.id);
    posix::writeAll(journal.get(), text.data(), text.size());
    return planted;
}

void chownOrFail(const std::string& path) {
    EXPECT_EQ(::lchown(path.c_str(), nobody, nobody), 0) << path;
}

TEST(StagingLeaseTest, RecoveryRemovesOnlyProvablyStaleStages) {
    enum class Outcome { removed, kept };
    struct Case {
        const char* label;
        // Alters the planted stage; may return a descriptor that must stay open meanwhile.
        std::function<UniqueFd(Planted&)> alter;
        Outcome outcome;
        bool needsRoot = false;
    };
    const auto rewriteJournal = [](Planted& p, const std::string& text) {
        ::unlink(p.journal().c_str());
        UniqueFd fd = posix::open(p.journal(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        posix::writeAll(fd.get(), text.data(), text.size());
    };
    const std::string valid = journalText("ID");
    const auto forId = [valid](const Planted& p) {
        std::string text = valid;
        return text.replace(text.find("\"ID\""), 4, "\"" + p.id + "\"");
    };
    const std::vector<Case> cases = {
        {"dead job", [](Planted&) { return UniqueFd(); }, Outcome::removed},
        {"live job",
         [](Planted& p) {
             UniqueFd fd = posix::open(p.lock(), O_RDWR);
             EXPECT_EQ(::flock(fd.get(), LOCK_EX | LOCK_NB), 0);
             return fd;
         },
         Outcome::kept},
        {"live job with a broken journal",
         [&](Planted& p) {
             rewriteJournal(p, "garbage");
             UniqueFd fd = posix::open(p.lock(), O_RDWR);
             EXPECT_EQ(::flock(fd.get(), LOCK_EX | LOCK_NB), 0);
             return fd;
         },
         Outcome::kept},
        {"journal names another job",
         [&](Planted& p) {
             rewriteJournal(p, journalText(Uuid::random().text()));
             return UniqueFd();
         },
         Outcome::kept},
        {"journal of another operation",
         [&](Planted& p) {
             rewriteJournal(p, journalText(p.id, "delete"));
             return UniqueFd();
         },
         Outcome::kept},
        {"journal version 2",
         [&](Planted& p) {
             rewriteJournal(p, journalText(p.id, "pack", 2));
             return UniqueFd();
         },
         Outcome::kept},
        {"journal without a process",
         [&](Planted& p) {
             rewriteJournal(p, journalText(p.id, "pack", 1, 0));
             return UniqueFd();
         },
         Outcome::kept},
        {"journal of exactly 1024 bytes",
         [&](Planted& p) {
             std::string text = forId(p);
             rewriteJournal(p, text + std::string(1024 - text.size(), ' '));
             return UniqueFd();
         },
         Outcome::removed},
        {"journal of 1025 bytes",
         [&](Planted& p) {
             std::string text = forId(p);
             rewriteJournal(p, text + std::string(1025 - text.size(), ' '));
             return UniqueFd();
         },
         Outcome::kept},
        {"journal missing",
         [](Planted& p) {
             ::unlink(p.journal().c_str());
             return UniqueFd();
         },
         Outcome::kept},
        {"journal is a link to a good journal",
         [&](Planted& p) {
             test::writeFile(p.folder + "/good.json", forId(p));
             ::unlink(p.journal().c_str());
             EXPECT_EQ(::symlink("good.json", p.journal().c_str()), 0);
             return UniqueFd();
         },
         Outcome::kept},
        {"lock missing",
         [](Planted& p) {
             ::unlink(p.lock().c_str());
             return UniqueFd();
         },
         Outcome::kept},
        {"lock is a link",
         [](Planted& p) {
             ::rename(p.lock().c_str(), (p.folder + "/real.lock").c_str());
             EXPECT_EQ(::symlink("real.lock", p.lock().c_str()), 0);
             return UniqueFd();
         },
         Outcome::kept},
        {"stage is a link to a directory",
         [](Planted& p) {
             ::rename(p.stage().c_str(), (p.folder + "/elsewhere").c_str());
             EXPECT_EQ(::symlink("elsewhere", p.stage().c_str()), 0);
             return UniqueFd();
         },
         Outcome::kept},
        {"lower-case names",
         [&](Planted& p) {
             const std::string id = lower(p.id);
             for (const char* suffix : {".partial", ".lock", ".job.json"}) {
                 const std::string from = p.folder + "/.tolvane-" + p.id + suffix;
                 ::rename(from.c_str(), (p.folder + "/.tolvane-" + id + suffix).c_str());
             }
             p.id = id;
             rewriteJournal(p, forId(p));
             return UniqueFd();
         },
         Outcome::kept},
        {"stage of another user",
         [](Planted& p) {
             chownOrFail(p.stage());
             return UniqueFd();
         },
         Outcome::kept, true},
        {"lock of another user",
         [](Planted& p) {
             chownOrFail(p.lock());
             return UniqueFd();
         },
         Outcome::kept, true},
        {"journal of another user",
         [](Planted& p) {
             chownOrFail(p.journal());
             return UniqueFd();
         },
         Outcome::kept, true},
    };
    for (const Case& c : cases) {
        if (c.needsRoot && ::geteuid() != 0) {
            continue;  // changing an owner needs root
        }
        SCOPED_TRACE(c.label);
        test::TempDir dir;
        const std::string folder = dir.file("dest");
        const std::string outside = dir.file("outside");
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
        test::writeFile(outside + "/precious.txt", "precious");
        Planted planted = plantStaleStage(folder, outside);
        const UniqueFd held = c.alter(planted);
        std::vector<std::string> before = entries(folder);

        Progress progress;
        StagingLease lease = makeStage(folder, "pack", &progress);
        lease.remove(&progress);
        EXPECT_FALSE(cleanupWarning(progress).has_value());
        EXPECT_EQ(test::readFile(outside + "/precious.txt"), "precious");
        if (c.outcome == Outcome::removed) {
            EXPECT_TRUE(entries(folder).empty()) << entries(folder).size();
        } else {
            EXPECT_EQ(entries(folder), before);
            EXPECT_EQ(test::readFile(planted.stage() + "/a/b/file.txt"), "data");
        }
    }
}

TEST(StagingLeaseTest, RecoveryOfOrphanMarkers) {
    struct Case {
        const char* label;
        bool lockFile;
        bool lockHeld;
        bool journal;
        bool journalRemoved;
    };
    const std::vector<Case> cases = {
        {"journal with a free lock", true, false, true, true},
        {"journal without a lock file", false, false, true, false},
        {"journal with a held lock", true, true, true, false},
        {"lock without a journal", true, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::TempDir dir;
        Planted planted{dir.path(), Uuid::random().text()};
        UniqueFd held;
        if (c.lockFile) {
            held = posix::open(planted.lock(), O_RDWR | O_CREAT | O_EXCL, 0600);
            if (c.lockHeld) {
                ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
            } else {
                held.reset();
            }
        }
        if (c.journal) {
            test::writeFile(planted.journal(), journalText(planted.id));
        }
        // Names of no job are never touched.
        test::writeFile(dir.file(".tolvane-notes.job.json"), "{}");
        ASSERT_EQ(::mkdir(dir.file(".tolvane-x.partial").c_str(), 0700), 0);
        std::vector<std::string> before = entries(dir.path());

        StagingLease lease = makeStage(dir.path(), "unpack");
        lease.remove(nullptr);
        std::vector<std::string> expected = before;
        if (c.journalRemoved) {
            std::erase(expected, ".tolvane-" + planted.id + ".lock");
            std::erase(expected, ".tolvane-" + planted.id + ".job.json");
        }
        EXPECT_EQ(entries(dir.path()), expected);
    }
}

TEST(StagingLeaseTest, ADroppedLeaseIsRecoveredAndALiveOneIsNot) {
    test::TempDir dir;
    const std::string folder = ArchivePipeline::physicalDirectoryURL(dir.path());
    std::string droppedStage;
    {
        StagingLease dropped = makeStage(folder, "unpack");
        droppedStage = dropped.url();
        ASSERT_EQ(::mkdir((droppedStage + "/deep").c_str(), 0700), 0);
        test::writeFile(droppedStage + "/deep/file", "x");
    }
    ASSERT_TRUE(exists(droppedStage));

    StagingLease live = makeStage(folder, "pack");
    EXPECT_FALSE(exists(droppedStage));
    writeStageFile(live, "payload.zip", "live");

    // A second job in the same folder leaves the running one alone.
    StagingLease other = makeStage(folder, "pack");
    EXPECT_EQ(test::readFile(live.url() + "/payload.zip"), "live");
    EXPECT_FALSE(lockIsFree(folder + "/" + live.lockName()));
    other.remove(nullptr);
    EXPECT_EQ(live.commitFile("payload.zip", folder + "/out.zip"), folder + "/out.zip");
    live.remove(nullptr);
    EXPECT_EQ(entries(folder), std::vector<std::string>{"out.zip"});
}

// Nests `depth` directories named "d" below `root`, with a file at the bottom.
void makeDeepTree(const std::string& root, int depth) {
    std::string path = root;
    for (int i = 0; i < depth; ++i) {
        path += "/d";
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << i;
    }
    test::writeFile(path + "/f", "x");
}

TEST(StagingLeaseTest, StagesDeeperThanTheOpenFileLimitAreRemoved) {
    test::TempDir dir;
    const std::string folder = ArchivePipeline::physicalDirectoryURL(dir.path());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int status = 0;
        try {
            // Room for one descriptor per level, not for two.
            const struct rlimit limit { 512, 512 };
            if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
                ::_exit(10);
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
            if (exists(abandoned)) {
                status = 1;
            } else if (!entries(folder).empty()) {
                status = 2;
            } else if (cleanupWarning(progress).has_value()) {
                status = 3;
            }
        } catch (...) {
            status = 20;
        }
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Runs `body` in a child process as an unprivileged user who owns `folder` (when the test runs
// as root, where permission checks would not apply); returns the child's exit status.
int runUnprivileged(const std::string& folder, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        if (::geteuid() == 0 &&
            (::chown(folder.c_str(), nobody, nobody) != 0 || ::setgroups(0, nullptr) != 0 ||
             ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
            ::_exit(100);
        }
        int status = 101;
        try {
            status = body();
        } catch (...) {
            status = 102;
        }
        ::_exit(status);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Leaves directories inside the stage without the owner permissions an unpack may have
// restored on them: no search, no read, no write, at several depths, and the stage itself.
void restrictStage(const std::string& stage) {
    ::mkdir((stage + "/locked").c_str(), 0700);
    ::mkdir((stage + "/locked/inner").c_str(), 0700);
    test::writeFile(stage + "/locked/inner/file", "x");
    ::mkdir((stage + "/readonly").c_str(), 0700);
    test::writeFile(stage + "/readonly/file", "x");
    ::mkdir((stage + "/unlistable").c_str(), 0700);
    test::writeFile(stage + "/unlistable/file", "x");
    ::chmod((stage + "/locked/inner").c_str(), 0);
    ::chmod((stage + "/locked").c_str(), 0);
    ::chmod((stage + "/readonly").c_str(), 0500);
    ::chmod((stage + "/unlistable").c_str(), 0300);
}

TEST(StagingLeaseTest, RestrictedStagesDoNotBlockLaterJobs) {
    test::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    const std::string folder = dir.file("dest");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);

    // A stale stage this user can never remove: root owns a directory inside it.
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

    const int status = runUnprivileged(folder, [&]() -> int {
        // A job that fails after restoring restrictive modes still removes its stage.
        Progress progress;
        StagingLease failed = makeStage(folder, "unpack", &progress);
        restrictStage(failed.url());
        failed.remove(&progress);
        if (exists(failed.url()) || exists(folder + "/" + failed.lockName())) {
            return 1;
        }
        const std::optional<std::string> warning = cleanupWarning(progress);
        const std::string pinnedWarning =
            "이전 작업의 임시 작업 폴더를 정리하지 못했습니다: " + pinned + " (" +
            std::generic_category().message(EACCES) + ")";
        if (pinned.empty() ? warning.has_value() : warning != pinnedWarning) {
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
        if (pinned.empty() ? cleanupWarning(next).has_value()
                           : cleanupWarning(next) != pinnedWarning) {
            return 5;
        }
        // Only the output and the stage that could not be removed are left.
        std::vector<std::string> expected = {"report.zip"};
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
