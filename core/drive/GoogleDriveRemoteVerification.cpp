// What the Drive client reads and sets on Drive about an uploaded archive: the remote
// file's metadata, its "anyone" link permission, and the later re-check of a stored link.

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "core/common/Cancellation.h"
#include "core/common/StrictJson.h"
#include "core/drive/DriveResponsePolicy.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/DriveTransferSteps.h"

namespace tolvane {
namespace {

constexpr std::string_view metadataFields =
    "id,size,md5Checksum,sha256Checksum,webViewLink,trashed";
constexpr std::string_view permissionFields =
    "permissions(id,type,role,allowFileDiscovery),nextPageToken";
constexpr std::string_view anyone = "anyone";

char asciiLower(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Hex digests compare ignoring letter case. An empty expected value would confirm nothing.
bool sameDigest(std::string_view remote, std::string_view expected) noexcept {
    return !expected.empty() && remote.size() == expected.size() &&
           std::equal(remote.begin(), remote.end(), expected.begin(),
                      [](char a, char b) { return asciiLower(a) == asciiLower(b); });
}

std::string filePath(std::string_view fileID) {
    return "/drive/v3/files/" + DriveTransferSteps::pathSegment(fileID);
}

}  // namespace

DriveFile DriveTransferSteps::fileMetadata(std::string_view fileID, const AccessToken& token,
                                           std::stop_token stop) const {
    const DriveHTTPResponse response =
        checked("GET", apiURL(filePath(fileID), {{"fields", std::string(metadataFields)}}), {},
                std::nullopt, {}, token, stop);
    DriveFile file = decodedFile(response.body);
    // An answer about another file, one with the same bytes say, would pass every check that
    // follows and lend its link to this one.
    if (file.id != fileID) {
        throw DriveTransferError::invalidResponse();
    }
    return file;
}

DriveFile DriveTransferSteps::verifiedRemoteFile(std::string_view fileID, std::int64_t size,
                                                 std::string_view sha256, std::string_view md5,
                                                 const AccessToken& token,
                                                 std::stop_token stop) const {
    DriveFile remote;
    try {
        remote = fileMetadata(fileID, token, stop);
    } catch (const DriveTransferError& error) {
        if (error == DriveTransferError::http(404)) {
            throw DriveTransferError::remoteDeleted();
        }
        throw;
    }
    if (remote.trashed.value_or(false)) {
        throw DriveTransferError::remoteDeleted();
    }
    // Drive writes the size as plain decimal digits; "0042" or "42.0" is not what we sent.
    if (!remote.size || *remote.size != std::to_string(size)) {
        throw DriveTransferError::checksumMismatch();
    }
    const bool matches = remote.sha256Checksum
                             ? sameDigest(*remote.sha256Checksum, sha256)
                             : remote.md5Checksum && sameDigest(*remote.md5Checksum, md5);
    if (!matches) {
        throw DriveTransferError::checksumMismatch();
    }
    return remote;
}

std::string DriveTransferSteps::checkedWebLink(const std::optional<std::string>& link,
                                               std::string_view fileID) const {
    // The link is opened and handed to other people: only Drive's own link to this very file
    // will do, whether it comes from Drive or from the journal.
    std::optional<std::string> checked;
    if (link) {
        checked = DriveResponsePolicy::fileWebLink(*link, fileID, environment_.endpoints);
    }
    if (!checked) {
        throw DriveTransferError::invalidResponse();
    }
    return std::move(*checked);
}

DriveTransferSteps::PermissionStatus DriveTransferSteps::permissionStatus(
    std::string_view fileID, DriveLinkRole role, const AccessToken& token,
    std::stop_token stop) const {
    const std::string path = filePath(fileID) + "/permissions";
    bool matchingSeen = false;
    bool conflictingSeen = false;
    std::set<std::string> seenTokens;
    std::optional<std::string> pageToken;
    for (;;) {
        QueryItems items = {{"fields", std::string(permissionFields)}};
        if (pageToken) {
            items.emplace_back("pageToken", *pageToken);
        }
        const DriveHTTPResponse response =
            checked("GET", apiURL(path, items), {}, std::nullopt, {}, token, stop);
        DrivePermissionList page;
        try {
            page = DriveRESTDecoding::decodePermissionList(response.body);
        } catch (const StrictJson::DecodeError&) {
            throw DriveTransferError::invalidResponse();
        }
        for (const DrivePermission& permission : page.permissions) {
            if (permission.type != anyone) {
                continue;
            }
            // A discoverable link lets strangers find the file by search, which a share link
            // never promised.
            if (permission.role == rawValue(role) &&
                !permission.allowFileDiscovery.value_or(false)) {
                matchingSeen = true;
            } else {
                conflictingSeen = true;
            }
        }
        if (!page.nextPageToken) {
            break;
        }
        if (!seenTokens.insert(*page.nextPageToken).second) {
            throw DriveTransferError::invalidResponse();
        }
        pageToken = std::move(page.nextPageToken);
    }
    if (conflictingSeen) {
        return PermissionStatus::conflicting;
    }
    return matchingSeen ? PermissionStatus::matching : PermissionStatus::missing;
}

void DriveTransferSteps::ensurePermission(std::string_view fileID, DriveLinkRole role,
                                          const AccessToken& token, std::stop_token stop) const {
    PermissionStatus status = permissionStatus(fileID, role, token, stop);
    if (status == PermissionStatus::conflicting) {
        // Someone chose that public link on purpose; it is theirs to change, not ours.
        throw DriveTransferError::roleConflict();
    }
    if (status == PermissionStatus::missing) {
        throwIfCancelled(nullptr, stop);
        StrictJson::OrderedValue body = StrictJson::OrderedValue::object();
        body["type"] = std::string(anyone);
        body["role"] = std::string(rawValue(role));
        body["allowFileDiscovery"] = false;
        checked("POST", apiURL(filePath(fileID) + "/permissions"), StrictJson::encode(body),
                std::string("application/json"), {}, token, stop);
    }
    // A permission is trusted only once Drive shows it; another party may change the file's
    // permissions at any time.
    status = permissionStatus(fileID, role, token, stop);
    if (status == PermissionStatus::missing) {
        throw DriveTransferError::permissionNotVerified();
    }
    if (status == PermissionStatus::conflicting) {
        throw DriveTransferError::roleConflict();
    }
}

DriveShareResult DriveTransferSteps::verifiedLink(const Uuid& jobID, std::string_view accountID,
                                                  const AccessToken& token,
                                                  std::stop_token stop) const {
    const std::optional<DriveTransferRecord> record =
        journal_->load(FileDriveTransferJournal::key(accountID, jobID));
    if (!record || record->accountSubject != accountID ||
        record->phase != DriveTransferPhase::shared || !record->remoteFileID || !record->sha256 ||
        !record->md5 || !record->byteCount || !record->verifiedLink) {
        throw DriveTransferError::invalidResponse();
    }
    std::string link = checkedWebLink(record->verifiedLink, *record->remoteFileID);

    verifiedRemoteFile(*record->remoteFileID, *record->byteCount, *record->sha256, *record->md5,
                       token, stop);
    switch (permissionStatus(*record->remoteFileID, record->requestedRole, token, stop)) {
        case PermissionStatus::matching:
            break;
        case PermissionStatus::missing:
            throw DriveTransferError::permissionNotVerified();
        case PermissionStatus::conflicting:
            throw DriveTransferError::roleConflict();
    }
    return DriveShareResult{*record->remoteFileID, std::move(link), *record->sha256,
                            record->requestedRole};
}

}  // namespace tolvane
