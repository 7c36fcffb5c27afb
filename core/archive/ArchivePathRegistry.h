#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchiveValues.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tolvane {

// The collision table of one archive job: every archive path recorded so far, by collision key,
// plus every folder those paths live in, kept in a scratch SQLite database so a job with a
// million entries does not hold its paths in memory. A path is refused when its key is taken,
// when it would live below a file, or when it is a file (or link) named like a folder that other
// entries live in.
//
// The whole job runs in one write transaction without a rollback journal: close() commits it;
// releasing the registry without close() simply drops the connection, since the database file is
// deleted with the job anyway. Used from one thread only.
//
// Every failure is ArchivePipelineError::finalizationFailed with an English detail; a failed
// query or insert leaves the registry usable.
class ArchivePathRegistry {
public:
    // Creates the database at databasePath, which must not exist yet: an existing database fails
    // with "could not configure the path registry: ..." because its tables already exist.
    explicit ArchivePathRegistry(const std::string& databasePath);
    ArchivePathRegistry(const ArchivePathRegistry&) = delete;
    ArchivePathRegistry& operator=(const ArchivePathRegistry&) = delete;
    ~ArchivePathRegistry();

    // Whether the archive path may be recorded next to everything recorded so far.
    bool canInsert(std::string_view path, ArchiveEntryType type);
    // Records a path that canInsert accepted; the test is not repeated, but a key recorded twice
    // still fails on the table's uniqueness.
    void insert(std::string_view path, ArchiveEntryType type);
    // canInsert and insert in one step, for the walks that ask both of every path: records the
    // path and returns true exactly when canInsert would have accepted it.
    bool tryInsert(std::string_view path, ArchiveEntryType type);
    // Commits and closes. Later calls do nothing; every other operation then fails with "the path
    // registry is closed". The registry is closed afterwards even when this throws.
    void close();

private:
    struct ConnectionCloser {
        void operator()(sqlite3* database) const noexcept;
    };
    struct StatementFinalizer {
        void operator()(sqlite3_stmt* statement) const noexcept;
    };
    using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;
    using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

    Statement prepare(const char* sql);
    // Resets the statement and clears its bindings for the next use.
    sqlite3_stmt* ready(const Statement& statement);
    void bind(const std::string& text, sqlite3_stmt* statement);
    std::optional<ArchiveEntryType> storedType(const std::string& key);
    bool containsParent(const std::string& key);
    // Runs one of the statements that record a key with its kind.
    void insertKey(const Statement& insert, const std::string& key, ArchiveEntryType type);
    // Whether no folder of the key is recorded as a file, and the same for inserting them.
    bool foldersAreFree(const std::string& key);
    void insertFolders(const std::string& key);
    void finalizeStatements() noexcept;

    // Declared first so that it outlives the statements on every way out, including a
    // constructor that throws halfway.
    Connection database_;
    Statement typeForPath_;
    Statement parentExists_;
    Statement insertPathStatement_;
    Statement insertParentStatement_;
    Statement insertNewPathStatement_;
    // The folder of the last path recorded by tryInsert: its folders are all recorded as
    // folders, so the many entries of one folder skip those queries. insert() forgets it, since
    // it may record a file in such a place.
    std::optional<std::string> knownFolder_;
    // Two bits for every folder key recorded: a key whose bits are not both set is surely not a
    // folder, which spares most files the folder query. A fixed size keeps memory flat.
    std::vector<std::uint64_t> folderFilter_;
};

}  // namespace tolvane
