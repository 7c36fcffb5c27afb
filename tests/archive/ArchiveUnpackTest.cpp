#include "core/archive/ArchiveUnpack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchivePipeline.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/PathMappingValidation.h"
#include "core/common/Digest.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/SmallVolume.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using test::RawZipBuilder;
using test::RawZipEntry;
const std::string reserved(reservedMappingName);

DestinationPolicyReader volume(std::string fileSystem, std::optional<std::uint64_t> free) {
    return [=](auto&) { return ArchiveDestinationPolicy(fileSystem, std::nullopt, free, false); };
}
const DestinationPolicyReader roomy = volume("ext4", std::uint64_t{1} << 40);

// Whatever the outcome, nothing is left beside the folder, and a failure leaves nothing in it.
std::string unpackOutcome(RawZipBuilder& zip, const DestinationPolicyReader& policy = roomy) {
    test::TempDir root;
    test::makeTree(root.path(), {{"out/", ""}, {"archive.zip", zip.bytes()}});
    const std::string outcome = test::outcomeOf(
        [&] { unpack(root.file("archive.zip"), root.file("out"), nullptr, {}, policy); });
    EXPECT_EQ(test::namesIn(root.path()), (std::vector<std::string>{"archive.zip", "out"}));
    EXPECT_EQ(test::namesIn(root.file("out")).size(), outcome == "ok" ? 1u : 0u);
    return outcome;
}

std::map<std::string, std::string> itemsOf(const std::string& root) {
    std::map<std::string, std::string> items = test::treeOf(root);
    for (auto& [path, item] : items) {
        const std::string full = root + "/" + path;
        struct stat st {};
        char value[8];
        ::lstat(full.c_str(), &st);
        item += " " + std::to_string(st.st_mode & 07777) + " " + std::to_string(st.st_mtim.tv_sec);
        for (const char* name : {"user.color", "user.kind"}) {
            item.append(value, std::max<ssize_t>(0, ::lgetxattr(full.c_str(), name, value, 8)));
        }
    }
    return items;
}

// Names, bytes, modes, times and user attributes come back; a case clash renamed by pack comes
// with the receipt; the bookkeeping names of the unpack belong to the payload.
TEST(ArchiveUnpackTest, RestoresWhatPackStored) {
    test::TempDir root;
    test::TempDir destination;
    // clang-format off
    test::makeTree(root.path(),
                   {{"src/", ""}, {"src/empty/", ""}, {"src/in/", ""}, {"src/in/lock/", ""},
                    {"src/notes.txt", test::textBytes(300'000)}, {"src/in/s", "s"},
                    {"src/in/lock/f.bin", test::randomBytes(5'000, 2)}, {"src/Readme.txt", "1"},
                    {"src/README.txt", "2"}, {"preflight.jsonl", "{}\n"},
                    {"path-mapping-input.jsonl", "{}\n"}});
    // clang-format on
    const std::string src = root.file("src");
    ::chmod((src + "/notes.txt").c_str(), 0755);
    ::setxattr((src + "/notes.txt").c_str(), "user.color", "blue", 4, 0);
    ::setxattr((src + "/in").c_str(), "user.kind", "dir", 3, 0);
    std::int64_t time = 1'600'000'000;  // even seconds survive the MS-DOS time field
    for (const auto& [path, content] : test::treeOf(root.path())) {
        const timespec times[2] = {{time += 2, 0}, {time, 0}};
        ::utimensat(AT_FDCWD, root.file(path).c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    ::chmod((src + "/in/lock").c_str(), 0555);
    const auto original = itemsOf(root.path());
    const PackReceipt packed =
        pack({src, root.file("preflight.jsonl"), root.file("path-mapping-input.jsonl")},
             destination.file("out.zip"), nullptr);

    const UnpackReceipt receipt = unpack(packed.outputURL, destination.path(), nullptr, {});
    EXPECT_EQ(
        std::tuple(receipt.outputURL, receipt.fileCount, receipt.totalBytes, receipt.verified),
        std::tuple(destination.file("out"), packed.fileCount, packed.totalBytes, true));
    JSONLines::Reader rows(receipt.outputURL + "/" + reserved);
    EXPECT_EQ(rows.next<PathMappingReceiptHeader>(),
              (PathMappingReceiptHeader{1, "out.zip", 1, "verified-archive-manifest"}));
    const PathMappingReceiptRecord row = rows.next<PathMappingReceiptRecord>().value();
    rows.requireEnd<PathMappingReceiptRecord>();
    EXPECT_EQ(row.restoredPath, row.archivePath);
    EXPECT_EQ(row.sha256,
              Sha256::hexOf(test::readFile(receipt.outputURL + "/" + row.restoredPath)));
    // Undoing the one rename the receipt names gives the selection back.
    auto restored = itemsOf(receipt.outputURL);
    ASSERT_EQ(restored.erase(reserved), 1u);
    // The job's own thread writing every file restores the same tree (the receipt aside: it is
    // written at the time of the unpack).
    test::TempDir alone;
    ::setenv("TOLVANE_UNPACK_THREADS", "1", 1);
    const std::string second = unpack(packed.outputURL, alone.path(), nullptr, {}).outputURL;
    ::unsetenv("TOLVANE_UNPACK_THREADS");
    auto again = itemsOf(second);
    ASSERT_EQ(again.erase(reserved), 1u);
    EXPECT_EQ(again, restored);
    EXPECT_EQ(test::readFile(second + "/" + reserved),
              test::readFile(receipt.outputURL + "/" + reserved));
    auto renamed = restored.extract(row.restoredPath);
    renamed.key() = row.originalPath;
    restored.insert(std::move(renamed));
    EXPECT_EQ(restored, original);
}

// Up to 10,000:1 an entry is an archive; beyond, a bomb. The hostile table shows the refusal.
TEST(ArchiveUnpackTest, CompressionRatioBoundary) {
    EXPECT_FALSE(compressionRatioIsAbnormal(1, 10'000));
    EXPECT_TRUE(compressionRatioIsAbnormal(1, 10'001));
}

// Rules with tables of their own (paths, names, the inspector's, the reader's) have one row here.
TEST(ArchiveUnpackTest, RefusesHostileArchivesWithoutATrace) {
    using Edit = std::function<void(RawZipBuilder&, RawZipEntry&)>;
    struct Case {
        std::vector<std::string> names;
        Edit edit;
        std::string outcome;
        DestinationPolicyReader policy = roomy;
        Edit late = {};
        std::string manifest = {};  // the data of an entry of the reserved name
    };
    const auto attributes = [](RawZipEntry& e) {
        e.central.extra = *ArchiveExtendedAttributes::encodeField({{"k", "v"}});
    };
    const std::string bad = "invalidArchive: ";
    // The first entry marked a folder by its external attributes alone, made by the system
    // `madeBy` names (MS-DOS 0, Unix 3, NTFS 10); with its data, or emptied.
    const auto folderBy = [](std::uint32_t attributes, std::uint8_t madeBy, bool data) -> Edit {
        return [=](auto&, auto& e) {
            e.central.externalAttributes = attributes;
            e.central.versionMadeBy = static_cast<std::uint16_t>(madeBy << 8 | 20);
            if (!data) {
                e.store({});
            }
        };
    };
    const std::uint32_t dos = ZipFormat::msdosDirectoryAttribute, unixFolder = 040755u << 16;
    const std::string payload = bad + "directory contains a payload: d";
    // A manifest must describe its archive exactly: b.txt, c.txt, d/, then the manifest.
    using Row = PathMappingRecord;
    const std::string x = Sha256::hexOf("data"), upper = "A" + x.substr(1);
    const Row b{1, "o.txt", "b.txt", "file", 4, x};
    const auto lines = [](PathMappingHeader header, std::vector<Row> rows) {
        std::string text = header.encode() + "\n";
        for (const Row& row : rows) {
            text += row.encode() + "\n";
        }
        return text;
    };
    const auto one = [&](Row row) { return lines({1, 3, 1}, {row}); };
    const auto m = [&](std::string text, std::string detail, Edit edit = {}) {
        Case manifest{{"b.txt", "c.txt", "d/", reserved}, edit, bad + "path mapping " + detail};
        manifest.manifest = text;
        return manifest;
    };
    const auto row = [&](Row r) {
        return m(one(r), "record is invalid at entry " + std::to_string(r.ordinal));
    };
    const std::string header = "manifest header is invalid", count = "manifest count is invalid";
    // clang-format off
    const std::vector<Case> cases = {
        {{"../evil"}, {}, "unsafePath: ../evil"}, {{"A", "a"}, {}, "duplicatePath: a"},
        {{".TOLVANE-PATH-MAPPING.JSONL"}, {}, "duplicatePath: .tolvane-path-mapping.jsonl"},
        {{"ln"}, [](auto&, auto& e) { e.central.externalAttributes = 0120777u << 16; },
         "unsupportedArchiveEntry: ln"},
        {{"d/"}, [](auto&, auto& e) {
             e.data = "data", e.central.compressedSize = e.central.uncompressedSize = 4;
             e.local.compressedSize = e.local.uncompressedSize = 4;
         }, payload},
        // Whatever marks it a folder, some reader makes an empty folder of it and never shows its
        // data; empty, it is a folder that holds the files under it.
        {{"d"}, folderBy(unixFolder, 3, true), payload},
        {{"d"}, folderBy(dos, 0, true), payload}, {{"d"}, folderBy(dos, 10, true), payload},
        {{"d"}, folderBy(0100644u << 16 | dos, 3, true), payload},
        {{"d", "d/x"}, folderBy(unixFolder, 3, false), "ok"},
        {{"d", "d/x"}, folderBy(dos, 0, false), "ok"},
        {{"d", "d/x"}, folderBy(0100644u << 16 | dos, 3, false), "ok"},
        {{"d/", "d/x"}, folderBy(dos, 0, false), "ok"},
        {{"d", "d/x"}, folderBy(0x20, 0, true), "duplicatePath: d/x"},  // an MS-DOS file
        {{"a"}, [](auto&, auto& e) {
             e.data = "d", e.central.compressedSize = 1, e.central.uncompressedSize = 10'001;
             e.local.compressedSize = 1, e.local.uncompressedSize = 10'001;
         }, bad + "abnormal compression ratio at a"},
        {{"a"}, [](auto&, auto& e) { e.central.uncompressedSize = e.local.uncompressedSize = 3; },
         bad + "entry size does not match: a"},
        // A deflate stream of one stored block, so only the count of what it delivers can tell.
        {{"a"}, [](auto&, auto& e) {
             e.data = std::string("\x01\x04\x00\xFB\xFF", 5) + "data";
             e.local.method = e.central.method = ZipFormat::methodDeflate;
             e.local.compressedSize = e.central.compressedSize = 9;
             e.local.uncompressedSize = e.central.uncompressedSize = 5;
         }, bad + "entry size does not match: a"},
        {{"a"}, [](auto&, auto& e) { e.local.name = "b"; },
         bad + "local header does not match its central record: entry 1"},
        {{"out", "in"}, [](auto& z, auto& e) { e.data = z.entries[1].local.encode() + "data"; },
         bad + "entries share compressed data", roomy, [](auto& z, auto&) {
             z.entries[1].central.localHeaderOffset = ZipFormat::localHeaderSize + 3; }},
        {{"a"}, [&](auto&, auto& e) { attributes(e), e.central.flags = e.local.flags = 0; },
         bad + "extended attributes require a UTF-8 entry name"},
        {{"a", "a"}, [&](auto& z, auto& e) { attributes(e), attributes(z.entries[1]); },
         "duplicatePath: a"},
        {{"f", "empty"}, {}, "ok", volume("ext4", std::nullopt)},
        // A second directory with its own end record, beside a ZIP stored inside that has one.
        {{"a"}, {}, bad + "more than one end record", roomy, [](auto& z, auto& e) {
             test::RawEndRecord other;
             other.entriesOnDisk = other.totalEntries = 1;
             other.centralDirectorySize = static_cast<std::uint32_t>(e.central.encode().size());
             other.centralDirectoryOffset =
                 z.end.centralDirectoryOffset + z.end.centralDirectorySize;
             z.afterCentralDirectory = e.central.encode() + other.encode(); }},
        {{"a.zip"}, [](auto&, auto& e) { e.store(test::RawEndRecord().encode()); }, "ok"},
        m("[1,3,1]\n" + b.encode() + "\n", "manifest row is malformed"),
        m(lines({2, 3, 1}, {b}), header), m(lines({1, 2, 1}, {b}), header),
        m(lines({1, 3, 0}, {}), header), m(lines({1, 3, 4}, {b}), header),
        row({1, "o.txt", "b.txt", "file", 2, x}), row({1, "o.txt", "c.txt", "file", 4, x}),
        row({1, "o.txt", "b.txt", "directory", 4, x}), row({1, "a/../o", "b.txt", "file", 4, x}),
        row({3, "d", "d/", "directory", 0, ""}),  // mapped to itself, slash aside
        row({3, "e", "d/", "directory", 0, x}), row({1, "o", "b.txt", "file", 4, upper}),
        m(lines({1, 3, 1}, {}), count), m(one({4, "o.txt", "b.txt", "file", 4, x}), count),
        m(lines({1, 3, 2}, {b, b}), "records are out of order"),
        m(one({1, "o.txt", "b.txt", "file", 4, Sha256::hexOf("y")}),
          "content hash does not match: b.txt"),
        // The first failure in archive order is the one told, whoever finds it.
        m(one({1, "o.txt", "b.txt", "file", 4, Sha256::hexOf("y")}),
          "content hash does not match: b.txt",
          [](auto& z, auto&) { z.entries[1].central.crc32 = z.entries[1].local.crc32 ^= 1; }),
        m("", "manifest size is invalid"),
        m(one(b), "manifest size is invalid",
          [](auto& z, auto&) {
              z.entries[3].central.compressedSize = z.entries[3].local.compressedSize = 0; }),
        m(one(b), "manifest is oversized",
          [](auto& z, auto&) {
              z.entries[3].central.uncompressedSize = --z.entries[3].local.uncompressedSize; }),
        m(one(b), "manifest must be the final entry",
          [](auto& z, auto&) { std::swap(z.entries[2], z.entries[3]); }),
        m(one(b), "manifest is duplicated or invalid",
          [](auto& z, auto&) { z.entries.push_back(z.entries[3]); })};
    // clang-format on
    // Written by the job's thread alone, and by workers.
    for (const char* threads : {"1", "3"}) {
        ::setenv("TOLVANE_UNPACK_THREADS", threads, 1);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.outcome + " " + c.manifest + " threads " + threads);
            RawZipBuilder zip;
            for (const std::string& name : c.names) {
                name.ends_with("/") ? zip.addDirectory(name)
                                    : zip.addStored(name, name == reserved  ? c.manifest
                                                          : name == "empty" ? ""
                                                                            : "data");
            }
            if (c.edit) {
                c.edit(zip, zip.entries[0]);
            }
            zip.relink();
            if (c.late) {
                c.late(zip, zip.entries[0]);
            }
            EXPECT_EQ(unpackOutcome(zip, c.policy), c.outcome);
        }
    }
    ::unsetenv("TOLVANE_UNPACK_THREADS");
}

// A destination is judged by its own name however written; names cannot break or turn a message.
TEST(ArchiveUnpackTest, FailuresNameTheirRealCause) {
    test::TempDir root;
    RawZipBuilder zip;
    zip.addStored("big.bin", test::randomBytes(3 << 20, 3));
    test::makeTree(root.path(), {{"dir/", ""}, {"file", ""}, {"a.zip", zip.relink().bytes()}});
    ASSERT_EQ(::symlink("dir", root.file("link").c_str()), 0);
    const std::string zipPath = root.file("a.zip"), bad = "destinationUnavailable: ";
    std::string outcomes;
    for (const char* given : {"none", "file/x", "file", "link", "link/", "link/./", "dir/."}) {
        outcomes += test::outcomeOf([&] { unpack(zipPath, root.file(given), nullptr, {}, roomy); });
    }
    const std::string gone = bad + "folder does not exist: " + root.path(),
                      link = bad + "folder is a symbolic link: " + root.file("link");
    EXPECT_EQ(outcomes, gone + "/none" + gone + "/file/x" + bad +
                            "not a folder: " + root.file("file") + link + link + link + "ok");
    EXPECT_EQ(ArchivePipelineError::unsafePath("invoice\u202Etxt.exe\n").errorDescription(),
              "압축 파일에 안전하지 않은 경로가 있습니다: invoice\\u{202E}txt.exe\\u{000A}");
    const test::SmallVolume volume(root.file("volume"), "2m");
    if (!volume.mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here (" << volume.error() << ")";
    }
    try {
        unpack(zipPath, volume.path(), nullptr, {}, roomy);
    } catch (const std::system_error& error) {
        EXPECT_STREQ(error.what(), "write big.bin: No space left on device");
    }
}

}  // namespace
}  // namespace tolvane
