#include "core/archive/ArchiveQuarantine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>

#include "core/common/Posix.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

// A pipe is refused without waiting for a writer. Stamping accepts EPERM only on an object
// already marked with a value.
TEST(ArchiveQuarantineTest, ReadsAtMostTheSupportedSizeAndStampsWithoutDoubt) {
    test::TempDir dir;
    test::makeTree(dir.path(), {{"a.zip", "PK"}, {"folder.zip/", ""}});
    ASSERT_EQ(::symlink("a.zip", dir.file("link.zip").c_str()), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe.zip").c_str(), 0600), 0);
    const std::string bad = "invalidArchive: ";
    const std::string notFile = bad + "the chosen ZIP is not a regular file";
    // clang-format off
    const std::vector<std::tuple<std::vector<ssize_t>, std::string, std::string>> cases = {
        {{-ENODATA}, "a.zip", "absent"}, {{-ENOTSUP}, "a.zip", "absent"}, {{0}, "a.zip", "absent"},
        {{4096, 4096}, "a.zip", "4096 bytes"}, {{-EACCES}, "a.zip", "errno EACCES"},
        {{4097}, "a.zip", bad + "ZIP quarantine metadata exceeds the supported limit"},
        {{11, 10}, "a.zip", "sourceChanged: ZIP quarantine metadata"},
        {{}, "link.zip", "errno ELOOP"}, {{}, "folder.zip", notFile}, {{}, "pipe.zip", notFile}};
    // clang-format on
    for (const auto& [answers, file, outcome] : cases) {
        SCOPED_TRACE(outcome);
        std::size_t next = 0;
        const auto getValue = [&](int, const char*, void*, std::size_t) {
            const ssize_t answer = next < answers.size() ? answers[next++] : -EIO;
            errno = answer < 0 ? static_cast<int>(-answer) : 0;
            return answer < 0 ? ssize_t{-1} : answer;
        };
        std::optional<std::string> value;
        const std::string result = test::outcomeOf([&] {
            value = ArchiveQuarantine::read(dir.file(file), {{}, getValue});
        });
        EXPECT_EQ(result != "ok" ? result
                  : value        ? std::to_string(value->size()) + " bytes"
                                 : "absent",
                  outcome);
        EXPECT_EQ(next, answers.size());
    }

    const UniqueFd file = posix::open(dir.file("a.zip"), O_RDWR);
    if (::fsetxattr(file.get(), "user.probe", "1", 1, 0) != 0) {
        GTEST_SKIP() << dir.path() << " keeps no user extended attributes";
    }
    const std::string first = "https://first.invalid/";
    using Row = std::tuple<std::string, int, std::string>;
    // clang-format off
    for (const auto& [existing, error, outcome] : std::vector<Row>{{"-", 0, "ok"},
             {first, EPERM, "ok"}, {"-", EPERM, "errno EPERM"}, {"", EPERM, "errno EPERM"},
             {first, EACCES, "errno EACCES"}, {"-", ENOTSUP, "ok"}}) {
        // clang-format on
        SCOPED_TRACE(existing + " " + std::to_string(error));
        ::fremovexattr(file.get(), ArchiveQuarantine::attributeName);
        ASSERT_TRUE(existing == "-" || ::fsetxattr(file.get(), ArchiveQuarantine::attributeName,
                                                   existing.data(), existing.size(), 0) == 0);
        RestoredAttributeWriter writer(
            [&](int fd, const char* name, const void* value, std::size_t size) {
                errno = error;
                return error != 0 ? -1 : ::fsetxattr(fd, name, value, size, 0);
            });
        EXPECT_EQ(test::outcomeOf([&] {
                      ArchiveQuarantine::stamp(file.get(), "https://new.invalid/", writer);
                  }),
                  outcome);
        const std::string before = existing.empty() ? "-" : existing;
        EXPECT_EQ(ArchiveQuarantine::read(dir.file("a.zip")).value_or("-"),
                  error == 0 ? "https://new.invalid/" : before);
    }
}

}  // namespace
}  // namespace tolvane
