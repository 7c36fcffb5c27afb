#include "Tolvane/ui/ElidedLabel.h"

#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

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

QString ElidedLabel::effectiveToolTip() const {
    if (!toolTip().isEmpty()) {
        return toolTip();
    }
    for (const QWidget* around = parentWidget(); around != nullptr;
         around = around->parentWidget()) {
        if (!around->toolTip().isEmpty()) {
            return {};
        }
        if (around->isWindow()) {
            break;
        }
    }
    return shownText() == text_ ? QString() : plainToolTip(text_);
}

bool ElidedLabel::event(QEvent* event) {
    // Decided when asked, never stored: storing the whole text as the label's own tooltip would
    // hide the one its owner set around it.
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        const QString tip = effectiveToolTip();
        if (tip.isEmpty()) {
            event->ignore();  // the widget around the label answers
            return false;
        }
        QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, this, rect());
        return true;
    }
    return QWidget::event(event);
}

}  // namespace tolvane
