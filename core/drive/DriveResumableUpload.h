#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>

#include "core/common/UniqueFd.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveTransferSteps.h"
#include "core/drive/FileDriveTransferJournal.h"

namespace tolvane {

// One run of DriveTransferSteps::upload: the resumable-upload protocol as an explicit
// state machine. Each step does one thing (ask a stored session where it stands, initiate a
// session, send one chunk, read its answer, ...) and names the step that follows; run() turns the
// crank until the record holds the remote file.
//
// The record is saved to the journal before anything that depends on it happens, so that a run
// that stops anywhere (crash, cancellation, error) leaves a record from which the next run
// continues the same session at the byte the server last confirmed.
class DriveResumableUpload {
public:
    DriveResumableUpload(const DriveTransferSteps& client, const std::string& fileURL,
                         std::int64_t size, DriveTransferRecord& record,
                         const DriveTransferSteps::AccessToken& token,
                         const DriveTransferSteps::ProgressHandler& progress, std::stop_token stop);
    DriveResumableUpload(const DriveResumableUpload&) = delete;
    DriveResumableUpload& operator=(const DriveResumableUpload&) = delete;

    void run();

    // Sessions found gone (404 or 410) and dropped in one run before the next loss ends it.
    static constexpr int sessionRestartLimit = 2;

private:
    enum class Step {
        loopTop,            // done? cancelled? continue a stored session or start one
        continueSession,    // ask the stored session how much it holds
        findEarlierUpload,  // after a lost session: did an earlier one complete the file?
        initiateSession,    // ask Drive for a new session URL
        enterChunkLoop,     // gate the session URL, open the file
        sendChunk,          // send the bytes from the offset on
        readChunkAnswer,    // act on the chunk's answer
        queryCompletion,    // every byte is acknowledged: fetch the file
        resynchronise,      // after a failure: ask the session where it stands
        finished,
    };

    // After a rate-limited 403 only the answers that say where the session stands are
    // expected; any other is the 403's own kind of failure.
    enum class ResyncForm { full, afterRateLimit };

    Step loopTop();
    Step continueSession();
    Step findEarlierUpload();
    Step initiateSession();
    Step enterChunkLoop();
    Step sendChunk();
    Step readChunkAnswer();
    Step queryCompletion();
    Step resynchronise();

    // Shared endings of several steps.
    Step completeWith(const DriveHTTPResponse& response, bool markUploaded);
    Step sessionLost();
    Step continueChunksAt(std::int64_t offset);
    Step chunkFailed(const DriveHTTPResponse& response);

    void save();
    void stamp(std::string_view phase);
    const std::string& sessionURL() const;

    const DriveTransferSteps& client_;
    const std::string& fileURL_;
    const std::int64_t size_;
    DriveTransferRecord& record_;
    const DriveTransferSteps::AccessToken& token_;
    const DriveTransferSteps::ProgressHandler& progress_;
    const std::stop_token stop_;

    std::string folder_;
    int sessionRestarts_ = 0;
    int consecutiveFailures_ = 0;
    std::int64_t chunkStart_ = 0;
    ResyncForm resyncForm_ = ResyncForm::full;
    UniqueFd file_;  // open only inside the chunk loop
    std::optional<DriveHTTPResponse> chunkAnswer_;
};

}  // namespace tolvane
