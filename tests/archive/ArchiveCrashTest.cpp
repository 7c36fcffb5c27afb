#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchiveSelection.h"
#include "core/archive/ArchiveUnpack.h"
#include "core/archive/ArchiveValues.h"
#include "core/archive/StagingLease.h"
#include "core/archive/ZipArchiveReader.h"
#include "support/TempDir.h"
#include "support/TestData.h"

// A job is run in a child process that kills itself with SIGKILL at a chosen point, so no
// destructor and no clean-up of the job runs. Each point is reached the same way every time: at
// a pack checkpoint, when a file the job writes reaches a byte count (RLIMIT_FSIZE), or at the
// first matching system call after a hook (a seccomp filter, before the kernel performs it).
// Afterwards the destination must hold nothing new or the complete result, and the next job in
// that folder must take away whatever the dead one left.
namespace tolvane {
namespace {

using test::namesIn;

using namespace ArchivePipeline;
using test::readFile;
using test::TempDir;
using test::writeFile;
using Names = std::vector<std::string>;

// Exit status of a child that could not install its seccomp filter.
constexpr int trapUnavailable = 77;

enum class Death {
    atHook,    // at the hook itself
    fileSize,  // when a file the job writes reaches `fraction` of the largest output file
    syscall,   // at the first call matching `trap` after the hook
};

struct Trap {
    long number = -1;
    std::optional<std::uint32_t> flags;  // the third argument must be this
    bool inDestination = false;          // the first argument must be a descriptor of the folder
};

struct KillPoint {
    const char* name;
    std::string_view hook;  // a pack checkpoint, "start", or (unpack) "preflighted"
    Death death;
    double fraction = 0;  // 1 means one byte short of the end
    Trap trap = {};
    bool committed = false;  // the result was in place when the job died
};

// Every file (by content) and folder (as "path/") below root.
std::map<std::string, std::string> treeOf(const std::string& root, const std::string& below = {}) {
    std::map<std::string, std::string> tree;
    for (const std::string& name : namesIn(below.empty() ? root : root + "/" + below)) {
        const std::string path = below.empty() ? name : below + "/" + name;
        struct stat st {};
        EXPECT_EQ(::lstat((root + "/" + path).c_str(), &st), 0) << path;
        if (S_ISDIR(st.st_mode)) {
            tree[path + "/"] = "";
            tree.merge(treeOf(root, path));
        } else {
            tree[path] = readFile(root + "/" + path);
        }
    }
    return tree;
}

// The archive's entries as the inspector and libzip read them together.
std::map<std::string, std::string> zipEntries(const std::string& path) {
    ZipArchiveReader reader(path, [] {});
    std::map<std::string, std::string> entries;
    for (std::uint64_t index = 0; index < reader.entryCount(); ++index) {
        std::string& data = entries[reader.entry(index).path];
        reader.extract(
            index, [] {},
            [&](std::span<const std::uint8_t> block) {
                data.append(reinterpret_cast<const char*>(block.data()), block.size());
            });
    }
    return entries;
}

void makeFolder(const std::string& path) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path << ": " << std::strerror(errno);
}

// Nested folders, an empty one, compressible and incompressible files of growing size, and a
// case clash that gives the archive a path-mapping manifest.
std::vector<std::string> makeSources(const std::string& root) {
    for (const char* folder : {"/src", "/src/docs", "/src/docs/deep", "/src/empty"}) {
        makeFolder(root + folder);
    }
    writeFile(root + "/src/a.txt", test::textBytes(3'000));
    writeFile(root + "/src/Readme.txt", "first");
    writeFile(root + "/src/README.txt", "second");
    writeFile(root + "/src/docs/b.bin", test::randomBytes(40'000, 1));
    writeFile(root + "/src/docs/deep/c.txt", test::textBytes(150'000));
    writeFile(root + "/src/d.bin", test::randomBytes(60'000, 2));
    // The largest file is the last entry.
    writeFile(root + "/loose.bin", test::randomBytes(200'000, 3));
    return {root + "/src", root + "/loose.bin"};
}

[[noreturn]] void killSelf() {
    ::kill(::getpid(), SIGKILL);
    for (;;) {
        ::pause();
    }
}

void killSelfOnSignal(int) {
    killSelf();
}

// The descriptors this process holds open on the folder.
std::vector<std::uint32_t> descriptorsOf(const std::string& folder) {
    std::vector<std::uint32_t> found;
    char real[PATH_MAX];
    DIR* fds = ::opendir("/proc/self/fd");
    if (::realpath(folder.c_str(), real) == nullptr || fds == nullptr) {
        return found;
    }
    while (const dirent* entry = ::readdir(fds)) {
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string_view(target, static_cast<std::size_t>(length)) == real) {
            found.push_back(static_cast<std::uint32_t>(std::atoi(entry->d_name)));
        }
    }
    ::closedir(fds);
    return found;
}

// Lets the trapped call raise SIGSYS instead of running. False where no filter can be installed.
bool installTrap(const Trap& trap, const std::string& destination) {
#if defined(__x86_64__)
    constexpr std::uint32_t arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr std::uint32_t arch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    // The low half of a 64-bit argument, on these little-endian machines.
    const auto argument = [](std::size_t index) {
        return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * index);
    };
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(trap.number), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    if (trap.flags) {
        code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argument(2)));
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, *trap.flags, 1, 0));
        code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    if (trap.inDestination) {
        const std::vector<std::uint32_t> fds = descriptorsOf(destination);
        if (fds.empty()) {
            return false;
        }
        code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, argument(0)));
        for (std::size_t i = 0; i < fds.size(); ++i) {
            const auto skip = static_cast<std::uint8_t>(fds.size() - i);  // onto the trap
            code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, fds[i], skip, 0));
        }
        code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP));
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    ::signal(SIGSYS, killSelfOnSignal);
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Called in the child where the point's hook is reached.
void arm(const KillPoint& point, std::uint64_t largestFile, const std::string& destination) {
    switch (point.death) {
        case Death::atHook:
            killSelf();
        case Death::fileSize: {
            const auto limit =
                point.fraction >= 1
                    ? static_cast<rlim_t>(largestFile - 1)
                    : static_cast<rlim_t>(static_cast<double>(largestFile) * point.fraction);
            // The write that would pass the limit raises SIGXFSZ instead.
            ::signal(SIGXFSZ, killSelfOnSignal);
            const rlimit fileSize{limit, limit};
            if (::setrlimit(RLIMIT_FSIZE, &fileSize) != 0) {
                ::_exit(2);
            }
            return;
        }
        case Death::syscall:
            if (!installTrap(point.trap, destination)) {
                ::_exit(trapUnavailable);
            }
            return;
    }
}

// Runs the job in a child and tells whether it died by SIGKILL as planned. A child that lacks
// seccomp filters is reported and passed over.
bool diedAtKillPoint(const KillPoint& point, const std::function<void()>& job) {
    const pid_t child = ::fork();
    if (child == 0) {
        try {
            job();
        } catch (const std::exception& error) {
            ::fprintf(stderr, "the job failed: %s\n", error.what());
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == trapUnavailable) {
        std::cout << "[  SKIPPED ] " << point.name << ": seccomp filters are unavailable\n";
        return false;
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the kill point was not reached: " << (WIFEXITED(status) ? "exit " : "signal ")
        << (WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

// Outputs and the entries of dead jobs, apart.
std::pair<Names, Names> outputsAndLeftovers(const std::string& folder) {
    std::pair<Names, Names> split;
    for (std::string& name : namesIn(folder)) {
        (name.starts_with(stageNamePrefix) ? split.second : split.first).push_back(std::move(name));
    }
    return split;
}

TEST(ArchiveCrashTest, AKilledPackLeavesNothingOrTheVerifiedArchive) {
    const std::vector<KillPoint> points = {
        {"at the walk", "walk", Death::atHook},
        {"at the selection check", "selection", Death::atHook},
        {"at the manifest", "manifest", Death::atHook},
        {"at the central directory", "finalize", Death::atHook},
        {"at the read-back", "verification", Death::atHook},
        {"at the source recheck", "recheck", Death::atHook},
        {"at hashing", "hashing", Death::atHook},
        {"at the commit", "commit", Death::atHook},
        {"at 10% of the archive", "start", Death::fileSize, 0.1},
        {"at 40% of the archive", "start", Death::fileSize, 0.4},
        {"at 70% of the archive", "start", Death::fileSize, 0.7},
        {"at 95% of the archive", "start", Death::fileSize, 0.95},
        {"one byte short of the end record", "start", Death::fileSize, 1},
        {"before the stage directory exists", "start", Death::syscall, 0,
         Trap{SYS_mkdirat, std::nullopt, false}},
        {"at the rename", "commit", Death::syscall, 0, Trap{SYS_renameat2, std::nullopt, false}},
        {"after the rename, stage untouched", "commit", Death::syscall, 0,
         Trap{SYS_unlinkat, std::nullopt, false}, true},
        {"after the rename, stage emptied", "commit", Death::syscall, 0,
         Trap{SYS_unlinkat, AT_REMOVEDIR, false}, true},
        {"after the rename, only the markers left", "commit", Death::syscall, 0,
         Trap{SYS_unlinkat, 0, true}, true},
    };
    TempDir root;
    TempDir scratch;
    TempDir reference;
    const std::vector<std::string> sources = makeSources(root.path());
    const ArchiveInputSnapshot snapshot =
        captureInputSnapshot(sources, scratch.file("selection.jsonl"), nullptr);
    const auto packInto = [&](const TempDir& folder, const PackCheckpoint& checkpoint) {
        return pack(sources, folder.file("out.zip"), nullptr, snapshot,
                    ArchiveCompressionMode::balanced, {}, checkpoint);
    };
    const std::string expectedBytes = readFile(packInto(reference, {}).outputURL);
    const std::map<std::string, std::string> expectedEntries =
        zipEntries(reference.file("out.zip"));
    const auto expectComplete = [&](const std::string& path) {
        EXPECT_EQ(zipEntries(path), expectedEntries);
        EXPECT_TRUE(readFile(path) == expectedBytes) << path;
    };

    for (const KillPoint& point : points) {
        SCOPED_TRACE(point.name);
        TempDir destination;
        const bool died = diedAtKillPoint(point, [&] {
            if (point.hook == "start") {
                arm(point, expectedBytes.size(), destination.path());
            }
            packInto(destination, [&](std::string_view step) {
                if (step == point.hook) {
                    arm(point, expectedBytes.size(), destination.path());
                }
            });
        });
        if (!died) {
            continue;
        }
        const auto [outputs, leftovers] = outputsAndLeftovers(destination.path());
        EXPECT_FALSE(leftovers.empty());
        EXPECT_EQ(outputs, point.committed ? Names{"out.zip"} : Names{});
        if (!outputs.empty()) {
            expectComplete(destination.file(outputs.front()));
        }

        const PackReceipt next = packInto(destination, {});
        expectComplete(next.outputURL);
        EXPECT_EQ(namesIn(destination.path()),
                  point.committed ? (Names{"out.zip", "out_2.zip"}) : Names{"out.zip"});
    }
}

TEST(ArchiveCrashTest, AKilledUnpackLeavesNothingOrTheWholeFolder) {
    const std::vector<KillPoint> points = {
        {"in the preflight's registry", "start", Death::fileSize, 0.01},
        {"after the preflight", "preflighted", Death::atHook},
        {"at 10% of the largest file", "start", Death::fileSize, 0.1},
        {"at 50% of the largest file", "start", Death::fileSize, 0.5},
        {"in the last entry", "start", Death::fileSize, 0.9},
        {"one byte short of the last entry", "start", Death::fileSize, 1},
        {"at the rename", "preflighted", Death::syscall, 0,
         Trap{SYS_renameat2, std::nullopt, false}},
        {"after the rename, only the markers left", "preflighted", Death::syscall, 0,
         Trap{SYS_unlinkat, 0, true}, true},
    };
    TempDir root;
    TempDir archives;
    TempDir reference;
    const std::string archive = pack(makeSources(root.path()), archives.file("out.zip"), nullptr,
                                     std::nullopt, ArchiveCompressionMode::balanced)
                                    .outputURL;
    const std::map<std::string, std::string> expected =
        treeOf(unpack(archive, reference.path(), nullptr, {}).outputURL);
    std::uint64_t largestFile = 0;
    for (const auto& [path, content] : expected) {
        largestFile = std::max<std::uint64_t>(largestFile, content.size());
    }

    for (const KillPoint& point : points) {
        SCOPED_TRACE(point.name);
        TempDir destination;
        const bool died = diedAtKillPoint(point, [&] {
            if (point.hook == "start") {
                arm(point, largestFile, destination.path());
            }
            unpack(
                archive, destination.path(), nullptr, {},
                [](const std::string& folder) { return ArchiveDestinationPolicy::read(folder); },
                [&](UnpackStep step) {
                    if (step == UnpackStep::preflighted && point.hook == "preflighted") {
                        arm(point, largestFile, destination.path());
                    }
                });
        });
        if (!died) {
            continue;
        }
        const auto [outputs, leftovers] = outputsAndLeftovers(destination.path());
        EXPECT_FALSE(leftovers.empty());
        EXPECT_EQ(outputs, point.committed ? Names{"out"} : Names{});
        if (!outputs.empty()) {
            EXPECT_EQ(treeOf(destination.file(outputs.front())), expected);
        }

        const UnpackReceipt next = unpack(archive, destination.path(), nullptr, {});
        EXPECT_EQ(treeOf(next.outputURL), expected);
        EXPECT_EQ(namesIn(destination.path()),
                  point.committed ? (Names{"out", "out_2"}) : Names{"out"});
    }
}

}  // namespace
}  // namespace tolvane
