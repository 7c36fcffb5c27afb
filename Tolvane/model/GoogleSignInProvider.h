#pragma once

#include <QString>
#include <QVariant>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/drive/GoogleAuth.h"
#include "platform/signin/GoogleSignIn.h"

namespace tolvane {

// The account state machine's sign-in seam over the sign-in library: turns the library's users
// into identities, every failure into a GoogleAuthFailure, and writes what went wrong to the
// "GoogleAuth" log (stage, domain and code only; never a token).
//
// The coordinator calls it from worker threads and each call blocks there; the library is
// thread-safe, so its calls run on the calling thread. Only the window check and the browser
// launch touch the desktop, and the desktop hooks take those to the GUI thread themselves,
// waiting for it only until the step's stop token is requested: the GUI thread may itself be
// waiting for the workers to stop.
class GoogleSignInProvider final : public GoogleAuthProvider {
public:
    // The only scope the application asks for: Drive access to the files it creates or opens.
    static constexpr std::string_view driveScope = "https://www.googleapis.com/auth/drive.file";
    // What every installed application's OAuth client identifier ends with.
    static constexpr std::string_view clientIDSuffix = ".apps.googleusercontent.com";

    struct Hooks {
        // The application's information value under a key ("GIDClientID"); null when absent.
        std::function<QVariant(const QString& key)> infoValue;
        // Whether a window can present a sign-in: the focused one, else the first visible one.
        // Both throw OperationCancelled once the stop token is requested.
        std::function<bool(std::stop_token)> hasPresentingWindow;
        std::function<long(std::stop_token)> visibleWindowCount;
        // Opens the authorization page in the user's browser; throws when it cannot.
        GoogleSignIn::OpenBrowser openBrowser;
    };

    GoogleSignInProvider(std::shared_ptr<GoogleSignIn> signIn, Hooks hooks);

    // The application's provider: the library over the keyring and HTTPS, with the OAuth client
    // this build was configured with, and the desktop's windows and browser.
    static std::shared_ptr<GoogleSignInProvider> forApplication();
    // The application's one sign-in library, shared by its provider and by the hand-off of the
    // URLs the application is asked to open.
    static std::shared_ptr<GoogleSignIn> applicationSignIn();
    static Hooks desktopHooks();
    // The information values compiled into the application: "GIDClientID" and
    // "GIDClientSecret" when the build was configured with them, null otherwise.
    static QVariant applicationInfo(const QString& key);

    const std::shared_ptr<GoogleSignIn>& signIn() const noexcept { return signIn_; }

    std::optional<GoogleRestoredSession> restoreSession() override;
    GoogleIdentity signIn(std::stop_token stop) override;
    void requestDriveScope(const GoogleIdentity& identity, std::stop_token stop) override;
    void refreshSession(const GoogleIdentity& identity, std::stop_token stop) override;
    void signOut() override;
    void revokeConsent(std::stop_token stop) override;
    void cancelAuthorization() noexcept override;

    // A fresh access token of that account, for the Drive client; a request that the stop token
    // ends fails as cancelled.
    std::string accessToken(const GoogleIdentity& identity, std::stop_token stop = {});

private:
    bool configured() const;
    // The library's current user when it is that account; reauthenticationRequired otherwise.
    GoogleSignInUser currentUser(const GoogleIdentity& identity) const;
    // The current user of that account after a refresh when needed, with the Drive scope. The
    // library checks the account and hands out its token in one step, so a switch of account
    // meanwhile fails as reauthenticationRequired instead of giving out another account's token.
    GoogleSignInUser refreshedUser(const GoogleIdentity& identity, std::string_view stage,
                                   std::stop_token stop);
    // Logs the failure in flight and says which GoogleAuthFailure it is; a cancellation once
    // `stop` was requested is the caller's own stop and is not logged. Call inside a catch.
    static GoogleAuthFailure translated(std::string_view stage, const std::stop_token& stop = {});
    static GoogleAuthFailure translated(std::exception_ptr error, std::string_view stage,
                                        const std::stop_token& stop = {});

    const std::shared_ptr<GoogleSignIn> signIn_;
    const Hooks hooks_;
};

}  // namespace tolvane
