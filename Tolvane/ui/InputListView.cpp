#include "Tolvane/ui/InputListView.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/ui/InputFileRow.h"
#include "Tolvane/ui/InputRowsAccessibility.h"
#include "Tolvane/ui/PlainToolTip.h"
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

void InputListModel::follow(const std::vector<std::string>& urls) {
    // Only the span between what stayed at both ends changed: appended inputs, one removed, or
    // everything when the selection was replaced.
    const std::size_t shorter = std::min(urls_.size(), urls.size());
    std::size_t prefix = 0;
    while (prefix < shorter && urls_[prefix] == urls[prefix]) {
        ++prefix;
    }
    std::size_t suffix = 0;
    while (suffix < shorter - prefix &&
           urls_[urls_.size() - 1 - suffix] == urls[urls.size() - 1 - suffix]) {
        ++suffix;
    }
    const auto first = static_cast<std::ptrdiff_t>(prefix);
    if (const std::size_t gone = urls_.size() - prefix - suffix; gone > 0) {
        beginRemoveRows({}, int(prefix), int(prefix + gone - 1));
        urls_.erase(urls_.begin() + first, urls_.begin() + first + std::ptrdiff_t(gone));
        endRemoveRows();
    }
    if (const std::size_t added = urls.size() - prefix - suffix; added > 0) {
        beginInsertRows({}, int(prefix), int(prefix + added - 1));
        urls_.insert(urls_.begin() + first, urls.begin() + first,
                     urls.begin() + first + std::ptrdiff_t(added));
        endInsertRows();
    }
}

void InputListModel::setRowsEnabled(bool enabled) {
    if (enabled == enabled_) {
        return;
    }
    enabled_ = enabled;
    if (!urls_.empty()) {
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {InputFileRow::removableRole});
    }
}

Qt::ItemFlags InputListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    // Never without ItemIsEnabled: the list's keyboard moves only onto enabled rows.
    return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
}

int InputListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(urls_.size());
}

QVariant InputListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return {};
    }
    const std::string& url = urlAt(index.row());
    switch (role) {
        case InputFileRow::urlRole:
            return QByteArray::fromStdString(url);
        case InputFileRow::removableRole:
            return enabled_;
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole:
            return InputFileRow::nameOf(url);
        case Qt::ToolTipRole:
            return plainToolTip(InputFileRow::pathOf(url));
        case Qt::AccessibleDescriptionRole:
            return InputFileRow::pathOf(url);
        default:
            return {};
    }
}

InputRowsView::InputRowsView(QWidget* parent) : QListView(parent) {
    delegate_ = new InputFileRow(this);
    setItemDelegate(delegate_);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Clicks on a row's button do not take the keyboard; Tab does, as it reached the buttons.
    setFocusPolicy(Qt::TabFocus);
    setMouseTracking(true);
    // The card's surface shows through the list.
    viewport()->setAutoFillBackground(false);
    VeskaStyle::useThinScrollBar(verticalScrollBar());
    verticalScrollBar()->setSingleStep(InputFileRow::rowHeight() / 2);
    setAccessibleName(QStringLiteral("선택한 파일"));
    // The rows' remove buttons are drawn, not widgets: assistive technology is told of them
    // apart, and told the key.
    setAccessibleDescription(removalHint);
    tellRowsToAssistiveTechnology(*this);
}

void InputRowsView::requestRemoval(const QModelIndex& index) {
    if (removable(index)) {
        emit removeRequested(index.data(InputFileRow::urlRole).toByteArray().toStdString());
    }
}

void InputRowsView::rowsInserted(const QModelIndex& parent, int start, int end) {
    ++rowsVersion_;
    QListView::rowsInserted(parent, start, end);
}

void InputRowsView::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) {
    ++rowsVersion_;
    QListView::rowsAboutToBeRemoved(parent, start, end);
}

void InputRowsView::reset() {
    ++rowsVersion_;
    QListView::reset();
}

bool InputRowsView::removable(const QModelIndex& index) {
    return index.isValid() && index.data(InputFileRow::removableRole).toBool();
}

QModelIndex InputRowsView::removeButtonAt(const QPoint& point) const {
    const QModelIndex index = indexAt(point);
    if (!removable(index) || !InputFileRow::removeRect(visualRect(index)).contains(point)) {
        return {};
    }
    return index;
}

void InputRowsView::setPressed(const QModelIndex& index) {
    if (delegate_->pressed() == QPersistentModelIndex(index)) {
        return;
    }
    if (delegate_->pressed().isValid()) {
        viewport()->update(visualRect(delegate_->pressed()));
    }
    delegate_->setPressed(index);
    if (index.isValid()) {
        viewport()->update(visualRect(index));
    }
}

void InputRowsView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        setPressed(removeButtonAt(event->position().toPoint()));
    }
    event->accept();
}

void InputRowsView::mouseDoubleClickEvent(QMouseEvent* event) {
    // The first click removed its row and the next one moved under the pointer: a double-click
    // must not remove that one too.
    event->accept();
}

void InputRowsView::mouseMoveEvent(QMouseEvent* event) {
    const bool overButton = removeButtonAt(event->position().toPoint()).isValid();
    if (overButton) {
        viewport()->setCursor(Qt::PointingHandCursor);
    } else {
        viewport()->unsetCursor();
    }
    event->accept();
}

void InputRowsView::mouseReleaseEvent(QMouseEvent* event) {
    const QPersistentModelIndex pressed = delegate_->pressed();
    setPressed({});
    event->accept();
    if (event->button() == Qt::LeftButton && pressed.isValid() &&
        removeButtonAt(event->position().toPoint()) == pressed) {
        requestRemoval(pressed);
    }
}

void InputRowsView::leaveEvent(QEvent* event) {
    viewport()->unsetCursor();
    QListView::leaveEvent(event);
}

void InputRowsView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Delete:
        case Qt::Key_Backspace:
        case Qt::Key_Space:
            if (const QModelIndex current = currentIndex(); removable(current)) {
                event->accept();
                requestRemoval(current);
                return;
            }
            break;
        default:
            break;
    }
    QListView::keyPressEvent(event);
}

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
    QFont digits = VeskaTheme::tabularFont(VeskaTheme::captionSize);
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

    rowsModel_ = new InputListModel(this);
    rows_ = new InputRowsView(this);
    rows_->setModel(rowsModel_);
    connect(rows_, &InputRowsView::removeRequested, this,
            [this](const std::string& url) { model_.removeInput(url); });
    // The scroll bar keeps clear of the card's border; the rows still line up with the header.
    auto* rowsBox = new QHBoxLayout;
    rowsBox->setContentsMargins(0, 0, sidePadding - InputFileRow::trailingInset, 0);
    rowsBox->addWidget(rows_);
    stack->addLayout(rowsBox, 1);

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

    connect(&model_, &DeliveryJobModel::inputURLsChanged, this, &InputListView::selectionChanged);
    for (auto signal :
         {&DeliveryJobModel::isBusyChanged, &DeliveryJobModel::inputModeChanged,
          &DeliveryJobModel::isCapturingInputSnapshotChanged, &DeliveryJobModel::phaseChanged,
          &DeliveryJobModel::inputSnapshotErrorChanged}) {
        connect(&model_, signal, this, &InputListView::refresh);
    }
    connect(&googleModel_, &GoogleConnectionModel::hasActiveTransferChanged, this,
            &InputListView::refresh);
    selectionChanged();
}

QString InputListView::countText() const {
    return count_->text();
}

QString InputListView::refusal() const {
    return refusalBox_->isHidden() ? QString() : refusal_->text();
}

void InputListView::selectionChanged() {
    const auto& urls = model_.inputURLs();
    rowsModel_->follow(urls);
    count_->setText(QLocale().toString(qulonglong(urls.size())));
    refresh();
}

void InputListView::refresh() {
    const bool locked = model_.isBusy() || googleModel_.hasActiveTransfer();
    header_->setEnabled(!locked);
    rowsModel_->setRowsEnabled(!locked);
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
