#include "Tolvane/ui/VeskaProgressBar.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

namespace {

void fillCapsule(QPainter& painter, const QRectF& rect, const QColor& color) {
    const double radius = std::min(rect.width(), rect.height()) / 2;
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    painter.fillPath(path, color);
}

}  // namespace

VeskaProgressBar::VeskaProgressBar(double fraction, QWidget* parent) : QWidget(parent) {
    setFixedHeight(barHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(QStringLiteral("진행률"));
    setFraction(fraction);
}

double VeskaProgressBar::clampedFraction(double fraction) noexcept {
    if (std::isnan(fraction) || fraction <= 0) {
        return 0;
    }
    return fraction > 1 ? 1 : fraction;
}

QString VeskaProgressBar::percentText(double fraction, const QLocale& locale) {
    const auto percent = static_cast<int>(std::lround(clampedFraction(fraction) * 100));
    return locale.toString(percent) + locale.percent();
}

void VeskaProgressBar::setFraction(double fraction) {
    if (fraction == fraction_ && !accessibleDescription().isEmpty()) {
        return;
    }
    fraction_ = fraction;
    setAccessibleDescription(percentText(fraction));
    update();
}

void VeskaProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track(0, 0, width(), barHeight);
    fillCapsule(painter, track, VeskaTheme::divider.in(*this));
    const double filled = clampedFraction(fraction_) * width();
    if (filled > 0) {
        fillCapsule(painter, QRectF(0, 0, filled, barHeight), QColor::fromRgb(VeskaTheme::lime));
    }
}

}  // namespace tolvane
