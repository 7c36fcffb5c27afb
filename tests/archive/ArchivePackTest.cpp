#include "core/archive/ArchivePipeline.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveValues.h"
#include "core/archive/PathMappingManifest.h"
#include "core/archive/ZipArchiveReader.h"
#include "core/common/Digest.h"
#include "core/common/Progress.h"
#include "support/ArchiveErrors.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::errorOf;

using test::namesIn;

using namespace ArchivePipeline;
using Code = ArchivePipelineError::Code;
using Steps = std::vector<std::pair<std::string, std::string>>;  // checkpoint, stage met there
using test::readFile;
using test::TempDir;
using test::writeFile;

void makeFolder(const std::string& path) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path << ": " << std::strerror(errno);
}

bool supportsUserAttributes(const std::string& folder) {
    const std::string probe = folder + "/.probe";
    writeFile(probe, "");
    const bool supported = ::setxattr(probe.c_str(), "user.probe", "1", 1, 0) == 0;
    ::unlink(probe.c_str());
    return supported;
}

struct ReadEntry {
    std::string path;
    ZipArchiveEntry::Type type = ZipArchiveEntry::Type::file;
    std::uint16_t method = 0;
    std::string data;
    ArchiveExtendedAttributes::Map attributes;
};

// Every entry of the archive in directory order, read back through the project's own reader.
std::vector<ReadEntry> readArchive(const std::string& path) {
    std::vector<ArchiveExtendedAttributes::Map> attributes;
    ZipArchiveReader reader(
        path, [] {},
        [&](const ZipCentralEntry& entry) {
            attributes.push_back(ArchiveExtendedAttributes::decodeField(entry.extraField));
        });
    std::vector<ReadEntry> entries;
    for (std::uint64_t index = 0; index < reader.entryCount(); ++index) {
        const ZipArchiveEntry entry = reader.entry(index);
        ReadEntry read{entry.path, entry.type, entry.method, {}, attributes.at(index)};
        reader.extract(
            index, [] {},
            [&](std::span<const std::uint8_t> block) {
                read.data.append(reinterpret_cast<const char*>(block.data()), block.size());
            });
        entries.push_back(std::move(read));
    }
    return entries;
}

// A selection with every kind of entry pack treats differently.
struct Selection {
    std::vector<std::string> sources;
    std::map<std::string, std::string> files;  // on-disk path below root -> content
    std::uint64_t totalBytes = 0;
    bool hasAttributes = false;
};

Selection makeSelection(const std::string& root) {
    Selection selection;
    const auto add = [&](const std::string& relative, const std::string& content) {
        writeFile(root + "/" + relative, content);
        selection.files[relative] = content;
        selection.totalBytes += content.size();
    };
    makeFolder(root + "/src");
    makeFolder(root + "/src/empty");
    makeFolder(root + "/src/nested");
    makeFolder(root + "/src/nested/deep");
    add("src/notes.txt", test::textBytes(200'000));
    add("src/photo.JPG", test::randomBytes(70'000, 1));
    add("src/logs.tar.gz", test::randomBytes(5'000, 2));
    add("src/nested/deep/data.bin", test::randomBytes(30'000, 3) + test::textBytes(90'000));
    add("src/Readme.txt", "first");
    add("src/README.txt", "second");
    add("src/tagged.txt", "with attributes");
    add("loose.txt", "");
    selection.hasAttributes = supportsUserAttributes(root);
    if (selection.hasAttributes) {
        EXPECT_EQ(::setxattr((root + "/src/tagged.txt").c_str(), "user.color", "blue", 4, 0), 0);
    }
    selection.sources = {root + "/src", root + "/loose.txt"};
    return selection;
}

TEST(ArchivePackTest, PacksATreeThatReadsBackAsTheSelection) {
    struct Case {
        const char* name;
        bool withSnapshot;
        std::optional<ArchiveCompressionMode> mode;
        Steps steps;  // empty: not checked
    };
    const std::string scanning(ArchiveProgressInfo::Stage::scanning);
    const std::string packaging(ArchiveProgressInfo::Stage::packaging);
    const std::string verifying(ArchiveProgressInfo::Stage::verifying);
    const std::string hashing(ArchiveProgressInfo::Stage::hashing);
    const std::vector<Case> cases = {
        {"captured selection, balanced",
         true,
         ArchiveCompressionMode::balanced,
         {{"walk", scanning},
          {"selection", packaging},
          {"manifest", packaging},
          {"finalize", packaging},
          {"verification", verifying},
          {"recheck", verifying},
          {"hashing", hashing},
          {"commit", hashing}}},
        {"no selection, maximum",
         false,
         ArchiveCompressionMode::maximum,
         {{"walk", scanning},
          {"manifest", scanning},
          {"finalize", scanning},
          {"verification", verifying},
          {"recheck", verifying},
          {"hashing", hashing},
          {"commit", hashing}}},
        {"no selection, the volume decides", false, std::nullopt, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        TempDir destination;
        TempDir scratch;
        const Selection selection = makeSelection(root.path());
        std::optional<ArchiveInputSnapshot> snapshot;
        if (c.withSnapshot) {
            snapshot =
                captureInputSnapshot(selection.sources, scratch.file("selection.jsonl"), nullptr);
        }

        Progress progress;
        Steps steps;
        const PackReceipt receipt =
            pack(selection.sources, destination.file("out.zip"), &progress, snapshot, c.mode, {},
                 [&](std::string_view step) {
                     steps.emplace_back(
                         step, progress.userInfoText(ArchiveProgressInfo::stageKey).value_or(""));
                 });
        if (!c.steps.empty()) {
            EXPECT_EQ(steps, c.steps);
        }

        const std::string out = destination.file("out.zip");
        EXPECT_EQ(namesIn(destination.path()), std::vector<std::string>{"out.zip"});
        EXPECT_TRUE(receipt.verified);
        EXPECT_EQ(receipt.outputURL, out);
        EXPECT_EQ(receipt.archive.url, out);
        EXPECT_EQ(receipt.fileCount, selection.files.size());
        EXPECT_EQ(receipt.totalBytes, selection.totalBytes);
        const std::string bytes = readFile(out);
        EXPECT_EQ(receipt.archive.byteCount, static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(receipt.archive.sha256, Sha256::hexOf(bytes));
        EXPECT_EQ(progress.userInfoText(ArchiveProgressInfo::stageKey),
                  std::string(ArchiveProgressInfo::Stage::complete));
        EXPECT_EQ(progress.completedUnitCount(), progress.totalUnitCount());
        EXPECT_FALSE(progress.userInfo(ArchiveProgressInfo::cleanupWarningKey));

        const std::vector<ReadEntry> entries = readArchive(out);
        ASSERT_FALSE(entries.empty());
        // The two names a case-insensitive disk would merge: one keeps its name, the other is
        // renamed, and the manifest that records this comes last.
        EXPECT_EQ(entries.back().path, reservedMappingName);
        EXPECT_EQ(entries.back().method, 8);
        const std::regex renamed(R"(src/(Readme|README)~[0-9a-f]{8}\.txt)");
        std::map<std::string, const ReadEntry*> byPath;
        std::string renamedPath;
        for (const ReadEntry& entry : entries) {
            byPath[entry.path] = &entry;
            if (std::regex_match(entry.path, renamed)) {
                renamedPath = entry.path;
            }
        }
        ASSERT_FALSE(renamedPath.empty());
        const std::string renamedOriginal = renamedPath.substr(0, renamedPath.find('~')) + ".txt";
        const std::string keptOriginal =
            renamedOriginal == "src/Readme.txt" ? "src/README.txt" : "src/Readme.txt";
        EXPECT_NE(entries.back().data.find("\"" + renamedOriginal + "\""), std::string::npos)
            << entries.back().data;

        for (const char* folder : {"src/", "src/empty/", "src/nested/", "src/nested/deep/"}) {
            ASSERT_TRUE(byPath.count(folder)) << folder;
            EXPECT_EQ(byPath[folder]->type, ZipArchiveEntry::Type::directory) << folder;
        }
        EXPECT_EQ(entries.size(), selection.files.size() + 4 + 1);
        for (const auto& [relative, content] : selection.files) {
            const std::string stored = relative == renamedOriginal ? renamedPath : relative;
            ASSERT_TRUE(byPath.count(stored)) << stored;
            const ReadEntry& entry = *byPath[stored];
            EXPECT_EQ(entry.data, content) << stored;
            const bool storedAsIs = relative.ends_with(".JPG") || relative.ends_with(".gz");
            EXPECT_EQ(entry.method, storedAsIs ? 0 : 8) << stored;
        }
        EXPECT_TRUE(byPath.count(keptOriginal));
        if (selection.hasAttributes) {
            const ArchiveExtendedAttributes::Map tagged{{"color", "blue"}};
            EXPECT_EQ(byPath["src/tagged.txt"]->attributes, tagged);
        }
    }
}

TEST(ArchivePackTest, RefusesADestinationInsideASourceBeforeMakingAStage) {
    struct Case {
        const char* name;
        std::function<std::vector<std::string>(const std::string& root)> sources;
        std::string destination;  // folder below root
        Code code;
    };
    const std::vector<Case> cases = {
        {"no sources", [](const std::string&) { return std::vector<std::string>{}; }, "src/sub",
         Code::noInputs},
        {"the destination is the source",
         [](const std::string& root) { return std::vector<std::string>{root + "/src"}; }, "src",
         Code::destinationIsInsideSource},
        {"the destination lies inside the second source",
         [](const std::string& root) {
             return std::vector<std::string>{root + "/other", root + "/src/"};
         },
         "src/sub", Code::destinationIsInsideSource},
        {"the destination is reached through a link into the source",
         [](const std::string& root) { return std::vector<std::string>{root + "/src"}; },
         "link/sub", Code::destinationIsInsideSource},
        {"the source is a link to a folder holding the destination",
         [](const std::string& root) { return std::vector<std::string>{root + "/link"}; },
         "src/sub", Code::destinationIsInsideSource},
        {"the source is spelled with dots",
         [](const std::string& root) { return std::vector<std::string>{root + "/other/../src/."}; },
         "src/sub", Code::destinationIsInsideSource},
        {"the source is the root folder",
         [](const std::string&) { return std::vector<std::string>{"/"}; }, "src/sub",
         Code::destinationIsInsideSource},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        makeFolder(root.file("src"));
        makeFolder(root.file("src/sub"));
        makeFolder(root.file("other"));
        writeFile(root.file("src/sub/a.txt"), "a");
        ASSERT_EQ(::symlink("src", root.file("link").c_str()), 0);
        const std::string destination = root.file(c.destination);
        const std::vector<std::string> before = namesIn(destination);

        const auto error = errorOf([&] {
            // Should the refusal ever fail, the pack must still not walk the whole disk.
            pack(c.sources(root.path()), destination + "/out.zip", nullptr, std::nullopt,
                 std::nullopt, {},
                 [](std::string_view) { throw std::logic_error("a stage was made"); });
        });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.code);
        EXPECT_EQ(namesIn(destination), before);
    }
}

// A tmpfs mounted read-only on a fresh folder, or nothing where mounting is refused.
class ReadOnlyMount {
public:
    explicit ReadOnlyMount(const std::string& path) : path_(path) {
        if (::mount("tmpfs", path.c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0) {
            mounted_ = true;
            return;
        }
        error_ = std::strerror(errno);
        // Some kernels refuse a read-only mount of a new tmpfs but allow a remount.
        if (::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=1m") == 0) {
            mounted_ = true;
            if (::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0) {
                return;
            }
            error_ = std::string("remount: ") + std::strerror(errno);
            unmount();
        }
    }
    ReadOnlyMount(const ReadOnlyMount&) = delete;
    ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;
    ~ReadOnlyMount() { unmount(); }

    bool mounted() const noexcept { return mounted_; }
    const std::string& error() const noexcept { return error_; }

private:
    void unmount() noexcept {
        if (mounted_) {
            ::umount2(path_.c_str(), MNT_DETACH);
            mounted_ = false;
        }
    }

    std::string path_;
    bool mounted_ = false;
    std::string error_;
};

TEST(ArchivePackTest, RefusesAReadOnlyDestination) {
    TempDir root;
    writeFile(root.file("a.txt"), "a");
    makeFolder(root.file("mnt"));
    const ReadOnlyMount mount(root.file("mnt"));
    if (!mount.mounted()) {
        GTEST_SKIP() << "cannot mount a read-only tmpfs here (" << mount.error() << ")";
    }
    const auto error = errorOf([&] {
        pack({root.file("a.txt")}, root.file("mnt/out.zip"), nullptr, std::nullopt, std::nullopt,
             {}, [](std::string_view) { throw std::logic_error("a stage was made"); });
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), Code::destinationReadOnly);
}

TEST(ArchivePackTest, NeverReplacesAnExistingArchive) {
    TempDir root;
    TempDir destination;
    writeFile(root.file("a.txt"), "payload");
    writeFile(destination.file("out.zip"), "someone else's");

    const PackReceipt first = pack({root.file("a.txt")}, destination.file("out.zip"), nullptr);
    const PackReceipt second = pack({root.file("a.txt")}, destination.file("out.zip"), nullptr);

    EXPECT_EQ(first.outputURL, destination.file("out_2.zip"));
    EXPECT_EQ(second.outputURL, destination.file("out_3.zip"));
    EXPECT_NE(first.archive.jobID, second.archive.jobID);
    EXPECT_EQ(first.archive.sha256, second.archive.sha256);  // the same selection, same bytes
    EXPECT_EQ(readFile(destination.file("out.zip")), "someone else's");
    EXPECT_EQ(namesIn(destination.path()),
              (std::vector<std::string>{"out.zip", "out_2.zip", "out_3.zip"}));
}

TEST(ArchivePackTest, RefusesASelectionThatChangedAfterItWasCaptured) {
    struct Case {
        const char* name;
        std::function<void(const std::string& root)> change;
        std::string changed;  // the path the error names, below root
    };
    const std::vector<Case> cases = {
        {"rewritten in place with its time put back",
         [](const std::string& root) {
             const std::string path = root + "/src/a.txt";
             struct stat before {};
             ASSERT_EQ(::stat(path.c_str(), &before), 0);
             writeFile(path, "AAAA");
             const timespec times[2] = {before.st_atim, before.st_mtim};
             ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
         },
         "src/a.txt"},
        {"grown", [](const std::string& root) { writeFile(root + "/src/a.txt", "aaaa+"); },
         "src/a.txt"},
        {"a file added to a folder",
         [](const std::string& root) { writeFile(root + "/src/zz-new.txt", "new"); }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir root;
        TempDir destination;
        TempDir scratch;
        makeFolder(root.file("src"));
        writeFile(root.file("src/a.txt"), "aaaa");
        const std::vector<std::string> sources{root.file("src")};
        const ArchiveInputSnapshot snapshot =
            captureInputSnapshot(sources, scratch.file("selection.jsonl"), nullptr);
        c.change(root.path());

        const auto error = errorOf(
            [&] { pack(sources, destination.file("out.zip"), nullptr, snapshot, std::nullopt); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), Code::sourceChanged);
        if (!c.changed.empty()) {
            EXPECT_EQ(error->detail(), root.file(c.changed));
        }
        EXPECT_TRUE(namesIn(destination.path()).empty());
    }
}

TEST(ArchivePackTest, CancellingBeforeCommittingLeavesNothingBehind) {
    const std::vector<std::string_view> steps = {"walk",     "selection",    "manifest",
                                                 "finalize", "verification", "recheck",
                                                 "hashing",  "commit"};
    TempDir root;
    TempDir scratch;
    const Selection selection = makeSelection(root.path());
    const ArchiveInputSnapshot snapshot =
        captureInputSnapshot(selection.sources, scratch.file("selection.jsonl"), nullptr);
    for (std::size_t index = 0; index < steps.size() * 2; ++index) {
        // Each step is cancelled once through the progress object and once through the task.
        const std::string_view target = steps[index / 2];
        const bool throughProgress = index % 2 == 0;
        SCOPED_TRACE(std::string(target) + (throughProgress ? " (progress)" : " (task)"));
        TempDir destination;
        Progress progress;
        std::stop_source task;
        bool reached = false;

        const auto error = errorOf([&] {
            pack(selection.sources, destination.file("out.zip"), &progress, snapshot, std::nullopt,
                 task.get_token(), [&](std::string_view step) {
                     if (step == target) {
                         reached = true;
                         throughProgress ? progress.cancel() : (void)task.request_stop();
                     }
                 });
        });
        EXPECT_TRUE(reached);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), Code::cancelled);
        EXPECT_TRUE(namesIn(destination.path()).empty());
        EXPECT_NE(progress.userInfoText(ArchiveProgressInfo::stageKey),
                  std::string(ArchiveProgressInfo::Stage::committing));
        EXPECT_FALSE(progress.userInfo(ArchiveProgressInfo::cleanupWarningKey));
    }
}

}  // namespace
}  // namespace tolvane
