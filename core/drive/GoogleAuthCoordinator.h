#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

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

private:
    // Sets the state and takes the next operation number (wrapping); the caller holds mutex_.
    std::uint64_t begin(GoogleAuthState state);
    // Locks, then begin().
    std::uint64_t beginLocked(GoogleAuthState state);
    // Applies the state only while `operation` is the latest one begun; says whether it did.
    bool settle(std::uint64_t operation, GoogleAuthState state);

    const std::shared_ptr<GoogleAuthProvider> provider_;
    mutable std::mutex mutex_;
    GoogleAuthState state_ = GoogleAuthState::restoring();
    std::uint64_t operationID_;
};

}  // namespace tolvane
