#include "core/archive/PathMappingManifest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/JSONLines.h"
#include "core/common/Digest.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/StrictJson.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using ArchivePipeline::hasReservedMappingPath;
using ArchivePipeline::validOriginalRelativePath;
using ArchivePipeline::writePathMappingManifest;
using Code = ArchivePipelineError::Code;

const std::string reserved(ArchivePipeline::reservedMappingName);

struct Entry {
    std::string originalPath;
    std::string entryPath;
    bool isDirectory = false;
    std::uint64_t size = 0;
};

SourceSnapshotRecord snapshotRow(const Entry& entry) {
    SourceSnapshotRecord row;
    row.sourcePath = "/sel/" + entry.originalPath;
    row.originalPath = entry.originalPath;
    row.entryPath = entry.entryPath;
    row.isDirectory = entry.isDirectory;
    row.size = entry.size;
    row.permissions = entry.isDirectory ? 0755 : 0644;
    if (!entry.isDirectory) {
        row.contentSHA256 = Sha256::hexOf(entry.entryPath);
    }
    return row;
}

ExpectedArchiveRecord expectedRow(const Entry& entry) {
    if (entry.isDirectory) {
        return {entry.entryPath + "/", entry.size, ""};
    }
    return {entry.entryPath, entry.size, Sha256::hexOf(entry.entryPath)};
}

std::string repeated(std::string_view piece, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

class PathMappingManifestTest : public ::testing::Test {
protected:
    test::TempDir dir;
    std::string snapshotPath = dir.file("snapshot.jsonl");
    std::string expectedPath = dir.file("expected.jsonl");
    std::string outputPath = dir.file("path-mapping.jsonl");

    template <class Row>
    void appendTo(const std::string& path, const Row& row) {
        UniqueFd out = posix::open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
        JSONLines::append(row, out.get());
    }

    void writeLists(const std::vector<Entry>& entries) {
        std::vector<ExpectedArchiveRecord> expected;
        std::transform(entries.begin(), entries.end(), std::back_inserter(expected), expectedRow);
        writeRows(entries, expected);
    }

    void writeRows(const std::vector<Entry>& snapshot,
                   const std::vector<ExpectedArchiveRecord>& expected) {
        test::writeFile(snapshotPath, "");
        test::writeFile(expectedPath, "");
        for (const Entry& entry : snapshot) {
            appendTo(snapshotPath, snapshotRow(entry));
        }
        for (const ExpectedArchiveRecord& row : expected) {
            appendTo(expectedPath, row);
        }
    }

    std::uint64_t write(std::uint64_t count) {
        return writePathMappingManifest(snapshotPath, expectedPath, outputPath, count, nullptr, {});
    }

    bool outputExists() const {
        return ::faccessat(AT_FDCWD, outputPath.c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0;
    }

    // Expects the write to fail with the given case and detail and to leave no manifest.
    void expectFailure(const std::function<std::uint64_t()>& action, Code code,
                       const std::string& detail, const std::string& label = {}) {
        try {
            action();
            ADD_FAILURE() << label << ": no error";
        } catch (const ArchivePipelineError& error) {
            EXPECT_EQ(error.code(), code) << label << ": " << error.detail();
            EXPECT_EQ(error.detail(), detail) << label;
        }
        EXPECT_FALSE(outputExists()) << label;
    }
};

TEST_F(PathMappingManifestTest, ListsOnlyDifferingEntriesNumberedAmongAll) {
    writeLists({{"a", "a", false, 3}, {"d", "d", true, 0}, {"d/b", "d/b", false, 1}});
    EXPECT_EQ(write(3), 0u);
    EXPECT_FALSE(outputExists());

    // A file already there is replaced, with mode 0600.
    test::writeFile(outputPath, std::string(100'000, 'x'));
    ASSERT_EQ(::chmod(outputPath.c_str(), 0644), 0);
    writeLists({
        {"a", "a", false, 3},
        {"b", "b", false, 0},
        {"c:x", "c_x", false, 5},
        {"D:ir", "D_ir", true, 0},
        {"D:ir/f", "D_ir/f", false, 9},
        {"D:ir/same", "D:ir/same", false, 1},  // cannot really happen, but equal texts are skipped
    });
    const std::uint64_t size = write(6);
    struct stat st {};
    ASSERT_EQ(::lstat(outputPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    std::string expected = PathMappingHeader{1, 6, 3}.encode() + "\n";
    for (const PathMappingRecord& row : {
             PathMappingRecord{3, "c:x", "c_x", "file", 5, Sha256::hexOf("c_x")},
             PathMappingRecord{4, "D:ir", "D_ir/", "directory", 0, ""},
             PathMappingRecord{5, "D:ir/f", "D_ir/f", "file", 9, Sha256::hexOf("D_ir/f")},
         }) {
        expected += row.encode() + "\n";
    }
    EXPECT_EQ(test::readFile(outputPath), expected);
    EXPECT_EQ(size, expected.size());
}

TEST_F(PathMappingManifestTest, ListsThatDisagreeAreRefusedBeforeAnyFileExists) {
    const Entry a = {"a", "a", false, 3};
    const Entry d = {"d:1", "d_1", true, 0};
    const Entry b = {"d:1/b", "d_1/b", false, 4};
    const ExpectedArchiveRecord ra = expectedRow(a), rd = expectedRow(d), rb = expectedRow(b);
    struct Case {
        std::vector<Entry> snapshot;
        std::vector<ExpectedArchiveRecord> expected;
        std::uint64_t count;
        const char* detail;
    };
    const char* outOfSync = "input mapping entries are out of sync";
    const Case cases[] = {
        {{a, d, b}, {ra, rd}, 3, outOfSync},
        {{a, d}, {ra, rd, rb}, 3, outOfSync},
        {{a, d}, {ra, {"d_1", 0, ""}}, 2, outOfSync},  // a directory without its slash
        {{a}, {{"a/", 3, ""}}, 1, outOfSync},          // a file with one
        {{a, d, b}, {ra, rd, {"d_1/b", 5, "x"}}, 3, outOfSync},
        {{a, b}, {rb, ra}, 2, outOfSync},
        {{a, d, b}, {ra, rd, rb}, 2, "input mapping entry count differs"},
        {{a, d, b}, {ra, rd, rb}, 4, "input mapping entry count differs"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        writeRows(cases[i].snapshot, cases[i].expected);
        expectFailure([&] { return write(cases[i].count); }, Code::invalidArchive, cases[i].detail,
                      "case " + std::to_string(i));
    }
}

TEST_F(PathMappingManifestTest, ReservedNameAtTheRootIsRefusedInAnyCase) {
    const Entry renamed = {"x:y", "x_y", false, 1};
    const std::vector<std::vector<Entry>> refused = {
        {{reserved, reserved, false, 2}},
        {{".Tolvane-Path-Mapping.Jsonl", ".Tolvane-Path-Mapping.Jsonl", true, 0}},
        {{reserved, reserved, true, 0}, {reserved + "/inner", reserved + "/inner", false, 1}},
        {{".tolvane-path-mapping:jsonl", ".tolvane-path-mapping.JSONL", false, 1}},
    };
    for (const std::vector<Entry>& entries : refused) {
        // Alone, and after a mapped entry that already started the file.
        std::vector<Entry> withMapping = {renamed};
        withMapping.insert(withMapping.end(), entries.begin(), entries.end());
        for (const std::vector<Entry>& listed : {entries, withMapping}) {
            writeLists(listed);
            expectFailure([&] { return write(listed.size()); }, Code::duplicatePath, reserved,
                          listed.front().entryPath + " ... " + listed.back().entryPath);
        }
    }

    // Inside a folder the name is an ordinary entry.
    writeLists({{"d", "d", true, 0}, {"d/" + reserved, "d/" + reserved, false, 1}});
    EXPECT_EQ(write(2), 0u);
    writeLists({{"d:1", "d_1", true, 0}, {"d:1/" + reserved, "d_1/" + reserved, false, 1}});
    EXPECT_GT(write(2), 0u);
}

TEST_F(PathMappingManifestTest, UnsafeOriginalPathOfAMappedEntryStopsAndRemovesTheFile) {
    const std::string composesTo256 = repeated("e\xCC\x81", 128);  // 128 × "é" = 256 bytes
    for (const std::string& original :
         {std::string("a/../b"), std::string("/abs"), std::string("a/"), composesTo256}) {
        // The unsafe row comes after a good one, so the file already exists when it is found.
        writeLists({{"ok:1", "ok_1", false, 1}, {original, "safe", false, 2}});
        expectFailure([&] { return write(2); }, Code::unsafePath, original, original);

        // The same text on an entry stored under it unchanged is not this writer's concern.
        writeLists({{"ok:1", "ok_1", false, 1}, {original, original, false, 2}});
        EXPECT_GT(write(2), 0u) << original;
        JSONLines::Reader reader(outputPath);
        EXPECT_EQ(reader.next<PathMappingHeader>(), (PathMappingHeader{1, 2, 1})) << original;
        EXPECT_EQ(reader.next<PathMappingRecord>()->originalPath, "ok:1");
        EXPECT_NO_THROW(reader.requireEnd<PathMappingRecord>());
    }
}

TEST_F(PathMappingManifestTest, CancellationAtAnyCheckLeavesNoFile) {
    const std::vector<Entry> entries = {
        {"a", "a", false, 1}, {"b:1", "b_1", false, 2}, {"c", "c", false, 3}};
    writeLists(entries);
    // Each pass checks before every pair and once more before finding the end.
    const int checks = 2 * (static_cast<int>(entries.size()) + 1);
    for (int cancelAt = 1; cancelAt <= checks; ++cancelAt) {
        Progress progress;
        int calls = 0;
        const auto check = [&] {
            if (++calls == cancelAt) {
                progress.cancel();
            }
            checkArchiveCancellation(&progress, {});
        };
        expectFailure(
            [&] {
                return writePathMappingManifest(snapshotPath, expectedPath, outputPath, 3, check);
            },
            Code::cancelled, "", "cancelled at check " + std::to_string(cancelAt));
    }

    Progress cancelled;
    cancelled.cancel();
    std::stop_source stop;
    stop.request_stop();
    for (const auto& [progress, token] :
         {std::pair<Progress*, std::stop_token>{&cancelled, {}}, {nullptr, stop.get_token()}}) {
        expectFailure(
            [&] {
                return writePathMappingManifest(snapshotPath, expectedPath, outputPath, 3, progress,
                                                token);
            },
            Code::cancelled, "", progress ? "progress" : "stop token");
    }
}

// The header is written from the first pass; rows that appear before the second must not leave a
// manifest that miscounts them.
TEST_F(PathMappingManifestTest, ListsGrowingBetweenThePassesAreRefused) {
    const std::vector<Entry> entries = {{"a", "a", false, 1}, {"b:1", "b_1", false, 2}};
    const Entry extras[] = {{"c:1", "c_1", false, 3}, {"c", "c", false, 3}};
    for (const Entry& extra : extras) {
        writeLists(entries);
        int calls = 0;
        const auto growBeforeSecondPass = [&] {
            if (++calls == static_cast<int>(entries.size()) + 2) {
                appendTo(snapshotPath, snapshotRow(extra));
                appendTo(expectedPath, expectedRow(extra));
            }
        };
        expectFailure(
            [&] {
                return writePathMappingManifest(snapshotPath, expectedPath, outputPath, 2,
                                                growBeforeSecondPass);
            },
            Code::invalidArchive, "input mapping entry count differs", extra.entryPath);
    }
}

TEST_F(PathMappingManifestTest, UncreatableFileIsAFinalizationFailure) {
    writeLists({{"b:1", "b_1", false, 2}});
    const std::string target = dir.file("target");
    test::writeFile(target, "keep");
    ASSERT_EQ(::symlink(target.c_str(), outputPath.c_str()), 0);
    try {
        write(1);
        ADD_FAILURE() << "wrote through a symbolic link";
    } catch (const ArchivePipelineError& error) {
        EXPECT_EQ(error.code(), Code::finalizationFailed);
        EXPECT_EQ(error.detail(), "could not create path mapping manifest");
    }
    EXPECT_EQ(test::readFile(target), "keep");

    outputPath = dir.file("missing/path-mapping.jsonl");
    expectFailure([&] { return write(1); }, Code::finalizationFailed,
                  "could not create path mapping manifest");
}

TEST_F(PathMappingManifestTest, ListErrorsPassThrough) {
    writeLists({{"b:1", "b_1", false, 2}});
    test::writeFile(expectedPath, "{\"path\":\"b_1\",\"size\":2.0,\"sha256\":\"\"}\n");
    EXPECT_THROW(write(1), StrictJson::DecodeError);
    EXPECT_FALSE(outputExists());
    ::unlink(snapshotPath.c_str());
    EXPECT_THROW(write(1), std::system_error);
}

// The limit is enforced while writing: a huge mapping fails at the first row that would pass it,
// long before the rest is written, and the file never grows beyond it.
TEST_F(PathMappingManifestTest, LimitStopsTheWriteAtTheFirstRowPastIt) {
    std::vector<Entry> entries;
    for (int i = 1; i <= 6; ++i) {
        const std::string n = std::to_string(i);
        entries.push_back({"m:" + n, "m_" + n, false, static_cast<std::uint64_t>(i)});
    }
    const auto count = static_cast<std::uint64_t>(entries.size());
    writeLists(entries);

    // Where each line of the complete manifest ends: the header, then one row per entry.
    ASSERT_GT(write(count), 0u);
    const std::string full = test::readFile(outputPath);
    std::vector<std::uint64_t> lineEnds;
    for (std::size_t at = full.find('\n'); at != std::string::npos; at = full.find('\n', at + 1)) {
        lineEnds.push_back(at + 1);
    }
    ASSERT_EQ(lineEnds.size(), entries.size() + 1);
    ::unlink(outputPath.c_str());

    const std::uint64_t checksInFirstPass = count + 1;
    const std::uint64_t cases[] = {
        lineEnds.back(),      // the whole file, exactly
        lineEnds.back() - 1,  // the last row is one byte too long
        lineEnds[2],          // two rows fit exactly, the third does not
        lineEnds[2] + 1,
        lineEnds[0],      // the header alone
        lineEnds[0] - 1,  // not even the header
        0,
    };
    for (const std::uint64_t limit : cases) {
        const std::string label = "limit " + std::to_string(limit);
        std::uint64_t checks = 0;
        std::uint64_t largestSeen = 0;
        const auto watch = [&] {
            ++checks;
            struct stat st {};
            if (::lstat(outputPath.c_str(), &st) == 0) {
                largestSeen = std::max(largestSeen, static_cast<std::uint64_t>(st.st_size));
            }
        };
        const auto run = [&] {
            return ArchivePipeline::writePathMappingManifestWithLimit(
                snapshotPath, expectedPath, outputPath, count, watch, limit);
        };
        if (limit == lineEnds.back()) {
            EXPECT_EQ(run(), limit) << label;
            EXPECT_EQ(test::readFile(outputPath), full) << label;
            ::unlink(outputPath.c_str());
            continue;
        }
        // The line that does not fit: 0 for the header, i for the i-th row.
        const auto firstMisfit = static_cast<std::uint64_t>(
            std::upper_bound(lineEnds.begin(), lineEnds.end(), limit) - lineEnds.begin());
        expectFailure(run, Code::unsupportedArchiveEntry,
                      "path mapping exceeds its supported limit", label);
        EXPECT_LE(largestSeen, limit) << label;
        EXPECT_EQ(checks, checksInFirstPass + firstMisfit) << label;
    }

    // The default limit leaves an ordinary manifest alone.
    EXPECT_EQ(writePathMappingManifest(snapshotPath, expectedPath, outputPath, count, [] {}),
              full.size());
}

TEST(PathMappingNamesTest, ReservedPathIsMatchedByCollisionKeyAtTheRootOnly) {
    // A long s ("\xC5\xBF") folds to "s".
    for (const std::string& path : {reserved, std::string(".tolvane-path-mapping.j\xC5\xBFonl"),
                                    reserved + "/", std::string(".TOLVANE-path-mapping.jsonl/x")}) {
        EXPECT_TRUE(hasReservedMappingPath(path)) << path;
    }
    for (const std::string& path :
         {std::string(), reserved + ".bak", reserved.substr(1), "d/" + reserved, "." + reserved}) {
        EXPECT_FALSE(hasReservedMappingPath(path)) << path;
    }
}

TEST(PathMappingNamesTest, OriginalRelativePathRules) {
    const std::string component255 = repeated("\xEA\xB0\x80", 85);  // 85 × "가" = 255 bytes
    std::string longPath;
    while (longPath.size() < 4096) {
        longPath += longPath.empty() ? "" : "/";
        longPath += repeated("p", std::min<std::size_t>(100, 4096 - longPath.size()));
    }
    ASSERT_EQ(longPath.size(), 4096u);

    // Control characters, backslashes and colons are kept: they are real names on disk. 127 ×
    // decomposed "é" is 381 bytes but only 254 once composed.
    for (const std::string& path :
         {std::string("dir/file.txt"), std::string("back\\slash/co:lon/\x01\x7F\xE2\x80\x8E"),
          std::string("..."), std::string(".hidden/..x"), component255, repeated("e\xCC\x81", 127),
          longPath}) {
        EXPECT_TRUE(validOriginalRelativePath(path)) << path;
    }
    // The last one holds a surrogate.
    for (const std::string& path :
         {std::string(), std::string("/a"), std::string("a\0b", 3), longPath + "p",
          std::string("a//b"), std::string("a/"), std::string("."), std::string("a/.."),
          std::string("./a"), component255 + "x", repeated("e\xCC\x81", 128),
          std::string("bad\xFF"), std::string("a/\xED\xA0\x80")}) {
        EXPECT_FALSE(validOriginalRelativePath(path)) << path;
    }
}

}  // namespace
}  // namespace tolvane
