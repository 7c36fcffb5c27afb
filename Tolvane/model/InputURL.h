#pragma once

#include <QUrl>

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

// What a URL from a drop names.
struct LocalPath {
    enum class Kind {
        none,     // not a file: a link, a mail address; not an input at all
        exact,    // a local file or folder, `path` holding its bytes exactly
        inexact,  // a file whose name cannot be taken exactly; `path` is the name as shown
    };
    Kind kind = Kind::none;
    std::string path;
};

// The local path of a file URL, its bytes taken from the URL's percent-encoding: a name that is
// not UTF-8 arrives as the bytes on disk, never as the replacement characters a decoded text
// would hold, and a U+FFFD encoded in it is a character of the name. The host may be left out,
// "localhost" or this machine's name. A file on another host, a URL with a query or fragment (a
// path cut short), a relative path and a name holding NUL cannot be taken.
LocalPath fromFileURL(const QUrl& url);

// Whether a path decoded to text on the way (by a file panel) still names a file exactly: no NUL,
// and no U+FFFD, the mark that bytes which were not UTF-8 were replaced.
bool isExactName(std::string_view path);

// A ZIP to unpack: not written as a folder, and its extension is "zip" in any case.
bool isArchive(std::string_view url);

}  // namespace InputURL
}  // namespace tolvane
