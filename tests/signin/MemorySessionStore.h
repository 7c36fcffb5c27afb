#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "core/drive/GoogleSignInErrors.h"
#include "platform/signin/SignInSessionStore.h"

namespace tolvane::test {

// The session kept in memory; while a failure is set every call throws it, as a locked or
// absent keyring would. While saves are held, a save waits before it writes, as one behind a
// keyring's unlock prompt does.
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
        {
            std::unique_lock lock(mutex_);
            ++waiting_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return !held_; });
            --waiting_;
        }
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
    void holdSaves(bool held) {
        const std::lock_guard lock(mutex_);
        held_ = held;
        changed_.notify_all();
    }
    void waitUntilSaveHeld() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return held_ && waiting_ > 0; });
    }

private:
    std::mutex mutex_;
    std::optional<std::string> secret_;
    std::optional<GoogleSignInError> failure_;
    int calls_ = 0;
    std::condition_variable changed_;
    bool held_ = false;
    int waiting_ = 0;
};

}  // namespace tolvane::test
