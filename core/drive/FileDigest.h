#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "core/common/UniqueFd.h"

namespace tolvane {

// The one way the Drive client opens the archive, for the digests and for the upload alike. A
// final symbolic link is refused (ELOOP), as the share's check of the path does, so a link swapped
// in later cannot lead the reads elsewhere; so is anything but a regular file (EISDIR for a
// directory, EINVAL otherwise), without blocking on a FIFO or a device. Throws std::system_error.
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
