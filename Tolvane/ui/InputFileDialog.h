#pragma once

#include <QFileDialog>
#include <QModelIndexList>

#include <string>
#include <vector>

class QAbstractButton;
class QAbstractItemView;

namespace tolvane {

// The panel that adds inputs: files and folders together, several at once, in either of the
// panel's views, confirmed with "추가". Confirming takes exactly the rows chosen in the listing of
// the folder shown, folders as folders, instead of opening a chosen folder; with no row chosen it
// takes the names typed in the name field by the panel's own rules. A place typed there ("..", a
// path from "~" or "/", or the name of a folder) is opened, never added. The places beside the
// listing only move the panel elsewhere: a place highlighted there is never an input. Each folder
// the panel goes to starts with nothing chosen, and "추가" waits for a choice or a typed name.
class InputFileDialog final : public QFileDialog {
    Q_OBJECT

public:
    explicit InputFileDialog(QWidget* parent = nullptr);

    // The chosen paths as bytes, in the order they were chosen; set when the panel is confirmed.
    const std::vector<std::string>& chosen() const noexcept { return chosen_; }
    // The listing of the folder in the view now shown.
    QAbstractItemView* fileView() const;
    // The confirm button.
    QAbstractButton* acceptButton() const;

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Whether the name field, typed after the last choice in the listing, names a place to go.
    bool typedPlace() const;

    // The rows chosen in the folder the listing shows.
    QModelIndexList chosenRows() const;
    // Qt's panel selects rows of other folders: the folder shown, in its parent's listing, when
    // the name field empties, and the choice made in a folder when the panel goes back to it.
    // Neither is what the user sees chosen; these drop them.
    void dropRowsElsewhere();
    void folderChanged();

    // Qt's panel names its button "열기" whenever a folder is highlighted; the panel adds it. The
    // button is enabled only while something is chosen or typed.
    void keepPrompt();

    std::vector<std::string> chosen_;
    bool typedLast_ = false;
};

}  // namespace tolvane
