#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

namespace tolvane {

// The appearance a widget is drawn in.
enum class Appearance { dark, light };

// One colour with a value for each appearance, written as 0xRRGGBB.
struct AdaptiveColor {
    QRgb dark;
    QRgb light;

    QColor resolve(Appearance appearance) const {
        return QColor::fromRgb(appearance == Appearance::dark ? dark : light);
    }
    // The value for the appearance the widget is drawn in, read from its palette at the moment
    // of the call, so that painting code follows a switch without being rebuilt.
    QColor in(const QWidget& widget) const;
};

// The colours every screen draws with: the fixed lime accent, black on lime, and nine colours
// that follow the appearance.
class VeskaTheme {
public:
    VeskaTheme() = delete;

    static constexpr QRgb lime = 0xB6FF00;
    static constexpr QRgb onLime = 0x000000;

    static constexpr AdaptiveColor canvas{0x10110F, 0xF4F5F1};
    static constexpr AdaptiveColor surface{0x191B17, 0xFFFFFF};
    static constexpr AdaptiveColor raised{0x23261F, 0xECEFE7};
    static constexpr AdaptiveColor text{0xF5F7F0, 0x171A13};
    static constexpr AdaptiveColor muted{0xA5AD9B, 0x59614F};
    static constexpr AdaptiveColor divider{0x34392E, 0xD9DED2};
    static constexpr AdaptiveColor success{0xB6FF00, 0x385500};
    static constexpr AdaptiveColor warning{0xFFD27A, 0x805100};
    static constexpr AdaptiveColor danger{0xFFAAA1, 0xAA2E23};

    // The appearance a palette draws in: dark when its window colour is closer to black than to
    // white, light otherwise.
    static Appearance appearanceOf(const QPalette& palette);

    // The palette that makes the stock widgets (under the Fusion style) draw in the theme's
    // colours for the appearance.
    static QPalette palette(Appearance appearance);

    // The application's font at a pixel size (body 13, callout 12, subheadline 11, caption 10,
    // title3 15). Hangul comes from Noto Sans CJK KR wherever the first family lacks it.
    static QFont font(int pixelSize, QFont::Weight weight = QFont::Normal);
    // The font for numbers that change while work runs (byte counts, percentages, counts): every
    // digit takes the same width, so that the text does not shift as the digits change.
    static QFont tabularFont(int pixelSize, QFont::Weight weight = QFont::Normal);
    // The font itself when its digits already share one width, else the same font led by the
    // first installed face whose digits do; kerning off, so that no pair of digits moves closer.
    static QFont withTabularFigures(QFont font);
    static bool hasTabularFigures(const QFont& font);

    static constexpr int bodySize = 13;
    static constexpr int calloutSize = 12;
    static constexpr int subheadlineSize = 11;
    static constexpr int captionSize = 10;
    static constexpr int title3Size = 15;
};

}  // namespace tolvane
