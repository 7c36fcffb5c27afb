#include "core/archive/ZipArchiveReader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/common/Cancellation.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::outcomeOf;
using test::RawZipBuilder;
using Type = ZipArchiveEntry::Type;

// One archive path for every test; open() writes the archive there and opens it.
struct ZipArchiveReaderTest : testing::Test {
    test::TempDir dir;
    std::string path = dir.file("a.zip");
    ZipArchiveReader open(const RawZipBuilder& zip) const {
        test::writeFile(path, zip.bytes());
        return ZipArchiveReader(path, {});
    }
};

// Type, permissions and time come from the central record; times are UTC in any zone, and a
// date or time no clock shows gives none.
TEST_F(ZipArchiveReaderTest, MetadataComesFromTheCentralRecord) {
    const auto date = [](int y, int m, int d) {
        return std::uint16_t((y - 1980) << 9 | m << 5 | d);
    };
    const auto time = [](int h, int m, int s) { return std::uint16_t(h << 11 | m << 5 | s / 2); };
    using Perms = std::optional<std::uint16_t>;
    using Seconds = std::optional<std::int64_t>;
    const std::tuple<std::string, std::uint32_t, std::uint16_t, std::uint16_t, Type, Perms, Seconds>
        cases[] = {{"f", 0106755u << 16, time(23, 59, 58), date(2107, 12, 31), Type::file, 06755,
                    4354819198},
                   {"d/", 0x10, 0, date(2024, 2, 29), Type::directory, {}, 1709164800},
                   {"d", 040755u << 16, 0, date(2021, 2, 31), Type::directory, 0755, {}},
                   {"l/", 0120777u << 16, 0, date(2020, 13, 1), Type::symbolicLink, 0777, {}},
                   {"f", 0, time(24, 0, 0), 0x21, Type::file, {}, {}}};
    for (const auto& [name, attributes, dosTime, dosDate, type, perms, seconds] : cases) {
        RawZipBuilder zip;
        test::RawCentralRecord& central = zip.addStored(name, "").central;
        central.time = dosTime;
        central.date = dosDate;
        central.externalAttributes = attributes;
        const ZipArchiveEntry read = open(zip.relink()).entry(0);
        EXPECT_EQ(std::tie(read.path, read.type, read.posixPermissions, read.modificationSeconds),
                  std::tie(name, type, perms, seconds))
            << name << " " << dosDate;
    }
}

// What the inspector and libzip would read differently is refused: two end records (libzip
// takes the first), a Unicode path field libzip prefers to the raw name, a NUL inside a name.
TEST_F(ZipArchiveReaderTest, RefusesWhatTheTwoReadersDisagreeOn) {
    RawZipBuilder twoEnds, unicode, nul;
    twoEnds.addStored("a.txt", "first");
    twoEnds.addStored("b.txt", "second");
    test::RawEndRecord inner;
    inner.entriesOnDisk = inner.totalEntries = 1;
    inner.centralDirectorySize = 46 + 5;
    twoEnds.relink();
    inner.centralDirectoryOffset =
        twoEnds.end.centralDirectoryOffset + twoEnds.end.centralDirectorySize;
    twoEnds.afterCentralDirectory = twoEnds.entries[0].central.encode();
    twoEnds.end.comment = inner.encode();
    unicode.addStored("notes.txt", "x").central.flags = 0;
    std::string field("\x75\x70\x12\0\1", 5);
    ZipFormat::put32(field, test::crc32Of("notes.txt"));
    unicode.entries[0].central.extra = field + "../escape.txt";
    nul.addStored(std::string("b\0.txt", 6), "y");
    const std::string name = "invalidArchive: central directory name mismatch: entry 1";
    const std::pair<RawZipBuilder, std::string> cases[] = {
        {twoEnds, "invalidArchive: central directory count mismatch"},
        {unicode.relink(), name},
        {nul.relink(), name}};
    for (const auto& [zip, expected] : cases) {
        EXPECT_EQ(outcomeOf([&] { open(zip); }), expected);
    }
}

// Entries are read in any order, more than once and through the one open file; cancellation is
// checked before every block.
TEST_F(ZipArchiveReaderTest, ReadsThroughOneOpenFile) {
    const std::string data = test::randomBytes(5 * 65536 + 1, 3);
    RawZipBuilder zip;
    zip.addStored("big.bin", data);
    ZipArchiveReader reader = open(zip.relink());
    ASSERT_EQ(::unlink(path.c_str()), 0);
    test::writeFile(path, "replaced");
    int checks = 0;
    std::string read;
    const auto cancelAtThird = [&] { ++checks == 3 ? throw OperationCancelled() : void(); };
    const auto collect = [&](std::span<const std::uint8_t> b) {
        EXPECT_TRUE(!b.empty() && b.size() <= ZipArchiveReader::bufferSize);
        read.append(reinterpret_cast<const char*>(b.data()), b.size());
    };
    EXPECT_EQ(outcomeOf([&] { reader.extract(0, cancelAtThird, collect); }), "cancelled");
    EXPECT_EQ(read.size(), 2 * ZipArchiveReader::bufferSize);
    read.clear();
    ZipArchiveReader moved = std::move(reader);
    EXPECT_EQ(moved.extract(0, {}, collect), test::crc32Of(data));  // its own CRC-32
    EXPECT_EQ(read, data);
}

}  // namespace
}  // namespace tolvane
