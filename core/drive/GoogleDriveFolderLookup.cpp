// The folder and file lookups of the Drive client.

#include <time.h>

#include <cmath>
#include <cstdio>
#include <set>
#include <utility>

#include "core/common/Posix.h"
#include "core/common/StrictJson.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/DriveTransferSteps.h"

namespace tolvane {
namespace {

constexpr std::string_view folderMimeType = "application/vnd.google-apps.folder";
constexpr std::string_view topFolderName = "ZUD ERO";
constexpr std::string_view filesPath = "/drive/v3/files";
constexpr std::string_view pageSize = "100";

// A name inside a quoted query literal. The backslash is escaped as well as the apostrophe:
// left alone, a name ending in "\" would escape the closing quote and change the query.
std::string queryLiteral(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (const char c : name) {
        if (c == '\\' || c == '\'') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

struct YearMonth {
    int year = 0;
    int month = 0;  // 1 to 12
};

YearMonth localYearMonth(double unixSeconds) {
    const auto seconds = static_cast<time_t>(std::floor(unixSeconds));
    struct tm local {};
    if (::localtime_r(&seconds, &local) == nullptr) {
        posix::throwLastError("local time");
    }
    return YearMonth{local.tm_year + 1900, local.tm_mon + 1};
}

}  // namespace

std::string DriveTransferSteps::targetFolder(const AccessToken& token, std::stop_token stop) const {
    const YearMonth date = localYearMonth(now());
    // tm_mon + 1 is always 1 to 12: two digits with a leading zero.
    const std::string month = (date.month < 10 ? "0" : "") + std::to_string(date.month);
    const std::string top = ensureFolder(topFolderName, "root", token, stop);
    const std::string year = ensureFolder(std::to_string(date.year), top, token, stop);
    return ensureFolder(month, year, token, stop);
}

std::string DriveTransferSteps::ensureFolder(std::string_view name, std::string_view parent,
                                             const AccessToken& token, std::stop_token stop) const {
    std::string query = "name = '";
    query += queryLiteral(name);
    query += "' and mimeType = '";
    query += folderMimeType;
    query += "' and '";
    query += parent;
    query += "' in parents and trashed = false";
    const std::vector<DriveFile> found =
        listFiles(query, "files(id,name),nextPageToken", token, stop);
    if (!found.empty()) {
        return found.front().id;
    }

    StrictJson::OrderedValue body = StrictJson::OrderedValue::object();
    body["name"] = std::string(name);
    body["mimeType"] = std::string(folderMimeType);
    body["parents"] = StrictJson::OrderedValue::array({std::string(parent)});
    const DriveHTTPResponse response = checked("POST", apiURL(filesPath), StrictJson::encode(body),
                                               "application/json", {}, token, stop);
    return decodedFile(response.body).id;
}

std::optional<DriveFile> DriveTransferSteps::findUploadedFile(std::string_view key,
                                                              const AccessToken& token,
                                                              std::stop_token stop) const {
    std::string query = "appProperties has { key='tolvaneTransfer' and value='";
    query += key;
    query += "' } and trashed = false";
    std::vector<DriveFile> found = listFiles(
        query, "files(id,size,md5Checksum,sha256Checksum,webViewLink,trashed),nextPageToken", token,
        stop);
    if (found.empty()) {
        return std::nullopt;
    }
    return std::move(found.front());
}

std::vector<DriveFile> DriveTransferSteps::listFiles(std::string_view query,
                                                     std::string_view fields,
                                                     const AccessToken& token,
                                                     std::stop_token stop) const {
    std::set<std::string> seenTokens;
    std::optional<std::string> pageToken;
    for (;;) {
        QueryItems items = {{"q", std::string(query)},
                            {"fields", std::string(fields)},
                            {"pageSize", std::string(pageSize)}};
        if (pageToken) {
            items.emplace_back("pageToken", *pageToken);
        }
        const DriveHTTPResponse response =
            checked("GET", apiURL(filesPath, items), {}, std::nullopt, {}, token, stop);
        DriveFileList page = decodedFileList(response.body);
        if (!page.files.empty()) {
            return std::move(page.files);
        }
        if (!page.nextPageToken) {
            return {};
        }
        // A server that hands out the same token again would keep us asking for ever.
        if (!seenTokens.insert(*page.nextPageToken).second) {
            throw DriveTransferError::invalidResponse();
        }
        pageToken = std::move(page.nextPageToken);
    }
}

}  // namespace tolvane
