#include "core/archive/ArchivePipelineError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tolvane {
namespace {

using Error = ArchivePipelineError;

TEST(ArchivePipelineErrorTest, MessagesOfEveryCase) {
    struct Case {
        Error error;
        std::string message;
    };
    const std::string tooLargeHead = "저장할 파일이 장치의 파일 크기 제한(";
    const std::string tooLargeTail = ")을 넘습니다. 다른 저장 위치를 선택해 주세요.";
    const std::vector<Case> cases = {
        {Error::destinationChanged("volume was replaced"),
         "작업 중 저장 위치가 바뀌어 결과를 저장하지 않았습니다: volume was replaced"},
        {Error::sourceChanged("a/b.txt"), "처리 중 원본이 바뀌었습니다: a/b.txt"},
        {Error::unsupportedSourceType("socket"), "지원하지 않는 파일 형식입니다: socket"},
        // The offending path is shown exactly as it is, spaces and separators included.
        {Error::unsafePath("../etc/ 비밀.txt"),
         "압축 파일에 안전하지 않은 경로가 있습니다: ../etc/ 비밀.txt"},
        {Error::duplicatePath("A.txt"), "이름 충돌 때문에 작업을 중단했습니다: A.txt"},
        {Error::unsupportedArchiveEntry("encrypted entry"),
         "아직 지원하지 않는 압축 항목입니다: encrypted entry"},
        {Error::invalidArchive("entry size does not match: x"),
         "압축 파일이 손상되었거나 지원하지 않는 구조입니다: entry size does not match: x"},
        {Error::destinationFileTooLarge(4'294'967'295), tooLargeHead + "4.29 GB" + tooLargeTail},
        {Error::destinationFileTooLarge(0), tooLargeHead + "0바이트" + tooLargeTail},
        // Limits beyond the signed range are shown as the largest signed count, never negative.
        {Error::destinationFileTooLarge(std::numeric_limits<std::uint64_t>::max()),
         tooLargeHead + "9.22 EB" + tooLargeTail},
        {Error::destinationFileTooLarge(
             static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1),
         tooLargeHead + "9.22 EB" + tooLargeTail},
        {Error::finalizationFailed(""), "결과 파일을 안전하게 확정하지 못했습니다: "},
        {Error::noInputs(), "선택한 파일이 없습니다."},
        {Error::destinationIsInsideSource(),
         "압축 결과 위치가 입력 폴더 안입니다. 다른 위치를 선택해 주세요."},
        {Error::invalidInputSnapshot(),
         "선택 항목 목록을 확인할 수 없어 압축을 중단했습니다. 다시 선택해 주세요."},
        {Error::tooManyEntries(),
         "이 초기 버전은 ZIP 안의 파일이 백만 개를 넘으면 처리하지 않습니다."},
        {Error::insufficientSpace(), "목적지에 작업을 마칠 공간이 부족합니다."},
        {Error::destinationReadOnly(),
         "선택한 장치는 읽기 전용입니다. 다른 저장 위치를 선택해 주세요."},
        {Error::cancelled(), "작업을 취소했습니다."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.errorDescription(), c.message);
        EXPECT_STREQ(c.error.what(), c.message.c_str());
    }
}

TEST(ArchivePipelineErrorTest, EqualityComparesCaseAndPayload) {
    struct Case {
        Error a;
        Error b;
        bool equal;
    };
    const auto u64max = std::numeric_limits<std::uint64_t>::max();
    const auto i64max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    const std::vector<Case> cases = {
        {Error::cancelled(), Error::cancelled(), true},
        {Error::cancelled(), Error::noInputs(), false},
        {Error::sourceChanged("x"), Error::sourceChanged("x"), true},
        {Error::sourceChanged("x"), Error::sourceChanged("y"), false},
        {Error::sourceChanged("x"), Error::destinationChanged("x"), false},
        {Error::finalizationFailed(""), Error::insufficientSpace(), false},
        {Error::destinationFileTooLarge(1), Error::destinationFileTooLarge(1), true},
        {Error::destinationFileTooLarge(1), Error::destinationFileTooLarge(2), false},
        // Same message after clamping, still different limits.
        {Error::destinationFileTooLarge(u64max), Error::destinationFileTooLarge(i64max), false},
        {Error::destinationFileTooLarge(0), Error::noInputs(), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.what() << " vs " << c.b.what();
        EXPECT_EQ(c.b == c.a, c.equal) << c.b.what() << " vs " << c.a.what();
    }
}

}  // namespace
}  // namespace tolvane
