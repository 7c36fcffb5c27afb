#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// The shapes of Drive REST answers the client reads. Keys not listed are ignored; an optional
// field is absent when its key is missing or null.
struct DriveFile {
    std::string id;
    std::optional<std::string> size;  // decimal digits; a JSON number is refused
    std::optional<std::string> sha256Checksum;
    std::optional<std::string> md5Checksum;
    std::optional<std::string> webViewLink;
    std::optional<bool> trashed;

    friend bool operator==(const DriveFile&, const DriveFile&) = default;
};

struct DriveFileList {
    std::vector<DriveFile> files;
    std::optional<std::string> nextPageToken;

    friend bool operator==(const DriveFileList&, const DriveFileList&) = default;
};

struct DrivePermission {
    std::string id;
    std::string type;
    std::string role;  // raw text, compared with a DriveLinkRole's raw value by its reader
    std::optional<bool> allowFileDiscovery;

    friend bool operator==(const DrivePermission&, const DrivePermission&) = default;
};

struct DrivePermissionList {
    std::vector<DrivePermission> permissions;
    std::optional<std::string> nextPageToken;

    friend bool operator==(const DrivePermissionList&, const DrivePermissionList&) = default;
};

// Each decodes a response body holding one JSON object and throws StrictJson::DecodeError when
// the body is not such an object, a required key is missing, or a value has the wrong JSON type.
namespace DriveRESTDecoding {

DriveFile decodeFile(std::string_view body);
DriveFileList decodeFileList(std::string_view body);
DrivePermissionList decodePermissionList(std::string_view body);

}  // namespace DriveRESTDecoding
}  // namespace tolvane
