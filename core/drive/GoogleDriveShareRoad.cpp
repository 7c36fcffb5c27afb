// The share road of the Drive client: from a verified archive on disk to a checked
// "anyone" link on Drive, one journal save per step.

#include <sys/stat.h>

#include <exception>
#include <optional>
#include <string>

#include "core/common/Cancellation.h"
#include "core/common/PathText.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/DriveTransferSteps.h"
#include "core/drive/FileReference.h"

namespace tolvane {
namespace {

using Stage = DriveTransferProgress::Stage;

bool hasZipExtension(const std::string& path) {
    std::string extension = PathText::pathExtension(path);
    for (char& c : extension) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return extension == "zip";
}

// The same rule as openArchiveFile, through which the archive is read: a final symbolic link or
// anything but a regular file is refused. Saying so here gives the user the archive message
// instead of a bare system error.
bool isRegularFileAt(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Without a reference a later resume asks the user for the file, so failing to make one is no
// reason to stop the share.
std::optional<std::string> referenceTo(const std::string& path) {
    try {
        return FileReference::make(path).encode();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

DriveShareResult DriveTransferSteps::shareArchive(const VerifiedArchive& archive,
                                                  std::string_view accountID, DriveLinkRole role,
                                                  const AccessToken& token,
                                                  const ProgressHandler& progress,
                                                  std::stop_token stop) const {
    // Linux has no sandbox, so there is no scoped access to the archive to take or give back.
    const std::string& path = archive.url;
    if (path.empty() || path.front() != '/' || !hasZipExtension(path) || !isRegularFileAt(path)) {
        throw DriveTransferError::invalidArchive();
    }

    report(progress, Stage::hashing, 0, 0);
    const FileDigest digest = FileDigest::compute(path, stop);
    if (digest.size != archive.byteCount || digest.sha256 != archive.sha256) {
        throw DriveTransferError::archiveChanged();
    }
    const std::int64_t size = digest.size;
    report(progress, Stage::uploading, 0, size);

    const std::string key = FileDriveTransferJournal::key(accountID, archive.jobID);
    std::optional<DriveTransferRecord> loaded = journal_->load(key);
    DriveTransferRecord record;
    if (!loaded) {
        record = DriveTransferRecord::fresh(key, now());
    } else {
        record = std::move(*loaded);
        // A record that describes another account, job or file must not steer this share.
        if ((record.accountSubject && *record.accountSubject != accountID) ||
            (record.jobID && *record.jobID != archive.jobID) ||
            (record.sha256 && *record.sha256 != archive.sha256) ||
            (record.byteCount && *record.byteCount != size)) {
            throw DriveTransferError::invalidResponse();
        }
        // A job keeps the role it was started with; a link already handed out under one role
        // must not silently become another.
        if (record.jobID && record.requestedRole != role) {
            throw DriveTransferError::roleConflict();
        }
    }

    record.requestedRole = role;
    record.schemaVersion = DriveTransferRecord::currentSchemaVersion;
    record.jobID = archive.jobID;
    record.accountSubject = std::string(accountID);
    if (!record.filename) {
        record.filename = PathText::lastComponent(path);
    }
    record.byteCount = size;
    record.sha256 = archive.sha256;
    record.md5 = digest.md5;
    record.bookmark = referenceTo(path);

    const auto advance = [&](std::string_view phase) {
        record.phase = std::string(phase);
        record.updatedAt = now();
        journal_->save(record);
    };
    // Every run starts over at "prepared"; what is already done stays recorded and is skipped.
    advance(DriveTransferPhase::prepared);

    if (!record.remoteFileID) {
        if (!record.folderID) {
            record.folderID = targetFolder(token, stop);
            journal_->save(record);
        }
        if (!record.sessionURL) {
            // An earlier attempt may have finished its upload without living to record it.
            if (const std::optional<DriveFile> found = findUploadedFile(record.key, token, stop)) {
                record.remoteFileID = found->id;
                record.sessionURL.reset();
                advance(DriveTransferPhase::uploaded);
            } else {
                upload(path, digest, record, token, progress, stop);
            }
        } else {
            upload(path, digest, record, token, progress, stop);
        }
    }
    if (!record.remoteFileID) {
        throw DriveTransferError::invalidResponse();
    }
    const std::string fileID = *record.remoteFileID;
    advance(DriveTransferPhase::uploaded);
    report(progress, Stage::uploading, size, size);
    report(progress, Stage::verifying, size, size);

    const DriveFile remote =
        verifiedRemoteFile(fileID, size, digest.sha256, digest.md5, token, stop);
    // The remote copy matches what was read before the upload; the archive must still be that.
    const FileDigest again = FileDigest::compute(path, stop);
    if (again.size != size || again.sha256 != archive.sha256) {
        throw DriveTransferError::archiveChanged();
    }
    const std::string link = checkedWebLink(remote.webViewLink, fileID);

    // A transfer cancelled after its remote check is not marked verified.
    throwIfCancelled(nullptr, stop);
    advance(DriveTransferPhase::verified);
    report(progress, Stage::publishing, size, size);

    advance(DriveTransferPhase::needsPermissionCheck);
    ensurePermission(fileID, role, token, stop);

    record.verifiedLink = link;
    record.bookmark.reset();
    advance(DriveTransferPhase::shared);
    return DriveShareResult{fileID, link, digest.sha256, role};
}

}  // namespace tolvane
