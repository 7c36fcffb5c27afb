#include "core/archive/ArchiveRestoredMetadata.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/common/Posix.h"

namespace tolvane {

namespace {

bool isUnsupported(int error) {
    return error == ENOTSUP || error == EOPNOTSUPP;
}

}  // namespace

RestoredAttributeWriter::RestoredAttributeWriter()
    : RestoredAttributeWriter([](int fd, const char* name, const void* value, std::size_t size) {
          return ::fsetxattr(fd, name, value, size, 0);
      }) {}

RestoredAttributeWriter::RestoredAttributeWriter(SetCall set) : set_(std::move(set)) {}

int RestoredAttributeWriter::set(int fd, const char* fullName, std::string_view value) {
    if (!enabled_) {
        return ENOTSUP;
    }
    if (set_(fd, fullName, value.data(), value.size()) == 0) {
        return 0;
    }
    const int error = errno;
    if (isUnsupported(error)) {
        enabled_ = false;
    }
    return error;
}

namespace ArchiveRestoredMetadata {

namespace {

// Host bookkeeping that an archive may carry but that is never put back: the platform decides
// access control and quarantine, and provenance is stamped from the archive file itself.
constexpr std::string_view skippedNames[] = {
    "com.apple.macl",
    "com.apple.quarantine",
    "xdg.origin.url",
};

// Another system's provenance record is refused outright, like a malformed name: no archive this
// system writes carries one, so it marks a forged or damaged entry.
constexpr std::string_view refusedName = "com.apple.provenance";

bool isSkipped(std::string_view name) {
    return std::find(std::begin(skippedNames), std::end(skippedNames), name) !=
           std::end(skippedNames);
}

bool isRefused(std::string_view name) {
    return name.empty() || name.find('\0') != std::string_view::npos || name == refusedName;
}

}  // namespace

void applyExtendedAttributes(const ArchiveExtendedAttributes::Map& attributes, int fd,
                             RestoredAttributeWriter& writer) {
    // The map's own order composes names first; attributes are set in plain byte order so the
    // sequence never depends on Unicode tables.
    std::vector<const ArchiveExtendedAttributes::Map::value_type*> ordered;
    ordered.reserve(attributes.size());
    for (const auto& attribute : attributes) {
        ordered.push_back(&attribute);
    }
    std::sort(ordered.begin(), ordered.end(), [](const auto* a, const auto* b) {
        return std::string_view(a->first) < std::string_view(b->first);
    });

    std::string fullName;
    for (const auto* attribute : ordered) {
        const std::string& name = attribute->first;
        if (isRefused(name)) {
            throw ArchivePipelineError::invalidArchive("invalid extended attribute name");
        }
        if (isSkipped(name) || !writer.enabled()) {
            continue;
        }
        fullName.assign(ArchiveExtendedAttributes::userNamespacePrefix);
        fullName += name;
        const int error = writer.set(fd, fullName.c_str(), attribute->second);
        if (error != 0 && !isUnsupported(error)) {
            posix::throwErrno(error, fullName);
        }
    }
}

void applyPermissions(std::uint16_t permissions, int fd) {
    if (::fchmod(fd, static_cast<mode_t>(permissions & restoredPermissionBits)) != 0) {
        posix::throwLastError();
    }
}

timespec modificationTime(double secondsSince1970) {
    // Both bounds are exact powers of two; the lower one is kept open so borrowing a second
    // below cannot leave the range.
    constexpr double limit = 0x1p63;
    if (!std::isfinite(secondsSince1970)) {
        posix::throwErrno(EINVAL);
    }
    const double whole = std::trunc(secondsSince1970);
    if (!(whole > -limit && whole < limit)) {
        posix::throwErrno(EINVAL);
    }
    // The difference of a double and its integral part is exact.
    auto seconds = static_cast<std::int64_t>(whole);
    auto microseconds =
        static_cast<std::int64_t>(std::trunc((secondsSince1970 - whole) * 1'000'000.0));
    if (microseconds < 0) {
        seconds -= 1;
        microseconds += 1'000'000;
    }
    if (seconds < std::numeric_limits<time_t>::min() ||
        seconds > std::numeric_limits<time_t>::max()) {
        posix::throwErrno(EINVAL);
    }
    timespec result{};
    result.tv_sec = static_cast<time_t>(seconds);
    result.tv_nsec = static_cast<long>(microseconds * 1000);
    return result;
}

void applyModificationDate(double secondsSince1970, int fd) {
    timespec times[2]{};
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = modificationTime(secondsSince1970);
    if (::futimens(fd, times) != 0) {
        posix::throwLastError();
    }
}

void applyFilesystemMetadata(std::optional<std::uint16_t> permissions,
                             std::optional<double> modificationDate, int fd) {
    if (permissions) {
        applyPermissions(*permissions, fd);
    }
    if (modificationDate) {
        applyModificationDate(*modificationDate, fd);
    }
}

}  // namespace ArchiveRestoredMetadata
}  // namespace tolvane
