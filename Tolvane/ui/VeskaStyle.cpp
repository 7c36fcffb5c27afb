#include "Tolvane/ui/VeskaStyle.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStyleFactory>
#include <QStyleOption>

#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

namespace {

const char* const kDestructive = "veskaDestructive";

}  // namespace

VeskaStyle::VeskaStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

void VeskaStyle::markDestructive(QAction* action) {
    action->setProperty(kDestructive, true);
}

bool VeskaStyle::isDestructive(const QAction* action) {
    return action != nullptr && action->property(kDestructive).toBool();
}

void VeskaStyle::drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                             const QWidget* widget) const {
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    const auto* menu = qobject_cast<const QMenu*>(widget);
    if (element != CE_MenuItem || item == nullptr || menu == nullptr ||
        !isDestructive(menu->actionAt(option->rect.center()))) {
        QProxyStyle::drawControl(element, option, painter, widget);
        return;
    }
    // The menu is a window of its own: its palette, not the sheet's, tells the appearance.
    const Appearance appearance = VeskaTheme::appearanceOf(option->palette);
    const QColor danger = VeskaTheme::danger.resolve(appearance);
    QStyleOptionMenuItem destructive(*item);
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        for (const auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText}) {
            destructive.palette.setColor(group, role, danger);
        }
        destructive.palette.setColor(group, QPalette::Highlight, danger);
        destructive.palette.setColor(group, QPalette::HighlightedText,
                                     VeskaTheme::surface.resolve(appearance));
    }
    QProxyStyle::drawControl(element, &destructive, painter, widget);
}

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
