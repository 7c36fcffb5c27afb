#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/drive/DriveEndpoints.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveRESTDecoding.h"

namespace tolvane::test {

// An in-memory Google Drive that answers the REST requests of the Drive client: folders and
// files with application properties, files.list with the query forms the client writes and
// paging, file metadata, resumable upload sessions (308 with "Range", status queries), and
// permissions with paging. Like Drive, an answer carries only the fields the request's `fields`
// names (nested "files(id,name)" included), or Drive's few defaults without it, so a client that
// forgets to ask for a field it reads never sees it.
//
// Faults go through one hook that sees every request and decides its answer: it may serve it,
// change Drive's answer, answer itself or throw as a transport would. The service also serves
// directly as the client's transport. Thread-safe; the hook runs without the lock held.
class FakeDriveService final : public DriveHTTPTransport {
public:
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

    using Serve = std::function<DriveHTTPResponse()>;
    using Hook = std::function<DriveHTTPResponse(const DriveHTTPRequest&, const Serve& serve)>;

    // Session URLs are formed on `endpoints.apiBase`, web links on `endpoints.webHost`.
    explicit FakeDriveService(DriveEndpoints endpoints = {});

    // `request.url` is absolute or a request target as a server receives it.
    DriveHTTPResponse handle(const DriveHTTPRequest& request);
    // A requested stop ends the exchange as a cancelled TransportError, like a real transport.
    DriveHTTPResponse send(const DriveHTTPRequest& request, std::stop_token stop) override;

    // Replaces the hook; an empty hook serves every request.
    void setHook(Hook hook);
    // Every request received since the last clearRequests(), in order.
    std::vector<DriveHTTPRequest> requests() const;
    void clearRequests();

    // --- Changes another party (or Drive itself) makes -------------------------------------
    void trash(const std::string& fileID);
    void remove(const std::string& fileID);   // deleted for good: every request for it is 404
    void corrupt(const std::string& fileID);  // the stored bytes change, the name stays
    void addPermission(const std::string& fileID, DrivePermission permission);
    void removePermissions(const std::string& fileID);
    void forgetSessions();  // every upload session is gone (404)
    void setPermissionPageSize(std::size_t size);

    // --- Inspection -------------------------------------------------------------------------
    std::optional<StoredFile> file(const std::string& id) const;
    // Every file and folder not deleted, in creation order.
    std::vector<StoredFile> files() const;
    // Folder names from the root down to the file's parent, joined by "/".
    std::string folderPath(const std::string& fileID) const;
    std::size_t sessionsStarted() const;

private:
    struct Session {
        std::string name;
        std::vector<std::string> parents;
        std::map<std::string, std::string> appProperties;
        std::int64_t total = 0;
        std::string received;
        std::string fields;
        std::optional<std::string> fileID;  // once complete
    };
    struct Request;

    DriveHTTPResponse serve(const Request& request);
    DriveHTTPResponse listFiles(const Request& request) const;
    DriveHTTPResponse fileRequest(const Request& request, const std::string& id, bool permissions);
    DriveHTTPResponse initiateUpload(const Request& request);
    DriveHTTPResponse sessionRequest(const Request& request);
    StoredFile* find(const std::string& id);

    const DriveEndpoints endpoints_;
    mutable std::mutex mutex_;
    Hook hook_;
    std::vector<DriveHTTPRequest> requests_;
    std::vector<StoredFile> files_;
    std::map<std::string, Session> sessions_;
    std::size_t sessionsStarted_ = 0;
    std::size_t permissionPageSize_ = 100;
    std::uint64_t counter_ = 0;
};

}  // namespace tolvane::test
