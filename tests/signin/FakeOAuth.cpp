#include "signin/FakeOAuth.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

#include "core/common/Base64.h"
#include "platform/signin/OAuthText.h"

namespace tolvane::test {

namespace {

DriveHTTPResponse json(int status, const nlohmann::json& body) {
    return {status, {{"Content-Type", "application/json"}}, body.dump()};
}

}  // namespace

FakeOAuthServer::FakeOAuthServer() {
    https_.drive->setHook([this](const DriveHTTPRequest& request, const auto&) {
        const std::lock_guard lock(mutex_);
        return answer(request);
    });
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

std::string FakeOAuthServer::consent(const std::map<std::string, std::string>& page,
                                     const std::string& subject, bool grantDrive) {
    const std::lock_guard lock(mutex_);
    for (const auto& [token, grant] : refreshTokens_) {
        grantDrive = grantDrive || (grant.first == subject && grant.second.ends_with(driveScope));
    }
    const bool drive = grantDrive && page.at("scope").ends_with(driveScope);
    const std::string code = "code-" + std::to_string(++counter_);
    codes_[code] = {page.at("code_challenge"), page.at("redirect_uri"), subject,
                    drive ? "openid email " + driveScope : "openid email"};
    return code;
}

DriveHTTPResponse FakeOAuthServer::answer(const DriveHTTPRequest& request) {
    auto form = OAuthText::parseQuery(request.body).value_or(std::map<std::string, std::string>{});
    if (request.header("Content-Type") != "application/x-www-form-urlencoded") {
        return json(400, {{"error", "invalid_request"}});
    }
    if (request.url.find("/revoke") != std::string::npos) {
        calls_.push_back("revoke");
        if (revocationStatus_ != 200) {
            return json(revocationStatus_, {{"error", "backend_error"}});
        }
        return json(refreshTokens_.erase(form["token"]) == 1 ? 200 : 400,
                    {{"error", "invalid_token"}});
    }
    if (form["client_id"] != fakeClientID) {
        return json(400, {{"error", "invalid_client"}, {"access_token", "access-leaked"}});
    }
    calls_.push_back(form["grant_type"]);
    const std::string n = std::to_string(++counter_);
    if (form["grant_type"] == "refresh_token") {
        const auto grant = refreshTokens_.find(form["refresh_token"]);
        if (grant == refreshTokens_.end()) {
            return json(400, {{"error", "invalid_grant"}});
        }
        nlohmann::json answer{
            {"access_token", "access-" + n}, {"expires_in", 3600}, {"scope", grant->second.second}};
        if (rotateRefreshTokens) {
            answer["refresh_token"] = "refresh-" + n;
            refreshTokens_["refresh-" + n] = grant->second;
            refreshTokens_.erase(grant);
        }
        return json(200, answer);
    }
    const auto code = codes_.find(form["code"]);
    if (code == codes_.end() ||
        code->second[0] != OAuthText::codeChallenge(form["code_verifier"]) ||
        code->second[1] != form["redirect_uri"]) {
        return json(400, {{"error", "invalid_grant"}});
    }
    const std::string subject = code->second[2], scope = code->second[3];
    codes_.erase(code);
    refreshTokens_["refresh-" + n] = {subject, scope};
    const nlohmann::json claims{{"iss", "https://accounts.google.com"},
                                {"aud", fakeClientID},
                                {"sub", subject},
                                {"email", subject + "@example.com"}};
    return json(200, {{"access_token", "access-" + n},
                      {"expires_in", 3600},
                      {"refresh_token", "refresh-" + n},
                      {"scope", scope},
                      {"id_token", Base64::encodeURL(R"({"alg":"RS256"})") + "." +
                                       Base64::encodeURL(claims.dump()) + ".c2ln"}});
}

DriveHTTPResponse HoldingTransport::send(const DriveHTTPRequest& request, std::stop_token stop) {
    {
        std::unique_lock lock(mutex_);
        ++holding_;
        changed_.notify_all();
        const bool released = changed_.wait(lock, stop, [&] { return !held_; });
        --holding_;
        if (!released) {
            throw TransportError(TransportError::Kind::cancelled, "stopped while held");
        }
    }
    return next_->send(request, std::move(stop));
}

void HoldingTransport::hold(bool held) {
    const std::lock_guard lock(mutex_);
    held_ = held;
    changed_.notify_all();
}

void HoldingTransport::runStopped(bool whileWaiting,
                                  const std::function<void(std::stop_token)>& step) {
    std::stop_source stop;
    if (!whileWaiting) {
        stop.request_stop();
        step(stop.get_token());
        return;
    }
    hold(true);
    std::thread running([&] { step(stop.get_token()); });
    waitUntilHolding();
    stop.request_stop();
    running.join();
    hold(false);
}

void HoldingTransport::waitUntilHolding() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return holding_ > 0; });
}

GoogleSignIn::OpenBrowser FakeBrowser::opener() {
    return [this](const std::string& url, std::stop_token) {
        join();
        page = OAuthText::parseQuery(url.substr(url.find('?') + 1)).value();
        statuses.clear();
        tab_ = std::thread([this] {
            const std::string state = "&state=" + OAuthText::percentEncoded(page.at("state"));
            std::vector<std::string> visits;
            if (act == Act::deny) {
                visits.push_back("?error=access_denied" + state);
            } else if (act != Act::closeTab) {
                if (act == Act::strayThenApprove) {
                    visits = {"?code=stray&state=wrong", "favicon.ico", "?" + state.substr(1)};
                }
                visits.push_back("?code=" + server_.consent(page, account, grantDrive) + state);
            }
            for (const std::string& visit : visits) {
                statuses.push_back(follow(page.at("redirect_uri"), visit, &lastPage));
            }
        });
        if (!std::exchange(counted_, true)) {
            opened_.count_down();
        }
    };
}

int FakeBrowser::follow(const std::string& redirectURI, const std::string& query,
                        std::string* body) {
    httplib::Client client(redirectURI.substr(0, redirectURI.size() - 1));
    const auto result = client.Get("/" + query);
    if (body != nullptr && result) {
        *body = result->body;
    }
    return result ? result->status : -1;
}

}  // namespace tolvane::test
