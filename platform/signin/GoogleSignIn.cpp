#include "platform/signin/GoogleSignIn.h"

#include <chrono>
#include <stop_token>
#include <system_error>
#include <utility>

#include "core/common/Cancellation.h"
#include "core/common/ScopeExit.h"
#include "core/common/StrictJson.h"
#include "core/drive/DriveTransferError.h"
#include "platform/signin/LoopbackRedirectListener.h"
#include "platform/signin/OAuthText.h"

namespace tolvane {

namespace {

// The domains of the causes under a sign-in error, for the log.
constexpr const char* httpDomain = "com.tolvane.Veska.SignIn.HTTP";            // code: status
constexpr const char* oauthDomain = "com.tolvane.Veska.SignIn.OAuth";          // code: below
constexpr const char* transportDomain = "com.tolvane.Veska.SignIn.Transport";  // TransportError
constexpr const char* flowDomain = "com.tolvane.Veska.SignIn.Flow";            // code: below

enum FlowCause : long {
    accountMismatch = 1,
    malformedAnswer = 2,
    noRefreshToken = 3,
    wrongAudience = 4,
    browserUnavailable = 5,
    noCurrentUser = 6,
    corruptSession = 7,
    noListener = 8,
};

// The OAuth error texts of RFC 6749 and 7009 as codes; 0 for any other text.
long oauthCode(const std::string& error) {
    static const char* const names[] = {
        "invalid_request",        "invalid_client", "invalid_grant", "unauthorized_client",
        "unsupported_grant_type", "invalid_scope",  "access_denied", "invalid_token"};
    for (long i = 0; i < static_cast<long>(std::size(names)); ++i) {
        if (error == names[i]) {
            return i + 1;
        }
    }
    return 0;
}

[[noreturn]] void fail(long code, std::vector<SignInErrorCause> causes = {}) {
    throw GoogleSignInError(std::string(GoogleSignInErrors::domain), code, std::move(causes));
}

const std::string returnPage =
    "<!doctype html><html lang=\"ko\"><meta charset=\"utf-8\"><title>Veska</title>"
    "<p>Veska 로그인 응답을 받았습니다. 이 창을 닫고 Veska로 돌아가셔도 됩니다.</p></html>";

std::vector<std::string> splitScopes(const std::string& text) {
    std::vector<std::string> scopes;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        if (end > start) {
            scopes.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return scopes;
}

std::int64_t systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// An "error" member of a JSON answer, when there is one.
std::optional<std::string> oauthError(const std::string& body) {
    try {
        return StrictJson::ObjectReader(StrictJson::parseObject(body)).optionalText("error");
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const GoogleSignInError& failure) {
        return failure.domain() == GoogleSignInErrors::domain &&
               failure.code() == GoogleSignInErrors::cancelled;
    } catch (...) {
        return false;
    }
}

}  // namespace

struct GoogleSignIn::Session {
    std::string subject;
    std::optional<std::string> email;
    std::vector<std::string> scopes;
    std::string refreshToken;
    std::string accessToken;  // memory only
    std::int64_t expiry = 0;  // of the access token, seconds since the epoch

    GoogleSignInUser user() const { return {subject, email, scopes, accessToken}; }

    // What is stored: no access token, which lives an hour and is fetched again on demand.
    std::string encoded() const {
        StrictJson::OrderedValue value{{"version", 1}, {"subject", subject}};
        if (email) {
            value["email"] = *email;
        }
        value["scopes"] = scopes;
        value["refreshToken"] = refreshToken;
        return StrictJson::encode(value);
    }

    static std::optional<Session> decoded(const std::string& text) {
        try {
            const StrictJson::Value value = StrictJson::parseObject(text);
            const StrictJson::ObjectReader reader(value);
            if (reader.integer<int>("version") != 1) {
                return std::nullopt;
            }
            Session session{reader.text("subject"),
                            reader.optionalText("email"),
                            {},
                            reader.text("refreshToken"),
                            {},
                            0};
            for (const auto& scope : reader.array("scopes")) {
                session.scopes.push_back(scope.get<std::string>());
            }
            if (session.subject.empty() || session.refreshToken.empty()) {
                return std::nullopt;
            }
            return session;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
};

// One pending interactive authorization. `cancelled` is guarded by the sign-in's mutex.
struct GoogleSignIn::Flow {
    LoopbackRedirectListener listener;
    std::string state = OAuthText::randomToken(32);
    std::string verifier = OAuthText::codeVerifier();
    std::stop_source stop;
    bool cancelled = false;

    void abort() noexcept {
        stop.request_stop();
        listener.cancel();
    }
};

// A refresh in flight, which later callers wait for instead of starting their own.
struct GoogleSignIn::Refresh {
    bool done = false;
    std::optional<GoogleSignInUser> user;
    std::exception_ptr error;
};

// What the token endpoint gave for one authorization code.
struct GoogleSignIn::Grant {
    OAuthText::IDTokenClaims claims;
    std::string accessToken;
    std::int64_t expiresIn = 0;
    std::optional<std::string> refreshToken;
    std::optional<std::string> scope;
};

namespace {

struct TokenAnswer {
    std::string accessToken;
    std::int64_t expiresIn = 0;
    std::optional<std::string> refreshToken;
    std::optional<std::string> scope;
    std::optional<std::string> idToken;
};

// One form POST; any failure to get an HTTP answer is a sign-in error. Nothing is sent once
// `stop` is requested.
DriveHTTPResponse post(DriveHTTPTransport& transport, const std::string& url,
                       const std::vector<std::pair<std::string, std::string>>& fields,
                       std::stop_token stop) {
    if (stop.stop_requested()) {
        fail(GoogleSignInErrors::cancelled);
    }
    DriveHTTPRequest request;
    request.method = "POST";
    request.url = url;
    request.setHeader("Content-Type", "application/x-www-form-urlencoded");
    request.setHeader("Accept", "application/json");
    request.body = OAuthText::formEncoded(fields);
    try {
        return transport.send(request, std::move(stop));
    } catch (const OperationCancelled&) {
        fail(GoogleSignInErrors::cancelled);
    } catch (const TransportError& error) {
        if (error.isCancelled()) {
            fail(GoogleSignInErrors::cancelled);
        }
        fail(GoogleSignInErrors::unknown, {{transportDomain, static_cast<long>(error.kind())}});
    } catch (const DriveTransferError&) {
        fail(GoogleSignInErrors::unknown, {{httpDomain, 0}});
    }
}

// A non-200 answer of the token or revocation endpoint as a failure with its causes.
[[noreturn]] void failHTTP(const DriveHTTPResponse& response, long code) {
    std::vector<SignInErrorCause> causes{{httpDomain, response.status}};
    if (const auto error = oauthError(response.body)) {
        causes.push_back({oauthDomain, oauthCode(*error)});
    }
    fail(code, std::move(causes));
}

TokenAnswer tokenAnswer(const DriveHTTPResponse& response, bool refreshing) {
    if (response.status != 200) {
        const bool lapsed = refreshing && oauthError(response.body) == "invalid_grant";
        failHTTP(response, lapsed ? GoogleSignInErrors::reauthenticationRequired
                                  : GoogleSignInErrors::unknown);
    }
    try {
        const StrictJson::Value value = StrictJson::parseObject(response.body);
        const StrictJson::ObjectReader reader(value);
        TokenAnswer answer{reader.text("access_token"), reader.integer<std::int64_t>("expires_in"),
                           reader.optionalText("refresh_token"), reader.optionalText("scope"),
                           reader.optionalText("id_token")};
        if (!answer.accessToken.empty()) {
            return answer;
        }
    } catch (const std::exception&) {
    }
    fail(GoogleSignInErrors::unknown, {{flowDomain, malformedAnswer}});
}

}  // namespace

GoogleSignIn::GoogleSignIn(GoogleSignInConfiguration configuration,
                           std::shared_ptr<SignInSessionStore> store,
                           std::shared_ptr<DriveHTTPTransport> transport, Clock clock)
    : configuration_(std::move(configuration)),
      store_(std::move(store)),
      transport_(std::move(transport)),
      clock_(clock ? std::move(clock) : Clock(systemSeconds)) {}

GoogleSignIn::~GoogleSignIn() {
    cancel();
}

bool GoogleSignIn::hasPreviousSignIn() {
    try {
        const std::lock_guard storeLock(storeMutex_);
        return store_->load().has_value();
    } catch (...) {
        return true;
    }
}

GoogleSignInUser GoogleSignIn::restorePreviousSignIn() {
    const std::lock_guard storeLock(storeMutex_);
    const std::optional<std::string> text = store_->load();
    if (!text) {
        fail(GoogleSignInErrors::hasNoStoredSignIn);
    }
    std::optional<Session> session = Session::decoded(*text);
    if (!session) {
        fail(GoogleSignInErrors::unknown, {{flowDomain, corruptSession}});
    }
    const std::lock_guard lock(mutex_);
    current_ = std::make_unique<Session>(std::move(*session));
    ++generation_;
    return current_->user();
}

std::optional<GoogleSignInUser> GoogleSignIn::currentUser() const {
    const std::lock_guard lock(mutex_);
    if (!current_) {
        return std::nullopt;
    }
    return current_->user();
}

std::shared_ptr<GoogleSignIn::Flow> GoogleSignIn::beginFlow(const std::stop_token& stop) {
    std::shared_ptr<Flow> flow;
    try {
        flow = std::make_shared<Flow>();
    } catch (const std::system_error&) {
        fail(GoogleSignInErrors::unknown, {{flowDomain, noListener}});
    }
    std::shared_ptr<Flow> previous;
    {
        const std::lock_guard lock(mutex_);
        // Checked together with the takeover: a caller that was stopped before it got here must
        // not abandon a flow the user started since.
        if (stop.stop_requested()) {
            fail(GoogleSignInErrors::cancelled);
        }
        previous = std::exchange(flow_, flow);
        if (previous) {
            previous->cancelled = true;
        }
    }
    // One browser flow at a time: a newer one abandons the older, so no flow is left waiting
    // for a tab the user closed.
    if (previous) {
        previous->abort();
    }
    return flow;
}

void GoogleSignIn::cancelFlow(const std::shared_ptr<Flow>& flow) noexcept {
    {
        const std::lock_guard lock(mutex_);
        flow->cancelled = true;
    }
    flow->abort();
}

void GoogleSignIn::finishFlow(const std::shared_ptr<Flow>& flow) noexcept {
    const std::lock_guard lock(mutex_);
    if (flow_ == flow) {
        flow_.reset();
    }
}

GoogleSignIn::Grant GoogleSignIn::authorize(Flow& flow, const std::string& scope,
                                            const std::optional<std::string>& loginHint,
                                            const OpenBrowser& openBrowser) {
    std::vector<std::pair<std::string, std::string>> query{
        {"client_id", configuration_.clientID},
        {"redirect_uri", flow.listener.redirectURI()},
        {"response_type", "code"},
        {"scope", scope},
        {"state", flow.state},
        {"code_challenge", OAuthText::codeChallenge(flow.verifier)},
        {"code_challenge_method", "S256"},
        {"include_granted_scopes", "true"}};
    if (loginHint) {
        query.emplace_back("login_hint", *loginHint);
    }
    if (flow.stop.stop_requested()) {
        fail(GoogleSignInErrors::cancelled);
    }
    try {
        openBrowser(configuration_.endpoints.authorization + "?" + OAuthText::formEncoded(query),
                    flow.stop.get_token());
    } catch (const OperationCancelled&) {
        fail(GoogleSignInErrors::cancelled);
    } catch (...) {
        fail(GoogleSignInErrors::unknown, {{flowDomain, browserUnavailable}});
    }

    LoopbackRedirectListener::Query redirect;
    try {
        redirect = flow.listener.wait(
            [&](const LoopbackRedirectListener::Query& items) {
                const auto state = items.find("state");
                return state != items.end() && state->second == flow.state &&
                       (items.contains("code") || items.contains("error"));
            },
            returnPage);
    } catch (const OperationCancelled&) {
        fail(GoogleSignInErrors::cancelled);
    }
    if (const auto error = redirect.find("error"); error != redirect.end()) {
        // Declining on Google's page is the user abandoning the flow.
        fail(error->second == "access_denied" ? GoogleSignInErrors::cancelled
                                              : GoogleSignInErrors::unknown,
             {{oauthDomain, oauthCode(error->second)}});
    }

    std::vector<std::pair<std::string, std::string>> fields{
        {"grant_type", "authorization_code"},
        {"code", redirect["code"]},
        {"code_verifier", flow.verifier},
        {"redirect_uri", flow.listener.redirectURI()},
        {"client_id", configuration_.clientID}};
    if (!configuration_.clientSecret.empty()) {
        fields.emplace_back("client_secret", configuration_.clientSecret);
    }
    TokenAnswer answer = tokenAnswer(
        post(*transport_, configuration_.endpoints.token, fields, flow.stop.get_token()), false);
    std::optional<OAuthText::IDTokenClaims> claims;
    if (answer.idToken) {
        claims = OAuthText::decodeIDToken(*answer.idToken);
    }
    if (!claims) {
        fail(GoogleSignInErrors::unknown, {{flowDomain, malformedAnswer}});
    }
    if (claims->audience != configuration_.clientID) {
        fail(GoogleSignInErrors::unknown, {{flowDomain, wrongAudience}});
    }
    return Grant{std::move(*claims), std::move(answer.accessToken), answer.expiresIn,
                 std::move(answer.refreshToken), std::move(answer.scope)};
}

GoogleSignInUser GoogleSignIn::commit(const Flow& flow, Session session) {
    const std::lock_guard storeLock(storeMutex_);
    const auto failIfCancelled = [&] {
        const std::lock_guard lock(mutex_);
        if (flow.cancelled) {
            fail(GoogleSignInErrors::cancelled);
        }
    };
    failIfCancelled();
    // What a cancel must leave stored: the keyring's item as it is now, which may be an account
    // that was never restored into memory. No other write can come between, under storeMutex_.
    const std::optional<std::string> before = store_->load();
    failIfCancelled();
    store_->save(session.encoded());
    {
        const std::lock_guard lock(mutex_);
        if (!flow.cancelled) {
            current_ = std::make_unique<Session>(std::move(session));
            ++generation_;
            return current_->user();
        }
    }
    // Cancelled while the session was being written (a locked keyring asking to be unlocked):
    // what was stored before stays stored.
    try {
        if (before) {
            store_->save(*before);
        } else {
            store_->remove();
        }
    } catch (...) {
    }
    fail(GoogleSignInErrors::cancelled);
}

GoogleSignInUser GoogleSignIn::signIn(const OpenBrowser& openBrowser, std::stop_token stop) {
    const std::shared_ptr<Flow> flow = beginFlow(stop);
    const ScopeExit end([&] { finishFlow(flow); });
    const std::stop_callback onStop(stop, [this, flow] { cancelFlow(flow); });
    Grant grant = authorize(*flow, openIDScopes, std::nullopt, openBrowser);
    if (!grant.refreshToken) {
        fail(GoogleSignInErrors::unknown, {{flowDomain, noRefreshToken}});
    }
    Session session{grant.claims.subject,
                    grant.claims.email,
                    splitScopes(grant.scope.value_or("")),
                    std::move(*grant.refreshToken),
                    std::move(grant.accessToken),
                    clock_() + grant.expiresIn};
    return commit(*flow, std::move(session));
}

GoogleSignInUser GoogleSignIn::addScopes(const std::vector<std::string>& scopes,
                                         const OpenBrowser& openBrowser, std::stop_token stop) {
    std::optional<Session> previous;
    {
        const std::lock_guard lock(mutex_);
        if (!current_) {
            fail(GoogleSignInErrors::unknown, {{flowDomain, noCurrentUser}});
        }
        previous = *current_;
    }
    std::string scope = openIDScopes;
    for (const std::string& item : scopes) {
        scope += " " + item;
    }
    const std::shared_ptr<Flow> flow = beginFlow(stop);
    const ScopeExit end([&] { finishFlow(flow); });
    const std::stop_callback onStop(stop, [this, flow] { cancelFlow(flow); });
    // The hint only preselects the account; the ID token says which one actually consented.
    Grant grant = authorize(*flow, scope, previous->email.value_or(previous->subject), openBrowser);
    if (grant.claims.subject != previous->subject) {
        fail(GoogleSignInErrors::unknown, {{flowDomain, accountMismatch}});
    }
    Session session = *previous;
    session.email = grant.claims.email ? grant.claims.email : session.email;
    if (grant.scope) {
        // include_granted_scopes: the answer lists every scope the account has granted.
        session.scopes = splitScopes(*grant.scope);
    }
    if (grant.refreshToken) {
        session.refreshToken = std::move(*grant.refreshToken);
    }
    session.accessToken = std::move(grant.accessToken);
    session.expiry = clock_() + grant.expiresIn;
    return commit(*flow, std::move(session));
}

GoogleSignIn::Session GoogleSignIn::refreshed(const Session& session, std::stop_token stop) {
    std::vector<std::pair<std::string, std::string>> fields{{"grant_type", "refresh_token"},
                                                            {"refresh_token", session.refreshToken},
                                                            {"client_id", configuration_.clientID}};
    if (!configuration_.clientSecret.empty()) {
        fields.emplace_back("client_secret", configuration_.clientSecret);
    }
    TokenAnswer answer = tokenAnswer(
        post(*transport_, configuration_.endpoints.token, fields, std::move(stop)), true);
    Session next = session;
    next.accessToken = std::move(answer.accessToken);
    next.expiry = clock_() + answer.expiresIn;
    if (answer.scope) {
        next.scopes = splitScopes(*answer.scope);
    }
    if (answer.refreshToken) {
        next.refreshToken = std::move(*answer.refreshToken);
    }
    return next;
}

GoogleSignInUser GoogleSignIn::refreshTokensIfNeeded(const std::optional<std::string>& subject,
                                                     std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!current_) {
            fail(GoogleSignInErrors::unknown, {{flowDomain, noCurrentUser}});
        }
        if (subject && current_->subject != *subject) {
            fail(GoogleSignInErrors::reauthenticationRequired);
        }
        if (stop.stop_requested()) {
            fail(GoogleSignInErrors::cancelled);
        }
        if (!current_->accessToken.empty() && current_->expiry - clock_() > refreshMarginSeconds) {
            return current_->user();
        }
        const std::shared_ptr<Refresh> pending = refresh_;
        if (!pending) {
            break;
        }
        if (!refreshed_.wait(lock, stop, [&] { return pending->done; })) {
            fail(GoogleSignInErrors::cancelled);
        }
        // An exchange its own caller stopped says nothing about this call: look again.
        if (pending->error && isCancellation(pending->error)) {
            continue;
        }
        if (pending->error) {
            std::rethrow_exception(pending->error);
        }
        if (subject && pending->user->userID != *subject) {
            fail(GoogleSignInErrors::reauthenticationRequired);
        }
        return *pending->user;
    }
    const auto pending = std::make_shared<Refresh>();
    refresh_ = pending;
    const Session session = *current_;
    const std::uint64_t generation = generation_;
    lock.unlock();

    std::optional<Session> next;
    try {
        next = refreshed(session, stop);
    } catch (...) {
        pending->error = std::current_exception();
    }
    // A rotated refresh token replaces the stored one, or the next start could not refresh; but
    // only while this session is still the current one, or a refresh ending after a sign-out
    // would write the removed session back.
    std::unique_lock storeLock(storeMutex_, std::defer_lock);
    if (next && next->refreshToken != session.refreshToken) {
        storeLock.lock();
        lock.lock();
        const bool stillCurrent = generation_ == generation;
        lock.unlock();
        if (stillCurrent) {
            try {
                store_->save(next->encoded());
            } catch (...) {
                pending->error = std::current_exception();
                next.reset();
            }
        }
    }
    lock.lock();
    if (next && generation_ == generation) {
        *current_ = *next;
        pending->user = current_->user();
    } else if (next) {
        // Signed out or switched accounts meanwhile: this token belongs to nobody now.
        pending->error = std::make_exception_ptr(GoogleSignInError(
            std::string(GoogleSignInErrors::domain), GoogleSignInErrors::reauthenticationRequired));
    }
    pending->done = true;
    refresh_.reset();
    refreshed_.notify_all();
    if (pending->error) {
        std::rethrow_exception(pending->error);
    }
    return *pending->user;
}

void GoogleSignIn::signOut() {
    cancel();
    {
        const std::lock_guard lock(mutex_);
        current_.reset();
        ++generation_;
    }
    const std::lock_guard storeLock(storeMutex_);
    store_->remove();
}

void GoogleSignIn::disconnect(std::stop_token stop) {
    cancel();
    std::optional<Session> session;
    {
        const std::lock_guard lock(mutex_);
        if (current_) {
            session = *current_;
        }
    }
    if (!session) {
        // Nothing restored yet: the stored session is the one whose grant goes.
        const std::lock_guard storeLock(storeMutex_);
        if (const auto text = store_->load()) {
            session = Session::decoded(*text);
        }
    }
    // Without a refresh token nothing can be revoked: reporting success would leave the grant
    // at Google while the user believes it gone.
    if (!session) {
        fail(GoogleSignInErrors::unknown, {{flowDomain, noCurrentUser}});
    }
    const DriveHTTPResponse response = post(*transport_, configuration_.endpoints.revocation,
                                            {{"token", session->refreshToken}}, stop);
    // A token Google no longer knows has no grant left to revoke.
    if (response.status != 200 &&
        !(response.status == 400 && oauthError(response.body) == "invalid_token")) {
        failHTTP(response, GoogleSignInErrors::unknown);
    }
    signOut();
}

bool GoogleSignIn::handle(const std::string& url) {
    const std::lock_guard lock(mutex_);
    if (!flow_) {
        return false;
    }
    const std::string prefix = flow_->listener.redirectURI() + "?";
    if (url.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    auto query = OAuthText::parseQuery(std::string_view(url).substr(prefix.size()));
    if (!query || !query->contains("state") || (*query)["state"] != flow_->state) {
        return false;
    }
    flow_->listener.deliver(std::move(*query));
    return true;
}

void GoogleSignIn::cancel() noexcept {
    std::shared_ptr<Flow> flow;
    {
        const std::lock_guard lock(mutex_);
        flow = flow_;
    }
    if (flow) {
        cancelFlow(flow);
    }
}

}  // namespace tolvane
