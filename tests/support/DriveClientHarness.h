#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/archive/ArchiveValues.h"
#include "core/drive/DriveTransferSteps.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "support/FakeDriveService.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane::test {

// The Drive client of every Drive test: its steps and the public client over the in-memory Drive
// (or another transport in front of it), the journal in a fresh temporary directory, the clock in
// mid-March 2024 in every time zone, 256 KiB chunks, the largest jitter, retry waits recorded
// instead of slept, tokens "token-1", "token-2", ... and every progress report kept.
class DriveClientHarness {
public:
    static constexpr std::int64_t chunk = 262'144;
    inline static const std::string account = "subject-1";
    inline static const std::string session =
        "https://www.googleapis.com/upload/drive/v3/files?upload_id=";

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

    DriveTransferSteps::AccessToken token() {
        return [this] { return "token-" + std::to_string(++tokensIssued); };
    }
    DriveTransferSteps::ProgressHandler progress() {
        return [this](const DriveTransferProgress& report) { reports.push_back(report); };
    }

    // Writes `content` to dir/name and describes it as the verified archive of a new job.
    VerifiedArchive archive(const std::string& name, const std::string& content) const;
    // One operation of the client each, for `account`; the outcome as outcomeOf gives it.
    std::string share(const VerifiedArchive& archive, DriveLinkRole role = DriveLinkRole::reader,
                      std::stop_token stop = {});
    std::string resume(const Uuid& jobID, const std::optional<std::string>& selected = {});
    std::string verify(const Uuid& jobID);

    std::optional<DriveTransferRecord> record(const Uuid& jobID) const;
    // The file on Drive that the job's record names.
    FakeDriveService::StoredFile upload(const Uuid& jobID) const;

    // The next requests get these answers in order; after them Drive answers again. In short
    // form, separated by blanks: "<status>" or "<status>:<body>" ("200:{}"; a body that is one
    // word is an error reason, "403:quotaExceeded"), "new:<id>" (a session URL ending in id),
    // "held:<bytes>" (308 with that range), "file:<id>" (200 with {"id": id}), "none" (no files),
    // "retry:<seconds>" (429 with Retry-After), "timeout", "lost", "cancel" (transport errors).
    void script(std::vector<FakeDriveService::Hook> answers);
    void script(const std::string& answers);
    // Quits the application (the exchange ends without an answer) at every request that
    // describe() gives as `line`, after it reached Drive when `reached`.
    void quitAt(const std::string& line, bool reached = false);
    // The requests since the last clearLog(), as describe() gives them, joined by ", ".
    std::string sent() const;
    void clearLog();  // forgets requests, reports and waits
};

// A request in short form: "find folder <name>", "create folder <name>", "find marker",
// "initiate", "status", "chunk <first>-<last>", "metadata", "permissions",
// "create permission <role>".
std::string describe(const DriveHTTPRequest& request);

FakeDriveService::Hook answer(DriveHTTPResponse response);
FakeDriveService::Hook answer(int status, std::string body = {});
std::vector<FakeDriveService::Hook> answers(const std::string& script);
DriveHTTPResponse reasonAnswer(int status, const std::string& reason);

}  // namespace tolvane::test
