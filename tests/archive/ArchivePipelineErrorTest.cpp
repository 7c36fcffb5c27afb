#include "core/archive/ArchivePipelineError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace tolvane {
namespace {

using Error = ArchivePipelineError;

// Only the messages that are composed: a detail is shown as given, a size limit is formatted and
// clamped to the signed range. Equality compares the case and its payload, even where two limits
// read the same.
TEST(ArchivePipelineErrorTest, ComposedMessagesAndEquality) {
    const auto max = std::numeric_limits<std::uint64_t>::max();
    const auto signedMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::string head = "저장할 파일이 장치의 파일 크기 제한(";
    const std::string tail = ")을 넘습니다. 다른 저장 위치를 선택해 주세요.";
    EXPECT_STREQ(Error::unsafePath("../etc/ 비밀.txt").what(),
                 "압축 파일에 안전하지 않은 경로가 있습니다: ../etc/ 비밀.txt");
    EXPECT_EQ(Error::destinationFileTooLarge(4'294'967'295).what(), head + "4.29 GB" + tail);
    EXPECT_EQ(Error::destinationFileTooLarge(0).what(), head + "0바이트" + tail);
    EXPECT_EQ(Error::destinationFileTooLarge(max).what(), head + "9.22 EB" + tail);
    EXPECT_EQ(Error::destinationFileTooLarge(signedMax + 1).what(), head + "9.22 EB" + tail);

    EXPECT_EQ(Error::sourceChanged("x"), Error::sourceChanged("x"));
    EXPECT_NE(Error::sourceChanged("x"), Error::sourceChanged("y"));
    EXPECT_NE(Error::sourceChanged("x"), Error::destinationChanged("x"));
    EXPECT_NE(Error::destinationFileTooLarge(max), Error::destinationFileTooLarge(signedMax));
    EXPECT_NE(Error::destinationFileTooLarge(0), Error::noInputs());
}

}  // namespace
}  // namespace tolvane
