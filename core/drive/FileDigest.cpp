#include "core/drive/FileDigest.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <span>

#include "core/common/Cancellation.h"
#include "core/common/Digest.h"
#include "core/common/HexString.h"
#include "core/common/Posix.h"

namespace tolvane {
UniqueFd openArchiveFile(const std::string& path) {
    // O_NONBLOCK keeps open(2) from waiting for a writer on a FIFO or for a device; it is cleared
    // once the descriptor is known to be a regular file.
    UniqueFd fd = posix::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    const struct stat st = posix::fstat(fd.get());
    if (S_ISDIR(st.st_mode)) {
        posix::throwErrno(EISDIR, path);
    }
    if (!S_ISREG(st.st_mode)) {
        posix::throwErrno(EINVAL, path + ": not a regular file");
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        posix::throwLastError(path);
    }
    return fd;
}

FileDigest FileDigest::compute(const std::string& path,
                               const std::function<void()>& checkCancelled) {
    const UniqueFd fd = openArchiveFile(path);
    Sha256 sha256;
    Md5 md5;
    std::int64_t size = 0;
    const auto block = std::make_unique<std::uint8_t[]>(blockSize);
    for (;;) {
        const std::size_t got = posix::readFull(fd.get(), block.get(), blockSize);
        if (got == 0) {
            break;
        }
        if (checkCancelled) {
            checkCancelled();
        }
        const std::span<const std::uint8_t> bytes(block.get(), got);
        sha256.update(bytes);
        md5.update(bytes);
        size += static_cast<std::int64_t>(got);
    }
    const Sha256::Value shaValue = sha256.finish();
    const Md5::Value md5Value = md5.finish();
    return FileDigest{size, HexString::encode(shaValue), HexString::encode(md5Value)};
}

FileDigest FileDigest::compute(const std::string& path, std::stop_token stop) {
    return compute(path, [&stop] { throwIfCancelled(nullptr, stop); });
}

}  // namespace tolvane
