#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/archive/ArchiveValues.h"
#include "core/drive/DriveTransferSteps.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "core/drive/URLSessionDriveHTTPTransport.h"
#include "support/TempDir.h"

namespace httplib {
class SSLServer;
}

namespace tolvane::test {

// An in-memory Google Drive and the Drive client under test over it. The Drive knows folders, the
// two query forms of files.list the client writes, metadata, resumable upload sessions and
// permissions. Like Drive, it answers with only the fields a request's `fields` names (or Drive's
// defaults), so a client that forgets to ask for a field never sees it; a session URL repeats its
// initiation's query and with it the fields. Every request passes one hook, which may serve it,
// change the answer, answer itself or throw as a transport would; until a test sets its own, the
// hook plays `script` and `at`. The Drive is thread-safe; the hook runs without its lock. The
// client has 256 KiB chunks, its journal in a fresh temporary directory, the clock in mid-March
// 2024 in every time zone, the largest jitter, retry waits recorded instead of slept, the tokens
// "token-1", "token-2", ... and every progress report kept.
class FakeDrive : public DriveHTTPTransport {
public:
    struct StoredFile {
        std::string id, name, mimeType;
        std::vector<std::string> parents;
        std::map<std::string, std::string> appProperties;
        std::string content;
        nlohmann::json permissions = nlohmann::json::array();  // as created; listed with ids
    };
    using Serve = std::function<DriveHTTPResponse()>;
    using Hook = std::function<DriveHTTPResponse(const DriveHTTPRequest&, const Serve& serve)>;

    static constexpr std::int64_t chunk = 262'144;
    inline static const std::string account = "subject-1";
    inline static const std::string session =
        "https://www.googleapis.com/upload/drive/v3/files?upload_id=";

    // Session URLs are formed on `endpoints.apiBase`, web links on `endpoints.webHost`; the
    // client sends through `transport`, or to this Drive when it is empty.
    explicit FakeDrive(DriveEndpoints endpoints = {},
                       std::shared_ptr<DriveHTTPTransport> transport = {});

    // `request.url` is absolute or a request target as a server receives it.
    DriveHTTPResponse send(const DriveHTTPRequest& request, std::stop_token stop = {}) override;
    void setHook(Hook hook);                         // an empty hook serves every request
    std::vector<DriveHTTPRequest> requests() const;  // since the last reset()
    std::optional<StoredFile> file(const std::string& id) const;

    TempDir dir;
    const std::shared_ptr<DriveHTTPTransport> transport;  // the client's
    const std::shared_ptr<FileDriveTransferJournal> journal;
    const std::shared_ptr<const DriveTransferSteps> steps;
    const GoogleDriveTransferClient client;
    std::stop_source stop;  // the user's stop button for every operation
    // What happens as a request that describe() gives as the key goes: "quit" (the application
    // quits: the exchange ends without an answer), "quit reached" (the same once the request
    // reached Drive), "stop" (the user presses stop) or a merge patch for Drive's JSON answer.
    std::map<std::string, std::string> at;
    std::optional<DriveShareResult> result;  // of the last operation that succeeded
    std::vector<std::uint64_t> waits;
    std::vector<DriveTransferProgress> reports;
    int tokensIssued = 0;

    DriveTransferSteps::AccessToken token() {
        return [this] { return "token-" + std::to_string(++tokensIssued); };
    }
    DriveTransferSteps::ProgressHandler progress() {
        return [this](const DriveTransferProgress& report) { reports.push_back(report); };
    }
    // Writes `content` to dir/name and describes it as the verified archive of a new job.
    VerifiedArchive archive(const std::string& name, const std::string& content) const;
    // An operation of the client for `account`; the outcome as outcomeOf gives it.
    std::string share(const VerifiedArchive& archive, DriveLinkRole role = DriveLinkRole::reader);
    std::string resume(const Uuid& jobID, const std::optional<std::string>& selected = {});
    std::string verify(const Uuid& jobID);
    std::optional<DriveTransferRecord> record(const Uuid& jobID) const {
        return journal->load(FileDriveTransferJournal::key(account, jobID));
    }
    StoredFile upload(const Uuid& jobID) const {  // the file the job's record names
        return file(record(jobID).value().remoteFileID.value()).value();
    }

    // The next requests get these answers in order; after them Drive answers again. In short
    // form, separated by blanks: "drive" (Drive answers), "<status>" or "<status>:<body>"
    // ("200:{}"; a body of one word is an error reason, "403:quotaExceeded"), "new:<id or URL>"
    // (a session URL, on `session` when only an id), "held:<bytes>" (308 with that range),
    // "file:<id>" (200 with {"id": id}), "none" (no files), "retry:<seconds>" (429 with
    // Retry-After), "timeout", "lost" (transport errors).
    void script(const std::string& answers);
    std::string sent() const;  // the requests since the last reset(), as describe() gives them
    // Forgets requests, reports, waits and the result, the script, `at` and the stop, and sets the
    // hook back to the one that plays them.
    void reset();

private:
    DriveHTTPResponse serve(const DriveHTTPRequest& request);
    StoredFile* find(const std::string& id);

    const DriveEndpoints endpoints_;
    mutable std::mutex mutex_;
    Hook hook_;
    std::vector<DriveHTTPRequest> requests_;
    std::vector<StoredFile> files_;
    // Upload sessions: the file to be (its content the bytes so far, its id once complete), and
    // its size.
    std::map<std::string, std::pair<StoredFile, std::int64_t>> sessions_;
    std::uint64_t counter_ = 0;
    std::vector<std::string> script_;
    std::atomic<std::size_t> next_ = 0;
};

// A FakeDrive behind a real HTTPS server on 127.0.0.1:<ephemeral port> (its client goes through
// the real transport to it), answering on background threads. The certificate for 127.0.0.1 and
// "localhost" is made with the server (EC P-256, valid for a day, never written to disk). A
// request for which the Drive throws a TransportError gets no answer at all: the server closes
// its connection, as a server does that went away.
class FakeDriveServer {
public:
    enum class Connections {
        // The server closes every connection after its answer.
        onePerAnswer,
        // The server keeps a connection open for further requests, up to a second between them.
        keptAlive,
    };

    explicit FakeDriveServer(Connections connections = Connections::onePerAnswer);
    ~FakeDriveServer();

    std::unique_ptr<FakeDrive> drive;
    // The client's port of every request's connection, in the order the requests arrived: equal
    // ports, one connection.
    std::vector<int> connections() const;
    std::string origin(const std::string& host = "127.0.0.1") const {
        return "https://" + host + ":" + std::to_string(port_);
    }
    // Trusts this server's certificate and nothing else; connects to loopback addresses only.
    URLSessionDriveHTTPTransport::Options transportOptions() const;

private:
    struct Certificate;
    std::unique_ptr<Certificate> certificate_;
    std::unique_ptr<httplib::SSLServer> server_;
    int port_ = 0;
    std::thread listener_;
    mutable std::mutex mutex_;
    std::vector<int> connections_;
};

// A request in short form: "find folder <name>", "create folder <name>", "find marker",
// "initiate", "status", "chunk <first>-<last>", "metadata", "permissions",
// "create permission <role>".
std::string describe(const DriveHTTPRequest& request);
// The query items of an absolute URL or request target, percent-decoded.
std::map<std::string, std::string> urlQuery(const std::string& url);
// A Drive error answer with one reason.
DriveHTTPResponse errorAnswer(int status, const std::string& reason);

}  // namespace tolvane::test
