#include "core/archive/ArchiveQuarantine.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Posix.h"
#include "core/common/UniqueFd.h"

namespace tolvane::ArchiveQuarantine {

std::optional<std::string> read(const std::string& path) {
    return read(path, ArchiveExtendedAttributes::systemCalls());
}

std::optional<std::string> read(const std::string& path,
                                const ArchiveExtendedAttributes::SystemCalls& calls) {
    // O_NONBLOCK: a named pipe chosen as the archive must be refused below, not wait for a writer.
    const UniqueFd fd = posix::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw ArchivePipelineError::invalidArchive("the chosen ZIP is not a regular file");
    }

    const ssize_t size = calls.getValue(fd.get(), attributeName, nullptr, 0);
    if (size < 0) {
        const int error = errno;
        if (error == ENODATA || error == ENOTSUP || error == EOPNOTSUPP) {
            return std::nullopt;
        }
        posix::throwErrno(error, attributeName);
    }
    if (size == 0) {
        return std::nullopt;
    }
    if (static_cast<std::size_t>(size) > maxValueBytes) {
        throw ArchivePipelineError::invalidArchive(
            "ZIP quarantine metadata exceeds the supported limit");
    }
    std::string value(static_cast<std::size_t>(size), '\0');
    if (calls.getValue(fd.get(), attributeName, value.data(), value.size()) != size) {
        throw ArchivePipelineError::sourceChanged("ZIP quarantine metadata");
    }
    return value;
}

bool hasExistingQuarantine(int fd) noexcept {
    return hasExistingQuarantine(fd, ArchiveExtendedAttributes::systemCalls());
}

bool hasExistingQuarantine(int fd, const ArchiveExtendedAttributes::SystemCalls& calls) noexcept {
    try {
        const ssize_t size = calls.getValue(fd, attributeName, nullptr, 0);
        if (size < 1 || static_cast<std::size_t>(size) > maxValueBytes) {
            return false;
        }
        std::string value(static_cast<std::size_t>(size), '\0');
        return calls.getValue(fd, attributeName, value.data(), value.size()) == size;
    } catch (...) {
        return false;
    }
}

void stamp(int fd, std::string_view value, RestoredAttributeWriter& writer) {
    if (!writer.enabled()) {
        return;
    }
    // Judged by this call's own answer: another thread may turn the writer off meanwhile.
    const int error = writer.set(fd, attributeName, value);
    if (error == 0 || RestoredAttributeWriter::isUnsupported(error)) {
        return;
    }
    if (error == EPERM && hasExistingQuarantine(fd)) {
        return;
    }
    posix::throwErrno(error, attributeName);
}

}  // namespace tolvane::ArchiveQuarantine
