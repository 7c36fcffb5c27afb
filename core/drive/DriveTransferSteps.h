#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/archive/ArchiveValues.h"
#include "core/common/Uuid.h"
#include "core/drive/DriveEndpoints.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveRESTDecoding.h"
#include "core/drive/DriveResponsePolicy.h"
#include "core/drive/DriveTypes.h"
#include "core/drive/FileDigest.h"
#include "core/drive/FileDriveTransferJournal.h"

namespace tolvane {

// The inside of GoogleDriveTransferClient: its operations and the steps they are made of (request
// execution, the folder and file lookups, the resumable upload, the remote checks). The
// application goes through the client; tests reach the steps.
class DriveTransferSteps {
public:
    // Returns a current OAuth access token, the bare token without "Bearer ". Called once for
    // every request attempt and once more after a 401; what it throws reaches the caller.
    using AccessToken = std::function<std::string()>;
    // Receives each report in order; the client waits for it to return before it goes on.
    using ProgressHandler = std::function<void(const DriveTransferProgress&)>;
    // The wait before a retry. Must end early with OperationCancelled once `stop` is requested.
    using RetryDelay = std::function<void(std::uint64_t nanoseconds, std::stop_token stop)>;
    // The current time in Unix seconds.
    using Clock = std::function<double()>;
    // Header fields in the order they are set.
    using HeaderFields = std::vector<std::pair<std::string, std::string>>;
    // Query parameters in the order they are sent, unencoded.
    using QueryItems = std::vector<std::pair<std::string, std::string>>;

    static constexpr std::int64_t chunkGranularity = 262'144;    // 256 KiB
    static constexpr std::int64_t defaultChunkSize = 8'388'608;  // 8 MiB

    // Seams the application leaves at their defaults and tests replace.
    struct Environment {
        DriveEndpoints endpoints;
        DriveResponsePolicy::JitterSource jitter;  // empty: the system random source
        Clock now;                                 // empty: the system clock
    };

    // `retryDelay` empty: sleep, ending early when the stop token is requested.
    DriveTransferSteps(std::shared_ptr<DriveHTTPTransport> transport,
                       std::shared_ptr<FileDriveTransferJournal> journal,
                       std::int64_t chunkSize = defaultChunkSize, RetryDelay retryDelay = {},
                       Environment environment = {});

    // Below 256 KiB (zero and negative values included) becomes 256 KiB; anything larger is
    // rounded down to a multiple of it.
    static std::int64_t roundedChunkSize(std::int64_t requested) noexcept;

    // --- The client's operations, as GoogleDriveTransferClient describes them ----------------

    std::vector<DriveRecoveryItem> pendingRecords(std::string_view accountID) const;
    DriveShareResult verifiedLink(const Uuid& jobID, std::string_view accountID,
                                  const AccessToken& token, std::stop_token stop) const;
    DriveShareResult resume(const Uuid& jobID, std::string_view accountID,
                            const std::optional<std::string>& selectedURL, const AccessToken& token,
                            const ProgressHandler& progress, std::stop_token stop) const;
    DriveShareResult shareArchive(const VerifiedArchive& archive, std::string_view accountID,
                                  DriveLinkRole role, const AccessToken& token,
                                  const ProgressHandler& progress, std::stop_token stop) const;

    // Identifier of this month's folder "ZUD ERO"/<year>/<two-digit month> under the account's
    // root, creating the levels that are missing. Year and month come from one reading of the
    // clock in the local calendar.
    std::string targetFolder(const AccessToken& token, std::stop_token stop) const;

    // Identifier of the first non-trashed folder `name` directly under `parent`; created when
    // there is none.
    std::string ensureFolder(std::string_view name, std::string_view parent,
                             const AccessToken& token, std::stop_token stop) const;

    // The first non-trashed file carrying the job's marker property, from an earlier attempt.
    std::optional<DriveFile> findUploadedFile(std::string_view key, const AccessToken& token,
                                              std::stop_token stop) const;

    // The files of the first result page that holds any, following page tokens across empty
    // pages. A page token seen twice, or an answer that does not decode, is invalidResponse.
    std::vector<DriveFile> listFiles(std::string_view query, std::string_view fields,
                                     const AccessToken& token, std::stop_token stop) const;

    // Puts the file at `fileURL` into the folder `record.folderID` through a resumable upload
    // session, saving `record` to the journal after every step, so that a later call continues
    // the stored session instead of starting over. Returns only once `record.remoteFileID` is
    // set; changes to `record` stay in it also when the call throws. Only `digest.size` is used.
    void upload(const std::string& fileURL, const FileDigest& digest, DriveTransferRecord& record,
                const AccessToken& token, const ProgressHandler& progress,
                std::stop_token stop) const;

    // Asks an upload session how many bytes it holds ("Content-Range: bytes */size") and returns
    // its final answer whatever the status, after up to three waits for transient answers. A URL
    // that fails the session gate is invalidResponse and is never contacted; a second 401 is
    // reauthRequired.
    DriveHTTPResponse sessionStatus(const std::string& sessionURL, std::int64_t size,
                                    const AccessToken& token, std::stop_token stop) const;

    // What a file's "anyone" permissions say about a requested link role.
    enum class PermissionStatus {
        missing,      // no "anyone" permission
        matching,     // one has exactly the role and is not discoverable, and none conflicts
        conflicting,  // one has another role or is discoverable
    };

    // The file's size, checksums, web link and trash state. A missing file is http(404); an
    // answer about another file is invalidResponse.
    DriveFile fileMetadata(std::string_view fileID, const AccessToken& token,
                           std::stop_token stop) const;

    // Reads every page of the file's permissions. A page token seen twice, or a page that does
    // not decode, is invalidResponse.
    PermissionStatus permissionStatus(std::string_view fileID, DriveLinkRole role,
                                      const AccessToken& token, std::stop_token stop) const;

    // Creates the "anyone" permission with `role` when there is none, then reads the permissions
    // back: returns only once the link is confirmed. An existing public link with another role,
    // or a discoverable one, is never changed: roleConflict.
    void ensurePermission(std::string_view fileID, DriveLinkRole role, const AccessToken& token,
                          std::stop_token stop) const;

    // Sends one Drive REST request and returns its first 2xx answer. Only a GET is repeated
    // after a transient answer (see exchange); any other non-success answer is thrown as its
    // classified DriveTransferError.
    DriveHTTPResponse checked(std::string_view method, const std::string& url,
                              const std::string& body,
                              const std::optional<std::string>& contentType,
                              const HeaderFields& extraHeaders, const AccessToken& token,
                              std::stop_token stop) const;

    // The one retry loop of the client: sends `request` with the bearer token and, when
    // `repeatable`, sends it again after a wait while the answer is transient, at most
    // DriveResponsePolicy::retryLimit times. Cancellation is checked before every attempt; a
    // 401 is resent once with a renewed token and a second one is reauthRequired. Returns the
    // last answer whatever its status; transport, token and wait failures pass through.
    DriveHTTPResponse exchange(const DriveHTTPRequest& request, bool repeatable,
                               const AccessToken& token, std::stop_token stop) const;

    // The API origin, `path` (already in URL form, beginning with "/"), and the percent-encoded
    // query; no "?" at all when `query` is empty.
    std::string apiURL(std::string_view path, const QueryItems& query = {}) const;

    // An identifier as one path segment: everything but letters, digits, "-", "_" and "~" is
    // percent-encoded, so no identifier can add a segment or climb out of its path.
    static std::string pathSegment(std::string_view identifier);

private:
    friend class DriveResumableUpload;

    // Sets "Authorization" from the token and sends; a 401 is resent once with a renewed token.
    // The answer returned is the last one, so a 401 here means Drive refused both tokens.
    DriveHTTPResponse sendAuthorized(DriveHTTPRequest& request, const AccessToken& token,
                                     std::stop_token stop) const;
    void waitBeforeRetry(const DriveHTTPResponse& response, int attempt,
                         std::stop_token stop) const;
    double now() const;
    // An answer body as a Drive file (or file list) with a usable identifier; anything else is
    // invalidResponse.
    static DriveFile decodedFile(std::string_view body);
    static DriveFileList decodedFileList(std::string_view body);
    void report(const ProgressHandler& progress, DriveTransferProgress::Stage stage,
                std::int64_t acknowledged, std::int64_t total) const;
    // The remote file's metadata once it is known to be present, untrashed, of `size` bytes and
    // with the expected SHA-256 (or, when Drive gives none, MD5), both ignoring letter case.
    DriveFile verifiedRemoteFile(std::string_view fileID, std::int64_t size,
                                 std::string_view sha256, std::string_view md5,
                                 const AccessToken& token, std::stop_token stop) const;
    // `link` when it is an https URL on the Drive web host that names the file `fileID` in its
    // path; otherwise invalidResponse.
    std::string checkedWebLink(const std::optional<std::string>& link,
                               std::string_view fileID) const;

    std::shared_ptr<DriveHTTPTransport> transport_;
    std::shared_ptr<FileDriveTransferJournal> journal_;
    std::int64_t chunkSize_;
    RetryDelay retryDelay_;
    Environment environment_;
};

}  // namespace tolvane
