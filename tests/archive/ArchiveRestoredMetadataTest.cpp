#include "core/archive/ArchiveRestoredMetadata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Posix.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Map = ArchiveExtendedAttributes::Map;
namespace Restored = ArchiveRestoredMetadata;

// A writer that records "name=value" per call and fails calls as told.
struct RecordingWriter {
    std::vector<std::string> calls;
    std::function<int(const std::string& name)> errorFor = [](const std::string&) { return 0; };

    RestoredAttributeWriter make() {
        return RestoredAttributeWriter(
            [this](int, const char* name, const void* value, std::size_t size) {
                calls.push_back(std::string(name) + "=" +
                                std::string(static_cast<const char*>(value), size));
                if (const int error = errorFor(name); error != 0) {
                    errno = error;
                    return -1;
                }
                return 0;
            });
    }
};

std::string outcomeOf(const std::function<void()>& action) {
    try {
        action();
        return "ok";
    } catch (const ArchivePipelineError& e) {
        return e.code() == ArchivePipelineError::Code::invalidArchive
                   ? "invalidArchive: " + e.detail()
                   : "other archive error: " + e.detail();
    } catch (const std::system_error& e) {
        const char* name = strerrorname_np(e.code().value());
        return name != nullptr ? name : "errno " + std::to_string(e.code().value());
    }
}

TEST(ArchiveRestoredMetadataTest, AttributesAreSetInByteOrderUnderTheUserNamespace) {
    struct Case {
        std::string name;
        Map attributes;
        std::vector<std::string> calls;
        std::string outcome;
    };
    const std::string nul("a\0b", 3);
    const std::vector<Case> cases = {
        {"order", Map{{"b", "2"}, {"a", "1"}}, {"user.a=1", "user.b=2"}, "ok"},
        // "e" + U+0301 composes to "é" and so sorts after "f" in the map, but before it in bytes.
        {"bytes, not composed text",
         Map{{"f", "3"}, {"e\xCC\x81", "2"}, {"\xC3\xA9", "4"}, {"Z", "1"}},
         {"user.Z=1", "user.e\xCC\x81=2", "user.f=3", "user.\xC3\xA9=4"},
         "ok"},
        {"host bookkeeping skipped",
         Map{{"com.apple.macl", "m"},
             {"com.apple.quarantine", "q"},
             {"xdg.origin.url", "u"},
             {"keep", ""}},
         {"user.keep="},
         "ok"},
        {"empty name refused",
         Map{{"", "x"}, {"a", "1"}},
         {},
         "invalidArchive: invalid extended attribute name"},
        {"NUL refused after earlier names",
         Map{{"0", "0"}, {nul, "x"}, {"b", "1"}},
         {"user.0=0"},
         "invalidArchive: invalid extended attribute name"},
        {"foreign provenance refused",
         Map{{"a", "1"}, {"com.apple.provenance", "p"}, {"z", "2"}},
         {"user.a=1"},
         "invalidArchive: invalid extended attribute name"},
        {"nothing", Map{}, {}, "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingWriter recorder;
        RestoredAttributeWriter writer = recorder.make();
        EXPECT_EQ(outcomeOf([&] { Restored::applyExtendedAttributes(c.attributes, 3, writer); }),
                  c.outcome);
        EXPECT_EQ(recorder.calls, c.calls);
        EXPECT_TRUE(writer.enabled());
    }
}

TEST(ArchiveRestoredMetadataTest, OnlyADestinationWithoutAttributesIsSkipped) {
    struct Case {
        int error;
        std::string outcome;
        bool enabled;
    };
    const std::vector<Case> cases = {
        {ENOTSUP, "ok", false}, {EOPNOTSUPP, "ok", false}, {ENOSPC, "ENOSPC", true},
        {E2BIG, "E2BIG", true}, {ERANGE, "ERANGE", true},  {EACCES, "EACCES", true},
        {999999, "EIO", true},  // an unknown code is still a failure
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        RecordingWriter recorder;
        recorder.errorFor = [&](const std::string& name) { return name == "user.b" ? c.error : 0; };
        RestoredAttributeWriter writer = recorder.make();
        const Map attributes{{"a", "1"}, {"b", "2"}, {"c", "3"}};
        EXPECT_EQ(outcomeOf([&] { Restored::applyExtendedAttributes(attributes, 3, writer); }),
                  c.outcome);
        EXPECT_EQ(writer.enabled(), c.enabled);
        if (!c.enabled) {
            // Nothing more is tried for the rest of the job, but names are still checked.
            EXPECT_EQ(recorder.calls, (std::vector<std::string>{"user.a=1", "user.b=2"}));
            EXPECT_EQ(outcomeOf([&] { Restored::applyExtendedAttributes(attributes, 3, writer); }),
                      "ok");
            EXPECT_EQ(
                outcomeOf([&] {
                    Restored::applyExtendedAttributes(Map{{"com.apple.provenance", ""}}, 3, writer);
                }),
                "invalidArchive: invalid extended attribute name");
            EXPECT_EQ(recorder.calls.size(), 2u);
        }
    }
}

TEST(ArchiveRestoredMetadataTest, ModificationTimeIsTruncatedToMicroseconds) {
    struct Case {
        double date;
        std::int64_t seconds;
        long nanoseconds;
    };
    const std::vector<Case> cases = {
        {1'700'000'000.25, 1'700'000'000, 250'000'000},
        {1'700'000'000.0, 1'700'000'000, 0},
        {315'532'800.9999999, 315'532'800, 999'999'000},  // truncated, never rounded up
        {0.0000009, 0, 0},
        {-1.5, -2, 500'000'000},  // a valid timespec for the same instant
        {-0.25, -1, 750'000'000},
        {-7.0, -7, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date);
        const timespec t = Restored::modificationTime(c.date);
        EXPECT_EQ(t.tv_sec, c.seconds);
        EXPECT_EQ(t.tv_nsec, c.nanoseconds);
    }
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(), 1e300, -0x1p63}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(outcomeOf([&] { Restored::modificationTime(bad); }), "EINVAL");
    }
}

class ArchiveRestoredMetadataFileTest : public testing::Test {
protected:
    void SetUp() override {
        path_ = dir_.file("item");
        test::writeFile(path_, "content");
        fd_ = posix::open(path_, O_RDONLY | O_NOFOLLOW);
    }

    struct stat statOf() const {
        struct stat st {};
        EXPECT_EQ(::fstat(fd_.get(), &st), 0);
        return st;
    }

    test::TempDir dir_;
    std::string path_;
    UniqueFd fd_;
};

TEST_F(ArchiveRestoredMetadataFileTest, OnlyTheLowNinePermissionBitsAreApplied) {
    struct Case {
        std::uint16_t archived;
        mode_t applied;
    };
    for (const Case& c : std::vector<Case>{{04755, 0755}, {07777, 0777}, {0, 0}, {0177644, 0644}}) {
        SCOPED_TRACE(c.archived);
        Restored::applyFilesystemMetadata(c.archived, std::nullopt, fd_.get());
        EXPECT_EQ(statOf().st_mode & 07777, c.applied);
    }
}

TEST_F(ArchiveRestoredMetadataFileTest, TheModificationTimeIsSetAndTheAccessTimeKept) {
    const timespec access{1'600'000'000, 123'456'789};
    const timespec times[2] = {access, {1'000'000'000, 0}};
    ASSERT_EQ(::futimens(fd_.get(), times), 0);

    Restored::applyFilesystemMetadata(std::nullopt, 1'700'000'000.25, fd_.get());
    const struct stat st = statOf();
    EXPECT_EQ(st.st_mtim.tv_sec, 1'700'000'000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 250'000'000);
    EXPECT_EQ(st.st_atim.tv_sec, access.tv_sec);
    EXPECT_EQ(st.st_atim.tv_nsec, access.tv_nsec);
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // no permissions given, none changed
}

TEST_F(ArchiveRestoredMetadataFileTest, AttributesLandInTheUserNamespace) {
    if (::fsetxattr(fd_.get(), "user.probe", "1", 1, 0) != 0) {
        GTEST_SKIP() << dir_.path()
                     << " keeps no user extended attributes: " << std::strerror(errno);
    }
    ASSERT_EQ(::fremovexattr(fd_.get(), "user.probe"), 0);
    RestoredAttributeWriter writer;
    const std::string binary("\0\xFF", 2);
    Restored::applyExtendedAttributes(Map{{"b", binary},
                                          {"a", ""},
                                          {"이름", "값"},
                                          {"com.apple.quarantine", "q"},
                                          {"xdg.origin.url", "https://elsewhere.invalid/"}},
                                      fd_.get(), writer);
    std::string list(4096, '\0');
    const ssize_t size = ::flistxattr(fd_.get(), list.data(), list.size());
    ASSERT_GE(size, 0);
    list.resize(static_cast<std::size_t>(size));
    std::vector<std::string> names;
    for (std::size_t start = 0; start < list.size();) {
        const std::size_t end = list.find('\0', start);
        const std::string name = list.substr(start, end - start);
        if (name.starts_with("user.")) {
            names.push_back(name);
        }
        start = end + 1;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"user.a", "user.b", "user.이름"}));
    char value[8] = {};
    EXPECT_EQ(::fgetxattr(fd_.get(), "user.b", value, sizeof value), 2);
    EXPECT_EQ(std::string(value, 2), binary);
}

// A real destination that keeps no user attributes, when this machine has one at hand. The
// usual temporary file systems (ext4, btrfs, and tmpfs since Linux 6.6) all keep them.
TEST(ArchiveRestoredMetadataTest, ARealDestinationWithoutAttributesIsSkipped) {
    std::vector<std::string> candidates = {"/dev/shm", "/run/shm", "/var/tmp"};
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
        candidates.emplace_back(runtime);
    }
    for (const std::string& base : candidates) {
        std::string pattern = base + "/tolvane-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            continue;
        }
        const std::string file = pattern + "/item";
        bool found = false;
        try {
            test::writeFile(file, "x");
            UniqueFd fd = posix::open(file, O_RDONLY);
            errno = 0;
            if (::fsetxattr(fd.get(), "user.probe", "1", 1, 0) != 0 &&
                (errno == ENOTSUP || errno == EOPNOTSUPP)) {
                found = true;
                RestoredAttributeWriter writer;
                EXPECT_EQ(outcomeOf([&] {
                              Restored::applyExtendedAttributes(Map{{"a", "1"}}, fd.get(), writer);
                          }),
                          "ok");
                EXPECT_FALSE(writer.enabled());
            }
        } catch (const std::exception&) {
        }
        ::unlink(file.c_str());
        ::rmdir(pattern.c_str());
        if (found) {
            return;
        }
    }
    GTEST_SKIP() << "no writable file system without user extended attributes is mounted here; "
                    "the skip itself is covered with a simulated destination";
}

}  // namespace
}  // namespace tolvane
