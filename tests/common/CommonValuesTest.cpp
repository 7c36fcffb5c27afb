#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stop_token>
#include <string>

#include "core/common/ByteCount.h"
#include "core/common/Cancellation.h"
#include "core/common/HexString.h"
#include "core/common/PathText.h"
#include "core/common/Progress.h"
#include "core/common/Uuid.h"

namespace tolvane {
namespace {

TEST(CommonValuesTest, ByteCountsAtUnitAndRoundingBoundaries) {
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    std::string formatted;
    for (const std::int64_t bytes :
         {min, 999L, 1000L, 1499L, 1500L, 999'500L, 1'049'999L, 1'050'000L, 999'950'000L,
          1'005'000'000L, 1'234'567'890'123'456L, max}) {
        formatted += formatByteCount(bytes) + "|";
    }
    // 1000 KB is shown in the next unit.
    EXPECT_EQ(formatted,
              "0바이트|999바이트|1 KB|1 KB|2 KB|1 MB|1 MB|1.1 MB|1 GB|1.01 GB|1.23 PB|9.22 EB|");
}

TEST(CommonValuesTest, HexDigestsAndUuids) {
    const std::uint8_t bytes[] = {0x00, 0xAB, 0xFF};
    EXPECT_EQ(HexString::encode(bytes), "00abff");
    const std::string digest(64, 'f');
    EXPECT_TRUE(HexString::isLowercaseSHA256(digest));
    for (const std::string& bad :
         {"F" + digest.substr(1), digest.substr(1), digest + "0", std::string(63, '0') + "g"}) {
        EXPECT_FALSE(HexString::isLowercaseSHA256(bad)) << bad;
    }

    const Uuid random = Uuid::random();
    const std::string text = random.text();  // version 4, upper case
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << text;
    EXPECT_EQ(text.substr(14, 1) + std::to_string(std::string("89AB").find(text[19]) < 4), "41");
    EXPECT_EQ(Uuid::parse(text), random);
    EXPECT_NE(Uuid::random(), random);
    const std::string good = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0";
    EXPECT_EQ(Uuid::parse("0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f0")->text(), good);
    for (const std::string& bad :
         {std::string(), good.substr(1), good + "0", good.substr(0, 35) + "G", "{" + good.substr(1),
          "0F1E2D3-C" + good.substr(9), std::string("0F1E2D3C4B5A49788695A4B3C2D1E0F0")}) {
        EXPECT_FALSE(Uuid::parse(bad)) << bad;
    }
}

TEST(CommonValuesTest, PathTextIsLexical) {
    using namespace PathText;
    const std::pair<std::string, std::string> cases[] = {
        {standardized("//"), "/"},
        {standardized("/a//b/./c/"), "/a/b/c"},
        {standardized("/a/b/../../.."), "/"},
        {standardized("/a/..b/c.."), "/a/..b/c.."},  // only whole ".." components climb
        {standardized("a/../../b"), "../b"},
        {standardized("a/.."), "."},
        {standardized("/bytes/\xFF\xFE/.."), "/bytes"},  // names are bytes, not text
        {lastComponent("/a//b//") + lastComponent("///"), "b/"},
        {deletingLastComponent("/a") + "|" + deletingLastComponent("a"), "/|"},
        {appending("/a//", "/b") + appending("", "b") + appending("/a", ""), "/a/bb/a"},
        {pathExtension("archive.tar.gz"), "gz"},
        {pathExtension("/dir.d/file") + pathExtension(".profile") + pathExtension("notes."), ""},
        {deletingPathExtension("..profile"), "."},
        {deletingPathExtension("/dir/\xED\x95\x9C.txt"), "/dir/\xED\x95\x9C"},
        {std::to_string(isDirectoryURL("/a/")) + std::to_string(isDirectoryURL("/a")) +
             std::to_string(isDirectoryURL("")),
         "100"}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].first, cases[i].second) << i;
    }
}

TEST(CommonValuesTest, ProgressAndCancellation) {
    Progress progress;
    progress.setUserInfo("stage", std::string("packaging"));
    progress.setUserInfo("count", std::uint64_t{42});
    // A key holding the other kind of value reads as absent, never as a converted value.
    EXPECT_EQ(progress.userInfoText("stage").value_or("") +
                  std::to_string(*progress.snapshot().number("count")),
              "packaging42");
    EXPECT_EQ(progress.userInfoNumber("stage"), std::nullopt);
    EXPECT_EQ(progress.userInfoText("count"), std::nullopt);
    std::vector<double> fractions;
    for (const auto& [completed, total] :
         std::vector<std::pair<int, int>>{{5, 0}, {5, 10}, {20, 10}, {-3, 10}}) {
        progress.setCompletedUnitCount(completed);
        progress.setTotalUnitCount(total);
        fractions.push_back(progress.fractionCompleted());
    }
    EXPECT_EQ(fractions, (std::vector<double>{0.0, 0.5, 1.0, 0.0}));

    // Either the progress or the stop token cancels; both may be absent.
    std::stop_source source;
    EXPECT_FALSE(isCancelled(&progress, source.get_token()) || isCancelled(nullptr, {}));
    source.request_stop();
    EXPECT_THROW(throwIfCancelled(nullptr, source.get_token()), OperationCancelled);
    progress.cancel();
    EXPECT_TRUE(progress.snapshot().cancelled);
    EXPECT_THROW(throwIfCancelled(&progress, {}), OperationCancelled);
}

}  // namespace
}  // namespace tolvane
