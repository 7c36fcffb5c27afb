#include "core/drive/GoogleAuthCoordinator.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/common/Cancellation.h"
#include "support/FakeGoogleAuthProvider.h"

namespace tolvane {
namespace {

using Call = test::FakeGoogleAuthProvider::Call;
using Op = void (GoogleAuthCoordinator::*)();
using F = GoogleAuthFailure;
constexpr Op restore = &GoogleAuthCoordinator::restore, connect = &GoogleAuthCoordinator::connect,
             refresh = &GoogleAuthCoordinator::refresh, signOut = &GoogleAuthCoordinator::signOut,
             revoke = &GoogleAuthCoordinator::revokeConsent;
const GoogleIdentity alice{"alice", "alice@example.com"};
const GoogleRestoredSession aliceConnected{alice, true};

template <typename E>
std::exception_ptr error(E e) {
    return std::make_exception_ptr(e);
}

// A coordinator whose sign-in answers "bob"; `session` is restored first when given.
struct Rig {
    explicit Rig(std::optional<GoogleRestoredSession> session = std::nullopt,
                 std::uint64_t first = 0)
        : coordinator(fake, first) {
        fake->signedIn = GoogleIdentity{"bob", std::nullopt};
        fake->session = session;
        if (session) {
            coordinator.restore();
        }
    }
    ~Rig() { fake->release(); }  // then the threads are joined

    // Runs the operation on its own thread and waits until it is held in the provider's `held`.
    std::jthread& start(Op op, Call held) {
        fake->hold(held);
        std::jthread& thread = threads.emplace_back([this, op] { (coordinator.*op)(); });
        EXPECT_TRUE(fake->waitUntilEntered(held));
        return thread;
    }
    std::string state() const { return test::describe(coordinator.currentState()); }

    std::shared_ptr<test::FakeGoogleAuthProvider> fake =
        std::make_shared<test::FakeGoogleAuthProvider>();
    GoogleAuthCoordinator coordinator;
    std::deque<std::jthread> threads;
};

TEST(GoogleAuthCoordinatorTest, ProviderFailuresBecomeStates) {
    // What the steps that establish a session make of a failure, and what sign-out and revocation
    // make of it. Anything but a GoogleAuthFailure is unavailable, even what looks like a
    // cancellation or a sign-in code: translating those is the provider's job.
    const std::tuple<std::exception_ptr, std::string, std::string> thrown[] = {
        {error(F::cancelled()), "cancelled", "failed cancelled"},
        {error(F::denied()), "denied", "failed denied"},
        {error(F::reauthenticationRequired()), "reauthRequired", "failed reauthenticationRequired"},
        {error(F::keychainUnavailable()), "failed keychainUnavailable",
         "failed keychainUnavailable"},
        {error(std::runtime_error("offline")), "failed unavailable", "failed unavailable"},
        {error(OperationCancelled()), "failed unavailable", "failed unavailable"},
        {error(GoogleSignInError(std::string(GoogleSignInErrors::domain), -5)),
         "failed unavailable", "failed unavailable"},
        {error(42), "failed unavailable", "failed unavailable"}};
    // The failing call, the operation, whether it establishes a session, the account it is for.
    const std::tuple<Call, Op, bool, std::string> steps[] = {
        {Call::restoreSession, restore, true, ""},
        {Call::signIn, connect, true, ""},
        {Call::requestDriveScope, connect, true, " bob"},
        {Call::refreshSession, refresh, true, " alice"},
        {Call::signOut, signOut, false, ""},
        {Call::revokeConsent, revoke, false, ""}};
    for (const auto& [call, op, establishes, account] : steps) {
        for (const auto& [failure, onSignIn, plain] : thrown) {
            Rig rig(op == refresh ? std::optional(aliceConnected) : std::nullopt);
            rig.fake->fail(call, failure);
            (rig.coordinator.*op)();
            const std::string expected = !establishes                   ? plain
                                         : onSignIn == "reauthRequired" ? onSignIn + account
                                                                        : onSignIn;
            EXPECT_EQ(rig.state(), expected) << static_cast<int>(call);
            // A failed sign-in never goes on to ask for the scope.
            EXPECT_EQ(rig.fake->count(Call::requestDriveScope), call == Call::requestDriveScope);
        }
    }
}

TEST(GoogleAuthCoordinatorTest, EachOperationPassesThroughItsState) {
    struct Case {
        std::optional<GoogleRestoredSession> session;
        Op op;
        Call held;
        std::string during;
        std::string after;
        std::string argument;  // of the last provider call
    };
    const Case cases[] = {
        {std::nullopt, restore, Call::restoreSession, "restoring", "signedOut", ""},
        {aliceConnected, restore, Call::restoreSession, "restoring", "connected alice", ""},
        {GoogleRestoredSession{alice, false}, restore, Call::restoreSession, "restoring",
         "reauthRequired alice", ""},
        {std::nullopt, connect, Call::signIn, "authorizing", "connected bob", "bob"},
        {std::nullopt, connect, Call::requestDriveScope, "requestingScope bob", "connected bob",
         "bob"},
        {aliceConnected, refresh, Call::refreshSession, "refreshing alice", "connected alice",
         "alice"},
        {aliceConnected, signOut, Call::signOut, "signingOut", "signedOut", ""},
        {aliceConnected, revoke, Call::revokeConsent, "revokingConsent", "signedOut", ""}};
    for (const Case& c : cases) {
        Rig rig(c.op == restore ? std::nullopt : c.session);
        rig.fake->session = c.session;
        std::jthread& thread = rig.start(c.op, c.held);
        EXPECT_EQ(rig.state(), c.during);
        rig.fake->release(c.held);
        thread.join();
        EXPECT_EQ(rig.state(), c.after);
        const auto argument = rig.fake->records().back().identity;
        EXPECT_EQ(argument ? argument->subject : "", c.argument) << c.after;
    }
}

// connect() waits in the provider; a cancel (or any later operation) decides the state at once,
// whatever the provider answers afterwards is dropped, and the scope is never asked for after it.
TEST(GoogleAuthCoordinatorTest, ALaterOperationWinsOverAPendingConnect) {
    const std::tuple<Call, std::exception_ptr, Op, std::string> cases[] = {
        {Call::signIn, nullptr, nullptr, "cancelled"},
        {Call::signIn, error(F::reauthenticationRequired()), nullptr, "cancelled"},
        {Call::signIn, error(std::runtime_error("offline")), nullptr, "cancelled"},
        {Call::requestDriveScope, nullptr, nullptr, "cancelled"},
        {Call::requestDriveScope, error(F::denied()), nullptr, "cancelled"},
        {Call::signIn, nullptr, signOut, "signedOut"}};
    for (const auto& [held, answer, interrupt, expected] : cases) {
        Rig rig;
        std::jthread& thread = rig.start(connect, held);
        interrupt ? (rig.coordinator.*interrupt)() : rig.coordinator.cancel();
        EXPECT_EQ(rig.state(), expected);
        rig.fake->fail(held, answer);
        rig.fake->release(held);
        thread.join();
        EXPECT_EQ(rig.state(), expected);
        EXPECT_EQ(rig.fake->count(Call::cancelAuthorization), interrupt == nullptr);
        EXPECT_EQ(rig.fake->count(Call::requestDriveScope), held == Call::requestDriveScope);
    }
}

TEST(GoogleAuthCoordinatorTest, SignOutOvertakesAPendingRestore) {
    // The last row starts the restore at the last operation number and the sign-out at 0.
    const std::tuple<std::optional<GoogleRestoredSession>, std::exception_ptr, std::uint64_t>
        cases[] = {{aliceConnected, nullptr, 0},
                   {std::nullopt, error(F::reauthenticationRequired()), 0},
                   {std::nullopt, error(std::runtime_error("offline")), 0},
                   {aliceConnected, nullptr, std::numeric_limits<std::uint64_t>::max() - 1}};
    for (const auto& [session, answer, first] : cases) {
        Rig rig(std::nullopt, first);
        rig.fake->session = session;
        rig.fake->fail(Call::restoreSession, answer);
        std::jthread& restoring = rig.start(restore, Call::restoreSession);
        std::jthread& signingOut = rig.start(signOut, Call::signOut);
        rig.fake->release(Call::restoreSession);
        restoring.join();
        EXPECT_EQ(rig.state(), "signingOut");
        rig.fake->release(Call::signOut);
        signingOut.join();
        EXPECT_EQ(rig.state(), "signedOut");
    }
    // The other order: the sign-out fails before the restore answers; its failure stays.
    Rig rig;
    rig.fake->session = aliceConnected;
    std::jthread& restoring = rig.start(restore, Call::restoreSession);
    rig.fake->fail(Call::signOut, error(F::keychainUnavailable()));
    rig.coordinator.signOut();
    rig.fake->release(Call::restoreSession);
    restoring.join();
    EXPECT_EQ(rig.state(), "failed keychainUnavailable");
}

TEST(GoogleAuthCoordinatorTest, CancelAndRefreshDoNothingOutsideTheirStates) {
    // The operation run first (held in the provider when a call is named) and the state it leaves.
    const std::tuple<Op, std::optional<Call>, std::string> cases[] = {
        {nullptr, std::nullopt, "restoring"},
        {restore, std::nullopt, "signedOut"},
        {revoke, std::nullopt, "failed keychainUnavailable"},
        {signOut, Call::signOut, "signingOut"},
        {refresh, Call::refreshSession, "refreshing alice"}};
    for (const auto& [op, held, expected] : cases) {
        Rig rig(op == refresh ? std::optional(aliceConnected) : std::nullopt);
        rig.fake->fail(Call::revokeConsent, error(F::keychainUnavailable()));
        if (held) {
            rig.start(op, *held);
        } else if (op) {
            (rig.coordinator.*op)();
        }
        const std::size_t calls = rig.fake->records().size();
        rig.coordinator.cancel();
        rig.coordinator.refresh();
        EXPECT_EQ(rig.state(), expected);
        EXPECT_EQ(rig.fake->records().size(), calls);
    }
    Rig rig(aliceConnected);  // takes a refresh, but there is no sign-in to cancel
    rig.coordinator.cancel();
    EXPECT_EQ(rig.state(), "connected alice");
    EXPECT_EQ(rig.fake->count(Call::cancelAuthorization), 0u);
}

TEST(GoogleAuthFailureTest, OnlyTheSignInDomainCarriesMeaning) {
    const std::string domain(GoogleSignInErrors::domain);
    const std::tuple<std::string, long, F> cases[] = {
        {domain, GoogleSignInErrors::cancelled, F::cancelled()},
        {domain, GoogleSignInErrors::keychain, F::keychainUnavailable()},
        {domain, GoogleSignInErrors::reauthenticationRequired, F::reauthenticationRequired()},
        {domain, GoogleSignInErrors::hasNoStoredSignIn, F::unavailable()},
        {domain + " ", GoogleSignInErrors::cancelled, F::unavailable()},
        {domain.substr(1), GoogleSignInErrors::keychain, F::unavailable()},
        {std::string(F::errorDomain), GoogleSignInErrors::cancelled, F::unavailable()}};
    for (const auto& [errorDomain, code, expected] : cases) {
        EXPECT_EQ(F::fromGoogleSDK(errorDomain, code), expected) << errorDomain << " " << code;
    }
}

}  // namespace
}  // namespace tolvane
