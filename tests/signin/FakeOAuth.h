#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <latch>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/signin/GoogleSignIn.h"
#include "support/FakeDrive.h"

namespace tolvane::test {

inline const std::string fakeClientID = "1234-test.apps.googleusercontent.com";
inline const std::string driveScope = "https://www.googleapis.com/auth/drive.file";

// Google's token and revocation endpoints on the loopback HTTPS server, and the consent side of
// its authorization page, which the fake browser drives. Codes are single-use and bound to their
// PKCE challenge and redirect URI; refresh tokens stay good until revoked or forgotten.
class FakeOAuthServer {
public:
    FakeOAuthServer();

    GoogleSignInConfiguration configuration() const;
    std::shared_ptr<DriveHTTPTransport> transport() const { return transport_; }

    // A consent on the authorization page (its query items): the code to redirect with. Drive is
    // granted when asked for and `grantDrive`, or when granted before.
    std::string consent(const std::map<std::string, std::string>& page, const std::string& subject,
                        bool grantDrive);
    // Under the lock: the grant types asked for and "revoke", the live refresh tokens (subject,
    // scopes), the revocation endpoint's status (200 revokes).
    template <typename Edit>
    auto with(Edit edit) {
        const std::lock_guard lock(mutex_);
        return edit(calls_, refreshTokens_, revocationStatus_);
    }
    std::vector<std::string> calls() {
        return with([](auto& calls, auto&, auto&) { return calls; });
    }
    // A refresh answers with a new refresh token and retires the old one.
    std::atomic<bool> rotateRefreshTokens = false;

private:
    DriveHTTPResponse answer(const DriveHTTPRequest& request);

    FakeDriveServer https_;
    std::shared_ptr<DriveHTTPTransport> transport_ =
        std::make_shared<URLSessionDriveHTTPTransport>(https_.transportOptions());
    std::mutex mutex_;
    std::map<std::string, std::vector<std::string>> codes_;  // challenge, redirect, subject, scope
    std::vector<std::string> calls_;
    std::map<std::string, std::pair<std::string, std::string>> refreshTokens_;
    int revocationStatus_ = 200;
    int counter_ = 0;
};

// A transport that holds every request while `held` is set, until released or until the request's
// stop token is requested (then it fails as the real transport does, cancelled).
class HoldingTransport final : public DriveHTTPTransport {
public:
    explicit HoldingTransport(std::shared_ptr<DriveHTTPTransport> next) : next_(std::move(next)) {}

    DriveHTTPResponse send(const DriveHTTPRequest& request, std::stop_token stop) override;
    void hold(bool held);
    // Waits until a request is held.
    void waitUntilHolding();
    // Runs `step` with its stop requested before it begins or, `whileWaiting`, once its request
    // is held here.
    void runStopped(bool whileWaiting, const std::function<void(std::stop_token)>& step);

private:
    std::shared_ptr<DriveHTTPTransport> next_;
    std::mutex mutex_;
    std::condition_variable_any changed_;
    bool held_ = false;
    int holding_ = 0;
};

// The user's browser: opening the authorization URL starts a tab that acts as scripted and
// follows the redirect to the loopback listener. Joins its tab when destroyed.
class FakeBrowser {
public:
    enum class Act { approve, deny, strayThenApprove, closeTab };

    explicit FakeBrowser(FakeOAuthServer& server) : server_(server) {}
    ~FakeBrowser() { join(); }

    Act act = Act::approve;
    std::string account = "subject-1";
    bool grantDrive = true;

    GoogleSignIn::OpenBrowser opener();
    void join() {
        if (tab_.joinable()) {
            tab_.join();
        }
    }
    void waitUntilOpened() { opened_.wait(); }
    // The authorization URL's query items, the listener's answers. Read after join().
    std::map<std::string, std::string> page;
    std::vector<int> statuses;
    std::string lastPage;

    // Follows a redirect now: the status, or -1 when nothing answered.
    static int follow(const std::string& redirectURI, const std::string& query,
                      std::string* body = nullptr);

private:
    FakeOAuthServer& server_;
    std::latch opened_{1};
    bool counted_ = false;
    std::thread tab_;
};

}  // namespace tolvane::test
