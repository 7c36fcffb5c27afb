#include "core/archive/ZipArchiveReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <optional>
#include <ostream>
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
    std::string attributes;  // an encoded extra-field block, or empty
    StreamingZIPWriter::CompressionMethod method = StreamingZIPWriter::CompressionMethod::deflate;

    static Source file(std::string path, std::string data, std::uint16_t permissions = 0644) {
        Source source;
        source.path = std::move(path);
        source.data = std::move(data);
        source.permissions = permissions;
        return source;
    }
    static Source folder(std::string path, std::uint16_t permissions) {
        Source source;
        source.path = std::move(path);
        source.directory = true;
        source.permissions = permissions;
        return source;
    }
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
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (old_) {
            ::setenv("TZ", old_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> old_;
};

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

class WrittenArchiveTest : public ZipArchiveReaderTest,
                           public ::testing::WithParamInterface<ArchiveCompressionMode> {};

TEST_P(WrittenArchiveTest, ReadsBackEveryEntryAsWritten) {
    ArchiveExtendedAttributes::Map attributes{{"comment", "kept"}};
    std::vector<Source> sources = {
        Source::folder("문서/", 0750),
        Source::file("문서/본문.txt", test::textBytes(200'000), 0640),
        Source::file("문서/photo.jpg", test::randomBytes(3 * 65536 + 17, 7)),
        Source::file("empty", "", 0600),
        Source::file("tagged.bin", test::randomBytes(1000, 8), 04755),
        Source::folder("비어 있는 폴더/", 0700),
    };
    sources[0].modified = sampleTime - 86400;
    sources[2].method = StreamingZIPWriter::CompressionMethod::none;
    sources[4].attributes = *ArchiveExtendedAttributes::encodeField(attributes);
    const std::string path = dir_.file("written.zip");
    writeArchive(path, sources, GetParam());

    // Times are read as UTC whatever zone the process runs in.
    const ScopedTimeZone zone("America/St_Johns");
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
        for (std::size_t b = 0; b < data.blocks.size(); ++b) {
            EXPECT_LE(data.blocks[b], ZipArchiveReader::bufferSize);
            EXPECT_GT(data.blocks[b], 0u);
        }
    }
    // Entries can be read again, in any order.
    EXPECT_EQ(extractAll(reader, 2).bytes, sources[2].data);
    EXPECT_EQ(extractAll(reader, 1).bytes, sources[1].data);
    EXPECT_THROW(reader.entry(sources.size()), std::out_of_range);
    EXPECT_THROW(extractAll(reader, sources.size()), std::out_of_range);
}

INSTANTIATE_TEST_SUITE_P(Modes, WrittenArchiveTest,
                         ::testing::Values(ArchiveCompressionMode::balanced,
                                           ArchiveCompressionMode::maximum),
                         [](const auto& info) {
                             return info.param == ArchiveCompressionMode::balanced ? "balanced"
                                                                                   : "maximum";
                         });

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
    Layout::CentralEntry central;
    central.modified = modified;
    central.crc32 = crc;
    central.compressedSize = central.uncompressedSize = data.size();
    central.permissions = 0644;
    central.zip64Local = true;
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

struct MetadataCase {
    std::string label;
    std::string name;
    std::uint16_t flags = ZipFormat::flagUTF8;
    std::uint32_t externalAttributes = 0;
    std::uint16_t time = 0;
    std::uint16_t date = 0x0021;  // 1 January 1980
    // expected
    std::string path;
    Type type = Type::file;
    std::optional<std::uint16_t> permissions;
    std::optional<std::int64_t> modified = 315532800;

    MetadataCase(std::string label, std::string name, std::string path)
        : label(std::move(label)), name(std::move(name)), path(std::move(path)) {}
    MetadataCase& attributes(std::uint32_t value) {
        externalAttributes = value;
        return *this;
    }
    MetadataCase& readAs(Type t, std::optional<std::uint16_t> p) {
        type = t;
        permissions = p;
        return *this;
    }
    MetadataCase& at(std::uint16_t dosTime, std::uint16_t dosDate,
                     std::optional<std::int64_t> seconds) {
        time = dosTime;
        date = dosDate;
        modified = seconds;
        return *this;
    }
};

void PrintTo(const MetadataCase& c, std::ostream* os) {
    *os << c.label;
}

constexpr std::uint32_t mode(std::uint32_t value) {
    return value << 16;
}

const MetadataCase metadataCases[] = {
    MetadataCase("unix file", "f", "f")
        .attributes(mode(0100640))
        .readAs(Type::file, 0640)
        .at(dosTime(5, 6, 6), dosDate(2021, 3, 4), sampleTime),
    MetadataCase("special bits kept", "f", "f").attributes(mode(0106755)).readAs(Type::file, 06755),
    MetadataCase("dos attributes only", "f", "f").attributes(0x20),
    MetadataCase("directory by name", "d/", "d/")
        .attributes(0x10)
        .readAs(Type::directory, std::nullopt),
    MetadataCase("directory by mode", "d", "d")
        .attributes(mode(040755))
        .readAs(Type::directory, 0755),
    MetadataCase("symbolic link", "l", "l")
        .attributes(mode(0120777))
        .readAs(Type::symbolicLink, 0777),
    MetadataCase("link named like a directory", "l/", "l/")
        .attributes(mode(0120777))
        .readAs(Type::symbolicLink, 0777),
    MetadataCase("fifo read as a file", "p", "p").attributes(mode(010644)).readAs(Type::file, 0644),
    [] {
        MetadataCase c("cp437 name", "caf\x82 \xe1", "caf\xc3\xa9 \xc3\x9f");
        c.flags = 0;
        return c;
    }(),
    MetadataCase("latest dos time", "f", "f")
        .at(dosTime(23, 59, 58), dosDate(2107, 12, 31), 4354819198),
    MetadataCase("29 February of a leap year", "f", "f").at(0, dosDate(2024, 2, 29), 1709164800),
    MetadataCase("zero date", "f", "f").at(0, 0, std::nullopt),
    MetadataCase("month 13", "f", "f").at(0, dosDate(2020, 13, 1), std::nullopt),
    MetadataCase("31 February", "f", "f").at(0, dosDate(2021, 2, 31), std::nullopt),
    MetadataCase("hour 24", "f", "f").at(dosTime(24, 0, 0), 0x0021, std::nullopt),
    MetadataCase("60 seconds", "f", "f").at(dosTime(0, 0, 60), 0x0021, std::nullopt),
};

class EntryMetadataTest : public ZipArchiveReaderTest,
                          public ::testing::WithParamInterface<MetadataCase> {};

TEST_P(EntryMetadataTest, ComesFromTheCentralRecord) {
    const MetadataCase& c = GetParam();
    RawZipBuilder zip;
    test::RawZipEntry& entry = zip.addStored(c.name, "");
    entry.local.flags = entry.central.flags = c.flags;
    entry.local.time = entry.central.time = c.time;
    entry.local.date = entry.central.date = c.date;
    entry.central.externalAttributes = c.externalAttributes;
    zip.relink();

    const ScopedTimeZone zone("Asia/Seoul");
    ZipArchiveReader reader(write(zip), {});
    const ZipArchiveEntry read = reader.entry(0);
    EXPECT_EQ(read.path, c.path);
    EXPECT_EQ(read.type, c.type);
    EXPECT_EQ(read.posixPermissions, c.permissions);
    EXPECT_EQ(read.modificationSeconds, c.modified);
}

INSTANTIATE_TEST_SUITE_P(Records, EntryMetadataTest, ::testing::ValuesIn(metadataCases));

TEST_F(ZipArchiveReaderTest, RefusesANameTheDecoderRefuses) {
    // libzip would call this only an inconsistent archive.
    RawZipBuilder zip;
    zip.addStored("ok", "");
    zip.addStored("bad\xff", "");
    zip.relink();
    const std::string path = write(zip);
    EXPECT_EQ(failureOf([&] { ZipArchiveReader reader(path, {}); }),
              invalid("entry name is not valid UTF-8"));
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

struct DisagreementCase {
    const char* label;
    std::function<RawZipBuilder()> make;
    std::string error;
};

void PrintTo(const DisagreementCase& c, std::ostream* os) {
    *os << c.label;
}

class ReaderDisagreementTest : public ZipArchiveReaderTest,
                               public ::testing::WithParamInterface<DisagreementCase> {};

TEST_P(ReaderDisagreementTest, RefusesTheArchive) {
    const std::string path = write(GetParam().make());
    EXPECT_EQ(failureOf([&] { ZipArchiveReader reader(path, {}); }), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ReaderDisagreementTest,
    ::testing::Values(DisagreementCase{"ambiguous end records", ambiguousEndRecords,
                                       invalid("central directory count mismatch")},
                      DisagreementCase{"unicode path field", unicodePathField,
                                       invalid("central directory name mismatch: entry 1")},
                      DisagreementCase{"NUL inside a name",
                                       [] {
                                           RawZipBuilder zip;
                                           zip.addStored("a.txt", "x");
                                           zip.addStored(std::string("b\0.txt", 6), "y");
                                           zip.relink();
                                           return zip;
                                       },
                                       invalid("central directory name mismatch: entry 2")},
                      // What the inspector refuses never reaches libzip, and keeps its own error.
                      DisagreementCase{"encrypted entry",
                                       [] {
                                           RawZipBuilder zip;
                                           zip.addStored("a.txt", "x").central.flags |= 1;
                                           zip.relink();
                                           return zip;
                                       },
                                       describe(Error::unsupportedArchiveEntry("encrypted entry"))},
                      DisagreementCase{"trailing bytes",
                                       [] {
                                           RawZipBuilder zip;
                                           zip.addStored("a.txt", "x");
                                           zip.relink();
                                           zip.trailing = "junk";
                                           return zip;
                                       },
                                       invalid("missing end record")}),
    [](const auto& info) {
        std::string name;
        for (const char* p = info.param.label; *p != '\0'; ++p) {
            name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return name;
    });

// --- entry data ----------------------------------------------------------------------------------

std::string rawDeflate(const std::string& data) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, data.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
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

    struct Case {
        const char* label;
        RawZipBuilder zip;
        std::string detail;
    };
    const Case cases[] = {
        {"wrong checksum", deflated(data, size, crc ^ 1), "zip library: CRC error"},
        {"corrupt deflate data", corrupt, ""},
        {"deflate data cut short", cutShort, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ZipArchiveReader reader(write(c.zip), {});
        try {
            extractAll(reader, 0);
            ADD_FAILURE() << "read without error";
        } catch (const ArchivePipelineError& error) {
            EXPECT_EQ(error.code(), Error::Code::invalidArchive);
            if (c.detail.empty()) {
                EXPECT_EQ(error.detail().rfind("zip library: ", 0), 0u) << error.detail();
            } else {
                EXPECT_EQ(error.detail(), c.detail);
            }
        }
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
    RawZipBuilder zip;
    zip.addStored("data.bin", data);
    zip.relink();
    ZipArchiveReader reader(write(zip), {});

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
    RawZipBuilder zip;
    zip.addStored("a.txt", "x");
    zip.relink();
    const std::string target = write(zip);
    const std::string link = dir_.file("link.zip");
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    const std::string fifo = dir_.file("fifo.zip");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    struct Case {
        std::string path;
        int error;
    };
    for (const Case& c : {Case{link, ELOOP}, Case{dir_.path(), EISDIR}, Case{fifo, EINVAL},
                          Case{dir_.file("missing.zip"), ENOENT}}) {
        SCOPED_TRACE(c.path);
        try {
            ZipArchiveReader reader(c.path, {});
            ADD_FAILURE() << "opened";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::error_code(c.error, std::generic_category()));
        }
    }
}

TEST_F(ZipArchiveReaderTest, UsesOneOpenFileThroughout) {
    // Once open, the reader no longer depends on the path: the archive replaced under it is not
    // read, neither by the inspector's second walk nor by libzip.
    RawZipBuilder zip;
    zip.addStored("a.txt", "original");
    zip.relink();
    const std::string path = write(zip);
    ZipArchiveReader reader(path, {});
    RawZipBuilder other;
    other.addStored("b.txt", "replacement");
    other.relink();
    ASSERT_EQ(::unlink(path.c_str()), 0);
    other.writeTo(path);
    EXPECT_EQ(reader.entry(0).path, "a.txt");
    EXPECT_EQ(extractAll(reader, 0).bytes, "original");

    // Moving a reader keeps the archive open.
    ZipArchiveReader moved = std::move(reader);
    EXPECT_EQ(extractAll(moved, 0).bytes, "original");
}

}  // namespace
}  // namespace tolvane
