#include "core/archive/ArchiveUnpack.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/JSONLines.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/PathMappingValidation.h"
#include "core/archive/StagingLease.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/UniqueFd.h"
#include "support/ArchiveErrors.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::errorOf;

using test::namesIn;

using namespace ArchivePipeline;
using Code = ArchivePipelineError::Code;
using test::RawZipBuilder;
using test::readFile;
using test::TempDir;
using test::writeFile;

// Even whole seconds survive the two-second MS-DOS time field unchanged.
constexpr std::int64_t sampleTime = 1'600'000'000;

void makeFolder(const std::string& path, mode_t mode = 0755) {
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path << ": " << std::strerror(errno);
    ::chmod(path.c_str(), mode);
}

void setTime(const std::string& path, std::int64_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

bool supportsUserAttributes(const std::string& folder) {
    const std::string probe = folder + "/.probe";
    writeFile(probe, "");
    const bool supported = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    ::unlink(probe.c_str());
    return supported;
}

// What a round trip must keep of one item.
struct Item {
    bool isDirectory = false;
    mode_t mode = 0;
    std::int64_t modified = 0;
    std::string content;
    std::map<std::string, std::string> attributes;  // user attributes, provenance left out
    friend bool operator==(const Item&, const Item&) = default;
};

std::map<std::string, std::string> userAttributes(const std::string& path) {
    std::map<std::string, std::string> attributes;
    char names[4096];
    const ssize_t size = ::llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
        const std::string name = names + at;
        if (!name.starts_with("user.") || name == "user.xdg.origin.url") {
            continue;
        }
        char value[4096];
        const ssize_t length = ::lgetxattr(path.c_str(), name.c_str(), value, sizeof value);
        attributes[name] =
            std::string(value, static_cast<std::size_t>(std::max<ssize_t>(length, 0)));
    }
    return attributes;
}

// Every item below root by relative path.
std::map<std::string, Item> treeOf(const std::string& root, const std::string& relative = {}) {
    std::map<std::string, Item> items;
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    for (const std::string& name : namesIn(folder)) {
        const std::string path = relative.empty() ? name : relative + "/" + name;
        struct stat st {};
        if (::lstat((root + "/" + path).c_str(), &st) != 0) {
            ADD_FAILURE() << path;
            continue;
        }
        Item item{S_ISDIR(st.st_mode),
                  st.st_mode & 07777,
                  st.st_mtim.tv_sec,
                  {},
                  userAttributes(root + "/" + path)};
        if (item.isDirectory) {
            items.merge(treeOf(root, path));
        } else {
            item.content = readFile(root + "/" + path);
        }
        items[path] = std::move(item);
    }
    return items;
}

DestinationPolicyReader policy(std::string fileSystem, std::optional<std::uint64_t> available,
                               bool readOnly = false) {
    return [=](const std::string&) {
        return ArchiveDestinationPolicy(fileSystem, std::nullopt, available, readOnly);
    };
}

const DestinationPolicyReader roomy = policy("ext4", std::uint64_t{1} << 40);

TEST(ArchiveUnpackTest, RestoresWhatPackStored) {
    TempDir root;
    TempDir destination;
    const std::string src = root.file("src");
    makeFolder(src);
    makeFolder(src + "/empty", 0700);
    makeFolder(src + "/nested");
    makeFolder(src + "/nested/locked", 0555);
    writeFile(src + "/notes.txt", test::textBytes(300'000));
    writeFile(src + "/photo.jpg", test::randomBytes(70'000, 1));
    writeFile(src + "/run.sh", "#!/bin/sh\n");
    ::chmod((src + "/run.sh").c_str(), 0755);
    writeFile(src + "/nested/secret.txt", "s");
    ::chmod((src + "/nested/secret.txt").c_str(), 0400);
    writeFile(src + "/nested/locked/inside.bin", test::randomBytes(5'000, 2));
    // A case clash makes pack rename one of the two and append the path-mapping manifest.
    writeFile(src + "/Readme.txt", "first");
    writeFile(src + "/README.txt", "second");
    // The names of the unpack's own bookkeeping belong to the payload like any other.
    writeFile(root.file("preflight.jsonl"), "{}\n");
    writeFile(root.file("path-mapping-input.jsonl"), "{}\n");
    const bool attributes = supportsUserAttributes(root.path());
    if (attributes) {
        ASSERT_EQ(::setxattr((src + "/notes.txt").c_str(), "user.color", "blue", 4, 0), 0);
        ASSERT_EQ(::setxattr((src + "/nested").c_str(), "user.kind", "dir", 3, 0), 0);
    }
    for (const std::string& path : {src + "/empty", src + "/nested/locked", src + "/nested", src}) {
        setTime(path, sampleTime);
    }
    for (const auto& [relative, item] : treeOf(root.path())) {
        if (!item.isDirectory) {
            setTime(root.file(relative),
                    sampleTime + 2 * static_cast<std::int64_t>(relative.size()));
        }
    }
    const std::map<std::string, Item> original = treeOf(root.path());
    const std::vector<std::string> sources = {src, root.file("preflight.jsonl"),
                                              root.file("path-mapping-input.jsonl")};
    const PackReceipt packed = pack(sources, destination.file("out.zip"), nullptr);

    Progress progress;
    const UnpackReceipt receipt = unpack(packed.outputURL, destination.path(), &progress, {});
    EXPECT_EQ(receipt.outputURL, destination.file("out"));
    EXPECT_TRUE(receipt.verified);
    EXPECT_EQ(receipt.fileCount, packed.fileCount);
    EXPECT_EQ(receipt.totalBytes, packed.totalBytes);
    EXPECT_EQ(progress.userInfoText(ArchiveProgressInfo::stageKey),
              std::string(ArchiveProgressInfo::Stage::complete));
    EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
    EXPECT_FALSE(progress.userInfo(ArchiveProgressInfo::cleanupWarningKey));
    EXPECT_EQ(namesIn(destination.path()), (std::vector<std::string>{"out", "out.zip"}));

    // The receipt names the one renamed entry; undoing that rename gives the selection back.
    JSONLines::Reader rows(receipt.outputURL + "/" + std::string(reservedMappingName));
    const std::optional<PathMappingReceiptHeader> header = rows.next<PathMappingReceiptHeader>();
    ASSERT_TRUE(header);
    EXPECT_EQ(*header, (PathMappingReceiptHeader{1, "out.zip", 1, "verified-archive-manifest"}));
    const std::optional<PathMappingReceiptRecord> row = rows.next<PathMappingReceiptRecord>();
    ASSERT_TRUE(row);
    rows.requireEnd<PathMappingReceiptRecord>();
    EXPECT_EQ(row->restoredPath, row->archivePath);
    EXPECT_EQ(row->sha256, Sha256::hexOf(readFile(receipt.outputURL + "/" + row->restoredPath)));

    std::map<std::string, Item> restored = treeOf(receipt.outputURL);
    ASSERT_EQ(restored.erase(std::string(reservedMappingName)), 1u);
    auto renamed = restored.extract(row->restoredPath);
    ASSERT_FALSE(renamed.empty());
    renamed.key() = row->originalPath;
    restored.insert(std::move(renamed));
    EXPECT_EQ(restored, original);

    const UnpackReceipt second = unpack(packed.outputURL, destination.path(), nullptr, {});
    EXPECT_EQ(second.outputURL, destination.file("out_2"));
    EXPECT_EQ(namesIn(destination.path()), (std::vector<std::string>{"out", "out.zip", "out_2"}));
}

// Archives written by other tools: their own layouts, legacy names, and no Unix modes at all.
struct ForeignCase {
    const char* name;
    const char* command;  // run in the folder holding "pkg"; writes "x.zip"
    bool keepsModes;
};

class ArchiveUnpackForeignTest : public testing::TestWithParam<ForeignCase> {};

TEST_P(ArchiveUnpackForeignTest, UnpacksArchivesOfOtherTools) {
    const ForeignCase& c = GetParam();
    const std::string tool = std::string(c.command).substr(0, std::string(c.command).find(' '));
    if (std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) != 0) {
        GTEST_SKIP() << tool << " is not installed";
    }
    TempDir root;
    TempDir destination;
    makeFolder(root.file("pkg"));
    makeFolder(root.file("pkg/sub"), 0750);
    makeFolder(root.file("pkg/empty"));
    writeFile(root.file("pkg/a.txt"), test::textBytes(100'000));
    writeFile(root.file("pkg/sub/b.bin"), test::randomBytes(20'000, 3));
    writeFile(root.file("pkg/XtX.txt"), "legacy name");
    ::chmod(root.file("pkg/sub/b.bin").c_str(), 0640);
    std::map<std::string, Item> expected = treeOf(root.path());
    ASSERT_EQ(std::system(("cd '" + root.path() + "' && " + c.command).c_str()), 0) << c.command;

    const UnpackReceipt receipt =
        unpack(root.file("x.zip"), destination.path(), nullptr, {}, roomy);
    EXPECT_EQ(receipt.fileCount, 3u);
    EXPECT_EQ(receipt.totalBytes, 100'000u + 20'000u + 11u);
    std::map<std::string, Item> restored = treeOf(receipt.outputURL);
    if (!c.keepsModes) {
        // The Python archive stores this name in code page 437 without the UTF-8 flag.
        auto legacy = expected.extract("pkg/XtX.txt");
        legacy.key() = "pkg/\xC3\xA9t\xC3\xA9.txt";
        expected.insert(std::move(legacy));
    }
    for (auto* tree : {&expected, &restored}) {
        for (auto& [path, item] : *tree) {
            item.modified = 0;  // other tools write local time into the DOS fields
            if (!c.keepsModes) {
                item.mode = item.isDirectory ? 0700 : 0600;
            }
        }
    }
    EXPECT_EQ(restored, expected);
}

// Python's writer with no Unix modes (an MS-DOS host) and one name turned into a raw code page
// 437 name afterwards: zipfile itself would flag any non-ASCII name as UTF-8.
constexpr const char* pythonWriter =
    "python3 -c \"\nimport os, zipfile\n"
    "with zipfile.ZipFile('x.zip', 'w') as z:\n"
    "  for d, dirs, files in os.walk('pkg'):\n"
    "    dirs.sort()\n"
    "    for n in sorted(dirs):\n"
    "      i = zipfile.ZipInfo(os.path.join(d, n) + '/'); i.create_system = 0; "
    "i.external_attr = 0x10; z.writestr(i, b'')\n"
    "    for n in sorted(files):\n"
    "      i = zipfile.ZipInfo(os.path.join(d, n)); i.create_system = 0; i.external_attr = 0\n"
    "      i.compress_type = zipfile.ZIP_DEFLATED if n.endswith('.txt') else zipfile.ZIP_STORED\n"
    "      z.writestr(i, open(os.path.join(d, n), 'rb').read())\n"
    "data = open('x.zip', 'rb').read().replace(b'pkg/XtX', b'pkg/\\x82t\\x82')\n"
    "open('x.zip', 'wb').write(data)\n\"";

INSTANTIATE_TEST_SUITE_P(
    Tools, ArchiveUnpackForeignTest,
    testing::Values(ForeignCase{"zip", "zip -r -q x.zip pkg", true},
                    ForeignCase{"sevenzip", "7z a -tzip -bd x.zip pkg >/dev/null", true},
                    ForeignCase{"bsdtar", "bsdtar --format zip -cf x.zip pkg", true},
                    ForeignCase{"python", pythonWriter, false}),
    [](const testing::TestParamInfo<ForeignCase>& info) { return std::string(info.param.name); });

std::string rawDeflate(const std::string& data) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
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

std::string manifestOf(std::uint64_t entries, std::uint64_t mappings,
                       const std::vector<PathMappingRecord>& rows) {
    std::string text = PathMappingHeader{1, entries, mappings}.encode() + "\n";
    for (const PathMappingRecord& row : rows) {
        text += row.encode() + "\n";
    }
    return text;
}

std::string withManifest(std::string manifest, bool last = true) {
    RawZipBuilder zip;
    zip.addStored("b.txt", "x");
    zip.addStored(std::string(reservedMappingName), std::move(manifest));
    if (!last) {
        std::swap(zip.entries[0], zip.entries[1]);
    }
    return zip.relink().bytes();
}

void addSizes64(test::RawZipEntry& entry, std::uint64_t uncompressed) {
    entry.central.uncompressedSize = ZipFormat::zip64Marker32;
    std::string extra;
    ZipFormat::put16(extra, ZipFormat::zip64ExtraID);
    ZipFormat::put16(extra, 8);
    ZipFormat::put64(extra, uncompressed);
    entry.central.extra = extra;
}

TEST(ArchiveUnpackTest, RefusesHostileArchivesWithoutATrace) {
    const std::string x = Sha256::hexOf("x");
    struct Case {
        const char* name;
        std::function<std::string()> archive;
        ArchivePipelineError expected;
    };
    const auto entries = [](std::vector<std::string> names) {
        RawZipBuilder zip;
        for (std::string& name : names) {
            if (name.ends_with("/")) {
                zip.addDirectory(std::move(name));
            } else {
                zip.addStored(std::move(name), "data");
            }
        }
        return zip;
    };
    const auto linked = [&](std::vector<std::string> names) {
        return entries(std::move(names)).relink().bytes();
    };
    const std::vector<Case> cases = {
        {"parent traversal", [&] { return linked({"../evil.txt"}); },
         ArchivePipelineError::unsafePath("../evil.txt")},
        {"absolute path", [&] { return linked({"/tmp/evil.txt"}); },
         ArchivePipelineError::unsafePath("/tmp/evil.txt")},
        {"drive letter", [&] { return linked({"C:/evil.txt"}); },
         ArchivePipelineError::unsafePath("C:/evil.txt")},
        {"backslashes", [&] { return linked({"a\\..\\..\\evil.txt"}); },
         ArchivePipelineError::unsafePath("a\\..\\..\\evil.txt")},
        {"symbolic link",
         [&] {
             RawZipBuilder zip = entries({"link"});
             zip.entries[0].central.externalAttributes = 0120777u << 16;
             return zip.relink().bytes();
         },
         ArchivePipelineError::unsupportedArchiveEntry("link")},
        {"duplicate",
         [&] {
             return linked({"a.txt", "a.txt"});
         },
         ArchivePipelineError::duplicatePath("a.txt")},
        {"case duplicate",
         [&] {
             return linked({"A.txt", "a.txt"});
         },
         ArchivePipelineError::duplicatePath("a.txt")},
        {"NFC and NFD",
         [&] {
             return linked({"\xC3\xA9.txt", "e\xCC\x81.txt"});
         },
         ArchivePipelineError::duplicatePath("\xC3\xA9.txt")},
        {"file and folder of one name",
         [&] {
             return linked({"x", "x/"});
         },
         ArchivePipelineError::duplicatePath("x")},
        {"reserved name in upper case", [&] { return linked({".TOLVANE-PATH-MAPPING.JSONL"}); },
         ArchivePipelineError::duplicatePath(std::string(reservedMappingName))},
        {"folder with data",
         [&] {
             RawZipBuilder zip;
             zip.addStored("d/", "data").central.externalAttributes = 040755u << 16;
             return zip.relink().bytes();
         },
         ArchivePipelineError::invalidArchive("directory contains a payload: d")},
        {"encrypted",
         [&] {
             RawZipBuilder zip = entries({"a.txt"});
             zip.entries[0].central.flags |= 1;
             return zip.relink().bytes();
         },
         ArchivePipelineError::unsupportedArchiveEntry("encrypted entry")},
        {"split",
         [&] {
             RawZipBuilder zip = entries({"a.txt"});
             zip.entries[0].central.diskNumberStart = 1;
             return zip.relink().bytes();
         },
         ArchivePipelineError::invalidArchive("unsupported compression or split entry")},
        {"manifest not last",
         [&] {
             return withManifest(manifestOf(1, 1, {{1, "o.txt", "b.txt", "file", 1, x}}), false);
         },
         ArchivePipelineError::invalidArchive("path mapping manifest must be the final entry")},
        {"manifest row with another size",
         [&] {
             return withManifest(manifestOf(1, 1, {{1, "o.txt", "b.txt", "file", 2, x}}));
         },
         ArchivePipelineError::invalidArchive("path mapping record is invalid at entry 1")},
        {"manifest row mapping a path to itself",
         [&] {
             return withManifest(manifestOf(1, 1, {{1, "b.txt", "b.txt", "file", 1, x}}));
         },
         ArchivePipelineError::invalidArchive("path mapping record is invalid at entry 1")},
        {"manifest counting rows it lacks", [&] { return withManifest(manifestOf(1, 1, {})); },
         ArchivePipelineError::invalidArchive("path mapping manifest count is invalid")},
        {"manifest with a false digest",
         [&] {
             return withManifest(
                 manifestOf(1, 1, {{1, "o.txt", "b.txt", "file", 1, Sha256::hexOf("y")}}));
         },
         ArchivePipelineError::invalidArchive("path mapping content hash does not match: b.txt")},
        {"compression ratio above 10,000:1",
         [&] {
             RawZipBuilder zip = entries({"big.bin"});
             zip.entries[0].data = "d";
             zip.entries[0].central.compressedSize = 1;
             zip.entries[0].central.uncompressedSize = 10'001;
             return zip.relink().bytes();
         },
         ArchivePipelineError::invalidArchive("abnormal compression ratio at big.bin")},
        {"size smaller than the data",
         [&] {
             RawZipBuilder zip = entries({"a.txt"});
             zip.entries[0].central.uncompressedSize = 3;
             return zip.relink().bytes();
         },
         ArchivePipelineError::insufficientSpace()},
        {"size larger than the data",
         [&] {
             // Deflated, so only the count of what the stream delivers can tell.
             RawZipBuilder zip;
             test::RawZipEntry& entry = zip.addStored("a.txt", rawDeflate("data"));
             entry.local.method = entry.central.method = ZipFormat::methodDeflate;
             entry.local.crc32 = entry.central.crc32 = test::crc32Of("data");
             entry.central.uncompressedSize = 5;
             return zip.relink().bytes();
         },
         ArchivePipelineError::invalidArchive("entry size does not match: a.txt")},
        {"CRC-32 mismatch",
         [&] {
             RawZipBuilder zip = entries({"a.txt"});
             zip.entries[0].central.crc32 ^= 1;
             return zip.relink().bytes();
         },
         ArchivePipelineError::invalidArchive("zip library: CRC error")},
        {"entries sharing one stream",
         [&] {
             // The outer entry's data quotes the inner entry's local header and data, and the
             // inner central record points into it.
             RawZipBuilder zip;
             zip.addStored("inner.txt", test::textBytes(1000));
             RawZipBuilder shared;
             shared.addStored("outer.txt", zip.entries[0].local.encode() + zip.entries[0].data);
             shared.entries.push_back(zip.entries[0]);
             shared.relink();
             shared.entries[1].central.localHeaderOffset =
                 ZipFormat::localHeaderSize + std::string("outer.txt").size();
             return shared.bytes();
         },
         ArchivePipelineError::invalidArchive("entries share compressed data")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        const std::string out = root.file("out");
        makeFolder(out);
        writeFile(root.file("archive.zip"), c.archive());

        const std::optional<ArchivePipelineError> error =
            errorOf([&] { unpack(root.file("archive.zip"), out, nullptr, {}, roomy); });
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, c.expected) << error->detail();
        EXPECT_EQ(namesIn(root.path()), (std::vector<std::string>{"archive.zip", "out"}));
        EXPECT_EQ(namesIn(out), std::vector<std::string>{});
    }
}

TEST(ArchiveUnpackTest, KeepsToTheDestinationsLimits) {
    struct Case {
        const char* name;
        DestinationPolicyReader policy;
        std::uint64_t declaredSize;  // of the one file
        std::optional<ArchivePipelineError> expected;
    };
    const std::vector<Case> cases = {
        {"a 4 GiB file on FAT", policy("vfat", std::uint64_t{1} << 40), std::uint64_t{1} << 32,
         ArchivePipelineError::destinationFileTooLarge(
             ArchiveDestinationPolicy::fatMaximumFileBytes)},
        {"less room than the payload and its reserve", policy("ext4", 1'048'576), 4,
         ArchivePipelineError::insufficientSpace()},
        {"read-only volume", policy("ext4", std::uint64_t{1} << 40, true), 4,
         ArchivePipelineError::destinationReadOnly()},
        {"free space unknown", policy("ext4", std::nullopt), 4, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        const std::string out = root.file("out");
        makeFolder(out);
        RawZipBuilder zip;
        test::RawZipEntry& entry = zip.addStored("f.bin", "data");
        if (c.declaredSize > 0xFFFFFFFFu) {
            addSizes64(entry, c.declaredSize);
        }
        zip.relink().writeTo(root.file("archive.zip"));

        const auto run = [&] { unpack(root.file("archive.zip"), out, nullptr, {}, c.policy); };
        if (!c.expected) {
            run();
            EXPECT_EQ(readFile(out + "/archive/f.bin"), "data");
            continue;
        }
        const std::optional<ArchivePipelineError> error = errorOf(run);
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, *c.expected);
        EXPECT_EQ(namesIn(out), std::vector<std::string>{});
    }
}

TEST(ArchiveUnpackTest, BookkeepingFilesTakeNoNameInTheStage) {
    TempDir root;
    for (const bool allowUnnamed : {true, false}) {
        SCOPED_TRACE(allowUnnamed ? "O_TMPFILE" : "created and unlinked");
        StagingLease lease = makeStage(root.path(), "unpack");
        const UniqueFd file = createUnnamedStageFile(lease, "preflight.jsonl", allowUnnamed);
        posix::writeAll(file.get(), "row\n", 4);
        EXPECT_EQ(namesIn(lease.url()), std::vector<std::string>{});
        char back[4] = {};
        EXPECT_EQ(posix::preadAll(file.get(), back, sizeof back, 0), 4u);
        EXPECT_EQ(std::string(back, 4), "row\n");
        lease.remove(nullptr);
    }
}

}  // namespace
}  // namespace tolvane
