#include "Tolvane/ui/VeskaStyle.h"

#include <QScrollBar>

#include <QPainter>
#include <QStyleFactory>
#include <QStyleOption>

namespace tolvane {

VeskaStyle::VeskaStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

void VeskaStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                               QPainter* painter, const QWidget* widget) const {
    if (element != PE_PanelLineEdit) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
    if (frame == nullptr || frame->lineWidth <= 0) {
        // A frameless field (inside a spin box or a combo box) only gets its base.
        painter->fillRect(option->rect, option->palette.base());
        return;
    }
    const bool focused =
        option->state.testFlag(State_HasFocus) && option->state.testFlag(State_Enabled);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5);
    painter->setBrush(option->palette.base());
    // The focus border takes the theme's success colour (the palette's link colour): lime on the
    // dark canvas, and a dark green on the light one, where lime would hardly show.
    painter->setPen(
        QPen(option->palette.color(focused ? QPalette::Link : QPalette::Mid), focused ? 1.5 : 1.0));
    painter->drawRoundedRect(focused ? bounds.adjusted(0.25, 0.25, -0.25, -0.25) : bounds,
                             fieldRadius, fieldRadius);
    painter->restore();
}

void VeskaStyle::useThinScrollBar(QScrollBar* bar) {
    bar->setStyleSheet(QStringLiteral(
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 14px 4px 14px 0; }"
        "QScrollBar::handle:vertical { background: palette(mid); border-radius: 3px;"
        " min-height: 28px; }"
        "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
        "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }"));
}

}  // namespace tolvane
