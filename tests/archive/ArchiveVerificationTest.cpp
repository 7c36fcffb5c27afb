#include "core/archive/ArchiveVerification.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
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
    std::string data = {};
    Method method = Method::deflate;
    std::string attributes = {};  // an encoded extra-field block, or empty

    bool isDirectory() const { return !path.empty() && path.back() == '/'; }
};

ExpectedArchiveRecord rowFor(const Item& item) {
    return {item.path, item.data.size(), item.isDirectory() ? "" : Sha256::hexOf(item.data)};
}

std::vector<ExpectedArchiveRecord> rowsFor(const std::vector<Item>& items) {
    std::vector<ExpectedArchiveRecord> rows;
    std::transform(items.begin(), items.end(), std::back_inserter(rows), rowFor);
    return rows;
}

std::uint64_t fileBytes(const std::vector<Item>& items) {
    std::uint64_t total = 0;
    for (const Item& item : items) {
        total += item.data.size();
    }
    return total;
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
            writer.addFile(
                item.path, item.data.size(), sampleTime, 0644, item.attributes, item.method, [] {},
                [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
                    const std::size_t count =
                        std::min<std::size_t>(buffer.size(), item.data.size() - offset);
                    std::memcpy(buffer.data(), item.data.data() + offset, count);
                    return count;
                });
        }
        writer.finalize([] {});
    }

    void writeExpected(const std::vector<ExpectedArchiveRecord>& rows) {
        const UniqueFd fd = posix::open(expectedPath(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (const ExpectedArchiveRecord& row : rows) {
            JSONLines::append(row, fd.get());
        }
    }

    void writeBoth(const std::vector<Item>& items) {
        writeArchive(items);
        writeExpected(rowsFor(items));
    }

    // Verifies with a fresh pack progress that expects `totalBytes` and returns it.
    ArchivePackProgress verify(Progress* progress = nullptr, std::stop_token stop = {},
                               std::uint64_t totalBytes = 0) {
        ArchivePackProgress packProgress(progress, std::nullopt);
        packProgress.beginVerification(totalBytes);
        ArchiveVerification::verifyCreatedArchive(archivePath(), expectedPath(), progress, stop,
                                                  totalBytes, packProgress);
        return packProgress;
    }

    // The error verification ends with, as text; "" when it passes.
    std::string failure(Progress* progress = nullptr, std::stop_token stop = {}) {
        try {
            verify(progress, stop);
        } catch (const ArchivePipelineError& error) {
            return describe(error);
        }
        return "";
    }

protected:
    TempDir dir_;
};

std::vector<Item> sampleTree() {
    const std::string attributes =
        *ArchiveExtendedAttributes::encodeField({{"note", "kept"}, {"xdg.comment", "두 번째"}});
    return {
        {"사진/"},
        {"사진/a.jpg", test::randomBytes(200'000, 1), Method::none},
        {"사진/설명.txt", test::textBytes(2 * mib + 123)},
        {"empty.txt"},
        {"빈 폴더/", "", Method::deflate, attributes},
        {"tagged.bin", test::randomBytes(5000, 2), Method::deflate, attributes},
    };
}

TEST_F(ArchiveVerificationTest, PassesAndReportsEveryByte) {
    const std::vector<Item> items = sampleTree();
    const std::uint64_t total = fileBytes(items);
    for (const auto mode : {ArchiveCompressionMode::balanced, ArchiveCompressionMode::maximum}) {
        writeArchive(items, mode);
        writeExpected(rowsFor(items));
        Progress progress;
        EXPECT_EQ(verify(&progress, {}, total).completedBytes(), total);
        EXPECT_EQ(progress.userInfoNumber(ArchiveProgressInfo::stageCompletedBytesKey), total);
        EXPECT_EQ(progress.userInfoText(ArchiveProgressInfo::stageKey),
                  std::string(ArchiveProgressInfo::Stage::verifying));
        EXPECT_EQ(progress.completedUnitCount(),
                  ArchivePackProgress::verifyingStart + ArchivePackProgress::verifyingWeight);
        // Without a progress object nothing is reported, and the archive still passes.
        EXPECT_EQ(verify(nullptr, {}, total).completedBytes(), 0u);
    }
}

TEST_F(ArchiveVerificationTest, AnArchiveOfDirectoriesOnlyClosesAnEmptyPhase) {
    writeBoth({{"a/"}, {"a/b/"}, {"c/"}});
    Progress progress;
    verify(&progress);
    EXPECT_EQ(progress.completedUnitCount(),
              ArchivePackProgress::verifyingStart + ArchivePackProgress::verifyingWeight);
}

// --- every difference, with its detail ---------------------------------------------------------

std::string rawDeflate(const std::string& data) {
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                        reinterpret_cast<const Bytef*>(data.data()), data.size(), 6),
              Z_OK);
    return out.substr(2, size - 6);  // without the zlib header and checksum
}

std::string attributeBlock(std::uint8_t version) {
    std::string block;
    ZipFormat::put16(block, ArchiveExtendedAttributes::headerID);
    ZipFormat::put16(block, 1 + 6 + 1 + 1);
    block.push_back(static_cast<char>(version));
    ZipFormat::put16(block, 1);
    ZipFormat::put32(block, 1);
    return block + "nv";
}

TEST_F(ArchiveVerificationTest, DetectsEveryDifference) {
    const std::vector<Item> three = {{"a.txt", "alpha"}, {"dir/"}, {"dir/b.txt", "bravo"}};
    // The three items written, then the rows after `change`.
    const auto rows = [&](std::function<void(std::vector<ExpectedArchiveRecord>&)> change) {
        return [&three, change](ArchiveVerificationTest& t) {
            t.writeArchive(three);
            std::vector<ExpectedArchiveRecord> expected = rowsFor(three);
            change(expected);
            t.writeExpected(expected);
        };
    };
    // A raw archive and its rows, both from `items`, after `change` has broken the archive.
    const auto raw = [](std::vector<Item> items, std::function<void(RawZipBuilder&)> change) {
        return [items = std::move(items), change](ArchiveVerificationTest& t) {
            RawZipBuilder zip;
            for (const Item& item : items) {
                item.isDirectory() ? zip.addDirectory(item.path)
                                   : zip.addStored(item.path, item.data);
            }
            change(zip.relink());
            zip.writeTo(t.archivePath());
            t.writeExpected(rowsFor(items));
        };
    };
    // Deflate data of 300,000 bytes under records, and a row, claiming `recorded` bytes.
    const std::string bigText = test::textBytes(300'000);
    const auto inflating = [&](std::uint32_t recorded) {
        return [&bigText, recorded](ArchiveVerificationTest& t) {
            RawZipBuilder zip;
            test::RawZipEntry& entry = zip.addStored("big.txt", bigText);
            entry.data = rawDeflate(bigText);
            entry.local.method = entry.central.method = ZipFormat::methodDeflate;
            entry.local.compressedSize = entry.central.compressedSize =
                static_cast<std::uint32_t>(entry.data.size());
            entry.local.uncompressedSize = entry.central.uncompressedSize = recorded;
            zip.relink().writeTo(t.archivePath());
            t.writeExpected({{"big.txt", recorded, Sha256::hexOf(bigText)}});
        };
    };
    const auto withCentralExtra = [&](std::string extra) {
        return raw(three, [extra](RawZipBuilder& zip) {
            zip.entries[1].central.extra = extra;
            zip.relink();
        });
    };
    const std::pair<std::function<void(ArchiveVerificationTest&)>, std::string> cases[] = {
        {rows([](auto&) {}), ""},
        {[](ArchiveVerificationTest& t) {
             t.writeArchive({});
             t.writeExpected({});
         },
         ""},
        {[](ArchiveVerificationTest& t) {
             t.writeArchive({{"caf\xc3\xa9.txt", "x"}});
             t.writeExpected({rowFor({"cafe\xcc\x81.txt", "x"})});  // canonically equivalent
         },
         ""},
        {rows([](auto& r) { r.push_back(r.back()); }), invalid("unused manifest records")},
        {rows([](auto& r) { r.pop_back(); }), invalid("unexpected entry")},
        {rows([](auto& r) { std::swap(r[0], r[1]); }),
         invalid("entry order or path differs: a.txt")},
        {[&](ArchiveVerificationTest& t) {
             t.writeArchive({three[1], three[0], three[2]});
             t.writeExpected(rowsFor(three));
         },
         invalid("entry order or path differs: dir/")},
        {rows([](auto& r) { r[2].path = "dir/c.txt"; }),
         invalid("entry order or path differs: dir/b.txt")},
        {rows([](auto& r) { r[1].sha256 = r[0].sha256; }),
         invalid("entry type or size differs: dir/")},
        {rows([](auto& r) { r[0].sha256.clear(); }), invalid("entry type or size differs: a.txt")},
        {rows([](auto& r) { r[2].size += 1; }), invalid("entry type or size differs: dir/b.txt")},
        {rows([](auto& r) { r[2].sha256 = Sha256::hexOf("other"); }),
         invalid("content hash mismatch: dir/b.txt")},
        {raw({{"link", "target"}},
             [](RawZipBuilder& zip) {
                 zip.entries[0].central.externalAttributes = 0120777u << 16;
             }),
         invalid("entry type or size differs: link")},
        {raw(three, [](RawZipBuilder& zip) { zip.entries[2].data[1] ^= 1; }),
         invalid("zip library: CRC error")},
        {raw(three,
             [](RawZipBuilder& zip) {
                 test::RawZipEntry& entry = zip.entries[2];
                 entry.data[1] ^= 1;
                 entry.local.crc32 = entry.central.crc32 = test::crc32Of(entry.data);
             }),
         invalid("content hash mismatch: dir/b.txt")},
        {inflating(200'000), invalid("entry grew while verifying")},
        {inflating(300'001), invalid("content hash mismatch: big.txt")},
        {raw({{"notes.txt", "x"}},
             [](RawZipBuilder& zip) {
                 // An Info-ZIP Unicode path field: libzip reports its name instead of the raw one.
                 const std::string other = "../notes.txt";
                 std::string field;
                 ZipFormat::put16(field, 0x7075);
                 ZipFormat::put16(field, static_cast<std::uint16_t>(5 + other.size()));
                 field.push_back(1);
                 ZipFormat::put32(field, test::crc32Of("notes.txt"));
                 zip.entries[0].central.extra = field + other;
                 zip.entries[0].central.flags = 0;
                 zip.relink();
             }),
         invalid("central directory name mismatch: entry 1")},
        {withCentralExtra(attributeBlock(2)), invalid("invalid extended attribute field")},
        {withCentralExtra(attributeBlock(1)), ""},
        {raw(three, [](RawZipBuilder& zip) { zip.entries[2].central.flags |= 1; }),
         describe(Error::unsupportedArchiveEntry("encrypted entry"))},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        cases[i].first(*this);
        EXPECT_EQ(failure(), cases[i].second) << "case " << i;
    }
}

TEST_F(ArchiveVerificationTest, ListErrorsPassThroughUnchanged) {
    const std::vector<Item> items = {{"a.txt", "alpha"}, {"dir/"}};
    writeArchive(items);
    {
        const UniqueFd fd = posix::open(expectedPath(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        JSONLines::append(rowFor(items[0]), fd.get());
        JSONLines::appendLine(R"({"path":"dir/","size":0})", fd.get());
    }
    EXPECT_THROW(verify(), StrictJson::DecodeError);
    ::unlink(expectedPath().c_str());
    EXPECT_THROW(verify(), std::system_error);
}

// --- cancellation -------------------------------------------------------------------------------

TEST_F(ArchiveVerificationTest, EndsWithCancelledWhenAskedBeforehand) {
    writeBoth(sampleTree());
    Progress cancelled;
    cancelled.cancel();
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(failure(&cancelled), describe(Error::cancelled()));
    EXPECT_EQ(failure(nullptr, stopped.get_token()), describe(Error::cancelled()));
}

TEST_F(ArchiveVerificationTest, EndsWithCancelledWhenAskedWhileReading) {
    // The list is a pipe the test feeds: the first row goes in, the progress is cancelled once
    // the large file's first batch has been reported, and only then the second row follows, so
    // the cancellation always lands while the archive is being read.
    const std::vector<Item> items = {{"large.bin", test::randomBytes(8 * mib, 9)},
                                     {"small.txt", "after"}};
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

// --- the attribute budget -----------------------------------------------------------------------

std::string addOutcome(Budget& budget, const ArchiveExtendedAttributes::Map& attributes) {
    try {
        budget.add(attributes);
    } catch (const ArchivePipelineError& error) {
        return describe(error);
    }
    return "";
}

TEST(ExtendedAttributeBudgetTest, CountsEntriesAndBytesUpToTheLimits) {
    Budget entries;
    for (std::uint64_t i = 0; i < Budget::maximumEntries; ++i) {
        entries.add({{"a", ""}});
    }
    EXPECT_EQ(addOutcome(entries, {}), "");  // an entry without attributes costs nothing
    EXPECT_EQ(entries.entries(), Budget::maximumEntries);
    EXPECT_EQ(addOutcome(entries, {{"a", ""}}),
              describe(Error::unsupportedArchiveEntry("too many extended attribute records")));

    const std::string value(mib - 1, 'v');  // 1 MiB with its one-byte name
    const std::string over = describe(Error::unsupportedArchiveEntry(
        "extended attribute metadata exceeds the supported archive limit"));
    Budget bytes;
    for (int i = 0; i < 63; ++i) {
        bytes.add({{"n", value}});
    }
    // 63 MiB so far; an entry of 1 MiB + 1 byte does not fit, one of exactly 1 MiB does.
    EXPECT_EQ(addOutcome(bytes, {{"n", value + "!"}}), over);
    EXPECT_EQ(addOutcome(bytes, {{"n", value}}), "");
    EXPECT_EQ(bytes.bytes(), Budget::maximumBytes);
    EXPECT_EQ(addOutcome(bytes, {{"n", ""}}), over);
    EXPECT_EQ(bytes.entries(), 64u);
}

}  // namespace
}  // namespace tolvane
