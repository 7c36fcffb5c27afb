#include "Tolvane/ui/ResultCardView.h"

#include <QFile>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QVBoxLayout>

#include <limits>

#include "Tolvane/model/DeliveryJobModel.h"
#include "Tolvane/model/ExternalVolumeStore.h"
#include "Tolvane/model/GoogleConnectionModel.h"
#include "Tolvane/ui/ContentView.h"
#include "Tolvane/ui/DriveShareStatusView.h"
#include "Tolvane/ui/SymbolLabel.h"
#include "Tolvane/ui/ThemedLabel.h"
#include "Tolvane/ui/VeskaBusyIndicator.h"
#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaStyle.h"
#include "Tolvane/ui/VeskaSymbol.h"
#include "Tolvane/ui/VeskaTheme.h"
#include "core/common/ByteCount.h"
#include "core/common/PathText.h"
#include "platform/desktop/FileManager.h"

namespace tolvane {

namespace {

constexpr int kMarkSize = 58;

// The success mark: a check in the success colour on a raised disc.
class SuccessMark final : public QWidget {
public:
    explicit SuccessMark(QWidget* parent) : QWidget(parent) {
        setFixedSize(kMarkSize, kMarkSize);
        setAccessibleName(QStringLiteral("완료"));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(VeskaTheme::raised.in(*this));
        painter.drawEllipse(QRectF(rect()));
        const QPixmap check = VeskaSymbol::pixmap(
            QStringLiteral("checkmark"), 24, VeskaTheme::success.in(*this), devicePixelRatioF());
        if (!check.isNull()) {
            const QSizeF size = check.deviceIndependentSize();
            painter.drawPixmap(
                QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), check);
        }
    }
};

QString byteCount(std::uint64_t bytes) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return QString::fromStdString(
        formatByteCount(static_cast<std::int64_t>(bytes < largest ? bytes : largest)));
}

// A warning line the user may select and copy, wrapped to the card's width.
ThemedLabel* warningLine(QWidget* parent) {
    auto* line = new ThemedLabel(QString(), parent);
    line->setFont(VeskaTheme::font(VeskaTheme::calloutSize));
    line->setColor(VeskaTheme::warning);
    line->setWordWrap(true);
    line->setAlignment(Qt::AlignHCenter);
    line->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return line;
}

void setLine(ThemedLabel& line, const std::optional<QString>& text) {
    line.setText(text.value_or(QString()));
    line.setVisible(text.has_value());
}

// The cut keeps whole characters: a surrogate pair is never split.
qsizetype fittingPrefix(const QString& text, const QFontMetrics& metrics, int width) {
    qsizetype length = 0;
    while (length < text.size() && metrics.horizontalAdvance(text.left(length + 1)) <= width) {
        ++length;
    }
    if (length > 0 && length < text.size() && text.at(length - 1).isHighSurrogate()) {
        --length;
    }
    return length;
}

}  // namespace

ResultCardView::ResultCardView(ContentView& window, DeliveryJobModel& job,
                               GoogleConnectionModel& google, ExternalVolumeStore& volumes,
                               QWidget* parent)
    : QScrollArea(parent), window_(window), job_(job), google_(google), volumes_(volumes) {
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The workspace card draws the surface behind the scrolled content.
    viewport()->setAutoFillBackground(false);

    auto* content = new QWidget;
    content->setAutoFillBackground(false);
    auto* stack = new QVBoxLayout(content);
    stack->setContentsMargins(28, 28, 28, 28);
    stack->setSpacing(17);
    stack->addSpacerItem(new QSpacerItem(0, 14, QSizePolicy::Minimum, QSizePolicy::Expanding));
    stack->addWidget(new SuccessMark(content), 0, Qt::AlignHCenter);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(7);
    title_ = new QLabel(content);
    title_->setFont(VeskaTheme::font(24, QFont::DemiBold));
    title_->setAlignment(Qt::AlignHCenter);
    titles->addWidget(title_);
    fileName_ = new QLabel(content);
    fileName_->setTextFormat(Qt::PlainText);
    fileName_->setFont(VeskaTheme::font(15, QFont::Medium));
    fileName_->setAlignment(Qt::AlignHCenter);
    fileName_->setMinimumWidth(1);
    titles->addWidget(fileName_);
    summary_ = new ThemedLabel(QString(), content);
    summary_->setFont(VeskaTheme::font(VeskaTheme::calloutSize));
    summary_->setColor(VeskaTheme::muted);
    summary_->setAlignment(Qt::AlignHCenter);
    titles->addWidget(summary_);
    auto* verified =
        new SymbolLabel(QStringLiteral("checkmark.shield"), QStringLiteral("검증 완료"), content);
    verified->setFont(VeskaTheme::font(VeskaTheme::captionSize));
    verified->setColor(VeskaTheme::muted);
    titles->addWidget(verified, 0, Qt::AlignHCenter);
    stack->addLayout(titles);

    auto* actions = new QHBoxLayout;
    actions->setSpacing(10);
    actions->addStretch();
    reveal_ = new VeskaButton(QStringLiteral("파일 관리자에서 보기"), VeskaSecondaryButtonStyle(),
                              content);
    reveal_->setSymbol(QStringLiteral("folder"));
    connect(reveal_, &QPushButton::clicked, this, [this] {
        if (job_.outputURL()) {
            FileManager::reveal(*job_.outputURL(), this);
        }
    });
    actions->addWidget(reveal_);
    eject_ = new VeskaButton(QStringLiteral("안전하게 제거"), VeskaSecondaryButtonStyle(), content);
    eject_->setSymbol(QStringLiteral("eject"));
    eject_->setToolTip(QStringLiteral("압축 검증을 마친 외장 장치를 안전하게 제거합니다."));
    connect(eject_, &QPushButton::clicked, this, [this] {
        if (job_.outputURL()) {
            window_.safelyEject(*job_.outputURL());
        }
    });
    actions->addWidget(eject_);
    actions->addStretch();
    stack->addLayout(actions);

    ejecting_ = new VeskaBusyIndicator(content);
    stack->addWidget(ejecting_, 0, Qt::AlignHCenter);
    ejected_ = new SymbolLabel(QStringLiteral("eject"), QString(), content);
    ejected_->setFont(VeskaTheme::font(VeskaTheme::calloutSize));
    stack->addWidget(ejected_, 0, Qt::AlignHCenter);
    ejectionError_ = warningLine(content);
    stack->addWidget(ejectionError_);
    cleanupWarning_ = warningLine(content);
    stack->addWidget(cleanupWarning_);
    droppedAttributesWarning_ = warningLine(content);
    stack->addWidget(droppedAttributesWarning_);
    stack->addWidget(new DriveShareStatusView(job_, google_, content));
    stack->addSpacerItem(new QSpacerItem(0, 8, QSizePolicy::Minimum, QSizePolicy::Expanding));
    setWidget(content);
    // The scroll area paints its content's background by default, which would hide the card.
    content->setAutoFillBackground(false);
    VeskaStyle::useThinScrollBar(verticalScrollBar());

    for (auto signal :
         {&DeliveryJobModel::phaseChanged, &DeliveryJobModel::outputURLChanged,
          &DeliveryJobModel::verifiedArchiveChanged, &DeliveryJobModel::inputURLsChanged,
          &DeliveryJobModel::cleanupWarningChanged,
          &DeliveryJobModel::droppedAttributesWarningChanged,
          &DeliveryJobModel::completedFileCountChanged, &DeliveryJobModel::completedBytesChanged}) {
        connect(&job_, signal, this, &ResultCardView::refresh);
    }
    connect(&volumes_, &ExternalVolumeStore::isEjectingChanged, this, &ResultCardView::refresh);
    connect(&volumes_, &ExternalVolumeStore::volumesChanged, this, &ResultCardView::refresh);
    connect(&google_, &GoogleConnectionModel::hasActiveTransferChanged, this,
            &ResultCardView::refresh);
    refresh();
}

QString ResultCardView::resultSummary(std::uint64_t fileCount, std::uint64_t sourceBytes,
                                      const std::optional<VerifiedArchive>& archive,
                                      const QLocale& locale) {
    QString summary = locale.toString(static_cast<qulonglong>(fileCount)) +
                      QStringLiteral("개 파일 · ") + byteCount(sourceBytes);
    if (archive) {
        const std::int64_t archiveBytes = archive->byteCount;
        summary += QStringLiteral(" → ") +
                   byteCount(archiveBytes < 0 ? 0 : static_cast<std::uint64_t>(archiveBytes));
    }
    return summary;
}

QString ResultCardView::twoLineName(const QString& name, const QFontMetrics& metrics, int width) {
    if (width <= 0 || metrics.horizontalAdvance(name) <= width) {
        return name;
    }
    // Cut in the middle to what two lines hold, then break where the first line is full. The
    // budget shrinks until the rest fits on the second line, since characters do not split
    // evenly at the line's end.
    for (int budget = 2 * width; budget > 0; budget -= metrics.averageCharWidth()) {
        const QString shortened = metrics.elidedText(name, Qt::ElideMiddle, budget);
        const qsizetype first = fittingPrefix(shortened, metrics, width);
        if (first == 0) {
            break;
        }
        const QString rest = shortened.mid(first);
        if (metrics.horizontalAdvance(rest) <= width) {
            return rest.isEmpty() ? shortened : shortened.left(first) + QLatin1Char('\n') + rest;
        }
    }
    return metrics.elidedText(name, Qt::ElideMiddle, width);
}

void ResultCardView::refresh() {
    const bool unpacked = job_.inputMode().kind == DeliveryJobModel::InputMode::Kind::singleArchive;
    title_->setText(unpacked ? QStringLiteral("풀었습니다") : QStringLiteral("담았습니다"));
    const std::string output = job_.outputURL().value_or(std::string());
    fullFileName_ = QFile::decodeName(QByteArray::fromStdString(PathText::lastComponent(output)));
    fileName_->setToolTip(QFile::decodeName(QByteArray::fromStdString(output)));
    updateFileName();
    summary_->setText(
        resultSummary(job_.completedFileCount(), job_.completedBytes(), job_.verifiedArchive()));

    const auto& ejectedName = window_.ejectedVolumeName();
    const bool ejecting = volumes_.isEjecting();
    reveal_->setVisible(!ejectedName);
    eject_->setVisible(!ejectedName && window_.completedExternalVolume().has_value());
    eject_->setText(ejecting ? QStringLiteral("제거 중") : QStringLiteral("안전하게 제거"));
    eject_->setEnabled(!ejecting && !google_.hasActiveTransfer());
    ejecting_->setVisible(ejecting);
    ejected_->setText(ejectedName.value_or(QString()) + QStringLiteral(" 안전하게 제거됨"));
    ejected_->setVisible(ejectedName.has_value());
    setLine(*ejectionError_, window_.ejectionError());
    setLine(*cleanupWarning_, job_.cleanupWarning());
    setLine(*droppedAttributesWarning_, job_.droppedAttributesWarning());
}

void ResultCardView::updateFileName() {
    fileName_->setText(
        twoLineName(fullFileName_, QFontMetrics(fileName_->font()), viewport()->width() - 2 * 28));
}

void ResultCardView::resizeEvent(QResizeEvent* event) {
    QScrollArea::resizeEvent(event);
    updateFileName();
}

}  // namespace tolvane
