#pragma once

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

// An in-memory Google Drive for the requests the Drive client makes: folders, the two query forms
// of files.list, metadata, resumable upload sessions and permissions. Like Drive, an answer
// carries only the fields the request's `fields` names (or Drive's few defaults), so a client that
// forgets to ask for a field never sees it. Faults go through one hook that sees every request: it
// may serve it, change Drive's answer, answer itself or throw as a transport would. Thread-safe;
// the hook runs without the lock held.
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

    void setHook(Hook hook);                         // an empty hook serves every request
    std::vector<DriveHTTPRequest> requests() const;  // since the last clearRequests()
    void clearRequests();

    // What another party (or Drive itself) does to a file; no file: deleted for good.
    void change(const std::string& fileID, const std::function<void(StoredFile&)>& edit);
    void remove(const std::string& fileID);
    void forgetSessions();  // every upload session is gone (404)

    std::optional<StoredFile> file(const std::string& id) const;
    std::vector<StoredFile> files() const;  // in creation order

private:
    struct Session {
        StoredFile file;  // content: the bytes received so far; an id once complete
        std::int64_t total = 0;
        std::string fields;
    };

    DriveHTTPResponse serve(const DriveHTTPRequest& request);
    DriveHTTPResponse upload(const DriveHTTPRequest& request, Session& session);
    StoredFile* find(const std::string& id);

    const DriveEndpoints endpoints_;
    mutable std::mutex mutex_;
    Hook hook_;
    std::vector<DriveHTTPRequest> requests_;
    std::vector<StoredFile> files_;
    std::map<std::string, Session> sessions_;
    std::uint64_t counter_ = 0;
};

// The path of an absolute URL or request target, and its query items percent-decoded.
std::string urlPath(const std::string& url);
std::map<std::string, std::string> urlQuery(const std::string& url);

}  // namespace tolvane::test
