#pragma once

#include <string>

namespace tolvane {

// The rule that turns the name a user typed for a new ZIP into the file name that will really be
// written in the chosen folder.
class ArchiveSaveNamePolicy {
public:
    ArchiveSaveNamePolicy() = delete;

    // The first free "<base>.zip" or "<base>_<n>.zip" (n from 2 to 100000) in `folder`, where the
    // base is the trimmed text without one trailing ".zip" in any case. The empty string when the
    // text is refused (empty, not UTF-8, "/", ":", control or format characters, a base of "",
    // "." or ".."), when the folder cannot be opened, when a candidate cannot be probed for
    // another reason than its absence (too long for the file system, an unreadable folder), or
    // when every candidate is taken. A candidate is taken by anything at its path, a dangling
    // symbolic link included. Reads the folder; writes nothing.
    static std::string availableName(const std::string& enteredName, const std::string& folder);

    // The text with Unicode white space (line breaks included) removed from both ends.
    static std::string trimmed(const std::string& text);
};

}  // namespace tolvane
