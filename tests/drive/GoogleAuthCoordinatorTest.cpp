#include "core/drive/GoogleAuthCoordinator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "core/common/ScopeExit.h"

namespace tolvane {
namespace {

using F = GoogleAuthFailure;
const GoogleIdentity alice{"alice", "alice@example.com"};

const std::map<std::string, void (GoogleAuthCoordinator::*)()> operations = {
    {"restore", &GoogleAuthCoordinator::restore},      {"connect", &GoogleAuthCoordinator::connect},
    {"refresh", &GoogleAuthCoordinator::refresh},      {"signOut", &GoogleAuthCoordinator::signOut},
    {"revoke", &GoogleAuthCoordinator::revokeConsent}, {"cancel", &GoogleAuthCoordinator::cancel},
    {"shutdown", &GoogleAuthCoordinator::shutdown}};
const auto error = [](auto e) { return std::make_exception_ptr(e); };
const std::map<std::string, std::exception_ptr> failures = {
    {"cancelled", error(F::cancelled())},
    {"denied", error(F::denied())},
    {"reauth", error(F::reauthenticationRequired())},
    {"keychain", error(F::keychainUnavailable())},
    {"notAnException", error(42)}};

std::string describe(const GoogleAuthState& state) {
    static const std::string kinds[] = {"restoring",       "signedOut",  "authorizing",
                                        "requestingScope", "connected",  "refreshing",
                                        "reauthRequired",  "signingOut", "revokingConsent",
                                        "cancelled",       "denied",     "failed"};
    static const std::string reasons[] = {"cancelled", "denied", "reauth",
                                          "keychain",  "config", "unavailable"};
    const std::optional<GoogleIdentity>& identity = state.identity();
    const std::optional<GoogleAuthFailure>& failure = state.failure();
    return kinds[static_cast<int>(state.kind())] + (identity ? " " + identity->subject : "") +
           (failure ? " " + reasons[static_cast<int>(failure->code())] : "");
}

// Signs in bob. A call is logged and waits while held before it reads its (changeable) failure.
struct FakeProvider final : GoogleAuthProvider {
    std::optional<GoogleRestoredSession> session;
    std::mutex mutex;  // guards the members below
    std::condition_variable changed;
    std::string log = "calls";
    std::set<std::string> held;
    std::map<std::string, std::exception_ptr> failures;
    std::map<std::string, std::stop_token> stops;  // the last one each call was given

    template <typename Change>
    void update(Change change) {
        {
            const std::lock_guard lock(mutex);
            change();
        }
        changed.notify_all();
    }
    void enter(const std::string& call, std::stop_token stop = {}) {
        std::unique_lock lock(mutex);
        log += " " + call;
        changed.notify_all();
        const std::string name = call.substr(0, call.find(':'));
        stops[name] = std::move(stop);
        changed.wait(lock, [&] { return !held.contains(name); });
        if (const std::exception_ptr failure = failures[name]) {
            std::rethrow_exception(failure);
        }
    }
    std::optional<GoogleRestoredSession> restoreSession() override {
        return enter("restore"), session;
    }
    GoogleIdentity signIn(std::stop_token stop) override {
        return enter("signIn", stop), GoogleIdentity{"bob", {}};
    }
    void requestDriveScope(const GoogleIdentity& who, std::stop_token stop) override {
        enter("scope:" + who.subject, stop);
    }
    void refreshSession(const GoogleIdentity& who, std::stop_token stop) override {
        enter("refresh:" + who.subject, stop);
    }
    void signOut() override { enter("signOut"); }
    void revokeConsent(std::stop_token stop) override { enter("revoke", stop); }
    void cancelAuthorization() noexcept override { enter("cancel"); }
};

// Plays a scenario, its steps separated by ", ":
//   alice, alice?        the stored session: alice with or without the Drive scope
//   wrap                 (first) operation numbers start just before the counter wraps
//   <operation>          runs restore, connect, refresh, signOut, revoke or cancel
//   <operation>@<call>   runs it on its own thread until it is held in that call
//   fail <call> <what>   the call throws from now on; release <call> lets it go and joins
//   =<state>, calls ...  the state now, and every provider call so far
//   stopped <call>, running <call>   whether that call's stop token was requested
void play(const std::string& script) {
    SCOPED_TRACE(script);
    const auto fake = std::make_shared<FakeProvider>();
    GoogleAuthCoordinator coordinator(
        fake, script.starts_with("wrap") ? std::numeric_limits<std::uint64_t>::max() - 1 : 0);
    std::map<std::string, std::jthread> threads;  // by the call each is held in
    const ScopeExit releaseBeforeJoining([&] { fake->update([&] { fake->held.clear(); }); });
    std::string step;
    for (std::istringstream steps(script); std::getline(steps >> std::ws, step, ',');) {
        std::string word, call, what;
        std::istringstream(step) >> word >> call >> what;
        if (word == "alice" || word == "alice?") {
            fake->session = GoogleRestoredSession{alice, word == "alice"};
        } else if (word == "fail") {
            fake->update([&] { fake->failures[call] = failures.at(what); });
        } else if (word == "release") {
            fake->update([&] { fake->held.erase(call); });
            threads.at(call).join();
        } else if (word.starts_with("=")) {
            EXPECT_EQ("=" + describe(coordinator.currentState()), step);
        } else if (word == "stopped" || word == "running") {
            const std::lock_guard lock(fake->mutex);
            EXPECT_EQ(fake->stops[call].stop_requested(), word == "stopped") << step;
        } else if (word == "calls") {
            const std::lock_guard lock(fake->mutex);
            EXPECT_EQ(fake->log, step);
        } else if (const std::size_t at = word.find('@'); at != std::string::npos) {
            const auto operation = operations.at(word.substr(0, at));
            call = word.substr(at + 1);
            std::unique_lock lock(fake->mutex);
            fake->held.insert(call);
            const std::size_t logged = fake->log.size();
            threads[call] = std::jthread([&, operation] { (coordinator.*operation)(); });
            // A generous watchdog, so a broken interleaving fails instead of hanging.
            ASSERT_TRUE(fake->changed.wait_for(lock, std::chrono::minutes(2), [&] {
                return fake->log.find(" " + call, logged) != std::string::npos;
            })) << step;
        } else if (word != "wrap") {
            (coordinator.*operations.at(word))();
        }
    }
}

TEST(GoogleAuthCoordinatorTest, Scenarios) {
    for (const char* script :
         {// Each operation passes through its state, and the provider hears of the account.
          "restore@restore, =restoring, release restore, =signedOut",
          "alice, restore, =connected alice",
          "alice?, restore@restore, release restore, =reauthRequired alice",
          "connect@signIn, =authorizing, release signIn, =connected bob, calls signIn scope:bob",
          "connect@scope, =requestingScope bob, release scope, =connected bob",
          "alice, restore, refresh@refresh, =refreshing alice, release refresh, "
          "=connected alice, calls restore refresh:alice",
          "alice, restore, revoke@revoke, =revokingConsent, release revoke, =signedOut",
          // Steps toward a session make states of a cancel, a refusal or a lapsed grant; sign-out
          // and revocation fail with any failure; anything but a GoogleAuthFailure is unavailable.
          "fail restore reauth, restore, =reauthRequired",
          "fail signIn cancelled, connect, =cancelled, calls signIn",
          "fail scope reauth, connect, =reauthRequired bob", "fail scope denied, connect, =denied",
          "alice, restore, fail refresh reauth, refresh, =reauthRequired alice",
          "fail restore keychain, restore, =failed keychain",
          "fail signIn notAnException, connect, =failed unavailable",
          "fail signOut cancelled, signOut, =failed cancelled",
          "fail revoke denied, revoke, =failed denied",
          // A cancel (or any later operation) decides at once; the provider's late answer is
          // dropped, and the scope is never asked for after it.
          "connect@signIn, cancel, =cancelled, release signIn, =cancelled, calls signIn cancel",
          "connect@signIn, cancel, fail signIn reauth, release signIn, =cancelled",
          "connect@scope, cancel, fail scope denied, release scope, =cancelled, "
          "calls signIn scope:bob cancel",
          "connect@signIn, signOut, =signedOut, release signIn, =signedOut, calls signIn signOut",
          // A sign-out overtakes a pending restore, whatever the restore answers, also across
          // the wrapping of the operation counter.
          "alice, restore@restore, signOut@signOut, release restore, =signingOut, "
          "release signOut, =signedOut",
          "fail restore reauth, restore@restore, signOut@signOut, release restore, =signingOut",
          "wrap, alice, restore@restore, signOut@signOut, release restore, =signingOut",
          // A superseded sign-in or refresh is asked to stop, so that its provider takes no
          // further step; a sign-out or revocation is the user's own and only a shutdown stops
          // it, as it does everything begun later.
          "connect@scope, cancel, stopped scope", "connect@scope, signOut, stopped scope",
          "connect@signIn, revoke@revoke, stopped signIn, running revoke",
          "alice, restore, refresh@refresh, signOut, stopped refresh",
          "alice, restore, revoke@revoke, connect@signIn, running revoke, running signIn",
          "alice, restore, revoke@revoke, shutdown, stopped revoke",
          "connect@signIn, shutdown, stopped signIn",
          "shutdown, connect@signIn, stopped signIn, =authorizing",
          // cancel() and refresh() do nothing outside their states.
          "cancel, refresh, =restoring, calls"}) {
        play(script);
    }
}

}  // namespace
}  // namespace tolvane
