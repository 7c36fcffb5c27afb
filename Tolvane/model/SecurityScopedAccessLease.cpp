#include "Tolvane/model/SecurityScopedAccessLease.h"

#include <utility>

namespace tolvane {

namespace {
// The platform's grant of access to a user-chosen path. Nothing to start on Linux: the program
// already has the access its user has.
bool startAccessingSecurityScopedResource(const std::string&) noexcept {
    return false;
}
void stopAccessingSecurityScopedResource(const std::string&) noexcept {}
}  // namespace

SecurityScopedAccessLease::SecurityScopedAccessLease(std::string url)
    : url_(std::move(url)), startedAccess_(startAccessingSecurityScopedResource(url_)) {}

SecurityScopedAccessLease::~SecurityScopedAccessLease() {
    if (startedAccess_) {
        stopAccessingSecurityScopedResource(url_);
    }
}

}  // namespace tolvane
