#include "support/FakeDriveService.h"

#include <algorithm>
#include <regex>

#include <nlohmann/json.hpp>

#include "core/common/Digest.h"
#include "core/common/HexString.h"

namespace tolvane::test {
namespace {

using Json = nlohmann::json;
using File = FakeDriveService::StoredFile;

constexpr std::string_view folderType = "application/vnd.google-apps.folder";
constexpr std::string_view filesPath = "/drive/v3/files";
constexpr std::string_view uploadPath = "/upload/drive/v3/files";
// What Drive sends of a file, a file list or a permission list when `fields` names nothing.
constexpr std::string_view defaults =
    "kind,id,name,mimeType,nextPageToken,files(kind,id,name,mimeType),permissions(kind,id,type,"
    "role)";

// `value` with only the fields `spec` names ("id,files(id,name)"); an array keeps only them in
// each element.
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

Json fileJSON(const File& file, const DriveEndpoints& endpoints) {
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

File fileFrom(const Json& body, std::string id, std::string mimeType) {
    File file;
    file.id = std::move(id);
    file.name = body.value("name", "");
    file.mimeType = std::move(mimeType);
    file.parents = body.value("parents", std::vector<std::string>());
    file.appProperties = body.value("appProperties", std::map<std::string, std::string>());
    return file;
}

// The two query forms the client writes; no test for anything else, which Drive refuses.
std::function<bool(const File&)> matcher(const std::string& query) {
    static const std::regex folder(
        R"(name = '((?:[^'\\]|\\.)*)' and mimeType = '([^']*)' and '([^']*)' in parents and trashed = false)");
    static const std::regex marker(
        R"(appProperties has \{ key='([^']*)' and value='([^']*)' \} and trashed = false)");
    std::smatch m;
    if (std::regex_match(query, m, folder)) {
        return [name = std::regex_replace(m.str(1), std::regex(R"(\\(.))"), "$1"), type = m.str(2),
                parent = m.str(3)](const File& f) {
            return !f.trashed && f.name == name && f.mimeType == type &&
                   std::find(f.parents.begin(), f.parents.end(), parent) != f.parents.end();
        };
    }
    if (std::regex_match(query, m, marker)) {
        return [key = m.str(1), value = m.str(2)](const File& f) {
            return !f.trashed && f.appProperties.contains(key) && f.appProperties.at(key) == value;
        };
    }
    return {};
}

}  // namespace

std::string urlPath(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : url.find('/', scheme + 3);
    return start == std::string::npos ? "/" : url.substr(start, url.find('?', start) - start);
}

std::map<std::string, std::string> urlQuery(const std::string& url) {
    const auto decoded = [](const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool escape = text[i] == '%' && i + 2 < text.size();
            out +=
                escape ? static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)) : text[i];
            i += escape ? 2 : 0;
        }
        return out;
    };
    std::map<std::string, std::string> items;
    const std::size_t question = url.find('?');
    for (std::size_t at = question; at != std::string::npos && at < url.size();) {
        const std::size_t end = std::min(url.find('&', at + 1), url.size());
        const std::string item = url.substr(at + 1, end - at - 1);
        const std::size_t equals = std::min(item.find('='), item.size());
        items.emplace(decoded(item.substr(0, equals)),
                      decoded(item.substr(std::min(equals + 1, item.size()))));
        at = end;
    }
    return items;
}

FakeDriveService::FakeDriveService(DriveEndpoints endpoints) : endpoints_(std::move(endpoints)) {}

DriveHTTPResponse FakeDriveService::send(const DriveHTTPRequest& request, std::stop_token stop) {
    if (stop.stop_requested()) {
        throw TransportError(TransportError::Kind::cancelled, "cancelled");
    }
    return handle(request);
}

DriveHTTPResponse FakeDriveService::handle(const DriveHTTPRequest& request) {
    Hook hook;
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back(request);
        hook = hook_;
    }
    const Serve serve = [&] {
        const std::lock_guard lock(mutex_);
        return this->serve(request);
    };
    DriveHTTPResponse answer = hook ? hook(request, serve) : serve();
    // Whoever gave the answer, Drive sends only the fields that were asked for; an upload
    // session answers with the fields its initiation asked for.
    std::map<std::string, std::string> query = urlQuery(request.url);
    const Json body = Json::parse(answer.body, nullptr, false);
    if (!query.contains("upload_id") && answer.status / 100 == 2 && body.is_object()) {
        const std::string spec = query.contains("fields") ? query["fields"] : std::string(defaults);
        answer.body = selected(body, spec).dump();
    }
    return answer;
}

DriveHTTPResponse FakeDriveService::serve(const DriveHTTPRequest& request) {
    const std::string path = urlPath(request.url);
    const bool post = request.method == "POST";
    std::map<std::string, std::string> query = urlQuery(request.url);
    const Json body = Json::parse(request.body.empty() ? "{}" : request.body, nullptr, false);
    const auto text = [&](const char* key) { return body.value(key, std::string()); };
    const std::string number = std::to_string(++counter_);

    if (path == filesPath && post) {
        files_.push_back(fileFrom(body, "folder-" + number, text("mimeType")));
        return jsonAnswer(200, fileJSON(files_.back(), endpoints_));
    }
    if (path == filesPath) {
        const auto matches = matcher(query["q"]);
        if (!matches) {
            return errorAnswer(400, "invalidQuery");
        }
        Json found = Json::array();
        for (const File& file : files_) {
            if (matches(file)) {
                found.push_back(fileJSON(file, endpoints_));
            }
        }
        return jsonAnswer(200, {{"kind", "drive#fileList"}, {"files", found}});
    }
    if (path.starts_with(std::string(filesPath) + "/")) {
        const std::string rest = path.substr(filesPath.size() + 1);
        File* file = find(rest.substr(0, rest.find('/')));
        if (file == nullptr) {
            return errorAnswer(404, "notFound");
        }
        if (!rest.ends_with("/permissions")) {
            return jsonAnswer(200, fileJSON(*file, endpoints_));
        }
        if (post) {
            const Json discoverable = body.value("allowFileDiscovery", Json());
            file->permissions.push_back(
                {"perm-" + number, text("type"), text("role"),
                 discoverable.is_boolean() ? std::optional(discoverable == true) : std::nullopt});
            return jsonAnswer(200, {{"id", file->permissions.back().id}});
        }
        Json list = Json::array();
        for (const DrivePermission& p : file->permissions) {
            list.push_back({{"id", p.id}, {"type", p.type}, {"role", p.role}});
            if (p.allowFileDiscovery) {
                list.back()["allowFileDiscovery"] = *p.allowFileDiscovery;
            }
        }
        return jsonAnswer(200, {{"kind", "drive#permissionList"}, {"permissions", list}});
    }
    if (path == uploadPath && post && query["uploadType"] == "resumable") {
        const std::string id = "upload-" + number;
        sessions_[id] = {fileFrom(body, "", "application/zip"),
                         std::stoll(request.header("X-Upload-Content-Length").value()),
                         query.contains("fields") ? query["fields"] : "id"};
        return {200,
                {{"Location", endpoints_.apiBase + std::string(uploadPath) + "?upload_id=" + id}},
                {}};
    }
    if (path == uploadPath && sessions_.contains(query["upload_id"])) {
        return upload(request, sessions_[query["upload_id"]]);
    }
    return errorAnswer(404, "notFound");
}

DriveHTTPResponse FakeDriveService::upload(const DriveHTTPRequest& request, Session& session) {
    if (const File* done = find(session.file.id)) {
        return jsonAnswer(200, selected(fileJSON(*done, endpoints_), session.fields));
    }
    // "bytes */<total>" asks where the session stands; "bytes <first>-<last>/<total>" carries
    // bytes that must follow on from what the session holds.
    std::string& held = session.file.content;
    const std::string range = request.header("Content-Range").value_or("bytes *");
    if (!range.starts_with("bytes *")) {
        const std::size_t first = std::stoull(range.substr(6));
        if (first > held.size()) {
            return errorAnswer(400, "badRequest");
        }
        held.resize(first);
        held += request.body;
    }
    if (std::ssize(held) < session.total) {
        DriveHTTPResponse incomplete{308, {}, {}};
        if (!held.empty()) {
            incomplete.headers["Range"] = "bytes=0-" + std::to_string(held.size() - 1);
        }
        return incomplete;
    }
    session.file.id = "file-" + std::to_string(++counter_);
    files_.push_back(session.file);
    return jsonAnswer(200, selected(fileJSON(session.file, endpoints_), session.fields));
}

FakeDriveService::StoredFile* FakeDriveService::find(const std::string& id) {
    const auto found =
        std::find_if(files_.begin(), files_.end(), [&](const File& f) { return f.id == id; });
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

void FakeDriveService::change(const std::string& fileID,
                              const std::function<void(StoredFile&)>& edit) {
    const std::lock_guard lock(mutex_);
    edit(*find(fileID));
}

void FakeDriveService::remove(const std::string& fileID) {
    const std::lock_guard lock(mutex_);
    std::erase_if(files_, [&](const File& file) { return file.id == fileID; });
}

void FakeDriveService::forgetSessions() {
    const std::lock_guard lock(mutex_);
    sessions_.clear();
}

std::optional<FakeDriveService::StoredFile> FakeDriveService::file(const std::string& id) const {
    const std::lock_guard lock(mutex_);
    const File* found = const_cast<FakeDriveService*>(this)->find(id);
    return found ? std::optional(*found) : std::nullopt;
}

std::vector<FakeDriveService::StoredFile> FakeDriveService::files() const {
    const std::lock_guard lock(mutex_);
    return files_;
}

}  // namespace tolvane::test
