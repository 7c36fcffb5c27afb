#include "core/archive/PathMappingValidation.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchiveUnpack.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/StagingLease.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using Row = PathMappingRecord;

TEST(PathMappingValidationTest, CompressionRatioBoundary) {
    const std::uint64_t max = UINT64_MAX;
    const std::vector<std::tuple<std::uint64_t, std::uint64_t, bool>> cases = {
        {1, 10'000, false}, {1, 10'001, true},
        {7, 70'000, false}, {7, 70'001, true},
        {0, 0, false},      {0, 1, true},
        {max, max, false},  {max / 10'000 + 1, max, false}};  // overflow: no bomb
    for (const auto& [compressed, uncompressed, abnormal] : cases) {
        EXPECT_EQ(compressionRatioIsAbnormal(compressed, uncompressed), abnormal)
            << compressed << " -> " << uncompressed;
    }
}

TEST(PathMappingValidationTest, BookkeepingFilesTakeNoNameInTheStage) {
    test::TempDir root;
    for (const bool allowUnnamed : {true, false}) {
        StagingLease lease = makeStage(root.path(), "unpack");
        const UniqueFd file = createUnnamedStageFile(lease, "preflight.jsonl", allowUnnamed);
        posix::writeAll(file.get(), "row\n", 4);
        EXPECT_EQ(test::namesIn(lease.url()), std::vector<std::string>{}) << allowUnnamed;
        char back[4] = {};
        EXPECT_EQ(posix::preadAll(file.get(), back, sizeof back, 0), 4u);
        EXPECT_EQ(std::string(back, 4), "row\n");
        lease.remove(nullptr);
    }
}

// Every way a manifest can fail to describe its archive ends the unpack with invalidArchive and
// leaves nothing. The archive holds the files b.txt and c.txt ("x" each) and the folder d/.
TEST(PathMappingValidationTest, AManifestMustDescribeItsArchiveExactly) {
    const std::string x = Sha256::hexOf("x");
    const Row b{1, "o.txt", "b.txt", "file", 1, x};
    const auto lines = [](PathMappingHeader header, std::vector<Row> rows) {
        std::string text = header.encode() + "\n";
        for (const Row& row : rows) {
            text += row.encode() + "\n";
        }
        return text;
    };
    const auto one = [&](Row row) { return lines({1, 3, 1}, {row}); };
    const auto with = [](Row row, auto change) { return change(row), row; };
    struct Case {
        std::string manifest;
        std::string detail;
        std::function<void(test::RawZipBuilder&)> edit = {};
    };
    const std::string header = "path mapping manifest header is invalid";
    const std::string record = "path mapping record is invalid at entry ";
    const std::string count = "path mapping manifest count is invalid";
    const std::string malformed = "path mapping manifest row is malformed";
    using Zip = test::RawZipBuilder;
    // clang-format off
    const std::vector<Case> cases = {
        {"[1,3,1]\n" + b.encode() + "\n", malformed}, {lines({1, 3, 1}, {}) + "{\"ordinal\":1}\n", malformed},
        {lines({2, 3, 1}, {b}), header}, {lines({1, 2, 1}, {b}), header}, {lines({1, 3, 0}, {}), header},
        {lines({1, 3, 4}, {b}), header}, {one(with(b, [](Row& r) { r.size = 2; })), record + "1"},
        {one(with(b, [](Row& r) { r.archivePath = "c.txt"; })), record + "1"},
        {one(with(b, [](Row& r) { r.entryType = "directory"; })), record + "1"},
        {one(with(b, [](Row& r) { r.sha256[0] = 'A'; })), record + "1"},
        {one(with(b, [](Row& r) { r.originalPath = "b.txt"; })), record + "1"},  // itself
        {one(with(b, [](Row& r) { r.originalPath = "a/../o.txt"; })), record + "1"},
        {one(Row{3, "d", "d/", "directory", 0, ""}), record + "3"},  // itself, slash aside
        {one(Row{3, "e", "d/", "directory", 0, x}), record + "3"},
        {lines({1, 3, 1}, {}), count}, {one(with(b, [](Row& r) { r.ordinal = 4; })), count},
        {lines({1, 3, 2}, {b}), count}, {lines({1, 3, 2}, {b, b}), "path mapping records are out of order"},
        {one(with(b, [](Row& r) { r.sha256 = Sha256::hexOf("y"); })), "path mapping content hash does not match: b.txt"},
        {"", "path mapping manifest size is invalid"},
        {one(b), "path mapping manifest size is invalid", [](Zip& z) { z.entries[3].central.compressedSize = 0; }},
        {one(b), "path mapping manifest is oversized", [](Zip& z) { z.entries[3].central.uncompressedSize -= 1; }},
        {one(b), "path mapping manifest must be the final entry", [](Zip& z) { std::swap(z.entries[2], z.entries[3]); }},
        {one(b), "path mapping manifest is duplicated or invalid", [](Zip& z) { z.entries.push_back(z.entries[3]); }}};
    // clang-format on
    const DestinationPolicyReader roomy = [](auto&) {
        return ArchiveDestinationPolicy("ext4", std::nullopt, std::uint64_t{1} << 40, false);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.manifest);
        test::RawZipBuilder zip;
        zip.addStored("b.txt", "x");
        zip.addStored("c.txt", "x");
        zip.addDirectory("d/");
        zip.addStored(std::string(reservedMappingName), c.manifest);
        if (c.edit) {
            c.edit(zip);
        }
        test::TempDir root;
        test::makeTree(root.path(), {{"out/", ""}, {"archive.zip", zip.relink().bytes()}});
        EXPECT_EQ(test::outcomeOf([&] {
                      unpack(root.file("archive.zip"), root.file("out"), nullptr, {}, roomy);
                  }),
                  "invalidArchive: " + c.detail);
        EXPECT_EQ(test::namesIn(root.path()), (std::vector<std::string>{"archive.zip", "out"}));
        EXPECT_EQ(test::namesIn(root.file("out")), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace tolvane
