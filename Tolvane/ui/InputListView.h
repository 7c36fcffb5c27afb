#pragma once

#include <QWidget>

#include <functional>
#include <map>
#include <string>

class QLabel;
class QVBoxLayout;

namespace tolvane {

class DeliveryJobModel;
class GoogleConnectionModel;
class InputFileRow;
class ThemedLabel;
class VeskaButton;
class WorkStatusView;

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
    // The rows in the selection's order.
    std::vector<InputFileRow*> rows() const;
    // The refusal of the selection as shown; empty when none is.
    QString refusal() const;

private:
    void rebuildRows();
    void refresh();

    DeliveryJobModel& model_;
    GoogleConnectionModel& googleModel_;
    QWidget* header_ = nullptr;
    QLabel* count_ = nullptr;
    VeskaButton* add_ = nullptr;
    QWidget* rowsBox_ = nullptr;
    QVBoxLayout* rowsLayout_ = nullptr;
    // Rows kept by path, so that adding or removing one input rebuilds no other row.
    std::map<std::string, InputFileRow*> rowsByURL_;
    ThemedLabel* refusal_ = nullptr;
    QWidget* refusalBox_ = nullptr;
    QWidget* statusLine_ = nullptr;
    QWidget* statusBox_ = nullptr;
    WorkStatusView* status_ = nullptr;
};

}  // namespace tolvane
