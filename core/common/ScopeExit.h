#pragma once

#include <cerrno>
#include <utility>

namespace tolvane {

// Runs a clean-up when the scope is left, by any way out, unless dismissed first. The clean-up
// must not throw: it runs during unwinding. errno is kept across it, so a clean-up's own system
// calls cannot replace the error the scope is leaving with.
template <typename Cleanup>
class [[nodiscard]] ScopeExit {
public:
    explicit ScopeExit(Cleanup cleanup) noexcept(noexcept(Cleanup(std::move(cleanup))))
        : cleanup_(std::move(cleanup)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() {
        if (active_) {
            const int saved = errno;
            cleanup_();
            errno = saved;
        }
    }

    // The work succeeded; the clean-up is no longer wanted.
    void dismiss() noexcept { active_ = false; }

private:
    Cleanup cleanup_;
    bool active_ = true;
};

}  // namespace tolvane
