#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include <atomic>

#include "Tolvane/FakeJobBackend.h"
#include "Tolvane/app/TolvaneApp.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/ui/ArchiveNameSheet.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "core/common/Cancellation.h"

namespace tolvane::test {
namespace {

// A provider with no stored session that counts how often it is asked for one.
struct CountingProvider final : GoogleAuthProvider {
    std::atomic<int> restores = 0;
    std::optional<GoogleRestoredSession> restoreSession() override {
        ++restores;
        return std::nullopt;
    }
    GoogleIdentity signIn(std::stop_token) override { throw OperationCancelled(); }
    void requestDriveScope(const GoogleIdentity&, std::stop_token) override {}
    void refreshSession(const GoogleIdentity&, std::stop_token) override {}
    void signOut() override {}
    void revokeConsent(std::stop_token) override {}
    void cancelAuthorization() noexcept override {}
};

// The application over models of the test's own, with the settings in a folder of the test and
// the quit protocol's alert and exit recorded.
class TolvaneAppTest : public ::testing::Test {
protected:
    TolvaneAppTest() {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(settingsRoot.path()));
        QCoreApplication::setOrganizationName(QStringLiteral("Tolvane"));
        QCoreApplication::setApplicationName(QStringLiteral("VeskaTest"));
    }
    ~TolvaneAppTest() override {
        app.reset();
        backend->releaseAll();
    }

    TolvaneApp& start() {
        TolvaneApp::Environment environment;
        environment.makeJobModel = [this] {
            ++made["job"];
            auto model = std::make_unique<DeliveryJobModel>(backend, root.path());
            jobModel = model.get();
            return model;
        };
        environment.makeGoogleModel = [this] {
            ++made["google"];
            GoogleConnectionModel::Operations operations;
            operations.recoveryListOperation = [](const std::string&) {
                return std::vector<DriveRecoveryItem>();
            };
            return std::make_unique<GoogleConnectionModel>(
                std::make_shared<GoogleAuthCoordinator>(provider), std::move(operations));
        };
        environment.makeExternalVolumes = [this](std::function<void()> onMount) {
            ++made["volumes"];
            ExternalVolumeStore::Hooks hooks;
            hooks.scan = [] { return std::vector<ExternalVolume>(); };
            hooks.onMount = std::move(onMount);
            return std::make_unique<ExternalVolumeStore>(center, std::move(hooks));
        };
        environment.quit = {[this](const QuitAlertText&) {
                                ++asked;
                                if (onAsk) {
                                    onAsk();
                                }
                                return answer;
                            },
                            [this] { ++terminations; }};
        app = std::make_unique<TolvaneApp>(*qApp, std::move(environment));
        return *app;
    }

    QMainWindow* window(int index) const { return app->windows().value(index); }
    static ContentView* content(QMainWindow* window) {
        return qobject_cast<ContentView*>(window->centralWidget());
    }
    static QAction* action(QMainWindow* window, const QString& text) {
        for (QAction* menu : window->menuBar()->actions()) {
            for (QAction* item : menu->menu()->actions()) {
                if (item->text() == text) {
                    return item;
                }
            }
        }
        ADD_FAILURE() << "no menu item " << text.toStdString();
        return nullptr;
    }
    // A key press as the user makes it: to the active window, through its shortcuts.
    static void press(QMainWindow* window, QKeyCombination keys) {
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        QTest::keyClick(window, keys.key(), keys.keyboardModifiers());
    }

    TempDir settingsRoot;
    TempDir root;
    std::shared_ptr<FakeJobBackend> backend = std::make_shared<FakeJobBackend>();
    std::shared_ptr<CountingProvider> provider = std::make_shared<CountingProvider>();
    VolumeNotificationCenter center;
    std::map<std::string, int> made;
    DeliveryJobModel* jobModel = nullptr;
    int asked = 0;
    // The alert's answer: "계속 작업" unless a test says otherwise.
    bool answer = false;
    std::function<void()> onAsk;
    int terminations = 0;
    std::unique_ptr<TolvaneApp> app;
};

TEST_F(TolvaneAppTest, EveryWindowHasTheMenusAndTheirShortcutsDoWhatTheySay) {
    start().openWindow();
    std::vector<std::string> items;
    for (QAction* menu : window(0)->menuBar()->actions()) {
        for (QAction* item : menu->menu()->actions()) {
            if (!item->isSeparator()) {
                items.push_back((menu->text() + " > " + item->text() + " " +
                                 item->shortcut().toString(QKeySequence::PortableText))
                                    .trimmed()
                                    .toStdString());
            }
        }
    }
    EXPECT_EQ(items,
              (std::vector<std::string>{"파일 > 새 창 Ctrl+N", "파일 > 창 닫기 Ctrl+W",
                                        "파일 > Veska 종료 Ctrl+Q", "모양 > 다크", "모양 > 라이트",
                                        "모양 > 시스템 설정", "창 > 최소화 Ctrl+M"}));

    // Each row presses a shortcut in the newest window.
    const struct {
        QKeyCombination keys;
        qsizetype windowsAfter;
        int terminationsAfter;
    } presses[] = {
        {Qt::CTRL | Qt::Key_N, 2, 0},
        {Qt::CTRL | Qt::Key_N, 3, 0},
        {Qt::CTRL | Qt::Key_W, 2, 0},  // only that window goes
        {Qt::CTRL | Qt::Key_M, 2, 0},
        {Qt::CTRL | Qt::Key_Q, 2, 1},  // nothing runs: the quit is not questioned
    };
    for (const auto& p : presses) {
        const QString keys = QKeySequence(p.keys).toString();
        QMainWindow* newest = app->windows().back();
        press(newest, p.keys);
        EXPECT_EQ(app->windows().size(), p.windowsAfter) << keys.toStdString();
        EXPECT_EQ(terminations, p.terminationsAfter) << keys.toStdString();
        if (p.keys == (Qt::CTRL | Qt::Key_M)) {
            EXPECT_TRUE(newest->isMinimized());
            EXPECT_FALSE(window(0)->isMinimized());
        }
    }
    EXPECT_EQ(asked, 0);
}

TEST_F(TolvaneAppTest, TheAppearanceIsStoredAndEveryWindowIsDrawnInIt) {
    const struct {
        std::optional<QString> stored;
        Appearance atStart;
    } starts[] = {
        {std::nullopt, Appearance::dark},
        {QStringLiteral("light"), Appearance::light},
        {QStringLiteral("dark"), Appearance::dark},
        {QStringLiteral("Light"), Appearance::dark},  // written by hand: not a known choice
    };
    for (const auto& s : starts) {
        const std::string name = s.stored.value_or("(none)").toStdString();
        QSettings().remove(TolvaneApp::appearanceKey);
        if (s.stored) {
            QSettings().setValue(TolvaneApp::appearanceKey, *s.stored);
        }
        start().openWindow();
        app->openWindow();
        QCoreApplication::processEvents();
        for (QMainWindow* w : app->windows()) {
            EXPECT_EQ(VeskaTheme::appearanceOf(w->palette()), s.atStart) << name;
        }

        // The menu of either window changes every window and the stored choice at once.
        const struct {
            int window;
            const char* item;
            const char* value;
            std::optional<Appearance> drawn;  // under "system" the desktop decides
        } choices[] = {
            {1, "라이트", "light", Appearance::light},
            {0, "다크", "dark", Appearance::dark},
            {1, "시스템 설정", "system", std::nullopt},
            {0, "라이트", "light", Appearance::light},
        };
        for (const auto& c : choices) {
            action(window(c.window), QString::fromUtf8(c.item))->trigger();
            EXPECT_EQ(QSettings().value(TolvaneApp::appearanceKey).toString(),
                      QString::fromLatin1(c.value))
                << name << " " << c.item;
            QCoreApplication::processEvents();  // the windows hear of the palette by event
            for (QMainWindow* w : app->windows()) {
                if (c.drawn) {
                    EXPECT_EQ(VeskaTheme::appearanceOf(w->palette()), *c.drawn)
                        << name << " " << c.item;
                }
            }
        }
        app.reset();
    }
}

TEST_F(TolvaneAppTest, WindowsShareTheModelsAndTheAccountIsRestoredOnce) {
    start().openWindow();
    app->openWindow();
    ASSERT_EQ(app->windows().size(), 2);
    ASSERT_TRUE(eventually([&] { return provider->restores > 0; }));
    app->openWindow();  // after the restore has run
    EXPECT_EQ(made, (std::map<std::string, int>{{"google", 1}, {"job", 1}, {"volumes", 1}}));

    // What one window starts, every window shows.
    jobModel->addInputs({root.file("a.txt")});
    for (QMainWindow* w : app->windows()) {
        EXPECT_EQ(content(w)->workspaceContent(), content(w)->inputListPlace());
    }
    backend->next()->release();
    ASSERT_TRUE(eventually([&] { return jobModel->inputSnapshot().has_value(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(provider->restores, 1);
}

TEST_F(TolvaneAppTest, ClosingTheLastWindowIsAQuitRequest) {
    const struct {
        const char* name;
        int windows;
        bool busy;
        bool closed;
        qsizetype windowsAfter;
        int askedAfter, terminationsAfter;
    } cases[] = {
        {"another window stays open", 2, false, true, 1, 0, 0},
        {"the last window, nothing running", 1, false, false, 1, 0, 1},
        {"the last window while work runs, kept", 1, true, false, 1, 1, 0},
    };
    for (const auto& c : cases) {
        asked = terminations = 0;
        start();
        for (int i = 0; i < c.windows; ++i) {
            app->openWindow();
        }
        std::shared_ptr<HeldCall> capture;
        if (c.busy) {
            jobModel->addInputs({root.file("a.txt")});
            capture = backend->next();
        }
        EXPECT_EQ(window(0)->close(), c.closed) << c.name;  // the title bar's button, or 창 닫기
        EXPECT_EQ(app->windows().size(), c.windowsAfter) << c.name;
        EXPECT_EQ(asked, c.askedAfter) << c.name;
        EXPECT_EQ(terminations, c.terminationsAfter) << c.name;
        if (capture) {
            capture->release();
            ASSERT_TRUE(eventually([&] { return jobModel->inputSnapshot().has_value(); }));
        }
        app.reset();
    }
}

// Ctrl+Q in a sheet while work runs asks first, with every sheet still open. "계속 작업" leaves
// them as they were (the name typed, the folder chosen); only a quit that goes ahead cancels
// them, before the work is stopped and the application ends.
TEST_F(TolvaneAppTest, AQuitTheUserDeclinesLeavesTheSheetsAsTheyWere) {
    for (const bool quit : {false, true}) {
        SCOPED_TRACE(quit ? "취소 후 종료" : "계속 작업");
        asked = terminations = 0;
        answer = quit;
        start();
        app->openWindow();
        app->openWindow();
        jobModel->addInputs({root.file("a.txt")});
        const std::shared_ptr<HeldCall> capture = backend->next();
        ContentView* second = content(window(1));
        second->setPendingArchiveSave(
            ContentView::PendingArchiveSave{Uuid::random(), root.path(), std::nullopt, nullptr});
        const QPointer<ArchiveNameSheet> sheet = second->nameSheet();
        ASSERT_TRUE(sheet && sheet->isVisible());
        auto* field = sheet->findChild<QLineEdit*>();
        ASSERT_NE(field, nullptr);
        field->selectAll();
        QTest::keyClicks(field, QStringLiteral("report"));
        bool openWhenAsked = false;
        onAsk = [&] { openWhenAsked = sheet && sheet->isVisible(); };

        QTest::keyClick(field, Qt::Key_Q, Qt::ControlModifier);
        EXPECT_EQ(asked, 1);
        EXPECT_TRUE(openWhenAsked);
        if (quit) {
            EXPECT_TRUE(!sheet || !sheet->isVisible());
            EXPECT_FALSE(second->pendingArchiveSave().has_value());
        } else {
            ASSERT_TRUE(sheet && sheet->isVisible());
            EXPECT_EQ(sheet->enteredName(), QStringLiteral("report"));
            ASSERT_TRUE(second->pendingArchiveSave().has_value());
            EXPECT_EQ(second->pendingArchiveSave()->folder, root.path());
        }
        capture->release();
        ASSERT_TRUE(
            eventually([&] { return !jobModel->isBusy() && terminations == (quit ? 1 : 0); }));
        EXPECT_EQ(asked, 1);
        onAsk = {};
        app.reset();
    }
}

}  // namespace
}  // namespace tolvane::test
