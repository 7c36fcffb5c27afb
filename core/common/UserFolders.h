#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// The folders of the user's own that the application keeps its files in.
namespace UserFolders {

// "Tolvane/<name>" under $XDG_DATA_HOME when that is absolute, else under ~/.local/share. Throws
// std::system_error (ENOENT) when no home directory is known.
std::string applicationData(std::string_view name);

// Creates the directory and its missing parents with mode 0700; an existing directory is fine.
// Throws std::system_error.
void makeDirectories(const std::string& path);

}  // namespace UserFolders
}  // namespace tolvane
