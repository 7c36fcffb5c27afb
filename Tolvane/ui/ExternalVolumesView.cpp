#include "Tolvane/ui/ExternalVolumesView.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <limits>

#include "Tolvane/ui/ElidedLabel.h"
#include "Tolvane/ui/PlainToolTip.h"
#include "Tolvane/ui/ThemedLabel.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaSymbol.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "core/archive/ArchiveDestinationPolicy.h"
#include "core/common/ByteCount.h"
#include "platform/desktop/FileManager.h"

namespace tolvane {

namespace {

constexpr qreal kCornerRadius = 14;

ArchiveDestinationPolicy policyOf(const ExternalVolume& volume) {
    return {volume.fileSystem, volume.maxSingleFileBytes, volume.availableBytes, false};
}

QString byteCount(std::uint64_t bytes) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return QString::fromStdString(
        formatByteCount(static_cast<std::int64_t>(bytes < largest ? bytes : largest)));
}

}  // namespace

ExternalVolumesView::ExternalVolumesView(SaveToVolume saveToVolume, QWidget* parent,
                                         OpenURL openVolume)
    : QWidget(parent), saveToVolume_(std::move(saveToVolume)), openVolume_(std::move(openVolume)) {
    if (!openVolume_) {
        openVolume_ = [](const std::string& path) {
            QDesktopServices::openUrl(FileManager::fileURL(path));
        };
    }
    rows_ = new QVBoxLayout(this);
    rows_->setContentsMargins(16, 12, 16, 12);
    rows_->setSpacing(8);
    setAccessibleName(QStringLiteral("외장 장치"));
    QWidget::setVisible(false);
}

bool ExternalVolumesView::canSave(const ExternalVolume& volume,
                                  std::optional<std::uint64_t> sourceBytes, bool canStartPack) {
    return canStartPack && sourceBytes && !volume.isReadOnly && volume.uuid &&
           policyOf(volume).canAttemptCompression();
}

QString ExternalVolumesView::detail(const ExternalVolume& volume,
                                    std::optional<std::uint64_t> sourceBytes, bool canStartPack) {
    if (volume.isReadOnly) {
        return QStringLiteral("읽기 전용 · 파일 관리자에서 보기");
    }
    if (!volume.uuid) {
        return QStringLiteral("장치 식별 불가 · 파일 관리자에서 보기");
    }
    if (!volume.availableBytes) {
        return QStringLiteral("저장 공간 확인 불가 · 파일 관리자에서 보기");
    }
    const std::uint64_t available = *volume.availableBytes;
    const QString free = byteCount(available);
    if (canStartPack && sourceBytes && available <= ArchiveDestinationPolicy::workspaceReserve) {
        return QStringLiteral("작업 공간 부족 · 여유 ") + free;
    }
    const ArchiveDestinationPolicy policy = policyOf(volume);
    const QString name = QString::fromStdString(policy.displayName());
    if (policy.maximumFileBytes &&
        *policy.maximumFileBytes <= ArchiveDestinationPolicy::fatMaximumFileBytes) {
        if (*policy.maximumFileBytes == ArchiveDestinationPolicy::fatMaximumFileBytes) {
            return name + QStringLiteral(" · 최대 압축 · ZIP 4GiB 미만");
        }
        return name + QStringLiteral(" · 최대 압축 · ZIP 최대 ") +
               byteCount(*policy.maximumFileBytes);
    }
    // The same threshold as the compression the pack will choose: a source that fills three
    // quarters of the free space gets the stronger compression.
    if (sourceBytes && static_cast<double>(available) * 0.75 <= static_cast<double>(*sourceBytes)) {
        return name + QStringLiteral(" · 최대 압축 · 여유 ") + free;
    }
    return name + QStringLiteral(" · 자동 압축 · 여유 ") + free;
}

void ExternalVolumesView::setVolumes(const std::vector<ExternalVolume>& volumes,
                                     const std::optional<std::string>& recentlyMountedID,
                                     std::optional<std::uint64_t> sourceBytes, bool canStartPack) {
    volumes_ = volumes;
    recentlyMountedID_ = recentlyMountedID;
    sourceBytes_ = sourceBytes;
    canStartPack_ = canStartPack;
    // The old rows go later: this may run from inside one of their buttons' click.
    while (QLayoutItem* item = rows_->takeAt(0)) {
        if (QWidget* row = item->widget()) {
            row->hide();
            row->deleteLater();
        }
        delete item;
    }
    for (const ExternalVolume& volume : volumes) {
        rows_->addWidget(makeRow(volume, recentlyMountedID && *recentlyMountedID == volume.id(),
                                 sourceBytes, canStartPack));
    }
    QWidget::setVisible(!volumes.empty());
}

QWidget* ExternalVolumesView::makeRow(const ExternalVolume& volume, bool recentlyMounted,
                                      std::optional<std::uint64_t> sourceBytes, bool canStartPack) {
    auto* row = new QWidget(this);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(11);

    auto* icon = new QLabel(row);
    icon->setFixedWidth(24);
    icon->setAlignment(Qt::AlignCenter);
    icon->setPixmap(VeskaSymbol::pixmap(QStringLiteral("externaldrive"), 17,
                                        VeskaTheme::success.in(*this), devicePixelRatioF()));
    line->addWidget(icon, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* title = new QHBoxLayout;
    title->setSpacing(7);
    auto* name = new ElidedLabel(Qt::ElideMiddle, row);
    name->setFont(VeskaTheme::font(VeskaTheme::subheadlineSize, QFont::Medium));
    name->setText(volume.name);
    // The whole name is the name's help, also when it fits.
    name->setToolTip(plainToolTip(volume.name));
    // The badge follows the name; a long name gives way and is shortened.
    name->setMaximumWidth(QFontMetrics(name->font()).horizontalAdvance(volume.name) + 1);
    title->addWidget(name, 1);
    if (recentlyMounted) {
        // Lime text cannot be read on the light surface; the success colour is lime in the dark.
        auto* badge = new ThemedLabel(QStringLiteral("연결됨"), row);
        badge->setFont(VeskaTheme::font(VeskaTheme::captionSize, QFont::DemiBold));
        badge->setColor(VeskaTheme::success);
        title->addWidget(badge, 0, Qt::AlignVCenter);
    }
    title->addStretch();
    texts->addLayout(title);
    auto* summary = new ElidedLabel(Qt::ElideRight, row);
    summary->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    summary->setColor(VeskaTheme::muted);
    summary->setText(detail(volume, sourceBytes, canStartPack));
    texts->addWidget(summary);
    line->addLayout(texts, 1);
    line->addSpacing(8);

    const bool saves = canSave(volume, sourceBytes, canStartPack);
    auto* action =
        new VeskaButton(saves ? QStringLiteral("여기에 ZIP 저장") : QStringLiteral("보기"),
                        VeskaSecondaryButtonStyle(), row);
    if (saves) {
        action->setAccessibleName(volume.name + QStringLiteral("에 ZIP 저장"));
        connect(action, &QPushButton::clicked, this, [this, volume] { saveToVolume_(volume); });
    } else {
        action->setAccessibleName(QStringLiteral("파일 관리자에서 ") + volume.name +
                                  QStringLiteral(" 보기"));
        connect(action, &QPushButton::clicked, this,
                [this, url = volume.url] { openVolume_(url); });
    }
    line->addWidget(action, 0, Qt::AlignVCenter);
    return row;
}

void ExternalVolumesView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // The drive symbols are tinted when a row is made.
    if (event->type() == QEvent::PaletteChange && !volumes_.empty()) {
        const auto volumes = volumes_;
        setVolumes(volumes, recentlyMountedID_, sourceBytes_, canStartPack_);
    }
}

void ExternalVolumesView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    painter.fillPath(shape, VeskaTheme::surface.in(*this));
    painter.setPen(QPen(VeskaTheme::divider.in(*this), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius - 0.5,
                            kCornerRadius - 0.5);
}

}  // namespace tolvane
