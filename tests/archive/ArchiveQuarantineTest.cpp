#include "core/archive/ArchiveQuarantine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Posix.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Calls = ArchiveExtendedAttributes::SystemCalls;
using Code = ArchivePipelineError::Code;

std::string outcomeOf(const std::function<std::string()>& action) {
    try {
        return action();
    } catch (const ArchivePipelineError& e) {
        return (e.code() == Code::invalidArchive  ? "invalidArchive: "
                : e.code() == Code::sourceChanged ? "sourceChanged: "
                                                  : "other archive error: ") +
               e.detail();
    } catch (const std::system_error& e) {
        const char* name = strerrorname_np(e.code().value());
        return name != nullptr ? name : "errno " + std::to_string(e.code().value());
    }
}

std::string readOutcome(const std::string& path, const Calls& calls) {
    return outcomeOf([&] {
        const std::optional<std::string> value = ArchiveQuarantine::read(path, calls);
        return value ? "value of " + std::to_string(value->size()) + " bytes" : "absent";
    });
}

// Plays back one answer per call: a size (the buffer, when given, is filled with 'q') or -errno.
Calls playback(std::vector<ssize_t> answers) {
    auto next = std::make_shared<std::size_t>(0);
    return {.listNames = {},
            .getValue = [answers, next](int, const char* name, void* value, std::size_t size) {
                EXPECT_STREQ(name, "user.xdg.origin.url");
                EXPECT_LT(*next, answers.size()) << "unexpected call";
                const ssize_t answer = *next < answers.size() ? answers[(*next)++] : -EIO;
                errno = answer < 0 ? static_cast<int>(-answer) : 0;
                if (value != nullptr && answer > 0) {
                    std::memset(value, 'q', std::min(size, static_cast<std::size_t>(answer)));
                }
                return answer < 0 ? ssize_t{-1} : answer;
            }};
}

class ArchiveQuarantineTest : public testing::Test {
protected:
    void SetUp() override { test::writeFile(zip_, "PK"); }

    test::TempDir dir_;
    std::string zip_ = dir_.file("delivery.zip");
};

// A value counts only when it can be read whole and is at most 4,096 bytes.
TEST_F(ArchiveQuarantineTest, ReadsAtMostTheSupportedSize) {
    struct Case {
        std::vector<ssize_t> answers;
        std::string outcome;
        bool existing;
    };
    const std::string changed = "sourceChanged: ZIP quarantine metadata";
    const std::vector<Case> cases = {
        {{-ENODATA}, "absent", false},
        {{-ENOTSUP}, "absent", false},  // the volume keeps no attributes
        {{0}, "absent", false},
        {{1, 1}, "value of 1 bytes", true},
        {{4096, 4096}, "value of 4096 bytes", true},
        {{4097}, "invalidArchive: ZIP quarantine metadata exceeds the supported limit", false},
        {{-EACCES}, "EACCES", false},
        {{11, 10}, changed, false},       // shrank between the two reads
        {{11, -ERANGE}, changed, false},  // grew
        {{11, -ENODATA}, changed, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers.front());
        EXPECT_EQ(readOutcome(zip_, playback(c.answers)), c.outcome);
        EXPECT_EQ(ArchiveQuarantine::hasExistingQuarantine(3, playback(c.answers)), c.existing);
    }
}

TEST_F(ArchiveQuarantineTest, TheChosenZIPMustBeARegularFileReachedWithoutALink) {
    ASSERT_EQ(::symlink(zip_.c_str(), dir_.file("link.zip").c_str()), 0);
    ASSERT_EQ(::mkdir(dir_.file("folder.zip").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(dir_.file("pipe.zip").c_str(), 0600), 0);
    const std::string notRegular = "invalidArchive: the chosen ZIP is not a regular file";
    for (const auto& [name, outcome] : std::vector<std::pair<std::string, std::string>>{
             {"link.zip", "ELOOP"},
             {"folder.zip", notRegular},
             {"pipe.zip", notRegular},  // and does not wait for a writer
             {"missing.zip", "ENOENT"},
             {"delivery.zip", "absent"}}) {
        SCOPED_TRACE(name);
        // Only a regular file gets as far as asking for the attribute.
        const std::vector<ssize_t> answers(outcome == "absent" ? 1 : 0, -ENODATA);
        EXPECT_EQ(readOutcome(dir_.file(name), playback(answers)), outcome);
    }
}

// Real attributes on the file system of the temporary folder.
TEST_F(ArchiveQuarantineTest, StampingAcceptsEPERMOnlyOnAnAlreadyMarkedObject) {
    const UniqueFd file = posix::open(zip_, O_RDWR);
    if (::fsetxattr(file.get(), "user.probe", "1", 1, 0) != 0) {
        GTEST_SKIP() << dir_.path() << " keeps no user extended attributes";
    }
    struct Case {
        std::optional<std::string> existing;
        int error;
        std::string outcome;
        bool enabledAfter;
    };
    const std::string first = "https://first.invalid/";
    const std::vector<Case> cases = {
        {std::nullopt, 0, "ok", true},        {first, EPERM, "ok", true},
        {std::nullopt, EPERM, "EPERM", true}, {"", EPERM, "EPERM", true},  // marked with nothing
        {first, EACCES, "EACCES", true},      {std::nullopt, ENOTSUP, "ok", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.error << " on " << c.existing.value_or("(none)"));
        ::fremovexattr(file.get(), "user.xdg.origin.url");
        if (c.existing) {
            ASSERT_EQ(::fsetxattr(file.get(), "user.xdg.origin.url", c.existing->data(),
                                  c.existing->size(), 0),
                      0);
        }
        const bool marked = c.existing && !c.existing->empty();
        EXPECT_EQ(ArchiveQuarantine::read(zip_), marked ? c.existing : std::nullopt);
        EXPECT_EQ(ArchiveQuarantine::hasExistingQuarantine(file.get()), marked);
        int calls = 0;
        RestoredAttributeWriter writer(
            [&](int fd, const char* name, const void* value, std::size_t size) {
                ++calls;
                errno = c.error;
                return c.error != 0 ? -1 : ::fsetxattr(fd, name, value, size, 0);
            });
        const auto stamp = [&](const char* value) {
            return outcomeOf([&] {
                ArchiveQuarantine::stamp(file.get(), value, writer);
                return std::string("ok");
            });
        };
        EXPECT_EQ(stamp("https://new.invalid/"), c.outcome);
        EXPECT_EQ(writer.enabled(), c.enabledAfter);
        if (c.error == 0) {
            EXPECT_EQ(ArchiveQuarantine::read(zip_), "https://new.invalid/");
        }
        // A disabled writer is never asked again.
        stamp("x");
        EXPECT_EQ(calls, c.enabledAfter ? 2 : 1);
    }
}

}  // namespace
}  // namespace tolvane
