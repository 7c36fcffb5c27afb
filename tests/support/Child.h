#pragma once

#include <functional>
#include <string>

namespace tolvane::test {

// How a forked child ended.
struct ChildExit {
    bool exited = false;  // by _exit; otherwise by a signal
    int status = -1;      // the exit status, or the signal's number

    bool succeeded() const noexcept { return exited && status == 0; }
    bool killedBy(int signal) const noexcept { return !exited && status == signal; }
    std::string describe() const;
};

// Runs body in a forked child and waits for it; the child exits with what body returns (an
// exception is printed and becomes 120). Limits, identities and seccomp filters set in body stay
// in the child. An alarm kills a child that blocks longer than timeoutSeconds.
ChildExit runInChild(const std::function<int()>& body, unsigned timeoutSeconds = 60);

// In a child running as root: drops to the unprivileged user nobody, so that permission checks
// apply. Returns false when that fails. Without root, nothing needs dropping.
bool dropPrivileges();
// The uid and gid dropPrivileges switches to.
constexpr unsigned unprivilegedId = 65534;

}  // namespace tolvane::test
