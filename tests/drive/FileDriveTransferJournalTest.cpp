#include "core/drive/FileDriveTransferJournal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/common/Posix.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/FileReference.h"
#include "support/Child.h"
#include "support/Outcome.h"
#include "support/TempDir.h"

namespace tolvane {
namespace {

using Journal = FileDriveTransferJournal;
using Record = DriveTransferRecord;
using test::outcomeOf;
const Uuid jobA = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
const std::string keyA = Journal::key("acct", jobA);

Record pending(const std::string& account, const Uuid& job, const std::string& filename) {
    Record record = Record::fresh(Journal::key(account, job), 1'700'000'000.0);
    record.jobID = job;
    record.accountSubject = account;
    record.filename = filename;
    record.byteCount = 42;
    record.phase = "uploading";
    return record;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST(FileDriveTransferJournalTest, KeysAreDigestsAndOnlyWellFormedOnesReachTheDisk) {
    // SHA-256 of the account, a NUL and the job's upper-case text, computed independently.
    EXPECT_EQ(
        Journal::key("108123456789012345678", *Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")),
        "8049bba6560ad81225a04dc647a2e9815351a7cb4952ccb5f4c1dbcaeaa2aafc");
    EXPECT_EQ(Journal::key(std::string("a\0E621E1F8", 10), jobA),  // a NUL inside the account
              "0b7bd6bd7b54036f3cc7efcb36c95130e0383be2abd3db8d595cdc2e95cf86b1");
    test::TempDir dir;
    Journal journal(dir.file("journal"));
    for (const std::string& key : {keyA.substr(1), keyA + "0", "g" + keyA.substr(1),
                                   "../" + keyA.substr(3), std::string()}) {
        EXPECT_EQ(outcomeOf([&] { journal.load(key); }), "invalidResponse") << key;
        EXPECT_EQ(outcomeOf([&] { journal.save(Record::fresh(key, 0)); }), "invalidResponse");
    }
    EXPECT_TRUE(test::namesIn(dir.path()).empty());
    std::string upper = keyA;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(journal.load(upper), std::nullopt);
}

TEST(FileDriveTransferJournalTest, WhatDoesNotDecodeIsMovedAsideOnce) {
    const std::string head = "{\"key\":\"" + keyA + "\"";
    const std::vector<std::string> contents = {
        "{\"key\":\"" + Journal::key("acct", Uuid()) + "\"}",  // names another record
        "{}", "", "[]", head, head + ",\"offset\":\"0\"}", head + ",\"offset\":1.5}",
        head + ",\"byteCount\":9223372036854775808}", head + ",\"requestedRole\":\"owner\"}",
        head + ",\"jobID\":\"E621E1F8C36C495A93FC0C247A3E6E5F\"}",
        head + ",\"bookmark\":\"not base64!\"}", head + ",\"key\":\"" + keyA + "\"}",
        head + ",\"filename\":\"\xff.zip\"}",
        head + "}" + std::string((1 << 20) + 1, ' '),  // a record grown past any record's size
        // Not a regular file: it would never clear by itself and fail every listing.
        "directory", "link", "fifo"};
    for (const std::string& content : contents) {
        test::TempDir dir;
        Journal journal(dir.path());
        journal.save(pending("acct", Uuid(), "kept.zip"));
        const std::string path = dir.file(keyA + ".json");
        test::writeFile(dir.file("target"), "{}");
        const bool special = content == "directory" || content == "link" || content == "fifo";
        if (special) {
            ASSERT_EQ(content == "directory" ? ::mkdir(path.c_str(), 0700)
                      : content == "link"    ? ::symlink("target", path.c_str())
                                             : ::mkfifo(path.c_str(), 0600),
                      0);
        } else {
            test::writeFile(path, content);
        }
        EXPECT_EQ(outcomeOf([&] { journal.pendingRecords("acct"); }), "corruptJournal")
            << content.substr(0, 80);
        const std::vector<std::string> names = test::namesIn(dir.path());
        ASSERT_EQ(names.size(), 3u);
        const std::string aside =
            *std::find_if(names.begin(), names.end(),
                          [](const std::string& n) { return n.starts_with(keyA + ".corrupt-"); });
        EXPECT_TRUE(Uuid::parse(aside.substr(keyA.size() + 9))) << aside;
        if (!special) {
            EXPECT_EQ(test::readFile(dir.file(aside)), content);
        }
        EXPECT_EQ(test::readFile(dir.file("target")), "{}");
        EXPECT_EQ(journal.load(keyA), std::nullopt);
        EXPECT_EQ(journal.pendingRecords("acct").size(), 1u);
    }
}

TEST(FileDriveTransferJournalTest, AnUnreadableRecordStaysWhereItIs) {
    test::TempDir dir;
    const std::string directory = dir.file("journal");
    Journal journal(directory);
    journal.save(pending("acct", jobA, "a.zip"));
    // The unprivileged child owns the folder (so it could rename the record) but cannot read it.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(directory.c_str(), test::unprivilegedId, test::unprivilegedId), 0);
    }
    ASSERT_EQ(::chmod((directory + "/" + keyA + ".json").c_str(), 0), 0);
    const test::ChildExit exit = test::runInChild([&] {
        return test::dropPrivileges() && outcomeOf([&] { journal.load(keyA); }) == "errno EACCES" &&
                       outcomeOf([&] { journal.pendingRecords("acct"); }) == "errno EACCES"
                   ? 0
                   : 1;
    });
    EXPECT_TRUE(exit.succeeded()) << exit.describe();
    ::chmod((directory + "/" + keyA + ".json").c_str(), 0600);
    EXPECT_EQ(journal.load(keyA), pending("acct", jobA, "a.zip"));
}

TEST(FileDriveTransferJournalTest, RecordCodec) {
    // Missing fields and nulls read as the defaults; unknown keys are ignored.
    Record defaults;
    defaults.key = keyA;
    for (const std::string fields : {"",
                                     ",\"schemaVersion\":null,\"jobID\":null,\"byteCount\":null,"
                                     "\"phase\":null,\"updatedAt\":null,\"offset\":null,"
                                     "\"requestedRole\":null,\"new\":{\"x\":[1]}"}) {
        EXPECT_EQ(Record::decode("{\"key\":\"" + keyA + "\"" + fields + "}"), defaults);
    }
    // Dates count seconds from 2001-01-01 on disk.
    Record record = Record::fresh(keyA, 978'307'200.0 + 12.5);
    EXPECT_EQ(record.encode(),
              "{\"key\":\"" + keyA +
                  "\",\"schemaVersion\":2,\"phase\":\"prepared\",\"updatedAt\":12.5,"
                  "\"offset\":0,\"requestedRole\":\"reader\"}");
    EXPECT_EQ(Record::decode("{\"key\":\"x\",\"updatedAt\":-63114076800}").updatedAt,
              Record::distantPast);
    record.updatedAt = NAN;
    EXPECT_EQ(outcomeOf([&] { record.encode(); }).substr(0, 9), "exception");
}

TEST(FileDriveTransferJournalTest, SaveReplacesAtomicallyWithPrivateModes) {
    test::TempDir dir;
    test::writeFile(dir.file("archive.zip"), "zip bytes");
    Record full = pending("acct", jobA, "보고서 2024.zip");
    full.bookmark = FileReference::make(dir.file("archive.zip")).encode();  // binary, with NULs
    full.byteCount = 1'234'567'890'123;
    full.sha256 = std::string(64, 'a');
    full.md5 = std::string(32, 'b');
    full.folderID = "folder-1";
    full.sessionURL = "https://www.googleapis.com/upload/drive/v3/files?upload_id=x";
    full.offset = 8'388'608;
    full.remoteFileID = "remote-1";
    full.verifiedLink = "https://drive.google.com/file/d/remote-1/view";
    full.requestedRole = DriveLinkRole::writer;
    full.updatedAt = 1'700'000'000.123456;
    Journal journal(dir.file("a/b/c"));
    // Even a umask that strips the owner's own bits cannot change the modes, and a folder
    // widened in between is made private again.
    const mode_t previous = ::umask(0277);
    journal.save(pending("acct", jobA, "first.zip"));
    ::chmod(dir.file("a/b/c").c_str(), 0755);
    journal.save(full);
    ::umask(previous);
    EXPECT_EQ(journal.load(keyA), full);
    for (const char* path : {"a", "a/b", "a/b/c"}) {
        EXPECT_EQ(modeOf(dir.file(path)), 0700u) << path;
    }
    EXPECT_EQ(modeOf(dir.file("a/b/c/" + keyA + ".json")), 0600u);
    EXPECT_EQ(test::namesIn(dir.file("a/b/c")), std::vector<std::string>{keyA + ".json"});

    // A failed rename (a folder in the way) leaves no temporary file.
    const std::string other = Journal::key("acct", Uuid());
    test::makeTree(dir.file("a/b/c"), {{other + ".json/", ""}, {other + ".json/keep", ""}});
    Record minimal;
    minimal.key = other;
    EXPECT_EQ(outcomeOf([&] { journal.save(minimal); }), "errno EISDIR");
    EXPECT_EQ(test::namesIn(dir.file("a/b/c")).size(), 2u);
    EXPECT_EQ(outcomeOf([&] { Journal(dir.file("archive.zip/j")).save(minimal); }),
              "errno ENOTDIR");
}

TEST(FileDriveTransferJournalTest, PendingRecordsFilterAndSort) {
    test::TempDir dir;
    Journal journal(dir.file("journal"));
    EXPECT_TRUE(journal.pendingRecords("acct").empty());  // no folder yet
    // Code points of the NFC form: upper case first, the composed "é" after every ASCII name,
    // equal names in listing order.
    const std::vector<std::string> names = {"b.zip", "e\xCC\x81.zip", "Zeta.zip", "same.zip",
                                            "same.zip"};
    std::vector<Record> records;
    for (const std::string& name : names) {
        records.push_back(pending("acct", Uuid::random(), name));
    }
    for (int i = 0; i < 7; ++i) {
        records.push_back(pending(i == 0   ? "other"
                                  : i == 1 ? "ACCT"
                                           : "acct",
                                  Uuid::random(), "a"));
    }
    records[7].phase = "shared";
    records[8].schemaVersion = 1;
    records[9].jobID.reset();
    records[10].filename.reset();
    records[11].byteCount.reset();
    for (const Record& record : records) {
        journal.save(record);
    }
    for (const std::string& name :
         {"." + keyA + ".1.tmp", keyA + ".corrupt-1", keyA + ".JSON", std::string("notes")}) {
        test::writeFile(dir.file("journal/" + name), "garbage");  // only "<key>.json" is read
    }
    const std::vector<std::string> listed =
        posix::listDirectory(posix::open(dir.file("journal"), O_RDONLY).get());
    const bool sameInOrder = std::find(listed.begin(), listed.end(), records[3].key + ".json") <
                             std::find(listed.begin(), listed.end(), records[4].key + ".json");
    const std::vector<int> order = {2, 0, sameInOrder ? 3 : 4, sameInOrder ? 4 : 3, 1};
    std::vector<DriveRecoveryItem> expected;
    for (const int i : order) {
        expected.push_back(
            {*records[i].jobID, *records[i].filename, 42, "uploading", DriveLinkRole::reader});
    }
    EXPECT_EQ(journal.pendingRecords("acct"), expected);
    // A ".json" name that is not a key fails the whole call.
    test::writeFile(dir.file("journal/short.json"), "{}");
    EXPECT_EQ(outcomeOf([&] { journal.pendingRecords("acct"); }), "invalidResponse");
}

TEST(FileDriveTransferJournalTest, DefaultDirectoryFollowsTheDataHome) {
    const auto set = [](const char* name, const char* value) {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    };
    const auto get = [](const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    };
    const std::optional<std::string> home = get("HOME"), data = get("XDG_DATA_HOME");
    set("HOME", "/home/u");
    const std::pair<const char*, std::string> cases[] = {
        {"/x/data/", "/x/data/Tolvane/DriveTransfers"},
        {"relative", "/home/u/.local/share/Tolvane/DriveTransfers"},
        {nullptr, "/home/u/.local/share/Tolvane/DriveTransfers"}};
    for (const auto& [dataHome, expected] : cases) {
        set("XDG_DATA_HOME", dataHome);
        EXPECT_EQ(Journal::defaultDirectory(), expected);
    }
    set("HOME", home ? home->c_str() : nullptr);
    set("XDG_DATA_HOME", data ? data->c_str() : nullptr);
}

// The bookmark holds a file reference: it follows only the very file it was made for.
TEST(FileDriveTransferJournalTest, FileReferenceResolvesOnlyTheSameFile) {
    test::TempDir dir;
    const std::string path = dir.file("archive.zip");
    test::writeFile(path, "version one");
    ASSERT_EQ(::symlink("archive.zip", dir.file("alias.zip").c_str()), 0);
    const FileReference reference = FileReference::make(dir.file("alias.zip"));  // the real file
    char real[PATH_MAX];
    ASSERT_NE(::realpath(path.c_str(), real), nullptr);
    EXPECT_EQ(FileReference::resolve(reference.encode()), std::string(real));
    const std::pair<std::string, std::string> changes[] = {
        {"mv archive.zip moved.zip", "mv moved.zip archive.zip"},
        {"mv archive.zip old.zip && printf 'version one' > archive.zip", "mv old.zip archive.zip"},
        {"mv archive.zip old.zip && ln -s old.zip archive.zip",
         "rm archive.zip && mv old.zip archive.zip"},
        {"truncate -s 3 archive.zip", ""}};
    for (const auto& [change, undo] : changes) {
        ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " + change).c_str()), 0);
        EXPECT_EQ(reference.resolve(), std::nullopt) << change;
        if (!undo.empty()) {
            ASSERT_EQ(std::system(("cd '" + dir.path() + "' && " + undo).c_str()), 0);
            EXPECT_EQ(reference.resolve(), std::string(real)) << change;
        }
    }
    EXPECT_EQ(outcomeOf([&] { FileReference::make(dir.path()); }), "errno EISDIR");

    FileReference foreign = reference;
    std::string good = foreign.encode();
    const std::string damaged[] = {
        "",         "bplist00",           good.substr(0, good.size() - 1),
        good + "x", "X" + good.substr(1), good.substr(0, 4) + '\2' + good.substr(5)};
    for (const std::string& bytes : damaged) {
        EXPECT_EQ(FileReference::decode(bytes), std::nullopt) << bytes.size();
    }
    foreign.path = "a.zip";  // relative
    EXPECT_EQ(FileReference::decode(foreign.encode()), std::nullopt);
    foreign.path = std::string("/a\0b", 4);
    EXPECT_EQ(FileReference::decode(foreign.encode()), std::nullopt);
}

TEST(FileDriveTransferJournalTest, Base64IsStrict) {
    const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {std::string("\0\xff\xfe", 3), "AP/+"}};
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(encodeBase64(bytes), text);
        EXPECT_EQ(decodeBase64(text), bytes) << text;
    }
    for (const char* text :
         {"Zg", "Zg=", "Zg===", "====", "Zm9v\n", "Zm=v", "Zh==", "Zm-_", "Zg==Zg=="}) {
        EXPECT_EQ(decodeBase64(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace tolvane
