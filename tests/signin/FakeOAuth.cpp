#include "signin/FakeOAuth.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "platform/signin/OAuthText.h"

namespace tolvane::test {

namespace {

DriveHTTPResponse json(int status, const nlohmann::json& body) {
    return {status, {{"Content-Type", "application/json"}}, body.dump()};
}

std::string unsignedJWT(const nlohmann::json& claims) {
    return OAuthText::base64URL(R"({"alg":"RS256"})") + "." + OAuthText::base64URL(claims.dump()) +
           ".c2ln";
}

}  // namespace

FakeOAuthServer::FakeOAuthServer() {
    https_.service->setHook([this](const DriveHTTPRequest& request,
                                   const FakeDriveService::Serve&) { return answer(request); });
}

GoogleSignInConfiguration FakeOAuthServer::configuration() const {
    GoogleSignInConfiguration configuration{fakeClientID, "not-secret", {}};
    // The page itself is the fake browser's business and never fetched.
    configuration.endpoints.authorization = "https://accounts.example/o/oauth2/v2/auth";
    // The Drive fake under this server passes on only the answer fields a request's URL names,
    // as Drive does; the token endpoint names all of its own.
    configuration.endpoints.token =
        https_.origin() + "/token?fields=access_token,expires_in,refresh_token,scope,id_token";
    configuration.endpoints.revocation = https_.origin() + "/revoke";
    return configuration;
}

std::string FakeOAuthServer::consent(const std::map<std::string, std::string>& authorization,
                                     const std::string& subject, bool grantDrive) {
    std::string scope = "openid email";
    const std::lock_guard lock(mutex_);
    // Scopes the account granted earlier come along (include_granted_scopes).
    for (const auto& [token, grant] : refreshTokens_) {
        if (grant.first == subject && grant.second.find(driveScope) != std::string::npos) {
            grantDrive = true;
        }
    }
    if (grantDrive && authorization.at("scope").find(driveScope) != std::string::npos) {
        scope += " " + driveScope;
    }
    const std::string code = "code-" + std::to_string(++counter_);
    codes_[code] = {authorization.at("code_challenge"), authorization.at("redirect_uri"), subject,
                    scope};
    return code;
}

DriveHTTPResponse FakeOAuthServer::tokens(const std::string& subject, const std::string& scope,
                                          bool withIDs) {
    const std::string n = std::to_string(++counter_);
    nlohmann::json body{{"access_token", "access-" + n},
                        {"expires_in", 3600},
                        {"scope", scope},
                        {"token_type", "Bearer"}};
    if (withIDs) {
        body["refresh_token"] = "refresh-" + n;
        refreshTokens_["refresh-" + n] = {subject, scope};
        body["id_token"] = unsignedJWT({{"iss", "https://accounts.google.com"},
                                        {"aud", fakeClientID},
                                        {"sub", subject},
                                        {"email", subject + "@example.com"}});
    }
    return json(200, body);
}

DriveHTTPResponse FakeOAuthServer::answer(const DriveHTTPRequest& request) {
    const auto form =
        OAuthText::parseQuery(request.body).value_or(std::map<std::string, std::string>{});
    const auto field = [&](const std::string& name) {
        const auto found = form.find(name);
        return found == form.end() ? std::string() : found->second;
    };
    const std::lock_guard lock(mutex_);
    const std::string path = urlPath(request.url);
    if (request.method != "POST" ||
        request.header("Content-Type") != "application/x-www-form-urlencoded") {
        return json(400, {{"error", "invalid_request"}});
    }
    if (path == "/revoke") {
        calls_.push_back("revoke");
        if (revocationStatus_ != 200) {
            return json(revocationStatus_, {{"error", "backend_error"}});
        }
        return json(refreshTokens_.erase(field("token")) == 1 ? 200 : 400,
                    {{"error", "invalid_token"}});
    }
    if (path != "/token" || field("client_id") != fakeClientID) {
        return json(400, {{"error", "invalid_client"}});
    }
    calls_.push_back(field("grant_type"));
    if (field("grant_type") == "refresh_token") {
        const auto grant = refreshTokens_.find(field("refresh_token"));
        if (grant == refreshTokens_.end()) {
            return json(400, {{"error", "invalid_grant"}});
        }
        return tokens(grant->second.first, grant->second.second, false);
    }
    const auto code = codes_.find(field("code"));
    if (code == codes_.end() ||
        code->second.challenge != OAuthText::codeChallenge(field("code_verifier")) ||
        code->second.redirectURI != field("redirect_uri")) {
        return json(400, {{"error", "invalid_grant"}, {"access_token", "leaked-access"}});
    }
    const Code used = code->second;
    codes_.erase(code);
    return tokens(used.subject, used.scope, true);
}

void FakeOAuthServer::forgetRefreshTokens() {
    const std::lock_guard lock(mutex_);
    refreshTokens_.clear();
}

void FakeOAuthServer::setRevocationStatus(int status) {
    const std::lock_guard lock(mutex_);
    revocationStatus_ = status;
}

std::vector<std::string> FakeOAuthServer::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

bool FakeOAuthServer::refreshTokenLive(const std::string& token) const {
    const std::lock_guard lock(mutex_);
    return refreshTokens_.contains(token);
}

GoogleSignIn::OpenBrowser FakeBrowser::opener() {
    return [this](const std::string& url) {
        auto items = OAuthText::parseQuery(url.substr(url.find('?') + 1)).value();
        {
            const std::lock_guard lock(mutex_);
            authorization_ = items;
        }
        join();
        tab_ = std::thread([this, items] { run(items); });
        if (!std::exchange(counted_, true)) {
            opened_.count_down();
        }
    };
}

void FakeBrowser::join() {
    if (tab_.joinable()) {
        tab_.join();
    }
}

int FakeBrowser::follow(const std::string& redirectURI, const std::string& query,
                        std::string* page) {
    httplib::Client client(redirectURI.substr(0, redirectURI.size() - 1));
    const auto result = client.Get("/" + query);
    if (!result) {
        return -1;
    }
    if (page != nullptr) {
        *page = result->body;
    }
    return result->status;
}

void FakeBrowser::run(std::map<std::string, std::string> items) {
    const std::string redirect = items.at("redirect_uri");
    const std::string state = "&state=" + OAuthText::percentEncoded(items.at("state"));
    std::vector<std::string> visits;
    switch (act) {
        case Act::closeTab:
            return;
        case Act::deny:
            visits.push_back("?error=access_denied" + state);
            break;
        case Act::strayThenApprove:
            visits = {"?code=stray&state=wrong", "favicon.ico", "?state=" + items.at("state")};
            [[fallthrough]];
        case Act::approve:
            visits.push_back("?code=" + server_.consent(items, account, grantDrive) + state);
            break;
    }
    for (const std::string& visit : visits) {
        std::string page;
        const int status = follow(redirect, visit, &page);
        const std::lock_guard lock(mutex_);
        statuses_.push_back(status);
        page_ = page;
    }
}

std::map<std::string, std::string> FakeBrowser::authorization() const {
    const std::lock_guard lock(mutex_);
    return authorization_;
}

std::vector<int> FakeBrowser::statuses() const {
    const std::lock_guard lock(mutex_);
    return statuses_;
}

std::string FakeBrowser::lastPage() const {
    const std::lock_guard lock(mutex_);
    return page_;
}

}  // namespace tolvane::test
