#include "Tolvane/ui/VeskaBusyIndicator.h"

#include <QPainter>

#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

namespace {

constexpr int kFrameMilliseconds = 40;
constexpr int kDegreesPerFrame = 12;

}  // namespace

VeskaBusyIndicator::VeskaBusyIndicator(QWidget* parent) : QWidget(parent) {
    setFixedSize(indicatorSize, indicatorSize);
    setAccessibleName(QStringLiteral("진행 중"));
    timer_.setInterval(kFrameMilliseconds);
    connect(&timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + kDegreesPerFrame) % 360;
        update();
    });
}

void VeskaBusyIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF ring = QRectF(rect()).adjusted(2, 2, -2, -2);
    painter.setPen(QPen(VeskaTheme::divider.in(*this), 2.0));
    painter.drawEllipse(ring);
    painter.setPen(QPen(QColor::fromRgb(VeskaTheme::lime), 2.0, Qt::SolidLine, Qt::RoundCap));
    // Qt counts sixteenths of a degree, counter-clockwise: a quarter turn of arc, turning
    // clockwise.
    painter.drawArc(ring, -angle_ * 16, 100 * 16);
}

void VeskaBusyIndicator::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    timer_.start();
}

void VeskaBusyIndicator::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    timer_.stop();
}

}  // namespace tolvane
