#include "core/common/Base64.h"
#include "core/drive/FileDriveTransferJournal.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "core/common/StrictJson.h"
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
const std::string headA = "{\"key\":\"" + keyA + "\"";
// Every field, in the order they are written.
const std::string fullA =
    headA +
    R"(,"schemaVersion":2,"jobID":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","accountSubject":"acct",)"
    R"("filename":"보고서 2024.zip","bookmark":"Zm8A//4=","byteCount":1234567890123,)"
    R"("sha256":"5f1d","md5":"9e10","phase":"verified","updatedAt":12.5,"folderID":"folder-1",)"
    R"("sessionURL":"https://upload.example/?upload_id=x","offset":8388608,"remoteFileID":"r-1",)"
    R"("verifiedLink":"https://drive.google.com/file/d/r-1/view","requestedRole":"writer"})";

// A record that pendingRecords(account) lists.
Record pending(const std::string& filename, const std::string& account = "acct",
               const Uuid& job = Uuid::random()) {
    Record record = Record::fresh(Journal::key(account, job), 1'700'000'000.0);
    record.jobID = job;
    record.accountSubject = account;
    record.filename = filename;
    record.byteCount = 42;
    return record;
}

TEST(FileDriveTransferJournalTest, KeysAndRecordCodec) {
    // SHA-256 of the account, a NUL and the job's upper-case text, computed independently.
    EXPECT_EQ(
        Journal::key("108123456789012345678", *Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")),
        "8049bba6560ad81225a04dc647a2e9815351a7cb4952ccb5f4c1dbcaeaa2aafc");
    // Every field in its place; dates count seconds from 2001-01-01; the bookmark is Base64.
    const Record record = Record::decode(fullA);
    EXPECT_EQ(record.updatedAt, 978'307'200.0 + 12.5);
    EXPECT_EQ(*record.bookmark + Base64::encode("f") + *Base64::decode("Zg=="),
              std::string("fo\0\xff\xfe", 5) + "Zg==f");
    EXPECT_EQ(record.encode(), fullA);
    // Missing fields read as the defaults; unknown keys are ignored.
    Record defaults;
    defaults.key = keyA;
    EXPECT_EQ(Record::decode(headA + ",\"new\":{\"x\":[1]}}"), defaults);
    // Strict: a value of the wrong form never reads as a default. Base64 takes no line breaks,
    // only whole groups, padding only at the end and no stray bits.
    std::vector<std::string> refused = {"{}", headA + ",\"offset\":\"0\"}",
                                        headA + ",\"requestedRole\":\"owner\"}",
                                        headA + ",\"jobID\":\"E621E1F8C36C495A93FC0C247A3E6E5F\"}"};
    for (const char* text : {"Zg=", "Zm8\\n", "Zm-_", "Zg==Zg==", "Zh==", "Zm9="}) {
        refused.push_back(headA + ",\"bookmark\":\"" + text + "\"}");
    }
    for (const std::string& json : refused) {
        EXPECT_THROW(Record::decode(json), StrictJson::DecodeError) << json;
    }
}

TEST(FileDriveTransferJournalTest, WhatIsNotARecordIsMovedAsideOnce) {
    // Not a record, another record's key, a file larger than any record; and what is not a
    // regular file (a FIFO must not block), which would never clear and would fail every listing.
    for (const std::string& content :
         {std::string("{}"), "{\"key\":\"" + Journal::key("acct", Uuid()) + "\"}",
          headA + "}" + std::string((1 << 20) + 1, ' '), std::string("link"),
          std::string("fifo")}) {
        test::TempDir dir;
        Journal journal(dir.path());
        journal.save(pending("kept.zip"));
        const std::string path = dir.file(keyA + ".json");
        test::writeFile(dir.file("target"), "{}");
        ASSERT_EQ(content == "link"   ? ::symlink("target", path.c_str())
                  : content == "fifo" ? ::mkfifo(path.c_str(), 0600)
                                      : (test::writeFile(path, content), 0),
                  0);
        EXPECT_EQ(outcomeOf([&] { journal.pendingRecords("acct"); }), "corruptJournal");
        const std::vector<std::string> names = test::namesIn(dir.path());
        const auto aside = std::ranges::find_if(
            names, [](const std::string& name) { return name.starts_with(keyA + ".corrupt-"); });
        ASSERT_NE(aside, names.end()) << content.substr(0, 80);
        if (content.starts_with("{")) {
            EXPECT_EQ(test::readFile(dir.file(*aside)), content);
        }
        EXPECT_EQ(names.size(), 3u);
        EXPECT_EQ(test::readFile(dir.file("target")), "{}");
        EXPECT_EQ(journal.pendingRecords("acct").size(), 1u);
    }
}

TEST(FileDriveTransferJournalTest, AnUnreadableRecordStaysWhereItIs) {
    test::TempDir dir;
    const std::string directory = dir.file("journal"), path = directory + "/" + keyA + ".json";
    Journal journal(directory);
    journal.save(pending("a.zip", "acct", jobA));
    // The unprivileged child owns the folder (so it could rename the record) but cannot read it.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(directory.c_str(), test::unprivilegedId, test::unprivilegedId), 0);
    }
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    const test::ChildExit exit = test::runInChild([&] {
        const bool denied = test::dropPrivileges() &&
                            outcomeOf([&] { journal.pendingRecords("acct"); }) == "errno EACCES";
        return denied ? 0 : 1;
    });
    EXPECT_TRUE(exit.succeeded()) << exit.describe();
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(journal.load(keyA), pending("a.zip", "acct", jobA));
}

TEST(FileDriveTransferJournalTest, SaveReplacesAtomicallyWithPrivateModes) {
    test::TempDir dir;
    Journal journal(dir.file("a/b/c"));
    // The key names the file: nothing but 64 hex digits of either case, so it stays inside.
    for (const std::string& key : {keyA + "0", "../" + keyA.substr(3)}) {
        EXPECT_EQ(outcomeOf([&] { journal.load(key); }) +
                      outcomeOf([&] { journal.save(Record::fresh(key, 0)); }),
                  "invalidResponseinvalidResponse")
            << key;
    }
    EXPECT_EQ(journal.load(std::string(64, 'A')), std::nullopt);
    const Record full = Record::decode(fullA);
    // Even a umask that strips the owner's own bits cannot change the modes, and a folder
    // widened in between is made private again.
    const mode_t previous = ::umask(0277);
    journal.save(pending("first.zip", "acct", jobA));
    ::chmod(dir.file("a/b/c").c_str(), 0755);
    journal.save(full);
    ::umask(previous);
    EXPECT_EQ(journal.load(keyA), full);
    std::vector<mode_t> modes;
    for (const std::string& path :
         std::vector<std::string>{"a", "a/b", "a/b/c", "a/b/c/" + keyA + ".json"}) {
        struct stat st {};
        ::lstat(dir.file(path).c_str(), &st);
        modes.push_back(st.st_mode & 07777);
    }
    EXPECT_EQ(modes, (std::vector<mode_t>{0700, 0700, 0700, 0600}));
    EXPECT_EQ(test::namesIn(dir.file("a/b/c")), std::vector<std::string>{keyA + ".json"});
    // A failed rename (a folder in the way) leaves no temporary file.
    const std::string other = Journal::key("acct", Uuid());
    ASSERT_EQ(::mkdir(dir.file("a/b/c/" + other + ".json").c_str(), 0700), 0);
    EXPECT_EQ(outcomeOf([&] { journal.save(Record::fresh(other, 0)); }), "errno EISDIR");
    EXPECT_EQ(test::namesIn(dir.file("a/b/c")).size(), 2u);
}

TEST(FileDriveTransferJournalTest, PendingRecordsFilterAndSort) {
    test::TempDir dir;
    Journal journal(dir.file("journal"));
    EXPECT_TRUE(journal.pendingRecords("acct").empty());  // no folder yet
    // By the code points of the NFC form: upper case first, the composed "é" after every ASCII
    // name. Left out: another account (by exact text), finished, an old schema, a field missing.
    std::vector<Record> records;
    for (const char* name : {"b.zip", "e\xCC\x81.zip", "Zeta.zip"}) {
        records.push_back(pending(name));
    }
    for (const char* account : {"other", "ACCT", "acct", "acct", "acct", "acct", "acct"}) {
        records.push_back(pending("a", account));
    }
    records[5].phase = "shared";
    records[6].schemaVersion = 1;
    records[7].jobID.reset();
    records[8].filename.reset();
    records[9].byteCount.reset();
    for (const Record& record : records) {
        journal.save(record);
    }
    for (const std::string& name : {"." + keyA + ".1.tmp", keyA + ".JSON"}) {
        test::writeFile(dir.file("journal/" + name), "garbage");  // only "<key>.json" is read
    }
    const auto item = [&](int i) {
        return DriveRecoveryItem{*records[i].jobID, *records[i].filename, 42, "prepared"};
    };
    EXPECT_EQ(journal.pendingRecords("acct"), (std::vector{item(2), item(0), item(1)}));
}

TEST(FileDriveTransferJournalTest, DefaultDirectoryFollowsTheDataHome) {
    // In a child, so that the test's own environment stays as it was.
    const test::ChildExit exit = test::runInChild([] {
        ::setenv("HOME", "/home/u", 1);
        ::setenv("XDG_DATA_HOME", "relative", 1);  // not a valid data home
        const bool fellBack =
            Journal::defaultDirectory() == "/home/u/.local/share/Tolvane/DriveTransfers";
        ::setenv("XDG_DATA_HOME", "/x/data/", 1);
        return fellBack && Journal::defaultDirectory() == "/x/data/Tolvane/DriveTransfers" ? 0 : 1;
    });
    EXPECT_TRUE(exit.succeeded()) << exit.describe();
}

// The bookmark's file reference follows only its own file (the Drive client's tests move it).
TEST(FileDriveTransferJournalTest, FileReferenceResolvesOnlyTheSameFile) {
    test::TempDir dir;
    const std::string path = dir.file("archive.zip"), old = dir.file("old.zip");
    test::writeFile(path, "version one");
    ASSERT_EQ(::symlink(path.c_str(), dir.file("alias.zip").c_str()), 0);
    FileReference reference = FileReference::make(dir.file("alias.zip"));  // the file, not the link
    std::string resolved = reference.resolve().value_or("stale") + " ";
    ASSERT_EQ(::rename(path.c_str(), old.c_str()) + ::symlink(old.c_str(), path.c_str()), 0);
    resolved += reference.resolve().value_or("stale") + " ";  // a link to it in its place
    ASSERT_EQ(::rename(old.c_str(), path.c_str()) + ::truncate(path.c_str(), 3), 0);
    resolved += reference.resolve().value_or("stale");  // changed in place
    EXPECT_EQ(resolved, std::filesystem::canonical(path).string() + " stale stale");
    const std::string good = reference.encode();
    FileReference relative = reference;
    relative.path = "a.zip";
    for (const std::string& bytes :
         {std::string(), good.substr(0, good.size() - 1), "X" + good.substr(1),
          good.substr(0, 4) + '\2' + good.substr(5), relative.encode()}) {
        EXPECT_EQ(FileReference::decode(bytes), std::nullopt) << bytes.size();
    }
}

}  // namespace
}  // namespace tolvane
