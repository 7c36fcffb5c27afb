#pragma once

#include <optional>
#include <string>

namespace tolvane {

// Where the sign-in keeps its one stored session: an opaque text holding the refresh token,
// so it goes nowhere but a secret store. Every failure is a GoogleSignInError with the keychain
// code. Called from worker threads, never two calls at once.
class SignInSessionStore {
public:
    virtual ~SignInSessionStore() = default;
    // Nothing when no session is stored.
    virtual std::optional<std::string> load() = 0;
    // Replaces what is stored.
    virtual void save(const std::string& secret) = 0;
    // Succeeds when nothing is stored.
    virtual void remove() = 0;
};

// The session in the user's Secret Service keyring (GNOME Keyring, KWallet), under a schema of
// the application's own; the default collection unless another alias is given.
class SecretServiceSessionStore final : public SignInSessionStore {
public:
    explicit SecretServiceSessionStore(std::string collection = "default");

    std::optional<std::string> load() override;
    void save(const std::string& secret) override;
    void remove() override;

private:
    std::string collection_;
};

}  // namespace tolvane
