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

std::string write(const test::TempDir& dir, const std::string& bytes) {
    test::writeFile(dir.file("a.zip"), bytes);
    return dir.file("a.zip");
}

// The bytes extract() hands over, in blocks of at most 64 KiB, checked against its CRC-32.
std::string extractAll(ZipArchiveReader& reader, std::uint64_t index) {
    std::string bytes;
    const std::uint32_t crc = reader.extract(index, {}, [&](std::span<const std::uint8_t> b) {
        EXPECT_TRUE(!b.empty() && b.size() <= ZipArchiveReader::bufferSize);
        bytes.append(reinterpret_cast<const char*>(b.data()), b.size());
    });
    EXPECT_EQ(crc, test::crc32Of(bytes));
    return bytes;
}

// Type, permissions and time come from the central record; times are UTC in any zone, and a
// date or time no clock shows gives none.
TEST(ZipArchiveReaderTest, MetadataComesFromTheCentralRecord) {
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
                   {"f", 0, time(24, 0, 0), 0x21, Type::file, {}, {}},
                   {"f", 0, time(0, 0, 60), 0x21, Type::file, {}, {}}};
    test::TempDir dir;
    for (const auto& [name, attributes, dosTime, dosDate, type, perms, seconds] : cases) {
        RawZipBuilder zip;
        test::RawCentralRecord& central = zip.addStored(name, "").central;
        central.time = dosTime;
        central.date = dosDate;
        central.externalAttributes = attributes;
        const ZipArchiveEntry read =
            ZipArchiveReader(write(dir, zip.relink().bytes()), {}).entry(0);
        EXPECT_EQ(std::tie(read.path, read.type, read.posixPermissions, read.modificationSeconds),
                  std::tie(name, type, perms, seconds))
            << name << " " << dosDate;
    }
}

// What the inspector and libzip would read differently is refused: two end records (libzip
// takes the first), a Unicode path field libzip prefers to the raw name, a NUL inside a name.
TEST(ZipArchiveReaderTest, RefusesWhatTheTwoReadersDisagreeOn) {
    RawZipBuilder twoEnds, unicode, nul;
    twoEnds.addStored("a.txt", "first");
    twoEnds.addStored("b.txt", "second");
    test::RawEndRecord inner;
    inner.entriesOnDisk = inner.totalEntries = 1;
    inner.centralDirectorySize = 46 + 5;
    inner.centralDirectoryOffset =
        twoEnds.relink().centralDirectoryOffset() + twoEnds.centralDirectorySize();
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
    test::TempDir dir;
    for (const auto& [zip, expected] : cases) {
        EXPECT_EQ(outcomeOf([&] { ZipArchiveReader(write(dir, zip.bytes()), {}); }), expected);
    }
}

// Entries are read in any order, more than once and through the one open file; cancellation is
// checked before every block.
TEST(ZipArchiveReaderTest, ReadsThroughOneOpenFile) {
    const std::string data = test::randomBytes(5 * 65536 + 1, 3);
    RawZipBuilder zip;
    zip.addStored("big.bin", data);
    test::TempDir dir;
    const std::string path = write(dir, zip.relink().bytes());
    ZipArchiveReader reader(path, {});
    ASSERT_EQ(::unlink(path.c_str()), 0);
    test::writeFile(path, "replaced");
    int checks = 0;
    std::size_t delivered = 0;
    const auto cancelAtThird = [&] {
        if (++checks == 3) {
            throw OperationCancelled();
        }
    };
    EXPECT_EQ(outcomeOf([&] {
                  reader.extract(0, cancelAtThird, [&](auto block) { delivered += block.size(); });
              }),
              "cancelled");
    EXPECT_EQ(delivered, 2 * ZipArchiveReader::bufferSize);
    ZipArchiveReader moved = std::move(reader);
    EXPECT_EQ(moved.entry(0).uncompressedSize, data.size());
    EXPECT_EQ(extractAll(moved, 0), data);
    EXPECT_THROW(moved.entry(1), std::out_of_range);
}

}  // namespace
}  // namespace tolvane
