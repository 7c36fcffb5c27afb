#include "core/archive/ArchiveVerification.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePackProgress.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/JSONLines.h"
#include "core/archive/StreamingZIPWriter.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/StrictJson.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::RawZipBuilder;
using test::TempDir;
using Error = ArchivePipelineError;
using Budget = ArchiveVerification::ExtendedAttributeBudget;
using Method = StreamingZIPWriter::CompressionMethod;

constexpr std::int64_t sampleTime = 1614834366;
constexpr std::uint64_t mib = 1024 * 1024;

struct Item {
    std::string path;  // a directory's ends in "/"
    std::string data;
    Method method = Method::deflate;
    std::string attributes;  // an encoded extra-field block, or empty

    bool isDirectory() const { return !path.empty() && path.back() == '/'; }
};

Item file(std::string path, std::string data, Method method = Method::deflate) {
    Item item;
    item.path = std::move(path);
    item.data = std::move(data);
    item.method = method;
    return item;
}

Item folder(std::string path) {
    Item item;
    item.path = std::move(path);
    return item;
}

ExpectedArchiveRecord rowFor(const Item& item) {
    ExpectedArchiveRecord row;
    row.path = item.path;
    row.size = item.isDirectory() ? 0 : item.data.size();
    row.sha256 = item.isDirectory() ? "" : Sha256::hexOf(item.data);
    return row;
}

std::vector<ExpectedArchiveRecord> rowsFor(const std::vector<Item>& items) {
    std::vector<ExpectedArchiveRecord> rows;
    for (const Item& item : items) {
        rows.push_back(rowFor(item));
    }
    return rows;
}

std::string describe(const ArchivePipelineError& error) {
    return std::to_string(static_cast<int>(error.code())) + " " + error.detail();
}

std::string invalid(const std::string& detail) {
    return describe(Error::invalidArchive(detail));
}

// A payload.zip and its expected.jsonl in a fresh stage-like folder.
class ArchiveVerificationTest : public ::testing::Test {
public:
    std::string archivePath() const { return dir_.file("payload.zip"); }
    std::string expectedPath() const { return dir_.file("expected.jsonl"); }

    // Writes the items with the delivery ZIP writer, and the rows the packer would append.
    void writeArchive(const std::vector<Item>& items,
                      ArchiveCompressionMode mode = ArchiveCompressionMode::balanced) {
        const std::string spool = dir_.file("central.spool");
        StreamingZIPWriter writer(
            posix::open(archivePath(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
            posix::open(spool, O_WRONLY | O_CREAT | O_TRUNC, 0600), spool, mode, std::nullopt,
            std::nullopt, [](int) { return std::optional<std::uint64_t>(std::uint64_t{1} << 40); });
        for (const Item& item : items) {
            if (item.isDirectory()) {
                writer.addDirectory(item.path, sampleTime, 0755, item.attributes);
                continue;
            }
            const StreamingZIPWriter::FileReceipt receipt = writer.addFile(
                item.path, item.data.size(), sampleTime, 0644, item.attributes, item.method, [] {},
                [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                    const std::size_t count =
                        std::min<std::size_t>(buffer.size(), item.data.size() - offset);
                    std::memcpy(buffer.data(), item.data.data() + offset, count);
                    return count;
                });
            EXPECT_EQ(receipt.sha256, Sha256::hexOf(item.data));
        }
        writer.finalize([] {});
    }

    void writeExpected(const std::vector<ExpectedArchiveRecord>& rows) {
        const UniqueFd fd = posix::open(expectedPath(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (const ExpectedArchiveRecord& row : rows) {
            JSONLines::append(row, fd.get());
        }
    }

    void verify(Progress* progress = nullptr, std::stop_token stop = {},
                std::optional<std::uint64_t> progressBytes = std::nullopt) {
        ArchivePackProgress packProgress(progress, std::nullopt);
        packProgress.beginVerification(progressBytes.value_or(0));
        ArchiveVerification::verifyCreatedArchive(archivePath(), expectedPath(), progress, stop,
                                                  progressBytes.value_or(0), packProgress);
    }

    // The error verification ends with, as text; "" when it passes.
    std::string failure() {
        try {
            verify();
        } catch (const ArchivePipelineError& error) {
            return describe(error);
        }
        return "";
    }

    void writeRaw(const RawZipBuilder& zip) { zip.writeTo(archivePath()); }

protected:
    TempDir dir_;
};

std::vector<Item> sampleTree() {
    ArchiveExtendedAttributes::Map attributes{{"note", "kept"}, {"xdg.comment", "두 번째"}};
    std::vector<Item> items = {
        folder("사진/"),
        file("사진/a.jpg", test::randomBytes(200'000, 1), Method::none),
        file("사진/설명.txt", test::textBytes(2 * mib + 123)),
        file("empty.txt", ""),
        folder("빈 폴더/"),
        file("tagged.bin", test::randomBytes(5000, 2)),
    };
    items[4].attributes = *ArchiveExtendedAttributes::encodeField(attributes);
    items[5].attributes = items[4].attributes;
    return items;
}

std::uint64_t fileBytes(const std::vector<Item>& items) {
    std::uint64_t total = 0;
    for (const Item& item : items) {
        total += item.data.size();
    }
    return total;
}

class WrittenArchiveVerificationTest
    : public ArchiveVerificationTest,
      public ::testing::WithParamInterface<ArchiveCompressionMode> {};

TEST_P(WrittenArchiveVerificationTest, PassesAndReportsEveryByte) {
    const std::vector<Item> items = sampleTree();
    writeArchive(items, GetParam());
    writeExpected(rowsFor(items));
    const std::uint64_t total = fileBytes(items);

    Progress progress;
    ArchivePackProgress packProgress(&progress, std::nullopt);
    packProgress.beginVerification(total);
    ArchiveVerification::verifyCreatedArchive(archivePath(), expectedPath(), &progress, {}, total,
                                              packProgress);
    EXPECT_EQ(packProgress.completedBytes(), total);
    EXPECT_EQ(progress.userInfoNumber(ArchiveProgressInfo::stageCompletedBytesKey), total);
    EXPECT_EQ(progress.userInfoText(ArchiveProgressInfo::stageKey),
              std::string(ArchiveProgressInfo::Stage::verifying));
    EXPECT_EQ(progress.completedUnitCount(),
              ArchivePackProgress::verifyingStart + ArchivePackProgress::verifyingWeight);

    // Without a progress object nothing is reported, and the archive still passes.
    ArchivePackProgress silent(nullptr, std::nullopt);
    silent.beginVerification(total);
    ArchiveVerification::verifyCreatedArchive(archivePath(), expectedPath(), nullptr, {}, total,
                                              silent);
    EXPECT_EQ(silent.completedBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, WrittenArchiveVerificationTest,
                         ::testing::Values(ArchiveCompressionMode::balanced,
                                           ArchiveCompressionMode::maximum),
                         [](const auto& info) {
                             return info.param == ArchiveCompressionMode::balanced ? "balanced"
                                                                                   : "maximum";
                         });

TEST_F(ArchiveVerificationTest, AnArchiveOfDirectoriesOnlyClosesAnEmptyPhase) {
    const std::vector<Item> items = {folder("a/"), folder("a/b/"), folder("c/")};
    writeArchive(items);
    writeExpected(rowsFor(items));
    Progress progress;
    verify(&progress, {}, 0);
    EXPECT_EQ(progress.completedUnitCount(),
              ArchivePackProgress::verifyingStart + ArchivePackProgress::verifyingWeight);
}

TEST_F(ArchiveVerificationTest, AnEmptyArchiveWithAnEmptyListPasses) {
    writeArchive({});
    writeExpected({});
    EXPECT_EQ(failure(), "");
}

TEST_F(ArchiveVerificationTest, PassesAnArchiveInZip64Form) {
    // 65,536 entries: the writer ends the archive with the ZIP64 records.
    std::vector<Item> items;
    items.reserve(65'536);
    for (int i = 0; i < 65'536; ++i) {
        items.push_back(i % 2 == 0 ? folder("d" + std::to_string(i) + "/")
                                   : file("f" + std::to_string(i), "", Method::none));
    }
    writeArchive(items);
    writeExpected(rowsFor(items));
    EXPECT_EQ(failure(), "");
}

// --- every difference, with its detail
// --------------------------------------------------------------

struct MismatchCase {
    const char* label;
    // Prepares payload.zip and expected.jsonl in the fixture.
    std::function<void(ArchiveVerificationTest&)> prepare;
    std::string error;  // "" when the archive must pass
};

void PrintTo(const MismatchCase& c, std::ostream* os) {
    *os << c.label;
}

class MismatchTest : public ArchiveVerificationTest,
                     public ::testing::WithParamInterface<MismatchCase> {};

TEST_P(MismatchTest, IsDetected) {
    GetParam().prepare(*this);
    EXPECT_EQ(failure(), GetParam().error);
}

const std::vector<Item> threeItems = {file("a.txt", "alpha"), folder("dir/"),
                                      file("dir/b.txt", "bravo")};

// Writes the three items, then the rows after `change`.
std::function<void(ArchiveVerificationTest&)> rows(
    std::function<void(std::vector<ExpectedArchiveRecord>&)> change) {
    return [change](ArchiveVerificationTest& t) {
        t.writeArchive(threeItems);
        std::vector<ExpectedArchiveRecord> expected = rowsFor(threeItems);
        change(expected);
        t.writeExpected(expected);
    };
}

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

// A raw archive and its rows, both from `items`, after `change` has broken the archive.
std::function<void(ArchiveVerificationTest&)> raw(std::vector<Item> items,
                                                  std::function<void(RawZipBuilder&)> change) {
    return [items = std::move(items), change](ArchiveVerificationTest& t) {
        RawZipBuilder zip;
        for (const Item& item : items) {
            if (item.isDirectory()) {
                zip.addDirectory(item.path);
            } else {
                zip.addStored(item.path, item.data);
            }
        }
        zip.relink();
        change(zip);
        t.writeRaw(zip);
        t.writeExpected(rowsFor(items));
    };
}

// The entry at index deflated, its records claiming `recordedSize` bytes.
void deflateEntry(RawZipBuilder& zip, std::size_t index, const std::string& data,
                  std::uint32_t recordedSize) {
    test::RawZipEntry& entry = zip.entries[index];
    entry.data = rawDeflate(data);
    entry.local.method = entry.central.method = ZipFormat::methodDeflate;
    entry.local.compressedSize = entry.central.compressedSize =
        static_cast<std::uint32_t>(entry.data.size());
    entry.local.uncompressedSize = entry.central.uncompressedSize = recordedSize;
    zip.relink();
}

std::string attributeBlock(std::uint8_t version) {
    std::string block;
    ZipFormat::put16(block, ArchiveExtendedAttributes::headerID);
    ZipFormat::put16(block, 1 + 6 + 1 + 1);
    block.push_back(static_cast<char>(version));
    ZipFormat::put16(block, 1);
    ZipFormat::put32(block, 1);
    block += "nv";
    return block;
}

const std::string bigText = test::textBytes(300'000);

const MismatchCase mismatchCases[] = {
    {"clean", rows([](auto&) {}), ""},
    {"canonically equivalent path",
     [](ArchiveVerificationTest& t) {
         t.writeArchive({file("caf\xc3\xa9.txt", "x")});
         ExpectedArchiveRecord row = rowFor(file("cafe\xcc\x81.txt", "x"));
         t.writeExpected({row});
     },
     ""},
    {"one row more", rows([](auto& r) { r.push_back(r.back()); }),
     invalid("unused manifest records")},
    {"one row fewer", rows([](auto& r) { r.pop_back(); }), invalid("unexpected entry")},
    {"rows swapped", rows([](auto& r) { std::swap(r[0], r[1]); }),
     invalid("entry order or path differs: a.txt")},
    {"entries reordered in the archive",
     [](ArchiveVerificationTest& t) {
         t.writeArchive({threeItems[1], threeItems[0], threeItems[2]});
         t.writeExpected(rowsFor(threeItems));
     },
     invalid("entry order or path differs: dir/")},
    {"other path", rows([](auto& r) { r[2].path = "dir/c.txt"; }),
     invalid("entry order or path differs: dir/b.txt")},
    {"directory row with a digest", rows([](auto& r) { r[1].sha256 = r[0].sha256; }),
     invalid("entry type or size differs: dir/")},
    {"file row without a digest", rows([](auto& r) { r[0].sha256.clear(); }),
     invalid("entry type or size differs: a.txt")},
    {"wrong size", rows([](auto& r) { r[2].size += 1; }),
     invalid("entry type or size differs: dir/b.txt")},
    {"wrong digest", rows([](auto& r) { r[2].sha256 = Sha256::hexOf("other"); }),
     invalid("content hash mismatch: dir/b.txt")},
    {"symbolic link entry",
     raw({file("link", "target")},
         [](RawZipBuilder& zip) { zip.entries[0].central.externalAttributes = 0120777u << 16; }),
     invalid("entry type or size differs: link")},
    {"changed byte", raw(threeItems, [](RawZipBuilder& zip) { zip.entries[2].data[1] ^= 1; }),
     invalid("zip library: CRC error")},
    {"changed byte with matching CRC-32",
     raw(threeItems,
         [](RawZipBuilder& zip) {
             test::RawZipEntry& entry = zip.entries[2];
             entry.data[1] ^= 1;
             entry.local.crc32 = entry.central.crc32 = test::crc32Of(entry.data);
         }),
     invalid("content hash mismatch: dir/b.txt")},
    {"data inflating beyond the recorded size",
     [](ArchiveVerificationTest& t) {
         RawZipBuilder zip;
         zip.addStored("big.txt", "");
         deflateEntry(zip, 0, bigText, 200'000);
         zip.entries[0].local.crc32 = zip.entries[0].central.crc32 = test::crc32Of(bigText);
         t.writeRaw(zip);
         ExpectedArchiveRecord row = rowFor(file("big.txt", bigText));
         row.size = 200'000;
         t.writeExpected({row});
     },
     invalid("entry grew while verifying")},
    {"data inflating short of the recorded size",
     [](ArchiveVerificationTest& t) {
         RawZipBuilder zip;
         zip.addStored("big.txt", "");
         deflateEntry(zip, 0, bigText, 300'001);
         zip.entries[0].local.crc32 = zip.entries[0].central.crc32 = test::crc32Of(bigText);
         t.writeRaw(zip);
         ExpectedArchiveRecord row = rowFor(file("big.txt", bigText));
         row.size = 300'001;
         t.writeExpected({row});
     },
     invalid("content hash mismatch: big.txt")},
    {"names differ between the readers",
     raw({file("notes.txt", "x")},
         [](RawZipBuilder& zip) {
             // An Info-ZIP Unicode path field: libzip reports its name instead of the raw one.
             const std::string other = "../notes.txt";
             std::string field;
             ZipFormat::put16(field, 0x7075);
             ZipFormat::put16(field, static_cast<std::uint16_t>(5 + other.size()));
             field.push_back(1);
             ZipFormat::put32(field, test::crc32Of("notes.txt"));
             field += other;
             zip.entries[0].central.extra = field;
             zip.entries[0].central.flags = 0;
             zip.relink();
         }),
     invalid("central directory name mismatch: entry 1")},
    {"attribute block that does not decode",
     raw(threeItems,
         [](RawZipBuilder& zip) {
             zip.entries[1].central.extra = attributeBlock(2);
             zip.relink();
         }),
     invalid("invalid extended attribute field")},
    {"attribute block that decodes",
     raw(threeItems,
         [](RawZipBuilder& zip) {
             zip.entries[1].central.extra = attributeBlock(1);
             zip.relink();
         }),
     ""},
    {"encrypted entry",
     raw(threeItems, [](RawZipBuilder& zip) { zip.entries[2].central.flags |= 1; }),
     describe(Error::unsupportedArchiveEntry("encrypted entry"))},
};

INSTANTIATE_TEST_SUITE_P(Archives, MismatchTest, ::testing::ValuesIn(mismatchCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.label; *p != '\0'; ++p) {
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             }
                             return name;
                         });

TEST_F(ArchiveVerificationTest, ListErrorsPassThroughUnchanged) {
    writeArchive(threeItems);
    {
        const UniqueFd fd = posix::open(expectedPath(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        JSONLines::append(rowFor(threeItems[0]), fd.get());
        JSONLines::appendLine(R"({"path":"dir/","size":0})", fd.get());
    }
    EXPECT_THROW(verify(), StrictJson::DecodeError);

    ::unlink(expectedPath().c_str());
    EXPECT_THROW(verify(), std::system_error);
}

// --- cancellation
// ------------------------------------------------------------------------------------

TEST_F(ArchiveVerificationTest, EndsWithCancelledWhenAskedBeforehand) {
    const std::vector<Item> items = sampleTree();
    writeArchive(items);
    writeExpected(rowsFor(items));

    Progress cancelled;
    cancelled.cancel();
    std::stop_source stopped;
    stopped.request_stop();
    for (const auto& [progress, stop] :
         {std::pair<Progress*, std::stop_token>{&cancelled, {}}, {nullptr, stopped.get_token()}}) {
        try {
            verify(progress, stop);
            ADD_FAILURE() << "verified";
        } catch (const ArchivePipelineError& error) {
            EXPECT_EQ(error.code(), Error::Code::cancelled);
        }
    }
}

TEST_F(ArchiveVerificationTest, EndsWithCancelledWhenAskedWhileReading) {
    // The list is a pipe the test feeds: the first row goes in, the progress is cancelled once
    // the large file's first batch has been reported, and only then the second row follows, so
    // the cancellation always lands while the archive is being read.
    const std::vector<Item> items = {file("large.bin", test::randomBytes(8 * mib, 9)),
                                     file("small.txt", "after")};
    writeArchive(items);
    ASSERT_EQ(::mkfifo(expectedPath().c_str(), 0600), 0);

    Progress progress;
    std::atomic<bool> finished{false};
    std::uint64_t firstReport = 0;
    std::thread feeder([&] {
        // Read-write, so opening never waits for the reader.
        const UniqueFd fd = posix::open(expectedPath(), O_RDWR);
        JSONLines::append(rowFor(items[0]), fd.get());
        while (firstReport == 0 && !finished) {
            firstReport =
                progress.userInfoNumber(ArchiveProgressInfo::stageCompletedBytesKey).value_or(0);
        }
        progress.cancel();
        JSONLines::append(rowFor(items[1]), fd.get());
    });
    ArchivePackProgress packProgress(&progress, std::nullopt);
    packProgress.beginVerification(fileBytes(items));
    std::string outcome = "verified";
    try {
        ArchiveVerification::verifyCreatedArchive(archivePath(), expectedPath(), &progress, {},
                                                  fileBytes(items), packProgress);
    } catch (const ArchivePipelineError& error) {
        outcome = describe(error);
    }
    finished = true;
    feeder.join();
    EXPECT_EQ(outcome, describe(Error::cancelled()));
    EXPECT_LT(packProgress.completedBytes(), fileBytes(items));
    // Reports come in whole batches of 1 MiB, never block by block.
    EXPECT_GE(firstReport, mib);
    EXPECT_EQ(firstReport % mib, 0u);
}

// --- the attribute budget
// --------------------------------------------------------------------------

TEST(ExtendedAttributeBudgetTest, CountsEntriesUpToTheLimit) {
    Budget budget;
    const ArchiveExtendedAttributes::Map one{{"a", ""}};
    for (std::uint64_t i = 0; i < Budget::maximumEntries; ++i) {
        budget.add(one);
    }
    budget.add({});  // an entry without attributes costs nothing
    EXPECT_EQ(budget.entries(), Budget::maximumEntries);
    try {
        budget.add(one);
        ADD_FAILURE() << "accepted";
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(describe(error),
                  describe(Error::unsupportedArchiveEntry("too many extended attribute records")));
    }
}

TEST(ExtendedAttributeBudgetTest, CountsBytesUpToTheLimit) {
    const std::string value(mib - 1, 'v');  // 1 MiB with its one-byte name
    const std::string over = describe(Error::unsupportedArchiveEntry(
        "extended attribute metadata exceeds the supported archive limit"));
    Budget budget;
    for (int i = 0; i < 63; ++i) {
        budget.add({{"n", value}});
    }
    // 63 MiB so far; an entry of 1 MiB + 1 byte does not fit, one of exactly 1 MiB does.
    try {
        budget.add({{"n", value + "!"}});
        ADD_FAILURE() << "accepted";
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(describe(error), over);
    }
    budget.add({{"n", value}});
    EXPECT_EQ(budget.bytes(), Budget::maximumBytes);
    try {
        budget.add({{"n", ""}});
        ADD_FAILURE() << "accepted";
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(describe(error), over);
    }
    EXPECT_EQ(budget.entries(), 64u);
}

}  // namespace
}  // namespace tolvane
