#include "core/archive/ArchiveUnpack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <zlib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchiveLimits.h"
#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/JSONLines.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Digest.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using test::namesIn;
using test::RawZipBuilder;

DestinationPolicyReader policy(std::string fileSystem, std::optional<std::uint64_t> available,
                               bool readOnly = false) {
    return [=](const std::string&) {
        return ArchiveDestinationPolicy(fileSystem, std::nullopt, available, readOnly);
    };
}
const DestinationPolicyReader roomy = policy("ext4", std::uint64_t{1} << 40);

// Each item with its mode, modification time and user attributes (provenance left out).
std::map<std::string, std::string> itemsOf(const std::string& root) {
    std::map<std::string, std::string> items = test::treeOf(root);
    for (auto& [path, description] : items) {
        const std::string full = root + "/" + path;
        struct stat st {};
        EXPECT_EQ(::lstat(full.c_str(), &st), 0) << path;
        description += " mode " + std::to_string(st.st_mode & 07777) + " time " +
                       std::to_string(st.st_mtim.tv_sec);
        char names[1024] = {};
        const ssize_t size = ::llistxattr(full.c_str(), names, sizeof names);
        for (ssize_t at = 0; at < size;
             at += static_cast<ssize_t>(std::string(names + at).size()) + 1) {
            char value[64] = {};
            const std::string name = names + at;
            if (name.starts_with("user.") && name != "user.xdg.origin.url" &&
                ::lgetxattr(full.c_str(), name.c_str(), value, sizeof value) >= 0) {
                description += " " + name + "=" + value;
            }
        }
    }
    return items;
}

TEST(ArchiveUnpackTest, RestoresWhatPackStored) {
    test::TempDir root;
    test::TempDir destination;
    const std::string src = root.file("src");
    // A case clash makes pack rename one file and append the path-mapping manifest; the names of
    // the unpack's own bookkeeping belong to the payload like any other.
    test::makeTree(root.path(), {{"src/", ""},
                                 {"src/empty/", ""},
                                 {"src/nested/", ""},
                                 {"src/nested/locked/", ""},
                                 {"src/notes.txt", test::textBytes(300'000)},
                                 {"src/photo.jpg", test::randomBytes(70'000, 1)},
                                 {"src/nested/secret.txt", "s"},
                                 {"src/nested/locked/inside.bin", test::randomBytes(5'000, 2)},
                                 {"src/Readme.txt", "first"},
                                 {"src/README.txt", "second"},
                                 {"preflight.jsonl", "{}\n"},
                                 {"path-mapping-input.jsonl", "{}\n"}});
    ::chmod((src + "/empty").c_str(), 0700);
    ::chmod((src + "/nested/secret.txt").c_str(), 0400);
    ::chmod((src + "/notes.txt").c_str(), 0755);
    ::setxattr((src + "/notes.txt").c_str(), "user.color", "blue", 4, 0);
    ::setxattr((src + "/nested").c_str(), "user.kind", "dir", 3, 0);
    std::int64_t time = 1'600'000'000;  // even seconds survive the MS-DOS time field
    for (const auto& [path, content] : test::treeOf(root.path())) {
        time += 2;
        const timespec times[2] = {{time, 0}, {time, 0}};
        ::utimensat(AT_FDCWD, root.file(path).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    ::chmod((src + "/nested/locked").c_str(), 0555);
    const std::map<std::string, std::string> original = itemsOf(root.path());
    const PackReceipt packed =
        pack({src, root.file("preflight.jsonl"), root.file("path-mapping-input.jsonl")},
             destination.file("out.zip"), nullptr);

    Progress progress;
    const UnpackReceipt receipt = unpack(packed.outputURL, destination.path(), &progress, {});
    EXPECT_EQ(receipt.outputURL, destination.file("out"));
    EXPECT_TRUE(receipt.verified);
    EXPECT_EQ(receipt.fileCount, packed.fileCount);
    EXPECT_EQ(receipt.totalBytes, packed.totalBytes);
    EXPECT_EQ(progress.userInfoText(ArchiveProgressInfo::stageKey), "complete");
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());

    // The receipt names the one renamed entry; undoing that rename gives the selection back.
    const std::string receiptPath = receipt.outputURL + "/" + std::string(reservedMappingName);
    JSONLines::Reader rows(receiptPath);
    EXPECT_EQ(rows.next<PathMappingReceiptHeader>(),
              (PathMappingReceiptHeader{1, "out.zip", 1, "verified-archive-manifest"}));
    const std::optional<PathMappingReceiptRecord> row = rows.next<PathMappingReceiptRecord>();
    ASSERT_TRUE(row);
    rows.requireEnd<PathMappingReceiptRecord>();
    EXPECT_EQ(row->restoredPath, row->archivePath);
    EXPECT_EQ(row->sha256,
              Sha256::hexOf(test::readFile(receipt.outputURL + "/" + row->restoredPath)));
    std::map<std::string, std::string> restored = itemsOf(receipt.outputURL);
    ASSERT_EQ(restored.erase(std::string(reservedMappingName)), 1u);
    auto renamed = restored.extract(row->restoredPath);
    ASSERT_FALSE(renamed.empty());
    renamed.key() = row->originalPath;
    restored.insert(std::move(renamed));
    EXPECT_EQ(restored, original);

    EXPECT_EQ(unpack(packed.outputURL, destination.path(), nullptr, {}).outputURL,
              destination.file("out_2"));
}

std::string rawDeflate(const std::string& data) {
    std::string out(compressBound(static_cast<uLong>(data.size())) + 16, '\0');
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// An archive of files ("data" each) and folders ("name/"), changed by `edit` before relinking.
std::function<std::string()> zipOf(std::vector<std::string> names,
                                   std::function<void(RawZipBuilder&)> edit = {}) {
    return [=] {
        RawZipBuilder zip;
        for (const std::string& name : names) {
            name.ends_with("/") ? zip.addDirectory(name) : zip.addStored(name, "data");
        }
        if (edit) {
            edit(zip);
        }
        return zip.relink().bytes();
    };
}

void withAttributes(test::RawZipEntry& entry) {
    entry.central.extra = *ArchiveExtendedAttributes::encodeField({{"k", "v"}});
}

// What unpack says of each archive; whatever it says, nothing is left beside or in the
// destination.
TEST(ArchiveUnpackTest, RefusesHostileArchivesWithoutATrace) {
    struct Case {
        std::function<std::string()> archive;
        std::string outcome;
        DestinationPolicyReader policy = roomy;
    };
    const auto deflated = [](std::uint32_t declaredSize) {
        // Deflated, so only the count of what the stream delivers can tell.
        return zipOf({"a.txt"}, [=](RawZipBuilder& zip) {
            test::RawZipEntry& entry = zip.entries[0];
            entry.data = rawDeflate("data");
            entry.local.method = entry.central.method = ZipFormat::methodDeflate;
            entry.local.compressedSize = entry.central.compressedSize =
                static_cast<std::uint32_t>(entry.data.size());
            entry.central.uncompressedSize = declaredSize;
        });
    };
    const std::vector<Case> cases = {
        {zipOf({"../evil.txt"}), "unsafePath: ../evil.txt"},
        {zipOf({"/tmp/evil.txt"}), "unsafePath: /tmp/evil.txt"},
        {zipOf({"C:/evil.txt"}), "unsafePath: C:/evil.txt"},
        {zipOf({"a\\..\\evil.txt"}), "unsafePath: a\\..\\evil.txt"},
        {zipOf({"link"},
               [](RawZipBuilder& z) { z.entries[0].central.externalAttributes = 0120777u << 16; }),
         "unsupportedArchiveEntry: link"},
        {zipOf({"a.txt", "a.txt"}), "duplicatePath: a.txt"},
        {zipOf({"A.txt", "a.txt"}), "duplicatePath: a.txt"},
        {zipOf({"\xC3\xA9.txt", "e\xCC\x81.txt"}), "duplicatePath: \xC3\xA9.txt"},
        {zipOf({"x", "x/"}), "duplicatePath: x"},
        {zipOf({".TOLVANE-PATH-MAPPING.JSONL"}), "duplicatePath: .tolvane-path-mapping.jsonl"},
        {zipOf({},
               [](RawZipBuilder& z) {
                   z.addStored("d/", "data").central.externalAttributes = 040755u << 16;
               }),
         "invalidArchive: directory contains a payload: d"},
        {zipOf({"a.txt"}, [](RawZipBuilder& z) { z.entries[0].central.flags |= 1; }),
         "unsupportedArchiveEntry: encrypted entry"},
        {zipOf({"a.txt"}, [](RawZipBuilder& z) { z.entries[0].central.diskNumberStart = 1; }),
         "invalidArchive: unsupported compression or split entry"},
        {zipOf({"big.bin"},
               [](RawZipBuilder& z) {
                   z.entries[0].data = "d";
                   z.entries[0].central.compressedSize = 1;
                   z.entries[0].central.uncompressedSize = 10'001;
               }),
         "invalidArchive: abnormal compression ratio at big.bin"},
        {zipOf({"a.txt"}, [](RawZipBuilder& z) { z.entries[0].central.uncompressedSize = 3; }),
         "insufficientSpace: "},
        {deflated(5), "invalidArchive: entry size does not match: a.txt"},
        {zipOf({"a.txt"}, [](RawZipBuilder& z) { z.entries[0].central.crc32 ^= 1; }),
         "invalidArchive: zip library: CRC error"},
        {[] {  // the outer entry's data quote the inner entry, whose record points into them
             RawZipBuilder inner;
             inner.addStored("inner.txt", test::textBytes(1000));
             RawZipBuilder zip;
             zip.addStored("outer.txt", inner.entries[0].local.encode() + inner.entries[0].data);
             zip.entries.push_back(inner.entries[0]);
             zip.relink().entries[1].central.localHeaderOffset = ZipFormat::localHeaderSize + 9;
             return zip.bytes();
         },
         "invalidArchive: entries share compressed data"},
        // The attribute table: UTF-8 names only, one record per name.
        {zipOf({"a.txt"},
               [](RawZipBuilder& z) {
                   withAttributes(z.entries[0]);
                   z.entries[0].central.flags = z.entries[0].local.flags = 0;
               }),
         "invalidArchive: extended attributes require a UTF-8 entry name"},
        {zipOf({"a.txt", "a.txt"},
               [](RawZipBuilder& z) {
                   withAttributes(z.entries[0]);
                   withAttributes(z.entries[1]);
               }),
         "invalidArchive: too many extended attribute records"},
        // The entry limit, from the header counts alone.
        {[] {
             RawZipBuilder zip;
             zip.addStored("a.txt", "data");
             zip.useZip64().relink().zip64End->totalEntries = maxEntryCount + 1;
             zip.zip64End->entriesOnDisk = maxEntryCount + 1;
             return zip.bytes();
         },
         "tooManyEntries: "},
        // The destination's own limits.
        {zipOf({"f.bin"},
               [](RawZipBuilder& z) {
                   z.entries[0].central.uncompressedSize = ZipFormat::zip64Marker32;
                   std::string extra;
                   ZipFormat::put16(extra, ZipFormat::zip64ExtraID);
                   ZipFormat::put16(extra, 8);
                   ZipFormat::put64(extra, std::uint64_t{1} << 32);
                   z.entries[0].central.extra = extra;
               }),
         "destinationFileTooLarge: ", policy("vfat", std::uint64_t{1} << 40)},
        {zipOf({"f.bin"}), "insufficientSpace: ", policy("ext4", 1'048'576)},
        {zipOf({"f.bin"}), "destinationReadOnly: ", policy("ext4", std::uint64_t{1} << 40, true)},
        {zipOf({"f.bin"}), "ok", policy("ext4", std::nullopt)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome);
        test::TempDir root;
        const std::string out = root.file("out");
        ASSERT_EQ(::mkdir(out.c_str(), 0700), 0);
        test::writeFile(root.file("archive.zip"), c.archive());
        EXPECT_EQ(
            test::outcomeOf([&] { unpack(root.file("archive.zip"), out, nullptr, {}, c.policy); }),
            c.outcome);
        EXPECT_EQ(namesIn(root.path()), (std::vector<std::string>{"archive.zip", "out"}));
        EXPECT_EQ(namesIn(out), c.outcome == "ok" ? std::vector<std::string>{"archive"}
                                                  : std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace tolvane
