#include "Tolvane/ui/DriveShareStatusView.h"

#include <QClipboard>
#include <QGuiApplication>

#include "GoogleScreensFixture.h"

namespace tolvane::test {
namespace {

using State = GoogleConnectionModel::TransferState;
using TK = State::Kind;
using Kind = DriveShareStatusContent::Kind;
using Stage = DriveTransferProgress::Stage;

DriveShareStatusContent shows(Kind kind, QString stage = {},
                              std::optional<double> fraction = std::nullopt,
                              QString transferred = {}, QString message = {},
                              QString roleLine = {}) {
    return {kind,
            std::move(stage),
            fraction,
            std::move(transferred),
            std::move(message),
            std::move(roleLine)};
}

TEST(DriveShareStatusContent, OnlyTheShownArchivesShareStatesShowAndProgressPicksBarOrSpinner) {
    const VerifiedArchive archive{Uuid::random(), "/out/a.zip", 10, "ab"};
    VerifiedArchive samePathNewJob = archive;
    samePathNewJob.jobID = Uuid::random();
    const DriveShareResult reader{"f", "https://l", "ab", DriveLinkRole::reader};
    const auto upload = State::share(TK::uploading, archive);
    const DriveTransferProgress half{Stage::uploading, 500, 1000};
    const struct {
        const char* name;
        std::optional<VerifiedArchive> archive;
        State state;
        std::optional<DriveTransferProgress> progress;
        DriveShareStatusContent content;
    } rows[] = {
        {"no archive", std::nullopt, upload, half, shows(Kind::none)},
        {"idle", archive, State{}, std::nullopt, shows(Kind::none)},
        {"recovery", archive, State::recovery(TK::recovering, archive.jobID), half,
         shows(Kind::none)},
        {"earlier archive at the same path", samePathNewJob, upload, half, shows(Kind::none)},
        {"preparing", archive, upload, std::nullopt, shows(Kind::uploading, "전송 준비 중")},
        {"hashing", archive, upload, DriveTransferProgress{Stage::hashing, 0, 1000},
         shows(Kind::uploading, "파일 확인 중")},
        {"uploading", archive, upload, half,
         shows(Kind::uploading, "Drive에 보내는 중", 0.5, "500바이트 / 1 KB")},
        {"uploading, total unknown", archive, upload, DriveTransferProgress{Stage::uploading, 0, 0},
         shows(Kind::uploading, "Drive에 보내는 중")},
        {"retrying after bytes", archive, upload, DriveTransferProgress{Stage::retrying, 500, 1000},
         shows(Kind::uploading, "다시 연결 중")},
        {"publishing", archive, upload, DriveTransferProgress{Stage::publishing, 1000, 1000},
         shows(Kind::uploading, "링크 만드는 중")},
        {"cancelling", archive, State::share(TK::cancelling, archive), half,
         shows(Kind::cancelling)},
        {"paused", archive, State::share(TK::paused, archive), half, shows(Kind::paused)},
        {"failed", archive, State::share(TK::failed, archive, std::nullopt, "오류"), std::nullopt,
         shows(Kind::failed, {}, std::nullopt, {}, "오류")},
        {"shared, reader", archive, State::share(TK::shared, archive, reader), std::nullopt,
         shows(Kind::shared, {}, std::nullopt, {}, {}, "링크를 아는 누구나 보기")},
        {"shared, writer", archive,
         State::share(TK::shared, archive,
                      DriveShareResult{"f", "https://l", "ab", DriveLinkRole::writer}),
         std::nullopt, shows(Kind::shared, {}, std::nullopt, {}, {}, "링크를 아는 누구나 편집")},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(DriveShareStatusContent::of(row.archive, row.state, row.progress), row.content)
            << row.name;
    }
}

// A finished pack job beside the Google model.
class DriveShareStatusViewTest : public GoogleScreens {
protected:
    ~DriveShareStatusViewTest() override { backend->releaseAll(); }

    VerifiedArchive pack(const std::string& name) {
        job.addInputs({"/data/a"});
        backend->next()->release();
        EXPECT_TRUE(eventually([&] { return job.inputSnapshot().has_value(); }));
        writeFile(root.file(name), "zip");
        job.startPacking(root.file(name));
        backend->next()->release();
        EXPECT_TRUE(eventually([&] { return job.verifiedArchive().has_value(); }));
        return *job.verifiedArchive();
    }

    TempDir root;
    std::shared_ptr<FakeJobBackend> backend = std::make_shared<FakeJobBackend>();
    DeliveryJobModel job{backend, root.path()};
};

TEST_F(DriveShareStatusViewTest, RetryWaitsForTheFileAndCopiedLastsUntilTheArchiveChanges) {
    restore();
    const VerifiedArchive first = pack("a.zip");
    QWidget window;
    auto* panel = new DriveShareStatusView(job, *model, &window);
    window.show();
    EXPECT_FALSE(panel->isVisible());

    holdShare = true;
    model->shareVerifiedArchive(first, DriveLinkRole::writer);
    EXPECT_TRUE(panel->isVisible());
    button(window, QStringLiteral("중단"))->click();
    ASSERT_TRUE(eventually([&] { return model->transferState().kind == TK::paused; }));
    auto* resume = button(window, QStringLiteral("이어 보내기"));
    ASSERT_NE(resume, nullptr);
    EXPECT_TRUE(resume->isEnabled());

    // The file goes: sending again is refused until it is back.
    ::unlink(first.url.c_str());
    panel->recheckArchiveFile();
    EXPECT_FALSE(resume->isEnabled());
    writeFile(first.url, "zip");
    panel->recheckArchiveFile();
    ASSERT_TRUE(resume->isEnabled());

    holdShare = false;
    resume->click();
    ASSERT_TRUE(eventually([&] { return model->transferState().kind == TK::shared; }));
    EXPECT_EQ(model->activeShareRole(), DriveLinkRole::writer);  // the role asked for first

    linkFails = true;
    button(window, QStringLiteral("링크 복사"))->click();
    EXPECT_FALSE(button(window, QStringLiteral("링크 복사"))->isEnabled()) << "while checking";
    ASSERT_TRUE(
        eventually([&] { return button(window, QStringLiteral("Drive에서 열기"))->isEnabled(); }));
    EXPECT_EQ(button(window, QStringLiteral("복사됨")), nullptr);
    linkFails = false;
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    button(window, QStringLiteral("링크 복사"))->click();
    ASSERT_TRUE(eventually([&] { return button(window, QStringLiteral("복사됨")) != nullptr; }));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString::fromStdString(result.link));

    // A panel shown later over the same archive starts without "복사됨"; the shown one keeps it
    // until another archive comes.
    QWidget other;
    auto* fresh = new DriveShareStatusView(job, *model, &other);
    other.show();
    EXPECT_NE(button(*fresh, QStringLiteral("링크 복사")), nullptr);
    EXPECT_NE(button(window, QStringLiteral("복사됨")), nullptr);
    job.startNewJob();
    pack("b.zip");
    model->shareVerifiedArchive(*job.verifiedArchive(), DriveLinkRole::reader);
    ASSERT_TRUE(eventually([&] { return model->transferState().kind == TK::shared; }));
    EXPECT_NE(button(window, QStringLiteral("링크 복사")), nullptr);
}

}  // namespace
}  // namespace tolvane::test
