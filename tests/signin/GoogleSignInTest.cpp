#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "core/common/Base64.h"
#include "core/common/Cancellation.h"
#include "core/common/UniqueFd.h"
#include "platform/signin/GoogleSignIn.h"
#include "platform/signin/LoopbackRedirectListener.h"
#include "platform/signin/OAuthText.h"
#include "signin/FakeOAuth.h"
#include "signin/MemorySessionStore.h"
#include "support/TempDir.h"
#include "support/Watchdog.h"

namespace tolvane::test {
namespace {

// "ok", or the error's code followed by its causes as "<last domain part>:<code>".
std::string outcome(const std::function<void()>& action) {
    try {
        action();
        return "ok";
    } catch (const GoogleSignInError& error) {
        std::string text = std::to_string(error.code());
        for (const SignInErrorCause& cause : error.underlying()) {
            text += " " + cause.domain.substr(cause.domain.rfind('.') + 1) + ":" +
                    std::to_string(cause.code);
        }
        return text;
    }
}

GoogleSignInError keyringLocked() {
    return GoogleSignInError(std::string(GoogleSignInErrors::domain), GoogleSignInErrors::keychain,
                             {{"secret-error", 2}});
}

class GoogleSignInTest : public ::testing::Test {
protected:
    FakeOAuthServer server;
    std::shared_ptr<MemorySessionStore> store = std::make_shared<MemorySessionStore>();
    std::int64_t now = 1'700'000'000;
    GoogleSignIn signIn{server.configuration(), store, server.transport(), [this] { return now; }};
    FakeBrowser browser{server};

    void signedIn() {
        ASSERT_EQ(outcome([&] { signIn.signIn(browser.opener()); }), "ok");
        browser.join();
    }
};

TEST_F(GoogleSignInTest, SignsInPastStrayRequestsAndRestoresWithoutNetwork) {
    browser.act = FakeBrowser::Act::strayThenApprove;
    signedIn();
    const GoogleSignInUser user = signIn.currentUser().value();
    EXPECT_EQ(user.email, "subject-1@example.com");
    EXPECT_EQ(browser.page["scope"], "openid email");
    EXPECT_EQ(browser.page["code_challenge_method"], "S256");
    EXPECT_TRUE(browser.page["redirect_uri"].starts_with("http://127.0.0.1:"));
    // A wrong state, another path, the right state without a code, then the redirect.
    EXPECT_EQ(browser.statuses, (std::vector<int>{400, 404, 400, 200}));
    EXPECT_NE(browser.lastPage.find("Veska로 돌아가셔도 됩니다"), std::string::npos);
    EXPECT_NE(store->stored()->find("refresh-"), std::string::npos);
    EXPECT_EQ(store->stored()->find(user.accessToken), std::string::npos);

    const auto offline = std::make_shared<FakeDrive>();
    GoogleSignIn restarted(server.configuration(), store, offline);
    ASSERT_TRUE(restarted.hasPreviousSignIn());
    const GoogleSignInUser restored = restarted.restorePreviousSignIn();
    EXPECT_EQ(restored.userID, "subject-1");
    EXPECT_EQ(restored.accessToken, "");
    EXPECT_TRUE(offline->requests().empty());

    // The redirect can also arrive as a URL handed to the application.
    const auto viaURL = [&](const std::string& url, std::stop_token) {
        auto items = OAuthText::parseQuery(url.substr(url.find('?') + 1)).value();
        const std::string redirect = items["redirect_uri"] + "?state=" + items["state"];
        EXPECT_FALSE(signIn.handle(items["redirect_uri"] + "?code=x&state=wrong"));
        EXPECT_TRUE(signIn.handle(redirect + "&code=" + server.consent(items, "subject-2", false)));
    };
    EXPECT_EQ(signIn.signIn(viaURL).userID, "subject-2");
    EXPECT_FALSE(signIn.handle("http://127.0.0.1:1/?code=x&state=y"));
}

TEST_F(GoogleSignInTest, AFailedSignInStoresNothing) {
    // Declined on Google's page, then approved with the keyring locked.
    for (const bool locked : {false, true}) {
        browser.act = locked ? FakeBrowser::Act::approve : FakeBrowser::Act::deny;
        store->fail(locked ? std::optional(keyringLocked()) : std::nullopt);
        EXPECT_EQ(outcome([&] { signIn.signIn(browser.opener()); }),
                  locked ? "-2 secret-error:2" : "-5 OAuth:7");
        browser.join();
        store->fail(std::nullopt);
        EXPECT_EQ(store->stored(), std::nullopt);
        EXPECT_EQ(signIn.currentUser(), std::nullopt);
    }
}

// A sign-in cancelled while its session is being written (a locked keyring showing its unlock
// prompt) leaves the keyring as it was: the account stored before, restored or not, or nothing.
TEST_F(GoogleSignInTest, ACancelWhileTheSessionIsWrittenKeepsWhatWasStored) {
    signedIn();
    const std::string first = store->stored().value();
    const struct {
        const char* name;
        bool stored;
        bool restored;
    } rows[] = {
        {"a restored account", true, true},
        {"a stored account not restored", true, false},
        {"nothing stored", false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Watchdog watchdog(row.name);
        row.stored ? store->save(first) : store->remove();
        GoogleSignIn again(server.configuration(), store, server.transport(),
                           [this] { return now; });
        if (row.restored) {
            again.restorePreviousSignIn();
        }
        FakeBrowser other(server);
        other.account = "subject-2";
        store->holdSaves(true);
        std::string result;
        std::thread flow([&] { result = outcome([&] { again.signIn(other.opener()); }); });
        store->waitUntilSaveHeld();
        again.cancel();
        store->holdSaves(false);
        flow.join();
        other.join();
        EXPECT_EQ(result, "-5");
        EXPECT_EQ(store->stored(), row.stored ? std::optional(first) : std::nullopt);
        const auto current = again.currentUser();
        EXPECT_EQ(current ? current->userID : "none", row.restored ? "subject-1" : "none");
    }
}

TEST_F(GoogleSignInTest, CancelEndsTheFlowAtOnceAndClosesTheListener) {
    browser.act = FakeBrowser::Act::closeTab;
    std::string result;
    std::thread flow([&] { result = outcome([&] { signIn.signIn(browser.opener()); }); });
    browser.waitUntilOpened();
    signIn.cancel();
    flow.join();
    EXPECT_EQ(result, "-5");

    // The user finishes in the browser anyway: nothing listens, nothing is exchanged or stored.
    const std::string code = server.consent(browser.page, "subject-1", false);
    EXPECT_EQ(FakeBrowser::follow(browser.page["redirect_uri"],
                                  "?code=" + code + "&state=" + browser.page["state"]),
              -1);
    EXPECT_TRUE(server.calls().empty());
    EXPECT_EQ(store->stored(), std::nullopt);
}

TEST_F(GoogleSignInTest, AddsTheDriveScopeOnlyForTheSameAccount) {
    signedIn();
    const struct {
        const char* account;
        bool grant;
        const char* expected;
        bool drive;
    } rows[] = {
        {"subject-2", true, "-1 Flow:1", false},
        {"subject-1", false, "ok", false},
        {"subject-1", true, "ok", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.account + std::string(row.grant ? " grants" : " declines"));
        browser.account = row.account;
        browser.grantDrive = row.grant;
        EXPECT_EQ(outcome([&] { signIn.addScopes({driveScope}, browser.opener()); }), row.expected);
        browser.join();
        EXPECT_EQ(browser.page["login_hint"], "subject-1@example.com");
        EXPECT_EQ(signIn.currentUser()->userID, "subject-1");
        EXPECT_EQ(std::ranges::count(signIn.currentUser()->grantedScopes, driveScope), row.drive);
        EXPECT_EQ(store->stored()->find(driveScope) != std::string::npos, row.drive);
    }
}

TEST_F(GoogleSignInTest, RefreshesNearExpiryOnceForConcurrentCallers) {
    signedIn();
    const std::string first = signIn.currentUser()->accessToken;
    now += 3600 - GoogleSignIn::refreshMarginSeconds - 1;
    EXPECT_EQ(signIn.refreshTokensIfNeeded().accessToken, first);
    now += 2;
    EXPECT_NE(signIn.refreshTokensIfNeeded().accessToken, first);

    now += 3600;
    std::string tokens[2];
    std::thread a([&] { tokens[0] = signIn.refreshTokensIfNeeded().accessToken; });
    tokens[1] = signIn.refreshTokensIfNeeded().accessToken;
    a.join();
    EXPECT_EQ(tokens[0], tokens[1]);
    EXPECT_EQ(server.calls(),
              (std::vector<std::string>{"authorization_code", "refresh_token", "refresh_token"}));

    // A restored session has no access token until its first refresh.
    GoogleSignIn restarted(server.configuration(), store, server.transport());
    restarted.restorePreviousSignIn();
    EXPECT_FALSE(restarted.refreshTokensIfNeeded().accessToken.empty());

    server.with([](auto&, auto& tokens, auto&) { tokens.clear(); });
    now += 3600;
    EXPECT_EQ(outcome([&] { signIn.refreshTokensIfNeeded(); }), "-11 HTTP:400 OAuth:3");
    EXPECT_TRUE(store->stored().has_value());
}

TEST_F(GoogleSignInTest, DisconnectKeepsTheSessionUntilTheRevocationWorks) {
    signedIn();
    const std::string stored = store->stored().value();
    server.with([](auto&, auto&, int& status) { status = 503; });
    EXPECT_EQ(outcome([&] { signIn.disconnect(); }), "-1 HTTP:503 OAuth:0");
    EXPECT_EQ(store->stored(), stored);
    EXPECT_TRUE(signIn.currentUser().has_value());

    server.with([](auto&, auto&, int& status) { status = 200; });
    EXPECT_EQ(outcome([&] { signIn.disconnect(); }), "ok");
    EXPECT_EQ(store->stored(), std::nullopt);
    EXPECT_EQ(signIn.currentUser(), std::nullopt);
    EXPECT_TRUE(server.with([](auto&, auto& tokens, auto&) { return tokens.empty(); }));

    // A sign-out whose delete fails says so; the user is forgotten in memory all the same.
    signedIn();
    store->fail(keyringLocked());
    EXPECT_EQ(outcome([&] { signIn.signOut(); }), "-2 secret-error:2");
    EXPECT_EQ(signIn.currentUser(), std::nullopt);

    // With no session, current or stored, nothing can reach Google: that is no revocation.
    store->fail(std::nullopt);
    store->remove();
    const std::size_t calls = server.calls().size();
    EXPECT_EQ(outcome([&] { signIn.disconnect(); }), "-1 Flow:6");
    EXPECT_EQ(server.calls().size(), calls);
}

// Every step that waits on the user or the network ends as cancelled once its stop is requested,
// before it began or while it waits: no page opens, nothing is exchanged, the session stays.
TEST_F(GoogleSignInTest, AStoppedStepEndsAsCancelledAndLeavesTheSession) {
    signedIn();
    const std::optional<std::string> stored = store->stored();
    const auto holding = std::make_shared<HoldingTransport>(server.transport());
    GoogleSignIn held(server.configuration(), store, holding, [this] { return now; });
    held.restorePreviousSignIn();  // no access token yet: the refresh goes to the network
    int opened = 0;
    const GoogleSignIn::OpenBrowser count = [&](const std::string&, std::stop_token) { ++opened; };
    const struct {
        const char* step;
        bool whileWaiting;
        std::function<void(std::stop_token)> run;
    } rows[] = {
        {"signIn", false, [&](std::stop_token stop) { held.signIn(count, stop); }},
        {"addScopes", false,
         [&](std::stop_token stop) { held.addScopes({driveScope}, count, stop); }},
        {"refresh", false, [&](std::stop_token stop) { held.refreshTokensIfNeeded({}, stop); }},
        {"refresh", true, [&](std::stop_token stop) { held.refreshTokensIfNeeded({}, stop); }},
        {"disconnect", true, [&](std::stop_token stop) { held.disconnect(stop); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step + std::string(row.whileWaiting ? " while waiting" : " before"));
        const Watchdog watchdog(row.step);
        const std::size_t calls = server.calls().size();
        std::string result;
        holding->runStopped(row.whileWaiting, [&](std::stop_token stop) {
            result = outcome([&] { row.run(stop); });
        });
        EXPECT_EQ(result, "-5");
        EXPECT_EQ(opened, 0);
        EXPECT_EQ(server.calls().size(), calls);
        EXPECT_EQ(store->stored(), stored);
        EXPECT_EQ(held.currentUser().value().userID, "subject-1");
    }
}

// A step whose worker was stopped before it began, reaching the sign-in after the user started
// a new connect, ends as cancelled without taking that connect's place: the user's flow still
// takes its redirect and signs in.
TEST_F(GoogleSignInTest, AStoppedStepLeavesTheUsersPendingFlowAlone) {
    signedIn();
    const struct {
        const char* step;
        std::function<void(std::stop_token)> run;
    } rows[] = {
        {"signIn", [&](std::stop_token stop) { signIn.signIn(browser.opener(), stop); }},
        {"addScopes",
         [&](std::stop_token stop) { signIn.addScopes({driveScope}, browser.opener(), stop); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step);
        const Watchdog watchdog(row.step);
        FakeBrowser userBrowser(server);
        userBrowser.act = FakeBrowser::Act::closeTab;
        std::string user;
        std::thread flow(
            [&] { user = outcome([&] { signIn.addScopes({driveScope}, userBrowser.opener()); }); });
        userBrowser.waitUntilOpened();
        userBrowser.join();
        std::stop_source stopped;
        stopped.request_stop();
        EXPECT_EQ(outcome([&] { row.run(stopped.get_token()); }), "-5");
        const std::string code = server.consent(userBrowser.page, "subject-1", true);
        EXPECT_EQ(FakeBrowser::follow(userBrowser.page["redirect_uri"],
                                      "?code=" + code + "&state=" + userBrowser.page["state"]),
                  200);
        flow.join();
        EXPECT_EQ(user, "ok");
    }
}

// A refresh whose session was signed out meanwhile must not write it back, or the next start
// would restore the account the user left; for the current session the rotated token is stored.
TEST_F(GoogleSignInTest, ARotatedTokenIsStoredOnlyForTheCurrentSession) {
    server.rotateRefreshTokens = true;
    const auto holding = std::make_shared<HoldingTransport>(server.transport());
    GoogleSignIn signIn(server.configuration(), store, holding, [this] { return now; });
    for (const bool signedOutMeanwhile : {false, true}) {
        SCOPED_TRACE(signedOutMeanwhile ? "signed out meanwhile" : "still signed in");
        const Watchdog watchdog("refresh");
        ASSERT_EQ(outcome([&] { signIn.signIn(browser.opener()); }), "ok");
        browser.join();
        const std::optional<std::string> before = store->stored();
        now += 3600;
        holding->hold(true);
        std::string result;
        std::thread refresh([&] { result = outcome([&] { signIn.refreshTokensIfNeeded(); }); });
        holding->waitUntilHolding();
        if (signedOutMeanwhile) {
            signIn.signOut();
        }
        holding->hold(false);
        refresh.join();
        if (signedOutMeanwhile) {
            EXPECT_EQ(result, "-11");
            EXPECT_EQ(store->stored(), std::nullopt);
            EXPECT_EQ(signIn.currentUser(), std::nullopt);
            continue;
        }
        EXPECT_EQ(result, "ok");
        EXPECT_NE(store->stored(), before);
        // The old token was retired: only the stored new one lets the next start refresh.
        GoogleSignIn restarted(server.configuration(), store, server.transport());
        restarted.restorePreviousSignIn();
        EXPECT_EQ(outcome([&] { restarted.refreshTokensIfNeeded(); }), "ok");
    }
}

// The token handed out belongs to the account asked for, checked in the same step.
TEST_F(GoogleSignInTest, RefreshesOnlyForTheAccountAskedFor) {
    signedIn();
    now += 3600;
    const std::size_t calls = server.calls().size();
    EXPECT_EQ(outcome([&] { signIn.refreshTokensIfNeeded("subject-2"); }), "-11");
    EXPECT_EQ(server.calls().size(), calls);
    EXPECT_EQ(signIn.refreshTokensIfNeeded("subject-1").userID, "subject-1");
}

UniqueFd connectTo(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    EXPECT_EQ(::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

// Sends the start of a request, then a byte now and then, until told to stop or closed.
class Trickle {
public:
    explicit Trickle(int port) : fd_(connectTo(port)), thread_([this] { run(); }) {}
    ~Trickle() {
        stop_ = true;
        thread_.join();
    }
    // Blocks until the listener closes the connection.
    bool closedByListener() {
        char byte = 0;
        return ::recv(fd_.get(), &byte, 1, 0) <= 0;
    }

private:
    void run() {
        const std::string start = "GET /?state=";
        ::send(fd_.get(), start.data(), start.size(), MSG_NOSIGNAL);
        while (!stop_ && ::send(fd_.get(), "a", 1, MSG_NOSIGNAL) == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    UniqueFd fd_;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

// Connections are served side by side: ones that trickle their request, or more that say
// nothing than the listener keeps, do not hold up the redirect behind them.
TEST(LoopbackRedirectListenerTest, ServesTheRedirectPastSlowConnections) {
    const struct {
        const char* name;
        std::size_t silent;
        int trickling;
    } rows[] = {
        {"alone", 0, 0},
        {"behind a trickling connection", 0, 1},
        {"behind more silent connections than are kept",
         LoopbackRedirectListener::maxConnections + 4, 0},
        {"behind both", 3, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const Watchdog watchdog(row.name);
        LoopbackRedirectListener listener;
        LoopbackRedirectListener::Query got;
        std::thread waiter([&] {
            got = listener.wait([](const auto& query) { return query.contains("code"); }, "ok");
        });
        std::vector<UniqueFd> silent;
        for (std::size_t i = 0; i < row.silent; ++i) {
            silent.push_back(connectTo(listener.port()));
        }
        std::vector<std::unique_ptr<Trickle>> trickling;
        for (int i = 0; i < row.trickling; ++i) {
            trickling.push_back(std::make_unique<Trickle>(listener.port()));
        }
        std::string page;
        EXPECT_EQ(FakeBrowser::follow(listener.redirectURI(), "?code=c&state=s", &page), 200);
        waiter.join();
        EXPECT_EQ(got["code"], "c");
        EXPECT_EQ(page, "ok");
    }
}

// Each connection has a fixed time for its whole request: one that keeps sending is closed.
TEST(LoopbackRedirectListenerTest, ClosesAConnectionThatKeepsSending) {
    const Watchdog watchdog("a trickling connection");
    LoopbackRedirectListener listener(std::chrono::milliseconds(200));
    std::thread waiter([&] {
        EXPECT_THROW(listener.wait([](const auto&) { return true; }, "ok"), OperationCancelled);
    });
    Trickle trickle(listener.port());
    EXPECT_TRUE(trickle.closedByListener());
    listener.cancel();
    waiter.join();
}

TEST(OAuthTextTest, PKCEAndBase64URL) {
    // RFC 7636, appendix B.
    EXPECT_EQ(OAuthText::codeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    EXPECT_EQ(OAuthText::codeVerifier().size(), 43u);
    for (const std::string bytes : {"", "f", "fo", "\xff\xfe?"}) {
        EXPECT_EQ(Base64::decodeURL(Base64::encodeURL(bytes)), bytes);
    }
    EXPECT_EQ(Base64::decodeURL("a+b="), std::nullopt);
    EXPECT_EQ(OAuthText::parseQuery("state=%2"), std::nullopt);
}

// The real keyring, in a private session bus with its own gnome-keyring-daemon and home.
TEST(SecretServiceSessionStore, StoresRestoresAndDeletesASession) {
    if (std::getenv("TOLVANE_PRIVATE_KEYRING") != nullptr) {
        const auto keyring = std::make_shared<SecretServiceSessionStore>();
        keyring->save(R"({"version":1,"subject":"s","scopes":[],"refreshToken":"r"})");
        GoogleSignIn signIn({}, keyring, std::make_shared<FakeDrive>());
        EXPECT_EQ(signIn.restorePreviousSignIn().userID, "s");
        signIn.signOut();
        EXPECT_EQ(keyring->load(), std::nullopt);
        return;
    }
    if (std::system("command -v dbus-run-session && command -v gnome-keyring-daemon") != 0) {
        GTEST_SKIP() << "no dbus-run-session or gnome-keyring-daemon: no Secret Service to test";
    }
    TempDir home;
    const std::string command =
        "mkdir -m 700 '" + home.file("run") + "' && HOME='" + home.path() + "' XDG_DATA_HOME='" +
        home.path() + "' XDG_RUNTIME_DIR='" + home.file("run") +
        "' TOLVANE_PRIVATE_KEYRING=1 dbus-run-session -- sh -c 'printf test | "
        "gnome-keyring-daemon --unlock --components=secrets >/dev/null && exec \"$0\" "
        "--gtest_filter=SecretServiceSessionStore.*' " +
        std::filesystem::read_symlink("/proc/self/exe").string();
    EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
}  // namespace tolvane::test
