#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "core/common/Posix.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

TEST(PosixTest, ErrnoErrorNeverReportsSuccess) {
    EXPECT_EQ(posix::errnoError(ENOENT).code(), std::error_code(ENOENT, std::generic_category()));
    for (const int unknown : {0, -1, 100000}) {
        EXPECT_EQ(posix::errnoError(unknown).code(), std::error_code(EIO, std::generic_category()))
            << unknown;
    }
}

TEST(PosixTest, OpenSetsCloseOnExecAndThrowsWithErrno) {
    test::TempDir dir;
    test::writeFile(dir.file("f"), "data");
    UniqueFd fd = posix::open(dir.file("f"), O_RDONLY);
    EXPECT_TRUE(::fcntl(fd.get(), F_GETFD) & FD_CLOEXEC);
    try {
        posix::open(dir.file("missing"), O_RDONLY);
        FAIL() << "expected an error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::error_code(ENOENT, std::generic_category()));
    }
}

TEST(PosixTest, WriteAllAndReadFullCrossShortTransfers) {
    // A socket pair with a tiny buffer forces short writes and reads.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd writer(pair[0]);
    UniqueFd reader(pair[1]);
    int small = 4096;
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
    const std::size_t got = posix::readFull(reader.get(), received.data(), received.size());
    sender.join();
    received.resize(got);
    EXPECT_EQ(received, payload);
}

TEST(PosixTest, PreadAllStopsAtEndOfFile) {
    test::TempDir dir;
    test::writeFile(dir.file("f"), "0123456789");
    UniqueFd fd = posix::open(dir.file("f"), O_RDONLY);
    char buffer[16] = {};
    EXPECT_EQ(posix::preadAll(fd.get(), buffer, 4, 3), 4u);
    EXPECT_EQ(std::string(buffer, 4), "3456");
    EXPECT_EQ(posix::preadAll(fd.get(), buffer, sizeof buffer, 7), 3u);
    EXPECT_EQ(posix::preadAll(fd.get(), buffer, sizeof buffer, 50), 0u);
    UniqueFd directory = posix::open(dir.path(), O_RDONLY | O_DIRECTORY);
    EXPECT_NO_THROW(posix::fsyncDirectory(directory.get()));
    EXPECT_NO_THROW(posix::fsync(fd.get()));
}

TEST(PosixTest, RaiseOpenFileLimitLiftsTheSoftLimitToTheHardOne) {
    struct rlimit initial {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &initial), 0);
    if (initial.rlim_max <= 256) {
        GTEST_SKIP() << "hard limit of open files is only " << initial.rlim_max;
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit limit {
            256, initial.rlim_max
        };
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            ::_exit(10);
        }
        posix::raiseOpenFileLimit();
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur != initial.rlim_max) {
            ::_exit(1);
        }
        // Once per process: a limit lowered afterwards is left alone.
        limit.rlim_cur = 256;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        posix::raiseOpenFileLimit();
        ::_exit(::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur == 256 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tolvane
