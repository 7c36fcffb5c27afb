#include "Tolvane/ui/DriveShareStatusView.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QPointer>
#include <QUrl>
#include <QVBoxLayout>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/ui/ShowWhen.h"
#include "Tolvane/ui/SymbolLabel.h"
#include "Tolvane/ui/ThemedLabel.h"
#include "Tolvane/ui/VeskaBusyIndicator.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaProgressBar.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "core/common/ByteCount.h"

namespace tolvane {

namespace {

using TransferKind = GoogleConnectionModel::TransferState::Kind;
using Kind = DriveShareStatusContent::Kind;
using Stage = DriveTransferProgress::Stage;

const QString kLinkCheckFailed =
    QStringLiteral("링크 확인 실패. 계정과 공유 권한을 확인해 주세요.");

QString stageText(const std::optional<DriveTransferProgress>& progress) {
    if (!progress) {
        return QStringLiteral("전송 준비 중");
    }
    switch (progress->stage) {
        case Stage::hashing:
            return QStringLiteral("파일 확인 중");
        case Stage::uploading:
            return QStringLiteral("Drive에 보내는 중");
        case Stage::retrying:
            return QStringLiteral("다시 연결 중");
        case Stage::verifying:
            return QStringLiteral("업로드 검증 중");
        case Stage::publishing:
            break;
    }
    return QStringLiteral("링크 만드는 중");
}

QString byteCount(std::int64_t bytes) {
    return QString::fromStdString(formatByteCount(bytes));
}

// The raised, rounded card the running upload sits on.
class Card final : public QWidget {
public:
    explicit Card(QWidget* parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(VeskaTheme::raised.in(*this));
        painter.drawRoundedRect(QRectF(rect()), 12, 12);
    }
};

// A one-pixel divider-coloured rule across the available width.
class Rule final : public QWidget {
public:
    explicit Rule(QWidget* parent) : QWidget(parent) {
        setFixedHeight(1);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).fillRect(rect(), VeskaTheme::divider.in(*this));
    }
};

ThemedLabel* caption(const AdaptiveColor& color, QWidget* parent) {
    auto* label = new ThemedLabel({}, parent);
    label->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    label->setColor(color);
    return label;
}

QWidget* rowWidget(QWidget* parent, QHBoxLayout*& layout) {
    auto* widget = new QWidget(parent);
    layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    return widget;
}

}  // namespace

DriveShareStatusContent DriveShareStatusContent::of(
    const std::optional<VerifiedArchive>& archive,
    const GoogleConnectionModel::TransferState& state,
    const std::optional<DriveTransferProgress>& progress) {
    DriveShareStatusContent content;
    if (!archive || !state.concerns(*archive)) {
        return content;
    }
    switch (state.kind) {
        case TransferKind::uploading:
            content.kind = Kind::uploading;
            content.stage = stageText(progress);
            if (progress && progress->stage == Stage::uploading && progress->totalBytes >= 1) {
                content.fraction = static_cast<double>(progress->acknowledgedBytes) /
                                   static_cast<double>(progress->totalBytes);
                content.transferred = byteCount(progress->acknowledgedBytes) +
                                      QStringLiteral(" / ") + byteCount(progress->totalBytes);
            }
            break;
        case TransferKind::cancelling:
            content.kind = Kind::cancelling;
            break;
        case TransferKind::paused:
            content.kind = Kind::paused;
            break;
        case TransferKind::failed:
            content.kind = Kind::failed;
            content.message = state.message;
            break;
        case TransferKind::shared:
            content.kind = Kind::shared;
            content.roleLine = state.result && state.result->role == DriveLinkRole::writer
                                   ? QStringLiteral("링크를 아는 누구나 편집")
                                   : QStringLiteral("링크를 아는 누구나 보기");
            break;
        default:
            break;
    }
    return content;
}

DriveShareStatusView::DriveShareStatusView(DeliveryJobModel& job, GoogleConnectionModel& google,
                                           QWidget* parent)
    : QWidget(parent), job_(job), google_(google) {
    if (job_.verifiedArchive()) {
        shownJobID_ = job_.verifiedArchive()->jobID;
    }
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    // The running upload.
    uploadCard_ = new Card(this);
    auto* card = new QVBoxLayout(uploadCard_);
    card->setContentsMargins(16, 16, 16, 16);
    card->setSpacing(10);
    QHBoxLayout* top = nullptr;
    card->addWidget(rowWidget(uploadCard_, top));
    stage_ = new ThemedLabel({}, uploadCard_);
    stage_->setFont(VeskaTheme::font(VeskaTheme::calloutSize, QFont::Medium));
    top->addWidget(stage_);
    top->addStretch(1);
    auto* stop = new VeskaButton(QStringLiteral("중단"), VeskaSecondaryButtonStyle(), uploadCard_);
    top->addWidget(stop);
    bar_ = new VeskaProgressBar(0, uploadCard_);
    card->addWidget(bar_);
    transferred_ = caption(VeskaTheme::muted, uploadCard_);
    transferred_->setFont(VeskaTheme::tabularFont(VeskaTheme::captionSize));
    card->addWidget(transferred_);
    uploadBusy_ = new VeskaBusyIndicator(uploadCard_);
    card->addWidget(uploadBusy_);
    layout->addWidget(uploadCard_);

    // Its cancellation.
    auto* cleaning =
        new SymbolLabel(QStringLiteral("hourglass"), QStringLiteral("전송 정리 중"), this);
    cleaning->setFont(VeskaTheme::font(VeskaTheme::bodySize));
    cleaning->setColor(VeskaTheme::muted);
    cancelling_ = cleaning;
    layout->addWidget(cancelling_);

    // A pause.
    QHBoxLayout* pausedRow = nullptr;
    paused_ = rowWidget(this, pausedRow);
    auto* pausedLabel =
        new SymbolLabel(QStringLiteral("pause.circle"), QStringLiteral("전송 중단됨"), paused_);
    pausedLabel->setFont(VeskaTheme::font(VeskaTheme::bodySize));
    pausedLabel->setColor(VeskaTheme::muted);
    pausedRow->addWidget(pausedLabel);
    pausedRow->addStretch(1);
    resume_ = new VeskaButton(QStringLiteral("이어 보내기"), VeskaPrimaryButtonStyle(), paused_);
    pausedRow->addWidget(resume_);
    layout->addWidget(paused_);

    // A failure.
    failed_ = new QWidget(this);
    auto* failure = new QVBoxLayout(failed_);
    failure->setContentsMargins(0, 0, 0, 0);
    failure->setSpacing(10);
    auto* failureTitle = new ThemedLabel(QStringLiteral("Drive 공유를 마치지 못했습니다"), failed_);
    failureTitle->setFont(VeskaTheme::font(VeskaTheme::calloutSize, QFont::Medium));
    failureTitle->setColor(VeskaTheme::danger);
    failure->addWidget(failureTitle);
    detailToggle_ = new DisclosureButton(QStringLiteral("오류 상세"), failed_);
    detailToggle_->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    failure->addWidget(detailToggle_, 0, Qt::AlignLeft);
    message_ = caption(VeskaTheme::muted, failed_);
    message_->setWordWrap(true);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    message_->setVisible(false);
    failure->addWidget(message_);
    retry_ = new VeskaButton(QStringLiteral("다시 시도"), VeskaPrimaryButtonStyle(), failed_);
    failure->addWidget(retry_, 0, Qt::AlignLeft);
    layout->addWidget(failed_);

    // The shared link.
    shared_ = new QWidget(this);
    auto* link = new QVBoxLayout(shared_);
    link->setContentsMargins(0, 0, 0, 0);
    link->setSpacing(14);
    link->addWidget(new Rule(shared_));
    auto* ready = new SymbolLabel(QStringLiteral("link"), QStringLiteral("링크 준비됨"), shared_);
    ready->setFont(VeskaTheme::font(VeskaTheme::calloutSize, QFont::Medium));
    link->addWidget(ready, 0, Qt::AlignHCenter);
    QHBoxLayout* buttons = nullptr;
    linkButtons_ = rowWidget(shared_, buttons);
    buttons->setSpacing(10);
    copy_ = new VeskaButton(QStringLiteral("링크 복사"), VeskaPrimaryButtonStyle(), linkButtons_);
    auto* open = new VeskaButton(QStringLiteral("Drive에서 열기"), VeskaSecondaryButtonStyle(),
                                 linkButtons_);
    open->setSymbol(QStringLiteral("arrow.up.right"));
    buttons->addWidget(copy_);
    buttons->addWidget(open);
    link->addWidget(linkButtons_, 0, Qt::AlignHCenter);
    linkBusy_ = new VeskaBusyIndicator(shared_);
    link->addWidget(linkBusy_, 0, Qt::AlignHCenter);
    linkErrorLine_ = caption(VeskaTheme::danger, shared_);
    linkErrorLine_->setWordWrap(true);
    linkErrorLine_->setAlignment(Qt::AlignHCenter);
    link->addWidget(linkErrorLine_);
    roleLine_ = caption(VeskaTheme::muted, shared_);
    link->addWidget(roleLine_, 0, Qt::AlignHCenter);
    layout->addWidget(shared_);

    fileCheck_.setInterval(fileCheckMilliseconds);
    connect(&fileCheck_, &QTimer::timeout, this, [this] { recheckArchiveFile(); });
    connect(stop, &QAbstractButton::clicked, this, [this] { google_.cancelTransfer(); });
    connect(resume_, &QAbstractButton::clicked, this, [this] { retry(); });
    connect(retry_, &QAbstractButton::clicked, this, [this] { retry(); });
    connect(copy_, &QAbstractButton::clicked, this, [this] { useLink(false); });
    connect(open, &QAbstractButton::clicked, this, [this] { useLink(true); });
    connect(detailToggle_, &QAbstractButton::toggled, message_, &QWidget::setVisible);
    for (const auto signal : {&GoogleConnectionModel::transferStateChanged,
                              &GoogleConnectionModel::transferProgressChanged}) {
        connect(&google_, signal, this, [this] { refresh(); });
    }
    connect(&job_, &DeliveryJobModel::verifiedArchiveChanged, this, [this] { archiveChanged(); });
    connect(&job_, &DeliveryJobModel::outputURLChanged, this, [this] { refresh(); });
    refresh();
}

void DriveShareStatusView::archiveChanged() {
    std::optional<Uuid> jobID;
    if (job_.verifiedArchive()) {
        jobID = job_.verifiedArchive()->jobID;
    }
    // Another archive is another link: what was copied or failed belonged to the last one.
    if (jobID != shownJobID_) {
        shownJobID_ = jobID;
        copied_ = false;
        linkError_.reset();
    }
    refresh();
}

bool DriveShareStatusView::archiveFileExists() const {
    const auto& archive = job_.verifiedArchive();
    return archive && QFileInfo::exists(QFile::decodeName(QByteArray::fromStdString(archive->url)));
}

void DriveShareStatusView::recheckArchiveFile() {
    const bool exists = archiveFileExists();
    resume_->setEnabled(exists);
    retry_->setEnabled(exists);
}

void DriveShareStatusView::refresh() {
    // A job without an output (an unpack, a failure) has nothing to share.
    const auto content = job_.outputURL() ? DriveShareStatusContent::of(job_.verifiedArchive(),
                                                                        google_.transferState(),
                                                                        google_.transferProgress())
                                          : DriveShareStatusContent{};
    uploadCard_->setVisible(content.kind == Kind::uploading);
    cancelling_->setVisible(content.kind == Kind::cancelling);
    paused_->setVisible(content.kind == Kind::paused);
    failed_->setVisible(content.kind == Kind::failed);
    shared_->setVisible(content.kind == Kind::shared);
    showWhen(*this, content.kind != Kind::none);

    stage_->setText(content.stage);
    bar_->setVisible(content.fraction.has_value());
    transferred_->setVisible(content.fraction.has_value());
    uploadBusy_->setVisible(!content.fraction);
    bar_->setFraction(content.fraction.value_or(0));
    transferred_->setText(content.transferred);
    message_->setText(content.message);

    const bool waitsForFile = content.kind == Kind::paused || content.kind == Kind::failed;
    if (waitsForFile) {
        recheckArchiveFile();
        fileCheck_.start();
    } else {
        fileCheck_.stop();
    }

    copy_->setText(copied_ ? QStringLiteral("복사됨") : QStringLiteral("링크 복사"));
    copy_->setSymbol(copied_ ? QStringLiteral("checkmark") : QStringLiteral("doc.on.doc"));
    linkButtons_->setEnabled(!checkingLink_);
    linkBusy_->setVisible(checkingLink_);
    linkErrorLine_->setVisible(linkError_.has_value());
    linkErrorLine_->setText(linkError_.value_or(QString()));
    roleLine_->setText(content.roleLine);
    // What is shown changes the panel's height; the card it sits in must ask again.
    updateGeometry();
}

void DriveShareStatusView::retry() {
    const auto archive = job_.verifiedArchive();
    if (!archive || !archiveFileExists()) {
        recheckArchiveFile();
        return;
    }
    google_.shareVerifiedArchive(*archive,
                                 google_.activeShareRole().value_or(DriveLinkRole::reader));
}

void DriveShareStatusView::useLink(bool open) {
    const auto archive = job_.verifiedArchive();
    if (!archive || checkingLink_) {
        return;
    }
    checkingLink_ = true;
    refresh();
    google_.verifiedLink(archive->jobID, [view = QPointer(this), jobID = archive->jobID,
                                          open](WorkOutcome<std::string> outcome) {
        if (!view) {
            return;
        }
        view->checkingLink_ = false;
        if (!outcome.value) {
            view->linkError_ = kLinkCheckFailed;
            view->refresh();
            return;
        }
        const auto& now = view->job_.verifiedArchive();
        // A link of an archive no longer shown is neither opened nor copied.
        if (now && now->jobID == jobID) {
            const QString link = QString::fromStdString(*outcome.value);
            if (open) {
                QDesktopServices::openUrl(QUrl(link));
            } else {
                QGuiApplication::clipboard()->clear();
                QGuiApplication::clipboard()->setText(link);
                view->copied_ = true;
            }
            view->linkError_.reset();
        }
        view->refresh();
    });
}

}  // namespace tolvane
