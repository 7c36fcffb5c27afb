#include "support/FakeDriveServer.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <stdexcept>

namespace tolvane::test {
namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct CertificateDeleter {
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};
struct BioDeleter {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Certificate = std::unique_ptr<X509, CertificateDeleter>;
using Bio = std::unique_ptr<BIO, BioDeleter>;

[[noreturn]] void fail(const std::string& what) {
    const unsigned long code = ERR_get_error();
    char text[256] = "no OpenSSL error";
    if (code != 0) {
        ERR_error_string_n(code, text, sizeof text);
    }
    throw std::runtime_error("test certificate: " + what + ": " + text);
}

void require(int result, const char* what) {
    if (result != 1) {
        fail(what);
    }
}

Key newKey() {
    Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) {
        fail("key generation");
    }
    return key;
}

void addExtension(X509* certificate, X509V3_CTX& context, int nid, const char* value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) {
        fail(std::string("extension ") + OBJ_nid2sn(nid));
    }
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    require(added, "adding an extension");
}

// `issuer` null: self-signed with `key`.
Certificate newCertificate(EVP_PKEY* key, const char* commonName, X509* issuer,
                           EVP_PKEY* issuerKey) {
    Certificate certificate(X509_new());
    if (!certificate) {
        fail("X509_new");
    }
    X509* const cert = certificate.get();
    require(X509_set_version(cert, X509_VERSION_3), "version");
    std::uint64_t serial = 0;
    require(RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial), "serial");
    require(ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial >> 1), "serial");
    if (X509_gmtime_adj(X509_getm_notBefore(cert), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400) == nullptr) {
        fail("validity");
    }
    require(X509_set_pubkey(cert, key), "public key");
    X509_NAME* name = X509_get_subject_name(cert);
    require(
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0),
        "subject");
    require(X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : name),
            "issuer");

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer != nullptr ? issuer : cert, cert, nullptr, nullptr, 0);
    if (issuer == nullptr) {
        addExtension(cert, context, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
        addExtension(cert, context, NID_key_usage, "critical,keyCertSign,cRLSign");
        addExtension(cert, context, NID_subject_key_identifier, "hash");
    } else {
        addExtension(cert, context, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert, context, NID_key_usage, "critical,digitalSignature");
        addExtension(cert, context, NID_ext_key_usage, "serverAuth");
        addExtension(cert, context, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
        addExtension(cert, context, NID_subject_key_identifier, "hash");
        addExtension(cert, context, NID_authority_key_identifier, "keyid:always");
    }
    if (X509_sign(cert, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0) {
        fail("signing");
    }
    return certificate;
}

std::string pemOf(X509* certificate) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        fail("BIO_new");
    }
    require(PEM_write_bio_X509(bio.get(), certificate), "PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    if (size <= 0 || data == nullptr) {
        fail("PEM");
    }
    return std::string(data, static_cast<std::size_t>(size));
}

void setHeaders(httplib::Response& out, const DriveHTTPResponse& answer) {
    out.status = answer.status;
    for (const auto& [name, value] : answer.headers) {
        out.set_header(name, value);
    }
}

// Without an answer: what the client sees when the server goes away mid-exchange.
void dropConnection(const httplib::Request& request) {
    if (request.ssl != nullptr) {
        ::shutdown(SSL_get_fd(request.ssl), SHUT_RDWR);
    }
}

// Fields httplib adds to every request for its handlers; no client sent them.
bool isAddedByTheServer(const std::string& name) {
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
           name == "LOCAL_PORT";
}

}  // namespace

// --- LoopbackCertificate ----------------------------------------------------------------------

struct LoopbackCertificate::Keys {
    Key authorityKey;
    Certificate authority;
    Key serverKey;
    Certificate server;
};

LoopbackCertificate::LoopbackCertificate() : keys_(std::make_unique<Keys>()) {
    keys_->authorityKey = newKey();
    keys_->authority =
        newCertificate(keys_->authorityKey.get(), "Tolvane Test Authority", nullptr, nullptr);
    keys_->serverKey = newKey();
    keys_->server = newCertificate(keys_->serverKey.get(), "127.0.0.1", keys_->authority.get(),
                                   keys_->authorityKey.get());
    authorityPEM_ = pemOf(keys_->authority.get());
}

LoopbackCertificate::~LoopbackCertificate() = default;

X509* LoopbackCertificate::certificate() const noexcept {
    return keys_->server.get();
}

EVP_PKEY* LoopbackCertificate::key() const noexcept {
    return keys_->serverKey.get();
}

// --- FakeDriveServer ----------------------------------------------------------------------------

std::optional<std::string> FakeDriveServer::ReceivedRequest::header(std::string_view name) const {
    for (const auto& [field, value] : headers) {
        if (headerNamesEqual(field, name)) {
            return value;
        }
    }
    return std::nullopt;
}

FakeDriveServer::FakeDriveServer() {
    // A client that gives up mid-answer leaves the server writing into a closed connection;
    // that must be a failed write, not the end of the test program.
    static const bool sigpipeIgnored = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    static_cast<void>(sigpipeIgnored);
    // The service forms its session URLs on the server's origin, so the port comes first.
    std::unique_ptr<httplib::SSLServer> server = boundServer();
    service_ = std::make_unique<FakeDriveService>(endpoints());
    listen(std::move(server));
}

FakeDriveServer::~FakeDriveServer() {
    stop();
}

std::string FakeDriveServer::origin(std::string_view host) const {
    return "https://" + std::string(host) + ":" + std::to_string(port_);
}

DriveEndpoints FakeDriveServer::endpoints() const {
    DriveEndpoints endpoints;
    endpoints.apiBase = origin();
    endpoints.uploadScheme = "https";
    endpoints.uploadHost = "127.0.0.1";
    return endpoints;
}

URLSessionDriveHTTPTransport::Options FakeDriveServer::transportOptions() const {
    URLSessionDriveHTTPTransport::Options options;
    options.trustedCertificatesPEM = authorityPEM();
    options.loopbackOnly = true;
    return options;
}

std::shared_ptr<URLSessionDriveHTTPTransport> FakeDriveServer::transport() const {
    return std::make_shared<URLSessionDriveHTTPTransport>(transportOptions());
}

void FakeDriveServer::start() {
    if (!server_) {
        listen(boundServer());
    }
}

std::unique_ptr<httplib::SSLServer> FakeDriveServer::boundServer() {
    auto server =
        std::make_unique<httplib::SSLServer>(certificate_.certificate(), certificate_.key());
    if (!server->is_valid()) {
        throw std::runtime_error("fake Drive server: no TLS context");
    }
    // One request per connection: an idle kept-alive connection would hold stop() until it
    // timed out, and a dropped request must not be repeated on another one.
    server->set_keep_alive_max_count(1);
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->Put(".*", handler);
    server->Patch(".*", handler);
    server->Delete(".*", handler);
    server->Options(".*", handler);

    if (port_ == 0) {
        const int port = server->bind_to_any_port("127.0.0.1");
        if (port <= 0) {
            throw std::runtime_error("fake Drive server: no port on 127.0.0.1");
        }
        port_ = port;
    } else if (!server->bind_to_port("127.0.0.1", port_)) {
        throw std::runtime_error("fake Drive server: port " + std::to_string(port_) + " is taken");
    }
    return server;
}

void FakeDriveServer::listen(std::unique_ptr<httplib::SSLServer> server) {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    httplib::SSLServer* const listening = server.get();
    auto ended = std::make_shared<std::atomic<bool>>(false);
    listener_ = std::thread([listening, ended] {
        listening->listen_after_bind();
        *ended = true;
    });
    // stop() only takes effect once the server runs; until then connections simply wait in the
    // listening socket's queue.
    while (!listening->is_running()) {
        if (*ended) {
            listener_.join();
            throw std::runtime_error("fake Drive server: did not start");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    server_ = std::move(server);
}

void FakeDriveServer::stop() {
    if (!server_) {
        return;
    }
    // The listening socket goes first, so that a client whose request is dropped below finds
    // the server gone rather than answering again.
    server_->stop();
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    listener_.join();
    server_.reset();
}

void FakeDriveServer::setInterceptor(Interceptor interceptor) {
    const std::lock_guard lock(mutex_);
    interceptor_ = std::move(interceptor);
}

bool FakeDriveServer::waitForHeld(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return held_.size() >= count; });
}

void FakeDriveServer::releaseHeld() {
    std::unique_lock lock(mutex_);
    const std::uint64_t released = releases_++;
    changed_.notify_all();
    // Once this returns, no request held before it still counts for waitForHeld().
    changed_.wait(lock, [&] { return held_.empty() || *held_.begin() > released; });
}

std::vector<FakeDriveServer::ReceivedRequest> FakeDriveServer::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

void FakeDriveServer::clearRequests() {
    const std::lock_guard lock(mutex_);
    requests_.clear();
}

void FakeDriveServer::holdUntilReleased() {
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = releases_;
    const auto entry = held_.insert(generation);
    changed_.notify_all();
    changed_.wait(lock, [&] { return releases_ != generation || stopping_; });
    held_.erase(entry);
    changed_.notify_all();
}

void FakeDriveServer::handle(const httplib::Request& request, httplib::Response& response) {
    ReceivedRequest received;
    received.method = request.method;
    received.target = request.target;
    received.bodySize = request.body.size();
    for (const auto& [name, value] : request.headers) {
        if (!isAddedByTheServer(name)) {
            received.headers.emplace_back(name, value);
        }
    }
    Interceptor interceptor;
    {
        const std::lock_guard lock(mutex_);
        requests_.push_back(received);
        interceptor = interceptor_;
    }
    Action action = interceptor ? interceptor(received) : Action::serve();

    switch (action.kind) {
        case Action::Kind::serve: {
            const DriveHTTPResponse answer =
                service_->handle(request.method, request.target, received.headers, request.body);
            setHeaders(response, answer);
            response.body = answer.body;
            return;
        }
        case Action::Kind::answer:
            setHeaders(response, action.response);
            response.body = action.response.body;
            return;
        case Action::Kind::drop:
            dropConnection(request);
            return;
        case Action::Kind::hold:
            holdUntilReleased();
            dropConnection(request);
            return;
        case Action::Kind::stallBody: {
            auto body = std::make_shared<std::string>(std::move(action.response.body));
            const std::size_t sent = std::min(action.bytesBeforeStall, body->size());
            const std::string contentType =
                action.response.header("Content-Type").value_or("application/octet-stream");
            action.response.headers.erase("Content-Type");
            setHeaders(response, action.response);
            response.set_content_provider(
                body->size(), contentType,
                [this, body, sent](std::size_t offset, std::size_t length,
                                   httplib::DataSink& sink) {
                    if (offset < sent) {
                        return sink.write(body->data() + offset, std::min(length, sent - offset));
                    }
                    holdUntilReleased();
                    return false;
                });
            return;
        }
    }
}

}  // namespace tolvane::test
