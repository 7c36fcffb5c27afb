#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "core/drive/GoogleSignInErrors.h"
#include "platform/signin/SignInSessionStore.h"

namespace tolvane::test {

// The session kept in memory; while a failure is set every call throws it, as a locked or
// absent keyring would.
class MemorySessionStore final : public SignInSessionStore {
    // Both take the lock; run() counts a call and throws the failure when one is set.
    template <typename Action>
    auto with(Action action) {
        const std::lock_guard lock(mutex_);
        return action(secret_, failure_, calls_);
    }
    template <typename Action>
    std::optional<std::string> run(Action action) {
        const std::lock_guard lock(mutex_);
        ++calls_;
        if (failure_) {
            throw *failure_;
        }
        return action(secret_);
    }

public:
    std::optional<std::string> load() override {
        return run([](auto& secret) { return secret; });
    }
    void save(const std::string& value) override {
        run([&](auto& secret) { return secret = value; });
    }
    void remove() override {
        run([](auto& secret) { return secret = std::nullopt; });
    }

    std::optional<std::string> stored() {
        return with([](auto& secret, auto&, int) { return secret; });
    }
    void fail(std::optional<GoogleSignInError> error) {
        with([&](auto&, auto& failure, int) { return failure = error; });
    }
    int calls() {
        return with([](auto&, auto&, int calls) { return calls; });
    }

private:
    std::mutex mutex_;
    std::optional<std::string> secret_;
    std::optional<GoogleSignInError> failure_;
    int calls_ = 0;
};

}  // namespace tolvane::test
