// The account sheet in every account state, with a long e-mail and with none.

#include "Tolvane/screenshots/GoogleSceneModel.h"
#include "Tolvane/screenshots/ScreenshotScenes.h"
#include "Tolvane/ui/GoogleConnectionView.h"

namespace tolvane::screenshots {
namespace {

const GoogleIdentity sample{"sample", "jiwoo.kim@example.com"};

QWidget* sheet(GoogleAuthState state, std::optional<std::string> email = sample.email) {
    auto* scene = new GoogleSceneModel(std::move(email));
    // The restore runs first, so that showing the sheet does not replace the state shown.
    scene->connectAccount();
    scene->google().setState(std::move(state));
    auto* view = new GoogleConnectionView(scene->google(), nullptr);
    scene->setParent(view);
    return view;
}

Scene scene(const char* name, std::function<QWidget*()> build) {
    return {QStringLiteral("google-sheet-") + QLatin1String(name), std::move(build)};
}

const bool registered = registerScenes({
    scene("restoring", [] { return sheet(GoogleAuthState::restoring()); }),
    scene("signed-out", [] { return sheet(GoogleAuthState::signedOut()); }),
    scene("authorizing", [] { return sheet(GoogleAuthState::authorizing()); }),
    scene("requesting-scope", [] { return sheet(GoogleAuthState::requestingScope(sample)); }),
    scene("connected", [] { return sheet(GoogleAuthState::connected(sample)); }),
    scene("connected-long-email",
          [] {
              return sheet(GoogleAuthState::connected(
                  {"sample", "seoul.headquarters.design.team.deliveries@example-company.co.kr"}));
          }),
    scene("connected-no-email",
          [] {
              return sheet(GoogleAuthState::connected({"sample", std::nullopt}));
          }),
    scene("refreshing", [] { return sheet(GoogleAuthState::refreshing(sample)); }),
    scene("reauth-required", [] { return sheet(GoogleAuthState::reauthRequired(sample)); }),
    scene("signing-out", [] { return sheet(GoogleAuthState::signingOut()); }),
    scene("revoking-consent", [] { return sheet(GoogleAuthState::revokingConsent()); }),
    scene("cancelled", [] { return sheet(GoogleAuthState::cancelled()); }),
    scene("denied", [] { return sheet(GoogleAuthState::denied()); }),
    scene("failed-keyring",
          [] { return sheet(GoogleAuthState::failed(GoogleAuthFailure::keychainUnavailable())); }),
    scene("failed-configuration",
          [] { return sheet(GoogleAuthState::failed(GoogleAuthFailure::configurationMissing())); }),
    scene("failed-network",
          [] { return sheet(GoogleAuthState::failed(GoogleAuthFailure::unavailable())); }),
});

}  // namespace
}  // namespace tolvane::screenshots
