#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "core/common/UniqueFd.h"

namespace tolvane {

// Opens the archive at `path` for reading, the one way the Drive client opens it (for the digests
// and for the upload), so that what is hashed and what is sent are the same kind of file. A final
// symbolic link is refused (ELOOP): the share checks that the path names the archive itself, and
// a link swapped in afterwards must not lead the reads elsewhere. Anything but a regular file is
// refused too (EISDIR for a directory, EINVAL otherwise), without ever blocking on a FIFO or a
// device. Failures are std::system_error.
UniqueFd openArchiveFile(const std::string& path);

// Size, SHA-256 and MD5 of a local file, from one pass over its bytes.
struct FileDigest {
    static constexpr std::size_t blockSize = 1 << 20;

    std::int64_t size = 0;  // bytes actually read, not what the file system reported
    std::string sha256;     // 64 lowercase hex digits
    std::string md5;        // 32 lowercase hex digits

    // Reads the archive at `path`, opened by openArchiveFile, in 1 MiB blocks and feeds each to
    // both digests. `checkCancelled` runs after every non-empty block is read and before it is
    // hashed; what it throws ends the operation. Open and read failures are std::system_error.
    static FileDigest compute(const std::string& path, const std::function<void()>& checkCancelled);
    // The same, ending with OperationCancelled once `stop` is requested.
    static FileDigest compute(const std::string& path, std::stop_token stop);

    friend bool operator==(const FileDigest&, const FileDigest&) = default;
};

}  // namespace tolvane
