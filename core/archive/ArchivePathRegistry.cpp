#include "core/archive/ArchivePathRegistry.h"

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/archive/ArchivePathPolicy.h"
#include "core/archive/ArchivePipelineError.h"

namespace tolvane {

namespace {

// No journal and no syncing: the database never outlives its job. The tables have no
// if-not-exists clause so that a file left behind by someone else is refused, not reused.
constexpr const char* kSetupScript =
    "PRAGMA journal_mode=OFF;\n"
    "PRAGMA synchronous=OFF;\n"
    "PRAGMA cache_size=-8192;\n"
    "PRAGMA temp_store=FILE;\n"
    "CREATE TABLE paths (key TEXT PRIMARY KEY, kind INTEGER NOT NULL) WITHOUT ROWID;\n"
    "CREATE TABLE parents (key TEXT PRIMARY KEY) WITHOUT ROWID;\n"
    "BEGIN IMMEDIATE;";

// 2^20 bits, 128 KiB.
constexpr std::size_t kFolderFilterWords = std::size_t{1} << 14;

// The two bit positions of a folder key in the filter.
std::pair<std::size_t, std::size_t> filterBits(std::string_view key) noexcept {
    const std::size_t hash = std::hash<std::string_view>{}(key);
    constexpr std::size_t mask = kFolderFilterWords * 64 - 1;
    return {hash & mask, (hash >> 32) & mask};
}

constexpr int kDirectoryKind = 0;
constexpr int kOtherKind = 1;

ArchivePipelineError databaseError(sqlite3* database, std::string_view context) {
    return ArchivePipelineError::finalizationFailed("path registry " + std::string(context) +
                                                    " failed: " + sqlite3_errmsg(database));
}

ArchivePipelineError closedError() {
    return ArchivePipelineError::finalizationFailed("the path registry is closed");
}

// Runs SQL text; the message of a failure, or nothing on success.
std::optional<std::string> execute(sqlite3* database, const char* sql) {
    char* message = nullptr;
    const int result = sqlite3_exec(database, sql, nullptr, nullptr, &message);
    if (result == SQLITE_OK) {
        sqlite3_free(message);
        return std::nullopt;
    }
    std::string text = message != nullptr ? message : sqlite3_errmsg(database);
    sqlite3_free(message);
    return text;
}

}  // namespace

void ArchivePathRegistry::ConnectionCloser::operator()(sqlite3* database) const noexcept {
    // Never ROLLBACK first: with journal_mode=OFF SQLite leaves ROLLBACK undefined. Closing drops
    // the open transaction, and whatever the file then holds is deleted with the job.
    sqlite3_close_v2(database);
}

void ArchivePathRegistry::StatementFinalizer::operator()(sqlite3_stmt* statement) const noexcept {
    sqlite3_finalize(statement);
}

ArchivePathRegistry::ArchivePathRegistry(const std::string& databasePath)
    : folderFilter_(kFolderFilterWords) {
    // A NUL would make SQLite open a shorter path than the one asked for.
    if (databasePath.find('\0') != std::string::npos) {
        throw ArchivePipelineError::finalizationFailed(
            "could not create the path registry: could not open database");
    }
    sqlite3* opened = nullptr;
    const int result =
        sqlite3_open_v2(databasePath.c_str(), &opened,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    Connection connection(opened);
    if (result != SQLITE_OK || !connection) {
        if (!connection) {
            throw ArchivePipelineError::finalizationFailed(
                "could not create the path registry: could not open database");
        }
        throw ArchivePipelineError::finalizationFailed("could not create the path registry: " +
                                                       std::string(sqlite3_errmsg(opened)));
    }
    if (auto failure = execute(connection.get(), kSetupScript)) {
        throw ArchivePipelineError::finalizationFailed("could not configure the path registry: " +
                                                       *failure);
    }
    database_ = std::move(connection);
    // A throw from here on destroys the statements prepared so far and then the connection.
    typeForPath_ = prepare("SELECT kind FROM paths WHERE key = ?1");
    parentExists_ = prepare("SELECT 1 FROM parents WHERE key = ?1");
    insertPathStatement_ = prepare("INSERT INTO paths (key, kind) VALUES (?1, ?2)");
    insertParentStatement_ = prepare("INSERT OR IGNORE INTO parents (key) VALUES (?1)");
    insertNewPathStatement_ = prepare("INSERT OR IGNORE INTO paths (key, kind) VALUES (?1, ?2)");
}

ArchivePathRegistry::~ArchivePathRegistry() {
    finalizeStatements();
    database_.reset();
}

bool ArchivePathRegistry::canInsert(std::string_view path, ArchiveEntryType type) {
    if (!database_) {
        throw closedError();
    }
    const std::string key = ArchivePathPolicy::collisionKey(path);
    if (storedType(key) || !foldersAreFree(key)) {
        return false;
    }
    if (type == ArchiveEntryType::directory) {
        return true;
    }
    // A link is recorded as a non-directory, so it obeys the file rule here as well; otherwise
    // whether a link may share a folder's name would depend on which of the two came first.
    return !containsParent(key);
}

void ArchivePathRegistry::insert(std::string_view path, ArchiveEntryType type) {
    if (!database_) {
        throw closedError();
    }
    knownFolder_.reset();
    const std::string key = ArchivePathPolicy::collisionKey(path);
    insertKey(insertPathStatement_, key, type);
    insertFolders(key);
}

bool ArchivePathRegistry::tryInsert(std::string_view path, ArchiveEntryType type) {
    if (!database_) {
        throw closedError();
    }
    const std::string key = ArchivePathPolicy::collisionKey(path);
    const std::size_t lastSlash = key.rfind('/');
    const bool inKnownFolder = lastSlash != std::string::npos && knownFolder_ &&
                               std::string_view(key).substr(0, lastSlash) == *knownFolder_;
    if (!inKnownFolder && !foldersAreFree(key)) {
        return false;
    }
    if (type != ArchiveEntryType::directory && containsParent(key)) {
        return false;
    }
    // Last, so that a refusal records nothing: a key already taken is left as it is.
    insertKey(insertNewPathStatement_, key, type);
    if (sqlite3_changes(database_.get()) == 0) {
        return false;
    }
    if (!inKnownFolder) {
        knownFolder_.reset();
        insertFolders(key);
        if (lastSlash != std::string::npos) {
            knownFolder_ = key.substr(0, lastSlash);
        }
    }
    return true;
}

void ArchivePathRegistry::insertKey(const Statement& insert, const std::string& key,
                                    ArchiveEntryType type) {
    sqlite3_stmt* statement = ready(insert);
    bind(key, statement);
    const int kind = type == ArchiveEntryType::directory ? kDirectoryKind : kOtherKind;
    if (sqlite3_bind_int(statement, 2, kind) != SQLITE_OK ||
        sqlite3_step(statement) != SQLITE_DONE) {
        throw databaseError(database_.get(), "insert path");
    }
}

bool ArchivePathRegistry::foldersAreFree(const std::string& key) {
    for (auto slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
        if (storedType(key.substr(0, slash)) == ArchiveEntryType::file) {
            return false;
        }
    }
    return true;
}

void ArchivePathRegistry::insertFolders(const std::string& key) {
    for (auto slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
        const std::string folder = key.substr(0, slash);
        // Marked before the insert, so that a folder the table may hold is never filtered out.
        const auto [first, second] = filterBits(folder);
        folderFilter_[first / 64] |= std::uint64_t{1} << (first % 64);
        folderFilter_[second / 64] |= std::uint64_t{1} << (second % 64);
        sqlite3_stmt* statement = ready(insertParentStatement_);
        bind(folder, statement);
        if (sqlite3_step(statement) != SQLITE_DONE) {
            throw databaseError(database_.get(), "insert parent path");
        }
    }
}

void ArchivePathRegistry::close() {
    if (!database_) {
        return;
    }
    // A failed COMMIT is not followed by ROLLBACK (undefined without a journal); closing the
    // connection abandons the transaction.
    const std::optional<std::string> commitFailure = execute(database_.get(), "COMMIT");
    finalizeStatements();
    sqlite3* database = database_.release();
    const bool closed = sqlite3_close(database) == SQLITE_OK;
    if (!closed) {
        // Still open: hand it to SQLite to free as soon as it can rather than leak it.
        sqlite3_close_v2(database);
    }
    if (commitFailure) {
        throw ArchivePipelineError::finalizationFailed(
            "could not commit the path registry: " +
            (commitFailure->empty() ? std::string("unknown SQLite error") : *commitFailure));
    }
    if (!closed) {
        throw ArchivePipelineError::finalizationFailed("could not close the path registry");
    }
}

ArchivePathRegistry::Statement ArchivePathRegistry::prepare(const char* sql) {
    sqlite3_stmt* prepared = nullptr;
    const int result = sqlite3_prepare_v2(database_.get(), sql, -1, &prepared, nullptr);
    Statement statement(prepared);
    if (result != SQLITE_OK || !statement) {
        throw databaseError(database_.get(), "prepare statement");
    }
    return statement;
}

sqlite3_stmt* ArchivePathRegistry::ready(const Statement& statement) {
    if (!database_ || !statement) {
        throw closedError();
    }
    // The result of reset repeats the previous step's failure, which was reported already.
    sqlite3_reset(statement.get());
    sqlite3_clear_bindings(statement.get());
    return statement.get();
}

void ArchivePathRegistry::bind(const std::string& text, sqlite3_stmt* statement) {
    // The length is given so that a key is never cut at an embedded NUL.
    if (sqlite3_bind_text64(statement, 1, text.data(), text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8) != SQLITE_OK) {
        throw databaseError(database_.get(), "bind path");
    }
}

std::optional<ArchiveEntryType> ArchivePathRegistry::storedType(const std::string& key) {
    sqlite3_stmt* statement = ready(typeForPath_);
    bind(key, statement);
    switch (sqlite3_step(statement)) {
        case SQLITE_DONE:
            return std::nullopt;
        case SQLITE_ROW:
            return sqlite3_column_int(statement, 0) == kDirectoryKind ? ArchiveEntryType::directory
                                                                      : ArchiveEntryType::file;
        default:
            throw databaseError(database_.get(), "query path");
    }
}

bool ArchivePathRegistry::containsParent(const std::string& key) {
    const auto [first, second] = filterBits(key);
    if ((folderFilter_[first / 64] >> (first % 64) & 1) == 0 ||
        (folderFilter_[second / 64] >> (second % 64) & 1) == 0) {
        return false;
    }
    sqlite3_stmt* statement = ready(parentExists_);
    bind(key, statement);
    switch (sqlite3_step(statement)) {
        case SQLITE_ROW:
            return true;
        case SQLITE_DONE:
            return false;
        default:
            throw databaseError(database_.get(), "query parent path");
    }
}

void ArchivePathRegistry::finalizeStatements() noexcept {
    typeForPath_.reset();
    parentExists_.reset();
    insertPathStatement_.reset();
    insertParentStatement_.reset();
    insertNewPathStatement_.reset();
}

}  // namespace tolvane
