#pragma once

#include <QProxyStyle>

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

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};

}  // namespace tolvane
