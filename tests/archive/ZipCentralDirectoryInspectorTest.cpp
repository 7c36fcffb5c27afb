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

// Inspected by path and by descriptor; both ways must agree.
Walk inspect(const std::string& path) {
    Walk byPath;
    Walk byFd;
    byPath.count = Inspector::entryCount(
        path, [] {}, [&](const ZipCentralEntry& entry) { byPath.names.emplace_back(entry.name); });
    const UniqueFd fd = posix::open(path, O_RDONLY);
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

using Build = std::function<std::string()>;

const auto invalid = [](const char* detail) {
    return ArchivePipelineError::invalidArchive(detail);
};

// A sample archive after the change, with offsets recomputed first when `relink` is set.
Build edited(RawZipBuilder (*base)(), std::function<void(RawZipBuilder&)> change,
             bool relink = false) {
    return [=] {
        RawZipBuilder zip = base();
        change(zip);
        return relink ? zip.relink().bytes() : zip.bytes();
    };
}
using Change = std::function<void(RawZipBuilder&)>;
const auto classic = [](Change change) { return edited(sample, std::move(change)); };
const auto zip64 = [](Change change) { return edited(sample64, std::move(change)); };
const auto classicRelinked = [](Change change) { return edited(sample, std::move(change), true); };
const auto zip64Relinked = [](Change change) { return edited(sample64, std::move(change), true); };

// The ZIP64 end record claims `count` entries.
Build withZip64Entries(std::uint64_t count) {
    return zip64(
        [count](auto& z) { z.zip64End->entriesOnDisk = z.zip64End->totalEntries = count; });
}

Build truncated(RawZipBuilder (*base)(), std::size_t cut) {
    return [=] {
        const std::string bytes = base().bytes();
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

struct FailureCase {
    Build build;
    ArchivePipelineError expected;
};

// The failures, by what they are reported as.
const ArchivePipelineError noEndRecord = invalid("missing end record");
const ArchivePipelineError multiVolume = invalid("multi-volume ZIP is not supported");
const ArchivePipelineError entryCountDiffers = invalid("inconsistent entry count");
const ArchivePipelineError noLocator = invalid("missing ZIP64 locator");
const ArchivePipelineError badLocator = invalid("invalid ZIP64 locator");
const ArchivePipelineError badZip64Offset = invalid("invalid ZIP64 end record offset");
const ArchivePipelineError badZip64Record = invalid("invalid ZIP64 end record");
const ArchivePipelineError badZip64Length = invalid("invalid ZIP64 end record length");
const ArchivePipelineError zip64Disagrees = invalid("inconsistent ZIP64 values");
const ArchivePipelineError outOfBounds = invalid("central directory bounds");
const ArchivePipelineError badEntry = invalid("central directory entry");
const ArchivePipelineError encrypted =
    ArchivePipelineError::unsupportedArchiveEntry("encrypted entry");
const ArchivePipelineError unsupported = invalid("unsupported compression or split entry");
const ArchivePipelineError badEntryLength = invalid("central directory entry length");
const ArchivePipelineError sizeMismatch = invalid("central directory size does not match entries");

const FailureCase failureCases[] = {
    // The end record must be found, with its comment reaching the end of the file.
    {[] { return std::string(); }, noEndRecord},
    {truncated([] { return RawZipBuilder().relink(); }, 1), noEndRecord},
    {truncated(sample, 1), noEndRecord},
    {truncated(sample, 22), noEndRecord},
    {truncated(sample64, 22), noEndRecord},
    {classic([](auto& z) { z.trailing = "x"; }), noEndRecord},
    {classic([](auto& z) { z.end.commentLength = 1; }), noEndRecord},
    {classic([](auto& z) {
         z.end.comment = "note";
         z.end.commentLength = 3;
     }),
     noEndRecord},

    // Multi-volume archives.
    {classic([](auto& z) { z.end.diskNumber = 1; }), multiVolume},
    {classic([](auto& z) { z.end.centralDirectoryDisk = 1; }), multiVolume},
    {zip64([](auto& z) { z.end.diskNumber = 0xFFFF; }), multiVolume},
    {classic([](auto& z) { z.end.entriesOnDisk = 2; }), entryCountDiffers},

    // A ZIP64-marked end record needs its locator right before it.
    {classic([](auto& z) { z.end.centralDirectoryOffset = ZipFormat::zip64Marker32; }), noLocator},
    {zip64Relinked([](auto& z) { z.zip64Locator.reset(); }), noLocator},
    {zip64Relinked([](auto& z) { z.afterZip64Locator = "PK"; }), noLocator},
    {zip64([](auto& z) {
         z.beforeCentralDirectory = z.zip64Locator->encode();
         z.zip64Locator.reset();
         z.relink();
     }),
     noLocator},
    {edited([] { return RawZipBuilder(); },
            [](auto& z) { z.end.centralDirectoryOffset = ZipFormat::zip64Marker32; }),
     noLocator},
    {zip64([](auto& z) { z.zip64Locator->endRecordDisk = 1; }), badLocator},
    {zip64([](auto& z) { z.zip64Locator->totalDisks = 0; }), badLocator},
    {zip64([](auto& z) { z.zip64Locator->totalDisks = 2; }), badLocator},

    // The ZIP64 end record: inside the file, well formed, adjacent to the locator.
    {zip64([](auto& z) { z.zip64Locator->endRecordOffset = z.bytes().size() - 55; }),
     badZip64Offset},
    {zip64([](auto& z) { z.zip64Locator->endRecordOffset = maxU64; }), badZip64Offset},
    {zip64([](auto& z) { z.zip64Locator->endRecordOffset = 0; }), badZip64Record},
    {zip64([](auto& z) { z.zip64End->signature = 0x06064b51; }), badZip64Record},
    {zip64([](auto& z) { z.zip64End->diskNumber = 1; }), badZip64Record},
    {zip64([](auto& z) { z.zip64End->centralDirectoryDisk = 1; }), badZip64Record},
    {zip64([](auto& z) { z.zip64End->entriesOnDisk = 2; }), badZip64Record},
    {zip64RecordOverlappingLocator, badZip64Length},
    {zip64([](auto& z) { z.zip64End->sizeOfRest = 45; }), badZip64Length},
    {zip64([](auto& z) { z.zip64End->sizeOfRest = maxU64; }), badZip64Length},
    {zip64Relinked([](auto& z) { z.afterZip64End = "gap!"; }), badZip64Length},
    {zip64([](auto& z) {
         z.zip64End->extensibleData = "more";
         z.relink();
         z.zip64End->sizeOfRest = 44;
     }),
     badZip64Length},

    // Classic fields that are not markers must agree with the ZIP64 record.
    {zip64([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 2; }), zip64Disagrees},
    {zip64([](auto& z) {
         z.end.centralDirectorySize = static_cast<std::uint32_t>(z.centralDirectorySize() + 1);
     }),
     zip64Disagrees},
    {zip64([](auto& z) { z.end.centralDirectoryOffset = 0; }), zip64Disagrees},

    // More than 1,000,000 entries, from the header fields alone. Exactly the limit is allowed
    // through to the walk, which then finds the records missing.
    {withZip64Entries(1'000'001), ArchivePipelineError::tooManyEntries()},
    {withZip64Entries(maxU64), ArchivePipelineError::tooManyEntries()},
    {withZip64Entries(1'000'000), badEntry},

    // The central directory must lie before the end records that describe it.
    {classic([](auto& z) { z.end.centralDirectorySize += 1; }), outOfBounds},
    {classic([](auto& z) {
         z.end.centralDirectoryOffset = static_cast<std::uint32_t>(z.endRecordOffset() + 1);
         z.end.centralDirectorySize = 0;
     }),
     outOfBounds},
    {zip64([](auto& z) { z.zip64End->centralDirectorySize += 1; }), outOfBounds},
    {zip64([](auto& z) { z.zip64End->centralDirectorySize = maxU64; }), outOfBounds},
    {zip64([](auto& z) {
         z.zip64End->centralDirectoryOffset = std::uint64_t{1} << 40;
         z.zip64End->centralDirectorySize = 0;
     }),
     outOfBounds},

    // Records that are not where the directory says.
    {classic([](auto& z) {
         z.end.centralDirectoryOffset -= 1;
         z.end.centralDirectorySize += 1;
     }),
     badEntry},
    {classic([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 4; }), badEntry},
    {edited([] { return RawZipBuilder().relink(); },
            [](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 1; }),
     badEntry},
    {classicRelinked([](auto& z) { z.entries[0].afterCentralRecord = "JUNK"; }), badEntry},
    {classic([](auto& z) { z.entries[1].central.signature = ZipFormat::localHeaderSignature; }),
     badEntry},

    // Entries the extraction cannot honour.
    {classic([](auto& z) { z.entries[2].central.flags |= 0x0001; }), encrypted},
    {classic([](auto& z) { z.entries[0].central.flags |= 0x0040; }), encrypted},
    {classic([](auto& z) { z.entries[1].central.flags |= 0x2000; }), encrypted},
    {classic([](auto& z) { z.entries[0].central.method = 9; }), unsupported},
    {classic([](auto& z) { z.entries[0].central.method = 0x0108; }), unsupported},
    {classic([](auto& z) { z.entries[1].central.diskNumberStart = 1; }), unsupported},

    // Records that run past the directory, or do not fill it.
    {classic([](auto& z) {
         z.entries[2].central.nameLength =
             static_cast<std::uint16_t>(z.entries[2].central.name.size() + 1);
     }),
     badEntryLength},
    {classic([](auto& z) { z.entries[0].central.commentLength = 0xFFFF; }), badEntryLength},
    {classic([](auto& z) { z.end.centralDirectorySize -= 1; }), badEntryLength},
    {classicRelinked([](auto& z) { z.entries[2].afterCentralRecord = "X"; }), sizeMismatch},
    {classic([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 2; }), sizeMismatch},
    {withZip64Entries(2), sizeMismatch},
};

TEST(ZipCentralDirectoryInspectorTest, RefusesHostileLayouts) {
    TempDir dir;
    const std::string path = dir.file("archive.zip");
    for (const FailureCase& c : failureCases) {
        SCOPED_TRACE("case " + std::to_string(&c - failureCases));
        test::writeFile(path, c.build());
        const UniqueFd fd = posix::open(path, O_RDONLY);
        // The descriptor form reaches the same verdict.
        for (const bool byDescriptor : {false, true}) {
            try {
                (void)(byDescriptor ? Inspector::entryCount(fd.get(), [] {}, {})
                                    : Inspector::entryCount(path, [] {}));
                ADD_FAILURE() << "accepted";
            } catch (const ArchivePipelineError& error) {
                EXPECT_EQ(error, c.expected) << "got: " << error.detail();
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Layouts that must be accepted. Honest ones are also opened by libzip, which proves the
// fixture is a real archive and not one only this inspector believes in.

const std::vector<std::string> sampleNames = {"a.txt", "dir/", "dir/b.bin"};

struct AcceptedCase {
    const char* label;
    Build build;
    std::vector<std::string> names = sampleNames;
    bool independentReader = true;
};

const AcceptedCase acceptedCases[] = {
    {"EmptyArchive", [] { return RawZipBuilder().relink().bytes(); }, {}},
    // The tail window is exactly large enough for the longest comment.
    {"LongestComment", classic([](auto& z) { z.end.comment = std::string(65535, 'c'); })},
    // A comment that itself looks like an end record does not end the file, so it is skipped.
    {"CommentHoldingAnEndRecordSignature",
     classic([](auto& z) { z.end.comment = test::RawEndRecord().encode() + "tail"; })},
    {"Zip64WithLongestComment", zip64([](auto& z) { z.end.comment = std::string(65535, 'c'); })},
    {"Zip64WithExtensibleData", zip64Relinked([](auto& z) {
         z.zip64End->extensibleData = std::string(
             "\x01\x00\x04\x00"
             "abcd",
             8);
     })},
    {"Zip64WithRealClassicValues", zip64([](auto& z) {
         z.end.entriesOnDisk = z.end.totalEntries = 3;
         z.end.centralDirectorySize = static_cast<std::uint32_t>(z.centralDirectorySize());
         z.end.centralDirectoryOffset = static_cast<std::uint32_t>(z.centralDirectoryOffset());
     })},
    {"Zip64OnlyOffsetMarked", zip64([](auto& z) {
         z.end.entriesOnDisk = z.end.totalEntries = 3;
         z.end.centralDirectorySize = static_cast<std::uint32_t>(z.centralDirectorySize());
     })},
    {"SelfExtractorStub", classicRelinked([](auto& z) { z.prefix = "#!/bin/sh\nexit 0\n"; })},
    {"DataBeforeCentralDirectory",
     classicRelinked([](auto& z) { z.beforeCentralDirectory = "pad"; })},
    {"EntryCommentsAndExtraFields", classicRelinked([](auto& z) {
         z.entries[0].central.comment = "first";
         z.entries[1].central.extra = std::string("\x7D\xF1\x02\x00xy", 6);
         z.entries[1].local.extra = z.entries[1].central.extra;
     })},
    // The inspector does not look at the data: a deflate entry with a data descriptor flag and
    // a legacy (code page 437) name is fine as far as the directory goes.
    {"DeflateAndLegacyName",
     classicRelinked([](auto& z) {
         z.entries[0].central.method = ZipFormat::methodDeflate;
         z.entries[0].central.flags = ZipFormat::flagDataDescriptor;
         z.entries[0].central.name = "\x80.txt";
     }),
     {"\x80.txt", "dir/", "dir/b.bin"},
     false},
};

TEST(ZipCentralDirectoryInspectorTest, AcceptsHonestLayouts) {
    TempDir dir;
    const std::string path = dir.file("archive.zip");
    for (const AcceptedCase& c : acceptedCases) {
        SCOPED_TRACE(c.label);
        test::writeFile(path, c.build());
        const Walk walk = inspect(path);
        EXPECT_EQ(walk.count, c.names.size());
        EXPECT_EQ(walk.names, c.names);
        if (c.independentReader) {
            EXPECT_EQ(libzipNames(path), c.names);
        }
    }
}

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
        const Walk walk = inspect(path);
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

    std::vector<ZipCentralEntry> seen;
    std::vector<std::string> texts;  // name, extra field and fixed record of each, copied
    TempDir dir;
    zip.writeTo(dir.file("a.zip"));
    EXPECT_EQ(Inspector::entryCount(
                  dir.file("a.zip"), [] {},
                  [&](const ZipCentralEntry& entry) {
                      seen.push_back(entry);
                      texts.emplace_back(entry.name);
                      texts.emplace_back(entry.extraField);
                      texts.emplace_back(entry.centralRecord);
                  }),
              3u);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].flags, ZipFormat::flagUTF8);
    EXPECT_EQ(seen[1].flags, 0);
    EXPECT_EQ(ZipEntryName::decode(texts[3], seen[1].flags), "Äö/");
    std::vector<std::string> expected;
    for (const test::RawZipEntry& entry : zip.entries) {
        // The fixed part is handed over byte for byte.
        expected.insert(expected.end(), {entry.central.name, entry.central.extra,
                                         entry.central.encode().substr(0, 46)});
    }
    EXPECT_EQ(texts, expected);
    const auto* record = reinterpret_cast<const unsigned char*>(texts[2].data());
    EXPECT_EQ(ZipFormat::get16(record + 12), 0x6C21);
    EXPECT_EQ(ZipFormat::get16(record + 14), 0x5A8F);
    EXPECT_EQ(ZipFormat::get32(record + 38), 0100644u << 16);
}

// Cancellation is checked before every record; it, and an error of the caller's, end the walk
// unchanged. Too many entries are refused before any record is read.
TEST(ZipCentralDirectoryInspectorTest, CancellationAndCallbackErrorsEndTheWalk) {
    struct Refused {
        std::string name;
    };
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
    const auto cancelAtSecond = [&] {
        if (++checks == 2) {
            throw OperationCancelled();
        }
    };
    EXPECT_THROW(Inspector::entryCount(dir.file("a.zip"), cancelAtSecond,
                                       [&](const ZipCentralEntry&) { ++entries; }),
                 OperationCancelled);
    EXPECT_EQ(entries, 1);

    entries = 0;
    try {
        (void)Inspector::entryCount(
            dir.file("a.zip"), [] {},
            [&](const ZipCentralEntry& entry) {
                if (++entries == 2) {
                    throw Refused{std::string(entry.name)};
                }
            });
        ADD_FAILURE() << "the callback's error was swallowed";
    } catch (const Refused& refused) {
        EXPECT_EQ(refused.name, "dir/");
    }
    EXPECT_EQ(entries, 2);

    RawZipBuilder tooMany = sample64();
    tooMany.zip64End->entriesOnDisk = tooMany.zip64End->totalEntries = 1'000'001;
    tooMany.writeTo(dir.file("a.zip"));
    checks = 0;
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

// Only a regular file reached without a link is inspected; anything else fails at once, with
// the file system's error unchanged.
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
    // The descriptor is opened in the child, without blocking, so only the inspector's own
    // check is under test.
    const auto byDescriptor = [&](const std::string& name, int flags = O_RDONLY) {
        return [&dir, name, flags] {
            const UniqueFd fd = posix::open(dir.file(name), flags | O_NONBLOCK);
            (void)Inspector::entryCount(fd.get(), {});
        };
    };
    const std::pair<std::function<void()>, int> cases[] = {
        {byPath("a.zip"), inspectedWithoutError},
        {byPath("missing.zip"), ENOENT},
        {byPath("fifo"), EINVAL},
        {byPath("link.zip"), ELOOP},
        {byPath("link-to-fifo"), ELOOP},
        {byPath("dangling.zip"), ELOOP},
        {byPath("folder"), EISDIR},
        {[] { (void)Inspector::entryCount("/dev/null", {}); }, EINVAL},
        {byDescriptor("fifo"), EINVAL},
        {byDescriptor("folder"), EISDIR},
        {byDescriptor("a.zip"), inspectedWithoutError},
        {byDescriptor("a.zip", O_WRONLY), EBADF},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(errnoInChild(cases[i].first), cases[i].second) << "case " << i;
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
        const Walk walk = inspect(dir.file("out.zip"));
        EXPECT_EQ(walk.count, v.names.size());
        EXPECT_EQ(walk.names, v.names);
    }
}

}  // namespace
}  // namespace tolvane
