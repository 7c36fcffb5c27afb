#include "core/archive/JSONLines.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "core/archive/ArchiveJobRecords.h"
#include "core/common/Posix.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using test::outcomeOf;

std::string rowOf(std::size_t bytes) {
    const std::size_t overhead = ExpectedArchiveRecord{"", 0, ""}.encode().size() + 1;
    return ExpectedArchiveRecord{std::string(bytes - overhead, 'p'), 0, ""}.encode() + "\n";
}

// A failure is final: reading on would return an oversized row held whole in memory, or the rows
// behind a blank one. Reads come in 16 KiB blocks with at most 64 KiB pending, so the longest row
// depends on where earlier rows put the block boundaries; a short last read fits a full one.
TEST(JSONLinesTest, RoundTripInFieldOrderAndDamagedListsAtEveryRowAlignment) {
    const auto records = std::tuple(
        SourceSnapshotRecord{"/s", "line\n \"q\" back\\slash \x01 한글", "e", false, UINT64_MAX,
                             66306, 5, INT64_MIN, 999999999, 1700000000, 1, 0644, "c"},
        ExpectedArchiveRecord{"d/", 0, ""}, PathMappingHeader{1, 9, 2},
        PathMappingRecord{2, "a\\b", "a_b", "file", 12, "ff"},
        PreflightArchiveRecord{4, "d/", "d/", "directory", 0},
        PathMappingReceiptHeader{1, "a.zip", 2, "verified-archive-manifest"},
        PathMappingReceiptRecord{"a\\b", "a_b", "a_b", "file", 12, "c"});
    test::TempDir dir;
    const std::string path = dir.file("list.jsonl");
    const UniqueFd out = posix::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    JSONLines::append(std::get<0>(records), out.get());
    EXPECT_EQ(JSONLines::Reader(path).next<SourceSnapshotRecord>(), std::get<0>(records));
    const ExpectedArchiveRecord unencodable{"\xff", 0, ""};
    EXPECT_TRUE(
        outcomeOf([&] { JSONLines::append(unencodable, out.get()); }).starts_with("exception"));
    std::apply([&](const auto&, const auto&... rest) { (JSONLines::append(rest, out.get()), ...); },
               records);
    EXPECT_EQ(test::readFile(path),
              R"({"sourcePath":"/s","originalPath":"line\n \"q\" back\\slash \u0001 한글",)"
              R"("entryPath":"e","isDirectory":false,"size":18446744073709551615,"device":66306,)"
              R"("inode":5,"modifiedSeconds":-9223372036854775808,"modifiedNanoseconds":999999999,)"
              R"("changedSeconds":1700000000,"changedNanoseconds":1,"permissions":420,)"
              R"("contentSHA256":"c"}
{"path":"d/","size":0,"sha256":""}
{"version":1,"sourceEntryCount":9,"mappingCount":2}
{"ordinal":2,"originalPath":"a\\b","archivePath":"a_b","entryType":"file","size":12,)"
              R"("sha256":"ff"}
{"ordinal":4,"archivePath":"d/","restoredPath":"d/","entryType":"directory","size":0}
{"version":1,"archiveName":"a.zip","mappingCount":2,)"
              R"("mappingSource":"verified-archive-manifest"}
{"originalPath":"a\\b","archivePath":"a_b","restoredPath":"a_b","entryType":"file","size":12,)"
              R"("sha256":"c"}
)");
    JSONLines::Reader reader(posix::open(path, O_RDONLY));
    const auto readBack = [&](const auto&... r) {
        return std::tuple{reader.next<std::decay_t<decltype(r)>>().value()...};  // braces: in order
    };
    EXPECT_EQ(std::apply(readBack, records), records);
    ASSERT_EQ(::symlink(path.c_str(), dir.file("link").c_str()), 0);
    EXPECT_EQ(outcomeOf([&] { JSONLines::Reader linked(dir.file("link")); }), "errno ELOOP");

    const auto r = rowOf;
    const std::string row = r(40);
    const std::string tail = r(16'384);  // the read past the limit is never cut short
    const std::string bad = "invalidArchive: ", big = bad + "oversized manifest row";
    const std::string unused = bad + "unused manifest records";
    // clang-format off
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {row + row.substr(0, 39), 1, bad + "truncated job manifest"}, {row + row, 1, unused},
        {row + "\n" + row, 1, bad + "empty job manifest row"}, {row + row, 2, "ok"},
        {r(65'536) + tail, 2, "ok"}, {r(65'537) + tail, 0, big},
        {r(16'383) + r(49'153) + tail, 3, "ok"}, {r(16'383) + r(49'154) + tail, 1, big},
        {r(16'384) + r(65'536) + tail, 3, "ok"}, {r(16'384) + r(65'537) + tail, 1, big},
        {r(16'383) + r(65'536), 2, "ok"}, {r(16'383) + r(65'537), 1, big}};
    // clang-format on
    for (const auto& [content, goodRows, outcome] : cases) {
        SCOPED_TRACE(std::to_string(content.size()) + " bytes, " + outcome);
        test::writeFile(path, content);
        JSONLines::Reader reader(path);
        for (int i = 0; i < goodRows; ++i) {
            ASSERT_TRUE(reader.next<ExpectedArchiveRecord>());
        }
        const auto end = [&] { reader.requireEnd<ExpectedArchiveRecord>(); };
        EXPECT_EQ(outcomeOf(end), outcome);
        const std::string after = outcome == unused ? "ok" : outcome;
        EXPECT_EQ(outcomeOf(end), after);
        EXPECT_EQ(outcomeOf([&] { reader.next<ExpectedArchiveRecord>(); }), after);
    }
}

}  // namespace
}  // namespace tolvane
