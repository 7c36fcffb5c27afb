#include "core/archive/ZipCentralDirectoryInspector.h"

#include <gtest/gtest.h>

#include "core/archive/ZipArchiveReader.h"
#include "core/common/Cancellation.h"
#include "core/common/Posix.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

namespace Inspector = ZipCentralDirectoryInspector;
using test::outcomeOf;
using test::RawZipBuilder;
using Change = std::function<void(RawZipBuilder&)>;
using Build = std::function<std::string()>;
constexpr std::uint64_t maxU64 = ~std::uint64_t{0};
constexpr std::uint32_t m32 = ZipFormat::zip64Marker32;

// A file, a folder and a file in it; classic or ZIP64, changed after relinking, then relinked
// again where the change moves records.
Build zip(bool zip64, Change change, bool relink = false) {
    return [=] {
        RawZipBuilder z;
        z.addStored("a.txt", "hello");
        z.addDirectory("dir/");
        z.addStored("dir/b.bin", std::string("\0\1\2", 3));
        change(zip64 ? z.useZip64().relink() : z.relink());
        return relink ? z.relink().bytes() : z.bytes();
    };
}
const auto C = [](Change c) { return zip(false, c); };
const auto Z = [](Change c) { return zip(true, c); };
const auto CR = [](Change c) { return zip(false, c, true); };
const auto ZR = [](Change c) { return zip(true, c, true); };
// a.txt's record again and an end record naming it, as bytes that begin at `at`: a directory
// of its own that a reader could take for the archive's.
std::string directoryAt(const RawZipBuilder& z, std::uint64_t at) {
    const std::string record = z.entries[0].central.encode();
    test::RawEndRecord end;
    end.entriesOnDisk = end.totalEntries = 1;
    end.centralDirectorySize = static_cast<std::uint32_t>(record.size());
    end.centralDirectoryOffset = static_cast<std::uint32_t>(at);
    return record + end.encode();
}
// A ZIP stored as the last entry: its own end record lies in the archive's data.
Change storedZip(std::string inner) {
    return [inner](RawZipBuilder& z) { z.addStored("inner.zip", inner); };
}
// dir/b.bin's CRC-32 and sizes in a data descriptor behind its data, in each form writers use;
// the local header keeps localSize for both sizes and no CRC-32.
Change described(bool signature, bool wide, std::uint32_t localSize = 0) {
    return [=](RawZipBuilder& z) {
        test::RawZipEntry& e = z.entries[2];
        e.local.flags = e.central.flags |= ZipFormat::flagDataDescriptor;
        e.local.crc32 = 0;
        e.local.compressedSize = e.local.uncompressedSize = localSize;
        if (signature) {
            ZipFormat::put32(e.data, ZipFormat::dataDescriptorSignature);
        }
        ZipFormat::put32(e.data, e.central.crc32);
        for (const std::uint32_t size : {e.central.compressedSize, e.central.uncompressedSize}) {
            wide ? ZipFormat::put64(e.data, size) : ZipFormat::put32(e.data, size);
        }
    };
}
// dir/b.bin's local sizes in a ZIP64 block.
Change localZip64(std::uint64_t uncompressed, std::uint64_t compressed) {
    return [=](RawZipBuilder& z) {
        test::RawLocalHeader& local = z.entries[2].local;
        local.compressedSize = local.uncompressedSize = m32;
        local.extra = std::string("\1\0\20\0", 4);
        ZipFormat::put64(local.extra, uncompressed);
        ZipFormat::put64(local.extra, compressed);
    };
}
// a.txt's Unicode Path field naming `name`, in the local header, the central record or both, with
// or without flag bit 11; the field carries the raw name's CRC-32 unless `stale`.
Change unicodePath(std::string name, bool local, bool central, bool flagged = false,
                   char version = 1, bool stale = false) {
    return [=](RawZipBuilder& z) {
        test::RawZipEntry& e = z.entries[0];
        std::string field("up", 2);
        ZipFormat::put16(field, static_cast<std::uint16_t>(5 + name.size()));
        field += version;
        ZipFormat::put32(field, test::crc32Of(e.central.name) ^ (stale ? 1 : 0));
        field += name;
        e.local.extra = local ? field : "";
        e.central.extra = central ? field : "";
        e.local.flags = e.central.flags = flagged ? ZipFormat::flagUTF8 : 0;
    };
}
Build entries(std::uint64_t n) {
    return Z([n](auto& z) { z.zip64End->entriesOnDisk = z.zip64End->totalEntries = n; });
}

// "ok <count>" or the failure, by path without a callback and by descriptor with one, which must
// agree. The reader holds every archive that passes against libzip's reading of it.
std::string inspect(const std::string& bytes) {
    test::TempDir dir;
    test::writeFile(dir.file("a.zip"), bytes);
    std::uint64_t count = 0;
    const std::string byPath =
        outcomeOf([&] { count = Inspector::entryCount(dir.file("a.zip"), [] {}); });
    const UniqueFd fd = posix::open(dir.file("a.zip"), O_RDONLY);
    EXPECT_EQ(outcomeOf([&] { Inspector::entryCount(fd.get(), {}, [](auto&) {}); }), byPath);
    return byPath == "ok" ? "ok " + std::to_string(count) : byPath;
}

// A detail without a case name is invalidArchive's.
TEST(ZipCentralDirectoryInspectorTest, RefusesHostileLayoutsAndAcceptsHonestOnes) {
    const std::string noEnd = "missing end record", noLocator = "missing ZIP64 locator";
    const std::string offset = "invalid ZIP64 end record offset", z64 = "invalid ZIP64 end record";
    const std::string length = "invalid ZIP64 end record length", entry = "central directory entry";
    const std::string differ = "inconsistent ZIP64 values", bounds = "central directory bounds";
    const std::string crypt = "unsupportedArchiveEntry: encrypted entry", ok3 = "ok 3";
    const std::string size = "central directory size does not match entries";
    const std::string twoEnds = "more than one end record";
    const std::string otherName = "local header names another file: entry 1";
    const std::string local3 = "local header does not match its central record: entry 3";
    const std::string emptyEnd = test::RawEndRecord().encode();
    const std::pair<Build, std::string> cases[] = {
        {C([](auto& z) { z.trailing = "x"; }), noEnd},
        {C([](auto& z) { z.end.diskNumber = 1; }), "multi-volume ZIP is not supported"},
        {C([](auto& z) { z.end.entriesOnDisk = 2; }), "inconsistent entry count"},
        {C([](auto& z) { z.end.centralDirectoryOffset = m32; }), noLocator},
        {ZR([](auto& z) { z.afterZip64Locator = "PK"; }), noLocator},
        {Z([](auto& z) { z.zip64Locator->endRecordDisk = 1; }), "invalid ZIP64 locator"},
        {Z([](auto& z) { z.zip64Locator->endRecordOffset = z.bytes().size() - 55; }), offset},
        {Z([](auto& z) { z.zip64Locator->endRecordOffset = maxU64; }), offset},
        {Z([](auto& z) { z.zip64End->diskNumber = 1; }), z64},
        {Z([](auto& z) { z.zip64End->sizeOfRest = 43; }), length},
        {Z([](auto& z) { z.zip64End->sizeOfRest = maxU64; }), length},
        {ZR([](auto& z) { z.afterZip64End = "gap!"; }), length},
        {Z([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 2; }), differ},
        {Z([](auto& z) { z.end.centralDirectorySize = 1; }), differ},
        {Z([](auto& z) { z.end.centralDirectoryOffset = 0; }), differ},
        // The entry limit from the header alone; exactly the limit reaches the walk.
        {entries(1'000'001), "tooManyEntries: "},
        {entries(maxU64), "tooManyEntries: "},
        {entries(1'000'000), entry},
        {C([](auto& z) { z.end.centralDirectorySize += 1; }), bounds},
        {Z([](auto& z) { z.zip64End->centralDirectorySize = maxU64; }), bounds},
        {CR([](auto& z) { z.entries[0].afterCentralRecord = "JUNK"; }), entry},
        {C([](auto& z) { z.entries[0].central.flags |= 0x0040; }), crypt},
        {C([](auto& z) { z.entries[1].central.flags |= 0x2000; }), crypt},
        {C([](auto& z) { z.entries[0].central.method = 9; }),
         "unsupported compression or split entry"},
        {C([](auto& z) { z.entries[2].central.nameLength = 10; }),
         "central directory entry length"},
        {CR([](auto& z) { z.entries[2].afterCentralRecord = "X"; }), size},
        {C([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 2; }), size},
        // A classic field at its marker needs its value in the ZIP64 block.
        {CR([](auto& z) { z.entries[1].central.uncompressedSize = m32; }),
         "ZIP64 extra field is missing: entry 2"},
        {CR([](auto& z) {
             z.entries[0].central.compressedSize = z.entries[0].central.uncompressedSize = m32;
             z.entries[0].central.extra = std::string("\1\0\10\0", 4) + std::string(8, '\0');
         }),
         "ZIP64 extra field is truncated: entry 1"},
        {[] { return RawZipBuilder().relink().bytes(); }, "ok 0"},
        // Another reader may take an end record that does not end the file, so one that parses
        // and names a directory it could read is refused. A reader that searches backwards takes
        // one in the comment whatever it says, even one naming a second disk. The longest comment
        // puts the real one at the very start of the search window, with the locator before it.
        {C([](auto& z) { z.end.comment = test::RawEndRecord().encode() + "tail"; }), twoEnds},
        {CR([](auto& z) { z.afterCentralDirectory = test::RawEndRecord().encode(); }), twoEnds},
        {C([](auto& z) {
             test::RawEndRecord other;
             other.diskNumber = 1;
             z.end.comment = other.encode() + "tail";
         }),
         twoEnds},
        // A record whose directory holds no central record parses for no reader; before the
        // directory, where a gap may lie, it stays.
        {CR([](auto& z) {
             test::RawEndRecord other;
             other.entriesOnDisk = other.totalEntries = 1;
             other.centralDirectorySize = ZipFormat::centralHeaderSize;
             z.beforeCentralDirectory = other.encode();
         }),
         ok3},
        // One outside every entry that names a directory of central records is refused; in an
        // entry's data, where a stored ZIP keeps its own, it never is.
        {CR([](auto& z) {
             z.beforeCentralDirectory = directoryAt(z, z.end.centralDirectoryOffset);
         }),
         twoEnds},
        {CR([](auto& z) {
             test::RawZipEntry& hidden = z.addStored("hidden.bin", "");
             z.relink();
             hidden.store(directoryAt(z, hidden.dataOffset()));
         }),
         "ok 4"},
        {Z([](auto& z) { z.end.comment = z.zip64Locator->encode() + z.end.encode() + "tail"; }),
         twoEnds},
        {CR(storedZip(RawZipBuilder().useZip64().relink().bytes())), "ok 4"},
        {CR(storedZip(test::RawEndRecord().encode())), "ok 4"},
        {CR([](auto& z) {
             RawZipBuilder inner;
             inner.addStored("photo.jpg", "jpeg");
             inner.end.comment = "inner comment";
             storedZip(inner.relink().bytes())(z);
         }),
         "ok 4"},
        {Z([](auto& z) { z.end.comment = std::string(65535, 'c'); }), ok3},
        {ZR([](auto& z) { z.zip64End->extensibleData = std::string("\1\0\4\0abcd", 8); }), ok3},
        {Z([](auto& z) { z.end.entriesOnDisk = z.end.totalEntries = 3; }), ok3},
        {CR([](auto& z) { z.prefix = "#!/bin/sh\nexit 0\n", z.beforeCentralDirectory = "pad"; }),
         ok3},
        // A signature inside an entry's data or a header's extra field belongs to it, even where
        // the record it starts runs into the next header; an empty ZIP ahead of the archive names
        // no entry.
        {CR([=](auto& z) { z.entries[0].store(std::string(64, 'j') + emptyEnd.substr(0, 20)); }),
         ok3},
        {CR([=](auto& z) {
             z.entries[1].local.extra = z.entries[1].central.extra =
                 std::string("UU\x16\0", 4) + emptyEnd;
         }),
         ok3},
        {CR([=](auto& z) { z.prefix = emptyEnd; }), ok3},
        // Local values, descriptors in every form, and ZIP64 local sizes.
        {CR(described(true, false)), ok3},
        {CR(described(false, false)), ok3},
        {CR(described(true, true)), ok3},
        {CR(described(false, true)), ok3},
        {CR(described(true, false, 3)), ok3},
        {CR(described(true, false, 2)), local3},
        {CR([](auto& z) {
             described(true, false)(z);
             z.entries[2].data.resize(3);
         }),
         "data descriptor does not match its central record: entry 3"},
        {CR(localZip64(3, 3)), ok3},
        {CR(localZip64(3, 2)), local3},
        {C([](auto& z) { z.entries[2].local.crc32 ^= 1; }), local3},
        // A reader that goes by local headers names the entry by a Unicode Path field there that
        // carries the raw name's CRC-32, whatever its version and the flags say.
        {CR(unicodePath("a.txt.sh", true, false)), otherName},
        {CR(unicodePath("a.txt.sh", true, false, true)), otherName},
        {CR(unicodePath("a.txt.sh", true, true, true)), otherName},
        {CR(unicodePath("a.txt", true, false, false, 2)), ok3},
        {CR(unicodePath("b.txt", true, false, false, 2)), otherName},
        {CR([](auto& z) {
             unicodePath("c.txt", true, false)(z);
             const std::string local = z.entries[0].local.extra;
             unicodePath("b.txt", false, true)(z);
             z.entries[0].local.extra = local;
         }),
         otherName},
        {CR(unicodePath("b.txt", true, true)), ok3},
        {CR(unicodePath("a.txt", true, true, true)), ok3},
        {CR(unicodePath("b.txt", false, true)), ok3},
        {CR(unicodePath("b.txt", true, false, false, 1, true)), ok3},
        {C([](auto& z) { z.entries[2].central.localHeaderOffset += 1; }), local3},
    };
    for (std::size_t n = 0; n < std::size(cases); ++n) {
        const std::string& detail = cases[n].second;
        const bool coded = detail.starts_with("ok ") || detail.find("Entr") != std::string::npos;
        EXPECT_EQ(inspect(cases[n].first()), coded ? detail : "invalidArchive: " + detail)
            << "case " << n;
    }
}

// ZIP64 values come from a block behind another one, in the block's own order. The fuzzer holds
// the other fields to the fixed record, the reader's and the unpack's tests to their meaning.
TEST(ZipCentralDirectoryInspectorTest, AppliesZip64ValuesFromBehindAnotherBlock) {
    RawZipBuilder zip;
    test::RawCentralRecord& big = zip.addStored("big.bin", "").central;
    big.uncompressedSize = big.compressedSize = m32;
    big.extra = std::string("\x7D\xF1\1\0x\1\0\30\0", 9);
    const std::uint64_t values[] = {std::uint64_t{5} << 32, 7, std::uint64_t{9} << 32};
    for (const std::uint64_t value : values) {
        ZipFormat::put64(big.extra, value);
    }
    zip.relink().entries[0].central.localHeaderOffset = m32;
    test::TempDir dir;
    test::writeFile(dir.file("a.zip"), zip.bytes());
    int calls = 0;
    // The values reach the caller; the local header they name lies far past this small file.
    EXPECT_EQ(outcomeOf([&] {
                  Inspector::entryCount(
                      dir.file("a.zip"), [] {},
                      [&](const ZipCentralEntry& e) {
                          ++calls;
                          EXPECT_EQ(std::tuple(e.extraField, e.uncompressedSize, e.compressedSize,
                                               e.localHeaderOffset),
                                    std::tuple(big.extra, values[0], values[1], values[2]));
                      });
              }),
              "invalidArchive: local header does not match its central record: entry 1");
    EXPECT_EQ(calls, 1);
}

// Cancellation is checked before every record and ends the walk as thrown. Only a regular file
// reached without a final link is read, by the inspector and the reader alike; anything else
// fails at once, without blocking (in a child under an alarm, so a hang fails the test).
TEST(ZipCentralDirectoryInspectorTest, WalksOnlyRegularFilesAndStopsWhenCancelled) {
    test::TempDir dir;
    test::makeTree(dir.path(), {{"a.zip", C([](auto&) {})()}, {"dir/", ""}});
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("a.zip", dir.file("link").c_str()), 0);
    const auto cancelled = [p = dir.file("a.zip")] {
        int checks = 0;
        Inspector::entryCount(
            p, [&] { checks == 1 ? throw OperationCancelled() : void(++checks); },
            [&](auto&) { checks == 1 ? void() : throw std::logic_error("walked on"); });
    };
    const auto path = [&](std::string name) {
        return [p = dir.file(name)] { Inspector::entryCount(p, {}); };
    };
    const auto reader = [&](std::string name) {
        return [p = dir.file(name)] { ZipArchiveReader(p, {}); };
    };
    const auto fd = [p = dir.file("fifo")] {
        Inspector::entryCount(posix::open(p, O_RDONLY | O_NONBLOCK).get(), {});
    };
    const std::pair<std::function<void()>, std::string> cases[] = {
        {cancelled, "cancelled"},
        {path("fifo"), "errno EINVAL"},
        {path("link"), "errno ELOOP"},
        {path("dir"), "errno EISDIR"},
        {fd, "errno EINVAL"},
        {reader("fifo"), "errno EINVAL"},
        {reader("link"), "errno ELOOP"},
    };
    for (const auto& [action, expected] : cases) {
        const test::ChildExit exit =
            test::runInChild([&] { return outcomeOf(action) == expected ? 0 : 1; }, 20);
        EXPECT_TRUE(exit.succeeded()) << expected << ": " << exit.describe();
    }
}

}  // namespace
}  // namespace tolvane
