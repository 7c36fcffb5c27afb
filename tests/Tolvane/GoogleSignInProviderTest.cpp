#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "Tolvane/model/GoogleSignInProvider.h"
#include "core/drive/GoogleAuthCoordinator.h"
#include "signin/FakeOAuth.h"
#include "signin/MemorySessionStore.h"
#include "support/LogCapture.h"
#include "support/Watchdog.h"

namespace tolvane::test {
namespace {

// "ok" or the GoogleAuthFailure's message.
std::string outcome(const std::function<void()>& action) {
    try {
        action();
        return "ok";
    } catch (const GoogleAuthFailure& failure) {
        return failure.what();
    }
}

const std::string missing = GoogleAuthFailure::configurationMissing().what();
const std::string reauth = GoogleAuthFailure::reauthenticationRequired().what();
const std::string unavailable = GoogleAuthFailure::unavailable().what();

class GoogleSignInProviderTest : public ::testing::Test {
protected:
    FakeOAuthServer server;
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    FakeBrowser browser{server};
    QVariant clientID = QString::fromStdString(fakeClientID);
    bool window = true;
    int opened = 0;
    std::function<void()> beforeWindowCheck = [] {};
    LogCapture log;

    std::shared_ptr<GoogleSignInProvider> make(std::shared_ptr<SignInSessionStore> keyring = {},
                                               std::shared_ptr<DriveHTTPTransport> transport = {}) {
        auto library =
            std::make_shared<GoogleSignIn>(server.configuration(), keyring ? keyring : store,
                                           transport ? transport : server.transport());
        GoogleSignInProvider::Hooks hooks{
            [this](const QString& key) { return key == "GIDClientID" ? clientID : QVariant(); },
            [this](std::stop_token) { return beforeWindowCheck(), window; },
            [](std::stop_token) { return 0L; },
            [this](const std::string& url, std::stop_token stop) {
                ++opened;
                browser.opener()(url, stop);
            }};
        return std::make_shared<GoogleSignInProvider>(library, hooks);
    }
    std::shared_ptr<GoogleSignInProvider> provider = make();
};

TEST_F(GoogleSignInProviderTest, RefusesWithoutAUsableClientIdentifier) {
    store->save("stored");
    for (const QVariant& value :
         {QVariant(), QVariant(42), QVariant(QString()), QVariant(QString("1234.apps.example.com")),
          QVariant(QString("1234.APPS.googleusercontent.com"))}) {
        SCOPED_TRACE(value.toString().toStdString());
        clientID = value;
        EXPECT_EQ(outcome([&] { provider->restoreSession(); }), missing);
        EXPECT_EQ(outcome([&] { provider->signIn({}); }), missing);
    }
    // The check comes before the keyring is asked anything; only sign-in says why it refused.
    EXPECT_EQ(store->calls(), 1);
    EXPECT_EQ(log.lines(), std::vector<std::string>(5, "signIn blocked: OAuth client ID missing"));

    clientID = QString::fromStdString(fakeClientID);
    window = false;
    EXPECT_EQ(outcome([&] { provider->signIn({}); }), unavailable);
    EXPECT_EQ(log.lines().back(),
              "signIn blocked: presenting window unavailable; visibleWindowCount=0");
}

TEST_F(GoogleSignInProviderTest, ConnectsRefreshesAndRestoresTheDriveScope) {
    store->remove();
    EXPECT_EQ(provider->restoreSession(), std::nullopt);
    const GoogleIdentity identity = provider->signIn({});
    browser.join();
    EXPECT_EQ(identity, (GoogleIdentity{"subject-1", "subject-1@example.com"}));

    // Another account than the library's current one: no browser, no request, no log line.
    const GoogleIdentity stranger{"subject-2", std::nullopt};
    EXPECT_EQ(outcome([&] { provider->requestDriveScope(stranger, {}); }), reauth);
    EXPECT_EQ(outcome([&] { provider->refreshSession(stranger, {}); }), reauth);
    EXPECT_EQ(outcome([&] { provider->accessToken(stranger); }), reauth);
    EXPECT_EQ(server.calls().size(), 1u);

    browser.grantDrive = false;
    EXPECT_EQ(outcome([&] { provider->requestDriveScope(identity, {}); }),
              GoogleAuthFailure::denied().what());
    browser.join();
    EXPECT_EQ(outcome([&] { provider->accessToken(identity); }), reauth);
    browser.grantDrive = true;
    EXPECT_EQ(outcome([&] { provider->requestDriveScope(identity, {}); }), "ok");
    browser.join();
    EXPECT_EQ(outcome([&] { provider->requestDriveScope(identity, {}); }), "ok");
    EXPECT_EQ(opened, 3);
    EXPECT_EQ(outcome([&] { provider->refreshSession(identity, {}); }), "ok");
    EXPECT_TRUE(provider->accessToken(identity).starts_with("access-"));

    EXPECT_EQ(make()->restoreSession(), (GoogleRestoredSession{identity, true}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "addScopes failed: com.tolvane.Veska.GoogleAuthFailure code=1",
                               "accessToken failed: com.tolvane.Veska.GoogleAuthFailure code=2"}));
}

TEST_F(GoogleSignInProviderTest, LogsThreeCausesAtMostAndNeverAToken) {
    auto locked = std::make_shared<MemorySessionStore>();
    std::vector<SignInErrorCause> chain;
    for (long code = 1; code <= 5; ++code) {
        chain.push_back({"secret-error", code});
    }
    locked->fail(GoogleSignInError(std::string(GoogleSignInErrors::domain),
                                   GoogleSignInErrors::keychain, chain));
    EXPECT_EQ(outcome([&] { make(locked)->restoreSession(); }),
              GoogleAuthFailure::keychainUnavailable().what());
    provider->signIn({});
    browser.join();
    server.with([](auto&, auto&, int& status) { status = 503; });
    EXPECT_EQ(outcome([&] { provider->revokeConsent({}); }), unavailable);
    server.with([](auto&, auto& tokens, int& status) {
        tokens.clear();
        status = 200;
    });
    EXPECT_EQ(outcome([&] { provider->revokeConsent({}); }), "ok");
    // Every line, and none with a token: at most three causes each.
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "restore failed: com.tolvane.Veska.SignIn code=-2",
                               "restore underlying: secret-error code=1",
                               "restore underlying: secret-error code=2",
                               "restore underlying: secret-error code=3",
                               "disconnect failed: com.tolvane.Veska.SignIn code=-1",
                               "disconnect underlying: com.tolvane.Veska.SignIn.HTTP code=503",
                               "disconnect underlying: com.tolvane.Veska.SignIn.OAuth code=0"}));
}

// The fault this provider mends: a cancelled sign-in used to stay open in the library, so that
// finishing it in the browser later stored a session the user had abandoned. The cancel is the
// user's own stop, not a failure: nothing is logged.
TEST_F(GoogleSignInProviderTest, CancellingAConnectAbortsTheBrowserFlow) {
    browser.act = FakeBrowser::Act::closeTab;
    GoogleAuthCoordinator coordinator(provider);
    std::thread connect([&] { coordinator.connect(); });
    browser.waitUntilOpened();
    coordinator.cancel();
    connect.join();
    EXPECT_EQ(coordinator.currentState(), GoogleAuthState::cancelled());
    EXPECT_EQ(store->stored(), std::nullopt);
    EXPECT_TRUE(server.calls().empty());
    EXPECT_EQ(log.lines(), std::vector<std::string>{});
}

// A step that its caller stops (a cancel, a sign-out, the application ending), before it began
// or while it waits on Google, ends as cancelled without a log line. The user declining on
// Google's page is the library's own cancellation and is logged with its cause.
TEST_F(GoogleSignInProviderTest, AStoppedStepIsNotLoggedButADeclinedPageIs) {
    const GoogleIdentity identity = provider->signIn({});
    browser.join();
    const auto holding = std::make_shared<HoldingTransport>(server.transport());
    const auto held = make(store, holding);
    ASSERT_TRUE(held->restoreSession().has_value());  // no access token yet: refreshes go out
    const std::string cancelled = GoogleAuthFailure::cancelled().what();
    const struct {
        const char* step;
        bool whileWaiting;
        std::function<void(std::stop_token)> run;
    } rows[] = {
        {"signIn", false, [&](std::stop_token stop) { held->signIn(stop); }},
        {"addScopes", false,
         [&](std::stop_token stop) { held->requestDriveScope(identity, stop); }},
        {"refresh", false, [&](std::stop_token stop) { held->refreshSession(identity, stop); }},
        {"accessToken", false, [&](std::stop_token stop) { held->accessToken(identity, stop); }},
        {"accessToken", true, [&](std::stop_token stop) { held->accessToken(identity, stop); }},
        {"disconnect", true, [&](std::stop_token stop) { held->revokeConsent(stop); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step + std::string(row.whileWaiting ? " while waiting" : " before"));
        const Watchdog watchdog(row.step);
        std::string result;
        holding->runStopped(row.whileWaiting, [&](std::stop_token stop) {
            result = outcome([&] { row.run(stop); });
        });
        EXPECT_EQ(result, cancelled);
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{});

    browser.act = FakeBrowser::Act::deny;
    EXPECT_EQ(outcome([&] { provider->signIn({}); }), cancelled);
    browser.join();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "signIn failed: com.tolvane.Veska.SignIn code=-5",
                               "signIn underlying: com.tolvane.Veska.SignIn.OAuth code=7"}));
}

// A cancel or a sign-out that comes after the sign-in, before the scope request has reached the
// library, is not lost: no consent page opens and that connect stores nothing more.
TEST_F(GoogleSignInProviderTest, ACancelOrSignOutBeforeTheScopeStepEndsTheConnect) {
    const struct {
        const char* name;
        void (GoogleAuthCoordinator::*operation)();
        GoogleAuthState state;
        bool sessionKept;
    } rows[] = {
        {"cancel", &GoogleAuthCoordinator::cancel, GoogleAuthState::cancelled(), true},
        {"signOut", &GoogleAuthCoordinator::signOut, GoogleAuthState::signedOut(), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Watchdog watchdog(row.name);
        store->remove();
        opened = 0;
        // The second window check is the scope step's: it waits there until let go.
        std::mutex mutex;
        std::condition_variable changed;
        int checks = 0;
        bool letGo = false;
        beforeWindowCheck = [&] {
            std::unique_lock lock(mutex);
            ++checks;
            changed.notify_all();
            changed.wait(lock, [&] { return checks < 2 || letGo; });
        };
        GoogleAuthCoordinator coordinator(provider);
        std::thread connect([&] { coordinator.connect(); });
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return checks == 2; });
        }
        browser.join();
        const std::size_t calls = server.calls().size();
        (coordinator.*row.operation)();
        {
            const std::lock_guard lock(mutex);
            letGo = true;
        }
        changed.notify_all();
        connect.join();
        EXPECT_EQ(coordinator.currentState(), row.state);
        EXPECT_EQ(opened, 1);
        EXPECT_EQ(server.calls().size(), calls);
        EXPECT_EQ(store->stored().has_value(), row.sessionKept);
        if (row.sessionKept) {
            EXPECT_EQ(store->stored()->find(driveScope), std::string::npos);
        }
        beforeWindowCheck = [] {};
    }
}

}  // namespace
}  // namespace tolvane::test
