#include "Tolvane/ui/ContentView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <functional>
#include <utility>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/model/InputURL.h"
#include "Tolvane/ui/ArchiveNameSheet.h"
#include "Tolvane/ui/DriveRecoveryView.h"
#include "Tolvane/ui/DropZoneView.h"
#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/GoogleConnectionView.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "core/common/PathText.h"

namespace tolvane {

namespace {

constexpr qreal cardCornerRadius = 20;

// The workspace card: the surface in a rounded rectangle, its border lime while a drag is over
// it, and the drop target of the window.
class WorkspaceCard final : public QWidget {
public:
    WorkspaceCard(std::function<void(bool)> targeted,
                  std::function<bool(const QList<QUrl>&)> dropped, QWidget* parent)
        : QWidget(parent), targeted_(std::move(targeted)), dropped_(std::move(dropped)) {
        setAcceptDrops(true);
    }

    void setHighlighted(bool highlighted) {
        highlighted_ = highlighted;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal line = highlighted_ ? 2 : 1;
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), cardCornerRadius, cardCornerRadius);
        painter.fillPath(shape, VeskaTheme::surface.in(*this));
        // Stroked inside the edge, so the border never leaves the card.
        const qreal inset = line / 2;
        painter.setPen(
            QPen(highlighted_ ? QColor::fromRgb(VeskaTheme::lime) : VeskaTheme::divider.in(*this),
                 line));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset),
                                cardCornerRadius - inset, cardCornerRadius - inset);
    }

    // The highlight follows every drag of URLs, also while a drop would be refused.
    void dragEnterEvent(QDragEnterEvent* event) override {
        if (event->mimeData()->hasUrls()) {
            event->acceptProposedAction();
            targeted_(true);
        }
    }
    void dragMoveEvent(QDragMoveEvent* event) override {
        if (event->mimeData()->hasUrls()) {
            event->acceptProposedAction();
        }
    }
    void dragLeaveEvent(QDragLeaveEvent*) override { targeted_(false); }
    void dropEvent(QDropEvent* event) override {
        targeted_(false);
        if (event->mimeData()->hasUrls() && dropped_(event->mimeData()->urls())) {
            event->acceptProposedAction();
        } else {
            event->ignore();
        }
    }

private:
    std::function<void(bool)> targeted_;
    std::function<bool(const QList<QUrl>&)> dropped_;
    bool highlighted_ = false;
};

// The Drive button's status dot: success while connected, muted otherwise.
class StatusDot final : public QWidget {
public:
    explicit StatusDot(QWidget* parent) : QWidget(parent) {
        setFixedSize(6, 6);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    void setConnected(bool connected) {
        connected_ = connected;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(connected_ ? VeskaTheme::success.in(*this) : VeskaTheme::muted.in(*this));
        painter.drawEllipse(QRectF(rect()));
    }

private:
    bool connected_ = false;
};

// A place another view fills later; until then it holds nothing and takes no room.
QWidget* emptyPlace(QWidget* parent) {
    auto* place = new QWidget(parent);
    auto* layout = new QVBoxLayout(place);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    return place;
}

}  // namespace

ContentView::ContentView(DeliveryJobModel& model, GoogleConnectionModel& googleModel,
                         ExternalVolumeStore& externalVolumes, QWidget* parent)
    : QWidget(parent), model_(model), googleModel_(googleModel), externalVolumes_(externalVolumes) {
    setFixedSize(windowWidth, windowHeight);
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);
    // The window holds the focus at first, so that no control shows a focus ring until the
    // user tabs to it.
    setFocusPolicy(Qt::ClickFocus);
    if (model_.verifiedArchive()) {
        shownArchiveJob_ = model_.verifiedArchive()->jobID;
    }

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(24, 24, 24, 24);
    stack->setSpacing(20);
    stack->addWidget(makeHeader());

    auto* card =
        new WorkspaceCard([this](bool targeted) { setDropTargeted(targeted); },
                          [this](const QList<QUrl>& urls) { return dropURLs(urls); }, this);
    card_ = card;
    auto* cardLayout = new QVBoxLayout(card);
    cardLayout->setContentsMargins(0, 0, 0, 0);
    workspace_ = new QStackedWidget(card);
    resultPlace_ = emptyPlace(workspace_);
    inputListPlace_ = emptyPlace(workspace_);
    dropZone_ = new DropZoneView([this] { chooseInputs(); }, workspace_);
    workspace_->addWidget(resultPlace_);
    workspace_->addWidget(inputListPlace_);
    workspace_->addWidget(dropZone_);
    cardLayout->addWidget(workspace_);
    stack->addWidget(card, 1);

    stack->addWidget(new DriveRecoveryView(googleModel_, this));
    volumesPlace_ = emptyPlace(this);
    stack->addWidget(volumesPlace_);

    auto* volumeError = new ElidedLabel(Qt::ElideRight, this);
    volumeError->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    volumeError->setColor(VeskaTheme::warning);
    volumeError->hide();
    volumeErrorLabel_ = volumeError;
    stack->addWidget(volumeError);

    footer_ = new QWidget(this);
    footer_->setMinimumHeight(36);
    auto* footerRow = new QHBoxLayout(footer_);
    footerRow->setContentsMargins(0, 0, 0, 0);
    footerRow->setSpacing(12);
    stack->addWidget(footer_);

    connect(&googleModel_, &GoogleConnectionModel::stateChanged, this, &ContentView::updateHeader);
    for (auto signal : {&DeliveryJobModel::phaseChanged, &DeliveryJobModel::outputURLChanged,
                        &DeliveryJobModel::inputURLsChanged}) {
        connect(&model_, signal, this, &ContentView::updateWorkspace);
    }
    connect(&googleModel_, &GoogleConnectionModel::hasActiveTransferChanged, this,
            &ContentView::updateWorkspace);
    connect(&model_, &DeliveryJobModel::verifiedArchiveChanged, this, &ContentView::archiveChanged);
    installResultViews();
    updateHeader();
    updateWorkspace();
    setFocus();
}

ContentView::~ContentView() = default;

QWidget* ContentView::makeHeader() {
    auto* header = new QWidget(this);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);

    const QPixmap icon = veskaIcon(34, devicePixelRatioF());
    if (!icon.isNull()) {
        auto* image = new QLabel(header);
        image->setPixmap(icon);
        image->setFixedSize(34, 34);
        image->setAccessibleName(QStringLiteral("Veska"));
        row->addWidget(image, 0, Qt::AlignVCenter);
    }
    auto* title = new QLabel(QStringLiteral("Veska"), header);
    title->setFont(VeskaTheme::font(19, QFont::DemiBold));
    row->addWidget(title, 0, Qt::AlignVCenter);
    row->addStretch();

    driveButton_ = new VeskaButton(QString(), VeskaSecondaryButtonStyle(), header);
    driveButton_->setToolTip(QStringLiteral("Google Drive 계정 관리"));
    auto* label = new QHBoxLayout(driveButton_);
    label->setContentsMargins(VeskaSecondaryButtonStyle().horizontalPadding, 3,
                              VeskaSecondaryButtonStyle().horizontalPadding, 3);
    label->setSpacing(7);
    auto* dot = new StatusDot(driveButton_);
    driveDot_ = dot;
    driveLabel_ = new QLabel(driveButton_);
    driveLabel_->setTextFormat(Qt::PlainText);
    driveLabel_->setFont(VeskaTheme::font(12, QFont::Medium));
    driveLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    label->addWidget(dot, 0, Qt::AlignVCenter);
    label->addWidget(driveLabel_, 0, Qt::AlignVCenter);
    connect(driveButton_, &QPushButton::clicked, this, &ContentView::showGoogleConnection);
    row->addWidget(driveButton_, 0, Qt::AlignVCenter);
    return header;
}

ContentView::DriveButtonLook ContentView::driveButtonLook(const GoogleAuthState& state) {
    // Only a settled connection counts: restoring or refreshing a known account still shows the
    // button unconnected.
    if (state.kind() == GoogleAuthState::Kind::connected) {
        return {QStringLiteral("Drive 연결됨"), true};
    }
    return {QStringLiteral("Drive 연결"), false};
}

void ContentView::updateHeader() {
    const DriveButtonLook look = driveButtonLook(googleModel_.state());
    static_cast<StatusDot*>(driveDot_)->setConnected(look.connected);
    driveLabel_->setText(look.text);
    driveButton_->setAccessibleName(look.text);
    driveButton_->setFixedSize(driveButton_->layout()->sizeHint().expandedTo(
        {0, VeskaSecondaryButtonStyle().minimumHeight}));
}

QString ContentView::shareConfirmationTitle(DriveLinkRole role) {
    return (role == DriveLinkRole::writer ? QStringLiteral("편집") : QStringLiteral("보기")) +
           QStringLiteral(" 링크 만들기");
}

QString ContentView::shareConfirmationMessage(const std::optional<std::string>& outputURL,
                                              const GoogleAuthState& state, DriveLinkRole role) {
    const QString file =
        outputURL
            ? QFile::decodeName(QByteArray::fromStdString(PathText::lastComponent(*outputURL)))
            : QStringLiteral("ZIP");
    QString account = QStringLiteral("Google Drive");
    if (state.kind() == GoogleAuthState::Kind::connected && state.identity() &&
        state.identity()->email && !state.identity()->email->empty()) {
        account = QString::fromStdString(*state.identity()->email);
    }
    const QString sentence =
        role == DriveLinkRole::writer
            ? QStringLiteral("링크를 아는 누구나 Drive의 ZIP 사본을 수정할 수 있습니다.")
            : QStringLiteral("링크를 아는 누구나 ZIP을 볼 수 있습니다.");
    return file + QStringLiteral(" \u00B7 ") + account + QLatin1Char('\n') + sentence;
}

bool ContentView::canStartPack() const {
    return model_.phase() != DeliveryJobModel::Phase::complete && !model_.isBusy() &&
           !googleModel_.hasActiveTransfer() && !model_.isCapturingInputSnapshot() &&
           model_.inputSnapshot().has_value() &&
           model_.inputMode().kind == DeliveryJobModel::InputMode::Kind::files;
}

bool ContentView::dropURLs(const QList<QUrl>& urls) {
    if (model_.isBusy() || googleModel_.hasActiveTransfer() || model_.refusesNewWork()) {
        return false;
    }
    std::vector<std::string> inputs;
    for (const QUrl& url : urls) {
        // Links from a browser and other non-file URLs name nothing to pack.
        if (!url.isLocalFile() || url.toLocalFile().isEmpty()) {
            continue;
        }
        inputs.push_back(
            InputURL::fromLocalPath(QFile::encodeName(url.toLocalFile()).toStdString()));
    }
    if (inputs.empty()) {
        return false;
    }
    model_.addInputs(inputs);
    return true;
}

void ContentView::setDropTargeted(bool targeted) {
    if (dropTargeted_ == targeted) {
        return;
    }
    dropTargeted_ = targeted;
    static_cast<WorkspaceCard*>(card_)->setHighlighted(targeted);
    dropZone_->setTargeted(targeted);
}

QWidget* ContentView::workspaceContent() const {
    return workspace_->currentWidget();
}

void ContentView::updateWorkspace() {
    if (model_.phase() == DeliveryJobModel::Phase::complete && model_.outputURL()) {
        workspace_->setCurrentWidget(resultPlace_);
    } else if (!model_.inputURLs().empty()) {
        workspace_->setCurrentWidget(inputListPlace_);
    } else {
        workspace_->setCurrentWidget(dropZone_);
    }
    // The selection stays as it is while Drive reads the archive made from it.
    dropZone_->setEnabled(!googleModel_.hasActiveTransfer());
}

void ContentView::archiveChanged() {
    std::optional<Uuid> job;
    if (model_.verifiedArchive()) {
        job = model_.verifiedArchive()->jobID;
    }
    if (job == shownArchiveJob_) {
        return;
    }
    shownArchiveJob_ = job;
    // A link role chosen for the previous archive must not carry over to a new one.
    selectedShareRole_ = DriveLinkRole::reader;
    confirmedShareRole_ = DriveLinkRole::reader;
}

void ContentView::confirmDriveShare() {
    if (shareConfirmation_) {
        return;
    }
    confirmedShareRole_ = selectedShareRole_;
    auto* dialog = new QMessageBox(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setTextFormat(Qt::PlainText);
    const QString title = shareConfirmationTitle(confirmedShareRole_);
    // Window managers differ in whether a dialog's title shows; the text always does.
    dialog->setWindowTitle(title);
    dialog->setText(title);
    dialog->setInformativeText(
        shareConfirmationMessage(model_.outputURL(), googleModel_.state(), confirmedShareRole_));
    QPushButton* upload =
        dialog->addButton(QStringLiteral("업로드하고 링크 만들기"), QMessageBox::AcceptRole);
    dialog->addButton(QStringLiteral("취소"), QMessageBox::RejectRole);
    dialog->setDefaultButton(upload);
    connect(upload, &QPushButton::clicked, this, &ContentView::share);
    shareConfirmation_ = dialog;
    dialog->open();
}

void ContentView::share() {
    // The result may have been cleared while the dialog was open.
    if (model_.phase() == DeliveryJobModel::Phase::complete && model_.verifiedArchive()) {
        googleModel_.shareVerifiedArchive(*model_.verifiedArchive(), confirmedShareRole_);
    }
}

void ContentView::showGoogleConnection() {
    if (googleConnection_) {
        return;
    }
    auto* sheet = new GoogleConnectionView(googleModel_, this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    googleConnection_ = sheet;
    sheet->open();
}

void ContentView::setPendingArchiveSave(std::optional<PendingArchiveSave> pending) {
    if (nameSheet_) {
        // Closed as a replacement, not cancelled by the user: its cancel must not clear the new
        // value, which the id check below sees to.
        nameSheet_->close();
    }
    pendingArchiveSave_ = std::move(pending);
    if (!pendingArchiveSave_) {
        return;
    }
    const Uuid id = pendingArchiveSave_->id;
    auto* sheet = new ArchiveNameSheet(
        pendingArchiveSave_->folder, defaultArchiveName(),
        [this, id](const QString& name) {
            if (pendingArchiveSave_ && pendingArchiveSave_->id == id) {
                beginPacking(name, *pendingArchiveSave_);
            }
        },
        [this, id] {
            if (pendingArchiveSave_ && pendingArchiveSave_->id == id) {
                pendingArchiveSave_.reset();
            }
        },
        this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    nameSheet_ = sheet;
    sheet->open();
}

void ContentView::setExternalVolumeError(std::optional<QString> text) {
    externalVolumeError_ = std::move(text);
    volumeErrorLabel_->setText(externalVolumeError_.value_or(QString()));
    volumeErrorLabel_->setVisible(externalVolumeError_.has_value());
}

void ContentView::chooseInputs() {
    // The file panel for inputs comes with the input list.
}

QString ContentView::defaultArchiveName() const {
    // The name proposed from the selection comes with the job start.
    return {};
}

void ContentView::beginPacking(const QString&, const PendingArchiveSave&) {
    // Packing from the name sheet comes with the job start.
}

}  // namespace tolvane
