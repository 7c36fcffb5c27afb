#include "Tolvane/model/GoogleSignInProvider.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "core/common/Cancellation.h"
#include "core/common/Log.h"

namespace tolvane {

namespace {

// Underlying causes written per failure; a deeper chain is cut.
constexpr std::size_t maxLoggedCauses = 3;

void logLine(const std::string& line) {
    Log::error(Log::Category::googleAuth, line);
}

bool hasDriveScope(const GoogleSignInUser& user) {
    return std::ranges::find(user.grantedScopes, GoogleSignInProvider::driveScope) !=
           user.grantedScopes.end();
}

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const OperationCancelled&) {
        return true;
    } catch (const GoogleSignInError& failure) {
        return failure.domain() == GoogleSignInErrors::domain &&
               failure.code() == GoogleSignInErrors::cancelled;
    } catch (const GoogleAuthFailure& failure) {
        return failure.code() == GoogleAuthFailure::Code::cancelled;
    } catch (...) {
        return false;
    }
}

GoogleIdentity identityOf(const GoogleSignInUser& user) {
    if (user.userID.empty()) {
        throw GoogleAuthFailure::unavailable();
    }
    return GoogleIdentity{user.userID, user.email};
}

}  // namespace

GoogleSignInProvider::GoogleSignInProvider(std::shared_ptr<GoogleSignIn> signIn, Hooks hooks)
    : signIn_(std::move(signIn)), hooks_(std::move(hooks)) {
    if (!signIn_ || !hooks_.infoValue || !hooks_.hasPresentingWindow ||
        !hooks_.visibleWindowCount || !hooks_.openBrowser) {
        throw std::invalid_argument("GoogleSignInProvider needs the library and every hook");
    }
}

bool GoogleSignInProvider::configured() const {
    const QVariant value = hooks_.infoValue(QStringLiteral("GIDClientID"));
    if (value.typeId() != QMetaType::QString) {
        return false;
    }
    return value.toString().toStdString().ends_with(clientIDSuffix);
}

GoogleAuthFailure GoogleSignInProvider::translated(std::string_view stage,
                                                   const std::stop_token& stop) {
    return translated(std::current_exception(), stage, stop);
}

GoogleAuthFailure GoogleSignInProvider::translated(std::exception_ptr error, std::string_view stage,
                                                   const std::stop_token& stop) {
    // A step its caller stopped (a cancel, a sign-out, the application ending) did not fail.
    // The user abandoning the page is another matter: the library's own cancellation, logged.
    if (stop.stop_requested() && isCancellation(error)) {
        return GoogleAuthFailure::cancelled();
    }
    const std::string prefix(stage);
    const auto failed = [&](std::string_view domain, long code) {
        logLine(prefix + " failed: " + std::string(domain) + " code=" + std::to_string(code));
    };
    try {
        std::rethrow_exception(error);
    } catch (const OperationCancelled&) {
        return GoogleAuthFailure::cancelled();
    } catch (const GoogleAuthFailure& failure) {
        failed(GoogleAuthFailure::errorDomain, static_cast<long>(failure.code()));
        return failure;
    } catch (const GoogleSignInError& failure) {
        failed(failure.domain(), failure.code());
        const auto& causes = failure.underlying();
        for (std::size_t i = 0; i < std::min(causes.size(), maxLoggedCauses); ++i) {
            logLine(prefix + " underlying: " + causes[i].domain +
                    " code=" + std::to_string(causes[i].code));
        }
        return GoogleAuthFailure::fromGoogleSDK(failure.domain(), failure.code());
    } catch (const std::system_error& failure) {
        failed(failure.code().category().name(), failure.code().value());
    } catch (...) {
        failed("unknown", 0);
    }
    return GoogleAuthFailure::unavailable();
}

std::optional<GoogleRestoredSession> GoogleSignInProvider::restoreSession() {
    if (!configured()) {
        throw GoogleAuthFailure::configurationMissing();
    }
    if (!signIn_->hasPreviousSignIn()) {
        return std::nullopt;
    }
    try {
        const GoogleSignInUser user = signIn_->restorePreviousSignIn();
        return GoogleRestoredSession{identityOf(user), hasDriveScope(user)};
    } catch (const GoogleSignInError& error) {
        if (error.domain() == GoogleSignInErrors::domain &&
            error.code() == GoogleSignInErrors::hasNoStoredSignIn) {
            return std::nullopt;
        }
        throw translated("restore");
    } catch (...) {
        throw translated("restore");
    }
}

GoogleIdentity GoogleSignInProvider::signIn(std::stop_token stop) {
    if (!configured()) {
        logLine("signIn blocked: OAuth client ID missing");
        throw GoogleAuthFailure::configurationMissing();
    }
    try {
        if (!hooks_.hasPresentingWindow(stop)) {
            logLine("signIn blocked: presenting window unavailable; visibleWindowCount=" +
                    std::to_string(hooks_.visibleWindowCount(stop)));
            throw GoogleAuthFailure::unavailable();
        }
    } catch (const OperationCancelled&) {
        throw GoogleAuthFailure::cancelled();
    }
    try {
        return identityOf(signIn_->signIn(hooks_.openBrowser, stop));
    } catch (...) {
        throw translated("signIn", stop);
    }
}

GoogleSignInUser GoogleSignInProvider::currentUser(const GoogleIdentity& identity) const {
    const std::optional<GoogleSignInUser> user = signIn_->currentUser();
    if (!user || user->userID.empty() || user->userID != identity.subject) {
        throw GoogleAuthFailure::reauthenticationRequired();
    }
    return *user;
}

void GoogleSignInProvider::requestDriveScope(const GoogleIdentity& identity, std::stop_token stop) {
    if (hasDriveScope(currentUser(identity))) {
        return;
    }
    try {
        if (!hooks_.hasPresentingWindow(stop)) {
            throw GoogleAuthFailure::unavailable();
        }
    } catch (const OperationCancelled&) {
        throw GoogleAuthFailure::cancelled();
    }
    GoogleSignInUser user;
    try {
        user = signIn_->addScopes({std::string(driveScope)}, hooks_.openBrowser, stop);
    } catch (...) {
        throw translated("addScopes", stop);
    }
    if (!hasDriveScope(user)) {
        throw translated(std::make_exception_ptr(GoogleAuthFailure::denied()), "addScopes");
    }
}

GoogleSignInUser GoogleSignInProvider::refreshedUser(const GoogleIdentity& identity,
                                                     std::string_view stage, std::stop_token stop) {
    // Refused at once, without logging, when another account (or none) is current.
    currentUser(identity);
    GoogleSignInUser user;
    try {
        user = signIn_->refreshTokensIfNeeded(identity.subject, stop);
    } catch (...) {
        throw translated(stage, stop);
    }
    // A session without the Drive scope is of no use to the Drive client.
    if (!hasDriveScope(user)) {
        throw translated(std::make_exception_ptr(GoogleAuthFailure::reauthenticationRequired()),
                         stage);
    }
    return user;
}

void GoogleSignInProvider::refreshSession(const GoogleIdentity& identity, std::stop_token stop) {
    refreshedUser(identity, "refresh", std::move(stop));
}

std::string GoogleSignInProvider::accessToken(const GoogleIdentity& identity,
                                              std::stop_token stop) {
    return refreshedUser(identity, "accessToken", std::move(stop)).accessToken;
}

void GoogleSignInProvider::signOut() {
    try {
        signIn_->signOut();
    } catch (...) {
        // A session left in the keyring would come back at the next start: say so.
        throw translated("signOut");
    }
}

void GoogleSignInProvider::revokeConsent(std::stop_token stop) {
    try {
        signIn_->disconnect(stop);
    } catch (...) {
        throw translated("disconnect", stop);
    }
}

void GoogleSignInProvider::cancelAuthorization() noexcept {
    signIn_->cancel();
}

}  // namespace tolvane
