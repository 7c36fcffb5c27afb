#pragma once

#include <string>

namespace tolvane {

// Holds access to one file or folder the user chose for exactly as long as the lease lives.
// Work on such a path owns a lease (usually shared by the closures that do the work) and access
// ends when the last owner lets go.
//
// Linux confines desktop programs by no per-path grant that the program must start and stop, so
// starting access grants nothing here and reports that nothing was started; the lease keeps the
// same lifetime rules so that the code around it stays correct where such grants exist.
class SecurityScopedAccessLease {
public:
    explicit SecurityScopedAccessLease(std::string url);
    SecurityScopedAccessLease(const SecurityScopedAccessLease&) = delete;
    SecurityScopedAccessLease& operator=(const SecurityScopedAccessLease&) = delete;
    ~SecurityScopedAccessLease();

private:
    std::string url_;
    bool startedAccess_ = false;
};

}  // namespace tolvane
