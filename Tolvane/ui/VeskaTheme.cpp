#include "Tolvane/ui/VeskaTheme.h"

#include <QFontInfo>
#include <QFontMetricsF>
#include <QStringList>
#include <QWidget>

#include <cmath>

namespace tolvane {

QColor AdaptiveColor::in(const QWidget& widget) const {
    return resolve(VeskaTheme::appearanceOf(widget.palette()));
}

Appearance VeskaTheme::appearanceOf(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128 ? Appearance::dark : Appearance::light;
}

QPalette VeskaTheme::palette(Appearance appearance) {
    const QColor canvasColor = canvas.resolve(appearance);
    const QColor surfaceColor = surface.resolve(appearance);
    const QColor raisedColor = raised.resolve(appearance);
    const QColor textColor = text.resolve(appearance);
    const QColor mutedColor = muted.resolve(appearance);
    const QColor dividerColor = divider.resolve(appearance);
    const QColor accent = QColor::fromRgb(lime);
    const QColor onAccent = QColor::fromRgb(onLime);

    QPalette result;
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        const bool disabled = group == QPalette::Disabled;
        const QColor foreground = disabled ? mutedColor : textColor;
        result.setColor(group, QPalette::Window, canvasColor);
        result.setColor(group, QPalette::WindowText, foreground);
        result.setColor(group, QPalette::Base, surfaceColor);
        result.setColor(group, QPalette::AlternateBase, raisedColor);
        result.setColor(group, QPalette::Text, foreground);
        result.setColor(group, QPalette::PlaceholderText, mutedColor);
        result.setColor(group, QPalette::Button, raisedColor);
        result.setColor(group, QPalette::ButtonText, foreground);
        result.setColor(group, QPalette::BrightText, onAccent);
        result.setColor(group, QPalette::ToolTipBase, raisedColor);
        result.setColor(group, QPalette::ToolTipText, textColor);
        result.setColor(group, QPalette::Highlight, disabled ? dividerColor : accent);
        result.setColor(group, QPalette::HighlightedText, disabled ? mutedColor : onAccent);
        result.setColor(group, QPalette::Link, success.resolve(appearance));
        result.setColor(group, QPalette::LinkVisited, success.resolve(appearance));
        // Fusion draws frames and bevels from these.
        result.setColor(group, QPalette::Light, raisedColor.lighter(115));
        result.setColor(group, QPalette::Midlight, raisedColor);
        result.setColor(group, QPalette::Mid, dividerColor);
        result.setColor(group, QPalette::Dark, dividerColor.darker(130));
        result.setColor(group, QPalette::Shadow, QColor(0, 0, 0, 90));
    }
    return result;
}

QFont VeskaTheme::font(int pixelSize, QFont::Weight weight) {
    QFont result;
    // Fontconfig picks the first family per glyph; naming the Korean face second keeps the
    // desktop's Latin face and makes sure Hangul never falls to a face that lacks it.
    QStringList families = result.families();
    if (families.isEmpty()) {
        families << result.family();
    }
    families.removeAll(QStringLiteral("Noto Sans CJK KR"));
    families << QStringLiteral("Noto Sans CJK KR");
    result.setFamilies(families);
    result.setPixelSize(pixelSize);
    result.setWeight(weight);
    return result;
}

bool VeskaTheme::hasTabularFigures(const QFont& font) {
    const QFontMetricsF metrics(font);
    const qreal zero = metrics.horizontalAdvance(QLatin1Char('0'));
    for (char digit = '1'; digit <= '9'; ++digit) {
        if (std::abs(metrics.horizontalAdvance(QLatin1Char(digit)) - zero) > 0.01) {
            return false;
        }
    }
    return true;
}

QFont VeskaTheme::withTabularFigures(QFont font) {
    // Qt offers no switch for a face's tabular-figures feature. The faces the program installs
    // (Noto Sans CJK, and DejaVu Sans that fontconfig brings) draw their digits at one width
    // already; a desktop face whose digits are proportional gives way to one of them.
    font.setKerning(false);
    if (hasTabularFigures(font)) {
        return font;
    }
    for (const QString& face :
         {QStringLiteral("Noto Sans CJK KR"), QStringLiteral("DejaVu Sans")}) {
        QFont candidate = font;
        QStringList families = font.families();
        families.removeAll(face);
        families.prepend(face);
        candidate.setFamilies(families);
        if (QFontInfo(candidate).family() == face && hasTabularFigures(candidate)) {
            return candidate;
        }
    }
    return font;
}

QFont VeskaTheme::tabularFont(int pixelSize, QFont::Weight weight) {
    return withTabularFigures(font(pixelSize, weight));
}

}  // namespace tolvane
