#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/drive/GoogleAuth.h"

namespace tolvane::test {

// A scripted sign-in provider. A call is recorded, then waits while its kind is held, and only
// then reads its scripted outcome, so a test may change the outcome after seeing the call arrive.
class FakeGoogleAuthProvider final : public GoogleAuthProvider {
public:
    enum class Call {
        restoreSession,
        signIn,
        requestDriveScope,
        refreshSession,
        signOut,
        revokeConsent,
        cancelAuthorization
    };
    struct Record {
        Call call;
        std::optional<GoogleIdentity> identity;  // the argument, for the scope and the refresh
        friend bool operator==(const Record&, const Record&) = default;
    };

    // What restoreSession and signIn answer; set before the first call.
    std::optional<GoogleRestoredSession> session;
    GoogleIdentity signedIn{"subject-1", "one@example.com"};

    // The exception the call throws from now on; nullptr makes it succeed again.
    void fail(Call call, std::exception_ptr failure) {
        const std::lock_guard lock(mutex_);
        failures_[call] = std::move(failure);
    }
    void hold(Call call) {
        const std::lock_guard lock(mutex_);
        held_.insert(call);
    }
    // Lets the held calls of that kind go on; without a kind, every held call.
    void release(std::optional<Call> call = std::nullopt) {
        {
            const std::lock_guard lock(mutex_);
            std::erase_if(held_, [&](Call held) { return !call || held == *call; });
        }
        changed_.notify_all();
    }
    // False after a generous watchdog, so a broken interleaving fails instead of hanging.
    [[nodiscard]] bool waitUntilEntered(Call call, std::size_t count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::minutes(2),
                                 [&] { return countLocked(call) >= count; });
    }
    std::vector<Record> records() const {
        const std::lock_guard lock(mutex_);
        return records_;
    }
    std::size_t count(Call call) const {
        const std::lock_guard lock(mutex_);
        return countLocked(call);
    }

    std::optional<GoogleRestoredSession> restoreSession() override {
        return enter(Call::restoreSession), session;
    }
    GoogleIdentity signIn() override { return enter(Call::signIn), signedIn; }
    void requestDriveScope(const GoogleIdentity& identity) override {
        enter(Call::requestDriveScope, identity);
    }
    void refreshSession(const GoogleIdentity& identity) override {
        enter(Call::refreshSession, identity);
    }
    void signOut() override { enter(Call::signOut); }
    void revokeConsent() override { enter(Call::revokeConsent); }
    void cancelAuthorization() noexcept override { enter(Call::cancelAuthorization); }

private:
    void enter(Call call, std::optional<GoogleIdentity> identity = std::nullopt) {
        std::unique_lock lock(mutex_);
        records_.push_back({call, std::move(identity)});
        changed_.notify_all();
        changed_.wait(lock, [&] { return !held_.contains(call); });
        if (const std::exception_ptr failure = failures_[call]) {
            std::rethrow_exception(failure);
        }
    }
    std::size_t countLocked(Call call) const {
        return static_cast<std::size_t>(std::count_if(
            records_.begin(), records_.end(), [&](const Record& r) { return r.call == call; }));
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Record> records_;
    std::set<Call> held_;
    std::map<Call, std::exception_ptr> failures_;
};

// A state as one line: "connected alice", "failed keychainUnavailable", "signedOut".
inline std::string describe(const GoogleAuthState& state) {
    static const char* const kinds[] = {"restoring",       "signedOut",  "authorizing",
                                        "requestingScope", "connected",  "refreshing",
                                        "reauthRequired",  "signingOut", "revokingConsent",
                                        "cancelled",       "denied",     "failed"};
    static const char* const failures[] = {"cancelled",
                                           "denied",
                                           "reauthenticationRequired",
                                           "keychainUnavailable",
                                           "configurationMissing",
                                           "unavailable"};
    std::string text = kinds[static_cast<int>(state.kind())];
    if (state.identity()) {
        text += " " + state.identity()->subject;
    }
    if (state.failure()) {
        text += std::string(" ") + failures[static_cast<int>(state.failure()->code())];
    }
    return text;
}

}  // namespace tolvane::test
