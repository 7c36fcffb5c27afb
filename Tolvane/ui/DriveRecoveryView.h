#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Tolvane/model/GoogleConnectionModel.h"
#include "core/drive/DriveTypes.h"

class QVBoxLayout;

namespace tolvane {

class DisclosureButton;
class SymbolLabel;
class ThemedLabel;

// The trailing part of one row of the recovery list, by the model's transfer.
struct DriveRecoveryTrailing {
    enum class Kind { resume, progress, cancelling, chooseFile, failed };

    Kind kind = Kind::resume;
    QString stage;        // progress: what the resumed transfer does now
    QString transferred;  // progress, while uploading with a known total: "<done> / <total>"
    QString message;      // failed: the model's message
    bool resumeEnabled = true;

    // Only a recovery state of this item's job counts for its row.
    static DriveRecoveryTrailing of(const DriveRecoveryItem& item,
                                    const GoogleConnectionModel::TransferState& state,
                                    const std::optional<DriveTransferProgress>& progress,
                                    bool hasActiveTransfer);

    friend bool operator==(const DriveRecoveryTrailing&, const DriveRecoveryTrailing&) = default;
};

// The recovery list; hides itself while there is nothing to show.
//
// It lists the connected account's interrupted Drive transfers, folded at first, and lets the
// user resume one after a confirmation, pick the same ZIP again when the saved file cannot be
// reached, stop a resumed transfer, and use the link once a resumed transfer is shared. The model
// keeps the list current; the view never asks for it.
class DriveRecoveryView : public QWidget {
    Q_OBJECT

public:
    DriveRecoveryView(GoogleConnectionModel& model, QWidget* parent = nullptr);
    ~DriveRecoveryView() override;

    // The journal phase as a row shows it.
    static QString phaseLabel(const std::string& phase);
    // The line under a row's file name: size, role and phase.
    static QString detailLine(const DriveRecoveryItem& item);
    static QString confirmationMessage(const DriveRecoveryItem& item);
    // The window-modal question asked before a transfer is resumed; its accept button is the
    // default one.
    static QMessageBox* makeConfirmation(const DriveRecoveryItem& item, QWidget* parent);

    // Asks for the same ZIP again; an empty answer means the user cancelled. A file dialog
    // unless replaced (the tests answer without one).
    std::function<std::optional<std::string>(QWidget* parent)> chooseFile;

    // The open confirmation, if any.
    QMessageBox* confirmation() const { return confirmation_; }

private:
    class Row;

    void rebuildRows();
    void refresh();
    void confirmResume(const DriveRecoveryItem& item);
    void chooseArchive(const DriveRecoveryItem& item);
    void useLink(bool open);

    GoogleConnectionModel& model_;
    std::optional<DriveRecoveryItem> confirmationItem_;
    std::optional<std::string> selectedURL_;
    std::optional<QString> linkCheckError_;
    QPointer<QMessageBox> confirmation_;

    QWidget* error_ = nullptr;
    ThemedLabel* errorText_ = nullptr;
    DisclosureButton* header_ = nullptr;
    QWidget* rowsBox_ = nullptr;
    QVBoxLayout* rows_ = nullptr;
    std::vector<Row*> rowWidgets_;
    QWidget* link_ = nullptr;
    ThemedLabel* linkError_ = nullptr;
};

}  // namespace tolvane
