#include "core/archive/StagingLease.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/archive/AtomicOutputCommitter.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/ScopeExit.h"
#include "core/common/StrictJson.h"
#include "core/common/UserFolders.h"
#include "core/common/Uuid.h"

namespace tolvane::ArchivePipeline {
namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Names a directory without needing read or search permission on it, so a stage whose
// permissions were taken away can still be identified and repaired.
constexpr int directoryPathFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const Identity&, const Identity&) = default;
};

Identity identityOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::string stageName(const std::string& id) {
    return std::string(stageNamePrefix) + id + std::string(stageDirectorySuffix);
}
std::string lockName(const std::string& id) {
    return std::string(stageNamePrefix) + id + std::string(stageLockSuffix);
}
std::string journalName(const std::string& id) {
    return std::string(stageNamePrefix) + id + std::string(stageJournalSuffix);
}

// The UUID text of a marker name with the given suffix, only when it is the canonical
// upper-case form: a lower-case or otherwise spelled name was not made by this system.
std::optional<std::string> markerIdentifier(std::string_view name, std::string_view suffix) {
    if (name.size() < stageNamePrefix.size() + suffix.size() ||
        !name.starts_with(stageNamePrefix) || !name.ends_with(suffix)) {
        return std::nullopt;
    }
    const std::string_view middle =
        name.substr(stageNamePrefix.size(), name.size() - stageNamePrefix.size() - suffix.size());
    const std::optional<Uuid> uuid = Uuid::parse(middle);
    if (!uuid || uuid->text() != middle) {
        return std::nullopt;
    }
    return std::string(middle);
}

// fstatat without following a link; 0 or the errno.
int statEntry(int directoryFd, const std::string& name, struct stat& st) {
    return ::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

bool pathExists(int parentFd, const std::string& name) {
    struct stat st {};
    return statEntry(parentFd, name, st) == 0;
}

bool isGoneOrNotADirectory(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

// Unlinks a marker only while the name still holds the file it is known to be; a name that
// was taken over by some other entry is not ours to delete. Returns 0 or the errno.
int unlinkMarkerIfSame(int parentFd, const std::string& name, const Identity& expected) {
    struct stat st {};
    if (const int error = statEntry(parentFd, name, st); error != 0) {
        return error;
    }
    if (!S_ISREG(st.st_mode) || identityOf(st) != expected) {
        return 0;
    }
    return ::unlinkat(parentFd, name.c_str(), 0) == 0 ? 0 : errno;
}

// flock(2) without waiting, retried after EINTR: 0, or the errno (EWOULDBLOCK while a live job
// holds the lock).
int tryLock(int fd) noexcept {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// A lock file whose flock is taken, given back before the descriptor closes: a child forked
// meanwhile shares the open file description, so closing ours alone would not free the lock.
class HeldLock {
public:
    explicit HeldLock(UniqueFd fd) noexcept : fd_(std::move(fd)) {}
    HeldLock(HeldLock&&) noexcept = default;
    HeldLock& operator=(HeldLock&&) = delete;
    ~HeldLock() {
        if (fd_) {
            ::flock(fd_.get(), LOCK_UN);
        }
    }

private:
    UniqueFd fd_;
};

// A descriptor that can read and change the directory `pathFd` names. A directory of this
// user first gets owner read, write and search permission back: an unpack may have restored
// modes like 0500 or 0000 on it, and without that repair its stage could never be removed.
UniqueFd openDirectoryForRemoval(int pathFd, const struct stat& st) {
    const bool owned = st.st_uid == ::geteuid();
    const bool restricted = (st.st_mode & S_IRWXU) != S_IRWXU;
    if (owned && restricted) {
        // fchmod refuses O_PATH descriptors; the descriptor's /proc link names exactly this
        // directory, whatever happens to its name meanwhile.
        const std::string link = "/proc/self/fd/" + std::to_string(pathFd);
        ::chmod(link.c_str(), 0700);
    }
    UniqueFd directory = posix::openAt(pathFd, ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (owned && restricted) {
        // Without /proc the repair above failed; a directory that could still be opened is
        // repaired through its own descriptor.
        const struct stat now = posix::fstat(directory.get());
        if ((now.st_mode & S_IRWXU) != S_IRWXU) {
            ::fchmod(directory.get(), 0700);
        }
    }
    return directory;
}

// The directory `name` in `parentFd`, opened for removal, only while it is the directory
// `expected`; nothing when it is gone, not a directory, or another one.
std::optional<UniqueFd> openForRemoval(int parentFd, const std::string& name,
                                       const Identity& expected) {
    posix::OpenResult path = posix::tryOpenAt(parentFd, name, directoryPathFlags);
    if (!path.fd) {
        if (isGoneOrNotADirectory(path.error)) {
            return std::nullopt;
        }
        posix::throwErrno(path.error, name);
    }
    const struct stat st = posix::fstat(path.fd.get());
    if (!S_ISDIR(st.st_mode) || identityOf(st) != expected) {
        return std::nullopt;
    }
    return openDirectoryForRemoval(path.fd.get(), st);
}

bool acceptableJournal(const StageJournal& journal, const std::string& id) {
    return journal.version == 1 && journal.jobIdentifier == id &&
           (journal.operation == "pack" || journal.operation == "unpack") &&
           journal.ownerProcessIdentifier >= 1;
}

struct JournalFile {
    StageJournal journal;
    Identity identity;
};

// A regular file of this user of at most maximumStageJournalBytes, decoded by `decode`; nothing
// on any failure.
template <typename Decode>
auto readMarkerFile(int directoryFd, const std::string& name, const Decode& decode)
    -> std::optional<std::pair<decltype(decode(std::string_view())), Identity>> {
    // O_NONBLOCK: a FIFO planted under the name must not hang the new job; it is then refused
    // as not a regular file.
    const posix::OpenResult opened =
        posix::tryOpenAt(directoryFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (!opened.fd || ::fstat(opened.fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || st.st_size < 0 ||
        static_cast<std::uint64_t>(st.st_size) > maximumStageJournalBytes) {
        return std::nullopt;
    }
    try {
        // One byte more than the size shows a file that grew while being read.
        std::string bytes(static_cast<std::size_t>(st.st_size) + 1, '\0');
        if (posix::readFull(opened.fd.get(), bytes.data(), bytes.size()) + 1 != bytes.size()) {
            return std::nullopt;
        }
        bytes.pop_back();
        return std::pair(decode(bytes), identityOf(st));
    } catch (const std::system_error&) {
        return std::nullopt;
    } catch (const StrictJson::DecodeError&) {
        return std::nullopt;
    }
}

std::optional<JournalFile> readJournalFile(int parentFd, const std::string& id) {
    auto read = readMarkerFile(parentFd, journalName(id), decodeStageJournal);
    if (!read) {
        return std::nullopt;
    }
    return JournalFile{std::move(read->first), read->second};
}

// What the job that made a stage wrote in the user's data folder before making any of its
// entries: which process, and in which folder.
struct StageRecord {
    std::string jobIdentifier;
    std::int32_t ownerProcessIdentifier = 0;
    Identity parent;
};

std::string recordName(const std::string& id) {
    return id + ".json";
}

std::string encodeStageRecord(const StageRecord& record) {
    StrictJson::OrderedValue value = StrictJson::OrderedValue::object();
    value["version"] = 1;
    value["jobIdentifier"] = record.jobIdentifier;
    value["ownerProcessIdentifier"] = record.ownerProcessIdentifier;
    value["parentDevice"] = record.parent.device;
    value["parentInode"] = record.parent.inode;
    return StrictJson::encode(value);
}

std::optional<StageRecord> decodeStageRecord(std::string_view text) {
    const StrictJson::Value value = StrictJson::parseObject(text);
    const StrictJson::ObjectReader reader(value);
    if (reader.integer<std::int64_t>("version") != 1) {
        return std::nullopt;
    }
    return StageRecord{reader.text("jobIdentifier"),
                       reader.integer<std::int32_t>("ownerProcessIdentifier"),
                       {reader.integer<std::uint64_t>("parentDevice"),
                        reader.integer<std::uint64_t>("parentInode")}};
}

// Where recovery in one folder looks for its proof: the open record directory (invalid when
// there is none) and the folder's identity.
struct Provenance {
    UniqueFd records;
    Identity parent;
};

// The markers of job `id` proven to be a dead job's: its lock file is a regular file of this
// user that nobody holds (taken now, and held while this lives), and its journal decodes
// strictly and names this job.
struct StaleMarkers {
    HeldLock lock;
    Identity lockIdentity;
    Identity journalIdentity;
};

std::optional<StaleMarkers> claimStaleMarkers(int parentFd, const std::string& id,
                                              const Provenance& provenance) {
    posix::OpenResult opened =
        posix::tryOpenAt(parentFd, lockName(id), O_RDWR | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (!opened.fd || ::fstat(opened.fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || tryLock(opened.fd.get()) != 0) {
        return std::nullopt;
    }
    StaleMarkers markers{HeldLock(std::move(opened.fd)), identityOf(st), {}};
    const std::optional<JournalFile> journal = readJournalFile(parentFd, id);
    if (!journal || !acceptableJournal(journal->journal, id) || !provenance.records) {
        return std::nullopt;
    }
    // Lock and journal are plain files anyone can write, an unpacked archive included; only the
    // record in the user's own folder shows that this program made them here.
    const auto record = readMarkerFile(provenance.records.get(), recordName(id), decodeStageRecord);
    if (!record || !record->first || record->first->jobIdentifier != id ||
        record->first->ownerProcessIdentifier != journal->journal.ownerProcessIdentifier ||
        record->first->parent != provenance.parent) {
        return std::nullopt;
    }
    markers.journalIdentity = journal->identity;
    return markers;
}

void removeMarkers(int parentFd, const std::string& id, const StaleMarkers& markers,
                   const Provenance& provenance) {
    const int journal = unlinkMarkerIfSame(parentFd, journalName(id), markers.journalIdentity);
    const int lock = unlinkMarkerIfSame(parentFd, lockName(id), markers.lockIdentity);
    // The record goes last, and only once nothing it vouches for is left.
    if ((journal == 0 || journal == ENOENT) && (lock == 0 || lock == ENOENT)) {
        ::unlinkat(provenance.records.get(), recordName(id).c_str(), 0);
    }
}

std::string describe(const std::exception& error) {
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
        return system->code().message();
    }
    return error.what();
}

void publishWarnings(Progress* progress, const std::vector<std::string>& warnings) {
    if (progress == nullptr || warnings.empty()) {
        return;
    }
    // One warning per line: a folder name holding a line feed or a direction mark must not
    // split or reorder them.
    std::string joined;
    for (const std::string& warning : warnings) {
        if (!joined.empty()) {
            joined += '\n';
        }
        joined += PathText::escapedForMessage(warning);
    }
    progress->setUserInfo(ArchiveProgressInfo::cleanupWarningKey, std::move(joined));
}

void removeStaleStage(const std::string& parentURL, int parentFd, const std::string& name,
                      const Provenance& provenance, std::vector<std::string>& warnings) {
    const std::optional<std::string> id = markerIdentifier(name, stageDirectorySuffix);
    if (!id) {
        return;
    }
    const posix::OpenResult stage = posix::tryOpenAt(parentFd, name, directoryPathFlags);
    struct stat stageStat {};
    if (!stage.fd || ::fstat(stage.fd.get(), &stageStat) != 0 || stageStat.st_uid != ::geteuid() ||
        !S_ISDIR(stageStat.st_mode)) {
        return;
    }
    const std::optional<StaleMarkers> markers = claimStaleMarkers(parentFd, *id, provenance);
    if (!markers) {
        return;
    }
    struct stat current {};
    if (statEntry(parentFd, name, current) != 0 || !S_ISDIR(current.st_mode) ||
        identityOf(current) != identityOf(stageStat)) {
        return;
    }

    const Identity identity = identityOf(stageStat);
    bool removed = false;
    std::string failure;
    try {
        removed = removeStageTree(parentFd, name, identity.device, identity.inode);
    } catch (const std::exception& error) {
        failure = describe(error);
    }
    if (removed) {
        removeMarkers(parentFd, *id, *markers, provenance);
        return;
    }
    // A stage this job cannot take away must not stop the job: it stays, with its markers, for
    // the user to see.
    if (pathExists(parentFd, name)) {
        std::string warning = "이전 작업의 임시 작업 폴더를 정리하지 못했습니다: " +
                              PathText::appending(parentURL, name);
        if (!failure.empty()) {
            warning += " (" + failure + ")";
        }
        warnings.push_back(std::move(warning));
    }
}

void removeOrphanJournal(int parentFd, const std::string& name, const Provenance& provenance) {
    const std::optional<std::string> id = markerIdentifier(name, stageJournalSuffix);
    if (!id || pathExists(parentFd, stageName(*id))) {
        return;
    }
    const std::optional<StaleMarkers> markers = claimStaleMarkers(parentFd, *id, provenance);
    if (markers && !pathExists(parentFd, stageName(*id))) {
        removeMarkers(parentFd, *id, *markers, provenance);
    }
}

// The record directory, when there is one; recovery without it can prove nothing.
UniqueFd openRecordDirectory() {
    try {
        return posix::tryOpenAt(AT_FDCWD, stageRecordDirectory(), directoryFlags).fd;
    } catch (const std::system_error&) {
        return {};
    }
}

// Writes the record of a new job; the path written, or empty when the data folder cannot take
// it. The job then runs all the same: its own remove() needs no record, only a recovery after a
// crash does, and that leaves an unrecorded stage alone.
std::string recordStage(const StageRecord& record) {
    try {
        const std::string directory = stageRecordDirectory();
        UserFolders::makeDirectories(directory);
        const std::string path = PathText::appending(directory, recordName(record.jobIdentifier));
        const std::string encoded = encodeStageRecord(record);
        const UniqueFd fd = posix::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        posix::writeAll(fd.get(), encoded.data(), encoded.size());
        return path;
    } catch (const std::system_error&) {
        return {};
    }
}

}  // namespace

std::string encodeStageJournal(const StageJournal& journal) {
    StrictJson::OrderedValue value = StrictJson::OrderedValue::object();
    value["version"] = journal.version;
    value["jobIdentifier"] = journal.jobIdentifier;
    value["operation"] = journal.operation;
    value["ownerProcessIdentifier"] = journal.ownerProcessIdentifier;
    return StrictJson::encode(value);
}

StageJournal decodeStageJournal(std::string_view text) {
    const StrictJson::Value value = StrictJson::parseObject(text);
    const StrictJson::ObjectReader reader(value);
    StageJournal journal;
    journal.version = reader.integer<std::int64_t>("version");
    journal.jobIdentifier = reader.text("jobIdentifier");
    journal.operation = reader.text("operation");
    journal.ownerProcessIdentifier = reader.integer<std::int32_t>("ownerProcessIdentifier");
    return journal;
}

std::string physicalDirectoryURL(const std::string& directory) {
    const std::unique_ptr<char, decltype(&::free)> resolved(::realpath(directory.c_str(), nullptr),
                                                            &::free);
    if (!resolved) {
        posix::throwLastError(directory);
    }
    return std::string(resolved.get());
}

bool removeDirectoryContents(int directoryFd) {
    // Depth first with one directory open at a time, so no depth runs out of descriptors: going
    // down opens the child through its parent, coming back up opens ".." and goes on only if it
    // is the very directory it came from. A tree moved meanwhile is left as it is.
    struct Level {
        std::string name;  // in the level above
        Identity identity;
        std::vector<std::string> pending;
        bool complete = true;
    };
    UniqueFd current = posix::duplicate(directoryFd);
    std::vector<Level> levels;
    levels.push_back({{}, identityOf(posix::fstat(current.get())), {}, true});
    levels.back().pending = posix::listDirectory(current.get());
    for (;;) {
        if (!levels.back().pending.empty()) {
            const std::string name = std::move(levels.back().pending.back());
            levels.back().pending.pop_back();
            struct stat st {};
            if (const int error = statEntry(current.get(), name, st); error != 0) {
                if (error != ENOENT) {
                    posix::throwErrno(error, name);
                }
                continue;
            }
            if (!S_ISDIR(st.st_mode)) {
                // A symbolic link goes as a link: nothing behind it is touched.
                if (::unlinkat(current.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
                    posix::throwLastError(name);
                }
                continue;
            }
            // A directory goes through the same checks as the stage itself; one that vanished
            // or was replaced meanwhile is no loss.
            std::optional<UniqueFd> child = openForRemoval(current.get(), name, identityOf(st));
            if (child) {
                Level next{name, identityOf(st), posix::listDirectory(child->get()), true};
                current = std::move(*child);
                levels.push_back(std::move(next));
            }
            continue;
        }
        if (levels.size() == 1) {
            return levels.back().complete;
        }
        const Level done = std::move(levels.back());
        levels.pop_back();
        UniqueFd parent = posix::openAt(current.get(), "..", directoryFlags);
        if (identityOf(posix::fstat(parent.get())) != levels.back().identity) {
            return false;
        }
        current = std::move(parent);
        Level& level = levels.back();
        struct stat now {};
        if (!done.complete) {
            level.complete = false;
        } else if (const int error = statEntry(current.get(), done.name, now); error != 0) {
            level.complete = level.complete && error == ENOENT;
        } else if (S_ISDIR(now.st_mode) && identityOf(now) == done.identity &&
                   ::unlinkat(current.get(), done.name.c_str(), AT_REMOVEDIR) != 0) {
            if (errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
                posix::throwLastError(done.name);
            }
            level.complete = false;
        }
    }
}

bool removeStageTree(int parentFd, const std::string& name,
                     std::optional<std::uint64_t> expectedDevice,
                     std::optional<std::uint64_t> expectedInode) {
    struct stat st {};
    if (const int error = statEntry(parentFd, name, st); error != 0) {
        if (isGoneOrNotADirectory(error)) {
            return false;
        }
        posix::throwErrno(error, name);
    }
    const Identity found = identityOf(st);
    if (!S_ISDIR(st.st_mode) || (expectedDevice && *expectedDevice != found.device) ||
        (expectedInode && *expectedInode != found.inode)) {
        return false;
    }
    {
        std::optional<UniqueFd> stage = openForRemoval(parentFd, name, found);
        if (!stage || !removeDirectoryContents(stage->get())) {
            return false;
        }
    }
    struct stat current {};
    if (const int error = statEntry(parentFd, name, current); error != 0) {
        if (error == ENOENT) {
            return false;
        }
        posix::throwErrno(error, name);
    }
    if (!S_ISDIR(current.st_mode) || identityOf(current) != found) {
        return false;
    }
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0) {
        if (errno == ENOENT || errno == ENOTEMPTY || errno == EEXIST) {
            return false;
        }
        posix::throwLastError(name);
    }
    return true;
}

std::vector<std::string> reconcileStaleStages(const std::string& parentURL, int parentFd) {
    std::vector<std::string> warnings;
    const Provenance provenance{openRecordDirectory(), identityOf(posix::fstat(parentFd))};
    for (const std::string& name : posix::listDirectory(parentFd, parentURL)) {
        removeStaleStage(parentURL, parentFd, name, provenance, warnings);
    }
    for (const std::string& name : posix::listDirectory(parentFd, parentURL)) {
        removeOrphanJournal(parentFd, name, provenance);
    }
    return warnings;
}

bool isStageMarkerName(std::string_view name) {
    for (const std::string_view suffix :
         {stageDirectorySuffix, stageLockSuffix, stageJournalSuffix}) {
        if (name.size() > stageNamePrefix.size() + suffix.size() &&
            name.starts_with(stageNamePrefix) && name.ends_with(suffix) &&
            Uuid::parse(name.substr(stageNamePrefix.size(),
                                    name.size() - stageNamePrefix.size() - suffix.size()))) {
            return true;
        }
    }
    return false;
}

std::string stageRecordDirectory() {
    return UserFolders::applicationData("Stages");
}

std::optional<StageJournal> readJournal(int parentFd, const std::string& jobIdentifier) {
    std::optional<JournalFile> file = readJournalFile(parentFd, jobIdentifier);
    if (!file) {
        return std::nullopt;
    }
    return std::move(file->journal);
}

StagingLease makeStage(const std::string& parent, std::string_view operation, Progress* progress) {
    if (operation != "pack" && operation != "unpack") {
        // Recovery would never accept the journal of any other operation, so its stage could
        // never be cleaned up.
        throw std::invalid_argument("stage operation must be \"pack\" or \"unpack\"");
    }
    const std::string parentURL = physicalDirectoryURL(parent);
    UniqueFd parentFd = posix::openAt(AT_FDCWD, parentURL, directoryFlags);
    const struct stat parentStat = posix::fstat(parentFd.get());
    std::vector<std::string> recoveryWarnings = reconcileStaleStages(parentURL, parentFd.get());
    publishWarnings(progress, recoveryWarnings);

    const std::string id = Uuid::random().text();
    StagingLease lease;
    lease.stageName_ = stageName(id);
    lease.lockName_ = lockName(id);
    lease.journalName_ = journalName(id);
    lease.url_ = PathText::appending(parentURL, lease.stageName_);
    const std::string recordPath =
        recordStage({id, static_cast<std::int32_t>(::getpid()), identityOf(parentStat)});

    UniqueFd lockFd;
    std::optional<Identity> lockIdentity;
    std::optional<Identity> journalIdentity;
    bool stageMade = false;
    std::optional<Identity> stageIdentity;
    // A step that fails takes away what the steps before it made.
    ScopeExit undo([&] {
        if (stageMade) {
            try {
                removeStageTree(parentFd.get(), lease.stageName_,
                                stageIdentity ? std::optional(stageIdentity->device) : std::nullopt,
                                stageIdentity ? std::optional(stageIdentity->inode) : std::nullopt);
            } catch (...) {
                // The error of the failing step is the one that matters.
            }
        }
        // Markers go only with the stage: a stage left behind keeps them, so that a later job's
        // recovery can still prove it ours and take it away.
        if (!pathExists(parentFd.get(), lease.stageName_)) {
            if (journalIdentity) {
                unlinkMarkerIfSame(parentFd.get(), lease.journalName_, *journalIdentity);
            }
            if (lockIdentity) {
                unlinkMarkerIfSame(parentFd.get(), lease.lockName_, *lockIdentity);
            }
            if (!recordPath.empty()) {
                ::unlink(recordPath.c_str());
            }
        }
    });

    lockFd = posix::openAt(parentFd.get(), lease.lockName_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW,
                           0600);
    lockIdentity = identityOf(posix::fstat(lockFd.get()));
    if (const int error = tryLock(lockFd.get()); error != 0) {
        posix::throwErrno(error, lease.lockName_);
    }

    StageJournal journal;
    journal.version = 1;
    journal.jobIdentifier = id;
    journal.operation = std::string(operation);
    journal.ownerProcessIdentifier = static_cast<std::int32_t>(::getpid());
    const std::string encoded = encodeStageJournal(journal);
    {
        UniqueFd journalFd = posix::openAt(parentFd.get(), lease.journalName_,
                                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        journalIdentity = identityOf(posix::fstat(journalFd.get()));
        posix::writeAll(journalFd.get(), encoded.data(), encoded.size());
        posix::fsync(journalFd.get());
    }

    if (::mkdirat(parentFd.get(), lease.stageName_.c_str(), 0700) != 0) {
        posix::throwLastError(lease.stageName_);
    }
    stageMade = true;
    struct stat stageStat {};
    if (const int error = statEntry(parentFd.get(), lease.stageName_, stageStat); error != 0) {
        posix::throwErrno(error, lease.stageName_);
    }
    if (!S_ISDIR(stageStat.st_mode)) {
        posix::throwErrno(ENOTDIR, lease.stageName_);
    }
    stageIdentity = identityOf(stageStat);
    posix::fsyncDirectory(parentFd.get());
    undo.dismiss();

    lease.parentURL_ = parentURL;
    lease.selectedParentURL_ = parent;
    lease.parentDevice_ = identityOf(parentStat).device;
    lease.parentInode_ = identityOf(parentStat).inode;
    lease.stageDevice_ = stageIdentity->device;
    lease.stageInode_ = stageIdentity->inode;
    lease.journalDevice_ = journalIdentity->device;
    lease.journalInode_ = journalIdentity->inode;
    lease.recordPath_ = recordPath;
    lease.parentFd_ = std::move(parentFd);
    lease.lockFd_ = std::move(lockFd);
    lease.recoveryWarnings_ = std::move(recoveryWarnings);
    try {
        lease.verifyDestinationParent();
    } catch (...) {
        lease.remove(nullptr);
        throw;
    }
    return lease;
}

void StagingLease::verifyDestinationParent() const {
    if (!parentFd_.valid()) {
        throw ArchivePipelineError::destinationChanged(parentURL_);
    }
    const posix::OpenResult physical = posix::tryOpenAt(AT_FDCWD, parentURL_, directoryFlags);
    struct stat physicalStat {};
    if (!physical.fd || ::fstat(physical.fd.get(), &physicalStat) != 0 ||
        identityOf(physicalStat) != Identity{parentDevice_, parentInode_}) {
        throw ArchivePipelineError::destinationChanged(parentURL_);
    }
    // The folder path the caller chose may pass through symbolic links; it must still lead to
    // the same folder.
    const posix::OpenResult selected =
        posix::tryOpenAt(AT_FDCWD, selectedParentURL_, O_RDONLY | O_DIRECTORY);
    struct stat selectedStat {};
    if (!selected.fd || ::fstat(selected.fd.get(), &selectedStat) != 0 ||
        identityOf(selectedStat) != identityOf(physicalStat)) {
        throw ArchivePipelineError::destinationChanged(selectedParentURL_);
    }
}

UniqueFd StagingLease::openStageDirectory() const {
    if (!parentFd_.valid()) {
        throw ArchivePipelineError::destinationChanged(parentURL_);
    }
    posix::OpenResult stage = posix::tryOpenAt(parentFd_.get(), stageName_, directoryFlags);
    if (!stage.fd) {
        if (isGoneOrNotADirectory(stage.error)) {
            throw ArchivePipelineError::destinationChanged(parentURL_);
        }
        posix::throwErrno(stage.error, stageName_);
    }
    struct stat st {};
    if (::fstat(stage.fd.get(), &st) != 0 ||
        identityOf(st) != Identity{stageDevice_, stageInode_}) {
        throw ArchivePipelineError::destinationChanged(parentURL_);
    }
    return std::move(stage.fd);
}

UniqueFd StagingLease::createStageFile(const std::string& name, int accessFlags,
                                       mode_t mode) const {
    if (!AtomicOutputCommitter::isPlainName(name)) {
        throw ArchivePipelineError::finalizationFailed("invalid staging filename");
    }
    const UniqueFd stage = openStageDirectory();
    return posix::openAt(stage.get(), name,
                         (accessFlags & O_ACCMODE) | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
}

std::string StagingLease::commitFile(const std::string& name, const std::string& destination) {
    verifyDestinationParent();
    const UniqueFd stage = openStageDirectory();
    const std::string requested =
        PathText::appending(parentURL_, PathText::lastComponent(destination));
    return AtomicOutputCommitter::move(name, stage.get(), parentFd_.get(), requested, parentURL_);
}

std::string StagingLease::commitDirectory(const std::string& destination) {
    verifyDestinationParent();
    // The name to be renamed must still be the stage this lease made.
    struct stat st {};
    if (statEntry(parentFd_.get(), stageName_, st) != 0 || !S_ISDIR(st.st_mode) ||
        identityOf(st) != Identity{stageDevice_, stageInode_}) {
        throw ArchivePipelineError::destinationChanged(parentURL_);
    }
    const std::string requested =
        PathText::appending(parentURL_, PathText::lastComponent(destination));
    return AtomicOutputCommitter::move(stageName_, parentFd_.get(), parentFd_.get(), requested,
                                       parentURL_);
}

void StagingLease::removeFileFromStage(const std::string& name) {
    if (!AtomicOutputCommitter::isPlainName(name)) {
        throw ArchivePipelineError::finalizationFailed("invalid staging filename");
    }
    const UniqueFd stage = openStageDirectory();
    struct stat st {};
    if (const int error = statEntry(stage.get(), name, st); error != 0) {
        if (error == ENOENT) {
            return;
        }
        posix::throwErrno(error, name);
    }
    if (!S_ISREG(st.st_mode)) {
        throw ArchivePipelineError::finalizationFailed("staging file changed before cleanup");
    }
    if (::unlinkat(stage.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
        posix::throwLastError(name);
    }
    posix::fsync(stage.get());
}

void StagingLease::remove(Progress* progress) noexcept {
    if (!parentFd_.valid()) {
        lockFd_.reset();
        return;
    }
    try {
        std::vector<std::string> warnings = recoveryWarnings_;
        const int parentFd = parentFd_.get();
        try {
            removeStageTree(parentFd, stageName_, stageDevice_, stageInode_);
        } catch (const std::exception& error) {
            warnings.push_back("임시 작업 폴더 정리 실패: " + describe(error));
        }
        if (pathExists(parentFd, stageName_)) {
            warnings.push_back("임시 작업 파일이 남아 있습니다: " + url_);
        } else {
            std::optional<Identity> lockIdentity;
            struct stat lockStat {};
            if (lockFd_.valid() && ::fstat(lockFd_.get(), &lockStat) == 0) {
                lockIdentity = identityOf(lockStat);
            }
            const std::pair<const std::string*, std::optional<Identity>> markers[] = {
                {&journalName_, Identity{journalDevice_, journalInode_}},
                {&lockName_, lockIdentity},
            };
            bool markersGone = true;
            for (const auto& [name, identity] : markers) {
                const int error = identity
                                      ? unlinkMarkerIfSame(parentFd, *name, *identity)
                                      : (::unlinkat(parentFd, name->c_str(), 0) == 0 ? 0 : errno);
                if (error != 0 && error != ENOENT) {
                    markersGone = false;
                    warnings.push_back("작업 복구 표식을 정리하지 못했습니다: " +
                                       PathText::appending(parentURL_, *name));
                }
            }
            if (markersGone && !recordPath_.empty()) {
                ::unlink(recordPath_.c_str());
            }
        }
        try {
            posix::fsyncDirectory(parentFd);
        } catch (const std::exception&) {
            warnings.push_back("정리 결과를 디스크에 동기화하지 못했습니다: " + parentURL_);
        }
        publishWarnings(progress, warnings);
    } catch (...) {
        // Clean-up never fails the job; running out of memory here only loses the warning text.
    }
    parentFd_.reset();
    if (lockFd_.valid()) {
        ::flock(lockFd_.get(), LOCK_UN);
    }
    lockFd_.reset();
}

}  // namespace tolvane::ArchivePipeline
