#include "Tolvane/ui/DropZoneView.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include <utility>

#include "Tolvane/ui/VeskaButton.h"
#include "Tolvane/ui/VeskaSymbol.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

namespace {

constexpr int iconSize = 60;
constexpr qreal cardCornerRadius = 20;

// A centred label drawn in a theme colour read at paint time, so that it follows the appearance.
class ThemedLabel final : public QLabel {
public:
    ThemedLabel(const QString& text, AdaptiveColor color, QWidget* parent)
        : QLabel(text, parent), color_(color) {
        setTextFormat(Qt::PlainText);
        setAlignment(Qt::AlignCenter);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(color_.in(*this));
        painter.drawText(contentsRect(), static_cast<int>(alignment()), text());
    }

private:
    AdaptiveColor color_;
};

// The icon, or the lime tray symbol when the icon cannot be drawn.
class DropIcon final : public QWidget {
public:
    explicit DropIcon(QWidget* parent) : QWidget(parent) { setFixedSize(iconSize, iconSize); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QPixmap icon = veskaIcon(iconSize, devicePixelRatioF());
        if (!icon.isNull()) {
            painter.drawPixmap(0, 0, icon);
            return;
        }
        const QPixmap tray =
            VeskaSymbol::pixmap(QStringLiteral("tray.and.arrow.down"), 38,
                                QColor::fromRgb(VeskaTheme::lime), devicePixelRatioF());
        painter.drawPixmap((width() - 38) / 2, (height() - 38) / 2, tray);
    }
};

}  // namespace

QPixmap veskaIcon(int size, qreal devicePixelRatio) {
    QSvgRenderer renderer(QStringLiteral(":/veska/Veska.svg"));
    if (!renderer.isValid()) {
        return {};
    }
    QPixmap pixmap(QSize(size, size) * devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

DropZoneView::DropZoneView(std::function<void()> chooseFiles, QWidget* parent) : QWidget(parent) {
    setAccessibleDescription(
        QStringLiteral("파일과 폴더는 ZIP으로 묶고, ZIP 한 개를 선택하면 압축을 풉니다."));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addStretch();
    layout->addSpacing(24);
    layout->addWidget(new DropIcon(this), 0, Qt::AlignHCenter);
    layout->addSpacing(18);

    title_ = new ThemedLabel(title(false), VeskaTheme::text, this);
    title_->setFont(VeskaTheme::font(23, QFont::DemiBold));
    layout->addWidget(title_);
    layout->addSpacing(9);
    auto* subtitle = new ThemedLabel(QStringLiteral("파일 · 폴더 · ZIP"), VeskaTheme::muted, this);
    subtitle->setFont(VeskaTheme::font(VeskaTheme::calloutSize));
    layout->addWidget(subtitle);
    layout->addSpacing(28);

    auto* choose = new VeskaButton(QStringLiteral("파일 선택"), VeskaPrimaryButtonStyle(), this);
    choose->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    connect(choose, &QPushButton::clicked, this, [chooseFiles = std::move(chooseFiles)] {
        if (chooseFiles) {
            chooseFiles();
        }
    });
    layout->addWidget(choose, 0, Qt::AlignHCenter);
    layout->addSpacing(24);
    layout->addStretch();
}

QString DropZoneView::title(bool targeted) {
    return targeted ? QStringLiteral("여기에 놓으세요") : QStringLiteral("파일을 담아주세요");
}

void DropZoneView::setTargeted(bool targeted) {
    if (targeted_ == targeted) {
        return;
    }
    targeted_ = targeted;
    title_->setText(title(targeted));
    update();
}

void DropZoneView::paintEvent(QPaintEvent*) {
    if (!targeted_) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor tint = QColor::fromRgb(VeskaTheme::lime);
    tint.setAlphaF(0.07);
    // The zone fills the workspace card; the tint keeps to the card's rounded corners.
    QPainterPath card;
    card.addRoundedRect(QRectF(rect()), cardCornerRadius, cardCornerRadius);
    painter.fillPath(card, tint);
}

}  // namespace tolvane
