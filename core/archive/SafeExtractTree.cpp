#include "core/archive/SafeExtractTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/archive/ArchivePathPolicy.h"
#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveQuarantine.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/Posix.h"

namespace tolvane {

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t hashBlockBytes = 65536;

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > start) {
            components.emplace_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    return components;
}

std::vector<std::string> validatedComponents(std::string_view path, ArchiveEntryType type) {
    return split(ArchivePathPolicy::validated(path, type));
}

UniqueFd openDirectory(int directoryFd, const std::string& name) {
    return posix::openAt(directoryFd, name, directoryFlags);
}

void check(const SafeExtractTree::CheckCancelled& checkCancelled) {
    if (checkCancelled) {
        checkCancelled();
    }
}

// Reads the whole file from its first byte, whatever the descriptor's offset.
SafeExtractTree::FileHash hashFrom(int fd, const SafeExtractTree::CheckCancelled& checkCancelled) {
    Sha256 digest;
    std::uint64_t total = 0;
    const auto buffer = std::make_unique<std::uint8_t[]>(hashBlockBytes);
    for (;;) {
        check(checkCancelled);
        const std::size_t got =
            posix::preadAll(fd, buffer.get(), hashBlockBytes, static_cast<off_t>(total));
        if (got == 0) {
            break;
        }
        if (total > UINT64_MAX - got) {
            throw ArchivePipelineError::insufficientSpace();
        }
        digest.update(std::span<const std::uint8_t>(buffer.get(), got));
        total += got;
    }
    const Sha256::Value value = digest.finish();
    return {total, HexString::encode(value)};
}

}  // namespace

SafeExtractTree::SafeExtractTree(std::string rootURL,
                                 std::optional<std::string> inheritedQuarantine,
                                 RestoredAttributeWriter attributeWriter)
    : rootURL_(std::move(rootURL)),
      inheritedQuarantine_(std::move(inheritedQuarantine)),
      attributeWriter_(std::move(attributeWriter)) {
    rootFD_ = posix::open(rootURL_, directoryFlags);
    stampQuarantine(rootFD_.get());
}

SafeExtractTree::~SafeExtractTree() = default;

void SafeExtractTree::requireUnsynchronized() const {
    // Changes after the final flush would neither be flushed nor pass the permission step.
    if (synchronized_) {
        throw std::logic_error("the extraction tree was already synchronized");
    }
}

void SafeExtractTree::stampQuarantine(int fd) {
    if (inheritedQuarantine_) {
        ArchiveQuarantine::stamp(fd, *inheritedQuarantine_, attributeWriter_);
    }
}

UniqueFd SafeExtractTree::openParent(const std::vector<std::string>& components, bool creates) {
    if (components.empty()) {
        throw ArchivePipelineError::unsafePath("");
    }
    UniqueFd current(::fcntl(rootFD_.get(), F_DUPFD_CLOEXEC, 0));
    if (!current) {
        posix::throwLastError(rootURL_);
    }
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const std::string& component = components[i];
        posix::OpenResult next = posix::tryOpenAt(current.get(), component, directoryFlags);
        if (!next.fd) {
            // Only a missing component is created; a link, a file or anything else in the way
            // ends the operation.
            if (!creates || next.error != ENOENT) {
                posix::throwErrno(next.error, component);
            }
            if (::mkdirat(current.get(), component.c_str(), 0700) != 0 && errno != EEXIST) {
                posix::throwLastError(component);
            }
            next.fd = openDirectory(current.get(), component);
            stampQuarantine(next.fd.get());
        }
        current = std::move(next.fd);
    }
    return current;
}

void SafeExtractTree::makeDirectory(std::string_view path) {
    requireUnsynchronized();
    const std::vector<std::string> components =
        validatedComponents(path, ArchiveEntryType::directory);
    const UniqueFd parent = openParent(components, true);
    const std::string& last = components.back();
    if (::mkdirat(parent.get(), last.c_str(), 0700) != 0 && errno != EEXIST) {
        posix::throwLastError(last);
    }
    const posix::OpenResult directory = posix::tryOpenAt(parent.get(), last, directoryFlags);
    if (!directory.fd) {
        throw ArchivePipelineError::unsafePath(std::string(path));
    }
    stampQuarantine(directory.fd.get());
}

void SafeExtractTree::setDirectoryMetadata(
    std::string_view path, std::optional<std::uint16_t> permissions,
    std::optional<double> modificationDate,
    const ArchiveExtendedAttributes::Map& extendedAttributes) {
    requireUnsynchronized();
    std::vector<std::string> components = validatedComponents(path, ArchiveEntryType::directory);
    const UniqueFd parent = openParent(components, false);
    const UniqueFd directory = openDirectory(parent.get(), components.back());
    ArchiveRestoredMetadata::applyExtendedAttributes(extendedAttributes, directory.get(),
                                                     attributeWriter_);
    // After the archived attributes, so an archived copy can never stand in for the stamp.
    stampQuarantine(directory.get());
    // A mode change leaves the modification time alone, so the time can be set now. The flush
    // that synchronizeTree makes of every directory covers both.
    if (modificationDate) {
        ArchiveRestoredMetadata::applyModificationDate(*modificationDate, directory.get());
    }
    if (permissions) {
        pendingPermissions_.push_back({std::move(components), *permissions});
    }
}

SafeExtractTree::FileHash SafeExtractTree::writeFile(
    std::string_view path, std::optional<std::uint16_t> permissions,
    std::optional<double> modificationDate,
    const ArchiveExtendedAttributes::Map& extendedAttributes, const Producer& producer,
    const CheckCancelled& checkCancelled) {
    requireUnsynchronized();
    const std::vector<std::string> components = validatedComponents(path, ArchiveEntryType::file);
    const UniqueFd parent = openParent(components, true);
    // Read-write although 0600: the read-back below goes through this descriptor, which keeps
    // working after the archived mode takes owner read away.
    const UniqueFd file = posix::openAt(parent.get(), components.back(),
                                        O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);

    Sha256 digest;
    std::uint64_t written = 0;
    const ChunkSink sink = [&](std::string_view chunk) {
        if (written > UINT64_MAX - chunk.size()) {
            throw ArchivePipelineError::insufficientSpace();
        }
        posix::writeAll(file.get(), chunk.data(), chunk.size());
        digest.update(chunk);
        written += chunk.size();
    };
    producer(sink);
    const FileHash result{written, HexString::encode(digest.finish())};

    ArchiveRestoredMetadata::applyExtendedAttributes(extendedAttributes, file.get(),
                                                     attributeWriter_);
    stampQuarantine(file.get());
    if (hashFrom(file.get(), checkCancelled) != result) {
        throw ArchivePipelineError::invalidArchive("written data did not verify: " +
                                                   std::string(path));
    }
    ArchiveRestoredMetadata::applyFilesystemMetadata(permissions, modificationDate, file.get());
    // Writeback starts now; synchronizeTree makes it durable for the whole tree with one
    // file-system flush, which reports any writeback error since the root was opened. One
    // fsync per file would force a journal commit for every file of a large archive.
    ::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    return result;
}

SafeExtractTree::FileHash SafeExtractTree::hashFile(std::string_view path,
                                                    const CheckCancelled& checkCancelled) {
    const std::vector<std::string> components = validatedComponents(path, ArchiveEntryType::file);
    const UniqueFd parent = openParent(components, false);
    // O_NONBLOCK: a named pipe put in place of the file must be refused below, not wait for a
    // writer. Reads of a regular file ignore the flag.
    const UniqueFd file =
        posix::openAt(parent.get(), components.back(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw ArchivePipelineError::unsafePath(std::string(path));
    }
    return hashFrom(file.get(), checkCancelled);
}

void SafeExtractTree::flushFileSystem() const {
    // syncfs reports writeback errors of the file system since this descriptor was opened,
    // which was before anything in the tree was written.
    if (::syncfs(rootFD_.get()) != 0) {
        posix::throwLastError(rootURL_);
    }
}

void SafeExtractTree::synchronizeTree(const DirectorySync& directorySync,
                                      const CheckCancelled& checkCancelled) {
    requireUnsynchronized();
    // File contents first, in one flush of the file system; the directory flushes below then
    // find little left to commit.
    flushFileSystem();
    // Every directory is flushed while all of them can still be listed and entered; only then
    // do the archived modes take that away.
    synchronizeDirectoryTree(rootFD_.get(), rootURL_, directorySync, checkCancelled);

    // Deepest first, so every directory is reached through ancestors that still have the mode
    // the tree created them with.
    std::stable_sort(pendingPermissions_.begin(), pendingPermissions_.end(),
                     [](const PendingPermissions& a, const PendingPermissions& b) {
                         return a.components.size() > b.components.size();
                     });
    for (const PendingPermissions& pending : pendingPermissions_) {
        check(checkCancelled);
        const UniqueFd parent = openParent(pending.components, false);
        const UniqueFd directory = openDirectory(parent.get(), pending.components.back());
        ArchiveRestoredMetadata::applyPermissions(pending.permissions, directory.get());
    }
    // The mode changes reach the disk in one flush rather than one journal commit each.
    if (!pendingPermissions_.empty()) {
        flushFileSystem();
    }
    pendingPermissions_.clear();
    synchronized_ = true;
}

void SafeExtractTree::synchronizeDirectoryTree(int directoryFd, const std::string& path,
                                               const DirectorySync& directorySync,
                                               const CheckCancelled& checkCancelled) {
    // The names are read and the listing closed before anything below is entered, so each level
    // holds only its own directory open, however deep the archive goes.
    const std::vector<std::string> names = posix::listDirectory(directoryFd, path);
    check(checkCancelled);

    for (const std::string& name : names) {
        const std::string entryPath = path + "/" + name;
        struct stat listed {};
        if (::fstatat(directoryFd, name.c_str(), &listed, AT_SYMLINK_NOFOLLOW) != 0) {
            posix::throwLastError(entryPath);
        }
        if (S_ISDIR(listed.st_mode)) {
            const posix::OpenResult child = posix::tryOpenAt(directoryFd, name, directoryFlags);
            if (!child.fd) {
                posix::throwErrno(child.error, entryPath);
            }
            struct stat opened {};
            if (::fstat(child.fd.get(), &opened) != 0 || !S_ISDIR(opened.st_mode) ||
                opened.st_dev != listed.st_dev || opened.st_ino != listed.st_ino) {
                throw ArchivePipelineError::unsafePath(name);
            }
            synchronizeDirectoryTree(child.fd.get(), entryPath, directorySync, checkCancelled);
        } else if (!S_ISREG(listed.st_mode)) {
            throw ArchivePipelineError::unsafePath(name);
        }
        check(checkCancelled);
    }

    check(checkCancelled);
    if (const int error = directorySync(directoryFd); error != 0) {
        posix::throwErrno(error, path);
    }
}

}  // namespace tolvane
