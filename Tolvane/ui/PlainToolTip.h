#pragma once

#include <QString>

namespace tolvane {

// A tooltip that shows the text exactly as it is. Qt reads a tooltip as markup when it looks
// like markup, so a file named "<b>x</b>.txt" would show bold; this one escapes it and keeps
// it on one line.
inline QString plainToolTip(const QString& text) {
    if (text.isEmpty()) {
        return {};
    }
    return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() +
           QStringLiteral("</p>");
}

}  // namespace tolvane
