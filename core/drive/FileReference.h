#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// A saved pointer to one local file that can be followed later, kept in the Drive journal so an
// interrupted transfer can reopen its archive. It records where the file was and what it was;
// following it succeeds only while the very same regular file is still at that path. A file that
// was moved, replaced or modified makes the reference stale, and the user selects it again.
struct FileReference {
    static constexpr std::uint8_t currentVersion = 1;

    std::string path;  // absolute, every symbolic link resolved when the reference was made
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modificationSeconds = 0;
    std::int64_t modificationNanoseconds = 0;  // 0 to 999,999,999

    // A reference to the regular file at `path` as it is now. Throws std::system_error when the
    // path cannot be resolved or is not a regular file (EISDIR for a directory, EINVAL for any
    // other type).
    static FileReference make(const std::string& path);

    // The versioned binary form.
    std::string encode() const;
    // No value for bytes that are not a reference of a known version, or that carry a relative
    // path, a NUL byte or anything beyond the recorded length.
    static std::optional<FileReference> decode(std::string_view bytes);

    // The path while a regular file with this device, inode, size and modification time is at
    // it (a symbolic link there does not count); no value otherwise: the reference is stale.
    std::optional<std::string> resolve() const;
    // decode(bytes), then resolve(); undecodable bytes are stale as well.
    static std::optional<std::string> resolve(std::string_view bytes);

    friend bool operator==(const FileReference&, const FileReference&) = default;
};

}  // namespace tolvane
