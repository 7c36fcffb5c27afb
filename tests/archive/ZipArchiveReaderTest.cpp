#include "core/archive/ZipArchiveReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/StreamingZIPWriter.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Posix.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::RawZipBuilder;
using test::TempDir;
using Type = ZipArchiveEntry::Type;
using Error = ArchivePipelineError;
namespace Layout = DeliveryZIPLayout;

// 2021-03-04 05:06:06 UTC; even, so the DOS fields keep it whole.
constexpr std::int64_t sampleTime = 1614834366;

struct TestCancelled {};

struct Source {
    std::string path;
    std::string data;  // empty for directories
    bool directory = false;
    std::uint16_t permissions = 0644;
    std::int64_t modified = sampleTime;
    std::string attributes = {};  // an encoded extra-field block, or empty
    StreamingZIPWriter::CompressionMethod method = StreamingZIPWriter::CompressionMethod::deflate;
};

// Writes the sources in order with the delivery ZIP writer.
void writeArchive(const std::string& path, const std::vector<Source>& sources,
                  ArchiveCompressionMode mode = ArchiveCompressionMode::balanced) {
    const std::string spool = path + ".cd";
    StreamingZIPWriter writer(
        posix::open(path, O_WRONLY | O_CREAT | O_EXCL, 0600),
        posix::open(spool, O_WRONLY | O_CREAT | O_EXCL, 0600), spool, mode, std::nullopt,
        std::nullopt, [](int) { return std::optional<std::uint64_t>(std::uint64_t{1} << 40); });
    for (const Source& source : sources) {
        if (source.directory) {
            writer.addDirectory(source.path, source.modified, source.permissions,
                                source.attributes);
            continue;
        }
        writer.addFile(
            source.path, source.data.size(), source.modified, source.permissions, source.attributes,
            source.method, [] {},
            [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                const std::size_t count =
                    std::min<std::size_t>(buffer.size(), source.data.size() - offset);
                std::memcpy(buffer.data(), source.data.data() + offset, count);
                return count;
            });
    }
    writer.finalize([] {});
    ::unlink(spool.c_str());
}

struct Extracted {
    std::string bytes;
    std::vector<std::size_t> blocks;
    std::uint32_t crc = 0;
};

Extracted extractAll(ZipArchiveReader& reader, std::uint64_t index) {
    Extracted out;
    out.crc = reader.extract(index, {}, [&](std::span<const std::uint8_t> block) {
        out.bytes.append(reinterpret_cast<const char*>(block.data()), block.size());
        out.blocks.push_back(block.size());
    });
    return out;
}

std::string describe(const ArchivePipelineError& error) {
    return std::to_string(static_cast<int>(error.code())) + " " + error.detail();
}

// The error an action ends with, as text; "" when it succeeds.
std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ArchivePipelineError& error) {
        return describe(error);
    }
    return "";
}

std::string invalid(const std::string& detail) {
    return describe(Error::invalidArchive(detail));
}

std::uint16_t dosTime(int hour, int minute, int second) {
    return static_cast<std::uint16_t>(hour << 11 | minute << 5 | second / 2);
}
std::uint16_t dosDate(int year, int month, int day) {
    return static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
}

// Sets the process time zone for the life of the object.
struct ScopedTimeZone {
    const std::optional<std::string> saved =
        std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;

    explicit ScopedTimeZone(const char* zone) { set(zone); }
    ~ScopedTimeZone() { set(saved ? saved->c_str() : nullptr); }
    static void set(const char* zone) {
        zone ? ::setenv("TZ", zone, 1) : ::unsetenv("TZ");
        ::tzset();
    }
};

// One stored file.
RawZipBuilder single(std::string name, std::string data) {
    RawZipBuilder zip;
    zip.addStored(std::move(name), std::move(data));
    return zip.relink();
}

class ZipArchiveReaderTest : public ::testing::Test {
protected:
    std::string write(const RawZipBuilder& zip) {
        const std::string path = dir_.file("raw-" + std::to_string(++counter_) + ".zip");
        zip.writeTo(path);
        return path;
    }

    TempDir dir_;
    int counter_ = 0;
};

// --- archives of the delivery ZIP writer -------------------------------------------------------

TEST_F(ZipArchiveReaderTest, ReadsBackEveryEntryTheWriterWrote) {
    const std::vector<Source> sources = {
        {"문서/", "", true, 0750, sampleTime - 86400},
        {"문서/본문.txt", test::textBytes(200'000), false, 0640},
        {"문서/photo.jpg", test::randomBytes(3 * 65536 + 17, 7), false, 0644, sampleTime, "",
         StreamingZIPWriter::CompressionMethod::none},
        {"empty", "", false, 0600},
        {"tagged.bin", test::randomBytes(1000, 8), false, 04755, sampleTime,
         *ArchiveExtendedAttributes::encodeField({{"comment", "kept"}})},
        {"비어 있는 폴더/", "", true, 0700},
    };
    // Times are read as UTC whatever zone the process runs in.
    const ScopedTimeZone zone("America/St_Johns");
    for (const auto mode : {ArchiveCompressionMode::balanced, ArchiveCompressionMode::maximum}) {
        const std::string path =
            dir_.file("written-" + std::to_string(static_cast<int>(mode)) + ".zip");
        writeArchive(path, sources, mode);
        ZipArchiveReader reader(path, [] {});
        ASSERT_EQ(reader.entryCount(), sources.size());
        for (std::uint64_t i = 0; i < sources.size(); ++i) {
            const Source& source = sources[i];
            SCOPED_TRACE(source.path);
            const ZipArchiveEntry entry = reader.entry(i);
            EXPECT_EQ(entry.index, i);
            EXPECT_EQ(entry.path, source.path);
            EXPECT_EQ(entry.type, source.directory ? Type::directory : Type::file);
            EXPECT_EQ(entry.posixPermissions, source.permissions);
            EXPECT_EQ(entry.modificationSeconds, source.modified);
            EXPECT_EQ(entry.uncompressedSize, source.data.size());
            EXPECT_EQ(entry.crc32, test::crc32Of(source.data));
            if (source.method == StreamingZIPWriter::CompressionMethod::none || source.directory) {
                EXPECT_EQ(entry.method, ZipFormat::methodStored);
                EXPECT_EQ(entry.compressedSize, source.data.size());
            } else {
                EXPECT_EQ(entry.method, ZipFormat::methodDeflate);
            }

            const Extracted data = extractAll(reader, i);
            EXPECT_EQ(data.bytes, source.data);
            EXPECT_EQ(data.crc, entry.crc32);
            EXPECT_TRUE(std::all_of(data.blocks.begin(), data.blocks.end(), [](std::size_t size) {
                return size > 0 && size <= ZipArchiveReader::bufferSize;
            }));
        }
        // Entries can be read again, in any order.
        EXPECT_EQ(extractAll(reader, 2).bytes, sources[2].data);
        EXPECT_EQ(extractAll(reader, 1).bytes, sources[1].data);
        EXPECT_THROW(reader.entry(sources.size()), std::out_of_range);
        EXPECT_THROW(extractAll(reader, sources.size()), std::out_of_range);
    }
}

// Entries of 4 GiB and more carry a ZIP64 block in their local header whose compressed size is
// still 0; libzip's strict consistency mode refuses that, so the reader must do without it. The
// same layout is built here around a few bytes.
TEST_F(ZipArchiveReaderTest, ReadsAnEntryWithTheZip64LocalBlock) {
    const std::string data = "large entries carry sizes in a ZIP64 block";
    const auto crc = test::crc32Of(data);
    const Layout::DosDateTime modified = Layout::dosDateTime(sampleTime);
    std::string bytes = Layout::fileLocalHeader("big.bin", modified, ZipFormat::methodStored, true,
                                                Layout::fileLocalExtraField(true, data.size(), ""));
    bytes += data;
    bytes += Layout::dataDescriptor(crc, data.size(), data.size(), true);
    const Layout::CentralEntry central{false,       modified, 0,    crc, data.size(),
                                       data.size(), 0,        0644, true};
    const std::uint64_t directoryOffset = bytes.size();
    const std::string record =
        Layout::centralRecord(central, "big.bin", Layout::centralExtraField(central, ""));
    bytes += record;
    // In ZIP64 form, as an archive of that size would end.
    const std::uint64_t zip64Offset = bytes.size();
    bytes += Layout::zip64EndRecord(1, record.size(), directoryOffset);
    bytes += Layout::zip64EndLocator(zip64Offset);
    bytes += Layout::endRecord(1, record.size(), directoryOffset, true);
    const std::string path = dir_.file("zip64.zip");
    test::writeFile(path, bytes);

    ZipArchiveReader reader(path, {});
    ASSERT_EQ(reader.entryCount(), 1u);
    const ZipArchiveEntry entry = reader.entry(0);
    EXPECT_EQ(entry.path, "big.bin");
    EXPECT_EQ(entry.uncompressedSize, data.size());
    EXPECT_EQ(entry.modificationSeconds, sampleTime);
    const Extracted read = extractAll(reader, 0);
    EXPECT_EQ(read.bytes, data);
    EXPECT_EQ(read.crc, crc);
}

// --- types, permissions, times and names from the central record -------------------------------

TEST_F(ZipArchiveReaderTest, MetadataComesFromTheCentralRecord) {
    const auto mode = [](std::uint32_t value) { return value << 16; };
    const std::uint16_t jan1 = 0x0021;  // 1 January 1980
    const std::int64_t y1980 = 315532800;
    struct Case {
        std::string name;
        std::uint32_t attributes;
        std::uint16_t time;
        std::uint16_t date;
        std::string path;  // expected from here on
        Type type;
        std::optional<std::uint16_t> permissions;
        std::optional<std::int64_t> modified;
        std::uint16_t flags = ZipFormat::flagUTF8;
    };
    const Case cases[] = {
        {"f", mode(0100640), dosTime(5, 6, 6), dosDate(2021, 3, 4), "f", Type::file, 0640,
         sampleTime},
        {"f", mode(0106755), 0, jan1, "f", Type::file, 06755, y1980},  // special bits kept
        {"f", 0x20, 0, jan1, "f", Type::file, std::nullopt, y1980},    // DOS attributes only
        {"d/", 0x10, 0, jan1, "d/", Type::directory, std::nullopt, y1980},
        {"d", mode(040755), 0, jan1, "d", Type::directory, 0755, y1980},
        {"l", mode(0120777), 0, jan1, "l", Type::symbolicLink, 0777, y1980},
        {"l/", mode(0120777), 0, jan1, "l/", Type::symbolicLink, 0777, y1980},
        {"p", mode(010644), 0, jan1, "p", Type::file, 0644, y1980},  // a FIFO is read as a file
        {"caf\x82 \xe1", 0, 0, jan1, "caf\xc3\xa9 \xc3\x9f", Type::file, std::nullopt, y1980,
         0},  // code page 437
        {"f", 0, dosTime(23, 59, 58), dosDate(2107, 12, 31), "f", Type::file, std::nullopt,
         4354819198},
        {"f", 0, 0, dosDate(2024, 2, 29), "f", Type::file, std::nullopt, 1709164800},
        {"f", 0, 0, 0, "f", Type::file, std::nullopt, std::nullopt},
        {"f", 0, 0, dosDate(2020, 13, 1), "f", Type::file, std::nullopt, std::nullopt},
        {"f", 0, 0, dosDate(2021, 2, 31), "f", Type::file, std::nullopt, std::nullopt},
        {"f", 0, dosTime(24, 0, 0), jan1, "f", Type::file, std::nullopt, std::nullopt},
        {"f", 0, dosTime(0, 0, 60), jan1, "f", Type::file, std::nullopt, std::nullopt},
    };
    const ScopedTimeZone zone("Asia/Seoul");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i));
        RawZipBuilder zip;
        test::RawZipEntry& entry = zip.addStored(c.name, "");
        entry.local.flags = entry.central.flags = c.flags;
        entry.local.time = entry.central.time = c.time;
        entry.local.date = entry.central.date = c.date;
        entry.central.externalAttributes = c.attributes;
        const ZipArchiveEntry read = ZipArchiveReader(write(zip.relink()), {}).entry(0);
        EXPECT_EQ(read.path, c.path);
        EXPECT_EQ(read.type, c.type);
        EXPECT_EQ(read.posixPermissions, c.permissions);
        EXPECT_EQ(read.modificationSeconds, c.modified);
    }
}

// --- the two readers must agree ------------------------------------------------------------------

// Two end records: the one the inspector takes (the last, whose comment ends the file) describes
// the one-entry directory behind the first; libzip prefers the first, with both entries.
RawZipBuilder ambiguousEndRecords() {
    RawZipBuilder zip;
    zip.addStored("a.txt", "first");
    zip.addStored("b.txt", "second");
    zip.relink();
    const std::uint64_t secondDirectory = zip.centralDirectoryOffset() + zip.centralDirectorySize();
    const std::string record = zip.entries[0].central.encode();
    zip.afterCentralDirectory = record;
    test::RawEndRecord inner;
    inner.entriesOnDisk = inner.totalEntries = 1;
    inner.centralDirectorySize = static_cast<std::uint32_t>(record.size());
    inner.centralDirectoryOffset = static_cast<std::uint32_t>(secondDirectory);
    zip.end.comment = inner.encode();
    return zip;
}

// The Info-ZIP Unicode path field (0x7075) carries another name; libzip reports it in place of
// the raw name when its checksum matches, while the inspector and every check after it go by the
// raw name.
RawZipBuilder unicodePathField() {
    RawZipBuilder zip;
    zip.addStored("notes.txt", "x");
    const std::string other = "../escape.txt";
    std::string field;
    ZipFormat::put16(field, 0x7075);
    ZipFormat::put16(field, static_cast<std::uint16_t>(5 + other.size()));
    field.push_back(1);
    ZipFormat::put32(field, test::crc32Of("notes.txt"));
    field += other;
    zip.entries[0].central.extra = field;
    zip.entries[0].central.flags = zip.entries[0].local.flags = 0;
    zip.relink();
    return zip;
}

TEST_F(ZipArchiveReaderTest, RefusesWhatTheTwoReadersDisagreeOn) {
    const auto twoFiles = [](std::string second) {
        RawZipBuilder zip = single("a.txt", "x");
        zip.addStored(std::move(second), "y");
        return zip.relink();
    };
    RawZipBuilder encrypted = twoFiles("b.txt");
    encrypted.entries[1].central.flags |= 1;
    RawZipBuilder trailing = twoFiles("b.txt");
    trailing.trailing = "junk";
    const std::pair<RawZipBuilder, std::string> cases[] = {
        {ambiguousEndRecords(), invalid("central directory count mismatch")},
        {unicodePathField(), invalid("central directory name mismatch: entry 1")},
        {twoFiles(std::string("b\0.txt", 6)), invalid("central directory name mismatch: entry 2")},
        // libzip would call this only an inconsistent archive.
        {twoFiles("bad\xff"), invalid("entry name is not valid UTF-8")},
        // What the inspector refuses never reaches libzip, and keeps its own error.
        {encrypted, describe(Error::unsupportedArchiveEntry("encrypted entry"))},
        {trailing, invalid("missing end record")},
    };
    for (const auto& [zip, error] : cases) {
        const std::string path = write(zip);
        EXPECT_EQ(failureOf([&] { ZipArchiveReader reader(path, {}); }), error);
    }
}

// --- entry data ----------------------------------------------------------------------------------

std::string rawDeflate(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                        reinterpret_cast<const Bytef*>(data.data()), data.size(), 6),
              Z_OK);
    return out.substr(2, size - 6);  // without the zlib header and checksum
}

// One deflated entry whose central record may lie about its size or checksum.
RawZipBuilder deflated(const std::string& data, std::uint32_t recordedSize,
                       std::uint32_t recordedCrc) {
    RawZipBuilder zip;
    test::RawZipEntry& entry = zip.addStored("data.txt", rawDeflate(data));
    for (auto* header : {&entry.local.method, &entry.central.method}) {
        *header = ZipFormat::methodDeflate;
    }
    entry.local.uncompressedSize = entry.central.uncompressedSize = recordedSize;
    entry.local.crc32 = entry.central.crc32 = recordedCrc;
    zip.relink();
    return zip;
}

TEST_F(ZipArchiveReaderTest, LibraryErrorsBecomeInvalidArchive) {
    const std::string data = test::textBytes(300'000);
    const auto size = static_cast<std::uint32_t>(data.size());
    const std::uint32_t crc = test::crc32Of(data);
    RawZipBuilder corrupt = deflated(data, size, crc);
    corrupt.entries[0].data[0] = '\xff';  // a reserved block type
    RawZipBuilder cutShort = deflated(data, size, crc);
    cutShort.entries[0].data.resize(cutShort.entries[0].data.size() / 2);
    cutShort.relink();

    const std::pair<RawZipBuilder, std::string> cases[] = {
        {deflated(data, size, crc ^ 1), "CRC error"},
        {corrupt, ""},
        {cutShort, ""},
    };
    for (const auto& [zip, detail] : cases) {
        ZipArchiveReader reader(write(zip), {});
        const std::string failure = failureOf([&] { extractAll(reader, 0); });
        EXPECT_EQ(failure.rfind(invalid("zip library: " + detail), 0), 0u) << failure;
    }
}

TEST_F(ZipArchiveReaderTest, HandsOnWhatTheDataHoldWhateverTheRecordedLength) {
    // libzip checks the CRC-32 but not the length, so the caller's count is what stops an entry
    // that inflates to more, or fewer, bytes than recorded.
    const std::string data = test::textBytes(300'000);
    const auto size = static_cast<std::uint32_t>(data.size());
    for (const std::uint32_t recorded : {size - 1, size + 1}) {
        SCOPED_TRACE(recorded);
        ZipArchiveReader reader(write(deflated(data, recorded, test::crc32Of(data))), {});
        EXPECT_EQ(reader.entry(0).uncompressedSize, recorded);
        const Extracted read = extractAll(reader, 0);
        EXPECT_EQ(read.bytes, data);
        EXPECT_EQ(read.crc, test::crc32Of(data));
    }
}

TEST_F(ZipArchiveReaderTest, ChecksCancellationBeforeEveryBlock) {
    const std::string data = test::randomBytes(5 * 65536 + 1, 3);
    ZipArchiveReader reader(write(single("data.bin", data)), {});

    int checks = 0;
    std::size_t delivered = 0;
    EXPECT_THROW(reader.extract(
                     0,
                     [&] {
                         if (++checks == 3) {
                             throw TestCancelled{};
                         }
                     },
                     [&](std::span<const std::uint8_t> block) { delivered += block.size(); }),
                 TestCancelled);
    EXPECT_EQ(delivered, 2 * ZipArchiveReader::bufferSize);

    // An entry interrupted that way can be read again from the start.
    EXPECT_EQ(extractAll(reader, 0).bytes, data);
}

// --- opening
// ---------------------------------------------------------------------------------------

TEST_F(ZipArchiveReaderTest, TheCallerSeesEveryRecordOnce) {
    RawZipBuilder zip;
    zip.addStored("a.txt", "x");
    zip.addDirectory("d/");
    zip.entries[1].central.extra = std::string("\x99\x99\x01\x00Z", 5);
    zip.relink();
    const std::string path = write(zip);

    std::vector<std::string> names;
    std::vector<std::string> extras;
    ZipArchiveReader reader(path, {}, [&](const ZipCentralEntry& entry) {
        names.emplace_back(entry.name);
        extras.emplace_back(entry.extraField);
    });
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "d/"}));
    EXPECT_EQ(extras, (std::vector<std::string>{"", std::string("\x99\x99\x01\x00Z", 5)}));

    // A refusal by the caller ends the open with the caller's error; so does a cancellation.
    EXPECT_EQ(failureOf([&] {
                  ZipArchiveReader refused(path, {}, [](const ZipCentralEntry& entry) {
                      if (entry.name == "d/") {
                          throw Error::unsupportedArchiveEntry("no");
                      }
                  });
              }),
              describe(Error::unsupportedArchiveEntry("no")));
    EXPECT_THROW(ZipArchiveReader(path, [] { throw TestCancelled{}; }), TestCancelled);
}

TEST_F(ZipArchiveReaderTest, OpensOnlyRegularFilesAndNeverFollowsALink) {
    const std::string link = dir_.file("link.zip");
    ASSERT_EQ(::symlink(write(single("a.txt", "x")).c_str(), link.c_str()), 0);
    const std::string fifo = dir_.file("fifo.zip");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, int> cases[] = {
        {link, ELOOP}, {dir_.path(), EISDIR}, {fifo, EINVAL}, {dir_.file("missing.zip"), ENOENT}};
    for (const auto& [path, errorNumber] : cases) {
        try {
            ZipArchiveReader reader(path, {});
            ADD_FAILURE() << path << " opened";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::error_code(errorNumber, std::generic_category())) << path;
        }
    }
}

TEST_F(ZipArchiveReaderTest, UsesOneOpenFileThroughout) {
    // Once open, the reader no longer depends on the path: the archive replaced under it is not
    // read, neither by the inspector's second walk nor by libzip.
    const std::string path = write(single("a.txt", "original"));
    ZipArchiveReader reader(path, {});
    ASSERT_EQ(::unlink(path.c_str()), 0);
    single("b.txt", "replacement").writeTo(path);
    EXPECT_EQ(reader.entry(0).path, "a.txt");
    EXPECT_EQ(extractAll(reader, 0).bytes, "original");

    // Moving a reader keeps the archive open.
    ZipArchiveReader moved = std::move(reader);
    EXPECT_EQ(extractAll(moved, 0).bytes, "original");
}

}  // namespace
}  // namespace tolvane
