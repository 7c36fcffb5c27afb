#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tolvane {

// Moves one finished item (a packed ZIP, or a whole unpacked stage directory) from its stage
// into the destination folder without ever replacing an existing entry.
namespace AtomicOutputCommitter {

// Flushes a directory: 0 on success, otherwise -1 with errno set.
using DirectorySync = std::function<int(int directoryFd)>;

// The raw exclusive rename: renameat2(2) with RENAME_NOREPLACE, or a stand-in for tests.
using RenameCall = int (*)(int fromDirectoryFd, const char* from, int toDirectoryFd, const char* to,
                           unsigned int flags);

// One path component that names exactly what it says: not empty, "." or "..", and without "/"
// or a NUL (which would cut the name short at the system call).
bool isPlainName(std::string_view name);

// posix::tryFsyncDirectory in the DirectorySync form.
int systemDirectorySync(int directoryFd);

// Renames `from` in one directory to `to` in another (or the same) and fails with EEXIST rather
// than replace anything at `to`. Where the file system refuses the exclusive flag (EINVAL, or
// ENOSYS on an old kernel), a file is moved by linkat + unlinkat and a directory by an exclusive
// mkdirat of the target and a rename over that empty directory. Returns 0 or an errno value.
int renameNoReplace(int fromDirectoryFd, const std::string& from, int toDirectoryFd,
                    const std::string& to, RenameCall renameCall = nullptr);

// The file name `name` with "_" + attempt inserted before its extension: ("report.zip", 2) is
// "report_2.zip", ("Photos", 2) is "Photos_2", (".hidden", 3) is ".hidden_3". Attempt 1 is the
// name itself.
std::string candidateName(const std::string& name, unsigned attempt);

// Moves `sourceName` from the directory `fromDirectoryFd` into `toDirectoryFd`, which must be
// the folder `destinationParentPath`, under the last component of `requestedPath` or, when that
// is taken, under the first free candidateName up to attempt 100,000. Flushes the source
// directory before and both directories after the rename; when a flush after it fails the item
// is moved back, provided the committed name still holds that same item (device and inode).
// Returns the path the item now has.
//
// Throws ArchivePipelineError: destinationChanged(destinationParentPath) when `requestedPath`
// lies in another folder or `sourceName` is not a plain name; finalizationFailed for a bad
// output name, a rename failure, too many collisions, or a failed flush (saying whether the item
// went back to its stage). A failing flush of the source directory before the move is a
// std::system_error.
std::string move(const std::string& sourceName, int fromDirectoryFd, int toDirectoryFd,
                 const std::string& requestedPath, const std::string& destinationParentPath,
                 const DirectorySync& directorySync = systemDirectorySync,
                 RenameCall renameCall = nullptr);

}  // namespace AtomicOutputCommitter
}  // namespace tolvane
