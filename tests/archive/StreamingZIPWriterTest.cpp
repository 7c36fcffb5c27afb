#include "core/archive/StreamingZIPWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/MaximumZIPDeflater.h"
#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Cancellation.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "support/Outcome.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::outcomeOf;
using test::randomBytes;
using test::textBytes;
namespace Layout = DeliveryZIPLayout;
using Writer = StreamingZIPWriter;
using Method = Writer::CompressionMethod;
using Mode = ArchiveCompressionMode;
constexpr std::uint64_t gib4 = std::uint64_t{1} << 32, m32 = 0xFFFFFFFF, mib = 1 << 20;
constexpr std::uint64_t reserve = Writer::freeSpaceReserve;
constexpr std::int64_t sampleTime = 1614834367;  // 2021-03-04 05:06:07 UTC

// "50 4b 03 04" -> bytes, and back.
std::string unhex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += text[i] == ' ' ? 1 : 2) {
        if (text[i] != ' ') {
            out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
        }
    }
    return out;
}
std::string hex(std::string_view bytes) {
    std::string out;
    for (const unsigned char b : bytes) {
        out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15], ' '};
    }
    return out;
}

Writer::Read readerOf(const std::string& data, int skewAtSecond = 0) {
    return [&data, skewAtSecond, reads = 0](std::uint64_t offset,
                                            std::span<std::uint8_t> buf) mutable {
        const std::size_t n = std::min<std::uint64_t>(buf.size(), data.size() - offset);
        std::copy_n(data.data() + offset, n, reinterpret_cast<char*>(buf.data()));
        return ++reads == 2 ? n + skewAtSecond : n;
    };
}

Writer::FileReceipt add(Writer& w, const std::string& name, const std::string& data,
                        Method method = Method::deflate, std::string_view xattrs = "") {
    return w.addFile(
        name, data.size(), sampleTime, 0644, xattrs, method, [] {}, readerOf(data));
}

std::uint64_t sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// The archive and its central-directory spool in a fresh directory; `hole` bytes before the first
// entry stand in for gigabytes of earlier entries.
struct Staging {
    test::TempDir dir;
    std::string archive = dir.file("payload.zip"), spool = dir.file("cd.bin");
    std::unique_ptr<Writer> open(Mode mode = Mode::balanced,
                                 std::optional<std::uint64_t> limit = {},
                                 std::optional<std::uint64_t> budget = {},
                                 Writer::FreeSpaceProbe probe = {}, std::uint64_t hole = 0) {
        UniqueFd fd = posix::open(archive, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(::ftruncate(fd.get(), static_cast<off_t>(hole)), 0);
        return std::make_unique<Writer>(std::move(fd),
                                        posix::open(spool, O_WRONLY | O_CREAT | O_TRUNC, 0600),
                                        spool, mode, limit, budget, std::move(probe));
    }
    // A hole must not take real blocks, or the test would write gigabytes.
    bool keepsHoles() const {
        struct stat st {};
        return ::stat(archive.c_str(), &st) == 0 && st.st_blocks * 512 < static_cast<off_t>(mib);
    }
};

TEST(StreamingZIPWriterTest, RecordsAreByteExact) {
    const Layout::DosDateTime when{0x1234, 0x5678};
    Layout::CentralEntry entry{false, when, 8, 0xAABBCCDD, 0x10, 0x20, 0x30, 0644};
    Layout::CentralEntry big = entry;
    big.uncompressedSize = gib4;
    big.compressedSize = m32;
    big.localHeaderOffset = 0x140000000;
    big.zip64Local = true;
    const std::string xattrs = unhex("7d f1 01 00 01");
    const std::pair<std::string, std::string> cases[] = {
        {Layout::fileLocalHeader("a.txt", when, 8, false, ""),
         "50 4b 03 04 14 00 08 08 08 00 34 12 78 56 00 00 00 00 00 00 00 00 00 00 00 00 05 00 00 "
         "00 61 2e 74 78 74"},
        {Layout::fileLocalHeader("a.txt", when, 0, true,
                                 Layout::fileLocalExtraField(true, gib4, xattrs)),
         "50 4b 03 04 2d 00 08 08 00 00 34 12 78 56 00 00 00 00 ff ff ff ff ff ff ff ff 05 00 19 "
         "00 61 2e 74 78 74"
         "01 00 10 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 7d f1 01 00 01"},
        {Layout::directoryLocalHeader("d/", when, ""),
         "50 4b 03 04 14 00 00 08 00 00 34 12 78 56 00 00 00 00 00 00 00 00 00 00 00 00 02 00 00 "
         "00 64 2f"},
        {Layout::dataDescriptor(0xAABBCCDD, m32, m32, false),
         "50 4b 07 08 dd cc bb aa ff ff ff ff ff ff ff ff"},
        // The width follows the local header, even for small values.
        {Layout::dataDescriptor(0xAABBCCDD, 7, 9, true),
         "50 4b 07 08 dd cc bb aa 07 00 00 00 00 00 00 00 09 00 00 00 00 00 00 00"},
        {Layout::centralRecord(entry, "a.txt", Layout::centralExtraField(entry, "")),
         "50 4b 01 02 14 03 14 00 08 08 08 00 34 12 78 56 dd cc bb aa 10 00 00 00 20 00 00 00"
         "05 00 00 00 00 00 00 00 00 00 00 00 a4 81 30 00 00 00 61 2e 74 78 74"},
        {Layout::centralRecord(big, "a.txt", Layout::centralExtraField(big, xattrs)),
         "50 4b 01 02 2d 03 2d 00 08 08 08 00 34 12 78 56 dd cc bb aa ff ff ff ff ff ff ff ff"
         "05 00 21 00 00 00 00 00 00 00 00 00 a4 81 ff ff ff ff 61 2e 74 78 74 01 00 18 00"
         "00 00 00 00 01 00 00 00 ff ff ff ff 00 00 00 00 00 00 00 40 01 00 00 00 7d f1 01 00 01"},
        {Layout::endRecord(65534, m32 - 1, m32 - 1, false),
         "50 4b 05 06 00 00 00 00 fe ff fe ff fe ff ff ff fe ff ff ff 00 00"},
        // Whatever triggered the ZIP64 form, all four fields hold their markers.
        {Layout::endRecord(3, 100, gib4 + 5, true),
         "50 4b 05 06 00 00 00 00 ff ff ff ff ff ff ff ff ff ff ff ff 00 00"},
        {Layout::zip64EndRecord(65535, 0x100, 0x123456789),
         "50 4b 06 06 2c 00 00 00 00 00 00 00 2d 00 2d 00 00 00 00 00 00 00 00 00 ff ff 00 00 00 "
         "00 00 00"
         "ff ff 00 00 00 00 00 00 00 01 00 00 00 00 00 00 89 67 45 23 01 00 00 00"},
        {Layout::zip64EndLocator(0x123456889),
         "50 4b 06 07 00 00 00 00 89 68 45 23 01 00 00 00 01 00 00 00"},
    };
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(hex(bytes), hex(unhex(expected)));
    }
    EXPECT_THROW(Layout::dataDescriptor(0, gib4, 1, false), std::length_error);
    EXPECT_THROW(Layout::endRecord(65535, 1, 1, false), std::length_error);
    EXPECT_THROW(Layout::fileLocalHeader(std::string(65536, 'n'), when, 0, false, ""),
                 std::length_error);
}

// Which values go to the ZIP64 block, at the thresholds, and which end records need ZIP64.
TEST(StreamingZIPWriterTest, Zip64Thresholds) {
    const std::uint64_t gib5 = 5 * (gib4 / 4);
    const auto e = [](bool dir, std::uint64_t u, std::uint64_t c, std::uint64_t off,
                      bool local = false) {
        return Layout::CentralEntry{dir, {}, 8, 0, c, u, off, 0644, local};
    };
    const std::tuple<Layout::CentralEntry, std::uint16_t, std::vector<std::uint64_t>> cases[] = {
        {e(false, m32 - 1, m32 - 1, m32 - 1), 20, {}},
        {e(false, m32, 5, 0), 45, {m32}},
        {e(false, 5, m32, 0), 45, {m32}},
        {e(false, 5, 5, m32), 45, {m32}},
        {e(false, gib4, m32, gib5, true), 45, {gib4, m32, gib5}},
        {e(false, 10, 9, 0, true), 45, {}},  // the local block alone raises the version
        {e(true, 0, 0, m32 - 1), 20, {}},
        {e(true, gib4, gib4, gib5), 45, {gib5}},  // a directory's sizes never count
    };
    for (const auto& [entry, version, values] : cases) {
        std::string block;
        if (!values.empty()) {
            ZipFormat::put16(block, 1);
            ZipFormat::put16(block, static_cast<std::uint16_t>(8 * values.size()));
            for (const std::uint64_t v : values) {
                ZipFormat::put64(block, v);
            }
        }
        const std::string extra = Layout::centralExtraField(entry, "");
        EXPECT_EQ(hex(extra), hex(block));
        const std::string record = Layout::centralRecord(entry, "n", extra);
        EXPECT_EQ(ZipFormat::get16(reinterpret_cast<const unsigned char*>(record.data()) +
                                   ZipFormat::CentralHeader::versionNeeded),
                  version);
    }
    const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, bool> ends[] = {
        {65534, 100, 100, false},
        {65535, 100, 100, true},
        {0, m32 - 1, m32 - 1, false},
        {0, m32, 0, true},
        {0, 0, m32, true}};
    for (const auto& [count, size, offset, zip64] : ends) {
        EXPECT_EQ(Layout::needsZip64EndRecords(count, size, offset), zip64) << count << " " << size;
    }
}

TEST(StreamingZIPWriterTest, DosTimesAreUtcAndClamped) {
    const std::pair<std::int64_t, Layout::DosDateTime> cases[] = {
        {0, {0, 0x0021}},                                                  // 1970: 1980
        {sampleTime, {5 << 11 | 6 << 5 | 3, 41 << 9 | 3 << 5 | 4}},        // odd seconds round down
        {5680379046, {3 << 11 | 4 << 5 | 3, 119 << 9 | 1 << 5 | 2}},       // 2150: 2099
        {4102444799, {23 << 11 | 59 << 5 | 29, 119 << 9 | 12 << 5 | 31}},  // last second of 2099
        {std::numeric_limits<std::int64_t>::min(), {0, 0x0021}},
    };
    for (const char* tz : {"KST-9", "HST10"}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        for (const auto& [seconds, expected] : cases) {
            EXPECT_EQ(Layout::dosDateTime(seconds), expected) << seconds;
        }
    }
    ::setenv("TZ", "Asia/Seoul", 1);
    ::tzset();
}

// The local ZIP64 form is decided from the compressor's bound and announced before the first
// block is read: stopping there shows the decision for a huge entry without writing gigabytes.
TEST(StreamingZIPWriterTest, LocalHeaderAnnouncesZip64FromTheDataBound) {
    const std::tuple<std::uint64_t, Method, Mode, bool> cases[] = {
        {m32, Method::none, Mode::balanced, false},
        {gib4, Method::none, Mode::balanced, true},
        {0xF0000000, Method::deflate, Mode::maximum, true},
        {0xF0000000, Method::deflate, Mode::balanced, false},
        {m32, Method::deflate, Mode::balanced, true},
    };
    for (const auto& [size, method, mode, zip64] : cases) {
        Staging staging;
        EXPECT_EQ(outcomeOf([&, size = size, method = method] {
                      staging.open(mode)->addFile(
                          "big", size, sampleTime, 0644, "", method,
                          [] { throw OperationCancelled(); }, readerOf(""));
                  }),
                  "cancelled");
        const std::string header = test::readFile(staging.archive);
        ASSERT_EQ(header.size(), 30u + 3 + (zip64 ? 20 : 0)) << size;
        EXPECT_EQ(header.substr(33), Layout::fileLocalExtraField(zip64, size, ""));
    }
}

// Stored and deflated entries (empty, 64 KiB, 64 KiB + 1, incompressible) read back by libzip.
TEST(StreamingZIPWriterTest, RoundTripsThroughAnIndependentReader) {
    const std::vector<std::tuple<std::string, std::string, Method>> files = {
        {"empty", "", Method::none},
        {"empty-deflated", "", Method::deflate},
        {"block.txt", textBytes(65536), Method::deflate},
        {"block1.txt", textBytes(65537), Method::deflate},
        {"block1.bin", randomBytes(65537, 2), Method::none},
        {"random.bin", randomBytes(200000, 3), Method::deflate},
        {"폴더/노트.txt", textBytes(1000), Method::deflate}};
    for (const Mode mode : {Mode::balanced, Mode::maximum}) {
        Staging staging;
        auto writer = staging.open(mode);
        std::map<std::string, std::string> expected{{"폴더/", ""}};
        writer->addDirectory("폴더/", sampleTime, 0755, "");
        for (const auto& [name, data, method] : files) {
            EXPECT_EQ(add(*writer, name, data, method),
                      (Writer::FileReceipt{data.size(), Sha256::hexOf(data)}));
            expected[name] = data;
        }
        writer->finalize([] {});
        EXPECT_EQ(writer->archiveBytes(), sizeOf(staging.archive));
        EXPECT_EQ(test::zipEntries(staging.archive), expected);
    }
}

// Local headers beyond 4 GiB, behind a hole, take the ZIP64 central block and end records.
TEST(StreamingZIPWriterTest, OffsetsBeyond4GiB) {
    Staging staging;
    auto writer = staging.open(Mode::balanced, {}, {}, {}, 0xFFFFFFF0);
    if (!staging.keepsHoles()) {
        GTEST_SKIP() << "the temporary file system does not keep holes";
    }
    writer->addDirectory("a/", sampleTime, 0755, "");  // starts below the marker
    add(*writer, "a/b.txt", textBytes(70000));
    writer->finalize([] {});
    const std::map<std::string, std::string> expected{{"a/", ""}, {"a/b.txt", textBytes(70000)}};
    EXPECT_EQ(test::zipEntries(staging.archive), expected);
    EXPECT_EQ(ZipCentralDirectoryInspector::entryCount(staging.archive, {}), 2u);
}

TEST(StreamingZIPWriterTest, SizeLimitBudgetAndFreeSpaceGuards) {
    const std::string data = randomBytes(100000, 5);
    std::uint64_t exact = 0;
    {
        Staging staging;
        add(*staging.open(), "s.bin", data, Method::none);
        exact = sizeOf(staging.archive);
    }
    const std::string tooLarge = "destinationFileTooLarge: ", noSpace = "insufficientSpace: ";
    const auto probe = [](std::uint64_t free) {
        return [free](int) { return std::optional(free); };
    };
    const std::tuple<std::optional<std::uint64_t>, std::optional<std::uint64_t>,
                     Writer::FreeSpaceProbe, std::string>
        cases[] = {
            {exact, {}, {}, "ok"},
            {exact - 1, {}, {}, tooLarge},
            {{}, exact, {}, "ok"},
            {{}, exact - 1, {}, noSpace},
            {exact - 1, exact - 1, {}, tooLarge},  // the limit speaks first
            {{}, {}, probe(reserve + exact), "ok"},
            {{}, {}, probe(reserve + 31), noSpace},  // not even the first header
            {{}, {}, [](int) { return std::optional<std::uint64_t>(); }, noSpace},
            {{},
             {},
             [](int) -> std::optional<std::uint64_t> {
                 throw std::system_error(EIO, std::generic_category());
             },
             "errno EIO"},
        };
    for (const auto& [limit, budget, freeSpace, expected] : cases) {
        Staging staging;
        auto writer = staging.open(Mode::balanced, limit, budget, freeSpace);
        EXPECT_EQ(outcomeOf([&] { add(*writer, "s.bin", data, Method::none); }), expected);
        EXPECT_EQ(writer->archiveBytes(), sizeOf(staging.archive));  // counts only what was written
    }
    const std::pair<std::optional<std::uint64_t>, std::optional<std::uint64_t>> budgets[] = {
        {{}, {}}, {reserve - 1, 0}, {reserve + 5, 5}, {UINT64_MAX, UINT64_MAX - reserve}};
    for (const auto& [available, budget] : budgets) {
        EXPECT_EQ(Writer::archiveByteBudget(available), budget);
    }

    // Probed at the first write and once per further mebibyte: a volume that fills up ends the
    // entry at the next probe.
    const std::string big = randomBytes(3 * mib + mib / 2, 6);
    for (const bool fills : {false, true}) {
        Staging staging;
        int probes = 0;
        auto writer = staging.open(Mode::balanced, {}, {}, [&](int) {
            return ++probes == 3 && fills ? reserve : 100 * mib;
        });
        EXPECT_EQ(outcomeOf([&] { add(*writer, "b.bin", big, Method::none); }),
                  fills ? noSpace : "ok");
        EXPECT_EQ(probes, fills ? 3 : 4);
    }
}

// Nothing reaches the file before a name or extra field is known to fit; a central record that
// outgrows its extra field only through the ZIP64 block of a far offset fails after the data.
TEST(StreamingZIPWriterTest, NamesAndExtraFieldsAtTheirLimits) {
    const std::string too = "unsupportedArchiveEntry: ", fits(65535, 'n');
    const std::string exceeds = " metadata exceeds the ZIP extra-field limit: ";
    const std::tuple<std::string, std::size_t, std::uint64_t, std::string> cases[] = {
        {fits, 0, 0, "ok"},
        {fits + "n", 0, 0, "finalizationFailed: ZIP entry path is too long"},
        {"", 0, 0, "finalizationFailed: ZIP entry path is too long"},
        {"bad\xff", 0, 0, "unsafePath: bad\xff"},
        {"f", 65535, 0, "ok"},
        {"f", 65536, 0, too + "file" + exceeds + "f"},
        {"d/", 65535, 0, "ok"},
        {"d/", 65536, 0, too + "directory" + exceeds + "d/"},
        {"f", 65535 - 11, gib4, too + "file" + exceeds + "f"},
        {"d/", 65535 - 11, gib4, too + "directory" + exceeds + "d/"},
    };
    for (const auto& [name, xattrs, hole, expected] : cases) {
        Staging staging;
        auto writer = staging.open(Mode::balanced, {}, {}, {}, hole);
        if (!staging.keepsHoles()) {
            GTEST_SKIP() << "the temporary file system does not keep holes";
        }
        EXPECT_EQ(outcomeOf([&] {
                      if (name.empty() || name.back() == '/') {
                          writer->addDirectory(name, sampleTime, 0755, std::string(xattrs, 'x'));
                      } else {
                          add(*writer, name, "abc", Method::deflate, std::string(xattrs, 'x'));
                      }
                  }),
                  expected)
            << name.size() << " " << xattrs;
        EXPECT_EQ(writer->entryCount(), expected == "ok" ? 1u : 0u);
        EXPECT_TRUE(expected == "ok" || hole > 0 || sizeOf(staging.archive) == 0)
            << "written before the check";
    }
}

// A source that changes, or a cancellation seen while a block is read, ends the entry before
// anything more is read or written; any failure leaves the writer refusing every later call.
TEST(StreamingZIPWriterTest, FailuresStopTheEntryAndPoisonTheWriter) {
    const std::string data = randomBytes(5 * Writer::chunkSize, 8);
    for (const Mode mode : {Mode::balanced, Mode::maximum}) {
        for (const Method method : {Method::none, Method::deflate}) {
            for (const int skew : {-1, 1, 0}) {  // 0: cancelled during the second read
                Staging staging;
                auto writer = staging.open(mode);
                writer->addDirectory("first/", sampleTime, 0755, "");
                int reads = 0;
                std::uint64_t sizeAtCancel = 0;
                const auto read = [&, honest = readerOf(data)](std::uint64_t at,
                                                               std::span<std::uint8_t> b) mutable {
                    EXPECT_LT(reads, 2) << "read after the failure";
                    if (++reads == 2) {
                        sizeAtCancel = sizeOf(staging.archive);
                    }
                    return honest(at, b) + (reads == 2 ? skew : 0);
                };
                const auto check = [&] {
                    if (skew == 0 && reads == 2) {
                        throw OperationCancelled();
                    }
                };
                EXPECT_EQ(outcomeOf([&] {
                              writer->addFile("f", data.size(), sampleTime, 0644, "", method, check,
                                              read);
                          }),
                          skew == 0 ? "cancelled" : "sourceChanged: f");
                // A stored block already read still goes out; deflated data is not compressed.
                if (skew == 0) {
                    EXPECT_EQ(sizeOf(staging.archive),
                              sizeAtCancel + (method == Method::none ? Writer::chunkSize : 0));
                }
                const auto state = std::tuple(writer->archiveBytes(), writer->entryCount(),
                                              sizeOf(staging.archive), sizeOf(staging.spool));
                EXPECT_THROW(writer->addDirectory("later/", sampleTime, 0755, ""),
                             std::logic_error);
                EXPECT_THROW(add(*writer, "later", "x"), std::logic_error);
                EXPECT_THROW(writer->finalize([] {}), std::logic_error);
                EXPECT_EQ(state, std::tuple(writer->archiveBytes(), writer->entryCount(),
                                            sizeOf(staging.archive), sizeOf(staging.spool)));
            }
        }
    }
    Staging full;  // every write to /dev/full fails with ENOSPC
    Writer writer(posix::open("/dev/full", O_WRONLY),
                  posix::open(full.spool, O_WRONLY | O_CREAT, 0600), full.spool, Mode::balanced, {},
                  {}, [](int) { return std::optional<std::uint64_t>(1ull << 40); });
    EXPECT_EQ(outcomeOf([&] { writer.addDirectory("d/", sampleTime, 0755, ""); }), "errno ENOSPC");
    EXPECT_THROW(writer.addDirectory("e/", sampleTime, 0755, ""), std::logic_error);
    // Never a second central directory behind a half-finished one; a finished one runs once.
    Staging staging;
    auto cancelled = staging.open();
    EXPECT_EQ(outcomeOf([&] { cancelled->finalize([] { throw OperationCancelled(); }); }),
              "cancelled");
    EXPECT_THROW(cancelled->finalize([] {}), std::logic_error);
    auto done = staging.open();
    done->finalize([] {});
    done->finalize([] { throw OperationCancelled(); });
    EXPECT_TRUE(done->isFinalized());
    EXPECT_THROW(done->addDirectory("e/", sampleTime, 0755, ""), std::logic_error);
}

}  // namespace
}  // namespace tolvane
