#pragma once

#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/archive/ArchiveValues.h"
#include "core/common/Uuid.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveTransferSteps.h"
#include "core/drive/DriveTypes.h"
#include "core/drive/FileDriveTransferJournal.h"

namespace tolvane {

// The Drive client of the application: shares a verified archive through an "anyone" link,
// lists and continues interrupted shares, and re-checks a link shared earlier.
//
// Every operation blocks its caller and is meant for a worker thread; the ones that reach Drive
// take the task's stop token and end with OperationCancelled (or the transport's cancelled
// TransportError while an exchange is in flight) once it is requested. The client never changes
// after construction and holds no lock, so any number of threads may use it at once; the
// transport and the journal guard themselves.
class GoogleDriveTransferClient {
public:
    using AccessToken = DriveTransferSteps::AccessToken;
    using ProgressHandler = DriveTransferSteps::ProgressHandler;

    // The public Google hosts, 8 MiB chunks and real waits before retries.
    GoogleDriveTransferClient(std::shared_ptr<DriveHTTPTransport> transport,
                              std::shared_ptr<FileDriveTransferJournal> journal)
        : steps_(std::make_shared<const DriveTransferSteps>(std::move(transport),
                                                            std::move(journal))) {}
    // Over steps made some other way (other hosts, chunk size, clock or waits).
    explicit GoogleDriveTransferClient(std::shared_ptr<const DriveTransferSteps> steps)
        : steps_(std::move(steps)) {}

    // The account's interrupted transfers as the journal lists them; reads only the journal.
    std::vector<DriveRecoveryItem> pendingRecords(std::string_view accountID) const {
        return steps_->pendingRecords(accountID);
    }

    // Checks, without changing anything, that a job shared earlier still has its file (same
    // size and checksums as recorded) and its "anyone" link with the recorded role. Reads the
    // journal and Drive; the local archive is not opened.
    DriveShareResult verifiedLink(const Uuid& jobID, std::string_view accountID,
                                  const AccessToken& token, std::stop_token stop) const {
        return steps_->verifiedLink(jobID, accountID, token, std::move(stop));
    }

    // Continues an interrupted transfer with the role it was started with. The archive is
    // `selectedURL` when the user picked it again, else the file the journal's reference still
    // leads to; when neither is available, archiveNeedsReselection.
    DriveShareResult resume(const Uuid& jobID, std::string_view accountID,
                            const std::optional<std::string>& selectedURL, const AccessToken& token,
                            const ProgressHandler& progress, std::stop_token stop) const {
        return steps_->resume(jobID, accountID, selectedURL, token, progress, std::move(stop));
    }

    // Uploads a verified archive into this month's Drive folder, checks the remote copy and the
    // local file again, and sets an "anyone" link with `role`. Every step is saved to the journal
    // before the next begins; a later call for the same job skips what the journal shows as done.
    DriveShareResult shareArchive(const VerifiedArchive& archive, std::string_view accountID,
                                  DriveLinkRole role, const AccessToken& token,
                                  const ProgressHandler& progress, std::stop_token stop) const {
        return steps_->shareArchive(archive, accountID, role, token, progress, std::move(stop));
    }

private:
    std::shared_ptr<const DriveTransferSteps> steps_;
};

}  // namespace tolvane
