#include "core/common/Posix.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>

#include "core/common/ScopeExit.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

std::string cloexec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    return flags < 0 ? "none" : (flags & FD_CLOEXEC) != 0 ? "cloexec" : "inherited";
}

// A descriptor already closed behind its owner's back, so closing it fails with EBADF.
UniqueFd closedBehindItsBack(int fd) {
    UniqueFd copy(::dup(fd));
    ::close(copy.get());
    return copy;
}

TEST(PosixTest, DescriptorPrimitives) {
    test::TempDir dir;
    test::makeTree(dir.path(), {{"a", "0123456789"}, {"b/", ""}, {".c", ""}});
    const UniqueFd root = posix::open(dir.path(), O_RDONLY | O_DIRECTORY);
    const UniqueFd file = posix::open(dir.file("a"), O_RDONLY);
    // Each read of a packet socket returns one packet: readFull carries on to the end.
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
    const UniqueFd reader(ends[0]);
    UniqueFd writer(ends[1]);
    posix::writeAll(writer.get(), "abc", 3);
    posix::writeAll(writer.get(), "de", 2);
    writer.reset();
    std::string received(8, '\0');
    received.resize(posix::readFull(reader.get(), received.data(), received.size()));
    const std::size_t descriptors = test::namesIn("/proc/self/fd").size();
    const auto outcome = test::outcomeOf;
    const auto listed = [&] {
        std::vector<std::string> names = posix::listDirectory(root.get());
        std::sort(names.begin(), names.end());
        return testing::PrintToString(names);
    };
    const auto pread = [&](std::size_t size, off_t offset) {
        std::string bytes(size, '\0');
        bytes.resize(posix::preadAll(file.get(), bytes.data(), size, offset));
        return bytes + "|";
    };
    posix::OpenResult opened = posix::tryOpenAt(root.get(), "b", O_RDONLY | O_DIRECTORY);
    const posix::OpenResult exclusive = posix::tryOpenAt(root.get(), "a", O_CREAT | O_EXCL, 0600);
    const std::string openedCloexec = cloexec(opened.fd.get());
    std::string closed = std::to_string(opened.fd.closeChecked());
    closed += std::to_string(opened.fd.get());
    closed += std::to_string(opened.fd.closeChecked());  // closing again does nothing
    std::string ran;
    {
        // Neither a failing owner nor a clean-up's own calls replace the error being reported.
        const UniqueFd failing = closedBehindItsBack(root.get());
        const ScopeExit kept([&] { ran += "kept" + std::to_string(::close(-1)); });
        ScopeExit([&] { ran += "dismissed"; }).dismiss();
        errno = ENOSPC;
    }
    ran += test::errnoName(errno);
    const std::pair<std::string, std::string> rows[] = {
        {listed(), R"({ ".c", "a", "b" })"},
        // The first listing left the shared offset at the end; the second must still see all.
        {listed(), R"({ ".c", "a", "b" })"},
        {outcome([&] { posix::listDirectory(file.get()); }), "errno ENOTDIR"},
        {cloexec(posix::duplicate(root.get()).get()) + cloexec(file.get()) + openedCloexec,
         "cloexeccloexeccloexec"},
        {test::errnoName(exclusive.error) + cloexec(exclusive.fd.get()), "EEXISTnone"},
        {closed, "0-10"},
        {test::errnoName(closedBehindItsBack(root.get()).closeChecked()), "EBADF"},
        {outcome([&] {
             UniqueFd gone = closedBehindItsBack(root.get());
             posix::close(gone);
         }),
         "errno EBADF"},
        {ran, "kept-1ENOSPC"},
        {pread(4, 3) + pread(16, 7) + pread(16, 50), "3456|789||"},
        {received, "abcde"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(rows[i].first, rows[i].second) << "row " << i;
    }
    // No listing, failed or not, leaves a descriptor behind.
    EXPECT_EQ(test::namesIn("/proc/self/fd").size(), descriptors);
}

TEST(PosixTest, RaiseOpenFileLimitOncePerProcess) {
    rlimit initial{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &initial), 0);
    if (initial.rlim_max <= 256) {
        GTEST_SKIP() << "hard limit of open files is only " << initial.rlim_max;
    }
    // The second call leaves a limit lowered afterwards alone.
    const test::ChildExit exit = test::runInChild([&] {
        std::string softLimits;
        for (int i = 0; i < 2; ++i) {
            rlimit limit{256, initial.rlim_max};
            ::setrlimit(RLIMIT_NOFILE, &limit);
            posix::raiseOpenFileLimit();
            ::getrlimit(RLIMIT_NOFILE, &limit);
            softLimits += std::to_string(limit.rlim_cur) + " ";
        }
        return softLimits == std::to_string(initial.rlim_max) + " 256 " ? 0 : 1;
    });
    EXPECT_TRUE(exit.succeeded()) << exit.describe();
}

}  // namespace
}  // namespace tolvane
