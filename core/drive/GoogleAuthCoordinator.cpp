#include "core/drive/GoogleAuthCoordinator.h"

#include <optional>
#include <stdexcept>
#include <utility>

namespace tolvane {

namespace {

// The failure carried by the exception being handled; anything that is not a GoogleAuthFailure
// means the connection could not be checked. Call only from inside a catch handler.
GoogleAuthFailure failureInFlight() noexcept {
    try {
        throw;
    } catch (const GoogleAuthFailure& failure) {
        return failure;
    } catch (...) {
        return GoogleAuthFailure::unavailable();
    }
}

// For the steps that establish a session (restore, sign-in, scope request, refresh): the user's
// own cancel or refusal, and a lapsed grant, are states of their own rather than failures.
// `identity` is the account the failing call was made for, when one is known.
GoogleAuthState signInOutcome(const GoogleAuthFailure& failure,
                              std::optional<GoogleIdentity> identity) {
    switch (failure.code()) {
        case GoogleAuthFailure::Code::cancelled:
            return GoogleAuthState::cancelled();
        case GoogleAuthFailure::Code::denied:
            return GoogleAuthState::denied();
        case GoogleAuthFailure::Code::reauthenticationRequired:
            return GoogleAuthState::reauthRequired(std::move(identity));
        case GoogleAuthFailure::Code::keychainUnavailable:
        case GoogleAuthFailure::Code::configurationMissing:
        case GoogleAuthFailure::Code::unavailable:
            break;
    }
    return GoogleAuthState::failed(failure);
}

// For sign-out and revocation every failure is shown as such, a cancelled one included: the
// user did not cancel a sign-in there.
GoogleAuthState plainOutcome(const GoogleAuthFailure& failure) {
    return GoogleAuthState::failed(failure);
}

}  // namespace

GoogleAuthCoordinator::GoogleAuthCoordinator(std::shared_ptr<GoogleAuthProvider> provider,
                                             std::uint64_t initialOperationID)
    : provider_(std::move(provider)), operationID_(initialOperationID) {
    if (!provider_) {
        throw std::invalid_argument("GoogleAuthCoordinator needs a provider");
    }
}

GoogleAuthState GoogleAuthCoordinator::currentState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

GoogleAuthCoordinator::Begun GoogleAuthCoordinator::begin(GoogleAuthState state, Yields yields) {
    yielding_.request_stop();
    state_ = std::move(state);
    Begun begun{++operationID_, {}};  // unsigned: the counter wraps to 0 after its maximum
    yielding_ = yields == Yields::yes ? begun.stop : std::stop_source(std::nostopstate);
    return begun;
}

GoogleAuthCoordinator::Begun GoogleAuthCoordinator::beginLocked(GoogleAuthState state,
                                                                Yields yields) {
    std::lock_guard lock(mutex_);
    return begin(std::move(state), yields);
}

namespace {

// Stops one operation when the coordinator shuts down, at once if it already has.
class StopOnShutdown {
public:
    StopOnShutdown(std::stop_token lifetime, std::stop_source operation)
        : link_(std::move(lifetime), Stopper{std::move(operation)}) {}

private:
    struct Stopper {
        std::stop_source operation;
        void operator()() noexcept { operation.request_stop(); }
    };
    std::stop_callback<Stopper> link_;
};

}  // namespace

bool GoogleAuthCoordinator::settle(std::uint64_t operation, GoogleAuthState state) {
    std::lock_guard lock(mutex_);
    if (operationID_ != operation) {
        return false;
    }
    state_ = std::move(state);
    return true;
}

void GoogleAuthCoordinator::restore() {
    const std::uint64_t operation =
        beginLocked(GoogleAuthState::restoring(), Yields::yes).operation;
    std::optional<GoogleRestoredSession> session;
    try {
        session = provider_->restoreSession();
    } catch (...) {
        settle(operation, signInOutcome(failureInFlight(), std::nullopt));
        return;
    }
    if (!session) {
        settle(operation, GoogleAuthState::signedOut());
    } else if (session->driveScopeGranted) {
        settle(operation, GoogleAuthState::connected(std::move(session->identity)));
    } else {
        settle(operation, GoogleAuthState::reauthRequired(std::move(session->identity)));
    }
}

void GoogleAuthCoordinator::connect() {
    const Begun begun = beginLocked(GoogleAuthState::authorizing(), Yields::yes);
    const std::uint64_t operation = begun.operation;
    const StopOnShutdown link(lifetime_.get_token(), begun.stop);
    GoogleIdentity identity;
    try {
        identity = provider_->signIn(begun.stop.get_token());
    } catch (...) {
        settle(operation, signInOutcome(failureInFlight(), std::nullopt));
        return;
    }
    // The same operation covers both steps. Once superseded (a cancel, a sign-out), the scope
    // must not be asked for: that would put a consent page in front of a user who left. A cancel
    // arriving after this check is seen by the provider through the stop token.
    if (!settle(operation, GoogleAuthState::requestingScope(identity))) {
        return;
    }
    try {
        provider_->requestDriveScope(identity, begun.stop.get_token());
    } catch (...) {
        settle(operation, signInOutcome(failureInFlight(), identity));
        return;
    }
    settle(operation, GoogleAuthState::connected(std::move(identity)));
}

void GoogleAuthCoordinator::refresh() {
    std::optional<Begun> begun;
    GoogleIdentity identity;
    {
        std::lock_guard lock(mutex_);
        if (state_.kind() != GoogleAuthState::Kind::connected) {
            return;
        }
        identity = *state_.identity();
        begun = begin(GoogleAuthState::refreshing(identity), Yields::yes);
    }
    const std::uint64_t operation = begun->operation;
    const StopOnShutdown link(lifetime_.get_token(), begun->stop);
    try {
        provider_->refreshSession(identity, begun->stop.get_token());
    } catch (...) {
        settle(operation, signInOutcome(failureInFlight(), identity));
        return;
    }
    settle(operation, GoogleAuthState::connected(std::move(identity)));
}

void GoogleAuthCoordinator::signOut() {
    const std::uint64_t operation =
        beginLocked(GoogleAuthState::signingOut(), Yields::no).operation;
    try {
        provider_->signOut();
    } catch (...) {
        settle(operation, plainOutcome(failureInFlight()));
        return;
    }
    settle(operation, GoogleAuthState::signedOut());
}

void GoogleAuthCoordinator::revokeConsent() {
    const Begun begun = beginLocked(GoogleAuthState::revokingConsent(), Yields::no);
    const std::uint64_t operation = begun.operation;
    const StopOnShutdown link(lifetime_.get_token(), begun.stop);
    try {
        provider_->revokeConsent(begun.stop.get_token());
    } catch (...) {
        settle(operation, plainOutcome(failureInFlight()));
        return;
    }
    settle(operation, GoogleAuthState::signedOut());
}

void GoogleAuthCoordinator::cancel() {
    {
        std::lock_guard lock(mutex_);
        const GoogleAuthState::Kind kind = state_.kind();
        if (kind != GoogleAuthState::Kind::authorizing &&
            kind != GoogleAuthState::Kind::requestingScope) {
            return;
        }
        // Beginning is what cancels: the pending connect() is no longer current, so whatever
        // the provider answers it is dropped, and it is asked to stop. The number itself is of
        // no further use.
        begin(GoogleAuthState::cancelled(), Yields::no);
    }
    provider_->cancelAuthorization();
}

void GoogleAuthCoordinator::shutdown() noexcept {
    lifetime_.request_stop();
    provider_->cancelAuthorization();
}

}  // namespace tolvane
