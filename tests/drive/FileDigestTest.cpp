#include "core/drive/FileDigest.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stop_token>
#include <string>
#include <vector>

#include "core/common/Cancellation.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

constexpr std::size_t MiB = FileDigest::blockSize;

TEST(FileDigestTest, OnePassOverEveryBlockOfTheRegularFileNamed) {
    // Sizes around the block boundaries against one-shot digests: a lost, doubled or misplaced
    // block changes both.
    test::TempDir dir;
    const std::string path = dir.file("archive.zip");
    for (const std::size_t size : {std::size_t{0}, MiB - 1, MiB, MiB + 1, 3 * MiB + 5}) {
        const std::string content = test::randomBytes(size, size);
        test::writeFile(path, content);
        int checks = 0;
        const FileDigest digest = FileDigest::compute(path, [&] { ++checks; });
        Md5 md5;
        md5.update(content);
        EXPECT_EQ(digest, (FileDigest{static_cast<std::int64_t>(size), Sha256::hexOf(content),
                                      HexString::encode(md5.finish())}))
            << size;
        // One cancellation check per block read, none for the end of the file.
        EXPECT_EQ(checks, static_cast<int>((size + MiB - 1) / MiB)) << size;
    }
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(FileDigest::compute(path, stop.get_token()), OperationCancelled);

    // Only the regular file named is read.
    test::makeTree(dir.path(), {{"real.zip", "data"}, {"folder.zip/", ""}});
    ASSERT_EQ(::symlink(dir.file("real.zip").c_str(), dir.file("link.zip").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe.zip").c_str(), 0600), 0);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.file("real.zip"), "ok"},
        // The share checks the path itself; a link swapped in later must not be followed.
        {dir.file("link.zip"), "errno ELOOP"},
        {dir.file("folder.zip"), "errno EISDIR"},
        // Neither waits for a writer nor reads a device that never ends.
        {dir.file("pipe.zip"), "errno EINVAL"},
        {"/dev/zero", "errno EINVAL"},
    };
    for (const auto& [path, outcome] : cases) {
        // In a child, so a regression that blocks in open(2) fails by the alarm.
        const auto digest = [&] { FileDigest::compute(path, std::stop_token{}); };
        const test::ChildExit exit =
            test::runInChild([&] { return test::outcomeOf(digest) == outcome ? 0 : 1; }, 30);
        EXPECT_TRUE(exit.succeeded()) << path << ": " << exit.describe();
    }
}

}  // namespace
}  // namespace tolvane
