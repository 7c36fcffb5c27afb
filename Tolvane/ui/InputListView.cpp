#include "Tolvane/ui/InputListView.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLocale>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <utility>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/ui/InputFileRow.h"
#include "Tolvane/ui/ThemedLabel.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaStyle.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "Tolvane/ui/WorkStatusView.h"

namespace tolvane {

namespace {

constexpr int sidePadding = 20;

// A 1-point line in the divider colour, indented on the leading side.
class DividerLine final : public QWidget {
public:
    DividerLine(int indent, QWidget* parent) : QWidget(parent), indent_(indent) {
        setFixedHeight(1);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(rect().adjusted(indent_, 0, 0, 0), VeskaTheme::divider.in(*this));
    }

private:
    int indent_;
};

QWidget* padded(QWidget* content, const QMargins& margins, QWidget* parent) {
    auto* box = new QWidget(parent);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(margins);
    layout->setSpacing(0);
    content->setParent(box);
    layout->addWidget(content);
    return box;
}

}  // namespace

InputListView::InputListView(DeliveryJobModel& model, GoogleConnectionModel& googleModel,
                             std::function<void()> chooseInputs, QWidget* parent)
    : QWidget(parent), model_(model), googleModel_(googleModel) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    header_ = new QWidget(this);
    auto* headerRow = new QHBoxLayout(header_);
    headerRow->setContentsMargins(sidePadding, 16, sidePadding, 16);
    headerRow->setSpacing(8);
    auto* title = new ThemedLabel(QStringLiteral("파일"), header_);
    title->setFont(VeskaTheme::font(VeskaTheme::subheadlineSize, QFont::DemiBold));
    auto* count = new ThemedLabel(QString(), header_);
    QFont digits = VeskaTheme::font(VeskaTheme::captionSize);
    count->setFont(digits);
    count->setColor(VeskaTheme::muted);
    count_ = count;
    add_ = new VeskaButton(QStringLiteral("추가"), VeskaSecondaryButtonStyle(), header_);
    add_->setSymbol(QStringLiteral("plus"));
    // Only while the header is enabled: a disabled button takes no shortcut.
    add_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(add_, &QPushButton::clicked, this, [chooseInputs = std::move(chooseInputs)] {
        if (chooseInputs) {
            chooseInputs();
        }
    });
    auto* clear = new PlainSymbolButton(QStringLiteral("trash"), 15, 24, header_);
    clear->setToolTip(QStringLiteral("선택 비우기"));
    clear->setAccessibleName(QStringLiteral("선택한 파일 모두 제거"));
    connect(clear, &QAbstractButton::clicked, &model_, &DeliveryJobModel::clearInputs);
    headerRow->addWidget(title, 0, Qt::AlignVCenter);
    headerRow->addWidget(count, 0, Qt::AlignVCenter);
    headerRow->addStretch(1);
    headerRow->addWidget(add_, 0, Qt::AlignVCenter);
    headerRow->addWidget(clear, 0, Qt::AlignVCenter);
    stack->addWidget(header_);
    stack->addWidget(padded(new DividerLine(0, nullptr), {sidePadding, 0, sidePadding, 0}, this));

    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->viewport()->setAutoFillBackground(false);
    VeskaStyle::useThinScrollBar(scroll->verticalScrollBar());
    rowsBox_ = new QWidget(scroll);
    rowsLayout_ = new QVBoxLayout(rowsBox_);
    // The scroll bar keeps clear of the card's border; the rows still line up with the header.
    constexpr int scrollInset = 6;
    rowsLayout_->setContentsMargins(sidePadding, 0, sidePadding - scrollInset, 0);
    rowsLayout_->setSpacing(0);
    scroll->setWidget(rowsBox_);
    // The card's surface shows through the list.
    rowsBox_->setAutoFillBackground(false);
    auto* scrollBox = new QHBoxLayout;
    scrollBox->setContentsMargins(0, 0, scrollInset, 0);
    scrollBox->addWidget(scroll);
    stack->addLayout(scrollBox, 1);

    refusal_ = new ThemedLabel(QString(), this);
    refusal_->setFont(VeskaTheme::font(VeskaTheme::calloutSize));
    refusal_->setColor(VeskaTheme::warning);
    refusal_->setWordWrap(true);
    refusalBox_ = padded(refusal_, {sidePadding, sidePadding, sidePadding, sidePadding}, this);
    stack->addWidget(refusalBox_);

    statusLine_ = padded(new DividerLine(0, nullptr), {sidePadding, 0, sidePadding, 0}, this);
    stack->addWidget(statusLine_);
    status_ = new WorkStatusView(model_, nullptr);
    statusBox_ = padded(status_, {sidePadding, sidePadding, sidePadding, sidePadding}, this);
    stack->addWidget(statusBox_);

    connect(&model_, &DeliveryJobModel::inputURLsChanged, this, &InputListView::rebuildRows);
    for (auto signal :
         {&DeliveryJobModel::isBusyChanged, &DeliveryJobModel::inputModeChanged,
          &DeliveryJobModel::isCapturingInputSnapshotChanged, &DeliveryJobModel::phaseChanged,
          &DeliveryJobModel::inputSnapshotErrorChanged}) {
        connect(&model_, signal, this, &InputListView::refresh);
    }
    connect(&googleModel_, &GoogleConnectionModel::hasActiveTransferChanged, this,
            &InputListView::refresh);
    rebuildRows();
}

std::vector<InputFileRow*> InputListView::rows() const {
    std::vector<InputFileRow*> rows;
    for (int i = 0; i < rowsLayout_->count(); ++i) {
        if (auto* row = qobject_cast<InputFileRow*>(rowsLayout_->itemAt(i)->widget())) {
            rows.push_back(row);
        }
    }
    return rows;
}

QString InputListView::refusal() const {
    return refusalBox_->isHidden() ? QString() : refusal_->text();
}

void InputListView::rebuildRows() {
    const auto& urls = model_.inputURLs();
    // Take every item out; rows still selected go back in the new order, the rest are deleted,
    // and the separators are made anew.
    while (QLayoutItem* item = rowsLayout_->takeAt(0)) {
        if (QWidget* widget = item->widget(); widget && !qobject_cast<InputFileRow*>(widget)) {
            delete widget;
        }
        delete item;
    }
    std::map<std::string, InputFileRow*> kept;
    for (std::size_t i = 0; i < urls.size(); ++i) {
        const std::string& url = urls[i];
        InputFileRow* row = nullptr;
        if (const auto found = rowsByURL_.find(url); found != rowsByURL_.end()) {
            row = found->second;
            rowsByURL_.erase(found);
        } else {
            row = new InputFileRow(
                url, [this, url] { model_.removeInput(url); }, rowsBox_);
        }
        kept.emplace(url, row);
        rowsLayout_->addWidget(row);
        if (i + 1 < urls.size()) {
            rowsLayout_->addWidget(new DividerLine(44, rowsBox_));
        }
    }
    for (const auto& [url, row] : rowsByURL_) {
        delete row;
    }
    rowsByURL_ = std::move(kept);
    rowsLayout_->addStretch(1);
    count_->setText(QLocale().toString(qulonglong(urls.size())));
    refresh();
}

void InputListView::refresh() {
    const bool locked = model_.isBusy() || googleModel_.hasActiveTransfer();
    header_->setEnabled(!locked);
    for (const auto& [url, row] : rowsByURL_) {
        row->setEnabled(!locked);
    }
    const auto mode = model_.inputMode();
    const bool refused = mode.kind == DeliveryJobModel::InputMode::Kind::invalid;
    refusal_->setText(refused ? mode.message : QString());
    refusalBox_->setVisible(refused);

    using Phase = DeliveryJobModel::Phase;
    const bool status = model_.isBusy() || model_.isCapturingInputSnapshot() ||
                        model_.phase() == Phase::failed || model_.phase() == Phase::cancelled ||
                        model_.inputSnapshotError().has_value();
    statusLine_->setVisible(status);
    statusBox_->setVisible(status);
}

}  // namespace tolvane
