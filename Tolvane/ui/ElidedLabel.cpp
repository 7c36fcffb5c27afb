#include "Tolvane/ui/ElidedLabel.h"

#include <QFontMetrics>
#include <QPainter>

#include "Tolvane/ui/PlainToolTip.h"

namespace tolvane {

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QWidget(parent), mode_(mode) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ElidedLabel::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    setAccessibleName(text);
    updateToolTip();
    updateGeometry();
    update();
}

void ElidedLabel::setColor(const AdaptiveColor& color) {
    color_ = color;
    update();
}

QString ElidedLabel::shownText() const {
    // Line breaks would be drawn as nothing; a path may hold them, so they are shown as spaces.
    QString flat = text_;
    flat.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return QFontMetrics(font()).elidedText(flat, mode_, width());
}

QSize ElidedLabel::sizeHint() const {
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text_), metrics.height()};
}

QSize ElidedLabel::minimumSizeHint() const {
    return {0, QFontMetrics(font()).height()};
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(color_ ? color_->in(*this) : palette().color(QPalette::WindowText));
    painter.drawText(rect(), Qt::AlignVCenter | Qt::AlignLeft, shownText());
}

void ElidedLabel::resizeEvent(QResizeEvent*) {
    updateToolTip();
}

void ElidedLabel::updateToolTip() {
    setToolTip(shownText() == text_ ? QString() : plainToolTip(text_));
}

}  // namespace tolvane
