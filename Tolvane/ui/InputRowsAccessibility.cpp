#include "Tolvane/ui/InputRowsAccessibility.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAccessibleWidget>
#include <QPersistentModelIndex>
#include <QPointer>

#include <mutex>
#include <unordered_map>

#include "Tolvane/ui/InputFileRow.h"
#include "Tolvane/ui/InputListView.h"

namespace tolvane {

namespace {

class RowAccessible;

// A drawn part of one row: the row itself or its remove button, following its input. The list
// lets both go whenever rows are added or removed; one still held is invalid once its input is
// gone.
class RowPart : public QAccessibleInterface {
public:
    RowPart(InputRowsView& view, const QModelIndex& index) : view_(&view), index_(index) {}

    bool isValid() const override { return !view_.isNull() && index_.isValid(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return view_ ? view_->window()->windowHandle() : nullptr; }
    void setText(QAccessible::Text, const QString&) override {}

    QAccessible::State state() const override {
        QAccessible::State state;
        if (!isValid()) {
            state.invalid = true;
            return state;
        }
        state.offscreen = !view_->isVisible() || !view_->viewport()->rect().intersects(area());
        addState(state);
        return state;
    }
    QRect rect() const override {
        if (!isValid()) {
            return {};
        }
        const QRect area = this->area();
        return QRect(view_->viewport()->mapToGlobal(area.topLeft()), area.size());
    }

protected:
    // Where the part is drawn in the rows' viewport.
    virtual QRect area() const = 0;
    virtual void addState(QAccessible::State& state) const = 0;

    QString name() const { return index_.data(Qt::AccessibleTextRole).toString(); }

    QPointer<InputRowsView> view_;
    QPersistentModelIndex index_;
};

// The remove button of a row, pressed by assistive technology as by the pointer.
class RemoveButtonAccessible final : public RowPart, public QAccessibleActionInterface {
public:
    RemoveButtonAccessible(InputRowsView& view, const QModelIndex& index, RowAccessible& row)
        : RowPart(view, index), row_(row) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }

    QAccessible::Role role() const override { return QAccessible::Button; }
    QString text(QAccessible::Text type) const override {
        switch (type) {
            case QAccessible::Name:
                return name() + QStringLiteral(" 제거");
            case QAccessible::Description:
            case QAccessible::Help:
                return InputFileRow::removeHelp;
            default:
                return {};
        }
    }
    QAccessibleInterface* parent() const override;
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& action) override {
        if (action == pressAction() && isValid()) {
            view_->requestRemoval(index_);
        }
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    QRect area() const override { return InputFileRow::removeRect(view_->visualRect(index_)); }
    void addState(QAccessible::State& state) const override {
        state.disabled = !index_.data(InputFileRow::removableRole).toBool();
    }

    RowAccessible& row_;
};

// One row: the input's name, its whole path, and its remove button as its one child.
class RowAccessible final : public RowPart {
public:
    RowAccessible(InputRowsView& view, const QModelIndex& index) : RowPart(view, index) {}
    ~RowAccessible() override {
        if (button_ != 0) {
            QAccessible::deleteAccessibleInterface(button_);
        }
    }

    QAccessible::Role role() const override { return QAccessible::ListItem; }
    QString text(QAccessible::Text type) const override {
        switch (type) {
            case QAccessible::Name:
                return name();
            case QAccessible::Description:
                return index_.data(Qt::AccessibleDescriptionRole).toString();
            default:
                return {};
        }
    }
    QAccessibleInterface* parent() const override {
        return view_ ? QAccessible::queryAccessibleInterface(view_.data()) : nullptr;
    }
    QAccessibleInterface* child(int index) const override {
        if (index != 0 || !isValid()) {
            return nullptr;
        }
        if (button_ == 0) {
            button_ = QAccessible::registerAccessibleInterface(
                new RemoveButtonAccessible(*view_, index_, const_cast<RowAccessible&>(*this)));
        }
        return QAccessible::accessibleInterface(button_);
    }
    int childCount() const override { return isValid() ? 1 : 0; }
    // The row's place in the list now; -1 once its input is gone.
    int place() const { return isValid() ? index_.row() : -1; }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return button_ != 0 && child == QAccessible::accessibleInterface(button_) ? 0 : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        QAccessibleInterface* button = child(0);
        return button && button->rect().contains(x, y) ? button : nullptr;
    }

private:
    QRect area() const override { return view_->visualRect(index_); }
    void addState(QAccessible::State& state) const override {
        state.focusable = true;
        state.focused = view_->hasFocus() && view_->currentIndex() == index_;
    }

    mutable QAccessible::Id button_ = 0;
};

QAccessibleInterface* RemoveButtonAccessible::parent() const {
    return &row_;
}

// The list: its rows as its children, in the list's order. The rows told before the list last
// changed are let go, as their places no longer hold.
class RowsAccessible final : public QAccessibleWidget {
public:
    explicit RowsAccessible(InputRowsView* view) : QAccessibleWidget(view, QAccessible::List) {}
    ~RowsAccessible() override { forgetRows(); }

    int childCount() const override { return view().model() ? view().model()->rowCount() : 0; }
    QAccessibleInterface* child(int index) const override {
        if (index < 0 || index >= childCount()) {
            return nullptr;
        }
        if (version_ != view().rowsVersion()) {
            forgetRows();
            version_ = view().rowsVersion();
        }
        QAccessible::Id& id = rows_[index];
        if (id == 0) {
            id = QAccessible::registerAccessibleInterface(
                new RowAccessible(view(), view().model()->index(index, 0)));
        }
        return QAccessible::accessibleInterface(id);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        // A row knows its place even after rows before it have come or gone.
        const auto* row = dynamic_cast<const RowAccessible*>(child);
        return row != nullptr && row->parent() == this ? row->place() : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint point = view().viewport()->mapFromGlobal(QPoint(x, y));
        const QModelIndex index = view().indexAt(point);
        return index.isValid() ? child(index.row()) : nullptr;
    }
    QAccessibleInterface* focusChild() const override {
        const QModelIndex current = view().currentIndex();
        return view().hasFocus() && current.isValid() ? child(current.row()) : nullptr;
    }

private:
    InputRowsView& view() const { return *static_cast<InputRowsView*>(widget()); }

    void forgetRows() const {
        for (const auto& [row, id] : rows_) {
            QAccessible::deleteAccessibleInterface(id);
        }
        rows_.clear();
    }

    mutable std::unordered_map<int, QAccessible::Id> rows_;
    mutable std::uint64_t version_ = 0;
};

QAccessibleInterface* accessibleInputRows(const QString& className, QObject* object) {
    if (className == QLatin1String("tolvane::InputRowsView") && object->isWidgetType()) {
        return new RowsAccessible(static_cast<InputRowsView*>(object));
    }
    return nullptr;
}

}  // namespace

void tellRowsToAssistiveTechnology(InputRowsView& view) {
    static std::once_flag installed;
    std::call_once(installed, [] { QAccessible::installFactory(accessibleInputRows); });
    // While the list view was being built it was a plain list to Qt, which may have made it an
    // interface as such already.
    QAccessibleInterface* made = QAccessible::queryAccessibleInterface(&view);
    if (made != nullptr && dynamic_cast<RowsAccessible*>(made) == nullptr) {
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
        QAccessible::queryAccessibleInterface(&view);
    }
}

}  // namespace tolvane
