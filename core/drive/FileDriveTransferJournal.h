#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/Uuid.h"
#include "core/drive/DriveTypes.h"

namespace tolvane {

// How far a transfer has come, in the order a transfer passes them. The journal itself only
// tells "shared" (finished) from everything else (pending).
namespace DriveTransferPhase {
inline constexpr std::string_view prepared = "prepared";
inline constexpr std::string_view uploading = "uploading";
inline constexpr std::string_view uploaded = "uploaded";
inline constexpr std::string_view verified = "verified";
inline constexpr std::string_view needsPermissionCheck = "needsPermissionCheck";
inline constexpr std::string_view shared = "shared";
}  // namespace DriveTransferPhase

// One journal file. Defaults are what a file without the key reads as.
struct DriveTransferRecord {
    static constexpr std::int64_t currentSchemaVersion = 2;
    // Dates are Unix seconds in memory; the file counts seconds from 2001-01-01 00:00:00 UTC.
    static constexpr double referenceDateUnixSeconds = 978'307'200.0;
    // The far-past date a record without "updatedAt" reads as (stored form -63,114,076,800).
    static constexpr double distantPast = -62'135'769'600.0;

    std::string key;  // must equal the file's base name
    std::int64_t schemaVersion = 1;
    std::optional<Uuid> jobID;
    std::optional<std::string> accountSubject;
    std::optional<std::string> filename;
    std::optional<std::string> bookmark;  // bytes of an encoded FileReference; Base64 on disk
    std::optional<std::int64_t> byteCount;
    std::optional<std::string> sha256;
    std::optional<std::string> md5;
    std::string phase{DriveTransferPhase::prepared};
    double updatedAt = distantPast;  // Unix seconds
    std::optional<std::string> folderID;
    std::optional<std::string> sessionURL;
    std::int64_t offset = 0;
    std::optional<std::string> remoteFileID;
    std::optional<std::string> verifiedLink;
    DriveLinkRole requestedRole = DriveLinkRole::reader;

    // A new record for a job that has none yet: current schema, "prepared", updated `now`.
    static DriveTransferRecord fresh(std::string key, double now);

    // Compact JSON in field order; absent optional fields are left out, never written as null.
    // Throws StrictJson::DecodeError for a value that could not be read back (a text that is not
    // UTF-8, a date that is not finite).
    std::string encode() const;
    // Strict: exact JSON types, null as absent, unknown keys ignored; a missing "key", a role
    // other than "reader" and "writer", a malformed job identifier or Base64 text throws
    // StrictJson::DecodeError.
    static DriveTransferRecord decode(std::string_view json);

    friend bool operator==(const DriveTransferRecord&, const DriveTransferRecord&) = default;
};

// The on-disk journal of Drive transfers: one "<key>.json" per account and job, kept for good.
// Thread-safe. Its operations run one at a time: the mutex orders the disk work itself, which
// is all the journal does, so it is held across it.
class FileDriveTransferJournal {
public:
    // Touches nothing on disk.
    explicit FileDriveTransferJournal(std::string directory);

    const std::string& directory() const noexcept { return directory_; }

    // "Tolvane/DriveTransfers" under $XDG_DATA_HOME (when absolute), else ~/.local/share.
    static std::string defaultDirectory();

    // 64 lowercase hex digits: SHA-256 of the account, one NUL byte and the job's canonical text.
    static std::string key(std::string_view accountID, const Uuid& jobID);
    // Exactly 64 hex digits of either case.
    static bool isWellFormedKey(std::string_view key) noexcept;

    // The record of `key`, or no value when its file does not exist. A malformed key throws
    // DriveTransferError::invalidResponse. A file that does not decode, or whose "key" differs,
    // is renamed to "<key>.corrupt-<UUID>" and DriveTransferError::corruptJournal is thrown (the
    // rename's own failure is thrown instead, the file left in place). A failure to open or read
    // the file (EACCES, EMFILE, EIO, EISDIR, ELOOP for a symbolic link, ...) is thrown as
    // std::system_error and leaves the file where it is: it says nothing about the record.
    std::optional<DriveTransferRecord> load(const std::string& key);

    // The account's unfinished transfers (schema 2, this account, job, file name and byte count
    // present, phase not "shared"), sorted by file name in code-point order of the NFC form,
    // equal names in listing order. The first failing load fails the whole call.
    std::vector<DriveRecoveryItem> pendingRecords(std::string_view accountID);

    // Replaces "<key>.json" atomically: the directory is created (and kept) with mode 0700, the
    // record written to an exclusively created hidden temporary file of mode 0600, flushed,
    // renamed into place and the directory flushed. A malformed key throws
    // DriveTransferError::invalidResponse; file-system failures are std::system_error.
    void save(const DriveTransferRecord& record);

private:
    std::optional<DriveTransferRecord> loadLocked(const std::string& key);

    std::string directory_;
    std::mutex mutex_;
};

}  // namespace tolvane
