#include "core/archive/StreamingZIPWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "core/archive/ZipCentralDirectoryInspector.h"
#include "core/common/Cancellation.h"
#include "core/common/Posix.h"
#include "support/Outcome.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::outcomeOf;
namespace Layout = DeliveryZIPLayout;
using Writer = StreamingZIPWriter;
using Method = Writer::CompressionMethod;
using Mode = ArchiveCompressionMode;
constexpr std::uint64_t gib4 = std::uint64_t{1} << 32, m32 = gib4 - 1, mib = 1 << 20;
constexpr std::int64_t when = 1614834367;  // 2021-03-04 05:06:07 UTC

// "50 4b ff*8" -> bytes; "xx*n" repeats a byte n times.
std::string unhex(const std::string& text) {
    std::istringstream in(text);
    std::string out, token;
    while (in >> token) {
        const std::size_t star = token.find('*');
        out.append(star == std::string::npos ? 1 : std::stoul(token.substr(star + 1)),
                   static_cast<char>(std::stoi(token.substr(0, 2), nullptr, 16)));
    }
    return out;
}

// Reads `data`; the second read returns `skew` bytes more than it copied.
Writer::Read readerOf(const std::string& data, int skew = 0) {
    return [&data, skew, reads = 0](std::uint64_t at, std::span<std::uint8_t> buf) mutable {
        const std::size_t n = std::min<std::uint64_t>(buf.size(), data.size() - at);
        std::copy_n(data.data() + at, n, buf.data());
        return ++reads == 2 ? n + skew : n;
    };
}

std::uint64_t sizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// The archive and its central-directory spool; `hole` bytes before the first entry stand in for
// gigabytes of earlier entries, where the file system keeps holes.
struct Staging {
    test::TempDir dir;
    std::string archive = dir.file("payload.zip"), spool = dir.file("cd.bin");
    std::unique_ptr<Writer> open(Mode mode = Mode::balanced, std::uint64_t hole = 0,
                                 std::optional<std::uint64_t> limit = {},
                                 std::optional<std::uint64_t> budget = {},
                                 Writer::FreeSpaceProbe probe = {}, std::size_t threads = 1) {
        UniqueFd fd = posix::open(archive, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(::ftruncate(fd.get(), static_cast<off_t>(hole)), 0);
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || st.st_blocks * 512 >= static_cast<off_t>(mib)) {
            return nullptr;
        }
        return std::make_unique<Writer>(std::move(fd), posix::open(spool, O_WRONLY | O_CREAT, 0600),
                                        spool, mode, limit, budget, std::move(probe), threads);
    }
    std::string add(
        Writer& w, const std::string& name, const std::string& data,
        Method method = Method::deflate, const std::string& xattrs = "", int skew = 0,
        const Writer::CheckCancelled& check = [] {}) {
        return outcomeOf([&] {
            name.ends_with('/') ? w.addDirectory(name, when, 0755, xattrs)
                                : void(w.addFile(name, data.size(), when, 0644, xattrs, method,
                                                 check, readerOf(data, skew)));
        });
    }
};

// The forms only a 4 GiB archive shows; the interop test's readers read the ordinary ones.
TEST(StreamingZIPWriterTest, RecordsAreByteExactAtTheZip64Thresholds) {
    const Layout::DosDateTime t{0x1234, 0x5678};
    const Layout::CentralEntry big{false, t, 8, 0xAABBCCDD, m32, gib4, 0x140000000, 0644, true};
    const std::string xattrs = unhex("7d f1 01 00 01"), name = "61 2e 74 78 74";
    const std::pair<std::string, std::string> cases[] = {
        {Layout::fileLocalHeader("a.txt", t, 0, true,
                                 Layout::fileLocalExtraField(true, gib4, xattrs)),
         "50 4b 03 04 2d 00 08 08 00 00 34 12 78 56 00*4 ff*8 05 00 19 00 " + name +
             " 01 00 10 00 00*4 01 00*11 7d f1 01 00 01"},
        {Layout::dataDescriptor(0xAABBCCDD, m32, m32, false), "50 4b 07 08 dd cc bb aa ff*8"},
        // The width follows the local header, even for small values.
        {Layout::dataDescriptor(0xAABBCCDD, 7, 9, true), "50 4b 07 08 dd cc bb aa 07 00*7 09 00*7"},
        {Layout::centralRecord(big, "a.txt", Layout::centralExtraField(big, xattrs)),
         "50 4b 01 02 2d 03 2d 00 08 08 08 00 34 12 78 56 dd cc bb aa ff*8 05 00 21 00 00*8 a4 81 "
         "ff*4 " +
             name + " 01 00 18 00 00*4 01 00*3 ff*4 00*4 00 00 00 40 01 00*3 7d f1 01 00 01"},
        {Layout::endRecord(65534, m32 - 1, m32 - 1, false),
         "50 4b 05 06 00*4 fe ff fe ff fe ff ff ff fe ff ff ff 00 00"},
        // Whatever triggered the ZIP64 form, all four fields hold their markers.
        {Layout::endRecord(3, 100, gib4, true), "50 4b 05 06 00*4 ff*12 00 00"},
        {Layout::zip64EndRecord(65535, 0x100, 0x123456789),
         "50 4b 06 06 2c 00*7 2d 00 2d 00 00*8 ff ff 00*6 ff ff 00*6 00 01 00*6 89 67 45 23 01 "
         "00*3"},
        {Layout::zip64EndLocator(0x123456889), "50 4b 06 07 00*4 89 68 45 23 01 00*3 01 00*3"}};
    for (const auto& [bytes, expected] : cases) {
        EXPECT_EQ(bytes, unhex(expected)) << expected;
    }
    // Exactly at a marker a value moves to the ZIP64 block; a folder's sizes never count.
    const auto e = [](bool dir, std::uint64_t u, std::uint64_t c, std::uint64_t at) {
        return Layout::CentralEntry{dir, {}, 8, 0, c, u, at, 0644, false};
    };
    const std::string one = "01 00 08 00 ff*4 00*4";
    const std::pair<Layout::CentralEntry, std::string> blocks[] = {
        {e(false, m32 - 1, m32 - 1, m32 - 1), ""},
        {e(false, m32, 5, 0), one},
        {e(false, 5, m32, 0), one},
        {e(false, 5, 5, m32), one},
        {e(true, gib4, gib4, 0), ""}};
    for (const auto& [entry, block] : blocks) {
        EXPECT_EQ(Layout::centralExtraField(entry, ""), unhex(block)) << block;
    }
}

// The local ZIP64 form is settled from the compressor's bound (which depends on the mode) before
// the first block is read: cancelling there shows the decision without writing gigabytes.
TEST(StreamingZIPWriterTest, LocalHeaderAnnouncesZip64FromTheDataBound) {
    const std::tuple<std::uint64_t, Method, Mode, bool> cases[] = {
        {m32, Method::none, Mode::balanced, false},
        {gib4, Method::none, Mode::balanced, true},
        {0xF0000000, Method::deflate, Mode::maximum, true},
        {0xF0000000, Method::deflate, Mode::balanced, false}};
    for (const auto& [size, method, mode, zip64] : cases) {
        Staging staging;
        EXPECT_EQ(outcomeOf([&] {
                      staging.open(mode)->addFile(
                          "big", size, when, 0644, "", method, [] { throw OperationCancelled(); },
                          readerOf(""));
                  }),
                  "cancelled");
        EXPECT_EQ(test::readFile(staging.archive).substr(30 + 3),
                  Layout::fileLocalExtraField(zip64, size, ""))
            << size;
    }
}

// Behind a hole, local headers lie beyond 4 GiB and take the ZIP64 forms libzip reads back.
TEST(StreamingZIPWriterTest, FarEntriesRoundTripThroughAnIndependentReader) {
    Staging staging;
    const std::uint64_t hole = 0xFFFFFFF0;
    auto writer = staging.open(Mode::maximum, hole);
    if (!writer) {
        GTEST_SKIP() << "the temporary file system does not keep holes";
    }
    const std::map<std::string, std::string> files = {{"폴더/", ""},
                                                      {"폴더/empty", ""},
                                                      {"block1.txt", test::textBytes(65537)},
                                                      {"random.bin", test::randomBytes(200000, 3)}};
    for (const auto& [name, data] : files) {
        EXPECT_EQ(
            staging.add(*writer, name, data, name == "random.bin" ? Method::none : Method::deflate),
            "ok");
    }
    writer->finalize([] {});
    EXPECT_EQ(writer->archiveBytes(), sizeOf(staging.archive) - hole);
    EXPECT_EQ(test::zipEntries(staging.archive), files);
    EXPECT_EQ(ZipCentralDirectoryInspector::entryCount(staging.archive, {}), 4u);
}

// Limit, budget, probe, name and extra fields stop an entry before it is written; a far offset
// adds its ZIP64 block to the central extra field, checked before the entry is counted.
TEST(StreamingZIPWriterTest, GuardsStopTheEntryBeforeItIsWritten) {
    const std::string data = test::randomBytes(100000, 5), big = "unsupportedArchiveEntry: ";
    const std::uint64_t exact = 30 + 5 + data.size() + 16, reserve = Writer::freeSpaceReserve;
    using Limit = std::optional<std::uint64_t>;
    const auto free = [](Limit bytes) { return [bytes](int) { return bytes; }; };
    const auto eio = [](int) -> Limit { throw posix::errnoError(EIO); };
    const std::string tooLarge = "destinationFileTooLarge: ", noSpace = "insufficientSpace: ";
    const std::string exceeds = " metadata exceeds the ZIP extra-field limit: ";
    const std::tuple<Limit, Limit, Writer::FreeSpaceProbe, std::string, std::size_t, std::uint64_t,
                     std::string>
        cases[] = {{exact, {}, {}, "s.bin", 0, 0, "ok"},
                   {exact - 1, {}, {}, "s.bin", 0, 0, tooLarge},
                   {{}, exact, {}, "s.bin", 0, 0, "ok"},
                   {{}, exact - 1, {}, "s.bin", 0, 0, noSpace},
                   {{}, {}, free(reserve + exact), "s.bin", 0, 0, "ok"},
                   {{}, {}, free({}), "s.bin", 0, 0, noSpace},
                   {{}, {}, eio, "s.bin", 0, 0, "errno EIO"},
                   {{}, {}, {}, "bad\xff", 0, 0, "unsafePath: bad\xff"},
                   {{}, {}, {}, "f", 65535, 0, "ok"},
                   {{}, {}, {}, "f", 65536, 0, big + "file" + exceeds + "f"},
                   {{}, {}, {}, "f", 65535 - 11, gib4, big + "file" + exceeds + "f"},
                   {{}, {}, {}, "d/", 65535 - 11, gib4, big + "directory" + exceeds + "d/"}};
    for (const auto& [limit, budget, probe, path, xattrs, hole, expected] : cases) {
        Staging staging;
        auto writer = staging.open(Mode::balanced, hole, limit, budget, probe);
        if (!writer) {
            GTEST_SKIP() << "the temporary file system does not keep holes";
        }
        EXPECT_EQ(staging.add(*writer, path, data, Method::none, std::string(xattrs, 'x')),
                  expected);
        EXPECT_EQ(writer->archiveBytes(), sizeOf(staging.archive) - hole);
        EXPECT_TRUE(expected == "ok" || path == "s.bin" || hole > 0 ||
                    sizeOf(staging.archive) == 0);
    }
}

// A source that changes, or a cancellation seen while a block is read, ends the entry before
// anything more is read or written; any failure leaves the writer refusing every later call.
TEST(StreamingZIPWriterTest, FailuresStopTheEntryAndPoisonTheWriter) {
    const std::string data = test::randomBytes(5 * Writer::chunkSize, 8);
    for (const Method method : {Method::none, Method::deflate}) {
        for (const int skew : {-1, 1, 0}) {  // 0: cancelled during the second read
            Staging staging;
            auto writer = staging.open();
            int reads = 0;
            std::uint64_t atCancel = 0;
            const auto read = [&, honest = readerOf(data, skew)](
                                  std::uint64_t at, std::span<std::uint8_t> b) mutable {
                EXPECT_LT(reads, 2) << "read after the failure";
                atCancel = ++reads == 2 ? writer->archiveBytes() : atCancel;
                return honest(at, b);
            };
            const auto check = [&] {
                skew == 0 && reads == 2 ? throw OperationCancelled() : void();
            };
            EXPECT_EQ(outcomeOf([&] {
                          writer->addFile("f", data.size(), when, 0644, "", method, check, read);
                      }),
                      skew == 0 ? "cancelled" : "sourceChanged: f");
            // A stored block already read still goes out; deflated data is not compressed.
            if (skew == 0) {
                EXPECT_EQ(sizeOf(staging.archive),
                          atCancel + (method == Method::none ? Writer::chunkSize : 0));
            }
            const auto state = std::tuple(writer->archiveBytes(), writer->entryCount(),
                                          sizeOf(staging.archive), sizeOf(staging.spool));
            EXPECT_THROW(writer->addDirectory("later/", when, 0755, ""), std::logic_error);
            EXPECT_THROW(writer->finalize([] {}), std::logic_error);
            EXPECT_EQ(state, std::tuple(writer->archiveBytes(), writer->entryCount(),
                                        sizeOf(staging.archive), sizeOf(staging.spool)));
        }
    }
}

// Parts are cut at fixed source offsets and compressed apart, so any number of workers writes
// the same bytes as the caller's thread alone, and libzip reads every entry back.
TEST(StreamingZIPWriterTest, ThreadCountNeverChangesTheArchive) {
    std::map<std::string, std::string> files = {
        {"d/", ""},
        {"d/empty", ""},
        {"parts.txt", test::textBytes(2 * Writer::partSize + 12345)},
        {"exact.bin", test::randomBytes(Writer::partSize, 4)},
        {"stored.jpg", test::randomBytes(Writer::partSize * 3 / 2, 5)}};
    for (int index = 0; index < 40; ++index) {
        files["small/" + std::to_string(index)] = test::textBytes(static_cast<std::size_t>(index));
    }
    for (const Mode mode : {Mode::balanced, Mode::maximum}) {
        std::string bytes[2];
        for (const std::size_t threads : {1, 4}) {
            Staging staging;
            auto writer = staging.open(mode, 0, {}, {}, {}, threads);
            for (const auto& [name, data] : files) {
                ASSERT_EQ(staging.add(*writer, name, data,
                                      name.ends_with(".jpg") ? Method::none : Method::deflate),
                          "ok");
            }
            writer->finalize([] {});
            EXPECT_EQ(writer->archiveBytes(), sizeOf(staging.archive));
            EXPECT_EQ(test::zipEntries(staging.archive), files);
            bytes[threads == 1 ? 0 : 1] = test::readFile(staging.archive);
        }
        EXPECT_EQ(bytes[0], bytes[1]);
    }
}

// An entry's write failing, a later source changing or a cancellation ends the job with the
// error the caller's thread alone meets first, and the writer refuses every later call.
TEST(StreamingZIPWriterTest, WorkersReportTheFirstErrorInEntryOrder) {
    const std::string first = test::randomBytes(3 * Writer::partSize, 6);
    const std::string second = test::textBytes(3 * Writer::chunkSize);
    const std::uint64_t tooSmall = Writer::partSize;
    // size limit, skew of the second file's reads, cancelled during it, outcome
    const std::tuple<std::optional<std::uint64_t>, int, bool, std::string> cases[] = {
        {tooSmall, 1, false, "destinationFileTooLarge: "},
        {tooSmall, 0, false, "destinationFileTooLarge: "},
        {{}, -1, false, "sourceChanged: second"},
        {{}, 0, true, "cancelled"},
        {{}, 0, false, "ok"}};
    for (const auto& [limit, skew, cancel, expected] : cases) {
        for (const std::size_t threads : {1, 4}) {
            Staging staging;
            auto writer = staging.open(Mode::balanced, 0, limit, {}, {}, threads);
            const auto check = [cancel, calls = 0]() mutable {
                cancel && ++calls == 2 ? throw OperationCancelled() : void();
            };
            std::string outcome = staging.add(*writer, "first", first);
            outcome = outcome != "ok" ? outcome
                                      : staging.add(*writer, "second", second, Method::deflate, "",
                                                    skew, check);
            outcome = outcome != "ok" ? outcome : outcomeOf([&] { writer->finalize([] {}); });
            EXPECT_EQ(outcome, expected) << threads;
            if (expected != "ok") {
                EXPECT_THROW(writer->addDirectory("later/", when, 0755, ""), std::logic_error);
            }
        }
    }
}

}  // namespace
}  // namespace tolvane
