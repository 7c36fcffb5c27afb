#include "Tolvane/model/ExternalVolumeEjectError.h"

namespace tolvane {
namespace {

const char* messageFor(ExternalVolumeEjectError::Code code) {
    switch (code) {
        case ExternalVolumeEjectError::Code::archiveUnavailable:
            return "ZIP 파일이나 저장한 장치를 확인할 수 없습니다.";
        case ExternalVolumeEjectError::Code::alreadyEjecting:
            return "장치를 제거하는 중입니다.";
        case ExternalVolumeEjectError::Code::systemRejected:
            break;
    }
    return "다른 앱이 장치를 사용 중이거나 제거할 수 없습니다.";
}

}  // namespace

ExternalVolumeEjectError::ExternalVolumeEjectError(Code code)
    : std::runtime_error(messageFor(code)), code_(code) {}

}  // namespace tolvane
