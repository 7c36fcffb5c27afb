#include "core/archive/StagingLease.h"

#include <dirent.h>
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
#include "core/common/StrictJson.h"
#include "core/common/Uuid.h"

namespace tolvane::ArchivePipeline {
namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Names a directory without needing read or search permission on it, so a stage whose
// permissions were taken away can still be identified and repaired.
constexpr int directoryPathFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t journalReadChunk = 256;

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

// One path component that names exactly what it says: a NUL would cut the name short at the
// system call, so it is refused like "/".
bool isPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// fstatat without following a link; 0 or the errno.
int statEntry(int directoryFd, const std::string& name, struct stat& st) {
    return ::fstatat(directoryFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
}

bool pathExists(int parentFd, const std::string& name) {
    struct stat st {};
    return statEntry(parentFd, name, st) == 0;
}

// openat that reports failure as an errno instead of throwing.
int openEntry(int directoryFd, const std::string& name, int flags, UniqueFd& result) {
    for (;;) {
        const int fd = ::openat(directoryFd, name.c_str(), flags | O_CLOEXEC);
        if (fd >= 0) {
            result.reset(fd);
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
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

// Holds a flock taken on a lock file and gives it back before the descriptor closes.
class HeldLock {
public:
    explicit HeldLock(int fd) : fd_(fd) {}
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    ~HeldLock() { ::flock(fd_, LOCK_UN); }

private:
    int fd_;
};

bool tryLock(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

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

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

DirStream openDirStream(int directoryFd) {
    const int copy = ::fcntl(directoryFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        posix::throwLastError("dup");
    }
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        const int error = errno;
        ::close(copy);
        posix::throwErrno(error, "fdopendir");
    }
    // The duplicate shares the original's offset, which an earlier listing may have moved.
    ::rewinddir(dir);
    return DirStream(dir);
}

// Every name in the directory but "." and "..". The listing's descriptor is closed on return,
// so a walk that descends after listing holds one descriptor per level, however deep the tree.
std::vector<std::string> listNames(int directoryFd) {
    std::vector<std::string> names;
    DirStream dir = openDirStream(directoryFd);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                posix::throwLastError("readdir");
            }
            return names;
        }
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
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

std::optional<JournalFile> readJournalFile(int parentFd, const std::string& id) {
    UniqueFd fd;
    // O_NONBLOCK: a FIFO planted under the journal's name must not hang the new job; it is then
    // refused as not a regular file.
    if (openEntry(parentFd, journalName(id), O_RDONLY | O_NOFOLLOW | O_NONBLOCK, fd) != 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > maximumStageJournalBytes) {
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    std::string bytes;
    char chunk[journalReadChunk];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        if (static_cast<std::size_t>(got) > size - bytes.size()) {
            return std::nullopt;  // grew while being read
        }
        bytes.append(chunk, static_cast<std::size_t>(got));
    }
    if (bytes.size() != size) {
        return std::nullopt;
    }
    try {
        return JournalFile{decodeStageJournal(bytes), identityOf(st)};
    } catch (const StrictJson::DecodeError&) {
        return std::nullopt;
    }
}

// A recovery candidate's lock file: ours, a regular file, and free.
struct TakenLock {
    UniqueFd fd;
    Identity identity;
};

std::optional<TakenLock> takeStaleLock(int parentFd, const std::string& id) {
    TakenLock lock;
    if (openEntry(parentFd, lockName(id), O_RDWR | O_NOFOLLOW | O_NONBLOCK, lock.fd) != 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(lock.fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        return std::nullopt;
    }
    if (!tryLock(lock.fd.get())) {
        return std::nullopt;  // a live job holds it
    }
    lock.identity = identityOf(st);
    return lock;
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
    std::string joined;
    for (const std::string& warning : warnings) {
        if (!joined.empty()) {
            joined += '\n';
        }
        joined += warning;
    }
    progress->setUserInfo(ArchiveProgressInfo::cleanupWarningKey, std::move(joined));
}

void removeStaleStage(const std::string& parentURL, int parentFd, const std::string& name,
                      std::vector<std::string>& warnings) {
    const std::optional<std::string> id = markerIdentifier(name, stageDirectorySuffix);
    if (!id) {
        return;
    }
    UniqueFd stage;
    if (openEntry(parentFd, name, directoryPathFlags, stage) != 0) {
        return;
    }
    struct stat stageStat {};
    if (::fstat(stage.get(), &stageStat) != 0 || stageStat.st_uid != ::geteuid() ||
        !S_ISDIR(stageStat.st_mode)) {
        return;
    }
    std::optional<TakenLock> lock = takeStaleLock(parentFd, *id);
    if (!lock) {
        return;
    }
    HeldLock held(lock->fd.get());
    const std::optional<JournalFile> journal = readJournalFile(parentFd, *id);
    if (!journal || !acceptableJournal(journal->journal, *id)) {
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
        unlinkMarkerIfSame(parentFd, journalName(*id), journal->identity);
        unlinkMarkerIfSame(parentFd, lockName(*id), lock->identity);
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

void removeOrphanJournal(int parentFd, const std::string& name) {
    const std::optional<std::string> id = markerIdentifier(name, stageJournalSuffix);
    if (!id || pathExists(parentFd, stageName(*id))) {
        return;
    }
    std::optional<TakenLock> lock = takeStaleLock(parentFd, *id);
    if (!lock) {
        return;
    }
    HeldLock held(lock->fd.get());
    const std::optional<JournalFile> journal = readJournalFile(parentFd, *id);
    if (!journal || !acceptableJournal(journal->journal, *id)) {
        return;
    }
    if (pathExists(parentFd, stageName(*id))) {
        return;
    }
    unlinkMarkerIfSame(parentFd, name, journal->identity);
    unlinkMarkerIfSame(parentFd, lockName(*id), lock->identity);
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
    bool complete = true;
    for (const std::string& name : listNames(directoryFd)) {
        struct stat st {};
        if (const int error = statEntry(directoryFd, name, st); error != 0) {
            if (error != ENOENT) {
                posix::throwErrno(error, name);
            }
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            // A symbolic link goes as a link: nothing behind it is touched.
            if (::unlinkat(directoryFd, name.c_str(), 0) != 0 && errno != ENOENT) {
                posix::throwLastError(name);
            }
            continue;
        }
        UniqueFd childPath;
        if (const int error = openEntry(directoryFd, name, directoryPathFlags, childPath);
            error != 0) {
            if (!isGoneOrNotADirectory(error)) {
                posix::throwErrno(error, name);
            }
            continue;
        }
        const struct stat childStat = posix::fstat(childPath.get());
        if (identityOf(childStat) != identityOf(st)) {
            continue;
        }
        bool childComplete = false;
        {
            UniqueFd child = openDirectoryForRemoval(childPath.get(), childStat);
            childPath.reset();
            childComplete = removeDirectoryContents(child.get());
        }
        if (!childComplete) {
            complete = false;
            continue;
        }
        struct stat again {};
        if (const int error = statEntry(directoryFd, name, again); error != 0) {
            if (error != ENOENT) {
                complete = false;
            }
            continue;
        }
        if (!S_ISDIR(again.st_mode) || identityOf(again) != identityOf(childStat)) {
            continue;
        }
        if (::unlinkat(directoryFd, name.c_str(), AT_REMOVEDIR) != 0) {
            if (errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
                posix::throwLastError(name);
            }
            complete = false;
        }
    }
    return complete;
}

bool removeStageTree(int parentFd, const std::string& name,
                     std::optional<std::uint64_t> expectedDevice,
                     std::optional<std::uint64_t> expectedInode) {
    UniqueFd stagePath;
    if (const int error = openEntry(parentFd, name, directoryPathFlags, stagePath); error != 0) {
        if (isGoneOrNotADirectory(error)) {
            return false;
        }
        posix::throwErrno(error, name);
    }
    const struct stat st = posix::fstat(stagePath.get());
    if (!S_ISDIR(st.st_mode) || (expectedDevice && *expectedDevice != identityOf(st).device) ||
        (expectedInode && *expectedInode != identityOf(st).inode)) {
        return false;
    }
    {
        UniqueFd stage = openDirectoryForRemoval(stagePath.get(), st);
        stagePath.reset();
        if (!removeDirectoryContents(stage.get())) {
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
    if (!S_ISDIR(current.st_mode) || identityOf(current) != identityOf(st)) {
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
    for (const std::string& name : listNames(parentFd)) {
        removeStaleStage(parentURL, parentFd, name, warnings);
    }
    for (const std::string& name : listNames(parentFd)) {
        removeOrphanJournal(parentFd, name);
    }
    return warnings;
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

    UniqueFd lockFd;
    std::optional<Identity> lockIdentity;
    std::optional<Identity> journalIdentity;
    bool stageMade = false;
    std::optional<Identity> stageIdentity;
    try {
        lockFd = posix::openAt(parentFd.get(), lease.lockName_,
                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        lockIdentity = identityOf(posix::fstat(lockFd.get()));
        if (!tryLock(lockFd.get())) {
            posix::throwLastError(lease.lockName_);
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
    } catch (...) {
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
        }
        lockFd.reset();
        throw;
    }

    lease.parentURL_ = parentURL;
    lease.selectedParentURL_ = parent;
    lease.parentDevice_ = identityOf(parentStat).device;
    lease.parentInode_ = identityOf(parentStat).inode;
    lease.stageDevice_ = stageIdentity->device;
    lease.stageInode_ = stageIdentity->inode;
    lease.journalDevice_ = journalIdentity->device;
    lease.journalInode_ = journalIdentity->inode;
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
    UniqueFd physical;
    struct stat physicalStat {};
    if (openEntry(AT_FDCWD, parentURL_, directoryFlags, physical) != 0 ||
        ::fstat(physical.get(), &physicalStat) != 0 ||
        identityOf(physicalStat) != Identity{parentDevice_, parentInode_}) {
        throw ArchivePipelineError::destinationChanged(parentURL_);
    }
    // The folder path the caller chose may pass through symbolic links; it must still lead to
    // the same folder.
    UniqueFd selected;
    struct stat selectedStat {};
    if (openEntry(AT_FDCWD, selectedParentURL_, O_RDONLY | O_DIRECTORY, selected) != 0 ||
        ::fstat(selected.get(), &selectedStat) != 0 ||
        identityOf(selectedStat) != identityOf(physicalStat)) {
        throw ArchivePipelineError::destinationChanged(selectedParentURL_);
    }
}

UniqueFd StagingLease::openStageDirectory() const {
    if (!parentFd_.valid()) {
        throw ArchivePipelineError::destinationChanged(parentURL_);
    }
    UniqueFd stage;
    if (const int error = openEntry(parentFd_.get(), stageName_, directoryFlags, stage);
        error != 0) {
        if (isGoneOrNotADirectory(error)) {
            throw ArchivePipelineError::destinationChanged(parentURL_);
        }
        posix::throwErrno(error, stageName_);
    }
    struct stat st {};
    if (::fstat(stage.get(), &st) != 0 || identityOf(st) != Identity{stageDevice_, stageInode_}) {
        throw ArchivePipelineError::destinationChanged(parentURL_);
    }
    return stage;
}

UniqueFd StagingLease::createStageFile(const std::string& name, int accessFlags,
                                       mode_t mode) const {
    if (!isPlainName(name)) {
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
    if (!isPlainName(name)) {
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
            for (const auto& [name, identity] : markers) {
                const int error = identity
                                      ? unlinkMarkerIfSame(parentFd, *name, *identity)
                                      : (::unlinkat(parentFd, name->c_str(), 0) == 0 ? 0 : errno);
                if (error != 0 && error != ENOENT) {
                    warnings.push_back("작업 복구 표식을 정리하지 못했습니다: " +
                                       PathText::appending(parentURL_, *name));
                }
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
