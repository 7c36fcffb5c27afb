// Archives from other zippers unpack under the names their writers gave them: every legacy name
// of an archive is read in the one encoding its writer used, through the real unpack.
#include <gtest/gtest.h>

#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchiveUnpack.h"
#include "core/archive/ZipFormat.h"
#include "support/Outcome.h"
#include "support/RawZipBuilder.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::RawZipBuilder;

// One entry as its writer stored it: the name in the writer's encoding, a folder when it ends in
// "/", flagged as UTF-8 only when said.
struct Named {
    std::string name;
    const char* encoding = "CP949";
    bool flagged = false;
    std::string extra = {};
};

std::string raw(const Named& entry) {
    return std::string_view(entry.encoding) == "UTF-8"
               ? entry.name
               : test::converted(entry.name, "UTF-8", entry.encoding);
}

// The paths the archive unpacks to, in order, or how the unpack failed (leaving nothing).
std::string unpacked(const std::vector<Named>& entries) {
    RawZipBuilder zip;
    for (const Named& entry : entries) {
        const std::string name = raw(entry);
        test::RawZipEntry& added =
            name.ends_with('/') ? zip.addDirectory(name) : zip.addStored(name, "data");
        const std::uint16_t flags = entry.flagged ? ZipFormat::flagUTF8 : 0;
        added.local.flags = added.central.flags = flags;
        added.central.extra = entry.extra;
    }
    test::TempDir root;
    test::makeTree(root.path(), {{"out/", ""}, {"archive.zip", zip.relink().bytes()}});
    const auto roomy = [](auto&) {
        return ArchiveDestinationPolicy("ext4", std::nullopt, std::uint64_t{1} << 40, false);
    };
    const std::string outcome = test::outcomeOf([&] {
        ArchivePipeline::unpack(root.file("archive.zip"), root.file("out"), nullptr, {}, roomy);
    });
    const std::vector<std::string> folders = test::namesIn(root.file("out"));
    if (outcome != "ok") {
        EXPECT_TRUE(folders.empty()) << outcome;
        return outcome;
    }
    EXPECT_EQ(folders.size(), 1u);
    std::string paths;
    for (const auto& [path, content] : test::treeOf(root.file("out/" + folders.front()))) {
        paths += (paths.empty() ? "" : " | ") + path;
    }
    return paths;
}

std::string unicodePathField(const std::string& of, const std::string& name) {
    std::string field;
    ZipFormat::put16(field, ZipFormat::unicodePathExtraID);
    ZipFormat::put16(field, static_cast<std::uint16_t>(5 + name.size()));
    field += '\1';
    ZipFormat::put32(field, test::crc32Of(of));
    return field + name;
}

TEST(ArchiveNameEncodingTest, NamesReadAsTheirWriterWroteThem) {
    const auto all = [](const char* encoding, std::vector<std::string> names) {
        std::vector<Named> entries;
        for (std::string& name : names) {
            entries.push_back({std::move(name), encoding});
        }
        return entries;
    };
    std::vector<Named> mixed = all("CP949", {"사진/", "사진/가족.jpg"});
    mixed.insert(mixed.begin(), {"보고서.txt", "UTF-8", true});
    const std::string shell = "invoice.txt.sh";
    const std::string bad = "invalidArchive: ";
    const std::pair<std::vector<Named>, std::string> cases[] = {
        // Korean Windows: syllables that are UTF-8 pairs too, a folder beside its children
        {all("CP949", {"치킨.jpg", "표.xlsx"}), "치킨.jpg | 표.xlsx"},
        {all("CP949", {"체크/", "체크/memo.txt", "체크/결과.txt"}),
         "체크/ | 체크/memo.txt | 체크/결과.txt"},
        {all("CP949", {"★/", "★/readme.txt", "★/가.txt"}), "★/ | ★/readme.txt | ★/가.txt"},
        {all("CP949", {"똠/", "똠/a.txt", "똠/방.txt"}), "똠/ | 똠/a.txt | 똠/방.txt"},
        {all("CP949", {"メモ/", "メモ/memo.txt", "メモ/회의록.txt"}),
         "メモ/ | メモ/memo.txt | メモ/회의록.txt"},
        {all("CP949", {"보고서.txt"}), "보고서.txt"},
        // UTF-8 without the flag, as Info-ZIP's zip writes it on Linux
        {all("UTF-8", {"Müller.txt", "Größe.txt", "café/", "café/menü.txt"}),
         "Größe.txt | Müller.txt | café/ | café/menü.txt"},
        {all("UTF-8", {"Привет.txt", "Ελλάδα.txt"}), "Ελλάδα.txt | Привет.txt"},
        {all("UTF-8", {"한글 문서.txt"}), "한글 문서.txt"},
        // trail bytes 0x5C are no separators
        {all("CP932", {"表.txt", "能力/", "能力/十.txt"}), "能力/ | 能力/十.txt | 表.txt"},
        {all("CP950", {"成功.txt", "許可.txt"}), "成功.txt | 許可.txt"},
        {all("CP936", {"数据/", "数据/报告.txt"}), "数据/ | 数据/报告.txt"},
        {all("IBM437", {"résumé.txt"}), "résumé.txt"},
        {mixed, "보고서.txt | 사진/ | 사진/가족.jpg"},
        // the flag wins over a Unicode Path field naming another file
        {{{"invoice.txt", "UTF-8", true, unicodePathField("invoice.txt", shell)}}, "invoice.txt"},
        // the refusals nearest to them stand
        {all("UTF-8", {"폴더\\파일.txt"}), "unsafePath: 폴더\\파일.txt"},
        {{{"보고서.txt", "CP949", true}}, bad + "entry name is not valid UTF-8"},
        {all("CP949", {"사진/../가족.jpg"}), "unsafePath: 사진/../가족.jpg"},
    };
    for (const auto& [entries, expected] : cases) {
        EXPECT_EQ(unpacked(entries), expected) << entries.front().name;
    }
}

}  // namespace
}  // namespace tolvane
