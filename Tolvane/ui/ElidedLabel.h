#pragma once

#include <QString>
#include <QWidget>

#include <optional>

#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

// One line of plain text that never widens its layout: text that does not fit is shortened with
// an ellipsis where given (paths and file names in the middle, so that both ends stay readable).
// A tooltip set by the label's owner, on the label or on a widget around it, always shows; only
// where there is none does a shortened label show its whole text.
class ElidedLabel final : public QWidget {
    Q_OBJECT
public:
    explicit ElidedLabel(Qt::TextElideMode mode = Qt::ElideMiddle, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }
    // The text as drawn at the current width.
    QString shownText() const;
    // What hovering the label shows now: its owner's tooltip, or the whole text when it is
    // shortened and nobody set one, or nothing (a tooltip around the label then shows).
    QString effectiveToolTip() const;

    // Drawn in this theme colour for the appearance in force; the window text colour otherwise.
    void setColor(const AdaptiveColor& color);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    Qt::TextElideMode mode_;
    QString text_;
    std::optional<AdaptiveColor> color_;
};

}  // namespace tolvane
