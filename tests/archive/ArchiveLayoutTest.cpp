// Archives whose bytes other ZIP readers read as other files are refused before anything is
// written; the legitimate layout nearest to each unpacks.

#include <gtest/gtest.h>
#include <zlib.h>

#include "core/archive/ArchivePipeline.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using test::RawZipBuilder;
using Edit = std::function<void(RawZipBuilder&)>;
constexpr std::uint32_t m32 = ZipFormat::zip64Marker32;
const std::string big(2416, 'b');

// A file, a folder and a 2,416-byte file in it, classic or ZIP64, edited after linking and linked
// again unless the edit places records itself.
std::string archive(const Edit& edit, bool zip64 = false, bool relink = true) {
    RawZipBuilder z;
    z.addStored("a.txt", "hello");
    z.addDirectory("dir/");
    z.addStored("dir/big.bin", big);
    edit(zip64 ? z.useZip64().relink() : z.relink());
    return relink ? z.relink().bytes() : z.bytes();
}

// The outcome of unpacking into an empty folder; a refusal leaves the folder empty.
std::string unpackOutcome(const std::string& bytes) {
    test::TempDir root;
    test::makeTree(root.path(), {{"out/", ""}, {"x.zip", bytes}});
    const std::string outcome = test::outcomeOf(
        [&] { ArchivePipeline::unpack(root.file("x.zip"), root.file("out"), nullptr, {}); });
    if (outcome != "ok") {
        EXPECT_TRUE(test::namesIn(root.file("out")).empty());
    }
    return outcome;
}

// An end record in the archive comment, followed by more comment, after `before`.
Edit commentRecord(const std::function<void(test::RawEndRecord&)>& change,
                   const std::string& before = {}) {
    return [=](RawZipBuilder& z) {
        test::RawEndRecord other;
        other.entriesOnDisk = other.totalEntries = 1;
        change(other);
        z.end.comment = before + other.encode() + "tail";
    };
}

// The CRC-32 and sizes of entry `index` in a data descriptor behind its data (signed, sizes of 4
// bytes), the local header's values zero, as writers that stream do.
Edit described(std::size_t index, std::uint32_t descriptorSize) {
    return [=](RawZipBuilder& z) {
        test::RawZipEntry& e = z.entries[index];
        e.local.flags = e.central.flags |= ZipFormat::flagDataDescriptor;
        e.local.crc32 = e.local.compressedSize = e.local.uncompressedSize = 0;
        ZipFormat::put32(e.data, ZipFormat::dataDescriptorSignature);
        ZipFormat::put32(e.data, e.central.crc32);
        ZipFormat::put32(e.data, e.central.compressedSize);
        ZipFormat::put32(e.data, descriptorSize);
    };
}

// Entry `index` holding `text` as a raw deflate stream followed by `trailer` (cut short by `cut`
// bytes instead when given), with a data descriptor.
Edit deflatedThen(std::size_t index, const std::string& text, const std::string& trailer,
                  std::size_t cut = 0) {
    return [=](RawZipBuilder& z) {
        z_stream stream{};
        deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        std::string out(deflateBound(&stream, text.size()), '\0');
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        stream.avail_in = static_cast<uInt>(text.size());
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = static_cast<uInt>(out.size());
        deflate(&stream, Z_FINISH);
        out.resize(stream.total_out - cut);
        deflateEnd(&stream);
        test::RawZipEntry& e = z.entries[index];
        e.store(out + trailer);
        e.local.method = e.central.method = ZipFormat::methodDeflate;
        e.central.crc32 = test::crc32Of(text);
        e.central.uncompressedSize = static_cast<std::uint32_t>(text.size());
        described(index, e.central.uncompressedSize)(z);
    };
}

// An APK as its signing tools leave it: stored entries aligned by padding in their local extra
// fields, and the signing block between the last entry and the directory.
void apk(RawZipBuilder& z) {
    for (test::RawZipEntry& e : z.entries) {
        e.local.extra = std::string("\x35\xD9\6\0\4\0", 6) + std::string(4, '\0');
    }
    std::string pairs;
    ZipFormat::put64(pairs, 4 + 8);
    ZipFormat::put32(pairs, 0x7109871a);
    pairs += "v2-block";
    std::string block;
    ZipFormat::put64(block, pairs.size() + 8 + 16);
    block += pairs;
    ZipFormat::put64(block, pairs.size() + 8 + 16);
    z.beforeCentralDirectory = block + "APK Sig Block 42";
}

// A program's bytes before the archive, holding signatures that parse as nothing a reader could
// use: an empty end record, a local header, a central record's signature. Longer than the window
// other readers search for the end record.
std::string stub() {
    std::string bytes =
        "\x7F"
        "ELF" +
        std::string(40'000, 'x');
    bytes += test::RawEndRecord().encode() + test::RawLocalHeader().encode() + "PK\1\2";
    return bytes + std::string(30'000, 'y');
}

// The small ZIP of one file another reader could find: whole, or its local header alone.
RawZipBuilder other() {
    RawZipBuilder z;
    z.addStored("other.txt", "not in the directory");
    return z.relink();
}

// other.txt's local header and data, where no central record names them.
std::string hiddenEntry() {
    return other().entries[0].local.encode() + other().entries[0].data;
}

// Stored data holding `part`, then what a streaming reader takes for a data descriptor when its
// compressed size is part's length (stated here as `size`), then a local header.
std::string storedLookalike(const std::string& part, std::uint32_t size) {
    std::string bytes = part;
    ZipFormat::put32(bytes, ZipFormat::dataDescriptorSignature);
    ZipFormat::put32(bytes, test::crc32Of(part));
    ZipFormat::put32(bytes, size);
    ZipFormat::put32(bytes, size);
    return bytes + hiddenEntry();
}

// dir/big.bin holding `data`, stored, with a data descriptor.
Edit describedStored(const std::string& data) {
    return [=](RawZipBuilder& z) {
        z.entries[2].store(data);
        described(2, static_cast<std::uint32_t>(data.size()))(z);
    };
}

// A ZIP in a prefix longer than the end record's search window: its directory holds `decoys`
// records naming the prefix's first bytes, which parse as no local header, then, when `named`,
// other.txt's record; its end record counts `count` entries whatever the directory holds.
std::string prefixZip(int decoys, bool named, std::uint16_t count) {
    const test::RawZipEntry e = other().entries[0];
    std::string bytes = "MZ" + std::string(62, '\0');
    test::RawCentralRecord record = e.central;
    record.localHeaderOffset = static_cast<std::uint32_t>(bytes.size());
    bytes += e.local.encode() + e.data;
    test::RawCentralRecord decoy = record;
    decoy.localHeaderOffset = 0;
    std::string directory;
    for (int n = 0; n < decoys; ++n) {
        directory += decoy.encode();
    }
    directory += named ? record.encode() : "";
    test::RawEndRecord end;
    end.entriesOnDisk = end.totalEntries = count;
    end.centralDirectorySize = static_cast<std::uint32_t>(directory.size());
    end.centralDirectoryOffset = static_cast<std::uint32_t>(bytes.size());
    return bytes + directory + end.encode() + std::string(70'000, ' ');
}

// Each shape that other readers read as other files (or refuse as overlapping) beside the nearest
// shape every reader reads alike: local header and central record disagreeing; a second
// directory between the directory and the end record; an end record in the comment; a second
// ZIP64 end record at the fixed place before the locator; a ZIP or a local header in the prefix
// or a gap; entry data or a local header where the directory or comment lies.
TEST(ArchiveLayoutTest, RefusesWhatOtherReadersReadAsOtherFiles) {
    const std::string local = "local header does not match its central record: entry ";
    const std::string twoEnds = "more than one end record";
    const std::string overlap = "entry overlaps the central directory";
    const std::string bad = "invalidArchive: ";
    const std::pair<std::string, std::string> cases[] = {
        // The local header says 16 bytes, with their CRC-32; the central record says 2,416.
        {archive([](auto& z) {
             test::RawZipEntry& e = z.entries[2];
             e.local.compressedSize = e.local.uncompressedSize = 16;
             e.local.crc32 = test::crc32Of(big.substr(0, 16));
         }),
         bad + local + "3"},
        {archive([](auto& z) { z.entries[0].local.crc32 ^= 1; }), bad + local + "1"},
        {archive([](auto& z) { z.entries[2].local.method = ZipFormat::methodDeflate; }),
         bad + local + "3"},
        {archive([](auto& z) { z.entries[0].local.flags |= ZipFormat::flagDataDescriptor; }),
         bad + local + "1"},
        {archive(described(2, 16)),
         bad + "data descriptor does not match its central record: entry 3"},
        {archive(described(2, 2416)), "ok"},
        // A second directory behind the first.
        {archive([](auto& z) { z.afterCentralDirectory = z.entries[0].central.encode(); }),
         bad + "central directory does not end at the end records"},
        {archive([](auto& z) { z.afterCentralDirectory = z.entries[0].central.encode(); }, true),
         bad + "central directory does not end at the end records"},
        {archive([](auto&) {}, true), "ok"},
        // End records in the comment, whatever they say.
        {archive(commentRecord([](auto& r) { r.diskNumber = 1; })), bad + twoEnds},
        {archive(commentRecord([](auto& r) { r.totalEntries = 2; })), bad + twoEnds},
        {archive(commentRecord([](auto& r) { r.centralDirectoryOffset = 0x7FFFFFFF; })),
         bad + twoEnds},
        {archive(commentRecord([](auto& r) { r.centralDirectoryOffset = m32; },
                               [] {
                                   test::RawZip64Locator locator;
                                   locator.endRecordOffset = ~std::uint64_t{0};
                                   return locator.encode();
                               }())),
         bad + twoEnds},
        {archive([](auto& z) { z.end.comment = "made by hand; PK\5\6 ends it"; }), "ok"},
        {archive([](auto& z) { z.end.comment = std::string(65535, 'c'); }), "ok"},
        // ZIP64 extensible data ending in a second ZIP64 end record, or in an ordinary block.
        {archive([](auto& z) { z.zip64End->extensibleData = test::RawZip64EndRecord().encode(); },
                 true),
         bad + "second ZIP64 end record"},
        {archive([](auto& z) { z.zip64End->extensibleData = std::string("\1\0\4\0abcd", 8); },
                 true),
         "ok"},
        // A whole ZIP beyond the end record's search window, or a local header at offset 0.
        {archive([](auto& z) { z.prefix = "MZ" + other().bytes() + std::string(70'000, ' '); }),
         bad + twoEnds},
        {archive([](auto& z) {
             const test::RawZipEntry e = other().entries[0];
             z.prefix = e.local.encode() + e.data;
         }),
         bad + "local header that no central record names"},
        {archive([](auto& z) { z.prefix = stub(); }), "ok"},
        // The prefix's directory leads to an entry through a later record, or under a count of 0.
        {archive([](auto& z) { z.prefix = prefixZip(1, true, 2); }), bad + twoEnds},
        {archive([](auto& z) { z.prefix = prefixZip(0, true, 0); }), bad + twoEnds},
        {archive([](auto& z) { z.prefix = prefixZip(2, false, 2); }), "ok"},
        // Entries and gaps between them.
        {archive([](auto& z) { z.entries[0].data += other().entries[0].local.encode(); }),
         bad + "local header outside the central directory"},
        {archive([](auto& z) { z.entries[0].data += "slack"; }), "ok"},
        {archive(apk), "ok"},
        {archive(
             [](auto& z) {
                 test::RawZipEntry& e = z.entries[2];
                 e.local.compressedSize = e.local.uncompressedSize += 10;
                 e.central.compressedSize = e.central.uncompressedSize += 10;
                 e.local.crc32 = e.central.crc32 = 0;
             },
             false, false),
         bad + overlap},
        {archive(
             [](auto& z) {
                 const auto at = static_cast<std::uint32_t>(z.bytes().size());
                 z.end.comment = z.entries[0].local.encode() + z.entries[0].data;
                 z.entries[0].central.localHeaderOffset = at;
             },
             false, false),
         bad + overlap},
        // Data that a reader going by the data alone ends elsewhere: a deflate stream ending
        // before its entry or running past it, a stored entry's look-alike descriptor.
        {archive(deflatedThen(0, "hello good file", hiddenEntry())),
         bad + "deflate stream ends before its entry: entry 1"},
        {archive(deflatedThen(0, "hello good file", "", 1)),
         bad + "deflate stream runs past its entry: entry 1"},
        {archive(deflatedThen(0, "hello good file", "")), "ok"},
        {archive([](auto& z) {
             z.entries[0].store("");
             z.entries[0].local.method = z.entries[0].central.method = ZipFormat::methodDeflate;
             described(0, 0)(z);
         }),
         "ok"},
        {archive(describedStored(storedLookalike("hello\n", 6))),
         bad + "stored data holds its own data descriptor: entry 3"},
        {archive(describedStored(storedLookalike(std::string(65'530, 'x'), 65'530))),
         bad + "stored data holds its own data descriptor: entry 3"},
        {archive(describedStored(storedLookalike("hello\n", 7))), "ok"},
    };
    for (std::size_t n = 0; n < std::size(cases); ++n) {
        EXPECT_EQ(unpackOutcome(cases[n].first), cases[n].second) << "case " << n;
    }
}

}  // namespace
}  // namespace tolvane
