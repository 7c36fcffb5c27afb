#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QLabel;

namespace tolvane {

class DeliveryJobModel;
class GoogleConnectionModel;
class InputFileRow;
class ThemedLabel;
class VeskaButton;
class WorkStatusView;

// The selection as rows for a list view: one row per input, in the selection's order. It follows
// the selection by the span that changed, so adding or removing inputs touches only their rows.
class InputListModel final : public QAbstractListModel {
    Q_OBJECT

public:
    explicit InputListModel(QObject* parent = nullptr) : QAbstractListModel(parent) {}

    // Takes the selection as it is now.
    void follow(const std::vector<std::string>& urls);
    // Whether the rows can be removed now; the list still scrolls while they cannot.
    void setRowsEnabled(bool enabled);
    bool rowsEnabled() const noexcept { return enabled_; }
    const std::string& urlAt(int row) const { return urls_.at(static_cast<std::size_t>(row)); }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    std::vector<std::string> urls_;
    bool enabled_ = true;
};

// The rows of the input list. Only the rows on screen are drawn. A click on a row's remove
// button, or Delete, Backspace or Space on the row the keyboard is on, asks to remove its input
// while the rows are enabled.
class InputRowsView final : public QListView {
    Q_OBJECT

public:
    // The list's accessible description: how a row's input is removed.
    static inline const QString removalHint =
        QStringLiteral("Delete 키를 누르면 선택한 항목을 입력에서 제거합니다.");

    explicit InputRowsView(QWidget* parent = nullptr);

    InputFileRow* rowDelegate() const { return delegate_; }

    // Asks to remove the input of the row, when it can be removed now.
    void requestRemoval(const QModelIndex& index);
    // Changes each time rows are added or removed, so that what was told of a row by its place
    // is told anew.
    std::uint64_t rowsVersion() const noexcept { return rowsVersion_; }

signals:
    void removeRequested(const std::string& url);

protected:
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override;
    void reset() override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    // The row whose remove button lies under the point, if any and if it can be removed.
    QModelIndex removeButtonAt(const QPoint& point) const;
    static bool removable(const QModelIndex& index);
    void setPressed(const QModelIndex& index);

    InputFileRow* delegate_ = nullptr;
    std::uint64_t rowsVersion_ = 0;
};

// The workspace while inputs are selected: a header with the count, "추가" (Ctrl+O) and a button
// that clears the selection; one row per input; the reason a mix is refused; and the work status
// while work runs or after it failed or stopped. The header and the rows are disabled while a job
// or a Drive transfer runs.
class InputListView final : public QWidget {
    Q_OBJECT

public:
    // `chooseInputs` opens the file panel for more inputs.
    InputListView(DeliveryJobModel& model, GoogleConnectionModel& googleModel,
                  std::function<void()> chooseInputs, QWidget* parent = nullptr);

    QWidget* header() const { return header_; }
    VeskaButton* addButton() const { return add_; }
    WorkStatusView* workStatus() const { return status_; }
    InputRowsView* rowsView() const { return rows_; }
    const InputListModel& rowsModel() const { return *rowsModel_; }
    // The count as shown in the header.
    QString countText() const;
    // The refusal of the selection as shown; empty when none is.
    QString refusal() const;

private:
    void selectionChanged();
    void refresh();

    DeliveryJobModel& model_;
    GoogleConnectionModel& googleModel_;
    QWidget* header_ = nullptr;
    QLabel* count_ = nullptr;
    VeskaButton* add_ = nullptr;
    InputListModel* rowsModel_ = nullptr;
    InputRowsView* rows_ = nullptr;
    ThemedLabel* refusal_ = nullptr;
    QWidget* refusalBox_ = nullptr;
    QWidget* statusLine_ = nullptr;
    QWidget* statusBox_ = nullptr;
    WorkStatusView* status_ = nullptr;
};

}  // namespace tolvane
