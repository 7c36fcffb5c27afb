#include "support/ScriptedDriveTransport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/common/Cancellation.h"

namespace tolvane::test {

ScriptedDriveTransport& ScriptedDriveTransport::respond(DriveHTTPResponse response) {
    return handle([response = std::move(response)](const DriveHTTPRequest&, std::stop_token) {
        return response;
    });
}

ScriptedDriveTransport& ScriptedDriveTransport::respond(
    int status, std::string body, std::map<std::string, std::string> headers) {
    return respond(DriveHTTPResponse{status, std::move(headers), std::move(body)});
}

ScriptedDriveTransport& ScriptedDriveTransport::respondTimes(std::size_t count,
                                                             const DriveHTTPResponse& response) {
    for (std::size_t i = 0; i < count; ++i) {
        respond(response);
    }
    return *this;
}

ScriptedDriveTransport& ScriptedDriveTransport::fail(std::exception_ptr error) {
    return handle([error](const DriveHTTPRequest&, std::stop_token) -> DriveHTTPResponse {
        std::rethrow_exception(error);
    });
}

ScriptedDriveTransport& ScriptedDriveTransport::handle(Handler handler) {
    const std::lock_guard lock(mutex_);
    script_.push_back(std::move(handler));
    return *this;
}

std::vector<DriveHTTPRequest> ScriptedDriveTransport::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

DriveHTTPRequest ScriptedDriveTransport::request(std::size_t index) const {
    const std::lock_guard lock(mutex_);
    if (index >= requests_.size()) {
        ADD_FAILURE() << "no request #" << index << "; " << requests_.size() << " were sent";
        return {};
    }
    return requests_[index];
}

std::size_t ScriptedDriveTransport::requestCount() const {
    const std::lock_guard lock(mutex_);
    return requests_.size();
}

std::size_t ScriptedDriveTransport::unusedAnswers() const {
    const std::lock_guard lock(mutex_);
    return script_.size();
}

DriveHTTPResponse ScriptedDriveTransport::send(const DriveHTTPRequest& request,
                                               std::stop_token stop) {
    Handler handler;
    std::size_t number = 0;
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back(request);
        number = requests_.size();
        if (!script_.empty()) {
            handler = std::move(script_.front());
            script_.pop_front();
        }
    }
    if (!handler) {
        ADD_FAILURE() << "request #" << number << " (" << request.method << " " << request.url
                      << ") has no scripted answer";
        throw TransportError(TransportError::Kind::other, "no scripted answer");
    }
    return handler(request, std::move(stop));
}

DriveHTTPResponse ScriptedDriveTransport::incomplete(std::int64_t held) {
    DriveHTTPResponse response{308, {}, {}};
    if (held > 0) {
        response.headers["Range"] = "bytes=0-" + std::to_string(held - 1);
    }
    return response;
}

DriveHTTPResponse ScriptedDriveTransport::file(const std::string& id, int status) {
    return DriveHTTPResponse{
        status, {{"Content-Type", "application/json"}}, nlohmann::json{{"id", id}}.dump()};
}

DriveHTTPResponse ScriptedDriveTransport::error(int status, const std::string& reason) {
    const nlohmann::json body = {
        {"error", {{"code", status}, {"errors", nlohmann::json::array({{{"reason", reason}}})}}}};
    return DriveHTTPResponse{status, {}, body.dump()};
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            ADD_FAILURE() << "malformed percent escape in " << text;
            return out;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

}  // namespace

std::string urlPath(const std::string& url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string::npos) {
        ADD_FAILURE() << "not an absolute URL: " << url;
        return {};
    }
    const std::size_t pathStart = url.find('/', scheme + 3);
    if (pathStart == std::string::npos) {
        return {};
    }
    return url.substr(pathStart, url.find('?', pathStart) - pathStart);
}

std::vector<std::pair<std::string, std::string>> urlQuery(const std::string& url) {
    std::vector<std::pair<std::string, std::string>> items;
    const std::size_t question = url.find('?');
    if (question == std::string::npos) {
        return items;
    }
    std::string_view query = std::string_view(url).substr(question + 1);
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        const std::size_t equals = item.find('=');
        if (equals == std::string_view::npos) {
            ADD_FAILURE() << "query item without '=' in " << url;
            items.emplace_back(percentDecoded(item), "");
        } else {
            items.emplace_back(percentDecoded(item.substr(0, equals)),
                               percentDecoded(item.substr(equals + 1)));
        }
        if (amp == std::string_view::npos) {
            break;
        }
        query.remove_prefix(amp + 1);
    }
    return items;
}

}  // namespace tolvane::test

namespace tolvane {

void PrintTo(const DriveTransferError& error, std::ostream* out) {
    *out << caseName(error);
}

void PrintTo(const DriveTransferProgress& progress, std::ostream* out) {
    *out << rawValue(progress.stage) << " " << progress.acknowledgedBytes << "/"
         << progress.totalBytes;
}

}  // namespace tolvane
