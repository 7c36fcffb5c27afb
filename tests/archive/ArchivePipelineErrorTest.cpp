#include "core/archive/ArchivePipelineError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace tolvane {
namespace {

using Error = ArchivePipelineError;

// A size limit is shown clamped to the formatter's signed range, never wrapped negative; equality
// still compares the case and its payload, even where two messages read the same.
TEST(ArchivePipelineErrorTest, ClampsTheShownLimitAndComparesPayloads) {
    const auto max = std::numeric_limits<std::uint64_t>::max();
    const auto signedMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(
        std::string(Error::destinationFileTooLarge(max).what()),
        "저장할 파일이 장치의 파일 크기 제한(9.22 EB)을 넘습니다. 다른 저장 위치를 선택해 주세요.");
    EXPECT_EQ(std::string(Error::destinationFileTooLarge(signedMax + 1).what()),
              Error::destinationFileTooLarge(max).what());
    EXPECT_NE(Error::destinationFileTooLarge(max), Error::destinationFileTooLarge(signedMax));
    EXPECT_EQ(Error::sourceChanged("x"), Error::sourceChanged("x"));
    EXPECT_NE(Error::sourceChanged("x"), Error::sourceChanged("y"));
    EXPECT_NE(Error::sourceChanged("x"), Error::destinationChanged("x"));
}

}  // namespace
}  // namespace tolvane
