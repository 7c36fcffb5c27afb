#include "core/archive/StreamingZIPWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/MaximumZIPDeflater.h"
#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::randomBytes;
using test::textBytes;

namespace Layout = DeliveryZIPLayout;
using Writer = StreamingZIPWriter;
using Method = Writer::CompressionMethod;
using Mode = ArchiveCompressionMode;
using Error = ArchivePipelineError;

constexpr std::uint64_t gib4 = std::uint64_t{1} << 32;
constexpr std::uint64_t mib = 1024 * 1024;
constexpr std::uint64_t reserve = Writer::freeSpaceReserve;
// 2021-03-04 05:06:07 UTC
constexpr std::int64_t sampleTime = 1614834367;

struct TestCancelled {};

// "50 4b 03 04" -> bytes
std::string unhex(const std::string& text) {
    std::string out;
    std::string digits;
    for (const char c : text) {
        if (c != ' ') {
            digits.push_back(c);
        }
        if (digits.size() == 2) {
            out.push_back(static_cast<char>(std::stoi(digits, nullptr, 16)));
            digits.clear();
        }
    }
    return out;
}

std::string hex(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += {digits[b >> 4], digits[b & 15], ' '};
    }
    return out;
}

std::uint16_t at16(const std::string& bytes, std::size_t offset) {
    return ZipFormat::get16(reinterpret_cast<const unsigned char*>(bytes.data()) + offset);
}
std::uint32_t at32(const std::string& bytes, std::size_t offset) {
    return ZipFormat::get32(reinterpret_cast<const unsigned char*>(bytes.data()) + offset);
}
std::uint64_t at64(const std::string& bytes, std::size_t offset) {
    return ZipFormat::get64(reinterpret_cast<const unsigned char*>(bytes.data()) + offset);
}

// A reader over bytes in memory with the writer's contract.
Writer::Read readerOf(const std::string& data) {
    return [&data](std::uint64_t offset, std::span<std::uint8_t> buffer) {
        const std::size_t n = std::min<std::uint64_t>(buffer.size(), data.size() - offset);
        std::copy_n(data.data() + offset, n, reinterpret_cast<char*>(buffer.data()));
        return n;
    };
}

const Writer::CheckCancelled noCancel = [] {};

std::uint64_t fileSize(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return static_cast<std::uint64_t>(st.st_size);
}

std::string readRange(const std::string& path, std::uint64_t offset, std::size_t size) {
    const UniqueFd fd = posix::open(path, O_RDONLY);
    std::string out(size, '\0');
    out.resize(posix::preadAll(fd.get(), out.data(), size, static_cast<off_t>(offset)));
    return out;
}

// A file extended by ftruncate occupies (almost) no blocks.
bool keepsHoles(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_blocks) * 512 < mib;
}

std::string archiveTail(const std::string& path, std::size_t size) {
    return readRange(path, fileSize(path) - size, size);
}

// The two staging files of one archive in a fresh directory.
struct Staging {
    test::TempDir dir;
    std::string archivePath = dir.file("payload.zip");
    std::string spoolPath = dir.file("central-directory.bin");

    // `prefix` bytes of hole before the first entry stand in for gigabytes of earlier entries.
    std::unique_ptr<Writer> open(Mode mode = Mode::balanced,
                                 std::optional<std::uint64_t> maximumFileBytes = std::nullopt,
                                 std::optional<std::uint64_t> budget = std::nullopt,
                                 Writer::FreeSpaceProbe probe = {}, std::uint64_t prefix = 0) {
        UniqueFd archive = posix::open(archivePath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (prefix > 0) {
            EXPECT_EQ(::ftruncate(archive.get(), static_cast<off_t>(prefix)), 0);
        }
        UniqueFd spool = posix::open(spoolPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        return std::make_unique<Writer>(std::move(archive), std::move(spool), spoolPath, mode,
                                        maximumFileBytes, budget, std::move(probe));
    }
};

// ---- independent readers ---------------------------------------------------------------

struct ReadBack {
    std::string name;
    std::uint16_t method = 0;
    std::uint64_t size = 0;
    std::string content;
    std::string localXattrs;    // data of the 0xF17D block in the local header
    std::string centralXattrs;  // and in the central record
};

struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};

// libzip with its consistency check between local and central headers; contents are read
// through its CRC check.
std::vector<ReadBack> readWithLibzip(const std::string& path, bool withContent = true) {
    int error = 0;
    std::unique_ptr<zip_t, ZipDiscard> archive(
        zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
    if (!archive) {
        ADD_FAILURE() << "libzip refused the archive, error " << error;
        return {};
    }
    std::vector<ReadBack> entries;
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive.get(), index, ZIP_FL_ENC_RAW, &st) != 0) {
            ADD_FAILURE() << "zip_stat_index " << i;
            return entries;
        }
        ReadBack entry;
        entry.name = st.name;
        entry.method = static_cast<std::uint16_t>(st.comp_method);
        entry.size = st.size;
        for (const auto& [flags, target] : {std::pair{ZIP_FL_LOCAL, &entry.localXattrs},
                                            std::pair{ZIP_FL_CENTRAL, &entry.centralXattrs}}) {
            zip_uint16_t length = 0;
            const zip_uint8_t* data = zip_file_extra_field_get_by_id(
                archive.get(), index, ArchiveExtendedAttributes::headerID, 0, &length, flags);
            if (data != nullptr) {
                target->assign(reinterpret_cast<const char*>(data), length);
            }
        }
        if (withContent) {
            zip_file_t* file = zip_fopen_index(archive.get(), index, 0);
            if (file == nullptr) {
                ADD_FAILURE() << "zip_fopen_index " << entry.name;
                return entries;
            }
            char buffer[65536];
            zip_int64_t got = 0;
            while ((got = zip_fread(file, buffer, sizeof buffer)) > 0) {
                entry.content.append(buffer, static_cast<std::size_t>(got));
            }
            EXPECT_EQ(got, 0) << "libzip read error in " << entry.name;
            EXPECT_EQ(zip_fclose(file), 0) << entry.name;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool haveCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; returns its exit status and standard output.
std::pair<int, std::string> run(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return {-1, {}};
    }
    std::string out;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

// Python's zipfile: tests every CRC, then lists name, method, size, mode, DOS time and the
// SHA-256 of the content, one entry a line, and the entry count last.
std::string listWithPython(const test::TempDir& dir, const std::string& archivePath,
                           bool countOnly = false) {
    const std::string script = dir.file("list.py");
    test::writeFile(script,
                    "import hashlib, sys, zipfile\n"
                    "with zipfile.ZipFile(sys.argv[1]) as z:\n"
                    "    bad = z.testzip()\n"
                    "    if bad is not None:\n"
                    "        sys.exit('bad entry ' + bad)\n"
                    "    infos = z.infolist()\n"
                    "    if len(sys.argv) < 3:\n"
                    "        for i in infos:\n"
                    "            data = b'' if i.is_dir() else z.read(i)\n"
                    "            print(i.filename, i.compress_type, i.file_size,\n"
                    "                  oct(i.external_attr >> 16),\n"
                    "                  '%04d-%02d-%02d %02d:%02d:%02d' % i.date_time,\n"
                    "                  hashlib.sha256(data).hexdigest(), sep='|')\n"
                    "    print(len(infos))\n");
    const auto [status, out] = run("PYTHONIOENCODING=utf-8 python3 '" + script + "' '" +
                                   archivePath + "'" + (countOnly ? " count" : "") + " 2>&1");
    EXPECT_EQ(status, 0) << out;
    return out;
}

void expectUnzipAccepts(const std::string& archivePath) {
    const auto [status, out] = run("unzip -tqq '" + archivePath + "' 2>&1");
    EXPECT_EQ(status, 0) << out;
}

// ---- record encoders ---------------------------------------------------------------------

TEST(StreamingZIPWriterTest, LocalHeadersAndDescriptorsAreByteExact) {
    const Layout::DosDateTime when{0x1234, 0x5678};
    struct Case {
        const char* label;
        std::string bytes;
        std::string expected;
    };
    const Case cases[] = {
        {"file header", Layout::fileLocalHeader("a.txt", when, 8, false, ""),
         "50 4b 03 04 14 00 08 08 08 00 34 12 78 56 00 00 00 00 00 00 00 00 00 00 00 00"
         "05 00 00 00 61 2e 74 78 74"},
        {"ZIP64 file header with an attribute block",
         Layout::fileLocalHeader("a.txt", when, 0, true,
                                 Layout::fileLocalExtraField(true, gib4, unhex("7d f1 01 00 01"))),
         "50 4b 03 04 2d 00 08 08 00 00 34 12 78 56 00 00 00 00 ff ff ff ff ff ff ff ff"
         "05 00 19 00 61 2e 74 78 74"
         "01 00 10 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 7d f1 01 00 01"},
        {"local extra field without ZIP64", Layout::fileLocalExtraField(false, 0xFFFFFFFF, "x"),
         "78"},
        {"directory header", Layout::directoryLocalHeader("d/", when, ""),
         "50 4b 03 04 14 00 00 08 00 00 34 12 78 56 00 00 00 00 00 00 00 00 00 00 00 00"
         "02 00 00 00 64 2f"},
        {"descriptor at 0xFFFFFFFF still has 4-byte sizes",
         Layout::dataDescriptor(0xAABBCCDD, 0xFFFFFFFF, 0xFFFFFFFF, false),
         "50 4b 07 08 dd cc bb aa ff ff ff ff ff ff ff ff"},
        {"empty entry descriptor", Layout::dataDescriptor(0, 0, 0, false),
         "50 4b 07 08 00 00 00 00 00 00 00 00 00 00 00 00"},
        // Width follows the local header, even for small values.
        {"ZIP64 descriptor", Layout::dataDescriptor(0xAABBCCDD, 7, 9, true),
         "50 4b 07 08 dd cc bb aa 07 00 00 00 00 00 00 00 09 00 00 00 00 00 00 00"},
        {"ZIP64 descriptor at 2^32", Layout::dataDescriptor(1, gib4, gib4 + 1, true),
         "50 4b 07 08 01 00 00 00 00 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hex(c.bytes), hex(unhex(c.expected))) << c.label;
    }
    EXPECT_THROW(Layout::dataDescriptor(0, gib4, 1, false), std::length_error);
    EXPECT_THROW(Layout::dataDescriptor(0, 1, gib4, false), std::length_error);
    EXPECT_THROW(Layout::fileLocalHeader(std::string(65536, 'n'), when, 0, false, ""),
                 std::length_error);
}

TEST(StreamingZIPWriterTest, CentralRecordIsByteExact) {
    Layout::CentralEntry entry;
    entry.modified = {0x1234, 0x5678};
    entry.method = 8;
    entry.crc32 = 0xAABBCCDD;
    entry.compressedSize = 0x10;
    entry.uncompressedSize = 0x20;
    entry.localHeaderOffset = 0x30;
    entry.permissions = 0644;
    EXPECT_EQ(hex(Layout::centralRecord(entry, "a.txt", Layout::centralExtraField(entry, ""))),
              hex(unhex("50 4b 01 02 14 03 14 00 08 08 08 00 34 12 78 56 dd cc bb aa"
                        "10 00 00 00 20 00 00 00 05 00 00 00 00 00 00 00 00 00 00 00 a4 81"
                        "30 00 00 00 61 2e 74 78 74")));

    entry.uncompressedSize = gib4;
    entry.compressedSize = 0xFFFFFFFF;
    entry.localHeaderOffset = 0x140000000;
    entry.zip64Local = true;
    const std::string xattrs = unhex("7d f1 01 00 01");
    EXPECT_EQ(hex(Layout::centralRecord(entry, "a.txt", Layout::centralExtraField(entry, xattrs))),
              hex(unhex("50 4b 01 02 2d 03 2d 00 08 08 08 00 34 12 78 56 dd cc bb aa"
                        "ff ff ff ff ff ff ff ff 05 00 21 00 00 00 00 00 00 00 00 00 a4 81"
                        "ff ff ff ff 61 2e 74 78 74"
                        "01 00 18 00 00 00 00 00 01 00 00 00 ff ff ff ff 00 00 00 00"
                        "00 00 00 40 01 00 00 00 7d f1 01 00 01")));
}

TEST(StreamingZIPWriterTest, CentralRecordZip64RuleAtTheThresholds) {
    struct Case {
        const char* label;
        bool directory;
        std::uint64_t uncompressed;
        std::uint64_t compressed;
        std::uint64_t offset;
        bool zip64Local;
        std::uint16_t version;
        std::vector<std::uint64_t> block;  // values of the ZIP64 central block, in order
    };
    const std::uint64_t m = 0xFFFFFFFF;
    const std::uint64_t fiveGiB = 5 * (gib4 / 4);
    const Case cases[] = {
        {"small", false, 0x20, 0x10, 0x30, false, 20, {}},
        {"just below the marker", false, m - 1, m - 1, m - 1, false, 20, {}},
        {"uncompressed 0xFFFFFFFF", false, m, 5, 0, false, 45, {m}},
        {"compressed 0xFFFFFFFF", false, 5, m, 0, false, 45, {m}},
        {"offset 0xFFFFFFFF", false, 5, 5, m, false, 45, {m}},
        {"deflated 2^32 to little", false, gib4, 100, 0, true, 45, {gib4}},
        {"stored 2^32", false, gib4, gib4, 0, true, 45, {gib4, gib4}},
        {"all three", false, gib4, m, fiveGiB, true, 45, {gib4, m, fiveGiB}},
        {"offset beyond 4 GiB", false, 1, 1, fiveGiB, false, 45, {fiveGiB}},
        // A local ZIP64 block alone raises the version, never lowers it below the local one.
        {"local ZIP64 only", false, 10, 9, 0, true, 45, {}},
        {"directory below the marker", true, 0, 0, m - 1, false, 20, {}},
        {"directory at the marker", true, 0, 0, m, false, 45, {m}},
        {"directory beyond 4 GiB ignores sizes", true, gib4, gib4, fiveGiB, false, 45, {fiveGiB}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Layout::CentralEntry entry;
        entry.isDirectory = c.directory;
        entry.method = c.directory ? 0 : 8;
        entry.uncompressedSize = c.uncompressed;
        entry.compressedSize = c.compressed;
        entry.localHeaderOffset = c.offset;
        entry.permissions = c.directory ? 0755 : 0644;
        entry.zip64Local = c.zip64Local;
        const std::string extra = Layout::centralExtraField(entry, "");
        const std::string record = Layout::centralRecord(entry, "n", extra);
        ASSERT_EQ(record.size(), 46u + 1 + extra.size());
        EXPECT_EQ(at16(record, 4), 0x0300 | c.version);
        EXPECT_EQ(at16(record, 6), c.version);
        EXPECT_EQ(at16(record, 8), c.directory ? 0x0800 : 0x0808);
        const auto expected32 = [&](std::uint64_t value) {
            return c.directory ? 0u : static_cast<std::uint32_t>(std::min(value, m));
        };
        EXPECT_EQ(at32(record, 20), expected32(c.compressed));
        EXPECT_EQ(at32(record, 24), expected32(c.uncompressed));
        EXPECT_EQ(at32(record, 38), c.directory ? 0x41ED0000u : 0x81A40000u);
        EXPECT_EQ(at32(record, 42), static_cast<std::uint32_t>(std::min(c.offset, m)));
        EXPECT_EQ(at16(record, 30), extra.size());
        if (c.block.empty()) {
            EXPECT_TRUE(extra.empty());
            continue;
        }
        ASSERT_EQ(extra.size(), 4 + 8 * c.block.size());
        EXPECT_EQ(at16(extra, 0), 0x0001);
        EXPECT_EQ(at16(extra, 2), 8 * c.block.size());
        for (std::size_t i = 0; i < c.block.size(); ++i) {
            EXPECT_EQ(at64(extra, 4 + 8 * i), c.block[i]) << i;
        }
    }
}

TEST(StreamingZIPWriterTest, EndRecordsAreByteExactAtTheThresholds) {
    struct Case {
        std::uint64_t entries;
        std::uint64_t size;
        std::uint64_t offset;
        bool zip64;
    };
    const std::uint64_t m = 0xFFFFFFFF;
    const Case cases[] = {
        {65534, 100, 100, false}, {65535, 100, 100, true},
        {0, m - 1, m - 1, false}, {0, m, 0, true},
        {0, 0, m, true},          {1, 46, gib4 + 5, true},
        {0, 0, 0, false},         {1000001, gib4, gib4, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Layout::needsZip64EndRecords(c.entries, c.size, c.offset), c.zip64)
            << c.entries << " " << c.size << " " << c.offset;
    }

    EXPECT_EQ(hex(Layout::endRecord(65534, m - 1, m - 1, false)),
              hex(unhex("50 4b 05 06 00 00 00 00 fe ff fe ff fe ff ff ff fe ff ff ff 00 00")));
    // Whatever triggered the ZIP64 form, all four fields hold their markers.
    EXPECT_EQ(hex(Layout::endRecord(3, 100, gib4 + 5, true)),
              hex(unhex("50 4b 05 06 00 00 00 00 ff ff ff ff ff ff ff ff ff ff ff ff 00 00")));
    EXPECT_THROW(Layout::endRecord(65535, 1, 1, false), std::length_error);
    EXPECT_EQ(hex(Layout::zip64EndRecord(65535, 0x100, 0x123456789)),
              hex(unhex("50 4b 06 06 2c 00 00 00 00 00 00 00 2d 00 2d 00 00 00 00 00 00 00 00 00"
                        "ff ff 00 00 00 00 00 00 ff ff 00 00 00 00 00 00"
                        "00 01 00 00 00 00 00 00 89 67 45 23 01 00 00 00")));
    EXPECT_EQ(hex(Layout::zip64EndLocator(0x123456889)),
              hex(unhex("50 4b 06 07 00 00 00 00 89 68 45 23 01 00 00 00 01 00 00 00")));
}

TEST(StreamingZIPWriterTest, DosTimesAreUtcAndClamped) {
    struct Case {
        const char* label;
        std::int64_t seconds;
        Layout::DosDateTime expected;
    };
    const Case cases[] = {
        {"epoch clamps to 1980", 0, {0, 0x0021}},
        {"1975-06-15 10:00 keeps month, day and time", 172058400, {10 << 11, 6 << 5 | 15}},
        {"odd seconds round down", sampleTime, {5 << 11 | 6 << 5 | 3, 41 << 9 | 3 << 5 | 4}},
        {"2150 clamps to 2099", 5680379046, {3 << 11 | 4 << 5 | 3, 119 << 9 | 1 << 5 | 2}},
        {"last second of 2099", 4102444799, {23 << 11 | 59 << 5 | 29, 119 << 9 | 12 << 5 | 31}},
        {"before 1970", -1, {23 << 11 | 59 << 5 | 29, 12 << 5 | 31}},
        {"beyond any calendar", std::numeric_limits<std::int64_t>::max(), {0, 0x0021}},
        {"far before any calendar", std::numeric_limits<std::int64_t>::min(), {0, 0x0021}},
    };
    // The process time zone must not matter.
    const char* savedTz = std::getenv("TZ");
    const std::string saved = savedTz ? savedTz : "";
    for (const char* tz : {"UTC0", "KST-9", "HST10"}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        for (const Case& c : cases) {
            EXPECT_EQ(Layout::dosDateTime(c.seconds), c.expected) << c.label << " in " << tz;
        }
    }
    if (savedTz) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

// The local ZIP64 decision comes from the bound of the stream that will compress the data.
TEST(StreamingZIPWriterTest, LocalZip64IsDecidedFromTheDataBound) {
    struct Case {
        const char* label;
        std::uint64_t size;
        std::optional<Mode> deflateMode;  // none: stored
        bool zip64;
    };
    const Case cases[] = {
        {"stored 0xFFFFFFFF", 0xFFFFFFFF, std::nullopt, false},
        {"stored 2^32", gib4, std::nullopt, true},
        {"deflated small", 65537, Mode::maximum, false},
        {"deflated 0xF0000000, maximum", 0xF0000000, Mode::maximum, true},
        {"deflated 0xF0000000, balanced", 0xF0000000, Mode::balanced, false},
        {"deflated 0xFFFFFFFF, balanced", 0xFFFFFFFF, Mode::balanced, true},
        {"deflated 2^32", gib4, Mode::balanced, true},
    };
    for (const Case& c : cases) {
        const std::uint64_t bound =
            c.deflateMode ? ZipDeflateStream(*c.deflateMode).bound(c.size) : c.size;
        EXPECT_EQ(Layout::fileUsesZip64(c.size, bound), c.zip64) << c.label;
    }
}

// The header goes out before the first block is read, so stopping there shows the decision
// the writer made for a huge entry without reading or writing gigabytes.
TEST(StreamingZIPWriterTest, LocalHeaderAnnouncesZip64BeforeTheData) {
    struct Case {
        const char* label;
        std::uint64_t size;
        Method method;
        Mode mode;
        bool zip64;
    };
    const Case cases[] = {
        {"stored 0xFFFFFFFF", 0xFFFFFFFF, Method::none, Mode::balanced, false},
        {"stored 2^32", gib4, Method::none, Mode::balanced, true},
        {"deflated 0xF0000000, maximum", 0xF0000000, Method::deflate, Mode::maximum, true},
        {"deflated 0xF0000000, balanced", 0xF0000000, Method::deflate, Mode::balanced, false},
        {"deflated 0xFFFFFFFF, balanced", 0xFFFFFFFF, Method::deflate, Mode::balanced, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Staging staging;
        auto writer = staging.open(c.mode);
        EXPECT_THROW(
            writer->addFile(
                "big", c.size, sampleTime, 0644, "", c.method, [] { throw TestCancelled(); },
                [](std::uint64_t, std::span<std::uint8_t>) -> std::size_t {
                    ADD_FAILURE() << "read before the header";
                    return 0;
                }),
            TestCancelled);
        const std::string header = readRange(staging.archivePath, 0, 64);
        ASSERT_EQ(header.size(), 30u + 3 + (c.zip64 ? 20 : 0));
        EXPECT_EQ(at16(header, 4), c.zip64 ? 45 : 20);
        EXPECT_EQ(at32(header, 18), c.zip64 ? 0xFFFFFFFF : 0u);
        EXPECT_EQ(at32(header, 22), c.zip64 ? 0xFFFFFFFF : 0u);
        if (c.zip64) {
            EXPECT_EQ(hex(header.substr(33)), hex(Layout::fileLocalExtraField(true, c.size, "")));
        }
    }
}

// ---- round trips -----------------------------------------------------------------------

struct EntrySpec {
    std::string name;
    bool directory = false;
    std::string content;
    Method method = Method::deflate;
    std::uint16_t permissions = 0644;
};

std::vector<EntrySpec> roundTripEntries() {
    return {
        {"empty-stored.txt", false, "", Method::none},
        {"empty-deflated.txt", false, "", Method::deflate},
        {"block.txt", false, textBytes(65536), Method::deflate},
        {"block-plus-one.txt", false, textBytes(65537), Method::deflate},
        {"block.bin", false, randomBytes(65536, 1), Method::none},
        {"block-plus-one.bin", false, randomBytes(65537, 2), Method::none},
        {"random-deflated.bin", false, randomBytes(200000, 3), Method::deflate},
        {"folder/", true, "", Method::none, 0755},
        {"folder/\xEB\x85\xB8\xED\x8A\xB8.txt", false, textBytes(1000), Method::deflate, 0600},
    };
}

// Writes the entries with the given mode; returns the receipts of the files.
std::vector<Writer::FileReceipt> writeEntries(Writer& writer,
                                              const std::vector<EntrySpec>& entries) {
    std::vector<Writer::FileReceipt> receipts;
    for (const EntrySpec& e : entries) {
        if (e.directory) {
            writer.addDirectory(e.name, sampleTime, e.permissions, "");
        } else {
            receipts.push_back(writer.addFile(e.name, e.content.size(), sampleTime, e.permissions,
                                              "", e.method, noCancel, readerOf(e.content)));
        }
    }
    writer.finalize(noCancel);
    return receipts;
}

class StreamingZIPWriterRoundTrip : public ::testing::TestWithParam<Mode> {};

TEST_P(StreamingZIPWriterRoundTrip, ReadsBackWithLibzip) {
    Staging staging;
    const std::vector<EntrySpec> entries = roundTripEntries();
    auto writer = staging.open(GetParam());
    const auto receipts = writeEntries(*writer, entries);

    EXPECT_EQ(writer->entryCount(), entries.size());
    EXPECT_EQ(writer->archiveBytes(), fileSize(staging.archivePath));
    std::size_t fileIndex = 0;
    for (const EntrySpec& e : entries) {
        if (!e.directory) {
            EXPECT_EQ(receipts[fileIndex++],
                      (Writer::FileReceipt{e.content.size(), Sha256::hexOf(e.content)}))
                << e.name;
        }
    }

    const std::vector<ReadBack> read = readWithLibzip(staging.archivePath);
    ASSERT_EQ(read.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(entries[i].name);
        EXPECT_EQ(read[i].name, entries[i].name);
        EXPECT_EQ(read[i].method, entries[i].method == Method::deflate ? 8 : 0);
        EXPECT_EQ(read[i].size, entries[i].content.size());
        EXPECT_TRUE(read[i].content == entries[i].content);
    }

    // An empty stored file: header, name, no data, and a 16-byte all-zero descriptor.
    const std::string first = readRange(staging.archivePath, 0, 30 + 16 + 16);
    EXPECT_EQ(hex(first.substr(46)), hex(unhex("50 4b 07 08 00 00 00 00 00 00 00 00 00 00 00 00")));
}

TEST_P(StreamingZIPWriterRoundTrip, PassesUnzipTest) {
    if (!haveCommand("unzip")) {
        GTEST_SKIP() << "unzip is not installed";
    }
    Staging staging;
    auto writer = staging.open(GetParam());
    writeEntries(*writer, roundTripEntries());
    expectUnzipAccepts(staging.archivePath);
}

TEST_P(StreamingZIPWriterRoundTrip, ReadsBackWithPythonZipfile) {
    if (!haveCommand("python3")) {
        GTEST_SKIP() << "python3 is not installed";
    }
    Staging staging;
    const std::vector<EntrySpec> entries = roundTripEntries();
    auto writer = staging.open(GetParam());
    writeEntries(*writer, entries);

    std::string expected;
    for (const EntrySpec& e : entries) {
        expected += e.name + "|" + (e.method == Method::deflate ? "8" : "0") + "|" +
                    std::to_string(e.content.size()) + "|0o" + (e.directory ? "40" : "100") +
                    (e.permissions == 0755   ? "755"
                     : e.permissions == 0600 ? "600"
                                             : "644") +
                    "|2021-03-04 05:06:06|" + Sha256::hexOf(e.content) + "\n";
    }
    expected += std::to_string(entries.size()) + "\n";
    EXPECT_EQ(listWithPython(staging.dir, staging.archivePath), expected);
}

INSTANTIATE_TEST_SUITE_P(Modes, StreamingZIPWriterRoundTrip,
                         ::testing::Values(Mode::balanced, Mode::maximum), [](const auto& info) {
                             return info.param == Mode::maximum ? "maximum" : "balanced";
                         });

TEST(StreamingZIPWriterTest, ManyEntriesGetZip64EndRecords) {
    Staging staging;
    auto writer = staging.open();
    constexpr std::uint64_t count = 65535;
    const std::string empty;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (i % 2) {
            writer->addFile("f" + std::to_string(i), 0, sampleTime, 0644, "", Method::none,
                            noCancel, readerOf(empty));
        } else {
            writer->addDirectory("d" + std::to_string(i) + "/", sampleTime, 0755, "");
        }
    }
    writer->finalize(noCancel);

    const std::string tail = archiveTail(staging.archivePath, 56 + 20 + 22);
    const std::uint64_t size = fileSize(staging.archivePath);
    const std::uint64_t zip64EndOffset = size - tail.size();
    EXPECT_EQ(hex(tail.substr(76)), hex(Layout::endRecord(count, 0, 0, true)));
    EXPECT_EQ(hex(tail.substr(56, 20)), hex(Layout::zip64EndLocator(zip64EndOffset)));
    const std::uint64_t directorySize = at64(tail, 40);
    EXPECT_EQ(hex(tail.substr(0, 56)),
              hex(Layout::zip64EndRecord(count, directorySize, zip64EndOffset - directorySize)));

    EXPECT_EQ(readWithLibzip(staging.archivePath, false).size(), count);
    std::string lastName;
    EXPECT_EQ(ZipCentralDirectoryInspector::entryCount(
                  staging.archivePath, noCancel,
                  [&](const ZipCentralEntry& entry) { lastName = entry.name; }),
              count);
    EXPECT_EQ(lastName, "d" + std::to_string(count - 1) + "/");
    if (haveCommand("python3")) {
        EXPECT_EQ(listWithPython(staging.dir, staging.archivePath, true), "65535\n");
    }
    if (haveCommand("unzip")) {
        expectUnzipAccepts(staging.archivePath);
    }
}

// A hole in front of the first entry puts local headers beyond 4 GiB without writing 4 GiB: the
// offsets take the ZIP64 central block and the end records their ZIP64 form.
TEST(StreamingZIPWriterTest, OffsetsBeyond4GiBReadBack) {
    Staging staging;
    const std::uint64_t prefix = 0xFFFFFFF0;
    auto writer = staging.open(Mode::maximum, std::nullopt, std::nullopt, {}, prefix);
    if (!keepsHoles(staging.archivePath)) {
        GTEST_SKIP() << "the temporary file system does not keep holes";
    }
    const std::vector<EntrySpec> entries = {
        {"a/", true, "", Method::none, 0755},  // starts below the marker
        {"a/b.txt", false, textBytes(70000), Method::deflate},
        {"a/c.bin", false, randomBytes(70000, 4), Method::none},
        {"d/", true, "", Method::none, 0755},
    };
    writeEntries(*writer, entries);

    const std::vector<ReadBack> read = readWithLibzip(staging.archivePath);
    ASSERT_EQ(read.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(read[i].name, entries[i].name);
        EXPECT_TRUE(read[i].content == entries[i].content) << entries[i].name;
    }

    // The central directory: the first record points below the marker, the second beyond it.
    const std::string tail = archiveTail(staging.archivePath, 56 + 20 + 22);
    const std::uint64_t directorySize = at64(tail, 40);
    const std::uint64_t directoryOffset = at64(tail, 48);
    EXPECT_GT(directoryOffset, gib4);
    EXPECT_EQ(hex(tail.substr(76)), hex(Layout::endRecord(4, 0, 0, true)));
    const std::string directory = readRange(staging.archivePath, directoryOffset, directorySize);
    EXPECT_EQ(at32(directory, 42), prefix);
    EXPECT_EQ(at16(directory, 30), 0);
    const std::size_t second = 46 + 2;
    EXPECT_EQ(at16(directory, second + 6), 45);
    EXPECT_EQ(at32(directory, second + 42), 0xFFFFFFFF);
    EXPECT_EQ(at16(directory, second + 30), 12);
    EXPECT_EQ(at64(directory, second + 46 + 7 + 4), prefix + 32);

    std::vector<std::string> inspected;
    EXPECT_EQ(ZipCentralDirectoryInspector::entryCount(
                  staging.archivePath, noCancel,
                  [&](const ZipCentralEntry& entry) { inspected.emplace_back(entry.name); }),
              entries.size());
    ASSERT_EQ(inspected.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(inspected[i], entries[i].name);
    }

    if (haveCommand("python3")) {
        EXPECT_EQ(listWithPython(staging.dir, staging.archivePath, true), "4\n");
    }
    if (haveCommand("unzip")) {
        expectUnzipAccepts(staging.archivePath);
    }
}

TEST(StreamingZIPWriterTest, AttributeBlockTravelsUnchangedInBothHeaders) {
    const ArchiveExtendedAttributes::Map attributes{{"com.example.tag", "blue"},
                                                    {"note", std::string("\0\x01\xff", 3)}};
    const std::optional<std::string> field = ArchiveExtendedAttributes::encodeField(attributes);
    ASSERT_TRUE(field.has_value());
    Staging staging;
    auto writer = staging.open();
    const std::string content = textBytes(3000);
    writer->addDirectory("dir/", sampleTime, 0755, *field);
    writer->addFile("dir/file.txt", content.size(), sampleTime, 0644, *field, Method::deflate,
                    noCancel, readerOf(content));
    writer->finalize(noCancel);

    const std::vector<ReadBack> read = readWithLibzip(staging.archivePath);
    ASSERT_EQ(read.size(), 2u);
    for (const ReadBack& entry : read) {
        EXPECT_EQ(hex(entry.localXattrs), hex(field->substr(4))) << entry.name;
        EXPECT_EQ(hex(entry.centralXattrs), hex(field->substr(4))) << entry.name;
        EXPECT_EQ(ArchiveExtendedAttributes::decodeField(*field), attributes);
    }
    EXPECT_TRUE(read[1].content == content);
}

// ---- guards ------------------------------------------------------------------------------

// The size of the sample archive: one stored 100,000-byte file.
void writeSample(Writer& writer, const std::string& content) {
    writer.addFile("sample.bin", content.size(), sampleTime, 0644, "", Method::none, noCancel,
                   readerOf(content));
    writer.finalize(noCancel);
}

TEST(StreamingZIPWriterTest, SizeLimitAndBudgetAllowExactlyTheirValue) {
    const std::string content = randomBytes(100000, 5);
    std::uint64_t exact = 0;
    {
        Staging staging;
        auto writer = staging.open();
        writeSample(*writer, content);
        exact = fileSize(staging.archivePath);
    }
    struct Case {
        const char* label;
        std::optional<std::uint64_t> maximum;
        std::optional<std::uint64_t> budget;
        std::optional<Error> error;
    };
    const Case cases[] = {
        {"limit equal", exact, std::nullopt, std::nullopt},
        {"limit one short", exact - 1, std::nullopt, Error::destinationFileTooLarge(exact - 1)},
        {"budget equal", std::nullopt, exact, std::nullopt},
        {"budget one short", std::nullopt, exact - 1, Error::insufficientSpace()},
        {"both one short: the limit speaks first", exact - 1, exact - 1,
         Error::destinationFileTooLarge(exact - 1)},
        {"no room for the header", 10, std::nullopt, Error::destinationFileTooLarge(10)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Staging staging;
        auto writer = staging.open(Mode::balanced, c.maximum, c.budget);
        try {
            writeSample(*writer, content);
            EXPECT_FALSE(c.error.has_value()) << "no error";
            EXPECT_EQ(fileSize(staging.archivePath), exact);
        } catch (const Error& error) {
            ASSERT_TRUE(c.error.has_value()) << error.detail();
            EXPECT_EQ(error, *c.error);
            // Counters follow only successful writes.
            EXPECT_EQ(writer->archiveBytes(), fileSize(staging.archivePath));
            EXPECT_LE(writer->archiveBytes(), exact - 1);
        }
    }
}

TEST(StreamingZIPWriterTest, BudgetKeepsTheReserveFree) {
    using Bytes = std::optional<std::uint64_t>;
    const std::pair<Bytes, Bytes> cases[] = {
        {std::nullopt, std::nullopt},
        {0, 0},
        {reserve - 1, 0},
        {reserve, 0},
        {reserve + 5, 5},
        {UINT64_MAX, UINT64_MAX - reserve},
    };
    for (const auto& [available, budget] : cases) {
        EXPECT_EQ(Writer::archiveByteBudget(available), budget);
    }
}

TEST(StreamingZIPWriterTest, FreeSpaceProbeGuardsEveryMebibyte) {
    const std::uint64_t header = 30 + 2;  // a directory named "d/"
    struct Case {
        const char* label;
        std::function<std::optional<std::uint64_t>(int)> probe;
        bool fits;
    };
    const Case cases[] = {
        {"room for the write and the reserve", [=](int) { return reserve + header; }, true},
        {"one byte short", [=](int) { return reserve + header - 1; }, false},
        {"less than the reserve", [](int) { return reserve - 1; }, false},
        {"empty volume", [](int) { return std::uint64_t{0}; }, false},
        {"count too large to express", [](int) { return std::optional<std::uint64_t>(); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Staging staging;
        auto writer = staging.open(Mode::balanced, std::nullopt, std::nullopt, c.probe);
        if (c.fits) {
            EXPECT_NO_THROW(writer->addDirectory("d/", sampleTime, 0755, ""));
        } else {
            try {
                writer->addDirectory("d/", sampleTime, 0755, "");
                ADD_FAILURE() << "no error";
            } catch (const Error& error) {
                EXPECT_EQ(error, Error::insufficientSpace());
            }
            EXPECT_EQ(fileSize(staging.archivePath), 0u);
            EXPECT_EQ(writer->archiveBytes(), 0u);
        }
    }

    // Probed on the first write and then once per further mebibyte; a volume that fills up
    // ends the entry at the next probe.
    for (const bool fills : {false, true}) {
        Staging staging;
        int probes = 0;
        auto writer = staging.open(Mode::balanced, std::nullopt, std::nullopt, [&](int fd) {
            EXPECT_GE(fd, 0);
            ++probes;
            return fills && probes == 3 ? reserve : 100 * mib;
        });
        const std::string content = randomBytes(3 * mib + mib / 2, 6);
        if (fills) {
            EXPECT_THROW(writeSample(*writer, content), Error);
            EXPECT_EQ(probes, 3);
            EXPECT_EQ(writer->archiveBytes(), fileSize(staging.archivePath));
            EXPECT_LT(writer->archiveBytes(), 2 * mib + Writer::chunkSize + 100);
        } else {
            writeSample(*writer, content);
            EXPECT_EQ(probes, 4);
        }
    }
}

TEST(StreamingZIPWriterTest, FreeSpaceProbeFailurePropagates) {
    Staging staging;
    auto writer = staging.open(Mode::balanced, std::nullopt, std::nullopt,
                               [](int) -> std::optional<std::uint64_t> {
                                   throw std::system_error(EIO, std::generic_category());
                               });
    try {
        writer->addDirectory("d/", sampleTime, 0755, "");
        ADD_FAILURE() << "no error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::error_code(EIO, std::generic_category()));
    }
    EXPECT_EQ(fileSize(staging.archivePath), 0u);
}

TEST(StreamingZIPWriterTest, EntryNamesAndExtraFieldsAtTheirLimits) {
    const std::string longest(65535, 'n');
    struct Case {
        const char* label;
        bool directory;
        std::string name;
        std::size_t xattrBytes;
        std::optional<Error> error;
    };
    const Case cases[] = {
        {"longest name", false, longest, 0, std::nullopt},
        {"name one byte too long", false, longest + "n", 0,
         Error::finalizationFailed("ZIP entry path is too long")},
        {"empty name", true, "", 0, Error::finalizationFailed("ZIP entry path is too long")},
        {"name that is not UTF-8", false, "bad\xff.txt", 0, Error::unsafePath("bad\xff.txt")},
        {"file with the largest extra field", false, "f", 65535, std::nullopt},
        {"file extra field too long", false, "f", 65536,
         Error::unsupportedArchiveEntry("file metadata exceeds the ZIP extra-field limit: f")},
        {"directory with the largest extra field", true, "d/", 65535, std::nullopt},
        {"directory extra field too long", true, "d/", 65536,
         Error::unsupportedArchiveEntry(
             "directory metadata exceeds the ZIP extra-field limit: d/")},
    };
    const std::string content = "abc";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Staging staging;
        auto writer = staging.open();
        const std::string xattrs(c.xattrBytes, 'x');
        try {
            if (c.directory) {
                writer->addDirectory(c.name, sampleTime, 0755, xattrs);
            } else {
                writer->addFile(c.name, content.size(), sampleTime, 0644, xattrs, Method::deflate,
                                noCancel, readerOf(content));
            }
            EXPECT_FALSE(c.error.has_value()) << "no error";
            EXPECT_EQ(writer->entryCount(), 1u);
        } catch (const Error& error) {
            ASSERT_TRUE(c.error.has_value()) << error.detail();
            EXPECT_EQ(error, *c.error);
            EXPECT_EQ(fileSize(staging.archivePath), 0u) << "header written before the check";
            EXPECT_EQ(writer->entryCount(), 0u);
        }
    }

    Staging staging;
    auto writer = staging.open();
    writer->addFile(longest, content.size(), sampleTime, 0644, "", Method::none, noCancel,
                    readerOf(content));
    writer->finalize(noCancel);
    const std::vector<ReadBack> read = readWithLibzip(staging.archivePath);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].name, longest);
}

// An attribute block that fits the local header can still overflow the central record once the
// ZIP64 block for a far offset joins it; that is found after the data went out.
TEST(StreamingZIPWriterTest, CentralExtraFieldLimitCountsTheZip64Block) {
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "directory" : "file");
        Staging staging;
        auto writer = staging.open(Mode::balanced, std::nullopt, std::nullopt, {}, gib4);
        if (!keepsHoles(staging.archivePath)) {
            GTEST_SKIP() << "the temporary file system does not keep holes";
        }
        const std::string xattrs(65535 - 12 + 1, 'x');
        const std::string content = textBytes(5000);
        try {
            if (directory) {
                writer->addDirectory("d/", sampleTime, 0755, xattrs);
            } else {
                writer->addFile("f", content.size(), sampleTime, 0644, xattrs, Method::deflate,
                                noCancel, readerOf(content));
            }
            ADD_FAILURE() << "no error";
        } catch (const Error& error) {
            EXPECT_EQ(error,
                      Error::unsupportedArchiveEntry(
                          directory ? "directory metadata exceeds the ZIP extra-field limit: d/"
                                    : "file metadata exceeds the ZIP extra-field limit: f"));
        }
        EXPECT_GT(writer->archiveBytes(), xattrs.size());
        EXPECT_EQ(writer->entryCount(), 0u);

        Staging near;
        auto fits = near.open();
        if (directory) {
            EXPECT_NO_THROW(fits->addDirectory("d/", sampleTime, 0755, xattrs));
        } else {
            EXPECT_NO_THROW(fits->addFile("f", content.size(), sampleTime, 0644, xattrs,
                                          Method::deflate, noCancel, readerOf(content)));
        }
    }
}

TEST(StreamingZIPWriterTest, SourceThatChangesWhileReadFailsTheEntry) {
    const std::string content = randomBytes(3 * Writer::chunkSize, 7);
    struct Case {
        const char* label;
        Method method;
        std::int64_t skew;  // added to the honest count of the second read
    };
    const Case cases[] = {
        {"stored, one byte short", Method::none, -1},
        {"stored, one byte more", Method::none, 1},
        {"deflated, one byte short", Method::deflate, -1},
        {"deflated, one byte more", Method::deflate, 1},
    };
    for (const Mode mode : {Mode::balanced, Mode::maximum}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            Staging staging;
            auto writer = staging.open(mode);
            int reads = 0;
            const auto honest = readerOf(content);
            try {
                writer->addFile("f.bin", content.size(), sampleTime, 0644, "", c.method, noCancel,
                                [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                                    const std::size_t n = honest(offset, buffer);
                                    return ++reads == 2 ? n + c.skew : n;
                                });
                ADD_FAILURE() << "no error";
            } catch (const Error& error) {
                EXPECT_EQ(error, Error::sourceChanged("f.bin"));
            }
            EXPECT_EQ(reads, 2);
            EXPECT_EQ(writer->entryCount(), 0u);
        }
    }
}

// Cancellation asked for while a block is read stops the entry before anything more is read
// or written.
TEST(StreamingZIPWriterTest, CancellationBetweenBlocksStopsBeforeAnotherCall) {
    const std::string content = randomBytes(5 * Writer::chunkSize, 8);
    for (const Mode mode : {Mode::balanced, Mode::maximum}) {
        for (const Method method : {Method::none, Method::deflate}) {
            Staging staging;
            auto writer = staging.open(mode);
            bool cancelled = false;
            int reads = 0;
            std::uint64_t sizeAtCancel = 0;
            const auto honest = readerOf(content);
            EXPECT_THROW(writer->addFile(
                             "f.bin", content.size(), sampleTime, 0644, "", method,
                             [&] {
                                 if (cancelled) {
                                     throw TestCancelled();
                                 }
                             },
                             [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                                 EXPECT_FALSE(cancelled) << "read after cancellation";
                                 if (++reads == 2) {
                                     cancelled = true;
                                     sizeAtCancel = fileSize(staging.archivePath);
                                 }
                                 return honest(offset, buffer);
                             }),
                         TestCancelled);
            EXPECT_EQ(reads, 2);
            // A stored block already read still goes out; nothing after it does. Deflated data
            // is not compressed, so not written, once cancellation is seen.
            EXPECT_EQ(fileSize(staging.archivePath),
                      sizeAtCancel + (method == Method::none ? Writer::chunkSize : 0))
                << "written after cancellation";
        }
    }
}

TEST(StreamingZIPWriterTest, FinalizeRunsOnceAndAFailedWriterStaysClosed) {
    Staging staging;
    auto writer = staging.open();
    writer->addDirectory("d/", sampleTime, 0755, "");
    writer->finalize(noCancel);
    const std::uint64_t size = fileSize(staging.archivePath);
    writer->finalize([] { throw TestCancelled(); });
    EXPECT_EQ(fileSize(staging.archivePath), size);
    EXPECT_TRUE(writer->isFinalized());
    EXPECT_THROW(writer->addDirectory("e/", sampleTime, 0755, ""), std::logic_error);

    Staging cancelled;
    auto stopped = cancelled.open();
    stopped->addDirectory("d/", sampleTime, 0755, "");
    const std::uint64_t before = fileSize(cancelled.archivePath);
    EXPECT_THROW(stopped->finalize([] { throw TestCancelled(); }), TestCancelled);
    EXPECT_EQ(fileSize(cancelled.archivePath), before);
    EXPECT_FALSE(stopped->isFinalized());
    // Never a second central directory behind a half-finished one.
    EXPECT_THROW(stopped->finalize(noCancel), std::logic_error);
}

// A call that fails part-way leaves bytes behind that no central record describes, and the
// size guards count from a total the file may no longer match; nothing may be written after it.
TEST(StreamingZIPWriterTest, AnyFailurePoisonsTheWriter) {
    const std::string content = randomBytes(3 * Writer::chunkSize, 9);
    const std::string big = randomBytes(2 * mib, 10);
    struct Case {
        const char* label;
        std::optional<std::uint64_t> budget;
        // Free bytes the probe reports at each of its calls; past the list it throws EIO.
        std::vector<std::uint64_t> probeAnswers;
        bool fullDevice;  // the archive is /dev/full: every write fails with ENOSPC
        std::function<void(Writer&)> fail;
    };
    const std::vector<std::uint64_t> roomy(8, 100 * mib);
    const Case cases[] = {
        {"source changed", std::nullopt, roomy, false,
         [&](Writer& writer) {
             int reads = 0;
             writer.addFile("f.bin", content.size(), sampleTime, 0644, "", Method::none, noCancel,
                            [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                                const std::size_t n = readerOf(content)(offset, buffer);
                                return ++reads == 2 ? n - 1 : n;
                            });
         }},
        {"cancelled inside deflated data", std::nullopt, roomy, false,
         [&](Writer& writer) {
             int checks = 0;
             writer.addFile(
                 "f.txt", content.size(), sampleTime, 0644, "", Method::deflate,
                 [&] {
                     if (++checks == 3) {
                         throw TestCancelled();
                     }
                 },
                 readerOf(content));
         }},
        {"budget runs out inside the data", 100 + Writer::chunkSize, roomy, false,
         [&](Writer& writer) {
             writer.addFile("f.bin", content.size(), sampleTime, 0644, "", Method::none, noCancel,
                            readerOf(content));
         }},
        {"free-space probe fails at the second mebibyte",
         std::nullopt,
         {100 * mib},
         false,
         [&](Writer& writer) {
             writer.addFile("big.bin", big.size(), sampleTime, 0644, "", Method::none, noCancel,
                            readerOf(big));
         }},
        {"volume full", std::nullopt, roomy, true,
         [](Writer& writer) { writer.addDirectory("d/", sampleTime, 0755, ""); }},
        {"name refused", std::nullopt, roomy, false,
         [](Writer& writer) { writer.addDirectory("bad\xff/", sampleTime, 0755, ""); }},
        {"finalize cancelled", std::nullopt, roomy, false,
         [](Writer& writer) { writer.finalize([] { throw TestCancelled(); }); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Staging staging;
        std::size_t probes = 0;
        const Writer::FreeSpaceProbe probe = [&](int) -> std::optional<std::uint64_t> {
            if (probes < c.probeAnswers.size()) {
                return c.probeAnswers[probes++];
            }
            throw std::system_error(EIO, std::generic_category());
        };
        std::unique_ptr<Writer> writer;
        if (c.fullDevice) {
            if (::access("/dev/full", W_OK) != 0) {
                continue;
            }
            writer = std::make_unique<Writer>(
                posix::open("/dev/full", O_WRONLY),
                posix::open(staging.spoolPath, O_WRONLY | O_CREAT | O_TRUNC, 0600),
                staging.spoolPath, Mode::balanced, std::nullopt, c.budget, probe);
        } else {
            writer = staging.open(Mode::balanced, std::nullopt, c.budget, probe);
            writer->addDirectory("first/", sampleTime, 0755, "");
        }

        bool failed = false;
        try {
            c.fail(*writer);
        } catch (const std::logic_error& error) {
            ADD_FAILURE() << "the writer was already unusable: " << error.what();
        } catch (...) {
            failed = true;
        }
        ASSERT_TRUE(failed) << "no error";

        const std::uint64_t bytes = writer->archiveBytes();
        const std::uint64_t entries = writer->entryCount();
        const std::uint64_t size = c.fullDevice ? 0 : fileSize(staging.archivePath);
        const std::uint64_t spoolSize = fileSize(staging.spoolPath);
        const std::string data = "abc";
        EXPECT_THROW(writer->addDirectory("later/", sampleTime, 0755, ""), std::logic_error);
        EXPECT_THROW(
            writer->addFile("later.bin", data.size(), sampleTime, 0644, "", Method::none, noCancel,
                            [](std::uint64_t, std::span<std::uint8_t>) -> std::size_t {
                                ADD_FAILURE() << "read after a failure";
                                return 0;
                            }),
            std::logic_error);
        EXPECT_THROW(writer->finalize(noCancel), std::logic_error);
        // Refused calls are refused again, not half-run.
        EXPECT_THROW(writer->addDirectory("again/", sampleTime, 0755, ""), std::logic_error);

        EXPECT_FALSE(writer->isFinalized());
        EXPECT_EQ(writer->archiveBytes(), bytes);
        EXPECT_EQ(writer->entryCount(), entries);
        EXPECT_EQ(fileSize(staging.spoolPath), spoolSize);
        if (!c.fullDevice) {
            EXPECT_EQ(fileSize(staging.archivePath), size);
        }
    }
}

}  // namespace
}  // namespace tolvane
