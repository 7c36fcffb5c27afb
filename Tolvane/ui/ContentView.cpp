#include "Tolvane/ui/ContentView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <functional>
#include <utility>

#include "Tolvane/model/ArchiveSaveNamePolicy.h"
#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/model/InputURL.h"
#include "Tolvane/ui/ArchiveNameSheet.h"
#include "Tolvane/ui/DriveRecoveryView.h"
#include "Tolvane/ui/DropZoneView.h"
#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/GoogleConnectionView.h"
#include "Tolvane/ui/InputFileDialog.h"
#include "Tolvane/ui/InputListView.h"
#include "Tolvane/ui/ReducedMotion.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "Tolvane/ui/WorkFooterView.h"
#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/common/PathText.h"
#include "platform/volumes/MountedVolumes.h"

namespace tolvane {

namespace {

constexpr qreal cardCornerRadius = 20;
constexpr int highlightMilliseconds = 150;
constexpr int phaseMilliseconds = 180;

// The workspace card: the surface in a rounded rectangle, its border lime while a drag is over
// it, and the drop target of the window.
class WorkspaceCard final : public QWidget {
public:
    WorkspaceCard(std::function<void(bool)> targeted,
                  std::function<bool(const QList<QUrl>&)> dropped, QWidget* parent)
        : QWidget(parent), targeted_(std::move(targeted)), dropped_(std::move(dropped)) {
        setAcceptDrops(true);
        highlight_.setDuration(highlightMilliseconds);
        highlight_.setEasingCurve(QEasingCurve::OutQuad);
        connect(&highlight_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
            level_ = v.toReal();
            update();
        });
    }

    void setHighlighted(bool highlighted, bool animated = false) {
        highlighted_ = highlighted;
        highlight_.stop();
        if (!animated) {
            level_ = highlighted ? 1 : 0;
            update();
            return;
        }
        highlight_.setStartValue(level_);
        highlight_.setEndValue(highlighted ? 1.0 : 0.0);
        highlight_.start();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal line = 1 + level_;
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()), cardCornerRadius, cardCornerRadius);
        painter.fillPath(shape, VeskaTheme::surface.in(*this));
        // Stroked inside the edge, so the border never leaves the card.
        const qreal inset = line / 2;
        const QColor rest = VeskaTheme::divider.in(*this);
        const QColor lime = QColor::fromRgb(VeskaTheme::lime);
        const auto mix = [this](float from, float to) { return from + (to - from) * level_; };
        painter.setPen(
            QPen(QColor::fromRgbF(mix(rest.redF(), lime.redF()), mix(rest.greenF(), lime.greenF()),
                                  mix(rest.blueF(), lime.blueF())),
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
    // 0 at rest, 1 fully highlighted; between while the highlight moves.
    qreal level_ = 0;
    QVariantAnimation highlight_;
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
    inputList_ = new InputListView(model_, googleModel_, [this] { chooseInputs(); });
    inputListPlace_->layout()->addWidget(inputList_);
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
    workFooter_ = new WorkFooterView(
        model_, googleModel_, [this] { startJob(std::nullopt); }, footer_);
    footerRow->addWidget(workFooter_, 1);
    finishedFooterPlace_ = new QWidget(footer_);
    auto* finishedRow = new QHBoxLayout(finishedFooterPlace_);
    finishedRow->setContentsMargins(0, 0, 0, 0);
    finishedRow->setSpacing(12);
    footerRow->addWidget(finishedFooterPlace_, 1);
    reducedMotion_ = new ReducedMotion(QDBusConnection::sessionBus(), this);
    setPanels({});

    connect(&googleModel_, &GoogleConnectionModel::stateChanged, this, &ContentView::updateHeader);
    for (auto signal : {&DeliveryJobModel::phaseChanged, &DeliveryJobModel::outputURLChanged,
                        &DeliveryJobModel::inputURLsChanged}) {
        connect(&model_, signal, this, &ContentView::updateWorkspace);
    }
    connect(&googleModel_, &GoogleConnectionModel::hasActiveTransferChanged, this,
            &ContentView::updateWorkspace);
    connect(&model_, &DeliveryJobModel::verifiedArchiveChanged, this, &ContentView::archiveChanged);
    installResultViews();
    // After the workspace has followed the phase, so that the new page is the one that fades.
    connect(&model_, &DeliveryJobModel::phaseChanged, this, &ContentView::phaseChanged);
    updateHeader();
    updateWorkspace();
    shownPage_ = workspace_->currentWidget();
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

bool ContentView::acceptsInputs() const {
    // An eject under way still owes the result card its outcome, and new inputs would replace
    // the card and could be read from the volume being unmounted.
    return !googleModel_.hasActiveTransfer() && !model_.refusesNewWork() &&
           !externalVolumes_.isEjecting();
}

bool ContentView::dropURLs(const QList<QUrl>& urls) {
    if (model_.isBusy() || !acceptsInputs()) {
        return false;
    }
    std::vector<std::string> inputs;
    QStringList refused;
    for (const QUrl& url : urls) {
        // Links from a browser and other non-file URLs name nothing to pack.
        const InputURL::LocalPath local = InputURL::fromFileURL(url);
        if (local.kind == InputURL::LocalPath::Kind::exact) {
            inputs.push_back(InputURL::fromLocalPath(local.path));
        } else if (local.kind == InputURL::LocalPath::Kind::inexact) {
            refused << QString::fromStdString(local.path);
        }
    }
    return addInputs(inputs, refused);
}

bool ContentView::addInputs(const std::vector<std::string>& inputs, const QStringList& refused) {
    if (!refused.isEmpty()) {
        showInputRefusal(refused);
    }
    if (!inputs.empty()) {
        // The model ignores the call while it is busy and drops what it already holds.
        model_.addInputs(inputs);
    }
    return !inputs.empty() || !refused.isEmpty();
}

void ContentView::showInputRefusal(const QStringList& names) {
    // Another name standing for the one meant would pack the wrong file, or report a missing
    // one; such a name is left out and said so, never repaired.
    const QString text = QStringLiteral("이름을 정확히 읽을 수 없는 항목은 추가하지 않았습니다.");
    const QString detail = names.join(QLatin1Char('\n'));
    if (inputRefusal_) {
        inputRefusal_->setInformativeText(detail);
        return;
    }
    auto* alert = new QMessageBox(this);
    alert->setAttribute(Qt::WA_DeleteOnClose);
    alert->setWindowModality(Qt::WindowModal);
    alert->setIcon(QMessageBox::Warning);
    alert->setTextFormat(Qt::PlainText);
    alert->setWindowTitle(text);
    alert->setText(text);
    alert->setInformativeText(detail);
    alert->addButton(QStringLiteral("확인"), QMessageBox::AcceptRole);
    inputRefusal_ = alert;
    alert->open();
}

void ContentView::setDropTargeted(bool targeted) {
    if (dropTargeted_ == targeted) {
        return;
    }
    dropTargeted_ = targeted;
    static_cast<WorkspaceCard*>(card_)->setHighlighted(targeted, !reducedMotion_->isOn());
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
    const bool finished = model_.phase() == DeliveryJobModel::Phase::complete;
    workFooter_->setVisible(!finished);
    finishedFooterPlace_->setVisible(finished);
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
    // The result may have been cleared while the dialog was open, or its volume be on its way
    // out.
    if (model_.phase() == DeliveryJobModel::Phase::complete && model_.verifiedArchive() &&
        !externalVolumes_.isEjecting()) {
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

namespace {

ContentView::Panels systemPanels() {
    ContentView::Panels panels;
    panels.chooseInputs = [](QWidget* parent,
                             std::function<void(std::vector<std::string>)> chosen) {
        auto* dialog = new InputFileDialog(parent);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(dialog, &QDialog::accepted, dialog,
                         [dialog, chosen = std::move(chosen)] { chosen(dialog->chosen()); });
        dialog->open();
    };
    panels.chooseFolder = [](QWidget* parent, const ContentView::FolderPanel& panel,
                             std::function<void(std::string)> chosen) {
        auto* dialog = new QFileDialog(parent);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setOption(QFileDialog::DontUseNativeDialog);
        dialog->setOption(QFileDialog::ShowDirsOnly);
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setWindowTitle(panel.title);
        dialog->setLabelText(QFileDialog::Accept, panel.prompt);
        dialog->setWindowModality(Qt::WindowModal);
        if (!panel.startingFolder.empty()) {
            dialog->setDirectory(
                QFile::decodeName(QByteArray::fromStdString(panel.startingFolder)));
        }
        QObject::connect(dialog, &QDialog::accepted, dialog, [dialog, chosen = std::move(chosen)] {
            const QStringList files = dialog->selectedFiles();
            if (!files.isEmpty()) {
                chosen(QFile::encodeName(files.constFirst()).toStdString());
            }
        });
        dialog->open();
    };
    panels.folderVolumeUUID = [](const std::string& folder) -> std::optional<std::string> {
        try {
            return MountedVolumes::volumeUUID(folder);
        } catch (const std::system_error&) {
            return std::nullopt;
        }
    };
    return panels;
}

const QString kVolumeRefused = QStringLiteral("장치의 쓰기 권한과 작업 공간을 확인해 주세요.");
const QString kVolumeChanged =
    QStringLiteral("장치가 분리되었거나 저장 위치가 변경됐습니다. 다시 확인해 주세요.");

}  // namespace

void ContentView::setPanels(Panels panels) {
    const Panels system = systemPanels();
    if (!panels.chooseInputs) {
        panels.chooseInputs = system.chooseInputs;
    }
    if (!panels.chooseFolder) {
        panels.chooseFolder = system.chooseFolder;
    }
    if (!panels.folderVolumeUUID) {
        panels.folderVolumeUUID = system.folderVolumeUUID;
    }
    panels_ = std::move(panels);
}

void ContentView::chooseInputs() {
    if (!acceptsInputs()) {
        return;
    }
    panels_.chooseInputs(this, [guard = QPointer(this)](std::vector<std::string> paths) {
        if (!guard || guard->externalVolumes_.isEjecting()) {
            return;
        }
        std::vector<std::string> inputs;
        inputs.reserve(paths.size());
        QStringList refused;
        for (const std::string& path : paths) {
            if (InputURL::isExactName(path)) {
                inputs.push_back(InputURL::fromLocalPath(path));
            } else {
                refused << QFile::decodeName(QByteArray::fromStdString(path));
            }
        }
        guard->addInputs(inputs, refused);
    });
}

QString ContentView::archiveNameProposal(const std::vector<std::string>& inputs) {
    if (inputs.size() != 1) {
        return QStringLiteral("Package.zip");
    }
    const std::string& url = inputs.front();
    // A folder keeps its whole name: "photos.v2/" is "photos.v2.zip", not "photos.zip".
    const std::string base = PathText::isDirectoryURL(url)
                                 ? PathText::lastComponent(url)
                                 : PathText::lastComponent(PathText::deletingPathExtension(url));
    return QFile::decodeName(QByteArray::fromStdString(base)) + QStringLiteral(".zip");
}

QString ContentView::defaultArchiveName() const {
    return archiveNameProposal(model_.inputURLs());
}

bool ContentView::volumeAllowsWork(const ExternalVolume& volume) {
    if (volume.isReadOnly || !volume.uuid) {
        return false;
    }
    // Read-only was tested above; the policy then judges the working space alone.
    return ArchiveDestinationPolicy(volume.fileSystem, volume.maxSingleFileBytes,
                                    volume.availableBytes, false)
        .canAttemptCompression();
}

void ContentView::startJob(std::optional<ExternalVolume> preferredVolume) {
    if (googleModel_.hasActiveTransfer() || model_.refusesNewWork()) {
        return;
    }
    setExternalVolumeError(std::nullopt);
    setEjectionMessages(std::nullopt, std::nullopt);

    using Kind = DeliveryJobModel::InputMode::Kind;
    const Kind mode = model_.inputMode().kind;
    if (mode == Kind::empty || mode == Kind::invalid) {
        return;
    }
    const QPointer guard(this);
    if (mode == Kind::singleArchive) {
        // Without a start the panel would open in the program's working folder; the platform's
        // own panel remembers where the user was, the nearest we have is beside the ZIP.
        const std::string beside = PathText::deletingLastComponent(model_.inputURLs().front());
        panels_.chooseFolder(
            this, {QStringLiteral("압축을 풀 폴더 선택"), QStringLiteral("여기에 풀기"), beside},
            [guard](std::string folder) {
                if (guard && !folder.empty()) {
                    guard->model_.startUnpacking(folder);
                }
            });
        return;
    }

    // While the snapshot is still being taken its size is unknown, so the volume is judged
    // again when the name is confirmed.
    if (preferredVolume && model_.inputSnapshot() && !volumeAllowsWork(*preferredVolume)) {
        setExternalVolumeError(kVolumeRefused);
        return;
    }
    std::string start;
    if (preferredVolume) {
        start = preferredVolume->url;
    } else if (!model_.inputURLs().empty()) {
        start = PathText::deletingLastComponent(model_.inputURLs().front());
    }
    panels_.chooseFolder(this,
                         {QStringLiteral("ZIP을 저장할 폴더"), QStringLiteral("폴더 선택"), start},
                         [guard, preferredVolume](std::string folder) {
                             if (!guard || folder.empty()) {
                                 return;
                             }
                             auto lease = std::make_shared<SecurityScopedAccessLease>(folder);
                             guard->setPendingArchiveSave(PendingArchiveSave{
                                 Uuid::random(), folder, preferredVolume, std::move(lease)});
                         });
}

bool ContentView::canPackNow() const {
    return !model_.isCapturingInputSnapshot() && model_.inputSnapshot() && !model_.isBusy();
}

void ContentView::keepNameSheet(const QString& name, PendingArchiveSave selection) {
    // The sheet closed itself on confirming; it comes back for the same folder, with the name
    // as typed, and its cancel still releases the folder.
    setPendingArchiveSave(std::move(selection));
    if (nameSheet_) {
        nameSheet_->setEnteredName(name);
    }
}

void ContentView::beginPacking(const QString& name, PendingArchiveSave selection) {
    const std::string fileName =
        ArchiveSaveNamePolicy::availableName(name.toStdString(), selection.folder);
    if (fileName.empty() || !canPackNow()) {
        keepNameSheet(name, std::move(selection));
        return;
    }
    const std::string archiveURL = PathText::appending(selection.folder, fileName);
    if (!selection.preferredVolume) {
        startPackingInto(archiveURL, selection);
        return;
    }
    // The volume may have gone, or changed, since it was picked: ask the store for it afresh.
    const ExternalVolume picked = *selection.preferredVolume;
    const std::string id = picked.uuid.value_or(PathText::standardized(picked.url));
    externalVolumes_.currentVolume(
        id, [guard = QPointer(this), name, archiveURL,
             selection = std::move(selection)](std::optional<ExternalVolume> current) mutable {
            // Gone, or the user went on meanwhile (cancelled or chose another folder).
            if (!guard || !guard->pendingArchiveSave_ ||
                guard->pendingArchiveSave_->id != selection.id) {
                return;
            }
            ContentView& view = *guard;
            const auto folderUUID = view.panels_.folderVolumeUUID(selection.folder);
            const bool holds = current && !current->isReadOnly && current->uuid &&
                               view.model_.inputSnapshot() && volumeAllowsWork(*current) &&
                               current->containsFileURL(archiveURL, folderUUID);
            if (!holds) {
                view.setExternalVolumeError(kVolumeChanged);
                view.setPendingArchiveSave(std::nullopt);
                return;
            }
            if (!view.canPackNow()) {
                view.keepNameSheet(name, std::move(selection));
                return;
            }
            view.startPackingInto(archiveURL, selection);
        });
}

void ContentView::startPackingInto(const std::string& archiveURL,
                                   const PendingArchiveSave& selection) {
    // `selection` is the caller's own copy: the folder stays open until the job takes its own
    // lease on it below.
    setPendingArchiveSave(std::nullopt);
    model_.startPacking(archiveURL, selection.folder);
}

void ContentView::phaseChanged() {
    // What the new phase brings in fades in: a new page of the workspace, else the footer.
    QWidget* page = workspace_->currentWidget();
    const bool reduced = reducedMotion_->isOn();
    if (page != shownPage_) {
        fadeIn(*page, phaseMilliseconds, reduced);
    } else {
        fadeIn(*footer_, phaseMilliseconds, reduced);
    }
    shownPage_ = page;
}

}  // namespace tolvane
