#include "support/DriveClientHarness.h"

#include <atomic>
#include <sstream>

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
                                       const std::optional<std::string>& selected) {
    return outcomeOf(
        [&] { result = client.resume(jobID, account, selected, token(), progress(), {}); });
}

std::string DriveClientHarness::verify(const Uuid& jobID) {
    return outcomeOf([&] { result = client.verifiedLink(jobID, account, token(), {}); });
}

std::optional<DriveTransferRecord> DriveClientHarness::record(const Uuid& jobID) const {
    return journal->load(FileDriveTransferJournal::key(account, jobID));
}

FakeDriveService::StoredFile DriveClientHarness::upload(const Uuid& jobID) const {
    return drive->file(record(jobID).value().remoteFileID.value()).value();
}

void DriveClientHarness::script(std::vector<FakeDriveService::Hook> answers) {
    auto next = std::make_shared<std::atomic<std::size_t>>(0);
    drive->setHook([answers = std::move(answers), next](const DriveHTTPRequest& request,
                                                        const FakeDriveService::Serve& serve) {
        const std::size_t i = (*next)++;
        return i < answers.size() ? answers[i](request, serve) : serve();
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

void DriveClientHarness::script(const std::string& answers) {
    script(test::answers(answers));
}

std::string DriveClientHarness::sent() const {
    std::string line;
    for (const DriveHTTPRequest& request : drive->requests()) {
        line += (line.empty() ? "" : ", ") + describe(request);
    }
    return line;
}

void DriveClientHarness::clearLog() {
    drive->clearRequests();
    reports.clear();
    waits.clear();
}

std::string describe(const DriveHTTPRequest& request) {
    const std::string path = urlPath(request.url);
    const nlohmann::json body = nlohmann::json::parse(request.body, nullptr, false);
    const std::string q = urlQuery(request.url)["q"];
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

std::vector<FakeDriveService::Hook> answers(const std::string& script) {
    std::vector<FakeDriveService::Hook> hooks;
    std::istringstream words(script);
    for (std::string word; words >> word;) {
        const std::size_t colon = std::min(word.find(':'), word.size());
        const std::string kind = word.substr(0, colon);
        const std::string arg = word.substr(std::min(colon + 1, word.size()));
        if (kind == "timeout" || kind == "lost" || kind == "cancel") {
            using enum TransportError::Kind;
            const auto failure = kind == "timeout" ? timedOut
                                 : kind == "lost"  ? connectionLost
                                                   : cancelled;
            hooks.push_back([failure](const auto&, const auto&) -> DriveHTTPResponse {
                throw TransportError(failure, "scripted");
            });
            continue;
        }
        DriveHTTPResponse response{kind == "held" ? 308 : kind == "retry" ? 429 : 200, {}, {}};
        if (kind == "new") {
            response.headers["Location"] = DriveClientHarness::session + arg;
        } else if (kind == "held" && arg != "0") {
            response.headers["Range"] = "bytes=0-" + std::to_string(std::stoll(arg) - 1);
        } else if (kind == "file") {
            response.body = nlohmann::json{{"id", arg}}.dump();
        } else if (kind == "none") {
            response.body = R"({"files":[]})";
        } else if (kind == "retry") {
            response.headers["Retry-After"] = arg;
        } else if (kind != "held") {
            response = std::isalpha(static_cast<unsigned char>(arg.empty() ? '0' : arg.front()))
                           ? reasonAnswer(std::stoi(kind), arg)
                           : DriveHTTPResponse{std::stoi(kind), {}, arg};
        }
        hooks.push_back(answer(response));
    }
    return hooks;
}

DriveHTTPResponse reasonAnswer(int status, const std::string& reason) {
    return DriveHTTPResponse{
        status, {}, nlohmann::json{{"error", {{"errors", {{{"reason", reason}}}}}}}.dump()};
}

}  // namespace tolvane::test
