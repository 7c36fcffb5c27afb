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

std::string outcomeOf(const std::function<std::string()>& action) {
    try {
        return action();
    } catch (const ArchivePipelineError& e) {
        switch (e.code()) {
            case ArchivePipelineError::Code::invalidArchive:
                return "invalidArchive: " + e.detail();
            case ArchivePipelineError::Code::sourceChanged:
                return "sourceChanged: " + e.detail();
            default:
                return "other archive error: " + e.detail();
        }
    } catch (const std::system_error& e) {
        const char* name = strerrorname_np(e.code().value());
        return name != nullptr ? name : "errno " + std::to_string(e.code().value());
    }
}

std::string render(const std::optional<std::string>& value) {
    return value ? "value of " + std::to_string(value->size()) + " bytes" : "absent";
}

// Plays back one answer per call: a size (the buffer, when given, is filled with 'q') or -errno.
Calls playback(std::vector<ssize_t> answers, int* callCount = nullptr) {
    auto remaining = std::make_shared<std::vector<ssize_t>>(std::move(answers));
    Calls calls;
    calls.getValue = [remaining, callCount](int, const char* name, void* value, std::size_t size) {
        EXPECT_STREQ(name, "user.xdg.origin.url");
        if (callCount != nullptr) {
            ++*callCount;
        }
        if (remaining->empty()) {
            ADD_FAILURE() << "unexpected call";
            errno = EIO;
            return ssize_t{-1};
        }
        const ssize_t answer = remaining->front();
        remaining->erase(remaining->begin());
        if (answer < 0) {
            errno = static_cast<int>(-answer);
            return ssize_t{-1};
        }
        if (value != nullptr) {
            std::memset(value, 'q', std::min(size, static_cast<std::size_t>(answer)));
        }
        return answer;
    };
    return calls;
}

class ArchiveQuarantineTest : public testing::Test {
protected:
    void SetUp() override {
        zip_ = dir_.file("delivery.zip");
        test::writeFile(zip_, "PK");
    }

    test::TempDir dir_;
    std::string zip_;
};

TEST_F(ArchiveQuarantineTest, ReadsAtMostTheSupportedSize) {
    struct Case {
        std::string name;
        std::vector<ssize_t> answers;
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"none", {-ENODATA}, "absent"},
        {"no attributes on the volume", {-ENOTSUP}, "absent"},
        {"no attributes, other spelling", {-EOPNOTSUPP}, "absent"},
        {"empty", {0}, "absent"},
        {"one byte", {1, 1}, "value of 1 bytes"},
        {"largest", {4096, 4096}, "value of 4096 bytes"},
        {"too large",
         {4097},
         "invalidArchive: ZIP quarantine metadata exceeds the supported limit"},
        {"unreadable", {-EACCES}, "EACCES"},
        {"shrank", {11, 10}, "sourceChanged: ZIP quarantine metadata"},
        {"grew", {11, -ERANGE}, "sourceChanged: ZIP quarantine metadata"},
        {"vanished", {11, -ENODATA}, "sourceChanged: ZIP quarantine metadata"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Calls calls = playback(c.answers);
        EXPECT_EQ(outcomeOf([&] { return render(ArchiveQuarantine::read(zip_, calls)); }),
                  c.outcome);
    }
}

TEST_F(ArchiveQuarantineTest, TheChosenZIPMustBeARegularFileReachedWithoutALink) {
    ASSERT_EQ(::symlink(zip_.c_str(), dir_.file("link.zip").c_str()), 0);
    ASSERT_EQ(::mkdir(dir_.file("folder.zip").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(dir_.file("pipe.zip").c_str(), 0600), 0);
    struct Case {
        std::string name;
        std::string outcome;
    };
    const std::string notRegular = "invalidArchive: the chosen ZIP is not a regular file";
    for (const Case& c :
         std::vector<Case>{{"link.zip", "ELOOP"},
                           {"folder.zip", notRegular},
                           {"pipe.zip", notRegular},  // and does not wait for a writer
                           {"missing.zip", "ENOENT"},
                           {"delivery.zip", "absent"}}) {
        SCOPED_TRACE(c.name);
        int calls = 0;
        const Calls answers = playback({-ENODATA}, &calls);
        EXPECT_EQ(
            outcomeOf([&] { return render(ArchiveQuarantine::read(dir_.file(c.name), answers)); }),
            c.outcome);
        EXPECT_EQ(calls, c.outcome == "absent" ? 1 : 0);
    }
}

TEST_F(ArchiveQuarantineTest, AnExistingValueIsOneThatCanBeReadWhole) {
    struct Case {
        std::vector<ssize_t> answers;
        bool existing;
    };
    for (const Case& c : std::vector<Case>{{{-ENODATA}, false},
                                           {{0}, false},
                                           {{1, 1}, true},
                                           {{4096, 4096}, true},
                                           {{4097}, false},
                                           {{20, 19}, false},
                                           {{20, -ERANGE}, false}}) {
        SCOPED_TRACE(c.answers.front());
        EXPECT_EQ(ArchiveQuarantine::hasExistingQuarantine(3, playback(c.answers)), c.existing);
    }
}

// Real attributes on the file system of the temporary folder.
class ArchiveQuarantineFileTest : public ArchiveQuarantineTest {
protected:
    void SetUp() override {
        ArchiveQuarantineTest::SetUp();
        fd_ = posix::open(zip_, O_RDWR);
        if (::fsetxattr(fd_.get(), "user.probe", "1", 1, 0) != 0) {
            GTEST_SKIP() << dir_.path()
                         << " keeps no user extended attributes: " << std::strerror(errno);
        }
    }

    std::optional<std::string> stored() {
        std::string value(8192, '\0');
        const ssize_t got =
            ::fgetxattr(fd_.get(), "user.xdg.origin.url", value.data(), value.size());
        if (got < 0) {
            return std::nullopt;
        }
        value.resize(static_cast<std::size_t>(got));
        return value;
    }

    UniqueFd fd_;
};

TEST_F(ArchiveQuarantineFileTest, ReadsTheDownloadProvenance) {
    EXPECT_EQ(ArchiveQuarantine::read(zip_), std::nullopt);
    EXPECT_FALSE(ArchiveQuarantine::hasExistingQuarantine(fd_.get()));
    const std::string url = "https://example.invalid/files/delivery.zip";
    ASSERT_EQ(::fsetxattr(fd_.get(), "user.xdg.origin.url", url.data(), url.size(), 0), 0);
    EXPECT_EQ(ArchiveQuarantine::read(zip_), url);
    EXPECT_TRUE(ArchiveQuarantine::hasExistingQuarantine(fd_.get()));
}

TEST_F(ArchiveQuarantineFileTest, StampingAcceptsEPERMOnlyOnAnAlreadyMarkedObject) {
    struct Case {
        std::string name;
        std::optional<std::string> existing;
        int error;
        std::string outcome;
        bool enabledAfter;
    };
    const std::vector<Case> cases = {
        {"set", std::nullopt, 0, "ok", true},
        {"refused, already marked", "https://first.invalid/", EPERM, "ok", true},
        {"refused, unmarked", std::nullopt, EPERM, "EPERM", true},
        {"refused, marked with nothing", "", EPERM, "EPERM", true},
        {"other failure on a marked object", "https://first.invalid/", EACCES, "EACCES", true},
        {"no room", std::nullopt, ENOSPC, "ENOSPC", true},
        {"volume keeps no attributes", std::nullopt, ENOTSUP, "ok", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::fremovexattr(fd_.get(), "user.xdg.origin.url");
        if (c.existing) {
            ASSERT_EQ(::fsetxattr(fd_.get(), "user.xdg.origin.url", c.existing->data(),
                                  c.existing->size(), 0),
                      0);
        }
        int calls = 0;
        RestoredAttributeWriter writer(
            [&](int fd, const char* name, const void* value, std::size_t size) {
                ++calls;
                if (c.error != 0) {
                    errno = c.error;
                    return -1;
                }
                return ::fsetxattr(fd, name, value, size, 0);
            });
        EXPECT_EQ(outcomeOf([&] {
                      ArchiveQuarantine::stamp(fd_.get(), "https://new.invalid/", writer);
                      return std::string("ok");
                  }),
                  c.outcome);
        EXPECT_EQ(writer.enabled(), c.enabledAfter);
        if (c.error == 0) {
            EXPECT_EQ(stored(), "https://new.invalid/");
        }
        // A disabled writer is never asked again.
        outcomeOf([&] {
            ArchiveQuarantine::stamp(fd_.get(), "x", writer);
            return std::string("ok");
        });
        EXPECT_EQ(calls, c.enabledAfter ? 2 : 1);
    }
}

}  // namespace
}  // namespace tolvane
