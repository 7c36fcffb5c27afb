#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>

#include "core/drive/GoogleAuth.h"

namespace tolvane {

// Owns the state of the Google account connection and drives the sign-in provider.
//
// Thread-safe. Every operation blocks its (worker) thread until the provider answers, and
// several may be under way at once: the user cancels a sign-in, or signs out while a restore is
// still pending. Each operation that changes the state takes a new operation number; when the
// provider answers, the outcome is applied only if no later operation has begun since, so the
// latest operation always decides the state and late answers are dropped. The lock is never held
// during a provider call, which is what lets cancel() act while connect() waits in the provider.
//
// A superseded sign-in or refresh is also asked to stop: after a cancel, a sign-out or a
// revocation, no later step of that sign-in opens a page, exchanges a code or stores anything.
//
// No operation throws on a provider failure: every outcome becomes a state, read back with
// currentState(). The coordinator must outlive the operations running on it.
class GoogleAuthCoordinator {
public:
    // initialOperationID only moves where the wrapping operation counter starts.
    explicit GoogleAuthCoordinator(std::shared_ptr<GoogleAuthProvider> provider,
                                   std::uint64_t initialOperationID = 0);
    GoogleAuthCoordinator(const GoogleAuthCoordinator&) = delete;
    GoogleAuthCoordinator& operator=(const GoogleAuthCoordinator&) = delete;

    GoogleAuthState currentState() const;

    // Settles the initial state from the stored session: signedOut, connected, or reauthRequired
    // when the Drive scope is missing.
    void restore();
    // Interactive sign-in, then the Drive scope request for the account that signed in.
    void connect();
    // Renews a connected session; does nothing unless connected.
    void refresh();
    void signOut();
    void revokeConsent();
    // Abandons a sign-in or scope request under way (the state becomes cancelled at once and the
    // pending answer is dropped); does nothing in any other state.
    void cancel();
    // The application is ending: every operation under way, and every one begun from now on, is
    // asked to stop. Final.
    void shutdown() noexcept;

private:
    // Whether a later operation stops this one. A sign-out or revocation is the user's own end
    // of the session and runs to its end; only shutdown() stops it.
    enum class Yields { no, yes };
    struct Begun {
        std::uint64_t operation;
        std::stop_source stop;
    };

    // Sets the state and takes the next operation number (wrapping), stopping the superseded
    // operation when it yields; the caller holds mutex_.
    Begun begin(GoogleAuthState state, Yields yields);
    // Locks, then begin().
    Begun beginLocked(GoogleAuthState state, Yields yields);
    // Applies the state only while `operation` is the latest one begun; says whether it did.
    bool settle(std::uint64_t operation, GoogleAuthState state);

    const std::shared_ptr<GoogleAuthProvider> provider_;
    mutable std::mutex mutex_;
    GoogleAuthState state_ = GoogleAuthState::restoring();
    std::uint64_t operationID_;
    // The stop source of the latest operation when it yields to later ones.
    std::stop_source yielding_{std::nostopstate};
    std::stop_source lifetime_;
};

}  // namespace tolvane
