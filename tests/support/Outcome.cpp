#include "support/Outcome.h"

#include <cstring>
#include <iterator>
#include <system_error>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Cancellation.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveTransferError.h"

namespace tolvane::test {

std::string errnoName(int error) {
    const char* name = ::strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

std::string outcomeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const ArchivePipelineError& error) {
        return codeName(error) + ": " + error.detail();
    } catch (const DriveTransferError& error) {
        return caseName(error);
    } catch (const OperationCancelled&) {
        return "cancelled";
    } catch (const TransportError& error) {
        return std::string("transport ") + error.what();
    } catch (const std::system_error& error) {
        return "errno " + errnoName(error.code().value());
    } catch (const std::exception& error) {
        return std::string("exception ") + error.what();
    }
    return "ok";
}

}  // namespace tolvane::test

namespace tolvane {

// Both tables follow the order of the enumerations.
std::string codeName(const ArchivePipelineError& error) {
    static constexpr const char* names[] = {"destinationChanged",
                                            "sourceChanged",
                                            "unsupportedSourceType",
                                            "unsafePath",
                                            "duplicatePath",
                                            "unsupportedArchiveEntry",
                                            "invalidArchive",
                                            "destinationFileTooLarge",
                                            "finalizationFailed",
                                            "noInputs",
                                            "destinationIsInsideSource",
                                            "invalidInputSnapshot",
                                            "tooManyEntries",
                                            "insufficientSpace",
                                            "destinationReadOnly",
                                            "destinationUnavailable",
                                            "cancelled"};
    static_assert(std::size(names) == std::size_t(ArchivePipelineError::Code::cancelled) + 1);
    return names[static_cast<std::size_t>(error.code())];
}

std::string caseName(const DriveTransferError& error) {
    static constexpr const char* names[] = {"http",
                                            "invalidArchive",
                                            "archiveChanged",
                                            "archiveNeedsReselection",
                                            "corruptJournal",
                                            "remoteDeleted",
                                            "reauthRequired",
                                            "rateLimited",
                                            "storageQuota",
                                            "sharingRestricted",
                                            "invalidResponse",
                                            "expiredSession",
                                            "checksumMismatch",
                                            "permissionNotVerified",
                                            "roleConflict"};
    static_assert(std::size(names) == std::size_t(DriveTransferError::Code::roleConflict) + 1);
    if (error.code() == DriveTransferError::Code::http) {
        return "http(" + std::to_string(error.status()) + ")";
    }
    return names[static_cast<std::size_t>(error.code())];
}

}  // namespace tolvane
