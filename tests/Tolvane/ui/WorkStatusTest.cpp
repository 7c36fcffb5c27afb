#include <QLocale>

#include <gtest/gtest.h>

#include <limits>

#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/WorkFooterView.h"
#include "Tolvane/ui/WorkStatusView.h"

namespace tolvane::test {
namespace {

using Phase = DeliveryJobModel::Phase;
using Mode = DeliveryJobModel::InputMode::Kind;
using Action = WorkFooterView::Action;

WorkFacts running(Phase phase, std::optional<QString> stage) {
    WorkFacts facts;
    facts.phase = phase;
    facts.isBusy = true;
    facts.canCancel = true;
    facts.hasInputs = true;
    facts.progressStage = std::move(stage);
    return facts;
}

WorkFacts ended(Phase phase, std::optional<QString> error, std::optional<QString> warning) {
    WorkFacts facts;
    facts.phase = phase;
    facts.hasInputs = true;
    facts.errorMessage = std::move(error);
    facts.cleanupWarning = std::move(warning);
    return facts;
}

TEST(WorkStatus, TitleAndDetailFollowTheFirstMatchingRow) {
    const QLocale korean(QLocale::Korean, QLocale::SouthKorea);
    WorkFacts capturing;
    capturing.isCapturingInputSnapshot = true;
    capturing.isBusy = true;
    WorkFacts captureFailed;
    captureFailed.inputSnapshotError = QStringLiteral("읽을 수 없는 파일");
    captureFailed.phase = Phase::failed;  // the capture error wins over the phase
    WorkFacts scanning = running(Phase::packing, QStringLiteral("scanning"));
    scanning.scannedEntryCount = 12345;
    scanning.progressTotalBytes = 10;
    WorkFacts overDone = running(Phase::packing, QStringLiteral("packaging"));
    overDone.progressCompletedBytes = 5000;
    overDone.progressTotalBytes = 2000;
    WorkFacts huge = running(Phase::unpacking, QStringLiteral("extracting"));
    huge.progressCompletedBytes = std::numeric_limits<std::uint64_t>::max();
    huge.progressTotalBytes = std::numeric_limits<std::uint64_t>::max();
    WorkFacts verifying = running(Phase::unpacking, QStringLiteral("verifying"));
    verifying.progressTotalBytes = 0;
    WorkFacts wrongCase = running(Phase::packing, QStringLiteral("Hashing"));
    WorkFacts idle;

    struct Row {
        const char* name;
        WorkFacts facts;
        QString title;
        std::optional<QString> detail;
    };
    const Row rows[] = {
        {"capturing", capturing, QStringLiteral("파일 확인 중"), std::nullopt},
        {"capture failed", captureFailed, QStringLiteral("파일을 확인할 수 없습니다"),
         QStringLiteral("읽을 수 없는 파일")},
        {"idle", idle, QStringLiteral("준비됨"), std::nullopt},
        {"scanning", scanning, QStringLiteral("파일 확인 중"), QStringLiteral("12,345개 항목")},
        {"done above total", overDone, QStringLiteral("압축 중"),
         QStringLiteral("압축 중 2 KB / 2 KB")},
        {"beyond int64", huge, QStringLiteral("압축 해제 중"),
         QStringLiteral("압축 해제 중 9.22 EB / 9.22 EB")},
        {"no byte total", verifying, QStringLiteral("ZIP 확인 중"), std::nullopt},
        {"stage compared exactly", wrongCase, QStringLiteral("압축 중"), std::nullopt},
        {"hashing", running(Phase::packing, QStringLiteral("hashing")),
         QStringLiteral("공유 준비 중"), std::nullopt},
        {"committing", running(Phase::unpacking, QStringLiteral("committing")),
         QStringLiteral("마무리 중"), std::nullopt},
        {"complete", ended(Phase::complete, std::nullopt, std::nullopt), QStringLiteral("완료"),
         std::nullopt},
        {"source changed",
         ended(Phase::failed, QStringLiteral("처리 중 원본이 바뀌었습니다: x"),
               QStringLiteral("임시 폴더를 지우지 못했습니다.")),
         QStringLiteral("파일이 변경됐어요"),
         QStringLiteral("처리 중 원본이 바뀌었습니다: x\n임시 폴더를 지우지 못했습니다.")},
        {"failed without text", ended(Phase::failed, std::nullopt, std::nullopt),
         QStringLiteral("완료하지 못했습니다"), QString()},
        {"cancelled", ended(Phase::cancelled, std::nullopt, std::nullopt),
         QStringLiteral("작업을 멈췄습니다"),
         QStringLiteral("파일을 다시 선택해 시작할 수 있습니다.")},
        {"cancelled with warning", ended(Phase::cancelled, std::nullopt, QStringLiteral("경고")),
         QStringLiteral("작업을 멈췄습니다"), QStringLiteral("경고")},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(WorkStatusView::statusTitle(row.facts), row.title) << row.name;
        EXPECT_EQ(WorkStatusView::statusDetail(row.facts, korean), row.detail) << row.name;
    }
}

TEST(WorkStatus, PercentAndSpinnerNeedAKnownAmountOfWork) {
    const QLocale korean(QLocale::Korean, QLocale::SouthKorea);
    WorkFacts facts = running(Phase::packing, QStringLiteral("scanning"));
    facts.progressTotalUnitCount = 100;
    facts.progressFraction = 0.404;
    // Scanning spins, yet the share of the whole job still shows.
    EXPECT_TRUE(WorkStatusView::showsSpinner(facts));
    EXPECT_EQ(WorkStatusView::percentText(facts, korean), QStringLiteral("전체 40%"));
    facts.progressStage = QStringLiteral("packaging");
    EXPECT_FALSE(WorkStatusView::showsSpinner(facts));
    facts.progressTotalUnitCount = 1;
    EXPECT_TRUE(WorkStatusView::showsSpinner(facts));
    EXPECT_EQ(WorkStatusView::percentText(facts, korean), std::nullopt);
}

TEST(WorkFooter, OffersTheOneActionThatFitsAndStartsOnlyWhenReady) {
    WorkFacts nothing;
    WorkFacts capturing;
    capturing.hasInputs = true;
    capturing.inputMode = Mode::files;
    capturing.isCapturingInputSnapshot = true;
    capturing.isBusy = true;
    capturing.canCancel = true;
    WorkFacts captured;
    captured.hasInputs = true;
    captured.inputMode = Mode::files;
    captured.hasInputSnapshot = true;
    WorkFacts capturedDuringUpload = captured;
    capturedDuringUpload.hasActiveTransfer = true;
    WorkFacts failed = ended(Phase::failed, QStringLiteral("x"), std::nullopt);
    failed.inputMode = Mode::files;
    failed.canRefreshInputs = true;
    WorkFacts oneZip;
    oneZip.hasInputs = true;
    oneZip.inputMode = Mode::singleArchive;
    WorkFacts unpackFailed = oneZip;
    unpackFailed.phase = Phase::failed;  // re-checking is for files to pack only
    WorkFacts mix;
    mix.hasInputs = true;
    mix.inputMode = Mode::invalid;
    WorkFacts packing = running(Phase::packing, QStringLiteral("packaging"));
    WorkFacts committing = running(Phase::packing, QStringLiteral("committing"));
    committing.canCancel = false;
    WorkFacts complete = oneZip;
    complete.phase = Phase::complete;

    struct Row {
        const char* name;
        WorkFacts facts;
        Action action;
        bool canStart;
    };
    const Row rows[] = {
        {"nothing selected", nothing, Action::nothing, false},
        {"capturing", capturing, Action::stop, false},
        {"captured", captured, Action::start, true},
        {"captured during an upload", capturedDuringUpload, Action::start, false},
        {"failed files", failed, Action::recheck, false},
        {"one ZIP", oneZip, Action::start, true},
        {"unpack failed", unpackFailed, Action::start, true},
        {"refused mix", mix, Action::start, false},
        {"packing", packing, Action::stop, false},
        {"committing", committing, Action::finishing, false},
        {"complete", complete, Action::start, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(WorkFooterView::action(row.facts), row.action) << row.name;
        EXPECT_EQ(WorkFooterView::canStart(row.facts), row.canStart) << row.name;
    }
}

TEST(JobStart, ProposesANameFromTheOneInputAndChecksTheVolumesWorkingSpace) {
    const std::pair<std::vector<std::string>, QString> names[] = {
        {{"/home/u/photos.v2/"}, QStringLiteral("photos.v2.zip")},
        {{"/home/u/report.final.pdf"}, QStringLiteral("report.final.zip")},
        {{"/home/u/사진/"}, QStringLiteral("사진.zip")},
        {{"/home/u/.profile"}, QStringLiteral(".profile.zip")},
        {{"/a/x.txt", "/a/y.txt"}, QStringLiteral("Package.zip")},
        {{}, QStringLiteral("Package.zip")},
    };
    for (const auto& [inputs, name] : names) {
        EXPECT_EQ(ContentView::archiveNameProposal(inputs), name) << name.toStdString();
    }

    constexpr std::uint64_t reserve = 16 * 1024 * 1024;
    const ExternalVolume fine{"/media/u/STICK", "STICK",     "1234-ABCD", false,
                              std::nullopt,     reserve + 1, "exfat"};
    auto with = [&](auto change) {
        ExternalVolume volume = fine;
        change(volume);
        return volume;
    };
    EXPECT_TRUE(ContentView::volumeAllowsWork(fine));
    EXPECT_FALSE(ContentView::volumeAllowsWork(with([&](auto& v) { v.availableBytes = reserve; })));
    EXPECT_FALSE(ContentView::volumeAllowsWork(with([](auto& v) { v.availableBytes.reset(); })));
    EXPECT_FALSE(ContentView::volumeAllowsWork(with([](auto& v) { v.isReadOnly = true; })));
    EXPECT_FALSE(ContentView::volumeAllowsWork(with([](auto& v) { v.uuid.reset(); })));
}

}  // namespace
}  // namespace tolvane::test
