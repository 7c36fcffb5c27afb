#include "core/archive/JSONLines.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/common/Posix.h"
#include "core/common/StrictJson.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

// Runs `action` and expects the reader's own failure with the given detail.
void expectInvalidArchive(const std::function<void()>& action, const std::string& detail,
                          const std::string& label = {}) {
    try {
        action();
        ADD_FAILURE() << label << ": no error, expected \"" << detail << "\"";
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(error.code(), ArchivePipelineError::Code::invalidArchive) << label;
        EXPECT_EQ(error.detail(), detail) << label;
    }
}

// Bytes of a row around its path, line feed included.
std::size_t rowOverhead() {
    return ExpectedArchiveRecord{"", 0, ""}.encode().size() + 1;
}

// One row of exactly `bytes` bytes, line feed included.
std::string rowOfLength(std::size_t bytes) {
    return ExpectedArchiveRecord{std::string(bytes - rowOverhead(), 'p'), 0, ""}.encode() + "\n";
}

SourceSnapshotRecord sampleSnapshot() {
    return {"/home/u/Sel/a b.txt",
            "Sel/a b.txt",
            "Sel/a b.txt",
            false,
            7,
            66306,
            5,
            -5,
            999999999,
            1700000000,
            1,
            0644,
            std::string(64, 'e')};
}

TEST(JSONLinesTest, EncodingKeepsFieldOrderOnOneLine) {
    SourceSnapshotRecord noDigest = sampleSnapshot();
    noDigest.contentSHA256.reset();
    noDigest.isDirectory = true;
    const std::pair<std::string, std::string> cases[] = {
        {sampleSnapshot().encode(),
         R"({"sourcePath":"/home/u/Sel/a b.txt","originalPath":"Sel/a b.txt",)"
         R"("entryPath":"Sel/a b.txt","isDirectory":false,"size":7,"device":66306,"inode":5,)"
         R"("modifiedSeconds":-5,"modifiedNanoseconds":999999999,)"
         R"("changedSeconds":1700000000,"changedNanoseconds":1,"permissions":420,)"
         R"("contentSHA256":"eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee"})"},
        {noDigest.encode(),
         R"({"sourcePath":"/home/u/Sel/a b.txt","originalPath":"Sel/a b.txt",)"
         R"("entryPath":"Sel/a b.txt","isDirectory":true,"size":7,"device":66306,"inode":5,)"
         R"("modifiedSeconds":-5,"modifiedNanoseconds":999999999,)"
         R"("changedSeconds":1700000000,"changedNanoseconds":1,"permissions":420})"},
        {ExpectedArchiveRecord{"d/", 0, ""}.encode(), R"({"path":"d/","size":0,"sha256":""})"},
        {PathMappingHeader{1, 9, 2}.encode(),
         R"({"version":1,"sourceEntryCount":9,"mappingCount":2})"},
        {PathMappingRecord{3, "a:b", "a_b", "file", 4, "ff"}.encode(),
         R"({"ordinal":3,"originalPath":"a:b","archivePath":"a_b","entryType":"file",)"
         R"("size":4,"sha256":"ff"})"},
        {PreflightArchiveRecord{1, "x/", "x/", "directory", 0}.encode(),
         R"({"ordinal":1,"archivePath":"x/","restoredPath":"x/","entryType":"directory",)"
         R"("size":0})"},
        {PathMappingReceiptHeader{1, "a.zip", 2, "verified-archive-manifest"}.encode(),
         R"({"version":1,"archiveName":"a.zip","mappingCount":2,)"
         R"("mappingSource":"verified-archive-manifest"})"},
        {PathMappingReceiptRecord{"a:b", "a_b", "a_b", "file", 4, "ff"}.encode(),
         R"({"originalPath":"a:b","archivePath":"a_b","restoredPath":"a_b",)"
         R"("entryType":"file","size":4,"sha256":"ff"})"},
    };
    for (const auto& [encoded, expected] : cases) {
        EXPECT_EQ(encoded, expected);
    }
}

// Every record type written and read back; the writer's rows are visible to a reader while it
// is still open, and a record that cannot be encoded writes nothing.
TEST(JSONLinesTest, EveryRecordTypeSurvivesTheRoundTrip) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    SourceSnapshotRecord extreme = sampleSnapshot();
    // A line feed, quotes and backslashes inside a value must not break the row.
    extreme.originalPath = "line\nfeed \"quoted\" back\\slash \x01 한글";
    extreme.size = std::numeric_limits<std::uint64_t>::max();
    extreme.modifiedSeconds = std::numeric_limits<std::int64_t>::min();
    extreme.permissions = std::numeric_limits<std::uint16_t>::max();
    const ExpectedArchiveRecord expected{"dir/file", 12, std::string(64, 'a')};
    const PathMappingHeader header{1, 3, 1};
    const PathMappingRecord mapping{2, "a\\b", "a_b", "file", 12, std::string(64, 'b')};
    const PreflightArchiveRecord preflight{4, "d/", "d/", "directory", 0};
    const PathMappingReceiptHeader receiptHeader{1, "x.zip", 1, "verified-archive-manifest"};
    const PathMappingReceiptRecord receiptRow{"a\\b", "a_b", "a_b", "file", 12, "c"};

    UniqueFd out = posix::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    JSONLines::append(extreme, out.get());
    JSONLines::Reader early(path);
    EXPECT_EQ(early.next<SourceSnapshotRecord>(), extreme);
    EXPECT_EQ(early.next<SourceSnapshotRecord>(), std::nullopt);
    EXPECT_THROW(JSONLines::append(ExpectedArchiveRecord{"bad\xff", 0, ""}, out.get()),
                 StrictJson::DecodeError);
    JSONLines::append(expected, out.get());
    JSONLines::append(header, out.get());
    JSONLines::append(mapping, out.get());
    JSONLines::append(preflight, out.get());
    JSONLines::append(receiptHeader, out.get());
    JSONLines::append(receiptRow, out.get());
    const std::string content = readFile(path);
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 7);

    JSONLines::Reader reader(path);
    EXPECT_EQ(reader.next<SourceSnapshotRecord>(), extreme);
    EXPECT_EQ(reader.next<ExpectedArchiveRecord>(), expected);
    EXPECT_EQ(reader.next<PathMappingHeader>(), header);
    EXPECT_EQ(reader.next<PathMappingRecord>(), mapping);
    EXPECT_EQ(reader.next<PreflightArchiveRecord>(), preflight);
    EXPECT_EQ(reader.next<PathMappingReceiptHeader>(), receiptHeader);
    EXPECT_EQ(reader.next<PathMappingReceiptRecord>(), receiptRow);
    EXPECT_NO_THROW(reader.requireEnd<PathMappingReceiptRecord>());

    // A reader from a descriptor starts at its position.
    UniqueFd in = posix::open(path, O_RDONLY);
    const auto secondRow = static_cast<off_t>(content.find('\n') + 1);
    ASSERT_EQ(::lseek(in.get(), secondRow, SEEK_SET), secondRow);
    EXPECT_EQ(JSONLines::Reader(std::move(in)).next<ExpectedArchiveRecord>(), expected);
}

TEST(JSONLinesTest, OpeningFailsWithTheSystemError) {
    TempDir dir;
    writeFile(dir.file("real.jsonl"), "");
    ASSERT_EQ(::symlink("real.jsonl", dir.file("link.jsonl").c_str()), 0);
    const std::pair<std::string, int> cases[] = {
        {dir.file("missing.jsonl"), ENOENT},
        {dir.file("link.jsonl"), ELOOP},  // a list is never reached through a link
    };
    for (const auto& [path, error] : cases) {
        try {
            JSONLines::Reader reader(path);
            ADD_FAILURE() << path << " opened";
        } catch (const std::system_error& failure) {
            EXPECT_EQ(failure.code(), std::error_code(error, std::generic_category())) << path;
        }
    }
}

// A failure with its detail; the reader stays failed. Reading on after an oversized row would
// return that row, held whole in memory, and after a blank row it would return the rows behind it.
TEST(JSONLinesTest, DamagedListsFailAndStayFailed) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    const std::string row = ExpectedArchiveRecord{"a", 1, "x"}.encode() + "\n";
    const std::string bigRow = rowOfLength(40'000);
    struct Case {
        std::string content;
        int goodRows;  // rows returned before the failure
        const char* detail;
    };
    const Case cases[] = {
        {row + row.substr(0, row.size() - 1), 1, "truncated job manifest"},
        {row + bigRow.substr(0, bigRow.size() - 1), 1, "truncated job manifest"},
        {"{", 0, "truncated job manifest"},
        {"\n" + row, 0, "empty job manifest row"},
        {row + "\n" + row + row, 1, "empty job manifest row"},
        {row + row + "\n", 2, "empty job manifest row"},
        {rowOfLength(70'000) + row, 0, "oversized manifest row"},  // its end already read
        {row + rowOfLength(65'537) + row, 1, "oversized manifest row"},
    };
    for (const Case& c : cases) {
        const std::string label = c.content.substr(0, 20) + "... " + c.detail;
        writeFile(path, c.content);
        JSONLines::Reader reader(path);
        for (int i = 0; i < c.goodRows; ++i) {
            ASSERT_TRUE(reader.next<ExpectedArchiveRecord>()) << label;
        }
        for (int attempt = 1; attempt <= 2; ++attempt) {
            expectInvalidArchive([&] { (void)reader.next<ExpectedArchiveRecord>(); }, c.detail,
                                 label);
        }
        // Not "unused manifest records": the reader's own failure is what it reports.
        expectInvalidArchive([&] { reader.requireEnd<ExpectedArchiveRecord>(); }, c.detail, label);
        // Moving the reader keeps its failure.
        JSONLines::Reader moved(std::move(reader));
        expectInvalidArchive([&] { (void)moved.next<ExpectedArchiveRecord>(); }, c.detail, label);
    }

    // The end of the list: nothing, then nothing again; rows left over; a trailing blank row.
    writeFile(path, "");
    JSONLines::Reader empty(path);
    EXPECT_EQ(empty.next<ExpectedArchiveRecord>(), std::nullopt);
    EXPECT_EQ(empty.next<ExpectedArchiveRecord>(), std::nullopt);
    EXPECT_NO_THROW(JSONLines::Reader(path).requireEnd<ExpectedArchiveRecord>());
    writeFile(path, row + row);
    expectInvalidArchive([&] { JSONLines::Reader(path).requireEnd<ExpectedArchiveRecord>(); },
                         "unused manifest records");
    writeFile(path, row + "\n");
    JSONLines::Reader blank(path);
    ASSERT_TRUE(blank.next<ExpectedArchiveRecord>());
    expectInvalidArchive([&] { blank.requireEnd<ExpectedArchiveRecord>(); },
                         "empty job manifest row");
}

// Reads come in 16 KiB blocks and the buffer may hold at most 64 KiB after any read, so the
// longest row that can be read depends on where the rows before it put the block boundaries. At
// the end of the file the last read is short, so a final row up to the full limit fits wherever
// it starts.
TEST(JSONLinesTest, RowLimitAtEveryBufferAlignment) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    // A full block after the row, so the read that passes the limit is never cut short by the
    // end of the file.
    const std::string trailer = rowOfLength(16'384);
    struct Case {
        std::size_t before;   // bytes of the rows before the long one
        std::size_t longest;  // the longest row (line feed included) still read
        bool last;            // the long row ends the file
    };
    const Case cases[] = {
        {0, 65'536, false},       // four whole blocks
        {100, 65'436, false},     // the fifth block would be needed for one byte more
        {16'000, 49'536, false},  // 384 bytes of the row arrive with the first block
        {16'383, 49'153, false},  // one byte of the row arrives with the first block
        {16'384, 65'536, false},  // the row starts exactly on a block boundary
        {20'000, 61'920, false}, {0, 65'536, true}, {16'383, 65'536, true},
    };
    for (const Case& c : cases) {
        const std::string prefix = c.before == 0 ? std::string() : rowOfLength(c.before);
        for (const std::size_t length : {c.longest, c.longest + 1}) {
            const std::string label = std::to_string(c.before) + " bytes before, row of " +
                                      std::to_string(length) + (c.last ? ", last" : "");
            writeFile(path, prefix + rowOfLength(length) + (c.last ? "" : trailer));
            JSONLines::Reader reader(path);
            if (c.before > 0) {
                ASSERT_TRUE(reader.next<ExpectedArchiveRecord>()) << label;
            }
            if (length > c.longest) {
                // Fails even though the read that overflows also brings the row's end.
                expectInvalidArchive([&] { reader.next<ExpectedArchiveRecord>(); },
                                     "oversized manifest row", label);
                continue;
            }
            const auto record = reader.next<ExpectedArchiveRecord>();
            ASSERT_TRUE(record) << label;
            EXPECT_EQ(record->path.size(), length - rowOverhead()) << label;
            EXPECT_TRUE(c.last || reader.next<ExpectedArchiveRecord>()) << label;
            EXPECT_NO_THROW(reader.requireEnd<ExpectedArchiveRecord>()) << label;
        }
    }
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(JSONLinesTest, DecodingIsStrictAndItsErrorsPassThroughUnwrapped) {
    TempDir dir;
    const std::string path = dir.file("snapshot.jsonl");
    const std::string valid = sampleSnapshot().encode();
    const std::string digest = "\"contentSHA256\":\"" + std::string(64, 'e') + "\"";
    const std::string refused[] = {
        replaced(valid, "\"size\":7", "\"size\":7.0"),
        replaced(valid, "\"size\":7", "\"size\":7e0"),
        replaced(valid, "\"size\":7", "\"size\":-7"),
        replaced(valid, "\"inode\":5", "\"inode\":18446744073709551616"),
        replaced(valid, "\"modifiedSeconds\":-5", "\"modifiedSeconds\":9223372036854775808"),
        replaced(valid, "\"permissions\":420", "\"permissions\":65536"),
        replaced(valid, "\"inode\":5", "\"inode\":\"5\""),
        replaced(valid, "\"isDirectory\":false", "\"isDirectory\":0"),
        replaced(valid, "\"sourcePath\":\"/home/u/Sel/a b.txt\"", "\"sourcePath\":1"),
        replaced(valid, digest, "\"contentSHA256\":1"),
        replaced(valid, "\"inode\":5,", ""),
        replaced(valid, "\"inode\":5", "\"inode\":null"),
        replaced(valid, "\"inode\":5", "\"inode\":5,\"inode\":6"),
        "[1,2]",
        valid.substr(0, valid.size() - 1),
    };
    for (const std::string& row : refused) {
        writeFile(path, row + "\n");
        JSONLines::Reader reader(path);
        EXPECT_THROW(reader.next<SourceSnapshotRecord>(), StrictJson::DecodeError) << row;
    }

    SourceSnapshotRecord absent = sampleSnapshot();
    absent.contentSHA256.reset();
    const std::pair<std::string, SourceSnapshotRecord> accepted[] = {
        {replaced(valid, digest, "\"contentSHA256\":null"), absent},
        {absent.encode(), absent},
        {replaced(valid, "{", "{\"future\":{\"nested\":[1.5,-2]},"), sampleSnapshot()},
    };
    for (const auto& [row, record] : accepted) {
        writeFile(path, row + "\n");
        JSONLines::Reader reader(path);
        EXPECT_EQ(reader.next<SourceSnapshotRecord>(), record) << row;
    }
}

}  // namespace
}  // namespace tolvane
