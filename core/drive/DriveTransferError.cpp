#include "core/drive/DriveTransferError.h"

#include <string>

namespace tolvane {
namespace {

std::string describe(DriveTransferError::Code code, int status) {
    using Code = DriveTransferError::Code;
    switch (code) {
        case Code::http:
            return "Google Drive 요청이 실패했습니다 (HTTP " + std::to_string(status) + ").";
        case Code::invalidArchive:
            return "검증된 ZIP 파일을 찾을 수 없습니다.";
        case Code::archiveChanged:
            return "검증 후 ZIP이 변경됐습니다. 다시 만들어 주세요.";
        case Code::archiveNeedsReselection:
            return "중단된 ZIP에 접근할 수 없습니다. 같은 ZIP을 다시 선택해 주세요.";
        case Code::corruptJournal:
            return "Drive 작업 기록이 손상돼 격리했습니다. 자동 재개하지 않습니다.";
        case Code::remoteDeleted:
            return "Drive 파일이 삭제되거나 휴지통에 있습니다. 새 작업으로 다시 업로드해 주세요.";
        case Code::reauthRequired:
            return "Drive 로그인이 만료됐습니다. Google 계정을 다시 연결해 주세요.";
        case Code::rateLimited:
            return "Drive 요청 한도에 도달했습니다. 잠시 뒤 다시 시도해 주세요.";
        case Code::storageQuota:
            return "Google Drive 저장 공간이 부족합니다. 계정의 용량을 확인해 주세요.";
        case Code::sharingRestricted:
            return "Drive 공유 정책 또는 기존 공개 검색 권한을 확인해 주세요.";
        case Code::invalidResponse:
            return "Google Drive 응답을 확인할 수 없습니다.";
        case Code::expiredSession:
            return "Drive 업로드 세션이 반복해서 만료됐습니다. 다시 시도해 주세요.";
        case Code::checksumMismatch:
            return "Drive에 저장된 파일의 크기나 내용 검증값이 원본과 다릅니다. 공유하지 "
                   "않았습니다.";
        case Code::permissionNotVerified:
            return "선택한 링크 권한을 확인하지 못해 공유를 완료하지 않았습니다.";
        case Code::roleConflict:
            return "Drive의 현재 공개 권한이 선택한 권한과 다릅니다. Drive 공유 설정을 확인해 "
                   "주세요.";
    }
    return "Google Drive 응답을 확인할 수 없습니다.";  // unreachable with a valid code
}

}  // namespace

DriveTransferError::DriveTransferError(Code code, int status)
    : code_(code), status_(status), message_(describe(code, status)) {}

DriveTransferError DriveTransferError::http(int status) {
    return {Code::http, status};
}
DriveTransferError DriveTransferError::invalidArchive() {
    return {Code::invalidArchive, 0};
}
DriveTransferError DriveTransferError::archiveChanged() {
    return {Code::archiveChanged, 0};
}
DriveTransferError DriveTransferError::archiveNeedsReselection() {
    return {Code::archiveNeedsReselection, 0};
}
DriveTransferError DriveTransferError::corruptJournal() {
    return {Code::corruptJournal, 0};
}
DriveTransferError DriveTransferError::remoteDeleted() {
    return {Code::remoteDeleted, 0};
}
DriveTransferError DriveTransferError::reauthRequired() {
    return {Code::reauthRequired, 0};
}
DriveTransferError DriveTransferError::rateLimited() {
    return {Code::rateLimited, 0};
}
DriveTransferError DriveTransferError::storageQuota() {
    return {Code::storageQuota, 0};
}
DriveTransferError DriveTransferError::sharingRestricted() {
    return {Code::sharingRestricted, 0};
}
DriveTransferError DriveTransferError::invalidResponse() {
    return {Code::invalidResponse, 0};
}
DriveTransferError DriveTransferError::expiredSession() {
    return {Code::expiredSession, 0};
}
DriveTransferError DriveTransferError::checksumMismatch() {
    return {Code::checksumMismatch, 0};
}
DriveTransferError DriveTransferError::permissionNotVerified() {
    return {Code::permissionNotVerified, 0};
}
DriveTransferError DriveTransferError::roleConflict() {
    return {Code::roleConflict, 0};
}

}  // namespace tolvane
