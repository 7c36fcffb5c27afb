#include "core/drive/DriveHTTP.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tolvane {
namespace {

TEST(DriveHTTPTest, HeaderNamesIgnoreOnlyASCIICase) {
    DriveHTTPResponse response{308, {{"Range", "bytes=0-9"}, {"\xC3\x84rger", "umlaut"}}, {}};
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"range", "bytes=0-9"},   {"RANGE", "bytes=0-9"},         {"Rang", std::nullopt},
        {"Range ", std::nullopt}, {"\xC3\xA4rger", std::nullopt}, {"\xC3\x84RGER", "umlaut"},
    };
    for (const auto& [name, value] : cases) {
        EXPECT_EQ(response.header(name), value) << name;
    }
    DriveHTTPRequest request;
    request.setHeader("Authorization", "Bearer old");
    request.setHeader("Content-Type", "application/json");
    request.setHeader("authorization", "Bearer new");
    EXPECT_EQ(request.headers,
              (std::vector<std::pair<std::string, std::string>>{
                  {"Authorization", "Bearer new"}, {"Content-Type", "application/json"}}));
}

}  // namespace
}  // namespace tolvane
