#include "Tolvane/ui/WorkFooterView.h"

#include <QHBoxLayout>
#include <QShortcut>

#include <utility>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/ui/SymbolLabel.h"
#include "Tolvane/ui/ThemedLabel.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

namespace {

using Phase = DeliveryJobModel::Phase;
using ModeKind = DeliveryJobModel::InputMode::Kind;

}  // namespace

WorkFooterView::Action WorkFooterView::action(const WorkFacts& facts) {
    if (facts.canCancel) {
        return Action::stop;
    }
    if (facts.isBusy) {
        return Action::finishing;
    }
    if (facts.canRefreshInputs) {
        return Action::recheck;
    }
    return facts.hasInputs ? Action::start : Action::nothing;
}

bool WorkFooterView::canStart(const WorkFacts& facts) {
    if (facts.phase == Phase::complete || facts.hasActiveTransfer) {
        return false;
    }
    switch (facts.inputMode) {
        case ModeKind::empty:
        case ModeKind::invalid:
            return false;
        case ModeKind::singleArchive:
            return true;
        case ModeKind::files:
            return !facts.isCapturingInputSnapshot && facts.hasInputSnapshot;
    }
    return false;
}

WorkFooterView::WorkFooterView(DeliveryJobModel& model, GoogleConnectionModel& googleModel,
                               std::function<void()> start, QWidget* parent)
    : QWidget(parent), model_(model), googleModel_(googleModel) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);

    // The label keeps its own tooltip for a cut text; the note's help sits on a box around it.
    auto* noteBox = new QWidget(this);
    noteBox->setToolTip(QStringLiteral("원본과 기존 결과를 덮어쓰지 않습니다."));
    auto* noteLayout = new QHBoxLayout(noteBox);
    noteLayout->setContentsMargins(0, 0, 0, 0);
    note_ =
        new SymbolLabel(QStringLiteral("checkmark.shield"), QStringLiteral("원본 유지"), noteBox);
    note_->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    note_->setColor(VeskaTheme::muted);
    noteLayout->addWidget(note_);
    row->addWidget(noteBox, 0, Qt::AlignVCenter);
    row->addStretch(1);

    stop_ = new VeskaButton(QStringLiteral("중단"), VeskaSecondaryButtonStyle(), this);
    connect(stop_, &QPushButton::clicked, &model_, &DeliveryJobModel::cancel);
    row->addWidget(stop_, 0, Qt::AlignVCenter);

    finishing_ = new ThemedLabel(QStringLiteral("마무리 중"), this);
    finishing_->setFont(VeskaTheme::font(VeskaTheme::calloutSize));
    finishing_->setColor(VeskaTheme::muted);
    row->addWidget(finishing_, 0, Qt::AlignVCenter);

    recheck_ = new VeskaButton(QStringLiteral("다시 확인"), VeskaPrimaryButtonStyle(), this);
    recheck_->setSymbol(QStringLiteral("arrow.clockwise"));
    recheck_->setToolTip(QStringLiteral("선택한 파일을 다시 확인한 뒤 압축을 재시도합니다."));
    connect(recheck_, &QPushButton::clicked, &model_, &DeliveryJobModel::refreshInputs);
    row->addWidget(recheck_, 0, Qt::AlignVCenter);

    start_ = new VeskaButton(QString(), VeskaPrimaryButtonStyle(), this);
    connect(start_, &QPushButton::clicked, this, [start = std::move(start)] {
        if (start) {
            start();
        }
    });
    row->addWidget(start_, 0, Qt::AlignVCenter);

    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        connect(shortcut, &QShortcut::activated, this, &WorkFooterView::pressDefault);
    }
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &WorkFooterView::pressCancel);

    for (auto signal :
         {&DeliveryJobModel::phaseChanged, &DeliveryJobModel::isBusyChanged,
          &DeliveryJobModel::canCancelChanged, &DeliveryJobModel::canRefreshInputsChanged,
          &DeliveryJobModel::inputModeChanged, &DeliveryJobModel::inputURLsChanged,
          &DeliveryJobModel::isCapturingInputSnapshotChanged,
          &DeliveryJobModel::inputSnapshotChanged}) {
        connect(&model_, signal, this, &WorkFooterView::refresh);
    }
    connect(&googleModel_, &GoogleConnectionModel::hasActiveTransferChanged, this,
            &WorkFooterView::refresh);
    refresh();
}

void WorkFooterView::refresh() {
    const WorkFacts facts = WorkFacts::of(model_, googleModel_.hasActiveTransfer());
    shown_ = action(facts);
    stop_->setVisible(shown_ == Action::stop);
    finishing_->setVisible(shown_ == Action::finishing);
    recheck_->setVisible(shown_ == Action::recheck);
    start_->setVisible(shown_ == Action::start);
    // A refused mix still names what the button would do with files: it packs.
    const bool unpack = facts.inputMode == ModeKind::singleArchive;
    start_->setText(unpack ? QStringLiteral("압축 풀기") : QStringLiteral("ZIP 만들기"));
    start_->setSymbol(unpack ? QStringLiteral("archivebox") : QStringLiteral("archivebox.fill"));
    start_->setEnabled(canStart(facts));
}

void WorkFooterView::pressDefault() {
    for (VeskaButton* button : {start_, recheck_}) {
        if (button->isVisible() && button->isEnabled()) {
            button->click();
            return;
        }
    }
}

void WorkFooterView::pressCancel() {
    if (stop_->isVisible() && stop_->isEnabled()) {
        stop_->click();
    }
}

}  // namespace tolvane
