#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/drive/DriveHTTP.h"
#include "core/drive/GoogleSignInErrors.h"
#include "platform/signin/SignInSessionStore.h"

namespace tolvane {

// Google's OAuth endpoints for installed applications; tests point them at a loopback server.
struct GoogleOAuthEndpoints {
    std::string authorization = "https://accounts.google.com/o/oauth2/v2/auth";
    std::string token = "https://oauth2.googleapis.com/token";
    std::string revocation = "https://oauth2.googleapis.com/revoke";
};

struct GoogleSignInConfiguration {
    std::string clientID;
    // The desktop client type's secret: sent to the token endpoint, but not confidential.
    std::string clientSecret;
    GoogleOAuthEndpoints endpoints;
};

// A snapshot of the signed-in user.
struct GoogleSignInUser {
    std::string userID;  // the ID token's subject
    std::optional<std::string> email;
    std::vector<std::string> grantedScopes;
    // Empty after a restore until the first refresh: a restore never touches the network.
    std::string accessToken;
};

// Google sign-in for a desktop application: OAuth 2.0 for native applications with the system
// browser, a loopback redirect on 127.0.0.1, PKCE (S256) and a `state` check; token exchange,
// refresh and revocation over an HTTPS transport; one stored session in a SignInSessionStore.
//
// Thread-safe; every call blocks its (worker) thread. Failures are GoogleSignInError values in
// GoogleSignInErrors::domain, their causes (HTTP status, OAuth error, transport, keyring)
// underneath. Tokens appear in no error and no log.
class GoogleSignIn {
public:
    // Shows the authorization page to the user; throws when it cannot. The stop token is the
    // flow's: once it is requested the page must not be opened any more.
    using OpenBrowser = std::function<void(const std::string& url, std::stop_token stop)>;
    // Seconds since the epoch; the system clock unless a test gives another.
    using Clock = std::function<std::int64_t()>;

    static constexpr const char* openIDScopes = "openid email";
    // An access token this close to its expiry is refreshed before it is handed out.
    static constexpr std::int64_t refreshMarginSeconds = 60;

    GoogleSignIn(GoogleSignInConfiguration configuration, std::shared_ptr<SignInSessionStore> store,
                 std::shared_ptr<DriveHTTPTransport> transport, Clock clock = {});
    ~GoogleSignIn();
    GoogleSignIn(const GoogleSignIn&) = delete;
    GoogleSignIn& operator=(const GoogleSignIn&) = delete;

    // Whether a session is stored; a store that cannot be read counts as yes, so that the
    // restore reports why.
    bool hasPreviousSignIn();
    // Reads the stored session into the current user; no network. Throws code hasNoStoredSignIn
    // when nothing is stored.
    GoogleSignInUser restorePreviousSignIn();
    // The interactive sign-in (scopes "openid email"); stores the session and makes its user
    // current. A sign-in still pending is cancelled first. Requesting `stop` cancels it as
    // cancel() does, also before it has begun.
    GoogleSignInUser signIn(const OpenBrowser& openBrowser, std::stop_token stop = {});
    // Asks the current user's consent for more scopes; the account chosen in the browser must be
    // the current one, or nothing changes. `stop` as for signIn().
    GoogleSignInUser addScopes(const std::vector<std::string>& scopes,
                               const OpenBrowser& openBrowser, std::stop_token stop = {});
    std::optional<GoogleSignInUser> currentUser() const;
    // Refreshes the access token when it is missing or about to expire. Concurrent calls share
    // one exchange. An `invalid_grant` answer is code reauthenticationRequired, and so is a
    // current user other than `subject` when one is given, or a session that stopped being the
    // current one meanwhile (a sign-out, another account): its tokens are then neither handed
    // out nor stored. Ends as cancelled once `stop` is requested.
    GoogleSignInUser refreshTokensIfNeeded(const std::optional<std::string>& subject = std::nullopt,
                                           std::stop_token stop = {});
    // Forgets the current user and the stored session; throws code keychain when the stored
    // session could not be deleted (the user is forgotten in memory either way).
    void signOut();
    // Revokes the grant at Google, then forgets as signOut() does. A failed revocation keeps the
    // session; so does one that `stop` ends. With no session, current or stored, there is
    // nothing to revoke with: that fails too.
    void disconnect(std::stop_token stop = {});
    // A redirect of the pending flow that reached the application as a URL; true when taken.
    bool handle(const std::string& url);
    // Aborts a pending sign-in or scope request: its listener closes and it fails as cancelled
    // at once; nothing it obtained is stored.
    void cancel() noexcept;

private:
    struct Session;
    struct Flow;
    struct Refresh;
    struct Grant;

    // Registers a new browser flow, abandoning one still pending; fails as cancelled, leaving the
    // pending one alone, once `stop` is requested.
    std::shared_ptr<Flow> beginFlow(const std::stop_token& stop);
    // Marks that flow cancelled and ends its wait.
    void cancelFlow(const std::shared_ptr<Flow>& flow) noexcept;
    void finishFlow(const std::shared_ptr<Flow>& flow) noexcept;
    // Browser, redirect and code exchange.
    Grant authorize(Flow& flow, const std::string& scope,
                    const std::optional<std::string>& loginHint, const OpenBrowser& openBrowser);
    // Stores `session` and makes it current, unless the flow is cancelled before that is done;
    // then the store keeps what it held before.
    GoogleSignInUser commit(const Flow& flow, Session session);
    // The token endpoint's answer to a refresh of `session`, rotated refresh token included.
    Session refreshed(const Session& session, std::stop_token stop);

    const GoogleSignInConfiguration configuration_;
    const std::shared_ptr<SignInSessionStore> store_;
    const std::shared_ptr<DriveHTTPTransport> transport_;
    const Clock clock_;

    // Held around every call to the store, which takes one call at a time, and around each
    // write together with the check that what is written is still wanted: a sign-out's delete
    // then always lands after a write it overtook, never before. Taken before mutex_, never
    // while holding it.
    std::mutex storeMutex_;
    mutable std::mutex mutex_;
    std::condition_variable_any refreshed_;
    std::unique_ptr<Session> current_;
    std::uint64_t generation_ = 0;  // moves with every change of the current session
    std::shared_ptr<Flow> flow_;
    std::shared_ptr<Refresh> refresh_;
};

}  // namespace tolvane
