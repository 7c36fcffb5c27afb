// Listing and continuing interrupted transfers.

#include <optional>
#include <string>

#include "core/drive/DriveTransferError.h"
#include "core/drive/DriveTransferSteps.h"
#include "core/drive/FileReference.h"

namespace tolvane {

std::vector<DriveRecoveryItem> DriveTransferSteps::pendingRecords(
    std::string_view accountID) const {
    return journal_->pendingRecords(accountID);
}

DriveShareResult DriveTransferSteps::resume(const Uuid& jobID, std::string_view accountID,
                                            const std::optional<std::string>& selectedURL,
                                            const AccessToken& token,
                                            const ProgressHandler& progress,
                                            std::stop_token stop) const {
    const std::optional<DriveTransferRecord> record =
        journal_->load(FileDriveTransferJournal::key(accountID, jobID));
    if (!record || record->schemaVersion != DriveTransferRecord::currentSchemaVersion ||
        record->accountSubject != accountID || record->jobID != jobID || !record->byteCount ||
        !record->sha256) {
        throw DriveTransferError::invalidResponse();
    }

    // A selected file is taken as it is: the share road's digest tells whether it is the same
    // archive. A reference leads only to the very file it was made of, still at its place; a
    // moved file cannot be found again on Linux, so the user selects it.
    std::string url;
    if (selectedURL) {
        url = *selectedURL;
    } else if (!record->bookmark) {
        throw DriveTransferError::archiveNeedsReselection();
    } else if (std::optional<std::string> resolved = FileReference::resolve(*record->bookmark)) {
        url = std::move(*resolved);
    } else {
        throw DriveTransferError::archiveNeedsReselection();
    }

    const VerifiedArchive archive{jobID, std::move(url), *record->byteCount, *record->sha256};
    return shareArchive(archive, accountID, record->requestedRole, token, progress,
                        std::move(stop));
}

}  // namespace tolvane
