#include "core/drive/DriveTransferSteps.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "core/common/Cancellation.h"
#include "core/common/StrictJson.h"
#include "core/drive/DriveTransferError.h"

namespace tolvane {
namespace {

// The sleeping wait: a condition variable that only the stop token ever wakes early.
void sleepUnlessStopped(std::uint64_t nanoseconds, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any woken;
    std::unique_lock lock(mutex);
    woken.wait_for(lock, stop, std::chrono::nanoseconds(nanoseconds), [] { return false; });
    throwIfCancelled(nullptr, stop);
}

bool isUnreserved(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '~';
}

// Everything but the unreserved characters becomes %XX with upper-case digits, byte by byte.
std::string percentEncoded(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += isUnreserved(c) ? std::string(1, c)
                               : std::string{'%', digits[byte >> 4], digits[byte & 0x0f]};
    }
    return out;
}

bool isSuccess(int status) noexcept {
    return status >= 200 && status <= 299;
}

}  // namespace

DriveTransferSteps::DriveTransferSteps(std::shared_ptr<DriveHTTPTransport> transport,
                                       std::shared_ptr<FileDriveTransferJournal> journal,
                                       std::int64_t chunkSize, RetryDelay retryDelay,
                                       Environment environment)
    : transport_(std::move(transport)),
      journal_(std::move(journal)),
      chunkSize_(roundedChunkSize(chunkSize)),
      retryDelay_(retryDelay ? std::move(retryDelay) : RetryDelay(sleepUnlessStopped)),
      environment_(std::move(environment)) {}

std::int64_t DriveTransferSteps::roundedChunkSize(std::int64_t requested) noexcept {
    if (requested < chunkGranularity) {
        return chunkGranularity;
    }
    return requested - requested % chunkGranularity;
}

std::string DriveTransferSteps::apiURL(std::string_view path, const QueryItems& query) const {
    std::string url = environment_.endpoints.apiBase;
    url += path;
    char separator = '?';
    for (const auto& [name, value] : query) {
        url += separator;
        url += percentEncoded(name);
        url += '=';
        url += percentEncoded(value);
        separator = '&';
    }
    return url;
}

std::string DriveTransferSteps::pathSegment(std::string_view identifier) {
    return percentEncoded(identifier);
}

DriveHTTPResponse DriveTransferSteps::sendAuthorized(DriveHTTPRequest& request,
                                                     const AccessToken& token,
                                                     std::stop_token stop) const {
    // A connection that breaks while the user is stopping is a stop, not a network failure.
    const auto send = [&] {
        try {
            return transport_->send(request, stop);
        } catch (const TransportError& error) {
            if (!error.isCancelled() && stop.stop_requested()) {
                throw OperationCancelled();
            }
            throw;
        }
    };
    request.setHeader("Authorization", "Bearer " + token());
    DriveHTTPResponse response = send();
    if (response.status == 401) {
        request.setHeader("Authorization", "Bearer " + token());
        response = send();
    }
    return response;
}

DriveHTTPResponse DriveTransferSteps::checked(std::string_view method, const std::string& url,
                                              const std::string& body,
                                              const std::optional<std::string>& contentType,
                                              const HeaderFields& extraHeaders,
                                              const AccessToken& token,
                                              std::stop_token stop) const {
    DriveHTTPRequest request;
    request.method = std::string(method);
    request.url = url;
    request.body = body;
    if (contentType) {
        request.setHeader("Content-Type", *contentType);
    }
    for (const auto& [name, value] : extraHeaders) {
        request.setHeader(name, value);
    }
    // Only a read is safe to repeat: a repeated POST could create a second folder or
    // permission when the first one reached Drive but its answer did not reach us.
    DriveHTTPResponse response = exchange(request, method == "GET", token, std::move(stop));
    if (!isSuccess(response.status)) {
        throw DriveResponsePolicy::classifiedError(response);
    }
    return response;
}

DriveHTTPResponse DriveTransferSteps::exchange(const DriveHTTPRequest& request, bool repeatable,
                                               const AccessToken& token,
                                               std::stop_token stop) const {
    for (int attempt = 0;; ++attempt) {
        throwIfCancelled(nullptr, stop);
        DriveHTTPRequest sent = request;
        DriveHTTPResponse response = sendAuthorized(sent, token, stop);
        if (response.status == 401) {
            throw DriveTransferError::reauthRequired();
        }
        if (!repeatable || attempt >= DriveResponsePolicy::retryLimit ||
            !DriveResponsePolicy::isTransient(response)) {
            return response;
        }
        waitBeforeRetry(response, attempt, stop);
    }
}

void DriveTransferSteps::waitBeforeRetry(const DriveHTTPResponse& response, int attempt,
                                         std::stop_token stop) const {
    retryDelay_(DriveResponsePolicy::retryNanoseconds(response, attempt, environment_.jitter),
                stop);
}

double DriveTransferSteps::now() const {
    if (environment_.now) {
        return environment_.now();
    }
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
}

void DriveTransferSteps::report(const ProgressHandler& progress, DriveTransferProgress::Stage stage,
                                std::int64_t acknowledged, std::int64_t total) const {
    if (progress) {
        progress(DriveTransferProgress{stage, acknowledged, total});
    }
}

DriveFile DriveTransferSteps::decodedFile(std::string_view body) {
    DriveFile file;
    try {
        file = DriveRESTDecoding::decodeFile(body);
    } catch (const StrictJson::DecodeError&) {
        throw DriveTransferError::invalidResponse();
    }
    // An empty identifier would later name no file at all, or the folder list itself.
    if (file.id.empty()) {
        throw DriveTransferError::invalidResponse();
    }
    return file;
}

DriveFileList DriveTransferSteps::decodedFileList(std::string_view body) {
    DriveFileList list;
    try {
        list = DriveRESTDecoding::decodeFileList(body);
    } catch (const StrictJson::DecodeError&) {
        throw DriveTransferError::invalidResponse();
    }
    for (const DriveFile& file : list.files) {
        if (file.id.empty()) {
            throw DriveTransferError::invalidResponse();
        }
    }
    return list;
}

}  // namespace tolvane
