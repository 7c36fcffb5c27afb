#pragma once

#include <string>

namespace tolvane {

// Where the Drive client sends its requests and which hosts it trusts in Drive's answers. The
// defaults are the public Google hosts; tests point them at a server on the loopback interface.
struct DriveEndpoints {
    // Origin to which the REST paths ("/drive/v3/...") and the upload path ("/upload/...") are
    // appended: scheme, host and optional port, no path and no trailing "/".
    std::string apiBase = "https://www.googleapis.com";
    // The only scheme and host an upload session URL may carry; a session URL naming anything
    // else is never contacted, so a bearer token cannot be sent to a host Drive did not own.
    std::string uploadScheme = "https";
    std::string uploadHost = "www.googleapis.com";
    // The only host accepted in a file's web link (whose scheme must be "https").
    std::string webHost = "drive.google.com";

    friend bool operator==(const DriveEndpoints&, const DriveEndpoints&) = default;
};

}  // namespace tolvane
