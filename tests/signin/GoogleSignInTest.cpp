#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/signin/GoogleSignIn.h"
#include "platform/signin/OAuthText.h"
#include "signin/FakeOAuth.h"
#include "signin/MemorySessionStore.h"
#include "support/TempDir.h"

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

bool hasDrive(const GoogleSignInUser& user) {
    return std::ranges::count(user.grantedScopes, driveScope) == 1;
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
    EXPECT_EQ(user.grantedScopes, (std::vector<std::string>{"openid", "email"}));
    auto asked = browser.authorization();
    EXPECT_EQ(asked["scope"], "openid email");
    EXPECT_EQ(asked["code_challenge_method"], "S256");
    EXPECT_TRUE(asked["redirect_uri"].starts_with("http://127.0.0.1:"));
    // A wrong state, another path, the right state without a code, then the redirect.
    EXPECT_EQ(browser.statuses(), (std::vector<int>{400, 404, 400, 200}));
    EXPECT_NE(browser.lastPage().find("Veska로 돌아가셔도 됩니다"), std::string::npos);
    EXPECT_NE(store->stored()->find("refresh-"), std::string::npos);
    EXPECT_EQ(store->stored()->find(user.accessToken), std::string::npos);

    const auto offline = std::make_shared<FakeDriveService>();
    GoogleSignIn restarted(server.configuration(), store, offline);
    ASSERT_TRUE(restarted.hasPreviousSignIn());
    const GoogleSignInUser restored = restarted.restorePreviousSignIn();
    EXPECT_EQ(restored.userID, "subject-1");
    EXPECT_EQ(restored.email, user.email);
    EXPECT_EQ(restored.accessToken, "");
    EXPECT_TRUE(offline->requests().empty());

    // The redirect can also arrive as a URL handed to the application.
    GoogleSignIn other(server.configuration(), std::make_shared<MemorySessionStore>(),
                       server.transport());
    const auto viaURL = [&](const std::string& url) {
        auto items = OAuthText::parseQuery(url.substr(url.find('?') + 1)).value();
        const std::string redirect = items["redirect_uri"] + "?state=" + items["state"];
        EXPECT_FALSE(other.handle(items["redirect_uri"] + "?code=x&state=wrong"));
        EXPECT_TRUE(other.handle(redirect + "&code=" + server.consent(items, "subject-2", false)));
    };
    EXPECT_EQ(other.signIn(viaURL).userID, "subject-2");
    EXPECT_FALSE(other.handle("http://127.0.0.1:1/?code=x&state=y"));
}

TEST_F(GoogleSignInTest, AFailedSignInStoresNothing) {
    auto otherClient = server.configuration();
    otherClient.clientID = "other.apps.googleusercontent.com";
    GoogleSignIn misconfigured(otherClient, store, server.transport());
    const struct {
        const char* name;
        FakeBrowser::Act act;
        bool keyringLocked;
        GoogleSignIn& library;
        const char* expected;
    } rows[] = {
        {"access denied", FakeBrowser::Act::deny, false, signIn, "-5 OAuth:7"},
        {"keyring locked", FakeBrowser::Act::approve, true, signIn, "-2 secret-error:2"},
        {"client refused", FakeBrowser::Act::approve, false, misconfigured, "-1 HTTP:400 OAuth:2"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        browser.act = row.act;
        store->fail(row.keyringLocked ? std::optional(keyringLocked()) : std::nullopt);
        EXPECT_EQ(outcome([&] { row.library.signIn(browser.opener()); }), row.expected);
        browser.join();
        store->fail(std::nullopt);
        EXPECT_EQ(store->stored(), std::nullopt);
        EXPECT_EQ(row.library.currentUser(), std::nullopt);
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
    auto asked = browser.authorization();
    const std::string code = server.consent(asked, "subject-1", false);
    EXPECT_EQ(FakeBrowser::follow(
                  asked["redirect_uri"],
                  "?code=" + code + "&state=" + OAuthText::percentEncoded(asked["state"])),
              -1);
    EXPECT_TRUE(server.calls().empty());
    EXPECT_EQ(store->stored(), std::nullopt);
    EXPECT_FALSE(signIn.hasPreviousSignIn());
}

TEST_F(GoogleSignInTest, AddsTheDriveScopeOnlyForTheSameAccount) {
    signedIn();
    const std::string before = store->stored().value();
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
        EXPECT_EQ(browser.authorization()["login_hint"], "subject-1@example.com");
        EXPECT_EQ(signIn.currentUser()->userID, "subject-1");
        EXPECT_EQ(hasDrive(*signIn.currentUser()), row.drive);
        EXPECT_EQ(store->stored()->find(driveScope) != std::string::npos, row.drive);
    }
    EXPECT_NE(store->stored(), before);
}

TEST_F(GoogleSignInTest, RefreshesNearExpiryOnceForConcurrentCallers) {
    signedIn();
    const std::string first = signIn.currentUser()->accessToken;
    now += 3600 - GoogleSignIn::refreshMarginSeconds - 1;
    EXPECT_EQ(signIn.refreshTokensIfNeeded().accessToken, first);
    now += 2;
    const std::string second = signIn.refreshTokensIfNeeded().accessToken;
    EXPECT_NE(second, first);

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

    server.forgetRefreshTokens();
    now += 3600;
    EXPECT_EQ(outcome([&] { signIn.refreshTokensIfNeeded(); }), "-11 HTTP:400 OAuth:3");
    EXPECT_TRUE(store->stored().has_value());
}

TEST_F(GoogleSignInTest, DisconnectKeepsTheSessionUntilTheRevocationWorks) {
    signedIn();
    const std::string stored = store->stored().value();
    server.setRevocationStatus(503);
    EXPECT_EQ(outcome([&] { signIn.disconnect(); }), "-1 HTTP:503 OAuth:0");
    EXPECT_EQ(store->stored(), stored);
    EXPECT_TRUE(signIn.currentUser().has_value());

    server.setRevocationStatus(200);
    EXPECT_EQ(outcome([&] { signIn.disconnect(); }), "ok");
    EXPECT_EQ(store->stored(), std::nullopt);
    EXPECT_EQ(signIn.currentUser(), std::nullopt);
    EXPECT_FALSE(server.refreshTokenLive("refresh-2"));

    // A sign-out whose delete fails says so; the user is forgotten in memory all the same.
    signedIn();
    store->fail(keyringLocked());
    EXPECT_EQ(outcome([&] { signIn.signOut(); }), "-2 secret-error:2");
    EXPECT_EQ(signIn.currentUser(), std::nullopt);
}

TEST(OAuthTextTest, PKCEAndBase64URL) {
    // RFC 7636, appendix B.
    EXPECT_EQ(OAuthText::codeChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    const std::string verifier = OAuthText::codeVerifier();
    EXPECT_EQ(verifier.size(), 43u);
    EXPECT_NE(verifier, OAuthText::codeVerifier());
    for (const std::string bytes : {"", "f", "fo", "foo", "\xff\xfe?"}) {
        EXPECT_EQ(OAuthText::decodeBase64URL(OAuthText::base64URL(bytes)), bytes);
    }
    for (const char* bad : {"a", "ab=c", "a+bc", "a/bc"}) {
        EXPECT_EQ(OAuthText::decodeBase64URL(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(OAuthText::parseQuery("a=%2"), std::nullopt);
    EXPECT_EQ(OAuthText::parseQuery("a=1+2&a=3&b")->at("a"), "1 2");
}

// The real keyring, in a private session bus with its own gnome-keyring-daemon and home.
TEST(SecretServiceSessionStore, StoresRestoresAndDeletes) {
    if (std::getenv("TOLVANE_PRIVATE_KEYRING") != nullptr) {
        SecretServiceSessionStore keyring;
        keyring.remove();
        EXPECT_EQ(keyring.load(), std::nullopt);
        keyring.save("{\"refreshToken\":\"r\"}");
        EXPECT_EQ(keyring.load(), "{\"refreshToken\":\"r\"}");
        keyring.remove();
        EXPECT_EQ(keyring.load(), std::nullopt);
        return;
    }
    if (std::system("command -v dbus-run-session gnome-keyring-daemon >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no dbus-run-session or gnome-keyring-daemon: no Secret Service to test";
    }
    TempDir home;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    const std::string command =
        "mkdir -m 700 '" + home.file("run") + "' && HOME='" + home.path() + "' XDG_DATA_HOME='" +
        home.file("data") + "' XDG_RUNTIME_DIR='" + home.file("run") +
        "' TOLVANE_PRIVATE_KEYRING=1 dbus-run-session -- sh -c 'printf test | "
        "gnome-keyring-daemon --unlock --components=secrets >/dev/null && exec \"$0\" "
        "--gtest_filter=SecretServiceSessionStore.*' '" +
        self + "' >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
}  // namespace tolvane::test
