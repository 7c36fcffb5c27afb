#pragma once

#include <string>

namespace tolvane {

// The application's private working folder under the system's temporary directory. /tmp is
// shared by every user, so the folder carries the user's id and is used only while it is
// certainly ours: a real directory (not a symbolic link) owned by this user with mode 0700.
// Anything else there may have been planted by another user to read or redirect what we write.
namespace TemporaryFolder {

// $TMPDIR when it is an absolute path, otherwise "/tmp".
std::string systemRoot();

// root + "/Tolvane-<uid>".
std::string applicationFolder(const std::string& root);

// Creates the folder with mode 0700 when it is missing (its parent must exist) and checks that
// it is a directory, not a symbolic link, owned by this user, with mode 0700. An existing folder
// is never changed. Throws std::system_error: the creation's own errno, ENOTDIR for something
// that is not a directory (a symbolic link included), EPERM for a folder of another owner or with
// other permissions.
void ensurePrivateFolder(const std::string& path);

// applicationFolder(root) + "/InputSnapshots", both ensured private; returns its path.
std::string ensureInputSnapshotFolder(const std::string& root);

}  // namespace TemporaryFolder
}  // namespace tolvane
