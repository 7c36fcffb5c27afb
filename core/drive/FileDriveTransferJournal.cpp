#include "core/drive/FileDriveTransferJournal.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <system_error>
#include <utility>

#include "core/common/Base64.h"
#include "core/common/Digest.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/ScopeExit.h"
#include "core/common/StrictJson.h"
#include "core/common/Unicode.h"
#include "core/common/UniqueFd.h"
#include "core/common/UserFolders.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/FileReference.h"

namespace tolvane {
namespace {

// Far beyond any record the client writes; a larger file is not a record, and reading it whole
// would let one stray file exhaust memory.
constexpr std::size_t maximumRecordBytes = 1 << 20;

bool isHexDigit(char c) noexcept {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// --- record codec --------------------------------------------------------------------------

template <typename T>
void putOptional(StrictJson::OrderedValue& object, const char* name,
                 const std::optional<T>& value) {
    if (value) {
        object[name] = *value;
    }
}

// --- files -----------------------------------------------------------------------------------

std::string recordPath(const std::string& directory, const std::string& key) {
    return PathText::appending(directory, key + ".json");
}

// The whole file, or no value when nothing is at the path. The descriptor is opened without
// following a symbolic link and without waiting on a FIFO. `oversized` is set when the file is
// larger than any record could be; `notARecordFile` when something other than a regular file
// (a link, a directory, a FIFO) sits under the record's name: that never clears by itself, so
// it is treated as corrupt rather than failing every later listing.
struct FileContent {
    std::string bytes;
    bool oversized = false;
    bool notARecordFile = false;
};

std::optional<FileContent> readRecordFile(const std::string& path) {
    const posix::OpenResult opened =
        posix::tryOpenAt(AT_FDCWD, path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (opened.error == ENOENT) {
        return std::nullopt;
    }
    if (opened.error == ELOOP) {
        return FileContent{{}, false, true};
    }
    if (opened.error != 0) {
        posix::throwErrno(opened.error, path);
    }
    const UniqueFd& fd = opened.fd;
    const struct stat st = posix::fstat(fd.get());
    if (!S_ISREG(st.st_mode)) {
        return FileContent{{}, false, true};
    }
    FileContent content;
    // Sized from the file, so listing many small records does not touch a megabyte each; the
    // read still runs to end of file in case the file grew.
    const auto expected = static_cast<std::size_t>(std::min<std::uint64_t>(
        static_cast<std::uint64_t>(std::max<off_t>(st.st_size, 0)), maximumRecordBytes));
    content.bytes.resize(expected + 1);
    std::size_t got = 0;
    for (;;) {
        got += posix::readFull(fd.get(), content.bytes.data() + got, content.bytes.size() - got);
        if (got < content.bytes.size() || content.bytes.size() > maximumRecordBytes) {
            break;
        }
        content.bytes.resize(std::min(content.bytes.size() * 2, maximumRecordBytes + 1));
    }
    content.bytes.resize(got);
    content.oversized = got > maximumRecordBytes;
    return content;
}

// Moves the file aside under a name nothing reads again, without replacing anything there.
void quarantine(const std::string& directory, const std::string& key) {
    const std::string from = recordPath(directory, key);
    const std::string to =
        PathText::appending(directory, key + ".corrupt-" + Uuid::random().text());
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        posix::throwLastError(from);
    }
    // A file system without exclusive rename: link under the new name, then drop the old one.
    if (::link(from.c_str(), to.c_str()) != 0) {
        posix::throwLastError(from);
    }
    if (::unlink(from.c_str()) != 0) {
        const int error = errno;
        ::unlink(to.c_str());
        posix::throwErrno(error, from);
    }
}

}  // namespace

// --- DriveTransferRecord ---------------------------------------------------------------------

DriveTransferRecord DriveTransferRecord::fresh(std::string key, double now) {
    DriveTransferRecord record;
    record.key = std::move(key);
    record.schemaVersion = currentSchemaVersion;
    record.updatedAt = now;
    return record;
}

std::string DriveTransferRecord::encode() const {
    if (!std::isfinite(updatedAt)) {
        throw StrictJson::DecodeError("value of \"updatedAt\" is not a finite number");
    }
    StrictJson::OrderedValue object = StrictJson::OrderedValue::object();
    object["key"] = key;
    object["schemaVersion"] = schemaVersion;
    if (jobID) {
        object["jobID"] = jobID->text();
    }
    putOptional(object, "accountSubject", accountSubject);
    putOptional(object, "filename", filename);
    if (bookmark) {
        object["bookmark"] = Base64::encode(*bookmark);
    }
    putOptional(object, "byteCount", byteCount);
    putOptional(object, "sha256", sha256);
    putOptional(object, "md5", md5);
    object["phase"] = phase;
    object["updatedAt"] = updatedAt - referenceDateUnixSeconds;
    putOptional(object, "folderID", folderID);
    putOptional(object, "sessionURL", sessionURL);
    object["offset"] = offset;
    putOptional(object, "remoteFileID", remoteFileID);
    putOptional(object, "verifiedLink", verifiedLink);
    object["requestedRole"] = std::string(rawValue(requestedRole));
    return StrictJson::encode(object);
}

DriveTransferRecord DriveTransferRecord::decode(std::string_view json) {
    using StrictJson::DecodeError;
    const StrictJson::Value object = StrictJson::parseObject(json);
    const StrictJson::ObjectReader reader(object);
    DriveTransferRecord record;
    record.key = reader.text("key");
    record.schemaVersion = reader.optionalInteger<std::int64_t>("schemaVersion").value_or(1);
    if (const auto text = reader.optionalText("jobID")) {
        record.jobID = Uuid::parse(*text);
        if (!record.jobID) {
            throw DecodeError("value of \"jobID\" is not a UUID");
        }
    }
    record.accountSubject = reader.optionalText("accountSubject");
    record.filename = reader.optionalText("filename");
    if (const auto text = reader.optionalText("bookmark")) {
        record.bookmark = Base64::decode(*text);
        if (!record.bookmark) {
            throw DecodeError("value of \"bookmark\" is not Base64");
        }
    }
    record.byteCount = reader.optionalInteger<std::int64_t>("byteCount");
    record.sha256 = reader.optionalText("sha256");
    record.md5 = reader.optionalText("md5");
    record.phase = reader.optionalText("phase").value_or(std::string(DriveTransferPhase::prepared));
    if (const auto stored = reader.optionalNumber("updatedAt")) {
        record.updatedAt = *stored + referenceDateUnixSeconds;
    }
    record.folderID = reader.optionalText("folderID");
    record.sessionURL = reader.optionalText("sessionURL");
    record.offset = reader.optionalInteger<std::int64_t>("offset").value_or(0);
    record.remoteFileID = reader.optionalText("remoteFileID");
    record.verifiedLink = reader.optionalText("verifiedLink");
    if (const auto text = reader.optionalText("requestedRole")) {
        const auto role = driveLinkRole(*text);
        if (!role) {
            throw DecodeError("value of \"requestedRole\" is not a link role");
        }
        record.requestedRole = *role;
    }
    return record;
}

// --- FileDriveTransferJournal ----------------------------------------------------------------

FileDriveTransferJournal::FileDriveTransferJournal(std::string directory)
    : directory_(std::move(directory)) {}

std::string FileDriveTransferJournal::defaultDirectory() {
    return UserFolders::applicationData("DriveTransfers");
}

std::string FileDriveTransferJournal::key(std::string_view accountID, const Uuid& jobID) {
    std::string material(accountID);
    material.push_back('\0');
    material += jobID.text();
    return Sha256::hexOf(material);
}

bool FileDriveTransferJournal::isWellFormedKey(std::string_view key) noexcept {
    return key.size() == 64 && std::all_of(key.begin(), key.end(), isHexDigit);
}

std::optional<DriveTransferRecord> FileDriveTransferJournal::load(const std::string& key) {
    const std::lock_guard lock(mutex_);
    return loadLocked(key);
}

std::optional<DriveTransferRecord> FileDriveTransferJournal::loadLocked(const std::string& key) {
    if (!isWellFormedKey(key)) {
        throw DriveTransferError::invalidResponse();
    }
    // Errors of opening and reading pass through untouched: EACCES, EMFILE or EIO say nothing
    // about the record, and moving a good record aside would lose its job for good.
    const std::optional<FileContent> content = readRecordFile(recordPath(directory_, key));
    if (!content) {
        return std::nullopt;
    }
    std::optional<DriveTransferRecord> record;
    if (!content->oversized && !content->notARecordFile) {
        try {
            record = DriveTransferRecord::decode(content->bytes);
        } catch (const StrictJson::DecodeError&) {
            record.reset();
        }
    }
    if (!record || record->key != key) {
        quarantine(directory_, key);
        throw DriveTransferError::corruptJournal();
    }
    return record;
}

std::vector<DriveRecoveryItem> FileDriveTransferJournal::pendingRecords(
    std::string_view accountID) {
    const std::lock_guard lock(mutex_);
    const posix::OpenResult directory =
        posix::tryOpenAt(AT_FDCWD, directory_, O_RDONLY | O_DIRECTORY);
    if (directory.error == ENOENT) {
        return {};
    }
    if (directory.error != 0) {
        posix::throwErrno(directory.error, directory_);
    }

    // Sorted by the code points of the NFC name, which is the byte order of its UTF-8; the
    // stable sort keeps equal names in listing order.
    std::vector<std::pair<std::string, DriveRecoveryItem>> items;
    for (const std::string& name : posix::listDirectory(directory.fd.get(), directory_)) {
        if (PathText::pathExtension(name) != "json") {
            continue;
        }
        const std::optional<DriveTransferRecord> record =
            loadLocked(PathText::deletingPathExtension(name));
        if (!record) {
            continue;  // removed since the listing
        }
        if (record->schemaVersion != DriveTransferRecord::currentSchemaVersion ||
            record->accountSubject != accountID || !record->jobID || !record->filename ||
            !record->byteCount || record->phase == DriveTransferPhase::shared) {
            continue;
        }
        items.emplace_back(Unicode::toNFC(*record->filename),
                           DriveRecoveryItem{*record->jobID, *record->filename, *record->byteCount,
                                             record->phase, record->requestedRole});
    }
    std::ranges::stable_sort(items, {}, &std::pair<std::string, DriveRecoveryItem>::first);
    std::vector<DriveRecoveryItem> sorted;
    sorted.reserve(items.size());
    for (auto& item : items) {
        sorted.push_back(std::move(item.second));
    }
    return sorted;
}

void FileDriveTransferJournal::save(const DriveTransferRecord& record) {
    const std::lock_guard lock(mutex_);
    // The key names the file; anything else could point outside the directory.
    if (!isWellFormedKey(record.key)) {
        throw DriveTransferError::invalidResponse();
    }
    UserFolders::makeDirectories(directory_);
    if (::chmod(directory_.c_str(), 0700) != 0) {
        posix::throwLastError(directory_);
    }
    const std::string encoded = record.encode();

    const UniqueFd directoryFd = posix::open(directory_, O_RDONLY | O_DIRECTORY);
    const std::string finalName = record.key + ".json";
    const std::string temporaryName = "." + record.key + "." + Uuid::random().text() + ".tmp";
    UniqueFd fd = posix::openAt(directoryFd.get(), temporaryName,
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    ScopeExit removeTemporary([&] { ::unlinkat(directoryFd.get(), temporaryName.c_str(), 0); });
    // The creation mode passes through the umask; the record must be 0600 whatever it is.
    if (::fchmod(fd.get(), 0600) != 0) {
        posix::throwLastError(temporaryName);
    }
    posix::writeAll(fd.get(), encoded.data(), encoded.size());
    posix::fsync(fd.get());
    // close(2) can report a failed delayed write (network file systems).
    posix::close(fd, temporaryName);
    if (::renameat(directoryFd.get(), temporaryName.c_str(), directoryFd.get(),
                   finalName.c_str()) != 0) {
        posix::throwLastError(finalName);
    }
    removeTemporary.dismiss();
    posix::fsyncDirectory(directoryFd.get());
}

}  // namespace tolvane
