#include "support/Outcome.h"

#include <cstring>
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

std::string codeName(const ArchivePipelineError& error) {
    using Code = ArchivePipelineError::Code;
    switch (error.code()) {
        case Code::destinationChanged:
            return "destinationChanged";
        case Code::sourceChanged:
            return "sourceChanged";
        case Code::unsupportedSourceType:
            return "unsupportedSourceType";
        case Code::unsafePath:
            return "unsafePath";
        case Code::duplicatePath:
            return "duplicatePath";
        case Code::unsupportedArchiveEntry:
            return "unsupportedArchiveEntry";
        case Code::invalidArchive:
            return "invalidArchive";
        case Code::destinationFileTooLarge:
            return "destinationFileTooLarge";
        case Code::finalizationFailed:
            return "finalizationFailed";
        case Code::noInputs:
            return "noInputs";
        case Code::destinationIsInsideSource:
            return "destinationIsInsideSource";
        case Code::invalidInputSnapshot:
            return "invalidInputSnapshot";
        case Code::tooManyEntries:
            return "tooManyEntries";
        case Code::insufficientSpace:
            return "insufficientSpace";
        case Code::destinationReadOnly:
            return "destinationReadOnly";
        case Code::cancelled:
            return "cancelled";
    }
    return "unknown";
}

std::string caseName(const DriveTransferError& error) {
    using Code = DriveTransferError::Code;
    switch (error.code()) {
        case Code::http:
            return "http(" + std::to_string(error.status()) + ")";
        case Code::invalidArchive:
            return "invalidArchive";
        case Code::archiveChanged:
            return "archiveChanged";
        case Code::archiveNeedsReselection:
            return "archiveNeedsReselection";
        case Code::corruptJournal:
            return "corruptJournal";
        case Code::remoteDeleted:
            return "remoteDeleted";
        case Code::reauthRequired:
            return "reauthRequired";
        case Code::rateLimited:
            return "rateLimited";
        case Code::storageQuota:
            return "storageQuota";
        case Code::sharingRestricted:
            return "sharingRestricted";
        case Code::invalidResponse:
            return "invalidResponse";
        case Code::expiredSession:
            return "expiredSession";
        case Code::checksumMismatch:
            return "checksumMismatch";
        case Code::permissionNotVerified:
            return "permissionNotVerified";
        case Code::roleConflict:
            return "roleConflict";
    }
    return "unknown";
}

}  // namespace tolvane
