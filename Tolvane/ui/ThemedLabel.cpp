#include "Tolvane/ui/ThemedLabel.h"

#include <QEvent>

namespace tolvane {

ThemedLabel::ThemedLabel(const QString& text, QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setText(text);
}

void ThemedLabel::setColor(const AdaptiveColor& color) {
    color_ = color;
    applyColor();
}

void ThemedLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    // The inherited window colour tells the appearance; only the text colour is our own.
    if (event->type() == QEvent::PaletteChange) {
        applyColor();
    }
}

void ThemedLabel::applyColor() {
    if (!color_) {
        return;
    }
    const QColor wanted = color_->in(*this);
    if (palette().color(QPalette::WindowText) == wanted) {
        return;
    }
    QPalette own = palette();
    own.setColor(QPalette::WindowText, wanted);
    own.setColor(QPalette::Text, wanted);
    setPalette(own);
}

}  // namespace tolvane
