#pragma once

#include <QAbstractButton>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Tolvane/FakeJobBackend.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "core/common/Cancellation.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/GoogleAuthCoordinator.h"

namespace tolvane::test {

// The visible button of `root` with that label.
inline QAbstractButton* button(QWidget& root, const QString& text) {
    for (auto* candidate : root.findChildren<QAbstractButton*>()) {
        if (candidate->text() == text && candidate->isVisibleTo(&root)) {
            return candidate;
        }
    }
    return nullptr;
}

// A Google model over a provider whose sign-in waits while `holdSignIn` is set, and Drive
// operations whose share waits until stopped or released.
class GoogleScreens : public ::testing::Test {
protected:
    struct Provider final : GoogleAuthProvider {
        explicit Provider(GoogleScreens& owner) : owner(owner) {}
        GoogleScreens& owner;
        std::optional<GoogleRestoredSession> restoreSession() override { return owner.session; }
        GoogleIdentity signIn(std::stop_token) override {
            std::unique_lock lock(owner.mutex);
            ++owner.signIns;
            owner.changed.wait(lock, [&] { return !owner.holdSignIn; });
            ++owner.signInsDone;
            return {"alice", "alice@example.com"};
        }
        void requestDriveScope(const GoogleIdentity&, std::stop_token) override {}
        void refreshSession(const GoogleIdentity&, std::stop_token) override {}
        void signOut() override {}
        void revokeConsent(std::stop_token) override {}
        void cancelAuthorization() noexcept override {}
    };

    GoogleScreens() {
        GoogleConnectionModel::Operations operations{
            [this](const VerifiedArchive&, DriveLinkRole, const GoogleIdentity&,
                   const GoogleConnectionModel::ProgressHandler&, std::stop_token stop) {
                std::unique_lock lock(mutex);
                changed.wait(lock, stop, [&] { return !holdShare; });
                if (stop.stop_requested()) {
                    throw OperationCancelled();
                }
                return result;
            },
            [this](const std::string&) { return pending; },
            [this](const Uuid&, const std::optional<std::string>& selected, const GoogleIdentity&,
                   const GoogleConnectionModel::ProgressHandler&, std::stop_token) {
                {
                    const std::lock_guard lock(mutex);
                    resumedWith.push_back(selected);
                }
                // The saved access never works here: only a chosen file resumes.
                return selected ? result : throw DriveTransferError::archiveNeedsReselection();
            },
            [this](const Uuid&, const GoogleIdentity&, std::stop_token) {
                if (linkFails) {
                    throw std::runtime_error("no link");
                }
                return result.link;
            }};
        model = std::make_unique<GoogleConnectionModel>(
            std::make_shared<GoogleAuthCoordinator>(std::make_shared<Provider>(*this)),
            std::move(operations));
    }
    ~GoogleScreens() override {
        release();
        model.reset();
    }

    void release() {
        {
            const std::lock_guard lock(mutex);
            holdSignIn = holdShare = false;
        }
        changed.notify_all();
    }
    void restore(bool connected = true) {
        if (connected) {
            session = GoogleRestoredSession{{"alice", "alice@example.com"}, true};
        }
        bool done = false;
        model->restoreIfNeeded([&] { done = true; });
        ASSERT_TRUE(eventually([&] { return done; }));
    }

    std::mutex mutex;
    std::condition_variable_any changed;
    bool holdSignIn = false;
    bool holdShare = false;
    int signIns = 0;
    int signInsDone = 0;
    bool linkFails = false;
    std::optional<GoogleRestoredSession> session;
    std::vector<DriveRecoveryItem> pending;
    std::vector<std::optional<std::string>> resumedWith;
    DriveShareResult result{"f", "https://drive.example/file/1", "ab", DriveLinkRole::writer};
    std::unique_ptr<GoogleConnectionModel> model;
};

}  // namespace tolvane::test
