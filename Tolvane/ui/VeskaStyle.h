#pragma once

#include <QProxyStyle>

namespace tolvane {

// Fusion with the few changes the theme needs where Fusion's own drawing gets lost on the dark
// canvas: text fields get a rounded divider-coloured border, a green one while they have the
// focus.
class VeskaStyle final : public QProxyStyle {
    Q_OBJECT
public:
    VeskaStyle();

    static constexpr int fieldRadius = 6;

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};

}  // namespace tolvane
