#include "Tolvane/model/GoogleConnectionModel.h"

#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>

#include "core/common/Cancellation.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "support/FakeDrive.h"

namespace tolvane::test {
namespace {

using Kind = GoogleConnectionModel::TransferState::Kind;
using Model = GoogleConnectionModel;
const GoogleIdentity alice{FakeDrive::account, "alice@example.com"};
const GoogleIdentity bob{"bob", std::nullopt};

// Runs the event loop until the condition holds; the limit only stops a hung test.
bool eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 60000);
}

// Named points where the fake calls wait while the test holds them. A held call also ends when
// its stop token asks it to, with OperationCancelled.
class Gate {
public:
    void hold(const std::string& name) {
        update([&] { held_.insert(name); });
    }
    void release(const std::string& name) {
        update([&] { held_.erase(name); });
    }
    void releaseAll() {
        update([&] { held_.clear(); });
    }
    void enter(const std::string& name, std::stop_token stop = {}) {
        std::unique_lock lock(mutex_);
        entered_.push_back(name);
        changed_.notify_all();
        if (!changed_.wait(lock, stop, [&] { return !held_.contains(name); })) {
            throw OperationCancelled();
        }
    }
    // Runs the event loop meanwhile: some calls are made only once an outcome was applied.
    bool waitEntered(const std::string& name, long times = 1) {
        return eventually([&] {
            const std::lock_guard lock(mutex_);
            return std::count(entered_.begin(), entered_.end(), name) >= times;
        });
    }
    std::string log() {
        const std::lock_guard lock(mutex_);
        std::string text;
        for (const auto& name : entered_) {
            text += (text.empty() ? "" : " ") + name;
        }
        return text;
    }

private:
    template <typename Change>
    void update(Change change) {
        {
            const std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::set<std::string> held_;
    std::vector<std::string> entered_;
};

struct ScriptedProvider final : GoogleAuthProvider {
    explicit ScriptedProvider(Gate& gate) : gate(gate) {}
    Gate& gate;
    std::optional<GoogleRestoredSession> session;
    GoogleIdentity next = alice;  // who signs in

    std::optional<GoogleRestoredSession> restoreSession() override {
        return gate.enter("restore"), session;
    }
    GoogleIdentity signIn() override { return gate.enter("signIn"), next; }
    void requestDriveScope(const GoogleIdentity&) override { gate.enter("scope"); }
    void refreshSession(const GoogleIdentity&) override {}
    void signOut() override { gate.enter("signOut"); }
    void revokeConsent() override { gate.enter("revoke"); }
    void cancelAuthorization() noexcept override {}
};

class GoogleConnectionModelTest : public ::testing::Test {
protected:
    GoogleConnectionModelTest() {
        QObject::connect(model.get(), &Model::hasActiveTransferChanged,
                         [this] { flips.push_back(model->hasActiveTransfer()); });
        QObject::connect(model.get(), &Model::transferStateChanged,
                         [this] { kinds.push_back(model->transferState().kind); });
    }
    ~GoogleConnectionModelTest() override {
        gate.releaseAll();
        model.reset();
    }

    Model::Operations operations() {
        const auto fail = [](const std::exception_ptr& error) {
            if (error) {
                std::rethrow_exception(error);
            }
        };
        return {[=, this](const VerifiedArchive&, DriveLinkRole, const GoogleIdentity&,
                          const Model::ProgressHandler& progress, std::stop_token stop) {
                    progress({DriveTransferProgress::Stage::uploading, 5, 10});
                    gate.enter("share", stop);
                    fail(shareError);
                    return result;
                },
                [=, this](const std::string&) {
                    gate.enter("list");
                    fail(listError);
                    return pending;
                },
                [=, this](const Uuid&, const std::optional<std::string>& selected,
                          const GoogleIdentity&, const Model::ProgressHandler&, std::stop_token) {
                    gate.enter("resume");
                    if (!selected) {
                        throw DriveTransferError::archiveNeedsReselection();
                    }
                    return result;
                },
                [=, this](const Uuid&, const GoogleIdentity&, std::stop_token) {
                    gate.enter("link");
                    fail(linkError);
                    return result.link;
                }};
    }

    // Runs an account operation to its end.
    void run(void (Model::*operation)(std::function<void()>)) {
        bool done = false;
        (model.get()->*operation)([&] { done = true; });
        ASSERT_TRUE(eventually([&] { return done; }));
    }
    void restoreAlice() {
        provider->session = GoogleRestoredSession{alice, true};
        run(&Model::restoreIfNeeded);
        ASSERT_EQ(model->state(), GoogleAuthState::connected(alice));
    }
    bool idle() {
        return eventually([&] { return !model->hasActiveTransfer(); });
    }

    Gate gate;
    std::shared_ptr<ScriptedProvider> provider = std::make_shared<ScriptedProvider>(gate);
    std::exception_ptr shareError, listError, linkError;
    DriveShareResult result{"file-1", "https://drive.example/1", "ab", DriveLinkRole::writer};
    std::vector<DriveRecoveryItem> pending{{Uuid::random(), "a.zip", 10, "uploading"}};
    const VerifiedArchive archive{Uuid::random(), "/data/a.zip", 10, "ab"};
    std::unique_ptr<Model> model =
        std::make_unique<Model>(std::make_shared<GoogleAuthCoordinator>(provider), operations());
    std::vector<bool> flips;
    std::vector<Kind> kinds;
};

TEST_F(GoogleConnectionModelTest, RestoresOnceAndTheLastCompletedOperationWins) {
    provider->session = GoogleRestoredSession{alice, true};
    gate.hold("restore");
    bool restored = false, again = false, connected = false;
    model->restoreIfNeeded([&] { restored = true; });
    model->restoreIfNeeded([&] { again = true; });
    EXPECT_TRUE(again);  // returns at once while the first still waits
    ASSERT_TRUE(gate.waitEntered("restore"));

    gate.hold("signIn");
    provider->next = bob;
    model->connect([&] { connected = true; });
    ASSERT_TRUE(gate.waitEntered("signIn"));
    gate.release("restore");
    ASSERT_TRUE(eventually([&] { return restored; }));
    // The coordinator dropped the restore's answer: a sign-in had begun meanwhile.
    EXPECT_EQ(model->state(), GoogleAuthState::authorizing());
    EXPECT_TRUE(model->pendingTransfers().empty());

    gate.release("signIn");
    ASSERT_TRUE(eventually([&] { return connected; }));
    EXPECT_EQ(model->state(), GoogleAuthState::connected(bob));
    EXPECT_EQ(model->pendingTransfers(), pending);
    run(&Model::restoreIfNeeded);
    EXPECT_EQ(gate.log(), "restore signIn scope list");
}

TEST_F(GoogleConnectionModelTest, SigningOutOrRevokingFirstPausesTheTransfer) {
    restoreAlice();
    for (const auto operation : {&Model::signOut, &Model::revokeConsent}) {
        kinds.clear();
        gate.hold("share");
        model->shareVerifiedArchive(archive, DriveLinkRole::reader);
        ASSERT_TRUE(gate.waitEntered("share", operation == &Model::signOut ? 1 : 2));
        run(operation);
        EXPECT_EQ(kinds,
                  (std::vector{Kind::uploading, Kind::cancelling, Kind::paused, Kind::idle}));
        EXPECT_EQ(model->state(), GoogleAuthState::signedOut());
        EXPECT_EQ(model->transferProgress(), std::nullopt);
        EXPECT_TRUE(model->pendingTransfers().empty());
        gate.release("share");
        run(&Model::connect);
    }
    EXPECT_EQ(flips, (std::vector{true, false, true, false}));
    EXPECT_EQ(gate.log(),
              "restore list share signOut signIn scope list share revoke signIn "
              "scope list");
}

TEST_F(GoogleConnectionModelTest, OneShareAtATimeAndHowItEnds) {
    model->shareVerifiedArchive(archive, DriveLinkRole::reader);
    EXPECT_EQ(model->transferState(),
              Model::TransferState::share(Kind::failed, archive, std::nullopt,
                                          "Google Drive 계정을 먼저 연결해 주세요."));
    restoreAlice();
    struct Case {
        std::exception_ptr error;
        bool cancel;
        Model::TransferState::Kind kind;
        QString message;
    };
    const auto error = [](auto e) { return std::make_exception_ptr(e); };
    const std::vector<Case> cases = {
        {{}, false, Kind::shared, {}},
        {{}, true, Kind::paused, {}},  // finished after the user pressed stop
        {error(OperationCancelled()), false, Kind::paused, {}},
        {error(TransportError(TransportError::Kind::cancelled, "")), false, Kind::paused, {}},
        {error(TransportError(TransportError::Kind::connectionLost, "")), false, Kind::failed,
         "네트워크 연결을 확인하고 다시 시도해 주세요."},
        {error(42), false, Kind::failed,
         "Drive 작업을 마치지 못했습니다. 잠시 뒤 다시 시도해 주세요."},
        {error(DriveTransferError::reauthRequired()), false, Kind::failed,
         DriveTransferError::reauthRequired().what()},
    };
    for (const Case& c : cases) {
        shareError = c.error;
        gate.hold("share");
        model->shareVerifiedArchive(archive, DriveLinkRole::writer);
        model->shareVerifiedArchive({Uuid::random(), "/data/b.zip", 1, "cd"},
                                    DriveLinkRole::reader);
        ASSERT_TRUE(eventually([&] { return model->transferProgress().has_value(); }));
        if (c.cancel) {
            model->cancelTransfer();
            EXPECT_EQ(model->transferState().kind, Kind::cancelling);
        }
        gate.release("share");
        ASSERT_TRUE(idle());
        EXPECT_EQ(model->transferState(),
                  Model::TransferState::share(
                      c.kind, archive,
                      c.kind == Kind::shared ? std::optional(result) : std::nullopt, c.message));
        EXPECT_EQ(model->activeShareRole(), DriveLinkRole::writer);
    }
    EXPECT_EQ(model->state(), GoogleAuthState::reauthRequired(alice));
    EXPECT_EQ(flips.size(), 2 * cases.size());

    // A new archive packed under the same path is another archive: not shown as shared, and
    // sharing it starts.
    const VerifiedArchive repacked{Uuid::random(), archive.url, 12, "ef"};
    EXPECT_TRUE(model->transferState().concerns(archive));
    EXPECT_FALSE(model->transferState().concerns(repacked));
}

TEST_F(GoogleConnectionModelTest, ResumeAsksForTheFileThenRefreshesBeforeItEnds) {
    restoreAlice();
    model->resume(pending[0]);
    ASSERT_TRUE(idle());
    EXPECT_EQ(model->transferState(),
              Model::TransferState::recovery(Kind::recoveryNeedsFile, pending[0].jobID));

    gate.hold("list");
    const auto item = pending[0];
    pending.clear();
    model->resume(item, "/data/again.zip");
    ASSERT_TRUE(gate.waitEntered("list", 2));
    ASSERT_TRUE(eventually([&] { return model->transferState().kind == Kind::recoveryShared; }));
    EXPECT_TRUE(model->hasActiveTransfer());  // until the list is refreshed
    gate.release("list");
    ASSERT_TRUE(idle());
    EXPECT_TRUE(model->pendingTransfers().empty());
}

TEST_F(GoogleConnectionModelTest, AnswersArrivingAfterSignOutAreDropped) {
    restoreAlice();
    linkError = std::make_exception_ptr(DriveTransferError::reauthRequired());
    gate.hold("link");
    gate.hold("list");
    std::optional<WorkOutcome<std::string>> link;
    bool listed = false;
    model->verifiedLink(pending[0].jobID, [&](WorkOutcome<std::string> o) { link = o; });
    model->refreshPendingTransfers([&] { listed = true; });
    ASSERT_TRUE(gate.waitEntered("list", 2));
    run(&Model::signOut);
    gate.releaseAll();
    ASSERT_TRUE(eventually([&] { return link && listed; }));
    EXPECT_TRUE(link->error);
    EXPECT_EQ(model->state(), GoogleAuthState::signedOut());
    EXPECT_TRUE(model->pendingTransfers().empty());
}

TEST_F(GoogleConnectionModelTest, DestroyingTheModelStopsTheTransfer) {
    restoreAlice();
    gate.hold("share");
    model->shareVerifiedArchive(archive, DriveLinkRole::reader);
    ASSERT_TRUE(gate.waitEntered("share"));
    model.reset();  // returns only once the worker has ended
}

TEST(GoogleConnectionModelDriveTest, SharesThroughTheLoopbackDrive) {
    FakeDriveServer server;
    Gate gate;
    auto provider = std::make_shared<ScriptedProvider>(gate);
    provider->session = GoogleRestoredSession{alice, true};
    Model model(std::make_shared<GoogleAuthCoordinator>(provider),
                Model::driveOperations(
                    std::make_shared<const GoogleDriveTransferClient>(server.drive->steps),
                    [](const GoogleIdentity& who) { return "token-" + who.subject; }));
    bool restored = false;
    model.restoreIfNeeded([&] { restored = true; });
    ASSERT_TRUE(eventually([&] { return restored; }));
    const VerifiedArchive zip = server.drive->archive("a.zip", std::string(600'000, 'z'));
    model.shareVerifiedArchive(zip, DriveLinkRole::reader);
    ASSERT_TRUE(eventually([&] { return !model.hasActiveTransfer(); }));
    const auto& state = model.transferState();
    ASSERT_EQ(state.kind, Kind::shared) << state.message.toStdString();
    EXPECT_EQ(model.transferProgress()->acknowledgedBytes, 600'000);
    EXPECT_EQ(server.drive->upload(zip.jobID).content.size(), 600'000u);

    std::optional<WorkOutcome<std::string>> link;
    model.verifiedLink(zip.jobID, [&](WorkOutcome<std::string> o) { link = o; });
    ASSERT_TRUE(eventually([&] { return link.has_value(); }));
    EXPECT_EQ(link->value, state.result->link);
}

}  // namespace
}  // namespace tolvane::test
