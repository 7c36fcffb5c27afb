#include "core/common/PathText.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

struct Pair {
    std::string input;
    std::string expected;
};

TEST(PathTextTest, StandardizedIsLexical) {
    const Pair cases[] = {
        {"", ""},
        {"/", "/"},
        {"//", "/"},
        {"/a//b///c/", "/a/b/c"},
        {"/a/./b/.", "/a/b"},
        {"/a/b/../c", "/a/c"},
        {"/a/b/../../..", "/"},
        {"/../a", "/a"},
        {"/a/..b/c..", "/a/..b/c.."},  // only whole ".." components climb
        {"a/b/..", "a"},
        {"a/..", "."},
        {"./", "."},
        {"../a", "../a"},
        {"a/../../b", "../b"},
        {"../../a/..", "../.."},
        {"/home/\xED\x95\x9C/./x", "/home/\xED\x95\x9C/x"},
        {"/bytes/\xFF\xFE/..", "/bytes"},  // names are bytes, not text
    };
    for (const Pair& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(PathText::standardized(c.input), c.expected);
    }
}

TEST(PathTextTest, ComponentsAndParents) {
    struct Case {
        std::string path;
        std::string last;
        std::string parent;
    };
    const Case cases[] = {
        {"", "", ""},           {"/", "/", "/"},     {"///", "/", "/"},
        {"/a", "a", "/"},       {"/a/b", "b", "/a"}, {"/a/b/", "b", "/a"},
        {"/a//b//", "b", "/a"}, {"a", "a", ""},      {"a/b", "b", "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(PathText::lastComponent(c.path), c.last);
        EXPECT_EQ(PathText::deletingLastComponent(c.path), c.parent);
    }
}

TEST(PathTextTest, Appending) {
    struct Case {
        std::string path;
        std::string component;
        std::string expected;
    };
    const Case cases[] = {
        {"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"/a//", "/b", "/a/b"},    {"/", "b", "/b"},
        {"", "b", "b"},      {"/a", "", "/a"},     {"/a", "b/c/", "/a/b/c/"}, {"a", "..", "a/.."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " + " + c.component);
        EXPECT_EQ(PathText::appending(c.path, c.component), c.expected);
    }
}

TEST(PathTextTest, PathExtension) {
    struct Case {
        std::string path;
        std::string extension;
        std::string withoutExtension;
    };
    const Case cases[] = {
        {"report.pdf", "pdf", "report"},
        {"archive.tar.gz", "gz", "archive.tar"},
        {"/dir.d/file", "", "/dir.d/file"},  // a dot in a parent is not an extension
        {"/dir/file.txt", "txt", "/dir/file"},
        {".profile", "", ".profile"},
        {"..profile", "profile", "."},
        {".config.json", "json", ".config"},
        {"notes.", "", "notes."},
        {"a..b", "b", "a."},
        {"noext", "", "noext"},
        {"", "", ""},
        {"/", "", "/"},
        {"\xEB\xB3\xB4\xEA\xB3\xA0.\xED\x95\x9C", "\xED\x95\x9C", "\xEB\xB3\xB4\xEA\xB3\xA0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(PathText::pathExtension(c.path), c.extension);
        EXPECT_EQ(PathText::deletingPathExtension(c.path), c.withoutExtension);
    }
}

TEST(PathTextTest, DirectoryURLHasTrailingSlash) {
    EXPECT_TRUE(PathText::isDirectoryURL("/a/"));
    EXPECT_TRUE(PathText::isDirectoryURL("/"));
    EXPECT_FALSE(PathText::isDirectoryURL("/a"));
    EXPECT_FALSE(PathText::isDirectoryURL(""));
}

}  // namespace
}  // namespace tolvane
