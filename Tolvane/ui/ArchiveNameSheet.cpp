#include "Tolvane/ui/ArchiveNameSheet.h"

#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <utility>

#include "Tolvane/model/ArchiveSaveNamePolicy.h"
#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

namespace {

const QString kRefused = QStringLiteral("사용할 수 없는 이름입니다.");
const QString kSavedAs = QStringLiteral("저장 이름: ");

}  // namespace

ArchiveNameSheet::ArchiveNameSheet(std::string folder, const QString& initialName,
                                   std::function<void(const QString&)> onSave,
                                   std::function<void()> onCancel, QWidget* parent)
    : QDialog(parent),
      folder_(std::move(folder)),
      onSave_(std::move(onSave)),
      onCancel_(std::move(onCancel)) {
    setWindowTitle(QStringLiteral("ZIP 이름"));
    setWindowModality(Qt::WindowModal);
    setFixedWidth(sheetWidth);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(16);
    layout->setContentsMargins(24, 24, 24, 24);

    auto* title = new QLabel(QStringLiteral("ZIP 이름"), this);
    title->setTextFormat(Qt::PlainText);
    title->setFont(VeskaTheme::font(VeskaTheme::title3Size, QFont::DemiBold));
    layout->addWidget(title);

    auto* folderLine = new ElidedLabel(Qt::ElideMiddle, this);
    folderLine->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    folderLine->setColor(VeskaTheme::muted);
    folderLine->setText(QFile::decodeName(QByteArray::fromStdString(folder_)));
    layout->addWidget(folderLine);

    nameField_ = new QLineEdit(initialName, this);
    nameField_->setPlaceholderText(QStringLiteral("ZIP 이름"));
    nameField_->setAccessibleName(QStringLiteral("ZIP 이름"));
    nameField_->setFont(VeskaTheme::font(VeskaTheme::bodySize));
    nameField_->setMinimumHeight(28);
    nameField_->setTextMargins(4, 0, 4, 0);
    layout->addWidget(nameField_);

    nameLine_ = new ElidedLabel(Qt::ElideMiddle, this);
    nameLine_->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    layout->addWidget(nameLine_);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addStretch(1);
    auto* cancel = new VeskaButton(QStringLiteral("취소"), VeskaSecondaryButtonStyle(), this);
    confirm_ = new VeskaButton(QStringLiteral("ZIP 만들기"), VeskaPrimaryButtonStyle(), this);
    buttons->addWidget(cancel);
    buttons->addWidget(confirm_);
    layout->addLayout(buttons);

    connect(nameField_, &QLineEdit::textChanged, this, [this] { refresh(); });
    connect(nameField_, &QLineEdit::returnPressed, this, [this] { saveIfValid(); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(confirm_, &QPushButton::clicked, this, [this] { saveIfValid(); });
    refresh();
}

QString ArchiveNameSheet::nameLine(const QString& enteredName, const QString& availableName) {
    if (availableName.isEmpty()) {
        return kRefused;
    }
    if (availableName != enteredName) {
        return kSavedAs + availableName;
    }
    return {};
}

QString ArchiveNameSheet::enteredName() const {
    return nameField_->text();
}

void ArchiveNameSheet::setEnteredName(const QString& name) {
    nameField_->setText(name);
}

QString ArchiveNameSheet::availableName() const {
    return QString::fromStdString(
        ArchiveSaveNamePolicy::availableName(enteredName().toStdString(), folder_));
}

void ArchiveNameSheet::refresh() {
    const QString available = availableName();
    const QString line = nameLine(enteredName(), available);
    nameLine_->setText(line);
    nameLine_->setColor(available.isEmpty() ? VeskaTheme::warning : VeskaTheme::muted);
    nameLine_->setAccessibleName(
        available.isEmpty() ? line : QStringLiteral("실제 저장 이름 ") + available);
    const bool lineShown = !line.isEmpty();
    if (nameLine_->isVisibleTo(this) != lineShown) {
        nameLine_->setVisible(lineShown);
        adjustSize();
    }
    confirm_->setEnabled(!available.isEmpty());
}

void ArchiveNameSheet::saveIfValid() {
    // The folder may have changed since the last keystroke: judge the name afresh.
    if (finished_ || availableName().isEmpty()) {
        refresh();
        return;
    }
    finished_ = true;
    const QString typed = enteredName();
    // Copied first: the presenter may delete the sheet from inside the callback.
    const auto onSave = onSave_;
    accept();
    if (onSave) {
        onSave(typed);
    }
}

void ArchiveNameSheet::done(int result) {
    const bool cancelled = result != QDialog::Accepted && !finished_;
    finished_ = true;
    const auto onCancel = onCancel_;
    QDialog::done(result);
    if (cancelled && onCancel) {
        onCancel();
    }
}

void ArchiveNameSheet::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    refresh();
    nameField_->setFocus(Qt::OtherFocusReason);
}

}  // namespace tolvane
