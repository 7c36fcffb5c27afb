#include "core/drive/GoogleDriveTransferClient.h"

#include <utility>

#include "core/drive/DriveTransferSteps.h"

namespace tolvane {

GoogleDriveTransferClient::GoogleDriveTransferClient(
    std::shared_ptr<DriveHTTPTransport> transport,
    std::shared_ptr<FileDriveTransferJournal> journal)
    : steps_(std::make_shared<const DriveTransferSteps>(std::move(transport), std::move(journal))) {
}

GoogleDriveTransferClient::GoogleDriveTransferClient(
    std::shared_ptr<const DriveTransferSteps> steps)
    : steps_(std::move(steps)) {}

std::vector<DriveRecoveryItem> GoogleDriveTransferClient::pendingRecords(
    std::string_view accountID) const {
    return steps_->pendingRecords(accountID);
}

DriveShareResult GoogleDriveTransferClient::verifiedLink(const Uuid& jobID,
                                                         std::string_view accountID,
                                                         const AccessToken& token,
                                                         std::stop_token stop) const {
    return steps_->verifiedLink(jobID, accountID, token, std::move(stop));
}

DriveShareResult GoogleDriveTransferClient::resume(const Uuid& jobID, std::string_view accountID,
                                                   const std::optional<std::string>& selectedURL,
                                                   const AccessToken& token,
                                                   const ProgressHandler& progress,
                                                   std::stop_token stop) const {
    return steps_->resume(jobID, accountID, selectedURL, token, progress, std::move(stop));
}

DriveShareResult GoogleDriveTransferClient::shareArchive(
    const VerifiedArchive& archive, std::string_view accountID, DriveLinkRole role,
    const AccessToken& token, const ProgressHandler& progress, std::stop_token stop) const {
    return steps_->shareArchive(archive, accountID, role, token, progress, std::move(stop));
}

}  // namespace tolvane
