#include "support/Child.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

namespace tolvane::test {

std::string ChildExit::describe() const {
    return exited ? "exit " + std::to_string(status) : "signal " + std::to_string(status);
}

ChildExit runInChild(const std::function<int()>& body, unsigned timeoutSeconds) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        return {};
    }
    if (child == 0) {
        ::alarm(timeoutSeconds);
        int status = 120;
        try {
            status = body();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "the child failed: %s\n", error.what());
        } catch (...) {
            std::fprintf(stderr, "the child failed\n");
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return {};
        }
    }
    return WIFEXITED(status) ? ChildExit{true, WEXITSTATUS(status)}
                             : ChildExit{false, WIFSIGNALED(status) ? WTERMSIG(status) : -1};
}

bool dropPrivileges() {
    if (::geteuid() != 0) {
        return true;
    }
    return ::setgroups(0, nullptr) == 0 && ::setgid(unprivilegedId) == 0 &&
           ::setuid(unprivilegedId) == 0;
}

}  // namespace tolvane::test
