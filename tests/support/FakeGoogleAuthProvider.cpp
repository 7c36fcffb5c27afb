#include "support/FakeGoogleAuthProvider.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace tolvane::test {

void FakeGoogleAuthProvider::setRestoredSession(std::optional<GoogleRestoredSession> session) {
    std::lock_guard lock(mutex_);
    restoredSession_ = std::move(session);
}

void FakeGoogleAuthProvider::setSignedInIdentity(GoogleIdentity identity) {
    std::lock_guard lock(mutex_);
    signedInIdentity_ = std::move(identity);
}

void FakeGoogleAuthProvider::setFailure(Call call, std::exception_ptr failure) {
    std::lock_guard lock(mutex_);
    failures_[call] = std::move(failure);
}

void FakeGoogleAuthProvider::hold(Call call) {
    std::lock_guard lock(mutex_);
    held_.insert(call);
}

void FakeGoogleAuthProvider::release(Call call) {
    {
        std::lock_guard lock(mutex_);
        held_.erase(call);
    }
    changed_.notify_all();
}

void FakeGoogleAuthProvider::releaseAll() {
    {
        std::lock_guard lock(mutex_);
        held_.clear();
    }
    changed_.notify_all();
}

bool FakeGoogleAuthProvider::waitUntilEntered(Call call, std::size_t count) {
    std::unique_lock lock(mutex_);
    const auto entered = [&] {
        return static_cast<std::size_t>(
                   std::count_if(records_.begin(), records_.end(),
                                 [&](const Record& r) { return r.call == call; })) >= count;
    };
    // Only a watchdog against a hang; correct runs never come near it.
    return changed_.wait_for(lock, std::chrono::minutes(2), entered);
}

std::vector<FakeGoogleAuthProvider::Record> FakeGoogleAuthProvider::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::size_t FakeGoogleAuthProvider::count(Call call) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(records_.begin(), records_.end(),
                                                  [&](const Record& r) { return r.call == call; }));
}

void FakeGoogleAuthProvider::enter(Call call, std::optional<GoogleIdentity> identity,
                                   std::unique_lock<std::mutex>& lock) {
    records_.push_back({call, std::move(identity)});
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_.contains(call); });
    const auto failure = failures_.find(call);
    if (failure != failures_.end() && failure->second) {
        std::rethrow_exception(failure->second);
    }
}

std::optional<GoogleRestoredSession> FakeGoogleAuthProvider::restoreSession() {
    std::unique_lock lock(mutex_);
    enter(Call::restoreSession, std::nullopt, lock);
    return restoredSession_;
}

GoogleIdentity FakeGoogleAuthProvider::signIn() {
    std::unique_lock lock(mutex_);
    enter(Call::signIn, std::nullopt, lock);
    return signedInIdentity_;
}

void FakeGoogleAuthProvider::requestDriveScope(const GoogleIdentity& identity) {
    std::unique_lock lock(mutex_);
    enter(Call::requestDriveScope, identity, lock);
}

void FakeGoogleAuthProvider::refreshSession(const GoogleIdentity& identity) {
    std::unique_lock lock(mutex_);
    enter(Call::refreshSession, identity, lock);
}

void FakeGoogleAuthProvider::signOut() {
    std::unique_lock lock(mutex_);
    enter(Call::signOut, std::nullopt, lock);
}

void FakeGoogleAuthProvider::revokeConsent() {
    std::unique_lock lock(mutex_);
    enter(Call::revokeConsent, std::nullopt, lock);
}

void FakeGoogleAuthProvider::cancelAuthorization() noexcept {
    std::unique_lock lock(mutex_);
    records_.push_back({Call::cancelAuthorization, std::nullopt});
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_.contains(Call::cancelAuthorization); });
}

const char* callName(FakeGoogleAuthProvider::Call call) noexcept {
    using Call = FakeGoogleAuthProvider::Call;
    switch (call) {
        case Call::restoreSession:
            return "restoreSession";
        case Call::signIn:
            return "signIn";
        case Call::requestDriveScope:
            return "requestDriveScope";
        case Call::refreshSession:
            return "refreshSession";
        case Call::signOut:
            return "signOut";
        case Call::revokeConsent:
            return "revokeConsent";
        case Call::cancelAuthorization:
            return "cancelAuthorization";
    }
    return "?";
}

}  // namespace tolvane::test

namespace tolvane {

namespace {

const char* kindName(GoogleAuthState::Kind kind) noexcept {
    using Kind = GoogleAuthState::Kind;
    switch (kind) {
        case Kind::restoring:
            return "restoring";
        case Kind::signedOut:
            return "signedOut";
        case Kind::authorizing:
            return "authorizing";
        case Kind::requestingScope:
            return "requestingScope";
        case Kind::connected:
            return "connected";
        case Kind::refreshing:
            return "refreshing";
        case Kind::reauthRequired:
            return "reauthRequired";
        case Kind::signingOut:
            return "signingOut";
        case Kind::revokingConsent:
            return "revokingConsent";
        case Kind::cancelled:
            return "cancelled";
        case Kind::denied:
            return "denied";
        case Kind::failed:
            return "failed";
    }
    return "?";
}

}  // namespace

void PrintTo(const GoogleIdentity& identity, std::ostream* out) {
    *out << "{" << identity.subject << ", " << identity.email.value_or("(no e-mail)") << "}";
}

void PrintTo(const GoogleAuthState& state, std::ostream* out) {
    *out << kindName(state.kind());
    if (state.identity()) {
        *out << "(";
        PrintTo(*state.identity(), out);
        *out << ")";
    }
    if (state.failure()) {
        *out << "(code " << static_cast<int>(state.failure()->code()) << ")";
    }
}

}  // namespace tolvane
