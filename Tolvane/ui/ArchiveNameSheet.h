#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <string>

class QLineEdit;

namespace tolvane {

class ElidedLabel;
class VeskaButton;

// The sheet that asks for the name of a new ZIP in a folder already chosen. It shows the folder,
// one name field and, below it, why the name cannot be used or the name that will really be
// written. Confirming (the button or Return in the field) hands the text as typed to `onSave`
// once and closes the sheet; Escape, "취소" and the window's close button call `onCancel` once.
// Window-modal: open it with open().
class ArchiveNameSheet final : public QDialog {
    Q_OBJECT
public:
    ArchiveNameSheet(std::string folder, const QString& initialName,
                     std::function<void(const QString&)> onSave, std::function<void()> onCancel,
                     QWidget* parent = nullptr);

    static constexpr int sheetWidth = 440;

    // The name line's text for the typed name and the name the rule chose: the refusal when
    // the rule chose none, "저장 이름: <name>" when it differs from the text, otherwise nothing.
    static QString nameLine(const QString& enteredName, const QString& availableName);

    QString enteredName() const;
    void setEnteredName(const QString& name);

    void done(int result) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void saveIfValid();
    QString availableName() const;

    std::string folder_;
    std::function<void(const QString&)> onSave_;
    std::function<void()> onCancel_;
    bool finished_ = false;

    QLineEdit* nameField_ = nullptr;
    ElidedLabel* nameLine_ = nullptr;
    VeskaButton* confirm_ = nullptr;
};

}  // namespace tolvane
