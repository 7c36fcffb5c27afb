#include "core/archive/ArchiveRestoredMetadata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
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
using Names = std::vector<std::string>;
namespace Restored = ArchiveRestoredMetadata;

// A writer that records "name=value" per call and fails the call for `failing` with `error`.
RestoredAttributeWriter recordingWriter(Names& calls, const char* failing = "", int error = 0) {
    return RestoredAttributeWriter(
        [&calls, failing, error](int, const char* name, const void* value, std::size_t size) {
            calls.push_back(std::string(name) + "=" +
                            std::string(static_cast<const char*>(value), size));
            errno = std::strcmp(name, failing) == 0 ? error : 0;
            return errno != 0 ? -1 : 0;
        });
}

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
        Map attributes;
        Names calls;
        std::string outcome;
    };
    const std::string refused = "invalidArchive: invalid extended attribute name";
    const std::vector<Case> cases = {
        // "e" + U+0301 composes to "é" and so sorts after "f" in the map, but before it in bytes.
        {Map{{"f", "3"}, {"e\xCC\x81", "2"}, {"\xC3\xA9", "4"}, {"Z", "1"}},
         {"user.Z=1", "user.e\xCC\x81=2", "user.f=3", "user.\xC3\xA9=4"},
         "ok"},
        // Host bookkeeping and provenance come only from the archive file itself.
        {Map{{"com.apple.macl", "m"},
             {"com.apple.quarantine", "q"},
             {"xdg.origin.url", "u"},
             {"keep", ""}},
         {"user.keep="},
         "ok"},
        {Map{{"", "x"}, {"a", "1"}}, {}, refused},
        {Map{{"0", "0"}, {std::string("a\0b", 3), "x"}, {"b", "1"}}, {"user.0=0"}, refused},
        {Map{{"a", "1"}, {"com.apple.provenance", "p"}, {"z", "2"}}, {"user.a=1"}, refused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.calls.empty() ? "" : c.calls.front());
        Names calls;
        RestoredAttributeWriter writer = recordingWriter(calls);
        EXPECT_EQ(outcomeOf([&] { Restored::applyExtendedAttributes(c.attributes, 3, writer); }),
                  c.outcome);
        EXPECT_EQ(calls, c.calls);
        EXPECT_TRUE(writer.enabled());
    }
}

TEST(ArchiveRestoredMetadataTest, OnlyADestinationWithoutAttributesIsSkipped) {
    struct Case {
        int error;
        std::string outcome;
    };
    // An unknown code is still a failure.
    for (const Case& c : std::vector<Case>{
             {ENOTSUP, "ok"}, {ENOSPC, "ENOSPC"}, {EACCES, "EACCES"}, {999999, "EIO"}}) {
        SCOPED_TRACE(c.error);
        Names calls;
        RestoredAttributeWriter writer = recordingWriter(calls, "user.b", c.error);
        const Map attributes{{"a", "1"}, {"b", "2"}, {"c", "3"}};
        EXPECT_EQ(outcomeOf([&] { Restored::applyExtendedAttributes(attributes, 3, writer); }),
                  c.outcome);
        EXPECT_EQ(writer.enabled(), c.error != ENOTSUP);
        if (c.error == ENOTSUP) {
            // Nothing more is tried for the rest of the job, but names are still checked.
            EXPECT_EQ(outcomeOf([&] { Restored::applyExtendedAttributes(attributes, 3, writer); }),
                      "ok");
            EXPECT_EQ(
                outcomeOf([&] {
                    Restored::applyExtendedAttributes(Map{{"com.apple.provenance", ""}}, 3, writer);
                }),
                "invalidArchive: invalid extended attribute name");
            EXPECT_EQ(calls, (Names{"user.a=1", "user.b=2"}));
        }
    }
}

TEST(ArchiveRestoredMetadataTest, ModificationTimeIsTruncatedToMicroseconds) {
    struct Case {
        double date;
        std::int64_t seconds;
        long nanoseconds;
    };
    for (const Case& c : std::vector<Case>{
             {1'700'000'000.25, 1'700'000'000, 250'000'000},
             {315'532'800.9999999, 315'532'800, 999'999'000},  // truncated, never rounded up
             {0.0000009, 0, 0},
             {-1.5, -2, 500'000'000},  // a valid timespec for the same instant
             {-0.25, -1, 750'000'000},
             {-7.0, -7, 0}}) {
        SCOPED_TRACE(c.date);
        const timespec t = Restored::modificationTime(c.date);
        EXPECT_EQ(t.tv_sec, c.seconds);
        EXPECT_EQ(t.tv_nsec, c.nanoseconds);
    }
    constexpr double infinity = std::numeric_limits<double>::infinity();
    for (const double bad : {std::nan(""), infinity, -infinity, 1e300, -0x1p63}) {
        EXPECT_EQ(outcomeOf([&] { Restored::modificationTime(bad); }), "EINVAL") << bad;
    }
}

struct stat statOf(int fd) {
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    return st;
}

TEST(ArchiveRestoredMetadataTest, AppliesLowNinePermissionBitsAndModificationTimeOnly) {
    test::TempDir dir;
    test::writeFile(dir.file("item"), "content");
    const UniqueFd file = posix::open(dir.file("item"), O_RDONLY | O_NOFOLLOW);
    for (const auto& [archived, applied] : std::vector<std::pair<std::uint16_t, mode_t>>{
             {04755, 0755}, {07777, 0777}, {0, 0}, {0177644, 0644}}) {
        Restored::applyFilesystemMetadata(archived, std::nullopt, file.get());
        EXPECT_EQ(statOf(file.get()).st_mode & 07777, applied) << archived;
    }

    const timespec times[2] = {{1'600'000'000, 123'456'789}, {1'000'000'000, 0}};
    ASSERT_EQ(::futimens(file.get(), times), 0);
    Restored::applyFilesystemMetadata(std::nullopt, 1'700'000'000.25, file.get());
    const struct stat st = statOf(file.get());
    EXPECT_EQ(st.st_mtim.tv_sec, 1'700'000'000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 250'000'000);
    EXPECT_EQ(st.st_atim.tv_sec, times[0].tv_sec);
    EXPECT_EQ(st.st_atim.tv_nsec, times[0].tv_nsec);
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // no permissions given, none changed
}

TEST(ArchiveRestoredMetadataTest, AttributesLandInTheUserNamespace) {
    test::TempDir dir;
    test::writeFile(dir.file("item"), "content");
    const UniqueFd file = posix::open(dir.file("item"), O_RDONLY | O_NOFOLLOW);
    if (::fsetxattr(file.get(), "user.probe", "1", 1, 0) != 0) {
        GTEST_SKIP() << dir.path() << " keeps no user extended attributes";
    }
    ASSERT_EQ(::fremovexattr(file.get(), "user.probe"), 0);
    RestoredAttributeWriter writer;
    const std::string binary("\0\xFF", 2);
    Restored::applyExtendedAttributes(Map{{"b", binary},
                                          {"a", ""},
                                          {"이름", "값"},
                                          {"com.apple.quarantine", "q"},
                                          {"xdg.origin.url", "https://elsewhere.invalid/"}},
                                      file.get(), writer);
    std::string list(4096, '\0');
    const ssize_t size = ::flistxattr(file.get(), list.data(), list.size());
    ASSERT_GE(size, 0);
    Names names;
    for (std::size_t start = 0; start < static_cast<std::size_t>(size);) {
        const std::size_t end = list.find('\0', start);
        if (list.compare(start, 5, "user.") == 0) {
            names.push_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (Names{"user.a", "user.b", "user.이름"}));
    char value[8] = {};
    EXPECT_EQ(::fgetxattr(file.get(), "user.b", value, sizeof value), 2);
    EXPECT_EQ(std::string(value, 2), binary);
}

}  // namespace
}  // namespace tolvane
