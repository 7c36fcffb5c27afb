#include "Tolvane/model/GoogleConnectionModel.h"

#include <QTest>

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "Tolvane/model/BackgroundWork.h"
#include "Tolvane/model/GoogleSignInProvider.h"
#include "core/common/Cancellation.h"
#include "core/drive/DriveHTTP.h"
#include "core/drive/DriveTransferError.h"
#include "core/drive/GoogleDriveTransferClient.h"
#include "signin/FakeOAuth.h"
#include "signin/MemorySessionStore.h"
#include "support/FakeDrive.h"
#include "support/Watchdog.h"

namespace tolvane::test {
namespace {

using Kind = GoogleConnectionModel::TransferState::Kind;
using Model = GoogleConnectionModel;
const GoogleIdentity alice{FakeDrive::account, "alice@example.com"}, bob{"bob", {}};

// Runs the event loop until the condition holds; the limit only stops a hung test.
bool eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 60000);
}

// Named points where the fake calls wait while the test holds them, then throw the point's
// failure if one is set. A held call also ends when its stop token asks it to.
class Gate {
public:
    // Also sets what the point throws once let go (nothing: it returns).
    void hold(const std::string& name, std::exception_ptr failure = {}) {
        const std::lock_guard lock(mutex_);
        held_.insert(name);
        failures_[name] = std::move(failure);
    }
    void release(const std::string& name = {}) {
        const std::lock_guard lock(mutex_);
        name.empty() ? held_.clear() : void(held_.erase(name));
        changed_.notify_all();
    }
    void enter(const std::string& name, std::stop_token stop = {}) {
        std::unique_lock lock(mutex_);
        log += (log.empty() ? "" : " ") + name;
        ++entered_[name];
        if (!changed_.wait(lock, stop, [&] { return !held_.contains(name); })) {
            throw OperationCancelled();
        }
        if (failures_[name]) {
            std::rethrow_exception(failures_[name]);
        }
    }
    // Runs the event loop meanwhile: some calls are made only once an outcome was applied.
    bool waitEntered(const std::string& name, int times = 1) {
        return eventually([&] {
            const std::lock_guard lock(mutex_);
            return entered_[name] >= times;
        });
    }
    std::string log;  // the calls in order; read once the workers are done

private:
    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::set<std::string> held_;
    std::map<std::string, std::exception_ptr> failures_;
    std::map<std::string, int> entered_;
};

struct ScriptedProvider final : GoogleAuthProvider {
    explicit ScriptedProvider(Gate& gate) : gate(gate) {}
    Gate& gate;
    std::optional<GoogleRestoredSession> session;
    GoogleIdentity next = alice;  // who signs in

    std::optional<GoogleRestoredSession> restoreSession() override {
        return gate.enter("restore"), session;
    }
    GoogleIdentity signIn(std::stop_token stop) override {
        return gate.enter("signIn", stop), next;
    }
    void requestDriveScope(const GoogleIdentity&, std::stop_token stop) override {
        gate.enter("scope", stop);
    }
    void refreshSession(const GoogleIdentity&, std::stop_token) override {}
    void signOut() override { gate.enter("signOut"); }
    void revokeConsent(std::stop_token stop) override { gate.enter("revoke", stop); }
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
        gate.release();
        model.reset();
    }

    Model::Operations operations() {
        return {[this](const VerifiedArchive&, DriveLinkRole, const GoogleIdentity&,
                       const Model::ProgressHandler& progress, std::stop_token stop) {
                    progress({DriveTransferProgress::Stage::uploading, 5, 10});
                    return gate.enter("share", stop), result;
                },
                [this](const std::string&) { return gate.enter("list"), pending; },
                [this](const Uuid&, const std::optional<std::string>& selected,
                       const GoogleIdentity&, const Model::ProgressHandler&, std::stop_token) {
                    return selected ? (gate.enter("resume"), result)
                                    : throw DriveTransferError::archiveNeedsReselection();
                },
                [this](const Uuid&, const GoogleIdentity&, std::stop_token) {
                    return gate.enter("link"), result.link;
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
    }

    Gate gate;
    std::shared_ptr<ScriptedProvider> provider = std::make_shared<ScriptedProvider>(gate);
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

    gate.release("signIn");
    ASSERT_TRUE(eventually([&] { return connected; }));
    EXPECT_EQ(model->state(), GoogleAuthState::connected(bob));
    EXPECT_EQ(model->pendingTransfers(), pending);
    EXPECT_EQ(gate.log, "restore signIn scope list");
}

TEST_F(GoogleConnectionModelTest, SigningOutOrRevokingPausesTheTransferButConnectingDoesNot) {
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
        gate.release("share");
        run(&Model::connect);
    }
    EXPECT_EQ(flips, (std::vector{true, false, true, false}));
    EXPECT_EQ(gate.log,
              "restore list share signOut signIn scope list share revoke signIn "
              "scope list");

    gate.hold("share", std::make_exception_ptr(DriveTransferError::reauthRequired()));
    model->shareVerifiedArchive(archive, DriveLinkRole::reader);
    provider->next = bob;
    run(&Model::connect);
    EXPECT_EQ(model->transferState().kind, Kind::idle);  // not shown to another account
    EXPECT_TRUE(model->hasActiveTransfer());
    gate.release("share");
    ASSERT_TRUE(eventually([&] { return !model->hasActiveTransfer(); }));
    // Alice's refused token says nothing about bob's connection.
    EXPECT_EQ(model->state(), GoogleAuthState::connected(bob));

    gate.hold("share");
    model->shareVerifiedArchive(archive, DriveLinkRole::reader);
    ASSERT_TRUE(gate.waitEntered("share", 4));
    model.reset();  // stops the transfer and returns only once its worker has ended
}

// Signing out or revoking shows its busy state from the press on, also while the transfer is
// still stopping, and refuses the other way out until it has ended: pressed together, a
// revocation would otherwise find the session gone and never reach Google.
TEST_F(GoogleConnectionModelTest, OneWayOutOfTheSessionAtATime) {
    const struct {
        const char* name;
        void (Model::*first)(std::function<void()>);
        void (Model::*second)(std::function<void()>);
        GoogleAuthState busy;
        const char* call;
    } rows[] = {
        {"sign out, then revoke", &Model::signOut, &Model::revokeConsent,
         GoogleAuthState::signingOut(), "signOut"},
        {"revoke, then sign out", &Model::revokeConsent, &Model::signOut,
         GoogleAuthState::revokingConsent(), "revoke"},
    };
    restoreAlice();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        gate.log.clear();
        gate.hold("share");
        model->shareVerifiedArchive(archive, DriveLinkRole::reader);
        ASSERT_TRUE(gate.waitEntered("share", row.first == &Model::signOut ? 1 : 2));
        bool firstDone = false, secondDone = false;
        (model.get()->*row.first)([&] { firstDone = true; });
        EXPECT_TRUE(model->hasActiveTransfer());  // still stopping
        EXPECT_EQ(model->state(), row.busy);
        (model.get()->*row.second)([&] { secondDone = true; });
        EXPECT_TRUE(secondDone);
        ASSERT_TRUE(eventually([&] { return firstDone; }));
        EXPECT_EQ(model->state(), GoogleAuthState::signedOut());
        EXPECT_EQ(gate.log, "share " + std::string(row.call));
        gate.release("share");
        run(&Model::connect);
        // Once it has ended, the other is offered again.
        EXPECT_EQ(model->state(), GoogleAuthState::connected(alice));
    }
}

TEST_F(GoogleConnectionModelTest, OneShareAtATimeAndHowItEnds) {
    model->shareVerifiedArchive(archive, DriveLinkRole::reader);
    EXPECT_EQ(model->transferState(),
              Model::TransferState::share(Kind::failed, archive, std::nullopt,
                                          "Google Drive 계정을 먼저 연결해 주세요."));
    restoreAlice();
    const auto error = [](auto e) { return std::make_exception_ptr(e); };
    // What the share throws, whether the user stops it first, and how it ends.
    const std::vector<std::tuple<std::exception_ptr, bool, Kind, QString>> cases = {
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
    for (const auto& [thrown, cancel, kind, message] : cases) {
        gate.hold("share", thrown);
        model->shareVerifiedArchive(archive, DriveLinkRole::writer);
        model->shareVerifiedArchive({Uuid::random(), "/data/b.zip", 1, "cd"},
                                    DriveLinkRole::reader);
        ASSERT_TRUE(eventually([&] { return model->transferProgress().has_value(); }));
        if (cancel) {
            model->cancelTransfer();
            EXPECT_EQ(model->transferState().kind, Kind::cancelling);
        }
        gate.release("share");
        ASSERT_TRUE(eventually([&] { return !model->hasActiveTransfer(); }));
        EXPECT_EQ(model->transferState(),
                  Model::TransferState::share(
                      kind, archive, kind == Kind::shared ? std::optional(result) : std::nullopt,
                      message));
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
    ASSERT_TRUE(eventually([&] { return !model->hasActiveTransfer(); }));
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
    ASSERT_TRUE(eventually([&] { return !model->hasActiveTransfer(); }));
    EXPECT_TRUE(model->pendingTransfers().empty());
}

TEST_F(GoogleConnectionModelTest, AnswersArrivingAfterSignOutAreDropped) {
    restoreAlice();
    gate.hold("link", std::make_exception_ptr(DriveTransferError::reauthRequired()));
    gate.hold("list");
    std::optional<WorkOutcome<std::string>> link;
    bool listed = false;
    model->verifiedLink(pending[0].jobID, [&](WorkOutcome<std::string> o) { link = o; });
    model->refreshPendingTransfers([&] { listed = true; });
    ASSERT_TRUE(gate.waitEntered("list", 2));
    run(&Model::signOut);
    gate.release();
    ASSERT_TRUE(eventually([&] { return link && listed; }));
    EXPECT_TRUE(link->error);
    EXPECT_EQ(model->state(), GoogleAuthState::signedOut());
    EXPECT_TRUE(model->pendingTransfers().empty());
}

TEST_F(GoogleConnectionModelTest, SharesThroughTheLoopbackDrive) {
    FakeDriveServer server;
    model = std::make_unique<Model>(
        std::make_shared<GoogleAuthCoordinator>(provider),
        Model::driveOperations(
            std::make_shared<const GoogleDriveTransferClient>(server.drive->steps),
            [](const GoogleIdentity& who, std::stop_token) { return "token-" + who.subject; }));
    restoreAlice();
    const VerifiedArchive zip = server.drive->archive("a.zip", std::string(600'000, 'z'));
    model->shareVerifiedArchive(zip, DriveLinkRole::reader);
    ASSERT_TRUE(eventually([&] { return !model->hasActiveTransfer(); }));
    const auto& state = model->transferState();
    ASSERT_EQ(state.kind, Kind::shared) << state.message.toStdString();
    EXPECT_EQ(model->transferProgress()->acknowledgedBytes, 600'000);
    EXPECT_EQ(server.drive->upload(zip.jobID).content.size(), 600'000u);

    std::optional<WorkOutcome<std::string>> link;
    model->verifiedLink(zip.jobID, [&](WorkOutcome<std::string> o) { link = o; });
    ASSERT_TRUE(eventually([&] { return link.has_value(); }));
    EXPECT_EQ(link->value, state.result->link);
}

// The desktop hooks of a real sign-in wait for the GUI thread; a model destroyed there while a
// connect is starting (a quit in its first moments) must not wait for them in turn.
TEST(GoogleConnectionModelShutdown, EndsWhileAConnectWaitsForTheDesktop) {
    const Watchdog watchdog("destroying the model while a connect starts");
    FakeOAuthServer server;
    GoogleSignInProvider::Hooks hooks = GoogleSignInProvider::desktopHooks();
    hooks.infoValue = [](const QString& key) {
        return key == "GIDClientID" ? QVariant(QString::fromStdString(fakeClientID)) : QVariant();
    };
    const auto store = std::make_shared<MemorySessionStore>();
    const auto provider = std::make_shared<GoogleSignInProvider>(
        std::make_shared<GoogleSignIn>(server.configuration(), store, server.transport()), hooks);
    for (int round = 0; round < 3; ++round) {
        auto model = std::make_unique<Model>(std::make_shared<GoogleAuthCoordinator>(provider),
                                             Model::Operations{});
        model->connect();
        model.reset();
    }
    // The desktop calls still queued are skipped: nothing of those sign-ins goes on.
    QTest::qWait(50);
    EXPECT_TRUE(server.calls().empty());
    EXPECT_EQ(store->stored(), std::nullopt);
}

// Work that does not stop when asked (the keyring waiting for the user) does not hold the model's
// end for good; it is left behind and ends by itself.
TEST_F(GoogleConnectionModelTest, ShutdownLeavesBehindWorkThatCannotStop) {
    const Watchdog watchdog("destroying the model while a listing is held");
    restoreAlice();
    gate.hold("list");
    model->refreshPendingTransfers([] { ADD_FAILURE() << "applied after the model was gone"; });
    ASSERT_TRUE(gate.waitEntered("list", 2));
    model.reset();
    EXPECT_FALSE(WorkerPool::waitForAll(std::chrono::milliseconds(0)));
    gate.release("list");
    EXPECT_TRUE(WorkerPool::waitForAll(std::chrono::seconds(30)));
    QTest::qWait(50);
}

}  // namespace
}  // namespace tolvane::test
