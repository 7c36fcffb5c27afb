#include "Tolvane/ui/InputFileDialog.h"

#include <QAbstractItemView>
#include <QAbstractProxyModel>
#include <QDialogButtonBox>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
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
        connect(field, &QLineEdit::textEdited, this, [this] { typedLast_ = true; });
    }
    for (auto* view : findChildren<QAbstractItemView*>()) {
        if (listsFiles(*view) && view->selectionModel() != nullptr) {
            connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                    &InputFileDialog::dropRowsElsewhere);
            connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                    &InputFileDialog::keepPrompt);
            connect(view->selectionModel(), &QItemSelectionModel::currentChanged, this,
                    &InputFileDialog::keepPrompt);
            view->installEventFilter(this);
            view->viewport()->installEventFilter(this);
        }
    }
    connect(this, &QFileDialog::directoryEntered, this, &InputFileDialog::keepPrompt);
    // Queued, so that a choice the panel restores on going back or forward is cleared too.
    if (auto* files = findChild<QFileSystemModel*>()) {
        connect(files, &QFileSystemModel::rootPathChanged, this, &InputFileDialog::folderChanged,
                Qt::QueuedConnection);
    }
    keepPrompt();
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

QModelIndexList InputFileDialog::chosenRows() const {
    const QAbstractItemView* view = fileView();
    if (view == nullptr || view->selectionModel() == nullptr) {
        return {};
    }
    QModelIndexList rows = view->selectionModel()->selectedRows();
    rows.removeIf([&](const QModelIndex& row) { return row.parent() != view->rootIndex(); });
    return rows;
}

void InputFileDialog::dropRowsElsewhere() {
    const QAbstractItemView* view = fileView();
    QItemSelectionModel* selection = view == nullptr ? nullptr : view->selectionModel();
    if (selection == nullptr) {
        return;
    }
    QItemSelection elsewhere;
    for (const QItemSelectionRange& range : selection->selection()) {
        if (range.parent() != view->rootIndex()) {
            elsewhere.append(range);
        }
    }
    if (!elsewhere.isEmpty()) {
        selection->select(elsewhere, QItemSelectionModel::Deselect);
    }
}

void InputFileDialog::folderChanged() {
    if (const QAbstractItemView* view = fileView(); view && view->selectionModel()) {
        view->selectionModel()->clearSelection();
    }
    // Neither names the panel wrote there from the choice left behind nor a place typed to get
    // here name anything in this folder.
    if (auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        field->clear();
    }
    typedLast_ = false;
    keepPrompt();
}

void InputFileDialog::keepPrompt() {
    QAbstractButton* button = acceptButton();
    if (button == nullptr) {
        return;
    }
    if (button->text() != prompt) {
        setLabelText(QFileDialog::Accept, prompt);
    }
    const auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (button->isEnabled() && chosenRows().isEmpty() &&
        (field == nullptr || field->text().isEmpty())) {
        button->setEnabled(false);
    }
}

bool InputFileDialog::eventFilter(QObject* watched, QEvent* event) {
    // A click or a key in the listing chooses there; what it selects is what the user meant.
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress) {
        typedLast_ = false;
    }
    return QFileDialog::eventFilter(watched, event);
}

bool InputFileDialog::typedPlace() const {
    if (!typedLast_) {
        return false;
    }
    const auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QString entry = field == nullptr ? QString() : field->text();
    if (entry.size() >= 2 && entry.startsWith(QLatin1Char('"')) &&
        entry.endsWith(QLatin1Char('"')) && entry.count(QLatin1Char('"')) == 2) {
        entry = entry.mid(1, entry.size() - 2);
    }
    // Several quoted names are a choice of several; one name may be a place to go.
    if (entry.isEmpty() || entry.contains(QLatin1Char('"'))) {
        return false;
    }
    return entry == QLatin1String("..") || entry.startsWith(QLatin1Char('~')) ||
           entry.startsWith(QLatin1Char('/')) ||
           QFileInfo(QDir(directory()).filePath(entry)).isDir();
}

void InputFileDialog::accept() {
    chosen_.clear();
    QModelIndexList rows;
    // The panel selects in the listing whatever typed text resolves to, the folder above or the
    // home folder included; typed places are for going there, as in every file panel.
    if (!typedPlace()) {
        rows = chosenRows();
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
    // Typed names: a folder typed opens, files are checked, as the panel always does.
    for (const QString& path : selectedFiles()) {
        chosen_.push_back(QFile::encodeName(path).toStdString());
    }
    QFileDialog::accept();
}

}  // namespace tolvane
