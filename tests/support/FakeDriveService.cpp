#include "support/FakeDriveService.h"

#include <algorithm>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "support/DriveClientHarness.h"

namespace tolvane::test {
namespace {

using Json = nlohmann::json;

constexpr std::string_view folderType = "application/vnd.google-apps.folder";
constexpr std::string_view fileDefaults = "kind,id,name,mimeType";
constexpr std::string_view permissionDefaults = "kind,id,type,role";

// `value` with only the fields `spec` names ("id,files(id,name),nextPageToken"); an array
// keeps only them in each element.
Json selected(const Json& value, std::string_view spec) {
    if (value.is_array()) {
        Json out = Json::array();
        for (const Json& element : value) {
            out.push_back(selected(element, spec));
        }
        return out;
    }
    Json out = Json::object();
    while (!spec.empty()) {
        std::size_t end = 0;
        for (int depth = 0; end < spec.size() && (depth > 0 || spec[end] != ','); ++end) {
            depth += spec[end] == '(' ? 1 : spec[end] == ')' ? -1 : 0;
        }
        const std::string_view item = spec.substr(0, end);
        spec.remove_prefix(std::min(end + 1, spec.size()));
        const std::size_t open = item.find('(');
        const std::string name(item.substr(0, open));
        if (value.is_object() && value.contains(name)) {
            out[name] = open == std::string_view::npos
                            ? value[name]
                            : selected(value[name], item.substr(open + 1, item.size() - open - 2));
        }
    }
    return out;
}

DriveHTTPResponse jsonAnswer(int status, const Json& body) {
    return DriveHTTPResponse{status, {{"Content-Type", "application/json"}}, body.dump()};
}

DriveHTTPResponse errorAnswer(int status, std::string_view reason) {
    return jsonAnswer(status, {{"error", {{"code", status}, {"errors", {{{"reason", reason}}}}}}});
}

Json fileJSON(const FakeDriveService::StoredFile& file, const DriveEndpoints& endpoints) {
    Json out = {{"kind", "drive#file"},
                {"id", file.id},
                {"name", file.name},
                {"mimeType", file.mimeType},
                {"parents", file.parents},
                {"trashed", file.trashed},
                {"appProperties", file.appProperties}};
    if (file.mimeType != folderType) {
        Md5 md5;
        md5.update(file.content);
        out["size"] = std::to_string(file.content.size());
        out["md5Checksum"] = HexString::encode(md5.finish());
        out["sha256Checksum"] = Sha256::hexOf(file.content);
        out["webViewLink"] = "https://" + endpoints.webHost + "/file/d/" + file.id + "/view";
    }
    return out;
}

std::optional<std::int64_t> count(std::string_view text) {
    if (text.empty() || text.size() > 18 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stoll(std::string(text));
}

// The query forms the client writes, as a test of each file; no value for anything else.
std::optional<std::vector<std::function<bool(const FakeDriveService::StoredFile&)>>> parsedQuery(
    std::string_view text) {
    const auto consume = [&](std::string_view token) {
        const bool found = text.starts_with(token);
        text.remove_prefix(found ? token.size() : 0);
        return found;
    };
    const auto literal = [&]() -> std::optional<std::string> {
        std::string value;
        if (!consume("'")) {
            return std::nullopt;
        }
        while (!text.empty() && text.front() != '\'') {
            consume("\\");
            value += text.front();
            text.remove_prefix(1);
        }
        return consume("'") ? std::optional(value) : std::nullopt;
    };
    using File = FakeDriveService::StoredFile;
    std::vector<std::function<bool(const File&)>> terms;
    do {
        std::optional<std::string> a, b;
        if (consume("name = ") && (a = literal())) {
            terms.push_back([v = *a](const File& f) { return f.name == v; });
        } else if (consume("mimeType = ") && (a = literal())) {
            terms.push_back([v = *a](const File& f) { return f.mimeType == v; });
        } else if (consume("trashed = false")) {
            terms.push_back([](const File& f) { return !f.trashed; });
        } else if (consume("appProperties has { key=") && (a = literal()) &&
                   consume(" and value=") && (b = literal()) && consume(" }")) {
            terms.push_back([k = *a, v = *b](const File& f) {
                return f.appProperties.contains(k) && f.appProperties.at(k) == v;
            });
        } else if ((a = literal()) && consume(" in parents")) {
            terms.push_back([v = *a](const File& f) {
                return std::find(f.parents.begin(), f.parents.end(), v) != f.parents.end();
            });
        } else {
            return std::nullopt;
        }
    } while (consume(" and "));
    return text.empty() ? std::optional(terms) : std::nullopt;
}

}  // namespace

struct FakeDriveService::Request {
    const DriveHTTPRequest& http;
    std::string path;
    std::vector<std::pair<std::string, std::string>> query;
    std::optional<Json> body;

    std::string param(std::string_view name, std::string_view fallback = {}) const {
        for (const auto& [item, value] : query) {
            if (item == name) {
                return value;
            }
        }
        return std::string(fallback);
    }
    std::string text(const char* key) const {
        return body && body->contains(key) && (*body)[key].is_string() ? (*body)[key] : "";
    }
};

FakeDriveService::FakeDriveService(DriveEndpoints endpoints) : endpoints_(std::move(endpoints)) {}

DriveHTTPResponse FakeDriveService::send(const DriveHTTPRequest& request, std::stop_token stop) {
    if (stop.stop_requested()) {
        throw TransportError(TransportError::Kind::cancelled, "cancelled");
    }
    return handle(request);
}

DriveHTTPResponse FakeDriveService::handle(const DriveHTTPRequest& http) {
    Request request{http, urlPath(http.url), urlQuery(http.url), std::nullopt};
    if (Json body = Json::parse(http.body, nullptr, false); body.is_object()) {
        request.body = std::move(body);
    }
    Hook hook;
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back(http);
        hook = hook_;
    }
    const Serve serve = [&] {
        const std::lock_guard lock(mutex_);
        return this->serve(request);
    };
    DriveHTTPResponse answer = hook ? hook(http, serve) : serve();
    // Whoever gave the answer, Drive sends only the fields that were asked for.
    const std::string fields = request.param("fields");
    Json body = Json::parse(answer.body, nullptr, false);
    if (!fields.empty() && answer.status / 100 == 2 && body.is_object()) {
        answer.body = selected(body, fields).dump();
    }
    return answer;
}

DriveHTTPResponse FakeDriveService::serve(const Request& request) {
    const std::string auth = request.http.header("Authorization").value_or("");
    if (!auth.starts_with("Bearer ") || auth.size() == 7) {
        return errorAnswer(401, "authError");
    }
    const std::string_view path = request.path;
    const std::string method = request.http.method;
    if (path == "/drive/v3/files" && method == "GET") {
        return listFiles(request);
    }
    if (path == "/drive/v3/files" && method == "POST") {
        const std::vector<std::string> parents = request.body->value("parents", Json::array());
        StoredFile folder{"folder-" + std::to_string(++counter_),
                          request.text("name"),
                          request.text("mimeType"),
                          parents,
                          {},
                          {},
                          false,
                          {}};
        files_.push_back(folder);
        return jsonAnswer(200, selected(fileJSON(folder, endpoints_), fileDefaults));
    }
    if (path.starts_with("/drive/v3/files/")) {
        const std::string rest(path.substr(16));
        const std::size_t slash = rest.find('/');
        return fileRequest(request, rest.substr(0, slash), rest.ends_with("/permissions"));
    }
    if (path == "/upload/drive/v3/files") {
        return method == "POST" ? initiateUpload(request) : sessionRequest(request);
    }
    return errorAnswer(404, "notFound");
}

DriveHTTPResponse FakeDriveService::listFiles(const Request& request) const {
    const auto terms = parsedQuery(request.param("q"));
    const std::optional<std::int64_t> pageSize = count(request.param("pageSize", "100"));
    const std::optional<std::int64_t> start = count(request.param("pageToken", "0"));
    if (!terms || !pageSize || !start) {
        return errorAnswer(400, "invalid");
    }
    Json found = Json::array();
    for (const StoredFile& file : files_) {
        if (std::all_of(terms->begin(), terms->end(),
                        [&](const auto& term) { return term(file); })) {
            found.push_back(fileJSON(file, endpoints_));
        }
    }
    Json body = {{"kind", "drive#fileList"}, {"files", Json::array()}};
    const auto end = std::min<std::size_t>(found.size(), *start + *pageSize);
    for (auto i = static_cast<std::size_t>(*start); i < end; ++i) {
        body["files"].push_back(found[i]);
    }
    if (end < found.size()) {
        body["nextPageToken"] = std::to_string(end);
    }
    const std::string defaults = "kind,nextPageToken,files(" + std::string(fileDefaults) + ")";
    return jsonAnswer(200, selected(body, request.param("fields", defaults)));
}

DriveHTTPResponse FakeDriveService::fileRequest(const Request& request, const std::string& id,
                                                bool permissions) {
    StoredFile* file = find(id);
    if (file == nullptr) {
        return errorAnswer(404, "notFound");
    }
    if (!permissions) {
        return jsonAnswer(
            200, selected(fileJSON(*file, endpoints_), request.param("fields", fileDefaults)));
    }
    if (request.http.method == "POST") {
        const std::optional<bool> discoverable =
            request.body->contains("allowFileDiscovery")
                ? std::optional<bool>((*request.body)["allowFileDiscovery"])
                : std::nullopt;
        file->permissions.push_back({"perm-" + std::to_string(++counter_), request.text("type"),
                                     request.text("role"), discoverable});
        return jsonAnswer(200, {{"id", file->permissions.back().id}});
    }
    const std::optional<std::int64_t> start = count(request.param("pageToken", "0"));
    Json body = {{"kind", "drive#permissionList"}, {"permissions", Json::array()}};
    const auto end = std::min(file->permissions.size(), *start + permissionPageSize_);
    for (auto i = static_cast<std::size_t>(*start); i < end; ++i) {
        const DrivePermission& p = file->permissions[i];
        body["permissions"].push_back(
            {{"kind", "drive#permission"}, {"id", p.id}, {"type", p.type}, {"role", p.role}});
        if (p.allowFileDiscovery) {
            body["permissions"].back()["allowFileDiscovery"] = *p.allowFileDiscovery;
        }
    }
    if (end < file->permissions.size()) {
        body["nextPageToken"] = std::to_string(end);
    }
    const std::string defaults =
        "kind,nextPageToken,permissions(" + std::string(permissionDefaults) + ")";
    return jsonAnswer(200, selected(body, request.param("fields", defaults)));
}

DriveHTTPResponse FakeDriveService::initiateUpload(const Request& request) {
    const std::optional<std::int64_t> total =
        count(request.http.header("X-Upload-Content-Length").value_or(""));
    if (request.param("uploadType") != "resumable" || !request.body || !total) {
        return errorAnswer(400, "badRequest");
    }
    Session session{request.text("name"),
                    (*request.body)["parents"],
                    (*request.body)["appProperties"],
                    *total,
                    {},
                    request.param("fields"),
                    std::nullopt};
    const std::string id = "upload-" + std::to_string(++counter_);
    sessions_.emplace(id, std::move(session));
    ++sessionsStarted_;
    return DriveHTTPResponse{
        200, {{"Location", endpoints_.apiBase + "/upload/drive/v3/files?upload_id=" + id}}, {}};
}

DriveHTTPResponse FakeDriveService::sessionRequest(const Request& request) {
    const auto found = sessions_.find(request.param("upload_id"));
    if (found == sessions_.end()) {
        return errorAnswer(404, "notFound");
    }
    Session& session = found->second;
    const std::string fields = session.fields.empty() ? std::string(fileDefaults) : session.fields;
    if (const StoredFile* done = session.fileID ? find(*session.fileID) : nullptr) {
        return jsonAnswer(200, selected(fileJSON(*done, endpoints_), fields));
    }
    // "bytes */<total>" asks where the session stands; "bytes <first>-<last>/<total>" carries
    // bytes, which must follow on from what the session holds.
    const std::string range = request.http.header("Content-Range").value_or("");
    const std::string expected = "/" + std::to_string(session.total);
    if (range.starts_with("bytes ") && range.ends_with(expected) && range != "bytes *" + expected) {
        const std::size_t dash = range.find('-');
        const std::optional<std::int64_t> first = count(range.substr(6, dash - 6));
        if (!first || *first > static_cast<std::int64_t>(session.received.size()) ||
            range != "bytes " + std::to_string(*first) + "-" +
                         std::to_string(*first + std::ssize(request.http.body) - 1) + expected ||
            (*first + std::ssize(request.http.body) < session.total &&
             request.http.body.size() % 262'144 != 0)) {
            return errorAnswer(400, "badRequest");
        }
        session.received.resize(static_cast<std::size_t>(*first));
        session.received += request.http.body;
    } else if (range != "bytes *" + expected || !request.http.body.empty()) {
        return errorAnswer(400, "badRequest");
    }
    if (std::ssize(session.received) < session.total) {
        DriveHTTPResponse incomplete{308, {}, {}};
        if (!session.received.empty()) {
            incomplete.headers["Range"] = "bytes=0-" + std::to_string(session.received.size() - 1);
        }
        return incomplete;
    }
    StoredFile file{"file-" + std::to_string(++counter_),
                    session.name,
                    "application/zip",
                    session.parents,
                    session.appProperties,
                    session.received,
                    false,
                    {}};
    files_.push_back(file);
    session.fileID = file.id;
    return jsonAnswer(200, selected(fileJSON(file, endpoints_), fields));
}

FakeDriveService::StoredFile* FakeDriveService::find(const std::string& id) {
    const auto found =
        std::find_if(files_.begin(), files_.end(), [&](const StoredFile& f) { return f.id == id; });
    return found == files_.end() ? nullptr : &*found;
}

void FakeDriveService::setHook(Hook hook) {
    const std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<DriveHTTPRequest> FakeDriveService::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

void FakeDriveService::clearRequests() {
    const std::lock_guard lock(mutex_);
    requests_.clear();
}

void FakeDriveService::trash(const std::string& fileID) {
    const std::lock_guard lock(mutex_);
    find(fileID)->trashed = true;
}

void FakeDriveService::remove(const std::string& fileID) {
    const std::lock_guard lock(mutex_);
    std::erase_if(files_, [&](const StoredFile& file) { return file.id == fileID; });
}

void FakeDriveService::corrupt(const std::string& fileID) {
    const std::lock_guard lock(mutex_);
    find(fileID)->content.front() ^= 0x5a;
}

void FakeDriveService::addPermission(const std::string& fileID, DrivePermission permission) {
    const std::lock_guard lock(mutex_);
    permission.id = "perm-" + std::to_string(++counter_);
    find(fileID)->permissions.push_back(std::move(permission));
}

void FakeDriveService::removePermissions(const std::string& fileID) {
    const std::lock_guard lock(mutex_);
    find(fileID)->permissions.clear();
}

void FakeDriveService::forgetSessions() {
    const std::lock_guard lock(mutex_);
    sessions_.clear();
}

void FakeDriveService::setPermissionPageSize(std::size_t size) {
    const std::lock_guard lock(mutex_);
    permissionPageSize_ = size;
}

std::optional<FakeDriveService::StoredFile> FakeDriveService::file(const std::string& id) const {
    const std::lock_guard lock(mutex_);
    for (const StoredFile& file : files_) {
        if (file.id == id) {
            return file;
        }
    }
    return std::nullopt;
}

std::vector<FakeDriveService::StoredFile> FakeDriveService::files() const {
    const std::lock_guard lock(mutex_);
    return files_;
}

std::string FakeDriveService::folderPath(const std::string& fileID) const {
    std::string path;
    for (auto f = file(fileID); f && f->parents.front() != "root";) {
        f = file(f->parents.front());
        path = f ? f->name + (path.empty() ? "" : "/") + path : "?";
    }
    return path;
}

std::size_t FakeDriveService::sessionsStarted() const {
    const std::lock_guard lock(mutex_);
    return sessionsStarted_;
}

}  // namespace tolvane::test
