#pragma once

#include <memory>
#include <string>
#include <thread>

#include "core/drive/DriveEndpoints.h"
#include "core/drive/URLSessionDriveHTTPTransport.h"
#include "support/FakeDriveService.h"

namespace httplib {
class SSLServer;
}

namespace tolvane::test {

// The FakeDriveService behind a real HTTPS server on 127.0.0.1:<ephemeral port>, with a
// self-signed certificate for 127.0.0.1 and "localhost" made when the server is (EC P-256, valid
// from an hour ago for a day, never written to disk). Requests are answered on background threads.
class FakeDriveServer {
public:
    FakeDriveServer();
    ~FakeDriveServer();
    FakeDriveServer(const FakeDriveServer&) = delete;
    FakeDriveServer& operator=(const FakeDriveServer&) = delete;

    // Its session URLs point at this server.
    std::shared_ptr<FakeDriveService> service;

    // "https://<host>:<port>".
    std::string origin(const std::string& host = "127.0.0.1") const;
    // The API origin and upload host of this server; web links stay on Drive's web host.
    DriveEndpoints endpoints() const;
    // Trusts this server's certificate and nothing else; connects to loopback addresses only.
    URLSessionDriveHTTPTransport::Options transportOptions() const;
    std::shared_ptr<URLSessionDriveHTTPTransport> transport() const;

private:
    struct Certificate;
    std::unique_ptr<Certificate> certificate_;
    std::unique_ptr<httplib::SSLServer> server_;
    int port_ = 0;
    std::thread listener_;
};

}  // namespace tolvane::test
