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

// The Drive client: every request the application makes to Google Drive, the folder and file
// lookups, and the resumable upload with its journal.
//
// Every operation blocks its caller and is meant for a worker thread; the ones that reach Drive
// take the task's stop token and end with OperationCancelled (or the transport's cancelled
// TransportError while an exchange is in flight) once it is requested. The client's fields never
// change after construction and it holds no lock, so any number of threads may use it at once;
// the transport and the journal guard themselves.
class GoogleDriveTransferClient {
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
    GoogleDriveTransferClient(std::shared_ptr<DriveHTTPTransport> transport,
                              std::shared_ptr<FileDriveTransferJournal> journal,
                              std::int64_t chunkSize = defaultChunkSize, RetryDelay retryDelay = {},
                              Environment environment = {});

    // Below 256 KiB (zero and negative values included) becomes 256 KiB; anything larger is
    // rounded down to a multiple of it.
    static std::int64_t roundedChunkSize(std::int64_t requested) noexcept;

    std::int64_t chunkSize() const noexcept { return chunkSize_; }

    // --- Operations of the application ---------------------------------------------------------

    // The account's interrupted transfers as the journal lists them; reads only the journal.
    std::vector<DriveRecoveryItem> pendingRecords(std::string_view accountID) const;

    // Checks, without changing anything, that a job shared earlier still has its file (same
    // size and checksums as recorded) and its "anyone" link with the recorded role. Reads the
    // journal and Drive; the local archive is not opened.
    DriveShareResult verifiedLink(const Uuid& jobID, std::string_view accountID,
                                  const AccessToken& token, std::stop_token stop) const;

    // Continues an interrupted transfer with the role it was started with. The archive is
    // `selectedURL` when the user picked it again, else the file the journal's reference still
    // leads to; when neither is available, archiveNeedsReselection.
    DriveShareResult resume(const Uuid& jobID, std::string_view accountID,
                            const std::optional<std::string>& selectedURL, const AccessToken& token,
                            const ProgressHandler& progress, std::stop_token stop) const;

    // Uploads a verified archive into this month's Drive folder, checks the remote copy and the
    // local file again, and sets an "anyone" link with `role`. Every step is saved to the journal
    // before the next begins; a later call for the same job skips what the journal shows as done.
    DriveShareResult shareArchive(const VerifiedArchive& archive, std::string_view accountID,
                                  DriveLinkRole role, const AccessToken& token,
                                  const ProgressHandler& progress, std::stop_token stop) const;

    // --- Steps of the share road --------------------------------------------------------------
    // The application reaches Drive only through the share, resume and link operations; these
    // are the pieces those operations are made of.

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
    // its final answer whatever the status, after up to three waits for rate limits and server
    // errors. A URL that fails the session gate is invalidResponse and is never contacted; a
    // second 401 is reauthRequired.
    DriveHTTPResponse sessionStatus(const std::string& sessionURL, std::int64_t size,
                                    const AccessToken& token, std::stop_token stop) const;

    // What a file's "anyone" permissions say about a requested link role.
    enum class PermissionStatus {
        missing,      // no "anyone" permission
        matching,     // one has exactly the role and is not discoverable, and none conflicts
        conflicting,  // one has another role or is discoverable
    };

    // The file's size, checksums, web link and trash state. A missing file is http(404).
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

    // --- Request execution --------------------------------------------------------------------

    // Sends one Drive REST request with the bearer token and returns its first 2xx answer.
    // A 401 is resent once with a renewed token (a second 401 is reauthRequired); a GET answered
    // 429, 5xx or a rate-limited 403 is repeated after a wait, at most three times; any other
    // non-success answer is thrown as its classified DriveTransferError. Cancellation is checked
    // before every attempt; transport, token and wait failures pass through unchanged.
    DriveHTTPResponse checked(std::string_view method, const std::string& url,
                              const std::string& body,
                              const std::optional<std::string>& contentType,
                              const HeaderFields& extraHeaders, const AccessToken& token,
                              std::stop_token stop) const;

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
    // `link` when it is an https URL on the Drive web host; otherwise invalidResponse.
    std::string checkedWebLink(const std::optional<std::string>& link) const;

    std::shared_ptr<DriveHTTPTransport> transport_;
    std::shared_ptr<FileDriveTransferJournal> journal_;
    std::int64_t chunkSize_;
    RetryDelay retryDelay_;
    Environment environment_;
};

}  // namespace tolvane
