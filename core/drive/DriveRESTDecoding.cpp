#include "core/drive/DriveRESTDecoding.h"

#include "core/common/StrictJson.h"

namespace tolvane::DriveRESTDecoding {
namespace {

using StrictJson::ObjectReader;

DriveFile fileFrom(const ObjectReader& reader) {
    DriveFile file;
    file.id = reader.text("id");
    file.size = reader.optionalText("size");
    file.sha256Checksum = reader.optionalText("sha256Checksum");
    file.md5Checksum = reader.optionalText("md5Checksum");
    file.webViewLink = reader.optionalText("webViewLink");
    file.trashed = reader.optionalFlag("trashed");
    return file;
}

DrivePermission permissionFrom(const ObjectReader& reader) {
    DrivePermission permission;
    permission.id = reader.text("id");
    permission.type = reader.text("type");
    permission.role = reader.text("role");
    permission.allowFileDiscovery = reader.optionalFlag("allowFileDiscovery");
    return permission;
}

// Every element must itself be an object of the element shape; a null element is refused.
template <typename Element, typename Decode>
std::vector<Element> arrayOf(const ObjectReader& reader, std::string_view key, Decode decode) {
    std::vector<Element> elements;
    for (const StrictJson::Value& element : reader.array(key)) {
        elements.push_back(decode(ObjectReader(element)));
    }
    return elements;
}

}  // namespace

DriveFile decodeFile(std::string_view body) {
    const StrictJson::Value object = StrictJson::parseObject(body);
    return fileFrom(ObjectReader(object));
}

DriveFileList decodeFileList(std::string_view body) {
    const StrictJson::Value object = StrictJson::parseObject(body);
    const ObjectReader reader(object);
    DriveFileList list;
    list.files = arrayOf<DriveFile>(reader, "files", fileFrom);
    list.nextPageToken = reader.optionalText("nextPageToken");
    return list;
}

DrivePermissionList decodePermissionList(std::string_view body) {
    const StrictJson::Value object = StrictJson::parseObject(body);
    const ObjectReader reader(object);
    DrivePermissionList list;
    list.permissions = arrayOf<DrivePermission>(reader, "permissions", permissionFrom);
    list.nextPageToken = reader.optionalText("nextPageToken");
    return list;
}

}  // namespace tolvane::DriveRESTDecoding
