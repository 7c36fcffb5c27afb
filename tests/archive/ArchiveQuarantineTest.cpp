#include "core/archive/ArchiveQuarantine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstring>

#include "core/common/Posix.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

// A value counts only when it reads whole and holds at most 4,096 bytes; the chosen ZIP must be
// a regular file reached without a link. `answers` play back one size or -errno per call.
TEST(ArchiveQuarantineTest, ReadsAtMostTheSupportedSizeFromARegularFile) {
    test::TempDir dir;
    test::writeFile(dir.file("a.zip"), "PK");
    ASSERT_EQ(::symlink("a.zip", dir.file("link.zip").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("folder.zip").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe.zip").c_str(), 0600), 0);  // and does not wait for a writer
    const std::string changed = "sourceChanged: ZIP quarantine metadata";
    const std::string notRegular = "invalidArchive: the chosen ZIP is not a regular file";
    struct Case {
        std::vector<ssize_t> answers;
        std::string outcome;
        std::string file = "a.zip";
    };
    // clang-format off
    const std::vector<Case> cases = {
        {{-ENODATA}, "absent"}, {{-ENOTSUP}, "absent"}, {{0}, "absent"}, {{1, 1}, "1 bytes"},
        {{4096, 4096}, "4096 bytes"},
        {{4097}, "invalidArchive: ZIP quarantine metadata exceeds the supported limit"},
        {{-EACCES}, "errno EACCES"}, {{11, 10}, changed}, {{11, -ERANGE}, changed},
        {{11, -ENODATA}, changed}, {{}, "errno ELOOP", "link.zip"}, {{}, notRegular, "folder.zip"},
        {{}, notRegular, "pipe.zip"}, {{}, "errno ENOENT", "missing.zip"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        std::size_t next = 0;
        const auto getValue = [&](int, const char* name, void* value, std::size_t size) {
            EXPECT_STREQ(name, ArchiveQuarantine::attributeName);
            const ssize_t answer = next < c.answers.size() ? c.answers[next++] : -EIO;
            if (value != nullptr && answer > 0) {
                std::memset(value, 'q', std::min(size, static_cast<std::size_t>(answer)));
            }
            errno = answer < 0 ? static_cast<int>(-answer) : 0;
            return answer < 0 ? ssize_t{-1} : answer;
        };
        std::optional<std::string> value;
        std::string outcome = test::outcomeOf([&] {
            value = ArchiveQuarantine::read(dir.file(c.file), {{}, getValue});
        });
        EXPECT_EQ(outcome == "ok" ? (value ? std::to_string(value->size()) + " bytes" : "absent")
                                  : outcome,
                  c.outcome);
        EXPECT_EQ(next, c.answers.size());
        next = 0;
        EXPECT_EQ(!c.answers.empty() && ArchiveQuarantine::hasExistingQuarantine(3, {{}, getValue}),
                  c.outcome.ends_with("bytes"));
    }
}

// EPERM on stamping is accepted only on an object already marked with a value.
TEST(ArchiveQuarantineTest, StampingAcceptsEPERMOnlyOnAnAlreadyMarkedObject) {
    test::TempDir dir;
    test::writeFile(dir.file("a.zip"), "PK");
    const UniqueFd file = posix::open(dir.file("a.zip"), O_RDWR);
    if (::fsetxattr(file.get(), "user.probe", "1", 1, 0) != 0) {
        GTEST_SKIP() << dir.path() << " keeps no user extended attributes";
    }
    struct Case {
        std::string existing;  // "-" for none
        int error;
        std::string outcome;
    };
    const std::string first = "https://first.invalid/";
    // clang-format off
    for (const Case& c : std::vector<Case>{{"-", 0, "ok"}, {first, EPERM, "ok"}, {"-", EPERM, "errno EPERM"},
                                           {"", EPERM, "errno EPERM"}, {first, EACCES, "errno EACCES"},
                                           {"-", ENOTSUP, "ok"}}) {
        // clang-format on
        SCOPED_TRACE(c.existing + " " + std::to_string(c.error));
        ::fremovexattr(file.get(), ArchiveQuarantine::attributeName);
        ASSERT_TRUE(c.existing == "-" || ::fsetxattr(file.get(), ArchiveQuarantine::attributeName,
                                                     c.existing.data(), c.existing.size(), 0) == 0);
        int calls = 0;
        RestoredAttributeWriter writer(
            [&](int fd, const char* name, const void* value, std::size_t size) {
                ++calls;
                errno = c.error;
                return c.error != 0 ? -1 : ::fsetxattr(fd, name, value, size, 0);
            });
        EXPECT_EQ(test::outcomeOf([&] {
                      ArchiveQuarantine::stamp(file.get(), "https://new.invalid/", writer);
                  }),
                  c.outcome);
        const std::string before = c.existing.empty() ? "-" : c.existing;
        EXPECT_EQ(ArchiveQuarantine::read(dir.file("a.zip")).value_or("-"),
                  c.error == 0 ? "https://new.invalid/" : before);
        // A disabled writer is never asked again.
        test::outcomeOf([&] { ArchiveQuarantine::stamp(file.get(), "x", writer); });
        EXPECT_EQ(calls, c.error == ENOTSUP ? 1 : 2);
    }
}

}  // namespace
}  // namespace tolvane
