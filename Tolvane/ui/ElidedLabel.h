#pragma once

#include <QString>
#include <QWidget>

#include <optional>

#include "Tolvane/ui/VeskaTheme.h"

namespace tolvane {

// One line of plain text that never widens its layout: text that does not fit is shortened with
// an ellipsis where given (paths and file names in the middle, so that both ends stay readable)
// and the whole text becomes the tooltip.
class ElidedLabel final : public QWidget {
    Q_OBJECT
public:
    explicit ElidedLabel(Qt::TextElideMode mode = Qt::ElideMiddle, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }
    // The text as drawn at the current width.
    QString shownText() const;

    // Drawn in this theme colour for the appearance in force; the window text colour otherwise.
    void setColor(const AdaptiveColor& color);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateToolTip();

    Qt::TextElideMode mode_;
    QString text_;
    std::optional<AdaptiveColor> color_;
};

}  // namespace tolvane
