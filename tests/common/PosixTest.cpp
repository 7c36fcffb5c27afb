#include "core/common/Posix.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/common/ScopeExit.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace {
int lastListedFlags = -1;  // the FD_ flags of the descriptor the last fdopendir was handed
}  // namespace

// Sees the descriptor a listing reads through: it must not leak into a program another
// thread starts while the listing runs.
extern "C" DIR* fdopendir(int fd) {
    lastListedFlags = ::fcntl(fd, F_GETFD);
    using Real = DIR* (*)(int);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "fdopendir"));
    return real(fd);
}

namespace tolvane {
namespace {

std::string joined(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    std::string out;
    for (const std::string& name : names) {
        out += name + " ";
    }
    return out;
}

std::string cloexec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    return flags < 0 ? "none" : (flags & FD_CLOEXEC) != 0 ? "cloexec" : "inherited";
}

std::string preadText(int fd, std::size_t size, off_t offset) {
    std::string bytes(size, '\0');
    bytes.resize(posix::preadAll(fd, bytes.data(), size, offset));
    return bytes;
}

// A descriptor already closed behind its owner's back, so closing it fails with EBADF.
UniqueFd closedBehindItsBack(int fd) {
    UniqueFd copy(::dup(fd));
    ::close(copy.get());
    return copy;
}

std::string closedTwice(UniqueFd& fd) {
    const int first = fd.closeChecked();
    const int held = fd.get();
    return std::to_string(first) + " " + std::to_string(held) + " " +
           std::to_string(fd.closeChecked());
}

std::string afterOwnersClose(int fd) {
    {
        const UniqueFd failing = closedBehindItsBack(fd);
        const ScopeExit cleanup([] { ::close(-1); });
        errno = ENOSPC;
    }
    return test::errnoName(errno);
}

TEST(PosixTest, DescriptorPrimitives) {
    test::TempDir dir;
    test::makeTree(dir.path(), {{"a", "0123456789"}, {"b/", ""}, {".c", ""}});
    const UniqueFd root = posix::open(dir.path(), O_RDONLY | O_DIRECTORY);
    const auto outcome = test::outcomeOf;
    UniqueFd file = posix::open(dir.file("a"), O_RDONLY);
    const std::size_t descriptors = test::namesIn("/proc/self/fd").size();
    const posix::OpenResult exclusive =
        posix::tryOpenAt(root.get(), "a", O_WRONLY | O_CREAT | O_EXCL, 0600);
    posix::OpenResult opened = posix::tryOpenAt(root.get(), "b", O_RDONLY | O_DIRECTORY);
    std::string ran;
    {
        ScopeExit kept([&] { ran += "kept"; });
        ScopeExit dropped([&] { ran += "dropped"; });
        dropped.dismiss();
    }
    const std::pair<std::string, std::string> rows[] = {
        {joined(posix::listDirectory(root.get())), ".c a b "},
        // The first listing left the shared offset at the end; the second must still see all.
        {joined(posix::listDirectory(root.get())), ".c a b "},
        {std::to_string(lastListedFlags), std::to_string(FD_CLOEXEC)},
        {outcome([&] { posix::openAt(root.get(), "a", O_RDONLY); }), "ok"},
        {outcome([&] { posix::listDirectory(file.get()); }), "errno ENOTDIR"},
        {outcome([&] { posix::listDirectory(-1); }), "errno EBADF"},
        {cloexec(posix::duplicate(root.get()).get()) + cloexec(file.get()), "cloexeccloexec"},
        {outcome([&] { posix::open(dir.file("x"), O_RDONLY); }), "errno ENOENT"},
        {test::errnoName(exclusive.error) + cloexec(exclusive.fd.get()), "EEXISTnone"},
        {std::to_string(opened.error) + cloexec(opened.fd.get()), "0cloexec"},
        {closedTwice(opened.fd), "0 -1 0"},
        {test::errnoName(closedBehindItsBack(root.get()).closeChecked()), "EBADF"},
        {outcome([&] {
             UniqueFd gone = closedBehindItsBack(root.get());
             posix::close(gone);
         }),
         "errno EBADF"},
        {afterOwnersClose(root.get()), "ENOSPC"},
        {ran, "kept"},
        {preadText(file.get(), 4, 3) + "|" + preadText(file.get(), 16, 7) + "|" +
             preadText(file.get(), 16, 50),
         "3456|789|"},
        {outcome([&] { posix::fsyncDirectory(root.get()); }), "ok"},
        {test::errnoName(posix::errnoError(0).code().value()) +
             test::errnoName(posix::errnoError(100000).code().value()) +
             test::errnoName(posix::errnoError(ENOENT).code().value()),
         "EIOEIOENOENT"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
    }
    // No listing, failed or not, leaves a descriptor behind.
    EXPECT_EQ(test::namesIn("/proc/self/fd").size(), descriptors);
}

TEST(PosixTest, WriteAllAndReadFullCrossShortTransfers) {
    // A socket pair with a tiny buffer forces short writes and reads.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd writer(pair[0]);
    const UniqueFd reader(pair[1]);
    const int small = 4096;
    ::setsockopt(writer.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string payload(1 << 20, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i * 131 % 251);
    }
    std::thread sender([&] {
        posix::writeAll(writer.get(), payload.data(), payload.size());
        writer.reset();
    });
    std::string received(payload.size() + 10, '\0');
    received.resize(posix::readFull(reader.get(), received.data(), received.size()));
    sender.join();
    EXPECT_EQ(received, payload);
}

TEST(PosixTest, RaiseOpenFileLimitOncePerProcess) {
    struct rlimit initial {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &initial), 0);
    if (initial.rlim_max <= 256) {
        GTEST_SKIP() << "hard limit of open files is only " << initial.rlim_max;
    }
    const auto softLimitAfterRaise = [&] {
        struct rlimit limit {
            256, initial.rlim_max
        };
        ::setrlimit(RLIMIT_NOFILE, &limit);
        posix::raiseOpenFileLimit();
        ::getrlimit(RLIMIT_NOFILE, &limit);
        return limit.rlim_cur;
    };
    const test::ChildExit exit = test::runInChild([&] {
        // The second call leaves a limit lowered afterwards alone.
        return softLimitAfterRaise() == initial.rlim_max && softLimitAfterRaise() == 256 ? 0 : 1;
    });
    EXPECT_TRUE(exit.succeeded()) << exit.describe();
}

}  // namespace
}  // namespace tolvane
