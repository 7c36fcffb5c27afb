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
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
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
constexpr std::uint64_t m32 = 0xFFFFFFFF;
constexpr std::uint64_t reserve = Writer::freeSpaceReserve;
// 2021-03-04 05:06:07 UTC
constexpr std::int64_t sampleTime = 1614834367;

struct TestCancelled {};

// "50 4b 03 04" -> bytes
std::string unhex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != ' ') {
            out.push_back(static_cast<char>(std::stoi(text.substr(i++, 2), nullptr, 16)));
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

const unsigned char* at(const std::string& bytes, std::size_t offset) {
    return reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
}
std::uint16_t at16(const std::string& b, std::size_t o) {
    return ZipFormat::get16(at(b, o));
}
std::uint32_t at32(const std::string& b, std::size_t o) {
    return ZipFormat::get32(at(b, o));
}
std::uint64_t at64(const std::string& b, std::size_t o) {
    return ZipFormat::get64(at(b, o));
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

Writer::FileReceipt addBytes(Writer& writer, const std::string& name, const std::string& content,
                             Method method = Method::deflate, std::string_view xattrs = "",
                             std::uint16_t permissions = 0644) {
    return writer.addFile(name, content.size(), sampleTime, permissions, xattrs, method, noCancel,
                          readerOf(content));
}

std::string describe(const Error& error) {
    return std::to_string(static_cast<int>(error.code())) + " " + error.detail();
}

// "" when the call succeeds, else its error's code and detail, or its errno.
std::string outcomeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        return describe(error);
    } catch (const std::system_error& error) {
        return "errno " + std::to_string(error.code().value());
    }
    return "";
}

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

// The ZIP64 end record, its locator and the end record.
std::string zip64Tail(const std::string& path) {
    return readRange(path, fileSize(path) - (56 + 20 + 22), 56 + 20 + 22);
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
    std::string content{};
    std::string localXattrs{};    // data of the 0xF17D block in the local header
    std::string centralXattrs{};  // and in the central record
};

// libzip with its consistency check between local and central headers; contents are read
// through its CRC check.
std::vector<ReadBack> readWithLibzip(const std::string& path, bool withContent = true) {
    int error = 0;
    std::unique_ptr<zip_t, decltype(&zip_discard)> archive(
        zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error), zip_discard);
    if (!archive) {
        ADD_FAILURE() << "libzip refused the archive, error " << error;
        return {};
    }
    std::vector<ReadBack> entries;
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(count); ++index) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive.get(), index, ZIP_FL_ENC_RAW, &st) != 0) {
            ADD_FAILURE() << "zip_stat_index " << index;
            return entries;
        }
        ReadBack entry{st.name, static_cast<std::uint16_t>(st.comp_method), st.size};
        for (const auto& [flags, target] : {std::pair{ZIP_FL_LOCAL, &entry.localXattrs},
                                            std::pair{ZIP_FL_CENTRAL, &entry.centralXattrs}}) {
            zip_uint16_t length = 0;
            const zip_uint8_t* data = zip_file_extra_field_get_by_id(
                archive.get(), index, ArchiveExtendedAttributes::headerID, 0, &length, flags);
            if (data != nullptr) {
                target->assign(reinterpret_cast<const char*>(data), length);
            }
        }
        zip_file_t* file = withContent ? zip_fopen_index(archive.get(), index, 0) : nullptr;
        if (file != nullptr) {
            // Reading past the end is what makes libzip compare the CRC-32.
            entry.content.resize(st.size + 1);
            EXPECT_EQ(zip_fread(file, entry.content.data(), st.size + 1),
                      static_cast<zip_int64_t>(st.size))
                << entry.name;
            entry.content.resize(st.size);
            EXPECT_EQ(zip_fclose(file), 0) << entry.name;
        }
        EXPECT_EQ(file != nullptr, withContent) << entry.name;
        entries.push_back(std::move(entry));
    }
    return entries;
}

// `unzip -t` and Python's zipfile test every CRC; zipfile also counts the entries. Each is
// skipped where it is not installed.
void expectOtherToolsAccept(const std::string& archivePath, std::uint64_t count) {
    const auto run = [](const std::string& command) {
        FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
        std::string out;
        char buffer[4096];
        for (std::size_t n = 0; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
            out.append(buffer, n);
        }
        const int status = pipe ? ::pclose(pipe) : -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n" << out;
        return out;
    };
    if (std::system("command -v unzip >/dev/null 2>&1") == 0) {
        run("unzip -tqq '" + archivePath + "'");
    }
    if (std::system("command -v python3 >/dev/null 2>&1") == 0) {
        EXPECT_EQ(run("python3 -c 'import sys, zipfile\n"
                      "z = zipfile.ZipFile(sys.argv[1])\n"
                      "print(z.testzip(), len(z.infolist()))' '" +
                      archivePath + "'"),
                  "None " + std::to_string(count) + "\n");
    }
}

// ---- record encoders ---------------------------------------------------------------------

TEST(StreamingZIPWriterTest, LocalHeadersAndDescriptorsAreByteExact) {
    const Layout::DosDateTime when{0x1234, 0x5678};
    const std::pair<std::string, std::string> cases[] = {
        {Layout::fileLocalHeader("a.txt", when, 8, false, ""),
         "50 4b 03 04 14 00 08 08 08 00 34 12 78 56 00 00 00 00 00 00 00 00 00 00 00 00"
         "05 00 00 00 61 2e 74 78 74"},
        // ZIP64 with an attribute block.
        {Layout::fileLocalHeader("a.txt", when, 0, true,
                                 Layout::fileLocalExtraField(true, gib4, unhex("7d f1 01 00 01"))),
         "50 4b 03 04 2d 00 08 08 00 00 34 12 78 56 00 00 00 00 ff ff ff ff ff ff ff ff"
         "05 00 19 00 61 2e 74 78 74"
         "01 00 10 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 7d f1 01 00 01"},
        {Layout::fileLocalExtraField(false, m32, "x"), "78"},
        {Layout::directoryLocalHeader("d/", when, ""),
         "50 4b 03 04 14 00 00 08 00 00 34 12 78 56 00 00 00 00 00 00 00 00 00 00 00 00"
         "02 00 00 00 64 2f"},
        // 0xFFFFFFFF still fits the 4-byte sizes.
        {Layout::dataDescriptor(0xAABBCCDD, m32, m32, false),
         "50 4b 07 08 dd cc bb aa ff ff ff ff ff ff ff ff"},
        // The width follows the local header, even for small values.
        {Layout::dataDescriptor(0xAABBCCDD, 7, 9, true),
         "50 4b 07 08 dd cc bb aa 07 00 00 00 00 00 00 00 09 00 00 00 00 00 00 00"},
        {Layout::dataDescriptor(1, gib4, gib4 + 1, true),
         "50 4b 07 08 01 00 00 00 00 00 00 00 01 00 00 00 01 00 00 00 01 00 00 00"},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(hex(bytes), hex(unhex(expected)));
    }
    EXPECT_THROW(Layout::dataDescriptor(0, gib4, 1, false), std::length_error);
    EXPECT_THROW(Layout::dataDescriptor(0, 1, gib4, false), std::length_error);
    EXPECT_THROW(Layout::fileLocalHeader(std::string(65536, 'n'), when, 0, false, ""),
                 std::length_error);
}

TEST(StreamingZIPWriterTest, CentralRecordIsByteExact) {
    Layout::CentralEntry entry{false, {0x1234, 0x5678}, 8, 0xAABBCCDD, 0x10, 0x20, 0x30, 0644};
    EXPECT_EQ(hex(Layout::centralRecord(entry, "a.txt", Layout::centralExtraField(entry, ""))),
              hex(unhex("50 4b 01 02 14 03 14 00 08 08 08 00 34 12 78 56 dd cc bb aa"
                        "10 00 00 00 20 00 00 00 05 00 00 00 00 00 00 00 00 00 00 00 a4 81"
                        "30 00 00 00 61 2e 74 78 74")));

    entry.uncompressedSize = gib4;
    entry.compressedSize = m32;
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

Layout::CentralEntry centralEntry(bool directory, std::uint64_t uncompressed,
                                  std::uint64_t compressed, std::uint64_t offset,
                                  bool zip64Local = false) {
    return {directory,
            {},
            static_cast<std::uint16_t>(directory ? 0 : 8),
            0,
            compressed,
            uncompressed,
            offset,
            static_cast<std::uint16_t>(directory ? 0755 : 0644),
            zip64Local};
}

TEST(StreamingZIPWriterTest, CentralRecordZip64RuleAtTheThresholds) {
    struct Case {
        const char* label;
        Layout::CentralEntry entry;
        std::uint16_t version;
        std::vector<std::uint64_t> block;  // values of the ZIP64 central block, in order
    };
    const std::uint64_t fiveGiB = 5 * (gib4 / 4);
    const Case cases[] = {
        {"just below the marker", centralEntry(false, m32 - 1, m32 - 1, m32 - 1), 20, {}},
        {"uncompressed 0xFFFFFFFF", centralEntry(false, m32, 5, 0), 45, {m32}},
        {"compressed 0xFFFFFFFF", centralEntry(false, 5, m32, 0), 45, {m32}},
        {"offset 0xFFFFFFFF", centralEntry(false, 5, 5, m32), 45, {m32}},
        {"deflated 2^32 to little", centralEntry(false, gib4, 100, 0, true), 45, {gib4}},
        {"stored 2^32", centralEntry(false, gib4, gib4, 0, true), 45, {gib4, gib4}},
        {"all three", centralEntry(false, gib4, m32, fiveGiB, true), 45, {gib4, m32, fiveGiB}},
        // A local ZIP64 block alone raises the version, never lowers it below the local one.
        {"local ZIP64 only", centralEntry(false, 10, 9, 0, true), 45, {}},
        {"directory below the marker", centralEntry(true, 0, 0, m32 - 1), 20, {}},
        {"directory at the marker", centralEntry(true, 0, 0, m32), 45, {m32}},
        {"directory beyond 4 GiB ignores sizes",
         centralEntry(true, gib4, gib4, fiveGiB),
         45,
         {fiveGiB}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const Layout::CentralEntry& entry = c.entry;
        const bool directory = entry.isDirectory;
        const std::string extra = Layout::centralExtraField(entry, "");
        const std::string record = Layout::centralRecord(entry, "n", extra);
        ASSERT_EQ(record.size(), 46u + 1 + extra.size());
        EXPECT_EQ(at16(record, 30), extra.size());
        EXPECT_EQ(at16(record, 4), 0x0300 | c.version);
        EXPECT_EQ(at16(record, 6), c.version);
        EXPECT_EQ(at16(record, 8), directory ? 0x0800 : 0x0808);
        const auto expected32 = [&](std::uint64_t value) {
            return directory ? 0u : static_cast<std::uint32_t>(std::min(value, m32));
        };
        EXPECT_EQ(at32(record, 20), expected32(entry.compressedSize));
        EXPECT_EQ(at32(record, 24), expected32(entry.uncompressedSize));
        EXPECT_EQ(at32(record, 38), directory ? 0x41ED0000u : 0x81A40000u);
        EXPECT_EQ(at32(record, 42),
                  static_cast<std::uint32_t>(std::min(entry.localHeaderOffset, m32)));
        std::string block;
        if (!c.block.empty()) {
            ZipFormat::put16(block, 0x0001);
            ZipFormat::put16(block, static_cast<std::uint16_t>(8 * c.block.size()));
            for (const std::uint64_t value : c.block) {
                ZipFormat::put64(block, value);
            }
        }
        EXPECT_EQ(hex(extra), hex(block));
    }
}

TEST(StreamingZIPWriterTest, EndRecordsAreByteExactAtTheThresholds) {
    struct Case {
        std::uint64_t entries;
        std::uint64_t size;
        std::uint64_t offset;
        bool zip64;
    };
    const Case cases[] = {
        {65534, 100, 100, false}, {65535, 100, 100, true}, {0, m32 - 1, m32 - 1, false},
        {0, m32, 0, true},        {0, 0, m32, true},       {1, 46, gib4 + 5, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Layout::needsZip64EndRecords(c.entries, c.size, c.offset), c.zip64)
            << c.entries << " " << c.size << " " << c.offset;
    }

    EXPECT_EQ(hex(Layout::endRecord(65534, m32 - 1, m32 - 1, false)),
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
    const std::pair<std::int64_t, Layout::DosDateTime> cases[] = {
        {0, {0, 0x0021}},                                                  // the epoch: 1980
        {172058400, {10 << 11, 6 << 5 | 15}},                              // 1975: only the year
        {sampleTime, {5 << 11 | 6 << 5 | 3, 41 << 9 | 3 << 5 | 4}},        // odd seconds round down
        {5680379046, {3 << 11 | 4 << 5 | 3, 119 << 9 | 1 << 5 | 2}},       // 2150: 2099
        {4102444799, {23 << 11 | 59 << 5 | 29, 119 << 9 | 12 << 5 | 31}},  // last second of 2099
        {-1, {23 << 11 | 59 << 5 | 29, 12 << 5 | 31}},
        {std::numeric_limits<std::int64_t>::max(), {0, 0x0021}},
        {std::numeric_limits<std::int64_t>::min(), {0, 0x0021}},
    };
    // The process time zone must not matter.
    const char* savedTz = std::getenv("TZ");
    const std::optional<std::string> saved =
        savedTz ? std::optional<std::string>(savedTz) : std::nullopt;
    for (const char* tz : {"UTC0", "KST-9", "HST10"}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        for (const auto& [seconds, expected] : cases) {
            EXPECT_EQ(Layout::dosDateTime(seconds), expected) << seconds << " in " << tz;
        }
    }
    saved ? ::setenv("TZ", saved->c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

// The local ZIP64 decision comes from the bound of the stream that will compress the data, and
// the header announces it before the first block is read: stopping there shows the decision the
// writer made for a huge entry without reading or writing gigabytes.
TEST(StreamingZIPWriterTest, LocalHeaderAnnouncesZip64FromTheDataBound) {
    struct Case {
        const char* label;
        std::uint64_t size;
        Method method;
        Mode mode;
        bool zip64;
    };
    const Case cases[] = {
        {"stored 0xFFFFFFFF", m32, Method::none, Mode::balanced, false},
        {"stored 2^32", gib4, Method::none, Mode::balanced, true},
        {"deflated small", 65537, Method::deflate, Mode::maximum, false},
        {"deflated 0xF0000000, maximum", 0xF0000000, Method::deflate, Mode::maximum, true},
        {"deflated 0xF0000000, balanced", 0xF0000000, Method::deflate, Mode::balanced, false},
        {"deflated 0xFFFFFFFF, balanced", m32, Method::deflate, Mode::balanced, true},
        {"deflated 2^32", gib4, Method::deflate, Mode::balanced, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const bool deflated = c.method == Method::deflate;
        const std::uint64_t bound = deflated ? ZipDeflateStream(c.mode).bound(c.size) : c.size;
        EXPECT_EQ(Layout::fileUsesZip64(c.size, bound), c.zip64);

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
        EXPECT_EQ(at64(header, 18), c.zip64 ? ~std::uint64_t{0} : 0u);
        if (c.zip64) {
            EXPECT_EQ(hex(header.substr(33)), hex(Layout::fileLocalExtraField(true, c.size, "")));
        }
    }
}

// ---- round trips -----------------------------------------------------------------------

struct EntrySpec {
    std::string name;
    bool directory = false;
    std::string content{};
    Method method = Method::deflate;
    std::uint16_t permissions = 0644;
};

// Writes the entries; returns the receipts of the files.
std::vector<Writer::FileReceipt> writeEntries(Writer& writer,
                                              const std::vector<EntrySpec>& entries) {
    std::vector<Writer::FileReceipt> receipts;
    for (const EntrySpec& e : entries) {
        if (e.directory) {
            writer.addDirectory(e.name, sampleTime, e.permissions, "");
        } else {
            receipts.push_back(addBytes(writer, e.name, e.content, e.method, "", e.permissions));
        }
    }
    writer.finalize(noCancel);
    return receipts;
}

void expectLibzipReads(const std::string& path, const std::vector<EntrySpec>& entries) {
    const std::vector<ReadBack> read = readWithLibzip(path);
    ASSERT_EQ(read.size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(entries[i].name);
        EXPECT_EQ(read[i].name, entries[i].name);
        EXPECT_EQ(read[i].method, entries[i].method == Method::deflate ? 8 : 0);
        EXPECT_EQ(read[i].size, entries[i].content.size());
        EXPECT_TRUE(read[i].content == entries[i].content);
    }
}

class StreamingZIPWriterRoundTrip : public ::testing::TestWithParam<Mode> {};

TEST_P(StreamingZIPWriterRoundTrip, ReadsBackWithIndependentReaders) {
    const std::vector<EntrySpec> entries = {
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
    Staging staging;
    auto writer = staging.open(GetParam());
    const auto receipts = writeEntries(*writer, entries);

    EXPECT_EQ(writer->entryCount(), entries.size());
    EXPECT_EQ(writer->archiveBytes(), fileSize(staging.archivePath));
    std::vector<Writer::FileReceipt> expected;
    for (const EntrySpec& e : entries) {
        if (!e.directory) {
            expected.push_back({e.content.size(), Sha256::hexOf(e.content)});
        }
    }
    EXPECT_EQ(receipts, expected);
    expectLibzipReads(staging.archivePath, entries);
    expectOtherToolsAccept(staging.archivePath, entries.size());

    // An empty stored file: header, name, no data, and a 16-byte all-zero descriptor.
    EXPECT_EQ(hex(readRange(staging.archivePath, 30 + 16, 16)),
              hex(unhex("50 4b 07 08 00 00 00 00 00 00 00 00 00 00 00 00")));
}

INSTANTIATE_TEST_SUITE_P(Modes, StreamingZIPWriterRoundTrip,
                         ::testing::Values(Mode::balanced, Mode::maximum), [](const auto& info) {
                             return info.param == Mode::maximum ? "maximum" : "balanced";
                         });

TEST(StreamingZIPWriterTest, ManyEntriesGetZip64EndRecords) {
    Staging staging;
    auto writer = staging.open();
    constexpr std::uint64_t count = 65535;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (i % 2) {
            addBytes(*writer, "f" + std::to_string(i), "", Method::none);
        } else {
            writer->addDirectory("d" + std::to_string(i) + "/", sampleTime, 0755, "");
        }
    }
    writer->finalize(noCancel);

    const std::string tail = zip64Tail(staging.archivePath);
    const std::uint64_t zip64EndOffset = fileSize(staging.archivePath) - tail.size();
    const std::uint64_t directorySize = at64(tail, 40);
    EXPECT_EQ(hex(tail),
              hex(Layout::zip64EndRecord(count, directorySize, zip64EndOffset - directorySize) +
                  Layout::zip64EndLocator(zip64EndOffset) + Layout::endRecord(count, 0, 0, true)));

    EXPECT_EQ(readWithLibzip(staging.archivePath, false).size(), count);
    std::string lastName;
    EXPECT_EQ(ZipCentralDirectoryInspector::entryCount(
                  staging.archivePath, noCancel,
                  [&](const ZipCentralEntry& entry) { lastName = entry.name; }),
              count);
    EXPECT_EQ(lastName, "d" + std::to_string(count - 1) + "/");
    expectOtherToolsAccept(staging.archivePath, count);
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
    expectLibzipReads(staging.archivePath, entries);

    const std::string tail = zip64Tail(staging.archivePath);
    const std::uint64_t directoryOffset = at64(tail, 48);
    EXPECT_GT(directoryOffset, gib4);
    EXPECT_EQ(hex(tail.substr(76)), hex(Layout::endRecord(4, 0, 0, true)));
    std::vector<std::string> inspected;
    EXPECT_EQ(ZipCentralDirectoryInspector::entryCount(
                  staging.archivePath, noCancel,
                  [&](const ZipCentralEntry& entry) { inspected.emplace_back(entry.name); }),
              entries.size());
    EXPECT_EQ(inspected, (std::vector<std::string>{"a/", "a/b.txt", "a/c.bin", "d/"}));
    expectOtherToolsAccept(staging.archivePath, entries.size());
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
    addBytes(*writer, "dir/file.txt", content, Method::deflate, *field);
    writer->finalize(noCancel);

    const std::vector<ReadBack> read = readWithLibzip(staging.archivePath);
    ASSERT_EQ(read.size(), 2u);
    for (const ReadBack& entry : read) {
        EXPECT_EQ(hex(entry.localXattrs), hex(field->substr(4))) << entry.name;
        EXPECT_EQ(hex(entry.centralXattrs), hex(field->substr(4))) << entry.name;
    }
    EXPECT_TRUE(read[1].content == content);
}

// ---- guards ------------------------------------------------------------------------------

// One stored 100,000-byte file.
void writeSample(Writer& writer, const std::string& content) {
    addBytes(writer, "sample.bin", content, Method::none);
    writer.finalize(noCancel);
}

TEST(StreamingZIPWriterTest, SizeLimitAndBudgetAllowExactlyTheirValue) {
    const std::string content = randomBytes(100000, 5);
    std::uint64_t exact = 0;
    {
        Staging staging;
        writeSample(*staging.open(), content);
        exact = fileSize(staging.archivePath);
    }
    struct Case {
        std::optional<std::uint64_t> maximum;
        std::optional<std::uint64_t> budget;
        std::string outcome;
    };
    const std::string tooLarge = describe(Error::destinationFileTooLarge(exact - 1));
    const Case cases[] = {
        {exact, std::nullopt, ""},
        {exact - 1, std::nullopt, tooLarge},
        {std::nullopt, exact, ""},
        {std::nullopt, exact - 1, describe(Error::insufficientSpace())},
        {exact - 1, exact - 1, tooLarge},                                  // the limit speaks first
        {10, std::nullopt, describe(Error::destinationFileTooLarge(10))},  // not even the header
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        Staging staging;
        auto writer = staging.open(Mode::balanced, c.maximum, c.budget);
        EXPECT_EQ(outcomeOf([&] { writeSample(*writer, content); }), c.outcome);
        // Counters follow only successful writes.
        const std::uint64_t bytes = writer->archiveBytes();
        EXPECT_EQ(bytes, fileSize(staging.archivePath));
        EXPECT_TRUE(c.outcome.empty() ? bytes == exact : bytes < exact) << bytes;
    }
}

TEST(StreamingZIPWriterTest, BudgetKeepsTheReserveFree) {
    using Bytes = std::optional<std::uint64_t>;
    const std::pair<Bytes, Bytes> cases[] = {
        {std::nullopt, std::nullopt},      {0, 0}, {reserve - 1, 0}, {reserve, 0}, {reserve + 5, 5},
        {UINT64_MAX, UINT64_MAX - reserve}};
    for (const auto& [available, budget] : cases) {
        EXPECT_EQ(Writer::archiveByteBudget(available), budget);
    }
}

TEST(StreamingZIPWriterTest, FreeSpaceProbeGuardsEveryMebibyte) {
    const std::uint64_t header = 30 + 2;  // a directory named "d/"
    const std::string noSpace = describe(Error::insufficientSpace());
    const std::pair<Writer::FreeSpaceProbe, std::string> cases[] = {
        {[=](int) { return reserve + header; }, ""},
        {[=](int) { return reserve + header - 1; }, noSpace},
        {[](int) { return std::uint64_t{0}; }, noSpace},
        // A count too large to express.
        {[](int) { return std::optional<std::uint64_t>(); }, noSpace},
        {[](int) -> std::optional<std::uint64_t> {
             throw std::system_error(EIO, std::generic_category());
         },
         "errno " + std::to_string(EIO)},
    };
    for (const auto& [probe, outcome] : cases) {
        Staging staging;
        auto writer = staging.open(Mode::balanced, std::nullopt, std::nullopt, probe);
        EXPECT_EQ(outcomeOf([&] { writer->addDirectory("d/", sampleTime, 0755, ""); }), outcome);
        EXPECT_EQ(fileSize(staging.archivePath), outcome.empty() ? header : 0u);
    }

    // Probed on the first write and then once per further mebibyte; a volume that fills up
    // ends the entry at the next probe.
    const std::string content = randomBytes(3 * mib + mib / 2, 6);
    for (const bool fills : {false, true}) {
        Staging staging;
        int probes = 0;
        auto writer = staging.open(Mode::balanced, std::nullopt, std::nullopt, [&](int fd) {
            EXPECT_GE(fd, 0);
            ++probes;
            return fills && probes == 3 ? reserve : 100 * mib;
        });
        EXPECT_EQ(outcomeOf([&] { writeSample(*writer, content); }), fills ? noSpace : "");
        EXPECT_EQ(probes, fills ? 3 : 4);
        if (fills) {
            EXPECT_EQ(writer->archiveBytes(), fileSize(staging.archivePath));
            EXPECT_LT(writer->archiveBytes(), 2 * mib + Writer::chunkSize + 100);
        }
    }
}

TEST(StreamingZIPWriterTest, EntryNamesAndExtraFieldsAtTheirLimits) {
    const std::string longest(65535, 'n');
    const std::string tooLong = describe(Error::finalizationFailed("ZIP entry path is too long"));
    const std::string metadata = "metadata exceeds the ZIP extra-field limit: ";
    const std::tuple<std::string, std::size_t, std::string> cases[] = {
        {longest, 0, ""},
        {longest + "n", 0, tooLong},
        {"", 0, tooLong},
        {"bad\xff.txt", 0, describe(Error::unsafePath("bad\xff.txt"))},
        {"f", 65535, ""},
        {"f", 65536, describe(Error::unsupportedArchiveEntry("file " + metadata + "f"))},
        {"d/", 65535, ""},
        {"d/", 65536, describe(Error::unsupportedArchiveEntry("directory " + metadata + "d/"))},
    };
    for (const auto& [name, xattrBytes, outcome] : cases) {
        SCOPED_TRACE(name.substr(0, 10) + " " + std::to_string(xattrBytes));
        Staging staging;
        auto writer = staging.open();
        const std::string xattrs(xattrBytes, 'x');
        EXPECT_EQ(outcomeOf([&] {
                      if (name.empty() || name.back() == '/') {
                          writer->addDirectory(name, sampleTime, 0755, xattrs);
                      } else {
                          addBytes(*writer, name, "abc", Method::deflate, xattrs);
                      }
                  }),
                  outcome);
        EXPECT_EQ(writer->entryCount(), outcome.empty() ? 1u : 0u);
        if (!outcome.empty()) {
            EXPECT_EQ(fileSize(staging.archivePath), 0u) << "header written before the check";
        } else if (xattrBytes == 0) {
            writer->finalize(noCancel);
            const std::vector<ReadBack> read = readWithLibzip(staging.archivePath);
            ASSERT_EQ(read.size(), 1u);
            EXPECT_EQ(read[0].name, name);
        }
    }
}

// An attribute block that fits the local header can still overflow the central record once the
// ZIP64 block for a far offset joins it; that is found after the data went out.
TEST(StreamingZIPWriterTest, CentralExtraFieldLimitCountsTheZip64Block) {
    const std::string xattrs(65535 - 12 + 1, 'x');
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "directory" : "file");
        const auto add = [&](Writer& writer) {
            if (directory) {
                writer.addDirectory("d/", sampleTime, 0755, xattrs);
            } else {
                addBytes(writer, "f", textBytes(5000), Method::deflate, xattrs);
            }
        };
        Staging staging;
        auto writer = staging.open(Mode::balanced, std::nullopt, std::nullopt, {}, gib4);
        if (!keepsHoles(staging.archivePath)) {
            GTEST_SKIP() << "the temporary file system does not keep holes";
        }
        EXPECT_EQ(outcomeOf([&] { add(*writer); }),
                  describe(Error::unsupportedArchiveEntry(
                      directory ? "directory metadata exceeds the ZIP extra-field limit: d/"
                                : "file metadata exceeds the ZIP extra-field limit: f")));
        EXPECT_GT(writer->archiveBytes(), xattrs.size());
        EXPECT_EQ(writer->entryCount(), 0u);

        Staging near;
        EXPECT_EQ(outcomeOf([&] { add(*near.open()); }), "");
    }
}

// A source that changes while it is read fails the entry; cancellation asked for while a block is
// read stops it before anything more is read or written.
TEST(StreamingZIPWriterTest, SecondBlockChangedOrCancelledStopsTheEntry) {
    const std::string content = randomBytes(5 * Writer::chunkSize, 8);
    for (const Mode mode : {Mode::balanced, Mode::maximum}) {
        for (const Method method : {Method::none, Method::deflate}) {
            for (const int skew : {-1, 1, 0}) {  // added to the second read's count; 0: cancel
                SCOPED_TRACE(std::to_string(skew) + (method == Method::none ? " stored" : ""));
                Staging staging;
                auto writer = staging.open(mode);
                bool cancelled = false;
                int reads = 0;
                std::uint64_t sizeAtCancel = 0;
                const auto honest = readerOf(content);
                const auto read = [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                    EXPECT_FALSE(cancelled) << "read after cancellation";
                    const std::size_t n = honest(offset, buffer);
                    if (++reads != 2) {
                        return n;
                    }
                    cancelled = skew == 0;
                    sizeAtCancel = fileSize(staging.archivePath);
                    return n + skew;
                };
                const auto check = [&] {
                    if (cancelled) {
                        throw Error::cancelled();
                    }
                };
                EXPECT_EQ(outcomeOf([&] {
                              writer->addFile("f.bin", content.size(), sampleTime, 0644, "", method,
                                              check, read);
                          }),
                          describe(skew == 0 ? Error::cancelled() : Error::sourceChanged("f.bin")));
                EXPECT_EQ(reads, 2);
                EXPECT_EQ(writer->entryCount(), 0u);
                // A stored block already read still goes out; nothing after it does. Deflated
                // data is not compressed, so not written, once cancellation is seen.
                if (skew == 0) {
                    EXPECT_EQ(fileSize(staging.archivePath),
                              sizeAtCancel + (method == Method::none ? Writer::chunkSize : 0));
                }
            }
        }
    }
}

TEST(StreamingZIPWriterTest, FinalizeRunsOnce) {
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
    EXPECT_THROW(cancelled.open()->finalize([] { throw TestCancelled(); }), TestCancelled);
    EXPECT_EQ(fileSize(cancelled.archivePath), 0u);
}

// A call that fails part-way leaves bytes behind that no central record describes, and the
// size guards count from a total the file may no longer match; nothing may be written after it.
TEST(StreamingZIPWriterTest, AnyFailurePoisonsTheWriter) {
    const std::string content = randomBytes(3 * Writer::chunkSize, 9);
    const std::string big = randomBytes(2 * mib, 10);
    struct Case {
        const char* label;
        std::optional<std::uint64_t> budget;
        std::size_t roomyProbes;  // the free-space probe answers this often, then fails with EIO
        bool fullDevice;          // the archive is /dev/full: every write fails with ENOSPC
        std::function<void(Writer&)> fail;
    };
    const Case cases[] = {
        {"source changed", std::nullopt, 8, false,
         [&](Writer& writer) {
             int reads = 0;
             writer.addFile("f.bin", content.size(), sampleTime, 0644, "", Method::none, noCancel,
                            [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                                const std::size_t n = readerOf(content)(offset, buffer);
                                return ++reads == 2 ? n - 1 : n;
                            });
         }},
        {"cancelled inside deflated data", std::nullopt, 8, false,
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
        {"budget runs out inside the data", 100 + Writer::chunkSize, 8, false,
         [&](Writer& writer) { addBytes(writer, "f.bin", content, Method::none); }},
        {"free-space probe fails at the second mebibyte", std::nullopt, 1, false,
         [&](Writer& writer) { addBytes(writer, "big.bin", big, Method::none); }},
        {"volume full", std::nullopt, 8, true,
         [](Writer& writer) { writer.addDirectory("d/", sampleTime, 0755, ""); }},
        {"name refused", std::nullopt, 8, false,
         [](Writer& writer) { writer.addDirectory("bad\xff/", sampleTime, 0755, ""); }},
        // Never a second central directory behind a half-finished one.
        {"finalize cancelled", std::nullopt, 8, false,
         [](Writer& writer) { writer.finalize([] { throw TestCancelled(); }); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Staging staging;
        std::size_t probes = 0;
        const Writer::FreeSpaceProbe probe = [&](int) -> std::optional<std::uint64_t> {
            if (probes++ < c.roomyProbes) {
                return 100 * mib;
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

        const auto state = [&] {
            return std::tuple(writer->isFinalized(), writer->archiveBytes(), writer->entryCount(),
                              fileSize(staging.spoolPath),
                              c.fullDevice ? 0 : fileSize(staging.archivePath));
        };
        const auto before = state();
        EXPECT_THROW(writer->addDirectory("later/", sampleTime, 0755, ""), std::logic_error);
        EXPECT_THROW(writer->addFile("later.bin", 3, sampleTime, 0644, "", Method::none, noCancel,
                                     [](std::uint64_t, std::span<std::uint8_t>) -> std::size_t {
                                         ADD_FAILURE() << "read after a failure";
                                         return 0;
                                     }),
                     std::logic_error);
        EXPECT_THROW(writer->finalize(noCancel), std::logic_error);
        // Refused calls are refused again, not half-run.
        EXPECT_THROW(writer->addDirectory("again/", sampleTime, 0755, ""), std::logic_error);
        EXPECT_EQ(state(), before);
        EXPECT_FALSE(writer->isFinalized());
    }
}

}  // namespace
}  // namespace tolvane
