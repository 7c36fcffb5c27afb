#include "core/common/PathText.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

TEST(PathTextTest, LexicalOperations) {
    using PathText::standardized;
    const std::pair<std::string, std::string> cases[] = {
        {standardized("//"), "/"},
        {standardized("/a//b/./c/"), "/a/b/c"},
        {standardized("/a/b/../../.."), "/"},
        {standardized("/a/..b/c.."), "/a/..b/c.."},  // only whole ".." components climb
        {standardized("a/.."), "."},
        {standardized("a/../../b"), "../b"},
        {standardized("/bytes/\xFF\xFE/.."), "/bytes"},  // names are bytes, not text
        {PathText::lastComponent("/a//b//"), "b"},
        {PathText::lastComponent("///"), "/"},
        {PathText::deletingLastComponent("/a"), "/"},
        {PathText::deletingLastComponent("a"), ""},
        {PathText::appending("/a//", "/b"), "/a/b"},
        {PathText::appending("", "b"), "b"},
        {PathText::appending("/a", ""), "/a"},
        {PathText::pathExtension("archive.tar.gz"), "gz"},
        {PathText::pathExtension("/dir.d/file"), ""},  // a dot in a parent is not an extension
        {PathText::pathExtension(".profile"), ""},
        {PathText::pathExtension("notes."), ""},
        {PathText::deletingPathExtension("..profile"), "."},
        {PathText::deletingPathExtension("/dir/\xED\x95\x9C.txt"), "/dir/\xED\x95\x9C"},
        {std::to_string(PathText::isDirectoryURL("/a/")) +
             std::to_string(PathText::isDirectoryURL("/a")) +
             std::to_string(PathText::isDirectoryURL("")),
         "100"}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].first, cases[i].second) << i;
    }
}

}  // namespace
}  // namespace tolvane
