#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
#include "core/drive/DriveTypes.h"
#include "core/drive/FileDriveTransferJournal.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "support/TempDir.h"

namespace tolvane::test {

// An in-memory Google Drive that answers the REST requests of the Drive client: folders and
// files with application properties, files.list with the query forms the client writes and
// paging, file metadata with size and checksums, resumable upload sessions (308 with "Range",
// status queries, completion), and permissions with paging.
//
// handle() is the whole of the service: an answer computed from the method, URL, header fields
// and body alone (and the state earlier requests left), so the same object can stand behind a
// real HTTP server. It also serves directly as the client's transport. Thread-safe: one mutex
// guards the state and is never held while calling out.
//
// Switches make it misbehave the way Drive can: corrupted uploads (a checksum mismatch), answers
// without a SHA-256 or with upper-case checksums, files trashed or deleted behind the client's
// back, upload sessions that expire, and rate limits.
class FakeDriveService final : public DriveHTTPTransport {
public:
    using HeaderFields = std::vector<std::pair<std::string, std::string>>;

    static constexpr std::string_view folderMimeType = "application/vnd.google-apps.folder";

    struct StoredFile {
        std::string id;
        std::string name;
        std::string mimeType;
        std::vector<std::string> parents;
        std::map<std::string, std::string> appProperties;
        std::string content;
        bool trashed = false;
        std::vector<DrivePermission> permissions;
    };

    struct Quirks {
        bool corruptUploads = false;      // a finished upload keeps its first byte flipped
        bool omitSHA256 = false;          // answers carry no "sha256Checksum"
        bool upperCaseChecksums = false;  // checksums in upper-case hex
    };

    // Session URLs are formed on `endpoints.apiBase`, web links on `endpoints.webHost`.
    explicit FakeDriveService(DriveEndpoints endpoints = {});

    DriveHTTPResponse handle(std::string_view method, std::string_view url,
                             const HeaderFields& headers, std::string_view body);

    // A requested stop ends the exchange as a cancelled TransportError, like a real transport.
    DriveHTTPResponse send(const DriveHTTPRequest& request, std::stop_token stop) override;

    // --- Switches ---------------------------------------------------------------------------
    void setQuirks(Quirks quirks);
    // The next `count` requests, whatever they ask, are refused: 429 "rateLimitExceeded", or
    // 403 "userRateLimitExceeded" when `status` is 403; with a "Retry-After" when given.
    void rateLimitNext(int count, int status = 429, std::optional<std::string> retryAfter = {});
    // The next `count` requests to an upload session find it gone (404), and it stays gone.
    void loseSessions(int count);
    // Permissions per page (at least 1); Drive's own default is 100.
    void setPermissionPageSize(std::size_t size);

    // --- Direct changes, as another party would make them -----------------------------------
    void trash(const std::string& fileID);
    // Deleted for good (emptied from the trash): every request for it answers 404.
    void remove(const std::string& fileID);
    // Adds a permission with a fresh identifier.
    void addPermission(const std::string& fileID, std::string type, std::string role,
                       std::optional<bool> allowFileDiscovery = std::nullopt);
    void removePermissions(const std::string& fileID);

    // --- Inspection -------------------------------------------------------------------------
    std::optional<StoredFile> file(const std::string& id) const;
    // Every file and folder not deleted, in creation order.
    std::vector<StoredFile> files() const;
    // The files (not folders) whose application property `key` has `value`.
    std::vector<StoredFile> filesWithProperty(const std::string& key,
                                              const std::string& value) const;
    // Folder names from the root down to the file's parent, joined by "/"; no value when a
    // parent is missing.
    std::optional<std::string> folderPath(const std::string& fileID) const;
    // Upload sessions begun since the service was made.
    std::size_t sessionsStarted() const;

private:
    struct Session {
        std::string name;
        std::string mimeType;
        std::vector<std::string> parents;
        std::map<std::string, std::string> appProperties;
        std::optional<std::int64_t> total;
        std::string received;
        std::optional<std::string> fileID;  // once complete
    };

    struct Request;

    DriveHTTPResponse listFiles(const Request& request) const;
    DriveHTTPResponse createFolder(const Request& request);
    DriveHTTPResponse fileRequest(const Request& request, std::string_view rest);
    DriveHTTPResponse listPermissions(const Request& request, const StoredFile& file) const;
    DriveHTTPResponse createPermission(const Request& request, StoredFile& file);
    DriveHTTPResponse initiateUpload(const Request& request);
    DriveHTTPResponse sessionRequest(const Request& request);
    DriveHTTPResponse completeSession(Session& session);

    StoredFile* findLocked(const std::string& id);
    const StoredFile* findLocked(const std::string& id) const;
    bool isFolderLocked(const std::string& id) const;
    std::string fileJSONLocked(const StoredFile& file) const;
    std::string nextID(std::string_view prefix);

    const DriveEndpoints endpoints_;
    mutable std::mutex mutex_;
    std::vector<StoredFile> files_;
    std::map<std::string, Session> sessions_;
    std::size_t sessionsStarted_ = 0;
    std::uint64_t counter_ = 0;
    Quirks quirks_;
    int rateLimitsLeft_ = 0;
    int rateLimitStatus_ = 429;
    std::optional<std::string> retryAfter_;
    int sessionLossesLeft_ = 0;
    std::size_t permissionPageSize_ = 100;
};

// A transport in front of another that lets a test step into single exchanges: look at the
// request, pass it on or not, and answer, fail or stop around it. It records every request.
class DriveTransportTap final : public DriveHTTPTransport {
public:
    // Passes the request on to the inner transport and returns its answer.
    using Forward = std::function<DriveHTTPResponse()>;
    using Hook =
        std::function<DriveHTTPResponse(const DriveHTTPRequest&, std::stop_token, const Forward&)>;

    explicit DriveTransportTap(std::shared_ptr<DriveHTTPTransport> inner);

    // Replaces the hook; an empty hook passes every request straight on.
    void setHook(Hook hook);
    std::vector<DriveHTTPRequest> requests() const;
    void clearRequests();

    DriveHTTPResponse send(const DriveHTTPRequest& request, std::stop_token stop) override;

private:
    std::shared_ptr<DriveHTTPTransport> inner_;
    mutable std::mutex mutex_;
    Hook hook_;
    std::vector<DriveHTTPRequest> requests_;
};

// A Drive client over a FakeDriveService seen through a tap, with its journal in a fresh
// temporary directory, the clock fixed at 2024-03-15 12:00 UTC (mid-March in every time zone),
// 256 KiB chunks, retry waits recorded instead of slept and every progress report kept.
class DriveShareBench {
private:
    mutable std::mutex mutex_;
    std::vector<DriveTransferProgress> reports_;
    std::vector<std::uint64_t> waits_;
    int tokensIssued_ = 0;

public:
    static constexpr double midMarch2024 = 1'710'504'000.0;
    static constexpr std::int64_t chunk = 262'144;
    inline static const std::string account = "subject-1";

    TempDir dir;
    std::shared_ptr<FakeDriveService> drive = std::make_shared<FakeDriveService>();
    std::shared_ptr<DriveTransportTap> tap = std::make_shared<DriveTransportTap>(drive);
    std::shared_ptr<FileDriveTransferJournal> journal =
        std::make_shared<FileDriveTransferJournal>(dir.file("journal"));
    GoogleDriveTransferClient client;
    // The result of the last operation that succeeded.
    std::optional<DriveShareResult> result;

    DriveShareBench();

    // Writes `content` to dir/name and describes it as the verified archive of a new job.
    VerifiedArchive archive(const std::string& name, const std::string& content) const;

    // One client operation each, for `account` unless told otherwise; the outcome as outcomeOf
    // gives it ("ok", a Drive error's case, "cancelled", "transport ...").
    std::string share(const VerifiedArchive& archive, DriveLinkRole role,
                      std::stop_token stop = {});
    std::string resume(const Uuid& jobID, const std::optional<std::string>& selected = {},
                       std::string_view accountID = account);
    std::string verify(const Uuid& jobID);

    std::optional<DriveTransferRecord> record(const Uuid& jobID) const;
    // The journal file's bytes; empty when there is none.
    std::string recordFile(const Uuid& jobID) const;

    std::vector<DriveTransferProgress> reports() const;
    std::vector<std::uint64_t> waits() const;
    // The requests since the last clearLog() in short form: "find folder <name>",
    // "create folder <name>", "find marker", "initiate", "status", "chunk <first>-<last>",
    // "metadata", "permissions", "create permission <role>".
    std::vector<std::string> transcript() const;
    // Forgets requests, reports and waits.
    void clearLog();
};

}  // namespace tolvane::test
