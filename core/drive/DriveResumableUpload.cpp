#include "core/drive/DriveResumableUpload.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "core/common/Cancellation.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/StrictJson.h"
#include "core/drive/DriveResponsePolicy.h"
#include "core/drive/DriveTransferError.h"

namespace tolvane {
namespace {

using Stage = DriveTransferProgress::Stage;

constexpr std::string_view uploadPath = "/upload/drive/v3/files";
constexpr std::string_view archiveMimeType = "application/zip";
constexpr std::string_view markerProperty = "tolvaneTransfer";

bool isCreated(int status) noexcept {
    return status == 200 || status == 201;
}

bool isSessionGone(int status) noexcept {
    return status == 404 || status == 410;
}

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const OperationCancelled&) {
        return true;
    } catch (const TransportError& transportError) {
        return transportError.isCancelled();
    } catch (...) {
        return false;
    }
}

}  // namespace

// --- DriveTransferSteps members of the upload ----- --------------------------------------------

void DriveTransferSteps::upload(const std::string& fileURL, const FileDigest& digest,
                                DriveTransferRecord& record, const AccessToken& token,
                                const ProgressHandler& progress, std::stop_token stop) const {
    DriveResumableUpload(*this, fileURL, digest.size, record, token, progress, std::move(stop))
        .run();
}

DriveHTTPResponse DriveTransferSteps::sessionStatus(const std::string& sessionURL,
                                                    std::int64_t size, const AccessToken& token,
                                                    std::stop_token stop) const {
    if (!DriveResponsePolicy::safeSessionURL(sessionURL, environment_.endpoints)) {
        throw DriveTransferError::invalidResponse();
    }
    DriveHTTPRequest request;
    request.method = "PUT";
    request.url = sessionURL;
    request.setHeader("Content-Range", "bytes */" + std::to_string(size));
    request.setHeader("Content-Length", "0");
    return exchange(request, true, token, std::move(stop));
}

// --- DriveResumableUpload ----------------------------------------------------------------------

DriveResumableUpload::DriveResumableUpload(const DriveTransferSteps& client,
                                           const std::string& fileURL, std::int64_t size,
                                           DriveTransferRecord& record,
                                           const DriveTransferSteps::AccessToken& token,
                                           const DriveTransferSteps::ProgressHandler& progress,
                                           std::stop_token stop)
    : client_(client),
      fileURL_(fileURL),
      size_(size),
      record_(record),
      token_(token),
      progress_(progress),
      stop_(std::move(stop)) {}

void DriveResumableUpload::run() {
    if (!record_.folderID) {
        throw DriveTransferError::invalidResponse();
    }
    folder_ = *record_.folderID;
    Step step = Step::loopTop;
    while (step != Step::finished) {
        switch (step) {
            case Step::loopTop:
                step = loopTop();
                break;
            case Step::continueSession:
                step = continueSession();
                break;
            case Step::findEarlierUpload:
                step = findEarlierUpload();
                break;
            case Step::initiateSession:
                step = initiateSession();
                break;
            case Step::enterChunkLoop:
                step = enterChunkLoop();
                break;
            case Step::sendChunk:
                step = sendChunk();
                break;
            case Step::readChunkAnswer:
                step = readChunkAnswer();
                break;
            case Step::queryCompletion:
                step = queryCompletion();
                break;
            case Step::resynchronise:
                step = resynchronise();
                break;
            case Step::finished:
                break;
        }
    }
}

DriveResumableUpload::Step DriveResumableUpload::loopTop() {
    file_.reset();
    if (record_.remoteFileID) {
        return Step::finished;
    }
    throwIfCancelled(nullptr, stop_);
    if (record_.sessionURL) {
        return Step::continueSession;
    }
    // The first pass needs no lookup: the caller looked for a marked file before uploading.
    return sessionRestarts_ > 0 ? Step::findEarlierUpload : Step::initiateSession;
}

DriveResumableUpload::Step DriveResumableUpload::continueSession() {
    const DriveHTTPResponse response = client_.sessionStatus(sessionURL(), size_, token_, stop_);
    if (isCreated(response.status)) {
        return completeWith(response, true);
    }
    if (response.status == 308) {
        record_.offset = DriveResponsePolicy::nextOffset(response.header("Range"), size_);
        save();
        return Step::enterChunkLoop;
    }
    if (isSessionGone(response.status)) {
        return sessionLost();
    }
    throw DriveTransferError::http(response.status);
}

DriveResumableUpload::Step DriveResumableUpload::findEarlierUpload() {
    const std::optional<DriveFile> found = client_.findUploadedFile(record_.key, token_, stop_);
    if (!found) {
        return Step::initiateSession;
    }
    record_.remoteFileID = found->id;
    stamp(DriveTransferPhase::uploaded);
    save();
    return Step::loopTop;
}

DriveResumableUpload::Step DriveResumableUpload::initiateSession() {
    StrictJson::OrderedValue body = StrictJson::OrderedValue::object();
    body["name"] = PathText::lastComponent(fileURL_);
    body["mimeType"] = std::string(archiveMimeType);
    body["parents"] = StrictJson::OrderedValue::array({folder_});
    body["appProperties"] = StrictJson::OrderedValue::object();
    body["appProperties"][std::string(markerProperty)] = record_.key;

    const std::string url =
        client_.apiURL(uploadPath, {{"uploadType", "resumable"},
                                    {"fields", "id,size,md5Checksum,sha256Checksum,webViewLink"}});
    const DriveHTTPResponse response =
        client_.checked("POST", url, StrictJson::encode(body), std::string("application/json"),
                        {{"X-Upload-Content-Type", std::string(archiveMimeType)},
                         {"X-Upload-Content-Length", std::to_string(size_)}},
                        token_, stop_);

    const std::optional<std::string> location = response.header("Location");
    if (!location ||
        !DriveResponsePolicy::safeSessionURL(*location, client_.environment_.endpoints)) {
        throw DriveTransferError::invalidResponse();
    }
    record_.sessionURL = *location;
    record_.offset = 0;
    stamp(DriveTransferPhase::uploading);
    save();
    return Step::enterChunkLoop;
}

DriveResumableUpload::Step DriveResumableUpload::enterChunkLoop() {
    if (!DriveResponsePolicy::safeSessionURL(sessionURL(), client_.environment_.endpoints)) {
        throw DriveTransferError::invalidResponse();
    }
    file_ = openArchiveFile(fileURL_);
    return continueChunksAt(record_.offset);
}

DriveResumableUpload::Step DriveResumableUpload::continueChunksAt(std::int64_t offset) {
    // An empty file has no chunk to send; the session is finished by the completion query.
    if (size_ < 1 || offset >= size_) {
        return Step::queryCompletion;
    }
    return Step::sendChunk;
}

DriveResumableUpload::Step DriveResumableUpload::sendChunk() {
    throwIfCancelled(nullptr, stop_);
    chunkStart_ = record_.offset;
    const std::int64_t length = std::min(size_ - chunkStart_, client_.chunkSize_);

    DriveHTTPRequest request;
    request.method = "PUT";
    request.url = sessionURL();
    request.body.resize(static_cast<std::size_t>(length));
    const std::size_t got = posix::preadAll(file_.get(), request.body.data(), request.body.size(),
                                            static_cast<off_t>(chunkStart_));
    if (got != request.body.size()) {
        // The file shrank since it was digested; what Drive would get is not the archive.
        throw DriveTransferError::invalidArchive();
    }
    request.setHeader("Content-Type", std::string(archiveMimeType));
    request.setHeader("Content-Range", "bytes " + std::to_string(chunkStart_) + "-" +
                                           std::to_string(chunkStart_ + length - 1) + "/" +
                                           std::to_string(size_));

    DriveHTTPResponse response;
    try {
        response = client_.sendAuthorized(request, token_, stop_);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (isCancellation(error)) {
            throw;
        }
        // A failure that races a requested stop is the stop's doing as far as the user is
        // concerned; reporting it as a failed transfer would be wrong.
        if (stop_.stop_requested()) {
            throw OperationCancelled();
        }
        // The chunk may or may not have arrived; the session knows, so ask it.
        ++consecutiveFailures_;
        if (consecutiveFailures_ > DriveResponsePolicy::retryLimit) {
            throw;
        }
        resyncForm_ = ResyncForm::full;
        return Step::resynchronise;
    }
    if (response.status == 401) {
        throw DriveTransferError::reauthRequired();
    }
    chunkAnswer_ = std::move(response);
    return Step::readChunkAnswer;
}

DriveResumableUpload::Step DriveResumableUpload::readChunkAnswer() {
    const DriveHTTPResponse response = *std::exchange(chunkAnswer_, std::nullopt);
    const int status = response.status;
    if (isCreated(status)) {
        return completeWith(response, true);
    }
    if (status == 308) {
        const std::int64_t acknowledged =
            DriveResponsePolicy::nextOffset(response.header("Range"), size_);
        record_.offset = acknowledged;
        // A session that keeps none of what it was sent would be fed the same bytes for ever.
        if (chunkStart_ >= acknowledged) {
            throw DriveTransferError::invalidResponse();
        }
        save();
        client_.report(progress_, Stage::uploading, acknowledged, size_);
        consecutiveFailures_ = 0;
        return continueChunksAt(acknowledged);
    }
    if (isSessionGone(status)) {
        return sessionLost();
    }
    if (DriveResponsePolicy::isTransient(response)) {
        return chunkFailed(response);
    }
    throw DriveResponsePolicy::classifiedError(response);
}

DriveResumableUpload::Step DriveResumableUpload::chunkFailed(const DriveHTTPResponse& response) {
    ++consecutiveFailures_;
    if (consecutiveFailures_ > DriveResponsePolicy::retryLimit) {
        throw DriveResponsePolicy::classifiedError(response);
    }
    client_.report(progress_, Stage::retrying, chunkStart_, size_);
    client_.waitBeforeRetry(response, consecutiveFailures_ - 1, stop_);
    resyncForm_ = response.status == 403 ? ResyncForm::afterRateLimit : ResyncForm::full;
    return Step::resynchronise;
}

DriveResumableUpload::Step DriveResumableUpload::resynchronise() {
    const DriveHTTPResponse response = client_.sessionStatus(sessionURL(), size_, token_, stop_);
    if (isCreated(response.status)) {
        return completeWith(response, false);
    }
    if (response.status == 308) {
        // No forward-progress test here: the server may rightly hold less than we sent.
        record_.offset = DriveResponsePolicy::nextOffset(response.header("Range"), size_);
        save();
        return continueChunksAt(record_.offset);
    }
    if (resyncForm_ == ResyncForm::afterRateLimit) {
        throw DriveResponsePolicy::classifiedError(response);
    }
    if (isSessionGone(response.status)) {
        return sessionLost();
    }
    throw DriveTransferError::http(response.status);
}

DriveResumableUpload::Step DriveResumableUpload::queryCompletion() {
    const DriveHTTPResponse response = client_.sessionStatus(sessionURL(), size_, token_, stop_);
    if (!isCreated(response.status)) {
        throw DriveTransferError::invalidResponse();
    }
    return completeWith(response, false);
}

DriveResumableUpload::Step DriveResumableUpload::completeWith(const DriveHTTPResponse& response,
                                                              bool markUploaded) {
    const DriveFile file = DriveTransferSteps::decodedFile(response.body);
    record_.remoteFileID = file.id;
    record_.sessionURL.reset();
    if (markUploaded) {
        stamp(DriveTransferPhase::uploaded);
    }
    save();
    return Step::loopTop;
}

DriveResumableUpload::Step DriveResumableUpload::sessionLost() {
    if (sessionRestarts_ + 1 > sessionRestartLimit) {
        throw DriveTransferError::expiredSession();
    }
    record_.sessionURL.reset();
    record_.offset = 0;
    save();
    ++sessionRestarts_;
    return Step::loopTop;
}

void DriveResumableUpload::save() {
    client_.journal_->save(record_);
}

void DriveResumableUpload::stamp(std::string_view phase) {
    record_.phase = std::string(phase);
    record_.updatedAt = client_.now();
}

const std::string& DriveResumableUpload::sessionURL() const {
    if (!record_.sessionURL) {
        throw DriveTransferError::invalidResponse();
    }
    return *record_.sessionURL;
}

}  // namespace tolvane
