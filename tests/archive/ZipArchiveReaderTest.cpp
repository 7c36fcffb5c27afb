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

// What the inspector and libzip would read differently is refused: a second directory whose
// names agree, with its own end record where libzip looks first; a directory changed between the
// inspector's walks; a NUL inside a name. A Unicode path field both read alike names the entry.
// An empty ZIP stored inside is read as data by both, even where libzip would prefer its end
// record (it does when the archive's local headers disagree with the directory on the time).
TEST_F(ZipArchiveReaderTest, RefusesWhatTheTwoReadersDisagreeOn) {
    RawZipBuilder twoDirectories, nul, unicode, plain, innerEmpty;
    twoDirectories.addStored("a.txt", "first");
    test::RawCentralRecord other = twoDirectories.relink().entries[0].central;
    other.method = 12;  // bzip2, which only libzip would have decompressed
    test::RawEndRecord inner;
    inner.entriesOnDisk = inner.totalEntries = 1;
    inner.centralDirectorySize = static_cast<std::uint32_t>(other.encode().size());
    inner.centralDirectoryOffset =
        twoDirectories.end.centralDirectoryOffset + twoDirectories.end.centralDirectorySize;
    twoDirectories.afterCentralDirectory = other.encode() + inner.encode();
    nul.addStored(std::string("b\0.txt", 6), "y");
    unicode.addStored("\xBA\xB8\xB0\xED.txt", "x").central.flags = 0;  // CP949
    std::string field("\x75\x70\x0F\0\1", 5);
    ZipFormat::put32(field, test::crc32Of("\xBA\xB8\xB0\xED.txt"));
    unicode.entries[0].central.extra = field + "보고.txt";
    innerEmpty.addStored("a.txt", "first").local.time = 1;
    innerEmpty.addStored("empty.zip", test::RawEndRecord().encode());
    const std::pair<RawZipBuilder, std::string> cases[] = {
        {twoDirectories, "invalidArchive: more than one end record"},
        {innerEmpty.relink(), "ok"},
        {nul.relink(), "invalidArchive: central directory name mismatch: entry 1"},
        {unicode.relink(), "ok"}};
    for (const auto& [zip, expected] : cases) {
        EXPECT_EQ(outcomeOf([&] { open(zip); }), expected);
    }
    EXPECT_EQ(open(unicode).entry(0).path, "보고.txt");
    // The caller has checked the first walk's values; libzip opens the file as changed since.
    plain.addStored("a.txt", "first");
    RawZipBuilder changed = plain.relink();
    changed.entries[0].central.time ^= 1;  // a field no local header repeats
    test::writeFile(path, plain.bytes());
    const auto change = [&](auto&) { test::writeFile(path, changed.bytes()); };
    EXPECT_EQ(outcomeOf([&] { ZipArchiveReader(path, {}, change); }),
              "invalidArchive: central directory changed while reading");
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
