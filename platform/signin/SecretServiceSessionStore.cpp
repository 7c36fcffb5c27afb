#include <libsecret/secret.h>

#include <memory>

#include "core/drive/GoogleSignInErrors.h"
#include "platform/signin/SignInSessionStore.h"

namespace tolvane {

namespace {

// One item per user: the application's Google session. The schema name is ours, so no other
// program's items match it.
const SecretSchema* schema() {
    static const SecretSchema value = {"com.tolvane.Veska.GoogleSession",
                                       SECRET_SCHEMA_NONE,
                                       {{"application", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                       0,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr,
                                       nullptr};
    return &value;
}

constexpr const char* application = "com.tolvane.Veska";

struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};

// The keyring's own error, domain and code, as the cause of a keychain failure.
[[noreturn]] void fail(GError* raw) {
    const std::unique_ptr<GError, ErrorFree> error(raw);
    std::vector<SignInErrorCause> causes;
    if (error) {
        causes.push_back({g_quark_to_string(error->domain), error->code});
    }
    throw GoogleSignInError(std::string(GoogleSignInErrors::domain), GoogleSignInErrors::keychain,
                            std::move(causes));
}

}  // namespace

SecretServiceSessionStore::SecretServiceSessionStore(std::string collection)
    : collection_(std::move(collection)) {}

std::optional<std::string> SecretServiceSessionStore::load() {
    GError* error = nullptr;
    gchar* secret =
        secret_password_lookup_sync(schema(), nullptr, &error, "application", application, nullptr);
    if (error != nullptr) {
        fail(error);
    }
    if (secret == nullptr) {
        return std::nullopt;
    }
    std::string value(secret);
    // Wipes the keyring's copy of the refresh token before freeing it.
    secret_password_free(secret);
    return value;
}

void SecretServiceSessionStore::save(const std::string& secret) {
    GError* error = nullptr;
    const gboolean stored = secret_password_store_sync(
        schema(), collection_.c_str(), "Veska Google 로그인", secret.c_str(), nullptr, &error,
        "application", application, nullptr);
    if (error != nullptr || !stored) {
        fail(error);
    }
}

void SecretServiceSessionStore::remove() {
    GError* error = nullptr;
    secret_password_clear_sync(schema(), nullptr, &error, "application", application, nullptr);
    if (error != nullptr) {
        fail(error);
    }
}

}  // namespace tolvane
