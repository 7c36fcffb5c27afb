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
#include "core/common/PathText.h"
#include "core/common/Posix.h"

namespace tolvane {

namespace {

constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr std::size_t hashBlockBytes = 65536;
constexpr std::uint64_t earlyWritebackBytes = 1'048'576;

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
        if (got < hashBlockBytes) {
            break;  // preadAll stops short only at the end of the file
        }
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

int SafeExtractTree::openParent(Cursor& cursor, const std::vector<std::string>& components,
                                bool creates) {
    if (components.empty()) {
        throw ArchivePipelineError::unsafePath("");
    }
    if (components.size() == 1) {
        return rootFD_.get();
    }
    std::string parentPath = components.front();
    for (std::size_t i = 1; i + 1 < components.size(); ++i) {
        parentPath += '/';
        parentPath += components[i];
    }
    if (cursor.parent_ && parentPath == cursor.parentPath_) {
        return cursor.parent_.get();
    }
    cursor.parent_.reset();
    UniqueFd current;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const std::string& component = components[i];
        const int at = current ? current.get() : rootFD_.get();
        posix::OpenResult next = posix::tryOpenAt(at, component, directoryFlags);
        if (!next.fd) {
            // Only a missing component is created; a link, a file or anything else in the way
            // ends the operation.
            if (!creates || next.error != ENOENT) {
                posix::throwErrno(next.error, component);
            }
            if (::mkdirat(at, component.c_str(), 0700) != 0 && errno != EEXIST) {
                posix::throwLastError(component);
            }
            next.fd = openDirectory(at, component);
            stampQuarantine(next.fd.get());
        }
        current = std::move(next.fd);
    }
    cursor.parent_ = std::move(current);
    cursor.parentPath_ = std::move(parentPath);
    return cursor.parent_.get();
}

void SafeExtractTree::makeDirectory(std::string_view path) {
    makeDirectory(cursor_, path);
}

void SafeExtractTree::makeDirectory(Cursor& cursor, std::string_view path) {
    requireUnsynchronized();
    const std::vector<std::string> components =
        validatedComponents(path, ArchiveEntryType::directory);
    const int parent = openParent(cursor, components, true);
    const std::string& last = components.back();
    if (::mkdirat(parent, last.c_str(), 0700) != 0 && errno != EEXIST) {
        posix::throwLastError(last);
    }
    const posix::OpenResult directory = posix::tryOpenAt(parent, last, directoryFlags);
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
    const std::vector<std::string> components =
        validatedComponents(path, ArchiveEntryType::directory);
    const UniqueFd directory =
        openDirectory(openParent(cursor_, components, false), components.back());
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
        std::uint64_t length = 0;
        for (const std::string& component : components) {
            length += component.size() + (length == 0 ? 0 : 1);
        }
        pendingPermissions_.push_back({pendingPaths_.size(), static_cast<std::uint32_t>(length),
                                       static_cast<std::uint32_t>(components.size()),
                                       *permissions});
        for (const std::string& component : components) {
            if (&component != &components.front()) {
                pendingPaths_ += '/';
            }
            pendingPaths_ += component;
        }
    }
}

SafeExtractTree::FileHash SafeExtractTree::writeFile(
    std::string_view path, std::optional<std::uint16_t> permissions,
    std::optional<double> modificationDate,
    const ArchiveExtendedAttributes::Map& extendedAttributes, const Producer& producer,
    const CheckCancelled& checkCancelled) {
    return writeFile(cursor_, path, permissions, modificationDate, extendedAttributes, producer,
                     checkCancelled);
}

SafeExtractTree::FileHash SafeExtractTree::writeFile(
    Cursor& cursor, std::string_view path, std::optional<std::uint16_t> permissions,
    std::optional<double> modificationDate,
    const ArchiveExtendedAttributes::Map& extendedAttributes, const Producer& producer,
    const CheckCancelled& checkCancelled) {
    requireUnsynchronized();
    const std::vector<std::string> components = validatedComponents(path, ArchiveEntryType::file);
    // Read-write although 0600: the read-back below goes through this descriptor, which keeps
    // working after the archived mode takes owner read away.
    const UniqueFd file = posix::openAt(openParent(cursor, components, true), components.back(),
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
    // synchronizeTree makes the file durable with the whole tree in one file-system flush, which
    // reports any writeback error since the root was opened; one fsync per file would force a
    // journal commit for every file of a large archive. A large file's writeback starts now, so
    // that flush does not wait for all of it; small files are left to the kernel's own writeback,
    // where they are written together instead of one request each.
    if (written >= earlyWritebackBytes) {
        ::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
    return result;
}

SafeExtractTree::FileHash SafeExtractTree::hashFile(std::string_view path,
                                                    const CheckCancelled& checkCancelled) {
    const std::vector<std::string> components = validatedComponents(path, ArchiveEntryType::file);
    // O_NONBLOCK: a named pipe put in place of the file must be refused below, not wait for a
    // writer. Reads of a regular file ignore the flag.
    const UniqueFd file = posix::openAt(openParent(cursor_, components, false), components.back(),
                                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
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
    cursor_.parent_.reset();
    // Every directory is checked while all of them can still be listed and entered; only then
    // do the archived modes take that away.
    walkTree(directorySync, checkCancelled);

    // Deepest first, so every directory is reached through ancestors that still have the mode
    // the tree created them with.
    std::stable_sort(
        pendingPermissions_.begin(), pendingPermissions_.end(),
        [](const PendingPermissions& a, const PendingPermissions& b) { return a.depth > b.depth; });
    for (const PendingPermissions& pending : pendingPermissions_) {
        check(checkCancelled);
        const std::vector<std::string> components =
            split(pendingPaths_.substr(pending.offset, pending.length));
        const UniqueFd directory =
            openDirectory(openParent(cursor_, components, false), components.back());
        ArchiveRestoredMetadata::applyPermissions(pending.permissions, directory.get());
    }
    cursor_.parent_.reset();
    std::vector<PendingPermissions>().swap(pendingPermissions_);
    std::string().swap(pendingPaths_);
    // One flush of the file system commits contents, directories and modes together, where a
    // flush per directory would force a journal commit, or a synchronous write, for each.
    flushFileSystem();
    synchronized_ = true;
}

void SafeExtractTree::walkTree(const DirectorySync& directorySync,
                               const CheckCancelled& checkCancelled) const {
    // Each level keeps its names and its identity, not a descriptor: the walk goes down by name
    // and back up through "..", which must lead to the directory it came from. So one directory
    // is open at a time, however deep the tree.
    struct Level {
        std::vector<std::string> names;
        std::size_t next = 0;
        dev_t device = 0;
        ino_t inode = 0;
        std::size_t pathLength = 0;  // of `path` at this level
    };
    UniqueFd current = posix::duplicate(rootFD_.get(), rootURL_);
    std::string path = rootURL_;
    const struct stat root = posix::fstat(current.get());
    std::vector<Level> levels;
    levels.push_back(
        {posix::listDirectory(current.get(), path), 0, root.st_dev, root.st_ino, path.size()});
    check(checkCancelled);

    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next < level.names.size()) {
            const std::string& name = level.names[level.next++];
            path.resize(level.pathLength);
            path += '/';
            path += name;
            struct stat listed {};
            if (::fstatat(current.get(), name.c_str(), &listed, AT_SYMLINK_NOFOLLOW) != 0) {
                posix::throwLastError(path);
            }
            if (S_ISDIR(listed.st_mode)) {
                posix::OpenResult child = posix::tryOpenAt(current.get(), name, directoryFlags);
                if (!child.fd) {
                    posix::throwErrno(child.error, path);
                }
                struct stat opened {};
                if (::fstat(child.fd.get(), &opened) != 0 || !S_ISDIR(opened.st_mode) ||
                    opened.st_dev != listed.st_dev || opened.st_ino != listed.st_ino) {
                    throw ArchivePipelineError::unsafePath(name);
                }
                current = std::move(child.fd);
                // The listing is read and closed before anything below is entered.
                std::vector<std::string> names = posix::listDirectory(current.get(), path);
                levels.push_back({std::move(names), 0, listed.st_dev, listed.st_ino, path.size()});
            } else if (!S_ISREG(listed.st_mode)) {
                throw ArchivePipelineError::unsafePath(name);
            }
            check(checkCancelled);
            continue;
        }

        path.resize(level.pathLength);
        check(checkCancelled);
        if (directorySync) {
            if (const int error = directorySync(current.get()); error != 0) {
                posix::throwErrno(error, path);
            }
        }
        levels.pop_back();
        if (levels.empty()) {
            break;
        }
        UniqueFd parent = posix::openAt(current.get(), "..", directoryFlags);
        const struct stat status = posix::fstat(parent.get());
        if (status.st_dev != levels.back().device || status.st_ino != levels.back().inode) {
            // The directory was moved elsewhere while it was walked.
            throw ArchivePipelineError::unsafePath(PathText::lastComponent(path));
        }
        current = std::move(parent);
    }
}

}  // namespace tolvane
