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
#include <map>
#include <memory>
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
#include "support/ArchiveErrors.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace tolvane {
namespace {

using test::errorOf;
using test::readRows;

using namespace ArchivePipeline;
using Code = ArchivePipelineError::Code;
using test::TempDir;
using test::writeFile;

// Captures every log line for the life of the object; logging here is synchronous.
class LogCapture {
public:
    LogCapture() : previous_(Log::setSink(sink_)) {}
    ~LogCapture() { Log::setSink(previous_); }
    const std::vector<std::string>& lines() const { return sink_->lines; }

private:
    struct Sink final : Log::Sink {
        void write(Log::Category, std::string_view message) noexcept override {
            lines.emplace_back(message);
        }
        std::vector<std::string> lines;
    };
    std::shared_ptr<Sink> sink_ = std::make_shared<Sink>();
    std::shared_ptr<Log::Sink> previous_;
};

// Exit statuses of a child that ran one step under an alarm.
constexpr int childSucceeded = 1;
constexpr int childFailedOtherwise = 2;
int statusOf(Code code) {
    return 100 + static_cast<int>(code);
}

// Runs the step in a forked child under an alarm, so a step that blocks (a FIFO opened for
// reading waits for a writer) fails the test instead of hanging it.
int statusInChild(const std::function<void()>& step) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(20);
        int status = childSucceeded;
        try {
            step();
        } catch (const ArchivePipelineError& error) {
            status = statusOf(error.code());
        } catch (...) {
            status = childFailedOtherwise;
        }
        ::_exit(status);
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_FALSE(WIFSIGNALED(status)) << "the child ended by signal " << WTERMSIG(status)
                                      << (WTERMSIG(status) == SIGALRM ? " (it blocked)" : "");
    return child > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string identityTag(std::string_view identity) {
    const Sha256::Value digest = Sha256::of(identity);
    return HexString::encode(std::span<const std::uint8_t>(digest.data(), 4));
}

struct ZipEntry {
    std::string name;
    std::uint16_t method = 0;
    std::string content;
    std::uint16_t mode = 0;
    std::string attributeBlock;  // central 0xF17D data
};

// Reads the archive back with libzip, which checks local against central headers and every CRC.
std::vector<ZipEntry> readZip(const std::string& path) {
    int error = 0;
    std::unique_ptr<zip_t, decltype(&zip_discard)> archive(
        zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error), zip_discard);
    if (!archive) {
        ADD_FAILURE() << "libzip refused the archive, error " << error;
        return {};
    }
    std::vector<ZipEntry> entries;
    for (zip_uint64_t index = 0; index < zip_uint64_t(zip_get_num_entries(archive.get(), 0));
         ++index) {
        zip_stat_t st;
        zip_stat_init(&st);
        EXPECT_EQ(zip_stat_index(archive.get(), index, ZIP_FL_ENC_RAW, &st), 0);
        ZipEntry entry{st.name, static_cast<std::uint16_t>(st.comp_method), {}, 0, {}};
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
        char buffer[65536];
        zip_int64_t got = 0;
        while (file != nullptr && (got = zip_fread(file, buffer, sizeof buffer)) > 0) {
            entry.content.append(buffer, static_cast<std::size_t>(got));
        }
        EXPECT_TRUE(file != nullptr && got == 0 && zip_fclose(file) == 0) << entry.name;
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string madeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0) {
        throw std::system_error(errno, std::generic_category(), path);
    }
    return path;
}

// A pack stage in a temporary folder: the two lists, a real ZIP writer and a registry, wired
// into one PackWalk the way pack wires them.
struct PackStage {
    explicit PackStage(const std::string& root, std::optional<std::uint64_t> totalBytes = {},
                       StreamingZIPWriter::FreeSpaceProbe probe = {})
        : stage(madeFolder(root + "/stage")),
          packProgress(&progress, totalBytes),
          walk{registry,         snapshotFd.get(),
               expectedFd.get(), writer,
               stageFd.get(),    &progress,
               packProgress,     {},
               std::move(probe), {}} {}

    void add(const std::string& source) { appendSnapshot(sourceItem(source), walk); }
    void finish() {
        finishPackWalk(walk);
        writer.finalize([] {});
    }
    // Writes the entry of a record taken earlier, as the walk does after recording it.
    void writeEntry(const SourceSnapshotRecord& record) {
        std::uint64_t pending = 0;
        writeArchiveEntry(record, writer, expectedFd.get(), pending, &progress, packProgress, {});
    }
    std::string file(const std::string& name) const { return stage + "/" + name; }
    UniqueFd create(const std::string& name) const {
        return posix::open(file(name), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    }
    std::vector<SourceSnapshotRecord> snapshotRows() const {
        return readRows<SourceSnapshotRecord>(file("snapshot.jsonl"));
    }
    std::vector<ExpectedArchiveRecord> expectedRows() const {
        return readRows<ExpectedArchiveRecord>(file("expected.jsonl"));
    }

    std::string stage;
    Progress progress;
    ArchivePackProgress packProgress;
    UniqueFd stageFd = posix::open(stage, O_RDONLY | O_DIRECTORY);
    UniqueFd snapshotFd = create("snapshot.jsonl");
    UniqueFd expectedFd = create("expected.jsonl");
    ArchivePathRegistry registry{file("path-registry.sqlite")};
    StreamingZIPWriter writer{create("payload.zip"),
                              create("central-directory.bin"),
                              file("central-directory.bin"),
                              ArchiveCompressionMode::balanced,
                              std::nullopt,
                              std::nullopt};
    PackWalk walk;
};

void makeFolder(const std::string& path, mode_t mode = 0700) {
    ASSERT_EQ(::mkdir(path.c_str(), mode), 0) << path;
}

// The whole road of one walk: lists, archive and counters must tell the same story.
TEST(ArchivePackWalkTest, WritesEveryEntryOnceWithListsMatchingTheArchive) {
    TempDir dir;
    const std::string docs = dir.file("docs");
    makeFolder(docs, 0750);
    makeFolder(docs + "/empty");
    makeFolder(docs + "/deep", 0755);
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
    // Already-compressed kinds and folders are stored.
    const std::map<std::string, int> methods = {{"docs/photo.JPG", ZIP_CM_STORE},
                                                {"docs/archive.tar.gz", ZIP_CM_STORE},
                                                {"docs/notes.txt", ZIP_CM_DEFLATE},
                                                {"docs/.hidden", ZIP_CM_DEFLATE},
                                                {"docs/empty/", ZIP_CM_STORE}};
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
        const std::string content = row.isDirectory ? "" : test::readFile(row.sourcePath);
        EXPECT_EQ(zip[i].content, content);
        EXPECT_EQ(expected[i].size, content.size());
        EXPECT_EQ(expected[i].sha256, row.isDirectory ? "" : Sha256::hexOf(content));
        bytes += content.size();
        // Pre-order: every entry below a folder comes after it.
        for (std::size_t j = 0; j < i && row.isDirectory; ++j) {
            EXPECT_FALSE(rows[j].originalPath.starts_with(row.originalPath + "/"));
        }
        if (methods.contains(path)) {
            EXPECT_EQ(zip[i].method, methods.at(path));
        }
    }
    EXPECT_EQ(stage.walk.counters.entryCount, 9u);
    EXPECT_EQ(stage.walk.counters.fileCount, 6u);
    EXPECT_EQ(stage.walk.counters.totalBytes, bytes);
    EXPECT_EQ(stage.walk.counters.pathMappingCount, 0u);
    EXPECT_EQ(stage.walk.counters.progressBytesPending, 0u);
    EXPECT_EQ(stage.packProgress.completedBytes(), bytes);
    const Progress::Snapshot progress = stage.progress.snapshot();
    EXPECT_EQ(progress.number(ArchiveProgressInfo::scannedEntriesKey), 9u);
    // Without a byte total the walk stays in its scanning stage.
    EXPECT_EQ(progress.text(ArchiveProgressInfo::stageKey), "scanning");
}

TEST(ArchivePackWalkTest, CaseClashGetsTheIdentitySuffixAndCountsOneMapping) {
    TempDir dir;
    const std::string folder = dir.file("box");
    makeFolder(folder);
    writeFile(folder + "/a.txt", "lower");
    writeFile(folder + "/A.txt", "upper");
    PackStage stage(dir.path(), std::uint64_t{10});
    stage.add(folder);
    stage.finish();
    // With a byte total the walk moves on to packaging at its first file.
    EXPECT_EQ(stage.progress.snapshot().text(ArchiveProgressInfo::stageKey), "packaging");

    const std::vector<SourceSnapshotRecord> rows = stage.snapshotRows();
    ASSERT_EQ(rows.size(), 3u);
    // The file system decides which of the two is listed first; the second is renamed.
    EXPECT_EQ(rows[1].entryPath, rows[1].originalPath);
    const SourceSnapshotRecord& second = rows[2];
    EXPECT_EQ(second.entryPath, second.originalPath.substr(0, 5) + "~" +
                                    identityTag(folder + "/" + second.originalPath.substr(4)) +
                                    ".txt");
    EXPECT_EQ(stage.walk.counters.pathMappingCount, 1u);
    const std::vector<ZipEntry> zip = readZip(stage.file("payload.zip"));
    ASSERT_EQ(zip.size(), 3u);
    EXPECT_EQ(zip[2].name, second.entryPath);
    EXPECT_EQ(zip[2].content, test::readFile(second.sourcePath));
}

TEST(ArchivePackWalkTest, ArchiveEntryPathRenamesOnlyOnAClashAndRefusesASecondClash) {
    constexpr auto F = ArchiveEntryType::file;
    struct Case {
        std::vector<std::string> recorded;  // files; "#" stands for the identity tag
        std::string item;
        std::optional<std::string> prefix;
        bool isDirectory;
        std::string wanted;  // empty: duplicatePath
    };
    const std::vector<Case> cases = {
        {{}, "/x/notes.txt", "a//b/", false, "a/b/notes.txt"},
        {{"A.TXT"}, "/x/a.txt", std::nullopt, false, "a~#.txt"},
        {{"d/Archive.tar.gz"}, "/x/archive.tar.gz", "d", false, "d/archive.tar~#.gz"},
        {{".profile"}, "/x/.Profile", std::nullopt, false, ".Profile~#"},  // no extension
        {{"d/report"}, "/x/Report", "d", true, "d/Report~#"},    // a folder named like a file
        {{"d/sub/x.txt"}, "/x/SUB", "d", false, "d/SUB~#"},      // a file named like a parent
        {{"d/a.txt", "d/A~#.txt"}, "/x/A.txt", "d", false, ""},  // the new name is taken too
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        TempDir dir;
        ArchivePathRegistry registry(dir.file("registry.sqlite"));
        const auto withTag = [&](std::string text) {
            const auto at = text.find('#');
            return at == std::string::npos ? text : text.replace(at, 1, identityTag(c.item));
        };
        for (const std::string& path : c.recorded) {
            registry.insert(withTag(path), F);
        }
        if (c.wanted.empty()) {
            const auto error = errorOf(
                [&] { archiveEntryPath(c.item, c.prefix, c.item, c.isDirectory, registry); });
            EXPECT_EQ(error, ArchivePipelineError::duplicatePath(withTag("d/A~#.txt")));
            EXPECT_TRUE(registry.canInsert("d/other.txt", F));  // still usable
            continue;
        }
        const std::string path =
            archiveEntryPath(c.item, c.prefix, c.item, c.isDirectory, registry);
        EXPECT_EQ(path, withTag(c.wanted));
        EXPECT_FALSE(registry.canInsert(path, F));  // whatever was returned is now taken
    }
}

// Makes each entry below root: "name/" a folder, "name|" a FIFO, "name->target" a link, anything
// else an empty file.
void plant(const std::string& root, const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
        const std::size_t arrow = entry.find("->");
        const std::string name = entry.substr(0, arrow);
        const std::string path = root + "/" + name.substr(0, name.find_last_not_of("/|") + 1);
        if (arrow != std::string::npos) {
            EXPECT_EQ(::symlink(entry.substr(arrow + 2).c_str(), path.c_str()), 0) << entry;
        } else if (name.ends_with("/")) {
            makeFolder(path);
        } else if (name.ends_with("|")) {
            EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0) << entry;
        } else {
            writeFile(path, "");
        }
    }
}

TEST(ArchivePackWalkTest, RefusesLinksAndSpecialFilesAmongSourcesAndChildren) {
    struct Case {
        std::vector<std::string> entries;
        std::string source;   // relative to root
        std::string refused;  // relative to root
    };
    const std::vector<Case> cases = {
        {{"target", "link->target"}, "link", "link"},
        {{"real/", "link->real"}, "link/", "link"},  // a trailing slash does not follow it
        {{"f/", "f/link->missing"}, "f", "f/link"},
        {{"f/", "f/pipe|"}, "f", "f/pipe"},
        {{}, "nothing", "nothing"},
        // A name that is not UTF-8 is refused, never repaired, and named by its folder.
        {{"f/", "f/bad\xff.txt"}, "f", "f"},
        {{"f/", "f/bad\xff"}, "f/bad\xff", "f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source + " -> " + c.refused);
        TempDir dir;
        const std::string root = madeFolder(dir.file("in"));
        plant(root, c.entries);
        PackStage stage(dir.path());
        EXPECT_EQ(errorOf([&] { stage.add(root + "/" + c.source); }),
                  ArchivePipelineError::unsupportedSourceType(root + "/" + c.refused));
    }
}

TEST(ArchivePackWalkTest, TheReservedManifestNameIsADuplicateInAnySpelling) {
    for (const std::string name : {".tolvane-path-mapping.jsonl", ".Tolvane-Path-Mapping.JSONL"}) {
        TempDir dir;
        writeFile(dir.file(name), "{}");
        PackStage stage(dir.path());
        EXPECT_EQ(errorOf([&] { stage.add(dir.file(name)); }),
                  ArchivePipelineError::duplicatePath(".tolvane-path-mapping.jsonl"));
    }
}

// A file that changes between its record and its read is never packed as it is now.
TEST(ArchivePackWalkTest, FileChangedAfterItsRecordIsSourceChanged) {
    using Change = std::function<void(const std::string& path)>;
    const std::vector<std::pair<const char*, Change>> changes = {
        {"grown by one byte", [](const std::string& p) { writeFile(p, "content.!"); }},
        {"shrunk by one byte", [](const std::string& p) { writeFile(p, "content"); }},
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
    for (const auto& [name, change] : changes) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string path = dir.file("f.txt");
        writeFile(path, "content.");
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        PackStage stage(dir.path());
        const SourceSnapshotRecord record = recordItem(sourceItem(path), stage.registry);
        change(path);
        EXPECT_EQ(errorOf([&] { stage.writeEntry(record); }),
                  ArchivePipelineError::sourceChanged(path));
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
    SourceSnapshotRecord record = recordItem(sourceItem(path), stage.registry);
    record.contentSHA256 = Sha256::hexOf("content");
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);

    const int changed = statusOf(Code::sourceChanged);
    EXPECT_EQ(statusInChild([&] { stage.writeEntry(record); }), changed);
    EXPECT_EQ(statusInChild([&] { selectionContentHash(record, nullptr); }), changed);
    EXPECT_EQ(statusInChild([&] { verifySelectionSource(record, nullptr); }), changed);
    EXPECT_EQ(statusInChild([&] { sha256File(path, nullptr, nullptr, {}); }), childFailedOtherwise);
}

// A file the user may not read has not changed: hashing reports the permission error itself.
// Permission checks do not bind root, so the check runs as an ordinary user.
TEST(ArchivePackWalkTest, UnreadableFileIsAPermissionErrorNotAChange) {
    TempDir dir;
    const std::string path = dir.file("secret");
    writeFile(path, "content");
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    TempDir registryDir;
    ArchivePathRegistry registry(registryDir.file("r.sqlite"));
    const SourceSnapshotRecord record = recordItem(sourceItem(path), registry);
    constexpr int permissionError = 3;
    EXPECT_EQ(statusInChild([&] {
                  if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                      ::_exit(childFailedOtherwise);
                  }
                  try {
                      selectionContentHash(record, nullptr);
                  } catch (const std::system_error& error) {
                      ::_exit(error.code() == std::errc::permission_denied ? permissionError
                                                                           : childFailedOtherwise);
                  }
              }),
              permissionError);
}

TEST(ArchivePackWalkTest, FolderChangedWhileListedIsLoggedAndSourceChanged) {
    TempDir dir;
    const std::string folder = dir.file("f");
    plant(dir.path(), {"f/", "f/one"});
    PackStage stage(dir.path());
    const SourceSnapshotRecord record = recordItem(sourceItem(folder), stage.registry);

    LogCapture log;
    std::vector<std::string> names;
    const auto changeOnFirstName = [&](const std::string& name) {
        names.push_back(name);
        if (names.size() == 1) {
            writeFile(folder + "/added", "new");
            // A file system may keep the old mtime within one clock tick; make the change
            // visible in the permissions as well.
            ::chmod(folder.c_str(), 0750);
        }
    };
    EXPECT_EQ(errorOf([&] { enumerateDirectoryChildren(record, changeOnFirstName); }),
              ArchivePipelineError::sourceChanged(folder));
    ASSERT_FALSE(log.lines().empty());
    EXPECT_TRUE(log.lines().back().starts_with("sourceChanged stage=directoryEnumerationEnd "));
    EXPECT_NE(log.lines().back().find("permissions"), std::string::npos);

    // A folder that differs before its listing starts hands out no name at all, and its entry
    // is not written.
    names.clear();
    EXPECT_EQ(errorOf([&] { enumerateDirectoryChildren(record, changeOnFirstName); })->code(),
              Code::sourceChanged);
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(log.lines().back().starts_with("sourceChanged stage=directoryEnumerationStart"));
    EXPECT_EQ(errorOf([&] {
                  writeArchiveDirectory(record, stage.writer, stage.expectedFd.get(), nullptr, {});
              })->code(),
              Code::sourceChanged);
    EXPECT_TRUE(stage.expectedRows().empty());
}

TEST(ArchivePackWalkTest, ExtendedAttributesTravelInTheEntryExtraField) {
    TempDir dir;
    const std::string folder = dir.file("f");
    makeFolder(folder);
    writeFile(folder + "/a", "data");
    if (::setxattr(folder.c_str(), "user.color", "red", 3, 0) != 0) {
        GTEST_SKIP() << "no user extended attributes under " << dir.path();
    }
    ASSERT_EQ(::setxattr((folder + "/a").c_str(), "user.note", "n\0x", 3, 0), 0);
    PackStage stage(dir.path());
    stage.add(folder);
    stage.finish();
    const std::vector<ZipEntry> zip = readZip(stage.file("payload.zip"));
    ASSERT_EQ(zip.size(), 2u);
    const auto decode = [](const std::string& data) {
        const char header[] = {'\x7d', '\xf1', static_cast<char>(data.size() & 0xff),
                               static_cast<char>(data.size() >> 8)};
        return ArchiveExtendedAttributes::decodeField(std::string(header, 4) + data);
    };
    EXPECT_EQ(decode(zip[0].attributeBlock), (ArchiveExtendedAttributes::Map{{"color", "red"}}));
    EXPECT_EQ(decode(zip[1].attributeBlock),
              (ArchiveExtendedAttributes::Map{{"note", std::string("n\0x", 3)}}));
}

TEST(ArchivePackWalkTest, StageSpaceCheckBoundary) {
    using Free = std::optional<std::uint64_t>;
    const std::vector<std::pair<StreamingZIPWriter::FreeSpaceProbe, bool>> cases = {
        {[](int) { return Free(1'048'831); }, true},  // one byte short
        {[](int) { return Free(1'048'832); }, false},
        {[](int) { return Free(); }, false},  // unknown
        {[](int) -> Free { throw posix::errnoError(ENOSYS); }, false},
    };
    for (const auto& [probe, refused] : cases) {
        TempDir dir;
        makeFolder(dir.file("f"));
        PackStage stage(dir.path(), std::nullopt, probe);
        // A folder as the first entry is checked at once.
        if (refused) {
            EXPECT_EQ(errorOf([&] { stage.add(dir.file("f")); })->code(), Code::insufficientSpace);
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
    appendPathMappingFile(manifest, stage.writer, stage.expectedFd.get(), nullptr, {});
    stage.writer.finalize([] {});

    const std::string name = ".tolvane-path-mapping.jsonl";
    EXPECT_EQ(stage.expectedRows(),
              (std::vector<ExpectedArchiveRecord>{{name, content.size(), Sha256::hexOf(content)}}));
    const std::vector<ZipEntry> zip = readZip(stage.file("payload.zip"));
    ASSERT_EQ(zip.size(), 1u);
    EXPECT_EQ(zip[0].name, name);
    EXPECT_EQ(zip[0].method, ZIP_CM_DEFLATE);
    EXPECT_EQ(zip[0].mode, S_IFREG | 0600);
    EXPECT_EQ(zip[0].content, content);
    EXPECT_TRUE(zip[0].attributeBlock.empty());
    // One byte over the limit (a sparse file), or not a file at all, is refused; a FIFO without
    // waiting for a writer.
    TempDir other;
    PackStage refusing(other.path());
    const std::string large = dir.file("large.jsonl");
    writeFile(large, "");
    ASSERT_EQ(::truncate(large.c_str(), 536'870'913), 0);
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    for (const std::string& path : {large, dir.file("pipe")}) {
        EXPECT_EQ(statusInChild([&] {
                      appendPathMappingFile(path, refusing.writer, refusing.expectedFd.get(),
                                            nullptr, {});
                  }),
                  statusOf(Code::invalidInputSnapshot))
            << path;
    }
}

TEST(ArchivePackWalkTest, Sha256FileDigestsWholeFilesAndReportsInBatches) {
    for (const std::size_t size : {0, 1, 65'536, 65'537, 3 * 1'048'576 + 5}) {
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
    EXPECT_EQ(errorOf([&] { sha256File(dir.file("f"), &cancelled, nullptr, {}); })->code(),
              Code::cancelled);
}

TEST(ArchivePackWalkTest, StoredExtensionsFollowThePathExtensionRule) {
    for (const std::string path : {"/a/photo.JPG", "/a/archive.tar.gz", "/a/x.7Z", "/a/movie.mov",
                                   "/a/clip.M4V", "/a/i.HEIC"}) {
        EXPECT_TRUE(isStoredExtension(path)) << path;
    }
    for (const std::string path :
         {"/a/notes.txt", "/a/.zip", "/a/zip", "/a/name.zip.txt", "/a/trailing.", "/a.jpg/file"}) {
        EXPECT_FALSE(isStoredExtension(path)) << path;
    }
}

TEST(ArchivePackWalkTest, CancellationStopsTheWalkBeforeTheNextEntry) {
    TempDir dir;
    writeFile(dir.file("a"), "a");
    PackStage stage(dir.path());
    stage.progress.cancel();
    EXPECT_EQ(errorOf([&] { stage.add(dir.file("a")); }), ArchivePipelineError::cancelled());
    EXPECT_TRUE(stage.snapshotRows().empty());
}

}  // namespace
}  // namespace tolvane
