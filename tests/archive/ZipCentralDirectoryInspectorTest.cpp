#include "core/archive/ZipCentralDirectoryInspector.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ZipEntryName.h"
#include "core/archive/ZipFormat.h"
#include "core/common/Cancellation.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

namespace Inspector = ZipCentralDirectoryInspector;
using test::RawZipBuilder;
using test::TempDir;

constexpr std::uint64_t maxU64 = std::numeric_limits<std::uint64_t>::max();

// Three entries of the shapes a delivery ZIP holds: a file, a directory, a file inside it.
RawZipBuilder sample() {
    RawZipBuilder zip;
    zip.addStored("a.txt", "hello");
    zip.addDirectory("dir/");
    zip.addStored("dir/b.bin", std::string("\0\1\2", 3));
    zip.relink();
    return zip;
}

RawZipBuilder sample64() {
    RawZipBuilder zip = sample();
    zip.useZip64().relink();
    return zip;
}

struct Walk {
    std::uint64_t count = 0;
    std::vector<std::string> names;  // raw bytes
};

Walk inspectFile(const std::string& path) {
    Walk walk;
    walk.count = Inspector::entryCount(
        path, [] {}, [&](const ZipCentralEntry& entry) { walk.names.emplace_back(entry.name); });
    return walk;
}

// The archive as a file in a fresh directory, inspected by path and by descriptor; both ways must
// agree.
Walk inspectBytes(const std::string& bytes) {
    TempDir dir;
    const std::string path = dir.file("archive.zip");
    test::writeFile(path, bytes);
    const Walk byPath = inspectFile(path);
    const UniqueFd fd = posix::open(path, O_RDONLY);
    Walk byFd;
    byFd.count = Inspector::entryCount(
        fd.get(), {}, [&](const ZipCentralEntry& entry) { byFd.names.emplace_back(entry.name); });
    EXPECT_EQ(byFd.count, byPath.count);
    EXPECT_EQ(byFd.names, byPath.names);
    return byPath;
}

// Raw names as an independent reader sees them; a refusal fails the test.
std::vector<std::string> libzipNames(const std::string& path) {
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (archive == nullptr) {
        ADD_FAILURE() << "libzip refused the archive, error " << error;
        return {};
    }
    std::vector<std::string> names;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(archive, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        names.emplace_back(name != nullptr ? name : "<no name>");
    }
    zip_discard(archive);
    return names;
}

// ---------------------------------------------------------------------------------------------
// Layouts that must be refused, and how.

struct FailureCase {
    const char* label;
    std::function<std::string()> build;
    ArchivePipelineError expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.label;
}

class InspectorFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(InspectorFailureTest, Refuses) {
    const FailureCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("archive.zip");
    test::writeFile(path, c.build());
    try {
        (void)Inspector::entryCount(path, [] {});
        FAIL() << "accepted";
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(error, c.expected) << "got: " << error.detail();
    }
    // The descriptor form reaches the same verdict.
    const UniqueFd fd = posix::open(path, O_RDONLY);
    try {
        (void)Inspector::entryCount(
            fd.get(), [] {}, [](const ZipCentralEntry&) {});
        FAIL() << "accepted through a descriptor";
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(error, c.expected) << "got: " << error.detail();
    }
}

ArchivePipelineError invalid(const char* detail) {
    return ArchivePipelineError::invalidArchive(detail);
}

// A sample archive after the change, with offsets recomputed first when `relink` is set.
std::function<std::string()> classic(std::function<void(RawZipBuilder&)> change,
                                     bool relink = false) {
    return [=] {
        RawZipBuilder zip = sample();
        change(zip);
        if (relink) {
            zip.relink();
        }
        return zip.bytes();
    };
}

std::function<std::string()> zip64(std::function<void(RawZipBuilder&)> change,
                                   bool relink = false) {
    return [=] {
        RawZipBuilder zip = sample64();
        change(zip);
        if (relink) {
            zip.relink();
        }
        return zip.bytes();
    };
}

std::function<std::string()> truncated(std::function<RawZipBuilder()> make, std::size_t cut) {
    return [=] {
        const std::string bytes = make().bytes();
        return bytes.substr(0, bytes.size() - cut);
    };
}

// A ZIP64 end record whose length field claims 43 bytes, so the 56 bytes read from it reach into
// the locator that follows.
std::string zip64RecordOverlappingLocator() {
    RawZipBuilder zip = sample64();
    test::RawZip64EndRecord record = *zip.zip64End;
    record.sizeOfRest = 43;
    zip.zip64Locator->endRecordOffset = zip.zip64EndOffset();
    zip.zip64End.reset();
    zip.afterCentralDirectory = record.encode().substr(0, 55);
    return zip.bytes();
}

const FailureCase failureCases[] = {
    // The end record must be found, with its comment reaching the end of the file.
    {"EmptyFile", [] { return std::string(); }, invalid("missing end record")},
    {"ShorterThanAnEndRecord", truncated([] { return RawZipBuilder().relink(); }, 1),
     invalid("missing end record")},
    {"TailCutByOneByte", truncated(sample, 1), invalid("missing end record")},
    {"TailCutInsideEndRecord", truncated(sample, 11), invalid("missing end record")},
    {"EndRecordCutAway", truncated(sample, 22), invalid("missing end record")},
    {"Zip64TailCutByOneByte", truncated(sample64, 1), invalid("missing end record")},
    {"Zip64EndRecordCutAway", truncated(sample64, 22), invalid("missing end record")},
    {"ByteAfterEndRecord", classic([](auto& z) { z.trailing = "x"; }),
     invalid("missing end record")},
    {"BytesAfterComment", classic([](auto& z) {
         z.end.comment = "note";
         z.trailing = std::string(1, '\0');
     }),
     invalid("missing end record")},
    {"CommentLengthPastEndOfFile", classic([](auto& z) {
         z.end.comment = "note";
         z.end.commentLength = 5;
     }),
     invalid("missing end record")},
    {"CommentLengthShortOfEndOfFile", classic([](auto& z) {
         z.end.comment = "note";
         z.end.commentLength = 3;
     }),
     invalid("missing end record")},

    // Multi-volume archives.
    {"EndRecordDiskNumber", classic([](auto& z) { z.end.diskNumber = 1; }),
     invalid("multi-volume ZIP is not supported")},
    {"EndRecordCentralDirectoryDisk", classic([](auto& z) { z.end.centralDirectoryDisk = 1; }),
     invalid("multi-volume ZIP is not supported")},
    {"Zip64FormDiskNumber", zip64([](auto& z) { z.end.diskNumber = 0xFFFF; }),
     invalid("multi-volume ZIP is not supported")},
    {"EntriesOnDiskDifferFromTotal", classic([](auto& z) { z.end.entriesOnDisk = 2; }),
     invalid("inconsistent entry count")},

    // A ZIP64-marked end record needs its locator right before it.
    {"SizeMarkerWithoutLocator",
     classic([](auto& z) { z.end.centralDirectorySize = ZipFormat::zip64Marker32; }),
     invalid("missing ZIP64 locator")},
    {"OffsetMarkerWithoutLocator",
     classic([](auto& z) { z.end.centralDirectoryOffset = ZipFormat::zip64Marker32; }),
     invalid("missing ZIP64 locator")},
    {"Zip64RecordWithoutLocator", zip64([](auto& z) { z.zip64Locator.reset(); }, true),
     invalid("missing ZIP64 locator")},
    {"BytesBetweenLocatorAndEndRecord", zip64([](auto& z) { z.afterZip64Locator = "PK"; }, true),
     invalid("missing ZIP64 locator")},
    {"LocatorBeforeCentralDirectory",
     zip64(
         [](auto& z) {
             z.beforeCentralDirectory = z.zip64Locator->encode();
             z.zip64Locator.reset();
         },
         true),
     invalid("missing ZIP64 locator")},
    {"MarkedEndRecordAtStartOfFile",
     [] {
         test::RawEndRecord end;
         end.centralDirectoryOffset = ZipFormat::zip64Marker32;
         return end.encode();
     },
     invalid("missing ZIP64 locator")},
    {"LocatorDisk", zip64([](auto& z) { z.zip64Locator->endRecordDisk = 1; }),
     invalid("invalid ZIP64 locator")},
    {"LocatorNoDisks", zip64([](auto& z) { z.zip64Locator->totalDisks = 0; }),
     invalid("invalid ZIP64 locator")},
    {"LocatorTwoDisks", zip64([](auto& z) { z.zip64Locator->totalDisks = 2; }),
     invalid("invalid ZIP64 locator")},

    // The ZIP64 end record: inside the file, well formed, adjacent to the locator.
    {"Zip64OffsetAtEndOfFile",
     zip64([](auto& z) { z.zip64Locator->endRecordOffset = z.bytes().size(); }),
     invalid("invalid ZIP64 end record offset")},
    {"Zip64OffsetLeavesFiftyFiveBytes",
     zip64([](auto& z) { z.zip64Locator->endRecordOffset = z.bytes().size() - 55; }),
     invalid("invalid ZIP64 end record offset")},
    {"Zip64OffsetHuge", zip64([](auto& z) { z.zip64Locator->endRecordOffset = maxU64; }),
     invalid("invalid ZIP64 end record offset")},
    {"Zip64OffsetAtLocalHeader", zip64([](auto& z) { z.zip64Locator->endRecordOffset = 0; }),
     invalid("invalid ZIP64 end record")},
    {"Zip64Signature", zip64([](auto& z) { z.zip64End->signature = 0x06064b51; }),
     invalid("invalid ZIP64 end record")},
    {"Zip64DiskNumber", zip64([](auto& z) { z.zip64End->diskNumber = 1; }),
     invalid("invalid ZIP64 end record")},
    {"Zip64CentralDirectoryDisk", zip64([](auto& z) { z.zip64End->centralDirectoryDisk = 1; }),
     invalid("invalid ZIP64 end record")},
    {"Zip64EntriesOnDiskDiffer", zip64([](auto& z) { z.zip64End->entriesOnDisk = 2; }),
     invalid("invalid ZIP64 end record")},
    {"Zip64RestSizeOverlapsLocator", zip64RecordOverlappingLocator,
     invalid("invalid ZIP64 end record length")},
    {"Zip64RestSizeOneTooLarge", zip64([](auto& z) { z.zip64End->sizeOfRest = 45; }),
     invalid("invalid ZIP64 end record length")},
    {"Zip64RestSizeOverflows", zip64([](auto& z) { z.zip64End->sizeOfRest = maxU64; }),
     invalid("invalid ZIP64 end record length")},
    {"BytesBetweenZip64RecordAndLocator", zip64([](auto& z) { z.afterZip64End = "gap!"; }, true),
     invalid("invalid ZIP64 end record length")},
    {"Zip64ExtensibleDataNotCounted", zip64([](auto& z) {
         z.zip64End->extensibleData = "more";
         z.relink();
         z.zip64End->sizeOfRest = 44;
     }),
     invalid("invalid ZIP64 end record length")},

    // Classic fields that are not markers must agree with the ZIP64 record.
    {"ClassicCountsDisagree", zip64([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 2; }),
     invalid("inconsistent ZIP64 values")},
    {"ClassicSizeDisagrees", zip64([](auto& z) {
         z.end.centralDirectorySize = static_cast<std::uint32_t>(z.centralDirectorySize() + 1);
     }),
     invalid("inconsistent ZIP64 values")},
    {"ClassicOffsetDisagrees", zip64([](auto& z) { z.end.centralDirectoryOffset = 0; }),
     invalid("inconsistent ZIP64 values")},

    // More than 1,000,000 entries, from the header fields alone.
    {"Zip64OneMillionAndOneEntries",
     zip64([](auto& z) { z.zip64End->entriesOnDisk = z.zip64End->totalEntries = 1'000'001; }),
     ArchivePipelineError::tooManyEntries()},
    {"Zip64HugeEntryCount",
     zip64([](auto& z) { z.zip64End->entriesOnDisk = z.zip64End->totalEntries = maxU64; }),
     ArchivePipelineError::tooManyEntries()},
    // Exactly the limit is allowed through to the walk, which then finds the records missing.
    {"Zip64OneMillionEntriesClaimed",
     zip64([](auto& z) { z.zip64End->entriesOnDisk = z.zip64End->totalEntries = 1'000'000; }),
     invalid("central directory entry")},

    // The central directory must lie before the end records that describe it.
    {"ClassicSizeRunsIntoEndRecord", classic([](auto& z) { z.end.centralDirectorySize += 1; }),
     invalid("central directory bounds")},
    {"ClassicOffsetAfterEndRecord", classic([](auto& z) {
         z.end.centralDirectoryOffset = static_cast<std::uint32_t>(z.endRecordOffset() + 1);
         z.end.centralDirectorySize = 0;
     }),
     invalid("central directory bounds")},
    {"ClassicOffsetBeyondFile", classic([](auto& z) { z.end.centralDirectoryOffset = 0xFFFFFFF0; }),
     invalid("central directory bounds")},
    {"Zip64SizeRunsIntoZip64Record", zip64([](auto& z) { z.zip64End->centralDirectorySize += 1; }),
     invalid("central directory bounds")},
    {"Zip64SizeOverflows", zip64([](auto& z) { z.zip64End->centralDirectorySize = maxU64; }),
     invalid("central directory bounds")},
    {"Zip64OffsetBeyondFile", zip64([](auto& z) {
         z.zip64End->centralDirectoryOffset = std::uint64_t{1} << 40;
         z.zip64End->centralDirectorySize = 0;
     }),
     invalid("central directory bounds")},

    // Records that are not where the directory says.
    {"OffsetOneByteEarly", classic([](auto& z) {
         z.end.centralDirectoryOffset -= 1;
         z.end.centralDirectorySize += 1;
     }),
     invalid("central directory entry")},
    {"MoreEntriesThanRecords",
     classic([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 4; }),
     invalid("central directory entry")},
    {"EmptyDirectoryClaimingAnEntry",
     [] {
         RawZipBuilder zip;
         zip.relink();
         zip.end.entriesOnDisk = zip.end.totalEntries = 1;
         return zip.bytes();
     },
     invalid("central directory entry")},
    {"BytesBetweenCentralRecords",
     classic([](auto& z) { z.entries[0].afterCentralRecord = "JUNK"; }, true),
     invalid("central directory entry")},
    {"LocalSignatureInCentralDirectory",
     classic([](auto& z) { z.entries[1].central.signature = ZipFormat::localHeaderSignature; }),
     invalid("central directory entry")},

    // Entries the extraction cannot honour.
    {"EncryptedStoredEntry", classic([](auto& z) { z.entries[2].central.flags |= 0x0001; }),
     ArchivePipelineError::unsupportedArchiveEntry("encrypted entry")},
    {"StrongEncryption", classic([](auto& z) { z.entries[0].central.flags |= 0x0040; }),
     ArchivePipelineError::unsupportedArchiveEntry("encrypted entry")},
    {"MaskedCentralDirectory", classic([](auto& z) { z.entries[1].central.flags |= 0x2000; }),
     ArchivePipelineError::unsupportedArchiveEntry("encrypted entry")},
    {"MethodBzip2", classic([](auto& z) { z.entries[0].central.method = 12; }),
     invalid("unsupported compression or split entry")},
    {"MethodDeflate64", classic([](auto& z) { z.entries[0].central.method = 9; }),
     invalid("unsupported compression or split entry")},
    {"MethodAes", classic([](auto& z) { z.entries[2].central.method = 99; }),
     invalid("unsupported compression or split entry")},
    {"MethodDeflateWithHighBits", classic([](auto& z) { z.entries[0].central.method = 0x0108; }),
     invalid("unsupported compression or split entry")},
    {"SplitEntry", classic([](auto& z) { z.entries[1].central.diskNumberStart = 1; }),
     invalid("unsupported compression or split entry")},

    // Records that run past the directory, or do not fill it.
    {"NameLengthPastDirectory", classic([](auto& z) {
         z.entries[2].central.nameLength =
             static_cast<std::uint16_t>(z.entries[2].central.name.size() + 1);
     }),
     invalid("central directory entry length")},
    {"CommentLengthPastDirectory",
     classic([](auto& z) { z.entries[0].central.commentLength = 0xFFFF; }),
     invalid("central directory entry length")},
    {"SizeOneByteShort", classic([](auto& z) { z.end.centralDirectorySize -= 1; }),
     invalid("central directory entry length")},
    {"SizeOneByteLarger", classic([](auto& z) { z.entries[2].afterCentralRecord = "X"; }, true),
     invalid("central directory size does not match entries")},
    {"FewerEntriesThanRecords",
     classic([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 2; }),
     invalid("central directory size does not match entries")},
    {"Zip64FewerEntriesThanRecords",
     zip64([](auto& z) { z.zip64End->entriesOnDisk = z.zip64End->totalEntries = 2; }),
     invalid("central directory size does not match entries")},
};

INSTANTIATE_TEST_SUITE_P(Layouts, InspectorFailureTest, ::testing::ValuesIn(failureCases),
                         [](const ::testing::TestParamInfo<FailureCase>& info) {
                             return info.param.label;
                         });

// ---------------------------------------------------------------------------------------------
// Layouts that must be accepted. Honest ones are also opened by libzip, which proves the
// fixture is a real archive and not one only this inspector believes in.

struct AcceptedCase {
    const char* label;
    std::function<RawZipBuilder()> build;
    std::vector<std::string> names;
    bool independentReader = true;
};

void PrintTo(const AcceptedCase& c, std::ostream* os) {
    *os << c.label;
}

class InspectorAcceptedTest : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(InspectorAcceptedTest, Accepts) {
    const AcceptedCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("archive.zip");
    c.build().writeTo(path);
    const Walk walk = inspectBytes(test::readFile(path));
    EXPECT_EQ(walk.count, c.names.size());
    EXPECT_EQ(walk.names, c.names);
    if (c.independentReader) {
        EXPECT_EQ(libzipNames(path), c.names);
    }
}

const std::vector<std::string> sampleNames = {"a.txt", "dir/", "dir/b.bin"};

std::function<RawZipBuilder()> changed(std::function<RawZipBuilder()> make,
                                       std::function<void(RawZipBuilder&)> change) {
    return [=] {
        RawZipBuilder zip = make();
        change(zip);
        return zip;
    };
}

const AcceptedCase acceptedCases[] = {
    {"EmptyArchive", [] { return RawZipBuilder().relink(); }, {}},
    {"Classic", sample, sampleNames},
    {"ClassicWithComment", changed(sample, [](auto& z) { z.end.comment = "delivery"; }),
     sampleNames},
    // The tail window is exactly large enough for the longest comment.
    {"LongestComment", changed(sample, [](auto& z) { z.end.comment = std::string(65535, 'c'); }),
     sampleNames},
    // A comment that itself looks like an end record does not end the file, so it is skipped.
    {"CommentHoldingAnEndRecordSignature",
     changed(sample, [](auto& z) { z.end.comment = test::RawEndRecord().encode() + "tail"; }),
     sampleNames},
    {"Zip64Form", sample64, sampleNames},
    {"Zip64WithLongestComment",
     changed(sample64, [](auto& z) { z.end.comment = std::string(65535, 'c'); }), sampleNames},
    {"Zip64WithExtensibleData",
     changed(sample64,
             [](auto& z) {
                 z.zip64End->extensibleData = std::string(
                     "\x01\x00\x04\x00"
                     "abcd",
                     8);
                 z.relink();
             }),
     sampleNames},
    {"Zip64WithRealClassicValues",
     changed(sample64,
             [](auto& z) {
                 z.end.entriesOnDisk = z.end.totalEntries = 3;
                 z.end.centralDirectorySize = static_cast<std::uint32_t>(z.centralDirectorySize());
                 z.end.centralDirectoryOffset =
                     static_cast<std::uint32_t>(z.centralDirectoryOffset());
             }),
     sampleNames},
    {"Zip64OnlyOffsetMarked",
     changed(sample64,
             [](auto& z) {
                 z.end.entriesOnDisk = z.end.totalEntries = 3;
                 z.end.centralDirectorySize = static_cast<std::uint32_t>(z.centralDirectorySize());
             }),
     sampleNames},
    {"SelfExtractorStub",
     changed(sample,
             [](auto& z) {
                 z.prefix = "#!/bin/sh\nexit 0\n";
                 z.relink();
             }),
     sampleNames},
    {"DataBeforeCentralDirectory",
     changed(sample,
             [](auto& z) {
                 z.beforeCentralDirectory = "padding";
                 z.relink();
             }),
     sampleNames},
    {"EntryCommentsAndExtraFields",
     changed(sample,
             [](auto& z) {
                 z.entries[0].central.comment = "first";
                 z.entries[1].central.extra = std::string("\x7D\xF1\x02\x00xy", 6);
                 z.entries[1].local.extra = z.entries[1].central.extra;
                 z.relink();
             }),
     sampleNames},
    // The inspector does not look at the data: a deflate entry with a data descriptor flag and
    // a legacy (code page 437) name is fine as far as the directory goes.
    {"DeflateAndLegacyName",
     [] {
         RawZipBuilder zip = sample();
         zip.entries[0].central.method = ZipFormat::methodDeflate;
         zip.entries[0].central.flags = ZipFormat::flagDataDescriptor;
         zip.entries[0].central.name = "\x80.txt";
         return zip.relink();
     },
     {"\x80.txt", "dir/", "dir/b.bin"},
     false},
};

INSTANTIATE_TEST_SUITE_P(Layouts, InspectorAcceptedTest, ::testing::ValuesIn(acceptedCases),
                         [](const ::testing::TestParamInfo<AcceptedCase>& info) {
                             return info.param.label;
                         });

// 65,535 entries: the count fields hold 0xFFFF, which is only a marker when a locator says so.
TEST(ZipCentralDirectoryInspectorTest, SixtyFiveThousandFiveHundredThirtyFiveEntries) {
    RawZipBuilder classicZip;
    for (int i = 0; i < 65535; ++i) {
        classicZip.addStored("f" + std::to_string(i), {});
    }
    classicZip.relink();
    ASSERT_EQ(classicZip.end.totalEntries, 0xFFFF);
    RawZipBuilder zip64Zip = classicZip;
    zip64Zip.useZip64().relink();

    for (const RawZipBuilder* zip : {&classicZip, &zip64Zip}) {
        TempDir dir;
        const std::string path = dir.file("many.zip");
        zip->writeTo(path);
        const Walk walk = inspectFile(path);
        EXPECT_EQ(walk.count, 65535u);
        ASSERT_EQ(walk.names.size(), 65535u);
        EXPECT_EQ(walk.names.back(), "f65534");
        EXPECT_EQ(libzipNames(path), walk.names);
    }
}

// ---------------------------------------------------------------------------------------------
// The walk's contract with its caller.

TEST(ZipCentralDirectoryInspectorTest, HandsEveryRecordToTheCallerInDirectoryOrder) {
    RawZipBuilder zip = sample();
    zip.entries[0].central.time = 0x6C21;
    zip.entries[0].central.date = 0x5A8F;
    zip.entries[0].central.comment = "never handed over";
    zip.entries[1].central.flags = 0;
    zip.entries[1].central.name = "\x8E\x94/";  // legacy name
    zip.entries[2].central.extra = std::string("\x7D\xF1\x03\x00xyz", 7);
    zip.relink();

    struct Seen {
        std::string name;
        std::uint16_t flags;
        std::string extra;
        std::string record;
    };
    std::vector<Seen> seen;
    TempDir dir;
    zip.writeTo(dir.file("a.zip"));
    const std::uint64_t count = Inspector::entryCount(
        dir.file("a.zip"), [] {},
        [&](const ZipCentralEntry& entry) {
            seen.push_back({std::string(entry.name), entry.flags, std::string(entry.extraField),
                            std::string(entry.centralRecord)});
        });

    ASSERT_EQ(count, 3u);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].name, "a.txt");
    EXPECT_EQ(seen[1].name, "\x8E\x94/");
    EXPECT_EQ(ZipEntryName::decode(seen[1].name, seen[1].flags), "Äö/");
    EXPECT_EQ(seen[2].name, "dir/b.bin");
    EXPECT_EQ(seen[0].flags, ZipFormat::flagUTF8);
    EXPECT_EQ(seen[1].flags, 0);
    EXPECT_EQ(seen[0].extra, "");
    EXPECT_EQ(seen[2].extra, zip.entries[2].central.extra);
    for (std::size_t i = 0; i < seen.size(); ++i) {
        // The fixed part is handed over byte for byte.
        EXPECT_EQ(seen[i].record, zip.entries[i].central.encode().substr(0, 46)) << i;
    }
    const auto* record = reinterpret_cast<const unsigned char*>(seen[0].record.data());
    EXPECT_EQ(ZipFormat::get16(record + 12), 0x6C21);
    EXPECT_EQ(ZipFormat::get16(record + 14), 0x5A8F);
    EXPECT_EQ(ZipFormat::get32(record + 38), 0100644u << 16);
}

TEST(ZipCentralDirectoryInspectorTest, ChecksCancellationBeforeEveryRecord) {
    TempDir dir;
    sample().writeTo(dir.file("a.zip"));

    int checks = 0;
    int entries = 0;
    EXPECT_EQ(Inspector::entryCount(
                  dir.file("a.zip"), [&] { EXPECT_EQ(checks++, entries); },
                  [&](const ZipCentralEntry&) { ++entries; }),
              3u);
    EXPECT_EQ(checks, 3);

    checks = entries = 0;
    EXPECT_THROW(Inspector::entryCount(
                     dir.file("a.zip"),
                     [&] {
                         if (++checks == 2) {
                             throw OperationCancelled();
                         }
                     },
                     [&](const ZipCentralEntry&) { ++entries; }),
                 OperationCancelled);
    EXPECT_EQ(entries, 1);
}

TEST(ZipCentralDirectoryInspectorTest, CallbackErrorsEndTheWalkUnchanged) {
    struct Refused {
        std::string name;
    };
    TempDir dir;
    sample().writeTo(dir.file("a.zip"));
    int calls = 0;
    try {
        (void)Inspector::entryCount(
            dir.file("a.zip"), [] {},
            [&](const ZipCentralEntry& entry) {
                if (++calls == 2) {
                    throw Refused{std::string(entry.name)};
                }
            });
        FAIL() << "the callback's error was swallowed";
    } catch (const Refused& refused) {
        EXPECT_EQ(refused.name, "dir/");
    }
    EXPECT_EQ(calls, 2);
}

TEST(ZipCentralDirectoryInspectorTest, RefusesTooManyEntriesBeforeReadingAnyRecord) {
    RawZipBuilder zip = sample64();
    zip.zip64End->entriesOnDisk = zip.zip64End->totalEntries = 1'000'001;
    TempDir dir;
    zip.writeTo(dir.file("a.zip"));
    int checks = 0;
    EXPECT_THROW(Inspector::entryCount(dir.file("a.zip"), [&] { ++checks; }), ArchivePipelineError);
    EXPECT_EQ(checks, 0);
}

TEST(ZipCentralDirectoryInspectorTest, LeavesTheDescriptorOffsetAlone) {
    TempDir dir;
    sample().writeTo(dir.file("a.zip"));
    const UniqueFd fd = posix::open(dir.file("a.zip"), O_RDONLY);
    ASSERT_EQ(::lseek(fd.get(), 7, SEEK_SET), 7);
    EXPECT_EQ(Inspector::entryCount(fd.get(), {}), 3u);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 7);
}

TEST(ZipCentralDirectoryInspectorTest, FileSystemErrorsPassUnchanged) {
    TempDir dir;
    const auto errnoOf = [](const std::function<void()>& run) {
        try {
            run();
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().category(), std::generic_category());
            return error.code().value();
        }
        return 0;
    };
    EXPECT_EQ(errnoOf([&] { (void)Inspector::entryCount(dir.file("missing.zip"), {}); }), ENOENT);
    EXPECT_EQ(errnoOf([&] { (void)Inspector::entryCount(dir.path(), {}); }), EISDIR);

    sample().writeTo(dir.file("a.zip"));
    const UniqueFd writeOnly = posix::open(dir.file("a.zip"), O_WRONLY);
    EXPECT_EQ(errnoOf([&] { (void)Inspector::entryCount(writeOnly.get(), {}); }), EBADF);
}

// Exit statuses of a child that ran one inspection (an errno value otherwise).
constexpr int inspectedWithoutError = 200;
constexpr int failedOtherwise = 201;

// Runs the inspection in a forked child under an alarm, so one that blocks (a FIFO opened for
// reading waits for a writer) fails the test instead of hanging it. Returns the errno of the
// child's std::system_error, or one of the statuses above.
int errnoInChild(const std::function<void()>& inspect) {
    const pid_t child = ::fork();
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        return -1;
    }
    if (child == 0) {
        ::alarm(20);
        int status = inspectedWithoutError;
        try {
            inspect();
        } catch (const std::system_error& error) {
            status = error.code().category() == std::generic_category() ? error.code().value()
                                                                        : failedOtherwise;
        } catch (...) {
            status = failedOtherwise;
        }
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            ADD_FAILURE() << "waitpid failed";
            return -1;
        }
    }
    if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "the inspection was ended by signal " << WTERMSIG(status)
                      << (WTERMSIG(status) == SIGALRM ? " (it blocked)" : "");
        return -1;
    }
    return WEXITSTATUS(status);
}

// Only a regular file reached without a link is inspected; anything else fails at once.
TEST(ZipCentralDirectoryInspectorTest, RefusesWhatIsNotARegularFileWithoutBlocking) {
    TempDir dir;
    sample().writeTo(dir.file("a.zip"));
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("a.zip", dir.file("link.zip").c_str()), 0);
    ASSERT_EQ(::symlink("fifo", dir.file("link-to-fifo").c_str()), 0);
    ASSERT_EQ(::symlink("missing.zip", dir.file("dangling.zip").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);

    const auto byPath = [&](const std::string& name) {
        return [&dir, name] { (void)Inspector::entryCount(dir.file(name), {}); };
    };
    // The descriptor is opened in the child, without blocking, so only the inspector's own check
    // is under test.
    const auto byDescriptor = [&](const std::string& name) {
        return [&dir, name] {
            const UniqueFd fd = posix::open(dir.file(name), O_RDONLY | O_NONBLOCK);
            (void)Inspector::entryCount(fd.get(), {});
        };
    };
    struct Case {
        const char* label;
        std::function<void()> inspect;
        int expected;
    };
    const Case cases[] = {
        {"regular file", byPath("a.zip"), inspectedWithoutError},
        {"FIFO", byPath("fifo"), EINVAL},
        {"link to the archive", byPath("link.zip"), ELOOP},
        {"link to a FIFO", byPath("link-to-fifo"), ELOOP},
        {"dangling link", byPath("dangling.zip"), ELOOP},
        {"directory", byPath("folder"), EISDIR},
        {"character device", [] { (void)Inspector::entryCount("/dev/null", {}); }, EINVAL},
        {"FIFO descriptor", byDescriptor("fifo"), EINVAL},
        {"directory descriptor", byDescriptor("folder"), EISDIR},
        {"regular file descriptor", byDescriptor("a.zip"), inspectedWithoutError},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(errnoInChild(c.inspect), c.expected) << c.label;
    }
}

// ---------------------------------------------------------------------------------------------
// Archives written by an independent tool.

bool haveZipTool() {
    return std::system("command -v zip >/dev/null 2>&1") == 0;
}

TEST(ZipCentralDirectoryInspectorTest, AcceptsArchivesWrittenByInfoZip) {
    if (!haveZipTool()) {
        GTEST_SKIP() << "the zip tool is not installed";
    }
    TempDir dir;
    ::mkdir(dir.file("sub").c_str(), 0755);
    test::writeFile(dir.file("a.txt"), "hello\n");
    test::writeFile(dir.file("sub/b.txt"), std::string(100000, 'b'));

    struct Variant {
        const char* label;
        const char* command;  // run inside the directory
        std::vector<std::string> names;
    };
    const Variant variants[] = {
        {"plain", "zip -q -X -r out.zip a.txt sub", {"a.txt", "sub/", "sub/b.txt"}},
        {"forced ZIP64", "zip -q -X -r -fz out.zip a.txt sub", {"a.txt", "sub/", "sub/b.txt"}},
        {"streamed", "zip -q -X - a.txt sub/b.txt > out.zip", {"a.txt", "sub/b.txt"}},
        {"commented",
         "zip -q -X -r out.zip a.txt sub && echo note | zip -q -z out.zip",
         {"a.txt", "sub/", "sub/b.txt"}},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.label);
        ::unlink(dir.file("out.zip").c_str());
        const std::string command = "cd '" + dir.path() + "' && LC_ALL=C " + v.command;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const Walk walk = inspectFile(dir.file("out.zip"));
        EXPECT_EQ(walk.count, v.names.size());
        EXPECT_EQ(walk.names, v.names);
    }
}

}  // namespace
}  // namespace tolvane
