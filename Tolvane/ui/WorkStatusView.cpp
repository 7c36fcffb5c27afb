#include "Tolvane/ui/WorkStatusView.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include <string_view>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/ui/SymbolLabel.h"
#include "Tolvane/ui/ThemedLabel.h"
#include "Tolvane/ui/VeskaBusyIndicator.h"
#include "Tolvane/ui/VeskaProgressBar.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "core/archive/ArchiveProgressInfo.h"

namespace tolvane {

namespace {

using Phase = DeliveryJobModel::Phase;

bool isStage(const WorkFacts& facts, std::string_view stage) {
    return facts.progressStage &&
           *facts.progressStage == QString::fromUtf8(stage.data(), qsizetype(stage.size()));
}

}  // namespace

QString WorkStatusView::statusTitle(const WorkFacts& facts) {
    namespace Stage = ArchiveProgressInfo::Stage;
    if (facts.isCapturingInputSnapshot) {
        return QStringLiteral("파일 확인 중");
    }
    if (facts.inputSnapshotError) {
        return QStringLiteral("파일을 확인할 수 없습니다");
    }
    switch (facts.phase) {
        case Phase::idle:
            return QStringLiteral("준비됨");
        case Phase::packing:
        case Phase::unpacking:
            if (isStage(facts, Stage::scanning)) {
                return QStringLiteral("파일 확인 중");
            }
            if (isStage(facts, Stage::verifying)) {
                return QStringLiteral("ZIP 확인 중");
            }
            if (isStage(facts, Stage::hashing)) {
                return QStringLiteral("공유 준비 중");
            }
            if (isStage(facts, Stage::committing)) {
                return QStringLiteral("마무리 중");
            }
            return facts.phase == Phase::packing ? QStringLiteral("압축 중")
                                                 : QStringLiteral("압축 해제 중");
        case Phase::complete:
            return QStringLiteral("완료");
        case Phase::failed:
            // The pipeline's own sentence for a source that changed under the job.
            if (facts.errorMessage && facts.errorMessage->contains(QStringLiteral("원본이 바뀌"))) {
                return QStringLiteral("파일이 변경됐어요");
            }
            return QStringLiteral("완료하지 못했습니다");
        case Phase::cancelled:
            return QStringLiteral("작업을 멈췄습니다");
    }
    return {};
}

std::optional<QString> WorkStatusView::statusDetail(const WorkFacts& facts, const QLocale& locale) {
    if (facts.inputSnapshotError) {
        return facts.inputSnapshotError;
    }
    if (facts.isRunning()) {
        if (isStage(facts, ArchiveProgressInfo::Stage::scanning)) {
            return locale.toString(qulonglong(facts.scannedEntryCount)) + QStringLiteral("개 항목");
        }
        if (facts.progressTotalBytes == 0) {
            return std::nullopt;
        }
        // A stage may report more done than its total; the total is the most it shows.
        const std::uint64_t done = std::min(facts.progressCompletedBytes, facts.progressTotalBytes);
        return statusTitle(facts) + QLatin1Char(' ') + byteCountText(done) + QStringLiteral(" / ") +
               byteCountText(facts.progressTotalBytes);
    }
    if (facts.phase == Phase::cancelled) {
        return facts.cleanupWarning.value_or(
            QStringLiteral("파일을 다시 선택해 시작할 수 있습니다."));
    }
    if (facts.phase == Phase::failed) {
        QStringList lines;
        for (const auto& line : {facts.errorMessage, facts.cleanupWarning}) {
            if (line) {
                lines << *line;
            }
        }
        return lines.join(QLatin1Char('\n'));
    }
    return std::nullopt;
}

std::optional<QString> WorkStatusView::percentText(const WorkFacts& facts, const QLocale& locale) {
    if (!facts.isBusy || facts.progressTotalUnitCount < 2) {
        return std::nullopt;
    }
    return QStringLiteral("전체 ") + VeskaProgressBar::percentText(facts.progressFraction, locale);
}

bool WorkStatusView::showsSpinner(const WorkFacts& facts) {
    return isStage(facts, ArchiveProgressInfo::Stage::scanning) ||
           facts.progressTotalUnitCount < 2 || facts.isCapturingInputSnapshot;
}

bool WorkStatusView::foldsDetail(const WorkFacts& facts) {
    return facts.phase == Phase::failed || facts.inputSnapshotError.has_value();
}

WorkStatusView::WorkStatusView(DeliveryJobModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(8);

    auto* headline = new QHBoxLayout;
    title_ = new ThemedLabel(QString(), this);
    title_->setFont(VeskaTheme::font(VeskaTheme::calloutSize, QFont::Medium));
    percent_ = new ThemedLabel(QString(), this);
    percent_->setFont(VeskaTheme::tabularFont(VeskaTheme::captionSize));
    percent_->setColor(VeskaTheme::muted);
    headline->addWidget(title_);
    headline->addStretch(1);
    headline->addWidget(percent_);
    stack->addLayout(headline);

    spinner_ = new VeskaBusyIndicator(this);
    stack->addWidget(spinner_, 0, Qt::AlignLeft);
    bar_ = new VeskaProgressBar(0, this);
    stack->addWidget(bar_);

    disclosure_ = new DisclosureButton(QStringLiteral("오류 상세"), this);
    disclosure_->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    stack->addWidget(disclosure_, 0, Qt::AlignLeft);
    detail_ = new ThemedLabel(QString(), this);
    detail_->setColor(VeskaTheme::muted);
    detail_->setWordWrap(true);
    detail_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    stack->addWidget(detail_);
    connect(disclosure_, &QAbstractButton::toggled, this, [this] { refresh(); });

    for (auto signal :
         {&DeliveryJobModel::phaseChanged, &DeliveryJobModel::isBusyChanged,
          &DeliveryJobModel::isCapturingInputSnapshotChanged,
          &DeliveryJobModel::inputSnapshotErrorChanged, &DeliveryJobModel::progressStageChanged,
          &DeliveryJobModel::progressFractionChanged,
          &DeliveryJobModel::progressTotalUnitCountChanged,
          &DeliveryJobModel::progressCompletedBytesChanged,
          &DeliveryJobModel::progressTotalBytesChanged, &DeliveryJobModel::scannedEntryCountChanged,
          &DeliveryJobModel::errorMessageChanged, &DeliveryJobModel::cleanupWarningChanged}) {
        connect(&model_, signal, this, &WorkStatusView::refresh);
    }
    refresh();
}

QString WorkStatusView::headline() const {
    return title_->text();
}

QString WorkStatusView::detail() const {
    return detail_->text();
}

bool WorkStatusView::detailFolded() const {
    return !disclosure_->isHidden() && !disclosure_->isChecked();
}

void WorkStatusView::refresh() {
    const WorkFacts facts = WorkFacts::of(model_, false);
    title_->setText(statusTitle(facts));
    const auto percent = percentText(facts);
    percent_->setText(percent.value_or(QString()));
    percent_->setVisible(percent.has_value());

    const bool spinner = facts.isBusy && showsSpinner(facts);
    spinner_->setVisible(spinner);
    bar_->setVisible(facts.isBusy && !spinner);
    bar_->setFraction(facts.progressFraction);

    const auto detail = statusDetail(facts);
    const bool folds = detail && foldsDetail(facts);
    if (!folds && disclosure_->isChecked()) {
        // A new failure starts folded again.
        const QSignalBlocker quiet(disclosure_);
        disclosure_->setChecked(false);
    }
    disclosure_->setVisible(folds);
    detail_->setText(detail.value_or(QString()));
    const int detailSize = folds ? VeskaTheme::captionSize : VeskaTheme::calloutSize;
    // While work runs the detail counts bytes, which change several times a second.
    detail_->setFont(facts.isRunning() ? VeskaTheme::tabularFont(detailSize)
                                       : VeskaTheme::font(detailSize));
    detail_->setVisible(detail && (!folds || disclosure_->isChecked()));
}

}  // namespace tolvane
