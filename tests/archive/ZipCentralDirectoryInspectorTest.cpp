#include "core/archive/ZipCentralDirectoryInspector.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "core/archive/ZipArchiveReader.h"
#include "core/common/Cancellation.h"
#include "core/common/Posix.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

namespace Inspector = ZipCentralDirectoryInspector;
using test::outcomeOf;
using test::RawZipBuilder;
using test::RawZipEntry;
using Change = std::function<void(RawZipBuilder&)>;
using Build = std::function<std::string()>;
constexpr std::uint64_t maxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t m32 = ZipFormat::zip64Marker32;

// A file, a directory and a file inside it, as a delivery ZIP holds them.
RawZipBuilder sample(bool zip64 = false) {
    RawZipBuilder zip;
    zip.addStored("a.txt", "hello");
    zip.addDirectory("dir/");
    zip.addStored("dir/b.bin", std::string("\0\1\2", 3));
    return zip64 ? zip.useZip64().relink() : zip.relink();
}
Build edit(bool zip64, Change change, bool relink = false) {
    return [=] {
        RawZipBuilder zip = sample(zip64);
        change(zip);
        return relink ? zip.relink().bytes() : zip.bytes();
    };
}
Build classic(Change c) {
    return edit(false, c);
}
Build zip64(Change c) {
    return edit(true, c);
}
Build classicRelinked(Change c) {
    return edit(false, c, true);
}
Build zip64Relinked(Change c) {
    return edit(true, c, true);
}
Build cut(bool zip64, std::size_t bytes) {
    return [=] {
        std::string all = sample(zip64).bytes();
        return all.substr(0, all.size() - bytes);
    };
}
Build zip64Entries(std::uint64_t n) {
    return zip64([n](auto& z) { z.zip64End->entriesOnDisk = z.zip64End->totalEntries = n; });
}

// "ok <count>" or the failure; by path with a callback and by descriptor without one, which
// must agree. Names receives the raw names of the walk by path.
std::string inspect(const std::string& bytes, std::vector<std::string>* names = nullptr) {
    test::TempDir dir;
    test::writeFile(dir.file("a.zip"), bytes);
    std::uint64_t count = 0;
    const std::string byPath = outcomeOf([&] {
        count = Inspector::entryCount(
            dir.file("a.zip"), [] {},
            [&](const ZipCentralEntry& e) {
                if (names != nullptr) {
                    names->emplace_back(e.name);
                }
            });
    });
    const UniqueFd fd = posix::open(dir.file("a.zip"), O_RDONLY);
    EXPECT_EQ(outcomeOf([&] { Inspector::entryCount(fd.get(), {}, [](const auto&) {}); }), byPath);
    return byPath == "ok" ? "ok " + std::to_string(count) : byPath;
}

const std::string noEnd = "invalidArchive: missing end record";
const std::string noLocator = "invalidArchive: missing ZIP64 locator";
const std::string badLocator = "invalidArchive: invalid ZIP64 locator";
const std::string badZip64Offset = "invalidArchive: invalid ZIP64 end record offset";
const std::string badZip64 = "invalidArchive: invalid ZIP64 end record";
const std::string badZip64Length = "invalidArchive: invalid ZIP64 end record length";
const std::string disagrees = "invalidArchive: inconsistent ZIP64 values";
const std::string bounds = "invalidArchive: central directory bounds";
const std::string badEntry = "invalidArchive: central directory entry";
const std::string encrypted = "unsupportedArchiveEntry: encrypted entry";
const std::string unsupported = "invalidArchive: unsupported compression or split entry";
const std::string entryLength = "invalidArchive: central directory entry length";
const std::string sizeMismatch = "invalidArchive: central directory size does not match entries";

TEST(ZipCentralDirectoryInspectorTest, RefusesHostileLayouts) {
    const std::pair<Build, std::string> cases[] = {
        {[] { return std::string(); }, noEnd},
        {cut(false, 1), noEnd},
        {cut(false, 22), noEnd},
        {cut(true, 22), noEnd},
        {classic([](auto& z) { z.trailing = "x"; }), noEnd},
        {classic([](auto& z) { z.end.commentLength = 1; }), noEnd},
        {classic([](auto& z) { z.end.diskNumber = 1; }),
         "invalidArchive: multi-volume ZIP is not supported"},
        {classic([](auto& z) { z.end.centralDirectoryDisk = 1; }),
         "invalidArchive: multi-volume ZIP is not supported"},
        {classic([](auto& z) { z.end.entriesOnDisk = 2; }),
         "invalidArchive: inconsistent entry count"},
        {classic([](auto& z) { z.end.centralDirectoryOffset = m32; }), noLocator},
        {zip64Relinked([](auto& z) { z.zip64Locator.reset(); }), noLocator},
        {zip64Relinked([](auto& z) { z.afterZip64Locator = "PK"; }), noLocator},
        {zip64([](auto& z) { z.zip64Locator->endRecordDisk = 1; }), badLocator},
        {zip64([](auto& z) { z.zip64Locator->totalDisks = 2; }), badLocator},
        {zip64([](auto& z) { z.zip64Locator->endRecordOffset = z.bytes().size() - 55; }),
         badZip64Offset},
        {zip64([](auto& z) { z.zip64Locator->endRecordOffset = maxU64; }), badZip64Offset},
        {zip64([](auto& z) { z.zip64Locator->endRecordOffset = 0; }), badZip64},
        {zip64([](auto& z) { z.zip64End->diskNumber = 1; }), badZip64},
        {zip64([](auto& z) { z.zip64End->centralDirectoryDisk = 1; }), badZip64},
        {zip64([](auto& z) { z.zip64End->entriesOnDisk = 2; }), badZip64},
        {zip64([](auto& z) { z.zip64End->sizeOfRest = 43; }), badZip64Length},
        {zip64([](auto& z) { z.zip64End->sizeOfRest = 45; }), badZip64Length},
        {zip64([](auto& z) { z.zip64End->sizeOfRest = maxU64; }), badZip64Length},
        {zip64Relinked([](auto& z) { z.afterZip64End = "gap!"; }), badZip64Length},
        {zip64([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 2; }), disagrees},
        {zip64([](auto& z) { z.end.centralDirectorySize = 1; }), disagrees},
        {zip64([](auto& z) { z.end.centralDirectoryOffset = 0; }), disagrees},
        // The entry limit from the header alone; exactly the limit reaches the walk.
        {zip64Entries(1'000'001), "tooManyEntries: "},
        {zip64Entries(maxU64), "tooManyEntries: "},
        {zip64Entries(1'000'000), badEntry},
        {classic([](auto& z) { z.end.centralDirectorySize += 1; }), bounds},
        {zip64([](auto& z) { z.zip64End->centralDirectorySize = maxU64; }), bounds},
        {zip64([](auto& z) {
             z.zip64End->centralDirectoryOffset = std::uint64_t{1} << 40;
             z.zip64End->centralDirectorySize = 0;
         }),
         bounds},
        {classic([](auto& z) {
             z.end.centralDirectoryOffset -= 1;
             z.end.centralDirectorySize += 1;
         }),
         badEntry},
        {classic([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 4; }), badEntry},
        {classicRelinked([](auto& z) { z.entries[0].afterCentralRecord = "JUNK"; }), badEntry},
        {classic([](auto& z) { z.entries[2].central.flags |= 0x0001; }), encrypted},
        {classic([](auto& z) { z.entries[0].central.flags |= 0x0040; }), encrypted},
        {classic([](auto& z) { z.entries[1].central.flags |= 0x2000; }), encrypted},
        {classic([](auto& z) { z.entries[0].central.method = 9; }), unsupported},
        {classic([](auto& z) { z.entries[0].central.method = 0x0108; }), unsupported},
        {classic([](auto& z) { z.entries[1].central.diskNumberStart = 1; }), unsupported},
        {classic([](auto& z) { z.entries[2].central.nameLength = 10; }), entryLength},
        {classic([](auto& z) { z.entries[0].central.commentLength = 0xFFFF; }), entryLength},
        {classicRelinked([](auto& z) { z.entries[2].afterCentralRecord = "X"; }), sizeMismatch},
        {classic([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 2; }), sizeMismatch},
        {zip64Entries(2), sizeMismatch},
        // A classic field at its marker needs its value in the ZIP64 block.
        {classicRelinked([](auto& z) { z.entries[1].central.uncompressedSize = m32; }),
         "invalidArchive: ZIP64 extra field is missing: entry 2"},
        {classicRelinked([](auto& z) {
             z.entries[0].central.compressedSize = z.entries[0].central.uncompressedSize = m32;
             z.entries[0].central.extra = std::string("\1\0\10\0", 4) + std::string(8, '\0');
         }),
         "invalidArchive: ZIP64 extra field is truncated: entry 1"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(inspect(cases[i].first()), cases[i].second) << "case " << i;
    }
}

// Honest layouts are accepted with the names libzip, an independent reader, sees.
TEST(ZipCentralDirectoryInspectorTest, AcceptsHonestLayouts) {
    const auto many = [](bool zip64) {
        return [zip64] {
            RawZipBuilder zip;
            for (int i = 0; i < 65535; ++i) {
                zip.addStored("f" + std::to_string(i), {});
            }
            return (zip64 ? zip.useZip64().relink() : zip.relink()).bytes();
        };
    };
    const std::pair<Build, std::uint64_t> cases[] = {
        {[] { return RawZipBuilder().relink().bytes(); }, 0},
        {classic([](auto& z) { z.end.comment = std::string(65535, 'c'); }), 3},
        // A comment holding an end record that does not end the file is skipped.
        {classic([](auto& z) { z.end.comment = test::RawEndRecord().encode() + "tail"; }), 3},
        {zip64([](auto& z) { z.end.comment = std::string(65535, 'c'); }), 3},
        {zip64Relinked(
             [](auto& z) { z.zip64End->extensibleData = std::string("\1\0\4\0abcd", 8); }),
         3},
        {zip64([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 3; }), 3},
        {classicRelinked([](auto& z) {
             z.prefix = "#!/bin/sh\nexit 0\n";
             z.beforeCentralDirectory = "pad";
         }),
         3},
        {classicRelinked([](auto& z) { z.entries[0].central.comment = "first"; }), 3},
        // 0xFFFF entries is a marker only when a locator says so.
        {many(false), 65535},
        {many(true), 65535},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string bytes = cases[i].first();
        std::vector<std::string> names;
        EXPECT_EQ(inspect(bytes, &names), "ok " + std::to_string(cases[i].second)) << i;
        test::TempDir dir;
        test::writeFile(dir.file("a.zip"), bytes);
        std::vector<std::string> libzip;
        for (const auto& [name, content] : test::zipEntries(dir.file("a.zip"))) {
            libzip.push_back(name);
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, libzip) << i;
    }
}

TEST(ZipCentralDirectoryInspectorTest, HandsOverDecodedRecordsInOrder) {
    RawZipBuilder zip;
    zip.addStored("a.txt", "hello");
    zip.addStored("\x8E.bin", "");
    test::RawCentralRecord& plain = zip.entries[0].central;
    plain.time = 0x6C21;
    plain.date = 0x5A8F;
    plain.method = ZipFormat::methodDeflate;
    plain.comment = "never handed over";
    test::RawCentralRecord& big = zip.entries[1].central;
    big.flags = 0;
    big.externalAttributes = 0;
    big.uncompressedSize = big.compressedSize = m32;
    // The ZIP64 block behind another block holds the three values, in its own order.
    std::string extra("\x7D\xF1\1\0x\1\0\30\0", 9);
    for (const std::uint64_t v :
         {std::uint64_t{5} << 32, std::uint64_t{7}, std::uint64_t{9} << 32}) {
        ZipFormat::put64(extra, v);
    }
    big.extra = extra;
    zip.relink();
    big.localHeaderOffset = m32;

    using Row = std::tuple<std::string, std::string, std::uint64_t, std::uint16_t, std::uint16_t,
                           std::uint16_t, std::uint16_t, std::uint32_t, std::uint64_t,
                           std::uint64_t, std::uint64_t, std::uint32_t>;
    std::vector<Row> seen;
    test::TempDir dir;
    zip.writeTo(dir.file("a.zip"));
    EXPECT_EQ(Inspector::entryCount(
                  dir.file("a.zip"), [] {},
                  [&](const ZipCentralEntry& e) {
                      EXPECT_EQ(e.centralRecord,
                                zip.entries[e.index].central.encode().substr(0, 46));
                      seen.emplace_back(e.name, e.extraField, e.index, e.flags, e.method, e.dosTime,
                                        e.dosDate, e.crc32, e.compressedSize, e.uncompressedSize,
                                        e.localHeaderOffset, e.externalAttributes);
                  }),
              2u);
    const std::vector<Row> expected = {
        {"a.txt", "", 0, ZipFormat::flagUTF8, 8, 0x6C21, 0x5A8F, test::crc32Of("hello"), 5, 5, 0,
         0100644u << 16},
        {"\x8E.bin", extra, 1, 0, 0, 0, 0x0021, 0, 7, std::uint64_t{5} << 32,
         std::uint64_t{9} << 32, 0},
    };
    EXPECT_EQ(seen, expected);
}

// Cancellation is checked before every record; it and the caller's own error end the walk
// unchanged; too many entries are refused before any record; the file offset is left alone.
TEST(ZipCentralDirectoryInspectorTest, CallbackContract) {
    test::TempDir dir;
    sample().writeTo(dir.file("a.zip"));
    const UniqueFd fd = posix::open(dir.file("a.zip"), O_RDONLY);
    ASSERT_EQ(::lseek(fd.get(), 7, SEEK_SET), 7);
    int checks = 0;
    int entries = 0;
    const auto walk = [&](int cancelAt, int throwAt) {
        checks = entries = 0;
        return outcomeOf([&] {
            Inspector::entryCount(
                fd.get(),
                [&] {
                    if (++checks == cancelAt) {
                        throw OperationCancelled();
                    }
                },
                [&](const ZipCentralEntry&) {
                    if (++entries == throwAt) {
                        throw std::runtime_error("mine");
                    }
                });
        });
    };
    EXPECT_EQ(walk(0, 0), "ok");
    EXPECT_EQ(std::pair(checks, entries), std::pair(3, 3));
    EXPECT_EQ(walk(2, 0), "cancelled");
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(walk(0, 2), "exception mine");
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 7);
    test::writeFile(dir.file("b.zip"), zip64Entries(1'000'001)());
    checks = 0;
    EXPECT_EQ(outcomeOf([&] { Inspector::entryCount(dir.file("b.zip"), [&] { ++checks; }); }),
              "tooManyEntries: ");
    EXPECT_EQ(checks, 0);
}

// Only a regular file reached without a final link is read, by the inspector and the reader
// alike; anything else fails at once with the file system's error, without blocking.
TEST(ZipCentralDirectoryInspectorTest, RefusesWhatIsNotARegularFile) {
    test::TempDir dir;
    sample().writeTo(dir.file("a.zip"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("a.zip", dir.file("link.zip").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
    const auto byPath = [&](std::string name) {
        return [path = dir.file(name)] { Inspector::entryCount(path, {}); };
    };
    const auto byReader = [&](std::string name) {
        return [path = dir.file(name)] { ZipArchiveReader reader(path, {}); };
    };
    const auto byDescriptor = [&](std::string name, int flags) {
        return [path = dir.file(name), flags] {
            Inspector::entryCount(posix::open(path, flags | O_NONBLOCK).get(), {});
        };
    };
    const std::pair<std::function<void()>, std::string> cases[] = {
        {byPath("a.zip"), "ok"},
        {byPath("missing.zip"), "errno ENOENT"},
        {byPath("fifo"), "errno EINVAL"},
        {byPath("link.zip"), "errno ELOOP"},
        {byPath("folder"), "errno EISDIR"},
        {[] { Inspector::entryCount("/dev/null", {}); }, "errno EINVAL"},
        {byDescriptor("fifo", O_RDONLY), "errno EINVAL"},
        {byDescriptor("folder", O_RDONLY), "errno EISDIR"},
        {byDescriptor("a.zip", O_WRONLY), "errno EBADF"},
        {byReader("link.zip"), "errno ELOOP"},
        {byReader("fifo"), "errno EINVAL"},
        {byReader("folder"), "errno EISDIR"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        // In a child under an alarm, so an open that blocks fails the test instead of hanging it.
        const test::ChildExit exit = test::runInChild(
            [&] {
                const std::string got = outcomeOf(cases[i].first);
                std::fprintf(stderr, "case %zu: %s\n", i, got.c_str());
                return got == cases[i].second ? 0 : 1;
            },
            20);
        EXPECT_TRUE(exit.succeeded()) << "case " << i << ": " << exit.describe();
    }
}

}  // namespace
}  // namespace tolvane
