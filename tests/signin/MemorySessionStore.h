#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "core/drive/GoogleSignInErrors.h"
#include "platform/signin/SignInSessionStore.h"

namespace tolvane::test {

// The session kept in memory; while `failure` is set every call throws it, as a locked or
// absent keyring would.
class MemorySessionStore final : public SignInSessionStore {
public:
    std::optional<std::string> load() override {
        return run([&] { return secret; });
    }
    void save(const std::string& value) override {
        run([&] { return secret = value; });
    }
    void remove() override {
        run([&] { return secret = std::nullopt; });
    }

    std::optional<std::string> stored() const {
        const std::lock_guard lock(mutex_);
        return secret;
    }
    void fail(std::optional<GoogleSignInError> error) {
        const std::lock_guard lock(mutex_);
        failure = std::move(error);
    }
    int calls() const {
        const std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    template <typename Action>
    std::optional<std::string> run(Action action) {
        const std::lock_guard lock(mutex_);
        ++calls_;
        if (failure) {
            throw *failure;
        }
        return action();
    }

    mutable std::mutex mutex_;
    std::optional<std::string> secret;
    std::optional<GoogleSignInError> failure;
    int calls_ = 0;
};

}  // namespace tolvane::test
