#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/archive/ArchivePipeline.h"
#include "core/archive/ArchiveValues.h"
#include "support/TempDir.h"
#include "support/TestData.h"

extern char** environ;

namespace tolvane {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

struct ToolRun {
    int status = -1;  // the exit status, or -1 when the tool could not be run
    std::string output;
};

// Runs the program found on PATH with stdout and stderr into one file, and waits for it.
ToolRun run(const std::vector<std::string>& arguments, const std::string& outputPath) {
    ToolRun result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    const int error = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        result.output = std::string("cannot start ") + argv[0] + ": " + std::strerror(error);
        return result;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.output = readFile(outputPath);
    return result;
}

std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Every independent reader must accept the archive and see `entries` entries. The tools come
// from install-deps; a missing one fails here rather than hiding the check.
void expectReadersAccept(const std::string& archive, std::uint64_t entries,
                         const TempDir& scratch) {
    const std::string log = scratch.file("tool.log");
    const std::string count = std::to_string(entries);
    const std::string python =
        "import sys, zipfile\n"
        "with zipfile.ZipFile(sys.argv[1]) as z:\n"
        "    bad = z.testzip()\n"
        "    print(len(z.infolist()))\n"
        "    sys.exit(0 if bad is None else 'bad entry: ' + bad)\n";
    struct Check {
        std::vector<std::string> command;
        // What the output must contain, or the number of lines it must have.
        std::optional<std::string> contains;
        std::optional<std::size_t> lines;
    };
    const std::vector<Check> checks = {
        {{"unzip", "-t", "-qq", archive}, std::nullopt, std::nullopt},
        {{"7z", "t", "-bd", archive}, "Everything is Ok", std::nullopt},
        {{"bsdtar", "-tf", archive}, std::nullopt, entries},
        {{"python3", "-c", python, archive}, count + "\n", std::nullopt},
    };
    for (const Check& check : checks) {
        SCOPED_TRACE(check.command.front());
        const ToolRun result = run(check.command, log);
        ASSERT_EQ(result.status, 0) << result.output.substr(0, 4000);
        if (check.contains) {
            EXPECT_NE(result.output.find(*check.contains), std::string::npos)
                << result.output.substr(0, 4000);
        }
        if (check.lines) {
            EXPECT_EQ(lineCount(result.output), *check.lines);
        }
    }
}

TEST(ArchiveInteropTest, OtherReadersAcceptWhatPackWrites) {
    TempDir root;
    const std::string src = root.file("자료");
    ASSERT_EQ(::mkdir(src.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((src + "/empty").c_str(), 0755), 0);
    writeFile(src + "/보고서.txt", test::textBytes(300'000));
    writeFile(src + "/block.bin", test::randomBytes(65'536, 7));
    writeFile(src + "/image.png", test::randomBytes(100'000, 8));
    writeFile(src + "/zero.txt", "");
    writeFile(src + "/Same.txt", "one");
    writeFile(src + "/SAME.txt", "two");  // renamed, so the archive ends with its manifest
    // An attribute rides in a private extra field that other readers must skip.
    ::setxattr((src + "/zero.txt").c_str(), "user.note", "kept", 4, 0);
    const std::uint64_t entries = 2 + 6 + 1;  // folders, files, manifest

    for (const ArchiveCompressionMode mode :
         {ArchiveCompressionMode::balanced, ArchiveCompressionMode::maximum}) {
        SCOPED_TRACE(mode == ArchiveCompressionMode::balanced ? "balanced" : "maximum");
        TempDir destination;
        const PackReceipt receipt =
            ArchivePipeline::pack({src}, destination.file("out.zip"), nullptr, std::nullopt, mode);
        expectReadersAccept(receipt.outputURL, entries, destination);
    }
}

TEST(ArchiveInteropTest, OtherReadersAcceptAZip64EntryCount) {
    // From 65,535 entries on, the classic end record cannot hold the count. One folder is deflated;
    // the others are stored, so the run goes on the entry count rather than on deflate streams.
    constexpr int folders = 64;
    constexpr int filesPerFolder = 1025;
    TempDir root;
    const std::string src = root.file("many");
    ASSERT_EQ(::mkdir(src.c_str(), 0755), 0);
    for (int folder = 0; folder < folders; ++folder) {
        const std::string path = src + "/" + std::to_string(folder);
        ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
        for (int file = 0; file < filesPerFolder; ++file) {
            writeFile(path + "/" + std::to_string(file) + (folder == 0 ? ".txt" : ".gz"),
                      std::to_string(file));
        }
    }
    const std::uint64_t entries = 1 + folders + folders * filesPerFolder;
    ASSERT_GE(entries, 65'535u);

    TempDir destination;
    const PackReceipt receipt =
        ArchivePipeline::pack({src}, destination.file("many.zip"), nullptr, std::nullopt,
                              ArchiveCompressionMode::balanced);
    EXPECT_EQ(receipt.fileCount, static_cast<std::uint64_t>(folders * filesPerFolder));
    const std::string bytes = readFile(receipt.outputURL);
    EXPECT_NE(bytes.rfind(std::string("PK\x06\x06", 4)), std::string::npos)
        << "no ZIP64 end record";
    expectReadersAccept(receipt.outputURL, entries, destination);
}

}  // namespace
}  // namespace tolvane
