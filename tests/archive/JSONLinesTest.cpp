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
    return SourceSnapshotRecord{"/home/u/Sel/a b.txt",
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

TEST(JSONLinesTest, EveryRecordTypeSurvivesTheRoundTrip) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    SourceSnapshotRecord extreme = sampleSnapshot();
    // A line feed, quotes and backslashes inside a value must not break the row.
    extreme.originalPath = "line\nfeed \"quoted\" back\\slash \x01 한글";
    extreme.size = std::numeric_limits<std::uint64_t>::max();
    extreme.modifiedSeconds = std::numeric_limits<std::int64_t>::min();
    extreme.permissions = std::numeric_limits<std::uint16_t>::max();
    SourceSnapshotRecord noDigest = sampleSnapshot();
    noDigest.contentSHA256.reset();

    const ExpectedArchiveRecord expected{"dir/file", 12, std::string(64, 'a')};
    const PathMappingHeader header{1, 3, 1};
    const PathMappingRecord mapping{2, "a\\b", "a_b", "file", 12, std::string(64, 'b')};
    const PreflightArchiveRecord preflight{4, "d/", "d/", "directory", 0};
    const PathMappingReceiptHeader receiptHeader{1, "x.zip", 1, "verified-archive-manifest"};
    const PathMappingReceiptRecord receiptRow{"a\\b", "a_b", "a_b", "file", 12, "c"};
    {
        UniqueFd out = posix::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        JSONLines::append(extreme, out.get());
        JSONLines::append(noDigest, out.get());
        JSONLines::append(expected, out.get());
        JSONLines::append(header, out.get());
        JSONLines::append(mapping, out.get());
        JSONLines::append(preflight, out.get());
        JSONLines::append(receiptHeader, out.get());
        JSONLines::append(receiptRow, out.get());
    }
    const std::string content = readFile(path);
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 8);

    JSONLines::Reader reader(path);
    EXPECT_EQ(reader.next<SourceSnapshotRecord>(), extreme);
    EXPECT_EQ(reader.next<SourceSnapshotRecord>(), noDigest);
    EXPECT_EQ(reader.next<ExpectedArchiveRecord>(), expected);
    EXPECT_EQ(reader.next<PathMappingHeader>(), header);
    EXPECT_EQ(reader.next<PathMappingRecord>(), mapping);
    EXPECT_EQ(reader.next<PreflightArchiveRecord>(), preflight);
    EXPECT_EQ(reader.next<PathMappingReceiptHeader>(), receiptHeader);
    EXPECT_EQ(reader.next<PathMappingReceiptRecord>(), receiptRow);
    EXPECT_NO_THROW(reader.requireEnd<PathMappingReceiptRecord>());
}

TEST(JSONLinesTest, RowsAreVisibleToAReaderWhileTheWriterIsOpen) {
    TempDir dir;
    const std::string path = dir.file("expected.jsonl");
    UniqueFd out = posix::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const ExpectedArchiveRecord first{"a", 1, "x"};
    const ExpectedArchiveRecord second{"b", 2, "y"};
    JSONLines::append(first, out.get());
    {
        JSONLines::Reader reader(path);
        EXPECT_EQ(reader.next<ExpectedArchiveRecord>(), first);
        EXPECT_EQ(reader.next<ExpectedArchiveRecord>(), std::nullopt);
    }
    JSONLines::append(second, out.get());
    JSONLines::Reader reader(path);
    EXPECT_EQ(reader.next<ExpectedArchiveRecord>(), first);
    EXPECT_EQ(reader.next<ExpectedArchiveRecord>(), second);
    EXPECT_NO_THROW(reader.requireEnd<ExpectedArchiveRecord>());
}

TEST(JSONLinesTest, AnUnencodableRecordWritesNothing) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    UniqueFd out = posix::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_THROW(JSONLines::append(ExpectedArchiveRecord{"bad\xff", 0, ""}, out.get()),
                 StrictJson::DecodeError);
    EXPECT_EQ(posix::fstat(out.get()).st_size, 0);
}

TEST(JSONLinesTest, ReaderFromADescriptorStartsAtItsPosition) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    const std::string first = ExpectedArchiveRecord{"a", 1, "x"}.encode() + "\n";
    writeFile(path, first + ExpectedArchiveRecord{"b", 2, "y"}.encode() + "\n");
    UniqueFd in = posix::open(path, O_RDONLY);
    ASSERT_EQ(::lseek(in.get(), static_cast<off_t>(first.size()), SEEK_SET),
              static_cast<off_t>(first.size()));
    JSONLines::Reader reader(std::move(in));
    EXPECT_EQ(reader.next<ExpectedArchiveRecord>(), (ExpectedArchiveRecord{"b", 2, "y"}));
    EXPECT_NO_THROW(reader.requireEnd<ExpectedArchiveRecord>());
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

TEST(JSONLinesTest, EndOfListAndItsFailures) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    const std::string row = ExpectedArchiveRecord{"a", 1, "x"}.encode() + "\n";
    const std::string bigRow = rowOfLength(40'000);

    writeFile(path, "");
    {
        JSONLines::Reader reader(path);
        EXPECT_EQ(reader.next<ExpectedArchiveRecord>(), std::nullopt);
        EXPECT_EQ(reader.next<ExpectedArchiveRecord>(), std::nullopt);
    }
    EXPECT_NO_THROW(JSONLines::Reader(path).requireEnd<ExpectedArchiveRecord>());

    writeFile(path, row + row);
    expectInvalidArchive([&] { JSONLines::Reader(path).requireEnd<ExpectedArchiveRecord>(); },
                         "unused manifest records");

    struct Case {
        const char* label;
        std::string content;
        int goodRows;  // rows returned before the failure
        const char* detail;
    };
    const Case cases[] = {
        {"last row without line feed", row + row.substr(0, row.size() - 1), 1,
         "truncated job manifest"},
        {"long last row without line feed", row + bigRow.substr(0, bigRow.size() - 1), 1,
         "truncated job manifest"},
        {"only a partial row", "{", 0, "truncated job manifest"},
        {"starts with a line feed", "\n" + row, 0, "empty job manifest row"},
        {"blank row in the middle", row + "\n" + row, 1, "empty job manifest row"},
        {"trailing blank row", row + row + "\n", 2, "empty job manifest row"},
    };
    for (const Case& c : cases) {
        writeFile(path, c.content);
        JSONLines::Reader reader(path);
        for (int i = 0; i < c.goodRows; ++i) {
            EXPECT_TRUE(reader.next<ExpectedArchiveRecord>()) << c.label;
        }
        expectInvalidArchive([&] { reader.next<ExpectedArchiveRecord>(); }, c.detail, c.label);
    }
    // A trailing blank row is not a clean end either.
    writeFile(path, row + "\n");
    JSONLines::Reader reader(path);
    ASSERT_TRUE(reader.next<ExpectedArchiveRecord>());
    expectInvalidArchive([&] { reader.requireEnd<ExpectedArchiveRecord>(); },
                         "empty job manifest row");
}

// Reads come in 16 KiB blocks and the buffer may hold at most 64 KiB after any read, so the
// longest row that can be read depends on where the rows before it put the block boundaries.
TEST(JSONLinesTest, RowLimitAtEveryBufferAlignment) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    // A full block after the row, so the read that passes the limit is never cut short by the
    // end of the file.
    const std::string trailer = rowOfLength(16'384);
    struct Case {
        std::size_t before;   // bytes of the rows before the long one
        std::size_t longest;  // the longest row (line feed included) still read
    };
    const Case cases[] = {
        {0, 65'536},       // four whole blocks
        {100, 65'436},     // the fifth block would be needed for one byte more
        {16'000, 49'536},  // 384 bytes of the row arrive with the first block
        {16'383, 49'153},  // one byte of the row arrives with the first block
        {16'384, 65'536},  // the row starts exactly on a block boundary
        {20'000, 61'920},
    };
    for (const Case& c : cases) {
        const std::string prefix = c.before == 0 ? std::string() : rowOfLength(c.before);
        for (const std::size_t length : {c.longest, c.longest + 1}) {
            const std::string label =
                std::to_string(c.before) + " bytes before, row of " + std::to_string(length);
            writeFile(path, prefix + rowOfLength(length) + trailer);
            JSONLines::Reader reader(path);
            if (c.before > 0) {
                ASSERT_TRUE(reader.next<ExpectedArchiveRecord>()) << label;
            }
            if (length == c.longest) {
                const auto record = reader.next<ExpectedArchiveRecord>();
                ASSERT_TRUE(record) << label;
                EXPECT_EQ(record->path.size(), length - rowOverhead()) << label;
                EXPECT_TRUE(reader.next<ExpectedArchiveRecord>()) << label;
                EXPECT_NO_THROW(reader.requireEnd<ExpectedArchiveRecord>()) << label;
            } else {
                // Fails even though the read that overflows also brings the row's end.
                expectInvalidArchive([&] { reader.next<ExpectedArchiveRecord>(); },
                                     "oversized manifest row", label);
            }
        }
    }
}

// At the end of the file the last read is short, so a final row up to the full limit fits
// wherever it starts.
TEST(JSONLinesTest, LastRowMayUseTheWholeBuffer) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    for (const std::size_t before : {std::size_t{0}, std::size_t{16'383}}) {
        const std::string prefix = before == 0 ? std::string() : rowOfLength(before);
        writeFile(path, prefix + rowOfLength(65'536));
        {
            JSONLines::Reader reader(path);
            if (before > 0) {
                ASSERT_TRUE(reader.next<ExpectedArchiveRecord>());
            }
            EXPECT_TRUE(reader.next<ExpectedArchiveRecord>()) << before;
            EXPECT_NO_THROW(reader.requireEnd<ExpectedArchiveRecord>());
        }
        writeFile(path, prefix + rowOfLength(65'537));
        JSONLines::Reader reader(path);
        if (before > 0) {
            ASSERT_TRUE(reader.next<ExpectedArchiveRecord>());
        }
        expectInvalidArchive([&] { reader.next<ExpectedArchiveRecord>(); },
                             "oversized manifest row", std::to_string(before));
    }
}

// A reader that failed stays failed. Reading on after an oversized row would return that row,
// held whole in memory, and after a blank row it would return the rows behind it.
TEST(JSONLinesTest, AFailedReaderRepeatsItsFailure) {
    TempDir dir;
    const std::string path = dir.file("list.jsonl");
    const std::string row = ExpectedArchiveRecord{"a", 1, "x"}.encode() + "\n";
    struct Case {
        const char* label;
        std::string content;
        int goodRows;
        const char* detail;
    };
    const Case cases[] = {
        {"oversized row with its end already read", rowOfLength(70'000) + row, 0,
         "oversized manifest row"},
        {"oversized row after a good one", row + rowOfLength(65'537) + row, 1,
         "oversized manifest row"},
        {"truncated last row", row + "{\"path\"", 1, "truncated job manifest"},
        {"blank row in the middle", row + "\n" + row + row, 1, "empty job manifest row"},
    };
    for (const Case& c : cases) {
        writeFile(path, c.content);
        JSONLines::Reader reader(path);
        for (int i = 0; i < c.goodRows; ++i) {
            ASSERT_TRUE(reader.next<ExpectedArchiveRecord>()) << c.label;
        }
        for (int attempt = 1; attempt <= 3; ++attempt) {
            const std::string label = std::string(c.label) + ", call " + std::to_string(attempt);
            expectInvalidArchive([&] { (void)reader.next<ExpectedArchiveRecord>(); }, c.detail,
                                 label);
        }
        // Not "unused manifest records": the reader's own failure is what it reports.
        expectInvalidArchive([&] { reader.requireEnd<ExpectedArchiveRecord>(); }, c.detail,
                             std::string(c.label) + ", end");
        // Moving the reader keeps its failure.
        JSONLines::Reader moved(std::move(reader));
        expectInvalidArchive([&] { (void)moved.next<ExpectedArchiveRecord>(); }, c.detail,
                             std::string(c.label) + ", moved");
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

    const std::pair<const char*, std::string> refused[] = {
        {"float", replaced(valid, "\"size\":7", "\"size\":7.0")},
        {"fraction", replaced(valid, "\"size\":7", "\"size\":7.5")},
        {"exponent", replaced(valid, "\"size\":7", "\"size\":7e0")},
        {"negative unsigned", replaced(valid, "\"size\":7", "\"size\":-7")},
        {"beyond 64 bits", replaced(valid, "\"inode\":5", "\"inode\":18446744073709551616")},
        {"beyond signed 64 bits",
         replaced(valid, "\"modifiedSeconds\":-5", "\"modifiedSeconds\":9223372036854775808")},
        {"beyond 16 bits", replaced(valid, "\"permissions\":420", "\"permissions\":65536")},
        {"negative permissions", replaced(valid, "\"permissions\":420", "\"permissions\":-1")},
        {"number as text", replaced(valid, "\"inode\":5", "\"inode\":\"5\"")},
        {"number as flag", replaced(valid, "\"isDirectory\":false", "\"isDirectory\":0")},
        {"text as number",
         replaced(valid, "\"sourcePath\":\"/home/u/Sel/a b.txt\"", "\"sourcePath\":1")},
        {"digest as number", replaced(valid, "\"contentSHA256\":\"" + std::string(64, 'e') + "\"",
                                      "\"contentSHA256\":1")},
        {"missing inode", replaced(valid, "\"inode\":5,", "")},
        {"null for a required key", replaced(valid, "\"inode\":5", "\"inode\":null")},
        {"duplicate key", replaced(valid, "\"inode\":5", "\"inode\":5,\"inode\":6")},
        {"not an object", "[1,2]"},
        {"malformed", valid.substr(0, valid.size() - 1)},
    };
    for (const auto& [label, row] : refused) {
        writeFile(path, row + "\n");
        JSONLines::Reader reader(path);
        EXPECT_THROW(reader.next<SourceSnapshotRecord>(), StrictJson::DecodeError) << label;
    }

    SourceSnapshotRecord absent = sampleSnapshot();
    absent.contentSHA256.reset();
    const std::pair<std::string, SourceSnapshotRecord> accepted[] = {
        {valid, sampleSnapshot()},
        {replaced(valid, "\"contentSHA256\":\"" + std::string(64, 'e') + "\"",
                  "\"contentSHA256\":null"),
         absent},
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
