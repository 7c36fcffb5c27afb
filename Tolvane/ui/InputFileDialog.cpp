#include "Tolvane/ui/InputFileDialog.h"

#include <QAbstractItemView>
#include <QAbstractProxyModel>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>

namespace tolvane {

namespace {

const QString prompt = QStringLiteral("추가");

// Whether a view lists files: the folder's listing does, the places beside it list bookmarks.
bool listsFiles(const QAbstractItemView& view) {
    const QAbstractItemModel* model = view.model();
    while (const auto* proxy = qobject_cast<const QAbstractProxyModel*>(model)) {
        model = proxy->sourceModel();
    }
    return qobject_cast<const QFileSystemModel*>(model) != nullptr;
}

}  // namespace

InputFileDialog::InputFileDialog(QWidget* parent) : QFileDialog(parent) {
    // Qt's own panel, so that it behaves the same on every desktop.
    setOption(QFileDialog::DontUseNativeDialog);
    setOption(QFileDialog::ReadOnly);  // no new folders here
    setFileMode(QFileDialog::ExistingFiles);
    setWindowTitle(QStringLiteral("전달할 파일 선택"));
    setLabelText(QFileDialog::Accept, prompt);
    setWindowModality(Qt::WindowModal);

    // After the panel's own handlers, which rename the button, have run.
    for (auto* field : findChildren<QLineEdit*>()) {
        connect(field, &QLineEdit::textChanged, this, &InputFileDialog::keepPrompt);
    }
    for (auto* view : findChildren<QAbstractItemView*>()) {
        if (listsFiles(*view) && view->selectionModel() != nullptr) {
            connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                    &InputFileDialog::keepPrompt);
            connect(view->selectionModel(), &QItemSelectionModel::currentChanged, this,
                    &InputFileDialog::keepPrompt);
        }
    }
    connect(this, &QFileDialog::directoryEntered, this, &InputFileDialog::keepPrompt);
}

QAbstractItemView* InputFileDialog::fileView() const {
    QAbstractItemView* found = nullptr;
    for (auto* view : findChildren<QAbstractItemView*>()) {
        if (!listsFiles(*view)) {
            continue;
        }
        // The list and the detail views share one selection; the one shown is the one in use.
        if (view->isVisible()) {
            return view;
        }
        if (found == nullptr) {
            found = view;
        }
    }
    return found;
}

QAbstractButton* InputFileDialog::acceptButton() const {
    auto* buttons = findChild<QDialogButtonBox*>();
    return buttons == nullptr ? nullptr : buttons->button(QDialogButtonBox::Open);
}

void InputFileDialog::keepPrompt() {
    if (QAbstractButton* button = acceptButton(); button && button->text() != prompt) {
        setLabelText(QFileDialog::Accept, prompt);
    }
}

void InputFileDialog::accept() {
    chosen_.clear();
    QModelIndexList rows;
    if (const QAbstractItemView* view = fileView(); view && view->selectionModel()) {
        rows = view->selectionModel()->selectedRows();
    }
    if (!rows.isEmpty()) {
        for (const QModelIndex& row : rows) {
            const QString path = row.data(QFileSystemModel::FilePathRole).toString();
            if (!path.isEmpty()) {
                chosen_.push_back(QFile::encodeName(path).toStdString());
            }
        }
        // Not the panel's own accept: it would open a chosen folder instead of adding it.
        QDialog::accept();
        return;
    }
    // Only typed names: a folder typed opens, files are checked, as the panel always does.
    for (const QString& path : selectedFiles()) {
        chosen_.push_back(QFile::encodeName(path).toStdString());
    }
    QFileDialog::accept();
}

}  // namespace tolvane
