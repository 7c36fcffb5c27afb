#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// Lexical operations on a file path held as bytes. Nothing here touches the file system: no
// symbolic link is resolved and no component is checked for existence.
namespace PathText {

// Collapses repeated "/", drops "." components, resolves ".." against the component before it,
// and removes a trailing "/" except for the root. An absolute path never climbs above "/"
// ("/.." is "/"); a relative path keeps the ".." it cannot resolve ("a/../../b" is "../b"), and
// one that resolves to nothing is ".". The empty path stays empty.
std::string standardized(std::string_view path);

// The last component, ignoring trailing "/": "/a/b/" gives "b", "/" gives "/", "" gives "".
std::string lastComponent(std::string_view path);

// The path without its last component and without trailing "/": "/a/b" gives "/a", "/a" and "/"
// give "/", a single relative component gives "".
std::string deletingLastComponent(std::string_view path);

// path + "/" + component with exactly one "/" between them (trailing "/" of the path and leading
// "/" of the component are dropped); an empty component leaves the path as it is, an empty path
// gives the component.
std::string appending(std::string_view path, std::string_view component);

// The extension of the last component: the text after its last ".". There is none when the only
// "." is the first character (".profile"), when the name ends with "." ("notes."), or when there
// is no "."; "archive.tar.gz" gives "gz" and "a..b" gives "b".
std::string pathExtension(std::string_view path);

// The path with "." + pathExtension removed from its last component; unchanged when the last
// component has no extension.
std::string deletingPathExtension(std::string_view path);

// A path written with a trailing "/" names a directory.
bool isDirectoryURL(std::string_view path) noexcept;

// A name as a message may show it: every control, format (which holds the bidirectional
// overrides and isolates) and line or paragraph separator becomes "\u{XXXX}", so a name can
// neither break the message's line nor reorder how the text around it reads; an ill-formed UTF-8
// sequence becomes U+FFFD.
std::string escapedForMessage(std::string_view name);

}  // namespace PathText
}  // namespace tolvane
