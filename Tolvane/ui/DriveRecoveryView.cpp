#include "Tolvane/ui/DriveRecoveryView.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/ShowWhen.h"
#include "Tolvane/ui/SymbolLabel.h"
#include "Tolvane/ui/ThemedLabel.h"
#include "Tolvane/ui/VeskaBusyIndicator.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "core/common/ByteCount.h"

namespace tolvane {

namespace {

using TransferKind = GoogleConnectionModel::TransferState::Kind;
using Trailing = DriveRecoveryTrailing;
using Stage = DriveTransferProgress::Stage;

constexpr int kMessageWidth = 240;

const QString kLinkCheckFailed = QStringLiteral("링크 확인 실패. 공유 권한을 확인해 주세요.");

QString roleWord(DriveLinkRole role) {
    return role == DriveLinkRole::writer ? QStringLiteral("편집") : QStringLiteral("보기");
}

QString byteCount(std::int64_t bytes) {
    return QString::fromStdString(formatByteCount(bytes));
}

QString stageText(const std::optional<DriveTransferProgress>& progress) {
    if (!progress) {
        return QStringLiteral("재개 준비 중");
    }
    switch (progress->stage) {
        case Stage::hashing:
            return QStringLiteral("ZIP 확인 중");
        case Stage::uploading:
            return QStringLiteral("업로드 재개 중");
        case Stage::retrying:
            return QStringLiteral("다시 시도 중");
        case Stage::verifying:
            return QStringLiteral("원격 파일 확인 중");
        case Stage::publishing:
            break;
    }
    return QStringLiteral("공유 권한 확인 중");
}

std::optional<std::string> chooseWithDialog(QWidget* parent) {
    QFileDialog dialog(parent, QStringLiteral("같은 ZIP을 다시 선택"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QStringLiteral("ZIP (*.zip)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();
}

ThemedLabel* captionLabel(const AdaptiveColor& color, QWidget* parent) {
    auto* label = new ThemedLabel({}, parent);
    label->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    label->setColor(color);
    return label;
}

}  // namespace

// One pending transfer: its name and details, and a trailing part that follows the transfer.
class DriveRecoveryView::Row final : public QWidget {
public:
    Row(const DriveRecoveryItem& item, DriveRecoveryView& view) : QWidget(&view), item(item) {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(0, 2, 0, 2);
        row->setSpacing(8);
        auto* text = new QVBoxLayout;
        text->setSpacing(2);
        // A long name is cut in the middle, so that its start and its ".zip" stay readable.
        auto* name = new ElidedLabel(Qt::ElideMiddle, this);
        name->setFont(VeskaTheme::font(VeskaTheme::bodySize));
        name->setText(QFile::decodeName(QByteArray::fromStdString(item.filename)));
        name->setMinimumWidth(80);
        text->addWidget(name);
        auto* detail = new ElidedLabel(Qt::ElideRight, this);
        detail->setFont(VeskaTheme::font(VeskaTheme::captionSize));
        detail->setColor(VeskaTheme::muted);
        detail->setText(detailLine(item));
        text->addWidget(detail);
        row->addLayout(text, 1);

        // The progress column.
        progress = new QWidget(this);
        auto* column = new QVBoxLayout(progress);
        column->setContentsMargins(0, 0, 0, 0);
        column->setSpacing(3);
        auto* top = new QHBoxLayout;
        top->addWidget(new VeskaBusyIndicator(progress));
        stage = new ThemedLabel({}, progress);
        stage->setFont(VeskaTheme::font(VeskaTheme::bodySize));
        top->addWidget(stage);
        auto* stop = new VeskaButton(QStringLiteral("중단"), VeskaSecondaryButtonStyle(), progress);
        top->addWidget(stop);
        column->addLayout(top);
        transferred = captionLabel(VeskaTheme::muted, progress);
        transferred->setFont(VeskaTheme::tabularFont(VeskaTheme::captionSize));
        column->addWidget(transferred, 0, Qt::AlignRight);
        row->addWidget(progress);

        cancelling = new ThemedLabel(QStringLiteral("중단 중"), this);
        cancelling->setFont(VeskaTheme::font(VeskaTheme::bodySize));
        cancelling->setColor(VeskaTheme::muted);
        row->addWidget(cancelling);

        choose =
            new VeskaButton(QStringLiteral("같은 ZIP 선택"), VeskaSecondaryButtonStyle(), this);
        row->addWidget(choose);

        message = new ThemedLabel({}, this);
        message->setFont(VeskaTheme::font(VeskaTheme::bodySize));
        message->setColor(VeskaTheme::danger);
        message->setWordWrap(true);
        row->addWidget(message);
        retry = new VeskaButton(QStringLiteral("재시도"), VeskaPrimaryButtonStyle(), this);
        row->addWidget(retry);

        resume = new VeskaButton(QStringLiteral("재개"), VeskaSecondaryButtonStyle(), this);
        row->addWidget(resume);

        connect(stop, &QAbstractButton::clicked, &view, [&view] { view.model_.cancelTransfer(); });
        connect(choose, &QAbstractButton::clicked, &view,
                [&view, item] { view.chooseArchive(item); });
        for (auto* button : {retry, resume}) {
            connect(button, &QAbstractButton::clicked, &view, [&view, item] {
                view.selectedURL_.reset();
                view.confirmResume(item);
            });
        }
    }

    void present(const DriveRecoveryTrailing& trailing) {
        progress->setVisible(trailing.kind == Trailing::Kind::progress);
        stage->setText(trailing.stage);
        transferred->setText(trailing.transferred);
        transferred->setVisible(!trailing.transferred.isEmpty());
        cancelling->setVisible(trailing.kind == Trailing::Kind::cancelling);
        choose->setVisible(trailing.kind == Trailing::Kind::chooseFile);
        message->setVisible(trailing.kind == Trailing::Kind::failed);
        message->setText(trailing.message);
        // As wide as the message up to a limit, then wrapped; a wrapped label would otherwise
        // settle on a narrow column.
        message->setFixedWidth(std::min(
            kMessageWidth, QFontMetrics(message->font()).horizontalAdvance(trailing.message) + 2));
        retry->setVisible(trailing.kind == Trailing::Kind::failed);
        resume->setVisible(trailing.kind == Trailing::Kind::resume);
        resume->setEnabled(trailing.resumeEnabled);
        // The trailing part changes the row's height; the list's layout must ask again.
        updateGeometry();
    }

    const DriveRecoveryItem item;

private:
    QWidget* progress = nullptr;
    ThemedLabel* stage = nullptr;
    ThemedLabel* transferred = nullptr;
    ThemedLabel* cancelling = nullptr;
    VeskaButton* choose = nullptr;
    ThemedLabel* message = nullptr;
    VeskaButton* retry = nullptr;
    VeskaButton* resume = nullptr;
};

DriveRecoveryTrailing DriveRecoveryTrailing::of(
    const DriveRecoveryItem& item, const GoogleConnectionModel::TransferState& state,
    const std::optional<DriveTransferProgress>& progress, bool hasActiveTransfer) {
    DriveRecoveryTrailing trailing;
    const bool mine = state.isRecoveryState() && state.jobID == item.jobID;
    switch (mine ? state.kind : TransferKind::idle) {
        case TransferKind::recovering:
            trailing.kind = Kind::progress;
            trailing.stage = stageText(progress);
            if (progress && progress->stage == Stage::uploading && progress->totalBytes >= 1) {
                trailing.transferred = byteCount(progress->acknowledgedBytes) +
                                       QStringLiteral(" / ") + byteCount(progress->totalBytes);
            }
            break;
        case TransferKind::recoveryCancelling:
            trailing.kind = Kind::cancelling;
            break;
        case TransferKind::recoveryNeedsFile:
            trailing.kind = Kind::chooseFile;
            break;
        case TransferKind::recoveryFailed:
            trailing.kind = Kind::failed;
            trailing.message = state.message;
            break;
        default:
            // One transfer at a time: while any runs, no other can be resumed.
            trailing.resumeEnabled = !hasActiveTransfer;
            break;
    }
    return trailing;
}

QString DriveRecoveryView::phaseLabel(const std::string& phase) {
    if (phase == "uploading") {
        return QStringLiteral("업로드 중단");
    }
    if (phase == "uploaded") {
        return QStringLiteral("업로드 완료·검증 대기");
    }
    if (phase == "verified" || phase == "needsPermissionCheck") {
        return QStringLiteral("공유 권한 확인 대기");
    }
    return QStringLiteral("전송 대기");
}

QString DriveRecoveryView::detailLine(const DriveRecoveryItem& item) {
    return byteCount(item.byteCount) + QStringLiteral(" · ") + roleWord(item.role) +
           QStringLiteral(" · ") + phaseLabel(item.phase);
}

QString DriveRecoveryView::confirmationMessage(const DriveRecoveryItem& item) {
    return QStringLiteral("원래 파일을 확인하고 ") + roleWord(item.role) +
           QStringLiteral(" 링크 생성을 이어갑니다. ") +
           QFile::decodeName(QByteArray::fromStdString(item.filename));
}

DriveRecoveryView::DriveRecoveryView(GoogleConnectionModel& model, QWidget* parent)
    : QWidget(parent), chooseFile(chooseWithDialog), model_(model) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);

    error_ = new QWidget(this);
    auto* errorRow = new QHBoxLayout(error_);
    errorRow->setContentsMargins(0, 0, 0, 0);
    errorRow->setSpacing(5);
    auto* warning = new SymbolLabel(QStringLiteral("exclamationmark.triangle"), {}, error_);
    warning->setFont(VeskaTheme::font(VeskaTheme::bodySize));
    warning->setColor(VeskaTheme::danger);
    errorRow->addWidget(warning, 0, Qt::AlignTop);
    errorText_ = new ThemedLabel({}, error_);
    errorText_->setFont(VeskaTheme::font(VeskaTheme::bodySize));
    errorText_->setColor(VeskaTheme::danger);
    errorText_->setWordWrap(true);
    errorRow->addWidget(errorText_, 1);
    layout->addWidget(error_);

    header_ = new DisclosureButton({}, this);
    header_->setSymbol(QStringLiteral("clock.arrow.circlepath"));
    header_->setFont(VeskaTheme::font(VeskaTheme::calloutSize));
    layout->addWidget(header_, 0, Qt::AlignLeft);
    rowsBox_ = new QWidget(this);
    rows_ = new QVBoxLayout(rowsBox_);
    rows_->setContentsMargins(0, 0, 0, 0);
    rows_->setSpacing(6);
    rowsBox_->setVisible(false);
    layout->addWidget(rowsBox_);

    link_ = new QWidget(this);
    auto* linkBlock = new QVBoxLayout(link_);
    linkBlock->setContentsMargins(0, 0, 0, 0);
    linkBlock->setSpacing(4);
    auto* linkRow = new QHBoxLayout;
    linkRow->addWidget(new SymbolLabel(QStringLiteral("checkmark.circle.fill"),
                                       QStringLiteral("링크 준비됨"), link_));
    linkRow->addStretch(1);
    auto* copy = new VeskaButton(QStringLiteral("링크 복사"), VeskaPrimaryButtonStyle(), link_);
    auto* open =
        new VeskaButton(QStringLiteral("Drive에서 열기"), VeskaSecondaryButtonStyle(), link_);
    linkRow->addWidget(copy);
    linkRow->addWidget(open);
    linkBlock->addLayout(linkRow);
    linkError_ = captionLabel(VeskaTheme::danger, link_);
    linkError_->setWordWrap(true);
    linkBlock->addWidget(linkError_);
    layout->addWidget(link_);

    connect(header_, &QAbstractButton::toggled, this, [this] { refresh(); });
    connect(copy, &QAbstractButton::clicked, this, [this] { useLink(false); });
    connect(open, &QAbstractButton::clicked, this, [this] { useLink(true); });
    connect(&model_, &GoogleConnectionModel::pendingTransfersChanged, this,
            [this] { rebuildRows(); });
    for (const auto signal : {&GoogleConnectionModel::transferStateChanged,
                              &GoogleConnectionModel::transferProgressChanged,
                              &GoogleConnectionModel::hasActiveTransferChanged,
                              &GoogleConnectionModel::recoveryListErrorChanged}) {
        connect(&model_, signal, this, [this] { refresh(); });
    }
    rebuildRows();
}

DriveRecoveryView::~DriveRecoveryView() = default;

void DriveRecoveryView::rebuildRows() {
    // The old rows may be the senders of the signal being handled: they go once it returns.
    for (Row* row : rowWidgets_) {
        row->hide();
        row->deleteLater();
    }
    rowWidgets_.clear();
    for (const auto& item : model_.pendingTransfers()) {
        auto* row = new Row(item, *this);
        rows_->addWidget(row);
        rowWidgets_.push_back(row);
    }
    refresh();
}

void DriveRecoveryView::refresh() {
    const auto& pending = model_.pendingTransfers();
    const auto& listError = model_.recoveryListError();
    error_->setVisible(listError.has_value());
    errorText_->setText(listError.value_or(QString()));
    header_->setVisible(!pending.empty());
    header_->setText(QStringLiteral("중단된 전송 ") + QString::number(pending.size()));
    header_->updateGeometry();
    // An unfolded list that has become empty takes no room: no empty box (and no spacing) above
    // the link block.
    rowsBox_->setVisible(header_->isChecked() && !pending.empty());
    for (Row* row : rowWidgets_) {
        row->present(DriveRecoveryTrailing::of(row->item, model_.transferState(),
                                               model_.transferProgress(),
                                               model_.hasActiveTransfer()));
    }
    const bool linkShown = model_.transferState().kind == TransferKind::recoveryShared;
    link_->setVisible(linkShown);
    linkError_->setVisible(linkCheckError_.has_value());
    linkError_->setText(linkCheckError_.value_or(QString()));
    showWhen(*this, listError || !pending.empty() || linkShown);
}

QMessageBox* DriveRecoveryView::makeConfirmation(const DriveRecoveryItem& item, QWidget* parent) {
    auto* box = new QMessageBox(parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->setWindowTitle(QStringLiteral("Drive 작업 재개"));
    box->setText(QStringLiteral("이 Drive 작업을 재개할까요?"));
    box->setInformativeText(confirmationMessage(item));
    // File names are shown as they are, never read as markup.
    box->setTextFormat(Qt::PlainText);
    for (auto* label : box->findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
        // Wide enough that a long file name does not stack into a narrow column.
        if (label->wordWrap()) {
            label->setMinimumWidth(360);
        }
    }
    QPushButton* accept = box->addButton(QStringLiteral("검증 후 재개"), QMessageBox::AcceptRole);
    box->addButton(QStringLiteral("취소"), QMessageBox::RejectRole);
    box->setDefaultButton(accept);
    return box;
}

void DriveRecoveryView::confirmResume(const DriveRecoveryItem& item) {
    if (confirmation_) {
        confirmation_->close();
    }
    confirmationItem_ = item;
    QMessageBox* box = makeConfirmation(item, this);
    auto* accept = qobject_cast<QPushButton*>(box->defaultButton());
    connect(box, &QMessageBox::finished, this, [this, box, accept, item] {
        if (confirmation_ == box) {
            confirmationItem_.reset();
        }
        // The model decides whether the resume may start now.
        if (box->clickedButton() == accept) {
            model_.resume(item, selectedURL_);
            selectedURL_.reset();
        }
    });
    confirmation_ = box;
    box->open();
}

void DriveRecoveryView::chooseArchive(const DriveRecoveryItem& item) {
    const auto chosen = chooseFile ? chooseFile(this) : std::nullopt;
    if (!chosen) {
        return;
    }
    selectedURL_ = chosen;
    confirmResume(item);
}

void DriveRecoveryView::useLink(bool open) {
    const auto& state = model_.transferState();
    if (state.kind != TransferKind::recoveryShared) {
        return;
    }
    model_.verifiedLink(state.jobID,
                        [view = QPointer(this), open](WorkOutcome<std::string> outcome) {
                            if (!view) {
                                return;
                            }
                            if (!outcome.value) {
                                view->linkCheckError_ = kLinkCheckFailed;
                            } else {
                                const QString link = QString::fromStdString(*outcome.value);
                                if (open) {
                                    QDesktopServices::openUrl(QUrl(link));
                                } else {
                                    QGuiApplication::clipboard()->clear();
                                    QGuiApplication::clipboard()->setText(link);
                                }
                                view->linkCheckError_.reset();
                            }
                            view->refresh();
                        });
}

}  // namespace tolvane
