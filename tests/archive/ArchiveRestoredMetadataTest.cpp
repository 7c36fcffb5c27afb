#include "core/archive/ArchiveRestoredMetadata.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Map = ArchiveExtendedAttributes::Map;
using Names = std::vector<std::string>;
namespace Restored = ArchiveRestoredMetadata;

// ENOTSUP stops attribute writing for the rest of the job, names still checked; a size refusal
// drops one attribute. Every row goes on with {"d": "4"} and a provenance name.
TEST(ArchiveRestoredMetadataTest, AttributesInByteOrderUnderTheUserNamespace) {
    test::TempDir dir;  // a volume with room, for the size refusals
    const UniqueFd item = posix::open(dir.path(), O_RDONLY | O_DIRECTORY);
    const std::string refused = "invalidArchive: invalid extended attribute name";
    const Map abc = {{"a", "1"}, {"b", "2"}, {"c", "3"}};
    const std::string d = "user.d=4";  // what every row's second writer call sets
    // clang-format off
    const std::vector<std::tuple<Map, int, Names, std::string>> cases = {
        // "e" + U+0301 composes to "é" and sorts after "f" in the map, but before it in bytes.
        {{{"f", "3"}, {"e\xCC\x81", "2"}, {"\xC3\xA9", "4"}, {"Z", "1"}, {"keep", ""},
          {"com.apple.macl", "m"}, {"com.apple.quarantine", "q"}, {"xdg.origin.url", "u"}}, 0,
         {"user.Z=1", "user.e\xCC\x81=2", "user.f=3", "user.keep=", "user.\xC3\xA9=4", d}, "ok"},
        {{{"", "x"}, {"a", "1"}}, 0, {d}, refused},
        {{{"0", "0"}, {std::string("a\0b", 3), "x"}, {"b", "1"}}, 0, {"user.0=0", d}, refused},
        {{{"a", "1"}, {"com.apple.provenance", "p"}}, 0, {"user.a=1", d}, refused},
        {abc, ENOSPC, {"user.a=1", "user.b=2", "user.c=3", d}, "ok"},
        {abc, EIO, {"user.a=1", "user.b=2", d}, "errno EIO"},
        {abc, ENOTSUP, {"user.a=1", "user.b=2"}, "ok"}};
    for (const auto& [attributes, error, expectedCalls, outcome] : cases) {
        SCOPED_TRACE(outcome + " " + std::to_string(error));
        Names calls;
        RestoredAttributeWriter writer(
            [&](int, const char* name, const void* value, std::size_t size) {
                calls.push_back(name + ("=" + std::string(static_cast<const char*>(value), size)));
                errno = std::strcmp(name, "user.b") == 0 ? error : 0;
                return errno != 0 ? -1 : 0;
            });
        const auto apply = [&](const Map& map) {
            Restored::applyExtendedAttributes(map, item.get(), writer);
        };
        EXPECT_EQ(test::outcomeOf([&] { apply(attributes); }), outcome);
        EXPECT_EQ(
            test::outcomeOf([&] { apply({{"d", "4"}}), apply({{"com.apple.provenance", ""}}); }),
            refused);
        EXPECT_EQ(calls, expectedCalls);
        EXPECT_EQ(writer.enabled(), error != ENOTSUP);
    }
}

// ENOSPC is the attribute's size only while the volume has room for it and a 1 MiB reserve.
TEST(ArchiveRestoredMetadataTest, SizeRefusalsAreToldFromAFullVolume) {
    constexpr std::uint64_t room = (1 << 20) + 60'000, max = UINT64_MAX;
    const std::tuple<int, std::optional<std::uint64_t>, std::uint64_t, bool> cases[] = {
        {E2BIG, 0, 1, true}, {ERANGE, std::nullopt, 1, true}, {ENOSPC, room, 60'000, true},
        {ENOSPC, room - 1, 60'000, false}, {ENOSPC, std::nullopt, 1, false},
        {ENOSPC, max, max, false}, {EIO, max, 1, false}, {EDQUOT, max, 1, false}};
    for (const auto& [error, available, bytes, refused] : cases) {
        EXPECT_EQ(Restored::isRefusedForSize(error, available, bytes), refused) << error << bytes;
    }
}

// The test folder's own file system decides: ext4 refuses a 60,000-byte value, tmpfs takes it.
TEST(ArchiveRestoredMetadataTest, UnpackLeavesOutWhatTheDestinationRefuses) {
    test::TempDir root;
    const std::string big(60'000, 'v');
    if (::setxattr(root.path().c_str(), "user.big", big.data(), big.size(), 0) == 0 ||
        errno == ENOTSUP) {
        GTEST_SKIP() << root.path() << " takes a 60,000-byte user attribute or none at all";
    }
    test::RawZipBuilder zip;
    zip.addStored("f.txt", "data").central.extra =
        *ArchiveExtendedAttributes::encodeField({{"big", big}, {"small", "s"}});
    test::makeTree(root.path(), {{"out/", ""}, {"a.zip", zip.relink().bytes()}});
    Progress progress;
    EXPECT_EQ(test::outcomeOf([&] { ArchivePipeline::unpack(root.file("a.zip"), root.file("out"),
                                                            &progress, {}); }),
              "ok");
    const std::string file = root.file("out/a/f.txt");
    EXPECT_EQ(::getxattr(file.c_str(), "user.small", nullptr, 0), 1);
    EXPECT_EQ(::getxattr(file.c_str(), "user.big", nullptr, 0), -1);
    EXPECT_EQ(progress.userInfoText(ArchiveProgressInfo::droppedAttributesWarningKey),
              Restored::droppedAttributesWarning({"user.big"}, false));
}

// Microseconds, truncated towards the past; the mode's low nine bits only (no set-id, no type);
// the access time kept.
TEST(ArchiveRestoredMetadataTest, ModeAndTimeOnTheFile) {
    // clang-format off
    for (const auto& [date, seconds, nanoseconds] : std::vector<std::tuple<double, long, long>>{
             {1'700'000'000.25, 1'700'000'000, 250'000'000}, {-1.5, -2, 500'000'000}, {-7.0, -7, 0},
             {315'532'800.9999999, 315'532'800, 999'999'000}}) {
        // clang-format on
        const timespec t = Restored::modificationTime(date);
        EXPECT_EQ(t.tv_sec * 1'000'000'000 + t.tv_nsec, seconds * 1'000'000'000 + nanoseconds)
            << date;
    }
    for (const double bad :
         {std::nan(""), std::numeric_limits<double>::infinity(), 1e300, -0x1p63}) {
        EXPECT_EQ(test::outcomeOf([&] { Restored::modificationTime(bad); }), "errno EINVAL") << bad;
    }
    test::TempDir dir;
    test::writeFile(dir.file("item"), "content");
    const UniqueFd file = posix::open(dir.file("item"), O_RDONLY | O_NOFOLLOW);
    const timespec times[2] = {{1'600'000'000, 123'456'789}, {1'000'000'000, 0}};
    ASSERT_EQ(::futimens(file.get(), times), 0);
    Restored::applyFilesystemMetadata(0174755, 1'700'000'000.25, file.get());
    const struct stat st = posix::fstat(file.get());
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_mtim.tv_sec * 1'000'000'000 + st.st_mtim.tv_nsec, 1'700'000'000'250'000'000);
    EXPECT_EQ(st.st_atim.tv_sec * 1'000'000'000 + st.st_atim.tv_nsec, 1'600'000'000'123'456'789);
}

}  // namespace
}  // namespace tolvane
