#include <QAbstractButton>
#include <QDir>
#include <QSysInfo>
#include <QUrl>

#include <gtest/gtest.h>

#include "Tolvane/FakeJobBackend.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/DropZoneView.h"
#include "Tolvane/ui/HeldDriveTransfer.h"
#include "Tolvane/ui/VeskaButton.h"

namespace tolvane::test {
namespace {

using Kind = GoogleAuthState::Kind;

class ContentViewTest : public ModelTest {
protected:
    ContentViewTest() {
        ExternalVolumeStore::Hooks hooks;
        hooks.scan = [] { return std::vector<ExternalVolume>(); };
        volumes = std::make_unique<ExternalVolumeStore>(center, std::move(hooks));
        view = std::make_unique<ContentView>(*model, *drive.model, *volumes);
    }
    ~ContentViewTest() override { view.reset(); }

    QUrl local(const std::string& path) {
        return QUrl::fromLocalFile(QString::fromStdString(path));
    }

    HeldDriveTransfer drive;
    VolumeNotificationCenter center;
    std::unique_ptr<ExternalVolumeStore> volumes;
    std::unique_ptr<ContentView> view;
};

TEST_F(ContentViewTest, DropsTakeLocalFilesWithFoldersMarkedAndAreRefusedWhileWorkRuns) {
    const std::string folder = root.path() + "/사진";
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(folder)));
    const std::string file = root.path() + "/보고서.txt";

    // Links and other URLs that name no local file are not inputs.
    EXPECT_FALSE(view->dropURLs({QUrl("https://example.com/a.zip"), QUrl("mailto:a@b.c")}));
    EXPECT_TRUE(model->inputURLs().empty());

    EXPECT_TRUE(view->dropURLs({QUrl("https://example.com/x"), local(folder), local(file)}));
    EXPECT_EQ(model->inputURLs(), (std::vector<std::string>{folder + "/", file}));
    EXPECT_EQ(view->workspaceContent(), view->inputListPlace());

    // The capture of that selection is running: the job model is busy.
    auto capture = backend->next();
    ASSERT_TRUE(model->isBusy());
    EXPECT_FALSE(view->dropURLs({local(root.path() + "/other")}));
    capture->release();
    ASSERT_TRUE(eventually([&] { return !model->isBusy(); }));

    drive.start();
    ASSERT_TRUE(drive.model->hasActiveTransfer());
    view->setDropTargeted(true);  // the highlight still follows the drag
    EXPECT_TRUE(view->dropZone()->isTargeted());
    EXPECT_FALSE(view->dropURLs({local(root.path() + "/other")}));
    EXPECT_EQ(model->inputURLs().size(), 2u);
}

TEST_F(ContentViewTest, DroppedNamesAreTheBytesOnDiskAndANameThatCannotBeTakenIsNamed) {
    const std::string dir = root.path();
    const auto url = [&](const std::string& tail) {
        return QUrl(QString::fromStdString("file://" + dir + tail));
    };
    struct Case {
        QUrl url;
        std::optional<std::string> taken;  // the input added; nothing when left out
        QString refused;                   // the name the alert shows; empty when not refused
    };
    const Case cases[] = {
        // Bytes that are not UTF-8 stay those bytes.
        {url("/a%FFb.txt"),
         dir + "/a\xFF"
               "b.txt",
         {}},
        {url("/%ED%95%9C%FE/x"), dir + "/\xED\x95\x9C\xFE/x", {}},
        // The nearest legitimate names: UTF-8, a literal percent sign, the local host.
        {local(dir + "/보고서 (최종).txt"), dir + "/보고서 (최종).txt", {}},
        {url("/100%25.txt"), dir + "/100%.txt", {}},
        {QUrl(QString::fromStdString("file://localhost" + dir + "/c.txt")), dir + "/c.txt", {}},
        {QUrl(QStringLiteral("file://") + QSysInfo::machineHostName() +
              QString::fromStdString(dir + "/h.txt")),
         dir + "/h.txt",
         {}},
        // A replacement character encoded in the URL is a character of the name.
        {url("/a%EF%BF%BDb.txt"), dir + "/a\uFFFDb.txt", {}},
        {url("/a%00b.txt"), std::nullopt, QStringLiteral("a\u0000b.txt")},
        {QUrl("file://server/share/d.txt"), std::nullopt, QStringLiteral("d.txt")},
        // A query or a fragment cuts the name short: the alert shows the whole URL.
        {url("/e.txt?version=2"), std::nullopt,
         QString::fromStdString("file://" + dir + "/e.txt?version=2")},
        {url("/a#b.txt"), std::nullopt, QString::fromStdString("file://" + dir + "/a#b.txt")},
        {QUrl("https://example.com/f.zip"), std::nullopt, {}},
    };
    QList<QUrl> dropped;
    std::vector<std::string> taken;
    QStringList refused;
    for (const Case& c : cases) {
        dropped << c.url;
        if (c.taken) {
            taken.push_back(*c.taken);
        }
        if (!c.refused.isEmpty()) {
            refused << c.refused;
        }
    }
    EXPECT_TRUE(view->dropURLs(dropped));
    EXPECT_EQ(model->inputURLs(), taken);
    ASSERT_TRUE(view->inputRefusal());
    EXPECT_EQ(view->inputRefusal()->text(),
              QStringLiteral("이름을 정확히 읽을 수 없는 항목은 추가하지 않았습니다."));
    EXPECT_EQ(view->inputRefusal()->informativeText(), refused.join(QLatin1Char('\n')));
    EXPECT_EQ(view->inputRefusal()->textFormat(), Qt::PlainText);
    backend->next()->release();
}

TEST_F(ContentViewTest, TheDropZoneIsTheEmptyWorkspaceAndFollowsTheDrag) {
    EXPECT_EQ(view->workspaceContent(), view->dropZone());
    EXPECT_EQ(DropZoneView::title(view->dropZone()->isTargeted()),
              QStringLiteral("파일을 담아주세요"));
    view->setDropTargeted(true);
    EXPECT_EQ(DropZoneView::title(view->dropZone()->isTargeted()),
              QStringLiteral("여기에 놓으세요"));
    drive.start();
    EXPECT_FALSE(view->dropZone()->isEnabled());
}

TEST_F(ContentViewTest, TheHeaderShowsConnectedOnlyForASettledConnection) {
    const GoogleIdentity someone{"s", std::string("a@example.com")};
    const std::pair<GoogleAuthState, bool> cases[] = {
        {GoogleAuthState::connected(someone), true},
        {GoogleAuthState::restoring(), false},
        {GoogleAuthState::refreshing(someone), false},
        {GoogleAuthState::requestingScope(someone), false},
        {GoogleAuthState::reauthRequired(someone), false},
        {GoogleAuthState::signedOut(), false},
    };
    for (const auto& [state, connected] : cases) {
        const auto look = ContentView::driveButtonLook(state);
        EXPECT_EQ(look.connected, connected) << static_cast<int>(state.kind());
        EXPECT_EQ(look.text,
                  connected ? QStringLiteral("Drive 연결됨") : QStringLiteral("Drive 연결"));
    }
    drive.model->setState(GoogleAuthState::refreshing(someone));
    EXPECT_EQ(view->driveButton()->accessibleName(), QStringLiteral("Drive 연결"));
}

TEST_F(ContentViewTest, TheShareConfirmationNamesFileAccountAndRole) {
    const GoogleIdentity withMail{"s", std::string("minji@example.com")};
    const GoogleIdentity withoutMail{"s", std::nullopt};
    struct Case {
        std::optional<std::string> output;
        GoogleAuthState state;
        DriveLinkRole role;
        QString message;
    };
    const Case cases[] = {
        {"/out/납품.zip", GoogleAuthState::connected(withMail), DriveLinkRole::writer,
         QStringLiteral("납품.zip · minji@example.com\n"
                        "링크를 아는 누구나 Drive의 ZIP 사본을 수정할 수 있습니다.")},
        {std::nullopt, GoogleAuthState::connected(withoutMail), DriveLinkRole::reader,
         QStringLiteral("ZIP · Google Drive\n링크를 아는 누구나 ZIP을 볼 수 있습니다.")},
        {"/out/a.zip", GoogleAuthState::refreshing(withMail), DriveLinkRole::reader,
         QStringLiteral("a.zip · Google Drive\n링크를 아는 누구나 ZIP을 볼 수 있습니다.")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ContentView::shareConfirmationMessage(c.output, c.state, c.role), c.message);
    }
    EXPECT_EQ(ContentView::shareConfirmationTitle(DriveLinkRole::writer),
              QStringLiteral("편집 링크 만들기"));
    EXPECT_EQ(ContentView::shareConfirmationTitle(DriveLinkRole::reader),
              QStringLiteral("보기 링크 만들기"));
}

TEST_F(ContentViewTest, ANewArchiveResetsTheRolesAndConfirmingWithoutOneUploadsNothing) {
    auto pack = [&] {
        model->startNewJob();
        view->dropURLs({local(root.path() + "/a.txt")});
        backend->next()->release();
        EXPECT_TRUE(eventually([&] { return model->inputSnapshot().has_value(); }));
        model->startPacking(root.path() + "/out.zip");
        backend->next()->release();
        EXPECT_TRUE(
            eventually([&] { return model->phase() == DeliveryJobModel::Phase::complete; }));
    };
    pack();
    EXPECT_EQ(view->workspaceContent(), view->resultPlace());
    view->setSelectedShareRole(DriveLinkRole::writer);
    view->confirmDriveShare();
    EXPECT_EQ(view->confirmedShareRole(), DriveLinkRole::writer);
    view->shareConfirmation()->close();

    pack();  // another archive, another job
    EXPECT_EQ(view->selectedShareRole(), DriveLinkRole::reader);
    EXPECT_EQ(view->confirmedShareRole(), DriveLinkRole::reader);

    // The result is cleared while the dialog is open: its button starts nothing.
    view->confirmDriveShare();
    model->startNewJob();
    view->shareConfirmation()->buttons().constFirst()->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(drive.shares(), 0);
    EXPECT_FALSE(drive.model->hasActiveTransfer());
}

TEST_F(ContentViewTest, CancellingTheNameSheetReleasesTheFolder) {
    auto lease = std::make_shared<SecurityScopedAccessLease>(root.path());
    const std::weak_ptr<SecurityScopedAccessLease> watched = lease;
    view->setPendingArchiveSave(ContentView::PendingArchiveSave{Uuid::random(), root.path(),
                                                                std::nullopt, std::move(lease)});
    ASSERT_TRUE(view->nameSheet());
    view->nameSheet()->reject();
    EXPECT_FALSE(view->pendingArchiveSave().has_value());
    EXPECT_TRUE(watched.expired());
}

}  // namespace
}  // namespace tolvane::test
