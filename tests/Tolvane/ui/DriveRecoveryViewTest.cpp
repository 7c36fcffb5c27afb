#include "Tolvane/ui/DriveRecoveryView.h"

#include <QApplication>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>

#include "GoogleScreensFixture.h"

namespace tolvane::test {
namespace {

using State = GoogleConnectionModel::TransferState;
using TK = State::Kind;
using Kind = DriveRecoveryTrailing::Kind;
using Stage = DriveTransferProgress::Stage;

DriveRecoveryTrailing shows(Kind kind, QString stage = {}, QString transferred = {},
                            QString message = {}, bool resumeEnabled = true) {
    return {kind, std::move(stage), std::move(transferred), std::move(message), resumeEnabled};
}

TEST(DriveRecoveryView, RowsNameThePhaseAndFollowOnlyTheirOwnJob) {
    for (const auto& [phase, label] : std::vector<std::pair<std::string, QString>>{
             {"uploading", "업로드 중단"},
             {"uploaded", "업로드 완료·검증 대기"},
             {"verified", "공유 권한 확인 대기"},
             {"needsPermissionCheck", "공유 권한 확인 대기"},
             {"prepared", "전송 대기"},
             {"Uploading", "전송 대기"}}) {
        EXPECT_EQ(DriveRecoveryView::phaseLabel(phase), label) << phase;
    }
    const DriveRecoveryItem item{Uuid::random(), "a.zip", 2000, "uploaded", DriveLinkRole::writer};
    EXPECT_EQ(DriveRecoveryView::detailLine(item),
              QStringLiteral("2 KB · 편집 · 업로드 완료·검증 대기"));

    const Uuid other = Uuid::random();
    const DriveTransferProgress half{Stage::uploading, 500, 1000};
    const struct {
        const char* name;
        State state;
        std::optional<DriveTransferProgress> progress;
        bool active;
        DriveRecoveryTrailing trailing;
    } rows[] = {
        {"idle", State{}, std::nullopt, false, shows(Kind::resume)},
        {"another job runs", State::recovery(TK::recovering, other), half, true,
         shows(Kind::resume, {}, {}, {}, false)},
        {"another job failed", State::recovery(TK::recoveryFailed, other, std::nullopt, "x"),
         std::nullopt, false, shows(Kind::resume)},
        {"paused", State::recovery(TK::recoveryPaused, item.jobID), half, false,
         shows(Kind::resume)},
        {"starting", State::recovery(TK::recovering, item.jobID), std::nullopt, true,
         shows(Kind::progress, "재개 준비 중")},
        {"uploading", State::recovery(TK::recovering, item.jobID), half, true,
         shows(Kind::progress, "업로드 재개 중", "500바이트 / 1 KB")},
        {"verifying", State::recovery(TK::recovering, item.jobID),
         DriveTransferProgress{Stage::verifying, 1000, 1000}, true,
         shows(Kind::progress, "원격 파일 확인 중")},
        {"stopping", State::recovery(TK::recoveryCancelling, item.jobID), half, true,
         shows(Kind::cancelling)},
        {"needs the file", State::recovery(TK::recoveryNeedsFile, item.jobID), std::nullopt, false,
         shows(Kind::chooseFile)},
        {"failed", State::recovery(TK::recoveryFailed, item.jobID, std::nullopt, "실패"),
         std::nullopt, false, shows(Kind::failed, {}, {}, "실패")},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(DriveRecoveryTrailing::of(item, row.state, row.progress, row.active),
                  row.trailing)
            << row.name;
    }
}

TEST_F(GoogleScreens, ResumeAsksFirstAndPassesTheChosenFile) {
    pending = {{Uuid::random(), "a <b>.zip", 10, "uploading", DriveLinkRole::reader},
               {Uuid::random(), "b.zip", 10, "prepared", DriveLinkRole::writer}};
    QWidget window;
    auto* list = new DriveRecoveryView(*model, &window);
    std::vector<std::optional<std::string>> answers{std::nullopt, "/picked/a.zip"};
    int asked = 0;
    list->chooseFile = [&](QWidget*) { return answers.at(asked++); };
    window.show();
    EXPECT_FALSE(list->isVisible());  // nothing to show yet
    restore();
    ASSERT_TRUE(list->isVisible());
    EXPECT_EQ(button(window, QStringLiteral("재개")), nullptr) << "folded at first";
    auto* header = button(window, QStringLiteral("중단된 전송 2"));
    ASSERT_NE(header, nullptr);
    header->click();

    // "재개" asks first; the question names the file as it is, markup and all.
    button(window, QStringLiteral("재개"))->click();
    ASSERT_NE(list->confirmation(), nullptr);
    EXPECT_EQ(list->confirmation()->informativeText(),
              QStringLiteral("원래 파일을 확인하고 보기 링크 생성을 이어갑니다. a <b>.zip"));
    EXPECT_EQ(list->confirmation()->textFormat(), Qt::PlainText);
    list->confirmation()->defaultButton()->click();
    // The saved access is gone: the row asks for the file.
    ASSERT_TRUE(eventually([&] { return model->transferState().kind == TK::recoveryNeedsFile; }));
    EXPECT_EQ(resumedWith, (std::vector<std::optional<std::string>>{std::nullopt}));

    auto* choose = button(window, QStringLiteral("같은 ZIP 선택"));
    ASSERT_NE(choose, nullptr);
    choose->click();  // the chooser is cancelled: nothing opens
    EXPECT_EQ(list->confirmation(), nullptr);
    choose->click();
    ASSERT_NE(list->confirmation(), nullptr);
    pending.clear();  // the journal's list once the resumed transfer is shared
    list->confirmation()->defaultButton()->click();
    ASSERT_TRUE(eventually([&] { return model->transferState().kind == TK::recoveryShared; }));
    EXPECT_EQ(resumedWith.back(), std::optional<std::string>("/picked/a.zip"));
    auto* copy = button(window, QStringLiteral("링크 복사"));
    ASSERT_NE(copy, nullptr);

    // The unfolded list has become empty: nothing, not even an empty row box, sits above the
    // link block.
    ASSERT_TRUE(eventually([&] { return model->pendingTransfers().empty(); }));
    QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    list->layout()->activate();
    EXPECT_EQ(copy->parentWidget()->mapTo(list, QPoint(0, 0)).y(), 0);
}

}  // namespace
}  // namespace tolvane::test
