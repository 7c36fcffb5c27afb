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
        test::writeFile(snapshotPath, "");
        test::writeFile(expectedPath, "");
        for (const Entry& entry : entries) {
            appendTo(snapshotPath, snapshotRow(entry));
            appendTo(expectedPath, expectedRow(entry));
        }
    }

    std::uint64_t write(std::uint64_t count) {
        return writePathMappingManifest(snapshotPath, expectedPath, outputPath, count, nullptr, {});
    }

    bool outputExists() const {
        struct stat st {};
        return ::lstat(outputPath.c_str(), &st) == 0;
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

TEST_F(PathMappingManifestTest, NoDifferingPathWritesNoFile) {
    writeLists({{"a", "a", false, 3}, {"d", "d", true, 0}, {"d/b", "d/b", false, 1}});
    EXPECT_EQ(write(3), 0u);
    EXPECT_FALSE(outputExists());
}

TEST_F(PathMappingManifestTest, ListsOnlyDifferingEntriesNumberedAmongAll) {
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
    EXPECT_EQ(size, static_cast<std::uint64_t>(st.st_size));
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    JSONLines::Reader reader(outputPath);
    EXPECT_EQ(reader.next<PathMappingHeader>(), (PathMappingHeader{1, 6, 3}));
    const PathMappingRecord rows[] = {
        {3, "c:x", "c_x", "file", 5, Sha256::hexOf("c_x")},
        {4, "D:ir", "D_ir/", "directory", 0, ""},
        {5, "D:ir/f", "D_ir/f", "file", 9, Sha256::hexOf("D_ir/f")},
    };
    for (const PathMappingRecord& row : rows) {
        EXPECT_EQ(reader.next<PathMappingRecord>(), row);
    }
    EXPECT_NO_THROW(reader.requireEnd<PathMappingRecord>());
}

TEST_F(PathMappingManifestTest, ListsThatDisagreeAreRefusedBeforeAnyFileExists) {
    const std::vector<Entry> entries = {
        {"a", "a", false, 3}, {"d:1", "d_1", true, 0}, {"d:1/b", "d_1/b", false, 4}};
    struct Case {
        const char* label;
        std::function<void()> damage;
        std::uint64_t count;
        const char* detail;
    };
    const Case cases[] = {
        {"expected list ends first",
         [&] {
             writeLists({entries[0], entries[1]});
             appendTo(snapshotPath, snapshotRow(entries[2]));
         },
         3, "input mapping entries are out of sync"},
        {"snapshot list ends first",
         [&] {
             writeLists({entries[0], entries[1]});
             appendTo(expectedPath, expectedRow(entries[2]));
         },
         3, "input mapping entries are out of sync"},
        {"directory without its slash",
         [&] {
             writeLists({entries[0]});
             appendTo(snapshotPath, snapshotRow(entries[1]));
             appendTo(expectedPath, ExpectedArchiveRecord{"d_1", 0, ""});
         },
         2, "input mapping entries are out of sync"},
        {"file with a slash",
         [&] {
             writeLists({});
             appendTo(snapshotPath, snapshotRow(entries[0]));
             appendTo(expectedPath, ExpectedArchiveRecord{"a/", 3, ""});
         },
         1, "input mapping entries are out of sync"},
        {"sizes differ",
         [&] {
             writeLists({entries[0], entries[1]});
             appendTo(snapshotPath, snapshotRow(entries[2]));
             appendTo(expectedPath, ExpectedArchiveRecord{"d_1/b", 5, "x"});
         },
         3, "input mapping entries are out of sync"},
        {"rows in another order",
         [&] {
             writeLists({});
             appendTo(snapshotPath, snapshotRow(entries[0]));
             appendTo(snapshotPath, snapshotRow(entries[2]));
             appendTo(expectedPath, expectedRow(entries[2]));
             appendTo(expectedPath, expectedRow(entries[0]));
         },
         2, "input mapping entries are out of sync"},
        {"one entry more than written", [&] { writeLists(entries); }, 2,
         "input mapping entry count differs"},
        {"one entry fewer than written", [&] { writeLists(entries); }, 4,
         "input mapping entry count differs"},
    };
    for (const Case& c : cases) {
        c.damage();
        expectFailure([&] { return write(c.count); }, Code::invalidArchive, c.detail, c.label);
    }
}

TEST_F(PathMappingManifestTest, ReservedNameAtTheRootIsRefusedInAnyCase) {
    const Entry renamed = {"x:y", "x_y", false, 1};
    const std::vector<std::vector<Entry>> refused = {
        {{reserved, reserved, false, 2}},
        {{".TOLVANE-PATH-MAPPING.JSONL", ".TOLVANE-PATH-MAPPING.JSONL", false, 2}},
        {{".Tolvane-Path-Mapping.Jsonl", ".Tolvane-Path-Mapping.Jsonl", true, 0}},
        {{reserved, reserved, true, 0}, {reserved + "/inner", reserved + "/inner", false, 1}},
        {renamed, {".tolvane-path-mapping:jsonl", ".tolvane-path-mapping.JSONL", false, 1}},
    };
    for (const std::vector<Entry>& entries : refused) {
        const std::string label = entries.back().entryPath;
        writeLists(entries);
        expectFailure([&] { return write(entries.size()); }, Code::duplicatePath, reserved, label);
        std::vector<Entry> withMapping = entries;
        withMapping.insert(withMapping.begin(), renamed);
        writeLists(withMapping);
        expectFailure([&] { return write(withMapping.size()); }, Code::duplicatePath, reserved,
                      label + " with a mapping");
    }

    // Inside a folder the name is an ordinary entry.
    writeLists({{"d", "d", true, 0}, {"d/" + reserved, "d/" + reserved, false, 1}});
    EXPECT_EQ(write(2), 0u);
    writeLists({{"d:1", "d_1", true, 0}, {"d:1/" + reserved, "d_1/" + reserved, false, 1}});
    EXPECT_GT(write(2), 0u);
}

TEST_F(PathMappingManifestTest, UnsafeOriginalPathOfAMappedEntryStopsAndRemovesTheFile) {
    const std::string composesTo256 = repeated("e\xCC\x81", 128);  // 128 × "é" = 256 bytes
    const std::string unsafe[] = {
        "a/./b", "a/../b", "..", "a/", "/abs", "a//b", repeated("n", 256), composesTo256,
    };
    for (const std::string& original : unsafe) {
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
        ::unlink(outputPath.c_str());
    }
}

TEST_F(PathMappingManifestTest, CancellationAtAnyCheckLeavesNoFile) {
    const std::vector<Entry> entries = {
        {"a", "a", false, 1}, {"b:1", "b_1", false, 2}, {"c", "c", false, 3}};
    // Each pass checks before every pair and once more before finding the end.
    const int checks = 2 * (static_cast<int>(entries.size()) + 1);
    for (int cancelAt = 1; cancelAt <= checks; ++cancelAt) {
        writeLists(entries);
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

    writeLists(entries);
    Progress progress;
    progress.cancel();
    expectFailure(
        [&] {
            return writePathMappingManifest(snapshotPath, expectedPath, outputPath, 3, &progress,
                                            {});
        },
        Code::cancelled, "", "progress");
    std::stop_source stop;
    stop.request_stop();
    expectFailure(
        [&] {
            return writePathMappingManifest(snapshotPath, expectedPath, outputPath, 3, nullptr,
                                            stop.get_token());
        },
        Code::cancelled, "", "stop token");
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

TEST_F(PathMappingManifestTest, AnExistingFileIsReplacedWithMode0600) {
    test::writeFile(outputPath, std::string(100'000, 'x'));
    ASSERT_EQ(::chmod(outputPath.c_str(), 0644), 0);
    writeLists({{"b:1", "b_1", false, 2}});
    const std::uint64_t size = write(1);
    struct stat st {};
    ASSERT_EQ(::lstat(outputPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(size, static_cast<std::uint64_t>(st.st_size));
    const PathMappingHeader header{1, 1, 1};
    const PathMappingRecord row{1, "b:1", "b_1", "file", 2, Sha256::hexOf("b_1")};
    EXPECT_EQ(test::readFile(outputPath), header.encode() + "\n" + row.encode() + "\n");
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
    const std::pair<std::string, bool> cases[] = {
        {reserved, true},
        {".TOLVANE-PATH-MAPPING.JSONL", true},
        {".tolvane-path-mapping.j\xC5\xBFonl", true},  // long s folds to "s"
        {reserved + "/", true},
        {reserved + "/a/b", true},
        {".TOLVANE-path-mapping.jsonl/x", true},
        {"", false},
        {reserved + ".bak", false},
        {reserved.substr(1), false},
        {"d/" + reserved, false},
        {"." + reserved, false},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(hasReservedMappingPath(path), expected) << path;
    }
}

TEST(PathMappingNamesTest, OriginalRelativePathRules) {
    const std::string component255 = repeated("\xEA\xB0\x80", 85);  // 85 × "가" = 255 bytes
    // 127 × decomposed "é" is 381 bytes but only 254 once composed.
    const std::string decomposed = repeated("e\xCC\x81", 127);
    std::string longPath;
    while (longPath.size() < 4096) {
        longPath += longPath.empty() ? "" : "/";
        longPath += repeated("p", std::min<std::size_t>(100, 4096 - longPath.size()));
    }
    ASSERT_EQ(longPath.size(), 4096u);

    const std::pair<std::string, bool> cases[] = {
        {"a", true},
        {"dir/file.txt", true},
        {"back\\slash/co:lon/\x01\x7F\xE2\x80\x8E", true},  // kept: real names on disk
        {"...", true},
        {".hidden/..x", true},
        {component255, true},
        {decomposed, true},
        {longPath, true},
        {"", false},
        {"/a", false},
        {std::string("a\0b", 3), false},
        {longPath + "p", false},
        {"a//b", false},
        {"a/", false},
        {".", false},
        {"a/..", false},
        {"./a", false},
        {component255 + "x", false},
        {repeated("e\xCC\x81", 128), false},
        {"bad\xFF", false},
        {"a/\xED\xA0\x80", false},  // surrogate
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(validOriginalRelativePath(path), expected) << path;
    }
}

}  // namespace
}  // namespace tolvane
