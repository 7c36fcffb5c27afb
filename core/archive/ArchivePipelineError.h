#pragma once

#include <cstdint>
#include <exception>
#include <stop_token>
#include <string>

#include "core/common/Cancellation.h"

namespace tolvane {

// The one error type of archive work. Operating-system failures are not wrapped in it: they
// travel as std::system_error (generic category). what() is the Korean user message; the English
// detail (or the offending path) is appended after the Korean sentence with its control, format
// and bidirectional characters escaped, since a path in it may come from an archive.
class ArchivePipelineError : public std::exception {
public:
    enum class Code {
        destinationChanged,
        sourceChanged,
        unsupportedSourceType,
        unsafePath,
        duplicatePath,
        unsupportedArchiveEntry,
        invalidArchive,
        destinationFileTooLarge,
        finalizationFailed,
        noInputs,
        destinationIsInsideSource,
        invalidInputSnapshot,
        tooManyEntries,
        insufficientSpace,
        destinationReadOnly,
        destinationUnavailable,
        cancelled,
    };

    static ArchivePipelineError destinationChanged(std::string detail);
    static ArchivePipelineError sourceChanged(std::string detail);
    static ArchivePipelineError unsupportedSourceType(std::string detail);
    static ArchivePipelineError unsafePath(std::string detail);
    static ArchivePipelineError duplicatePath(std::string detail);
    static ArchivePipelineError unsupportedArchiveEntry(std::string detail);
    static ArchivePipelineError invalidArchive(std::string detail);
    static ArchivePipelineError destinationFileTooLarge(std::uint64_t limit);
    static ArchivePipelineError finalizationFailed(std::string detail);
    static ArchivePipelineError noInputs();
    static ArchivePipelineError destinationIsInsideSource();
    static ArchivePipelineError invalidInputSnapshot();
    static ArchivePipelineError tooManyEntries();
    static ArchivePipelineError insufficientSpace();
    static ArchivePipelineError destinationReadOnly();
    // The chosen destination folder is missing, not a folder, or a symbolic link.
    static ArchivePipelineError destinationUnavailable(std::string detail);
    static ArchivePipelineError cancelled();

    Code code() const noexcept { return code_; }
    // The text payload of the cases that carry one, as given; empty otherwise.
    const std::string& detail() const noexcept { return detail_; }
    // The payload of destinationFileTooLarge; 0 otherwise.
    std::uint64_t limit() const noexcept { return limit_; }

    // The Korean user message.
    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    // Same case and equal payload.
    friend bool operator==(const ArchivePipelineError& a, const ArchivePipelineError& b) noexcept {
        return a.code_ == b.code_ && a.detail_ == b.detail_ && a.limit_ == b.limit_;
    }

private:
    ArchivePipelineError(Code code, std::string detail, std::uint64_t limit);

    Code code_;
    std::string detail_;
    std::uint64_t limit_ = 0;
    std::string message_;
};

// Ends archive work with `cancelled` when the caller's progress object or the running task asks
// to stop; archive operations never let OperationCancelled escape.
inline void checkArchiveCancellation(const Progress* progress, const std::stop_token& stop) {
    if (isCancelled(progress, stop)) {
        throw ArchivePipelineError::cancelled();
    }
}

}  // namespace tolvane
