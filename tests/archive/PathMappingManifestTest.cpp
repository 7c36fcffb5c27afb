#include "core/archive/PathMappingManifest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/common/Digest.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
const std::string reserved(reservedMappingName);

// The snapshot or the expected-entries list of entries given as "original>stored" ("stored" alone
// when they are equal), a folder ending in "/".
std::string rowsOf(const std::vector<std::string>& entries, bool expected) {
    std::string rows;
    for (std::string entry : entries) {
        const bool folder = entry.ends_with("/");
        entry = folder ? entry.substr(0, entry.size() - 1) : entry;
        const std::size_t arrow = entry.find('>');
        const std::string stored = entry.substr(arrow == entry.npos ? 0 : arrow + 1);
        const std::uint64_t size = folder ? 0 : stored.size();
        rows += (expected ? ExpectedArchiveRecord{stored + (folder ? "/" : ""), size,
                                                  folder ? "" : Sha256::hexOf(stored)}
                                .encode()
                          : SourceSnapshotRecord{"/s", entry.substr(0, arrow), stored, folder, size,
                                                 1, 2, 3, 4, 5, 6, 0644, std::nullopt}
                                .encode()) +
                "\n";
    }
    return rows;
}

// Only differing entries are listed, numbered among all, in a file of mode 0600 that replaces
// whatever was there; none differing writes no file. Every failure leaves no manifest.
TEST(PathMappingManifestTest, WritesTheDifferingEntriesOrNothing) {
    struct Case {
        std::vector<std::string> snapshot;
        std::vector<std::string> expected;
        std::uint64_t count;
        std::string outcome;
        std::uint64_t limit = maxPathMappingManifestBytes;
        std::function<void()> onCheck = [] {};
    };
    const std::vector<std::string> mapped = {"a", "c:x>c_x", "D:ir>D_ir/", "D:ir/f>D_ir/f"};
    const std::string input = "invalidArchive: input mapping ";
    const std::string sync = input + "entries are out of sync",
                      count = input + "entry count differs";
    const std::string big = "unsupportedArchiveEntry: path mapping exceeds its supported limit";
    using Row = PathMappingRecord;
    const auto line = [](const auto& record) { return record.encode() + "\n"; };
    const std::string header = line(PathMappingHeader{1, 4, 3});
    const std::string full = header + line(Row{2, "c:x", "c_x", "file", 3, Sha256::hexOf("c_x")}) +
                             line(Row{3, "D:ir", "D_ir/", "directory", 0, ""}) +
                             line(Row{4, "D:ir/f", "D_ir/f", "file", 6, Sha256::hexOf("D_ir/f")});
    test::TempDir dir;
    const std::string snapshot = dir.file("snapshot.jsonl");
    const std::string expected = dir.file("expected.jsonl");
    const std::string output = dir.file("mapping.jsonl");
    const auto grow = [&] {
        test::writeFile(snapshot, test::readFile(snapshot) + rowsOf({"z>y"}, false));
        test::writeFile(expected, test::readFile(expected) + rowsOf({"z>y"}, true));
    };
    int checks = 0;
    const auto at = [&](int check, auto action) {
        return [=, &checks] { ++checks == check ? action() : void(); };
    };
    // clang-format off
    const std::vector<Case> cases = {
        {{"a", "d/", "d/b"}, {}, 3, "none"}, {mapped, {}, 4, "written", full.size()},
        {mapped, {}, 4, big, full.size() - 1}, {mapped, {}, 4, big, header.size() - 1},
        {mapped, {}, 5, count}, {mapped, {"a"}, 4, sync}, {{"a"}, {"a", "b"}, 2, sync},
        {{"d/"}, {"d"}, 1, sync}, {{"ab"}, {"ba"}, 1, sync},
        {mapped, {}, 4, count, maxPathMappingManifestBytes, at(6, grow)},
        {{"x:1>x_1", "a/../b>safe"}, {}, 2, "unsafePath: a/../b"},
        {mapped, {}, 4, "cancelled: ", full.size(),
         at(8, [] { throw ArchivePipelineError::cancelled(); })}};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.outcome + " " + c.snapshot.back());
        test::writeFile(snapshot, rowsOf(c.snapshot, false));
        test::writeFile(expected, rowsOf(c.expected.empty() ? c.snapshot : c.expected, true));
        checks = 0;
        std::uint64_t size = 0;
        std::uint64_t largest = 0;  // no write may ever take the file past the limit
        const auto check = [&] {
            struct stat st {};
            largest =
                std::max<std::uint64_t>(largest, ::lstat(output.c_str(), &st) ? 0 : st.st_size);
            c.onCheck();
        };
        const std::string outcome = test::outcomeOf([&] {
            size = writePathMappingManifestWithLimit(snapshot, expected, output, c.count, check,
                                                     c.limit);
        });
        EXPECT_LE(largest, c.limit);
        EXPECT_EQ(outcome == "ok" ? (size > 0 ? "written" : "none") : outcome, c.outcome);
        EXPECT_EQ(::unlink(output.c_str()) == 0, size > 0);
    }
    // A file already there is replaced, and whatever its mode, the manifest ends up 0600; a link
    // there is refused. The lists are still the last row's.
    test::writeFile(output, "old");
    ASSERT_EQ(::chmod(output.c_str(), 0644), 0);
    EXPECT_EQ(writePathMappingManifest(snapshot, expected, output, 4, [] {}), full.size());
    struct stat st {};
    EXPECT_EQ(test::readFile(output), full);
    EXPECT_TRUE(::lstat(output.c_str(), &st) == 0 && (st.st_mode & 07777) == 0600);
    ASSERT_TRUE(::unlink(output.c_str()) == 0 && ::symlink(snapshot.c_str(), output.c_str()) == 0);
    EXPECT_EQ(
        test::outcomeOf([&] { writePathMappingManifest(snapshot, expected, output, 4, [] {}); }),
        "finalizationFailed: could not create path mapping manifest");
}

// Only the root's reserved name counts, by collision key. An original path may hold control
// characters, backslashes and colons, real names on disk; 127 decomposed "é" are 254 composed.
TEST(PathMappingManifestTest, ReservedPathAndOriginalPathRules) {
    std::string longPath(4096, 'p');
    for (std::size_t at = 100; at < longPath.size(); at += 101) {
        longPath[at] = '/';
    }
    std::string e127;
    for (int i = 0; i < 127; ++i) {
        e127 += "e\xCC\x81";
    }
    using Rows = std::vector<std::pair<std::string, bool>>;
    // clang-format off
    for (const auto& [path, holds] : Rows{{reserved, true},
             {".tolvane-path-mapping.j\xC5\xBFonl", true}, {".TOLVANE-path-mapping.jsonl/x", true},
             {reserved + ".bak", false}, {"d/" + reserved, false}}) {
        EXPECT_EQ(hasReservedMappingPath(path), holds) << path;
    }
    for (const auto& [path, holds] : Rows{{"back\\slash/co:lon/\x01\x7F\xE2\x80\x8E", true},
             {"...", true}, {std::string(255, 'x'), true}, {e127, true}, {longPath, true},
             {"", false}, {"/a", false}, {std::string("a\0b", 3), false}, {longPath + "p", false},
             {"a//b", false}, {".", false}, {"a/..", false}, {std::string(256, 'x'), false},
             {e127 + "e\xCC\x81", false}, {"bad\xFF", false}}) {
        // clang-format on
        EXPECT_EQ(validOriginalRelativePath(path), holds) << path;
    }
}

}  // namespace
}  // namespace tolvane
