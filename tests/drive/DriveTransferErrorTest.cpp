#include "core/drive/DriveTransferError.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace tolvane {
namespace {

using Error = DriveTransferError;

TEST(DriveTransferErrorTest, MessagesOfEveryCase) {
    struct Case {
        Error error;
        std::string message;
    };
    const std::vector<Case> cases = {
        {Error::http(404), "Google Drive 요청이 실패했습니다 (HTTP 404)."},
        {Error::http(0), "Google Drive 요청이 실패했습니다 (HTTP 0)."},
        {Error::http(-1), "Google Drive 요청이 실패했습니다 (HTTP -1)."},
        // Plain decimal without grouping, at both ends of the range.
        {Error::http(INT_MAX), "Google Drive 요청이 실패했습니다 (HTTP 2147483647)."},
        {Error::http(INT_MIN), "Google Drive 요청이 실패했습니다 (HTTP -2147483648)."},
        {Error::invalidArchive(), "검증된 ZIP 파일을 찾을 수 없습니다."},
        {Error::archiveChanged(), "검증 후 ZIP이 변경됐습니다. 다시 만들어 주세요."},
        {Error::archiveNeedsReselection(),
         "중단된 ZIP에 접근할 수 없습니다. 같은 ZIP을 다시 선택해 주세요."},
        {Error::corruptJournal(), "Drive 작업 기록이 손상돼 격리했습니다. 자동 재개하지 않습니다."},
        {Error::remoteDeleted(),
         "Drive 파일이 삭제되거나 휴지통에 있습니다. 새 작업으로 다시 업로드해 주세요."},
        {Error::reauthRequired(), "Drive 로그인이 만료됐습니다. Google 계정을 다시 연결해 주세요."},
        {Error::rateLimited(), "Drive 요청 한도에 도달했습니다. 잠시 뒤 다시 시도해 주세요."},
        {Error::storageQuota(),
         "Google Drive 저장 공간이 부족합니다. 계정의 용량을 확인해 주세요."},
        {Error::sharingRestricted(), "Drive 공유 정책 또는 기존 공개 검색 권한을 확인해 주세요."},
        {Error::invalidResponse(), "Google Drive 응답을 확인할 수 없습니다."},
        {Error::expiredSession(), "Drive 업로드 세션이 반복해서 만료됐습니다. 다시 시도해 주세요."},
        {Error::checksumMismatch(),
         "Drive에 저장된 파일의 크기나 내용 검증값이 원본과 다릅니다. 공유하지 않았습니다."},
        {Error::permissionNotVerified(),
         "선택한 링크 권한을 확인하지 못해 공유를 완료하지 않았습니다."},
        {Error::roleConflict(),
         "Drive의 현재 공개 권한이 선택한 권한과 다릅니다. Drive 공유 설정을 확인해 주세요."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.errorDescription(), c.message);
        EXPECT_STREQ(c.error.what(), c.message.c_str());
    }
}

TEST(DriveTransferErrorTest, EqualityComparesCaseAndStatus) {
    struct Case {
        Error a;
        Error b;
        bool equal;
    };
    const std::vector<Case> cases = {
        {Error::http(500), Error::http(500), true},
        {Error::http(500), Error::http(503), false},
        {Error::http(429), Error::rateLimited(), false},
        // A payload-free case carries no status, so http(0) must still differ from it.
        {Error::http(0), Error::invalidResponse(), false},
        {Error::http(401), Error::reauthRequired(), false},
        {Error::invalidResponse(), Error::invalidResponse(), true},
        {Error::corruptJournal(), Error::invalidResponse(), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.what() << " / " << c.b.what();
        EXPECT_EQ(c.b == c.a, c.equal) << c.b.what() << " / " << c.a.what();
    }
}

}  // namespace
}  // namespace tolvane
