#include "core/drive/GoogleDriveTransferClient.h"

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

// Everything outside `keep` becomes %XX with upper-case digits, byte by byte.
template <typename Keep>
std::string percentEncoded(std::string_view text, Keep keep) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (keep(c)) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 0x0f];
        }
    }
    return out;
}

bool isSuccess(int status) noexcept {
    return status >= 200 && status <= 299;
}

}  // namespace

GoogleDriveTransferClient::GoogleDriveTransferClient(
    std::shared_ptr<DriveHTTPTransport> transport,
    std::shared_ptr<FileDriveTransferJournal> journal, std::int64_t chunkSize,
    RetryDelay retryDelay, Environment environment)
    : transport_(std::move(transport)),
      journal_(std::move(journal)),
      chunkSize_(roundedChunkSize(chunkSize)),
      retryDelay_(retryDelay ? std::move(retryDelay) : RetryDelay(sleepUnlessStopped)),
      environment_(std::move(environment)) {}

std::int64_t GoogleDriveTransferClient::roundedChunkSize(std::int64_t requested) noexcept {
    if (requested < chunkGranularity) {
        return chunkGranularity;
    }
    return requested - requested % chunkGranularity;
}

std::string GoogleDriveTransferClient::apiURL(std::string_view path,
                                              const QueryItems& query) const {
    std::string url = environment_.endpoints.apiBase;
    url += path;
    char separator = '?';
    for (const auto& [name, value] : query) {
        url += separator;
        url += percentEncoded(name, isUnreserved);
        url += '=';
        url += percentEncoded(value, isUnreserved);
        separator = '&';
    }
    return url;
}

std::string GoogleDriveTransferClient::pathSegment(std::string_view identifier) {
    return percentEncoded(identifier, isUnreserved);
}

DriveHTTPResponse GoogleDriveTransferClient::sendAuthorized(DriveHTTPRequest& request,
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

DriveHTTPResponse GoogleDriveTransferClient::checked(
    std::string_view method, const std::string& url, const std::string& body,
    const std::optional<std::string>& contentType, const HeaderFields& extraHeaders,
    const AccessToken& token, std::stop_token stop) const {
    constexpr int retries = 3;
    for (int attempt = 0;; ++attempt) {
        throwIfCancelled(nullptr, stop);
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
        const DriveHTTPResponse response = sendAuthorized(request, token, stop);
        if (response.status == 401) {
            throw DriveTransferError::reauthRequired();
        }
        if (isSuccess(response.status)) {
            return response;
        }
        // Only a read is safe to repeat: a repeated POST could create a second folder or
        // permission when the first one reached Drive but its answer did not reach us.
        const bool retryable =
            method == "GET" &&
            (response.status == 429 || (response.status >= 500 && response.status <= 599) ||
             (response.status == 403 &&
              DriveResponsePolicy::isRateLimit(DriveResponsePolicy::failureReason(response))));
        if (retryable && attempt < retries) {
            waitBeforeRetry(response, attempt, stop);
            continue;
        }
        throw DriveResponsePolicy::classifiedError(response);
    }
}

void GoogleDriveTransferClient::waitBeforeRetry(const DriveHTTPResponse& response, int attempt,
                                                std::stop_token stop) const {
    retryDelay_(DriveResponsePolicy::retryNanoseconds(response, attempt, environment_.jitter),
                stop);
}

double GoogleDriveTransferClient::now() const {
    if (environment_.now) {
        return environment_.now();
    }
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
}

void GoogleDriveTransferClient::report(const ProgressHandler& progress,
                                       DriveTransferProgress::Stage stage,
                                       std::int64_t acknowledged, std::int64_t total) const {
    if (progress) {
        progress(DriveTransferProgress{stage, acknowledged, total});
    }
}

DriveFile GoogleDriveTransferClient::decodedFile(std::string_view body) {
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

DriveFileList GoogleDriveTransferClient::decodedFileList(std::string_view body) {
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
