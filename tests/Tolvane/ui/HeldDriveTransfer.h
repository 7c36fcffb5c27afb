#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>

#include "Tolvane/model/GoogleConnectionModel.h"
#include "core/common/Cancellation.h"
#include "core/common/Uuid.h"

namespace tolvane::test {

// A Google model over a provider that answers at once and a share that runs until the test
// releases it; cancellation reaches it only when `obeysCancel` (a transfer slow to notice).
class HeldDriveTransfer {
public:
    explicit HeldDriveTransfer(bool obeysCancel = true) {
        auto shared = state_;
        GoogleConnectionModel::Operations operations;
        operations.shareOperation =
            [shared, obeysCancel](const VerifiedArchive&, DriveLinkRole role, const GoogleIdentity&,
                                  const GoogleConnectionModel::ProgressHandler&,
                                  std::stop_token stop) {
                std::unique_lock lock(shared->mutex);
                ++shared->shares;
                const std::stop_token watched = obeysCancel ? stop : std::stop_token();
                if (!shared->changed.wait(lock, watched, [&] { return shared->released; })) {
                    throw OperationCancelled();
                }
                return DriveShareResult{"file", "https://drive.google.com/file", "ab", role};
            };
        model = std::make_unique<GoogleConnectionModel>(
            std::make_shared<GoogleAuthCoordinator>(std::make_shared<QuietProvider>()),
            std::move(operations));
        model->setState(GoogleAuthState::connected({"subject", std::string("a@example.com")}));
    }
    ~HeldDriveTransfer() {
        release();
        model.reset();
    }

    void start() {
        model->shareVerifiedArchive({Uuid::random(), "/archives/a.zip", 10, "ab"},
                                    DriveLinkRole::reader);
    }
    void release() {
        const std::lock_guard lock(state_->mutex);
        state_->released = true;
        state_->changed.notify_all();
    }
    int shares() const {
        const std::lock_guard lock(state_->mutex);
        return state_->shares;
    }

    std::unique_ptr<GoogleConnectionModel> model;

private:
    struct QuietProvider final : GoogleAuthProvider {
        std::optional<GoogleRestoredSession> restoreSession() override { return std::nullopt; }
        GoogleIdentity signIn(std::stop_token) override { return {"subject", std::nullopt}; }
        void requestDriveScope(const GoogleIdentity&, std::stop_token) override {}
        void refreshSession(const GoogleIdentity&, std::stop_token) override {}
        void signOut() override {}
        void revokeConsent(std::stop_token) override {}
        void cancelAuthorization() noexcept override {}
    };
    struct State {
        std::mutex mutex;
        std::condition_variable_any changed;
        bool released = false;
        int shares = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace tolvane::test
