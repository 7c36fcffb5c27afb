#include "Tolvane/ui/VeskaButton.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "Tolvane/ui/VeskaSymbol.h"
#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

namespace {

QPainterPath roundedShape(const QRectF& rect) {
    QPainterPath path;
    path.addRoundedRect(rect, VeskaButtonStyle::cornerRadius, VeskaButtonStyle::cornerRadius);
    return path;
}

}  // namespace

VeskaButton::VeskaButton(const QString& text, const VeskaButtonStyle& style, QWidget* parent)
    : QPushButton(text, parent), style_(style) {
    setFont(VeskaTheme::font(VeskaButtonStyle::fontSize, style_.weight));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setCursor(Qt::PointingHandCursor);
    // Reached with Tab, but a click leaves the focus where the user was typing.
    setFocusPolicy(Qt::TabFocus);
    // Inside dialogs Qt would make every push button a default button that Return presses;
    // screens decide for themselves which key does what.
    setAutoDefault(false);
}

void VeskaButton::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    updateGeometry();
    update();
}

QSize VeskaButton::sizeHint() const {
    const QFontMetrics metrics(font());
    // Rounded up with a pixel to spare: a label measured at its exact fractional width is
    // elided when painted.
    int content = static_cast<int>(std::ceil(QFontMetricsF(font()).horizontalAdvance(text()))) + 1;
    if (!symbol_.isEmpty()) {
        content += kSymbolSize + (text().isEmpty() ? 0 : kSymbolSpacing);
    }
    const int height = std::max(style_.minimumHeight, metrics.height());
    return {content + 2 * style_.horizontalPadding, height};
}

bool VeskaButton::hitButton(const QPoint& position) const {
    return roundedShape(QRectF(rect())).contains(QPointF(position));
}

void VeskaButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(style_.opacity(isEnabled(), isDown()));

    const bool lime = style_.face == VeskaButtonStyle::Face::lime;
    const QRectF bounds(rect());
    if (lime) {
        painter.fillPath(roundedShape(bounds), QColor::fromRgb(VeskaTheme::lime));
    } else {
        painter.fillPath(roundedShape(bounds), VeskaTheme::raised.in(*this));
        // A one-pixel border inside the edge.
        painter.setPen(QPen(VeskaTheme::divider.in(*this), 1.0));
        painter.setBrush(Qt::NoBrush);
        const QRectF inner = bounds.adjusted(0.5, 0.5, -0.5, -0.5);
        painter.drawRoundedRect(inner, VeskaButtonStyle::cornerRadius - 0.5,
                                VeskaButtonStyle::cornerRadius - 0.5);
    }
    const QColor label = lime ? QColor::fromRgb(VeskaTheme::onLime) : VeskaTheme::text.in(*this);
    if (hasFocus() && focusPolicy() != Qt::NoFocus) {
        // Keyboard users need to see where Space will act; a thin ring inside the face keeps the
        // button's size.
        QColor ring = label;
        ring.setAlphaF(0.6);
        painter.setPen(QPen(ring, 1.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(bounds.adjusted(3.5, 3.5, -3.5, -3.5),
                                VeskaButtonStyle::cornerRadius - 3.5,
                                VeskaButtonStyle::cornerRadius - 3.5);
    }

    const QFontMetrics metrics(font());
    const QString shown = metrics.elidedText(
        text(), Qt::ElideRight,
        width() - 2 * style_.horizontalPadding - (symbol_.isEmpty() ? 0 : kSymbolSize));
    const QPixmap symbol =
        symbol_.isEmpty() ? QPixmap()
                          : VeskaSymbol::pixmap(symbol_, kSymbolSize, label, devicePixelRatioF());
    const int textWidth = metrics.horizontalAdvance(shown);
    const int spacing = symbol.isNull() || shown.isEmpty() ? 0 : kSymbolSpacing;
    const int contentWidth = (symbol.isNull() ? 0 : kSymbolSize) + spacing + textWidth;
    int x = (width() - contentWidth) / 2;
    if (!symbol.isNull()) {
        painter.drawPixmap(QPoint(x, (height() - kSymbolSize) / 2), symbol);
        x += kSymbolSize + spacing;
    }
    painter.setPen(label);
    painter.drawText(QRect(x, 0, textWidth, height()), Qt::AlignVCenter | Qt::AlignLeft, shown);
}

}  // namespace tolvane
