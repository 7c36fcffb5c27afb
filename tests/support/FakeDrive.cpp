#include "support/FakeDrive.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <csignal>
#include <filesystem>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "core/common/Cancellation.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "support/Outcome.h"

namespace tolvane::test {
namespace {

using Json = nlohmann::json;
using File = FakeDrive::StoredFile;
using Headers = std::map<std::string, std::string>;

constexpr std::string_view folderType = "application/vnd.google-apps.folder";

// `value` with only the fields the list names ("id,files(id,name)"); an array keeps only them in
// each element.
Json selected(const Json& value, std::string_view fields) {
    if (value.is_array()) {
        Json out = Json::array();
        for (const Json& element : value) {
            out.push_back(selected(element, fields));
        }
        return out;
    }
    Json out = Json::object();
    while (!fields.empty()) {
        std::size_t end = 0;
        for (int depth = 0; end < fields.size() && (depth > 0 || fields[end] != ','); ++end) {
            depth += fields[end] == '(' ? 1 : fields[end] == ')' ? -1 : 0;
        }
        const std::string_view item = fields.substr(0, end);
        fields.remove_prefix(std::min(end + 1, fields.size()));
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

DriveHTTPResponse jsonAnswer(const Json& body) {
    return DriveHTTPResponse{200, {{"Content-Type", "application/json"}}, body.dump()};
}

Json fileJSON(const File& file, const DriveEndpoints& endpoints) {
    Json out = {
        {"id", file.id}, {"name", file.name}, {"mimeType", file.mimeType}, {"trashed", false}};
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

File fileFrom(const Json& body, std::string id) {
    File file;
    file.id = std::move(id);
    file.name = body.value("name", "");
    file.mimeType = body.value("mimeType", "");
    file.parents = body.value("parents", std::vector<std::string>());
    file.appProperties = body.value("appProperties", std::map<std::string, std::string>());
    return file;
}

// The two query forms the client writes; Drive refuses anything else, as no test needs it.
std::function<bool(const File&)> matcher(const std::string& query) {
    static const std::regex folder(R"(name = '((?:[^'\\]|\\.)*)' and mimeType = '([^']*)' )"
                                   R"(and '([^']*)' in parents and trashed = false)");
    static const std::regex marker(
        R"(appProperties has \{ key='([^']*)' and value='([^']*)' \} and trashed = false)");
    std::smatch m;
    if (std::regex_match(query, m, folder)) {
        return [name = std::regex_replace(m.str(1), std::regex(R"(\\(.))"), "$1"), type = m.str(2),
                parent = m.str(3)](const File& f) {
            return f.name == name && f.mimeType == type &&
                   std::find(f.parents.begin(), f.parents.end(), parent) != f.parents.end();
        };
    }
    if (std::regex_match(query, m, marker)) {
        return [key = m.str(1), value = m.str(2)](const File& f) {
            return f.appProperties.contains(key) && f.appProperties.at(key) == value;
        };
    }
    return {};
}

std::string urlPath(const std::string& url) {
    const std::size_t scheme = url.find("://");
    const std::size_t start = scheme == std::string::npos ? 0 : url.find('/', scheme + 3);
    return start == std::string::npos ? "/" : url.substr(start, url.find('?', start) - start);
}

// The answer a word of a script stands for; transport failures are thrown.
DriveHTTPResponse scripted(const std::string& word) {
    const std::size_t colon = std::min(word.find(':'), word.size());
    const std::string kind = word.substr(0, colon);
    const std::string arg = word.substr(std::min(colon + 1, word.size()));
    if (kind == "timeout" || kind == "lost") {
        using enum TransportError::Kind;
        throw TransportError(kind == "timeout" ? timedOut : connectionLost, "scripted");
    }
    DriveHTTPResponse answer{kind == "held" ? 308 : kind == "retry" ? 429 : 200, {}, {}};
    if (kind == "new") {
        answer.headers["Location"] =
            arg.find("://") == std::string::npos ? FakeDrive::session + arg : arg;
    } else if (kind == "held" && arg != "0") {
        answer.headers["Range"] = "bytes=0-" + std::to_string(std::stoll(arg) - 1);
    } else if (kind == "file" || kind == "none") {
        answer.body = kind == "file" ? Json{{"id", arg}}.dump() : R"({"files":[]})";
    } else if (kind == "retry") {
        answer.headers["Retry-After"] = arg;
    } else if (kind != "held") {
        const bool reason = !arg.empty() && std::isalpha(static_cast<unsigned char>(arg[0]));
        answer = reason ? errorAnswer(std::stoi(kind), arg)
                        : DriveHTTPResponse{std::stoi(kind), {}, arg};
    }
    return answer;
}

int portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return -1;
}

// Shuts down the server's end of the connection from `clientPort`, or of every connection when
// it is -1: the sockets of this process whose own port is the server's and whose peer's is the
// client's (the client's end is the other way round). Returns how many there were. The server
// library does not hand its sockets to a handler.
int dropConnections(int serverPort, int clientPort) {
    int dropped = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = -1;
        const std::string name = entry.path().filename();
        std::from_chars(name.data(), name.data() + name.size(), fd);
        sockaddr_storage own{}, peer{};
        socklen_t ownLength = sizeof own, peerLength = sizeof peer;
        if (fd >= 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0 &&
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 &&
            portOf(own) == serverPort && (clientPort == -1 || portOf(peer) == clientPort)) {
            ::shutdown(fd, SHUT_RDWR);
            ++dropped;
        }
    }
    return dropped;
}

}  // namespace

// --- The Drive -------------------------------------------------------------------------------

DriveHTTPResponse FakeDrive::send(const DriveHTTPRequest& request, std::stop_token) {
    Hook hook;
    {
        const std::lock_guard lock(mutex_);
        // A client that never stops asking fails its test instead of hanging it.
        if (requests_.size() == 1000) {
            throw std::runtime_error("fake Drive: a thousand requests");
        }
        requests_.push_back(request);
        hook = hook_;
    }
    const Serve serve = [&] {
        const std::lock_guard lock(mutex_);
        return this->serve(request);
    };
    DriveHTTPResponse answer = hook ? hook(request, serve) : serve();
    // Whoever gave the answer, Drive sends only the fields that were asked for.
    const std::string fields =
        urlQuery(request.url).emplace("fields", "id,name,mimeType").first->second;
    const Json body = Json::parse(answer.body, nullptr, false);
    if (answer.status / 100 == 2 && body.is_object()) {
        answer.body = selected(body, fields).dump();
    }
    return answer;
}

DriveHTTPResponse FakeDrive::serve(const DriveHTTPRequest& request) {
    const std::string path = urlPath(request.url);
    const bool post = request.method == "POST";
    std::map<std::string, std::string> query = urlQuery(request.url);
    const Json body = Json::parse(request.body.empty() ? "{}" : request.body, nullptr, false);
    const std::string number = std::to_string(++counter_);

    if (path == "/drive/v3/files" && post) {
        files_.push_back(fileFrom(body, "folder-" + number));
        return jsonAnswer(fileJSON(files_.back(), endpoints_));
    }
    if (path == "/drive/v3/files") {
        const auto matches = matcher(query["q"]);
        Json found = Json::array();
        for (const File& file : files_) {
            if (matches && matches(file)) {
                found.push_back(fileJSON(file, endpoints_));
            }
        }
        return matches ? jsonAnswer({{"files", found}}) : errorAnswer(400, "invalidQuery");
    }
    if (path == "/upload/drive/v3/files" && post && query["uploadType"] == "resumable") {
        sessions_[number] = {fileFrom(body, ""),
                             std::stoll(request.header("X-Upload-Content-Length").value())};
        const std::string url = request.url.substr(request.url.find("/upload/"));
        return {200, {{"Location", endpoints_.apiBase + url + "&upload_id=" + number}}, {}};
    }
    if (path == "/upload/drive/v3/files" && sessions_.contains(query["upload_id"])) {
        // "bytes */<total>" asks where the session stands; "bytes <first>-<last>/<total>" carries
        // bytes from <first> on, which replace what the session held from there.
        auto& [upload, total] = sessions_[query["upload_id"]];
        if (const File* done = find(upload.id)) {
            return jsonAnswer(fileJSON(*done, endpoints_));
        }
        const std::string range = request.header("Content-Range").value_or("");
        if (!range.starts_with("bytes *")) {
            upload.content = upload.content.substr(0, std::stoull(range.substr(6))) + request.body;
        }
        if (std::ssize(upload.content) < total) {
            const std::string last = std::to_string(std::ssize(upload.content) - 1);
            return {308, upload.content.empty() ? Headers{} : Headers{{"Range", "bytes=0-" + last}},
                    ""};
        }
        upload.id = "file-" + number;
        files_.push_back(upload);
        return jsonAnswer(fileJSON(upload, endpoints_));
    }
    constexpr std::string_view filePath = "/drive/v3/files/";
    const std::string rest = path.substr(std::min(path.size(), filePath.size()));
    File* file = path.starts_with(filePath) ? find(rest.substr(0, rest.find('/'))) : nullptr;
    if (file == nullptr) {
        return errorAnswer(404, "notFound");
    }
    if (!rest.ends_with("/permissions")) {
        return jsonAnswer(fileJSON(*file, endpoints_));
    }
    if (post) {
        file->permissions.push_back(body);
        return jsonAnswer({{"id", number}});
    }
    Json listed = file->permissions;
    for (std::size_t i = 0; i < listed.size(); ++i) {
        listed[i]["id"] = std::to_string(i);
    }
    return jsonAnswer({{"permissions", listed}});
}

FakeDrive::StoredFile* FakeDrive::find(const std::string& id) {
    const auto found =
        std::find_if(files_.begin(), files_.end(), [&](const File& f) { return f.id == id; });
    return found == files_.end() ? nullptr : &*found;
}

void FakeDrive::setHook(Hook hook) {
    const std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<DriveHTTPRequest> FakeDrive::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::optional<FakeDrive::StoredFile> FakeDrive::file(const std::string& id) const {
    const std::lock_guard lock(mutex_);
    const File* found = const_cast<FakeDrive*>(this)->find(id);
    return found ? std::optional(*found) : std::nullopt;
}

// --- FakeDriveServer ---------------------------------------------------------------------------

struct FakeDriveServer::Certificate {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{
        EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), &EVP_PKEY_free};
    std::unique_ptr<X509, decltype(&X509_free)> x509{X509_new(), &X509_free};
    std::string pem;

    Certificate() {
        X509* const cert = x509.get();
        X509_EXTENSION* names = X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name,
                                                    "IP:127.0.0.1,DNS:localhost");
        bool made = key && cert && names && X509_set_version(cert, X509_VERSION_3) == 1 &&
                    X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
                    X509_gmtime_adj(X509_getm_notAfter(cert), 86400) != nullptr &&
                    X509_set_pubkey(cert, key.get()) == 1 &&
                    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                               reinterpret_cast<const unsigned char*>("127.0.0.1"),
                                               -1, -1, 0) == 1 &&
                    X509_set_issuer_name(cert, X509_get_subject_name(cert)) == 1 &&
                    X509_add_ext(cert, names, -1) == 1;
        X509_EXTENSION_free(names);
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
        char* data = nullptr;
        made = made && X509_sign(cert, key.get(), EVP_sha256()) != 0 &&
               PEM_write_bio_X509(bio.get(), cert) == 1 && BIO_get_mem_data(bio.get(), &data) > 0;
        if (!made) {
            throw std::runtime_error("fake Drive server: no test certificate");
        }
        pem.assign(data, static_cast<std::size_t>(BIO_get_mem_data(bio.get(), &data)));
    }
};

FakeDriveServer::FakeDriveServer(Connections connections)
    : certificate_(std::make_unique<Certificate>()),
      server_(
          std::make_unique<httplib::SSLServer>(certificate_->x509.get(), certificate_->key.get())) {
    // A client that gives up mid-answer leaves the server writing into a closed connection.
    std::signal(SIGPIPE, SIG_IGN);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (!server_->is_valid() || port_ <= 0) {
        throw std::runtime_error("fake Drive server: cannot listen on 127.0.0.1");
    }
    DriveEndpoints endpoints;
    endpoints.apiBase = origin();
    endpoints.uploadHost = "127.0.0.1";
    drive = std::make_unique<FakeDrive>(
        endpoints, std::make_shared<URLSessionDriveHTTPTransport>(transportOptions()));
    const auto handler = [this](const httplib::Request& in, httplib::Response& out) {
        DriveHTTPRequest request{in.method, in.target, {}, in.body};
        request.headers.assign(in.headers.begin(), in.headers.end());
        {
            const std::lock_guard lock(mutex_);
            connections_.push_back(in.remote_port);
        }
        DriveHTTPResponse answer;
        try {
            answer = drive->send(request);
        } catch (const TransportError&) {
            // The answer written below then goes nowhere, and the server closes the connection.
            if (dropConnections(port_, in.remote_port) != 1) {
                throw std::runtime_error("fake Drive server: no connection to drop");
            }
            return;
        }
        out.status = answer.status;
        for (const auto& [name, value] : answer.headers) {
            out.set_header(name, value);
        }
        out.body = answer.body;
    };
    server_->Get(".*", handler).Post(".*", handler).Put(".*", handler);
    // By default one request per connection: an idle kept-alive connection holds stop() until it
    // times out. Connections wait in the listening socket's queue until the listener runs.
    if (connections == Connections::keptAlive) {
        server_->set_keep_alive_max_count(1000);
        server_->set_keep_alive_timeout(1);
    } else {
        server_->set_keep_alive_max_count(1);
    }
    listener_ = std::thread([this] { server_->listen_after_bind(); });
}

FakeDriveServer::~FakeDriveServer() {
    // stop() only takes effect once the listener runs.
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
    server_->stop();
    // A connection kept open for a further request would hold the server until it timed out.
    dropConnections(port_, -1);
    listener_.join();
}

std::vector<int> FakeDriveServer::connections() const {
    const std::lock_guard lock(mutex_);
    return connections_;
}

URLSessionDriveHTTPTransport::Options FakeDriveServer::transportOptions() const {
    URLSessionDriveHTTPTransport::Options options;
    options.trustedCertificatesPEM = certificate_->pem;
    options.loopbackOnly = true;
    return options;
}

// --- The client ------------------------------------------------------------------------------

FakeDrive::FakeDrive(DriveEndpoints endpoints, std::shared_ptr<DriveHTTPTransport> transport)
    : transport(transport ? std::move(transport)
                          : std::shared_ptr<DriveHTTPTransport>(std::shared_ptr<void>(), this)),
      journal(std::make_shared<FileDriveTransferJournal>(dir.file("journal"))),
      steps(std::make_shared<const DriveTransferSteps>(
          this->transport, journal, chunk,
          [this](std::uint64_t nanoseconds, std::stop_token stop) {
              waits.push_back(nanoseconds);
              throwIfCancelled(nullptr, stop);
          },
          DriveTransferSteps::Environment{endpoints, [](std::uint64_t bound) { return bound; },
                                          [] { return 1'710'504'000.0; }})),
      client(steps),
      endpoints_(std::move(endpoints)) {
    reset();
}

VerifiedArchive FakeDrive::archive(const std::string& name, const std::string& content) const {
    writeFile(dir.file(name), content);
    return VerifiedArchive{Uuid::random(), dir.file(name), std::ssize(content),
                           Sha256::hexOf(content)};
}

std::string FakeDrive::share(const VerifiedArchive& archive, DriveLinkRole role) {
    return outcomeOf([&] {
        result = client.shareArchive(archive, account, role, token(), progress(), stop.get_token());
    });
}

std::string FakeDrive::resume(const Uuid& jobID, const std::optional<std::string>& selected) {
    return outcomeOf([&] {
        result = client.resume(jobID, account, selected, token(), progress(), stop.get_token());
    });
}

std::string FakeDrive::verify(const Uuid& jobID) {
    return outcomeOf(
        [&] { result = client.verifiedLink(jobID, account, token(), stop.get_token()); });
}

void FakeDrive::script(const std::string& answers) {
    std::istringstream words(answers);
    script_.assign(std::istream_iterator<std::string>(words), {});
    next_ = 0;
}

std::string FakeDrive::sent() const {
    std::string line;
    for (const DriveHTTPRequest& request : requests()) {
        line += (line.empty() ? "" : ", ") + describe(request);
    }
    return line;
}

void FakeDrive::reset() {
    {
        const std::lock_guard lock(mutex_);
        requests_.clear();
    }
    reports.clear();
    waits.clear();
    result.reset();
    script("");
    at.clear();
    stop = {};
    setHook([this](const DriveHTTPRequest& request, const Serve& serve) {
        const auto found = at.find(describe(request));
        const std::string what = found == at.end() ? "" : found->second;
        if (what == "stop") {
            stop.request_stop();
        } else if (what.starts_with("quit")) {
            if (what == "quit reached") {
                serve();
            }
            throw TransportError(TransportError::Kind::cancelled, "application quit");
        }
        const std::size_t i = next_++;
        DriveHTTPResponse answer =
            i < script_.size() && script_[i] != "drive" ? scripted(script_[i]) : serve();
        if (what.starts_with('{')) {
            Json body = Json::parse(answer.body);
            body.merge_patch(Json::parse(what));
            answer.body = body.dump();
        }
        return answer;
    });
}

std::string describe(const DriveHTTPRequest& request) {
    const std::string path = urlPath(request.url);
    const Json body = Json::parse(request.body, nullptr, false);
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

std::map<std::string, std::string> urlQuery(const std::string& url) {
    httplib::Params items;
    httplib::detail::parse_query_text(url.substr(std::min(url.find('?'), url.size() - 1) + 1),
                                      items);
    return {items.begin(), items.end()};
}

DriveHTTPResponse errorAnswer(int status, const std::string& reason) {
    return DriveHTTPResponse{
        status, {}, Json{{"error", {{"code", status}, {"errors", {{{"reason", reason}}}}}}}.dump()};
}

}  // namespace tolvane::test
