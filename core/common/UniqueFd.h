#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tolvane {

// Sole owner of a file descriptor; closes it when destroyed.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    int release() noexcept { return std::exchange(fd_, -1); }

    // Closes the descriptor held so far. close(2) is not retried on EINTR: on Linux the
    // descriptor is gone either way, and a retry could close one another thread just opened.
    // errno is kept: an owner going out of scope must not clobber the error being reported.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) {
            const int saved = errno;
            ::close(old);
            errno = saved;
        }
    }

    // Closes the descriptor and returns 0, or the errno close(2) reported (a delayed write-back
    // error on some file systems). EINTR counts as closed: on Linux the descriptor is gone.
    int closeChecked() noexcept {
        const int old = release();
        if (old >= 0 && ::close(old) != 0 && errno != EINTR) {
            return errno;
        }
        return 0;
    }

private:
    int fd_ = -1;
};

}  // namespace tolvane
