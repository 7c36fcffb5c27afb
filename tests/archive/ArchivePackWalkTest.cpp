#include "core/archive/ArchivePackWalk.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <zip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/archive/ArchiveEntryWriter.h"
#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchiveJobRecords.h"
#include "core/archive/ArchivePackProgress.h"
#include "core/archive/ArchivePathRegistry.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/ArchiveSelection.h"
#include "core/archive/JSONLines.h"
#include "core/archive/StreamingZIPWriter.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/Log.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/UniqueFd.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using namespace ArchivePipeline;
using Code = ArchivePipelineError::Code;
using test::TempDir;
using test::writeFile;

class CapturingSink final : public Log::Sink {
public:
    void write(Log::Category, std::string_view message) noexcept override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(message);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class LogCapture {
public:
    LogCapture() : sink_(std::make_shared<CapturingSink>()), previous_(Log::setSink(sink_)) {}
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    ~LogCapture() { Log::setSink(previous_); }
    std::vector<std::string> lines() const { return sink_->lines(); }

private:
    std::shared_ptr<CapturingSink> sink_;
    std::shared_ptr<Log::Sink> previous_;
};

template <class T>
std::vector<T> readRows(const std::string& path) {
    JSONLines::Reader reader(path);
    std::vector<T> rows;
    while (std::optional<T> row = reader.next<T>()) {
        rows.push_back(std::move(*row));
    }
    return rows;
}

// Runs `body` and returns the code of the ArchivePipelineError it throws; fails the test when
// it throws nothing or something else.
std::optional<ArchivePipelineError> errorOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const ArchivePipelineError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "unexpected exception: " << error.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "nothing was thrown";
    return std::nullopt;
}

// Exit statuses of a child that ran one step under an alarm.
constexpr int childSucceeded = 1;
constexpr int childFailedOtherwise = 2;
constexpr int childErrorBase = 100;  // + the ArchivePipelineError code

// Runs the step in a forked child under an alarm, so a step that blocks (a FIFO opened for
// reading waits for a writer) fails the test instead of hanging it.
int statusInChild(const std::function<void()>& step) {
    const pid_t child = ::fork();
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        return -1;
    }
    if (child == 0) {
        ::alarm(20);
        int status = childSucceeded;
        try {
            step();
        } catch (const ArchivePipelineError& error) {
            status = childErrorBase + static_cast<int>(error.code());
        } catch (...) {
            status = childFailedOtherwise;
        }
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            ADD_FAILURE() << "waitpid failed";
            return -1;
        }
    }
    if (WIFSIGNALED(status)) {
        ADD_FAILURE() << "the child ended by signal " << WTERMSIG(status)
                      << (WTERMSIG(status) == SIGALRM ? " (it blocked)" : "");
        return -1;
    }
    return WEXITSTATUS(status);
}

int statusOf(Code code) {
    return childErrorBase + static_cast<int>(code);
}

std::string identityTag(std::string_view identity) {
    const Sha256::Value digest = Sha256::of(identity);
    return HexString::encode(std::span<const std::uint8_t>(digest.data(), 4));
}

bool userAttributesWork(const std::string& path) {
    if (::setxattr(path.c_str(), "user.probe", "1", 1, 0) != 0) {
        return false;
    }
    ::removexattr(path.c_str(), "user.probe");
    return true;
}

struct ZipEntry {
    std::string name;
    std::uint16_t method = 0;
    std::uint64_t size = 0;
    std::string content;
    std::uint16_t mode = 0;
    std::string attributeBlock;  // central 0xF17D data
};

struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};

// Reads the archive back with libzip, which checks local against central headers and every CRC.
std::vector<ZipEntry> readZip(const std::string& path) {
    int error = 0;
    std::unique_ptr<zip_t, ZipDiscard> archive(
        zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
    if (!archive) {
        ADD_FAILURE() << "libzip refused the archive, error " << error;
        return {};
    }
    std::vector<ZipEntry> entries;
    const zip_int64_t count = zip_get_num_entries(archive.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive.get(), index, ZIP_FL_ENC_RAW, &st) != 0) {
            ADD_FAILURE() << "zip_stat_index " << i;
            return entries;
        }
        ZipEntry entry;
        entry.name = st.name;
        entry.method = static_cast<std::uint16_t>(st.comp_method);
        entry.size = st.size;
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        zip_file_get_external_attributes(archive.get(), index, 0, &system, &attributes);
        entry.mode = static_cast<std::uint16_t>(attributes >> 16);
        zip_uint16_t length = 0;
        const zip_uint8_t* block = zip_file_extra_field_get_by_id(
            archive.get(), index, ArchiveExtendedAttributes::headerID, 0, &length, ZIP_FL_CENTRAL);
        if (block != nullptr) {
            entry.attributeBlock.assign(reinterpret_cast<const char*>(block), length);
        }
        zip_file_t* file = zip_fopen_index(archive.get(), index, 0);
        if (file == nullptr) {
            ADD_FAILURE() << "zip_fopen_index " << entry.name;
            return entries;
        }
        char buffer[65536];
        zip_int64_t got = 0;
        while ((got = zip_fread(file, buffer, sizeof buffer)) > 0) {
            entry.content.append(buffer, static_cast<std::size_t>(got));
        }
        EXPECT_EQ(got, 0) << entry.name;
        EXPECT_EQ(zip_fclose(file), 0) << entry.name;
        entries.push_back(std::move(entry));
    }
    return entries;
}

// A pack stage in a temporary folder: the two lists, a real ZIP writer and a registry, wired
// into one PackWalk the way pack wires them.
class PackStage {
public:
    explicit PackStage(const std::string& root, std::optional<std::uint64_t> totalBytes = {},
                       StreamingZIPWriter::FreeSpaceProbe probe = {})
        : stage_(root + "/stage"), packProgress_(&progress_, totalBytes) {
        if (::mkdir(stage_.c_str(), 0700) != 0) {
            throw std::system_error(errno, std::generic_category(), stage_);
        }
        stageFd_ = posix::open(stage_, O_RDONLY | O_DIRECTORY);
        snapshotFd_ = create("snapshot.jsonl");
        expectedFd_ = create("expected.jsonl");
        registry_ = std::make_unique<ArchivePathRegistry>(file("path-registry.sqlite"));
        writer_ = std::make_unique<StreamingZIPWriter>(
            create("payload.zip"), create("central-directory.bin"), file("central-directory.bin"),
            ArchiveCompressionMode::balanced, std::nullopt, std::nullopt);
        walk_ = std::make_unique<PackWalk>(PackWalk{
            .registry = *registry_,
            .snapshotFd = snapshotFd_.get(),
            .expectedFd = expectedFd_.get(),
            .archive = *writer_,
            .stageDirectoryFd = stageFd_.get(),
            .progress = &progress_,
            .packProgress = packProgress_,
            .stop = {},
            .freeSpace = std::move(probe),
            .counters = {},
        });
    }

    void add(const std::string& source) { appendSnapshot(sourceItem(source), *walk_); }
    void finish() {
        finishPackWalk(*walk_);
        writer_->finalize([] {});
    }

    std::string file(const std::string& name) const { return stage_ + "/" + name; }
    PackWalk& walk() { return *walk_; }
    Progress& progress() { return progress_; }
    ArchivePackProgress& packProgress() { return packProgress_; }
    ArchivePathRegistry& registry() { return *registry_; }
    StreamingZIPWriter& writer() { return *writer_; }
    int expectedFd() const { return expectedFd_.get(); }
    const PackWalkCounters& counters() const { return walk_->counters; }
    std::vector<SourceSnapshotRecord> snapshotRows() const {
        return readRows<SourceSnapshotRecord>(file("snapshot.jsonl"));
    }
    std::vector<ExpectedArchiveRecord> expectedRows() const {
        return readRows<ExpectedArchiveRecord>(file("expected.jsonl"));
    }

private:
    UniqueFd create(const std::string& name) {
        return posix::open(file(name), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    }

    std::string stage_;
    Progress progress_;
    ArchivePackProgress packProgress_;
    UniqueFd stageFd_;
    UniqueFd snapshotFd_;
    UniqueFd expectedFd_;
    std::unique_ptr<ArchivePathRegistry> registry_;
    std::unique_ptr<StreamingZIPWriter> writer_;
    std::unique_ptr<PackWalk> walk_;
};

// The whole road of one walk: lists, archive and counters must tell the same story.
TEST(ArchivePackWalkTest, WritesEveryEntryOnceWithListsMatchingTheArchive) {
    TempDir dir;
    const std::string docs = dir.file("docs");
    ASSERT_EQ(::mkdir(docs.c_str(), 0750), 0);
    ASSERT_EQ(::mkdir((docs + "/empty").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((docs + "/deep").c_str(), 0755), 0);
    writeFile(docs + "/notes.txt", test::textBytes(200'000));
    writeFile(docs + "/photo.JPG", test::randomBytes(70'000, 1));
    writeFile(docs + "/archive.tar.gz", test::randomBytes(10, 2));
    writeFile(docs + "/.hidden", "h");
    writeFile(docs + "/.DS_Store", "finder");
    writeFile(docs + "/deep/.DS_Store", "finder");
    writeFile(docs + "/deep/empty-file", "");
    ASSERT_EQ(::chmod((docs + "/notes.txt").c_str(), 0640), 0);
    writeFile(dir.file("single.bin"), test::randomBytes(5, 3));

    PackStage stage(dir.path());
    stage.add(docs + "/");  // a trailing "/" is not part of the recorded path
    stage.add(dir.file("single.bin"));
    stage.finish();

    const std::vector<SourceSnapshotRecord> rows = stage.snapshotRows();
    const std::vector<ExpectedArchiveRecord> expected = stage.expectedRows();
    const std::vector<ZipEntry> zip = readZip(stage.file("payload.zip"));
    ASSERT_EQ(rows.size(), 9u);
    ASSERT_EQ(expected.size(), rows.size());
    ASSERT_EQ(zip.size(), rows.size());

    EXPECT_EQ(rows.front().sourcePath, docs);
    EXPECT_EQ(rows.front().entryPath, "docs");
    EXPECT_EQ(rows.back().originalPath, "single.bin");
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const SourceSnapshotRecord& row = rows[i];
        SCOPED_TRACE(row.originalPath);
        EXPECT_EQ(row.entryPath, row.originalPath);
        EXPECT_FALSE(row.contentSHA256);
        EXPECT_EQ(row.originalPath.find(".DS_Store"), std::string::npos);
        const std::string path = row.isDirectory ? row.entryPath + "/" : row.entryPath;
        EXPECT_EQ(expected[i].path, path);
        EXPECT_EQ(zip[i].name, path);
        EXPECT_EQ(zip[i].mode & 07777, row.permissions);
        EXPECT_EQ(zip[i].mode & S_IFMT, row.isDirectory ? S_IFDIR : S_IFREG);
        if (row.isDirectory) {
            EXPECT_EQ(expected[i].sha256, "");
            EXPECT_EQ(expected[i].size, 0u);
            // Pre-order: every entry below a folder comes after it.
            for (std::size_t j = 0; j < i; ++j) {
                EXPECT_NE(rows[j].originalPath.rfind(row.originalPath + "/", 0), 0u);
            }
        } else {
            const std::string content = test::readFile(row.sourcePath);
            EXPECT_EQ(zip[i].content, content);
            EXPECT_EQ(expected[i].size, content.size());
            EXPECT_EQ(expected[i].sha256, Sha256::hexOf(content));
            bytes += content.size();
        }
    }
    const auto methodOf = [&](const std::string& name) {
        const auto found = std::find_if(zip.begin(), zip.end(),
                                        [&](const ZipEntry& entry) { return entry.name == name; });
        return found == zip.end() ? -1 : found->method;
    };
    EXPECT_EQ(methodOf("docs/photo.JPG"), ZIP_CM_STORE);
    EXPECT_EQ(methodOf("docs/archive.tar.gz"), ZIP_CM_STORE);
    EXPECT_EQ(methodOf("docs/notes.txt"), ZIP_CM_DEFLATE);
    EXPECT_EQ(methodOf("docs/.hidden"), ZIP_CM_DEFLATE);
    EXPECT_EQ(methodOf("docs/empty/"), ZIP_CM_STORE);

    EXPECT_EQ(stage.counters().entryCount, 9u);
    EXPECT_EQ(stage.counters().fileCount, 6u);
    EXPECT_EQ(stage.counters().totalBytes, bytes);
    EXPECT_EQ(stage.counters().pathMappingCount, 0u);
    EXPECT_EQ(stage.counters().progressBytesPending, 0u);
    EXPECT_EQ(stage.packProgress().completedBytes(), bytes);
    const Progress::Snapshot progress = stage.progress().snapshot();
    EXPECT_EQ(progress.number(ArchiveProgressInfo::scannedEntriesKey), 9u);
    // Without a byte total the walk stays in its scanning stage.
    EXPECT_EQ(progress.text(ArchiveProgressInfo::stageKey), "scanning");
}

TEST(ArchivePackWalkTest, EnteringTheFirstFileMovesToPackagingWhenTheTotalIsKnown) {
    TempDir dir;
    writeFile(dir.file("a"), "abc");
    PackStage stage(dir.path(), std::uint64_t{3});
    stage.add(dir.file("a"));
    EXPECT_EQ(stage.progress().snapshot().text(ArchiveProgressInfo::stageKey), "packaging");
    EXPECT_EQ(stage.progress().snapshot().number(ArchiveProgressInfo::scannedEntriesKey), 1u);
}

TEST(ArchivePackWalkTest, CaseClashGetsTheIdentitySuffixAndCountsOneMapping) {
    TempDir dir;
    const std::string folder = dir.file("box");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    writeFile(folder + "/a.txt", "lower");
    writeFile(folder + "/A.txt", "upper");

    PackStage stage(dir.path());
    stage.add(folder);
    stage.finish();

    const std::vector<SourceSnapshotRecord> rows = stage.snapshotRows();
    ASSERT_EQ(rows.size(), 3u);
    // The file system decides which of the two is listed first; the second is renamed.
    const SourceSnapshotRecord& first = rows[1];
    const SourceSnapshotRecord& second = rows[2];
    EXPECT_EQ(first.entryPath, first.originalPath);
    const std::string base = second.originalPath == "box/a.txt" ? "box/a" : "box/A";
    EXPECT_EQ(second.entryPath,
              base + "~" + identityTag(folder + "/" + second.originalPath.substr(4)) + ".txt");
    EXPECT_EQ(stage.counters().pathMappingCount, 1u);

    const std::vector<ZipEntry> zip = readZip(stage.file("payload.zip"));
    ASSERT_EQ(zip.size(), 3u);
    EXPECT_EQ(zip[2].name, second.entryPath);
    EXPECT_EQ(zip[2].content, test::readFile(second.sourcePath));
}

TEST(ArchivePackWalkTest, ArchiveEntryPathRenamesOnlyOnAClashAndRefusesASecondClash) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, ArchiveEntryType>> recorded;
        std::string item;
        std::optional<std::string> prefix;
        bool isDirectory;
        std::string wanted;  // "#" stands for the identity tag; empty: duplicatePath
    };
    const std::vector<Case> cases = {
        {"free name", {}, "/x/notes.txt", "a//b/", false, "a/b/notes.txt"},
        {"taken, with extension",
         {{"A.TXT", ArchiveEntryType::file}},
         "/x/a.txt",
         std::nullopt,
         false,
         "a~#.txt"},
        {"last extension only",
         {{"d/Archive.tar.gz", ArchiveEntryType::file}},
         "/x/archive.tar.gz",
         "d",
         false,
         "d/archive.tar~#.gz"},
        {"leading dot is no extension",
         {{".profile", ArchiveEntryType::file}},
         "/x/.Profile",
         std::nullopt,
         false,
         ".Profile~#"},
        {"folder named like a file",
         {{"d/report", ArchiveEntryType::file}},
         "/x/Report",
         "d",
         true,
         "d/Report~#"},
        {"file named like a folder's parent",
         {{"d/sub/x.txt", ArchiveEntryType::file}},
         "/x/SUB",
         "d",
         false,
         "d/SUB~#"},
        {"renamed name taken too",
         {{"d/a.txt", ArchiveEntryType::file}, {"d/A~#.txt", ArchiveEntryType::file}},
         "/x/A.txt",
         "d",
         false,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ArchivePathRegistry registry(dir.file("registry.sqlite"));
        const std::string tag = identityTag(c.item);
        const auto withTag = [&](std::string text) {
            if (const auto at = text.find('#'); at != std::string::npos) {
                text.replace(at, 1, tag);
            }
            return text;
        };
        for (const auto& [path, type] : c.recorded) {
            registry.insert(withTag(path), type);
        }
        if (c.wanted.empty()) {
            const auto error = errorOf(
                [&] { archiveEntryPath(c.item, c.prefix, c.item, c.isDirectory, registry); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), Code::duplicatePath);
            EXPECT_EQ(error->detail(), "d/A~" + tag + ".txt");
            // The registry is still usable afterwards.
            EXPECT_TRUE(registry.canInsert("d/other.txt", ArchiveEntryType::file));
            continue;
        }
        const std::string path =
            archiveEntryPath(c.item, c.prefix, c.item, c.isDirectory, registry);
        EXPECT_EQ(path, withTag(c.wanted));
        // Whatever was returned is now taken.
        EXPECT_FALSE(registry.canInsert(path, ArchiveEntryType::file));
    }
}

TEST(ArchivePackWalkTest, RefusesLinksAndSpecialFilesAmongSourcesAndChildren) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string& root)> make;  // returns the source
        std::string refused;                                       // relative to root
    };
    const std::vector<Case> cases = {
        {"link to a file as source",
         [](const std::string& root) {
             writeFile(root + "/target", "t");
             EXPECT_EQ(::symlink("target", (root + "/link").c_str()), 0);
             return root + "/link";
         },
         "link"},
        {"link to a folder given with a trailing slash",
         [](const std::string& root) {
             EXPECT_EQ(::mkdir((root + "/real").c_str(), 0700), 0);
             EXPECT_EQ(::symlink("real", (root + "/link").c_str()), 0);
             return root + "/link/";
         },
         "link"},
        {"dangling link inside a folder",
         [](const std::string& root) {
             EXPECT_EQ(::mkdir((root + "/f").c_str(), 0700), 0);
             EXPECT_EQ(::symlink("missing", (root + "/f/link").c_str()), 0);
             return root + "/f";
         },
         "f/link"},
        {"FIFO inside a folder",
         [](const std::string& root) {
             EXPECT_EQ(::mkdir((root + "/f").c_str(), 0700), 0);
             EXPECT_EQ(::mkfifo((root + "/f/pipe").c_str(), 0600), 0);
             return root + "/f";
         },
         "f/pipe"},
        {"missing source", [](const std::string& root) { return root + "/nothing"; }, "nothing"},
        {"name that is not UTF-8 names its folder",
         [](const std::string& root) {
             EXPECT_EQ(::mkdir((root + "/f").c_str(), 0700), 0);
             writeFile(root + "/f/bad\xff.txt", "x");
             return root + "/f";
         },
         "f"},
        {"source whose own name is not UTF-8",
         [](const std::string& root) {
             EXPECT_EQ(::mkdir((root + "/f").c_str(), 0700), 0);
             writeFile(root + "/f/bad\xff", "x");
             return root + "/f/bad\xff";
         },
         "f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string root = dir.file("in");
        ASSERT_EQ(::mkdir(root.c_str(), 0700), 0);
        const std::string source = c.make(root);
        PackStage stage(dir.path());
        const auto error = errorOf([&] { stage.add(source); });
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), Code::unsupportedSourceType);
        EXPECT_EQ(error->detail(), root + "/" + c.refused);
    }
}

TEST(ArchivePackWalkTest, TheReservedManifestNameIsADuplicateInAnySpelling) {
    for (const std::string name : {".tolvane-path-mapping.jsonl", ".Tolvane-Path-Mapping.JSONL"}) {
        TempDir dir;
        writeFile(dir.file(name), "{}");
        PackStage stage(dir.path());
        const auto error = errorOf([&] { stage.add(dir.file(name)); });
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, ArchivePipelineError::duplicatePath(".tolvane-path-mapping.jsonl"));
    }
}

// A file that changes between its record and its read is never packed as it is now.
TEST(ArchivePackWalkTest, FileChangedAfterItsRecordIsSourceChanged) {
    struct Case {
        const char* name;
        std::function<void(const std::string& path)> change;
    };
    const std::vector<Case> cases = {
        {"grown by one byte", [](const std::string& p) { writeFile(p, "content!"); }},
        {"shrunk", [](const std::string& p) { writeFile(p, "content"); }},
        {"replaced by another file",
         [](const std::string& p) {
             writeFile(p + ".new", "content");
             EXPECT_EQ(::rename((p + ".new").c_str(), p.c_str()), 0);
         }},
        {"permissions changed", [](const std::string& p) { EXPECT_EQ(::chmod(p.c_str(), 0), 0); }},
        {"replaced by a link",
         [](const std::string& p) {
             EXPECT_EQ(::rename(p.c_str(), (p + ".old").c_str()), 0);
             EXPECT_EQ(::symlink((p + ".old").c_str(), p.c_str()), 0);
         }},
        {"gone", [](const std::string& p) { EXPECT_EQ(::unlink(p.c_str()), 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.file("f.txt");
        writeFile(path, "content");
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        PackStage stage(dir.path());
        const SourceSnapshotRecord record = recordItem(sourceItem(path), stage.registry());
        c.change(path);
        std::uint64_t pending = 0;
        const auto error = errorOf([&] {
            writeArchiveEntry(record, stage.writer(), stage.expectedFd(), pending,
                              &stage.progress(), stage.packProgress(), {});
        });
        ASSERT_TRUE(error);
        EXPECT_EQ(*error, ArchivePipelineError::sourceChanged(path));
        EXPECT_TRUE(stage.expectedRows().empty());
    }
}

// Every read of a source opens it before or without an lstat of its own; a FIFO put in a file's
// place must fail at once instead of waiting for a writer that never comes.
TEST(ArchivePackWalkTest, FileSwappedForAFifoFailsWithoutBlocking) {
    TempDir dir;
    const std::string path = dir.file("f.txt");
    writeFile(path, "content");
    PackStage stage(dir.path());
    SourceSnapshotRecord record = recordItem(sourceItem(path), stage.registry());
    record.contentSHA256 = Sha256::hexOf("content");
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);

    const int changed = statusOf(Code::sourceChanged);
    EXPECT_EQ(statusInChild([&] {
                  std::uint64_t pending = 0;
                  writeArchiveEntry(record, stage.writer(), stage.expectedFd(), pending,
                                    &stage.progress(), stage.packProgress(), {});
              }),
              changed);
    EXPECT_EQ(statusInChild([&] { selectionContentHash(record, nullptr); }), changed);
    EXPECT_EQ(statusInChild([&] { verifySelectionSource(record, nullptr); }), changed);
    EXPECT_EQ(statusInChild([&] { sha256File(path, nullptr, nullptr, {}); }), childFailedOtherwise);
}

// A file the user may not read has not changed: hashing reports the permission error itself.
TEST(ArchivePackWalkTest, UnreadableFileIsAPermissionErrorNotAChange) {
    TempDir dir;
    const std::string path = dir.file("secret");
    writeFile(path, "content");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    TempDir registryDir;
    ArchivePathRegistry registry(registryDir.file("r.sqlite"));
    const SourceSnapshotRecord record = recordItem(sourceItem(path), registry);

    // Permission checks do not apply to root; the check runs as an ordinary user.
    constexpr int permissionError = 3;
    const int status = statusInChild([&] {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(childFailedOtherwise);
        }
        try {
            selectionContentHash(record, nullptr);
        } catch (const std::system_error& error) {
            ::_exit(error.code() == std::errc::permission_denied ? permissionError
                                                                 : childFailedOtherwise);
        }
    });
    EXPECT_EQ(status, permissionError);
}

TEST(ArchivePackWalkTest, FolderChangedWhileListedIsLoggedAndSourceChanged) {
    TempDir dir;
    const std::string folder = dir.file("f");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    writeFile(folder + "/one", "1");
    PackStage stage(dir.path());
    const SourceSnapshotRecord record = recordItem(sourceItem(folder), stage.registry());

    LogCapture log;
    std::vector<std::string> names;
    const auto error = errorOf([&] {
        enumerateDirectoryChildren(record, [&](const std::string& name) {
            names.push_back(name);
            if (names.size() == 1) {
                writeFile(folder + "/added", "new");
                // A file system may keep the old mtime within one clock tick; make the change
                // visible in the permissions as well.
                ::chmod(folder.c_str(), 0750);
            }
        });
    });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, ArchivePipelineError::sourceChanged(folder));
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().back().rfind("sourceChanged stage=directoryEnumerationEnd fields=", 0),
              0u);
    EXPECT_NE(log.lines().back().find("permissions"), std::string::npos);

    // A folder that differs before its listing starts hands out no name at all.
    names.clear();
    const auto before = errorOf([&] {
        enumerateDirectoryChildren(record, [&](const std::string& n) { names.push_back(n); });
    });
    ASSERT_TRUE(before);
    EXPECT_EQ(before->code(), Code::sourceChanged);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(log.lines().back().rfind("sourceChanged stage=directoryEnumerationStart", 0), 0u);

    // And its entry is not written.
    const auto write = errorOf(
        [&] { writeArchiveDirectory(record, stage.writer(), stage.expectedFd(), nullptr, {}); });
    ASSERT_TRUE(write);
    EXPECT_EQ(write->code(), Code::sourceChanged);
    EXPECT_TRUE(stage.expectedRows().empty());
}

TEST(ArchivePackWalkTest, ExtendedAttributesTravelInTheEntryExtraField) {
    TempDir dir;
    const std::string folder = dir.file("f");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    writeFile(folder + "/a", "data");
    if (!userAttributesWork(folder + "/a")) {
        GTEST_SKIP() << "no user extended attributes under " << dir.path();
    }
    ASSERT_EQ(::setxattr(folder.c_str(), "user.color", "red", 3, 0), 0);
    ASSERT_EQ(::setxattr((folder + "/a").c_str(), "user.note", "n\0x", 3, 0), 0);
    PackStage stage(dir.path());
    stage.add(folder);
    stage.finish();
    const std::vector<ZipEntry> zip = readZip(stage.file("payload.zip"));
    ASSERT_EQ(zip.size(), 2u);
    const auto decode = [](const std::string& data) {
        std::string field = "\x7d\xf1";
        field += static_cast<char>(data.size() & 0xff);
        field += static_cast<char>(data.size() >> 8);
        return ArchiveExtendedAttributes::decodeField(field + data);
    };
    EXPECT_EQ(decode(zip[0].attributeBlock), (ArchiveExtendedAttributes::Map{{"color", "red"}}));
    EXPECT_EQ(decode(zip[1].attributeBlock),
              (ArchiveExtendedAttributes::Map{{"note", std::string("n\0x", 3)}}));
}

TEST(ArchivePackWalkTest, StageSpaceCheckBoundary) {
    struct Case {
        const char* name;
        StreamingZIPWriter::FreeSpaceProbe probe;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"one byte short", [](int) { return std::optional<std::uint64_t>(1'048'831); }, true},
        {"exactly enough", [](int) { return std::optional<std::uint64_t>(1'048'832); }, false},
        {"unknown", [](int) { return std::optional<std::uint64_t>(); }, false},
        {"cannot ask", [](int) -> std::optional<std::uint64_t> { throw posix::errnoError(ENOSYS); },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_EQ(::mkdir(dir.file("f").c_str(), 0700), 0);
        // A folder as the first entry is checked at once.
        PackStage stage(dir.path(), std::nullopt, c.probe);
        if (c.refused) {
            const auto error = errorOf([&] { stage.add(dir.file("f")); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), Code::insufficientSpace);
        } else {
            EXPECT_NO_THROW(stage.add(dir.file("f")));
        }
    }
}

TEST(ArchivePackWalkTest, AppendsThePathMappingManifestAsAFixedEntry) {
    TempDir dir;
    const std::string manifest = dir.file("path-mapping.jsonl");
    const std::string content = test::textBytes(100'000);
    writeFile(manifest, content);
    PackStage stage(dir.path());
    appendPathMappingFile(manifest, stage.writer(), stage.expectedFd(), nullptr, {});
    stage.writer().finalize([] {});

    const std::vector<ExpectedArchiveRecord> expected = stage.expectedRows();
    ASSERT_EQ(expected.size(), 1u);
    EXPECT_EQ(expected[0], (ExpectedArchiveRecord{".tolvane-path-mapping.jsonl", content.size(),
                                                  Sha256::hexOf(content)}));
    const std::vector<ZipEntry> zip = readZip(stage.file("payload.zip"));
    ASSERT_EQ(zip.size(), 1u);
    EXPECT_EQ(zip[0].name, ".tolvane-path-mapping.jsonl");
    EXPECT_EQ(zip[0].method, ZIP_CM_DEFLATE);
    EXPECT_EQ(zip[0].mode, S_IFREG | 0600);
    EXPECT_EQ(zip[0].content, content);
    EXPECT_TRUE(zip[0].attributeBlock.empty());
}

TEST(ArchivePackWalkTest, RefusesAManifestThatIsTooLargeOrNotAFile) {
    TempDir dir;
    const std::string large = dir.file("large.jsonl");
    {
        const UniqueFd fd = posix::open(large, O_WRONLY | O_CREAT, 0600);
        ASSERT_EQ(::ftruncate(fd.get(), 536'870'913), 0);  // sparse, one byte over
    }
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    PackStage stage(dir.path());
    const auto error = errorOf(
        [&] { appendPathMappingFile(large, stage.writer(), stage.expectedFd(), nullptr, {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), Code::invalidInputSnapshot);
    EXPECT_EQ(statusInChild([&] {
                  appendPathMappingFile(dir.file("pipe"), stage.writer(), stage.expectedFd(),
                                        nullptr, {});
              }),
              statusOf(Code::invalidInputSnapshot));
}

TEST(ArchivePackWalkTest, Sha256FileDigestsWholeFilesAndReportsInBatches) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65'536},
                                   std::size_t{65'537}, std::size_t{3 * 1'048'576 + 5}}) {
        SCOPED_TRACE(size);
        TempDir dir;
        const std::string content = test::randomBytes(size, size);
        writeFile(dir.file("f"), content);
        Progress progress;
        ArchivePackProgress packProgress(&progress, std::nullopt);
        packProgress.beginHashing(size);
        EXPECT_EQ(sha256File(dir.file("f"), &progress, &packProgress, {}), Sha256::hexOf(content));
        EXPECT_EQ(packProgress.completedBytes(), size);
    }
    TempDir dir;
    writeFile(dir.file("f"), "x");
    Progress cancelled;
    cancelled.cancel();
    const auto error = errorOf([&] { sha256File(dir.file("f"), &cancelled, nullptr, {}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), Code::cancelled);
}

TEST(ArchivePackWalkTest, StoredExtensionsFollowThePathExtensionRule) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"/a/photo.JPG", true},  {"/a/notes.txt", false}, {"/a/archive.tar.gz", true},
        {"/a/x.7Z", true},       {"/a/.zip", false},      {"/a/zip", false},
        {"/a/movie.mov", true},  {"/a/clip.M4V", true},   {"/a/name.zip.txt", false},
        {"/a/trailing.", false}, {"/a.jpg/file", false},  {"/a/i.HEIC", true},
    };
    for (const auto& [path, stored] : cases) {
        EXPECT_EQ(isStoredExtension(path), stored) << path;
    }
}

TEST(ArchivePackWalkTest, CancellationStopsTheWalkBeforeTheNextEntry) {
    TempDir dir;
    writeFile(dir.file("a"), "a");
    PackStage stage(dir.path());
    stage.progress().cancel();
    const auto error = errorOf([&] { stage.add(dir.file("a")); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), Code::cancelled);
    EXPECT_TRUE(stage.snapshotRows().empty());
}

}  // namespace
}  // namespace tolvane
