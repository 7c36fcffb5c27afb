#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvane {

// The error domain of the sign-in layer and the codes the rest of the application tells apart.
// The account state machine only needs to recognise the domain; the sign-in layer raises these.
namespace GoogleSignInErrors {

inline constexpr std::string_view domain = "com.tolvane.Veska.SignIn";

inline constexpr long unknown = -1;
// The session could not be written to or read from the keyring.
inline constexpr long keychain = -2;
// Restoring found nothing stored; not a failure for a silent restore.
inline constexpr long hasNoStoredSignIn = -4;
// The user abandoned the interactive flow, or it was cancelled for them.
inline constexpr long cancelled = -5;
// The stored grant is no longer accepted; the user has to sign in again.
inline constexpr long reauthenticationRequired = -11;

}  // namespace GoogleSignInErrors

// One cause in an error's chain, by domain and code: what the sign-in log lines show.
struct SignInErrorCause {
    std::string domain;
    long code = 0;

    friend bool operator==(const SignInErrorCause&, const SignInErrorCause&) = default;
};

// A failure of the sign-in layer or of something beneath it (the token endpoint, libcurl, the
// keyring), identified by domain and code, with the causes that led to it.
class GoogleSignInError : public std::exception {
public:
    GoogleSignInError(std::string domain, long code, std::vector<SignInErrorCause> underlying = {})
        : domain_(std::move(domain)),
          code_(code),
          underlying_(std::move(underlying)),
          message_(domain_ + " code=" + std::to_string(code_)) {}

    const std::string& domain() const noexcept { return domain_; }
    long code() const noexcept { return code_; }
    // Nearest cause first. May be longer than what is worth logging; the reader cuts it.
    const std::vector<SignInErrorCause>& underlying() const noexcept { return underlying_; }

    // "<domain> code=<code>", English, for diagnostics only.
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string domain_;
    long code_;
    std::vector<SignInErrorCause> underlying_;
    std::string message_;
};

}  // namespace tolvane
