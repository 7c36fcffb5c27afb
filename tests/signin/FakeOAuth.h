#pragma once

#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/signin/GoogleSignIn.h"
#include "support/FakeDriveServer.h"

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
    std::shared_ptr<DriveHTTPTransport> transport() const { return https_.transport(); }

    // A consent on the authorization page (its query items): the code to redirect with. The
    // granted scopes are those asked for, without the Drive scope unless `grantDrive`.
    std::string consent(const std::map<std::string, std::string>& authorization,
                        const std::string& subject, bool grantDrive);
    void forgetRefreshTokens();
    // The revocation endpoint answers with this status (200: revokes).
    void setRevocationStatus(int status);
    // The grant types of the token requests and "revoke", in order.
    std::vector<std::string> calls() const;
    bool refreshTokenLive(const std::string& token) const;

private:
    struct Code {
        std::string challenge, redirectURI, subject, scope;
    };
    DriveHTTPResponse answer(const DriveHTTPRequest& request);
    DriveHTTPResponse tokens(const std::string& subject, const std::string& scope, bool withIDs);

    FakeDriveServer https_;
    mutable std::mutex mutex_;
    std::map<std::string, Code> codes_;
    std::map<std::string, std::pair<std::string, std::string>> refreshTokens_;  // subject, scope
    std::vector<std::string> calls_;
    int revocationStatus_ = 200;
    int counter_ = 0;
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
    void join();
    // The authorization URL's query items, once opened.
    std::map<std::string, std::string> authorization() const;
    // The status of every answer the listener gave, then the body of the last.
    std::vector<int> statuses() const;
    std::string lastPage() const;
    // Waits until the browser was opened.
    void waitUntilOpened() { opened_.wait(); }
    // Follows a redirect to the given URL now, from the calling thread: the status, or -1 when
    // nothing answered.
    static int follow(const std::string& redirectURI, const std::string& query,
                      std::string* page = nullptr);

private:
    void run(std::map<std::string, std::string> items);

    FakeOAuthServer& server_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> authorization_;
    std::vector<int> statuses_;
    std::string page_;
    std::latch opened_{1};
    bool counted_ = false;
    std::thread tab_;
};

}  // namespace tolvane::test
