#include "core/drive/DriveHTTP.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/common/StrictJson.h"
#include "core/drive/DriveRESTDecoding.h"
#include "core/drive/DriveTypes.h"

namespace tolvane {
namespace {

TEST(DriveHTTPTest, ResponseHeaderLookupIgnoresCase) {
    DriveHTTPResponse response;
    response.status = 308;
    response.headers = {
        {"Range", "bytes=0-262143"}, {"X-GUploader-UploadID", "abc"}, {"\xC3\x84rger", "umlaut"}};
    struct Case {
        std::string name;
        std::optional<std::string> value;
    };
    const std::vector<Case> cases = {
        {"range", "bytes=0-262143"},
        {"RANGE", "bytes=0-262143"},
        {"x-guploader-uploadid", "abc"},
        {"Location", std::nullopt},
        {"Rang", std::nullopt},
        {"Range ", std::nullopt},
        {"", std::nullopt},
        // Only ASCII letters fold: the same name with "ä" is another name.
        {"\xC3\xA4rger", std::nullopt},
        {"\xC3\x84RGER", "umlaut"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(response.header(c.name), c.value) << c.name;
    }
}

TEST(DriveHTTPTest, RequestKeepsOneFieldPerName) {
    DriveHTTPRequest request;
    request.setHeader("Authorization", "Bearer old");
    request.setHeader("Content-Type", "application/json");
    request.setHeader("authorization", "Bearer new");
    ASSERT_EQ(request.headers.size(), 2u);
    EXPECT_EQ(request.headers[0].first, "Authorization");
    EXPECT_EQ(request.header("AUTHORIZATION"), "Bearer new");
    EXPECT_EQ(request.timeout, std::chrono::seconds(60));
}

TEST(DriveHTTPTest, RawValuesMatchExactly) {
    EXPECT_EQ(driveLinkRole("reader"), DriveLinkRole::reader);
    EXPECT_EQ(driveLinkRole("writer"), DriveLinkRole::writer);
    const std::vector<std::string> roles = {"Reader", "WRITER",  "owner",
                                            "",       " reader", std::string("reader\0", 7)};
    for (const std::string& text : roles) {
        EXPECT_EQ(driveLinkRole(text), std::nullopt) << text;
    }
    EXPECT_EQ(driveTransferStage("publishing"), DriveTransferProgress::Stage::publishing);
    for (const std::string text : {"paused", "Hashing", ""}) {
        EXPECT_EQ(driveTransferStage(text), std::nullopt) << text;
    }
}

TEST(DriveHTTPTest, TransportErrorNamesItsKindAndDetail) {
    EXPECT_STREQ(TransportError(TransportError::Kind::connectionLost, "Recv failure").what(),
                 "network request connection lost: Recv failure");
}

TEST(DriveHTTPTest, AnswersDecode) {
    const DriveFile full = DriveRESTDecoding::decodeFile(
        R"({"id":"f1","size":"1048577","sha256Checksum":"aa","md5Checksum":"bb",)"
        R"("webViewLink":"https://drive.google.com/file/d/f1/view","trashed":false,"kind":"x"})");
    EXPECT_EQ(full, (DriveFile{"f1", "1048577", "aa", "bb",
                               "https://drive.google.com/file/d/f1/view", false}));
    EXPECT_EQ(
        DriveRESTDecoding::decodeFile(R"({"id":"f1","size":null,"trashed":null})"),
        (DriveFile{"f1", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt}));

    const DriveFileList list = DriveRESTDecoding::decodeFileList(
        R"({"files":[{"id":"a"},{"id":"b","trashed":true}],"nextPageToken":"t2"})");
    ASSERT_EQ(list.files.size(), 2u);
    EXPECT_EQ(list.files[1].trashed, true);
    EXPECT_EQ(list.nextPageToken, "t2");
    EXPECT_EQ(DriveRESTDecoding::decodeFileList(R"({"files":[]})"), DriveFileList{});

    EXPECT_EQ(DriveRESTDecoding::decodePermissionList(
                  R"({"permissions":[{"id":"anyoneWithLink","type":"anyone","role":"writer"},)"
                  R"({"id":"1","type":"user","role":"owner","allowFileDiscovery":true}]})"),
              (DrivePermissionList{{{"anyoneWithLink", "anyone", "writer", std::nullopt},
                                    {"1", "user", "owner", true}},
                                   std::nullopt}));
}

TEST(DriveHTTPTest, HostileAnswersFailToDecode) {
    using Decode = std::function<void(const std::string&)>;
    const Decode file = [](const std::string& b) { DriveRESTDecoding::decodeFile(b); };
    const Decode files = [](const std::string& b) { DriveRESTDecoding::decodeFileList(b); };
    const Decode permission = [](const std::string& b) { DriveRESTDecoding::decodePermission(b); };
    const Decode permissions = [](const std::string& b) {
        DriveRESTDecoding::decodePermissionList(b);
    };
    struct Case {
        const Decode* decode;
        std::string body;
    };
    const std::vector<Case> cases = {
        {&file, ""},
        {&file, "null"},
        {&file, R"(["id"])"},
        {&file, R"({})"},
        {&file, R"({"id":null})"},
        {&file, R"({"id":7})"},
        {&file, R"({"id":"f","size":1048577})"},  // a number where Drive sends text
        {&file, R"({"id":"f","trashed":"false"})"},
        {&file, R"({"id":"f","trashed":0})"},
        {&file, R"({"id":"f","id":"g"})"},  // which one would count?
        {&file, "{\"id\":\"\xff\"}"},
        {&file, R"({"id":"f"} trailing)"},
        {&file, std::string(100, '[') + std::string(100, ']')},
        {&files, R"({"nextPageToken":"t"})"},
        {&files, R"({"files":{"id":"a"}})"},
        {&files, R"({"files":[null]})"},
        {&files, R"({"files":["a"]})"},
        {&files, R"({"files":[{"id":"a"},{"size":"1"}]})"},
        {&files, R"({"files":[],"nextPageToken":5})"},
        {&permission, R"({"id":"p","type":"anyone"})"},
        {&permission, R"({"id":"p","type":"anyone","role":"reader","allowFileDiscovery":"no"})"},
        {&permissions, R"({"permissions":[{"id":"p","type":"anyone","role":1}]})"},
        {&permissions, R"({"permissions":null})"},
    };
    for (const Case& c : cases) {
        EXPECT_THROW((*c.decode)(c.body), StrictJson::DecodeError) << c.body.substr(0, 60);
    }
}

}  // namespace
}  // namespace tolvane
