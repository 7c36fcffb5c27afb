#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>

namespace tolvane {

// The symbols the screens name ("plus", "trash", "eject", ...), drawn from the freedesktop
// symbolic icons of the Adwaita theme and tinted with the colour of whatever they sit in, at
// paint time, so that they follow the appearance like text does.
class VeskaSymbol {
public:
    VeskaSymbol() = delete;

    // The Adwaita icon name for a symbol name, or the empty string for an unknown symbol.
    static QString iconName(const QString& symbol);

    // The symbol's SVG file in the installed icon theme, or the empty string when it is missing.
    static QString file(const QString& symbol);

    // The symbol rendered in a square of `size` device-independent pixels at the device pixel
    // ratio, in one colour. A null pixmap when the symbol or its file is missing, so that a
    // control falls back to its text.
    static QPixmap pixmap(const QString& symbol, int size, const QColor& tint,
                          qreal devicePixelRatio);
};

}  // namespace tolvane
