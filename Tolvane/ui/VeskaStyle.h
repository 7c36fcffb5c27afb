#pragma once

#include <QProxyStyle>

class QAction;
class QScrollBar;

namespace tolvane {

// Fusion with the few changes the theme needs where Fusion's own drawing gets lost on the dark
// canvas: text fields get a rounded divider-coloured border, a green one while they have the
// focus.
class VeskaStyle final : public QProxyStyle {
    Q_OBJECT
public:
    VeskaStyle();

    static constexpr int fieldRadius = 6;

    // A thin vertical bar over a card's surface instead of Fusion's with its arrows and track.
    static void useThinScrollBar(QScrollBar* bar);

    // A menu item that destroys something (a revoked access, a deleted file) is drawn in the
    // theme's danger colour, and filled with it while the pointer is over it.
    static void markDestructive(QAction* action);
    static bool isDestructive(const QAction* action);

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};

}  // namespace tolvane
