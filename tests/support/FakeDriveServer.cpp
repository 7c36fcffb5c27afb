#include "support/FakeDriveServer.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <httplib.h>

#include <csignal>
#include <stdexcept>

namespace tolvane::test {

struct FakeDriveServer::Certificate {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{
        EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), &EVP_PKEY_free};
    std::unique_ptr<X509, decltype(&X509_free)> x509{X509_new(), &X509_free};
    std::string pem;

    Certificate() {
        X509* const cert = x509.get();
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
        bool made = key && cert && X509_set_version(cert, X509_VERSION_3) == 1 &&
                    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) == 1 &&
                    X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
                    X509_gmtime_adj(X509_getm_notAfter(cert), 86400) != nullptr &&
                    X509_set_pubkey(cert, key.get()) == 1 &&
                    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                               reinterpret_cast<const unsigned char*>("127.0.0.1"),
                                               -1, -1, 0) == 1 &&
                    X509_set_issuer_name(cert, X509_get_subject_name(cert)) == 1;
        for (const auto& [nid, value] :
             {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
              std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
            made = made && extension != nullptr && X509_add_ext(cert, extension, -1) == 1;
            X509_EXTENSION_free(extension);
        }
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

FakeDriveServer::FakeDriveServer()
    : certificate_(std::make_unique<Certificate>()),
      server_(
          std::make_unique<httplib::SSLServer>(certificate_->x509.get(), certificate_->key.get())) {
    // A client that gives up mid-answer leaves the server writing into a closed connection.
    std::signal(SIGPIPE, SIG_IGN);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (!server_->is_valid() || port_ <= 0) {
        throw std::runtime_error("fake Drive server: cannot listen on 127.0.0.1");
    }
    service = std::make_shared<FakeDriveService>(endpoints());
    const auto handler = [this](const httplib::Request& in, httplib::Response& out) {
        DriveHTTPRequest request{in.method, in.target, {}, in.body};
        for (const auto& [name, value] : in.headers) {
            request.headers.emplace_back(name, value);
        }
        const DriveHTTPResponse answer = service->handle(request);
        out.status = answer.status;
        for (const auto& [name, value] : answer.headers) {
            out.set_header(name, value);
        }
        out.body = answer.body;
    };
    server_->Get(".*", handler).Post(".*", handler).Put(".*", handler);
    // One request per connection: an idle kept-alive connection would hold stop() until it timed
    // out. Connections wait in the listening socket's queue until the listener runs.
    server_->set_keep_alive_max_count(1);
    listener_ = std::thread([this] { server_->listen_after_bind(); });
}

FakeDriveServer::~FakeDriveServer() {
    // stop() only takes effect once the listener runs.
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
    server_->stop();
    listener_.join();
}

std::string FakeDriveServer::origin(const std::string& host) const {
    return "https://" + host + ":" + std::to_string(port_);
}

DriveEndpoints FakeDriveServer::endpoints() const {
    DriveEndpoints endpoints;
    endpoints.apiBase = origin();
    endpoints.uploadHost = "127.0.0.1";
    return endpoints;
}

URLSessionDriveHTTPTransport::Options FakeDriveServer::transportOptions() const {
    URLSessionDriveHTTPTransport::Options options;
    options.trustedCertificatesPEM = certificate_->pem;
    options.loopbackOnly = true;
    return options;
}

std::shared_ptr<URLSessionDriveHTTPTransport> FakeDriveServer::transport() const {
    return std::make_shared<URLSessionDriveHTTPTransport>(transportOptions());
}

}  // namespace tolvane::test
