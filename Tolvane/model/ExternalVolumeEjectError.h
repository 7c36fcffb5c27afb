#pragma once

#include <stdexcept>

namespace tolvane {

// Why the store would not eject a volume; what() is the Korean sentence shown to the user. A
// refusal by the system itself is not one of these: it reaches the caller as the system's error.
class ExternalVolumeEjectError : public std::runtime_error {
public:
    enum class Code { archiveUnavailable, alreadyEjecting, systemRejected };

    explicit ExternalVolumeEjectError(Code code);
    Code code() const noexcept { return code_; }

private:
    Code code_;
};

}  // namespace tolvane
