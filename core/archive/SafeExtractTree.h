#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/archive/ArchiveExtendedAttributes.h"
#include "core/archive/ArchiveRestoredMetadata.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"

namespace tolvane {

// The only way an unpack writes into its stage directory. Every operation goes through directory
// descriptors, one path component at a time, and never follows a symbolic link: a link met
// anywhere on a path fails the operation (ELOOP, ENOTDIR, EEXIST or unsafePath) instead of
// leading outside the root. Directories are created 0700 and files exclusively 0600; archived
// permissions are applied only once nothing needs to pass through or read the item any more.
// The inherited provenance value, when there is one, is stamped on everything the tree creates.
//
// Paths are archive paths relative to the root, "/"-separated; each first passes
// ArchivePathPolicy::validated, whose unsafePath it throws. System failures throw
// std::system_error with their errno.
//
// One tree serves one job. Files and directories may be made on several threads at once, each
// with a Cursor of its own; every other call belongs to the job's thread once none is being
// made. The last call is synchronizeTree; the tree refuses further changes after it
// (std::logic_error).
class SafeExtractTree {
public:
    // Receives the file's content in chunks; valid only during the producer call.
    using ChunkSink = std::function<void(std::string_view chunk)>;
    // Called once; hands the whole content to the sink.
    using Producer = std::function<void(const ChunkSink& sink)>;
    // Flushes a directory: 0, or the errno of the failure.
    using DirectorySync = std::function<int(int directoryFd)>;
    // Throws to stop the operation.
    using CheckCancelled = std::function<void()>;

    // Where one thread last was in the tree: the parent directory it opened last, with its
    // components joined by "/". Entries come folder by folder, so most operations find their
    // parent here instead of walking down from the root again.
    class Cursor {
    private:
        friend class SafeExtractTree;
        std::string parentPath_;
        UniqueFd parent_;
    };

    struct FileHash {
        std::uint64_t byteCount = 0;
        std::string sha256;  // lowercase hex
        friend bool operator==(const FileHash&, const FileHash&) = default;
    };

    // Opens the root (a real directory, not a link to one) and stamps the provenance on it.
    SafeExtractTree(std::string rootURL, std::optional<std::string> inheritedQuarantine,
                    RestoredAttributeWriter attributeWriter = {});
    SafeExtractTree(const SafeExtractTree&) = delete;
    SafeExtractTree& operator=(const SafeExtractTree&) = delete;
    ~SafeExtractTree();

    const std::string& rootURL() const noexcept { return rootURL_; }
    const std::optional<std::string>& inheritedQuarantine() const noexcept {
        return inheritedQuarantine_;
    }
    // False once the destination answered that it keeps no user attributes: from then on the
    // job restores no attributes and stamps no provenance.
    bool restoresAttributes() const noexcept { return attributeWriter_.enabled(); }

    // Creates the directory and any missing parents; an existing directory is reused as it is
    // (and stamped again). A final component that cannot be opened as a directory afterwards
    // throws unsafePath(path).
    void makeDirectory(std::string_view path);
    // The same, finding the parent through the calling thread's own cursor.
    void makeDirectory(Cursor& cursor, std::string_view path);

    // Restores an existing directory's attributes and modification time, then stamps it. Its
    // permissions are recorded and applied by synchronizeTree once the tree has been flushed, so
    // a directory archived without owner read, write or search permission (0311, 0500, 0000)
    // neither blocks the rest of the job nor makes the flush fail, whatever order directories
    // come in.
    void setDirectoryMetadata(std::string_view path, std::optional<std::uint16_t> permissions,
                              std::optional<double> modificationDate,
                              const ArchiveExtendedAttributes::Map& extendedAttributes);

    // Creates the file exclusively (an existing entry of that name, even a dangling link, throws
    // EEXIST), writes the producer's chunks and hashes them, restores the attributes and stamps
    // it, then reads the whole file back through the same descriptor and compares: a difference
    // throws ArchivePipelineError::invalidArchive("written data did not verify: " + path). Only
    // then are permissions and modification time applied and writeback started, so a file
    // archived as 0000, 0200 or 0222 is verified like any other. A byte count that would overflow
    // throws insufficientSpace. Returns what was written and verified. A partly written file is
    // left in place; the stage is discarded as a whole. checkCancelled runs between the blocks
    // of the read-back.
    FileHash writeFile(std::string_view path, std::optional<std::uint16_t> permissions,
                       std::optional<double> modificationDate,
                       const ArchiveExtendedAttributes::Map& extendedAttributes,
                       const Producer& producer, const CheckCancelled& checkCancelled = {});
    // The same, finding the parent through the calling thread's own cursor.
    FileHash writeFile(Cursor& cursor, std::string_view path,
                       std::optional<std::uint16_t> permissions,
                       std::optional<double> modificationDate,
                       const ArchiveExtendedAttributes::Map& extendedAttributes,
                       const Producer& producer, const CheckCancelled& checkCancelled = {});

    // Byte count and SHA-256 of a regular file below the root, read by path in 64 KiB blocks
    // with checkCancelled before each. Anything but a regular file throws unsafePath(path). It
    // needs owner read permission, so it cannot re-read a file whose archived mode denies it;
    // writeFile has already verified every file it wrote.
    FileHash hashFile(std::string_view path, const CheckCancelled& checkCancelled = {});

    // Walks the tree, children before their parent and the root last, holding one directory open
    // at a time however deep it goes, and hands each directory to directorySync when one is
    // given; then applies the permissions recorded by setDirectoryMetadata, deepest directories
    // first, and flushes the file system holding the tree once. That flush makes file contents,
    // directories and modes durable together (a writeback error since the tree was opened fails
    // it), so no directory needs a flush of its own. An entry that is neither a regular file nor a
    // directory, or a directory replaced while it is walked, throws unsafePath(entry name).
    // checkCancelled runs between entries.
    void synchronizeTree(const DirectorySync& directorySync = {},
                         const CheckCancelled& checkCancelled = {});

private:
    // A directory's validated path lies in pendingPaths_; a few bytes per directory, so a
    // million of them stay cheap.
    struct PendingPermissions {
        std::uint64_t offset = 0;
        std::uint32_t length = 0;
        std::uint32_t depth = 0;
        std::uint16_t permissions = 0;
    };

    void requireUnsynchronized() const;
    void flushFileSystem() const;
    // The directory holding the last component, borrowed: valid until the next call.
    int openParent(Cursor& cursor, const std::vector<std::string>& components, bool creates);
    void stampQuarantine(int fd);
    void walkTree(const DirectorySync& directorySync, const CheckCancelled& checkCancelled) const;

    std::string rootURL_;
    UniqueFd rootFD_;
    std::optional<std::string> inheritedQuarantine_;
    RestoredAttributeWriter attributeWriter_;
    std::vector<PendingPermissions> pendingPermissions_;
    std::string pendingPaths_;
    // The job thread's own.
    Cursor cursor_;
    bool synchronized_ = false;
};

}  // namespace tolvane
