#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>

#include "core/drive/GoogleSignInErrors.h"

namespace tolvane {

// The signed-in account. The subject is the stable key the Drive journal and the token requests
// use; the e-mail is only for display and may be unknown.
struct GoogleIdentity {
    std::string subject;
    std::optional<std::string> email;

    friend bool operator==(const GoogleIdentity&, const GoogleIdentity&) = default;
};

// What a silent restore found.
struct GoogleRestoredSession {
    GoogleIdentity identity;
    bool driveScopeGranted = false;

    friend bool operator==(const GoogleRestoredSession&, const GoogleRestoredSession&) = default;
};

// The one error type of the sign-in side. what() is the Korean user message.
class GoogleAuthFailure : public std::exception {
public:
    // The values are the failure's own code when it is logged as an error of errorDomain.
    enum class Code {
        cancelled = 0,
        denied = 1,
        reauthenticationRequired = 2,
        keychainUnavailable = 3,
        configurationMissing = 4,
        unavailable = 5,
    };

    static constexpr std::string_view errorDomain = "com.tolvane.Veska.GoogleAuthFailure";

    explicit GoogleAuthFailure(Code code) noexcept : code_(code) {}

    static GoogleAuthFailure cancelled() noexcept { return GoogleAuthFailure(Code::cancelled); }
    static GoogleAuthFailure denied() noexcept { return GoogleAuthFailure(Code::denied); }
    static GoogleAuthFailure reauthenticationRequired() noexcept {
        return GoogleAuthFailure(Code::reauthenticationRequired);
    }
    static GoogleAuthFailure keychainUnavailable() noexcept {
        return GoogleAuthFailure(Code::keychainUnavailable);
    }
    static GoogleAuthFailure configurationMissing() noexcept {
        return GoogleAuthFailure(Code::configurationMissing);
    }
    static GoogleAuthFailure unavailable() noexcept { return GoogleAuthFailure(Code::unavailable); }

    // Maps an error of the sign-in layer. Only its own domain carries meaning; a code it does
    // not single out, or any other domain, means the connection could not be checked.
    static GoogleAuthFailure fromGoogleSDK(std::string_view domain, long code) noexcept {
        if (domain != GoogleSignInErrors::domain) {
            return unavailable();
        }
        switch (code) {
            case GoogleSignInErrors::cancelled:
                return cancelled();
            case GoogleSignInErrors::keychain:
                return keychainUnavailable();
            case GoogleSignInErrors::reauthenticationRequired:
                return reauthenticationRequired();
            default:
                return unavailable();
        }
    }

    Code code() const noexcept { return code_; }

    std::string_view errorDescription() const noexcept { return what(); }

    const char* what() const noexcept override {
        switch (code_) {
            case Code::cancelled:
                return "Google 연결이 취소됐습니다.";
            case Code::denied:
                return "Google Drive 접근 권한이 허용되지 않았습니다.";
            case Code::reauthenticationRequired:
                return "Google 계정을 다시 연결해 주세요.";
            case Code::keychainUnavailable:
                return "Google 로그인 정보를 키링에 저장하지 못했습니다. 키링 서비스를 확인해 "
                       "주세요.";
            case Code::configurationMissing:
                return "Google OAuth 클라이언트 설정이 없습니다.";
            case Code::unavailable:
                break;
        }
        return "Google 연결을 확인할 수 없습니다. 네트워크를 확인하고 다시 시도해 주세요.";
    }

    friend bool operator==(const GoogleAuthFailure& a, const GoogleAuthFailure& b) noexcept {
        return a.code_ == b.code_;
    }

private:
    Code code_;
};

// Where the account connection stands. Five kinds carry a payload: requestingScope, connected
// and refreshing always an identity, reauthRequired an identity when one is known, failed its
// reason.
class GoogleAuthState {
public:
    enum class Kind {
        restoring,
        signedOut,
        authorizing,
        requestingScope,
        connected,
        refreshing,
        reauthRequired,
        signingOut,
        revokingConsent,
        cancelled,
        denied,
        failed,
    };

    static GoogleAuthState restoring() { return GoogleAuthState(Kind::restoring); }
    static GoogleAuthState signedOut() { return GoogleAuthState(Kind::signedOut); }
    static GoogleAuthState authorizing() { return GoogleAuthState(Kind::authorizing); }
    static GoogleAuthState requestingScope(GoogleIdentity identity) {
        return GoogleAuthState(Kind::requestingScope, std::move(identity));
    }
    static GoogleAuthState connected(GoogleIdentity identity) {
        return GoogleAuthState(Kind::connected, std::move(identity));
    }
    static GoogleAuthState refreshing(GoogleIdentity identity) {
        return GoogleAuthState(Kind::refreshing, std::move(identity));
    }
    static GoogleAuthState reauthRequired(std::optional<GoogleIdentity> identity) {
        return GoogleAuthState(Kind::reauthRequired, std::move(identity));
    }
    static GoogleAuthState signingOut() { return GoogleAuthState(Kind::signingOut); }
    static GoogleAuthState revokingConsent() { return GoogleAuthState(Kind::revokingConsent); }
    static GoogleAuthState cancelled() { return GoogleAuthState(Kind::cancelled); }
    static GoogleAuthState denied() { return GoogleAuthState(Kind::denied); }
    static GoogleAuthState failed(GoogleAuthFailure failure) {
        GoogleAuthState state(Kind::failed);
        state.failure_ = failure;
        return state;
    }

    Kind kind() const noexcept { return kind_; }
    // The account of requestingScope, connected and refreshing; of reauthRequired when known.
    const std::optional<GoogleIdentity>& identity() const noexcept { return identity_; }
    // The reason of failed.
    const std::optional<GoogleAuthFailure>& failure() const noexcept { return failure_; }

    friend bool operator==(const GoogleAuthState&, const GoogleAuthState&) = default;

private:
    explicit GoogleAuthState(Kind kind, std::optional<GoogleIdentity> identity = std::nullopt)
        : kind_(kind), identity_(std::move(identity)) {}

    Kind kind_;
    std::optional<GoogleIdentity> identity_;
    std::optional<GoogleAuthFailure> failure_;
};

// The sign-in seam the account state machine drives; the sign-in layer implements it. Every call
// blocks until its step is over and may be made from any worker thread, several at once.
// Failures the user should see are thrown as GoogleAuthFailure; anything else thrown counts as
// `unavailable`. The steps that wait on the user or the network take the stop token of their
// operation: once it is requested they end as `cancelled` and take no further step (no page is
// opened, no code exchanged, nothing stored).
class GoogleAuthProvider {
public:
    virtual ~GoogleAuthProvider() = default;

    // Nothing when no session is stored.
    virtual std::optional<GoogleRestoredSession> restoreSession() = 0;
    // The interactive sign-in; returns the account that signed in.
    virtual GoogleIdentity signIn(std::stop_token stop) = 0;
    // Returns once the Drive per-file scope is granted for that account.
    virtual void requestDriveScope(const GoogleIdentity& identity, std::stop_token stop) = 0;
    // Renews the session of a connected account.
    virtual void refreshSession(const GoogleIdentity& identity, std::stop_token stop) = 0;
    // Forgets the local session.
    virtual void signOut() = 0;
    // Revokes the grant and forgets the session.
    virtual void revokeConsent(std::stop_token stop) = 0;
    // Asks a pending interactive sign-in or scope request to stop.
    virtual void cancelAuthorization() noexcept = 0;
};

}  // namespace tolvane

template <>
struct std::hash<tolvane::GoogleAuthFailure> {
    std::size_t operator()(const tolvane::GoogleAuthFailure& failure) const noexcept {
        return std::hash<int>{}(static_cast<int>(failure.code()));
    }
};
