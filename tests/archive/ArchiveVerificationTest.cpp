#include "core/archive/ArchiveVerification.h"

#include <gtest/gtest.h>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePackProgress.h"
#include "core/archive/JSONLines.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using test::RawZipBuilder;
using Rows = std::vector<ExpectedArchiveRecord>;
using Change = std::function<void(RawZipBuilder&, Rows&)>;
constexpr std::uint64_t mib = 1 << 20;

// A stored archive of the items ("x/" a folder) and the rows the packer would have listed, both
// changed at will.
struct Stage {
    test::TempDir dir;
    std::string archive = dir.file("payload.zip"), expected = dir.file("expected.jsonl");
    void write(const std::vector<std::pair<std::string, std::string>>& items, Change change) {
        RawZipBuilder zip;
        Rows rows;
        for (const auto& [path, data] : items) {
            const bool folder = path.ends_with('/');
            folder ? zip.addDirectory(path) : zip.addStored(path, data);
            rows.push_back({path, data.size(), folder ? "" : Sha256::hexOf(data)});
        }
        change(zip.relink(), rows);
        zip.relink().writeTo(archive);
        const UniqueFd fd = posix::open(expected, O_RDWR | O_CREAT | O_TRUNC, 0600);
        for (const ExpectedArchiveRecord& row : rows) {
            JSONLines::append(row, fd.get());
        }
    }
    std::string verify(Progress* progress = nullptr, std::stop_token stop = {}) {
        ArchivePackProgress pack(progress, std::nullopt);
        pack.beginVerification(0);
        return test::outcomeOf([&] {
            ArchiveVerification::verifyCreatedArchive(archive, expected, progress, stop, 0, pack);
        });
    }
};

TEST(ArchiveVerificationTest, FindsEveryDifference) {
    // The last entry's data ("bravo" as one stored deflate block, so that only the stream
    // tells its length) under records and a row that claim `size` bytes.
    const auto claims = [](std::uint32_t size) -> Change {
        return [size](RawZipBuilder& zip, Rows& rows) {
            test::RawZipEntry& e = zip.entries[2];
            e.data = std::string("\1\5\0\xFA\xFF", 5) + "bravo";
            e.local.method = e.central.method = ZipFormat::methodDeflate;
            e.local.compressedSize = e.central.compressedSize = 10;
            e.local.uncompressedSize = e.central.uncompressedSize = rows[2].size = size;
        };
    };
    const std::string differs = "entry type or size differs: ";
    const std::pair<Change, std::string> cases[] = {
        {[](auto&, auto&) {}, "ok"},
        {[](auto& z, auto& r) {  // canonically equivalent spellings are one path
             z.entries[0].local.name = z.entries[0].central.name = "e\xCC\x81";
             r[0].path = "\xC3\xA9";
         },
         "ok"},
        {[](auto&, auto& r) { r.push_back(r[0]); }, "unused manifest records"},
        {[](auto&, auto& r) { r.pop_back(); }, "unexpected entry"},
        {[](auto&, auto& r) { r[2].path = "d/c.txt"; }, "entry order or path differs: d/b.txt"},
        {[](auto&, auto& r) { r[1].sha256 = r[0].sha256; }, differs + "d/"},
        {[](auto&, auto& r) { r[0].sha256.clear(); }, differs + "a.txt"},
        {[](auto&, auto& r) { r[2].size += 1; }, differs + "d/b.txt"},
        {[](auto& z, auto&) { z.entries[0].central.externalAttributes = 0120777u << 16; },
         differs + "a.txt"},
        {[](auto&, auto& r) { r[2].sha256 = r[0].sha256; }, "content hash mismatch: d/b.txt"},
        {claims(4), "entry grew while verifying"},
        {claims(6), "content hash mismatch: d/b.txt"},
        {[](auto& z, auto&) { z.entries[1].central.extra = std::string("\x7D\xF1\1\0\2", 5); },
         "invalid extended attribute field"},
    };
    for (const auto& [change, expected] : cases) {
        Stage stage;
        stage.write({{"a.txt", "alpha"}, {"d/", ""}, {"d/b.txt", "bravo"}}, change);
        EXPECT_EQ(stage.verify(), expected == "ok" ? expected : "invalidArchive: " + expected);
    }
}

TEST(ArchiveVerificationTest, StopsWhenCancelled) {
    Stage stage;
    stage.write({{"a/", ""}, {"z", "after"}}, [](RawZipBuilder&, Rows&) {});
    Progress cancelled;
    cancelled.cancel();
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_EQ(stage.verify(&cancelled), "cancelled: ");
    EXPECT_EQ(stage.verify(nullptr, stopped.get_token()), "cancelled: ");
}

// Attributes cost nothing until a record is added; then the entry and byte bounds apply.
TEST(ArchiveVerificationTest, AttributeBudgetCountsEntriesAndBytes) {
    using Budget = ArchiveVerification::ExtendedAttributeBudget;
    const std::string over = "unsupportedArchiveEntry: ", value(mib - 1, 'v');
    const std::string limit =
        over + "extended attribute metadata exceeds the supported archive limit";
    Budget entries, bytes, records;
    for (std::uint64_t i = 0; i < Budget::maximumEntries; ++i) {
        entries.add({{"a", ""}});
    }
    for (int i = 0; i < 63; ++i) {
        bytes.add({{"n", value}});  // 1 MiB with its one-byte name
    }
    ArchiveExtendedAttributes::Map block;
    for (int i = 0; i < 4096; ++i) {
        block.emplace(std::to_string(i), "");
    }
    for (std::uint64_t i = 0; i < Budget::maximumAttributes / block.size(); ++i) {
        records.add(block);
    }
    const std::tuple<Budget*, ArchiveExtendedAttributes::Map, std::string> cases[] = {
        {&entries, {}, "ok"},
        {&entries, {{"a", ""}}, over + "too many extended attribute records"},
        {&bytes, {{"n", value + "!"}}, limit},
        {&bytes, {{"n", value}}, "ok"},
        {&bytes, {{"n", ""}}, limit},
        {&records, {{"a", ""}}, over + "too many extended attribute records"}};
    for (const auto& [budget, attributes, expected] : cases) {
        EXPECT_EQ(test::outcomeOf([&] { budget->add(attributes); }), expected);
    }
}

// Tiny attributes are kept as archived, not decoded (110 bytes for 8), and no other block.
TEST(ArchiveVerificationTest, AttributeStoreKeepsTheArchivedBlocksOnly) {
    ArchiveVerification::ExtendedAttributeStore store;
    const std::string other("\x55\x54\x05\x00\x01\x00\x00\x00\x00", 9);  // a timestamp
    std::vector<std::string> fields;
    std::uint64_t kept = mib;
    for (std::uint64_t entry = 0; entry < 24; ++entry) {
        ArchiveExtendedAttributes::Map attributes;
        for (int i = 0; i < 4'000; ++i) {
            attributes.emplace(std::to_string(entry * 4'000 + i), i % 2 ? "" : "v");
        }
        fields.push_back(other + *ArchiveExtendedAttributes::encodeField(attributes));
        kept += fields.back().size() - other.size() + 16;
        EXPECT_TRUE(store.add(2 * entry, fields.back()) && !store.add(2 * entry + 1, other));
    }
    EXPECT_LE(store.keptBytes(), kept);
    for (const std::uint64_t entry : {0, 23}) {
        EXPECT_EQ(store.attributes(2 * entry),
                  ArchiveExtendedAttributes::decodeField(fields[entry]));
        EXPECT_TRUE(store.attributes(2 * entry + 1).empty());
    }
}

}  // namespace
}  // namespace tolvane
