#include "core/drive/FileDriveTransferJournal.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/common/StrictJson.h"
#include "core/common/Uuid.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/FileReference.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Journal = FileDriveTransferJournal;
using Record = DriveTransferRecord;

const Uuid jobA = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
const Uuid jobB = *Uuid::parse("0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F0");

// Names in a directory, sorted; "." and ".." left out.
std::vector<std::string> entries(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> quarantined(const std::string& directory, const std::string& key) {
    std::vector<std::string> found = entries(directory);
    std::erase_if(found,
                  [&](const std::string& name) { return !name.starts_with(key + ".corrupt-"); });
    return found;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::optional<DriveTransferError> driveErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const DriveTransferError& error) {
        return error;
    }
    return std::nullopt;
}

std::error_code systemErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::system_error& error) {
        return error.code();
    }
    return {};
}

std::error_code posixCode(int error) {
    return {error, std::generic_category()};
}

Record pendingRecord(const std::string& account, const Uuid& job, const std::string& filename) {
    Record record = Record::fresh(Journal::key(account, job), 1'700'000'000.0);
    record.jobID = job;
    record.accountSubject = account;
    record.filename = filename;
    record.byteCount = 42;
    record.phase = "uploading";
    return record;
}

TEST(FileDriveTransferJournalTest, KeyVectors) {
    struct Case {
        std::string account;
        std::string job;  // parsed, so either case must give the same key
        std::string key;
    };
    // SHA-256 of account, NUL, upper-case job text, computed independently of this code base.
    const std::vector<Case> cases = {
        {"", "00000000-0000-0000-0000-000000000000",
         "d7823205eea771c6ac85df19c62b4d66e0ddec5f664eee39dbd21bea3f4ffeef"},
        {"108123456789012345678", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
         "8049bba6560ad81225a04dc647a2e9815351a7cb4952ccb5f4c1dbcaeaa2aafc"},
        {"108123456789012345678", "e621e1f8-c36c-495a-93fc-0c247a3e6e5f",
         "8049bba6560ad81225a04dc647a2e9815351a7cb4952ccb5f4c1dbcaeaa2aafc"},
        {"계정", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
         "4f51620dd52ccf18afd5670b99483bb078b37b0f5acb73b54942a4b52544d47a"},
        // An account holding a NUL and part of a job text stays distinct from a shorter one.
        {std::string("a\0E621E1F8", 10), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
         "0b7bd6bd7b54036f3cc7efcb36c95130e0383be2abd3db8d595cdc2e95cf86b1"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Journal::key(c.account, *Uuid::parse(c.job)), c.key) << c.job;
        EXPECT_TRUE(Journal::isWellFormedKey(c.key));
    }
}

TEST(FileDriveTransferJournalTest, MalformedKeysAreRefusedWithoutTouchingTheDisk) {
    test::TempDir dir;
    Journal journal(dir.file("journal"));
    const std::string good = Journal::key("acct", jobA);
    const std::vector<std::string> keys = {
        good.substr(1),          // 63 characters
        good + "0",              // 65
        "g" + good.substr(1),    // not hexadecimal
        "../" + good.substr(3),  // a path
        std::string(64, ' '),
        "",
    };
    for (const std::string& key : keys) {
        EXPECT_EQ(driveErrorOf([&] { journal.load(key); }), DriveTransferError::invalidResponse())
            << key;
        Record record = Record::fresh(key, 0);
        EXPECT_EQ(driveErrorOf([&] { journal.save(record); }),
                  DriveTransferError::invalidResponse())
            << key;
    }
    EXPECT_TRUE(entries(dir.path()).empty());
    // Well formed, in either case, without a file: no record.
    EXPECT_EQ(journal.load(good), std::nullopt);
    std::string upper = good;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    EXPECT_EQ(journal.load(upper), std::nullopt);
}

TEST(FileDriveTransferJournalTest, UndecodableRecordsAreQuarantined) {
    const std::string key = Journal::key("acct", jobA);
    const std::string other = Journal::key("acct", Uuid());
    const std::string head = "{\"key\":\"" + key + "\"";
    const std::vector<std::string> contents = {
        "{\"key\":\"" + other + "\"}",  // names another record
        "{}",
        "",
        "[]",
        head,  // truncated
        head + ",\"offset\":\"0\"}",
        head + ",\"offset\":1.5}",
        head + ",\"byteCount\":9223372036854775808}",
        head + ",\"requestedRole\":\"owner\"}",
        head + ",\"requestedRole\":\"Reader\"}",
        head + ",\"jobID\":\"E621E1F8C36C495A93FC0C247A3E6E5F\"}",
        head + ",\"bookmark\":\"not base64!\"}",
        head + ",\"key\":\"" + key + "\"}",                         // duplicate key
        "{\"key\":\"" + key + "\",\"filename\":\"\xff\xfe.zip\"}",  // not UTF-8
        // A valid record grown past any size a record can have.
        head + "}" + std::string((1 << 20) + 1, ' '),
    };
    for (const std::string& content : contents) {
        test::TempDir dir;
        Journal journal(dir.path());
        test::writeFile(dir.file(key + ".json"), content);
        EXPECT_EQ(driveErrorOf([&] { journal.load(key); }), DriveTransferError::corruptJournal())
            << content.substr(0, 80);
        const std::vector<std::string> aside = quarantined(dir.path(), key);
        ASSERT_EQ(aside.size(), 1u) << content.substr(0, 80);
        EXPECT_TRUE(Uuid::parse(aside[0].substr(key.size() + 9)).has_value()) << aside[0];
        EXPECT_EQ(test::readFile(dir.file(aside[0])), content);
        EXPECT_EQ(entries(dir.path()).size(), 1u);
        // Never read again.
        EXPECT_EQ(journal.load(key), std::nullopt);
    }
}

TEST(FileDriveTransferJournalTest, NonFilesUnderARecordNameAreMovedAsideOnce) {
    const std::string key = Journal::key("acct", jobA);
    // A directory, a link or a FIFO under a record's name never becomes readable by itself;
    // left in place it would fail every later listing, so it is moved aside like a corrupt file.
    const std::function<void(const std::string&)> makers[] = {
        [](const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); },
        [](const std::string& path) { ASSERT_EQ(::symlink("target", path.c_str()), 0); },
        [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
    };
    for (const auto& make : makers) {
        test::TempDir dir;
        Journal journal(dir.path());
        journal.save(pendingRecord("acct", jobB, "b.zip"));
        test::writeFile(dir.file("target"), "{}");
        make(dir.file(key + ".json"));

        EXPECT_THROW(journal.pendingRecords("acct"), DriveTransferError);
        EXPECT_EQ(quarantined(dir.path(), key).size(), 1u);
        EXPECT_EQ(test::readFile(dir.file("target")), "{}");  // the link's target is untouched
        EXPECT_EQ(journal.pendingRecords("acct").size(), 1u);
    }
}

TEST(FileDriveTransferJournalTest, PermissionDeniedLeavesAGoodRecordInPlace) {
    const std::string key = Journal::key("acct", jobA);
    test::TempDir dir;
    const std::string directory = dir.file("journal");
    Journal journal(directory);
    journal.save(pendingRecord("acct", jobA, "a.zip"));

    // Root reads everything, so the child drops to an unprivileged user who owns the journal
    // folder (and so could rename the record) but cannot read the root-owned record.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0) {
            if (::chmod(dir.path().c_str(), 0711) != 0 ||
                ::chown(directory.c_str(), 65534, 65534) != 0 || ::setgroups(0, nullptr) != 0 ||
                ::setgid(65534) != 0 || ::setuid(65534) != 0) {
                ::_exit(10);
            }
        } else if (::chmod((directory + "/" + key + ".json").c_str(), 0) != 0) {
            ::_exit(10);
        }
        if (systemErrorOf([&] { journal.load(key); }) != posixCode(EACCES)) {
            ::_exit(1);
        }
        if (systemErrorOf([&] { journal.pendingRecords("acct"); }) != posixCode(EACCES)) {
            ::_exit(2);
        }
        ::_exit(entries(directory) == std::vector<std::string>{key + ".json"} ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::chmod((directory + "/" + key + ".json").c_str(), 0600);
    EXPECT_EQ(journal.load(key), pendingRecord("acct", jobA, "a.zip"));
}

TEST(FileDriveTransferJournalTest, MissingFieldsAndNullsReadAsDefaults) {
    const std::string key = Journal::key("acct", jobA);
    const std::vector<std::string> contents = {
        "{\"key\":\"" + key + "\"}",
        "{\"key\":\"" + key +
            "\",\"schemaVersion\":null,\"jobID\":null,\"accountSubject\":null,\"filename\":null,"
            "\"bookmark\":null,\"byteCount\":null,\"sha256\":null,\"md5\":null,\"phase\":null,"
            "\"updatedAt\":null,\"folderID\":null,\"sessionURL\":null,\"offset\":null,"
            "\"remoteFileID\":null,\"verifiedLink\":null,\"requestedRole\":null,"
            "\"somethingNew\":{\"x\":[1,2]}}",
    };
    Record expected;
    expected.key = key;
    for (const std::string& content : contents) {
        test::TempDir dir;
        Journal journal(dir.path());
        test::writeFile(dir.file(key + ".json"), content);
        const std::optional<Record> record = journal.load(key);
        EXPECT_EQ(record, expected);
        // A schema 1 record is never offered for resumption.
        EXPECT_TRUE(journal.pendingRecords("acct").empty());
    }
}

TEST(FileDriveTransferJournalTest, DatesCountFromTwoThousandOneOnDisk) {
    const std::string key = Journal::key("acct", jobA);
    Record record = Record::fresh(key, 978'307'200.0 + 12.5);
    EXPECT_EQ(record.encode(), "{\"key\":\"" + key +
                                   "\",\"schemaVersion\":2,\"phase\":\"prepared\",\"updatedAt\":"
                                   "12.5,\"offset\":0,\"requestedRole\":\"reader\"}");
    EXPECT_EQ(Record::decode("{\"key\":\"" + key + "\",\"updatedAt\":750000000}").updatedAt,
              1'728'307'200.0);
    EXPECT_EQ(Record::decode("{\"key\":\"" + key + "\",\"updatedAt\":-63114076800}").updatedAt,
              Record::distantPast);
    record.updatedAt = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(record.encode(), StrictJson::DecodeError);
}

TEST(FileDriveTransferJournalTest, SaveAndLoadRoundTrip) {
    test::TempDir dir;
    test::writeFile(dir.file("archive.zip"), "zip bytes");
    Record full = Record::fresh(Journal::key("acct", jobA), 1'700'000'000.123456);
    full.jobID = jobA;
    full.accountSubject = "acct";
    full.filename = "보고서 2024.zip";
    full.bookmark = FileReference::make(dir.file("archive.zip")).encode();  // binary, with NULs
    full.byteCount = 1'234'567'890'123;
    full.sha256 = std::string(64, 'a');
    full.md5 = std::string(32, 'b');
    full.phase = "uploading";
    full.folderID = "folder-1";
    full.sessionURL = "https://www.googleapis.com/upload/drive/v3/files?upload_id=x/y";
    full.offset = 8'388'608;
    full.remoteFileID = "remote-1";
    full.verifiedLink = "https://drive.google.com/file/d/remote-1/view";
    full.requestedRole = DriveLinkRole::writer;

    Record minimal;
    minimal.key = Journal::key("acct", Uuid());

    Journal journal(dir.file("Tolvane/DriveTransfers"));
    for (const Record& record : {full, minimal}) {
        journal.save(record);
        EXPECT_EQ(journal.load(record.key), record);
    }
}

TEST(FileDriveTransferJournalTest, SaveReplacesAtomicallyWithPrivateModes) {
    test::TempDir dir;
    const std::string directory = dir.file("existing");
    ASSERT_EQ(::mkdir(directory.c_str(), 0755), 0);
    Journal journal(directory);
    const std::string key = Journal::key("acct", jobA);

    // Even a umask that strips the owner's own bits cannot widen or narrow the modes.
    const mode_t previous = ::umask(0277);
    Record first = pendingRecord("acct", jobA, "first.zip");
    journal.save(first);
    Record second = pendingRecord("acct", jobA, "second.zip");
    second.offset = 262'144;
    journal.save(second);
    ::umask(previous);

    EXPECT_EQ(modeOf(directory), 0700u);
    EXPECT_EQ(modeOf(directory + "/" + key + ".json"), 0600u);
    EXPECT_EQ(entries(directory), std::vector<std::string>{key + ".json"});
    EXPECT_EQ(journal.load(key), second);

    // Missing parents are created with mode 0700 too, whatever the umask would make of them.
    Journal nested(dir.file("a/b/c"));
    const mode_t again = ::umask(0277);
    nested.save(first);
    ::umask(again);
    for (const char* folder : {"a", "a/b", "a/b/c"}) {
        EXPECT_EQ(modeOf(dir.file(folder)), 0700u) << folder;
    }
    EXPECT_EQ(nested.load(key), first);
}

TEST(FileDriveTransferJournalTest, FailedSaveLeavesNoTemporaryFile) {
    test::TempDir dir;
    Journal journal(dir.path());
    const std::string key = Journal::key("acct", jobA);
    // A non-empty folder under the record's name cannot be replaced by the rename.
    ASSERT_EQ(::mkdir(dir.file(key + ".json").c_str(), 0700), 0);
    test::writeFile(dir.file(key + ".json/keep"), "");
    EXPECT_NE(systemErrorOf([&] { journal.save(pendingRecord("acct", jobA, "a.zip")); }),
              std::error_code());
    EXPECT_EQ(entries(dir.path()), std::vector<std::string>{key + ".json"});

    // A plain file where the folder should be.
    test::writeFile(dir.file("file"), "");
    Journal blocked(dir.file("file/journal"));
    EXPECT_EQ(systemErrorOf([&] { blocked.save(pendingRecord("acct", jobA, "a.zip")); }),
              posixCode(ENOTDIR));
}

TEST(FileDriveTransferJournalTest, PendingRecordsFilterAndSort) {
    test::TempDir dir;
    const std::string directory = dir.file("journal");
    Journal journal(directory);
    EXPECT_TRUE(journal.pendingRecords("acct").empty());  // no folder yet

    std::vector<Uuid> jobs;
    for (int i = 0; i < 14; ++i) {
        jobs.push_back(Uuid::random());
    }
    const std::string decomposed = "e\xCC\x81.zip";  // "é" as e + combining acute
    const std::vector<Record> kept = {
        pendingRecord("acct", jobs[0], "b.zip"),    pendingRecord("acct", jobs[1], decomposed),
        pendingRecord("acct", jobs[2], "f.zip"),    pendingRecord("acct", jobs[3], "Zeta.zip"),
        pendingRecord("acct", jobs[4], "same.zip"), pendingRecord("acct", jobs[5], "same.zip"),
    };
    for (const Record& record : kept) {
        journal.save(record);
    }
    std::vector<Record> skipped = {
        pendingRecord("other", jobs[6], "a.zip"), pendingRecord("ACCT", jobs[7], "a.zip"),
        pendingRecord("acct", jobs[8], "a.zip"),  pendingRecord("acct", jobs[9], "a.zip"),
        pendingRecord("acct", jobs[10], "a.zip"), pendingRecord("acct", jobs[11], "a.zip"),
        pendingRecord("acct", jobs[12], "a.zip"),
    };
    skipped[2].phase = "shared";
    skipped[3].schemaVersion = 1;
    skipped[4].jobID.reset();
    skipped[5].filename.reset();
    skipped[6].byteCount.reset();
    for (const Record& record : skipped) {
        journal.save(record);
    }
    // Not records: only the exact extension "json" is read.
    const std::string anyKey = Journal::key("acct", jobs[13]);
    for (const std::string& name : {"." + anyKey + "." + Uuid::random().text() + ".tmp",
                                    anyKey + ".corrupt-" + Uuid::random().text(), anyKey + ".JSON",
                                    std::string("notes.txt"), std::string(".json")}) {
        test::writeFile(directory + "/" + name, "garbage");
    }

    // Equal names keep the order in which the folder lists them.
    std::vector<Uuid> sameOrder;
    {
        DIR* listing = ::opendir(directory.c_str());
        ASSERT_NE(listing, nullptr);
        while (const dirent* entry = ::readdir(listing)) {
            for (const int i : {4, 5}) {
                if (entry->d_name == kept[i].key + ".json") {
                    sameOrder.push_back(jobs[i]);
                }
            }
        }
        ::closedir(listing);
    }
    ASSERT_EQ(sameOrder.size(), 2u);

    // Code points of the NFC form: upper case first, and the composed "é" after every ASCII name.
    const std::vector<std::pair<Uuid, std::string>> expected = {
        {jobs[3], "Zeta.zip"},      {jobs[0], "b.zip"},         {jobs[2], "f.zip"},
        {sameOrder[0], "same.zip"}, {sameOrder[1], "same.zip"}, {jobs[1], decomposed},
    };
    const std::vector<DriveRecoveryItem> items = journal.pendingRecords("acct");
    ASSERT_EQ(items.size(), expected.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i], (DriveRecoveryItem{expected[i].first, expected[i].second, 42,
                                               "uploading", DriveLinkRole::reader}))
            << i;
    }

    // A corrupt record fails the call once, then is out of the way.
    test::writeFile(directory + "/" + anyKey + ".json", "{}");
    EXPECT_EQ(driveErrorOf([&] { journal.pendingRecords("acct"); }),
              DriveTransferError::corruptJournal());
    EXPECT_EQ(journal.pendingRecords("acct").size(), expected.size());

    // A ".json" name that is not a key fails the whole call.
    test::writeFile(directory + "/short.json", "{}");
    EXPECT_EQ(driveErrorOf([&] { journal.pendingRecords("acct"); }),
              DriveTransferError::invalidResponse());
}

TEST(FileDriveTransferJournalTest, DefaultDirectoryFollowsTheDataHome) {
    struct Case {
        const char* dataHome;
        const char* home;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"/x/data", "/home/u", "/x/data/Tolvane/DriveTransfers"},
        {"/x/data/", "/home/u", "/x/data/Tolvane/DriveTransfers"},
        {"relative", "/home/u", "/home/u/.local/share/Tolvane/DriveTransfers"},
        {"", "/home/u", "/home/u/.local/share/Tolvane/DriveTransfers"},
        {nullptr, "/home/u", "/home/u/.local/share/Tolvane/DriveTransfers"},
    };
    using Value = std::optional<std::string>;
    const auto saved = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? Value(value) : std::nullopt;
    };
    const auto set = [](const char* name, const Value& value) {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    };
    const Value dataHome = saved("XDG_DATA_HOME"), home = saved("HOME");
    for (const Case& c : cases) {
        set("XDG_DATA_HOME", c.dataHome ? Value(c.dataHome) : std::nullopt);
        set("HOME", c.home);
        EXPECT_EQ(Journal::defaultDirectory(), c.expected) << (c.dataHome ? c.dataHome : "unset");
    }
    set("XDG_DATA_HOME", dataHome);
    set("HOME", home);
}

// The bookmark field holds a file reference; it must follow the very file it was made for.
TEST(FileDriveTransferJournalTest, FileReferenceResolvesOnlyTheSameFile) {
    test::TempDir dir;
    const std::string path = dir.file("archive.zip");
    test::writeFile(path, "version one");
    ASSERT_EQ(::symlink("archive.zip", dir.file("alias.zip").c_str()), 0);
    // Made through a symbolic link, the reference names the real file.
    const FileReference reference = FileReference::make(dir.file("alias.zip"));
    const std::string bytes = reference.encode();
    EXPECT_EQ(FileReference::decode(bytes), reference);
    char real[PATH_MAX];
    ASSERT_NE(::realpath(path.c_str(), real), nullptr);
    EXPECT_EQ(FileReference::resolve(bytes), std::string(real));

    struct Case {
        const char* change;
        std::function<void()> apply;
        std::function<void()> undo;
    };
    const std::vector<Case> cases = {
        {"renamed", [&] { ::rename(path.c_str(), dir.file("moved.zip").c_str()); },
         [&] { ::rename(dir.file("moved.zip").c_str(), path.c_str()); }},
        {"replaced by a copy",
         [&] {
             ::rename(path.c_str(), dir.file("old.zip").c_str());
             test::writeFile(path, "version one");
         },
         [&] { ::rename(dir.file("old.zip").c_str(), path.c_str()); }},
        {"replaced by a link",
         [&] {
             ::rename(path.c_str(), dir.file("old.zip").c_str());
             ::symlink("old.zip", path.c_str());
         },
         [&] {
             ::unlink(path.c_str());
             ::rename(dir.file("old.zip").c_str(), path.c_str());
         }},
        {"modified", [&] { ::truncate(path.c_str(), 3); }, nullptr},
    };
    for (const Case& c : cases) {
        c.apply();
        EXPECT_EQ(reference.resolve(), std::nullopt) << c.change;
        if (c.undo) {
            c.undo();
            EXPECT_EQ(reference.resolve(), std::string(real)) << c.change;
        }
    }

    EXPECT_EQ(systemErrorOf([&] { FileReference::make(dir.path()); }), posixCode(EISDIR));
    EXPECT_EQ(systemErrorOf([&] { FileReference::make(dir.file("none")); }), posixCode(ENOENT));
}

TEST(FileDriveTransferJournalTest, ForeignOrDamagedReferencesAreStale) {
    FileReference reference;
    reference.path = "/tmp/a.zip";
    reference.modificationNanoseconds = 999'999'999;
    const std::string good = reference.encode();
    ASSERT_EQ(FileReference::decode(good), reference);

    auto with = [&](std::size_t offset, char byte) {
        std::string bytes = good;
        bytes[offset] = byte;
        return bytes;
    };
    FileReference relative = reference;
    relative.path = "a.zip";
    FileReference withNul = reference;
    withNul.path = std::string("/tmp/a\0b", 8);
    FileReference tooPrecise = reference;
    tooPrecise.modificationNanoseconds = 1'000'000'000;
    FileReference empty = reference;
    empty.path.clear();

    const std::vector<std::string> damaged = {
        "",
        "bplist00",  // a foreign blob
        good.substr(0, good.size() - 1),
        good + "x",
        with(0, 'X'),  // magic
        with(4, 2),    // unknown version
        relative.encode(),
        withNul.encode(),
        tooPrecise.encode(),
        empty.encode(),
    };
    for (const std::string& bytes : damaged) {
        EXPECT_EQ(FileReference::decode(bytes), std::nullopt) << bytes.size();
        EXPECT_EQ(FileReference::resolve(bytes), std::nullopt) << bytes.size();
    }
}

TEST(FileDriveTransferJournalTest, Base64IsStrict) {
    struct Case {
        std::string bytes;
        std::string text;
    };
    const std::vector<Case> vectors = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\0\xff\xfe", 3), "AP/+"},
    };
    for (const Case& c : vectors) {
        EXPECT_EQ(encodeBase64(c.bytes), c.text);
        EXPECT_EQ(decodeBase64(c.text), c.bytes) << c.text;
    }
    for (const std::string text : {"Zg", "Zg=", "Zg===", "Z===", "====", "Zm9v\n", " Zm9v", "Zm=v",
                                   "Zh==", "Zm9=", "Zm-_", "Zg==Zg=="}) {
        EXPECT_EQ(decodeBase64(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace tolvane
