#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// How a selected file or folder is written as an input. Folders are told from files by a trailing
// "/" and nothing else, so every path that enters the selection must carry one when it names a
// folder: the file panels and drops of a Linux desktop hand over folders without it.
namespace InputURL {

// The path of a dropped or picked item as an input: a directory (not a symbolic link to one, which
// the pipeline refuses to follow) gets a trailing "/"; anything else, a missing item included, is
// returned as given.
std::string fromLocalPath(const std::string& path);

// A ZIP to unpack: not written as a folder, and its extension is "zip" in any case.
bool isArchive(std::string_view url);

}  // namespace InputURL
}  // namespace tolvane
