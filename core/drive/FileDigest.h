#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

namespace tolvane {

// Size, SHA-256 and MD5 of a local file, from one pass over its bytes.
struct FileDigest {
    static constexpr std::size_t blockSize = 1 << 20;

    std::int64_t size = 0;  // bytes actually read, not what the file system reported
    std::string sha256;     // 64 lowercase hex digits
    std::string md5;        // 32 lowercase hex digits

    // Reads the regular file at `path` in 1 MiB blocks and feeds each to both digests.
    // `checkCancelled` runs after every non-empty block is read and before it is hashed; what it
    // throws ends the operation. A final symbolic link is refused (ELOOP), as is anything but a
    // regular file (EISDIR for a directory, EINVAL otherwise), without ever blocking on a FIFO or
    // a device. Open and read failures are std::system_error.
    static FileDigest compute(const std::string& path, const std::function<void()>& checkCancelled);
    // The same, ending with OperationCancelled once `stop` is requested.
    static FileDigest compute(const std::string& path, std::stop_token stop);

    friend bool operator==(const FileDigest&, const FileDigest&) = default;
};

}  // namespace tolvane
