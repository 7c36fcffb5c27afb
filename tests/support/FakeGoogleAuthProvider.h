#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <vector>

#include "core/drive/GoogleAuth.h"

namespace tolvane::test {

// A scripted sign-in provider. Each operation records its call, then, while the operation is
// held, blocks until it is released; only then does it read its scripted outcome, so a test may
// change the outcome after it has seen the call arrive. Outcomes persist until changed.
class FakeGoogleAuthProvider final : public GoogleAuthProvider {
public:
    enum class Call {
        restoreSession,
        signIn,
        requestDriveScope,
        refreshSession,
        signOut,
        revokeConsent,
        cancelAuthorization,
    };

    struct Record {
        Call call;
        // The argument of requestDriveScope and refreshSession.
        std::optional<GoogleIdentity> identity;
    };

    // Scripted results. By default nothing is stored and signIn answers "subject-1".
    void setRestoredSession(std::optional<GoogleRestoredSession> session);
    void setSignedInIdentity(GoogleIdentity identity);
    // The exception the operation throws from now on; nullptr makes it succeed again.
    // cancelAuthorization cannot fail.
    void setFailure(Call call, std::exception_ptr failure);
    template <typename E>
    void fail(Call call, E error) {
        setFailure(call, std::make_exception_ptr(std::move(error)));
    }

    // Calls of `call` made from now on block after being recorded, until release(call).
    void hold(Call call);
    // Lets every blocked call of `call` go on, and later calls pass straight through.
    void release(Call call);
    void releaseAll();
    // Waits until `call` has been entered `count` times in all. False after a generous
    // watchdog, so a broken interleaving fails the test instead of hanging it.
    [[nodiscard]] bool waitUntilEntered(Call call, std::size_t count = 1);

    std::vector<Record> records() const;
    std::size_t count(Call call) const;

    std::optional<GoogleRestoredSession> restoreSession() override;
    GoogleIdentity signIn() override;
    void requestDriveScope(const GoogleIdentity& identity) override;
    void refreshSession(const GoogleIdentity& identity) override;
    void signOut() override;
    void revokeConsent() override;
    void cancelAuthorization() noexcept override;

private:
    // Records the call, waits while it is held, then throws its scripted failure if any.
    void enter(Call call, std::optional<GoogleIdentity> identity,
               std::unique_lock<std::mutex>& lock);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Record> records_;
    std::set<Call> held_;
    std::map<Call, std::exception_ptr> failures_;
    std::optional<GoogleRestoredSession> restoredSession_;
    GoogleIdentity signedInIdentity_{"subject-1", "one@example.com"};
};

const char* callName(FakeGoogleAuthProvider::Call call) noexcept;

}  // namespace tolvane::test

namespace tolvane {

// Readable failure messages for GoogleTest.
void PrintTo(const GoogleIdentity& identity, std::ostream* out);
void PrintTo(const GoogleAuthState& state, std::ostream* out);

}  // namespace tolvane
