#pragma once

#include <exception>
#include <string>

namespace tolvane {

// The one error type of the Drive client. what() is the Korean user message. Transport failures
// travel as TransportError, file-system failures as std::system_error, cancellation as
// OperationCancelled.
class DriveTransferError : public std::exception {
public:
    enum class Code {
        http,
        invalidArchive,
        archiveChanged,
        archiveNeedsReselection,
        corruptJournal,
        remoteDeleted,
        reauthRequired,
        rateLimited,
        storageQuota,
        sharingRestricted,
        invalidResponse,
        expiredSession,
        checksumMismatch,
        permissionNotVerified,
        roleConflict,
    };

    static DriveTransferError http(int status);
    static DriveTransferError invalidArchive();
    static DriveTransferError archiveChanged();
    static DriveTransferError archiveNeedsReselection();
    static DriveTransferError corruptJournal();
    static DriveTransferError remoteDeleted();
    static DriveTransferError reauthRequired();
    static DriveTransferError rateLimited();
    static DriveTransferError storageQuota();
    static DriveTransferError sharingRestricted();
    static DriveTransferError invalidResponse();
    static DriveTransferError expiredSession();
    static DriveTransferError checksumMismatch();
    static DriveTransferError permissionNotVerified();
    static DriveTransferError roleConflict();

    Code code() const noexcept { return code_; }
    // The HTTP status of `http`; 0 for every other case.
    int status() const noexcept { return status_; }

    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

    // Same case, and for `http` the same status.
    friend bool operator==(const DriveTransferError& a, const DriveTransferError& b) noexcept {
        return a.code_ == b.code_ && a.status_ == b.status_;
    }

private:
    DriveTransferError(Code code, int status);

    Code code_;
    int status_ = 0;
    std::string message_;
};

}  // namespace tolvane
