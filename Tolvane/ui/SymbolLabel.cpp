#include "Tolvane/ui/SymbolLabel.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

#include "Tolvane/ui/PlainToolTip.h"
#include "Tolvane/ui/VeskaSymbol.h"

namespace tolvane {

namespace {

constexpr int kSpacing = 5;

// The symbol at the text's height, never smaller than a legible 12 pixels.
int symbolSizeFor(const QFont& font) {
    return std::max(12, QFontMetrics(font).ascent());
}

// Draws the symbol and then the text, centred vertically in `bounds`.
void drawSymbolAndText(QPainter& painter, const QWidget& widget, QRect bounds,
                       const QString& symbol, const QString& text, const QColor& colour) {
    const QFontMetrics metrics(widget.font());
    const int size = symbolSizeFor(widget.font());
    int x = bounds.left();
    const QPixmap pixmap =
        symbol.isEmpty() ? QPixmap()
                         : VeskaSymbol::pixmap(symbol, size, colour, widget.devicePixelRatioF());
    if (!pixmap.isNull()) {
        painter.drawPixmap(QPoint(x, bounds.top() + (bounds.height() - size) / 2), pixmap);
        x += size + kSpacing;
    }
    painter.setPen(colour);
    const QRect textRect(x, bounds.top(), std::max(0, bounds.right() + 1 - x), bounds.height());
    painter.drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                     metrics.elidedText(text, Qt::ElideRight, textRect.width()));
}

}  // namespace

SymbolLabel::SymbolLabel(const QString& symbol, const QString& text, QWidget* parent)
    : QWidget(parent), symbol_(symbol) {
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setText(text);
}

void SymbolLabel::setText(const QString& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    setAccessibleName(text);
    updateToolTip();
    updateGeometry();
    update();
}

void SymbolLabel::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    updateGeometry();
    update();
}

void SymbolLabel::setColor(const AdaptiveColor& color) {
    color_ = color;
    update();
}

int SymbolLabel::symbolSize() const {
    return symbolSizeFor(font());
}

QSize SymbolLabel::sizeHint() const {
    const QFontMetrics metrics(font());
    return {symbolSize() + kSpacing + metrics.horizontalAdvance(text_) + 1,
            std::max(metrics.height(), symbolSize())};
}

QSize SymbolLabel::minimumSizeHint() const {
    return {symbolSize(), sizeHint().height()};
}

void SymbolLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor colour = color_ ? color_->in(*this) : palette().color(QPalette::WindowText);
    drawSymbolAndText(painter, *this, rect(), symbol_, text_, colour);
}

void SymbolLabel::resizeEvent(QResizeEvent*) {
    updateToolTip();
}

void SymbolLabel::updateToolTip() {
    const bool cut =
        QFontMetrics(font()).horizontalAdvance(text_) > width() - symbolSize() - kSpacing;
    setToolTip(cut ? plainToolTip(text_) : QString());
}

DisclosureButton::DisclosureButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void DisclosureButton::setSymbol(const QString& symbol) {
    symbol_ = symbol;
    updateGeometry();
    update();
}

void DisclosureButton::setColor(const AdaptiveColor& color) {
    color_ = color;
    update();
}

QSize DisclosureButton::sizeHint() const {
    const QFontMetrics metrics(font());
    const int size = symbolSizeFor(font());
    const int symbols = symbol_.isEmpty() ? 1 : 2;
    return {symbols * (size + kSpacing) + metrics.horizontalAdvance(text()) + 1,
            std::max(metrics.height(), size) + 4};
}

void DisclosureButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor colour = color_.in(*this);
    const int size = symbolSizeFor(font());
    const QPixmap chevron = VeskaSymbol::pixmap(
        isChecked() ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right"), size,
        colour, devicePixelRatioF());
    if (!chevron.isNull()) {
        painter.drawPixmap(QPoint(0, (height() - size) / 2), chevron);
    }
    drawSymbolAndText(painter, *this, rect().adjusted(size + kSpacing, 0, 0, 0), symbol_, text(),
                      colour);
    if (hasFocus()) {
        QColor ring = colour;
        ring.setAlphaF(0.6);
        painter.setPen(QPen(ring, 1.0));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    }
}

}  // namespace tolvane
