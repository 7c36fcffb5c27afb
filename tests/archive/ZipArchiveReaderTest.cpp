#include "core/archive/ZipArchiveReader.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core/archive/StreamingZIPWriter.h"
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
namespace Layout = DeliveryZIPLayout;

std::string rawDeflate(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size,
              reinterpret_cast<const Bytef*>(data.data()), data.size(), 6);
    return out.substr(2, size - 6);  // without the zlib header and checksum
}

// One deflated entry whose records may lie about its size or checksum.
RawZipBuilder deflated(const std::string& data, std::uint32_t size, std::uint32_t crc) {
    RawZipBuilder zip;
    test::RawZipEntry& e = zip.addStored("data.txt", rawDeflate(data));
    e.local.method = e.central.method = ZipFormat::methodDeflate;
    e.local.uncompressedSize = e.central.uncompressedSize = size;
    e.local.crc32 = e.central.crc32 = crc;
    return zip.relink();
}

// The entry's bytes and CRC-32 as extract() hands them over, in blocks of at most 64 KiB.
std::string extractAll(ZipArchiveReader& reader, std::uint64_t index) {
    std::string bytes;
    const std::uint32_t crc = reader.extract(index, {}, [&](std::span<const std::uint8_t> b) {
        EXPECT_TRUE(!b.empty() && b.size() <= ZipArchiveReader::bufferSize);
        bytes.append(reinterpret_cast<const char*>(b.data()), b.size());
    });
    EXPECT_EQ(crc, test::crc32Of(bytes));
    return bytes;
}

class ZipArchiveReaderTest : public ::testing::Test {
protected:
    std::string write(const std::string& bytes) {
        const std::string path = dir_.file(std::to_string(++count_) + ".zip");
        test::writeFile(path, bytes);
        return path;
    }
    test::TempDir dir_;
    int count_ = 0;
};

// Type, permissions and time come from the central record; times as UTC in any zone.
TEST_F(ZipArchiveReaderTest, MetadataComesFromTheCentralRecord) {
    const auto mode = [](std::uint32_t value) { return value << 16; };
    const auto date = [](int y, int m, int d) {
        return std::uint16_t((y - 1980) << 9 | m << 5 | d);
    };
    const auto time = [](int h, int m, int s) { return std::uint16_t(h << 11 | m << 5 | s / 2); };
    const std::int64_t y1980 = 315532800;
    using Seconds = std::optional<std::int64_t>;
    using Permissions = std::optional<std::uint16_t>;
    const std::tuple<std::string, std::uint32_t, std::uint16_t, std::uint16_t, std::string, Type,
                     Permissions, Seconds, std::uint16_t>
        cases[] = {
            {"f", mode(0100640), time(5, 6, 6), date(2021, 3, 4), "f", Type::file, 0640, 1614834366,
             0x800},
            {"f", mode(0106755), 0, 0x21, "f", Type::file, 06755, y1980, 0x800},
            {"f", 0x20, 0, 0x21, "f", Type::file, std::nullopt, y1980, 0x800},
            {"d/", 0x10, 0, 0x21, "d/", Type::directory, std::nullopt, y1980, 0x800},
            {"d", mode(040755), 0, 0x21, "d", Type::directory, 0755, y1980, 0x800},
            {"l/", mode(0120777), 0, 0x21, "l/", Type::symbolicLink, 0777, y1980, 0x800},
            {"p", mode(010644), 0, 0x21, "p", Type::file, 0644, y1980, 0x800},
            {"caf\x82", 0, 0, 0x21, "caf\xc3\xa9", Type::file, std::nullopt, y1980, 0},
            {"f", 0, time(23, 59, 58), date(2107, 12, 31), "f", Type::file, std::nullopt,
             4354819198, 0x800},
            {"f", 0, 0, date(2024, 2, 29), "f", Type::file, std::nullopt, 1709164800, 0x800},
            {"f", 0, 0, 0, "f", Type::file, std::nullopt, std::nullopt, 0x800},
            {"f", 0, 0, date(2020, 13, 1), "f", Type::file, std::nullopt, std::nullopt, 0x800},
            {"f", 0, 0, date(2021, 2, 31), "f", Type::file, std::nullopt, std::nullopt, 0x800},
            {"f", 0, time(24, 0, 0), 0x21, "f", Type::file, std::nullopt, std::nullopt, 0x800},
            {"f", 0, time(0, 0, 60), 0x21, "f", Type::file, std::nullopt, std::nullopt, 0x800},
        };
    for (const auto& [name, attributes, dosTime, dosDate, path, type, permissions, seconds, flags] :
         cases) {
        RawZipBuilder zip;
        test::RawZipEntry& e = zip.addStored(name, "");
        e.local.flags = e.central.flags = flags;
        e.central.time = dosTime;
        e.central.date = dosDate;
        e.central.externalAttributes = attributes;
        const ZipArchiveEntry read = ZipArchiveReader(write(zip.relink().bytes()), {}).entry(0);
        EXPECT_EQ(std::tie(read.path, read.type, read.posixPermissions, read.modificationSeconds),
                  std::tie(path, type, permissions, seconds))
            << path << " " << dosDate;
    }
}

// Two end records (libzip takes the first, the inspector the one ending the file), a Unicode
// path field libzip prefers to the raw name, a NUL inside a name.
TEST_F(ZipArchiveReaderTest, RefusesWhatTheTwoReadersDisagreeOn) {
    RawZipBuilder ambiguous;
    ambiguous.addStored("a.txt", "first");
    ambiguous.addStored("b.txt", "second");
    ambiguous.relink();
    test::RawEndRecord inner;
    inner.entriesOnDisk = inner.totalEntries = 1;
    inner.centralDirectorySize = 46 + 5;
    inner.centralDirectoryOffset = std::uint32_t(ambiguous.zip64EndOffset());
    ambiguous.afterCentralDirectory = ambiguous.entries[0].central.encode();
    ambiguous.end.comment = inner.encode();
    RawZipBuilder unicode;
    unicode.addStored("notes.txt", "x").central.flags = 0;
    std::string field("\x75\x70\x12\0\1", 5);
    ZipFormat::put32(field, test::crc32Of("notes.txt"));
    unicode.entries[0].central.extra = field + "../escape.txt";
    RawZipBuilder nul;
    nul.addStored(std::string("b\0.txt", 6), "y");
    RawZipBuilder badName;
    badName.addStored("bad\xff", "y");
    const std::pair<RawZipBuilder, std::string> cases[] = {
        {ambiguous, "invalidArchive: central directory count mismatch"},
        {unicode.relink(), "invalidArchive: central directory name mismatch: entry 1"},
        {nul.relink(), "invalidArchive: central directory name mismatch: entry 1"},
        {badName.relink(), "invalidArchive: entry name is not valid UTF-8"},
    };
    for (const auto& [zip, expected] : cases) {
        EXPECT_EQ(outcomeOf([&] { ZipArchiveReader(write(zip.bytes()), {}); }), expected);
    }
}

// libzip checks the CRC-32 but not the length: the caller's count has to stop an entry.
TEST_F(ZipArchiveReaderTest, ExtractsWhatTheDataHold) {
    const std::string data = test::textBytes(300'000);
    const auto size = static_cast<std::uint32_t>(data.size());
    const std::uint32_t crc = test::crc32Of(data);
    RawZipBuilder corrupt = deflated(data, size, crc);
    corrupt.entries[0].data[0] = '\xff';  // a reserved block type
    const std::pair<RawZipBuilder, std::string> cases[] = {
        {deflated(data, size, crc), "ok"},
        {deflated(data, size - 1, crc), "ok"},
        {deflated(data, size + 1, crc), "ok"},
        {deflated(data, size, crc ^ 1), "invalidArchive: zip library: CRC error"},
        {corrupt, "invalidArchive: zip library: "},
    };
    for (const auto& [zip, expected] : cases) {
        ZipArchiveReader reader(write(zip.bytes()), {});
        std::string got;
        EXPECT_EQ(outcomeOf([&] { got = extractAll(reader, 0); }).substr(0, expected.size()),
                  expected);
        EXPECT_TRUE(expected != "ok" || got == data);
    }
}

TEST_F(ZipArchiveReaderTest, ReadsEntriesInAnyOrderThroughOneOpenFile) {
    const std::string data = test::randomBytes(5 * 65536 + 1, 3);
    RawZipBuilder zip;
    zip.addStored("a.bin", data);
    zip.addDirectory("d/");
    const std::string path = write(zip.relink().bytes());
    std::vector<std::string> seen;
    ZipArchiveReader reader(path, {}, [&](const ZipCentralEntry& e) { seen.emplace_back(e.name); });
    EXPECT_EQ(seen, (std::vector<std::string>{"a.bin", "d/"}));
    // Once open, the path no longer matters.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    test::writeFile(path, "replaced");
    EXPECT_EQ(reader.entry(1).type, Type::directory);
    // Cancellation is checked before every block; the entry can then be read again.
    int checks = 0;
    std::size_t delivered = 0;
    EXPECT_EQ(outcomeOf([&] {
                  reader.extract(
                      0,
                      [&] {
                          if (++checks == 3) {
                              throw OperationCancelled();
                          }
                      },
                      [&](auto block) { delivered += block.size(); });
              }),
              "cancelled");
    EXPECT_EQ(delivered, 2 * ZipArchiveReader::bufferSize);
    ZipArchiveReader moved = std::move(reader);
    EXPECT_EQ(extractAll(moved, 0), data);
    EXPECT_THROW(moved.entry(2), std::out_of_range);
    EXPECT_THROW(extractAll(moved, 2), std::out_of_range);
}

// Large entries carry a ZIP64 local block whose compressed size is still 0, which libzip's
// strict consistency mode would refuse; built here around a few bytes.
TEST_F(ZipArchiveReaderTest, ReadsAnEntryWithTheZip64LocalBlock) {
    const std::string data = "large entries carry sizes in a ZIP64 block";
    const std::uint32_t crc = test::crc32Of(data);
    std::string bytes =
        Layout::fileLocalHeader("big.bin", {}, 0, true,
                                Layout::fileLocalExtraField(true, data.size(), "")) +
        data + Layout::dataDescriptor(crc, data.size(), data.size(), true);
    const Layout::CentralEntry central{false, {}, 0, crc, data.size(), data.size(), 0, 0644, true};
    const std::string record =
        Layout::centralRecord(central, "big.bin", Layout::centralExtraField(central, ""));
    const std::uint64_t directory = bytes.size();
    bytes += record + Layout::zip64EndRecord(1, record.size(), directory) +
             Layout::zip64EndLocator(directory + record.size()) +
             Layout::endRecord(1, record.size(), directory, true);
    ZipArchiveReader reader(write(bytes), {});
    EXPECT_EQ(reader.entry(0).uncompressedSize, data.size());
    EXPECT_EQ(extractAll(reader, 0), data);
}

}  // namespace
}  // namespace tolvane
