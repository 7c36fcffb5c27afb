#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "core/archive/ArchiveValues.h"
#include "core/drive/DriveTransferSteps.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "support/FakeDriveService.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane::test {

using Lines = std::vector<std::string>;

// The Drive client of every Drive test: its steps and the public client over the in-memory Drive
// (or another transport in front of it), the journal in a fresh temporary directory, the clock in
// mid-March 2024 in every time zone, 256 KiB chunks, the largest jitter, retry waits recorded
// instead of slept, tokens "token-1", "token-2", ... and every progress report kept.
class DriveClientHarness {
public:
    static constexpr std::int64_t chunk = 262'144;
    inline static const std::string account = "subject-1";

    explicit DriveClientHarness(
        std::shared_ptr<FakeDriveService> service = std::make_shared<FakeDriveService>(),
        std::shared_ptr<DriveHTTPTransport> transport = {}, DriveEndpoints endpoints = {});

    TempDir dir;
    std::shared_ptr<FakeDriveService> drive;
    std::shared_ptr<FileDriveTransferJournal> journal;
    std::shared_ptr<const DriveTransferSteps> steps;
    GoogleDriveTransferClient client;
    std::optional<DriveShareResult> result;  // of the last operation that succeeded
    std::vector<std::uint64_t> waits;
    std::vector<DriveTransferProgress> reports;
    int tokensIssued = 0;

    DriveTransferSteps::AccessToken token();
    DriveTransferSteps::ProgressHandler progress();

    // Writes `content` to dir/name and describes it as the verified archive of a new job.
    VerifiedArchive archive(const std::string& name, const std::string& content) const;
    // One operation of the client each, for `account`; the outcome as outcomeOf gives it.
    std::string share(const VerifiedArchive& archive, DriveLinkRole role = DriveLinkRole::reader,
                      std::stop_token stop = {});
    std::string resume(const Uuid& jobID, const std::optional<std::string>& selected = {},
                       const std::string& accountID = account);
    std::string verify(const Uuid& jobID);

    std::optional<DriveTransferRecord> record(const Uuid& jobID) const;
    // The journal file's bytes; empty when there is none.
    std::string recordFile(const Uuid& jobID) const;
    // The files on Drive that carry the job's marker.
    std::vector<FakeDriveService::StoredFile> uploads(const Uuid& jobID) const;

    // The next requests get these answers in order; after them Drive answers again.
    void script(std::vector<FakeDriveService::Hook> answers);
    // Quits the application (the exchange ends without an answer) at every request that
    // describe() gives as `line`, after it reached Drive when `reached`.
    void quitAt(const std::string& line, bool reached = false);
    // The requests since the last clearLog(), as describe() gives them.
    Lines transcript() const;
    // Forgets requests, reports and waits.
    void clearLog();
};

// A request in short form: "find folder <name>", "create folder <name>", "find marker",
// "initiate", "status", "chunk <first>-<last>", "metadata", "permissions",
// "create permission <role>".
std::string describe(const DriveHTTPRequest& request);

// Scripted answers.
FakeDriveService::Hook answer(DriveHTTPResponse response);
FakeDriveService::Hook answer(int status, std::string body = {});
FakeDriveService::Hook failWith(TransportError::Kind kind);
// 308 from a session holding `held` bytes; a Drive file {"id": id}; a Drive error with a reason.
DriveHTTPResponse heldAnswer(std::int64_t held);
DriveHTTPResponse fileAnswer(const std::string& id, int status = 200);
DriveHTTPResponse reasonAnswer(int status, const std::string& reason);

// The path of an absolute URL or request target, and its query items percent-decoded.
std::string urlPath(const std::string& url);
std::vector<std::pair<std::string, std::string>> urlQuery(const std::string& url);

}  // namespace tolvane::test
