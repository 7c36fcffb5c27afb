#include "core/archive/ArchiveRestoredMetadata.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "core/archive/ArchivePipelineError.h"
#include "core/archive/ArchiveProgressInfo.h"
#include "core/common/PathText.h"
#include "core/common/Posix.h"
#include "core/common/Progress.h"
#include "core/common/Unicode.h"

namespace tolvane {

RestoredAttributeWriter::RestoredAttributeWriter() : RestoredAttributeWriter(nullptr) {}

RestoredAttributeWriter::RestoredAttributeWriter(Progress* progress)
    : RestoredAttributeWriter(
          [](int fd, const char* name, const void* value, std::size_t size) {
              return ::fsetxattr(fd, name, value, size, 0);
          },
          progress) {}

RestoredAttributeWriter::RestoredAttributeWriter(SetCall set, Progress* progress)
    : set_(std::move(set)), progress_(progress) {}

RestoredAttributeWriter::RestoredAttributeWriter(RestoredAttributeWriter&& other) noexcept
    : set_(std::move(other.set_)),
      progress_(other.progress_),
      enabled_(other.enabled()),
      droppedNames_(std::move(other.droppedNames_)),
      namesOmitted_(other.namesOmitted_) {}

int RestoredAttributeWriter::set(int fd, const char* fullName, std::string_view value) {
    if (!enabled()) {
        return ENOTSUP;
    }
    if (set_(fd, fullName, value.data(), value.size()) == 0) {
        return 0;
    }
    const int error = errno;
    if (RestoredAttributeWriter::isUnsupported(error)) {
        enabled_.store(false, std::memory_order_relaxed);
    }
    return error;
}

bool RestoredAttributeWriter::dropIfRefusedForSize(int fd, std::string_view fullName,
                                                   std::uint64_t bytes, int error) {
    std::optional<std::uint64_t> available;
    struct statvfs volume {};
    if (error == ENOSPC && ::fstatvfs(fd, &volume) == 0) {
        std::uint64_t free = 0;
        available = __builtin_mul_overflow(volume.f_bavail, volume.f_frsize, &free)
                        ? std::numeric_limits<std::uint64_t>::max()
                        : free;
    }
    if (!ArchiveRestoredMetadata::isRefusedForSize(error, available, bytes)) {
        return false;
    }
    // The warning names a few attributes and changes only when the names it shows do, so a name
    // refused on every file costs one entry and one publication.
    const std::string shown = Unicode::truncateToGraphemes(fullName, maxShownNameBytes);
    const std::lock_guard lock(droppedMutex_);
    if (std::find(droppedNames_.begin(), droppedNames_.end(), shown) != droppedNames_.end() ||
        (namesOmitted_ && droppedNames_.size() == maxNamedDrops)) {
        return true;
    }
    if (droppedNames_.size() < maxNamedDrops) {
        droppedNames_.push_back(shown);
    } else {
        namesOmitted_ = true;
    }
    if (progress_ != nullptr) {
        progress_->setUserInfo(
            ArchiveProgressInfo::droppedAttributesWarningKey,
            ArchiveRestoredMetadata::droppedAttributesWarning(droppedNames_, namesOmitted_));
    }
    return true;
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

// Room a volume must still have for an ENOSPC to be the attribute's fault rather than its own.
constexpr std::uint64_t volumeReserveBytes = 1'048'576;

bool isSkipped(std::string_view name) {
    return std::find(std::begin(skippedNames), std::end(skippedNames), name) !=
           std::end(skippedNames);
}

bool isRefused(std::string_view name) {
    return name.empty() || name.find('\0') != std::string_view::npos || name == refusedName;
}

}  // namespace

bool isRefusedForSize(int error, std::optional<std::uint64_t> availableBytes,
                      std::uint64_t bytes) noexcept {
    if (error == E2BIG || error == ERANGE) {
        return true;
    }
    std::uint64_t needed = 0;
    return error == ENOSPC && availableBytes &&
           !__builtin_add_overflow(bytes, volumeReserveBytes, &needed) && *availableBytes >= needed;
}

std::string droppedAttributesWarning(const std::vector<std::string>& names, bool more) {
    std::string text =
        "대상 파일 시스템이 크기 제한으로 받아들이지 않은 확장 속성을 복원하지 "
        "않았습니다: ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += i == 0 ? "" : ", ";
        text += PathText::escapedForMessage(names[i]);
    }
    if (more) {
        text += " 등";
    }
    return text;
}

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
        if (error != 0 && !RestoredAttributeWriter::isUnsupported(error) &&
            !writer.dropIfRefusedForSize(fd, fullName, name.size() + attribute->second.size(),
                                         error)) {
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
