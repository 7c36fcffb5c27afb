#include "core/drive/GoogleAuthCoordinator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/common/Cancellation.h"
#include "core/drive/GoogleAuth.h"
#include "core/drive/GoogleSignInErrors.h"
#include "support/FakeGoogleAuthProvider.h"

namespace tolvane {
namespace {

using test::FakeGoogleAuthProvider;
using Call = FakeGoogleAuthProvider::Call;
using State = GoogleAuthState;
using Failure = GoogleAuthFailure;

const GoogleIdentity alice{"subject-alice", "alice@example.com"};
const GoogleIdentity bob{"subject-bob", std::nullopt};

// An operation running on its own thread. If the test leaves early, held provider calls are let
// go before the thread is joined, so a failed assertion never leaves the run hanging.
class Background {
public:
    Background(FakeGoogleAuthProvider& fake, std::function<void()> work)
        : fake_(fake), thread_(std::move(work)) {}
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    ~Background() {
        if (thread_.joinable()) {
            fake_.releaseAll();
            thread_.join();
        }
    }

    // Waits for the operation without releasing anything it may still be held at.
    void join() { thread_.join(); }

private:
    FakeGoogleAuthProvider& fake_;
    std::thread thread_;
};

struct Rig {
    explicit Rig(std::uint64_t initialOperationID = 0)
        : fake(std::make_shared<FakeGoogleAuthProvider>()), coordinator(fake, initialOperationID) {}

    std::shared_ptr<FakeGoogleAuthProvider> fake;
    GoogleAuthCoordinator coordinator;
};

// What a provider may throw, and the state each of the two mappings makes of it.
struct Thrown {
    std::string name;
    std::exception_ptr error;
    // For the steps that establish a session, given the account the call was made for.
    std::function<State(std::optional<GoogleIdentity>)> signInState;
    // For sign-out and revocation.
    State plainState;
};

std::vector<Thrown> everyThrown() {
    const auto failed = [](Failure failure) {
        return [failure](std::optional<GoogleIdentity>) { return State::failed(failure); };
    };
    const State unavailable = State::failed(Failure::unavailable());
    return {
        {"cancelled", std::make_exception_ptr(Failure::cancelled()),
         [](auto) { return State::cancelled(); }, State::failed(Failure::cancelled())},
        {"denied", std::make_exception_ptr(Failure::denied()), [](auto) { return State::denied(); },
         State::failed(Failure::denied())},
        {"reauthenticationRequired", std::make_exception_ptr(Failure::reauthenticationRequired()),
         [](std::optional<GoogleIdentity> identity) { return State::reauthRequired(identity); },
         State::failed(Failure::reauthenticationRequired())},
        {"keychainUnavailable", std::make_exception_ptr(Failure::keychainUnavailable()),
         failed(Failure::keychainUnavailable()), State::failed(Failure::keychainUnavailable())},
        {"configurationMissing", std::make_exception_ptr(Failure::configurationMissing()),
         failed(Failure::configurationMissing()), State::failed(Failure::configurationMissing())},
        {"unavailable", std::make_exception_ptr(Failure::unavailable()),
         failed(Failure::unavailable()), unavailable},
        // Everything else is unavailable, even errors that look like a cancellation or a known
        // sign-in code: translating those is the provider's job, not the coordinator's.
        {"runtime_error", std::make_exception_ptr(std::runtime_error("socket closed")),
         failed(Failure::unavailable()), unavailable},
        {"OperationCancelled", std::make_exception_ptr(OperationCancelled()),
         failed(Failure::unavailable()), unavailable},
        {"untranslated sign-in error",
         std::make_exception_ptr(
             GoogleSignInError(std::string(GoogleSignInErrors::domain), -5, {{"curl", 28}})),
         failed(Failure::unavailable()), unavailable},
        {"not an exception class", std::make_exception_ptr(42), failed(Failure::unavailable()),
         unavailable},
    };
}

TEST(GoogleAuthCoordinatorTest, SignInMappingOnEveryStepThatEstablishesASession) {
    struct Step {
        std::string name;
        Call failing;
        // Brings the coordinator where the step can run and runs it.
        std::function<void(Rig&)> run;
        // The account the failing call is made for, if any.
        std::optional<GoogleIdentity> identity;
    };
    const std::vector<Step> steps = {
        {"restore", Call::restoreSession, [](Rig& rig) { rig.coordinator.restore(); },
         std::nullopt},
        {"connect, sign-in", Call::signIn, [](Rig& rig) { rig.coordinator.connect(); },
         std::nullopt},
        {"connect, scope request", Call::requestDriveScope,
         [](Rig& rig) {
             rig.fake->setSignedInIdentity(bob);
             rig.coordinator.connect();
         },
         bob},
        {"refresh", Call::refreshSession,
         [](Rig& rig) {
             rig.fake->setRestoredSession(GoogleRestoredSession{alice, true});
             rig.coordinator.restore();
             ASSERT_EQ(rig.coordinator.currentState(), State::connected(alice));
             rig.coordinator.refresh();
         },
         alice},
    };
    for (const Step& step : steps) {
        for (const Thrown& thrown : everyThrown()) {
            SCOPED_TRACE(step.name + " throws " + thrown.name);
            Rig rig;
            rig.fake->setFailure(step.failing, thrown.error);
            step.run(rig);
            EXPECT_EQ(rig.coordinator.currentState(), thrown.signInState(step.identity));
            if (step.failing == Call::signIn) {
                EXPECT_EQ(rig.fake->count(Call::requestDriveScope), 0u);
            }
        }
    }
}

TEST(GoogleAuthCoordinatorTest, PlainMappingForSignOutAndRevocation) {
    struct Step {
        std::string name;
        Call call;
        void (GoogleAuthCoordinator::*run)();
    };
    const std::vector<Step> steps = {
        {"signOut", Call::signOut, &GoogleAuthCoordinator::signOut},
        {"revokeConsent", Call::revokeConsent, &GoogleAuthCoordinator::revokeConsent},
    };
    for (const Step& step : steps) {
        {
            SCOPED_TRACE(step.name + " succeeds");
            Rig rig;
            rig.fake->setRestoredSession(GoogleRestoredSession{alice, true});
            rig.coordinator.restore();
            (rig.coordinator.*step.run)();
            EXPECT_EQ(rig.coordinator.currentState(), State::signedOut());
            EXPECT_EQ(rig.fake->count(step.call), 1u);
        }
        for (const Thrown& thrown : everyThrown()) {
            SCOPED_TRACE(step.name + " throws " + thrown.name);
            Rig rig;
            rig.fake->setFailure(step.call, thrown.error);
            (rig.coordinator.*step.run)();
            EXPECT_EQ(rig.coordinator.currentState(), thrown.plainState);
        }
    }
}

TEST(GoogleAuthCoordinatorTest, RestoreSettlesFromTheStoredSession) {
    struct Case {
        std::string name;
        std::optional<GoogleRestoredSession> session;
        State expected;
    };
    const std::vector<Case> cases = {
        {"nothing stored", std::nullopt, State::signedOut()},
        {"scope granted", GoogleRestoredSession{alice, true}, State::connected(alice)},
        {"scope missing", GoogleRestoredSession{bob, false}, State::reauthRequired(bob)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        EXPECT_EQ(rig.coordinator.currentState(), State::restoring());
        rig.fake->setRestoredSession(c.session);
        rig.coordinator.restore();
        EXPECT_EQ(rig.coordinator.currentState(), c.expected);
        // A second restore from a settled state runs again and reaches the same answer.
        rig.coordinator.restore();
        EXPECT_EQ(rig.coordinator.currentState(), c.expected);
        EXPECT_EQ(rig.fake->count(Call::restoreSession), 2u);
    }
}

TEST(GoogleAuthCoordinatorTest, ConnectSignsInThenRequestsTheScopeForThatAccount) {
    Rig rig;
    rig.fake->setSignedInIdentity(alice);
    rig.fake->hold(Call::signIn);
    rig.fake->hold(Call::requestDriveScope);
    Background connect(*rig.fake, [&] { rig.coordinator.connect(); });

    ASSERT_TRUE(rig.fake->waitUntilEntered(Call::signIn));
    EXPECT_EQ(rig.coordinator.currentState(), State::authorizing());
    rig.fake->release(Call::signIn);

    ASSERT_TRUE(rig.fake->waitUntilEntered(Call::requestDriveScope));
    EXPECT_EQ(rig.coordinator.currentState(), State::requestingScope(alice));
    rig.fake->release(Call::requestDriveScope);
    connect.join();

    EXPECT_EQ(rig.coordinator.currentState(), State::connected(alice));
    const auto records = rig.fake->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].call, Call::signIn);
    EXPECT_EQ(records[1].call, Call::requestDriveScope);
    EXPECT_EQ(records[1].identity, alice);
}

// connect() is blocked inside the provider; cancel() must neither wait for it nor for the
// provider to give up, and whatever the provider answers later, the state stays cancelled.
TEST(GoogleAuthCoordinatorTest, CancelDuringConnectWinsWhateverTheProviderAnswersLater) {
    struct Case {
        std::string name;
        Call held;
        std::exception_ptr error;  // none: the call succeeds
    };
    const std::vector<Case> cases = {
        {"sign-in succeeds", Call::signIn, nullptr},
        {"sign-in fails as cancelled", Call::signIn, std::make_exception_ptr(Failure::cancelled())},
        {"sign-in needs reauthentication", Call::signIn,
         std::make_exception_ptr(Failure::reauthenticationRequired())},
        {"sign-in fails otherwise", Call::signIn,
         std::make_exception_ptr(std::runtime_error("offline"))},
        {"scope granted", Call::requestDriveScope, nullptr},
        {"scope denied", Call::requestDriveScope, std::make_exception_ptr(Failure::denied())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.fake->setSignedInIdentity(alice);
        rig.fake->hold(c.held);
        Background connect(*rig.fake, [&] { rig.coordinator.connect(); });
        ASSERT_TRUE(rig.fake->waitUntilEntered(c.held));

        rig.coordinator.cancel();
        EXPECT_EQ(rig.coordinator.currentState(), State::cancelled());
        EXPECT_EQ(rig.fake->count(Call::cancelAuthorization), 1u);

        rig.fake->setFailure(c.held, c.error);
        rig.fake->release(c.held);
        connect.join();
        EXPECT_EQ(rig.coordinator.currentState(), State::cancelled());
        EXPECT_EQ(rig.fake->count(Call::cancelAuthorization), 1u);
        EXPECT_EQ(rig.fake->count(Call::requestDriveScope), c.held == Call::signIn ? 0u : 1u);
    }
}

TEST(GoogleAuthCoordinatorTest, SupersededConnectNeverAsksForTheScope) {
    // Not only a cancel: any later operation ends a pending sign-in's claim on the state.
    Rig rig;
    rig.fake->hold(Call::signIn);
    Background connect(*rig.fake, [&] { rig.coordinator.connect(); });
    ASSERT_TRUE(rig.fake->waitUntilEntered(Call::signIn));

    rig.coordinator.signOut();
    EXPECT_EQ(rig.coordinator.currentState(), State::signedOut());
    rig.fake->release(Call::signIn);
    connect.join();

    EXPECT_EQ(rig.coordinator.currentState(), State::signedOut());
    EXPECT_EQ(rig.fake->count(Call::requestDriveScope), 0u);
    EXPECT_EQ(rig.fake->count(Call::cancelAuthorization), 0u);
}

TEST(GoogleAuthCoordinatorTest, CancelAndRefreshDoNothingOutsideTheirStates) {
    using Operation = void (GoogleAuthCoordinator::*)();
    using SetUp = std::function<void(Rig&, std::unique_ptr<Background> & pending)>;
    // The operation left pending inside the provider's call.
    const auto heldIn = [](Call call, Operation operation) -> SetUp {
        return [=](Rig& rig, std::unique_ptr<Background>& pending) {
            rig.fake->hold(call);
            pending = std::make_unique<Background>(
                *rig.fake, [&rig, operation] { (rig.coordinator.*operation)(); });
            ASSERT_TRUE(rig.fake->waitUntilEntered(call));
        };
    };
    // The operation run to its end with the provider's call failing.
    const auto failedIn = [](Call call, Failure failure, Operation operation) -> SetUp {
        return [=](Rig& rig, auto&) {
            rig.fake->fail(call, failure);
            (rig.coordinator.*operation)();
        };
    };
    struct Case {
        std::string name;
        SetUp setUp;
        State expected;
    };
    const std::vector<Case> cases = {
        {"fresh", [](Rig&, auto&) {}, State::restoring()},
        {"restore pending", heldIn(Call::restoreSession, &GoogleAuthCoordinator::restore),
         State::restoring()},
        {"signed out", [](Rig& rig, auto&) { rig.coordinator.restore(); }, State::signedOut()},
        {"reauthentication required",
         [](Rig& rig, auto&) {
             rig.fake->setRestoredSession(GoogleRestoredSession{bob, false});
             rig.coordinator.restore();
         },
         State::reauthRequired(bob)},
        {"cancelled", failedIn(Call::signIn, Failure::cancelled(), &GoogleAuthCoordinator::connect),
         State::cancelled()},
        {"denied",
         failedIn(Call::requestDriveScope, Failure::denied(), &GoogleAuthCoordinator::connect),
         State::denied()},
        {"failed",
         failedIn(Call::revokeConsent, Failure::keychainUnavailable(),
                  &GoogleAuthCoordinator::revokeConsent),
         State::failed(Failure::keychainUnavailable())},
        {"signing out", heldIn(Call::signOut, &GoogleAuthCoordinator::signOut),
         State::signingOut()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        std::unique_ptr<Background> pending;
        c.setUp(rig, pending);
        ASSERT_EQ(rig.coordinator.currentState(), c.expected);
        const std::size_t calls = rig.fake->records().size();

        rig.coordinator.cancel();
        rig.coordinator.refresh();

        EXPECT_EQ(rig.coordinator.currentState(), c.expected);
        EXPECT_EQ(rig.fake->records().size(), calls);
    }

    // Connected takes a refresh (tested on its own) but there is no sign-in to cancel.
    Rig rig;
    rig.fake->setRestoredSession(GoogleRestoredSession{alice, true});
    rig.coordinator.restore();
    rig.coordinator.cancel();
    EXPECT_EQ(rig.coordinator.currentState(), State::connected(alice));
    EXPECT_EQ(rig.fake->count(Call::cancelAuthorization), 0u);
}

TEST(GoogleAuthCoordinatorTest, RefreshRenewsTheConnectedAccount) {
    Rig rig;
    rig.fake->setRestoredSession(GoogleRestoredSession{alice, true});
    rig.coordinator.restore();
    rig.fake->hold(Call::refreshSession);
    Background refresh(*rig.fake, [&] { rig.coordinator.refresh(); });
    ASSERT_TRUE(rig.fake->waitUntilEntered(Call::refreshSession));

    EXPECT_EQ(rig.coordinator.currentState(), State::refreshing(alice));
    // A second refresh while one is under way is not from `connected`: it does nothing.
    rig.coordinator.refresh();
    rig.coordinator.cancel();
    EXPECT_EQ(rig.coordinator.currentState(), State::refreshing(alice));

    rig.fake->release(Call::refreshSession);
    refresh.join();
    EXPECT_EQ(rig.coordinator.currentState(), State::connected(alice));
    const auto records = rig.fake->records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].call, Call::refreshSession);
    EXPECT_EQ(records[1].identity, alice);
}

TEST(GoogleAuthCoordinatorTest, SignOutOvertakesPendingRestore) {
    struct Case {
        std::string name;
        std::optional<GoogleRestoredSession> session;
        std::exception_ptr restoreError;
        std::uint64_t firstOperation = 0;
    };
    const std::vector<Case> lateRestores = {
        {"restore finds a connected session", GoogleRestoredSession{alice, true}, nullptr},
        {"restore needs reauthentication", std::nullopt,
         std::make_exception_ptr(Failure::reauthenticationRequired())},
        {"restore fails", std::nullopt, std::make_exception_ptr(std::runtime_error("offline"))},
        // The restore takes the last operation number, the sign-out the wrapped 0.
        {"operation numbers wrap", GoogleRestoredSession{alice, true}, nullptr,
         std::numeric_limits<std::uint64_t>::max() - 1},
    };
    for (const Case& c : lateRestores) {
        SCOPED_TRACE(c.name);
        Rig rig(c.firstOperation);
        rig.fake->setRestoredSession(c.session);
        rig.fake->setFailure(Call::restoreSession, c.restoreError);
        rig.fake->hold(Call::restoreSession);
        rig.fake->hold(Call::signOut);
        Background restore(*rig.fake, [&] { rig.coordinator.restore(); });
        ASSERT_TRUE(rig.fake->waitUntilEntered(Call::restoreSession));
        Background signOut(*rig.fake, [&] { rig.coordinator.signOut(); });
        ASSERT_TRUE(rig.fake->waitUntilEntered(Call::signOut));

        // The restore answers while the sign-out is still pending: the sign-out's state stays.
        rig.fake->release(Call::restoreSession);
        restore.join();
        EXPECT_EQ(rig.coordinator.currentState(), State::signingOut());

        rig.fake->release(Call::signOut);
        signOut.join();
        EXPECT_EQ(rig.coordinator.currentState(), State::signedOut());
    }

    // The other order: the sign-out settles first, then the restore's late answer is dropped,
    // and so is a late failure of a sign-out that was itself overtaken.
    Rig rig;
    rig.fake->setRestoredSession(GoogleRestoredSession{alice, true});
    rig.fake->hold(Call::restoreSession);
    Background restore(*rig.fake, [&] { rig.coordinator.restore(); });
    ASSERT_TRUE(rig.fake->waitUntilEntered(Call::restoreSession));
    rig.fake->fail(Call::signOut, Failure::keychainUnavailable());
    rig.coordinator.signOut();
    EXPECT_EQ(rig.coordinator.currentState(), State::failed(Failure::keychainUnavailable()));
    rig.fake->release(Call::restoreSession);
    restore.join();
    EXPECT_EQ(rig.coordinator.currentState(), State::failed(Failure::keychainUnavailable()));
}

TEST(GoogleAuthCoordinatorTest, FirstOperationWrapsToZeroAndStaysCurrent) {
    Rig rig(std::numeric_limits<std::uint64_t>::max());
    rig.fake->setRestoredSession(GoogleRestoredSession{alice, true});
    rig.coordinator.restore();
    EXPECT_EQ(rig.coordinator.currentState(), State::connected(alice));
    rig.coordinator.refresh();
    EXPECT_EQ(rig.coordinator.currentState(), State::connected(alice));
}

TEST(GoogleAuthFailureTest, FromSignInLibraryError) {
    const std::string domain(GoogleSignInErrors::domain);
    struct Case {
        std::string domain;
        long code;
        Failure expected;
    };
    const std::vector<Case> cases = {
        {domain, GoogleSignInErrors::cancelled, Failure::cancelled()},
        {domain, GoogleSignInErrors::keychain, Failure::keychainUnavailable()},
        {domain, GoogleSignInErrors::reauthenticationRequired, Failure::reauthenticationRequired()},
        {domain, GoogleSignInErrors::hasNoStoredSignIn, Failure::unavailable()},
        {domain, GoogleSignInErrors::unknown, Failure::unavailable()},
        {domain, 0, Failure::unavailable()},
        {domain, std::numeric_limits<long>::min(), Failure::unavailable()},
        // The domain must match exactly.
        {"NSURLErrorDomain", GoogleSignInErrors::cancelled, Failure::unavailable()},
        {"", GoogleSignInErrors::cancelled, Failure::unavailable()},
        {domain + " ", GoogleSignInErrors::cancelled, Failure::unavailable()},
        {domain.substr(0, domain.size() - 1), GoogleSignInErrors::keychain, Failure::unavailable()},
        {std::string(Failure::errorDomain), GoogleSignInErrors::cancelled, Failure::unavailable()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.domain + "' " + std::to_string(c.code));
        EXPECT_EQ(Failure::fromGoogleSDK(c.domain, c.code), c.expected);
    }
}

TEST(GoogleAuthFailureTest, UserMessages) {
    struct Case {
        Failure failure;
        std::string message;
    };
    const std::vector<Case> cases = {
        {Failure::cancelled(), "Google 연결이 취소됐습니다."},
        {Failure::denied(), "Google Drive 접근 권한이 허용되지 않았습니다."},
        {Failure::reauthenticationRequired(), "Google 계정을 다시 연결해 주세요."},
        {Failure::keychainUnavailable(),
         "Google 로그인 정보를 키링에 저장하지 못했습니다. 키링 서비스를 확인해 주세요."},
        {Failure::configurationMissing(), "Google OAuth 클라이언트 설정이 없습니다."},
        {Failure::unavailable(),
         "Google 연결을 확인할 수 없습니다. 네트워크를 확인하고 다시 시도해 주세요."},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.failure.errorDescription(), c.message);
        EXPECT_STREQ(c.failure.what(), c.message.c_str());
    }
}

}  // namespace
}  // namespace tolvane
