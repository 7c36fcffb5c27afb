#include "core/drive/FileDigest.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <stop_token>
#include <string>
#include <system_error>
#include <vector>

#include "core/common/Cancellation.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

constexpr std::size_t MiB = FileDigest::blockSize;

// Bytes whose pattern does not repeat on block boundaries, so a lost, doubled or misplaced block
// changes both digests.
std::string patterned(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 31 + 7) % 251);
    }
    return bytes;
}

TEST(FileDigestTest, KnownVectorsAcrossBlockBoundaries) {
    struct Case {
        std::string content;
        std::string sha256;
        std::string md5;
        int blocks;  // non-empty reads, each followed by one cancellation check
    };
    // Digests computed independently of this code base.
    const std::vector<Case> cases = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
         "d41d8cd98f00b204e9800998ecf8427e", 0},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
         "900150983cd24fb0d6963f7d28e17f72", 1},
        {patterned(1), "ca358758f6d27e6cf45272937977a748fd88391db679ceda7dc7bf1f005ee879",
         "89e74e640b8c46257a29de0616794d5d", 1},
        {patterned(MiB - 1), "14446dd49471dd263c478a8bd520ff2c4838ba97b15b4b53aaec61356f27b038",
         "31178ebb4f8c7550acb10a20787be513", 1},
        {patterned(MiB), "1c59b8670027384143781a8a8bff2f3b44bd8818d0f53b13b064c2375a1afe38",
         "135194bb26b3ecdb6693b6610b5f81cd", 1},
        {patterned(MiB + 1), "455ced47859eda55f31afb1ed6e145648da8b8a50cc2fa1059abc4e356838615",
         "916ba135fd79f52b3611f1766e47e0dd", 2},
        {patterned(3 * MiB + 5), "0c413e80a4d8c904546482f7a4208a5f7f9504468c13f354d30016696ebd9eb2",
         "0c61fd721b1ef11cfe9c8c79ada867a8", 4},
    };
    test::TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir.file("archive.zip");
        test::writeFile(path, c.content);
        int checks = 0;
        const FileDigest digest = FileDigest::compute(path, [&] { ++checks; });
        EXPECT_EQ(digest,
                  (FileDigest{static_cast<std::int64_t>(c.content.size()), c.sha256, c.md5}))
            << c.content.size();
        EXPECT_EQ(checks, c.blocks) << c.content.size();
        // The stop-token form gives the same result when nothing asks to stop.
        EXPECT_EQ(FileDigest::compute(path, std::stop_token{}), digest);
    }
}

TEST(FileDigestTest, CancellationEndsAfterTheCurrentBlock) {
    test::TempDir dir;
    const std::string path = dir.file("large.zip");
    test::writeFile(path, patterned(5 * MiB));

    // Cancelled while the third block is in hand: no fourth block is read.
    int checks = 0;
    EXPECT_THROW(FileDigest::compute(path,
                                     [&] {
                                         if (++checks == 3) {
                                             throw OperationCancelled();
                                         }
                                     }),
                 OperationCancelled);
    EXPECT_EQ(checks, 3);

    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(FileDigest::compute(path, stop.get_token()), OperationCancelled);

    // The check follows a read that returned data, so an empty file completes even then.
    const std::string empty = dir.file("empty.zip");
    test::writeFile(empty, "");
    EXPECT_EQ(FileDigest::compute(empty, stop.get_token()).size, 0);
}

std::error_code digestError(const std::string& path) {
    try {
        FileDigest::compute(path, std::stop_token{});
    } catch (const std::system_error& error) {
        return error.code();
    }
    return {};
}

TEST(FileDigestTest, RefusesAnythingButARegularFile) {
    test::TempDir dir;
    test::writeFile(dir.file("real.zip"), "data");
    ASSERT_EQ(::symlink(dir.file("real.zip").c_str(), dir.file("link.zip").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("pipe").c_str(), dir.file("pipe-link.zip").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(dir.file("folder.zip").c_str(), 0700), 0);

    struct Case {
        std::string path;
        int error;
    };
    const std::vector<Case> cases = {
        // A link is followed, but only to a regular file.
        {dir.file("pipe-link.zip"), EINVAL},
        {dir.file("folder.zip"), EISDIR},
        {dir.file("missing.zip"), ENOENT},
        // A device that never ends would otherwise be read forever.
        {"/dev/zero", EINVAL},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(digestError(c.path), std::error_code(c.error, std::generic_category())) << c.path;
    }
    EXPECT_EQ(FileDigest::compute(dir.file("link.zip"), std::stop_token{}).size, 4);
}

TEST(FileDigestTest, RefusesAFifoWithoutWaitingForAWriter) {
    test::TempDir dir;
    const std::string fifo = dir.file("pipe.zip");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // In a child, so a regression that blocks in open(2) fails by the alarm instead of hanging
    // the whole test program.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(30);
        const bool refused = digestError(fifo) == std::error_code(EINVAL, std::generic_category());
        ::_exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tolvane
