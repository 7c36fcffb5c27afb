#include "core/archive/ArchivePathPolicy.h"

#include <gtest/gtest.h>

#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "support/Outcome.h"

namespace tolvane {
namespace {

using Type = ArchiveEntryType;
using Policy = std::function<std::string(const std::string&)>;

std::string times(std::string_view piece, std::size_t count) {
    return count == 0 ? std::string() : std::string(piece) + times(piece, count - 1);
}

// A relative path of exactly `bytes` bytes made of 100-byte components.
std::string pathOf(std::size_t bytes) {
    std::string path = times(times("p", 100) + "/", bytes / 101 + 1).substr(0, bytes);
    return path.back() == '/' ? path.substr(0, bytes - 1) + "p" : path;
}

std::string tagOf(std::string_view identity) {
    const Sha256::Value digest = Sha256::of(identity);
    return "~" + HexString::encode(std::span(digest).first(4));
}

// Unicode's own classes (UTF-8 validity, control and format characters, folding, grapheme breaks)
// have their tables in UnicodeTest: one row each shows that the policy applies them.
TEST(ArchivePathPolicyTest, Rules) {
    const Policy file = [](auto& p) { return ArchivePathPolicy::validated(p, Type::file); };
    const Policy folder = [](auto& p) { return ArchivePathPolicy::validated(p, Type::directory); };
    const Policy name = [](auto& p) { return ArchivePathPolicy::universalName(p, "identity"); };
    const Policy tagged = [](auto& p) { return ArchivePathPolicy::universalName(p, "long"); };
    const Policy extract = [](auto& p) {
        return ArchivePathPolicy::compatibleExtractionPath(
            p, p.ends_with("/") ? Type::directory : Type::file);
    };
    const Policy key = [](auto& p) { return ArchivePathPolicy::collisionKey(p); };
    const std::string q = "q\u0323\u0301";  // one cluster of five bytes, already NFC
    const std::string t = tagOf("long");
    const std::string n255 = times("n", 251) + ".pdf", d200 = times("d", 200);
    const std::string u = "unsafePath: ", x255 = times("x", 255), x256 = times("x", 256);
    const std::string nul("a\0b", 3), p4097 = pathOf(4097), e64 = times("e", 64);
    // Names a job's stage and markers carry, at any level and in any spelling of the UUID.
    const std::string job = ".tolvane-6F1C0F4E-3B7A-4C51-9D2E-8A0B1C2D3E4F";
    const std::string lowerJob = ".tolvane-6f1c0f4e-3b7a-4c51-9d2e-8a0b1c2d3e4f";
    // clang-format off
    const std::vector<std::tuple<Policy, std::string, std::string>> cases = {
        {file, "", u}, {file, "d/\xC0\xAFpw", u + "d/\xC0\xAFpw"}, {file, "a//b", u + "a//b"},
        {file, "a/./b", u + "a/./b"}, {file, "a/../b", u + "a/../b"}, {file, "/a", u + "/a"},
        {file, "a\\b", u + "a\\b"}, {file, "C:x/y", u + "C:x/y"}, {file, "a/", u + "a/"},
        {file, nul, u + nul}, {file, "x\u202Et", u + "x\u202Et"}, {file, p4097, u + p4097},
        {file, pathOf(4096), pathOf(4096)}, {file, "a/" + x256, u + "a/" + x256},
        {file, times("é", 128), u + times("é", 128)}, {file, "a/b:c", "a/b:c"},
        {folder, "dir///", "dir"}, {file, "...", "..."}, {file, "a/" + x255, "a/" + x255},
        {name, "<>:\"|?*\\/", "_________"}, {name, "a\tb\u202Ed", "a_b_d"}, {name, "...", "_"},
        {name, "name. . ..", "name"}, {name, " lead.txt ", " lead.txt"}, {name, "..prn", "_..prn"},
        {name, "aux.tar.gz", "_aux.tar.gz"}, {name, "lpt1.txt", "_lpt1.txt"},
        {name, "AUXILIARY", "AUXILIARY"}, {name, "COM0", "COM0"}, {name, "a\x7F~", "a_~"},
        {name, job + ".partial", "_" + job + ".partial"},
        {name, job + ".lock.", "_" + job + ".lock"},
        {extract, "a/" + job + ".job.json", "a/_" + job + ".job.json"},
        {name, lowerJob + ".partial", "_" + lowerJob + ".partial"},
        {name, job + ".partial.zip", job + ".partial.zip"},
        {name, ".tolvane-notes.lock", ".tolvane-notes.lock"},
        {name, "Cafe\u0301.txt", "Caf\u00E9.txt"}, {extract, "aux/x/a:b?.txt", "_aux/x/a_b_.txt"},
        {name, times("z", 176) + ".pdf", times("z", 176) + ".pdf"},
        {tagged, times("a", 296) + ".pdf", times("a", 167) + t + ".pdf"},
        {tagged, times("b", 200) + "." + e64, times("b", 106) + t + "." + e64},
        {tagged, times("b", 200) + "." + e64 + "e", times("b", 171) + t},
        {tagged, times(q, 40), times(q, 34) + t},  // marks never cut off their base
        {tagged, times("e\u0301", 100), times("\u00E9", 85) + t},  // composed first
        {extract, "a/" + n255, "a/" + times("n", 167) + tagOf("a/" + n255) + ".pdf"},
        {extract, d200 + "/y/", times("d", 171) + tagOf(d200) + "/y"},  // what precedes counts
        {key, "ReadMe.TXT", "readme.txt"}, {key, "Cafe\u0301/Menu", "café/menu"},
        {key, "Stra\u00DFe", "strasse"}, {key, "J\u0323\u030C", "\u01F0\u0323"}};
    // clang-format on
    for (const auto& [policy, input, expected] : cases) {
        std::string result;
        const std::string outcome = test::outcomeOf([&] { result = policy(input); });
        EXPECT_EQ(outcome == "ok" ? result : outcome, expected) << testing::PrintToString(input);
    }
    EXPECT_NE(name(times("z", 177) + ".pdf"), tagged(times("z", 177) + ".pdf"));  // past the limit
}

}  // namespace
}  // namespace tolvane
