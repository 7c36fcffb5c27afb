#include "core/archive/ArchivePipelineError.h"

#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "core/common/ByteCount.h"
#include "core/common/PathText.h"

namespace tolvane {
namespace {

std::string describe(ArchivePipelineError::Code code, const std::string& rawDetail,
                     std::uint64_t limit) {
    using Code = ArchivePipelineError::Code;
    const std::string detail = PathText::escapedForMessage(rawDetail);
    switch (code) {
        case Code::destinationChanged:
            return "작업 중 저장 위치가 바뀌어 결과를 저장하지 않았습니다: " + detail;
        case Code::sourceChanged:
            return "처리 중 원본이 바뀌었습니다: " + detail;
        case Code::unsupportedSourceType:
            return "지원하지 않는 파일 형식입니다: " + detail;
        case Code::unsafePath:
            return "압축 파일에 안전하지 않은 경로가 있습니다: " + detail;
        case Code::duplicatePath:
            return "이름 충돌 때문에 작업을 중단했습니다: " + detail;
        case Code::unsupportedArchiveEntry:
            return "아직 지원하지 않는 압축 항목입니다: " + detail;
        case Code::invalidArchive:
            return "압축 파일이 손상되었거나 지원하지 않는 구조입니다: " + detail;
        case Code::destinationFileTooLarge: {
            // The formatter counts in signed bytes; an "unlimited" limit must not wrap negative.
            constexpr auto largest =
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
            const auto shown = static_cast<std::int64_t>(limit < largest ? limit : largest);
            return "저장할 파일이 장치의 파일 크기 제한(" + formatByteCount(shown) +
                   ")을 넘습니다. 다른 저장 위치를 선택해 주세요.";
        }
        case Code::finalizationFailed:
            return "결과 파일을 안전하게 확정하지 못했습니다: " + detail;
        case Code::noInputs:
            return "선택한 파일이 없습니다.";
        case Code::destinationIsInsideSource:
            return "압축 결과 위치가 입력 폴더 안입니다. 다른 위치를 선택해 주세요.";
        case Code::invalidInputSnapshot:
            return "선택 항목 목록을 확인할 수 없어 압축을 중단했습니다. 다시 선택해 주세요.";
        case Code::tooManyEntries:
            return "이 초기 버전은 ZIP 안의 파일이 백만 개를 넘으면 처리하지 않습니다.";
        case Code::insufficientSpace:
            return "목적지에 작업을 마칠 공간이 부족합니다.";
        case Code::destinationReadOnly:
            return "선택한 장치는 읽기 전용입니다. 다른 저장 위치를 선택해 주세요.";
        case Code::destinationUnavailable:
            return "선택한 저장 폴더를 사용할 수 없습니다: " + detail;
        case Code::cancelled:
            return "작업을 취소했습니다.";
    }
    return "작업을 완료하지 못했습니다.";  // unreachable with a valid code
}

}  // namespace

ArchivePipelineError::ArchivePipelineError(Code code, std::string detail, std::uint64_t limit)
    : code_(code), detail_(std::move(detail)), limit_(limit) {
    message_ = describe(code_, detail_, limit_);
}

ArchivePipelineError ArchivePipelineError::destinationChanged(std::string detail) {
    return {Code::destinationChanged, std::move(detail), 0};
}
ArchivePipelineError ArchivePipelineError::sourceChanged(std::string detail) {
    return {Code::sourceChanged, std::move(detail), 0};
}
ArchivePipelineError ArchivePipelineError::unsupportedSourceType(std::string detail) {
    return {Code::unsupportedSourceType, std::move(detail), 0};
}
ArchivePipelineError ArchivePipelineError::unsafePath(std::string detail) {
    return {Code::unsafePath, std::move(detail), 0};
}
ArchivePipelineError ArchivePipelineError::duplicatePath(std::string detail) {
    return {Code::duplicatePath, std::move(detail), 0};
}
ArchivePipelineError ArchivePipelineError::unsupportedArchiveEntry(std::string detail) {
    return {Code::unsupportedArchiveEntry, std::move(detail), 0};
}
ArchivePipelineError ArchivePipelineError::invalidArchive(std::string detail) {
    return {Code::invalidArchive, std::move(detail), 0};
}
ArchivePipelineError ArchivePipelineError::destinationFileTooLarge(std::uint64_t limit) {
    return {Code::destinationFileTooLarge, {}, limit};
}
ArchivePipelineError ArchivePipelineError::finalizationFailed(std::string detail) {
    return {Code::finalizationFailed, std::move(detail), 0};
}
ArchivePipelineError ArchivePipelineError::noInputs() {
    return {Code::noInputs, {}, 0};
}
ArchivePipelineError ArchivePipelineError::destinationIsInsideSource() {
    return {Code::destinationIsInsideSource, {}, 0};
}
ArchivePipelineError ArchivePipelineError::invalidInputSnapshot() {
    return {Code::invalidInputSnapshot, {}, 0};
}
ArchivePipelineError ArchivePipelineError::tooManyEntries() {
    return {Code::tooManyEntries, {}, 0};
}
ArchivePipelineError ArchivePipelineError::insufficientSpace() {
    return {Code::insufficientSpace, {}, 0};
}
ArchivePipelineError ArchivePipelineError::destinationReadOnly() {
    return {Code::destinationReadOnly, {}, 0};
}
ArchivePipelineError ArchivePipelineError::destinationUnavailable(std::string detail) {
    return {Code::destinationUnavailable, std::move(detail), 0};
}
ArchivePipelineError ArchivePipelineError::cancelled() {
    return {Code::cancelled, {}, 0};
}

}  // namespace tolvane
