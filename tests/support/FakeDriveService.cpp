#include "support/FakeDriveService.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/common/Cancellation.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "support/ScriptedDriveTransport.h"

namespace tolvane::test {
namespace {

using Json = nlohmann::json;

constexpr std::string_view filesPath = "/drive/v3/files";
constexpr std::string_view uploadPath = "/upload/drive/v3/files";
constexpr std::int64_t chunkGranularity = 262'144;

DriveHTTPResponse jsonAnswer(int status, const Json& body,
                             std::map<std::string, std::string> headers = {}) {
    headers.emplace("Content-Type", "application/json; charset=UTF-8");
    return DriveHTTPResponse{status, std::move(headers), body.dump()};
}

DriveHTTPResponse errorAnswer(int status, std::string_view reason, std::string_view message) {
    const Json body = {
        {"error",
         {{"code", status},
          {"message", message},
          {"errors",
           Json::array({{{"domain", "global"}, {"reason", reason}, {"message", message}}})}}}};
    return jsonAnswer(status, body);
}

DriveHTTPResponse badRequest(std::string_view message) {
    return errorAnswer(400, "badRequest", message);
}

DriveHTTPResponse notFound(std::string_view what) {
    return errorAnswer(404, "notFound", std::string("File not found: ") + std::string(what));
}

int hexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// "+" stays "+": the client encodes blanks as "%20".
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// Decimal digits only, no sign, no overflow.
std::optional<std::int64_t> parseCount(std::string_view text) {
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string md5Hex(std::string_view bytes) {
    Md5 md5;
    md5.update(bytes);
    return HexString::encode(md5.finish());
}

std::string upperCased(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// --- files.list queries ------------------------------------------------------------------------

// The terms of a query joined by "and": the forms the Drive client writes.
struct QueryTerm {
    enum class Kind { name, mimeType, inParents, trashed, appProperty };
    Kind kind;
    std::string value;
    std::string propertyValue;  // appProperty only
    bool flag = false;          // trashed only
};

class QueryParser {
public:
    explicit QueryParser(std::string_view text) : text_(text) {}

    std::optional<std::vector<QueryTerm>> parse() {
        std::vector<QueryTerm> terms;
        for (;;) {
            skipBlanks();
            std::optional<QueryTerm> term = parseTerm();
            if (!term) {
                return std::nullopt;
            }
            terms.push_back(std::move(*term));
            skipBlanks();
            if (text_.empty()) {
                return terms;
            }
            if (!consume("and ")) {
                return std::nullopt;
            }
        }
    }

private:
    std::optional<QueryTerm> parseTerm() {
        if (consume("name = ")) {
            return literalTerm(QueryTerm::Kind::name);
        }
        if (consume("mimeType = ")) {
            return literalTerm(QueryTerm::Kind::mimeType);
        }
        if (consume("trashed = ")) {
            QueryTerm term{QueryTerm::Kind::trashed, {}, {}, false};
            if (consume("true")) {
                term.flag = true;
            } else if (!consume("false")) {
                return std::nullopt;
            }
            return term;
        }
        if (consume("appProperties has { key=")) {
            std::optional<std::string> key = literal();
            if (!key || !consume(" and value=")) {
                return std::nullopt;
            }
            std::optional<std::string> value = literal();
            if (!value || !consume(" }")) {
                return std::nullopt;
            }
            return QueryTerm{QueryTerm::Kind::appProperty, std::move(*key), std::move(*value),
                             false};
        }
        if (!text_.empty() && text_.front() == '\'') {
            std::optional<std::string> parent = literal();
            if (!parent || !consume(" in parents")) {
                return std::nullopt;
            }
            return QueryTerm{QueryTerm::Kind::inParents, std::move(*parent), {}, false};
        }
        return std::nullopt;
    }

    std::optional<QueryTerm> literalTerm(QueryTerm::Kind kind) {
        std::optional<std::string> value = literal();
        if (!value) {
            return std::nullopt;
        }
        return QueryTerm{kind, std::move(*value), {}, false};
    }

    // A quoted literal; a backslash takes the next character as it is.
    std::optional<std::string> literal() {
        if (!consume("'")) {
            return std::nullopt;
        }
        std::string value;
        while (!text_.empty()) {
            const char c = text_.front();
            text_.remove_prefix(1);
            if (c == '\'') {
                return value;
            }
            if (c == '\\') {
                if (text_.empty()) {
                    return std::nullopt;
                }
                value += text_.front();
                text_.remove_prefix(1);
            } else {
                value += c;
            }
        }
        return std::nullopt;
    }

    bool consume(std::string_view token) {
        if (!text_.starts_with(token)) {
            return false;
        }
        text_.remove_prefix(token.size());
        return true;
    }

    void skipBlanks() {
        while (!text_.empty() && text_.front() == ' ') {
            text_.remove_prefix(1);
        }
    }

    std::string_view text_;
};

bool matches(const FakeDriveService::StoredFile& file, const std::vector<QueryTerm>& terms) {
    return std::all_of(terms.begin(), terms.end(), [&](const QueryTerm& term) {
        switch (term.kind) {
            case QueryTerm::Kind::name:
                return file.name == term.value;
            case QueryTerm::Kind::mimeType:
                return file.mimeType == term.value;
            case QueryTerm::Kind::inParents:
                return std::find(file.parents.begin(), file.parents.end(), term.value) !=
                       file.parents.end();
            case QueryTerm::Kind::trashed:
                return file.trashed == term.flag;
            case QueryTerm::Kind::appProperty: {
                const auto found = file.appProperties.find(term.value);
                return found != file.appProperties.end() && found->second == term.propertyValue;
            }
        }
        return false;
    });
}

std::optional<std::map<std::string, std::string>> stringMap(const Json& object) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    std::map<std::string, std::string> out;
    for (const auto& [name, value] : object.items()) {
        if (!value.is_string()) {
            return std::nullopt;
        }
        out.emplace(name, value.get<std::string>());
    }
    return out;
}

std::optional<std::vector<std::string>> stringArray(const Json& array) {
    if (!array.is_array()) {
        return std::nullopt;
    }
    std::vector<std::string> out;
    for (const Json& value : array) {
        if (!value.is_string()) {
            return std::nullopt;
        }
        out.push_back(value.get<std::string>());
    }
    return out;
}

std::optional<Json> parsedObject(std::string_view body) {
    Json value = Json::parse(body, nullptr, false);
    if (value.is_discarded() || !value.is_object()) {
        return std::nullopt;
    }
    return value;
}

Json permissionJSON(const DrivePermission& permission) {
    Json out = {{"kind", "drive#permission"},
                {"id", permission.id},
                {"type", permission.type},
                {"role", permission.role}};
    if (permission.allowFileDiscovery) {
        out["allowFileDiscovery"] = *permission.allowFileDiscovery;
    }
    return out;
}

bool isKnownPermissionType(std::string_view type) {
    return type == "user" || type == "group" || type == "domain" || type == "anyone";
}

bool isKnownRole(std::string_view role) {
    return role == "owner" || role == "organizer" || role == "fileOrganizer" || role == "writer" ||
           role == "commenter" || role == "reader";
}

}  // namespace

// --- One request --------------------------------------------------------------------------------

struct FakeDriveService::Request {
    std::string method;
    std::string path;
    std::vector<std::pair<std::string, std::string>> query;
    const HeaderFields& headers;
    std::string_view body;

    std::optional<std::string> header(std::string_view name) const {
        for (const auto& [field, value] : headers) {
            if (headerNamesEqual(field, name)) {
                return value;
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> param(std::string_view name) const {
        for (const auto& [item, value] : query) {
            if (item == name) {
                return value;
            }
        }
        return std::nullopt;
    }
};

FakeDriveService::FakeDriveService(DriveEndpoints endpoints) : endpoints_(std::move(endpoints)) {}

DriveHTTPResponse FakeDriveService::send(const DriveHTTPRequest& request, std::stop_token stop) {
    if (stop.stop_requested()) {
        throw TransportError(TransportError::Kind::cancelled, "cancelled");
    }
    return handle(request.method, request.url, request.headers, request.body);
}

DriveHTTPResponse FakeDriveService::handle(std::string_view method, std::string_view url,
                                           const HeaderFields& headers, std::string_view body) {
    // An absolute URL or a request target as a server receives it.
    std::string_view target = url;
    if (const std::size_t scheme = target.find("://"); scheme != std::string_view::npos) {
        const std::size_t pathStart = target.find('/', scheme + 3);
        target =
            pathStart == std::string_view::npos ? std::string_view("/") : target.substr(pathStart);
    }
    target = target.substr(0, target.find('#'));
    const std::size_t question = target.find('?');
    Request request{std::string(method), {}, {}, headers, body};
    const std::optional<std::string> path = percentDecoded(target.substr(0, question));
    if (!path) {
        return badRequest("malformed path");
    }
    request.path = *path;
    if (question != std::string_view::npos) {
        std::string_view query = target.substr(question + 1);
        while (!query.empty()) {
            const std::string_view item = query.substr(0, query.find('&'));
            const std::size_t equals = item.find('=');
            const std::optional<std::string> name = percentDecoded(item.substr(0, equals));
            const std::optional<std::string> value = equals == std::string_view::npos
                                                         ? std::optional<std::string>("")
                                                         : percentDecoded(item.substr(equals + 1));
            if (!name || !value) {
                return badRequest("malformed query");
            }
            request.query.emplace_back(*name, *value);
            query.remove_prefix(std::min(query.size(), item.size() + 1));
        }
    }

    const std::lock_guard lock(mutex_);
    const std::optional<std::string> authorization = request.header("Authorization");
    if (!authorization || !authorization->starts_with("Bearer ") || authorization->size() == 7) {
        return errorAnswer(401, "authError", "Invalid Credentials");
    }
    if (rateLimitsLeft_ > 0) {
        --rateLimitsLeft_;
        DriveHTTPResponse answer =
            rateLimitStatus_ == 403
                ? errorAnswer(403, "userRateLimitExceeded", "User rate limit exceeded")
                : errorAnswer(429, "rateLimitExceeded", "Rate limit exceeded");
        if (retryAfter_) {
            answer.headers["Retry-After"] = *retryAfter_;
        }
        return answer;
    }

    if (request.path == filesPath) {
        if (request.method == "GET") {
            return listFiles(request);
        }
        if (request.method == "POST") {
            return createFolder(request);
        }
        return errorAnswer(405, "methodNotAllowed", "method not allowed");
    }
    if (request.path.starts_with(std::string(filesPath) + "/")) {
        return fileRequest(request, std::string_view(request.path).substr(filesPath.size() + 1));
    }
    if (request.path == uploadPath) {
        if (request.method == "POST") {
            return initiateUpload(request);
        }
        if (request.method == "PUT") {
            return sessionRequest(request);
        }
        return errorAnswer(405, "methodNotAllowed", "method not allowed");
    }
    return errorAnswer(404, "notFound", "no such endpoint");
}

// --- Files and folders ---------------------------------------------------------------------------

DriveHTTPResponse FakeDriveService::listFiles(const Request& request) const {
    const std::optional<std::string> q = request.param("q");
    if (!q) {
        return badRequest("missing q");
    }
    const std::optional<std::vector<QueryTerm>> terms = QueryParser(*q).parse();
    if (!terms) {
        return errorAnswer(400, "invalid", "Invalid Value");
    }
    std::int64_t pageSize = 100;
    if (const std::optional<std::string> text = request.param("pageSize")) {
        const std::optional<std::int64_t> parsed = parseCount(*text);
        if (!parsed || *parsed < 1 || *parsed > 1000) {
            return badRequest("invalid pageSize");
        }
        pageSize = *parsed;
    }
    std::size_t start = 0;
    if (const std::optional<std::string> token = request.param("pageToken")) {
        const std::optional<std::int64_t> parsed =
            token->starts_with("files:") ? parseCount(std::string_view(*token).substr(6))
                                         : std::nullopt;
        if (!parsed) {
            return badRequest("invalid pageToken");
        }
        start = static_cast<std::size_t>(*parsed);
    }

    std::vector<const StoredFile*> found;
    for (const StoredFile& file : files_) {
        if (matches(file, *terms)) {
            found.push_back(&file);
        }
    }
    Json body = {{"kind", "drive#fileList"}, {"files", Json::array()}};
    const std::size_t end = std::min(found.size(), start + static_cast<std::size_t>(pageSize));
    for (std::size_t i = start; i < end; ++i) {
        body["files"].push_back(Json::parse(fileJSONLocked(*found[i])));
    }
    if (end < found.size()) {
        body["nextPageToken"] = "files:" + std::to_string(end);
    }
    return jsonAnswer(200, body);
}

DriveHTTPResponse FakeDriveService::createFolder(const Request& request) {
    const std::optional<Json> metadata = parsedObject(request.body);
    if (!metadata || !metadata->contains("name") || !(*metadata)["name"].is_string()) {
        return badRequest("invalid metadata");
    }
    StoredFile file;
    file.name = (*metadata)["name"].get<std::string>();
    file.mimeType = metadata->value("mimeType", std::string(folderMimeType));
    if (metadata->contains("parents")) {
        std::optional<std::vector<std::string>> parents = stringArray((*metadata)["parents"]);
        if (!parents) {
            return badRequest("invalid parents");
        }
        file.parents = std::move(*parents);
    } else {
        file.parents = {"root"};
    }
    for (const std::string& parent : file.parents) {
        if (!isFolderLocked(parent)) {
            return notFound(parent);
        }
    }
    file.id = nextID("folder-");
    files_.push_back(std::move(file));
    return DriveHTTPResponse{
        200, {{"Content-Type", "application/json"}}, fileJSONLocked(files_.back())};
}

DriveHTTPResponse FakeDriveService::fileRequest(const Request& request, std::string_view rest) {
    const std::size_t slash = rest.find('/');
    const std::string id(rest.substr(0, slash));
    const std::string_view tail =
        slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    StoredFile* file = findLocked(id);
    if (file == nullptr) {
        return notFound(id);
    }
    if (tail.empty()) {
        if (request.method != "GET") {
            return errorAnswer(405, "methodNotAllowed", "method not allowed");
        }
        return DriveHTTPResponse{
            200, {{"Content-Type", "application/json"}}, fileJSONLocked(*file)};
    }
    if (tail == "permissions") {
        if (request.method == "GET") {
            return listPermissions(request, *file);
        }
        if (request.method == "POST") {
            return createPermission(request, *file);
        }
        return errorAnswer(405, "methodNotAllowed", "method not allowed");
    }
    return errorAnswer(404, "notFound", "no such endpoint");
}

// --- Permissions -------------------------------------------------------------------------------

DriveHTTPResponse FakeDriveService::listPermissions(const Request& request,
                                                    const StoredFile& file) const {
    std::size_t start = 0;
    if (const std::optional<std::string> token = request.param("pageToken")) {
        const std::optional<std::int64_t> parsed =
            token->starts_with("permissions:") ? parseCount(std::string_view(*token).substr(12))
                                               : std::nullopt;
        if (!parsed) {
            return badRequest("invalid pageToken");
        }
        start = static_cast<std::size_t>(*parsed);
    }
    Json body = {{"kind", "drive#permissionList"}, {"permissions", Json::array()}};
    const std::size_t end = std::min(file.permissions.size(), start + permissionPageSize_);
    for (std::size_t i = start; i < end; ++i) {
        body["permissions"].push_back(permissionJSON(file.permissions[i]));
    }
    if (end < file.permissions.size()) {
        body["nextPageToken"] = "permissions:" + std::to_string(end);
    }
    return jsonAnswer(200, body);
}

DriveHTTPResponse FakeDriveService::createPermission(const Request& request, StoredFile& file) {
    const std::optional<Json> body = parsedObject(request.body);
    if (!body || !body->contains("type") || !(*body)["type"].is_string() ||
        !body->contains("role") || !(*body)["role"].is_string()) {
        return badRequest("invalid permission");
    }
    DrivePermission permission;
    permission.type = (*body)["type"].get<std::string>();
    permission.role = (*body)["role"].get<std::string>();
    if (!isKnownPermissionType(permission.type) || !isKnownRole(permission.role)) {
        return errorAnswer(400, "invalid", "Invalid permission");
    }
    if (body->contains("allowFileDiscovery")) {
        if (!(*body)["allowFileDiscovery"].is_boolean()) {
            return badRequest("invalid allowFileDiscovery");
        }
        permission.allowFileDiscovery = (*body)["allowFileDiscovery"].get<bool>();
    }
    // A file has at most one public link: a new one takes the place of the old.
    if (permission.type == "anyone") {
        std::erase_if(file.permissions,
                      [](const DrivePermission& existing) { return existing.type == "anyone"; });
    }
    permission.id = nextID("perm-");
    file.permissions.push_back(permission);
    return jsonAnswer(200, permissionJSON(permission));
}

// --- Resumable uploads ---------------------------------------------------------------------------

DriveHTTPResponse FakeDriveService::initiateUpload(const Request& request) {
    if (request.param("uploadType") != "resumable") {
        return badRequest("only resumable uploads are served");
    }
    const std::optional<Json> metadata = parsedObject(request.body);
    if (!metadata || !metadata->contains("name") || !(*metadata)["name"].is_string()) {
        return badRequest("invalid metadata");
    }
    Session session;
    session.name = (*metadata)["name"].get<std::string>();
    session.mimeType = metadata->value("mimeType", std::string("application/octet-stream"));
    session.parents = {"root"};
    if (metadata->contains("parents")) {
        std::optional<std::vector<std::string>> parents = stringArray((*metadata)["parents"]);
        if (!parents) {
            return badRequest("invalid parents");
        }
        session.parents = std::move(*parents);
    }
    for (const std::string& parent : session.parents) {
        if (!isFolderLocked(parent)) {
            return notFound(parent);
        }
    }
    if (metadata->contains("appProperties")) {
        std::optional<std::map<std::string, std::string>> properties =
            stringMap((*metadata)["appProperties"]);
        if (!properties) {
            return badRequest("invalid appProperties");
        }
        session.appProperties = std::move(*properties);
    }
    if (const std::optional<std::string> length = request.header("X-Upload-Content-Length")) {
        session.total = parseCount(*length);
        if (!session.total) {
            return badRequest("invalid X-Upload-Content-Length");
        }
    }
    const std::string id = nextID("upload-");
    sessions_.emplace(id, std::move(session));
    ++sessionsStarted_;
    return DriveHTTPResponse{200,
                             {{"Location", endpoints_.apiBase + std::string(uploadPath) +
                                               "?uploadType=resumable&upload_id=" + id}},
                             {}};
}

DriveHTTPResponse FakeDriveService::sessionRequest(const Request& request) {
    const std::optional<std::string> id = request.param("upload_id");
    const auto found = id ? sessions_.find(*id) : sessions_.end();
    if (found == sessions_.end()) {
        return notFound("upload session");
    }
    if (sessionLossesLeft_ > 0) {
        --sessionLossesLeft_;
        sessions_.erase(found);
        return notFound("upload session");
    }
    Session& session = found->second;

    // "bytes */<total>" asks where the session stands; "bytes <first>-<last>/<total>" carries
    // bytes.
    const std::optional<std::string> range = request.header("Content-Range");
    if (!range || !range->starts_with("bytes ")) {
        return badRequest("missing Content-Range");
    }
    const std::string_view spec = std::string_view(*range).substr(6);
    const std::size_t slash = spec.find('/');
    if (slash == std::string_view::npos) {
        return badRequest("malformed Content-Range");
    }
    const std::optional<std::int64_t> total = parseCount(spec.substr(slash + 1));
    if (!total || (session.total && *session.total != *total)) {
        return badRequest("Content-Range total differs from the announced size");
    }
    session.total = total;
    const std::string_view span = spec.substr(0, slash);

    if (session.fileID) {
        const StoredFile* file = findLocked(*session.fileID);
        return DriveHTTPResponse{
            200,
            {{"Content-Type", "application/json"}},
            file != nullptr ? fileJSONLocked(*file) : Json{{"id", *session.fileID}}.dump()};
    }
    const auto held = static_cast<std::int64_t>(session.received.size());
    const auto incomplete = [&] {
        DriveHTTPResponse answer{308, {}, {}};
        if (!session.received.empty()) {
            answer.headers["Range"] = "bytes=0-" + std::to_string(session.received.size() - 1);
        }
        return answer;
    };

    if (span == "*") {
        if (!request.body.empty()) {
            return badRequest("a status query carries no bytes");
        }
        return held == *total ? completeSession(session) : incomplete();
    }
    const std::size_t dash = span.find('-');
    const std::optional<std::int64_t> first =
        dash == std::string_view::npos ? std::nullopt : parseCount(span.substr(0, dash));
    const std::optional<std::int64_t> last =
        dash == std::string_view::npos ? std::nullopt : parseCount(span.substr(dash + 1));
    if (!first || !last || *last < *first || *last >= *total ||
        static_cast<std::int64_t>(request.body.size()) != *last - *first + 1) {
        return badRequest("Content-Range does not describe the body");
    }
    if (*first > held) {
        return badRequest("bytes missing before the chunk");
    }
    const bool final = *last + 1 == *total;
    if (!final && (*last + 1 - *first) % chunkGranularity != 0) {
        return badRequest("a chunk before the last must be a multiple of 256 KiB");
    }
    session.received.resize(static_cast<std::size_t>(*first));
    session.received.append(request.body);
    return final ? completeSession(session) : incomplete();
}

DriveHTTPResponse FakeDriveService::completeSession(Session& session) {
    StoredFile file;
    file.id = nextID("file-");
    file.name = session.name;
    file.mimeType = session.mimeType;
    file.parents = session.parents;
    file.appProperties = session.appProperties;
    file.content = std::move(session.received);
    session.received.clear();
    if (quirks_.corruptUploads) {
        if (file.content.empty()) {
            file.content.push_back('\0');
        } else {
            file.content.front() = static_cast<char>(file.content.front() ^ 0x5a);
        }
    }
    session.fileID = file.id;
    files_.push_back(std::move(file));
    return DriveHTTPResponse{
        200, {{"Content-Type", "application/json"}}, fileJSONLocked(files_.back())};
}

// --- Helpers ------------------------------------------------------------------------------------

FakeDriveService::StoredFile* FakeDriveService::findLocked(const std::string& id) {
    const auto found = std::find_if(files_.begin(), files_.end(),
                                    [&](const StoredFile& file) { return file.id == id; });
    return found == files_.end() ? nullptr : &*found;
}

const FakeDriveService::StoredFile* FakeDriveService::findLocked(const std::string& id) const {
    const auto found = std::find_if(files_.begin(), files_.end(),
                                    [&](const StoredFile& file) { return file.id == id; });
    return found == files_.end() ? nullptr : &*found;
}

bool FakeDriveService::isFolderLocked(const std::string& id) const {
    if (id == "root") {
        return true;
    }
    const StoredFile* folder = findLocked(id);
    return folder != nullptr && folder->mimeType == folderMimeType;
}

std::string FakeDriveService::fileJSONLocked(const StoredFile& file) const {
    const bool folder = file.mimeType == folderMimeType;
    Json out = {{"kind", "drive#file"},      {"id", file.id},           {"name", file.name},
                {"mimeType", file.mimeType}, {"parents", file.parents}, {"trashed", file.trashed}};
    if (folder) {
        out["webViewLink"] = "https://" + endpoints_.webHost + "/drive/folders/" + file.id;
        return out.dump();
    }
    out["webViewLink"] = "https://" + endpoints_.webHost + "/file/d/" + file.id + "/view";
    out["size"] = std::to_string(file.content.size());
    std::string md5 = md5Hex(file.content);
    std::string sha256 = Sha256::hexOf(file.content);
    if (quirks_.upperCaseChecksums) {
        md5 = upperCased(std::move(md5));
        sha256 = upperCased(std::move(sha256));
    }
    out["md5Checksum"] = md5;
    if (!quirks_.omitSHA256) {
        out["sha256Checksum"] = sha256;
    }
    if (!file.appProperties.empty()) {
        out["appProperties"] = file.appProperties;
    }
    return out.dump();
}

std::string FakeDriveService::nextID(std::string_view prefix) {
    return std::string(prefix) + std::to_string(++counter_);
}

// --- Switches, direct changes and inspection -----------------------------------------------------

void FakeDriveService::setQuirks(Quirks quirks) {
    const std::lock_guard lock(mutex_);
    quirks_ = quirks;
}

void FakeDriveService::rateLimitNext(int count, int status, std::optional<std::string> retryAfter) {
    const std::lock_guard lock(mutex_);
    rateLimitsLeft_ = count;
    rateLimitStatus_ = status;
    retryAfter_ = std::move(retryAfter);
}

void FakeDriveService::loseSessions(int count) {
    const std::lock_guard lock(mutex_);
    sessionLossesLeft_ = count;
}

void FakeDriveService::setPermissionPageSize(std::size_t size) {
    const std::lock_guard lock(mutex_);
    permissionPageSize_ = std::max<std::size_t>(size, 1);
}

void FakeDriveService::trash(const std::string& fileID) {
    const std::lock_guard lock(mutex_);
    StoredFile* file = findLocked(fileID);
    if (file == nullptr) {
        throw std::out_of_range("no file " + fileID);
    }
    file->trashed = true;
}

void FakeDriveService::remove(const std::string& fileID) {
    const std::lock_guard lock(mutex_);
    if (std::erase_if(files_, [&](const StoredFile& file) { return file.id == fileID; }) == 0) {
        throw std::out_of_range("no file " + fileID);
    }
}

void FakeDriveService::addPermission(const std::string& fileID, std::string type, std::string role,
                                     std::optional<bool> allowFileDiscovery) {
    const std::lock_guard lock(mutex_);
    StoredFile* file = findLocked(fileID);
    if (file == nullptr) {
        throw std::out_of_range("no file " + fileID);
    }
    file->permissions.push_back(
        DrivePermission{nextID("perm-"), std::move(type), std::move(role), allowFileDiscovery});
}

void FakeDriveService::removePermissions(const std::string& fileID) {
    const std::lock_guard lock(mutex_);
    StoredFile* file = findLocked(fileID);
    if (file == nullptr) {
        throw std::out_of_range("no file " + fileID);
    }
    file->permissions.clear();
}

std::optional<FakeDriveService::StoredFile> FakeDriveService::file(const std::string& id) const {
    const std::lock_guard lock(mutex_);
    const StoredFile* found = findLocked(id);
    return found == nullptr ? std::nullopt : std::optional<StoredFile>(*found);
}

std::vector<FakeDriveService::StoredFile> FakeDriveService::files() const {
    const std::lock_guard lock(mutex_);
    return files_;
}

std::vector<FakeDriveService::StoredFile> FakeDriveService::filesWithProperty(
    const std::string& key, const std::string& value) const {
    const std::lock_guard lock(mutex_);
    std::vector<StoredFile> out;
    for (const StoredFile& file : files_) {
        const auto found = file.appProperties.find(key);
        if (file.mimeType != folderMimeType && found != file.appProperties.end() &&
            found->second == value) {
            out.push_back(file);
        }
    }
    return out;
}

std::optional<std::string> FakeDriveService::folderPath(const std::string& fileID) const {
    const std::lock_guard lock(mutex_);
    const StoredFile* file = findLocked(fileID);
    if (file == nullptr || file->parents.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    std::string parent = file->parents.front();
    // A cycle cannot be built through the requests, but a bound costs nothing.
    for (std::size_t depth = 0; parent != "root"; ++depth) {
        const StoredFile* folder = findLocked(parent);
        if (folder == nullptr || folder->parents.empty() || depth > files_.size()) {
            return std::nullopt;
        }
        names.push_back(folder->name);
        parent = folder->parents.front();
    }
    std::string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        path += path.empty() ? *name : "/" + *name;
    }
    return path;
}

std::size_t FakeDriveService::sessionsStarted() const {
    const std::lock_guard lock(mutex_);
    return sessionsStarted_;
}

// --- DriveTransportTap ---------------------------------------------------------------------------

DriveTransportTap::DriveTransportTap(std::shared_ptr<DriveHTTPTransport> inner)
    : inner_(std::move(inner)) {}

void DriveTransportTap::setHook(Hook hook) {
    const std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<DriveHTTPRequest> DriveTransportTap::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

void DriveTransportTap::clearRequests() {
    const std::lock_guard lock(mutex_);
    requests_.clear();
}

DriveHTTPResponse DriveTransportTap::send(const DriveHTTPRequest& request, std::stop_token stop) {
    Hook hook;
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back(request);
        hook = hook_;
    }
    const Forward forward = [&] { return inner_->send(request, stop); };
    return hook ? hook(request, stop, forward) : forward();
}

// --- DriveShareBench ----------------------------------------------------------------------------

DriveShareBench::DriveShareBench()
    : client(tap, journal, chunk,
             [this](std::uint64_t nanoseconds, std::stop_token stop) {
                 {
                     const std::lock_guard lock(mutex_);
                     waits_.push_back(nanoseconds);
                 }
                 throwIfCancelled(nullptr, stop);
             },
             {DriveEndpoints{}, [](std::uint64_t bound) { return bound; },
              [] { return midMarch2024; }}) {}

VerifiedArchive DriveShareBench::archive(const std::string& name,
                                         const std::string& content) const {
    const std::string path = dir.file(name);
    writeFile(path, content);
    return VerifiedArchive{Uuid::random(), path, static_cast<std::int64_t>(content.size()),
                           Sha256::hexOf(content)};
}

std::string DriveShareBench::share(const VerifiedArchive& archive, DriveLinkRole role,
                                   std::stop_token stop) {
    const GoogleDriveTransferClient::AccessToken token = [this] {
        const std::lock_guard lock(mutex_);
        return "token-" + std::to_string(++tokensIssued_);
    };
    const GoogleDriveTransferClient::ProgressHandler progress =
        [this](const DriveTransferProgress& report) {
            const std::lock_guard lock(mutex_);
            reports_.push_back(report);
        };
    return outcomeOf(
        [&] { result = client.shareArchive(archive, account, role, token, progress, stop); });
}

std::string DriveShareBench::resume(const Uuid& jobID, const std::optional<std::string>& selected,
                                    std::string_view accountID) {
    const GoogleDriveTransferClient::AccessToken token = [this] {
        const std::lock_guard lock(mutex_);
        return "token-" + std::to_string(++tokensIssued_);
    };
    const GoogleDriveTransferClient::ProgressHandler progress =
        [this](const DriveTransferProgress& report) {
            const std::lock_guard lock(mutex_);
            reports_.push_back(report);
        };
    return outcomeOf(
        [&] { result = client.resume(jobID, accountID, selected, token, progress, {}); });
}

std::string DriveShareBench::verify(const Uuid& jobID) {
    const GoogleDriveTransferClient::AccessToken token = [this] {
        const std::lock_guard lock(mutex_);
        return "token-" + std::to_string(++tokensIssued_);
    };
    return outcomeOf([&] { result = client.verifiedLink(jobID, account, token, {}); });
}

std::optional<DriveTransferRecord> DriveShareBench::record(const Uuid& jobID) const {
    return journal->load(FileDriveTransferJournal::key(account, jobID));
}

std::string DriveShareBench::recordFile(const Uuid& jobID) const {
    const std::string path =
        dir.file("journal/" + FileDriveTransferJournal::key(account, jobID) + ".json");
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? readFile(path) : std::string();
}

std::vector<DriveTransferProgress> DriveShareBench::reports() const {
    const std::lock_guard lock(mutex_);
    return reports_;
}

std::vector<std::uint64_t> DriveShareBench::waits() const {
    const std::lock_guard lock(mutex_);
    return waits_;
}

std::vector<std::string> DriveShareBench::transcript() const {
    std::vector<std::string> lines;
    for (const DriveHTTPRequest& request : tap->requests()) {
        const std::string path = urlPath(request.url);
        std::string q;
        for (const auto& [name, value] : urlQuery(request.url)) {
            if (name == "q") {
                q = value;
            }
        }
        if (path == filesPath && request.method == "GET") {
            if (q.find("appProperties") != std::string::npos) {
                lines.push_back("find marker");
            } else {
                const std::size_t start = q.find('\'') + 1;
                lines.push_back("find folder " + q.substr(start, q.find("' and") - start));
            }
        } else if (path == filesPath && request.method == "POST") {
            lines.push_back("create folder " + Json::parse(request.body).value("name", ""));
        } else if (path == uploadPath && request.method == "POST") {
            lines.push_back("initiate");
        } else if (path == uploadPath) {
            const std::string range = request.header("Content-Range").value_or("");
            lines.push_back(range.starts_with("bytes */")
                                ? "status"
                                : "chunk " + range.substr(6, range.find('/') - 6));
        } else if (path.ends_with("/permissions") && request.method == "POST") {
            lines.push_back("create permission " + Json::parse(request.body).value("role", ""));
        } else if (path.ends_with("/permissions")) {
            lines.push_back("permissions");
        } else if (path.starts_with(std::string(filesPath) + "/")) {
            lines.push_back("metadata");
        } else {
            lines.push_back(request.method + " " + request.url);
        }
    }
    return lines;
}

void DriveShareBench::clearLog() {
    tap->clearRequests();
    const std::lock_guard lock(mutex_);
    reports_.clear();
    waits_.clear();
}

}  // namespace tolvane::test
