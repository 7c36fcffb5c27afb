#include "support/DriveClientHarness.h"

#include <unistd.h>

#include <deque>
#include <mutex>

#include <nlohmann/json.hpp>

#include "core/common/Cancellation.h"
#include "core/common/Digest.h"

namespace tolvane::test {

DriveClientHarness::DriveClientHarness(std::shared_ptr<FakeDriveService> service,
                                       std::shared_ptr<DriveHTTPTransport> transport,
                                       DriveEndpoints endpoints)
    : drive(std::move(service)),
      journal(std::make_shared<FileDriveTransferJournal>(dir.file("journal"))),
      steps(std::make_shared<const DriveTransferSteps>(
          transport ? transport : drive, journal, chunk,
          [this](std::uint64_t nanoseconds, std::stop_token stop) {
              waits.push_back(nanoseconds);
              throwIfCancelled(nullptr, stop);
          },
          DriveTransferSteps::Environment{std::move(endpoints),
                                          [](std::uint64_t bound) { return bound; },
                                          [] { return 1'710'504'000.0; }})),
      client(steps) {}

DriveTransferSteps::AccessToken DriveClientHarness::token() {
    return [this] { return "token-" + std::to_string(++tokensIssued); };
}

DriveTransferSteps::ProgressHandler DriveClientHarness::progress() {
    return [this](const DriveTransferProgress& report) { reports.push_back(report); };
}

VerifiedArchive DriveClientHarness::archive(const std::string& name,
                                            const std::string& content) const {
    writeFile(dir.file(name), content);
    return VerifiedArchive{Uuid::random(), dir.file(name), std::ssize(content),
                           Sha256::hexOf(content)};
}

std::string DriveClientHarness::share(const VerifiedArchive& archive, DriveLinkRole role,
                                      std::stop_token stop) {
    return outcomeOf(
        [&] { result = client.shareArchive(archive, account, role, token(), progress(), stop); });
}

std::string DriveClientHarness::resume(const Uuid& jobID,
                                       const std::optional<std::string>& selected,
                                       const std::string& accountID) {
    return outcomeOf(
        [&] { result = client.resume(jobID, accountID, selected, token(), progress(), {}); });
}

std::string DriveClientHarness::verify(const Uuid& jobID) {
    return outcomeOf([&] { result = client.verifiedLink(jobID, account, token(), {}); });
}

std::optional<DriveTransferRecord> DriveClientHarness::record(const Uuid& jobID) const {
    return journal->load(FileDriveTransferJournal::key(account, jobID));
}

std::string DriveClientHarness::recordFile(const Uuid& jobID) const {
    const std::string path =
        dir.file("journal/" + FileDriveTransferJournal::key(account, jobID) + ".json");
    return ::access(path.c_str(), F_OK) == 0 ? readFile(path) : std::string();
}

std::vector<FakeDriveService::StoredFile> DriveClientHarness::uploads(const Uuid& jobID) const {
    std::vector<FakeDriveService::StoredFile> found;
    for (const FakeDriveService::StoredFile& file : drive->files()) {
        const auto marker = file.appProperties.find("tolvaneTransfer");
        if (marker != file.appProperties.end() &&
            marker->second == FileDriveTransferJournal::key(account, jobID)) {
            found.push_back(file);
        }
    }
    return found;
}

void DriveClientHarness::script(std::vector<FakeDriveService::Hook> answers) {
    auto queue =
        std::make_shared<std::deque<FakeDriveService::Hook>>(answers.begin(), answers.end());
    auto mutex = std::make_shared<std::mutex>();
    drive->setHook(
        [queue, mutex](const DriveHTTPRequest& request, const FakeDriveService::Serve& serve) {
            FakeDriveService::Hook next;
            {
                const std::lock_guard lock(*mutex);
                if (!queue->empty()) {
                    next = std::move(queue->front());
                    queue->pop_front();
                }
            }
            return next ? next(request, serve) : serve();
        });
}

void DriveClientHarness::quitAt(const std::string& line, bool reached) {
    drive->setHook(
        [line, reached](const DriveHTTPRequest& request, const FakeDriveService::Serve& serve) {
            if (describe(request) != line) {
                return serve();
            }
            if (reached) {
                serve();
            }
            throw TransportError(TransportError::Kind::cancelled, "application quit");
        });
}

Lines DriveClientHarness::transcript() const {
    Lines lines;
    for (const DriveHTTPRequest& request : drive->requests()) {
        lines.push_back(describe(request));
    }
    return lines;
}

void DriveClientHarness::clearLog() {
    drive->clearRequests();
    reports.clear();
    waits.clear();
}

std::string describe(const DriveHTTPRequest& request) {
    const std::string path = urlPath(request.url);
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    std::string q;
    for (const auto& [name, value] : urlQuery(request.url)) {
        q = name == "q" ? value : q;
    }
    const std::string range = request.header("Content-Range").value_or("");
    if (path == "/drive/v3/files") {
        if (request.method == "POST") {
            return "create folder " + body.value("name", "");
        }
        return q.starts_with("appProperties") ? "find marker"
                                              : "find folder " + q.substr(8, q.find("' and") - 8);
    }
    if (path.starts_with("/upload/")) {
        return request.method == "POST"        ? "initiate"
               : range.starts_with("bytes */") ? "status"
                                               : "chunk " + range.substr(6, range.find('/') - 6);
    }
    if (path.ends_with("/permissions")) {
        return request.method == "POST" ? "create permission " + body.value("role", "")
                                        : "permissions";
    }
    return path.starts_with("/drive/v3/files/") ? "metadata" : request.method + " " + path;
}

FakeDriveService::Hook answer(DriveHTTPResponse response) {
    return [response](const DriveHTTPRequest&, const FakeDriveService::Serve&) { return response; };
}

FakeDriveService::Hook answer(int status, std::string body) {
    return answer(DriveHTTPResponse{status, {}, std::move(body)});
}

FakeDriveService::Hook failWith(TransportError::Kind kind) {
    return [kind](const DriveHTTPRequest&, const FakeDriveService::Serve&) -> DriveHTTPResponse {
        throw TransportError(kind, "scripted");
    };
}

DriveHTTPResponse heldAnswer(std::int64_t held) {
    DriveHTTPResponse response{308, {}, {}};
    if (held > 0) {
        response.headers["Range"] = "bytes=0-" + std::to_string(held - 1);
    }
    return response;
}

DriveHTTPResponse fileAnswer(const std::string& id, int status) {
    return DriveHTTPResponse{status, {}, nlohmann::json{{"id", id}}.dump()};
}

DriveHTTPResponse reasonAnswer(int status, const std::string& reason) {
    return DriveHTTPResponse{
        status, {}, nlohmann::json{{"error", {{"errors", {{{"reason", reason}}}}}}}.dump()};
}

std::string urlPath(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : url.find('/', scheme + 3);
    return start == std::string::npos ? "/" : url.substr(start, url.find('?', start) - start);
}

std::vector<std::pair<std::string, std::string>> urlQuery(const std::string& url) {
    const auto decoded = [](std::string_view text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 2 < text.size()) {
                out +=
                    static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    std::vector<std::pair<std::string, std::string>> items;
    const std::size_t question = url.find('?');
    std::string_view query = question == std::string::npos
                                 ? std::string_view()
                                 : std::string_view(url).substr(question + 1);
    while (!query.empty()) {
        const std::string_view item = query.substr(0, query.find('&'));
        const std::size_t equals = item.find('=');
        items.emplace_back(decoded(item.substr(0, equals)), equals == std::string_view::npos
                                                                ? ""
                                                                : decoded(item.substr(equals + 1)));
        query.remove_prefix(std::min(query.size(), item.size() + 1));
    }
    return items;
}

}  // namespace tolvane::test
